// Power-up and ATR, then protocol and rate selection by PPS.
#include <random>

#include <gtest/gtest.h>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "tests/sim/host.h"

namespace talvor::test {
namespace {

using card::Atr;
using card::Card;
using card::PpsBehaviour;
using card::Rate;
using card::ReadyCard;

Card ready(ReadyCard which) {
  return card::make_card(which, std::make_unique<card::EchoApplication>());
}

Card with_pps(ReadyCard which, PpsBehaviour behaviour) {
  auto profile = card::ready_profile(which);
  profile.pps = behaviour;
  return Card(profile, std::make_unique<card::EchoApplication>());
}

// A case 1 command in the card's protocol after the ATR answers 9000.
bool t1_answers(Host &host) {
  T1Host t1(host);
  auto response = t1.transmit(Bytes{0x00, card::echo::kCase1, 0, 0});
  return response && *response == Bytes{0x90, 0x00};
}

TEST(Atr, EncodesAndParsesAKnownAtr) {
  // T=1 only, TA1 0x13, five historical bytes: TCK is due and computed.
  const Bytes known{0x3B, 0x95, 0x13, 0x81, 0x01, 0x80,
                    0x73, 0xFF, 0x01, 0x00, 0x0B};
  Atr atr;
  atr.ta(0x13).next_group(1).next_group(1).historical(
      Bytes{0x80, 0x73, 0xFF, 0x01, 0x00});
  EXPECT_EQ(atr.bytes(), known);

  std::string why;
  auto parsed = Atr::parse(known, &why);
  ASSERT_TRUE(parsed) << why;
  EXPECT_EQ(parsed->protocols(), 0b10);
  EXPECT_EQ(parsed->first_protocol(), 1);
  EXPECT_EQ(parsed->rate(), (Rate{1, 3}));
  EXPECT_EQ(parsed->historical_bytes(), (Bytes{0x80, 0x73, 0xFF, 0x01, 0x00}));
  EXPECT_FALSE(parsed->specific_mode());
  EXPECT_EQ(parsed->t1().ifsc, 32);
  EXPECT_FALSE(parsed->t1().crc);

  // T=0 alone: no TCK.
  Atr t0;
  t0.ta(0x11).historical(Bytes{0x01});
  EXPECT_EQ(t0.bytes(), (Bytes{0x3B, 0x11, 0x11, 0x01}));
}

TEST(Atr, RefusesMalformedBytesAtEveryCut) {
  const Bytes good = card::ready_profile(ReadyCard::long_atr).atr.bytes();
  ASSERT_TRUE(Atr::parse(good));
  for (std::size_t length = 0; length < good.size(); ++length)
    EXPECT_FALSE(Atr::parse(std::span(good).first(length))) << length;
  Bytes extra = good;
  extra.push_back(0x00);
  EXPECT_FALSE(Atr::parse(extra));
  Bytes bad_ts = good;
  bad_ts[0] = 0x3C;
  EXPECT_FALSE(Atr::parse(bad_ts));
  for (std::size_t i = 1; i < good.size(); ++i) {
    Bytes flipped = good;
    flipped[i] ^= 0x01;
    auto parsed = Atr::parse(flipped);
    // A flip either breaks the structure or the check byte catches it.
    EXPECT_TRUE(!parsed || parsed->bytes() != good) << i;
  }
}

TEST(PowerUp, EveryReadyCardSendsItsAtrOnTime) {
  for (ReadyCard which : card::all_ready_cards()) {
    Card card = ready(which);
    const auto &profile = card.profile();
    SCOPED_TRACE(profile.name);
    Host host(card);
    const Bytes atr = host.cold_reset();
    const Bytes expected = profile.atr_bytes.value_or(profile.atr.bytes());
    EXPECT_EQ(atr, expected);
    // TS within 400 to 40000 clock cycles, then one character per 12 etu.
    const auto &times = host.arrivals();
    ASSERT_EQ(times.size(), atr.size());
    const Duration first = times[0] - Duration{};
    EXPECT_GE(first, card::clock_cycles(400, profile.clock_hz));
    EXPECT_LE(first, card::clock_cycles(40'000, profile.clock_hz));
    for (std::size_t i = 1; i < times.size(); ++i)
      EXPECT_EQ(times[i] - times[i - 1], host.etus(12));

    const bool faulty =
        which == ReadyCard::bad_tck || which == ReadyCard::truncated_atr;
    EXPECT_EQ(Atr::parse(atr).has_value(), !faulty);
  }
}

TEST(PowerUp, LongAndOversizedAtrsAreWellFormed) {
  const Bytes long_atr = card::ready_profile(ReadyCard::long_atr).atr.bytes();
  EXPECT_GT(long_atr.size(), 32u);
  EXPECT_TRUE(Atr::parse(long_atr));
  const Bytes oversized =
      card::ready_profile(ReadyCard::oversized_atr).atr.bytes();
  EXPECT_GT(oversized.size(), 64u);
  EXPECT_TRUE(Atr::parse(oversized));
}

TEST(PowerUp, InverseConventionIsCodedOnTheLine) {
  Card card = ready(ReadyCard::inverse);
  card.power_on(Time{});
  const Bytes line = card.take_output(std::chrono::seconds(1));
  const Bytes logical = card.profile().atr.bytes();
  ASSERT_EQ(line.size(), logical.size());
  // TS 0x3F reads 0x03 to a UART in the direct convention.
  EXPECT_EQ(logical[0], 0x3F);
  EXPECT_EQ(line[0], 0x03);
  for (std::size_t i = 0; i < line.size(); ++i)
    EXPECT_EQ(card::inverse_coding(line[i]), logical[i]) << i;
  EXPECT_EQ(card::inverse_coding(0x60), 0xF9); // NULL as the line has it

  Host host(card);
  EXPECT_EQ(host.cold_reset(), logical);
  EXPECT_EQ(host.convention(), card::Convention::inverse);
}

TEST(PowerUp, ResetsAndPowerOff) {
  Card card = ready(ReadyCard::t1_lrc);
  Host host(card);
  // Warm reset of an unpowered card: nothing.
  EXPECT_TRUE(host.warm_reset().empty());
  const Bytes atr = host.cold_reset();
  EXPECT_EQ(host.warm_reset(), atr);
  auto &echo = static_cast<card::EchoApplication &>(card.application());
  EXPECT_EQ(echo.resets(), 2u);
  // Power off mid-ATR drops what was still to come; the card hears nothing.
  card.power_on(host.now());
  card.power_off(host.now());
  EXPECT_FALSE(card.next_output());
  host.write(Bytes{0x00, 0x00, 0x00});
  EXPECT_EQ(card.counters().bytes_unheard, 3u);
  EXPECT_FALSE(card.next_output());
}

TEST(PowerUp, GarbageNeverBreaksACard) {
  for (ReadyCard which : card::all_ready_cards()) {
    Card card = ready(which);
    SCOPED_TRACE(card.profile().name);
    Host host(card);
    std::mt19937_64 random(static_cast<std::uint64_t>(which) + 1);
    for (int round = 0; round < 20; ++round) {
      host.cold_reset();
      Bytes junk(random() % 300);
      for (auto &byte : junk)
        byte = static_cast<std::uint8_t>(random());
      host.write(junk);
      host.read_until_quiet(std::chrono::seconds(3));
    }
    // A cold reset always brings the card back.
    EXPECT_FALSE(host.cold_reset().empty());
  }
}

// Everything the card sends from `start` until it is quiet for `quiet`,
// with the time each byte has arrived.
struct Heard {
  Bytes bytes;
  std::vector<Time> times;
  Duration gap_after(std::size_t count) const {
    return times.at(count) - times.at(count - 1);
  }
};

Heard listen(Card &card, Duration quiet) {
  Heard heard;
  Time last{};
  while (auto next = card.next_output()) {
    if (!heard.times.empty() && *next - last > quiet)
      break;
    last = *next;
    for (std::uint8_t byte : card.take_output(*next, 1)) {
      heard.bytes.push_back(byte);
      heard.times.push_back(*next);
    }
  }
  return heard;
}

TEST(PowerUp, FaultyAtrsAsTheLineCarriesThem) {
  // The longest gap ISO/IEC 7816-3 allows between two ATR characters.
  const Duration limit = card::etus(9600, Rate{}, card::kDefaultClockHz);
  const Duration character = card::etus(12, Rate{}, card::kDefaultClockHz);
  const Bytes t1_atr = card::ready_profile(ReadyCard::t1_lrc).atr.bytes();
  struct Case {
    ReadyCard which;
    std::size_t pause_after; // 0: none
    Duration pause;
  };
  const Case cases[] = {
      {ReadyCard::atr_slow, 2, std::chrono::milliseconds(500)},
      {ReadyCard::atr_stalled, 4, std::chrono::milliseconds(1500)},
      {ReadyCard::warm_atr_differs, 0, {}},
  };
  for (const Case &c : cases) {
    Card card = ready(c.which);
    SCOPED_TRACE(card.profile().name);
    card.power_on(Time{});
    const Heard heard = listen(card, std::chrono::seconds(5));
    EXPECT_EQ(heard.bytes, t1_atr);
    for (std::size_t i = 1; i < heard.times.size(); ++i)
      EXPECT_EQ(heard.gap_after(i),
                i == c.pause_after ? c.pause + character : character)
          << i;
    if (c.pause_after != 0) {
      EXPECT_EQ(heard.gap_after(c.pause_after) > limit,
                c.which == ReadyCard::atr_stalled);
    }
  }

  // Three bytes short of what T0 announces.
  Card truncated = ready(ReadyCard::truncated_atr);
  truncated.power_on(Time{});
  const Heard heard = listen(truncated, std::chrono::seconds(5));
  EXPECT_EQ(heard.bytes.size() + 3, truncated.profile().atr.bytes().size());
  std::string why;
  EXPECT_FALSE(Atr::parse(heard.bytes, &why));
  EXPECT_EQ(why, "truncated in the historical bytes");

  // A warm reset answers another ATR, which the card then stands by.
  Card warm = ready(ReadyCard::warm_atr_differs);
  Host host(warm);
  EXPECT_EQ(host.cold_reset(), t1_atr);
  const Bytes other = host.warm_reset();
  EXPECT_NE(other, t1_atr);
  auto parsed = Atr::parse(other);
  ASSERT_TRUE(parsed);
  const std::string_view warm_text = "talvor WARM";
  EXPECT_EQ(parsed->historical_bytes(),
            Bytes(warm_text.begin(), warm_text.end()));
  EXPECT_TRUE(t1_answers(host));
  EXPECT_EQ(host.cold_reset(), t1_atr);
}

TEST(Pps, LateAnswersComeWhenTheProfileSays) {
  const Bytes request = pps_request(1, 0x11);
  for (auto [which, late] :
       {std::pair{ReadyCard::t1_lrc, std::chrono::milliseconds(0)},
        std::pair{ReadyCard::pps_late, std::chrono::milliseconds(150)},
        std::pair{ReadyCard::pps_too_late, std::chrono::milliseconds(800)}}) {
    Card card = ready(which);
    SCOPED_TRACE(card.profile().name);
    Host host(card);
    host.cold_reset();
    host.write(request);
    const Time sent = host.now();
    auto answer = host.read(4, std::chrono::seconds(2));
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, request);
    // The turnaround of 4 etu, the delay, then a whole character.
    EXPECT_EQ(host.arrivals().at(host.arrivals().size() - 4) - sent,
              host.etus(16) + late);
    EXPECT_TRUE(t1_answers(host));
  }
}

TEST(Pps, OnlyTheFirstRequestAfterAnAtrCounts) {
  // Whatever came of the first request, a second one gets no PPS answer
  // until a reset; after it PPS works again.
  struct Case {
    PpsBehaviour behaviour;
    Bytes first;
  };
  const Case cases[] = {
      {PpsBehaviour::echo, pps_request(1, 0x11)},
      {PpsBehaviour::refuse, pps_request(1, 0x11)},
      {PpsBehaviour::garbage, pps_request(1, 0x11)},
      {PpsBehaviour::silence, pps_request(1, 0x11)},
      {PpsBehaviour::echo, {0xFF, 0x11, 0x11, 0x00}}, // wrong PCK
  };
  for (const Case &c : cases) {
    Card card = with_pps(ReadyCard::dual, c.behaviour);
    SCOPED_TRACE(static_cast<int>(c.behaviour));
    Host host(card);
    host.cold_reset();
    pps_exchange(host, c.first);
    EXPECT_TRUE(pps_exchange(host, pps_request(0, std::nullopt)).empty());
    EXPECT_EQ(card.counters().pps_requests, 1u);
    host.cold_reset();
    pps_exchange(host, pps_request(0, std::nullopt));
    EXPECT_EQ(card.counters().pps_requests, 2u);
  }
}

TEST(Pps, EchoSwitchesBothSidesToTheNewRate) {
  Card card = ready(ReadyCard::t1_lrc); // TA1 0x96
  Host host(card);
  host.cold_reset();
  const Bytes request = pps_request(1, 0x96);
  EXPECT_EQ(request, (Bytes{0xFF, 0x11, 0x96, 0x78}));
  EXPECT_EQ(pps_exchange(host, request), request);
  EXPECT_EQ(card.card_rate(), (Rate{9, 6}));
  // A reader that stays at the old rate loses every byte.
  EXPECT_FALSE(t1_answers(host));
  EXPECT_GT(card.counters().rate_mismatches, 0u);
  host.set_rate(Rate{9, 6});
  EXPECT_TRUE(t1_answers(host));
  EXPECT_EQ(host.etus(1), card::etus(1, Rate{9, 6}, card.profile().clock_hz));
}

TEST(Pps, EchoCardRefusesWhatItCannotDo) {
  struct Case {
    Bytes request;
    Bytes answer;
  };
  const Case cases[] = {
      // Faster than TA1 allows: answered without PPS1, default rate.
      {pps_request(1, 0x97), {0xFF, 0x01, 0xFE}},
      // The default rate is always acceptable.
      {pps_request(1, 0x11), pps_request(1, 0x11)},
      // A protocol the card does not offer, or a wrong PCK: no answer.
      {pps_request(0, 0x96), {}},
      {{0xFF, 0x11, 0x96, 0x00}, {}},
      // PPS2 is never accepted; the answer leaves it out.
      {{0xFF, 0x21, 0x01, 0xDF}, {0xFF, 0x01, 0xFE}},
  };
  for (const Case &c : cases) {
    Card card = ready(ReadyCard::t1_lrc);
    Host host(card);
    host.cold_reset();
    EXPECT_EQ(pps_exchange(host, c.request), c.answer);
  }
}

TEST(Pps, RefuseGarbageAndSilence) {
  const Bytes request = pps_request(0, 0x11);
  {
    Card card = with_pps(ReadyCard::dual, PpsBehaviour::refuse);
    Host host(card);
    host.cold_reset();
    EXPECT_EQ(pps_exchange(host, pps_request(1, 0x18)),
              (Bytes{0xFF, 0x01, 0xFE}));
    // T=1 at the default rate.
    EXPECT_EQ(card.protocol(), 1);
    EXPECT_TRUE(t1_answers(host));
  }
  {
    Card card = with_pps(ReadyCard::dual, PpsBehaviour::garbage);
    Host host(card);
    host.cold_reset();
    const Bytes answer = pps_exchange(host, request);
    EXPECT_EQ(answer, card.profile().pps_garbage);
    EXPECT_NE(answer, request);
  }
  {
    Card card = with_pps(ReadyCard::dual, PpsBehaviour::silence);
    Host host(card);
    host.cold_reset();
    EXPECT_TRUE(pps_exchange(host, request).empty());
    // A cold reset brings it back.
    host.cold_reset();
    EXPECT_EQ(card.counters().pps_requests, 1u);
    EXPECT_FALSE(card.protocol());
  }
}

TEST(Pps, WithoutPpsTheFirstOfferedProtocolRuns) {
  Card card = ready(ReadyCard::dual); // T=0 first, then T=1
  Host host(card);
  host.cold_reset();
  T0Host t0(host);
  EXPECT_EQ(t0.transmit(Bytes{0x00, card::echo::kCase1, 0, 0}),
            (Bytes{0x90, 0x00}));
  EXPECT_EQ(card.protocol(), 0);
}

TEST(Pps, SpecificModeCardIgnoresPps) {
  Card card = ready(ReadyCard::specific_mode);
  Host host(card);
  host.cold_reset();
  EXPECT_EQ(card.protocol(), 1);
  // The request reads as the start of a T=1 block that never completes.
  EXPECT_TRUE(pps_exchange(host, pps_request(1, 0x11)).empty());
  // Past the character waiting time the card drops it and T=1 works.
  EXPECT_TRUE(t1_answers(host));
}

} // namespace
} // namespace talvor::test
