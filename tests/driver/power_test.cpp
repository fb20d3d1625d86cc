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

std::string hex(const Bytes &bytes) {
  std::string text;
  char digits[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
    text += digits;
  }
  return text;
}

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
  // What crossed the wire from here on.
  void mark() { mark_ = injector_->log().size(); }
  // One line a transfer since the mark: a vendor command by its bRequest,
  // bulk out by its bytes, bulk in by its length.
  std::vector<std::string> wire() const {
    std::vector<std::string> lines;
    auto log = injector_->log();
    for (std::size_t i = mark_; i < log.size(); ++i) {
      const usb::TransferRecord &record = log[i];
      char text[16];
      if (record.setup && record.setup->type() == 2) {
        std::snprintf(text, sizeof text, "%02X", record.setup->request);
        lines.push_back(text);
      } else if (record.type == usb::TransferType::Bulk) {
        if (record.in)
          lines.push_back("in " + std::to_string(record.length));
        else
          lines.push_back("out " + hex(record.data));
      }
    }
    return lines;
  }
  std::size_t count(const std::string &line) const {
    auto lines = wire();
    return static_cast<std::size_t>(
        std::count(lines.begin(), lines.end(), line));
  }
  // Whether the driver printed `text` (its line end included).
  bool traced(std::string text) {
    text.pop_back();
    for (auto &line : kernel().trace().lines())
      if (line == text)
        return true;
    return false;
  }
  std::size_t mark_ = 0;
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

} // namespace
} // namespace talvor::test
