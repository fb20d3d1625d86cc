// The I/O manager's routines, as drivers call them.
#include "platform/kernel/irql.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"

using talvor::kernel::check_irql;
using talvor::kernel::IoManager;
using talvor::kernel::IrpOrigin;
using talvor::kernel::irql_rule;
using talvor::kernel::Kernel;

namespace {
IoManager &io() {
  return Kernel::get().io();
}

PDEVICE_OBJECT top_of(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr)
    device = device->AttachedDevice;
  return device;
}
} // namespace

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
  check_irql(irql_rule("IoCreateDevice"), __builtin_return_address(0));
  return io().create_device(DriverObject, DeviceExtensionSize, DeviceName,
                            DeviceType, DeviceCharacteristics, Exclusive != 0,
                            DeviceObject, __builtin_return_address(0));
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  check_irql(irql_rule("IoDeleteDevice"), __builtin_return_address(0));
  io().delete_device(DeviceObject, __builtin_return_address(0));
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
  check_irql(irql_rule("IoAttachDeviceToDeviceStack"),
             __builtin_return_address(0));
  return io().attach(SourceDevice, TargetDevice);
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  check_irql(irql_rule("IoDetachDevice"), __builtin_return_address(0));
  io().detach(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  check_irql(irql_rule("IoGetAttachedDevice"), __builtin_return_address(0));
  return top_of(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  check_irql(irql_rule("IoGetAttachedDeviceReference"),
             __builtin_return_address(0));
  PDEVICE_OBJECT top = top_of(DeviceObject);
  io().reference_device(top);
  return top;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  check_irql(irql_rule("IoAllocateIrp"), __builtin_return_address(0));
  (void)ChargeQuota;
  return io().allocate_irp(StackSize, IrpOrigin::Allocated,
                           __builtin_return_address(0));
}

void IoFreeIrp(PIRP Irp) {
  check_irql(irql_rule("IoFreeIrp"), __builtin_return_address(0));
  io().free_irp(Irp, __builtin_return_address(0));
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  check_irql(irql_rule("IoReuseIrp"), __builtin_return_address(0));
  io().reuse_irp(Irp, Iostatus, __builtin_return_address(0));
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                   PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  check_irql(irql_rule("IoBuildDeviceIoControlRequest"),
             __builtin_return_address(0));
  return io().build_device_io_control(
      IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
      OutputBufferLength, InternalDeviceIoControl != 0, Event, IoStatusBlock,
      __builtin_return_address(0));
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return io().call_driver(DeviceObject, Irp, __builtin_return_address(0));
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  io().complete_request(Irp, __builtin_return_address(0));
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  check_irql(irql_rule("IoCancelIrp"), __builtin_return_address(0));
  return io().cancel_irp(Irp, __builtin_return_address(0)) ? TRUE : FALSE;
}

void IoAcquireCancelSpinLock(PKIRQL Irql) {
  const void *site = __builtin_return_address(0);
  check_irql(irql_rule("IoAcquireCancelSpinLock"), site);
  auto &scheduler = Kernel::get().scheduler();
  auto *thread = scheduler.current_or_die("IoAcquireCancelSpinLock");
  *Irql = thread->irql;
  thread->irql = DISPATCH_LEVEL;
  scheduler.acquire_spin_lock(io().cancel_spin_lock(), site);
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
  const void *site = __builtin_return_address(0);
  check_irql(irql_rule("IoReleaseCancelSpinLock"), site);
  auto &scheduler = Kernel::get().scheduler();
  auto *thread = scheduler.current_or_die("IoReleaseCancelSpinLock");
  scheduler.release_spin_lock(io().cancel_spin_lock(), site);
  thread->irql = Irql;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  check_irql(irql_rule("IoSetCancelRoutine"), __builtin_return_address(0));
  return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(&Irp->CancelRoutine),
      reinterpret_cast<PVOID>(CancelRoutine)));
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  check_irql(irql_rule("IoAllocateWorkItem"), __builtin_return_address(0));
  return io().allocate_work_item(DeviceObject, __builtin_return_address(0));
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  check_irql(irql_rule("IoFreeWorkItem"), __builtin_return_address(0));
  io().free_work_item(IoWorkItem, __builtin_return_address(0));
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem,
                     PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  check_irql(irql_rule("IoQueueWorkItem"), __builtin_return_address(0));
  (void)QueueType;
  io().queue_work_item(IoWorkItem, WorkerRoutine, Context,
                       __builtin_return_address(0));
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
  check_irql(irql_rule("IoRegisterDeviceInterface"),
             __builtin_return_address(0));
  return io().register_interface(PhysicalDeviceObject, InterfaceClassGuid,
                                 ReferenceString, SymbolicLinkName,
                                 __builtin_return_address(0));
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                   BOOLEAN Enable) {
  check_irql(irql_rule("IoSetDeviceInterfaceState"),
             __builtin_return_address(0));
  return io().set_interface_state(SymbolicLinkName, Enable != 0,
                                  __builtin_return_address(0));
}

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  check_irql(irql_rule("IoAllocateErrorLogEntry"), __builtin_return_address(0));
  return io().allocate_error_log_entry(IoObject, EntrySize,
                                       __builtin_return_address(0));
}

void IoWriteErrorLogEntry(PVOID ElEntry) {
  check_irql(irql_rule("IoWriteErrorLogEntry"), __builtin_return_address(0));
  io().write_error_log_entry(ElEntry, __builtin_return_address(0));
}

void IoFreeErrorLogEntry(PVOID ElEntry) {
  check_irql(irql_rule("IoFreeErrorLogEntry"), __builtin_return_address(0));
  io().free_error_log_entry(ElEntry, __builtin_return_address(0));
}

} // extern "C"
