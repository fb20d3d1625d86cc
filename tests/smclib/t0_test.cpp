// T=0 and raw transmission through the request and reply routines: APDU
// cases, the reader's own header in the request buffer, status words,
// buffers that are too small, and the inverse convention.
#include <gtest/gtest.h>

#include "platform/smclib/atr.h"
#include "platform/smclib/t0.h"
#include "tests/smclib/extension_fixture.h"

namespace talvor::test {
namespace {

using smclib::ApduCase;

TEST(T0TpduTest, ApduCases) {
  struct Case {
    const char *apdu;
    ApduCase apdu_case;
    const char *header;
    std::uint32_t lc, le;
  };
  const Case cases[] = {
      {"00 A4 04 00", ApduCase::case1, "00 A4 04 00 00", 0, 0},
      {"00 B0 00 00 10", ApduCase::case2, "00 B0 00 00 10", 0, 16},
      {"00 B0 00 00 00", ApduCase::case2, "00 B0 00 00 00", 0, 256},
      {"00 D6 00 00 02 AA BB", ApduCase::case3, "00 D6 00 00 02", 2, 0},
      // T=0 sends case 4 as case 3; 61xx and GET RESPONSE bring the data.
      {"00 A4 04 00 02 3F 00 00", ApduCase::case4, "00 A4 04 00 02", 2, 0},
      {"00 A4 04", ApduCase::invalid, "", 0, 0},
      {"00 D6 00 00 05 AA BB", ApduCase::invalid, "", 0, 0},    // Lc lies
      {"00 D6 00 00 01 AA BB CC", ApduCase::invalid, "", 0, 0}, // extra bytes
      {"00 D6 00 00 00 00 02 AA BB", ApduCase::invalid, "", 0, 0}, // extended
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.apdu);
    const Bytes apdu = hex(c.apdu);
    const auto tpdu = smclib::make_t0_tpdu(apdu);
    EXPECT_EQ(tpdu.apdu_case, c.apdu_case);
    if (c.apdu_case == ApduCase::invalid)
      continue;
    EXPECT_EQ(Bytes(tpdu.header.begin(), tpdu.header.end()), hex(c.header));
    EXPECT_EQ(tpdu.lc, c.lc);
    EXPECT_EQ(tpdu.le, c.le);
    EXPECT_EQ(tpdu.data.size(), c.lc);
  }
}

class T0Test : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(plain_.reset(hex("3B 02 14 50")), STATUS_SUCCESS);
    plain_.select(SCARD_PROTOCOL_T0);
  }
  Bytes request() const {
    return Bytes(plain_.request.begin(),
                 plain_.request.begin() +
                     plain_.extension.SmartcardRequest.BufferLength);
  }
  void card_answers(const Bytes &answer) {
    std::copy(answer.begin(), answer.end(), plain_.reply.begin());
    plain_.extension.SmartcardReply.BufferLength =
        static_cast<ULONG>(answer.size());
  }
  PlainExtension plain_;
};

TEST_F(T0Test, RequestFollowsTheReadersHeaderAndReplyFollowsTheCallers) {
  auto &e = plain_.extension;
  CallerBuffer caller(&e, SCARD_PROTOCOL_T0, hex("00 D6 00 00 02 AA BB"), 16);
  // The reader keeps two bytes of its own in front.
  plain_.request[0] = 0xEE;
  plain_.request[1] = 0xEF;
  e.SmartcardRequest.BufferLength = 2;
  ASSERT_EQ(SmartcardT0Request(&e), STATUS_SUCCESS);
  EXPECT_EQ(request(), hex("EE EF 00 D6 00 00 02 AA BB"));
  EXPECT_EQ(e.T0.Lc, 2u);
  EXPECT_EQ(e.T0.Le, 0u);

  card_answers(hex("90 00"));
  ASSERT_EQ(SmartcardT0Reply(&e), STATUS_SUCCESS);
  EXPECT_EQ(caller.information, sizeof(SCARD_IO_REQUEST) + 2);
  EXPECT_EQ(caller.answer(), hex("90 00"));
  EXPECT_EQ(caller.reply_protocol(), ULONG{SCARD_PROTOCOL_T0});
}

TEST_F(T0Test, AnswersThatDoNotFitOrCarryNoStatusWord) {
  auto &e = plain_.extension;
  {
    // Le 256 and SW1 SW2 must fit the reader's reply buffer.
    // cppcheck-suppress unreadVariable ; it points IoRequest at itself
    CallerBuffer caller(&e, SCARD_PROTOCOL_T0, hex("00 B0 00 00 00"), 300);
    e.SmartcardReply.BufferSize = 257;
    e.SmartcardRequest.BufferLength = 0;
    EXPECT_EQ(SmartcardT0Request(&e), STATUS_BUFFER_TOO_SMALL);
    e.SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    EXPECT_EQ(SmartcardT0Request(&e), STATUS_SUCCESS);
    EXPECT_EQ(e.T0.Le, 256u);
  }
  {
    // Room for less than a status word: refused before the card runs it.
    // cppcheck-suppress unreadVariable ; it points IoRequest at itself
    CallerBuffer caller(&e, SCARD_PROTOCOL_T0, hex("00 B0 00 00 04"), 1);
    e.SmartcardRequest.BufferLength = 0;
    EXPECT_EQ(SmartcardT0Request(&e), STATUS_BUFFER_TOO_SMALL);
  }
  {
    CallerBuffer caller(&e, SCARD_PROTOCOL_T0, hex("00 B0 00 00 04"), 4);
    card_answers(hex("01 02 03 04 90 00"));
    caller.information = 77;
    EXPECT_EQ(SmartcardT0Reply(&e), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(caller.information, 0u);
    card_answers(hex("6D"));
    EXPECT_EQ(SmartcardT0Reply(&e), STATUS_DEVICE_PROTOCOL_ERROR);
    // A length the reply buffer cannot have held.
    e.SmartcardReply.BufferLength = e.SmartcardReply.BufferSize + 1;
    EXPECT_EQ(SmartcardT0Reply(&e), STATUS_DEVICE_PROTOCOL_ERROR);
  }
  {
    // cppcheck-suppress unreadVariable ; it points IoRequest at itself
    CallerBuffer caller(&e, SCARD_PROTOCOL_T0, hex("00 D6 00 00 05 AA"), 8);
    e.SmartcardRequest.BufferLength = 0;
    EXPECT_EQ(SmartcardT0Request(&e), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.SmartcardRequest.BufferLength, 0u);
  }
}

TEST_F(T0Test, InverseConventionInvertsWhatGoesOutAndComesBack) {
  auto &e = plain_.extension;
  ASSERT_EQ(plain_.reset(hex("3F 65 25 08 22 04 68 90 00")), STATUS_SUCCESS);
  plain_.select(SCARD_PROTOCOL_T0);
  CallerBuffer caller(&e, SCARD_PROTOCOL_T0, hex("A0 C0 00 00 02"), 16);
  e.SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT0Request(&e), STATUS_SUCCESS);
  Bytes line = hex("A0 C0 00 00 02");
  smclib::invert_bytes(line);
  EXPECT_EQ(request(), line);

  Bytes answer = hex("12 34 90 00");
  smclib::invert_bytes(answer);
  card_answers(answer);
  ASSERT_EQ(SmartcardT0Reply(&e), STATUS_SUCCESS);
  EXPECT_EQ(caller.answer(), hex("12 34 90 00"));
}

TEST_F(T0Test, RawPassesBytesThrough) {
  auto &e = plain_.extension;
  plain_.select(SCARD_PROTOCOL_RAW);
  CallerBuffer caller(&e, SCARD_PROTOCOL_RAW, hex("01 02 03"), 4);
  e.SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardRawRequest(&e), STATUS_SUCCESS);
  EXPECT_EQ(request(), hex("01 02 03"));
  card_answers({});
  ASSERT_EQ(SmartcardRawReply(&e), STATUS_SUCCESS);
  EXPECT_EQ(caller.information, sizeof(SCARD_IO_REQUEST));
  card_answers(hex("0A 0B 0C 0D 0E"));
  EXPECT_EQ(SmartcardRawReply(&e), STATUS_BUFFER_TOO_SMALL);
  card_answers(hex("0A 0B 0C 0D"));
  ASSERT_EQ(SmartcardRawReply(&e), STATUS_SUCCESS);
  EXPECT_EQ(caller.answer(), hex("0A 0B 0C 0D"));
  EXPECT_EQ(caller.reply_protocol(), ULONG{SCARD_PROTOCOL_RAW});

  // More than the request buffer holds.
  // cppcheck-suppress unreadVariable ; it points IoRequest at itself
  CallerBuffer big(&e, SCARD_PROTOCOL_RAW, Bytes(MIN_BUFFER_SIZE + 1, 7), 4);
  e.SmartcardRequest.BufferLength = 0;
  EXPECT_EQ(SmartcardRawRequest(&e), STATUS_BUFFER_TOO_SMALL);
}

} // namespace
} // namespace talvor::test
