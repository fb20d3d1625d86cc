#include "platform/kernel/irql.h"

#include <string>

#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"

namespace talvor::kernel {

void check_irql(const IrqlRule &rule, const void *site) {
  Thread *thread = Kernel::get().scheduler().current();
  KIRQL irql = thread != nullptr ? thread->irql : PASSIVE_LEVEL;
  if (irql >= rule.lowest && irql <= rule.highest)
    return;
  std::string message =
      std::string(rule.routine) + " called at IRQL " + std::to_string(irql);
  if (rule.lowest == rule.highest)
    message += "; it must be called at IRQL " + std::to_string(rule.lowest);
  else if (irql > rule.highest)
    message +=
        ", above the highest it accepts (" + std::to_string(rule.highest) + ")";
  else
    message +=
        ", below the lowest it accepts (" + std::to_string(rule.lowest) + ")";
  Kernel::get().verifier().report(FindingKind::IrqlMisuse, message,
                                  describe_code_address(site));
}

RoutineEntry enter_routine() {
  Thread *thread = Kernel::get().scheduler().current();
  if (thread == nullptr)
    return {};
  return {thread->irql, thread->held_locks.size()};
}

void check_routine_return(const RoutineEntry &entry, const char *kind,
                          const void *routine) {
  Kernel &kernel = Kernel::get();
  Thread *thread = kernel.scheduler().current();
  if (thread == nullptr)
    return;
  if (thread->held_locks.size() > entry.locks) {
    kernel.verifier().report(FindingKind::SpinLockMisuse,
                             std::string(kind) +
                                 " routine returned holding spin lock " +
                                 format_address(thread->held_locks.back()),
                             describe_routine(routine));
    while (thread->held_locks.size() > entry.locks)
      kernel.scheduler().release_spin_lock(thread->held_locks.back(), routine);
    thread->irql = entry.irql; // raised by the lock: one finding
    return;
  }
  if (thread->irql != entry.irql) {
    kernel.verifier().report(FindingKind::IrqlMisuse,
                             std::string(kind) + " routine returned at IRQL " +
                                 std::to_string(thread->irql) +
                                 ", entered at " + std::to_string(entry.irql),
                             describe_routine(routine));
    thread->irql = entry.irql;
  }
}

} // namespace talvor::kernel
