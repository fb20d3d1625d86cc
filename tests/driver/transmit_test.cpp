// Transmission as applications see it: APDUs sent with
// IOCTL_SMARTCARD_TRANSMIT through the smart card library to a powered card
// with its protocol selected, checked on the reader's wire.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

using usb::Bytes;
constexpr std::size_t kHeader = sizeof(SCARD_IO_REQUEST);
const std::string kTimeOut = "       - Time Out is ";

class TransmitTest : public DriverTest {
protected:
  // Reader started, the card inserted, powered and its protocol selected.
  ULONG ready(card::CardProfile profile, ULONG protocols,
              reader::Timing timing = reader::Timing::FullSpeed) {
    reader::ReaderOptions options;
    options.timing = timing;
    build(options);
    start_with_thread();
    auto application = std::make_unique<card::EchoApplication>();
    echo_ = application.get();
    firmware_->insert(std::make_unique<card::Card>(std::move(profile),
                                                   std::move(application)));
    settle();
    return connect(protocols);
  }
  kernel::IoResult transmit(const Bytes &apdu, std::size_t answer = 258) {
    const SCARD_IO_REQUEST header = {
        smartcard()->CardCapabilities.Protocol.Selected, kHeader};
    Bytes input(kHeader);
    std::memcpy(input.data(), &header, kHeader);
    input.insert(input.end(), apdu.begin(), apdu.end());
    return ioctl(IOCTL_SMARTCARD_TRANSMIT, input, kHeader + answer);
  }
  static Bytes answer(const kernel::IoResult &result) {
    if (result.output.size() < kHeader)
      return {};
    return Bytes(result.output.begin() + kHeader, result.output.end());
  }
  std::uint64_t log_position() const { return injector_->transfers(); }
  // The reader's wire since `from`, one token per transfer: W/R and the
  // count of WRITE/READ LENGTH, A for HOST ABORT, o/i and the length of a
  // bulk transfer out/in; "!" when it failed or never completed; runs of
  // one token or of a pair as "xN".
  std::string wire_since(std::uint64_t from) const {
    std::vector<std::string> tokens;
    for (const auto &record : injector_->log()) {
      if (record.sequence <= from ||
          record.type == usb::TransferType::Interrupt)
        continue;
      std::string token;
      if (record.setup) {
        if (record.setup->type() != 2)
          continue;
        switch (record.setup->request) {
        case READER_WRITE_LENGTH:
          token = "W" + std::to_string(record.setup->index);
          break;
        case READER_READ_LENGTH:
          token = "R" + std::to_string(record.setup->index);
          break;
        case READER_HOST_ABORT:
          token = "A";
          break;
        default:
          token = "C" + std::to_string(record.setup->request);
        }
      } else {
        token = (record.in ? "i" : "o") + std::to_string(record.length);
      }
      if (record.outcome != usb::TransferRecord::Outcome::Completed ||
          record.status != USBD_STATUS_SUCCESS)
        token += "!";
      tokens.push_back(token);
    }
    // Runs of one token, or of a pair (an announcement and its transfer).
    std::string text;
    for (std::size_t i = 0; i < tokens.size();) {
      std::size_t width = 1;
      std::size_t run = repeats(tokens, i, 1);
      if (run == 1 && repeats(tokens, i, 2) > 1) {
        width = 2;
        run = repeats(tokens, i, 2);
      }
      if (!text.empty())
        text += ' ';
      if (width == 2)
        text.append("(")
            .append(tokens[i])
            .append(" ")
            .append(tokens[i + 1])
            .append(")");
      else
        text += tokens[i];
      if (run > 1)
        text.append("x").append(std::to_string(run));
      i += width * run;
    }
    return text;
  }
  static std::size_t repeats(const std::vector<std::string> &tokens,
                             std::size_t at, std::size_t width) {
    auto same = [&](std::size_t next) {
      for (std::size_t k = 0; k < width; ++k)
        if (tokens[at + k] != tokens[next + k])
          return false;
      return true;
    };
    std::size_t run = 1;
    while (at + (run + 1) * width <= tokens.size() && same(at + run * width))
      ++run;
    return run;
  }
  // The read time-outs traced since the trace was cleared, in order.
  std::vector<ULONG> read_waits() {
    std::vector<ULONG> waits;
    for (const auto &line : kernel().trace().lines())
      if (auto at = line.find(kTimeOut); at != std::string::npos)
        waits.push_back(std::stoul(line.substr(at + kTimeOut.size())));
    return waits;
  }
  std::size_t trace_count(const std::string &line) {
    return kernel().trace().count(line);
  }

  card::EchoApplication *echo_ = nullptr;
};

Bytes numbered(std::size_t length, std::uint8_t first = 0) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}
Bytes command(std::uint8_t ins, std::uint8_t p1, const Bytes &data,
              std::optional<std::size_t> le = std::nullopt) {
  Bytes apdu = {0x00, ins, p1, 0x00};
  if (!data.empty()) {
    apdu.push_back(static_cast<std::uint8_t>(data.size()));
    apdu.insert(apdu.end(), data.begin(), data.end());
  }
  if (le)
    apdu.push_back(static_cast<std::uint8_t>(*le & 0xFF));
  return apdu;
}
Bytes with_status(Bytes data, std::uint16_t sw = 0x9000) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw));
  return data;
}

TEST_F(TransmitTest, T0MovesEachDataByteItsProcedureByteCovers) {
  run([&] {
    card::CardProfile profile = card::ready_profile(card::ReadyCard::t0);
    profile.t0.ack = card::T0Options::Ack::byte_by_byte;
    profile.t0.nulls_before_procedure = 1;
    profile.t0.answer_byte_by_byte = true;
    ASSERT_EQ(ready(profile, SCARD_PROTOCOL_T0), ULONG{SCARD_PROTOCOL_T0});

    // Out: a NULL before every procedure byte; one byte per (NOT INS).
    std::uint64_t from = log_position();
    auto sent = transmit(command(card::echo::kCase3, 0, numbered(3, 0xA0)));
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(sent), with_status({}));
    EXPECT_EQ(echo_->last_command().data, numbered(3, 0xA0));
    EXPECT_EQ(wire_since(from),
              "W5 o5 (R1 i1)x2 W1 o1 (R1 i1)x2 W1 o1 (R1 i1)x2 "
              "W1 o1 (R1 i1)x3");

    // In: each data byte behind its (NOT INS) is read with the procedure
    // byte that follows, the last with two; NULLs among them are skipped.
    from = log_position();
    kernel().trace().clear();
    auto read = transmit(command(card::echo::kCase2, 0x41, {}, 2));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(read), with_status({0x41, 0x42}));
    EXPECT_EQ(wire_since(from), "W5 o5 (R1 i1)x2 R2 i2 R1 i1 R3 i3 R1 i1");
    EXPECT_EQ(trace_count("SMCLIB!TLP3TransmitT0: <- Data 4 bytes, SW1=90 "
                          "SW2=00\n"),
              1u);
    EXPECT_EQ(trace_count("SMCLIB!TLP3TransmitT0: Exit(0)\n"), 1u);
    tear_down();
  });
}

TEST_F(TransmitTest, T0CaseTwoIsTheHeaderAProcedureByteAndOneRead) {
  run([&] {
    // Two NULLs before the ACK and before SW1, each read on its own.
    card::CardProfile profile =
        card::ready_profile(card::ReadyCard::t0_ins_plus_one);
    profile.t0.nulls_before_procedure = 2;
    ready(profile, SCARD_PROTOCOL_T0);
    // Both waiting times hold WT: a read of n bytes waits (n + 1) WT.
    const ULONG wt = smartcard()->CardCapabilities.T0.WT;
    ASSERT_EQ(reader()->BlockWaitingTime, wt);
    auto wait = [&](ULONG n) {
      return std::max<ULONG>((n + 1) * wt / 1000, 300);
    };
    std::uint64_t from = log_position();
    kernel().trace().clear();
    auto result = transmit(command(card::echo::kCase2, 0x10, {}, 20));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(result), with_status(numbered(20, 0x10)));
    EXPECT_EQ(wire_since(from), "W5 o5 (R1 i1)x3 R22 i16 i6");
    EXPECT_EQ(read_waits(), (std::vector<ULONG>{wait(1), wait(1), wait(1),
                                                wait(16), wait(6)}));

    // INS+1 asks for all the command data too.
    from = log_position();
    auto sent = transmit(command(card::echo::kCase3, 0, numbered(17)));
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(wire_since(from), "W5 o5 (R1 i1)x3 W17 o16 o1 (R1 i1)x4");
    EXPECT_EQ(echo_->last_command().data, numbered(17));
    tear_down();
  });
}

TEST_F(TransmitTest, T0CardFaultsEndTheCommand) {
  run([&] {
    card::CardProfile profile = card::ready_profile(card::ReadyCard::t0);
    profile.t0.faults = {{1, card::T0Fault::silent_after_header},
                         {2, card::T0Fault::early_status}};
    ready(profile, SCARD_PROTOCOL_T0);
    // Nothing after the header: a time-out, after the transport's abort.
    std::uint64_t from = log_position();
    auto silent = transmit(command(card::echo::kCase2, 0, {}, 4));
    EXPECT_EQ(silent.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(silent.information, 0u);
    EXPECT_EQ(wire_since(from), "W5 o5 R1 i1! A");

    // SW1 SW2 in place of the ACK: no data go out.
    from = log_position();
    auto early = transmit(command(card::echo::kCase3, 0, numbered(8)));
    EXPECT_EQ(early.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(early), with_status({}));
    EXPECT_EQ(wire_since(from), "W5 o5 (R1 i1)x2");

    // The card answers data to a command that sends some: its first data
    // byte (P1 = INS) comes as an ACK with nothing left to send.
    from = log_position();
    auto crossed =
        transmit(command(card::echo::kCase2, card::echo::kCase2, numbered(3)));
    EXPECT_EQ(crossed.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(wire_since(from), "W5 o5 R1 i1 W3 o3 R1 i1 A");
    EXPECT_EQ(
        trace_count("SMCLIB!TLP3TransmitT0: ACK with no data left, Sent=8 "
                    "Received=0\n"),
        1u);
    tear_down();
  });
}

TEST_F(TransmitTest, T1ReadsThePrologueThenTheRestWithTheCardsWaitingTime) {
  run([&] {
    ready(card::ready_profile(card::ReadyCard::t1_lrc), SCARD_PROTOCOL_T1);
    const ULONG bwt = reader()->BlockWaitingTime;
    const ULONG cwt = reader()->CharacterWaitingTime;
    ASSERT_EQ(bwt, smartcard()->CardCapabilities.T1.BWT);
    auto wait = [&](ULONG n, ULONG wtx) {
      return std::max<ULONG>((n * cwt + wtx * bwt) / 1000, 300);
    };

    // IFSD first (LEN 1), then 260 APDU bytes in three chained blocks over
    // IFSC 128: the card's R-blocks between them have LEN 0 and an LRC.
    std::uint64_t from = log_position();
    kernel().trace().clear();
    auto chained = transmit(command(card::echo::kCase3, 0, numbered(255)));
    EXPECT_EQ(chained.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(chained), with_status({}));
    EXPECT_EQ(echo_->last_command().data, numbered(255));
    EXPECT_EQ(wire_since(from), "W5 o5 R3 i3 R2 i2 W132 o16x8 o4 R3 i3 R1 i1 "
                                "W132 o16x8 o4 R3 i3 R1 i1 W8 o8 (R3 i3)x2");
    EXPECT_EQ(
        read_waits(),
        (std::vector<ULONG>{wait(3, 1), wait(2, 1), wait(3, 1), wait(1, 1),
                            wait(3, 1), wait(1, 1), wait(3, 1), wait(3, 1)}));
    EXPECT_EQ(trace_count("Set Wtx=1\n"), 4u);
    EXPECT_EQ(trace_count("TLP3Transmit: Failed"), 0u);

    // Busy for 2.5 s, beyond BWT: the card asks for more time, and the
    // prologue after it waits that many BWT.
    kernel().trace().clear();
    Bytes slow = command(card::echo::kCase2, 0, {}, 5);
    slow[3] = 250;
    auto result = transmit(slow);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(result), with_status(numbered(5)));
    EXPECT_EQ(trace_count("SmartcardExtension->T1.Wtx= 2\n"), 1u);
    EXPECT_EQ(read_waits(), (std::vector<ULONG>{wait(3, 1), wait(2, 1),
                                                wait(3, 2), wait(8, 1)}));
    tear_down();
  });
}

TEST_F(TransmitTest, T1BlocksTheReplyBufferCannotHoldAreDrained) {
  run([&] {
    // CRC, and blocks of up to 254 bytes whatever IFSD says, which the
    // library refuses until it gives up.
    card::CardProfile profile = card::ready_profile(card::ReadyCard::t1_crc);
    profile.t1.ignore_ifsd = true;
    ready(profile, SCARD_PROTOCOL_T1, reader::Timing::Instant);
    std::uint64_t from = log_position();
    auto whole = transmit(command(card::echo::kCase2, 0, {}, 256));
    EXPECT_EQ(whole.status, STATUS_DEVICE_PROTOCOL_ERROR);
    const std::string first = "W6 o6 (R3 i3)x2 W10 o10 R3 i3 R256 i16x16 W5";
    EXPECT_EQ(wire_since(from).substr(0, first.size()), first);

    // Room for 61 bytes behind the prologue: the block is taken off the
    // line in slices of that, and the library gets nothing.
    smartcard()->SmartcardReply.BufferSize = 64;
    kernel().trace().clear();
    from = log_position();
    auto drained = transmit(command(card::echo::kCase2, 0, {}, 256));
    EXPECT_EQ(drained.status, STATUS_DEVICE_PROTOCOL_ERROR);
    const std::string slices = "R3 i3 R61 i16x3 i13 R61 i16x3 i13 R61 i16x3 "
                               "i13 R61 i16x3 i13 R12 i12 W5";
    EXPECT_NE(wire_since(from).find(slices), std::string::npos)
        << wire_since(from);
    for (const auto &read : commands(READER_READ_LENGTH)) {
      if (read.sequence > from) {
        EXPECT_LE(read.setup->index, 61);
      }
    }
    EXPECT_GT(trace_count("SMCLIB!TLP3Transmit: Block of 259 bytes beyond the "
                          "reply buffer\n"),
              0u);

    // Not even a prologue and an epilogue: refused before anything moves.
    smartcard()->SmartcardReply.BufferSize = 4;
    from = log_position();
    auto refused = transmit(command(card::echo::kCase1, 0, {}));
    EXPECT_EQ(refused.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(wire_since(from), "");
    smartcard()->SmartcardReply.BufferSize = 288;
    tear_down();
  });
}

TEST_F(TransmitTest, T1CardFaultsAreLeftToTheLibrarysRecovery) {
  run([&] {
    card::CardProfile profile = card::ready_profile(card::ReadyCard::t1_lrc);
    profile.t1.answer_faults = {{1, card::T1Fault::late},
                                {2, card::T1Fault::len_ff}};
    ready(profile, SCARD_PROTOCOL_T1);
    std::uint64_t from = log_position();
    kernel().trace().clear();
    auto late = transmit(command(card::echo::kCase2, 0, {}, 4));
    EXPECT_EQ(late.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(late), with_status(numbered(4)));
    // Each prologue time-out: the transport's HOST ABORT and this one, then
    // the library's R-block; the card's answer comes the third time.
    EXPECT_EQ(wire_since(from),
              "W5 o5 R3 i3 R2 i2 W9 o9 R3 i3! Ax2 W4 o4 R3 i3! Ax2 "
              "W4 o4 R3 i3 R7 i7");
    EXPECT_EQ(
        trace_count("SMCLIB!TLP3Transmit: Read timed out (c0000120), SEND "
                    "HOST ABORT\n"),
        2u);

    // LEN 0xFF fits the reply buffer: the block comes off the line whole
    // (behind the late answer's leftovers), each time the library asks.
    from = log_position();
    auto len_ff = transmit(command(card::echo::kCase2, 0, {}, 4));
    EXPECT_EQ(len_ff.status, STATUS_SUCCESS);
    EXPECT_EQ(answer(len_ff), with_status(numbered(4)));
    EXPECT_NE(wire_since(from).find("W4 o4 R3 i3 R256 i16x16 W4 o4 R3 i3 R256 "
                                    "i16x16 W4 o4 R3 i3 R256 i16x16 W4"),
              std::string::npos);
    tear_down();
  });
}

TEST_F(TransmitTest, RawIsRefusedAndARemovedCardEndsTheCommand) {
  run([&] {
    ready(card::ready_profile(card::ReadyCard::t1_lrc), SCARD_PROTOCOL_T1);
    // The reader cannot give a raw answer back: nothing is sent.
    smartcard()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
    std::uint64_t from = log_position();
    kernel().trace().clear();
    auto raw = transmit(command(card::echo::kCase1, 0, {}));
    EXPECT_EQ(raw.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(wire_since(from), "");
    EXPECT_EQ(trace_count("SMCLIB!TLP3Transmit: Failed (c0000010)\n"), 1u);
    EXPECT_EQ(trace_count("SMCLIB!TLP3Transmit: Exit(c0000010)\n"), 1u);

    // Removed during a second's work: the card event ends the prologue
    // read and the transport starts a new card presence thread.
    smartcard()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    Bytes slow = command(card::echo::kCase2, 0, {}, 5);
    slow[3] = 100;
    later(300, [&] { firmware_->remove(); });
    from = log_position();
    auto removed = transmit(slow);
    EXPECT_EQ(removed.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(removed.information, 0u);
    EXPECT_EQ(wire_since(from), "W5 o5 R3 i3 R2 i2 W9 o9 R3 i3! A");
    EXPECT_EQ(trace_count("       - SCReadWrite - RESTART THREAD\n"), 1u);
    settle();
    EXPECT_EQ(KeReadStateEvent(&ext_->ThreadStarted), 1);
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    tear_down();
  });
}

// Every APDU case at lengths around the 16-byte chunks and the limits, in
// both protocols and both conventions, as the echo application answers.
TEST_F(TransmitTest, EveryCaseAndLengthInBothProtocols) {
  struct Subject {
    card::ReadyCard card;
    ULONG protocol;
  };
  const Subject subjects[] = {{card::ReadyCard::t0, SCARD_PROTOCOL_T0},
                              {card::ReadyCard::inverse, SCARD_PROTOCOL_T0},
                              {card::ReadyCard::t1_lrc, SCARD_PROTOCOL_T1},
                              {card::ReadyCard::t1_crc, SCARD_PROTOCOL_T1}};
  run([&] {
    for (const Subject &subject : subjects) {
      // A NULL before every procedure byte: 0xF9 on the line under the
      // inverse convention.
      card::CardProfile profile = card::ready_profile(subject.card);
      profile.t0.nulls_before_procedure = 1;
      SCOPED_TRACE(profile.name);
      ASSERT_EQ(ready(profile, subject.protocol, reader::Timing::Instant),
                subject.protocol);
      auto exchange = [&](const Bytes &apdu, const Bytes &expected) {
        SCOPED_TRACE(::testing::Message() << "APDU of " << apdu.size()
                                          << " bytes, INS " << int(apdu[1]));
        auto result = transmit(apdu);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(answer(result), expected);
        EXPECT_EQ(result.information, kHeader + expected.size());
      };

      exchange(command(card::echo::kCase1, 0, {}), with_status({}));
      for (std::size_t ne : {1, 15, 16, 17, 255, 256}) {
        const auto p1 = static_cast<std::uint8_t>(ne);
        exchange(command(card::echo::kCase2, p1, {}, ne),
                 with_status(numbered(ne, p1)));
      }
      for (std::size_t nc : {1, 16, 17, 254, 255}) {
        const Bytes data = numbered(nc, static_cast<std::uint8_t>(nc));
        exchange(command(card::echo::kCase3, 0, data), with_status({}));
        EXPECT_EQ(echo_->last_command().data, data);
      }
      for (auto [nc, ne] : {std::pair<std::size_t, std::size_t>{1, 256},
                            {17, 16},
                            {255, 255}}) {
        const Bytes data = numbered(nc, 0x80);
        Bytes repeated;
        for (std::size_t i = 0; i < ne; ++i)
          repeated.push_back(data[i % nc]);
        if (subject.protocol == SCARD_PROTOCOL_T1) {
          exchange(command(card::echo::kCase4, 0, data, ne),
                   with_status(repeated));
          continue;
        }
        // T=0 carries no Le with data: 61xx, and GET RESPONSE for them.
        exchange(command(card::echo::kCase4, 0, data, ne),
                 with_status({}, static_cast<std::uint16_t>(0x6100 | nc)));
        exchange({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(nc)},
                 with_status(data));
      }
      EXPECT_TRUE(kernel().verifier().empty());
      tear_down();
    }
  });
}

} // namespace
} // namespace talvor::test
