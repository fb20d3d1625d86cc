// The applications behind the protocols, and APDU parsing of bad input.
#include <gtest/gtest.h>

#include "sim/card/applications.h"

namespace talvor::test {
namespace {

using card::CommandApdu;
using card::FileSystemApplication;
using Bytes = std::vector<std::uint8_t>;
namespace fs = card::fs;

CommandApdu apdu(Bytes bytes) {
  auto parsed = CommandApdu::parse(bytes);
  EXPECT_TRUE(parsed);
  return parsed.value_or(CommandApdu{});
}

TEST(Apdu, ParsesEachCaseAndRefusesBadLengths) {
  EXPECT_EQ(apdu({0, 1, 2, 3}).apdu_case(), 1);
  EXPECT_EQ(apdu({0, 1, 2, 3, 0}).ne, 256u);
  EXPECT_EQ(apdu({0, 1, 2, 3, 2, 9, 9}).apdu_case(), 3);
  const CommandApdu four = apdu({0, 1, 2, 3, 1, 9, 7});
  EXPECT_EQ(four.apdu_case(), 4);
  EXPECT_EQ(four.ne, 7u);
  EXPECT_EQ(four.bytes(), (Bytes{0, 1, 2, 3, 1, 9, 7}));
  for (const Bytes &bad :
       {Bytes{}, Bytes{0, 1, 2}, Bytes{0, 1, 2, 3, 3, 9},
        Bytes{0, 1, 2, 3, 1, 9, 9, 9}, Bytes{0, 1, 2, 3, 0, 0, 1}})
    EXPECT_FALSE(CommandApdu::parse(bad)) << bad.size();
}

class FileSystemTest : public ::testing::Test {
protected:
  card::ResponseApdu run(Bytes bytes) {
    return app_.process(apdu(std::move(bytes)));
  }
  std::uint16_t status(Bytes bytes) { return run(std::move(bytes)).sw; }

  FileSystemApplication app_{42};
};

TEST_F(FileSystemTest, SelectByFidAndByName) {
  auto fci = run({0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00, 0x00});
  EXPECT_EQ(fci.sw, 0x9000);
  // FCP: EF, FID 2F00, 32 bytes.
  EXPECT_EQ(fci.data, (Bytes{0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x2F,
                             0x00, 0x80, 0x02, 0x00, 0x20}));
  EXPECT_EQ(status({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}), 0x6A82);
  // By a part of the name; the DF's own EF is then within reach.
  auto df = run({0x00, 0xA4, 0x04, 0x00, 0x04, 0xF0, 0x74, 0x61, 0x6C, 0x00});
  EXPECT_EQ(df.sw, 0x9000);
  EXPECT_EQ(df.data[4], 0x38); // a DF
  EXPECT_EQ(status({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}), 0x9000);
  EXPECT_EQ(status({0x00, 0xA4, 0x04, 0x0C, 0x02, 0xF0, 0x00}), 0x6A82);
  EXPECT_EQ(status({0x00, 0xA4, 0x09, 0x0C, 0x02, 0x50, 0x01}), 0x6A86);
  EXPECT_EQ(status({0x00, 0xA4, 0x00, 0x0C, 0x01, 0x50}), 0x6700);
  EXPECT_EQ(status({0x80, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}), 0x6E00);
}

TEST_F(FileSystemTest, ReadAndUpdateBinary) {
  EXPECT_EQ(status({0x00, 0xB0, 0x00, 0x00, 0x10}), 0x6986); // no EF yet
  ASSERT_EQ(status({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}), 0x9000);
  // 300 bytes: read past 256 by offset; the end shows as 6282.
  auto tail = run({0x00, 0xB0, 0x01, 0x20, 0x00});
  EXPECT_EQ(tail.sw, 0x6282);
  ASSERT_EQ(tail.data.size(), 300u - 0x120);
  EXPECT_EQ(tail.data[0], FileSystemApplication::initial_byte(0x0101, 0x120));
  EXPECT_EQ(status({0x00, 0xB0, 0x01, 0x2C, 0x01}), 0x6B00);

  EXPECT_EQ(status({0x00, 0xD6, 0x01, 0x2A, 0x02, 0xAB, 0xCD}), 0x9000);
  // Past the end: refused whole, nothing written.
  EXPECT_EQ(status({0x00, 0xD6, 0x01, 0x2B, 0x02, 0xEE, 0xEE}), 0x6700);
  app_.reset(true);
  ASSERT_EQ(status({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}), 0x9000);
  auto end = run({0x00, 0xB0, 0x01, 0x2A, 0x02});
  EXPECT_EQ(end.data, (Bytes{0xAB, 0xCD}));
}

TEST_F(FileSystemTest, PinGuardsTheSecretFileAndBlocks) {
  ASSERT_EQ(status({0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0, 0x74, 0x61, 0x6C, 0x76,
                    0x6F, 0x72}),
            0x9000);
  ASSERT_EQ(status({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}), 0x9000);
  EXPECT_EQ(status({0x00, 0xB0, 0x00, 0x00, 0x04}), 0x6982);
  EXPECT_EQ(status({0x00, 0x20, 0x00, fs::kPinReference}), 0x63C3);
  EXPECT_EQ(
      status({0x00, 0x20, 0x00, fs::kPinReference, 4, '1', '2', '3', '4'}),
      0x9000);
  EXPECT_EQ(status({0x00, 0xB0, 0x00, 0x00, 0x04}), 0x9000);
  // A reset forgets the verification but not the counter.
  app_.reset(false);
  run({0x00, 0xA4, 0x04, 0x0C, 0x02, 0xF0, 0x74});
  run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01});
  EXPECT_EQ(status({0x00, 0xB0, 0x00, 0x00, 0x04}), 0x6982);
  const Bytes wrong{0x00, 0x20, 0x00, fs::kPinReference, 2, '0', '0'};
  EXPECT_EQ(status(wrong), 0x63C2);
  app_.reset(true);
  EXPECT_EQ(status(wrong), 0x63C1);
  EXPECT_EQ(status(wrong), 0x6983);
  // Blocked: even the right PIN is refused now.
  EXPECT_EQ(
      status({0x00, 0x20, 0x00, fs::kPinReference, 4, '1', '2', '3', '4'}),
      0x6983);
  EXPECT_EQ(status({0x00, 0x20, 0x00, 0x01, 4, '1', '2', '3', '4'}), 0x6A88);
}

TEST_F(FileSystemTest, ChallengesFollowTheSeed) {
  auto first = run({0x00, 0x84, 0x00, 0x00, 0x08});
  auto second = run({0x00, 0x84, 0x00, 0x00, 0x08});
  EXPECT_EQ(first.sw, 0x9000);
  EXPECT_EQ(first.data.size(), 8u);
  EXPECT_NE(first.data, second.data);
  FileSystemApplication replay(42);
  EXPECT_EQ(replay.process(apdu({0x00, 0x84, 0x00, 0x00, 0x08})).data,
            first.data);
  EXPECT_EQ(run({0x00, 0x84, 0x00, 0x00, 0x00}).data.size(), 256u);
  EXPECT_EQ(status({0x00, 0x84, 0x01, 0x00, 0x08}), 0x6A86);
  EXPECT_EQ(status({0x00, 0x84, 0x00, 0x00}), 0x6700);
}

} // namespace
} // namespace talvor::test
