#include "tests/usb/loop_device.h"

#include <algorithm>

namespace talvor::test {

using usb::TransferResult;

usb::ConfigurationSpec reader_layout() {
  usb::ConfigurationSpec shape;
  usb::InterfaceSpec interface;
  interface.interface_class = 0xFF;
  interface.endpoints = {
      {LoopDevice::kInterrupt, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10},
      {LoopDevice::kBulkOut, USB_ENDPOINT_TYPE_BULK, 64, 0},
      {LoopDevice::kBulkIn, USB_ENDPOINT_TYPE_BULK, 64, 0},
  };
  shape.interfaces.push_back(interface);
  return shape;
}

usb::UsbDescriptors descriptors_for(const usb::ConfigurationSpec &shape) {
  usb::DeviceSpec device;
  device.vendor = 0x1234;
  device.product = 0x5678;
  device.release = 0x0102;
  device.serial_number = 3;
  usb::UsbDescriptors descriptors;
  descriptors.device = usb::build_device_descriptor(device);
  descriptors.configurations.push_back(
      usb::build_configuration_descriptor(shape));
  descriptors.strings[3] = usb::string_descriptor(u"SN0042");
  return descriptors;
}

LoopDevice::LoopDevice(usb::UsbDescriptors descriptors, usb::Speed speed)
    : StandardDevice(std::move(descriptors), speed) {}

void LoopDevice::set_latency(std::uint64_t latency) {
  std::lock_guard guard(device_lock);
  latency_ = latency;
}

void LoopDevice::push_interrupt(std::uint8_t byte) {
  {
    std::lock_guard guard(device_lock);
    interrupt_.push_back(byte);
  }
  serve();
}

void LoopDevice::push_bulk(const usb::Bytes &bytes) {
  {
    std::lock_guard guard(device_lock);
    bulk_.insert(bulk_.end(), bytes.begin(), bytes.end());
  }
  serve();
}

std::size_t LoopDevice::held() const {
  std::lock_guard guard(device_lock);
  return reads_.size();
}

std::size_t LoopDevice::cancellations() const {
  std::lock_guard guard(device_lock);
  return cancellations_;
}

std::uint8_t LoopDevice::configured_value() const {
  std::lock_guard guard(device_lock);
  return configured_;
}

void LoopDevice::configured(std::uint8_t value) {
  std::lock_guard guard(device_lock);
  configured_ = value;
}

void LoopDevice::detached() {
  StandardDevice::detached();
  std::lock_guard guard(device_lock);
  reads_.clear(); // unplugged: nothing outstanding survives
}

void LoopDevice::handle(const usb::TransferPtr &transfer) {
  std::uint64_t latency;
  {
    std::lock_guard guard(device_lock);
    latency = latency_;
  }
  if (transfer->type() == usb::TransferType::Control) {
    const usb::SetupPacket &setup = *transfer->setup();
    if (setup.type() != BMREQUEST_VENDOR) {
      transfer->complete(TransferResult::stall(), latency);
      return;
    }
    if (setup.request == kStore && !setup.in()) {
      std::lock_guard guard(device_lock);
      stored_ = transfer->out();
    } else if (setup.request == kFetch && setup.in()) {
      usb::Bytes answer;
      {
        std::lock_guard guard(device_lock);
        answer.assign(stored_.begin(),
                      stored_.begin() +
                          std::min<std::size_t>(stored_.size(), setup.length));
      }
      transfer->complete(TransferResult::in(std::move(answer)), latency);
      return;
    } else if (setup.in()) {
      transfer->complete(TransferResult::stall(), latency);
      return;
    }
    transfer->complete(TransferResult::ok(), latency);
    return;
  }
  if (!transfer->in()) {
    {
      std::lock_guard guard(device_lock);
      bulk_.insert(bulk_.end(), transfer->out().begin(), transfer->out().end());
    }
    transfer->complete(TransferResult::ok(), latency);
    serve();
    return;
  }
  {
    std::lock_guard guard(device_lock);
    reads_.push_back(transfer);
  }
  serve();
}

void LoopDevice::cancelled(const usb::TransferPtr &transfer) {
  std::lock_guard guard(device_lock);
  auto found = std::find(reads_.begin(), reads_.end(), transfer);
  if (found != reads_.end())
    reads_.erase(found);
  ++cancellations_;
}

void LoopDevice::serve() {
  for (;;) {
    usb::TransferPtr transfer;
    usb::Bytes answer;
    std::uint64_t latency;
    {
      std::lock_guard guard(device_lock);
      latency = latency_;
      for (auto it = reads_.begin(); it != reads_.end(); ++it) {
        auto &queue = (*it)->endpoint() == kInterrupt ? interrupt_ : bulk_;
        if (queue.empty())
          continue;
        auto n = std::min<std::ptrdiff_t>(std::ssize(queue), (*it)->length());
        answer.assign(queue.begin(), queue.begin() + n);
        queue.erase(queue.begin(), queue.begin() + n);
        transfer = *it;
        reads_.erase(it);
        break;
      }
      if (!transfer)
        return;
    }
    if (transfer->complete(TransferResult::in(answer), latency))
      continue;
    // The host gave up on it meanwhile: the bytes stay for the next read.
    std::lock_guard guard(device_lock);
    auto &queue = transfer->endpoint() == kInterrupt ? interrupt_ : bulk_;
    queue.insert(queue.begin(), answer.begin(), answer.end());
  }
}

} // namespace talvor::test
