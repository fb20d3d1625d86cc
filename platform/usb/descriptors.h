// USB descriptors as bytes: builders for device models and tests, and the
// parser the bus driver checks a client's configuration descriptor with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <usbdi.h>

namespace talvor::usb {

using Bytes = std::vector<std::uint8_t>;

// GET_USBD_INTERFACE_SIZE without the macro's unsigned arithmetic.
constexpr std::size_t interface_information_size(std::size_t pipes) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
         pipes * sizeof(USBD_PIPE_INFORMATION);
}

struct DeviceSpec {
  std::uint16_t usb_version = 0x0110; // bcdUSB
  std::uint8_t device_class = 0;
  std::uint8_t device_subclass = 0;
  std::uint8_t device_protocol = 0;
  std::uint8_t max_packet0 = 8;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t release = 0x0100; // bcdDevice
  std::uint8_t manufacturer = 0;  // string indexes
  std::uint8_t product_name = 0;
  std::uint8_t serial_number = 0;
  std::uint8_t configurations = 1;
};

struct EndpointSpec {
  std::uint8_t address = 0;    // bit 7: IN
  std::uint8_t attributes = 0; // USB_ENDPOINT_TYPE_*
  std::uint16_t max_packet = 64;
  std::uint8_t interval = 0;
};

struct InterfaceSpec {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t interface_class = 0xFF;
  std::uint8_t interface_subclass = 0;
  std::uint8_t interface_protocol = 0;
  std::vector<EndpointSpec> endpoints;
  Bytes extra; // class or vendor descriptors right after the interface's
  // bNumEndpoints when it should not match the endpoints (faulty layouts).
  std::optional<std::uint8_t> declared_endpoints;
};

struct ConfigurationSpec {
  std::uint8_t value = 1;
  std::uint8_t attributes = USB_CONFIG_BUS_POWERED;
  std::uint8_t max_power = 50; // 2 mA units
  std::vector<InterfaceSpec> interfaces;
  Bytes extra; // descriptors after the last interface
  // bNumInterfaces when it should not match (faulty layouts); otherwise
  // the number of distinct interface numbers.
  std::optional<std::uint8_t> declared_interfaces;
};

Bytes build_device_descriptor(const DeviceSpec &shape);
// wTotalLength is the length of what is built.
Bytes build_configuration_descriptor(const ConfigurationSpec &shape);
// One class or vendor specific descriptor of `length` bytes (2 to 255).
Bytes vendor_descriptor(std::uint8_t type, std::size_t length,
                        std::uint8_t fill = 0);
// A string descriptor holding `text` (truncated to what fits in 255 bytes).
Bytes string_descriptor(const std::u16string &text);

struct EndpointInfo {
  std::uint8_t address = 0;
  std::uint8_t attributes = 0;
  std::uint16_t max_packet = 0;
  std::uint8_t interval = 0;
  std::uint8_t type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
  bool in() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct InterfaceInfo {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t interface_class = 0;
  std::uint8_t interface_subclass = 0;
  std::uint8_t interface_protocol = 0;
  std::vector<EndpointInfo> endpoints; // in descriptor order
};

struct ConfigurationInfo {
  std::uint8_t value = 0;
  std::uint8_t attributes = 0;
  std::uint8_t declared_interfaces = 0;
  std::vector<InterfaceInfo> interfaces; // every alternate setting
  const InterfaceInfo *find(std::uint8_t number, std::uint8_t alternate) const;
};

// Parses a whole configuration descriptor (`bytes` holds wTotalLength
// bytes). Null with the reason in `why` when it is malformed: a length
// that runs past the end or is too short for its type, an endpoint before
// any interface, or an interface whose bNumEndpoints does not match the
// endpoint descriptors that follow it.
std::optional<ConfigurationInfo>
parse_configuration(std::span<const std::uint8_t> bytes,
                    std::string *why = nullptr);

} // namespace talvor::usb
