#include "bench/session.h"

#include <chrono>
#include <cstdio>
#include <span>
#include <thread>

#include <winsmcrd.h>

#include "platform/kernel/pnp.h"
#include "platform/kernel/scheduler.h"
#include "sim/card/applications.h"

namespace talvor::bench {

namespace {

constexpr std::uint8_t kGetResponse = 0xC0;
constexpr std::uint8_t kMoreData = 0x61; // SW1: SW2 bytes wait for GET RESPONSE
constexpr std::size_t kLongLc = 255;
constexpr ULONG kDriverTag = kernel::make_pool_tag("SCS4");

std::string failed(const std::string &step, NTSTATUS status) {
  return step + ": " + kernel::status_text(status);
}

std::uint8_t long_data(std::size_t i) {
  return static_cast<std::uint8_t>(i * 7 + 1);
}

std::vector<std::uint8_t> command(ApduCase apdu) {
  std::vector<std::uint8_t> bytes = {0x00, card::echo::kCase1, 0x00, 0x00};
  if (apdu == ApduCase::Case4Long) {
    bytes[1] = card::echo::kCase4;
    bytes.push_back(static_cast<std::uint8_t>(kLongLc));
    for (std::size_t i = 0; i < kLongLc; ++i)
      bytes.push_back(long_data(i));
    bytes.push_back(0x00); // Le: 256
  }
  return bytes;
}

} // namespace

std::unique_ptr<kernel::Kernel> make_kernel(kernel::Clock clock) {
  kernel::Options options;
  options.clock = clock;
  auto made = std::make_unique<kernel::Kernel>(options);
  if (clock == kernel::Clock::RealTime)
    made->trace().set_retain(false);
  return made;
}

std::unique_ptr<card::Card> echo_card(card::ReadyCard which) {
  return std::make_unique<card::Card>(card::make_card(
      which, std::make_unique<card::EchoApplication>(
                 card::EchoOptions{std::chrono::milliseconds(0)})));
}

card::ReadyCard card_for(ULONG protocol) {
  return protocol == SCARD_PROTOCOL_T0 ? card::ReadyCard::t0
                                       : card::ReadyCard::t1_lrc;
}

std::string exchange(host::Reader &reader, ULONG protocol, ApduCase apdu) {
  static const std::vector<std::uint8_t> kCase1 = command(ApduCase::Case1);
  static const std::vector<std::uint8_t> kCase4 = command(ApduCase::Case4Long);
  host::Answer answer =
      reader.transmit(protocol, apdu == ApduCase::Case1 ? kCase1 : kCase4);
  // A T=0 card never learns Le: it offers what it has (61xx), which GET
  // RESPONSE fetches; the echo's 255 bytes take one.
  if (answer.ok() && answer.bytes.size() == 2 && answer.bytes[0] == kMoreData) {
    const std::uint8_t fetch[] = {0x00, kGetResponse, 0x00, 0x00,
                                  answer.bytes[1]};
    answer = reader.transmit(protocol, fetch);
  }
  if (!answer.ok())
    return failed("transmit", answer.status);
  const std::size_t size = answer.bytes.size();
  if (size < 2)
    return "transmit: an answer without SW1 SW2";
  if (answer.bytes[size - 2] != 0x90 || answer.bytes[size - 1] != 0x00) {
    char sw[8];
    std::snprintf(sw, sizeof sw, "%02X%02X", answer.bytes[size - 2],
                  answer.bytes[size - 1]);
    return std::string("transmit: SW ") + sw;
  }
  const std::span<const std::uint8_t> data(answer.bytes.data(), size - 2);
  // Under T=0 the card answers Lc bytes, under T=1 the 256 of Le.
  const std::size_t expected = apdu == ApduCase::Case1         ? 0
                               : protocol == SCARD_PROTOCOL_T0 ? kLongLc
                                                               : 256;
  if (data.size() != expected)
    return "transmit: " + std::to_string(data.size()) + " bytes back, not " +
           std::to_string(expected);
  for (std::size_t i = 0; i < data.size(); ++i)
    if (data[i] != long_data(i % kLongLc))
      return "transmit: byte " + std::to_string(i) + " of the echo differs";
  return {};
}

std::string bring_up(host::System &system, host::Reader *&reader,
                     std::unique_ptr<card::Card> card, ULONG protocol,
                     reader::ReaderOptions options,
                     const host::DeviceWrap &wrap) {
  NTSTATUS status = system.load("11");
  if (!NT_SUCCESS(status))
    return "load: " + system.last_error();
  reader = system.plug("11", options, wrap, &status);
  if (reader == nullptr || !NT_SUCCESS(status))
    return "plug: " + system.last_error();
  reader->insert(std::move(card));
  status = reader->open();
  if (!NT_SUCCESS(status))
    return failed("open", status);
  // The driver hears of the card through its presence thread first.
  status = reader->track(true).wait();
  if (!NT_SUCCESS(status))
    return failed("track", status);
  host::Answer answer = reader->power(SCARD_COLD_RESET);
  if (!answer.ok())
    return failed("power", answer.status);
  answer = reader->set_protocol(protocol);
  if (!answer.ok())
    return failed("set protocol", answer.status);
  return {};
}

void TransferCounter::submit(const usb::TransferPtr &transfer) {
  if (transfer->type() != usb::TransferType::Interrupt)
    transfers_.fetch_add(1);
  inner_->submit(transfer);
}

std::string teardown(kernel::Kernel &kernel) {
  // Under real time a bus port thread that has deleted its PDO may still
  // be on its way out.
  for (int tries = 0;
       kernel.clock() == kernel::Clock::RealTime && tries < 5000 &&
       kernel.scheduler().live_system_threads() > 0;
       ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kernel.check_teardown();
  std::string text;
  for (const kernel::Finding &finding : kernel.verifier().findings())
    text += kernel::to_string(finding) + "\n";
  return text;
}

PoolCount pool_count(kernel::Kernel &kernel) {
  PoolCount count;
  for (const kernel::PoolTagStats &stats : kernel.pool().all_stats()) {
    count.allocations += stats.allocations;
    count.outstanding += stats.outstanding;
    count.outstanding_bytes += stats.outstanding_bytes;
    if (stats.tag == kDriverTag)
      count.driver_allocations += stats.allocations;
  }
  return count;
}

} // namespace talvor::bench
