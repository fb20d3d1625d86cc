// The reader's state at creation and its USB configuration: descriptors,
// the first interface and its pipes, stop and release, in both builds.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

using ConfigurationTest = DriverTest;

#ifdef TALVOR10
constexpr const char *kIfdType = "Veltraxon reader 1.0";
#else
constexpr const char *kIfdType = "Veltraxon reader 1.1";
#endif

// Configuration descriptor reads, with the length each asked for.
std::vector<std::uint16_t> configuration_reads(const DriverTest &test,
                                               const usb::FaultInjector &log) {
  (void)test;
  std::vector<std::uint16_t> lengths;
  for (const auto &record : log.log())
    if (record.setup && record.setup->request == USB_REQUEST_GET_DESCRIPTOR &&
        (record.setup->value >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE)
      lengths.push_back(record.setup->length);
  return lengths;
}

TEST_F(ConfigurationTest, ReaderReportsItsIdentityAndCapabilities) {
  run([&] {
    build();
    const VENDOR_ATTR &vendor = smartcard()->VendorAttr;
    EXPECT_EQ(vendor.VendorName.Length, 8);
    EXPECT_STREQ(reinterpret_cast<const char *>(vendor.VendorName.Buffer),
                 "Generic");
    EXPECT_EQ(vendor.IfdType.Length, 21);
    EXPECT_STREQ(reinterpret_cast<const char *>(vendor.IfdType.Buffer),
                 kIfdType);
    const SCARD_READER_CAPABILITIES &caps = smartcard()->ReaderCapabilities;
    EXPECT_EQ(caps.SupportedProtocols, 3u);
    EXPECT_EQ(caps.ReaderType, 0x20u);
    EXPECT_EQ(caps.CurrentState, ULONG{SCARD_ABSENT});
    EXPECT_EQ(caps.MaxIFSD, 251u);
    const ULONG rates[] = {7226,  9946,  14453,  28906,
                           57812, 39784, 154166, 231250};
    ASSERT_EQ(caps.DataRatesSupported.Entries, 8);
    EXPECT_TRUE(std::equal(rates, rates + 8, caps.DataRatesSupported.List));
    EXPECT_GT(caps.DataRatesSupported.List[7], caps.DataRate.Max);
    ASSERT_EQ(caps.CLKFrequenciesSupported.Entries, 1);
    EXPECT_EQ(caps.CLKFrequenciesSupported.List[0], 3700u);
    EXPECT_EQ(reader()->ReaderPowerState, 1u);
    EXPECT_EQ(ext_->TransferTimeOut, 0u);
    tear_down();
  });
}

TEST_F(ConfigurationTest, StartSelectsTheFirstInterfaceWithThreePipes) {
  run([&] {
    build();
    start();
    ASSERT_NE(ext_->Interface, nullptr);
    EXPECT_EQ(ext_->Interface->NumberOfPipes, 3u);
    EXPECT_EQ(ext_->Interface->Pipes[0].EndpointAddress, reader::kInterruptIn);
    EXPECT_EQ(ext_->Interface->Pipes[1].EndpointAddress, reader::kBulkOut);
    EXPECT_EQ(ext_->Interface->Pipes[2].EndpointAddress, reader::kBulkIn);
    for (ULONG i = 0; i < 3; ++i)
      EXPECT_EQ(ext_->Interface->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_NE(ext_->UsbConfigurationHandle, nullptr);
    EXPECT_NE(KeReadStateEvent(&ext_->ReaderStarted), 0);
    EXPECT_EQ(ext_->DeviceDescriptor, nullptr);
    EXPECT_EQ(ext_->IsDeviceHighSpeed, 0u);
    EXPECT_EQ(configuration_reads(*this, *injector_),
              std::vector<std::uint16_t>{521});
#ifdef TALVOR10
    EXPECT_NE(ext_->UsbConfigurationDescriptor, nullptr);
#else
    EXPECT_EQ(ext_->UsbConfigurationDescriptor, nullptr);
#endif
    EXPECT_TRUE(kernel().trace().contains("bNumConfigurations 0x1\n"));
    EXPECT_EQ(bus().interface_references(pdo_), 0);

    EXPECT_EQ(KorvoSCD_StopDevice(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ext_->ReaderStarted), 0);
    EXPECT_EQ(transfers([](const usb::TransferRecord &record) {
                return record.setup &&
                       record.setup->request == USB_REQUEST_SET_CONFIGURATION &&
                       record.setup->value == 0;
              }).size(),
              1u);
    EXPECT_EQ(KorvoSCD_RemoveDevice(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(ext_->Interface, nullptr);
    EXPECT_EQ(ext_->UsbConfigurationDescriptor, nullptr);
    tear_down();
  });
}

TEST_F(ConfigurationTest, LongConfigurationIsReadAgainAtItsFullLength) {
  run([&] {
    reader::ReaderOptions options;
    options.layout = reader::Layout::LongConfiguration;
    build(options);
    start();
    auto reads = configuration_reads(*this, *injector_);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0], 521);
    EXPECT_GT(reads[1], 521);
    ASSERT_NE(ext_->Interface, nullptr);
    EXPECT_EQ(ext_->Interface->NumberOfPipes, 3u);
    // A second start replaces what the first kept.
    ReleaseMemory(fdo_);
    start();
    ASSERT_NE(ext_->Interface, nullptr);
    tear_down();
  });
}

TEST_F(ConfigurationTest, FailedConfigurationReadIsNotParsed) {
  run([&] {
    build();
    // The device descriptor passes; the configuration descriptor stalls.
    usb::TransferFilter filter;
    filter.request = USB_REQUEST_GET_DESCRIPTOR;
    injector_->inject(usb::Fault::stall(), filter, 1, 1);
    EXPECT_FALSE(NT_SUCCESS(KorvoSCD_StartDevice(fdo_)));
    EXPECT_EQ(ext_->Interface, nullptr);
    EXPECT_EQ(ext_->UsbConfigurationDescriptor, nullptr);
    EXPECT_EQ(KeReadStateEvent(&ext_->ReaderStarted), 0);
    EXPECT_TRUE(kernel().trace().contains("GetBusInterfaceVersion - ends\n"));
    // The same reader starts once the fault is gone.
    start();
    tear_down();
  });
}

TEST_F(ConfigurationTest, StartWithoutMemoryFailsCleanly) {
  run([&] {
    build();
    for (std::uint64_t n = 1; n <= 3; ++n) {
      kernel().pool().fail_nth(n, USCR_POOL_TAG);
      NTSTATUS status = KorvoSCD_StartDevice(fdo_);
      kernel().pool().clear_faults();
      EXPECT_TRUE(status == STATUS_NO_MEMORY ||
                  status == STATUS_INSUFFICIENT_RESOURCES)
          << "allocation " << n << ": " << std::hex << status;
      EXPECT_EQ(KeReadStateEvent(&ext_->ReaderStarted), 0);
      ReleaseMemory(fdo_);
    }
    tear_down();
  });
}

TEST_F(ConfigurationTest, StopSucceedsWhenTheReaderDoesNotAnswer) {
  run([&] {
    build();
    start();
    usb::TransferFilter filter;
    filter.request = USB_REQUEST_SET_CONFIGURATION;
    injector_->inject(usb::Fault::silence(), filter);
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(KorvoSCD_StopDevice(fdo_), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - before, ms(2500));
    tear_down();
  });
}

TEST_F(ConfigurationTest, ReaderWithoutEndpointsRefusesTransfers) {
  run([&] {
    reader::ReaderOptions options;
    options.layout = reader::Layout::MissingBulkIn;
    build(options);
    start();
    insert();
    UCHAR buffer[4] = {};
    ULONG moved = 0;
    EXPECT_EQ(SCReadWriteDirect(smartcard(), buffer, 4, &moved, FALSE),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(bulk(true).empty());
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
