// A USB capture: devices wrapped so that every transfer submitted to them,
// and its completion or cancellation, goes into a pcap file as the Linux
// usbmon interface shows it (LINKTYPE_USB_LINUX_MMAPPED), for Wireshark and
// tshark. Time stamps come from the kernel's clock, so a capture made under
// the simulation clock is the same on every run with the same seed.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel/kernel.h"
#include "platform/usb/device.h"

namespace talvor::usb {

class Capture {
public:
  // Creates (truncates) a pcap file; nullptr and a one-line reason on
  // failure.
  static std::unique_ptr<Capture>
  open(kernel::Kernel &kernel, const std::string &path, std::string *error);
  ~Capture(); // flushes and closes
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;

  // The device, wrapped: every transfer submitted to it and its completion
  // (or cancellation) goes into the capture, as a device on bus 1 (device
  // numbers from 2 upward, one per wrapped device).
  std::shared_ptr<UsbDevice> wrap(std::shared_ptr<UsbDevice> device);

  // Writes what is still held back and closes the file; what the wrapped
  // devices do afterwards is not captured. Idempotent.
  void close();
  // The first write error (one line), empty while there was none.
  std::string error() const;

  struct Writer;

private:
  explicit Capture(std::shared_ptr<Writer> writer);
  const std::shared_ptr<Writer> writer_;
};

} // namespace talvor::usb
