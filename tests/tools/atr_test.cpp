// The ATR as the tool decodes it, and the text it reads and prints.
#include <gtest/gtest.h>

#include "tools/talvor/atr.h"
#include "tools/talvor/text.h"

namespace talvor::cli {
namespace {

Bytes hex(const char *text) {
  return parse_hex(text).value();
}

TEST(AtrDecode, DirectT1CardWithTa1AndT1Parameters) {
  // t1-lrc: TA1 96, TD1 T=1, TD2 T=1, TA3 IFSC 128, TB3 BWI 4 CWI 5.
  const AtrReport atr =
      decode_atr(hex("3B 99 96 81 31 80 45 74 61 6C 76 6F 72 20 54 31 2D"));
  EXPECT_FALSE(atr.inverse);
  EXPECT_EQ(atr.protocols, 2u);
  EXPECT_EQ(atr.ta1, 0x96);
  EXPECT_EQ(atr.f, 512);
  EXPECT_EQ(atr.d, 32);
  EXPECT_EQ(atr.ifsc, 128);
  EXPECT_EQ(atr.bwi, 4);
  EXPECT_EQ(atr.cwi, 5);
  EXPECT_FALSE(atr.crc);
  EXPECT_TRUE(atr.problems.empty());
  std::string text;
  for (const auto &line : describe_atr(atr))
    text += line + "\n";
  EXPECT_EQ(text,
            "convention direct (TS 3B); protocols T=1; negotiable, T=1 first\n"
            "TA1 96: Fi 9, Di 6 (F 512, D 32)\n"
            "guard time: N 0 (12 etu)\n"
            "T=1: IFSC 128, CWI 5 (CWT 43 etu), BWI 4 (BWT 1600 ms + 11 etu "
            "at 3.5712 MHz), LRC\n"
            "historical bytes (9): 74 61 6C 76 6F 72 20 54 31 \"talvor T1\"\n"
            "TCK 2D (checks)\n");
}

TEST(AtrDecode, T0CardsDirectAndInverse) {
  // t0: TA1 94 (F 512, D 8), TC2 WI 10; T=0 alone carries no TCK.
  const AtrReport t0 =
      decode_atr(hex("3B 99 94 40 0A 74 61 6C 76 6F 72 20 54 30"));
  EXPECT_EQ(t0.protocols, 1u);
  EXPECT_EQ(t0.f, 512);
  EXPECT_EQ(t0.d, 8);
  EXPECT_EQ(t0.wi, 10);
  EXPECT_FALSE(t0.tck);
  EXPECT_TRUE(t0.problems.empty());
  EXPECT_EQ(describe_atr(t0)[3],
            "T=0: WI 10 (WT = 960 x WI x Fi/f: 76800 etu at D 8)");

  // What the reader hands back for an inverse-convention card: the bytes as
  // read in the direct convention, TS 3F arriving as 03.
  const AtrReport inverse = decode_atr(hex("03 17 77 69 89 91 59 B1 31 59"));
  EXPECT_TRUE(inverse.inverse);
  EXPECT_TRUE(inverse.coded_inverse);
  EXPECT_EQ(inverse.ta1, 0x11);
  EXPECT_EQ(inverse.f, 372);
  EXPECT_EQ(inverse.d, 1);
  EXPECT_EQ(std::string(inverse.historical.begin(), inverse.historical.end()),
            "inverse");
  EXPECT_TRUE(inverse.problems.empty());
  EXPECT_EQ(describe_atr(inverse)[0],
            "convention inverse (TS 3F, read as 03); protocols T=0; "
            "negotiable, T=0 first");
}

TEST(AtrDecode, CrcSpecificModeAndDefaults) {
  // t1-crc: TA1 13 (F 372, D 4), IFSC 32, TC3 CRC.
  const AtrReport crc = decode_atr(
      hex("3B 9A 13 81 71 20 45 01 74 61 6C 76 6F 72 20 43 52 43 7D"));
  EXPECT_EQ(crc.d, 4);
  EXPECT_EQ(crc.ifsc, 32);
  EXPECT_TRUE(crc.crc);
  EXPECT_TRUE(crc.tck_ok);

  // dual: TD1 T=0, TD2 T=1; T=0 comes first.
  const AtrReport dual =
      decode_atr(hex("3B 96 18 80 31 FE 45 74 61 6C 76 6F 72 96"));
  EXPECT_EQ(dual.protocols, 3u);
  EXPECT_EQ(dual.first_protocol, 0);
  EXPECT_EQ(dual.ifsc, 254);
  EXPECT_TRUE(dual.problems.empty());

  // TA2 81: specific mode T=1, cannot change.
  const AtrReport specific =
      decode_atr(hex("3B 93 11 91 81 31 20 45 54 41 32 E1"));
  EXPECT_EQ(specific.specific_mode, 0x81);
  EXPECT_EQ(describe_atr(specific)[0],
            "convention direct (TS 3B); protocols T=1; specific mode T=1 "
            "(TA2 81, cannot change)");

  // No interface bytes at all: every default.
  const AtrReport bare = decode_atr(hex("3B 00"));
  EXPECT_FALSE(bare.ta1_present);
  EXPECT_EQ(describe_atr(bare)[1], "TA1 11 (default): Fi 1, Di 1 (F 372, D 1)");
  EXPECT_TRUE(bare.problems.empty());
}

TEST(AtrDecode, SaysWhatIsWrong) {
  EXPECT_EQ(
      decode_atr(hex("3B 99 96 81 31 80 45 74 61 6C 76 6F 72 20 54 31 2C"))
          .problems,
      std::vector<std::string>{"TCK 2C does not check (XOR T0..TCK is 01)"});
  EXPECT_EQ(decode_atr(hex("3B 99 96 81 31 80 45 74 61")).problems,
            std::vector<std::string>{
                "truncated: 9 bytes, the interface bytes announce more"});
  EXPECT_EQ(
      decode_atr(hex("3B 00 AA")).problems,
      std::vector<std::string>{"1 bytes after the end the ATR announces"});
  EXPECT_EQ(decode_atr(hex("3C 00")).problems,
            std::vector<std::string>{"TS 3C is neither 3B nor 3F"});
  EXPECT_EQ(decode_atr({}).problems, std::vector<std::string>{"no ATR bytes"});
}

TEST(Text, HexPatternsAndStatuses) {
  EXPECT_EQ(parse_hex("00a4 04:0C"), (Bytes{0x00, 0xA4, 0x04, 0x0C}));
  std::string why;
  EXPECT_FALSE(parse_hex("00A", &why));
  EXPECT_EQ(why, "odd number of hex digits in \"00A\"");
  EXPECT_FALSE(parse_hex("0G", &why));
  EXPECT_EQ(why, "not hex: \"0G\"");
  EXPECT_FALSE(parse_hex("??"));

  auto challenge = BytePattern::parse("* 9000").value();
  EXPECT_TRUE(challenge.matches(Bytes{0x90, 0x00}));
  EXPECT_TRUE(challenge.matches(Bytes{1, 2, 3, 0x90, 0x00}));
  EXPECT_FALSE(challenge.matches(Bytes{1, 0x90, 0x01}));
  EXPECT_FALSE(challenge.matches(Bytes{0x00}));
  auto any = BytePattern::parse("01 ?? 03").value();
  EXPECT_TRUE(any.matches(Bytes{1, 0xEE, 3}));
  EXPECT_FALSE(any.matches(Bytes{1, 0xEE, 3, 4}));
  EXPECT_FALSE(any.matches(Bytes{2, 0xEE, 3}));
  auto framed = BytePattern::parse("01 * 9000").value();
  EXPECT_TRUE(framed.matches(Bytes{1, 0x90, 0x00}));
  EXPECT_FALSE(framed.matches(Bytes{1, 0x90}));
  EXPECT_FALSE(BytePattern::parse("* 01 *"));

  EXPECT_EQ(status_text(STATUS_NO_MEDIA), "STATUS_NO_MEDIA (0xC0000178)");
  EXPECT_EQ(status_text(STATUS_SUCCESS), "STATUS_SUCCESS (0x00000000)");
  EXPECT_EQ(status_text(static_cast<NTSTATUS>(0xC0001234)), "0xC0001234");
  EXPECT_EQ(parse_status("STATUS_IO_TIMEOUT"), STATUS_IO_TIMEOUT);
  EXPECT_EQ(parse_status("0xc0000178"), STATUS_NO_MEDIA);
  EXPECT_FALSE(parse_status("STATUS_NOPE"));
  EXPECT_FALSE(parse_status("0x1FFFFFFFF"));
  EXPECT_EQ(status_word_text(0x63, 0xC2), "verification failed, 2 tries left");
  EXPECT_EQ(status_word_text(0x6A, 0x82), "file not found");
  EXPECT_EQ(status_word_text(0x6A, 0x83), "");
}

} // namespace
} // namespace talvor::cli
