#include "sim/reader/alarm.h"

#include <mutex>
#include <set>

#include "platform/kernel/scheduler.h"

namespace talvor::reader {

struct Alarm::State {
  explicit State(kernel::Kernel &kernel_) : kernel(kernel_) {
    KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
  }
  kernel::Kernel &kernel;
  KEVENT wake; // an earlier time was set, or the alarm is going away
  // `lock` guards the members below.
  std::mutex lock;
  std::set<std::uint64_t> times;
  std::function<void()> ring; // empty once the owner is gone
  bool thread_running = false;
};

Alarm::Alarm(kernel::Kernel &kernel, std::function<void()> ring)
    : state_(std::make_shared<State>(kernel)) {
  state_->ring = std::move(ring);
}

// A thread still waiting wakes at its time, finds nothing and ends.
Alarm::~Alarm() {
  std::lock_guard guard(state_->lock);
  state_->ring = nullptr;
  state_->times.clear();
}

void Alarm::at(std::uint64_t time) {
  bool start = false;
  bool earliest = false;
  {
    std::lock_guard guard(state_->lock);
    if (!state_->ring)
      return;
    earliest = state_->times.empty() || time < *state_->times.begin();
    state_->times.insert(time);
    start = !state_->thread_running;
    state_->thread_running = true;
  }
  if (start) {
    // The thread owns a reference of its own; it frees it as it ends.
    state_->kernel.scheduler().start_kernel_thread(
        Main, new std::shared_ptr<State>(state_));
  } else if (earliest) {
    KeSetEvent(&state_->wake, IO_NO_INCREMENT, FALSE);
  }
}

void Alarm::cancel() {
  std::lock_guard guard(state_->lock);
  state_->times.clear();
}

void Alarm::Main(PVOID context) {
  std::shared_ptr<State> state =
      std::move(*static_cast<std::shared_ptr<State> *>(context));
  delete static_cast<std::shared_ptr<State> *>(context);
  for (;;) {
    std::unique_lock lock(state->lock);
    if (state->times.empty() || !state->ring) {
      state->thread_running = false;
      return;
    }
    const std::uint64_t next = *state->times.begin();
    const std::uint64_t now = state->kernel.now();
    if (next <= now) {
      state->times.erase(state->times.begin(), state->times.upper_bound(now));
      std::function<void()> ring = state->ring;
      lock.unlock();
      ring();
      continue;
    }
    lock.unlock();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(next - now);
    KeWaitForSingleObject(&state->wake, Executive, KernelMode, FALSE, &timeout);
  }
}

} // namespace talvor::reader
