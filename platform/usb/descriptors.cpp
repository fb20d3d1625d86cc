#include "platform/usb/descriptors.h"

#include <algorithm>
#include <set>

namespace talvor::usb {

namespace {

void put16(Bytes &out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

bool fail(std::string *why, std::string reason) {
  if (why != nullptr)
    *why = std::move(reason);
  return false;
}

} // namespace

Bytes build_device_descriptor(const DeviceSpec &shape) {
  Bytes out{sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
  put16(out, shape.usb_version);
  out.push_back(shape.device_class);
  out.push_back(shape.device_subclass);
  out.push_back(shape.device_protocol);
  out.push_back(shape.max_packet0);
  put16(out, shape.vendor);
  put16(out, shape.product);
  put16(out, shape.release);
  out.push_back(shape.manufacturer);
  out.push_back(shape.product_name);
  out.push_back(shape.serial_number);
  out.push_back(shape.configurations);
  return out;
}

Bytes build_configuration_descriptor(const ConfigurationSpec &shape) {
  std::set<std::uint8_t> numbers;
  for (const auto &interface : shape.interfaces)
    numbers.insert(interface.number);
  Bytes out{sizeof(USB_CONFIGURATION_DESCRIPTOR),
            USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0};
  out.push_back(shape.declared_interfaces.value_or(
      static_cast<std::uint8_t>(numbers.size())));
  out.push_back(shape.value);
  out.push_back(0); // iConfiguration
  out.push_back(shape.attributes);
  out.push_back(shape.max_power);
  for (const auto &interface : shape.interfaces) {
    out.insert(out.end(),
               {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE,
                interface.number, interface.alternate,
                interface.declared_endpoints.value_or(
                    static_cast<std::uint8_t>(interface.endpoints.size())),
                interface.interface_class, interface.interface_subclass,
                interface.interface_protocol, 0});
    out.insert(out.end(), interface.extra.begin(), interface.extra.end());
    for (const auto &endpoint : interface.endpoints) {
      out.insert(out.end(),
                 {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE,
                  endpoint.address, endpoint.attributes});
      put16(out, endpoint.max_packet);
      out.push_back(endpoint.interval);
    }
  }
  out.insert(out.end(), shape.extra.begin(), shape.extra.end());
  std::size_t total = std::min<std::size_t>(out.size(), 0xFFFF);
  out[2] = static_cast<std::uint8_t>(total & 0xFF);
  out[3] = static_cast<std::uint8_t>(total >> 8);
  return out;
}

Bytes vendor_descriptor(std::uint8_t type, std::size_t length,
                        std::uint8_t fill) {
  length = std::clamp<std::size_t>(length, 2, 255);
  Bytes out(length, fill);
  out[0] = static_cast<std::uint8_t>(length);
  out[1] = type;
  return out;
}

Bytes string_descriptor(const std::u16string &text) {
  std::size_t units = std::min<std::size_t>(text.size(), (255 - 2) / 2);
  Bytes out{static_cast<std::uint8_t>(2 + 2 * units),
            USB_STRING_DESCRIPTOR_TYPE};
  for (std::size_t i = 0; i < units; ++i)
    put16(out, static_cast<std::uint16_t>(text[i]));
  return out;
}

const InterfaceInfo *ConfigurationInfo::find(std::uint8_t number,
                                             std::uint8_t alternate) const {
  for (const auto &interface : interfaces)
    if (interface.number == number && interface.alternate == alternate)
      return &interface;
  return nullptr;
}

std::optional<ConfigurationInfo>
parse_configuration(std::span<const std::uint8_t> bytes, std::string *why) {
  if (bytes.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      bytes[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    fail(why, "not a configuration descriptor");
    return std::nullopt;
  }
  ConfigurationInfo info;
  info.declared_interfaces = bytes[4];
  info.value = bytes[5];
  info.attributes = bytes[7];
  std::vector<std::uint8_t> declared; // bNumEndpoints per interface
  for (std::size_t at = bytes[0]; at < bytes.size();) {
    if (bytes.size() - at < 2 || bytes[at] < 2 ||
        bytes[at] > bytes.size() - at) {
      fail(why,
           "descriptor at offset " + std::to_string(at) + " has a bad length");
      return std::nullopt;
    }
    std::uint8_t length = bytes[at];
    std::uint8_t type = bytes[at + 1];
    const std::uint8_t *d = bytes.data() + at;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
        fail(why,
             "interface descriptor of " + std::to_string(length) + " bytes");
        return std::nullopt;
      }
      info.interfaces.push_back({d[2], d[3], d[5], d[6], d[7], {}});
      declared.push_back(d[4]);
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (length < sizeof(USB_ENDPOINT_DESCRIPTOR) || info.interfaces.empty()) {
        fail(why, "endpoint descriptor at offset " + std::to_string(at) +
                      " is short or outside an interface");
        return std::nullopt;
      }
      info.interfaces.back().endpoints.push_back(
          {d[2], d[3], static_cast<std::uint16_t>(d[4] | d[5] << 8), d[6]});
    }
    at += length;
  }
  for (std::size_t i = 0; i < info.interfaces.size(); ++i)
    if (info.interfaces[i].endpoints.size() != declared[i]) {
      fail(why, "interface " + std::to_string(info.interfaces[i].number) +
                    " declares " + std::to_string(declared[i]) +
                    " endpoints but has " +
                    std::to_string(info.interfaces[i].endpoints.size()));
      return std::nullopt;
    }
  return info;
}

} // namespace talvor::usb
