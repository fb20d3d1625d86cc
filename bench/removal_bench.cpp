// Card-removal abort: the real time from pulling the card to the return of
// a transmission that waits on it. The card (T=0) takes the command header
// and never answers, so the driver sits in its bulk-in read with the
// card's waiting time ahead of it; the removal reaches the presence thread,
// which signals the card change and pauses 100 ms before it ends, and only
// then does the transport give up on the read, send HOST ABORT and start a
// new thread. The target is that pause plus at most 1 ms.
//
// With the zero-latency reader the figure is the software's, and the one
// frame in which the bus completes the cancelled read (the transport cancels
// it once the thread has ended); with the reader as built it adds the bus's
// polling of the interrupt endpoint (every 10 frames) and the frames of the
// abort.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <winsmcrd.h>

#include "bench/session.h"
#include "platform/kernel/pnp.h"
#include "sim/card/applications.h"

namespace {

using talvor::kernel::Clock;
namespace bench = talvor::bench;
namespace card = talvor::card;
namespace host = talvor::host;
namespace reader = talvor::reader;
using std::chrono::steady_clock;

constexpr std::size_t kHeader = 5; // what the card takes before it goes quiet

std::unique_ptr<card::Card> silent_card() {
  return std::make_unique<card::Card>(
      card::make_card(card::ReadyCard::t0_silent_after_header,
                      std::make_unique<card::EchoApplication>()));
}

// A fresh silent card, seen by the driver, powered and on T=0.
std::string ready(host::Reader &reader) {
  reader.insert(silent_card());
  NTSTATUS status = reader.track(true).wait();
  if (!NT_SUCCESS(status))
    return "track: " + talvor::kernel::status_text(status);
  host::Answer answer = reader.power(SCARD_COLD_RESET);
  if (answer.ok())
    answer = reader.set_protocol(SCARD_PROTOCOL_T0);
  if (!answer.ok())
    return "power or protocol: " + talvor::kernel::status_text(answer.status);
  return {};
}

// One removal under a waiting transmission: the real time it took to
// return, or an error.
std::string abort_once(host::Reader &reader, double &seconds) {
  const std::size_t sent = reader.firmware().counters().bytes_to_card;
  host::Answer answer;
  steady_clock::time_point returned;
  std::thread application([&] {
    const std::uint8_t apdu[] = {0x00, card::echo::kCase1, 0x00, 0x00};
    answer = reader.transmit(SCARD_PROTOCOL_T0, apdu);
    returned = steady_clock::now();
  });
  // The header is on the card; a little later the driver is in its read.
  const steady_clock::time_point limit =
      steady_clock::now() + std::chrono::seconds(1);
  while (reader.firmware().counters().bytes_to_card < sent + kHeader &&
         steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const steady_clock::time_point removed = steady_clock::now();
  reader.take_card();
  application.join();
  if (answer.ok())
    return "the transmission to a silent card succeeded";
  if (returned < removed)
    return "the transmission ended before the removal: " +
           talvor::kernel::status_text(answer.status);
  seconds = std::chrono::duration<double>(returned - removed).count();
  return {};
}

void BM_RemovalAbort(benchmark::State &state, reader::Timing timing) {
  auto kernel = bench::make_kernel(Clock::RealTime);
  std::string error;
  double total = 0;
  double longest = 0;
  double shortest = 1e9;
  {
    host::System system(*kernel);
    reader::ReaderOptions options;
    options.timing = timing;
    host::Reader *reader = nullptr;
    error = bench::bring_up(system, reader, silent_card(), SCARD_PROTOCOL_T0,
                            options);
    bool first = true;
    for (auto _ : state) {
      if (!first && error.empty())
        error = ready(*reader);
      first = false;
      double seconds = 0;
      if (error.empty())
        error = abort_once(*reader, seconds);
      if (!error.empty())
        break;
      state.SetIterationTime(seconds);
      total += seconds;
      longest = std::max(longest, seconds);
      shortest = std::min(shortest, seconds);
    }
    system.shut_down();
  }
  if (error.empty())
    error = bench::teardown(*kernel);
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto count = static_cast<double>(state.iterations());
  state.counters["mean_ms"] = total * 1000.0 / count;
  state.counters["min_ms"] = shortest * 1000.0;
  state.counters["max_ms"] = longest * 1000.0;
  state.counters["beyond_pause_ms"] = total * 1000.0 / count - 100.0;
}

BENCHMARK_CAPTURE(BM_RemovalAbort, instant_reader, reader::Timing::Instant)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RemovalAbort, full_speed_reader, reader::Timing::FullSpeed)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
