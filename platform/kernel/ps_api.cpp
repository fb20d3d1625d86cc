// System threads, object references and handles.
#include "platform/kernel/irql.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"

using talvor::kernel::check_irql;
using talvor::kernel::describe_code_address;
using talvor::kernel::FindingKind;
using talvor::kernel::irql_rule;
using talvor::kernel::Kernel;

// The object type PsThreadType points at; only its address matters.
struct _OBJECT_TYPE {
  const char *name;
};

namespace {
_OBJECT_TYPE thread_type{"Thread"};
POBJECT_TYPE thread_type_pointer = &thread_type;
} // namespace

extern "C" {

POBJECT_TYPE *PsThreadType = &thread_type_pointer;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId,
                              PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  check_irql(irql_rule("PsCreateSystemThread"), __builtin_return_address(0));
  (void)DesiredAccess;
  if (ThreadHandle == nullptr || StartRoutine == nullptr ||
      ProcessHandle != nullptr) {
    Kernel::get().verifier().report(
        FindingKind::ObjectMisuse,
        "PsCreateSystemThread without a handle or routine, or for a process",
        describe_code_address(__builtin_return_address(0)));
    return STATUS_INVALID_PARAMETER;
  }
  if (ClientId != nullptr)
    *ClientId = {};
  const bool kernel_handle = ObjectAttributes != nullptr &&
                             (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE);
  return Kernel::get().scheduler().create_system_thread(
      StartRoutine, StartContext, kernel_handle, ThreadHandle);
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  check_irql(irql_rule("PsTerminateSystemThread"), __builtin_return_address(0));
  auto &scheduler = Kernel::get().scheduler();
  auto *thread = scheduler.current_or_die("PsTerminateSystemThread");
  if (!thread->system) {
    Kernel::get().verifier().report(
        FindingKind::ObjectMisuse,
        "PsTerminateSystemThread from a thread that is not a system thread",
        describe_code_address(__builtin_return_address(0)));
    return STATUS_INVALID_PARAMETER;
  }
  // A thread that has just told its driver it is done still runs in the
  // driver's image until here: let a waiter go first, as Windows may.
  scheduler.yield();
  scheduler.terminate_current(ExitStatus);
}

PKTHREAD KeGetCurrentThread(void) {
  check_irql(irql_rule("KeGetCurrentThread"), __builtin_return_address(0));
  auto *thread = Kernel::get().scheduler().current_or_die("KeGetCurrentThread");
  return &thread->object.Tcb;
}

PETHREAD PsGetCurrentThread(void) {
  auto *thread = Kernel::get().scheduler().current_or_die("PsGetCurrentThread");
  return &thread->object;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  check_irql(irql_rule("KeSetPriorityThread"), __builtin_return_address(0));
  KPRIORITY old = Thread->Owner->priority;
  Thread->Owner->priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
  check_irql(irql_rule("KeQueryPriorityThread"), __builtin_return_address(0));
  return Thread->Owner->priority;
}

NTSTATUS
ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                          POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                          PVOID *Object,
                          POBJECT_HANDLE_INFORMATION HandleInformation) {
  check_irql(irql_rule("ObReferenceObjectByHandle"),
             __builtin_return_address(0));
  (void)DesiredAccess;
  if (ObjectType != nullptr && ObjectType != *PsThreadType)
    return STATUS_OBJECT_TYPE_MISMATCH;
  if (Object == nullptr)
    return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Kernel::get().scheduler().reference_by_handle(
      Handle, AccessMode, Object, __builtin_return_address(0));
  if (NT_SUCCESS(status) && HandleInformation != nullptr)
    *HandleInformation = {0, DesiredAccess};
  return status;
}

LONG_PTR ObfReferenceObject(PVOID Object) {
  check_irql(irql_rule("ObfReferenceObject"), __builtin_return_address(0));
  return Kernel::get().scheduler().reference(Object,
                                             __builtin_return_address(0));
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  check_irql(irql_rule("ObfDereferenceObject"), __builtin_return_address(0));
  return Kernel::get().scheduler().dereference(Object,
                                               __builtin_return_address(0));
}

NTSTATUS ZwClose(HANDLE Handle) {
  check_irql(irql_rule("ZwClose"), __builtin_return_address(0));
  return Kernel::get().scheduler().close_handle(Handle,
                                                __builtin_return_address(0));
}

} // extern "C"
