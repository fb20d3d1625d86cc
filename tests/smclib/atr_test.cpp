// ATR parsing on published ATRs of cards in the field, on ATRs cut short or
// corrupted, and what SmartcardUpdateCardCapabilities makes of them: card
// state, protocols, timing and the PPS proposal.
#include <cmath>

#include <gtest/gtest.h>

#include "platform/smclib/atr.h"
#include "tests/smclib/extension_fixture.h"

namespace talvor::test {
namespace {

using smclib::Atr;
using smclib::AtrError;
using smclib::parse_atr;

constexpr std::uint32_t T0 = SCARD_PROTOCOL_T0;
constexpr std::uint32_t T1 = SCARD_PROTOCOL_T1;

struct Published {
  const char *what;
  const char *atr;
  std::uint32_t protocols; // what the reader (T=0, T=1) may use
  bool tck;
  std::uint8_t ta1; // 0x11 when absent
  std::size_t historical;
  bool specific = false; // TA2
};

// Published ATRs of cards in the field. T=0-only ATRs carry no TCK.
const Published kPublished[] = {
    {"contactless storage card via PC/SC",
     "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A", T0 | T1,
     true, 0x11, 15},
    {"national eID, T=0, TC2", "3B 98 13 40 0A A5 03 01 01 01 AD 13 11", T0,
     false, 0x13, 8},
    {"national eID, T=0 and T=1",
     "3B FE 18 00 00 80 31 FE 45 45 73 74 45 49 44 20 76 65 72 20 31 2E 30 A8",
     T0 | T1, true, 0x18, 14},
    {"national eID, T=15 globals",
     "3B DB 96 00 80 B1 FE 45 1F 83 00 12 23 3F 53 65 49 44 0F 90 00 F1",
     T0 | T1, true, 0x96, 11},
    {"national eID, N=255, WI 128",
     "3B DE 18 FF C0 80 B1 FE 45 1F 03 45 73 74 45 49 44 20 76 65 72 20 31 2E "
     "30 2B",
     T0 | T1, true, 0x18, 14},
    {"national eID, T=0 only",
     "3B 7D 95 00 00 80 31 80 65 B0 83 11 00 C8 83 00 90 00", T0, false, 0x95,
     13},
    {"national eID, T=0, TA1 38",
     "3B 7F 38 00 00 00 6A 44 4E 49 65 20 02 4C 34 01 13 03 90 00", T0, false,
     0x38, 15},
    {"health card, T=1", "3B D3 96 FF 81 B1 FE 45 1F 07 80 81 05 2D", T1, true,
     0x96, 3},
    {"Java Card, T=1", "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7",
     T1, true, 0x13, 8},
    {"Java Card, BWI 9 CWI 15",
     "3B 9F 95 81 31 FE 9F 00 66 46 53 05 10 00 11 71 DF 00 00 00 00 00 02", T1,
     true, 0x95, 15},
    {"PKI token, T=1",
     "3B 9F 95 81 31 FE 9F 00 65 46 53 05 30 06 71 DF 00 00 00 80 6A 82 5E", T1,
     true, 0x95, 15},
    {"minidriver card, T=0", "3B 16 96 41 73 74 72 69 64", T0, false, 0x96, 6},
    {"PKI card, T=0",
     "3B 7F 96 00 00 80 31 80 65 B0 84 41 3D F6 12 0F FE 82 90 00", T0, false,
     0x96, 15},
    {"PKI card, T=0, TA1 94",
     "3B 7D 94 00 00 80 31 80 65 B0 83 01 02 90 83 00 90 00", T0, false, 0x94,
     13},
    {"PKI card, T=0, TA1 96",
     "3B 7D 96 00 00 80 31 80 65 B0 83 11 11 AC 83 00 90 00", T0, false, 0x96,
     13},
    {"PIV card, T=0 and T=15",
     "3B DB 96 00 80 1F 03 00 31 C0 64 77 E3 03 00 82 90 00 C1", T0, true, 0x96,
     11},
    {"security key, BWI 1",
     "3B F8 13 00 00 81 31 FE 15 59 75 62 69 6B 65 79 34 D4", T1, true, 0x13,
     8},
    {"security key, NFC",
     "3B FD 13 00 00 81 31 FE 15 80 73 C0 21 C0 57 59 75 62 69 4B 65 79 40", T1,
     true, 0x13, 13},
    {"OpenPGP card 2",
     "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 C5 73 C0 01 40 00 90 00 0C", T1, true,
     0x18, 10},
    {"OpenPGP card 3",
     "3B DA 18 FF 81 B1 FE 75 1F 03 00 31 F5 73 C0 01 60 00 90 00 1C", T1, true,
     0x18, 10},
    {"HSM card",
     "3B FE 18 00 00 81 31 FE 45 80 31 81 54 48 53 4D 31 73 80 21 40 81 07 FA",
     T1, true, 0x18, 14},
    {"HSM card, N=255",
     "3B DE 18 FF 81 91 FE 1F C3 80 31 81 54 48 53 4D 31 73 80 21 40 81 07 1C",
     T1, true, 0x18, 14},
    {"signature card, TC2 before T=1", "3B F2 18 00 02 C1 0A 31 FE 58 C8 08 74",
     T1, true, 0x18, 2},
    {"signature card, T=1", "3B D2 18 00 81 31 FE 58 C9 01 14", T1, true, 0x18,
     2},
    {"signature card 5, T=1", "3B D2 18 00 81 31 FE 58 C9 03 16", T1, true,
     0x18, 2},
    {"health insurance card, T=1",
     "3B FF 18 00 FF 81 31 FE 55 00 6B 02 09 02 00 01 11 01 43 4E 53 11 31 80 "
     "8E",
     T1, true, 0x18, 15},
    {"contactless card via PC/SC", "3B 81 80 01 80 80", T0 | T1, true, 0x11, 1},
    {"SIM, inverse convention", "3F 65 25 00 2C 09 69 90 00", T0, false, 0x11,
     5},
    {"SIM, inverse convention, N=8", "3F 65 25 08 22 04 68 90 00", T0, false,
     0x11, 5},
    {"SIM, T=0 and T=15",
     "3B 9F 94 80 1F C3 00 68 10 44 05 01 46 49 53 45 31 C8 07 90 00 18", T0,
     true, 0x94, 15},
    {"bank card, T=0", "3B 68 00 00 80 66 A2 06 02 01 32 0E", T0, false, 0x11,
     8},
    {"bank card, T=0, 14 bytes",
     "3B 6E 00 00 80 31 80 66 B0 84 12 01 6E 01 83 00 90 00", T0, false, 0x11,
     14},
    {"bank card, T=0, 5 bytes", "3B 65 00 00 20 63 CB A6 A0", T0, false, 0x11,
     5},
    {"test card, WI 30",
     "3B 9F 94 40 1E 00 67 11 43 46 49 53 45 10 52 66 FF 81 90 00", T0, false,
     0x94, 15},
    {"early multi-application card", "3B 02 14 50", T0, false, 0x11, 2},
    {"early crypto card, WI 32", "3B E2 00 00 40 20 49 06", T0, false, 0x11, 2},
    {"early crypto card, WI 255", "3B 95 18 40 FF 62 01 02 01 04", T0, false,
     0x18, 5},
    {"early PKI card", "3B 27 00 80 65 A2 04 01 01 37", T0, false, 0x11, 7},
    {"early Java card", "3B 16 94 81 10 06 01 81 3F", T0, false, 0x94, 6},
    {"early Java card, TB1 TC1", "3B 76 11 00 00 00 9C 11 01 02 02", T0, false,
     0x11, 6},
    {"operating-system card, TD1 T=0",
     "3B BE 11 00 00 41 01 38 00 00 00 00 00 00 00 00 01 90 00", T0, false,
     0x11, 14},
    {"memory card, specific T=0", "3B B2 11 00 10 80 00 01", T0, false, 0x11, 2,
     true},
    {"memory card 2, specific T=0", "3B B2 11 00 10 80 00 02", T0, false, 0x11,
     2, true},
};

class PublishedAtrTest : public ::testing::TestWithParam<Published> {};

TEST_P(PublishedAtrTest, ParsesAndSetsTheCardUp) {
  const Published &card = GetParam();
  SCOPED_TRACE(card.what);
  const Bytes bytes = hex(card.atr);
  Atr atr;
  ASSERT_EQ(parse_atr(bytes, atr), AtrError::none);
  EXPECT_EQ(atr.length, bytes.size());
  EXPECT_EQ(atr.inverse, bytes[0] == 0x3F);
  EXPECT_EQ(atr.has_tck, card.tck);
  EXPECT_EQ(atr.fl << 4 | atr.dl, card.ta1);
  EXPECT_EQ(atr.historical_length, card.historical);
  EXPECT_EQ(atr.ta2.has_value(), card.specific);
  EXPECT_EQ(atr.historical().data() + atr.historical().size(),
            atr.bytes.data() + bytes.size() - (card.tck ? 1 : 0));

  PlainExtension plain;
  ASSERT_EQ(plain.reset(bytes), STATUS_SUCCESS);
  const auto &caps = plain.extension.CardCapabilities;
  EXPECT_EQ(caps.Protocol.Supported, card.protocols);
  EXPECT_EQ(plain.extension.ReaderCapabilities.CurrentState,
            card.specific ? ULONG{SCARD_SPECIFIC} : ULONG{SCARD_NEGOTIABLE});
  EXPECT_EQ(caps.Protocol.Selected, card.specific ? card.protocols : 0u);
  EXPECT_EQ(caps.InversConvention, bytes[0] == 0x3F);
  EXPECT_EQ(caps.Fl, card.ta1 >> 4);
  EXPECT_EQ(caps.Dl, card.ta1 & 0x0F);
  EXPECT_EQ(caps.HistoricalChars.Length, card.historical);
  EXPECT_GT(caps.T0.WT, 0u);
  EXPECT_GT(caps.T1.BWT, caps.T1.CWT);
  EXPECT_EQ(plain.extension.T1.IFSC, caps.T1.IFSC);
  EXPECT_EQ(plain.extension.T1.State, T1_INIT);
}

TEST_P(PublishedAtrTest, ShortenedOrCorruptedIsRefused) {
  SCOPED_TRACE(GetParam().what);
  const Bytes bytes = hex(GetParam().atr);
  Atr atr;
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    const AtrError error = parse_atr(std::span(bytes.data(), length), atr);
    EXPECT_TRUE(error == AtrError::truncated || error == AtrError::too_short)
        << length << " bytes: " << smclib::to_string(error);
  }
  if (GetParam().tck) {
    Bytes corrupted = bytes;
    corrupted.back() ^= 0x01;
    EXPECT_EQ(parse_atr(corrupted, atr), AtrError::bad_tck);
    // The library says so, and the card is left powered but unusable.
    PlainExtension plain;
    plain.extension.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    plain.extension.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    EXPECT_EQ(plain.reset(corrupted), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(plain.extension.ReaderCapabilities.CurrentState,
              ULONG{SCARD_POWERED});
    EXPECT_EQ(plain.extension.CardCapabilities.Protocol.Supported, 0u);
    EXPECT_EQ(plain.extension.CardCapabilities.Protocol.Selected, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Field, PublishedAtrTest,
                         ::testing::ValuesIn(kPublished));

TEST(AtrTest, UndecodedInverseConventionIsDecoded) {
  // An inverse-convention card read as if it were direct: TS comes as 03.
  const Bytes decoded = hex("3F 65 25 08 22 04 68 90 00");
  Bytes raw = decoded;
  smclib::invert_bytes(raw);
  ASSERT_EQ(raw[0], 0x03);
  Atr atr;
  ASSERT_EQ(parse_atr(raw, atr), AtrError::none);
  EXPECT_TRUE(atr.inverse);
  EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), atr.bytes.begin()));
  EXPECT_EQ(atr.n, 8);

  PlainExtension plain;
  ASSERT_EQ(plain.reset(raw), STATUS_SUCCESS);
  EXPECT_TRUE(plain.extension.CardCapabilities.InversConvention);
  EXPECT_EQ(plain.extension.CardCapabilities.ATR.Buffer[0], 0x3F);
  EXPECT_EQ(smclib::invert_byte(0x60), 0xF9); // NULL as the line shows it
}

TEST(AtrTest, WhatNoReaderCanUse) {
  Atr atr;
  // A synchronous memory card's answer, no ISO/IEC 7816-3 TS.
  EXPECT_EQ(parse_atr(hex("A2 13 10 91"), atr), AtrError::bad_ts);
  EXPECT_EQ(parse_atr(hex("3B"), atr), AtrError::too_short);
  EXPECT_EQ(parse_atr(Bytes(65, 0x3B), atr), AtrError::too_long);
  // A T=0-only ATR followed by a stray byte: the byte is not a TCK.
  ASSERT_EQ(parse_atr(hex("3B 02 14 50 99"), atr), AtrError::none);
  EXPECT_EQ(atr.length, 4u);
  EXPECT_FALSE(atr.has_tck);

  PlainExtension plain;
  // Only T=14, which the reader cannot speak.
  EXPECT_EQ(plain.reset(hex("3B 80 0E 8E")), STATUS_UNRECOGNIZED_MEDIA);
  // A length byte beyond the 64-byte buffer.
  plain.extension.CardCapabilities.ATR.Length = 200;
  EXPECT_EQ(SmartcardUpdateCardCapabilities(&plain.extension),
            STATUS_UNRECOGNIZED_MEDIA);
  // A card taken out meanwhile stays out.
  plain.extension.ReaderCapabilities.CurrentState = SCARD_ABSENT;
  EXPECT_EQ(plain.reset(hex("3B 02 14 50")), STATUS_SUCCESS);
  EXPECT_EQ(plain.extension.ReaderCapabilities.CurrentState,
            ULONG{SCARD_ABSENT});
}

TEST(AtrTest, SpecificModeFixesTheProtocol) {
  PlainExtension plain;
  // TA2 naming T=1 (TCK due), with parameters from TA1 ...
  ASSERT_EQ(plain.reset(hex("3B 80 11 01 90")), STATUS_SUCCESS);
  EXPECT_EQ(plain.extension.CardCapabilities.Protocol.Selected, T1);
  EXPECT_EQ(plain.extension.ReaderCapabilities.CurrentState,
            ULONG{SCARD_SPECIFIC});
  // ... or implicit ones, taken as the defaults.
  ASSERT_EQ(plain.reset(hex("3B 90 96 11 11 06")), STATUS_SUCCESS);
  EXPECT_EQ(plain.extension.CardCapabilities.Fl, 1);
  EXPECT_EQ(plain.extension.CardCapabilities.Dl, 1);
  // Specific T=1 on a reader with T=0 only.
  plain.extension.ReaderCapabilities.SupportedProtocols = T0;
  EXPECT_EQ(plain.reset(hex("3B 80 11 01 90")), STATUS_UNRECOGNIZED_MEDIA);
}

TEST(AtrTest, TimingFollowsIso7816Formulas) {
  PlainExtension plain;
  // F 372, D 12, WI 10, IFSC 254, BWI 4, CWI 5 at the reader's 3.58 MHz.
  ASSERT_EQ(plain.reset(hex("3B FE 18 00 00 80 31 FE 45 45 73 74 45 49 44 20 "
                            "76 65 72 20 31 2E 30 A8")),
            STATUS_SUCCESS);
  const auto &caps = plain.extension.CardCapabilities;
  const double f = 3.58e6;
  const double etu_default = 372 / f * 1e6; // the rate before any PPS
  EXPECT_NEAR(caps.etu, 372 / (12 * f) * 1e6, 1);
  EXPECT_NEAR(caps.GT, 12 * 372 / (12 * f) * 1e6, 1);
  EXPECT_NEAR(caps.T0.WT, 10 * 960 * 372 / f * 1e6, 1);
  EXPECT_NEAR(caps.T1.CWT, (11 + 32) * etu_default, 1);
  EXPECT_NEAR(caps.T1.BWT, 11 * etu_default + 16 * 960 * 372 / f * 1e6, 3);
  EXPECT_NEAR(caps.T1.BGT, 22 * etu_default, 1);
  EXPECT_EQ(caps.T1.IFSC, 254);
  EXPECT_EQ(caps.T1.CWI, 5);
  EXPECT_EQ(caps.T1.BWI, 4);
  EXPECT_EQ(caps.T1.EDC, 0);
  EXPECT_EQ(caps.ClockRateConversion[caps.Fl].F, 372u);
  EXPECT_EQ(caps.BitRateAdjustment[caps.Dl].DNumerator, 12u);
}

TEST(AtrTest, PpsProposalIsTheFastestRateTheReaderLists) {
  struct Case {
    const char *atr;
    std::uint8_t fl, dl;
    ULONG clock, rate;
  };
  // The reader lists 3.7 MHz divided by 512, 372, 256, 128, 64, 93, 24, 16
  // and may go up to 223200 bit/s.
  const Case cases[] = {
      {"3B 10 13", 1, 3, 3700, 39784}, // 372/4 is listed
      {"3B 10 18", 1, 3, 3700, 39784}, // 372/12 is not: 372/4
      {"3B 10 96", 9, 4, 3700, 57812}, // 512/32 is too fast: 512/8
      {"3B 10 11", 1, 1, 3700, 9946},  // the default rate
      {"3B 10 1A", 1, 1, 3580, 9623},  // a reserved D
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.atr);
    PlainExtension plain;
    ASSERT_EQ(plain.reset(hex(c.atr)), STATUS_SUCCESS);
    const auto &pts = plain.extension.CardCapabilities.PtsData;
    EXPECT_EQ(pts.Type, PTS_TYPE_OPTIMAL);
    EXPECT_EQ(pts.Fl, c.fl);
    EXPECT_EQ(pts.Dl, c.dl);
    EXPECT_EQ(pts.CLKFrequency, c.clock);
    EXPECT_EQ(pts.DataRate, c.rate);
  }
  // A driver whose PPS failed asks for the defaults and resets the card:
  // the defaults stay, so its retry cannot turn into a loop.
  PlainExtension plain;
  plain.extension.CardCapabilities.PtsData.Type = PTS_TYPE_DEFAULT;
  ASSERT_EQ(plain.reset(hex("3B 10 13")), STATUS_SUCCESS);
  EXPECT_EQ(plain.extension.CardCapabilities.PtsData.Type, PTS_TYPE_DEFAULT);
  EXPECT_EQ(plain.extension.CardCapabilities.PtsData.Dl, 1);
}

} // namespace
} // namespace talvor::test
