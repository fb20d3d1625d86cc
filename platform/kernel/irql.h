// The IRQL at which each hosted routine may be called, as the Windows
// documentation gives it, in one table; and what a routine the kernel calls
// (dispatch, completion, cancel, work item) must give back when it returns.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string_view>

#include <wdm.h>

namespace talvor::kernel {

struct IrqlRule {
  std::string_view routine;
  KIRQL lowest;
  KIRQL highest;
};

// "Any level" routines are listed too, so that the table answers for every
// routine the headers declare; they are never refused. The pool routines
// are held to theirs by the pool, which knows the pool type (paged pool:
// APC_LEVEL), and the waits by the dispatcher, which knows the time-out (a
// zero time-out is allowed at DISPATCH_LEVEL).
inline constexpr IrqlRule kIrqlRules[] = {
    // IRQL and spin locks
    {"KeGetCurrentIrql", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeRaiseIrql", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeLowerIrql", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeInitializeSpinLock", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeAcquireSpinLock", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeReleaseSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL},
    {"KeAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL, HIGH_LEVEL},
    {"KeReleaseSpinLockFromDpcLevel", DISPATCH_LEVEL, HIGH_LEVEL},
    {"IoAcquireCancelSpinLock", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoReleaseCancelSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL},
    // Events, waits, time, interlocked operations
    {"KeInitializeEvent", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeSetEvent", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeSetEvent with Wait TRUE", PASSIVE_LEVEL, APC_LEVEL},
    {"KePulseEvent", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KePulseEvent with Wait TRUE", PASSIVE_LEVEL, APC_LEVEL},
    {"KeClearEvent", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeResetEvent", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeReadStateEvent", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeWaitForSingleObject", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeWaitForMultipleObjects", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"KeDelayExecutionThread", PASSIVE_LEVEL, APC_LEVEL},
    {"KeQueryTimeIncrement", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeQuerySystemTime", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeQueryTickCount", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeQueryInterruptTime", PASSIVE_LEVEL, HIGH_LEVEL},
    {"Interlocked operations", PASSIVE_LEVEL, HIGH_LEVEL},
    // Pool
    {"ExAllocatePoolWithTag", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"ExAllocatePool", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"ExFreePoolWithTag", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"ExFreePool", PASSIVE_LEVEL, DISPATCH_LEVEL},
    // Threads, objects and handles
    {"PsCreateSystemThread", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"PsTerminateSystemThread", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"KeGetCurrentThread", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"PsGetCurrentThread", PASSIVE_LEVEL, HIGH_LEVEL},
    {"KeSetPriorityThread", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"KeQueryPriorityThread", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"ObReferenceObjectByHandle", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"ObfReferenceObject", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"ObfDereferenceObject", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"ZwClose", PASSIVE_LEVEL, PASSIVE_LEVEL},
    // Run-time library, registry, debugging
    {"RtlCompareMemory", PASSIVE_LEVEL, HIGH_LEVEL},
    {"RtlInitUnicodeString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlInitAnsiString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlInitString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlCopyUnicodeString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlAppendUnicodeStringToString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlAppendUnicodeToString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlEqualUnicodeString", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"RtlCompareUnicodeString", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlAnsiStringToUnicodeString", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlUnicodeStringToAnsiString", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlFreeUnicodeString", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlFreeAnsiString", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlIntegerToUnicodeString", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlUnicodeStringToInteger", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"Safe string routines", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"RtlQueryRegistryValues", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"DbgPrint", PASSIVE_LEVEL, HIGH_LEVEL},
    {"RtlAssert", PASSIVE_LEVEL, HIGH_LEVEL},
    // I/O manager
    {"IoIsWdmVersionAvailable", PASSIVE_LEVEL, HIGH_LEVEL},
    {"IoCreateDevice", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoDeleteDevice", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoAttachDeviceToDeviceStack", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoDetachDevice", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoGetAttachedDevice", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoGetAttachedDeviceReference", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoAllocateIrp", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoFreeIrp", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoReuseIrp", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoCallDriver", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoCallDriver with IRP_MJ_PNP", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoCompleteRequest", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoCancelIrp", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoSetCancelRoutine", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoAllocateWorkItem", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoFreeWorkItem", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoQueueWorkItem", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoRegisterDeviceInterface", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoSetDeviceInterfaceState", PASSIVE_LEVEL, PASSIVE_LEVEL},
    {"IoAllocateErrorLogEntry", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoWriteErrorLogEntry", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"IoFreeErrorLogEntry", PASSIVE_LEVEL, DISPATCH_LEVEL},
    // Power manager
    {"PoCallDriver", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"PoStartNextPowerIrp", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"PoRequestPowerIrp", PASSIVE_LEVEL, DISPATCH_LEVEL},
    {"PoSetPowerState", PASSIVE_LEVEL, DISPATCH_LEVEL},
};

// Not constexpr: a lookup of a routine the table lacks fails to compile.
void irql_rule_missing();

consteval IrqlRule irql_rule(std::string_view routine) {
  const IrqlRule *rule = std::find_if(
      std::begin(kIrqlRules), std::end(kIrqlRules),
      [routine](const IrqlRule &r) { return r.routine == routine; });
  if (rule == std::end(kIrqlRules))
    irql_rule_missing();
  return *rule;
}

// On entry of a hosted routine: a call from `site` outside the routine's
// range is a finding naming the caller.
void check_irql(const IrqlRule &rule, const void *site);

// What a routine the kernel calls found on entry, to hold it to its
// contract on return: the same IRQL, and no spin lock it did not hold.
struct RoutineEntry {
  KIRQL irql = PASSIVE_LEVEL;
  std::size_t locks = 0;
};

RoutineEntry enter_routine();
// `kind` names the contract ("dispatch", "completion", "work item"). A
// breach is reported against `routine`; the IRQL is put back and the spin
// locks it kept are released, so that the next wait does not report it
// again.
void check_routine_return(const RoutineEntry &entry, const char *kind,
                          const void *routine);

} // namespace talvor::kernel
