// A simulation test with a USB bus, and the steps a PnP manager would take
// around a device: plug and start, unplug and remove.
#pragma once

#include <memory>

#include "tests/support/sim.h"
#include "platform/usb/bus.h"
#include "tests/usb/driver/usb_client.h"
#include "tests/usb/loop_device.h"

namespace talvor::test {

class UsbTest : public SimTest {
protected:
  void SetUp() override {
    SimTest::SetUp();
    bus_ = std::make_unique<usb::UsbBus>(kernel());
  }
  void TearDown() override {
    bus_.reset();
    SimTest::TearDown();
  }
  // A fresh kernel and bus, for seed sweeps.
  void restart(std::uint64_t seed) {
    bus_.reset();
    finish();
    start(seed);
    bus_ = std::make_unique<usb::UsbBus>(kernel());
  }

  PDEVICE_OBJECT plug(std::shared_ptr<usb::UsbDevice> device) {
    PDEVICE_OBJECT pdo = bus_->plug(std::move(device));
    EXPECT_NE(pdo, nullptr);
    if (pdo != nullptr) {
      EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_START_DEVICE, 0, nullptr),
                STATUS_SUCCESS);
    }
    return pdo;
  }
  void unplug_and_remove(PDEVICE_OBJECT pdo) {
    bus_->unplug(pdo);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_FALSE(bus_->owns(pdo));
  }

  usb::UsbBus &bus() { return *bus_; }

private:
  std::unique_ptr<usb::UsbBus> bus_;
};

// Milliseconds in 100 ns units.
constexpr std::uint64_t ms(std::uint64_t n) {
  return n * 10'000;
}

} // namespace talvor::test
