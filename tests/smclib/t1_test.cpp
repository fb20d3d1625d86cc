// T=1 through SmartcardT1Request and SmartcardT1Reply against the card
// double, the way a reader driver's transmit loop drives them: block
// chaining, IFS negotiation, waiting-time extension, and recovery from
// every fault the card can be made to commit.
#include <gtest/gtest.h>

#include "platform/smclib/extension.h"
#include "platform/smclib/t1.h"
#include "tests/smclib/extension_fixture.h"

namespace talvor::test {
namespace {

namespace t1 = smclib::t1;

class T1Test : public ::testing::Test {
protected:
  // A card offering T=1 with the given IFSC and EDC, reset and selected.
  void start(std::uint8_t ifsc = 32, bool crc = false) {
    // TS T0 TD1(T=1) TD2(TA3 TB3 TC3, T=1) TA3 TB3 TC3 TCK
    Bytes atr = {0x3B,
                 0x80,
                 0x81,
                 0x71,
                 ifsc,
                 0x45,
                 static_cast<std::uint8_t>(crc ? 1 : 0)};
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
      tck ^= atr[i];
    atr.push_back(tck);
    ASSERT_EQ(plain_.reset(atr), STATUS_SUCCESS);
    plain_.select(SCARD_PROTOCOL_T1);
  }

  struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    Bytes answer;
    ULONG_PTR information = 0;
    int exchanges = 0;
    std::vector<UCHAR> wtx; // T1.Wtx at each read
  };

  // The reader's loop: build, send, read, reply, while more is needed.
  template <typename Card>
  Outcome transmit(Card &card, const Bytes &apdu, std::size_t room = 1024) {
    auto &e = plain_.extension;
    CallerBuffer caller(&e, SCARD_PROTOCOL_T1, apdu, room);
    Outcome outcome;
    do {
      e.SmartcardRequest.BufferLength = 0;
      outcome.status = SmartcardT1Request(&e);
      if (!NT_SUCCESS(outcome.status))
        break;
      outcome.wtx.push_back(e.T1.Wtx);
      const Bytes answer = card.exchange(
          std::span(plain_.request.data(), e.SmartcardRequest.BufferLength));
      std::copy_n(answer.begin(), std::min(answer.size(), plain_.reply.size()),
                  plain_.reply.begin());
      e.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
      outcome.status = SmartcardT1Reply(&e);
      if (++outcome.exchanges > 200'000) {
        ADD_FAILURE() << "the transmission does not end";
        break;
      }
    } while (outcome.status == STATUS_MORE_PROCESSING_REQUIRED);
    outcome.information = caller.information;
    outcome.answer = caller.answer();
    if (outcome.status == STATUS_SUCCESS) {
      EXPECT_EQ(caller.reply_protocol(), ULONG{SCARD_PROTOCOL_T1});
    }
    return outcome;
  }

  static Bytes command(std::size_t data_length, std::uint8_t seed = 1) {
    Bytes apdu = {0x00, 0xD6, 0x00, 0x00};
    if (data_length > 0) {
      apdu.push_back(static_cast<std::uint8_t>(data_length));
      for (std::size_t i = 0; i < data_length; ++i)
        apdu.push_back(static_cast<std::uint8_t>(seed + i));
    }
    return apdu;
  }
  static Bytes echoed(const Bytes &apdu) { return T1Card::echo(apdu); }

  PlainExtension plain_;
};

TEST_F(T1Test, EdcKnownAnswers) {
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(t1::crc(check), 0x6F91);
  EXPECT_EQ(t1::lrc(hex("00 40 02 90 00")), 0xD2);
  // The double frames independently and agrees.
  EXPECT_EQ(T1Card::frame(0, 0x40, hex("90 00"), false),
            hex("00 40 02 90 00 D2"));
  const Bytes framed = T1Card::frame(0, 0x00, hex("00 A4 04 00"), true);
  const std::uint16_t sum = t1::crc(std::span(framed).first(7));
  EXPECT_EQ(framed[7], sum >> 8);
  EXPECT_EQ(framed[8], sum & 0xFF);
}

TEST_F(T1Test, NegotiatesIfsdOnceThenExchangesCommands) {
  start();
  T1Card card({});
  const Bytes apdu = command(10);
  Outcome first = transmit(card, apdu);
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.answer, echoed(apdu));
  EXPECT_EQ(first.information, sizeof(SCARD_IO_REQUEST) + 12);
  ASSERT_EQ(card.received().size(), 2u);
  EXPECT_EQ(card.received()[0], hex("00 C1 01 FB 3B")); // S(IFS request 251)
  EXPECT_EQ(card.ifsd(), 251);
  EXPECT_EQ(plain_.extension.T1.IFSD, 251);

  // No second negotiation; N(S) has moved on.
  Outcome second = transmit(card, apdu);
  ASSERT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(second.exchanges, 1);
  EXPECT_EQ(card.received().back()[1], 0x40);
  EXPECT_EQ(plain_.extension.T1.Wtx, 0);
}

TEST_F(T1Test, PublishesTheExchangeInT1Data) {
  start(32);
  T1Card card({});
  auto &e = plain_.extension;
  const Bytes apdu = command(100); // 105 bytes: four I-blocks
  CallerBuffer caller(&e, SCARD_PROTOCOL_T1, apdu, 1024);
  auto build = [&] {
    e.SmartcardRequest.BufferLength = 0;
    return SmartcardT1Request(&e);
  };
  auto answer = [&] {
    const Bytes block = card.exchange(
        std::span(plain_.request.data(), e.SmartcardRequest.BufferLength));
    std::copy(block.begin(), block.end(), plain_.reply.begin());
    e.SmartcardReply.BufferLength = static_cast<ULONG>(block.size());
    return SmartcardT1Reply(&e);
  };

  ASSERT_EQ(build(), STATUS_SUCCESS);
  EXPECT_TRUE(e.T1.WaitForReply);
  EXPECT_EQ(e.T1.State, ULONG{T1_IFS_REQUEST});
  EXPECT_EQ(e.T1.BytesToSend, 105u);
  EXPECT_EQ(e.T1.ReplyData, caller.system.data() + sizeof(SCARD_IO_REQUEST));
  ASSERT_EQ(answer(), STATUS_MORE_PROCESSING_REQUIRED);
  ASSERT_EQ(build(), STATUS_SUCCESS);
  EXPECT_EQ(e.T1.State, ULONG{T1_SENDING});
  EXPECT_EQ(e.T1.InfBytesSent, 32);
  EXPECT_TRUE(e.T1.MoreData);
  EXPECT_EQ(e.T1.SSN, 0);
  ASSERT_EQ(answer(), STATUS_MORE_PROCESSING_REQUIRED);
  EXPECT_EQ(e.T1.BytesSent, 32u);
  EXPECT_EQ(e.T1.BytesToSend, 73u);
  EXPECT_EQ(e.T1.SSN, 1);

  NTSTATUS status;
  do {
    ASSERT_EQ(build(), STATUS_SUCCESS);
    status = answer();
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_FALSE(e.T1.WaitForReply);
  EXPECT_FALSE(e.T1.MoreData);
  EXPECT_EQ(e.T1.State, ULONG{T1_IDLE});
  EXPECT_EQ(e.T1.BytesSent, 105u);
  EXPECT_EQ(e.T1.BytesToSend, 0u);
  EXPECT_EQ(e.T1.BytesReceived, echoed(apdu).size());
  EXPECT_EQ(e.T1.ReplyData, nullptr);
  EXPECT_EQ(caller.answer(), echoed(apdu));
}

TEST_F(T1Test, ChainsBothWaysAgainstIfscAndIfsd) {
  for (bool crc : {false, true}) {
    SCOPED_TRACE(crc ? "CRC" : "LRC");
    start(16, crc);
    Bytes big(600, 0x5C);
    T1Card card({.ifsc = 16, .crc = crc}, [&](const Bytes &) { return big; });
    const Bytes apdu = command(100);
    Outcome outcome = transmit(card, apdu);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.answer, big);
    ASSERT_EQ(card.commands().size(), 1u);
    EXPECT_EQ(card.commands()[0], apdu);
    // 105 command bytes in blocks of at most 16, all but the last chained;
    // the answer came in blocks of at most 251, each acknowledged.
    std::size_t i_blocks = 0;
    for (const Bytes &block : card.received()) {
      if ((block[1] & 0x80) != 0)
        continue;
      ++i_blocks;
      EXPECT_LE(block[2], 16);
    }
    EXPECT_EQ(i_blocks, 7u);
    EXPECT_EQ(outcome.exchanges, 1 + 7 + 2);
  }
}

TEST_F(T1Test, RefusedOrUnansweredIfsRequestCarriesOnWithIBlocks) {
  start();
  T1Card refusing({.refuse_ifs = true});
  Outcome refused = transmit(refusing, command(4));
  ASSERT_EQ(refused.status, STATUS_SUCCESS);
  EXPECT_EQ(plain_.extension.T1.IFSD, 32);
  EXPECT_EQ(refused.exchanges, 2);

  start();
  T1Card mute({.mute_ifs = true});
  Outcome unanswered = transmit(mute, command(4));
  ASSERT_EQ(unanswered.status, STATUS_SUCCESS);
  EXPECT_EQ(unanswered.answer, echoed(command(4)));
  EXPECT_EQ(unanswered.exchanges, int(t1::kMaxRetries) + 1);

  // A reader told to suppress it never asks.
  start();
  smclib::T1Session(plain_.extension)->SuppressIfsRequest = TRUE;
  T1Card plain({});
  ASSERT_EQ(transmit(plain, command(4)).exchanges, 1);
}

TEST_F(T1Test, WaitingTimeExtensionCoversTheNextReadOnly) {
  start();
  T1Card card({});
  card.ask_for_time(2, 5);
  Outcome outcome = transmit(card, command(4));
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  // IFS, I-block (WTX asked), WTX response (5), WTX response (5).
  EXPECT_EQ(outcome.wtx, (std::vector<UCHAR>{0, 0, 5, 5}));
  EXPECT_EQ(plain_.extension.T1.Wtx, 0);
  EXPECT_EQ(card.received()[2], hex("00 E3 01 05 E7"));
}

class T1FaultTest : public T1Test,
                    public ::testing::WithParamInterface<T1Card::Fault> {};

TEST_P(T1FaultTest, OneFaultIsRecoveredWithoutRunningTheCommandTwice) {
  for (bool chained_answer : {false, true}) {
    SCOPED_TRACE(chained_answer ? "chained answer" : "one-block answer");
    start(20);
    Bytes big(chained_answer ? 700 : 30, 0x11);
    T1Card card({.ifsc = 20}, [&](const Bytes &) { return big; });
    ASSERT_EQ(transmit(card, command(3)).status, STATUS_SUCCESS);
    // The second command goes in three blocks of 20; the fault hits the
    // first block of the answer, or with a chained answer its second.
    card.inject(GetParam(), 1, chained_answer ? 3 : 2);
    const Bytes apdu = command(50, 7);
    Outcome outcome = transmit(card, apdu);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.answer, big);
    EXPECT_EQ(card.commands().size(), 2u);
    EXPECT_EQ(card.commands().back(), apdu);
    EXPECT_EQ(card.resynchs(), 0);
    EXPECT_GT(outcome.exchanges, chained_answer ? 5 : 3); // it did go wrong
    // The protocol is in step for the next command.
    ASSERT_EQ(transmit(card, command(2)).status, STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, T1FaultTest,
                         ::testing::Values(T1Card::Fault::bad_edc,
                                           T1Card::Fault::wrong_sequence,
                                           T1Card::Fault::lost,
                                           T1Card::Fault::lying_len,
                                           T1Card::Fault::garbled_in));

TEST_F(T1Test, ThreeErrorsInARowResynchroniseAndRestartTheCommand) {
  start();
  T1Card card({});
  ASSERT_EQ(transmit(card, command(1)).status, STATUS_SUCCESS);
  card.inject(T1Card::Fault::bad_edc, 3);
  Outcome outcome = transmit(card, command(8));
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.answer, echoed(command(8)));
  EXPECT_EQ(card.resynchs(), 1);
  // Resynchronisation resets IFSD, so it is negotiated again.
  EXPECT_EQ(card.ifsd(), 251);
  ASSERT_EQ(transmit(card, command(2)).status, STATUS_SUCCESS);
}

TEST_F(T1Test, ErrorsAfterPartOfTheAnswerFailRatherThanRunTheCommandTwice) {
  start();
  Bytes big(600, 0x33);
  T1Card card({}, [&](const Bytes &) { return big; });
  ASSERT_EQ(transmit(card, command(1)).status, STATUS_SUCCESS);
  // The first answer block arrives; the second comes garbled three times.
  card.inject(T1Card::Fault::bad_edc, 3, 1);
  Outcome outcome = transmit(card, command(1));
  EXPECT_EQ(outcome.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(outcome.information, 0u);
  EXPECT_EQ(card.commands().size(), 2u);
  EXPECT_EQ(card.resynchs(), 1);
  // The next command starts over cleanly.
  ASSERT_EQ(transmit(card, command(2)).status, STATUS_SUCCESS);
}

TEST_F(T1Test, CardsThatNeverFinishAreCutOff) {
  start();
  {
    T1Card card({});
    card.ask_for_time_forever();
    Outcome outcome = transmit(card, command(1));
    EXPECT_EQ(outcome.status, STATUS_IO_TIMEOUT);
    EXPECT_LE(outcome.exchanges, int(t1::kMaxIdleBlocks) + 3);
    EXPECT_EQ(outcome.information, 0u);
  }
  start();
  {
    T1Card card({});
    card.chain_forever();
    Outcome outcome = transmit(card, command(1));
    EXPECT_EQ(outcome.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_LE(outcome.exchanges, int(t1::kMaxResponseLength / 251 + 4));
  }
  start();
  {
    struct Silent {
      int calls = 0;
      Bytes exchange(std::span<const std::uint8_t>) {
        ++calls;
        return {};
      }
    } silent;
    Outcome outcome = transmit(silent, command(1));
    EXPECT_EQ(outcome.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_LT(outcome.exchanges, 30);
    // It starts over with an IFS negotiation next time.
    EXPECT_EQ(plain_.extension.T1.State, T1_INIT);
  }
}

TEST_F(T1Test, CardAnnouncesASmallerIfsc) {
  start(64);
  T1Card card({.ifsc = 64});
  card.announce_ifsc(20);
  ASSERT_EQ(transmit(card, command(4)).status, STATUS_SUCCESS);
  EXPECT_EQ(plain_.extension.T1.IFSC, 20);
  const std::size_t before = card.received().size();
  ASSERT_EQ(transmit(card, command(50)).status, STATUS_SUCCESS);
  for (std::size_t i = before; i < card.received().size(); ++i)
    EXPECT_LE(card.received()[i][2], 20);
}

TEST_F(T1Test, CardAbortEndsTheTransmission) {
  start();
  T1Card card({});
  card.abort_next();
  Outcome outcome = transmit(card, command(4));
  EXPECT_EQ(outcome.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(card.received().back(), hex("00 E2 00 E2"));
  ASSERT_EQ(transmit(card, command(4)).status, STATUS_SUCCESS);
}

TEST_F(T1Test, AnswerLongerThanTheCallersBufferIsDrainedAndRefused) {
  start();
  Bytes big(700, 0x42);
  T1Card card({}, [&](const Bytes &) { return big; });
  Outcome outcome = transmit(card, command(1), 100);
  EXPECT_EQ(outcome.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(outcome.information, 0u);
  // The whole chain was taken, so the next command is in step.
  Outcome next = transmit(card, command(1), 1024);
  ASSERT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.answer, big);
}

TEST_F(T1Test, CallerAndDriverMistakesEndInAClearStatus) {
  start();
  auto &e = plain_.extension;
  ULONG_PTR information = 0;
  Bytes system(64, 0);
  const SCARD_IO_REQUEST header = {SCARD_PROTOCOL_T1, 8};
  std::memcpy(system.data(), &header, sizeof header);
  e.IoRequest = {&information, system.data(), 4, system.data(), 64};
  EXPECT_EQ(SmartcardT1Request(&e), STATUS_INVALID_PARAMETER); // no header
  e.IoRequest.RequestBufferLength = 8;
  EXPECT_EQ(SmartcardT1Request(&e), STATUS_INVALID_PARAMETER); // no APDU
  const SCARD_IO_REQUEST long_pci = {SCARD_PROTOCOL_T1, 100};
  std::memcpy(system.data(), &long_pci, sizeof long_pci);
  e.IoRequest.RequestBufferLength = 20;
  EXPECT_EQ(SmartcardT1Request(&e), STATUS_INVALID_PARAMETER);
  std::memcpy(system.data(), &header, sizeof header);
  e.IoRequest.ReplyBufferLength = 7;
  EXPECT_EQ(SmartcardT1Request(&e), STATUS_BUFFER_TOO_SMALL);
  // A reply without a request, and a reply length beyond the buffer.
  EXPECT_EQ(SmartcardT1Reply(&e), STATUS_INVALID_DEVICE_STATE);
  e.IoRequest.ReplyBufferLength = 64;
  e.SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(&e), STATUS_SUCCESS);
  e.SmartcardReply.BufferLength = e.SmartcardReply.BufferSize + 1;
  EXPECT_EQ(SmartcardT1Reply(&e), STATUS_MORE_PROCESSING_REQUIRED);
  // A request buffer already full leaves no room for a block.
  e.SmartcardRequest.BufferLength = e.SmartcardRequest.BufferSize;
  EXPECT_EQ(SmartcardT1Request(&e), STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(e.T1.WaitForReply);
}

} // namespace
} // namespace talvor::test
