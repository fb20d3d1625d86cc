// The reader's state at creation and its USB configuration: descriptors,
// the first interface and its pipes, stop and release, in both builds.
#include <cstring>
#include <functional>
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
    // As an application reads them: through the library's attribute request.
    auto attribute = [&](ULONG tag) {
      kernel::IoResult result = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, tag, 64);
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      return result.output;
    };
    auto text = [](const char *chars, std::size_t length) {
      return std::vector<std::uint8_t>(chars, chars + length);
    };
    auto ulong = [](ULONG value) {
      std::vector<std::uint8_t> bytes(sizeof value);
      std::memcpy(bytes.data(), &value, sizeof value);
      return bytes;
    };
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_NAME), text("Generic", 8));
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_IFD_TYPE), text(kIfdType, 21));
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_IFD_VERSION), ulong(0));
    // No serial number: the library has none to give.
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE,
                    SCARD_ATTR_VENDOR_IFD_SERIAL_NO, 64)
                  .status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(attribute(SCARD_ATTR_PROTOCOL_TYPES), ulong(3));
    EXPECT_EQ(attribute(SCARD_ATTR_CHARACTERISTICS), ulong(0));
    EXPECT_EQ(attribute(SCARD_ATTR_DEFAULT_CLK), ulong(3580));
    EXPECT_EQ(attribute(SCARD_ATTR_MAX_CLK), ulong(4000));
    EXPECT_EQ(attribute(SCARD_ATTR_DEFAULT_DATA_RATE), ulong(9600));
    EXPECT_EQ(attribute(SCARD_ATTR_MAX_DATA_RATE), ulong(223200));
    EXPECT_EQ(attribute(SCARD_ATTR_MAX_IFSD), ulong(251));
    EXPECT_EQ(attribute(SCARD_ATTR_ICC_PRESENCE), std::vector<std::uint8_t>{0});
    const SCARD_READER_CAPABILITIES &caps = smartcard()->ReaderCapabilities;
    EXPECT_EQ(caps.ReaderType, 0x20u);
    const ULONG rates[] = {7226,  9946,  14453,  28906,
                           57812, 39784, 154166, 231250};
    ASSERT_EQ(caps.DataRatesSupported.Entries, 8);
    EXPECT_TRUE(std::equal(rates, rates + 8, caps.DataRatesSupported.List));
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
    KeSetEvent(&ext_->ThreadStopEvent, IO_NO_INCREMENT, FALSE);
    kernel().trace().clear();
    start();
    // Descriptor, configuration, select: none of them card-bound.
    EXPECT_EQ(submissions(),
              std::vector<std::string>(3, "timeout=9C4, cardCommand=0"));
    EXPECT_EQ(KeReadStateEvent(&ext_->ThreadStopEvent), 0);
    EXPECT_EQ(interfaces_enabled(), 1u);
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
    EXPECT_EQ(kernel().trace().count("PipeType 0x"), 3u);
    EXPECT_EQ(bus().interface_references(pdo_), 0);

    EXPECT_EQ(KorvoSCD_StopDevice(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ext_->ReaderStarted), 0);
    EXPECT_EQ(transfers([](const usb::TransferRecord &record) {
                return record.setup &&
                       record.setup->request == USB_REQUEST_SET_CONFIGURATION &&
                       record.setup->value == 0;
              }).size(),
              1u);
    // Started again with its interface still enabled: that is no failure.
    ReleaseMemory(fdo_);
    start();
    EXPECT_EQ(interfaces_enabled(), 1u);

    // Removal frees what the start kept and gives back the slot the reader
    // was created in, whatever its unit number.
    ext_->SlotIndex = 5;
    smartcard()->VendorAttr.UnitNo = 4;
    UnitInUse[4] = UnitInUse[5] = UnitInUse[6] = 1;
    EXPECT_EQ(KorvoSCD_RemoveDevice(fdo_), STATUS_SUCCESS);
    EXPECT_EQ(UnitInUse[5], 0);
    EXPECT_EQ(UnitInUse[4] + UnitInUse[6], 2);
    UnitInUse[4] = UnitInUse[6] = 0;
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
    const std::size_t total = firmware_->descriptors().configurations[0].size();
    ASSERT_GT(total, 521u);
    EXPECT_EQ(configuration_reads(*this, *injector_),
              (std::vector<std::uint16_t>{521, std::uint16_t(total)}));
    ASSERT_NE(ext_->Interface, nullptr);
    EXPECT_EQ(ext_->Interface->NumberOfPipes, 3u);
    // A second start replaces what the first kept.
    ReleaseMemory(fdo_);
    start();
    ASSERT_NE(ext_->Interface, nullptr);
    tear_down();
  });
}

TEST_F(ConfigurationTest, ConfigurationThatCannotBeReadIsNotParsed) {
  run([&] {
    // What the reader answers to a configuration read instead of its own
    // descriptor, given that and the length asked for; unset: its own.
    std::function<usb::Bytes(usb::Bytes, std::uint16_t)> answer;
    intercept_ = [&](const usb::TransferPtr &transfer) {
      const auto &setup = transfer->setup();
      if (!answer || !setup || setup->request != USB_REQUEST_GET_DESCRIPTOR ||
          (setup->value >> 8) != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return false;
      usb::Bytes reply =
          answer(firmware_->descriptors().configurations[0], setup->length);
      reply.resize(std::min<std::size_t>(reply.size(), setup->length));
      transfer->complete(usb::TransferResult::in(std::move(reply)));
      return true;
    };
    build();
    auto fails = [&](NTSTATUS expected, std::size_t reads) {
      std::size_t before = configuration_reads(*this, *injector_).size();
      EXPECT_EQ(KorvoSCD_StartDevice(fdo_), expected);
      EXPECT_EQ(configuration_reads(*this, *injector_).size() - before, reads);
      EXPECT_EQ(ext_->Interface, nullptr);
      EXPECT_EQ(ext_->UsbConfigurationDescriptor, nullptr);
      EXPECT_EQ(KeReadStateEvent(&ext_->ReaderStarted), 0);
      EXPECT_TRUE(kernel().trace().contains("GetBusInterfaceVersion - ends\n"));
    };

    // The device descriptor passes; the configuration read stalls.
    usb::TransferFilter filter;
    filter.request = USB_REQUEST_GET_DESCRIPTOR;
    injector_->inject(usb::Fault::stall(), filter, 1, 1);
    fails(STATUS_UNSUCCESSFUL, 1);
    // Less than the descriptor's header, and less than it says it holds.
    answer = [](usb::Bytes own, std::uint16_t) {
      own.resize(8);
      return own;
    };
    fails(STATUS_DEVICE_DATA_ERROR, 1);
    answer = [](usb::Bytes own, std::uint16_t) {
      own.resize(9);
      return own;
    };
    fails(STATUS_DEVICE_DATA_ERROR, 1);
    // A length that grows with every read is given up on at the third.
    answer = [](usb::Bytes own, std::uint16_t asked) {
      own[2] = static_cast<std::uint8_t>(asked + 100);
      own[3] = static_cast<std::uint8_t>((asked + 100) >> 8);
      return own;
    };
    fails(STATUS_DEVICE_DATA_ERROR, 3);
    EXPECT_EQ(configuration_reads(*this, *injector_).back(), 721);

    // The same reader starts once it answers as it should.
    answer = nullptr;
    start();
    tear_down();
  });
}

TEST_F(ConfigurationTest, StartWithoutMemoryFailsCleanly) {
  run([&] {
    build();
    // In order: the descriptor's URB and buffer, the configuration's URB
    // and buffer, then build 1.0's interface list.
    std::vector<NTSTATUS> expected = {STATUS_NO_MEMORY, STATUS_NO_MEMORY,
                                      STATUS_INSUFFICIENT_RESOURCES,
                                      STATUS_INSUFFICIENT_RESOURCES};
#ifdef TALVOR10
    expected.push_back(STATUS_INSUFFICIENT_RESOURCES);
#endif
    for (std::uint64_t n = 1; n <= expected.size(); ++n) {
      kernel().pool().fail_nth(n, USCR_POOL_TAG);
      NTSTATUS status = KorvoSCD_StartDevice(fdo_);
      kernel().pool().clear_faults();
      EXPECT_EQ(status, expected[n - 1]) << "allocation " << n;
      EXPECT_EQ(KeReadStateEvent(&ext_->ReaderStarted), 0);
      EXPECT_EQ(ext_->DeviceDescriptor, nullptr);
      ReleaseMemory(fdo_);
    }
    // Without its interface copy the reader is configured all the same; its
    // transfers are refused.
    kernel().pool().fail_nth(expected.size() + 1, USCR_POOL_TAG);
    EXPECT_EQ(KorvoSCD_StartDevice(fdo_), STATUS_SUCCESS);
    kernel().pool().clear_faults();
    EXPECT_EQ(ext_->Interface, nullptr);
    EXPECT_NE(KeReadStateEvent(&ext_->ReaderStarted), 0);
    tear_down();
  });
}

TEST_F(ConfigurationTest, InterfaceEnablingDecidesTheStart) {
  run([&] {
    build();
    // An interface the system does not know: the reader is configured and
    // open, but the start fails.
    UNICODE_STRING registered = ext_->InterfaceName;
    std::u16string unknown = u"\\??\\Unknown";
    ext_->InterfaceName.Buffer = unknown.data();
    ext_->InterfaceName.Length = ext_->InterfaceName.MaximumLength =
        static_cast<USHORT>(unknown.size() * sizeof(char16_t));
    EXPECT_EQ(KorvoSCD_StartDevice(fdo_), STATUS_OBJECT_NAME_NOT_FOUND);
    ext_->InterfaceName = registered;
    EXPECT_NE(ext_->Interface, nullptr);
    EXPECT_NE(KeReadStateEvent(&ext_->ReaderStarted), 0);
    EXPECT_TRUE(kernel().trace().contains("GetBusInterfaceVersion - ends\n"));

    // A system without device interfaces enables none.
    ReleaseMemory(fdo_);
    IsWin98OrMe = TRUE;
    NTSTATUS status = KorvoSCD_StartDevice(fdo_);
    IsWin98OrMe = FALSE;
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(interfaces_enabled(), 0u);
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
