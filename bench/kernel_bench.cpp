// The cost of the kernel's two basic hand-offs under each clock: a thread
// switch (one thread sets an event another waits on, and back) and a wait
// that is satisfied at once.
#include <benchmark/benchmark.h>

#include "tests/kernel/driver/programs.h"
#include "platform/kernel/kernel.h"

namespace {

using talvor::kernel::Clock;
using talvor::kernel::Kernel;
using talvor::kernel::Options;

Options options_for(Clock clock) {
  Options options;
  options.clock = clock;
  return options;
}

template <typename Body> void in_kernel(Kernel &kernel, Body body) {
  if (kernel.clock() == Clock::Simulation)
    kernel.run(body);
  else
    body();
}

// Each round trip is two thread hand-offs: set, wake the partner, wait for
// its answer.
void BM_ThreadHandOff(benchmark::State &state, Clock clock) {
  Kernel kernel(options_for(clock));
  constexpr ULONG kRounds = 1000;
  for (auto _ : state)
    in_kernel(kernel, [] { ProgramPingPong(kRounds); });
  state.SetItemsProcessed(state.iterations() * kRounds * 2);
  state.SetLabel("items = thread hand-offs");
}

// A set followed by a wait that finds the event signalled.
void BM_WaitSetRoundTrip(benchmark::State &state, Clock clock) {
  Kernel kernel(options_for(clock));
  constexpr int kRounds = 10000;
  for (auto _ : state)
    in_kernel(kernel, [] {
      KEVENT event;
      KeInitializeEvent(&event, SynchronizationEvent, FALSE);
      for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      }
    });
  state.SetItemsProcessed(state.iterations() * kRounds);
  state.SetLabel("items = set + wait");
}

BENCHMARK_CAPTURE(BM_ThreadHandOff, simulation, Clock::Simulation)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ThreadHandOff, real_time, Clock::RealTime)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_WaitSetRoundTrip, simulation, Clock::Simulation)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_WaitSetRoundTrip, real_time, Clock::RealTime)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
