// Modelled wire time per APDU under the reader's full-speed timing, next to
// the protocol minimum of the same exchange: whether the driver adds idle
// time of its own. Simulation clock, so software costs no time and every
// microsecond of an APDU is bus or line time, or a wait of the driver's.
//
// The protocol minimum. The reader answers a command at the next 1 ms
// frame, takes a bulk-out packet at the frame after its UART has sent the
// packet before, and answers a bulk-in read at the frame after the last
// byte asked for has crossed the line at the card's rate. Each transfer of
// the APDU (default and bulk pipes; the presence thread's interrupt read
// runs beside it and is on no path) therefore spends its own modelled time
// in the device, from its submission to its completion in the fault
// injector's log. The driver makes one transfer at a time, so the minimum
// is those times back to back: the length of the union of the transfers'
// intervals within the APDU. What the APDU takes beyond that is time in
// which no transfer of it was in the device: the driver (or the library
// above it) idling. A gap that the next frame would have absorbed anyway
// still counts, so the overhead figure errs high, never low.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <winsmcrd.h>

#include "bench/session.h"
#include "platform/usb/fault.h"

namespace {

using talvor::bench::ApduCase;
using talvor::kernel::Clock;
namespace bench = talvor::bench;
namespace host = talvor::host;
namespace usb = talvor::usb;

struct Window {
  std::uint64_t start = 0; // interrupt time, 100 ns units
  std::uint64_t end = 0;
};

// The time within `window` covered by at least one of its transfers.
std::uint64_t busy_time(const std::vector<usb::TransferRecord> &log,
                        const Window &window) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (const usb::TransferRecord &record : log)
    if (record.type != usb::TransferType::Interrupt &&
        record.outcome != usb::TransferRecord::Outcome::Pending &&
        record.submitted >= window.start && record.finished <= window.end)
      spans.emplace_back(record.submitted, record.finished);
  std::sort(spans.begin(), spans.end());
  std::uint64_t covered = 0;
  std::uint64_t reached = window.start;
  for (const auto &[from, to] : spans) {
    const std::uint64_t begin = std::max(from, reached);
    if (to > begin) {
      covered += to - begin;
      reached = to;
    }
  }
  return covered;
}

void BM_WireTime(benchmark::State &state, ULONG protocol, ApduCase apdu) {
  constexpr int kApdus = 20;
  auto kernel = bench::make_kernel(Clock::Simulation);
  std::optional<host::System> system;
  std::shared_ptr<usb::FaultInjector> injector;
  host::Reader *reader = nullptr;
  std::string error;
  std::vector<Window> windows;

  auto run = [&](auto body) {
    talvor::kernel::RunResult result = kernel->run(body);
    if (!result.ok() && error.empty())
      error = result.report;
  };
  run([&] {
    system.emplace(*kernel);
    talvor::reader::ReaderOptions options; // the reader as built
    error = bench::bring_up(
        *system, reader, bench::echo_card(bench::card_for(protocol)), protocol,
        options, [&](std::shared_ptr<usb::UsbDevice> device) {
          injector = std::make_shared<usb::FaultInjector>(std::move(device));
          return injector;
        });
  });
  for (auto _ : state) {
    if (!error.empty())
      break;
    run([&] {
      for (int i = 0; i < kApdus && error.empty(); ++i) {
        Window window;
        window.start = kernel->now();
        error = bench::exchange(*reader, protocol, apdu);
        window.end = kernel->now();
        windows.push_back(window);
      }
    });
  }
  if (error.empty()) {
    const std::vector<usb::TransferRecord> log = injector->log();
    std::uint64_t modelled = 0;
    std::uint64_t minimum = 0;
    for (const Window &window : windows) {
      modelled += window.end - window.start;
      minimum += busy_time(log, window);
    }
    const auto apdus = static_cast<double>(windows.size());
    state.counters["modelled_us/APDU"] =
        static_cast<double>(modelled) / 10.0 / apdus;
    state.counters["minimum_us/APDU"] =
        static_cast<double>(minimum) / 10.0 / apdus;
    state.counters["overhead_%"] =
        minimum == 0 ? 0.0
                     : 100.0 * static_cast<double>(modelled - minimum) /
                           static_cast<double>(minimum);
  }
  run([&] { system.reset(); });
  if (error.empty())
    error = bench::teardown(*kernel);
  if (!error.empty())
    state.SkipWithError(error.c_str());
}

BENCHMARK_CAPTURE(BM_WireTime, t1_case1, SCARD_PROTOCOL_T1, ApduCase::Case1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WireTime, t1_case4_long, SCARD_PROTOCOL_T1,
                  ApduCase::Case4Long)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WireTime, t0_case1, SCARD_PROTOCOL_T0, ApduCase::Case1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WireTime, t0_case4_long, SCARD_PROTOCOL_T0,
                  ApduCase::Case4Long)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
