// T=1 exchanges: chaining both ways, IFS, waiting time extension, resynch,
// abort, and recovery from every kind of injected error.
#include <gtest/gtest.h>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "tests/sim/host.h"

namespace talvor::test {
namespace {

using card::Card;
using card::ReadyCard;
using card::T1Fault;
using card::T1Options;
namespace echo = card::echo;

Bytes with_status(Bytes data, std::uint16_t sw = 0x9000) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw));
  return data;
}

Bytes case4(std::size_t lc, std::size_t le, std::uint8_t seed = 0) {
  Bytes apdu{0x00, echo::kCase4, 0, 0, static_cast<std::uint8_t>(lc)};
  for (std::size_t i = 0; i < lc; ++i)
    apdu.push_back(static_cast<std::uint8_t>(seed + 3 * i));
  apdu.push_back(static_cast<std::uint8_t>(le == 256 ? 0 : le));
  return apdu;
}

Bytes case4_answer(const Bytes &apdu) {
  const std::size_t lc = apdu[4];
  const std::size_t le = apdu.back() == 0 ? 256 : apdu.back();
  Bytes data;
  for (std::size_t i = 0; i < le; ++i)
    data.push_back(apdu[5 + i % lc]);
  return with_status(data);
}

class T1Test : public ::testing::Test {
protected:
  void start(ReadyCard which = ReadyCard::t1_lrc, T1Options options = {}) {
    auto profile = card::ready_profile(which);
    profile.t1 = std::move(options);
    start(profile);
  }
  void start(const card::CardProfile &profile) {
    auto app = std::make_unique<card::EchoApplication>();
    echo_ = app.get();
    card_.emplace(profile, std::move(app));
    host_.emplace(*card_);
    host_->cold_reset();
    t1_.emplace(*host_);
  }

  Bytes transmit(const Bytes &apdu) {
    auto response = t1_->transmit(apdu);
    EXPECT_TRUE(response) << "no answer";
    return response.value_or(Bytes{});
  }

  std::optional<Card> card_;
  std::optional<Host> host_;
  std::optional<T1Host> t1_;
  card::EchoApplication *echo_ = nullptr;
};

TEST(T1Edc, CrcAndLrcCheckValues) {
  const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(card::t1_crc(digits), 0x6F91);
  EXPECT_EQ(card::t1_lrc(Bytes{0x00, 0x40, 0x02, 0x90, 0x00}), 0xD2);
}

TEST_F(T1Test, EveryCaseAndLengthWithLrcAndCrc) {
  for (ReadyCard which : {ReadyCard::t1_lrc, ReadyCard::t1_crc}) {
    start(which);
    SCOPED_TRACE(card_->profile().name);
    EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 0}), with_status({}));
    for (std::size_t n = 1; n <= 255; n += (n < 40 ? 1 : 17)) {
      SCOPED_TRACE(n);
      const auto len = static_cast<std::uint8_t>(n);
      Bytes case2 = transmit({0x00, echo::kCase2, 9, 0, len});
      EXPECT_EQ(case2.size(), n + 2);
      Bytes case3{0x00, echo::kCase3, 0, 0, len};
      case3.resize(5 + n, 0xA5);
      EXPECT_EQ(transmit(case3), with_status({}));
      EXPECT_EQ(echo_->last_command().data.size(), n);
      const Bytes apdu = case4(n, n, static_cast<std::uint8_t>(n));
      EXPECT_EQ(transmit(apdu), case4_answer(apdu));
    }
    const Bytes full = case4(255, 256);
    EXPECT_EQ(transmit(full), case4_answer(full));
    // Chaining both ways happened: IFSC and IFSD are below 261.
    EXPECT_GT(t1_->trace().chained_received, 0u);
    EXPECT_EQ(t1_->trace().bad_blocks, 0u);
    EXPECT_EQ(t1_->trace().time_outs, 0u);
  }
}

TEST_F(T1Test, IfsRequestChangesTheCardsChunks) {
  start(ReadyCard::t1_lrc);
  const Bytes apdu = case4(10, 200);
  EXPECT_EQ(transmit(apdu), case4_answer(apdu));
  // 202 bytes at the default IFSD 32: 6 blocks chained, 7 in all.
  EXPECT_EQ(t1_->trace().chained_received, 6u);
  ASSERT_TRUE(t1_->set_ifsd(254));
  EXPECT_EQ(transmit(apdu), case4_answer(apdu));
  EXPECT_EQ(t1_->trace().chained_received, 6u);
  // A reserved IFS value is refused with an R-block, IFSD unchanged.
  t1_->send(0xC1, Bytes{0xFF});
  T1Block block;
  ASSERT_EQ(t1_->receive(block, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(block.pcb & 0xEC, 0x80);
  EXPECT_EQ(block.pcb & 0x03, 0x02);
}

TEST_F(T1Test, CardAnnouncesItsIfscBeforeItsFirstAnswer) {
  T1Options options;
  options.ifsc_request = 16;
  options.faults = {{1, T1Fault::bad_edc}}; // the S(IFS request) itself
  start(ReadyCard::t1_lrc, options);        // IFSC 128 in the ATR
  const Bytes apdu = case4(20, 20);
  EXPECT_EQ(transmit(apdu), case4_answer(apdu));
  EXPECT_EQ(t1_->ifsc(), 16);
  // Blocks of 16 from now on; the card would refuse longer ones.
  const Bytes longer = case4(100, 5);
  EXPECT_EQ(transmit(longer), case4_answer(longer));
  EXPECT_EQ(card_->t1_counters()->errors_detected, 0u);
  // RESYNCH returns to the IFSC of the ATR.
  ASSERT_TRUE(t1_->resynch());
  t1_->send(0x00, Bytes(20, 0));
  T1Block block;
  ASSERT_EQ(t1_->receive(block, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(block.pcb & 0x80, 0x00); // taken (and answered 6700)
}

TEST_F(T1Test, SlowApplicationAsksForMoreTime) {
  start(ReadyCard::t1_crc);
  // BWT here is about 1.6 s; P2 250 asks for 2.5 s of work.
  const Time before = host_->now();
  EXPECT_EQ(transmit({0x00, echo::kCase2, 1, 250, 4}),
            with_status({1, 2, 3, 4}));
  EXPECT_GE(host_->now() - before, std::chrono::milliseconds(2500));
  EXPECT_GE(t1_->trace().wtx_requests, 1u);
  EXPECT_EQ(t1_->trace().time_outs, 0u);
  // Quick commands need none.
  const auto asked = t1_->trace().wtx_requests;
  EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 1}), with_status({}));
  EXPECT_EQ(t1_->trace().wtx_requests, asked);
}

TEST_F(T1Test, RecoversFromEachFaultAtEachStep) {
  // A long chained exchange, with one fault placed at each block in turn.
  const Bytes apdu = case4(100, 100);
  for (T1Fault fault :
       {T1Fault::bad_edc, T1Fault::wrong_sequence, T1Fault::lost_block,
        T1Fault::corrupt_received, T1Fault::drop_received}) {
    for (std::size_t at = 1; at <= 8; ++at) {
      SCOPED_TRACE(testing::Message()
                   << "fault " << static_cast<int>(fault) << " at " << at);
      T1Options options;
      options.faults = {{at, fault}};
      start(ReadyCard::t1_crc, options);
      EXPECT_EQ(transmit(apdu), case4_answer(apdu));
      EXPECT_EQ(transmit(apdu), case4_answer(apdu));
      EXPECT_EQ(card_->t1_counters()->faults_injected, 1u);
      EXPECT_EQ(echo_->commands(), 2u); // nothing ran twice
    }
  }
}

TEST_F(T1Test, SeededFaultsStillDeliverAndReplay) {
  auto run = [&](std::uint64_t seed) {
    T1Options options;
    options.random_faults_per_mille = 100;
    options.seed = seed;
    options.random_kinds = {T1Fault::bad_edc, T1Fault::wrong_sequence,
                            T1Fault::lost_block, T1Fault::corrupt_received,
                            T1Fault::drop_received};
    start(ReadyCard::t1_lrc, options);
    t1_->set_retry_limit(6);
    for (std::size_t n = 1; n <= 60; ++n) {
      const Bytes apdu = case4(n, 3 * n, static_cast<std::uint8_t>(seed + n));
      EXPECT_EQ(transmit(apdu), case4_answer(apdu)) << "seed " << seed;
    }
    EXPECT_GT(card_->t1_counters()->faults_injected, 10u);
    return std::pair{host_->now(), card_->t1_counters()->faults_injected};
  };
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    const auto first = run(seed);
    EXPECT_EQ(run(seed), first) << "seed " << seed << " does not replay";
  }
}

TEST_F(T1Test, BadEdcFromTheReaderGetsAnEdcError) {
  start(ReadyCard::t1_lrc);
  Bytes block = t1_->frame(0x00, Bytes{0x00, echo::kCase1, 0, 0});
  block.back() ^= 0x55;
  t1_->send_raw(block);
  T1Block answer;
  ASSERT_EQ(t1_->receive(answer, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(answer.pcb, 0x81); // R(0), EDC error
  // The good block is then taken.
  EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 0}), with_status({}));
  EXPECT_EQ(echo_->commands(), 1u);
}

TEST_F(T1Test, ResynchRestartsTheSequence) {
  start(ReadyCard::t1_lrc);
  EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 0}), with_status({}));
  EXPECT_EQ(t1_->next_ns(), 1);
  ASSERT_TRUE(t1_->resynch());
  // I(0) is expected again and answered with I(0).
  t1_->send(0x00, Bytes{0x00, echo::kCase2, 0, 0, 1});
  T1Block answer;
  ASSERT_EQ(t1_->receive(answer, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(answer.pcb, 0x00);
  EXPECT_EQ(answer.inf, (Bytes{0x00, 0x90, 0x00}));
}

TEST_F(T1Test, AbortDropsTheChainInProgress) {
  start(ReadyCard::t1_crc);         // IFSC 32
  t1_->send(0x20, Bytes(32, 0x11)); // I(0) with more to come
  T1Block block;
  ASSERT_EQ(t1_->receive(block, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(block.pcb, 0x90); // R(1): go on
  t1_->send(0xC2, {});        // S(ABORT request)
  ASSERT_EQ(t1_->receive(block, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(block.pcb, 0xE2);
  // The next I-block is a whole new command.
  t1_->send(0x40, Bytes{0x00, echo::kCase1, 0, 0});
  ASSERT_EQ(t1_->receive(block, t1_->bwt()), T1Host::Outcome::ok);
  EXPECT_EQ(block.inf, (Bytes{0x90, 0x00}));
  EXPECT_EQ(echo_->last_command().data.size(), 0u);
}

TEST_F(T1Test, FaultyCardsOnTheLine) {
  // The first command, case 2 for 40 bytes: its answer block as the line
  // carries it, and when each byte of it arrives.
  const Bytes command{0x00, echo::kCase2, 7, 0, 40};
  for (ReadyCard which :
       {ReadyCard::t1_lrc, ReadyCard::t1_card_abort,
        ReadyCard::t1_oversized_block, ReadyCard::t1_len_ff,
        ReadyCard::t1_slow_characters, ReadyCard::t1_late_answer}) {
    SCOPED_TRACE(card::ready_profile(which).name);
    start(card::ready_profile(which));
    t1_->send(0x00, command);
    const Time sent = host_->now();
    const std::size_t first = host_->arrivals().size();
    const Bytes raw = host_->read_until_quiet(t1_->bwt() * 4);
    ASSERT_GE(raw.size(), 4u);
    const auto &at = host_->arrivals();
    const Duration reply = at[first] - sent;
    const Duration after_prologue = at[first + 3] - at[first + 2];
    const Duration bgt = host_->etus(22);
    const Duration character = host_->etus(12);
    Bytes answer;
    for (std::size_t i = 0; i < 40; ++i)
      answer.push_back(echo::pattern(7, i));
    answer.push_back(0x90);
    answer.push_back(0x00);
    // IFSD 32: the answer is chained.
    const Bytes chained =
        t1_->frame(0x20, Bytes(answer.begin(), answer.begin() + 32));

    switch (which) {
    case ReadyCard::t1_card_abort:
      EXPECT_EQ(raw, t1_->frame(0xC2, {}));
      // Once the reader answers the abort, the turn is its own again.
      t1_->send(0xE2, {});
      EXPECT_TRUE(host_->read_until_quiet(t1_->bwt() * 2).empty());
      t1_->send(0x40, Bytes{0x00, echo::kCase1, 0, 0});
      EXPECT_EQ(host_->read_until_quiet(t1_->bwt()),
                t1_->frame(0x00, Bytes{0x90, 0x00}));
      EXPECT_EQ(echo_->commands(), 1u);
      break;
    case ReadyCard::t1_oversized_block:
      // All 42 bytes in one block, beyond the IFSD of 32.
      EXPECT_EQ(raw, t1_->frame(0x00, answer));
      break;
    case ReadyCard::t1_len_ff:
      EXPECT_EQ(raw, t1_->frame(0x20, Bytes(255, 0)));
      EXPECT_EQ(raw[2], 0xFF);
      break;
    case ReadyCard::t1_slow_characters:
      EXPECT_EQ(raw, chained);
      EXPECT_EQ(after_prologue, character + t1_->cwt() * 2);
      break;
    case ReadyCard::t1_late_answer:
      EXPECT_EQ(raw, chained);
      EXPECT_EQ(reply, bgt + t1_->bwt() * 3);
      break;
    default:
      EXPECT_EQ(raw, chained);
      EXPECT_EQ(reply, bgt);
      EXPECT_EQ(after_prologue, character);
      break;
    }
  }
}

TEST_F(T1Test, MalformedBlocksAreRefusedAndForgotten) {
  start(ReadyCard::t1_crc);
  T1Block block;
  // Longer than IFSC; out of sequence; an unknown S-block; a stray response.
  for (const Bytes &bad : {t1_->frame(0x00, Bytes(33, 0)),
                           t1_->frame(0x40, Bytes{0x00, echo::kCase1, 0, 0}),
                           t1_->frame(0xC5, {}), t1_->frame(0xE3, Bytes{1})}) {
    t1_->send_raw(bad);
    ASSERT_EQ(t1_->receive(block, t1_->bwt()), T1Host::Outcome::ok);
    EXPECT_EQ(block.pcb, 0x82); // R(0), other error
  }
  // A block cut short, then a pause longer than CWT: the card drops it.
  Bytes cut = t1_->frame(0x00, Bytes{0x00, echo::kCase1, 0, 0});
  cut.resize(4);
  host_->write(cut);
  host_->advance(std::chrono::milliseconds(50));
  EXPECT_EQ(transmit({0x00, echo::kCase1, 0, 0}), with_status({}));
  EXPECT_EQ(echo_->commands(), 1u);
}

} // namespace
} // namespace talvor::test
