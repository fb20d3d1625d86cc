// Calls back at chosen times on the kernel's clock, from a kernel thread of
// its own that runs only while a time is set. Device models use it for what
// they decide when a time comes rather than when a transfer arrives.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/kernel/kernel.h"

namespace talvor::reader {

class Alarm {
public:
  Alarm(kernel::Kernel &kernel, std::function<void()> ring);
  // No ring after this returns.
  ~Alarm();
  Alarm(const Alarm &) = delete;
  Alarm &operator=(const Alarm &) = delete;

  // Rings at `time` (interrupt time) or as soon after as the thread runs.
  // Not under a lock the ring takes: it may start the thread.
  void at(std::uint64_t time);
  void cancel();

private:
  struct State;
  static void Main(PVOID context);

  std::shared_ptr<State> state_;
};

} // namespace talvor::reader
