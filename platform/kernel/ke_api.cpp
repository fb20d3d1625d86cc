// The executive's dispatcher routines, IRQL, time and interlocked
// operations, as drivers call them.
#include "platform/kernel/irql.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"

using talvor::kernel::check_irql;
using talvor::kernel::describe_code_address;
using talvor::kernel::FindingKind;
using talvor::kernel::irql_rule;
using talvor::kernel::Kernel;
using talvor::kernel::Scheduler;

namespace {

Scheduler &scheduler() {
  return Kernel::get().scheduler();
}

void report(FindingKind kind, const std::string &message, const void *site) {
  Kernel::get().verifier().report(kind, message, describe_code_address(site));
}

} // namespace

extern "C" {

// ---------------------------------------------------------------------------
// IRQL

KIRQL KeGetCurrentIrql(void) {
  talvor::kernel::Thread *thread = scheduler().current();
  return thread != nullptr ? thread->irql : PASSIVE_LEVEL;
}

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  auto *thread = scheduler().current_or_die("KeRaiseIrql");
  KIRQL old = thread->irql;
  if (NewIrql < old)
    report(FindingKind::IrqlMisuse,
           "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher " +
               std::to_string(old),
           __builtin_return_address(0));
  thread->irql = NewIrql;
  return old;
}

void KeLowerIrql(KIRQL NewIrql) {
  auto *thread = scheduler().current_or_die("KeLowerIrql");
  if (NewIrql > thread->irql)
    report(FindingKind::IrqlMisuse,
           "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower " +
               std::to_string(thread->irql),
           __builtin_return_address(0));
  thread->irql = NewIrql;
}

// ---------------------------------------------------------------------------
// Spin locks

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  scheduler().forget_spin_lock(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  const void *site = __builtin_return_address(0);
  auto *thread = scheduler().current_or_die("KeAcquireSpinLock");
  check_irql(irql_rule("KeAcquireSpinLock"), site);
  KIRQL old = thread->irql;
  thread->irql = DISPATCH_LEVEL;
  scheduler().acquire_spin_lock(SpinLock, site);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  const void *site = __builtin_return_address(0);
  auto *thread = scheduler().current_or_die("KeReleaseSpinLock");
  check_irql(irql_rule("KeReleaseSpinLock"), site);
  scheduler().release_spin_lock(SpinLock, site);
  if (NewIrql > DISPATCH_LEVEL)
    report(FindingKind::IrqlMisuse,
           "KeReleaseSpinLock back to IRQL " + std::to_string(NewIrql), site);
  thread->irql = NewIrql;
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  const void *site = __builtin_return_address(0);
  scheduler().current_or_die("KeAcquireSpinLockAtDpcLevel");
  check_irql(irql_rule("KeAcquireSpinLockAtDpcLevel"), site);
  scheduler().acquire_spin_lock(SpinLock, site);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  const void *site = __builtin_return_address(0);
  check_irql(irql_rule("KeReleaseSpinLockFromDpcLevel"), site);
  scheduler().release_spin_lock(SpinLock, site);
}

// ---------------------------------------------------------------------------
// Events and waits

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  scheduler().initialize_event(Event, Type, State);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  check_irql(Wait ? irql_rule("KeSetEvent with Wait TRUE")
                  : irql_rule("KeSetEvent"),
             __builtin_return_address(0));
  return scheduler().set_event(Event, false, __builtin_return_address(0));
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  check_irql(Wait ? irql_rule("KePulseEvent with Wait TRUE")
                  : irql_rule("KePulseEvent"),
             __builtin_return_address(0));
  return scheduler().set_event(Event, true, __builtin_return_address(0));
}

void KeClearEvent(PRKEVENT Event) {
  check_irql(irql_rule("KeClearEvent"), __builtin_return_address(0));
  scheduler().reset_event(Event, __builtin_return_address(0));
}

LONG KeResetEvent(PRKEVENT Event) {
  check_irql(irql_rule("KeResetEvent"), __builtin_return_address(0));
  return scheduler().reset_event(Event, __builtin_return_address(0));
}

LONG KeReadStateEvent(PRKEVENT Event) {
  check_irql(irql_rule("KeReadStateEvent"), __builtin_return_address(0));
  return scheduler().read_event(Event, __builtin_return_address(0));
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                               KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  PVOID objects[1] = {Object};
  return scheduler().wait(1, objects, WaitAny, Timeout,
                          __builtin_return_address(0), "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[],
                                  WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                  PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  const void *site = __builtin_return_address(0);
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
    report(FindingKind::ObjectMisuse,
           "KeWaitForMultipleObjects for " + std::to_string(Count) +
               " objects without a wait block array",
           site);
    return STATUS_INVALID_PARAMETER;
  }
  return scheduler().wait(Count, Object, WaitType, Timeout, site,
                          "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  return scheduler().delay(Interval, __builtin_return_address(0));
}

// ---------------------------------------------------------------------------
// Time

ULONG KeQueryTimeIncrement(void) {
  return Kernel::get().time_increment();
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = static_cast<LONGLONG>(Kernel::get().system_time());
}

void KeQueryTickCount(PLARGE_INTEGER TickCount) {
  Kernel &kernel = Kernel::get();
  TickCount->QuadPart =
      static_cast<LONGLONG>(kernel.now() / kernel.time_increment());
}

ULONGLONG KeQueryInterruptTime(void) {
  return Kernel::get().now();
}

// ---------------------------------------------------------------------------
// Interlocked operations: each is followed by a yield point, so that the
// simulation explores what another thread may do between a check and the
// action that depends on it.

LONG InterlockedIncrement(LONG volatile *Addend) {
  auto result = __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

LONG InterlockedDecrement(LONG volatile *Addend) {
  auto result = __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
  auto result = __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
  auto result = __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return Comparand;
}

LONG InterlockedOr(LONG volatile *Destination, LONG Value) {
  auto result = __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

LONG InterlockedAnd(LONG volatile *Destination, LONG Value) {
  auto result = __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
  auto result = __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return result;
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination,
                                        PVOID Exchange, PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  scheduler().yield();
  return Comparand;
}

} // extern "C"
