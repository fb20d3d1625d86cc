// Device interfaces: registered on a physical device object, enabled and
// disabled by its drivers, opened by applications through their links.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/kernel/iomgr_records.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/text.h"
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr ULONG kInterfaceTag = make_pool_tag("IoIf");

std::string guid_text(const GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof text,
                "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool same_guid(const GUID &a, const GUID &b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace

NTSTATUS IoManager::register_interface(PDEVICE_OBJECT physical_device,
                                       const GUID *class_guid,
                                       PUNICODE_STRING reference,
                                       PUNICODE_STRING symbolic_link,
                                       const void *site) {
  if (class_guid == nullptr || symbolic_link == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::string link;
  {
    std::lock_guard guard(io_lock_);
    DeviceRecord *record = record_of(physical_device);
    if (record == nullptr || record->deleted || record->lower != nullptr) {
      report(FindingKind::DeviceMisuse,
             "IoRegisterDeviceInterface on something that is not a physical "
             "device object",
             site);
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::string instance =
        record->name.empty() ? format_address(physical_device) : record->name;
    for (char &c : instance)
      if (c == '\\' || c == '/')
        c = '#';
    while (!instance.empty() && instance.front() == '#')
      instance.erase(0, 1);
    link = "\\??\\" + instance + "#" + guid_text(*class_guid);
    std::string reference_text = unicode_text(reference);
    if (!reference_text.empty())
      link += "\\" + reference_text;
    auto existing = std::find_if(
        interfaces_.begin(), interfaces_.end(),
        [&](const auto &known) { return known.symbolic_link == link; });
    if (existing == interfaces_.end())
      interfaces_.push_back({link, *class_guid, physical_device, false});
  }
  std::u16string wide = utf8_to_utf16(link);
  std::size_t bytes = (wide.size() + 1) * sizeof(char16_t);
  auto *buffer = static_cast<PWSTR>(allocate(bytes, kInterfaceTag, site));
  if (buffer == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, wide.c_str(), bytes);
  symbolic_link->Buffer = buffer;
  symbolic_link->Length = static_cast<USHORT>(wide.size() * sizeof(char16_t));
  symbolic_link->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::set_interface_state(PUNICODE_STRING symbolic_link,
                                        bool enable, const void *site) {
  std::string link = unicode_text(symbolic_link);
  std::lock_guard guard(io_lock_);
  for (auto &interface : interfaces_) {
    if (interface.symbolic_link != link)
      continue;
    if (enable && interface.enabled)
      return STATUS_OBJECT_NAME_EXISTS;
    DeviceRecord *record = record_of(interface.physical_device);
    if (enable && (record == nullptr || record->deleted))
      return STATUS_INVALID_DEVICE_REQUEST;
    interface.enabled = enable;
    return STATUS_SUCCESS;
  }
  (void)site;
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<DeviceInterface>
IoManager::interfaces(const GUID &class_guid) const {
  std::lock_guard guard(io_lock_);
  std::vector<DeviceInterface> result;
  for (const auto &interface : interfaces_)
    if (interface.enabled && same_guid(interface.class_guid, class_guid))
      result.push_back(interface);
  return result;
}

PDEVICE_OBJECT
IoManager::open_interface(const std::string &symbolic_link) const {
  std::lock_guard guard(io_lock_);
  for (const auto &interface : interfaces_)
    if (interface.enabled &&
        equal_ignoring_case(interface.symbolic_link, symbolic_link)) {
      PDEVICE_OBJECT top = interface.physical_device;
      while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
      return top;
    }
  return nullptr;
}

} // namespace talvor::kernel
