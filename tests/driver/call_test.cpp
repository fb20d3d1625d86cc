// URB submission against a bus that fails a request at once (device gone,
// bad URB): the I/O manager then neither sets the request's event nor fills
// its status block, so the routines return the bus's status without
// waiting for either, and the IRP is released.
#include <string>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

class CallTest : public DriverTest {
protected:
  static URB vendor_urb(USHORT length) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, length, 0, 0,
                          READER_HOST_ABORT, 0, 0, nullptr, nullptr, 0,
                          nullptr);
    return urb;
  }
  // IRPs of the I/O manager's pool still allocated.
  std::uint64_t irps_outstanding() {
    for (const auto &stats : kernel().pool().all_stats())
      if (stats.tag == kernel::make_pool_tag("Irp "))
        return stats.outstanding;
    return 0;
  }
  // Submits `urb` and checks the trace of an immediate failure `status`.
  void expect_failed_at_once(URB &urb, NTSTATUS status,
                             const std::string &hex) {
    kernel().trace().clear();
    std::uint64_t irps = irps_outstanding();
    EXPECT_EQ(KorvoSCD_CallUSBD(fdo_, &urb, 2500, FALSE), status);
    auto lines = kernel().trace().lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "enter KorvoSCD_CallUSBD,timeout=9C4, cardCommand=0");
    EXPECT_EQ(
        lines[1].rfind(" KorvoSCD_CallUSBD - Calling USB Driver Stack(", 0), 0u)
        << lines[1];
    EXPECT_EQ(lines[2], "return from IoCallDriver\tntStatus=0x" + hex + ")");
    EXPECT_EQ(lines[3], "Exit\tKorvoSCD_CallUSBD ntStatus=0x" + hex + ")");
    EXPECT_EQ(irps_outstanding(), irps);

    EXPECT_EQ(KorvoSCD_CallUSBDInterrupt(fdo_, &urb), status);
    EXPECT_EQ(irps_outstanding(), irps);
  }
};

TEST_F(CallTest, RequestTheBusFailsAtOnceReturnsItsStatusWithoutWaiting) {
  run([&] {
    build();
    // Too short for a vendor request: refused before it reaches the wire.
    URB bad = vendor_urb(sizeof(_URB_HEADER));
    expect_failed_at_once(bad, STATUS_INVALID_PARAMETER, "c000000d");
    EXPECT_TRUE(injector_->log().empty());

    // The cable pulled: every request fails as it arrives.
    injector_->disconnect_now();
    URB urb = vendor_urb(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    expect_failed_at_once(urb, STATUS_DEVICE_NOT_CONNECTED, "c000009d");
    EXPECT_TRUE(injector_->log().empty());
    tear_down();
  });
  EXPECT_TRUE(kernel().verifier().empty());
}

} // namespace
} // namespace talvor::test
