// Card power and protocol selection through the smart card library's
// requests, as the wire, the statuses and the card state show them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A T=1 card whose ATR is exactly `length` bytes (8 to 191).
card::CardProfile card_with_atr_of(std::size_t length) {
  card::CardProfile profile = card::ready_profile(card::ReadyCard::t1_lrc);
  profile.name = "sized";
  profile.atr = card::Atr();
  // TS T0 TA1 TD1 TD2 TA3 TB3 TCK; a group of four more; historical bytes.
  profile.atr.ta(0x11).next_group(1).next_group(1).ta(0x20).tb(0x45);
  std::size_t groups = length >= 8 + 15 ? (length - 8 - 15 + 3) / 4 : 0;
  for (std::size_t i = 0; i < groups; ++i)
    profile.atr.next_group(15).ta(0x01).tb(0x00).tc(0x00);
  profile.atr.historical(Bytes(length - 8 - 4 * groups, 0x48));
  return profile;
}

class CardPowerTest : public DriverTest {
protected:
  void insert_profile(card::CardProfile profile) {
    firmware_->insert(std::make_unique<card::Card>(
        std::move(profile), std::make_unique<card::EchoApplication>()));
  }
  // Reader started, presence thread running, `which` in the slot.
  void ready(card::ReadyCard which) {
    start_with_thread();
    insert(which);
    settle();
  }
  kernel::IoResult power(ULONG code, std::size_t capacity = 64) {
    return ioctl(IOCTL_SMARTCARD_POWER, code, capacity);
  }
  kernel::IoResult set_protocol(ULONG mask) {
    return ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, mask, sizeof(ULONG));
  }
};

TEST_F(CardPowerTest, ResetGivesTheAtrToTheCallerAndTheLibrary) {
  run([&] {
    build();
    ready(card::ReadyCard::t0);
    const Bytes atr = card::ready_profile(card::ReadyCard::t0).atr.bytes();

    // A warm reset of a card that is not powered is a cold one.
    mark();
    kernel::IoResult reset = power(SCARD_WARM_RESET);
    ASSERT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(reset.output, atr);
    EXPECT_EQ(reset.information, atr.size());
    EXPECT_EQ(wire(), (std::vector<std::string>{
                          "A1", "in " + std::to_string(atr.size())}));
    EXPECT_EQ(state(), ULONG{SCARD_NEGOTIABLE});
    EXPECT_EQ(Bytes(smartcard()->CardCapabilities.ATR.Buffer,
                    smartcard()->CardCapabilities.ATR.Buffer +
                        smartcard()->CardCapabilities.ATR.Length),
              atr);

    // Powered: a warm reset is sent as one.
    mark();
    EXPECT_EQ(power(SCARD_WARM_RESET).output, atr);
    EXPECT_EQ(wire(), (std::vector<std::string>{
                          "A0", "in " + std::to_string(atr.size())}));

    // Power down leaves the card present, with no protocol.
    ASSERT_EQ(set_protocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
    ASSERT_EQ(state(), ULONG{SCARD_SPECIFIC});
    mark();
    kernel::IoResult down = power(SCARD_POWER_DOWN);
    EXPECT_EQ(down.status, STATUS_SUCCESS);
    EXPECT_EQ(down.information, 0u);
    EXPECT_EQ(wire(), std::vector<std::string>{"A3"});
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_EQ(smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_TRUE(traced(
#ifdef TALVOR10
        "   Enter WARD_RESET \n"
#else
        "       -SCARD_POWER_DOWN return STATUS_SUCCESS\n"
#endif
        ));

    // A caller's buffer too small for the ATR gets nothing; the library
    // still has the card.
    EXPECT_EQ(power(SCARD_COLD_RESET, atr.size()).output, atr);
    mark();
    kernel::IoResult small = power(SCARD_COLD_RESET, atr.size() - 1);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(small.output.empty());
    EXPECT_EQ(state(), ULONG{SCARD_NEGOTIABLE});
    EXPECT_TRUE(traced("       - Enter COLD_RESET BUFFER TOO SMALL 1\n"));
    tear_down();
  });
}

TEST_F(CardPowerTest, AtrsOfSixtyFourBytesAreTakenAndLongerOnesDrained) {
  run([&] {
    build();
    start_with_thread();
    for (std::size_t length : {64u, 65u}) {
      SCOPED_TRACE(length);
      const card::CardProfile profile = card_with_atr_of(length);
      const Bytes atr = profile.atr.bytes();
      ASSERT_EQ(atr.size(), length);
      insert_profile(profile);
      settle();
      mark();
      kernel::IoResult reset = power(SCARD_COLD_RESET, 80);
      if (length == 64) {
        EXPECT_EQ(reset.status, STATUS_SUCCESS);
        EXPECT_EQ(reset.output, atr);
        EXPECT_EQ(smartcard()->CardCapabilities.ATR.Length, 64);
        EXPECT_EQ(wire(), (std::vector<std::string>{"A1", "in 64"}));
      } else {
        // Nobody gets it; the surplus is read off so the pipe is clean.
        EXPECT_EQ(reset.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(reset.information, 0u);
        EXPECT_EQ(smartcard()->CardCapabilities.ATR.Length, 64);
        EXPECT_EQ(wire(), (std::vector<std::string>{"A1", "in 64", "in 1"}));
        EXPECT_TRUE(traced("       - Enter COLD_RESET BUFFER TOO SMALL 2\n"));
        // The next exchange starts clean; the card never was powered for
        // the library, so the warm reset is a cold one.
        mark();
        EXPECT_EQ(power(SCARD_WARM_RESET, 80).status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(wire(), (std::vector<std::string>{"A1", "in 64", "in 1"}));
      }
      firmware_->remove();
      settle();
    }
    tear_down();
  });
}

TEST_F(CardPowerTest, ResetWithoutAnAtrGivesTheLibraryAnEmptyOne) {
  run([&] {
    // A reader that answers the cold reset with length 0.
    intercept_ = [](const usb::TransferPtr &transfer) {
      if (!transfer->setup() || transfer->setup()->request != READER_COLD_RESET)
        return false;
      transfer->complete(usb::TransferResult::in(Bytes{0}));
      return true;
    };
    build();
    ready(card::ReadyCard::t1_lrc);
    mark();
    kernel::IoResult reset = power(SCARD_COLD_RESET);
    EXPECT_EQ(reset.status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(reset.information, 0u);
    EXPECT_EQ(smartcard()->CardCapabilities.ATR.Length, 0);
    EXPECT_EQ(wire(), std::vector<std::string>{"A1"});
    EXPECT_TRUE(traced("Wrong ATR\n"));
    EXPECT_FALSE(
        traced("  -  COLD_RESET ERROR - SEND HOST ABORT - RESET PIPE 3 \n"));
    tear_down();
  });
}

TEST_F(CardPowerTest,
       FailedResetAbortsOnceAndRestartsAThreadACardEventStopped) {
  run([&] {
    build();
    ready(card::ReadyCard::t1_lrc);
    // The reader refuses the reset: one HOST ABORT, the thread untouched.
    injector_->inject(usb::Fault::stall(),
                      {usb::TransferType::Control, {}, READER_COLD_RESET});
    mark();
    EXPECT_EQ(power(SCARD_COLD_RESET).status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(wire(), (std::vector<std::string>{"A1", "A4"}));
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_FALSE(traced("       -COLD_RESET RESTART THREAD\n"));
    EXPECT_TRUE(traced("  -  COLD_RESET ERROR - SEND HOST ABORT - RESET PIPE "
                       "3 \n"));

    // The card goes while the reset runs: the card event ends it, and the
    // thread it stopped is started again.
    injector_->inject(usb::Fault::delayed(1'000'000),
                      {usb::TransferType::Control, {}, READER_COLD_RESET});
    later(20, [&] { firmware_->remove(); });
    mark();
    EXPECT_EQ(power(SCARD_COLD_RESET).status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(count("A4"), 1u);
    EXPECT_TRUE(traced("       -COLD_RESET RESTART THREAD\n"));
    EXPECT_FALSE(ext_->ThreadShouldStop);
    EXPECT_NE(KeReadStateEvent(&ext_->ThreadStarted), 0);
    settle();
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    tear_down();
  });
}

TEST_F(CardPowerTest, WaitingTimesComeFromTheCardAboveFiveClockTicks) {
  run([&] {
    build();
    start_with_thread();
    // BWI 0: a block waiting time of about 100 ms.
    card::CardProfile profile = card::ready_profile(card::ReadyCard::t1_lrc);
    profile.atr = card::Atr();
    profile.atr.ta(0x11).next_group(1).next_group(1).ta(0x20).tb(0x05);
    insert_profile(profile);
    settle();
    const auto &caps = smartcard()->CardCapabilities;
    // With a 50 us tick five ticks are 250 us, raised to 300: below any
    // card's waiting time.
    kernel().set_time_increment(500);
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
#ifndef TALVOR10
    EXPECT_TRUE(traced("**** PBTimeOut = 0, minWaitTime = 300\n"));
#endif
    ASSERT_EQ(set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(reader()->BlockWaitingTime, caps.T1.BWT);
    EXPECT_EQ(reader()->CharacterWaitingTime, caps.T1.CWT);
    // With a 40 ms tick, five are 200 ms: above the card's BWT, which is
    // raised; the character waiting time has no floor.
    kernel().set_time_increment(400'000);
    ASSERT_LT(caps.T1.BWT, 200'000u);
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(reader()->BlockWaitingTime, 200'000u);
    EXPECT_EQ(reader()->CharacterWaitingTime, caps.T1.CWT);
    EXPECT_TRUE(traced("**** Check this line :*PBTimeOut < minWaitTime\n"));
    reader()->BlockWaitingTime = 0;
    ASSERT_EQ(set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(reader()->BlockWaitingTime, 200'000u);
    tear_down();
  });
}

TEST_F(CardPowerTest, DriversOwnCallsLeaveTheLastRequestAlone) {
  run([&] {
    build();
    ready(card::ReadyCard::t1_lrc);
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    // As before sleep or after resume: no request. The last one's reply
    // buffer is gone; a write through it would be found.
    mark();
    smartcard()->MinorIoControlCode = SCARD_COLD_RESET;
    EXPECT_EQ(CBCardPower(smartcard()), STATUS_SUCCESS);
    smartcard()->MinorIoControlCode = 7;
    EXPECT_EQ(CBCardPower(smartcard()), STATUS_INVALID_DEVICE_REQUEST);
    smartcard()->MinorIoControlCode = SCARD_POWER_DOWN;
    EXPECT_EQ(CBCardPower(smartcard()), STATUS_SUCCESS);
    const std::string atr =
        "in " +
        std::to_string(
            card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes().size());
    EXPECT_EQ(wire(), (std::vector<std::string>{"A1", atr, "A3"}));
    tear_down();
  });
}

class ProtocolTest : public CardPowerTest {
protected:
  void SetUp() override {
    CardPowerTest::SetUp();
    intercept_ = [this](const usb::TransferPtr &transfer) {
      if (intercept_resets_ && transfer->setup() &&
          transfer->setup()->request == READER_COLD_RESET)
        smartcard()->CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
      return false;
    };
  }
  bool intercept_resets_ = false;
  // A card of `protocol` (0 or 1) with TA1 `ta1`, in the slot and reset.
  void negotiable(std::uint8_t protocol, std::uint8_t ta1,
                  card::PpsBehaviour pps = card::PpsBehaviour::echo) {
    card::CardProfile profile = card::ready_profile(card::ReadyCard::t0);
    profile.name = "ta1";
    profile.atr = card::Atr();
    profile.atr.ta(ta1).next_group(protocol);
    profile.pps = pps;
    insert_profile(profile);
    settle();
    atr_ = profile.atr.bytes();
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(state(), ULONG{SCARD_NEGOTIABLE});
    bwt_ = reader()->BlockWaitingTime;
    cwt_ = reader()->CharacterWaitingTime;
  }
  std::string atr_read() const { return "in " + std::to_string(atr_.size()); }
  Bytes atr_;
  ULONG bwt_ = 0, cwt_ = 0; // the reader's, after the reset
};

TEST_F(ProtocolTest, PpsFromTheCardsIndicesThenTheReaderIsTold) {
  struct Case {
    std::uint8_t protocol, ta1;
    std::string pps, parameters;
  };
  // Fl 7 is reserved: proposed as 1. Dl 6 is unsupported: the default rate.
  const Case cases[] = {{0, 0x11, "FF 10 11 FE", "A5 00 11"},
                        {1, 0x91, "FF 11 91 7F", "A5 01 91"},
                        {1, 0x94, "FF 11 94 7A", "A5 01 94"},
                        {1, 0x73, "FF 11 13 FD", "A5 01 13"},
                        {0, 0x96, "FF 10 11 FE", "A5 00 11"}};
  run([&] {
    build();
    start_with_thread();
    for (const Case &c : cases) {
      SCOPED_TRACE(c.pps);
      negotiable(c.protocol, c.ta1);
      mark();
      kernel().trace().clear();
      const ULONG protocol = c.protocol ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
      kernel::IoResult selected =
          set_protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
      if (c.ta1 == 0x73) {
        // The card keeps its F only; it refuses 13, then takes the
        // default after one cold reset.
        EXPECT_EQ(selected.status, STATUS_SUCCESS);
        EXPECT_EQ(wire(), (std::vector<std::string>{
                              "C0", "out " + c.pps, "C1", "in 4", "A4", "A1",
                              atr_read(), "C0", "out FF 11 11 FF", "C1", "in 4",
                              "A5 01 11"}));
      } else {
        EXPECT_EQ(selected.status, STATUS_SUCCESS);
        EXPECT_EQ(wire(), (std::vector<std::string>{"C0", "out " + c.pps, "C1",
                                                    "in 4", c.parameters}));
      }
      ULONG reported = 0;
      ASSERT_EQ(selected.output.size(), sizeof reported);
      std::memcpy(&reported, selected.output.data(), sizeof reported);
      EXPECT_EQ(reported, protocol);
      EXPECT_EQ(selected.information, sizeof reported);
      EXPECT_EQ(state(), ULONG{SCARD_SPECIFIC});
      const auto &caps = smartcard()->CardCapabilities;
      EXPECT_EQ(reader()->CharacterWaitingTime,
                c.protocol ? caps.T1.CWT : caps.T0.WT);
      if (c.ta1 != 0x73) {
        // The echo is awaited for four characters and one block.
        char timeout[40];
        std::snprintf(timeout, sizeof timeout, "timeout=%X, cardCommand=1",
                      std::max<ULONG>(300, (4 * cwt_ + bwt_) / 1000));
        EXPECT_EQ(submissions()[3], timeout);
      }
      // Asked again for the protocol in use: nothing is sent. After a
      // reset the card negotiates anew.
      mark();
      EXPECT_EQ(set_protocol(protocol).status, STATUS_SUCCESS);
      EXPECT_TRUE(wire().empty());
      ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
      EXPECT_EQ(set_protocol(protocol).status, STATUS_SUCCESS);
      EXPECT_EQ(count("C0"), c.ta1 == 0x73 ? 2u : 1u);
      firmware_->remove();
      settle();
    }
    tear_down();
  });
}

TEST_F(ProtocolTest, CardThatNeverEchoesGetsOneColdResetAndOneMorePps) {
  run([&] {
    build();
    start_with_thread();
    negotiable(1, 0x94, card::PpsBehaviour::garbage);
    mark();
    kernel::IoResult selected = set_protocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(selected.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(wire(), (std::vector<std::string>{"C0", "out FF 11 94 7A", "C1",
                                                "in 4", "A1", atr_read(), "C0",
                                                "out FF 11 11 FF", "C1", "in 4",
                                                "A4"}));
    EXPECT_EQ(smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(state(), ULONG{SCARD_NEGOTIABLE});
    EXPECT_TRUE(traced("SMCLIB!TLP3SetProtocol: PTS failed. Trying default "
                       "parameters...\n"));
    EXPECT_TRUE(traced("SMCLIB!TLP3SetProtocol: Exit(c0000186)\n"));
    tear_down();
  });
}

TEST_F(ProtocolTest, RetryIsBoundedByTheDriverAndByTheDefaultType) {
  run([&] {
    build();
    start_with_thread();
    // Default parameters asked for: proposed at once, and no retry.
    negotiable(1, 0x94, card::PpsBehaviour::garbage);
    mark();
    EXPECT_EQ(set_protocol(SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_DEFAULT).status,
              STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(wire(), (std::vector<std::string>{"C0", "out FF 11 11 FF", "C1",
                                                "in 4", "A4"}));
    // A library that forgets the type at the reset: still two PPS only.
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    intercept_resets_ = true;
    mark();
    EXPECT_EQ(set_protocol(SCARD_PROTOCOL_T1).status,
              STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(count("C0"), 2u);
    EXPECT_EQ(count("A1"), 1u);
    tear_down();
  });
}

TEST_F(ProtocolTest, ReaderThatRefusesTheParametersLeavesTheCardReset) {
  run([&] {
    build();
    start_with_thread();
    negotiable(1, 0x94);
    injector_->inject(usb::Fault::stall(),
                      {usb::TransferType::Control, {}, READER_SET_PARAMETERS});
    mark();
    kernel::IoResult selected = set_protocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(selected.status, STATUS_UNSUCCESSFUL);
    // Never SCARD_SPECIFIC with a protocol the reader was not given: the
    // card is reset, and a new selection starts from its fresh ATR.
    EXPECT_EQ(wire(),
              (std::vector<std::string>{"C0", "out FF 11 94 7A", "C1", "in 4",
                                        "A5 01 94", "A4", "A1", atr_read()}));
    EXPECT_EQ(state(), ULONG{SCARD_NEGOTIABLE});
    EXPECT_EQ(smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG{SCARD_SPECIFIC});
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
