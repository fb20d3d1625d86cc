// The vendor device-control codes from an application: what reaches the
// reader, what comes back, and the recovery after a failure.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"
#include "vendor/ioctl.h"

namespace talvor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

class VendorTest : public DriverTest {};

TEST_F(VendorTest, EveryCodeReachesTheReader) {
  run([&] {
    build();
    start_with_thread();

    mark();
    EXPECT_EQ(ioctl(IOCTL_VENDOR_WRITE, Bytes{0x12, 0x34}, 0).status,
              STATUS_SUCCESS);
    kernel::IoResult read = ioctl(IOCTL_VENDOR_READ, Bytes{}, 2);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 2u);
    EXPECT_EQ(read.output, (Bytes{0x12, 0x34}));
    EXPECT_EQ(wire(), (Lines{"02 12 34", "03"}));

    // The I2C memory: address 0x10 selected, four bytes written, selected
    // again and read back; the read sends its input first.
    mark();
    const Bytes select = {reader::kI2cMemoryAddress, 0x10};
    EXPECT_EQ(ioctl(IOCTL_VENDOR_I2C_COMMAND, select, 0).status,
              STATUS_SUCCESS);
    kernel::IoResult write =
        ioctl(IOCTL_VENDOR_I2C_WRITE, Bytes{1, 2, 3, 4}, 0);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.information, 0u);
    EXPECT_EQ(firmware_->i2c_memory()[0x13], 4);
    EXPECT_EQ(ioctl(IOCTL_VENDOR_I2C_COMMAND, select, 0).status,
              STATUS_SUCCESS);
    kernel::IoResult back = ioctl(IOCTL_VENDOR_I2C_READ, Bytes{}, 4);
    EXPECT_EQ(back.status, STATUS_SUCCESS);
    EXPECT_EQ(back.information, 4u);
    EXPECT_EQ(back.output, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(wire(), (Lines{"43 A0 10", "C0", "out 01 02 03 04", "43 A0 10",
                             "C1", "in 4"}));
    EXPECT_TRUE(traced("UscrGenericIoControl - VendorReader\t\n"));
    EXPECT_FALSE(traced("  -\t IOCTL_XXX ERROR - SEND\tHOST ABORT\n"));
    tear_down();
  });
}

TEST_F(VendorTest, ShortBufferOfTheCodesOwnDirectionIsRefusedUnsent) {
  run([&] {
    build();
    start_with_thread();
    mark();
    // The other direction's room does not count.
    EXPECT_EQ(ioctl(IOCTL_VENDOR_WRITE, Bytes{0x12}, 2).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ioctl(IOCTL_VENDOR_I2C_COMMAND, Bytes{}, 2).status,
              STATUS_BUFFER_TOO_SMALL);
    kernel::IoResult read = ioctl(IOCTL_VENDOR_READ, Bytes{1, 2}, 1);
    EXPECT_EQ(read.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(read.information, 0u);
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(firmware_->vendor_register(), (std::array<std::uint8_t, 2>{}));
    tear_down();
  });
}

TEST_F(VendorTest, FailuresAreAbortedAndATimeOutTwice) {
  run([&] {
    build();
    start_with_thread();
    // A code the reader does not have: one HOST ABORT.
    mark();
    const ULONG unknown =
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80E, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(ioctl(unknown, Bytes{1, 2}, 2).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(wire(), Lines{"A4"});

    // A read the reader never answers: two, and no byte counted.
    injector_->inject(usb::Fault::silence(),
                      {usb::TransferType::Control, {}, READER_VENDOR_READ});
    mark();
    kernel::IoResult read = ioctl(IOCTL_VENDOR_READ, Bytes{}, 2);
    EXPECT_EQ(read.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(read.information, 0u);
    EXPECT_EQ(wire(), (Lines{"03", "A4", "A4"}));
    EXPECT_FALSE(traced("\t   -IOCTL_XXX_Command RESTART THREAD\n"));

    // A refused command: one, its status kept.
    injector_->inject(usb::Fault::stall(),
                      {usb::TransferType::Control, {}, READER_VENDOR_WRITE});
    mark();
    EXPECT_EQ(ioctl(IOCTL_VENDOR_WRITE, Bytes{1, 2}, 0).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wire(), (Lines{"02 01 02", "A4"}));

    // A card removed while VENDOR READ waits ends it; the presence thread
    // it stopped is started again.
    insert();
    settle();
    injector_->inject(usb::Fault::delayed(1'000'000),
                      {usb::TransferType::Control, {}, READER_VENDOR_READ});
    later(20, [&] { firmware_->remove(); });
    mark();
    EXPECT_EQ(ioctl(IOCTL_VENDOR_READ, Bytes{}, 2).status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(wire(), (Lines{"03", "A4"}));
    EXPECT_TRUE(traced("\t   -IOCTL_XXX_Command RESTART THREAD\n"));
    EXPECT_NE(KeReadStateEvent(&ext_->ThreadStarted), 0);
    settle();
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
