// The USB bus driver library that client drivers link against: parsing of
// configuration descriptors and the select-configuration request builders.
//
// Descriptors reach these routines from the driver, which read them from the
// device: every length in them is checked before it is used, and no routine
// reads past the configuration's wTotalLength (nor past the pool block that
// holds the descriptor, when it is one).
#include <usbdlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/usb/descriptors.h"

using talvor::kernel::describe_code_address;
using talvor::kernel::FindingKind;
using talvor::kernel::Kernel;

namespace {

constexpr ULONG kLibraryTag = talvor::kernel::make_pool_tag("USBD");

// The bytes of a configuration descriptor that may be read: wTotalLength,
// cut to the pool block when the descriptor is one, so that a driver that
// read fewer bytes than the descriptor claims is caught, not overrun.
std::size_t readable_length(const USB_CONFIGURATION_DESCRIPTOR *descriptor,
                            const char *routine, const void *site) {
  if (descriptor == nullptr)
    return 0;
  std::size_t length = descriptor->wTotalLength;
  if (Kernel *kernel = Kernel::current()) {
    if (auto block = kernel->pool().size_of(descriptor);
        block && *block < length) {
      kernel->verifier().report(FindingKind::PoolCorruption,
                                std::string(routine) +
                                    " of a configuration descriptor whose " +
                                    "wTotalLength " + std::to_string(length) +
                                    " runs past its pool block of " +
                                    std::to_string(*block) + " bytes",
                                describe_code_address(site));
      length = *block;
    }
  }
  return length;
}

const UCHAR *bytes(const void *pointer) {
  return static_cast<const UCHAR *>(pointer);
}

// The descriptor at `at` when it lies whole inside [begin, end) and has a
// usable length; null otherwise.
const USB_COMMON_DESCRIPTOR *descriptor_at(const UCHAR *begin, const UCHAR *end,
                                           const UCHAR *at) {
  if (at < begin || at + sizeof(USB_COMMON_DESCRIPTOR) > end)
    return nullptr;
  const auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(at);
  if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) ||
      at + common->bLength > end)
    return nullptr;
  return common;
}

PUSB_INTERFACE_DESCRIPTOR
parse_interface(PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID start,
                LONG number, LONG alternate, LONG cls, LONG subclass,
                LONG protocol, const char *routine, const void *site) {
  std::size_t length = readable_length(configuration, routine, site);
  if (length == 0 || start == nullptr)
    return nullptr;
  const UCHAR *begin = bytes(configuration);
  const UCHAR *end = begin + length;
  for (const UCHAR *at = bytes(start);;) {
    const USB_COMMON_DESCRIPTOR *common = descriptor_at(begin, end, at);
    if (common == nullptr)
      return nullptr;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      const auto *interface =
          reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(common);
      if ((number == -1 || interface->bInterfaceNumber == number) &&
          (alternate == -1 || interface->bAlternateSetting == alternate) &&
          (cls == -1 || interface->bInterfaceClass == cls) &&
          (subclass == -1 || interface->bInterfaceSubClass == subclass) &&
          (protocol == -1 || interface->bInterfaceProtocol == protocol))
        return const_cast<PUSB_INTERFACE_DESCRIPTOR>(interface);
    }
    at += common->bLength;
  }
}

// Whether `interface` is a whole interface descriptor inside the readable
// part of `configuration`.
bool inside(PUSB_CONFIGURATION_DESCRIPTOR configuration, std::size_t length,
            const USB_INTERFACE_DESCRIPTOR *interface) {
  const UCHAR *begin = bytes(configuration);
  const UCHAR *at = bytes(interface);
  if (at < begin || at + sizeof(USB_INTERFACE_DESCRIPTOR) > begin + length)
    return false;
  return interface->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
         interface->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE;
}

PURB create_request(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                    PUSBD_INTERFACE_LIST_ENTRY list, const char *routine,
                    const void *site) {
  std::size_t length = readable_length(configuration, routine, site);
  if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR) || list == nullptr)
    return nullptr;
  // Sizes first, in a wide type: Hdr.Length is 16 bits and must hold it.
  std::size_t size = offsetof(URB, UrbSelectConfiguration.Interface);
  std::size_t count = 0;
  for (auto *entry = list; entry->InterfaceDescriptor != nullptr; ++entry) {
    if (!inside(configuration, length, entry->InterfaceDescriptor))
      return nullptr;
    size += talvor::usb::interface_information_size(
        entry->InterfaceDescriptor->bNumEndpoints);
    ++count;
  }
  if (count == 0)
    return nullptr;
  size = std::max(size, sizeof(_URB_SELECT_CONFIGURATION));
  if (size > 0xFFFF)
    return nullptr;

  auto *urb =
      static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kLibraryTag));
  if (urb == nullptr)
    return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
  auto *information = &urb->UrbSelectConfiguration.Interface;
  for (auto *entry = list; entry->InterfaceDescriptor != nullptr; ++entry) {
    const USB_INTERFACE_DESCRIPTOR *descriptor = entry->InterfaceDescriptor;
    information->Length = static_cast<USHORT>(
        talvor::usb::interface_information_size(descriptor->bNumEndpoints));
    information->InterfaceNumber = descriptor->bInterfaceNumber;
    information->AlternateSetting = descriptor->bAlternateSetting;
    information->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe)
      information->Pipes[pipe].MaximumTransferSize =
          USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    entry->Interface = information;
    information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
        reinterpret_cast<PUCHAR>(information) + information->Length);
  }
  return urb;
}

} // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass,
    LONG InterfaceSubClass, LONG InterfaceProtocol) {
  return parse_interface(
      ConfigurationDescriptor, StartPosition, InterfaceNumber, AlternateSetting,
      InterfaceClass, InterfaceSubClass, InterfaceProtocol,
      "USBD_ParseConfigurationDescriptorEx", __builtin_return_address(0));
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
    UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return parse_interface(ConfigurationDescriptor, ConfigurationDescriptor,
                         InterfaceNumber, AlternateSetting, -1, -1, -1,
                         "USBD_ParseConfigurationDescriptor",
                         __builtin_return_address(0));
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                             ULONG TotalLength,
                                             PVOID StartPosition,
                                             LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr)
    return nullptr;
  const UCHAR *begin = bytes(DescriptorBuffer);
  const UCHAR *end = begin + TotalLength;
  for (const UCHAR *at = bytes(StartPosition);;) {
    const USB_COMMON_DESCRIPTOR *common = descriptor_at(begin, end, at);
    if (common == nullptr)
      return nullptr;
    if (common->bDescriptorType == DescriptorType)
      return const_cast<PUSB_COMMON_DESCRIPTOR>(common);
    at += common->bLength;
  }
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                              PUCHAR BufferEnd) {
  if (InterfaceDescriptor == nullptr || BufferEnd == nullptr)
    return 0;
  const UCHAR *begin = bytes(InterfaceDescriptor);
  const UCHAR *at = begin;
  if (descriptor_at(begin, BufferEnd, at) == nullptr)
    return 0;
  at += InterfaceDescriptor->bLength;
  while (const USB_COMMON_DESCRIPTOR *common =
             descriptor_at(begin, BufferEnd, at)) {
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
      break;
    at += common->bLength;
  }
  return static_cast<ULONG>(at - begin);
}

PURB USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
    PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  return create_request(ConfigurationDescriptor, InterfaceList,
                        "USBD_CreateConfigurationRequestEx",
                        __builtin_return_address(0));
}

PURB USBD_CreateConfigurationRequest(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  const void *site = __builtin_return_address(0);
  if (Siz != nullptr)
    *Siz = 0;
  std::size_t length = readable_length(ConfigurationDescriptor,
                                       "USBD_CreateConfigurationRequest", site);
  if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return nullptr;
  // Every interface in alternate setting 0, in descriptor order, each once.
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  std::vector<bool> seen(256, false);
  PVOID start = ConfigurationDescriptor;
  while (PUSB_INTERFACE_DESCRIPTOR interface =
             parse_interface(ConfigurationDescriptor, start, -1, 0, -1, -1, -1,
                             "USBD_CreateConfigurationRequest", site)) {
    if (!seen[interface->bInterfaceNumber]) {
      seen[interface->bInterfaceNumber] = true;
      list.push_back({interface, nullptr});
    }
    start = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
  }
  list.push_back({nullptr, nullptr});
  PURB urb = create_request(ConfigurationDescriptor, list.data(),
                            "USBD_CreateConfigurationRequest", site);
  if (urb != nullptr && Siz != nullptr)
    *Siz = urb->UrbHeader.Length;
  return urb;
}

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr)
    return;
  VersionInformation->USBDI_Version = 0x0600;
  VersionInformation->Supported_USB_Version = 0x0200;
}

} // extern "C"
