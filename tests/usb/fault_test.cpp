// The fault injector: each fault as the client driver sees it, the log of
// every transfer, and sweeps that fail or disconnect each transfer of a
// scenario in turn.
#include <cstring>

#include <gtest/gtest.h>

#include "platform/usb/fault.h"
#include "tests/usb/usb_fixture.h"

namespace talvor::test {
namespace {

using usb::Fault;
using usb::TransferRecord;

class FaultTest : public UsbTest {
protected:
  std::shared_ptr<LoopDevice> loop_ = std::make_shared<LoopDevice>();
  std::shared_ptr<usb::FaultInjector> device_ =
      std::make_shared<usb::FaultInjector>(loop_);
};

NTSTATUS vendor(PDEVICE_OBJECT pdo, BOOLEAN in, UCHAR request, PUCHAR buffer,
                ULONG length, USBD_STATUS *usbd = nullptr) {
  PURB urb = TestUsbVendorUrb(in, request, 0, 0, buffer, length);
  NTSTATUS status = TestUsbCall(pdo, urb, 2500);
  if (usbd != nullptr)
    *usbd = urb->UrbHeader.Status;
  ExFreePool(urb);
  return status;
}

NTSTATUS bulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, PUCHAR buffer,
              ULONG length, ULONG flags, ULONG timeout,
              ULONG *moved = nullptr) {
  PURB urb = TestUsbBulkUrb(pipe, buffer, length, flags);
  NTSTATUS status = TestUsbCall(pdo, urb, timeout);
  if (moved != nullptr)
    *moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  ExFreePool(urb);
  return status;
}

TEST_F(FaultTest, EachFaultAsTheClientSeesIt) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(device_);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    USBD_PIPE_HANDLE out = config.Interface->Pipes[1].PipeHandle;
    UCHAR buffer[4] = {1, 2, 3, 4};
    USBD_STATUS usbd = 0;

    device_->inject(Fault::stall(), {usb::TransferType::Control, 0, 0x10});
    EXPECT_EQ(vendor(pdo, FALSE, 0x10, buffer, 2, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(vendor(pdo, FALSE, 0x10, buffer, 2, &usbd), STATUS_SUCCESS);

    device_->inject(Fault::error(USBD_STATUS_CRC),
                    {usb::TransferType::Bulk, LoopDevice::kBulkOut, {}});
    ULONG moved = 99;
    EXPECT_EQ(bulk(pdo, out, buffer, 4, 0, 5000, &moved), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);

    // A delay passes the transfer on and holds back its completion.
    device_->inject(Fault::delayed(ms(30)));
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(bulk(pdo, out, buffer, 4, 0, 5000, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ((KeQueryInterruptTime() - before) / ms(1), 30u);

    // Silence: only the time-out ends it, and the log says so.
    device_->inject(Fault::silence());
    EXPECT_EQ(bulk(pdo, out, buffer, 4, 0, 200, &moved), STATUS_CANCELLED);
    EXPECT_EQ(device_->log().back().outcome,
              TransferRecord::Outcome::Cancelled);
    EXPECT_EQ(device_->log().back().fault, Fault::Kind::Silence);

    // Skip two matching transfers, fail the third and only it.
    device_->inject(Fault::stall(), {usb::TransferType::Control, {}, 0x10}, 2);
    EXPECT_EQ(vendor(pdo, FALSE, 0x10, buffer, 2), STATUS_SUCCESS);
    EXPECT_EQ(vendor(pdo, FALSE, 0x10, buffer, 2), STATUS_SUCCESS);
    EXPECT_EQ(vendor(pdo, FALSE, 0x10, buffer, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vendor(pdo, FALSE, 0x10, buffer, 2), STATUS_SUCCESS);

    // Pulling the cable as a transfer arrives fails that transfer too.
    device_->inject(Fault::disconnect(), {usb::TransferType::Bulk, {}, {}});
    EXPECT_EQ(bulk(pdo, out, buffer, 4, 0, 5000), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(bus().present().empty());
    TestUsbFreeConfig(&config);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
  });
}

TEST_F(FaultTest, DisconnectNowFailsTheReadInFlight) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(device_);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    UCHAR byte = 0;
    PURB urb = TestUsbBulkUrb(config.Interface->Pipes[0].PipeHandle, &byte, 1,
                              USBD_TRANSFER_DIRECTION_IN);
    TEST_USB_ASYNC read;
    EXPECT_EQ(TestUsbStart(pdo, urb, &read), STATUS_PENDING);
    device_->disconnect_now();
    EXPECT_EQ(TestUsbFinish(&read), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(loop_->held(), 0u); // the device let go of it
    ExFreePool(urb);
    TestUsbFreeConfig(&config);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
  });
}

TEST_F(FaultTest, TheLogRecordsEveryTransfer) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(device_);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    LARGE_INTEGER pause;
    pause.QuadPart = -static_cast<LONGLONG>(ms(3));
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    UCHAR data[3] = {9, 8, 7};
    EXPECT_EQ(
        bulk(pdo, config.Interface->Pipes[1].PipeHandle, data, 3, 0, 5000),
        STATUS_SUCCESS);
    UCHAR in[3] = {};
    EXPECT_EQ(bulk(pdo, config.Interface->Pipes[2].PipeHandle, in, 3, 1, 300),
              STATUS_SUCCESS);

    auto log = device_->log();
    // Device and configuration descriptors, SET_CONFIGURATION, out, in.
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].type, usb::TransferType::Control);
    EXPECT_TRUE(log[0].in);
    EXPECT_EQ(log[0].setup->request, USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(log[0].length, 18u);
    EXPECT_EQ(log[0].data.size(), 18u);
    EXPECT_EQ(log[0].status, USBD_STATUS_SUCCESS);
    const TransferRecord &out = log[3];
    EXPECT_EQ(out.sequence, 4u);
    EXPECT_EQ(out.type, usb::TransferType::Bulk);
    EXPECT_EQ(out.endpoint, LoopDevice::kBulkOut);
    EXPECT_FALSE(out.in);
    EXPECT_FALSE(out.setup.has_value());
    EXPECT_EQ(out.data, (usb::Bytes{9, 8, 7}));
    EXPECT_EQ(out.submitted, ms(3));
    EXPECT_EQ(out.outcome, TransferRecord::Outcome::Completed);
    const TransferRecord &back = log[4];
    EXPECT_EQ(back.endpoint, LoopDevice::kBulkIn);
    EXPECT_TRUE(back.in);
    EXPECT_EQ(back.data, (usb::Bytes{9, 8, 7}));
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

// A whole client's life: configure, commands, data both ways, an
// interrupt read, unconfigure. Every failure is taken in stride.
void scenario(PDEVICE_OBJECT pdo, LoopDevice &loop) {
  TEST_USB_CONFIG config;
  if (NT_SUCCESS(TestUsbConfigure(pdo, FALSE, &config)) &&
      config.Interface != nullptr && config.Interface->NumberOfPipes == 3) {
    UCHAR command[2] = {0xA1, 0x01};
    vendor(pdo, FALSE, LoopDevice::kStore, command, 2);
    UCHAR answer[2] = {};
    vendor(pdo, TRUE, LoopDevice::kFetch, answer, 2);
    UCHAR data[4] = {1, 2, 3, 4};
    bulk(pdo, config.Interface->Pipes[1].PipeHandle, data, 4, 0xFFFFFFFE, 5000);
    bulk(pdo, config.Interface->Pipes[2].PipeHandle, data, 4, 1, 300);
    loop.push_interrupt(1);
    bulk(pdo, config.Interface->Pipes[0].PipeHandle, data, 1, 1, 300);
    TestUsbUnconfigure(pdo);
  }
  TestUsbFreeConfig(&config);
}

TEST_F(FaultTest, EveryTransferOfAScenarioFailedOrDisconnectedInTurn) {
  // Count the scenario's transfers once.
  std::uint64_t total = 0;
  run([&] {
    PDEVICE_OBJECT pdo = plug(device_);
    scenario(pdo, *loop_);
    total = device_->transfers();
    unplug_and_remove(pdo);
  });
  ASSERT_GE(total, 9u);
  const Fault faults[] = {Fault::stall(),
                          Fault::error(USBD_STATUS_DEV_NOT_RESPONDING),
                          Fault::silence(), Fault::disconnect()};
  for (const Fault &fault : faults)
    for (std::uint64_t n = 1; n <= total; ++n) {
      restart(n);
      auto loop = std::make_shared<LoopDevice>();
      auto device = std::make_shared<usb::FaultInjector>(loop);
      device->fail_nth(n, fault);
      auto result = run([&] {
        PDEVICE_OBJECT pdo = plug(device);
        scenario(pdo, *loop);
        EXPECT_EQ(bus().pending(pdo), 0u);
        unplug_and_remove(pdo);
      });
      ASSERT_TRUE(result.ok()) << usb::to_string(fault.kind) << " at " << n;
      auto log = device->log();
      ASSERT_GE(log.size(), n);
      EXPECT_EQ(log[n - 1].fault, fault.kind);
    }
}

} // namespace
} // namespace talvor::test
