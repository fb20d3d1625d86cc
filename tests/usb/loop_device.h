// A small USB device for the bus driver's tests, laid out like the reader:
// interrupt-in 0x81, bulk-out 0x02, bulk-in 0x82. Bytes written on bulk-out
// come back on bulk-in; a bulk-in or interrupt-in read with nothing to
// deliver stays outstanding until there is; vendor request 0x10 stores its
// data stage and 0x11 returns it. Every answer comes `latency` after the
// request (0: at once, inside submit).
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/usb/device.h"

namespace talvor::test {

usb::ConfigurationSpec reader_layout();
usb::UsbDescriptors descriptors_for(const usb::ConfigurationSpec &shape);

class LoopDevice : public usb::StandardDevice {
public:
  static constexpr std::uint8_t kInterrupt = 0x81;
  static constexpr std::uint8_t kBulkOut = 0x02;
  static constexpr std::uint8_t kBulkIn = 0x82;
  static constexpr std::uint8_t kStore = 0x10;
  static constexpr std::uint8_t kFetch = 0x11;

  explicit LoopDevice(
      usb::UsbDescriptors descriptors = descriptors_for(reader_layout()),
      usb::Speed speed = usb::Speed::Full);

  void set_latency(std::uint64_t latency); // 100 ns units
  // An interrupt byte: completes the outstanding interrupt read, or waits
  // for the next one.
  void push_interrupt(std::uint8_t byte);
  // Bytes for bulk-in, as if written on bulk-out.
  void push_bulk(const usb::Bytes &bytes);
  std::size_t held() const; // reads outstanding
  std::size_t cancellations() const;
  std::uint8_t configured_value() const;

protected:
  void handle(const usb::TransferPtr &transfer) override;
  void cancelled(const usb::TransferPtr &transfer) override;
  void configured(std::uint8_t value) override;
  void detached() override;

private:
  void serve(); // delivers what is buffered to the reads outstanding

  // device_lock guards every member below; transfers complete outside it.
  mutable std::mutex device_lock;
  std::uint64_t latency_ = 0;
  std::deque<std::uint8_t> bulk_;
  std::deque<std::uint8_t> interrupt_;
  usb::Bytes stored_;
  std::vector<usb::TransferPtr> reads_; // bulk-in and interrupt-in
  std::size_t cancellations_ = 0;
  std::uint8_t configured_ = 0;
};

} // namespace talvor::test
