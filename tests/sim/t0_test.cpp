// T=0 dialogues: every APDU case and length, procedure bytes (ACK, one-byte
// ACK, NULL), 61xx and 6Cxx, and a busy application.
#include <gtest/gtest.h>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "tests/sim/host.h"

namespace talvor::test {
namespace {

using card::Card;
using card::ReadyCard;
using card::T0Options;
namespace echo = card::echo;

class T0Test : public ::testing::Test {
protected:
  void start(T0Options options = {}, ReadyCard which = ReadyCard::t0) {
    auto profile = card::ready_profile(which);
    profile.t0 = options;
    auto app = std::make_unique<card::EchoApplication>();
    echo_ = app.get();
    card_.emplace(profile, std::move(app));
    host_.emplace(*card_);
    host_->cold_reset();
    t0_.emplace(*host_);
  }

  Bytes transmit(const Bytes &apdu) {
    auto response = t0_->transmit(apdu);
    EXPECT_TRUE(response) << "no answer";
    return response.value_or(Bytes{});
  }

  std::optional<Card> card_;
  std::optional<Host> host_;
  std::optional<T0Host> t0_;
  card::EchoApplication *echo_ = nullptr;
};

Bytes with_status(Bytes data, std::uint16_t sw = 0x9000) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw));
  return data;
}

Bytes pattern(std::uint8_t p1, std::size_t length) {
  Bytes out;
  for (std::size_t i = 0; i < length; ++i)
    out.push_back(echo::pattern(p1, i));
  return out;
}

TEST_F(T0Test, EveryCaseAndLength) {
  start();
  EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 0}), with_status({}));
  for (std::size_t n = 1; n <= 256; ++n) {
    SCOPED_TRACE(n);
    const auto le = static_cast<std::uint8_t>(n == 256 ? 0 : n);
    const auto p1 = static_cast<std::uint8_t>(n * 7);
    EXPECT_EQ(transmit({0x00, echo::kCase2, p1, 0, le}),
              with_status(pattern(p1, n)));
    if (n == 256)
      break; // Lc stops at 255
    Bytes case3{0x00, echo::kCase3, 0, 0, static_cast<std::uint8_t>(n)};
    const Bytes data = pattern(p1, n);
    case3.insert(case3.end(), data.begin(), data.end());
    EXPECT_EQ(transmit(case3), with_status({}));
    EXPECT_EQ(echo_->last_command().data, data);
    // Case 4: 61xx, then GET RESPONSE for the Lc bytes echoed.
    Bytes case4 = case3;
    case4[1] = echo::kCase4;
    case4.push_back(0x00);
    EXPECT_EQ(transmit(case4), with_status(data));
  }
  EXPECT_EQ(t0_->trace().resends_6c, 0u);
  EXPECT_EQ(t0_->trace().get_responses, 255u);
}

TEST_F(T0Test, GetResponseInPartsAndWithTooLargeAnLe) {
  start();
  // Case 4: the card answers 61 03 and keeps three bytes for GET RESPONSE.
  auto r = t0_->tpdu(Bytes{0x00, echo::kCase4, 0, 0, 3}, Bytes{1, 2, 3}, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{0x61, 0x03}));
  r = t0_->tpdu(Bytes{0x00, 0xC0, 0, 0, 5}, {}, 5);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{0x6C, 0x03}));
  r = t0_->tpdu(Bytes{0x00, 0xC0, 0, 0, 2}, {}, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{1, 2, 0x61, 0x01}));
  r = t0_->tpdu(Bytes{0x00, 0xC0, 0, 0, 1}, {}, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{3, 0x90, 0x00}));
  // Nothing left: GET RESPONSE is refused.
  r = t0_->tpdu(Bytes{0x00, 0xC0, 0, 0, 1}, {}, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{0x69, 0x85}));
}

TEST_F(T0Test, FileSystemShortReadIs6CThenData) {
  auto profile = card::ready_profile(ReadyCard::t0);
  card_.emplace(profile, std::make_unique<card::FileSystemApplication>(7));
  host_.emplace(*card_);
  host_->cold_reset();
  t0_.emplace(*host_);
  // SELECT by FID without answer data, then ask for 64 of 32 bytes.
  EXPECT_EQ(transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00}),
            with_status({}));
  const Bytes answer = transmit({0x00, 0xB0, 0x00, 0x00, 0x40});
  ASSERT_EQ(answer.size(), 34u);
  EXPECT_EQ(answer[0], card::FileSystemApplication::initial_byte(0x2F00, 0));
  // The card named Le 32 (6C20); the resend asks for exactly what is
  // there, so the status is 9000 rather than 6282.
  EXPECT_EQ(t0_->trace().resends_6c, 1u);
  EXPECT_EQ(answer[32], 0x90);
  // SELECT with FCI: case 4 under T=0, through GET RESPONSE.
  const Bytes fci = transmit({0x00, 0xA4, 0x04, 0x00, 0x03, 0xF0, 0x74, 0x61});
  ASSERT_GE(fci.size(), 4u);
  EXPECT_EQ(fci[0], 0x62);
  EXPECT_EQ(t0_->trace().get_responses, 1u);
}

TEST_F(T0Test, OneByteAcksCarryTheDataByteByByte) {
  for (auto ack :
       {T0Options::Ack::byte_by_byte, T0Options::Ack::one_then_full}) {
    T0Options options;
    options.ack = ack;
    start(options);
    Bytes apdu{0x00, echo::kCase3, 0, 0, 10};
    const Bytes data = pattern(0x33, 10);
    apdu.insert(apdu.end(), data.begin(), data.end());
    EXPECT_EQ(transmit(apdu), with_status({}));
    EXPECT_EQ(echo_->last_command().data, data);
    if (ack == T0Options::Ack::byte_by_byte) {
      EXPECT_EQ(t0_->trace().one_byte_acks, 10u);
      EXPECT_EQ(t0_->trace().full_acks, 0u);
    } else {
      EXPECT_EQ(t0_->trace().one_byte_acks, 1u);
      EXPECT_EQ(t0_->trace().full_acks, 1u);
    }
  }
}

TEST_F(T0Test, NullBytesBeforeProceduresAndWhileBusy) {
  T0Options options;
  options.nulls_before_procedure = 3;
  options.null_interval = std::chrono::milliseconds(5);
  start(options);
  EXPECT_EQ(transmit({0x00, echo::kCase2, 0, 0, 4}),
            with_status(pattern(0, 4)));
  // Three before the ACK: data and status follow the ACK directly.
  EXPECT_EQ(t0_->trace().nulls, 3u);

  // Busy 2 s (P2 200 x 10 ms) with the default interval of WT/2: the card
  // keeps the line alive and never stays silent for WT.
  start();
  const Time before = host_->now();
  EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 200}), with_status({}));
  EXPECT_GE(host_->now() - before, std::chrono::seconds(2));
  EXPECT_GE(t0_->trace().nulls, 3u);
  EXPECT_LT(t0_->trace().longest_silence, t0_->work_waiting_time());
}

TEST_F(T0Test, InverseConventionNullReadsF9OnTheLine) {
  T0Options options;
  options.nulls_before_procedure = 1;
  start(options, ReadyCard::inverse);
  EXPECT_EQ(transmit({0x00, echo::kCase2, 5, 0, 3}),
            with_status(pattern(5, 3)));
  // The same dialogue seen raw: the NULL is 0xF9, the ACK INS coded.
  host_->write(Bytes{0x00, echo::kCase1, 0, 0, 0});
  const Bytes raw = card_->take_output(host_->now() + std::chrono::seconds(1));
  ASSERT_EQ(raw.size(), 3u);
  EXPECT_EQ(raw[0], 0xF9);
  EXPECT_EQ(card::inverse_coding(raw[1]), 0x90);
  EXPECT_EQ(card::inverse_coding(raw[2]), 0x00);
}

TEST_F(T0Test, BadHeadersGetAStatusNotASilence) {
  start();
  // INS 6x would be a procedure byte; unknown INS and class get statuses.
  EXPECT_EQ(transmit({0x00, 0x62, 0, 0}), with_status({}, 0x6D00));
  EXPECT_EQ(transmit({0x00, 0x7E, 0, 0}), with_status({}, 0x6D00));
  EXPECT_EQ(transmit({0xFF, echo::kCase1, 0, 0}), with_status({}, 0x6E00));
  // And the card still works.
  EXPECT_EQ(transmit({0x00, echo::kCase2, 1, 0, 1}), with_status({1}));
}

TEST_F(T0Test, TheCardHearsNothingWhileItAnswers) {
  start();
  // Busy 100 ms; the reader talks over the NULLs.
  host_->write(Bytes{0x00, echo::kCase1, 0, 10, 0});
  host_->write(Bytes{0x00, echo::kCase1, 0, 0, 0});
  EXPECT_EQ(card_->counters().bytes_unheard, 5u);
  const Bytes rest = host_->read_until_quiet(std::chrono::seconds(2));
  ASSERT_GE(rest.size(), 2u);
  EXPECT_EQ(Bytes(rest.end() - 2, rest.end()), (Bytes{0x90, 0x00}));
  EXPECT_EQ(echo_->commands(), 1u);
}

TEST_F(T0Test, FaultyCardsOnTheLine) {
  // What follows a header on the line, for the first command after the ATR
  // and for the one after it.
  const Bytes case1{0x00, echo::kCase1, 0, 0, 0};
  const Bytes case2{0x00, echo::kCase2, 5, 0, 4};
  const Bytes good2 = {echo::kCase2, 5, 6, 7, 8, 0x90, 0x00};
  struct Case {
    ReadyCard which;
    Bytes header;
    Bytes first;
    Bytes second;
  };
  const Case cases[] = {
      {ReadyCard::t0_silent_after_header, case2, {}, good2},
      {ReadyCard::t0_silent_in_data, case2, {echo::kCase2, 5, 6}, good2},
      {ReadyCard::t0_early_status, case2, {0x90, 0x00}, good2},
      {ReadyCard::t0_trailing_bytes,
       case1,
       {0x90, 0x00, 0x55, 0xAA},
       {0x90, 0x00}},
      {ReadyCard::t0_ins_plus_one,
       case2,
       {echo::kCase2 + 1, 5, 6, 7, 8, 0x90, 0x00},
       {echo::kCase2 + 1, 5, 6, 7, 8, 0x90, 0x00}},
  };
  for (const Case &c : cases) {
    auto profile = card::ready_profile(c.which);
    SCOPED_TRACE(profile.name);
    card_.emplace(profile, std::make_unique<card::EchoApplication>());
    host_.emplace(*card_);
    host_->cold_reset();
    host_->write(c.header);
    EXPECT_EQ(host_->read_until_quiet(std::chrono::seconds(3)), c.first);
    host_->write(c.header);
    EXPECT_EQ(host_->read_until_quiet(std::chrono::seconds(3)), c.second);
  }

  // The one-byte ACK of the INS+1 forms is its complement.
  auto profile = card::ready_profile(ReadyCard::t0_ins_plus_one);
  profile.t0.ack = T0Options::Ack::byte_by_byte;
  card_.emplace(profile, std::make_unique<card::EchoApplication>());
  host_.emplace(*card_);
  host_->cold_reset();
  host_->write(Bytes{0x00, echo::kCase3, 0, 0, 2});
  const auto one = static_cast<std::uint8_t>(~(echo::kCase3 + 1));
  EXPECT_EQ(host_->read_until_quiet(std::chrono::seconds(1)), Bytes{one});
  host_->write(Bytes{0xA1});
  EXPECT_EQ(host_->read_until_quiet(std::chrono::seconds(1)), Bytes{one});
  host_->write(Bytes{0xA2});
  EXPECT_EQ(host_->read_until_quiet(std::chrono::seconds(1)),
            (Bytes{0x90, 0x00}));
}

} // namespace
} // namespace talvor::test
