#include "platform/kernel/scheduler.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace talvor::kernel {

namespace {

// The thread that is running on this OS thread, tagged with the scheduler
// generation it belongs to so that a stale entry from an earlier kernel in
// the same process is never used.
struct CurrentThread {
  std::uint64_t generation = 0;
  Thread *thread = nullptr;
};
thread_local CurrentThread tls_current;

std::atomic<std::uint64_t> scheduler_generations{0};

[[noreturn]] void die(const std::string &message) {
  std::fprintf(stderr, "talvor kernel: %s\n", message.c_str());
  std::abort();
}

} // namespace

Scheduler::Scheduler(Kernel &kernel, const Options &options)
    : kernel_(kernel), clock_(options.clock), seed_(options.seed),
      step_limit_(options.step_limit), settle_limit_(options.settle_limit),
      real_start_(std::chrono::steady_clock::now()),
      generation_(++scheduler_generations), generator_(options.seed) {}

Scheduler::~Scheduler() {
  for (auto &[id, os_thread] : os_threads_)
    if (os_thread.joinable())
      os_thread.join();
  for (Thread *thread : threads_)
    delete thread;
}

bool Scheduler::prepare_destruction() {
  Lock lock(dispatcher_lock_);
  bool alive = dead_;
  for (Thread *thread : threads_)
    alive |= (thread->system || thread->body) &&
             thread->state != ThreadState::Terminated;
  if (!alive)
    return true;
  // Threads that never end keep sleeping on this scheduler's locks: leave
  // them, and the scheduler, as they are.
  for (Thread *thread : threads_) {
    thread->abandoned = true;
    thread->wake.notify_all();
  }
  for (auto &[id, os_thread] : os_threads_)
    if (os_thread.joinable())
      os_thread.detach();
  dead_ = true;
  return false;
}

// ---------------------------------------------------------------------------
// Threads

Thread *Scheduler::current() {
  if (tls_current.generation == generation_ && tls_current.thread != nullptr)
    return tls_current.thread;
  if (simulation())
    return nullptr;
  // Real time: any OS thread may call the kernel (pcscd's, the tool's).
  Lock lock(dispatcher_lock_);
  Thread *thread = new_thread("thread " + std::to_string(next_thread_id_));
  thread->state = ThreadState::Running;
  tls_current = {generation_, thread};
  return thread;
}

Thread *Scheduler::current_or_die(const char *routine) {
  Thread *thread = current();
  if (thread == nullptr)
    die(std::string(routine) +
        " called outside a kernel thread: under the simulation clock, call "
        "the kernel from inside Kernel::run()");
  return thread;
}

Thread *Scheduler::new_thread(std::string name) {
  auto *thread = new Thread;
  thread->id = next_thread_id_++;
  thread->name = std::move(name);
  DISPATCHER_HEADER &header = thread->object.Tcb.Header;
  header.Type = kThreadObject;
  header.Size = sizeof(_KTHREAD) / sizeof(LONG);
  header.SignalState = 0;
  InitializeListHead(&header.WaitListHead);
  thread->object.Tcb.Owner = thread;
  threads_.push_back(thread);
  return thread;
}

void Scheduler::start_os_thread(Thread *thread) {
  // Join the OS threads of kernel threads that have ended: they released
  // dispatcher_lock_ for the last time before this caller took it. A
  // long-running process (pcscd restarting a presence thread at every card
  // event) would otherwise pile them up.
  for (std::uint64_t id : ended_os_threads_) {
    auto found = os_threads_.find(id);
    if (found != os_threads_.end()) {
      found->second.join();
      os_threads_.erase(found);
    }
  }
  ended_os_threads_.clear();
  os_threads_.emplace(thread->id,
                      std::thread(&Scheduler::thread_main, this, thread));
}

void Scheduler::thread_main(Thread *thread) {
  tls_current = {generation_, thread};
  {
    Lock lock(dispatcher_lock_);
    if (simulation()) {
      thread->wake.wait(
          lock, [&] { return running_ == thread || thread->abandoned; });
      while (thread->abandoned)
        thread->wake.wait(lock);
    } else {
      thread->state = ThreadState::Running;
    }
  }
  // PsTerminateSystemThread comes back here. Nothing below setjmp changes
  // a local, so nothing is indeterminate after the jump.
  if (setjmp(thread->exit_point) == 0) {
    thread->exit_status = STATUS_SUCCESS;
    if (thread->run_body)
      thread->run_body();
    else
      thread->start(thread->context);
  }
  Lock lock(dispatcher_lock_);
  exit_thread(lock, thread);
}

void Scheduler::exit_thread(Lock &lock, Thread *self) {
  if (self->irql != PASSIVE_LEVEL || !self->held_locks.empty())
    kernel_.verifier().report(
        FindingKind::IrqlMisuse,
        "thread " + std::to_string(self->id) + " \"" + self->name +
            "\" ended at IRQL " + std::to_string(self->irql) + " holding " +
            std::to_string(self->held_locks.size()) + " spin lock(s)");
  self->state = ThreadState::Terminated;
  self->run_body = nullptr;
  if (self->body) {
    body_finished_ = true;
    body_end_ = now_;
  }
  DISPATCHER_HEADER &header = self->object.Tcb.Header;
  header.SignalState = 1;
  wake_waiters(&header);
  tls_current = {};
  ended_os_threads_.push_back(self->id);
  if (simulation()) {
    Thread *next = pick_next(lock);
    running_ = next;
    if (next != nullptr) {
      next->state = ThreadState::Running;
      next->wake.notify_one();
    }
  }
  release_object(self);
}

void Scheduler::release_object(Thread *thread) {
  if (--thread->references < 0)
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              "thread object of \"" + thread->name +
                                  "\" dereferenced more often than referenced");
  if (thread->references <= 0 && thread->state == ThreadState::Terminated) {
    threads_.erase(std::find(threads_.begin(), threads_.end(), thread));
    delete thread;
  }
}

Thread *Scheduler::thread_of(PVOID object) const {
  for (Thread *thread : threads_)
    if (static_cast<void *>(&thread->object) == object)
      return thread;
  return nullptr;
}

Thread *Scheduler::spawn(Lock &, PKSTART_ROUTINE start, PVOID context) {
  Thread *thread =
      new_thread(describe_routine(reinterpret_cast<const void *>(start)));
  thread->system = true;
  thread->start = start;
  thread->context = context;
  thread->state = ThreadState::Ready;
  start_os_thread(thread);
  return thread;
}

NTSTATUS Scheduler::create_system_thread(PKSTART_ROUTINE start, PVOID context,
                                         bool kernel_handle, HANDLE *handle) {
  Thread *self = current_or_die("PsCreateSystemThread");
  Lock lock(dispatcher_lock_);
  if (fail_thread_creations_ > 0) {
    --fail_thread_creations_;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Thread *thread = spawn(lock, start, context);
  ++thread->references; // the handle's
  const std::uint64_t owner = kernel_handle ? kSystemProcess : self->process;
  std::uintptr_t &next =
      owner == kSystemProcess ? next_kernel_handle_ : next_user_handle_;
  std::uintptr_t value = next;
  next += 4;
  handles_[value] = {thread, owner};
  *handle = reinterpret_cast<HANDLE>(value); // NOLINT: handles are numbers
  yield_locked(lock, self);
  return STATUS_SUCCESS;
}

void Scheduler::start_kernel_thread(PKSTART_ROUTINE start, PVOID context) {
  Thread *self = current();
  Lock lock(dispatcher_lock_);
  spawn(lock, start, context);
  yield_locked(lock, self);
}

void Scheduler::terminate_current(NTSTATUS status) {
  Thread *self = current_or_die("PsTerminateSystemThread");
  self->exit_status = status;
  std::longjmp(self->exit_point, 1);
}

void Scheduler::fail_thread_creation(unsigned count) {
  Lock lock(dispatcher_lock_);
  fail_thread_creations_ = count;
}

// ---------------------------------------------------------------------------
// Handles and references

std::uint64_t Scheduler::create_process() {
  Lock lock(dispatcher_lock_);
  std::uint64_t process = next_process_;
  next_process_ += 4;
  return process;
}

void Scheduler::end_process(std::uint64_t process) {
  Lock lock(dispatcher_lock_);
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (it->second.process != process) {
      ++it;
      continue;
    }
    Thread *thread = it->second.thread;
    it = handles_.erase(it);
    release_object(thread);
  }
}

std::uint64_t Scheduler::attach_process(std::uint64_t process) {
  Thread *self = current_or_die("attaching to a process");
  return std::exchange(self->process, process);
}

bool Scheduler::check_kernel_use(const HandleEntry &entry, HANDLE handle,
                                 std::uint64_t caller, const char *routine,
                                 const void *site) {
  if (entry.process == kSystemProcess)
    return true;
  const std::string whose = "handle " + format_address(handle) +
                            " of user process " + std::to_string(entry.process);
  if (caller != entry.process) {
    kernel_.verifier().report(
        FindingKind::ObjectMisuse,
        std::string(routine) + " in kernel mode of " + whose + " from " +
            (caller == kSystemProcess
                 ? std::string("the system process")
                 : "user process " + std::to_string(caller)) +
            ", where it is not a handle (create it with OBJ_KERNEL_HANDLE)",
        describe_code_address(site));
    return false;
  }
  kernel_.verifier().report(FindingKind::ObjectMisuse,
                            std::string(routine) + " in kernel mode of " +
                                whose +
                                ", which that process can close or replace "
                                "(create it with OBJ_KERNEL_HANDLE)",
                            describe_code_address(site));
  return true;
}

NTSTATUS Scheduler::reference_by_handle(HANDLE handle, KPROCESSOR_MODE mode,
                                        PVOID *object, const void *site) {
  const std::uint64_t caller =
      current_or_die("ObReferenceObjectByHandle")->process;
  Lock lock(dispatcher_lock_);
  auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == handles_.end())
    return STATUS_INVALID_HANDLE;
  if (mode == UserMode) {
    // User mode sees only its own process's table.
    if (found->second.process != caller || caller == kSystemProcess)
      return STATUS_INVALID_HANDLE;
  } else if (!check_kernel_use(found->second, handle, caller,
                               "ObReferenceObjectByHandle", site)) {
    return STATUS_INVALID_HANDLE;
  }
  ++found->second.thread->references;
  *object = &found->second.thread->object;
  return STATUS_SUCCESS;
}

NTSTATUS Scheduler::close_handle(HANDLE handle, const void *site) {
  const std::uint64_t caller = current_or_die("ZwClose")->process;
  Lock lock(dispatcher_lock_);
  auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == handles_.end()) {
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              "ZwClose of an invalid handle " +
                                  format_address(handle),
                              describe_code_address(site));
    return STATUS_INVALID_HANDLE;
  }
  if (!check_kernel_use(found->second, handle, caller, "ZwClose", site))
    return STATUS_INVALID_HANDLE;
  Thread *thread = found->second.thread;
  handles_.erase(found);
  release_object(thread);
  return STATUS_SUCCESS;
}

LONG_PTR Scheduler::reference(PVOID object, const void *site) {
  Lock lock(dispatcher_lock_);
  Thread *thread = thread_of(object);
  if (thread == nullptr) {
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              "reference to an unknown object " +
                                  format_address(object),
                              describe_code_address(site));
    return 0;
  }
  return ++thread->references;
}

LONG_PTR Scheduler::dereference(PVOID object, const void *site) {
  Lock lock(dispatcher_lock_);
  Thread *thread = thread_of(object);
  if (thread == nullptr) {
    kernel_.verifier().report(FindingKind::ObjectMisuse,
                              "dereference of an unknown or freed object " +
                                  format_address(object),
                              describe_code_address(site));
    return 0;
  }
  LONG left = thread->references - 1;
  release_object(thread);
  return left;
}

// ---------------------------------------------------------------------------
// Scheduling (simulation clock)

RunResult Scheduler::run(std::function<void()> body, std::string name) {
  if (!simulation())
    die("Kernel::run() needs the simulation clock");
  if (current() != nullptr)
    die("Kernel::run() called from a kernel thread");
  Lock lock(dispatcher_lock_);
  if (dead_) {
    RunResult result = result_;
    result.report =
        "the kernel stopped after an earlier run failed\n" + result.report;
    return result;
  }
  Thread *thread = new_thread(std::move(name));
  thread->body = true;
  thread->run_body = std::move(body);
  thread->state = ThreadState::Ready;
  run_active_ = true;
  body_finished_ = false;
  steps_ = 0;
  result_ = {};
  start_os_thread(thread);
  Thread *next = pick_next(lock);
  running_ = next;
  if (next != nullptr) {
    next->state = ThreadState::Running;
    next->wake.notify_one();
  }
  run_done_.wait(lock, [&] { return !run_active_; });
  RunResult result = result_;
  result.seed = seed_;
  return result;
}

void Scheduler::switch_away(Lock &lock, Thread *self) {
  Thread *next = pick_next(lock);
  if (next == self) {
    self->state = ThreadState::Running;
    return;
  }
  running_ = next;
  if (next != nullptr) {
    next->state = ThreadState::Running;
    next->wake.notify_one();
  }
  self->wake.wait(lock, [&] { return running_ == self || self->abandoned; });
  while (self->abandoned)
    self->wake.wait(lock);
}

void Scheduler::yield_locked(Lock &lock, Thread *self) {
  if (!simulation() || self == nullptr || !run_active_)
    return;
  self->state = ThreadState::Ready;
  switch_away(lock, self);
}

void Scheduler::yield() {
  if (!simulation())
    return;
  Thread *self = current();
  if (self == nullptr)
    return;
  Lock lock(dispatcher_lock_);
  yield_locked(lock, self);
}

Thread *Scheduler::pick_next(Lock &) {
  if (++steps_ > step_limit_) {
    end_run(RunOutcome::Livelock,
            "livelock: " + std::to_string(step_limit_) +
                " scheduling decisions without the run ending\n" +
                describe_threads());
    return nullptr;
  }
  std::vector<Thread *> ready;
  for (;;) {
    ready.clear();
    for (Thread *thread : threads_)
      if (thread->state == ThreadState::Ready)
        ready.push_back(thread);
    if (ready.size() == 1)
      return ready.front();
    if (!ready.empty())
      return ready[generator_() % ready.size()];

    // Every thread is blocked: jump to the earliest deadline.
    bool any_deadline = false;
    std::uint64_t earliest = 0;
    for (Thread *thread : threads_)
      if (thread->state == ThreadState::Waiting && thread->has_deadline &&
          (!any_deadline || thread->deadline < earliest)) {
        earliest = thread->deadline;
        any_deadline = true;
      }
    if (!any_deadline ||
        (body_finished_ && earliest > body_end_ + settle_limit_)) {
      if (body_finished_)
        end_run(RunOutcome::Completed, {});
      else
        end_run(RunOutcome::Deadlock,
                "deadlock: every thread is blocked and no deadline is "
                "pending\n" +
                    describe_threads());
      return nullptr;
    }
    now_ = std::max<std::uint64_t>(now_, earliest);
    for (Thread *thread : threads_)
      if (thread->state == ThreadState::Waiting && thread->has_deadline &&
          thread->deadline <= now_)
        expire(thread);
  }
}

void Scheduler::end_run(RunOutcome outcome, std::string report) {
  if (outcome != RunOutcome::Completed) {
    char footer[96];
    std::snprintf(footer, sizeof footer,
                  "at %" PRIu64 " ms of simulated time; reproduce with "
                  "seed=%" PRIu64 "\n",
                  now_ / 10000, seed_);
    report += footer;
    dead_ = true;
    for (Thread *thread : threads_)
      if (thread->state != ThreadState::Terminated)
        thread->abandoned = true;
  }
  result_ = {outcome, std::move(report), seed_};
  run_active_ = false;
  running_ = nullptr;
  run_done_.notify_all();
}

std::string Scheduler::describe_threads() const {
  std::string text;
  for (const Thread *thread : threads_) {
    if (thread->state == ThreadState::Terminated)
      continue;
    text += "  thread " + std::to_string(thread->id) + " \"" + thread->name +
            "\": ";
    if (thread->state != ThreadState::Waiting) {
      text += thread->state == ThreadState::Ready ? "ready\n" : "running\n";
      continue;
    }
    if (thread->spin_wait != nullptr) {
      text += "spins on spin lock " + format_address(thread->spin_wait);
    } else if (thread->wait_count == 0) {
      text +=
          "delays until " + std::to_string(thread->deadline / 10000) + " ms";
    } else {
      text += thread->wait_count > 1
                  ? (thread->wait_type == WaitAll ? "waits for all of "
                                                  : "waits for any of ")
                  : "waits for ";
      for (ULONG i = 0; i < thread->wait_count; ++i) {
        if (i > 0)
          text += ", ";
        text += describe_object(thread->wait_blocks[i].object);
      }
      if (thread->has_deadline)
        text += " until " + std::to_string(thread->deadline / 10000) + " ms";
    }
    text += " in " + describe_code_address(thread->wait_site) + "\n";
  }
  return text;
}

std::string Scheduler::describe_object(const DISPATCHER_HEADER *header) const {
  switch (header->Type) {
  case kEventNotificationObject:
    return "notification event " + format_address(header);
  case kEventSynchronizationObject:
    return "synchronization event " + format_address(header);
  case kThreadObject:
    return "thread \"" +
           reinterpret_cast<const _KTHREAD *>(header)->Owner->name + "\"";
  default:
    return "object " + format_address(header);
  }
}

void Scheduler::block(Lock &lock, Thread *self) {
  if (simulation()) {
    switch_away(lock, self);
    return;
  }
  while (self->state == ThreadState::Waiting) {
    if (!self->has_deadline) {
      self->wake.wait(lock);
      continue;
    }
    auto when = real_start_ + std::chrono::nanoseconds(self->deadline * 100);
    if (self->wake.wait_until(lock, when) == std::cv_status::timeout &&
        self->state == ThreadState::Waiting && now() >= self->deadline)
      expire(self);
  }
  self->state = ThreadState::Running;
}

void Scheduler::make_ready(Thread *thread) {
  thread->state = ThreadState::Ready;
  if (!simulation())
    thread->wake.notify_one();
}

void Scheduler::expire(Thread *thread) {
  unlink_waits(thread);
  thread->wait_status = STATUS_TIMEOUT;
  make_ready(thread);
}

std::uint64_t Scheduler::now() const {
  if (simulation())
    return now_.load(std::memory_order_relaxed);
  auto elapsed = std::chrono::steady_clock::now() - real_start_;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() /
      100);
}

void Scheduler::check_teardown() {
  Lock lock(dispatcher_lock_);
  for (const Thread *thread : threads_) {
    if (!thread->system)
      continue;
    if (thread->state != ThreadState::Terminated) {
      std::string where;
      if (thread->state == ThreadState::Waiting)
        where =
            " (blocked in " + describe_code_address(thread->wait_site) + ")";
      kernel_.verifier().report(FindingKind::ThreadRunningAtTeardown,
                                "thread " + std::to_string(thread->id) + " \"" +
                                    thread->name + "\" never ended" + where);
      continue;
    }
    LONG handles = 0;
    for (const auto &[value, entry] : handles_)
      handles += entry.thread == thread;
    kernel_.verifier().report(
        FindingKind::ObjectReferenceLeak,
        "thread object of \"" + thread->name + "\" still referenced " +
            std::to_string(thread->references) + " time(s), " +
            std::to_string(handles) + " by open handle(s)");
  }
}

} // namespace talvor::kernel
