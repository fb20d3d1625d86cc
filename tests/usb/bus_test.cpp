// The bus driver as a client driver sees it: configuration, transfers and
// their byte counts, pending requests and the time-out pattern, cancel
// races, unplug with requests pending, refused requests, PnP and power.
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/usb/fault.h"
#include "tests/usb/usb_fixture.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;
using ::testing::HasSubstr;

// Non-paged buffers from the pool, as the driver's are.
struct PoolBuffer {
  explicit PoolBuffer(std::size_t size)
      : data(static_cast<PUCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, size, 0x66754254))),
        size(size) {
    std::memset(data, 0, size);
  }
  ~PoolBuffer() { ExFreePool(data); }
  PoolBuffer(const PoolBuffer &) = delete;
  PoolBuffer &operator=(const PoolBuffer &) = delete;
  PUCHAR data;
  std::size_t size;
};

// What IRP_MN_QUERY_ID returned in IoStatus.Information.
char16_t *id_text(ULONG_PTR information) {
  return reinterpret_cast<char16_t *>( // NOLINT(performance-no-int-to-ptr)
      information);
}

USBD_PIPE_HANDLE pipe(const TEST_USB_CONFIG &config, ULONG index) {
  return config.Interface->Pipes[index].PipeHandle;
}

class BusTest : public UsbTest {};

TEST_F(BusTest, ConfiguresTheReaderLayoutPipesInDescriptorOrder) {
  run([&] {
    auto device = std::make_shared<LoopDevice>();
    PDEVICE_OBJECT pdo = plug(device);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    EXPECT_EQ(config.ConfigurationReads, 1u);
    EXPECT_EQ(device->configured_value(), 1);
    EXPECT_NE(config.Handle, nullptr);
    EXPECT_FALSE(config.HighSpeed);
    const auto &info = *config.Interface;
    EXPECT_EQ(info.NumberOfPipes, 3u);
    EXPECT_EQ(info.Class, 0xFF);
    const UCHAR addresses[] = {0x81, 0x02, 0x82};
    const USBD_PIPE_TYPE types[] = {UsbdPipeTypeInterrupt, UsbdPipeTypeBulk,
                                    UsbdPipeTypeBulk};
    for (ULONG i = 0; i < 3; ++i) {
      EXPECT_EQ(info.Pipes[i].EndpointAddress, addresses[i]) << i;
      EXPECT_EQ(info.Pipes[i].PipeType, types[i]) << i;
      EXPECT_NE(info.Pipes[i].PipeHandle, nullptr);
      EXPECT_EQ(info.Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
    }
    EXPECT_EQ(info.Pipes[0].MaximumPacketSize, 8);
    EXPECT_EQ(info.Pipes[0].Interval, 10);
    EXPECT_NE(info.Pipes[1].PipeHandle, info.Pipes[2].PipeHandle);

    // Unconfigured: the old handles are refused, not dereferenced.
    EXPECT_EQ(TestUsbUnconfigure(pdo), STATUS_SUCCESS);
    EXPECT_EQ(device->configured_value(), 0);
    UCHAR byte = 0;
    PURB urb = TestUsbBulkUrb(pipe(config, 2), &byte, 1, 1);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    ExFreePool(urb);
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, LongConfigurationTakesTwoReadsAndSpeedComesFromTheDevice) {
  run([&] {
    usb::ConfigurationSpec shape = reader_layout();
    for (int i = 0; i < 3; ++i) {
      auto vendor = usb::vendor_descriptor(0x41, 200, 0x5A);
      shape.interfaces[0].extra.insert(shape.interfaces[0].extra.end(),
                                       vendor.begin(), vendor.end());
    }
    auto loop =
        std::make_shared<LoopDevice>(descriptors_for(shape), usb::Speed::High);
    auto device = std::make_shared<usb::FaultInjector>(loop);
    PDEVICE_OBJECT pdo = plug(device);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, TRUE, &config), STATUS_SUCCESS);
    EXPECT_EQ(config.ConfigurationReads, 2u);
    EXPECT_EQ(config.ConfigurationLength, 9u + 9 + 600 + 21);
    EXPECT_TRUE(config.HighSpeed);
    EXPECT_EQ(config.Interface->NumberOfPipes, 3u);
    // The second read asks for exactly wTotalLength.
    auto log = device->log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[1].setup->value, 0x0200);
    EXPECT_EQ(log[1].setup->length, 521);
    EXPECT_EQ(log[2].setup->length, config.ConfigurationLength);
    EXPECT_EQ(log[2].data.size(), config.ConfigurationLength);
    EXPECT_EQ(log[3].setup->request, USB_REQUEST_SET_CONFIGURATION);
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, MissingEndpointsGiveFewerPipesAndFaultyLayoutsAreRefused) {
  run([&] {
    usb::ConfigurationSpec shape = reader_layout();
    shape.interfaces[0].endpoints.pop_back();
    PDEVICE_OBJECT pdo =
        plug(std::make_shared<LoopDevice>(descriptors_for(shape)));
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    EXPECT_EQ(config.Interface->NumberOfPipes, 2u);
    TestUsbFreeConfig(&config);

    // An interface that declares three endpoints but describes two.
    shape.interfaces[0].declared_endpoints = 3;
    PDEVICE_OBJECT faulty =
        plug(std::make_shared<LoopDevice>(descriptors_for(shape)));
    EXPECT_EQ(TestUsbConfigure(faulty, FALSE, &config),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(config.Interface, nullptr);
    unplug_and_remove(pdo);
    unplug_and_remove(faulty);
  });
}

TEST_F(BusTest, TransfersMoveBytesAndReportWhatMoved) {
  run([&] {
    auto loop = std::make_shared<LoopDevice>();
    auto device = std::make_shared<usb::FaultInjector>(loop);
    PDEVICE_OBJECT pdo = plug(device);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);

    // Vendor requests: the setup packet comes from the URB, the
    // direction from TransferFlags (every bit but IN for a write).
    PoolBuffer data(2);
    data.data[0] = 0xA5;
    data.data[1] = 0x5A;
    PURB urb = TestUsbVendorUrb(FALSE, LoopDevice::kStore, 0xFFFF, 0x1234,
                                data.data, 2);
    EXPECT_EQ(TestUsbCall(pdo, urb, 2500), STATUS_SUCCESS);
    ExFreePool(urb);
    PoolBuffer back(2);
    urb = TestUsbVendorUrb(TRUE, LoopDevice::kFetch, 0, 0, back.data, 2);
    EXPECT_EQ(TestUsbCall(pdo, urb, 2500), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 2u);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(back.data, data.data, 2), 0);
    ExFreePool(urb);
    auto log = device->log();
    const auto &store = log[log.size() - 2];
    EXPECT_EQ(store.setup->request_type, 0x40);
    EXPECT_EQ(store.setup->value, 0xFFFF);
    EXPECT_EQ(store.setup->index, 0x1234);
    EXPECT_EQ(store.setup->length, 2);
    EXPECT_EQ(store.data, (usb::Bytes{0xA5, 0x5A}));
    EXPECT_EQ(log.back().setup->request_type, 0xC0);

    // Bulk out, then a longer bulk in: short without
    // USBD_SHORT_TRANSFER_OK is an error, with the bytes delivered.
    PoolBuffer out(5);
    std::memcpy(out.data, "hello", 5);
    urb = TestUsbBulkUrb(pipe(config, 1), out.data, 5, 0xFFFFFFFE);
    EXPECT_EQ(TestUsbCall(pdo, urb, 5000), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    ExFreePool(urb);
    PoolBuffer in(16);
    urb = TestUsbBulkUrb(pipe(config, 2), in.data, 16,
                         USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(TestUsbCall(pdo, urb, 300), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(std::memcmp(in.data, "hello", 5), 0);
    ExFreePool(urb);
    loop->push_bulk({1, 2, 3});
    urb = TestUsbBulkUrb(pipe(config, 2), in.data, 16,
                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(TestUsbCall(pdo, urb, 300), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    ExFreePool(urb);

    // A zero-length transfer is a transfer.
    urb = TestUsbBulkUrb(pipe(config, 1), nullptr, 0, 0);
    EXPECT_EQ(TestUsbCall(pdo, urb, 5000), STATUS_SUCCESS);
    EXPECT_EQ(device->log().back().length, 0u);
    ExFreePool(urb);
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, PendingRequestsAndTheTimeOutPattern) {
  run([&] {
    auto loop = std::make_shared<LoopDevice>();
    PDEVICE_OBJECT pdo = plug(loop);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);

    // Nothing to read: the interrupt read pends until the time-out
    // cancels it, and its completion arrives (a frame later) before the
    // call returns.
    PoolBuffer byte(1);
    PURB urb = TestUsbBulkUrb(pipe(config, 0), byte.data, 1, 1);
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_CANCELLED);
    EXPECT_EQ((KeQueryInterruptTime() - before) / ms(1), 101u);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(loop->cancellations(), 1u);
    EXPECT_EQ(loop->held(), 0u);
    EXPECT_EQ(bus().pending(pdo), 0u);

    // A device that answers 40 ms late: the request pends and succeeds.
    loop->set_latency(ms(40));
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
    loop->push_interrupt(1);
    before = KeQueryInterruptTime();
    EXPECT_EQ(TestUsbCall(pdo, urb, 2500), STATUS_SUCCESS);
    EXPECT_EQ((KeQueryInterruptTime() - before) / ms(1), 40u);
    EXPECT_EQ(byte.data[0], 1);

    // ... and one that answers too late is cancelled at the time-out.
    loop->set_latency(ms(400));
    loop->push_interrupt(0);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
    EXPECT_EQ(TestUsbCall(pdo, urb, 300), STATUS_CANCELLED);
    ExFreePool(urb);
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, AbortPipeCompletesTheAbortedTransfersFirst) {
  run([&] {
    auto loop = std::make_shared<LoopDevice>();
    PDEVICE_OBJECT pdo = plug(loop);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    PoolBuffer a(1), b(1);
    PURB first = TestUsbBulkUrb(pipe(config, 0), a.data, 1, 1);
    PURB second = TestUsbBulkUrb(pipe(config, 2), b.data, 1, 1);
    TEST_USB_ASYNC interrupt, other;
    EXPECT_EQ(TestUsbStart(pdo, first, &interrupt), STATUS_PENDING);
    EXPECT_EQ(TestUsbStart(pdo, second, &other), STATUS_PENDING);

    PURB abort = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(_URB_PIPE_REQUEST), 0x66754254));
    std::memset(abort, 0, sizeof(_URB_PIPE_REQUEST));
    abort->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    abort->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort->UrbPipeRequest.PipeHandle = pipe(config, 0);
    EXPECT_EQ(TestUsbCall(pdo, abort, 2500), STATUS_SUCCESS);
    // Back from the abort: the pipe's transfer is done, the other is not.
    EXPECT_EQ(KeReadStateEvent(&interrupt.Done), 1);
    EXPECT_EQ(KeReadStateEvent(&other.Done), 0);
    EXPECT_EQ(TestUsbFinish(&interrupt), STATUS_CANCELLED);
    EXPECT_EQ(loop->held(), 1u);
    bus().unplug(pdo);
    EXPECT_EQ(TestUsbFinish(&other), STATUS_DEVICE_NOT_CONNECTED);
    ExFreePool(abort);
    ExFreePool(first);
    ExFreePool(second);
    TestUsbFreeConfig(&config);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
  });
}

// A pipe request (abort, reset, clear stall) from pool.
PURB pipe_request(USHORT function, USBD_PIPE_HANDLE handle) {
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(
      NonPagedPool, sizeof(_URB_PIPE_REQUEST), 0x66754254));
  std::memset(urb, 0, sizeof(_URB_PIPE_REQUEST));
  urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = handle;
  return urb;
}

TEST_F(BusTest, AStallHaltsABulkOrInterruptPipeUntilItsReset) {
  run([&] {
    auto loop = std::make_shared<LoopDevice>();
    auto device = std::make_shared<usb::FaultInjector>(loop);
    PDEVICE_OBJECT pdo = plug(device);
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    PoolBuffer data(4);
    auto write = [&](USBD_STATUS expected_usbd) {
      PURB urb = TestUsbBulkUrb(pipe(config, 1), data.data, 4, 0);
      NTSTATUS status = TestUsbCall(pdo, urb, 5000);
      EXPECT_EQ(urb->UrbHeader.Status, expected_usbd);
      EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength,
                USBD_SUCCESS(expected_usbd) ? 4u : 0u);
      ExFreePool(urb);
      return status;
    };
    auto pipe_call = [&](USHORT function, ULONG index) {
      PURB urb = pipe_request(function, pipe(config, index));
      NTSTATUS status = TestUsbCall(pdo, urb, 2500);
      ExFreePool(urb);
      return status;
    };
    auto clear_halt_sent = [&](std::uint8_t endpoint) {
      auto log = device->log();
      const auto &last = log.back();
      return last.type == usb::TransferType::Control && last.setup &&
             last.setup->request_type == BMREQUEST_TO_ENDPOINT &&
             last.setup->request == USB_REQUEST_CLEAR_FEATURE &&
             last.setup->value == USB_FEATURE_ENDPOINT_STALL &&
             last.setup->index == endpoint;
    };

    // The stall, then the halt: the next transfer fails at once and never
    // reaches the device; the other pipes go on.
    device->inject(usb::Fault::stall(),
                   {usb::TransferType::Bulk, LoopDevice::kBulkOut, {}});
    EXPECT_EQ(write(USBD_STATUS_STALL_PID), STATUS_UNSUCCESSFUL);
    std::size_t seen = device->log().size();
    EXPECT_EQ(write(USBD_STATUS_ENDPOINT_HALTED), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->log().size(), seen);
    loop->push_bulk({7});
    PURB in = TestUsbBulkUrb(pipe(config, 2), data.data, 1, 1);
    EXPECT_EQ(TestUsbCall(pdo, in, 300), STATUS_SUCCESS);
    ExFreePool(in);

    // CLEAR_STALL reaches the device alone; RESET_PIPE the host alone.
    EXPECT_EQ(pipe_call(URB_FUNCTION_SYNC_CLEAR_STALL, 1), STATUS_SUCCESS);
    EXPECT_TRUE(clear_halt_sent(LoopDevice::kBulkOut));
    EXPECT_EQ(write(USBD_STATUS_ENDPOINT_HALTED), STATUS_UNSUCCESSFUL);
    seen = device->log().size();
    EXPECT_EQ(pipe_call(URB_FUNCTION_SYNC_RESET_PIPE, 1), STATUS_SUCCESS);
    EXPECT_EQ(device->log().size(), seen);
    EXPECT_EQ(write(USBD_STATUS_SUCCESS), STATUS_SUCCESS);

    // Both at once, here on the interrupt pipe.
    device->inject(usb::Fault::stall(),
                   {usb::TransferType::Interrupt, LoopDevice::kInterrupt, {}});
    auto interrupt = [&] {
      loop->push_interrupt(1);
      PURB urb = TestUsbBulkUrb(pipe(config, 0), data.data, 1, 1);
      NTSTATUS status = TestUsbCall(pdo, urb, 300);
      ExFreePool(urb);
      return status;
    };
    EXPECT_EQ(interrupt(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(interrupt(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pipe_call(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0),
              STATUS_SUCCESS);
    EXPECT_TRUE(clear_halt_sent(LoopDevice::kInterrupt));
    EXPECT_EQ(interrupt(), STATUS_SUCCESS);

    // A reset the device refuses leaves the host side halted.
    device->inject(usb::Fault::stall(),
                   {usb::TransferType::Bulk, LoopDevice::kBulkOut, {}});
    EXPECT_EQ(write(USBD_STATUS_STALL_PID), STATUS_UNSUCCESSFUL);
    device->inject(usb::Fault::stall(),
                   {usb::TransferType::Control, {}, USB_REQUEST_CLEAR_FEATURE});
    EXPECT_EQ(pipe_call(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 1),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write(USBD_STATUS_ENDPOINT_HALTED), STATUS_UNSUCCESSFUL);
    // A new configuration brings new, running pipes.
    TestUsbFreeConfig(&config);
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    EXPECT_EQ(write(USBD_STATUS_SUCCESS), STATUS_SUCCESS);

    // A stall on the default pipe halts nothing: the next setup clears it.
    device->inject(usb::Fault::stall(),
                   {usb::TransferType::Control, {}, LoopDevice::kStore});
    PURB vendor =
        TestUsbVendorUrb(FALSE, LoopDevice::kStore, 0, 0, data.data, 2);
    EXPECT_EQ(TestUsbCall(pdo, vendor, 2500), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vendor->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(TestUsbCall(pdo, vendor, 2500), STATUS_SUCCESS);
    ExFreePool(vendor);
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, CancelRacesCompletionUnderManySeeds) {
  for (std::uint64_t seed : sweep(40)) {
    restart(seed);
    run([&] {
      auto loop = std::make_shared<LoopDevice>();
      PDEVICE_OBJECT pdo = plug(loop);
      TEST_USB_CONFIG config;
      ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
      PoolBuffer byte(1);
      PURB urb = TestUsbBulkUrb(pipe(config, 0), byte.data, 1, 1);
      TEST_USB_ASYNC async;
      EXPECT_EQ(TestUsbStart(pdo, urb, &async), STATUS_PENDING);
      // The card event and the cancel land in the same millisecond.
      struct Race {
        LoopDevice *device;
        LONGLONG delay;
        KEVENT done;
      } race{loop.get(), -static_cast<LONGLONG>(5000 + 5000 * (seed % 3)), {}};
      KeInitializeEvent(&race.done, NotificationEvent, FALSE);
      HANDLE handle;
      ASSERT_EQ(PsCreateSystemThread(
                    &handle, 0, nullptr, nullptr, nullptr,
                    [](PVOID context) {
                      auto *r = static_cast<Race *>(context);
                      LARGE_INTEGER delay;
                      delay.QuadPart = r->delay;
                      KeDelayExecutionThread(KernelMode, FALSE, &delay);
                      r->device->push_interrupt(7);
                      KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
                    },
                    &race),
                STATUS_SUCCESS);
      ZwClose(handle);
      LARGE_INTEGER delay;
      delay.QuadPart = -10000;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      IoCancelIrp(async.Irp);
      NTSTATUS status = TestUsbFinish(&async);
      KeWaitForSingleObject(&race.done, Executive, KernelMode, FALSE, nullptr);
      if (status == STATUS_SUCCESS) {
        EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
        EXPECT_EQ(byte.data[0], 7);
      } else {
        EXPECT_EQ(status, STATUS_CANCELLED) << std::hex << status;
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
        // The byte was never taken: the next read gets it.
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 1;
        EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_SUCCESS) << seed;
        EXPECT_EQ(byte.data[0], 7);
      }
      EXPECT_EQ(bus().pending(pdo), 0u);
      ExFreePool(urb);
      TestUsbFreeConfig(&config);
      unplug_and_remove(pdo);
    });
  }
}

TEST_F(BusTest, UnplugFailsEveryRequestPendingOnesIncluded) {
  run([&] {
    std::vector<std::pair<PDEVICE_OBJECT, usb::PortEvent>> events;
    bus().set_listener([&](PDEVICE_OBJECT pdo, usb::PortEvent event) {
      events.emplace_back(pdo, event);
    });
    auto loop = std::make_shared<LoopDevice>();
    PDEVICE_OBJECT pdo = plug(loop);
    EXPECT_EQ(bus().present(), std::vector<PDEVICE_OBJECT>{pdo});
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    PoolBuffer a(1), b(8);
    PURB interrupt = TestUsbBulkUrb(pipe(config, 0), a.data, 1, 1);
    PURB bulk = TestUsbBulkUrb(pipe(config, 2), b.data, 8, 1);
    TEST_USB_ASYNC first, second;
    EXPECT_EQ(TestUsbStart(pdo, interrupt, &first), STATUS_PENDING);
    EXPECT_EQ(TestUsbStart(pdo, bulk, &second), STATUS_PENDING);
    EXPECT_EQ(bus().pending(pdo), 2u);

    bus().unplug(pdo);
    EXPECT_EQ(TestUsbFinish(&first), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(TestUsbFinish(&second), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(interrupt->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(bulk->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(bus().present().empty());
    // New requests fail at once; the PDO stays until its removal.
    EXPECT_EQ(TestUsbCall(pdo, interrupt, 100), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(bus().owns(pdo));
    // What the device completes late goes nowhere.
    loop->push_interrupt(1);
    ExFreePool(interrupt);
    ExFreePool(bulk);
    TestUsbFreeConfig(&config);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_SURPRISE_REMOVAL, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_FALSE(bus().owns(pdo));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].second, usb::PortEvent::Arrived);
    EXPECT_EQ(events[1].second, usb::PortEvent::Departed);
  });
}

TEST_F(BusTest, RemoveOfAPresentDeviceKeepsThePdoAndRemoveWithAStackDefers) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(std::make_shared<LoopDevice>());
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(bus().owns(pdo));
    // Removed: no I/O until started again.
    UCHAR device[18];
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 0x66754254));
    std::memset(urb, 0, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device,
                                 nullptr, 18, nullptr);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_START_DEVICE, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, 18u);

    // A function device that passes REMOVE down before it detaches: the
    // PDO goes once it has.
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(IoCreateDevice(bus().driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &fdo),
              STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    bus().unplug(pdo);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(bus().owns(pdo));
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    LARGE_INTEGER settle;
    settle.QuadPart = -static_cast<LONGLONG>(ms(5));
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_FALSE(bus().owns(pdo));
    ExFreePool(urb);
  });
}

TEST_F(BusTest, BadRequestsAreRefusedWithAClearStatus) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(std::make_shared<LoopDevice>());
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);

    EXPECT_EQ(TestUsbCall(pdo, nullptr, 100), STATUS_INVALID_PARAMETER);
    PoolBuffer buffer(4);
    PURB urb = TestUsbBulkUrb(pipe(config, 1), buffer.data, 4, 0);
    urb->UrbHeader.Function = 0x7777;
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = sizeof(_URB_HEADER);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbBulkOrInterruptTransfer.PipeHandle =
        reinterpret_cast<USBD_PIPE_HANDLE>(&buffer);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    // No buffer for a length, then a buffer shorter than the length.
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe(config, 1);
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer.data;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, HasSubstr("of 4 bytes given for 64"));
    ExFreePool(urb);

    // Select configuration: an interface the descriptor does not have.
    auto bytes = usb::build_configuration_descriptor(reader_layout());
    PUSB_CONFIGURATION_DESCRIPTOR descriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    urb = USBD_CreateConfigurationRequest(descriptor, nullptr);
    urb->UrbSelectConfiguration.Interface.InterfaceNumber = 5;
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    // Room for fewer pipes than the interface has.
    urb->UrbSelectConfiguration.Interface.InterfaceNumber = 0;
    urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(2);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
    ExFreePool(urb);
    // The old configuration is untouched by the failed selects.
    urb = TestUsbBulkUrb(pipe(config, 1), buffer.data, 4, 0);
    EXPECT_EQ(TestUsbCall(pdo, urb, 100), STATUS_SUCCESS);
    ExFreePool(urb);
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, AUrbFreedBeforeItsCancelledRequestCompletesIsCaught) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(std::make_shared<LoopDevice>());
    TEST_USB_CONFIG config;
    ASSERT_EQ(TestUsbConfigure(pdo, FALSE, &config), STATUS_SUCCESS);
    PoolBuffer byte(1);
    PURB urb = TestUsbBulkUrb(pipe(config, 0), byte.data, 1, 1);
    EXPECT_EQ(TestUsbCallFreeEarly(pdo, urb, 50), STATUS_CANCELLED);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::IrpMisuse);
    EXPECT_THAT(findings[0].message, HasSubstr("was freed while"));
    TestUsbFreeConfig(&config);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, PnpAnswersOfAUsbPdo) {
  run([&] {
    PDEVICE_OBJECT pdo = plug(std::make_shared<LoopDevice>());
    ULONG_PTR information = 0;
    ASSERT_EQ(
        TestUsbPnp(pdo, IRP_MN_QUERY_ID, BusQueryHardwareIDs, &information),
        STATUS_SUCCESS);
    auto *ids = id_text(information);
    std::u16string first(ids), second(ids + first.size() + 1);
    EXPECT_EQ(first, u"USB\\VID_1234&PID_5678&REV_0102");
    EXPECT_EQ(second, u"USB\\VID_1234&PID_5678");
    EXPECT_EQ(ids[first.size() + second.size() + 2], 0);
    ExFreePool(ids);
    ASSERT_EQ(
        TestUsbPnp(pdo, IRP_MN_QUERY_ID, BusQueryInstanceID, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(id_text(information)), u"SN0042");
    ExFreePool(id_text(information));
    ASSERT_EQ(
        TestUsbPnp(pdo, IRP_MN_QUERY_ID, BusQueryCompatibleIDs, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(id_text(information)),
              u"USB\\Class_FF&SubClass_00&Prot_00");
    ExFreePool(id_text(information));
    // What a USB PDO does not answer keeps the status it came with.
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_QUERY_RESOURCES, 0, nullptr),
              STATUS_NOT_SUPPORTED);

    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(TestUsbQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.UniqueID);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);

    // The bus interface: version 1 of its full size, counted references.
    USB_BUS_INTERFACE_USBDI_V1 usbdi{};
    EXPECT_EQ(TestUsbQueryInterface(pdo, 2, sizeof usbdi, &usbdi),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TestUsbQueryInterface(pdo, 1, sizeof(USB_BUS_INTERFACE_USBDI_V0),
                                    &usbdi),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(TestUsbQueryInterface(pdo, 1, sizeof usbdi, &usbdi),
              STATUS_SUCCESS);
    EXPECT_EQ(usbdi.Size, 72);
    EXPECT_EQ(bus().interface_references(pdo), 1);
    EXPECT_FALSE(usbdi.IsDeviceHighSpeed(usbdi.BusContext));
    ULONG frame = 0;
    LARGE_INTEGER wait;
    wait.QuadPart = -static_cast<LONGLONG>(ms(7));
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(usbdi.QueryBusTime(usbdi.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, KeQueryInterruptTime() / 10000);
    usbdi.InterfaceDereference(usbdi.BusContext);
    EXPECT_EQ(bus().interface_references(pdo), 0);

    EXPECT_EQ(TestUsbSetPower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(bus().power_state(pdo), PowerDeviceD3);
    TEST_USB_ASYNC wake;
    EXPECT_EQ(TestUsbWaitWake(pdo, &wake), STATUS_NOT_SUPPORTED);
    TestUsbFinish(&wake);
    unplug_and_remove(pdo);
  });
}

TEST_F(BusTest, WaitWakePendsUntilWakeCancelOrUnplug) {
  run([&] {
    usb::ConfigurationSpec shape = reader_layout();
    shape.attributes |= USB_CONFIG_REMOTE_WAKEUP;
    auto loop = std::make_shared<LoopDevice>(descriptors_for(shape));
    PDEVICE_OBJECT pdo = plug(loop);
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(TestUsbQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);

    TEST_USB_ASYNC wake;
    EXPECT_EQ(TestUsbWaitWake(pdo, &wake), STATUS_PENDING);
    TEST_USB_ASYNC second;
    EXPECT_EQ(TestUsbWaitWake(pdo, &second), STATUS_DEVICE_BUSY);
    TestUsbFinish(&second);
    EXPECT_TRUE(bus().signal_wake(pdo));
    EXPECT_EQ(TestUsbFinish(&wake), STATUS_SUCCESS);
    EXPECT_FALSE(bus().signal_wake(pdo));

    EXPECT_EQ(TestUsbWaitWake(pdo, &wake), STATUS_PENDING);
    IoCancelIrp(wake.Irp);
    EXPECT_EQ(TestUsbFinish(&wake), STATUS_CANCELLED);

    EXPECT_EQ(TestUsbWaitWake(pdo, &wake), STATUS_PENDING);
    bus().unplug(pdo);
    EXPECT_EQ(TestUsbFinish(&wake), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
  });
}

} // namespace
} // namespace talvor::test
