// Plug and Play through the managers: the gate device-control requests
// wait at while a stop is prepared, stop and restart, and removals with
// requests waiting or in flight.
#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <winsmcrd.h>

#include "tests/driver/system_fixture.h"

namespace talvor::test {
namespace {

using kernel::DeviceNodeState;
using kernel::FindingKind;
using ::testing::ElementsAre;

class PnpFlowTest : public BuildTest {
protected:
  // Brings one reader up with a card and opens it.
  void bring_up(std::optional<card::ReadyCard> card = card::ReadyCard::t1_lrc) {
    boot();
    driver_ = load(build());
    ASSERT_EQ(plug(driver_, reader_, card), STATUS_SUCCESS);
    ASSERT_EQ(open(reader_), STATUS_SUCCESS);
    delay_ms(200); // the card presence thread takes the card
  }
  // A request from another thread of the application; its result lands in
  // `result` once it completes.
  void request_later(kernel::IoResult &result, bool &done) {
    spawn([this, &result, &done] {
      result = attribute(reader_, SCARD_ATTR_DEVICE_UNIT);
      done = true;
    });
  }
  // A cold reset of the slow-ATR card under way in another thread (its
  // ATR takes more than 500 ms); `result` once it completes.
  void power_in_flight(kernel::IoResult &result, bool &done) {
    spawn([this, &result, &done] {
      result =
          ioctl(reader_, IOCTL_SMARTCARD_POWER, as_bytes(SCARD_COLD_RESET), 64);
      done = true;
    });
    delay_ms(100);
    ASSERT_FALSE(done);
  }
  std::vector<std::string> counts() {
    return traced("UscrDeviceIoControl->IoCount--!");
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PluggedReader reader_;
};
TALVOR_BUILD_TESTS(PnpFlowTest);

// A request in progress refuses the query-stop; the cancel that follows
// leaves its count alone, so the request counts itself out to 0. A query
// accepted with none in progress holds new requests at the gate until the
// stop is cancelled, or the reader is stopped and started again.
TEST_P(PnpFlowTest, QueryStopWaitsForNoRequestAndHoldsNewOnesAtTheGate) {
  run([&] {
    bring_up(card::ReadyCard::atr_slow);

    kernel::IoResult power;
    bool powered = false;
    power_in_flight(power, powered);
    kernel().trace().clear();
    EXPECT_EQ(pnp_->query_stop(reader_.pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp_->state(reader_.pdo), DeviceNodeState::Started);
    EXPECT_THAT(traced("Uscr!UscrPnPDeviceControl"),
                ElementsAre("Uscr!UscrPnPDeviceControl: "
                            "IRP_MN_QUERY_STOP_DEVICE",
                            "Uscr!UscrPnPDeviceControl: "
                            "IRP_MN_CANCEL_STOP_DEVICE"));
    delay_ms(1000);
    ASSERT_TRUE(powered);
    EXPECT_EQ(power.status, STATUS_SUCCESS);
    EXPECT_THAT(counts(),
                ElementsAre("UscrDeviceIoControl->IoCount--!(0),(0)"));

    // Accepted: a new request waits until the stop is cancelled.
    ASSERT_EQ(pnp_->query_stop(reader_.pdo), STATUS_SUCCESS);
    kernel::IoResult unit;
    bool done = false;
    request_later(unit, done);
    delay_ms(500);
    EXPECT_FALSE(done);
    EXPECT_EQ(pnp_->cancel_stop(reader_.pdo), STATUS_SUCCESS);
    delay_ms(10);
    ASSERT_TRUE(done);
    EXPECT_EQ(unit.status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(unit), 0u);

    // Stopped: the thread ends and the reader is unconfigured; the request
    // waits through the stop and goes on once the reader is started again.
    ASSERT_EQ(pnp_->query_stop(reader_.pdo), STATUS_SUCCESS);
    done = false;
    request_later(unit, done);
    kernel().trace().clear();
    ASSERT_EQ(pnp_->stop(reader_.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().trace().contains("ThreadMain ThreadShouldStop"));
    EXPECT_TRUE(kernel().trace().contains("Device Configuration Closed"));
    delay_ms(500);
    EXPECT_FALSE(done);
    kernel().trace().clear();
    ASSERT_EQ(pnp_->start(reader_.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().trace().contains("ThreadMain : Enter"));
    delay_ms(200);
    ASSERT_TRUE(done);
    EXPECT_EQ(unit.status, STATUS_SUCCESS);
    // The card is found again and powered.
    EXPECT_EQ(ioctl(reader_, IOCTL_SMARTCARD_IS_PRESENT).status,
              STATUS_SUCCESS);
    EXPECT_EQ(
        ioctl(reader_, IOCTL_SMARTCARD_POWER, as_bytes(SCARD_COLD_RESET), 64)
            .status,
        STATUS_SUCCESS);
  });
}

// A query-stop is never accepted while a request that passed the gate
// still runs: once the query is accepted no request counts itself in until
// the cancel, however the requests of two application threads interleave
// with it.
TEST_P(PnpFlowTest, QueryStopNeverOverlapsARequestThatPassedTheGate) {
  int accepted = 0;
  for (std::uint64_t seed : sweep(8)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    restart(seed);
    run([&] {
      bring_up();
      bool stopping = false;
      int running = 2;
      for (int worker = 0; worker < 2; ++worker) {
        spawn([&] {
          while (!stopping) {
            attribute(reader_, SCARD_ATTR_DEVICE_UNIT);
            delay_ms(2);
          }
          --running;
        });
      }
      for (int round = 0; round < 40; ++round) {
        delay_ms(2);
        if (pnp_->query_stop(reader_.pdo) != STATUS_SUCCESS)
          continue;
        ++accepted;
        // A request traces this once it is counted in.
        const std::size_t seen = kernel().trace().lines().size();
        delay_ms(5);
        std::vector<std::string> lines = kernel().trace().lines();
        for (std::size_t i = seen; i < lines.size(); ++i)
          EXPECT_NE(lines[i].rfind("UscrDeviceIoControl->ReaderRemoved!", 0),
                    0u)
              << "round " << round;
        EXPECT_EQ(pnp_->cancel_stop(reader_.pdo), STATUS_SUCCESS);
      }
      stopping = true;
      while (running > 0)
        delay_ms(1);
      shut_down();
    });
  }
  EXPECT_GT(accepted, 0);
}

// A request waiting at the gate of a reader that goes away fails rather
// than wait for a start that never comes; the close that follows lets the
// removal finish.
TEST_P(PnpFlowTest, SurpriseRemovalReleasesARequestWaitingAtTheGate) {
  run([&] {
    bring_up();
    ASSERT_EQ(pnp_->query_stop(reader_.pdo), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->stop(reader_.pdo), STATUS_SUCCESS);
    kernel::IoResult unit;
    bool done = false;
    request_later(unit, done);
    delay_ms(100);
    EXPECT_FALSE(done);

    kernel().trace().clear();
    unplug(reader_);
    ASSERT_TRUE(done);
    EXPECT_EQ(unit.status, STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(kernel().trace().contains(
        "UscrDeviceIoControl --> STATUS_DEVICE_REMOVED"));
    EXPECT_EQ(reader_.handle, kernel::Handle::invalid);
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// A card command in flight when the reader is pulled fails on the bus, the
// application closes, and the removal stops the thread and tears down.
TEST_P(PnpFlowTest, SurpriseRemovalWithACommandInFlight) {
  run([&] {
    bring_up(card::ReadyCard::atr_slow);
    kernel::IoResult power;
    bool powered = false;
    power_in_flight(power, powered);
    unplug(reader_);
    ASSERT_TRUE(powered);
    EXPECT_FALSE(NT_SUCCESS(power.status));
    EXPECT_TRUE(power.output.empty());
    // After the removal a request on a fresh open is refused at the door.
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
    EXPECT_TRUE(kernel().io().interfaces(kReaderInterface).empty());
  });
}

// Starts that fail leave no thread to wait for: a reader whose
// configuration fails, and one whose thread cannot be created. The removal
// the PnP manager sends then does not hang.
TEST_P(PnpFlowTest, FailedStartStartsNoThreadAndItsRemovalDoesNotHang) {
  run([&] {
    boot();
    driver_ = load(build());
    attach(reader_);
    // Every descriptor read after the device descriptor stalls.
    reader_.injector->inject(
        usb::Fault::stall(),
        {usb::TransferType::Control, std::nullopt, USB_REQUEST_GET_DESCRIPTOR},
        1, 0);
    kernel().trace().clear();
    EXPECT_FALSE(NT_SUCCESS(pnp_->add_device(reader_.pdo, driver_)));
    EXPECT_EQ(pnp_->state(reader_.pdo), DeviceNodeState::Removed);
    EXPECT_FALSE(kernel().trace().contains("ThreadMain : Enter"));
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
    pull(reader_);

    PluggedReader second;
    attach(second);
    kernel().fail_thread_creation(1);
    EXPECT_EQ(pnp_->add_device(second.pdo, driver_),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pnp_->state(second.pdo), DeviceNodeState::Removed);
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
    // The start asserts that its thread was created.
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::AssertionFailed);
    pull(second);
  });
}

// Without WDM 1.10 no interface is registered and no registry value read;
// the reader is opened by its device name, and a removal that is queried
// and cancelled does not touch an interface it does not have.
TEST_P(PnpFlowTest, WithoutWdm110TheReaderHasNoInterface) {
  run([&] {
    kernel().set_wdm_version(1, 0);
    kernel().registry().set_dword(kParametersKey, "TransferTimeOut", 7);
    boot();
    driver_ = load(build());
    EXPECT_TRUE(kernel().trace().contains("Under Win98\tor ME"));
    ASSERT_EQ(plug(driver_, reader_, card::ReadyCard::t1_lrc), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().trace().contains("UscrGetRegistryDword"));
    EXPECT_TRUE(kernel().io().interfaces(kReaderInterface).empty());
    kernel::OpenResult opened = app_->open(kernel().io().name_of(fdo(reader_)));
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    reader_.handle = opened.handle;
    EXPECT_EQ(attribute(reader_, SCARD_ATTR_DEVICE_UNIT).status,
              STATUS_SUCCESS);
    close(reader_);

    EXPECT_EQ(pnp_->query_remove(reader_.pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->cancel_remove(reader_.pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->state(reader_.pdo), DeviceNodeState::Started);
    remove(reader_);
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
  });
}

// The system's WDM version is only traced beyond 1.10: 1.20 is XP, 1.10
// alone 2000.
TEST_P(PnpFlowTest, DriverEntryTracesTheSystemItFinds) {
  run([&] {
    boot();
    kernel().set_wdm_version(1, 0x20);
    ASSERT_NE(load(build()), nullptr);
    EXPECT_THAT(traced("Under "), ElementsAre("Under Win XP"));
    ASSERT_EQ(loader_->unload_driver("TALVOR" + build()), STATUS_SUCCESS);
    kernel().trace().clear();
    kernel().set_wdm_version(1, 0x1F);
    ASSERT_NE(load(build()), nullptr);
    EXPECT_THAT(traced("Under "), ElementsAre("Under Win 2000"));
  });
}

// A query-remove switches the interface off and a cancel on again; the
// application hears of the query and closes first.
TEST_P(PnpFlowTest, QueryRemoveSwitchesTheInterfaceOffUntilCancelled) {
  run([&] {
    bring_up();
    const std::string name = link(reader_);
    EXPECT_EQ(pnp_->query_remove(reader_.pdo), STATUS_SUCCESS);
    EXPECT_EQ(reader_.handle, kernel::Handle::invalid);
    EXPECT_TRUE(link(reader_).empty());
    EXPECT_EQ(app_->open(name).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(pnp_->cancel_remove(reader_.pdo), STATUS_SUCCESS);
    EXPECT_EQ(link(reader_), name);
    ASSERT_EQ(open(reader_), STATUS_SUCCESS);
    EXPECT_EQ(ioctl(reader_, IOCTL_SMARTCARD_IS_PRESENT).status,
              STATUS_SUCCESS);
  });
}

} // namespace
} // namespace talvor::test
