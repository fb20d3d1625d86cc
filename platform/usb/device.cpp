#include "platform/usb/device.h"

namespace talvor::usb {

const char *to_string(TransferType type) {
  switch (type) {
  case TransferType::Control:
    return "control";
  case TransferType::Isochronous:
    return "isochronous";
  case TransferType::Bulk:
    return "bulk";
  case TransferType::Interrupt:
    return "interrupt";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// UsbTransfer

UsbTransfer::UsbTransfer(std::uint64_t id, Request request, Sink sink)
    : id_(id), request_(std::move(request)), sink_(std::move(sink)) {}

bool UsbTransfer::complete(TransferResult result, std::uint64_t delay) {
  {
    std::lock_guard guard(state_lock_);
    if (state_ != State::Waiting)
      return false;
    state_ = State::Completed;
  }
  // Outside the lock: the sink takes the bus's locks and may complete the
  // client's request.
  if (sink_)
    sink_(std::move(result), delay);
  return true;
}

bool UsbTransfer::pending() const {
  std::lock_guard guard(state_lock_);
  return state_ == State::Waiting;
}

bool UsbTransfer::abort() {
  std::lock_guard guard(state_lock_);
  if (state_ != State::Waiting)
    return false;
  state_ = State::Aborted;
  return true;
}

// ---------------------------------------------------------------------------
// StandardDevice

StandardDevice::StandardDevice(UsbDescriptors descriptors, Speed speed)
    : descriptors_(std::move(descriptors)), speed_(speed) {}

void StandardDevice::attached(UsbPort &port) {
  std::lock_guard guard(device_lock_);
  port_ = &port;
}

void StandardDevice::detached() {
  std::lock_guard guard(device_lock_);
  port_ = nullptr;
  configuration_ = 0;
  halted_.clear();
}

UsbPort *StandardDevice::port() const {
  std::lock_guard guard(device_lock_);
  return port_;
}

std::uint8_t StandardDevice::configuration() const {
  std::lock_guard guard(device_lock_);
  return configuration_;
}

bool StandardDevice::halted(std::uint8_t endpoint) const {
  std::lock_guard guard(device_lock_);
  return halted_.count(endpoint) != 0;
}

void StandardDevice::halt(std::uint8_t endpoint) {
  std::lock_guard guard(device_lock_);
  halted_.insert(endpoint);
}

void StandardDevice::submit(const TransferPtr &transfer) {
  if (transfer->type() == TransferType::Control && transfer->setup() &&
      transfer->setup()->type() == BMREQUEST_STANDARD) {
    if (!standard(transfer))
      transfer->complete(TransferResult::stall());
    return;
  }
  if (transfer->type() != TransferType::Control &&
      halted(transfer->endpoint())) {
    transfer->complete(TransferResult::stall());
    return;
  }
  handle(transfer);
}

// Answers one standard request; false stalls it, as a device does with a
// request it does not support.
bool StandardDevice::standard(const TransferPtr &transfer) {
  const SetupPacket &setup = *transfer->setup();
  auto answer = [&](Bytes bytes) {
    if (bytes.size() > setup.length)
      bytes.resize(setup.length);
    transfer->complete(TransferResult::in(std::move(bytes)));
    return true;
  };
  std::uint8_t low = setup.value & 0xFF;
  switch (setup.request) {
  case USB_REQUEST_GET_DESCRIPTOR: {
    if (!setup.in())
      return false;
    switch (setup.value >> 8) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return answer(descriptors_.device);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (low >= descriptors_.configurations.size())
        return false;
      return answer(descriptors_.configurations[low]);
    case USB_STRING_DESCRIPTOR_TYPE: {
      auto found = descriptors_.strings.find(low);
      if (found != descriptors_.strings.end())
        return answer(found->second);
      if (low == 0 && !descriptors_.strings.empty())
        return answer({4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04});
      return false;
    }
    default:
      return false;
    }
  }
  case USB_REQUEST_SET_CONFIGURATION: {
    bool known = low == 0;
    for (const auto &configuration : descriptors_.configurations)
      known |= configuration.size() > 5 && configuration[5] == low;
    if (!known)
      return false;
    {
      std::lock_guard guard(device_lock_);
      configuration_ = low;
      halted_.clear();
    }
    configured(low);
    transfer->complete(TransferResult::ok());
    return true;
  }
  case USB_REQUEST_GET_CONFIGURATION:
    return answer({configuration()});
  case USB_REQUEST_SET_INTERFACE:
    if (configuration() == 0)
      return false;
    interface_selected(static_cast<std::uint8_t>(setup.index), low);
    transfer->complete(TransferResult::ok());
    return true;
  case USB_REQUEST_GET_INTERFACE:
    return answer({0});
  case USB_REQUEST_GET_STATUS:
    if (setup.recipient() == BMREQUEST_TO_ENDPOINT)
      return answer(
          {static_cast<std::uint8_t>(
               halted(static_cast<std::uint8_t>(setup.index)) ? 1 : 0),
           0});
    return answer({0, 0});
  case USB_REQUEST_CLEAR_FEATURE:
  case USB_REQUEST_SET_FEATURE:
    if (setup.recipient() == BMREQUEST_TO_ENDPOINT &&
        setup.value == USB_FEATURE_ENDPOINT_STALL) {
      std::lock_guard guard(device_lock_);
      auto endpoint = static_cast<std::uint8_t>(setup.index);
      if (setup.request == USB_REQUEST_SET_FEATURE)
        halted_.insert(endpoint);
      else
        halted_.erase(endpoint);
    }
    transfer->complete(TransferResult::ok());
    return true;
  default:
    return false;
  }
}

} // namespace talvor::usb
