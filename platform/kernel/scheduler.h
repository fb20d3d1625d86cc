// Kernel threads, the dispatcher (events, waits, spin locks) and the clock.
//
// Simulation clock: every kernel thread is an OS thread, but only the one
// named by running_ executes kernel or driver code; at each blocking or
// yield point the seeded generator picks the next one among the ready
// threads. When none is ready the clock jumps to the earliest deadline; when
// there is none either, the run has settled (its body returned) or
// deadlocked. Real-time clock: the same data structures, real concurrency,
// waits on condition variables against the monotonic clock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

#include "platform/kernel/kernel.h"

namespace talvor::kernel {
struct Thread;
}

// What drivers see of a thread: its dispatcher header (signalled when the
// thread ends), so that KeWaitForSingleObject works on thread objects.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  talvor::kernel::Thread *Owner;
};
struct _ETHREAD {
  _KTHREAD Tcb;
};

namespace talvor::kernel {

// Dispatcher object types, with the numbers the kernel uses.
enum : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kThreadObject = 6,
};

// KeQuerySystemTime at interrupt time 0.
std::uint64_t system_epoch();

enum class ThreadState { Ready, Running, Waiting, Terminated };

// Processes, by id: the system process, whose handle table is the kernel's,
// and a user process per Application.
constexpr std::uint64_t kSystemProcess = 4;

struct WaitBlock {
  LIST_ENTRY entry; // in the object's WaitListHead while linked
  Thread *thread = nullptr;
  DISPATCHER_HEADER *object = nullptr;
  ULONG key = 0;
  bool linked = false;
};

struct Thread {
  _ETHREAD object{};
  std::uint64_t id = 0;
  std::string name;
  bool system = false; // created by PsCreateSystemThread
  bool body = false;   // the body of a simulation run
  // The process whose context the thread runs in: the system process, or
  // an application's while the thread makes that application's calls.
  // Written and read only by the thread itself.
  std::uint64_t process = kSystemProcess;
  ThreadState state = ThreadState::Ready;
  KPRIORITY priority = 8;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> held_locks; // in acquisition order

  // The current wait (state Waiting).
  WaitBlock wait_blocks[MAXIMUM_WAIT_OBJECTS];
  ULONG wait_count = 0;
  WAIT_TYPE wait_type = WaitAny;
  bool has_deadline = false;
  std::uint64_t deadline = 0; // interrupt time
  NTSTATUS wait_status = STATUS_SUCCESS;
  PKSPIN_LOCK spin_wait = nullptr; // simulation: waiting for this lock
  const void *wait_site = nullptr;

  std::condition_variable wake;
  bool abandoned = false; // left asleep for good after a deadlock

  // Object references: the running thread holds one, each handle one, each
  // ObReferenceObject one. Freed at zero once terminated.
  LONG references = 1;
  PKSTART_ROUTINE start = nullptr;
  PVOID context = nullptr;
  std::function<void()> run_body;
  std::jmp_buf exit_point;
  NTSTATUS exit_status = STATUS_SUCCESS;
};

class Scheduler {
public:
  Scheduler(Kernel &kernel, const Options &options);
  ~Scheduler();

  // --- threads
  // The calling kernel thread. Real-time: a foreign OS thread is adopted on
  // its first call. Simulation: null for a thread that is not a kernel
  // thread (the test's own thread outside run()).
  Thread *current();
  // As current(), but a blocking routine called from a non-kernel thread in
  // simulation is a usage error that stops the process with a message.
  Thread *current_or_die(const char *routine);

  RunResult run(std::function<void()> body, std::string name);
  // The handle goes to the kernel's table when `kernel_handle`
  // (OBJ_KERNEL_HANDLE) or when the caller runs in the system process, else
  // to the table of the caller's process.
  NTSTATUS create_system_thread(PKSTART_ROUTINE start, PVOID context,
                                bool kernel_handle, HANDLE *handle);
  // A thread the kernel itself needs (work items, deferred closes): no
  // handle, and never refused by fail_thread_creation.
  void start_kernel_thread(PKSTART_ROUTINE start, PVOID context);
  [[noreturn]] void terminate_current(NTSTATUS status);
  void fail_thread_creation(unsigned count);

  // --- processes
  std::uint64_t create_process();
  // Process exit: closes what is left in its handle table.
  void end_process(std::uint64_t process);
  // Runs the calling kernel thread in `process`; returns the process it ran
  // in before.
  std::uint64_t attach_process(std::uint64_t process);

  // --- handles and references (thread objects are the only objects)
  // A handle of a user process used in kernel mode is a finding, as under
  // Driver Verifier: from that process it still works, from any other it
  // is not in the table (STATUS_INVALID_HANDLE). ZwClose is kernel mode.
  NTSTATUS reference_by_handle(HANDLE handle, KPROCESSOR_MODE mode,
                               PVOID *object, const void *site);
  NTSTATUS close_handle(HANDLE handle, const void *site);
  LONG_PTR reference(PVOID object, const void *site);
  LONG_PTR dereference(PVOID object, const void *site);

  // --- dispatcher
  NTSTATUS wait(ULONG count, PVOID objects[], WAIT_TYPE type,
                PLARGE_INTEGER timeout, const void *site, const char *routine);
  NTSTATUS delay(PLARGE_INTEGER interval, const void *site);
  void initialize_event(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
  LONG set_event(PRKEVENT event, bool pulse, const void *site);
  LONG reset_event(PRKEVENT event, const void *site);
  LONG read_event(PRKEVENT event, const void *site);
  // A yield point: the simulation may switch to another ready thread.
  void yield();

  // --- spin locks (IRQL is handled by the callers)
  void acquire_spin_lock(PKSPIN_LOCK lock, const void *site);
  void release_spin_lock(PKSPIN_LOCK lock, const void *site);
  void forget_spin_lock(PKSPIN_LOCK lock);

  // --- clock
  std::uint64_t now() const; // interrupt time, 100 ns units

  // OS threads not yet joined (ended kernel threads are joined as new ones
  // start).
  std::size_t os_threads() const {
    Lock lock(dispatcher_lock_);
    return os_threads_.size();
  }

  // System threads not yet ended: under the real-time clock a thread that
  // has signalled its last event may still be on its way out.
  // Start routines of the system threads not yet terminated.
  std::vector<PKSTART_ROUTINE> live_system_thread_starts() const {
    Lock lock(dispatcher_lock_);
    std::vector<PKSTART_ROUTINE> starts;
    for (const Thread *thread : threads_)
      if (thread->system && thread->state != ThreadState::Terminated)
        starts.push_back(thread->start);
    return starts;
  }
  std::size_t live_system_threads() const {
    Lock lock(dispatcher_lock_);
    std::size_t live = 0;
    for (const Thread *thread : threads_)
      live += thread->system && thread->state != ThreadState::Terminated;
    return live;
  }

  // Findings for threads still alive and objects still referenced.
  void check_teardown();
  // Before deleting the scheduler: true when no thread is left alive. Else
  // the threads are abandoned and the scheduler must be leaked.
  bool prepare_destruction();

private:
  using Lock = std::unique_lock<std::mutex>;
  struct HandleEntry {
    Thread *thread = nullptr;
    std::uint64_t process = kSystemProcess; // kSystemProcess: the kernel's
  };
  bool simulation() const { return clock_ == Clock::Simulation; }

  Thread *new_thread(std::string name);
  Thread *spawn(Lock &lock, PKSTART_ROUTINE start, PVOID context);
  void start_os_thread(Thread *thread);
  void thread_main(Thread *thread);
  void exit_thread(Lock &lock, Thread *self);
  void release_object(Thread *thread);
  // A kernel-mode use of a user process's handle: the finding, and whether
  // the handle is in the caller's table at all.
  bool check_kernel_use(const HandleEntry &entry, HANDLE handle,
                        std::uint64_t caller, const char *routine,
                        const void *site);
  Thread *thread_of(PVOID object) const;

  // Called with dispatcher_lock_ held by the running thread, whose state is
  // already Ready, Waiting or Terminated. Returns once it runs again (not
  // for Terminated).
  void switch_away(Lock &lock, Thread *self);
  void yield_locked(Lock &lock, Thread *self);
  // Picks the next thread to run, advancing the clock as needed; null when
  // the run has ended (settled, deadlock, livelock).
  Thread *pick_next(Lock &lock);
  void end_run(RunOutcome outcome, std::string report);
  std::string describe_threads() const;
  void block(Lock &lock, Thread *self);
  void make_ready(Thread *thread);
  void expire(Thread *thread);

  bool check_object(DISPATCHER_HEADER *header, const char *routine,
                    const void *site);
  bool satisfiable(Thread *thread, ULONG *key) const;
  void satisfy(Thread *thread, NTSTATUS status);
  void unlink_waits(Thread *thread);
  void consume(Thread *thread, ULONG key);
  void wake_waiters(DISPATCHER_HEADER *header);
  std::uint64_t deadline_of(const LARGE_INTEGER &timeout) const;
  void check_lock_order(Thread *self, PKSPIN_LOCK lock, const void *site);
  std::string describe_object(const DISPATCHER_HEADER *header) const;

  Kernel &kernel_;
  const Clock clock_;
  const std::uint64_t seed_;
  const std::uint64_t step_limit_;
  const std::uint64_t settle_limit_;
  const std::chrono::steady_clock::time_point real_start_;
  const std::uint64_t generation_;

  // dispatcher_lock_ guards everything below: every thread's state and wait
  // blocks, every dispatcher object's signal state and wait list, the
  // simulation's running thread, clock and generator, the handle table.
  // Spin locks and object memory of the driver are touched only with it
  // held, or by the one running thread under the simulation clock.
  mutable std::mutex dispatcher_lock_;
  std::vector<Thread *> threads_; // every thread not yet freed
  // Every process's handle table in one map, by value: values are never
  // shared between processes. Kernel handles have the high bit, as on
  // Windows.
  std::map<std::uintptr_t, HandleEntry> handles_;
  std::uintptr_t next_kernel_handle_ = 0x80000004;
  std::uintptr_t next_user_handle_ = 4;
  std::uint64_t next_process_ = kSystemProcess + 4;
  std::uint64_t next_thread_id_ = 1;
  unsigned fail_thread_creations_ = 0;
  std::map<std::uint64_t, std::thread> os_threads_; // by kernel thread id
  std::vector<std::uint64_t> ended_os_threads_;     // not yet joined
  // Spin lock order seen so far: lock -> locks taken while holding it, with
  // the routine that did so; and the pairs already reported as inverted.
  std::map<PKSPIN_LOCK, std::map<PKSPIN_LOCK, std::string>> lock_order_;
  std::map<std::pair<PKSPIN_LOCK, PKSPIN_LOCK>, bool> inversions_reported_;

  // Simulation only.
  Thread *running_ = nullptr;
  std::atomic<std::uint64_t> now_{0};
  std::mt19937_64 generator_;
  std::uint64_t steps_ = 0;
  bool run_active_ = false;
  bool body_finished_ = false;
  std::uint64_t body_end_ = 0;
  bool dead_ = false;
  RunResult result_;
  std::condition_variable run_done_;
};

} // namespace talvor::kernel
