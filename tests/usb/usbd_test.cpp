// The USBD library on several descriptor layouts: the reader's three
// endpoints, a configuration longer than 521 bytes, alternate settings and
// several interfaces, missing endpoints, and malformed descriptors.
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/sim.h"
#include "platform/usb/descriptors.h"
#include "tests/usb/loop_device.h"

#include <usbdlib.h>

namespace talvor::test {
namespace {

using kernel::FindingKind;

// A configuration descriptor in a pool block of exactly its size, as a
// driver holds it.
struct PooledDescriptor {
  explicit PooledDescriptor(const usb::Bytes &bytes, std::size_t size = 0) {
    size = size ? size : bytes.size();
    block = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, size, 0x74736554 /* "Test" */));
    std::memcpy(block, bytes.data(), std::min(size, bytes.size()));
  }
  ~PooledDescriptor() { ExFreePool(block); }
  PooledDescriptor(const PooledDescriptor &) = delete;
  PooledDescriptor &operator=(const PooledDescriptor &) = delete;
  PUSB_CONFIGURATION_DESCRIPTOR block;
};

usb::ConfigurationSpec alternates_and_two_interfaces() {
  usb::ConfigurationSpec shape = reader_layout();
  usb::InterfaceSpec alternate;
  alternate.alternate = 1;
  alternate.endpoints = {{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1}};
  shape.interfaces.push_back(alternate);
  usb::InterfaceSpec second;
  second.number = 1;
  second.interface_class = 0x0B;
  second.endpoints = {{0x04, USB_ENDPOINT_TYPE_BULK, 64, 0},
                      {0x85, USB_ENDPOINT_TYPE_BULK, 64, 0}};
  shape.interfaces.push_back(second);
  return shape;
}

class UsbdTest : public SimTest {};

TEST_F(UsbdTest, ParsesTheReaderLayoutAndBuildsRoomForEveryPipe) {
  run([&] {
    PooledDescriptor descriptor(
        usb::build_configuration_descriptor(reader_layout()));
    auto *config = descriptor.block;
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(interface, nullptr);
    EXPECT_EQ(interface->bNumEndpoints, 3);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(interface) -
                  reinterpret_cast<PUCHAR>(config),
              9);
    // Class criteria, and a search that starts past the only interface.
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 0xFF, -1, -1),
        interface);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0B,
                                                  -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(
                  config, reinterpret_cast<PUCHAR>(interface) + 9, -1, -1, -1,
                  -1, -1),
              nullptr);
    EXPECT_EQ(
        USBD_GetInterfaceLength(interface, reinterpret_cast<PUCHAR>(config) +
                                               config->wTotalLength),
        9u + 3 * 7);

    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    auto &info = urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(info.Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(info.NumberOfPipes, 3u);
    // The driver writes every pipe: the room must be there.
    for (ULONG i = 0; i < info.NumberOfPipes; ++i)
      info.Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    ExFreePool(urb);
  });
}

TEST_F(UsbdTest, FindsInterfacesPastVendorDescriptorsInALongConfiguration) {
  run([&] {
    usb::ConfigurationSpec shape;
    // 600 bytes of vendor descriptors after the interface descriptor: the
    // reader variant whose configuration is longer than 521 bytes.
    usb::Bytes vendor;
    for (int i = 0; i < 3; ++i) {
      auto one = usb::vendor_descriptor(0x41, 200, 0xAA);
      vendor.insert(vendor.end(), one.begin(), one.end());
    }
    usb::InterfaceSpec interface = reader_layout().interfaces[0];
    interface.extra = vendor;
    shape.interfaces.push_back(interface);
    PooledDescriptor descriptor(usb::build_configuration_descriptor(shape));
    auto *config = descriptor.block;
    EXPECT_GT(config->wTotalLength, 521);
    auto *found =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->bNumEndpoints, 3);
    EXPECT_EQ(USBD_GetInterfaceLength(found, reinterpret_cast<PUCHAR>(config) +
                                                 config->wTotalLength),
              9u + 600 + 21);
    PURB urb = USBD_CreateConfigurationRequest(config, nullptr);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 3u);
    ExFreePool(urb);
  });
}

TEST_F(UsbdTest, AlternateSettingsAndSeveralInterfaces) {
  run([&] {
    PooledDescriptor descriptor(
        usb::build_configuration_descriptor(alternates_and_two_interfaces()));
    auto *config = descriptor.block;
    auto *alt1 =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1);
    ASSERT_NE(alt1, nullptr);
    EXPECT_EQ(alt1->bNumEndpoints, 1);
    auto *second =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bInterfaceClass, 0x0B);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 0, 1), alt1);

    // The obsolete builder: every interface in setting 0, none twice.
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5));
    auto *first = &urb->UrbSelectConfiguration.Interface;
    auto *next = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
        reinterpret_cast<PUCHAR>(first) + first->Length);
    EXPECT_EQ(first->InterfaceNumber, 0);
    EXPECT_EQ(first->AlternateSetting, 0);
    EXPECT_EQ(first->NumberOfPipes, 3u);
    EXPECT_EQ(next->InterfaceNumber, 1);
    EXPECT_EQ(next->NumberOfPipes, 2u);
    ExFreePool(urb);

    // The Ex builder with a list: each entry points at its own room.
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {alt1, nullptr}, {second, nullptr}, {nullptr, nullptr}};
    urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length,
              GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface),
              reinterpret_cast<PUCHAR>(list[0].Interface) +
                  GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->Pipes[1].MaximumTransferSize,
              static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    ExFreePool(urb);
  });
}

TEST_F(UsbdTest, AnInterfaceWithoutEndpointsStillGetsAWholeRequest) {
  run([&] {
    usb::ConfigurationSpec shape;
    shape.interfaces.push_back({});
    PooledDescriptor descriptor(usb::build_configuration_descriptor(shape));
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor.block, &size);
    ASSERT_NE(urb, nullptr);
    // The published size macro would underflow here; the URB is whole.
    EXPECT_EQ(size, sizeof(_URB_SELECT_CONFIGURATION));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 0u);
    ExFreePool(urb);
  });
}

TEST_F(UsbdTest, MalformedDescriptorsEndTheSearchWithoutOverrun) {
  run([&] {
    // A zero-length descriptor in the middle: the walk stops there.
    usb::Bytes bytes = usb::build_configuration_descriptor(reader_layout());
    usb::Bytes zero = {0, 0x41};
    bytes.insert(bytes.begin() + 9, zero.begin(), zero.end());
    bytes[2] = static_cast<std::uint8_t>(bytes.size());
    PooledDescriptor looping(bytes);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(looping.block, looping.block,
                                                  -1, -1, -1, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequest(looping.block, nullptr), nullptr);

    // An interface descriptor cut by wTotalLength is not found.
    usb::Bytes cut = usb::build_configuration_descriptor(reader_layout());
    cut[2] = 9 + 5;
    PooledDescriptor truncated(cut);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(
                  truncated.block, truncated.block, -1, -1, -1, -1, -1),
              nullptr);

    // A list entry that points outside the descriptor is refused.
    PooledDescriptor good(usb::build_configuration_descriptor(reader_layout()));
    USB_INTERFACE_DESCRIPTOR stray{
        9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3, 0xFF, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY list[2] = {{&stray, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(good.block, list), nullptr);
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(good.block, empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequest(nullptr, nullptr), nullptr);
  });
}

TEST_F(UsbdTest, ADescriptorLongerThanItsBufferIsAFindingNotAnOverrun) {
  run([&] {
    // The driver read 521 bytes of a 600-byte configuration and parses
    // the 521 as if they were all of it.
    usb::ConfigurationSpec shape = reader_layout();
    shape.extra = usb::vendor_descriptor(0x41, 255);
    auto more = usb::vendor_descriptor(0x41, 255);
    shape.extra.insert(shape.extra.end(), more.begin(), more.end());
    usb::Bytes bytes = usb::build_configuration_descriptor(shape);
    ASSERT_GT(bytes.size(), 521u);
    PooledDescriptor short_read(bytes, 521);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(
                  short_read.block, short_read.block, -1, -1, -1, -1, -1),
              nullptr);
    EXPECT_EQ(kernel().verifier().count(FindingKind::PoolCorruption), 1u);
    kernel().verifier().take();
  });
}

} // namespace
} // namespace talvor::test
