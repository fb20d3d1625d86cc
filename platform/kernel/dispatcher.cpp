// Waits, events and spin locks: the dispatcher side of the scheduler.
#include "platform/kernel/scheduler.h"

#include <cstdio>
#include <optional>

namespace talvor::kernel {

namespace {

// KeQuerySystemTime's value at the start of every kernel: 2026-01-01 00:00
// UTC in 100 ns units since 1601, fixed so that runs repeat.
constexpr std::uint64_t kSystemEpoch = 134116992000000000ULL;

// STATUS_WAIT_n names the object that satisfied a WaitAny (n < 64).
NTSTATUS wait_status(WAIT_TYPE type, ULONG key) {
  return type == WaitAny ? static_cast<NTSTATUS>(STATUS_WAIT_0 + key)
                         : STATUS_SUCCESS;
}

bool is_event(const DISPATCHER_HEADER *header) {
  return header->Type == kEventNotificationObject ||
         header->Type == kEventSynchronizationObject;
}

} // namespace

std::uint64_t system_epoch() {
  return kSystemEpoch;
}

bool Scheduler::check_object(DISPATCHER_HEADER *header, const char *routine,
                             const void *site) {
  if (header != nullptr && header->Size != 0 &&
      header->WaitListHead.Flink != nullptr &&
      header->WaitListHead.Blink != nullptr)
    return true;
  kernel_.verifier().report(
      FindingKind::UninitializedObject,
      std::string(routine) +
          " on an object that was never initialised: " + format_address(header),
      describe_code_address(site));
  return false;
}

// ---------------------------------------------------------------------------
// Waits

bool Scheduler::satisfiable(Thread *thread, ULONG *key) const {
  if (thread->wait_type == WaitAny) {
    for (ULONG i = 0; i < thread->wait_count; ++i)
      if (thread->wait_blocks[i].object->SignalState > 0) {
        *key = i;
        return true;
      }
    return false;
  }
  for (ULONG i = 0; i < thread->wait_count; ++i)
    if (thread->wait_blocks[i].object->SignalState <= 0)
      return false;
  *key = 0;
  return true;
}

// A satisfied wait takes what it waited for: a synchronization event goes
// back to not signalled.
void Scheduler::consume(Thread *thread, ULONG key) {
  auto take = [](DISPATCHER_HEADER *object) {
    if (object->Type == kEventSynchronizationObject)
      object->SignalState = 0;
  };
  if (thread->wait_type == WaitAny) {
    take(thread->wait_blocks[key].object);
    return;
  }
  for (ULONG i = 0; i < thread->wait_count; ++i)
    take(thread->wait_blocks[i].object);
}

void Scheduler::satisfy(Thread *thread, NTSTATUS status) {
  unlink_waits(thread);
  thread->wait_status = status;
  make_ready(thread);
}

void Scheduler::unlink_waits(Thread *thread) {
  for (ULONG i = 0; i < thread->wait_count; ++i) {
    WaitBlock &block = thread->wait_blocks[i];
    if (block.linked) {
      RemoveEntryList(&block.entry);
      block.linked = false;
    }
  }
}

void Scheduler::wake_waiters(DISPATCHER_HEADER *header) {
  // Satisfy waiters in the order they began to wait, for as long as the
  // object stays signalled (a synchronization event wakes one).
  bool woke = true;
  while (header->SignalState > 0 && woke) {
    woke = false;
    for (LIST_ENTRY *entry = header->WaitListHead.Flink;
         entry != &header->WaitListHead; entry = entry->Flink) {
      Thread *thread = CONTAINING_RECORD(entry, WaitBlock, entry)->thread;
      ULONG key = 0;
      if (!satisfiable(thread, &key))
        continue;
      consume(thread, key);
      satisfy(thread, wait_status(thread->wait_type, key));
      woke = true;
      break;
    }
  }
}

std::uint64_t Scheduler::deadline_of(const LARGE_INTEGER &timeout) const {
  std::uint64_t current = now();
  if (timeout.QuadPart < 0)
    return current + static_cast<std::uint64_t>(-timeout.QuadPart);
  auto absolute = static_cast<std::uint64_t>(timeout.QuadPart);
  return absolute <= kSystemEpoch ? 0 : absolute - kSystemEpoch;
}

NTSTATUS Scheduler::wait(ULONG count, PVOID objects[], WAIT_TYPE type,
                         PLARGE_INTEGER timeout, const void *site,
                         const char *routine) {
  Thread *self = current_or_die(routine);
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || objects == nullptr) {
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              std::string(routine) + " with " +
                                  std::to_string(count) + " objects",
                              describe_code_address(site));
    return STATUS_INVALID_PARAMETER;
  }
  bool blocking = timeout == nullptr || timeout->QuadPart != 0;
  if (blocking && self->irql >= DISPATCH_LEVEL)
    kernel_.verifier().report(FindingKind::WaitAtDispatchLevel,
                              std::string(routine) +
                                  " with a non-zero time-out at IRQL " +
                                  std::to_string(self->irql),
                              describe_code_address(site));
  if (blocking && !self->held_locks.empty())
    kernel_.verifier().report(FindingKind::SpinLockHeldAcrossWait,
                              std::string(routine) +
                                  " while holding spin lock " +
                                  format_address(self->held_locks.back()),
                              describe_code_address(site));

  Lock lock(dispatcher_lock_);
  yield_locked(lock, self);
  for (ULONG i = 0; i < count; ++i) {
    auto *header = static_cast<DISPATCHER_HEADER *>(objects[i]);
    if (!check_object(header, routine, site))
      return STATUS_INVALID_PARAMETER;
    WaitBlock &block = self->wait_blocks[i];
    block.thread = self;
    block.object = header;
    block.key = i;
    block.linked = false;
  }
  self->wait_count = count;
  self->wait_type = type;
  self->wait_site = site;
  self->spin_wait = nullptr;

  ULONG key = 0;
  if (satisfiable(self, &key)) {
    consume(self, key);
    return wait_status(type, key);
  }
  self->has_deadline = timeout != nullptr;
  if (timeout != nullptr) {
    self->deadline = deadline_of(*timeout);
    if (timeout->QuadPart == 0 || self->deadline <= now())
      return STATUS_TIMEOUT;
  }
  for (ULONG i = 0; i < count; ++i) {
    WaitBlock &block = self->wait_blocks[i];
    InsertTailList(&block.object->WaitListHead, &block.entry);
    block.linked = true;
  }
  self->state = ThreadState::Waiting;
  block(lock, self);
  return self->wait_status;
}

NTSTATUS Scheduler::delay(PLARGE_INTEGER interval, const void *site) {
  Thread *self = current_or_die("KeDelayExecutionThread");
  if (interval == nullptr) {
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              "KeDelayExecutionThread without an interval",
                              describe_code_address(site));
    return STATUS_INVALID_PARAMETER;
  }
  if (self->irql >= DISPATCH_LEVEL)
    kernel_.verifier().report(FindingKind::WaitAtDispatchLevel,
                              "KeDelayExecutionThread at IRQL " +
                                  std::to_string(self->irql),
                              describe_code_address(site));
  if (!self->held_locks.empty())
    kernel_.verifier().report(FindingKind::SpinLockHeldAcrossWait,
                              "KeDelayExecutionThread while holding spin "
                              "lock " +
                                  format_address(self->held_locks.back()),
                              describe_code_address(site));
  Lock lock(dispatcher_lock_);
  std::uint64_t deadline = deadline_of(*interval);
  if (deadline <= now()) {
    yield_locked(lock, self);
    return STATUS_SUCCESS;
  }
  self->wait_count = 0;
  self->spin_wait = nullptr;
  self->has_deadline = true;
  self->deadline = deadline;
  self->wait_site = site;
  self->state = ThreadState::Waiting;
  block(lock, self);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Events

void Scheduler::initialize_event(PRKEVENT event, EVENT_TYPE type,
                                 BOOLEAN state) {
  Lock lock(dispatcher_lock_);
  DISPATCHER_HEADER &header = event->Header;
  header.Type = type == SynchronizationEvent ? kEventSynchronizationObject
                                             : kEventNotificationObject;
  header.Absolute = 0;
  header.Size = sizeof(KEVENT) / sizeof(LONG);
  header.Inserted = 0;
  header.SignalState = state ? 1 : 0;
  InitializeListHead(&header.WaitListHead);
}

LONG Scheduler::set_event(PRKEVENT event, bool pulse, const void *site) {
  Thread *self = current();
  Lock lock(dispatcher_lock_);
  const char *routine = pulse ? "KePulseEvent" : "KeSetEvent";
  if (!check_object(&event->Header, routine, site))
    return 0;
  if (!is_event(&event->Header)) {
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              std::string(routine) + " on a non-event " +
                                  describe_object(&event->Header),
                              describe_code_address(site));
    return 0;
  }
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  wake_waiters(&event->Header);
  if (pulse)
    event->Header.SignalState = 0;
  yield_locked(lock, self);
  return previous;
}

LONG Scheduler::reset_event(PRKEVENT event, const void *site) {
  Thread *self = current();
  Lock lock(dispatcher_lock_);
  if (!check_object(&event->Header, "KeResetEvent", site))
    return 0;
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  yield_locked(lock, self);
  return previous;
}

LONG Scheduler::read_event(PRKEVENT event, const void *site) {
  Thread *self = current();
  Lock lock(dispatcher_lock_);
  if (!check_object(&event->Header, "KeReadStateEvent", site))
    return 0;
  yield_locked(lock, self);
  return event->Header.SignalState;
}

// ---------------------------------------------------------------------------
// Spin locks

void Scheduler::check_lock_order(Thread *self, PKSPIN_LOCK lock,
                                 const void *site) {
  // Taking `lock` while holding A records A -> lock. An inversion is a path
  // back from `lock` to a lock already held.
  auto reaches = [this](PKSPIN_LOCK from, PKSPIN_LOCK to) {
    std::vector<PKSPIN_LOCK> pending{from};
    std::map<PKSPIN_LOCK, bool> seen;
    while (!pending.empty()) {
      PKSPIN_LOCK at = pending.back();
      pending.pop_back();
      if (at == to)
        return true;
      if (seen[at])
        continue;
      seen[at] = true;
      auto edges = lock_order_.find(at);
      if (edges != lock_order_.end())
        for (const auto &[next, where] : edges->second)
          pending.push_back(next);
    }
    return false;
  };
  // Naming the site costs a symbol lookup: only for a new edge or a finding.
  std::optional<std::string> here;
  auto named = [&]() -> const std::string & {
    if (!here)
      here = describe_code_address(site);
    return *here;
  };
  for (PKSPIN_LOCK held : self->held_locks) {
    if (held == lock)
      continue;
    if (reaches(lock, held) && !inversions_reported_[{held, lock}]) {
      inversions_reported_[{held, lock}] = true;
      inversions_reported_[{lock, held}] = true;
      auto earlier = lock_order_[lock].find(held);
      std::string before = earlier != lock_order_[lock].end()
                               ? earlier->second
                               : std::string("a chain of other locks");
      kernel_.verifier().report(
          FindingKind::SpinLockOrderInversion,
          "spin lock " + format_address(lock) + " taken while holding " +
              format_address(held) + ", but " + format_address(held) +
              " was taken while holding " + format_address(lock) + " in " +
              before,
          named());
    }
    auto &edges = lock_order_[held];
    if (edges.find(lock) == edges.end())
      edges.emplace(lock, named());
  }
}

void Scheduler::acquire_spin_lock(PKSPIN_LOCK lock, const void *site) {
  Thread *self = current_or_die("KeAcquireSpinLock");
  const auto mine = reinterpret_cast<KSPIN_LOCK>(self);
  if (!simulation()) {
    KSPIN_LOCK expected = 0;
    while (!__atomic_compare_exchange_n(lock, &expected, mine, false,
                                        __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      if (expected == mine) {
        kernel_.verifier().report(FindingKind::SpinLockMisuse,
                                  "spin lock " + format_address(lock) +
                                      " acquired again by its holder",
                                  describe_code_address(site));
        return;
      }
      expected = 0;
      std::this_thread::yield();
    }
    Lock guard(dispatcher_lock_);
    check_lock_order(self, lock, site);
    self->held_locks.push_back(lock);
    return;
  }

  Lock guard(dispatcher_lock_);
  yield_locked(guard, self);
  for (;;) {
    KSPIN_LOCK owner = *lock;
    if (owner == 0)
      break;
    if (owner == mine) {
      kernel_.verifier().report(FindingKind::SpinLockMisuse,
                                "spin lock " + format_address(lock) +
                                    " acquired again by its holder",
                                describe_code_address(site));
      return;
    }
    bool known = false;
    for (Thread *thread : threads_)
      known |= reinterpret_cast<KSPIN_LOCK>(thread) == owner &&
               thread->state != ThreadState::Terminated;
    if (!known) {
      kernel_.verifier().report(FindingKind::UninitializedObject,
                                "spin lock " + format_address(lock) +
                                    " was never initialised or its holder "
                                    "ended",
                                describe_code_address(site));
      break;
    }
    self->spin_wait = lock;
    self->wait_count = 0;
    self->has_deadline = false;
    self->wait_site = site;
    self->state = ThreadState::Waiting;
    switch_away(guard, self);
    self->spin_wait = nullptr;
  }
  *lock = mine;
  check_lock_order(self, lock, site);
  self->held_locks.push_back(lock);
}

void Scheduler::release_spin_lock(PKSPIN_LOCK lock, const void *site) {
  Thread *self = current_or_die("KeReleaseSpinLock");
  const auto mine = reinterpret_cast<KSPIN_LOCK>(self);
  Lock guard(dispatcher_lock_);
  auto held = std::find(self->held_locks.begin(), self->held_locks.end(), lock);
  if (held == self->held_locks.end() || *lock != mine) {
    kernel_.verifier().report(FindingKind::SpinLockMisuse,
                              "spin lock " + format_address(lock) +
                                  " released by a thread that does not hold "
                                  "it",
                              describe_code_address(site));
    return;
  }
  self->held_locks.erase(held);
  __atomic_store_n(lock, KSPIN_LOCK{0}, __ATOMIC_RELEASE);
  if (!simulation())
    return;
  for (Thread *thread : threads_)
    if (thread->state == ThreadState::Waiting && thread->spin_wait == lock)
      make_ready(thread);
  yield_locked(guard, self);
}

void Scheduler::forget_spin_lock(PKSPIN_LOCK lock) {
  Lock guard(dispatcher_lock_);
  lock_order_.erase(lock);
  for (auto &[from, edges] : lock_order_)
    edges.erase(lock);
  *lock = 0;
}

} // namespace talvor::kernel
