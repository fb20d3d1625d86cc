// The hosted kernel: the one object that owns every piece of kernel state in
// a process (scheduler and clock, pool, registry, trace, verifier). Tests and
// tools create it; the WDM routines reach it through Kernel::get().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <wdm.h>

#include "platform/kernel/iomgr.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/trace.h"
#include "platform/kernel/verifier.h"

namespace talvor::kernel {

class Scheduler;

enum class Clock {
  // One kernel thread runs at a time, chosen by a seeded scheduler at every
  // blocking and yield point; time is virtual and jumps to the next deadline
  // when every thread is blocked.
  Simulation,
  // Real threads and the monotonic clock (command-line tool, pcscd).
  RealTime,
};

struct Options {
  Clock clock = Clock::Simulation;
  std::uint64_t seed = 1;
  ULONG time_increment = 156250; // 100 ns units per clock tick
  UCHAR wdm_major = 6;           // IoIsWdmVersionAvailable answers from this
  UCHAR wdm_minor = 0;
  bool echo_trace = false; // DbgPrint lines also go to stderr
  // Simulation: scheduling decisions before a run is declared a livelock.
  std::uint64_t step_limit = 200'000'000;
  // Simulation: once the body of run() has returned, how much further the
  // clock may advance (100 ns units) while the other threads settle.
  std::uint64_t settle_limit = 600'000'000; // 60 s
};

enum class RunOutcome { Completed, Deadlock, Livelock };

struct RunResult {
  RunOutcome outcome = RunOutcome::Completed;
  std::string report; // deadlock or livelock: every thread and its wait site
  std::uint64_t seed = 0;
  bool ok() const { return outcome == RunOutcome::Completed; }
};

class Kernel {
public:
  explicit Kernel(Options options = {});
  ~Kernel();
  Kernel(const Kernel &) = delete;
  Kernel &operator=(const Kernel &) = delete;

  // The kernel of this process; aborts with a message when there is none.
  static Kernel &get();
  static Kernel *current();

  // Simulation clock: runs `body` as a kernel thread and returns once it has
  // returned and the other threads have settled (blocked without a pending
  // deadline, or ended), or once the run deadlocked or livelocked. The
  // calling thread is not a kernel thread; it may call run() again.
  RunResult run(std::function<void()> body, std::string name = "main");

  // Teardown checks (pool leaks, threads still running, leaked references),
  // once: by the destructor, or earlier by a test that wants to see them.
  void check_teardown();

  const Options &options() const { return options_; }
  Clock clock() const { return options_.clock; }
  std::uint64_t seed() const { return options_.seed; }

  // Interrupt time (100 ns units since the kernel started) on this kernel's
  // clock; system time adds a fixed epoch so that runs are repeatable.
  std::uint64_t now() const;
  std::uint64_t system_time() const;

  void set_time_increment(ULONG increment) { time_increment_ = increment; }
  ULONG time_increment() const { return time_increment_; }
  void set_wdm_version(UCHAR major, UCHAR minor);
  bool wdm_version_available(UCHAR major, UCHAR minor) const;

  // Makes the next `count` PsCreateSystemThread calls fail with
  // STATUS_INSUFFICIENT_RESOURCES (0 ends the failures).
  void fail_thread_creation(unsigned count);

  Scheduler &scheduler() { return *scheduler_; }
  Pool &pool() { return *pool_; }
  Registry &registry() { return *registry_; }
  Trace &trace() { return *trace_; }
  Verifier &verifier() { return *verifier_; }
  IoManager &io() { return *io_; }

private:
  Options options_;
  ULONG time_increment_;
  UCHAR wdm_major_;
  UCHAR wdm_minor_;
  bool torn_down_ = false;
  std::unique_ptr<Verifier> verifier_;
  std::unique_ptr<Trace> trace_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<IoManager> io_;
  // The scheduler may outlive the kernel: threads abandoned in a deadlock
  // still sleep on its locks, so it is then deliberately never freed.
  Scheduler *scheduler_;
};

} // namespace talvor::kernel
