// The reader's firmware seen from the USB side, transaction by transaction,
// on the simulation clock: descriptors, the vendor commands and what they
// refuse, announced and unannounced transfers with a card in the slot, the
// presence byte, the I2C memory, and when each answer reaches the host.
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"
#include "platform/usb/descriptors.h"
#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using reader::Command;
using reader::ReaderFirmware;
using usb::Bytes;
using usb::TransferResult;
using usb::TransferType;

constexpr std::uint64_t kMs = 10'000; // 100 ns units

struct Outcome {
  std::optional<TransferResult> result; // none while the reader holds it
  std::uint64_t at = 0;                 // when it reaches the host
  std::uint64_t delay = 0;              // as the reader gave it
  usb::TransferPtr transfer;
  bool ok() const { return result && result->status == USBD_STATUS_SUCCESS; }
  bool stalled() const {
    return result && result->status == USBD_STATUS_STALL_PID;
  }
  const Bytes &data() const { return result->data; }
};

void sleep_ms(LONGLONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -ms * 10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class ReaderTest : public SimTest {
protected:
  void make(reader::ReaderOptions options = {}) {
    firmware_ = std::make_shared<ReaderFirmware>(kernel(), options);
  }
  void TearDown() override {
    firmware_.reset();
    SimTest::TearDown();
  }

  // Submits a transaction; its outcome fills in when the reader answers,
  // at once or later.
  std::shared_ptr<Outcome> submit_held(usb::UsbTransfer::Request request) {
    auto outcome = std::make_shared<Outcome>();
    auto transfer = std::make_shared<usb::UsbTransfer>(
        next_id_++, std::move(request),
        // Weak: the outcome holds the transfer, which holds this sink.
        [weak = std::weak_ptr<Outcome>(outcome)](TransferResult result,
                                                 std::uint64_t delay) {
          if (auto outcome = weak.lock()) {
            outcome->result = std::move(result);
            outcome->at = KeQueryInterruptTime() + delay;
            outcome->delay = delay;
          }
        });
    outcome->transfer = transfer;
    firmware_->submit(transfer);
    return outcome;
  }
  // Waits up to `ms` for the answer, then lets the clock reach it.
  static void wait(Outcome &outcome, LONGLONG ms = 5000) {
    for (LONGLONG waited = 0; !outcome.result && waited < ms; ++waited)
      sleep_ms(1);
    if (outcome.result && outcome.at > KeQueryInterruptTime()) {
      LARGE_INTEGER interval;
      interval.QuadPart =
          -static_cast<LONGLONG>(outcome.at - KeQueryInterruptTime());
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
  }
  Outcome submit(usb::UsbTransfer::Request request) {
    auto outcome = submit_held(std::move(request));
    wait(*outcome);
    return *outcome;
  }
  // The host gives up on a transfer the reader holds.
  void give_up(Outcome &outcome) {
    ASSERT_TRUE(outcome.transfer->abort());
    static_cast<usb::UsbDevice &>(*firmware_).cancelled(outcome.transfer);
  }

  static usb::UsbTransfer::Request
  setup(std::uint8_t type, std::uint8_t request, std::uint16_t value,
        std::uint16_t index, Bytes data, std::uint16_t in_length = 0) {
    usb::UsbTransfer::Request transfer;
    transfer.type = TransferType::Control;
    usb::SetupPacket packet;
    packet.request_type = type;
    packet.request = request;
    packet.value = value;
    packet.index = index;
    packet.length =
        (type & 0x80) ? in_length : static_cast<std::uint16_t>(data.size());
    transfer.setup = packet;
    transfer.length = packet.length;
    transfer.out = std::move(data);
    return transfer;
  }
  // A command with the fields its definition gives it.
  usb::UsbTransfer::Request
  command_request(Command code, std::uint16_t count = 0, Bytes data = {}) {
    switch (code) {
    case Command::ColdReset:
    case Command::WarmReset:
      return setup(0xC0, static_cast<std::uint8_t>(code), 0xFFFF, 0xFFFF, {},
                   1);
    case Command::VendorRead:
      return setup(0xC0, static_cast<std::uint8_t>(code), 0, 0, {}, 2);
    case Command::I2cCommand:
    case Command::VendorWrite:
      return setup(0x40, static_cast<std::uint8_t>(code), 0, 0,
                   std::move(data));
    case Command::WriteLength:
    case Command::ReadLength:
      return setup(0x40, static_cast<std::uint8_t>(code), 0xFFFF, count, {});
    default:
      return setup(0x40, static_cast<std::uint8_t>(code), 0xFFFF, 0xFFFF,
                   std::move(data));
    }
  }
  Outcome command(Command code, std::uint16_t count = 0, Bytes data = {}) {
    return submit(command_request(code, count, std::move(data)));
  }
  Outcome write(Bytes bytes) {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Bulk;
    request.endpoint = reader::kBulkOut;
    request.length = static_cast<std::uint32_t>(bytes.size());
    request.out = std::move(bytes);
    return submit(std::move(request));
  }
  static usb::UsbTransfer::Request read_request(std::uint32_t length) {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Bulk;
    request.endpoint = reader::kBulkIn;
    request.length = length;
    return request;
  }
  Outcome read(std::uint32_t length) { return submit(read_request(length)); }
  std::shared_ptr<Outcome> interrupt() {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Interrupt;
    request.endpoint = reader::kInterruptIn;
    request.length = 1;
    return submit_held(std::move(request));
  }
  void configure() {
    ASSERT_TRUE(
        submit(setup(0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, {})).ok());
  }
  void clear_halt(std::uint8_t endpoint) {
    ASSERT_TRUE(submit(setup(0x02, USB_REQUEST_CLEAR_FEATURE,
                             USB_FEATURE_ENDPOINT_STALL, endpoint, {}))
                    .ok());
  }
  card::Card *insert(card::ReadyCard which) {
    auto card = std::make_unique<card::Card>(
        card::make_card(which, std::make_unique<card::EchoApplication>()));
    card::Card *raw = card.get();
    firmware_->insert(std::move(card));
    return raw;
  }
  // COLD RESET, then the ATR read unannounced.
  Bytes cold_reset() {
    Outcome reset = command(Command::ColdReset);
    EXPECT_TRUE(reset.ok());
    if (!reset.ok())
      return {};
    Outcome atr = read(reset.data().at(0));
    EXPECT_TRUE(atr.ok());
    return atr.ok() ? atr.data() : Bytes{};
  }
  // Announces and sends a block in chunks of 16, as the driver does.
  void send_block(const Bytes &block) {
    ASSERT_TRUE(
        command(Command::WriteLength, static_cast<std::uint16_t>(block.size()))
            .ok());
    for (std::size_t at = 0; at < block.size(); at += 16)
      ASSERT_TRUE(
          write(Bytes(block.begin() + static_cast<std::ptrdiff_t>(at),
                      block.begin() + static_cast<std::ptrdiff_t>(
                                          std::min(block.size(), at + 16))))
              .ok());
  }
  // READ LENGTH 3, the prologue, READ LENGTH for the rest, as for T=1.
  Bytes receive_block() {
    EXPECT_TRUE(command(Command::ReadLength, 3).ok());
    Outcome prologue = read(3);
    if (!prologue.ok())
      return {};
    Bytes reply = prologue.data();
    const auto rest = static_cast<std::uint16_t>(reply[2] + 1);
    EXPECT_TRUE(command(Command::ReadLength, rest).ok());
    for (std::uint16_t got = 0; got < rest;) {
      const auto chunk = std::min<std::uint16_t>(rest - got, 16);
      Outcome part = read(chunk);
      if (!part.ok())
        return reply;
      reply.insert(reply.end(), part.data().begin(), part.data().end());
      got = static_cast<std::uint16_t>(got + chunk);
    }
    return reply;
  }
  static Bytes lrc_block(std::uint8_t pcb, const Bytes &inf) {
    Bytes block{0x00, pcb, static_cast<std::uint8_t>(inf.size())};
    block.insert(block.end(), inf.begin(), inf.end());
    std::uint8_t lrc = 0;
    for (std::uint8_t byte : block)
      lrc ^= byte;
    block.push_back(lrc);
    return block;
  }

  std::shared_ptr<ReaderFirmware> firmware_;
  std::uint64_t next_id_ = 1;
};

TEST(ReaderDescriptors, EndpointOrderAndLayouts) {
  auto standard = reader::reader_descriptors();
  const Bytes &configuration = standard.configurations.at(0);
  // interrupt-in, bulk-out, bulk-in, in that order.
  std::vector<std::uint8_t> endpoints;
  for (std::size_t at = 0; at + 1 < configuration.size();
       at += configuration[at]) {
    if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
      endpoints.push_back(configuration[at + 2]);
    if (configuration[at] == 0)
      break;
  }
  EXPECT_EQ(endpoints, (std::vector<std::uint8_t>{0x81, 0x02, 0x82}));
  EXPECT_LE(configuration.size(), 521u);
  EXPECT_GT(reader::reader_descriptors(reader::Layout::LongConfiguration)
                .configurations.at(0)
                .size(),
            521u);
  EXPECT_EQ(standard.device.at(1), USB_DEVICE_DESCRIPTOR_TYPE);
}

TEST(ReaderProfiles, EveryNameResolves) {
  for (std::string_view name : reader::reader_profile_names())
    EXPECT_TRUE(reader::reader_profile(name)) << name;
  EXPECT_FALSE(reader::reader_profile("no-such-reader"));
  EXPECT_EQ(reader::reader_profile("short-vendor-read")->vendor_read_bytes, 1);
  EXPECT_EQ(reader::reader_profile("instant")->timing, reader::Timing::Instant);
  for (card::ReadyCard which : card::all_cards()) {
    const auto name = card::ready_profile(which).name;
    EXPECT_EQ(card::find_card(name), which) << name;
  }
  EXPECT_FALSE(card::find_card("no-such-card"));
}

TEST_F(ReaderTest, CardCommandsStallWithoutACard) {
  run([&] {
    make();
    EXPECT_TRUE(command(Command::ColdReset).stalled());
    EXPECT_TRUE(command(Command::WarmReset).stalled());
    EXPECT_TRUE(command(Command::WriteLength, 4).stalled());
    EXPECT_TRUE(command(Command::ReadLength, 4).stalled());
    EXPECT_TRUE(command(Command::SetParameters, 0, {1, 0x11}).stalled());
    // Commands for the reader itself work.
    EXPECT_TRUE(command(Command::HostAbort).ok());
    EXPECT_TRUE(command(Command::PowerDown).ok());
    EXPECT_TRUE(command(Command::VendorWrite, 0, {1, 2}).ok());
    EXPECT_EQ(firmware_->counters().stalls, 5u);
  });
}

TEST_F(ReaderTest, EveryFieldOfEveryCommandIsChecked) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    struct Case {
      Command code;
      Bytes data;
    };
    const Case cases[] = {
        {Command::ColdReset, {}},
        {Command::WarmReset, {}},
        {Command::PowerDown, {}},
        {Command::HostAbort, {}},
        {Command::SetParameters, {1, 0x11}},
        {Command::WriteLength, {}},
        {Command::ReadLength, {}},
        {Command::I2cCommand, {0xA0, 0}},
        {Command::VendorWrite, {1, 2}},
        {Command::VendorRead, {}},
    };
    for (const Case &c : cases) {
      SCOPED_TRACE(static_cast<int>(c.code));
      const auto good = command_request(c.code, 5, c.data);
      const usb::SetupPacket &packet = *good.setup;
      // Each field in turn made wrong: the command stalls.
      std::vector<usb::UsbTransfer::Request> bad;
      for (std::uint8_t type :
           {static_cast<std::uint8_t>(packet.request_type ^ 0x80),
            static_cast<std::uint8_t>(packet.request_type ^ 0x01),
            static_cast<std::uint8_t>((packet.request_type & 0x80) | 0x20)})
        bad.push_back(
            setup(type, packet.request, packet.value, packet.index, c.data, 2));
      bad.push_back(setup(packet.request_type, packet.request,
                          static_cast<std::uint16_t>(packet.value ^ 0xFFFF),
                          packet.index, c.data, packet.length));
      if (c.code != Command::WriteLength && c.code != Command::ReadLength)
        bad.push_back(setup(packet.request_type, packet.request, packet.value,
                            static_cast<std::uint16_t>(packet.index ^ 0xFFFF),
                            c.data, packet.length));
      Bytes longer = c.data;
      longer.push_back(0);
      bad.push_back(setup(packet.request_type, packet.request, packet.value,
                          packet.index, longer,
                          static_cast<std::uint16_t>(packet.length + 1)));
      for (auto &request : bad)
        EXPECT_TRUE(submit(std::move(request)).stalled());
      EXPECT_TRUE(submit(command_request(c.code, 5, c.data)).ok());
    }
    // No command of this number.
    EXPECT_TRUE(submit(setup(0x40, 0x44, 0, 0, {})).stalled());
  });
}

TEST_F(ReaderTest, SetParametersTakesOnlyWhatTheReaderCanDo) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    cold_reset();
    struct Case {
      std::uint8_t protocol, rate;
      bool taken;
    };
    const Case cases[] = {
        {1, 0x11, true},  // 372: 9946 bit/s
        {0, 0x13, true},  // 93
        {1, 0x94, true},  // 512/8 = 64
        {1, 0xA6, true},  // 768/32 = 24
        {2, 0x11, false}, // no such protocol
        {1, 0x95, false}, // 512/16 = 32: not a rate it reports
        {1, 0x96, false}, // 16: reported, but above its maximum
        {1, 0x12, false}, // 186
        {1, 0x71, false}, // reserved Fi
    };
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << int(c.protocol) << " " << int(c.rate));
      EXPECT_EQ(command(Command::SetParameters, 0, {c.protocol, c.rate}).ok(),
                c.taken);
    }
    // The line keeps the last rate taken.
    EXPECT_EQ(
        firmware_->with_card([](card::Card *c) { return c->line_rate(); }),
        (card::Rate{10, 6}));

    // The protocol is honoured: a T=0 UART and a T=1 card hear nothing of
    // each other.
    cold_reset();
    const Bytes apdu = {0x00, card::echo::kCase1, 0, 0};
    ASSERT_TRUE(command(Command::SetParameters, 0, {1, 0x11}).ok());
    send_block(lrc_block(0x00, apdu));
    EXPECT_EQ(receive_block(), lrc_block(0x00, {0x90, 0x00}));
    ASSERT_TRUE(command(Command::SetParameters, 0, {0, 0x11}).ok());
    send_block(lrc_block(0x40, apdu));
    ASSERT_TRUE(command(Command::ReadLength, 3).ok());
    auto silent = submit_held(read_request(3));
    wait(*silent, 3000);
    EXPECT_FALSE(silent->result);
    give_up(*silent);
    EXPECT_EQ(firmware_->with_card([](card::Card *c) {
      return c->counters().protocol_mismatches;
    }),
              8u);
  });
}

TEST_F(ReaderTest, AnswersComeAtFullSpeedFramesAndTheCardsRate) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    const Bytes atr = card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes();
    // Off a frame boundary.
    LARGE_INTEGER offset;
    offset.QuadPart = -32'500;
    KeDelayExecutionThread(KernelMode, FALSE, &offset);
    // A command: the next frame, not at once.
    std::uint64_t before = KeQueryInterruptTime();
    Outcome abort = command(Command::HostAbort);
    EXPECT_EQ(abort.at, (before / kMs + 1) * kMs);

    // COLD RESET: the frame after the ATR's last character, which left the
    // card 10000 clocks and then 12 etu a character after the reset.
    before = KeQueryInterruptTime();
    Outcome reset = command(Command::ColdReset);
    ASSERT_TRUE(reset.ok());
    EXPECT_EQ(reset.data(), Bytes{static_cast<std::uint8_t>(atr.size())});
    const std::uint64_t last =
        before + (card::clock_cycles(10'000, card::kDefaultClockHz) +
                  card::etus(12, card::Rate{}, card::kDefaultClockHz) *
                      static_cast<std::int64_t>(atr.size()))
                         .count() /
                     100;
    EXPECT_EQ(reset.at, (last / kMs + 1) * kMs);
    Outcome atr_read = read(static_cast<std::uint32_t>(atr.size()));
    EXPECT_EQ(atr_read.data(), atr);

    // A write is taken once the chunk before it has crossed the line.
    ASSERT_TRUE(command(Command::WriteLength, 32).ok());
    before = KeQueryInterruptTime();
    Outcome first = write(Bytes(16, 0x00));
    Outcome second = write(Bytes(16, 0x00));
    EXPECT_EQ(first.at, (before / kMs + 1) * kMs);
    const std::uint64_t sent =
        (card::etus(12, card::Rate{}, card::kDefaultClockHz) * 16).count() /
        100;
    EXPECT_GE(second.at, first.at + sent - kMs);
    EXPECT_EQ(second.at % kMs, 0u);

    // The presence byte waits for the interrupt endpoint's next poll.
    configure();
    before = KeQueryInterruptTime();
    auto presence = interrupt();
    wait(*presence);
    EXPECT_EQ(presence->at, (before / (10 * kMs) + 1) * 10 * kMs);
  });
}

TEST_F(ReaderTest, InstantTimingAnswersAtOnce) {
  run([&] {
    make(*reader::reader_profile("instant"));
    insert(card::ReadyCard::t1_lrc);
    const std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(cold_reset(),
              card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes());
    send_block(lrc_block(0x00, {0x00, card::echo::kCase1, 0, 0}));
    EXPECT_EQ(receive_block(), lrc_block(0x00, {0x90, 0x00}));
    EXPECT_EQ(KeQueryInterruptTime(), before);
  });
}

// The real-time clock moves on while the reader works out an answer; an
// instant one must still come without delay, or the bus pends it.
TEST_F(ReaderTest, InstantTimingAnswersAtOnceUnderTheRealTimeClock) {
  kernel::Options options;
  options.clock = kernel::Clock::RealTime;
  start(default_seed(), options);
  // The test's own thread: run() keeps to the simulation clock.
  make(*reader::reader_profile("instant"));
  insert(card::ReadyCard::t1_lrc);
  cold_reset();
  auto presence = interrupt();
  wait(*presence);
  EXPECT_EQ(presence->delay, 0u);
  for (int round = 0; round < 200; ++round) {
    const Outcome announced = command(Command::WriteLength, 1);
    const Outcome sent = write({0x00});
    ASSERT_TRUE(announced.ok() && sent.ok());
    ASSERT_EQ(announced.delay, 0u) << "round " << round;
    ASSERT_EQ(sent.delay, 0u) << "round " << round;
    ASSERT_TRUE(command(Command::HostAbort).ok());
  }
}

TEST_F(ReaderTest, TheAtrEndsWhereTheCardSaysOrWhereItsGapRunsOut) {
  run([&] {
    const std::uint64_t gap =
        static_cast<std::uint64_t>(
            card::etus(9600, card::Rate{}, card::kDefaultClockHz).count()) /
        100;
    for (card::ReadyCard which :
         {card::ReadyCard::t1_lrc, card::ReadyCard::atr_slow,
          card::ReadyCard::atr_stalled, card::ReadyCard::truncated_atr}) {
      const auto profile = card::ready_profile(which);
      SCOPED_TRACE(profile.name);
      make();
      insert(which);
      const Bytes line = profile.atr_bytes.value_or(profile.atr.bytes());
      const std::uint64_t before = KeQueryInterruptTime();
      Outcome reset = command(Command::ColdReset);
      ASSERT_TRUE(reset.ok());
      const std::size_t length = reset.data().at(0);
      Outcome atr = read(static_cast<std::uint32_t>(length));
      ASSERT_TRUE(atr.ok());
      const std::uint64_t took = reset.at - before;
      switch (which) {
      case card::ReadyCard::atr_stalled:
        // Four characters, then the reader gives up; the rest comes
        // later, unasked, and waits in the reader's buffer.
        EXPECT_EQ(atr.data(), Bytes(line.begin(), line.begin() + 4));
        EXPECT_GT(took, gap);
        EXPECT_LT(took, gap + 100 * kMs);
        ASSERT_TRUE(command(Command::ReadLength, 3).ok());
        EXPECT_EQ(read(3).data(), Bytes(line.begin() + 4, line.begin() + 7));
        break;
      case card::ReadyCard::truncated_atr:
        // T0 announces three bytes more than come: the gap ends it.
        EXPECT_EQ(atr.data(), line);
        EXPECT_GT(took, gap);
        EXPECT_LT(took, gap + 100 * kMs);
        break;
      case card::ReadyCard::atr_slow:
        EXPECT_EQ(atr.data(), line);
        EXPECT_GT(took, 500 * kMs);
        EXPECT_LT(took, 600 * kMs);
        break;
      default:
        EXPECT_EQ(atr.data(), line);
        EXPECT_LT(took, 100 * kMs);
        break;
      }
    }

    // A warm reset that answers another ATR.
    make();
    insert(card::ReadyCard::warm_atr_differs);
    const auto profile = card::ready_profile(card::ReadyCard::warm_atr_differs);
    EXPECT_EQ(cold_reset(), profile.atr.bytes());
    Outcome warm = command(Command::WarmReset);
    ASSERT_TRUE(warm.ok());
    EXPECT_EQ(read(warm.data().at(0)).data(), *profile.warm_atr_bytes);
  });
}

TEST_F(ReaderTest, ARemovalWithdrawsWhatTheReaderHadScheduled) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    // Pulled while the ATR is on its way: the reset reports none.
    auto reset = submit_held(command_request(Command::ColdReset));
    sleep_ms(5);
    EXPECT_FALSE(reset->result);
    firmware_->remove();
    wait(*reset);
    ASSERT_TRUE(reset->result);
    EXPECT_EQ(reset->data(), Bytes{0});
    EXPECT_LT(reset->at, 10 * kMs);
    EXPECT_TRUE(command(Command::WriteLength, 1).stalled());

    // Pulled while an answer crosses the line: the read gets nothing.
    insert(card::ReadyCard::t1_lrc);
    cold_reset();
    send_block(lrc_block(0x00, {0x00, card::echo::kCase2, 0, 0, 200}));
    ASSERT_TRUE(command(Command::ReadLength, 3).ok());
    auto answer = submit_held(read_request(3));
    sleep_ms(1);
    firmware_->remove();
    wait(*answer, 3000);
    EXPECT_FALSE(answer->result);
    give_up(*answer);
  });
}

TEST_F(ReaderTest, HostAbortEndsTheExchangeButNotTheCardsLaterBytes) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    cold_reset();
    const Bytes apdu = {0x00, card::echo::kCase1, 0, 0};
    // What arrived before the abort is dropped, announcements included.
    send_block(lrc_block(0x00, apdu));
    sleep_ms(100);
    ASSERT_TRUE(command(Command::ReadLength, 3).ok());
    ASSERT_TRUE(command(Command::HostAbort).ok());
    EXPECT_EQ(firmware_->counters().bytes_discarded, 6u);
    auto held = submit_held(read_request(3));
    wait(*held, 100);
    EXPECT_FALSE(held->result) << "nothing announced after the abort";
    give_up(*held);

    // A card that answers after the host gave up: its block comes after
    // the abort and reaches the next read.
    make();
    insert(card::ReadyCard::t1_late_answer);
    cold_reset();
    send_block(lrc_block(0x00, apdu));
    ASSERT_TRUE(command(Command::ReadLength, 3).ok());
    auto late = submit_held(read_request(3));
    wait(*late, 2000);
    EXPECT_FALSE(late->result);
    give_up(*late);
    ASSERT_TRUE(command(Command::HostAbort).ok());
    EXPECT_EQ(firmware_->counters().bytes_discarded, 0u);
    sleep_ms(5000);
    // The abort ended the announcement: the late block waits for the next.
    auto unannounced = submit_held(read_request(1));
    wait(*unannounced, 10);
    EXPECT_FALSE(unannounced->result);
    give_up(*unannounced);
    EXPECT_EQ(receive_block(), lrc_block(0x00, {0x90, 0x00}));
  });
}

TEST_F(ReaderTest, InverseConventionIsPassedOnAsTheLineCarriesIt) {
  run([&] {
    make();
    insert(card::ReadyCard::inverse);
    Bytes atr = cold_reset();
    ASSERT_FALSE(atr.empty());
    EXPECT_EQ(atr[0], 0x03); // TS 0x3F as a direct-convention UART reads it
    // The reader decodes it to find the ATR's end, rather than wait out
    // the gap.
    EXPECT_LT(KeQueryInterruptTime(), 100 * kMs);
    EXPECT_EQ(atr.size(),
              card::ready_profile(card::ReadyCard::inverse).atr.bytes().size());
  });
}

TEST_F(ReaderTest, T1ExchangeThroughAnnouncedTransfers) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    cold_reset();
    // A case 2 APDU for 20 bytes: two chunks back, 16 and 7.
    send_block(lrc_block(0x00, {0x00, card::echo::kCase2, 0x05, 0x00, 20}));
    Bytes expected;
    for (std::size_t i = 0; i < 20; ++i)
      expected.push_back(card::echo::pattern(0x05, i));
    expected.push_back(0x90);
    expected.push_back(0x00);
    EXPECT_EQ(receive_block(), lrc_block(0x00, expected));
  });
}

TEST_F(ReaderTest, BulkStallsHaltTheEndpointUntilCleared) {
  run([&] {
    make();
    insert(card::ReadyCard::t1_lrc);
    cold_reset();
    // More than announced is refused, and the endpoint stays halted.
    ASSERT_TRUE(command(Command::WriteLength, 2).ok());
    EXPECT_TRUE(write({1, 2, 3}).stalled());
    ASSERT_TRUE(command(Command::WriteLength, 0).ok());
    EXPECT_TRUE(write({}).stalled());
    clear_halt(reader::kBulkOut);
    EXPECT_TRUE(write({}).ok());
    // A zero-length announcement and read work.
    ASSERT_TRUE(command(Command::ReadLength, 0).ok());
    Outcome empty = read(0);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.data().empty());
    // A second read while one is held is refused.
    auto held = submit_held(read_request(3));
    EXPECT_TRUE(read(1).stalled());
    give_up(*held);
    EXPECT_TRUE(read(1).stalled());
    clear_halt(reader::kBulkIn);
    EXPECT_EQ(firmware_->counters().stalls, 2u);
  });
}

TEST_F(ReaderTest, PresenceBytes) {
  run([&] {
    make();
    insert(card::ReadyCard::t0);
    auto before = interrupt();
    wait(*before);
    // Not configured yet: the insertion waits in the queue...
    ASSERT_TRUE(before->result);
    EXPECT_EQ(before->data(), Bytes{1});
    // ...and configuration replaces what is queued with the current state.
    firmware_->remove();
    configure();
    auto first = interrupt();
    wait(*first);
    ASSERT_TRUE(first->result);
    EXPECT_EQ(first->data(), Bytes{0});
    auto waiting = interrupt();
    wait(*waiting, 50);
    EXPECT_FALSE(waiting->result);
    insert(card::ReadyCard::t0);
    wait(*waiting);
    ASSERT_TRUE(waiting->result);
    EXPECT_EQ(waiting->data(), Bytes{1});
    firmware_->inject_interrupt(7);
    auto injected = interrupt();
    wait(*injected);
    ASSERT_TRUE(injected->result);
    EXPECT_EQ(injected->data(), Bytes{7});
  });
}

TEST_F(ReaderTest, I2cMemoryBehindTheI2cCommand) {
  run([&] {
    make();
    ASSERT_TRUE(
        command(Command::I2cCommand, 0, {reader::kI2cMemoryAddress, 0x10})
            .ok());
    ASSERT_TRUE(command(Command::WriteLength, 3).ok());
    ASSERT_TRUE(write({0xAA, 0xBB, 0xCC}).ok());
    EXPECT_EQ(firmware_->i2c_memory()[0x11], 0xBB);

    ASSERT_TRUE(
        command(Command::I2cCommand, 0, {reader::kI2cMemoryAddress, 0x10})
            .ok());
    ASSERT_TRUE(command(Command::ReadLength, 3).ok());
    Outcome back = read(3);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.data(), (Bytes{0xAA, 0xBB, 0xCC}));
    ASSERT_TRUE(command(Command::ReadLength, 1).ok());
    EXPECT_EQ(read(1).data(), Bytes{firmware_->i2c_memory()[0x13]});

    // No device answers at another address.
    ASSERT_TRUE(command(Command::I2cCommand, 0, {0x50, 0}).ok());
    ASSERT_TRUE(command(Command::WriteLength, 1).ok());
    EXPECT_TRUE(write({1}).stalled());
  });
}

TEST_F(ReaderTest, ReaderFaultProfiles) {
  run([&] {
    // VENDOR READ answers one byte of two.
    make(*reader::reader_profile("short-vendor-read"));
    ASSERT_TRUE(command(Command::VendorWrite, 0, {0x12, 0x34}).ok());
    Outcome short_read = command(Command::VendorRead);
    ASSERT_TRUE(short_read.ok());
    EXPECT_EQ(short_read.data(), Bytes{0x12});

    // The I2C device stops acknowledging after four bytes: the transfer
    // in which that happens stalls, what went before is written.
    make(*reader::reader_profile("i2c-stops-acking"));
    ASSERT_TRUE(
        command(Command::I2cCommand, 0, {reader::kI2cMemoryAddress, 0x20})
            .ok());
    ASSERT_TRUE(command(Command::WriteLength, 6).ok());
    ASSERT_TRUE(write({1, 2, 3}).ok());
    EXPECT_TRUE(write({4, 5, 6}).stalled());
    const auto memory = firmware_->i2c_memory();
    EXPECT_EQ(Bytes(memory.begin() + 0x20, memory.begin() + 0x26),
              (Bytes{1, 2, 3, 4, 0, 0}));
    ASSERT_TRUE(command(Command::ReadLength, 2).ok());
    EXPECT_TRUE(read(2).stalled());
  });
}

TEST_F(ReaderTest, VendorRegister) {
  run([&] {
    make();
    ASSERT_TRUE(command(Command::VendorWrite, 0, {0x12, 0x34}).ok());
    Outcome back = command(Command::VendorRead);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.data(), (Bytes{0x12, 0x34}));
  });
}

TEST_F(ReaderTest, CardsDrawFromTheKernelsSeed) {
  // GET CHALLENGE of the same card in the slot: the same bytes for the
  // same seed, others for another.
  auto challenge = [&](std::uint64_t seed) {
    start(seed);
    Bytes data;
    run([&] {
      make();
      firmware_->insert(std::make_unique<card::Card>(
          card::ready_profile(card::ReadyCard::t1_lrc),
          std::make_unique<card::FileSystemApplication>(0)));
      data = firmware_->with_card([](card::Card *card) {
        return card->application()
            .process(*card::CommandApdu::parse(Bytes{0x00, 0x84, 0, 0, 8}))
            .data;
      });
    });
    firmware_.reset();
    return data;
  };
  const Bytes first = challenge(7);
  EXPECT_EQ(first.size(), 8u);
  EXPECT_EQ(challenge(7), first);
  EXPECT_NE(challenge(8), first);
}

} // namespace
} // namespace talvor::test
