// The reader's firmware behind the USB bus driver, driven through URBs the
// way the reader driver sends them, on the simulation clock.
#include <array>

#include <gtest/gtest.h>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "tests/usb/usb_fixture.h"

namespace talvor::test {
namespace {

constexpr ULONG kTestTag = 0x74736554; // "Test"

class ReaderOnTheBus : public UsbTest {
protected:
  void attach(reader::ReaderOptions options = {}) {
    firmware_ = std::make_shared<reader::ReaderFirmware>(kernel(), options);
    pdo_ = plug(firmware_);
    ASSERT_EQ(TestUsbConfigure(pdo_, FALSE, &config_), STATUS_SUCCESS);
  }
  void detach() {
    TestUsbFreeConfig(&config_);
    unplug_and_remove(pdo_);
  }
  USBD_PIPE_HANDLE pipe(ULONG index) {
    return config_.Interface->Pipes[index].PipeHandle;
  }
  NTSTATUS vendor(bool in, UCHAR request, USHORT index, PUCHAR data,
                  ULONG length) {
    PURB urb = TestUsbVendorUrb(in, request, 0xFFFF, index, data, length);
    NTSTATUS status = TestUsbCall(pdo_, urb, 2500);
    ExFreePool(urb);
    return status;
  }
  NTSTATUS bulk(ULONG pipe_index, PUCHAR data, ULONG length, ULONG timeout,
                PULONG moved) {
    PURB urb = TestUsbBulkUrb(pipe(pipe_index), data, length,
                              pipe_index == 1 ? 0 : USBD_TRANSFER_DIRECTION_IN);
    NTSTATUS status = TestUsbCall(pdo_, urb, timeout);
    *moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(urb);
    return status;
  }

  std::shared_ptr<reader::ReaderFirmware> firmware_;
  PDEVICE_OBJECT pdo_ = nullptr;
  TEST_USB_CONFIG config_{};
};

TEST_F(ReaderOnTheBus, ColdResetAndAtrTakeTheCardsTime) {
  run([&] {
    attach();
    firmware_->insert(std::make_unique<card::Card>(card::make_card(
        card::ReadyCard::t1_lrc, std::make_unique<card::EchoApplication>())));
    UCHAR length = 0;
    std::uint64_t before = KeQueryInterruptTime();
    ASSERT_EQ(vendor(true, 0xA1, 0xFFFF, &length, 1), STATUS_SUCCESS);
    auto expected = card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes();
    EXPECT_EQ(length, expected.size());
    // At 9600 bit/s a character takes about 1.25 ms on the line.
    EXPECT_GE(KeQueryInterruptTime() - before, length * ms(1));

    std::array<UCHAR, 64> atr{};
    ULONG moved = 0;
    ASSERT_EQ(bulk(2, atr.data(), length, 2500, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, length);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), atr.begin()));

    // Nothing announced: a read is held until the host's time-out.
    UCHAR byte = 0;
    EXPECT_EQ(bulk(2, &byte, 1, 300, &moved), STATUS_CANCELLED);
    detach();
  });
}

TEST_F(ReaderOnTheBus, PresenceByteOnTheInterruptPipe) {
  run([&] {
    attach();
    UCHAR byte = 0xFF;
    ULONG moved = 0;
    // The first read after configuration tells the current state.
    ASSERT_EQ(bulk(0, &byte, 1, 2500, &moved), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0);
    firmware_->insert(std::make_unique<card::Card>(card::make_card(
        card::ReadyCard::t0, std::make_unique<card::EchoApplication>())));
    ASSERT_EQ(bulk(0, &byte, 1, 2500, &moved), STATUS_SUCCESS);
    EXPECT_EQ(byte, 1);
    detach();
  });
}

TEST_F(ReaderOnTheBus, BulkStallHoldsUntilThePipeIsResetAndCleared) {
  run([&] {
    attach();
    firmware_->insert(std::make_unique<card::Card>(card::make_card(
        card::ReadyCard::t1_lrc, std::make_unique<card::EchoApplication>())));
    UCHAR length = 0;
    ASSERT_EQ(vendor(true, 0xA1, 0xFFFF, &length, 1), STATUS_SUCCESS);
    std::array<UCHAR, 64> atr{};
    ULONG moved = 0;
    ASSERT_EQ(bulk(2, atr.data(), length, 2500, &moved), STATUS_SUCCESS);

    // Three bytes where two were announced: a stall, and the endpoint
    // stays halted for the next transfer too.
    std::array<UCHAR, 3> block = {1, 2, 3};
    ASSERT_EQ(vendor(false, 0xC0, 2, block.data(), 0), STATUS_SUCCESS);
    PURB urb = TestUsbBulkUrb(pipe(1), block.data(), 3, 0);
    EXPECT_FALSE(NT_SUCCESS(TestUsbCall(pdo_, urb, 2500)));
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    ExFreePool(urb);
    ASSERT_EQ(vendor(false, 0xC0, 0, block.data(), 0), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(bulk(1, block.data(), 0, 2500, &moved)));

    // A control stall halts nothing: the next setup packet is taken.
    EXPECT_FALSE(NT_SUCCESS(vendor(false, 0x44, 0, block.data(), 0)));
    ASSERT_EQ(vendor(false, 0xC0, 1, block.data(), 0), STATUS_SUCCESS);

    auto *reset = static_cast<_URB_PIPE_REQUEST *>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(_URB_PIPE_REQUEST), kTestTag));
    ASSERT_NE(reset, nullptr);
    RtlZeroMemory(reset, sizeof(*reset));
    reset->Hdr.Length = sizeof(*reset);
    reset->Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset->PipeHandle = pipe(1);
    EXPECT_EQ(TestUsbCall(pdo_, reinterpret_cast<PURB>(reset), 2500),
              STATUS_SUCCESS);
    ExFreePool(reset);
    EXPECT_EQ(bulk(1, block.data(), 1, 2500, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
    detach();
  });
}

TEST_F(ReaderOnTheBus, LongConfigurationIsReadTwice) {
  run([&] {
    reader::ReaderOptions options;
    options.layout = reader::Layout::LongConfiguration;
    attach(options);
    EXPECT_EQ(config_.ConfigurationReads, 2u);
    EXPECT_GT(config_.ConfigurationLength, 521u);
    EXPECT_EQ(config_.Interface->NumberOfPipes, 3u);
    detach();
  });
}

} // namespace
} // namespace talvor::test
