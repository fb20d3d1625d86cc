// The host's own bookkeeping of several readers: removing or pulling one
// leaves the others served, and nothing is left behind.
#include <gtest/gtest.h>

#include <winsmcrd.h>

#include "platform/kernel/kernel.h"
#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "tools/host/system.h"

namespace talvor::host {
namespace {

std::unique_ptr<card::Card> echo_card() {
  return std::make_unique<card::Card>(card::make_card(
      card::ReadyCard::t1_lrc, std::make_unique<card::EchoApplication>()));
}

// Case 1 of the echo application on a reader that is up and has a card.
void expect_served(Reader &reader) {
  ASSERT_EQ(reader.open(), STATUS_SUCCESS);
  ASSERT_EQ(reader.track(true).wait(), STATUS_SUCCESS);
  ASSERT_EQ(reader.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  ASSERT_EQ(reader.set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  const std::vector<std::uint8_t> apdu = {0x00, card::echo::kCase1, 0, 0};
  Answer answer = reader.transmit(SCARD_PROTOCOL_T1, apdu);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.bytes, (std::vector<std::uint8_t>{0x90, 0x00}));
}

TEST(HostTest, ReadersComeAndGoOneAtATime) {
  kernel::Kernel kernel;
  kernel::RunResult run = kernel.run([&] {
    System system(kernel);
    ASSERT_EQ(system.load("11"), STATUS_SUCCESS);
    EXPECT_EQ(system.load("12"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(system.last_error(), "no build 12 (there are 11 and 10)");
    Reader *first = system.plug("11");
    Reader *second = system.plug("11");
    Reader *third = system.plug("11");
    ASSERT_TRUE(first && second && third);
    for (Reader *reader : {first, second, third}) {
      EXPECT_TRUE(reader->started());
      reader->insert(echo_card());
    }
    expect_served(*first);
    // An orderly removal with the handle open: the host closes it first.
    EXPECT_EQ(system.remove(first), STATUS_SUCCESS);
    expect_served(*second);
    EXPECT_EQ(system.unplug(second), STATUS_SUCCESS);
    expect_served(*third);
    EXPECT_EQ(system.bus().present().size(), 1u);
    EXPECT_EQ(system.application().open_handles(), 1u);
  });
  ASSERT_TRUE(run.ok()) << run.report;
  kernel.check_teardown();
  for (const auto &finding : kernel.verifier().take())
    ADD_FAILURE() << kernel::to_string(finding);
}

} // namespace
} // namespace talvor::host
