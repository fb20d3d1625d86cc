// APDUs per second through the whole stack: the application's
// IOCTL_SMARTCARD_TRANSMIT, the I/O manager, the smart card library, the
// driver's transport, the bus, the reader's firmware and the card's echo
// application, and back. Real-time clock, the zero-latency reader: what the
// software costs, with no modelled wire time.
//
// Per APDU also the pool allocations (every tag, and the driver's own "SCS4",
// which should be one URB per transfer it makes) next to the transfers on
// the default and bulk pipes, and the blocks and bytes outstanding before
// and after the run: they must not grow.
#include <barrier>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <winsmcrd.h>

#include "bench/session.h"

namespace {

using talvor::bench::ApduCase;
using talvor::kernel::Clock;
namespace bench = talvor::bench;
namespace host = talvor::host;
namespace reader = talvor::reader;

reader::ReaderOptions instant() {
  reader::ReaderOptions options;
  options.timing = reader::Timing::Instant;
  return options;
}

// Ends the benchmark with `error` unless it is empty; true if it did.
bool fails(benchmark::State &state, const std::string &error) {
  if (error.empty())
    return false;
  state.SkipWithError(error.c_str());
  return true;
}

void BM_Apdu(benchmark::State &state, ULONG protocol, ApduCase apdu) {
  auto kernel = bench::make_kernel(Clock::RealTime);
  std::string error;
  {
    host::System system(*kernel);
    std::shared_ptr<bench::TransferCounter> counter;
    auto wrap = [&](std::shared_ptr<talvor::usb::UsbDevice> device) {
      counter = std::make_shared<bench::TransferCounter>(std::move(device));
      return counter;
    };
    host::Reader *reader = nullptr;
    error = bench::bring_up(system, reader,
                            bench::echo_card(bench::card_for(protocol)),
                            protocol, instant(), wrap);
    // One exchange before the count starts, so a failure shows at once.
    if (error.empty())
      error = bench::exchange(*reader, protocol, apdu);
    if (fails(state, error))
      return;
    const bench::PoolCount before = bench::pool_count(*kernel);
    const std::uint64_t transfers = counter->transfers();
    for (auto _ : state) {
      error = bench::exchange(*reader, protocol, apdu);
      if (!error.empty())
        break;
    }
    const bench::PoolCount after = bench::pool_count(*kernel);
    const auto apdus = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("items = APDUs");
    state.counters["allocs/APDU"] =
        static_cast<double>(after.allocations - before.allocations) / apdus;
    state.counters["driver_allocs/APDU"] =
        static_cast<double>(after.driver_allocations -
                            before.driver_allocations) /
        apdus;
    state.counters["transfers/APDU"] =
        static_cast<double>(counter->transfers() - transfers) / apdus;
    state.counters["blocks_before"] = static_cast<double>(before.outstanding);
    state.counters["blocks_after"] = static_cast<double>(after.outstanding);
    state.counters["bytes_before"] =
        static_cast<double>(before.outstanding_bytes);
    state.counters["bytes_after"] =
        static_cast<double>(after.outstanding_bytes);
    system.shut_down();
  }
  if (error.empty())
    error = bench::teardown(*kernel);
  fails(state, error);
}

// 128 readers, the most one driver image serves, each with its own card and
// its own application thread exchanging APDUs; all start together.
void BM_ManyReaders(benchmark::State &state, ULONG protocol) {
  constexpr std::size_t kReaders = 128;
  constexpr int kApdusPerReader = 100;
  auto kernel = bench::make_kernel(Clock::RealTime);
  std::string error;
  {
    host::System system(*kernel);
    std::vector<host::Reader *> readers(kReaders);
    const bench::PoolCount empty = bench::pool_count(*kernel);
    for (std::size_t i = 0; i < kReaders && error.empty(); ++i)
      error = bench::bring_up(system, readers[i],
                              bench::echo_card(bench::card_for(protocol)),
                              protocol, instant());
    if (error.empty())
      for (host::Reader *one : readers)
        if (error.empty())
          error = bench::exchange(*one, protocol, ApduCase::Case1);
    if (fails(state, error))
      return;
    const bench::PoolCount up = bench::pool_count(*kernel);

    std::vector<std::string> errors(kReaders);
    for (auto _ : state) {
      std::barrier start(static_cast<std::ptrdiff_t>(kReaders));
      std::vector<std::thread> threads;
      for (std::size_t i = 0; i < kReaders; ++i)
        threads.emplace_back([&, i] {
          start.arrive_and_wait();
          for (int n = 0; n < kApdusPerReader && errors[i].empty(); ++n)
            errors[i] = bench::exchange(*readers[i], protocol, ApduCase::Case1);
        });
      for (std::thread &thread : threads)
        thread.join();
      for (const std::string &one : errors)
        if (error.empty())
          error = one;
      if (!error.empty())
        break;
    }
    const bench::PoolCount after = bench::pool_count(*kernel);
    state.SetItemsProcessed(state.iterations() *
                            static_cast<std::int64_t>(kReaders) *
                            kApdusPerReader);
    state.SetLabel("items = APDUs, all readers together");
    state.counters["pool_bytes/reader"] =
        static_cast<double>(up.outstanding_bytes - empty.outstanding_bytes) /
        kReaders;
    state.counters["pool_blocks/reader"] =
        static_cast<double>(up.outstanding - empty.outstanding) / kReaders;
    state.counters["bytes_growth"] =
        static_cast<double>(after.outstanding_bytes) -
        static_cast<double>(up.outstanding_bytes);
    system.shut_down();
  }
  if (error.empty())
    error = bench::teardown(*kernel);
  fails(state, error);
}

// 100,000 short APDUs: long enough to see the pool grow if it did.
BENCHMARK_CAPTURE(BM_Apdu, t1_case1, SCARD_PROTOCOL_T1, ApduCase::Case1)
    ->Iterations(100'000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Apdu, t1_case4_long, SCARD_PROTOCOL_T1,
                  ApduCase::Case4Long)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Apdu, t0_case1, SCARD_PROTOCOL_T0, ApduCase::Case1)
    ->Iterations(100'000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Apdu, t0_case4_long, SCARD_PROTOCOL_T0,
                  ApduCase::Case4Long)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ManyReaders, t1_case1, SCARD_PROTOCOL_T1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
