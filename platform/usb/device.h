// What a USB device model implements, and what it sees of the bus: one
// UsbTransfer per transaction the host makes, which the model completes at
// once, after a delay on the kernel's clock, or never (until the host gives
// up on it).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <usb.h>

#include "platform/usb/descriptors.h"

namespace talvor::usb {

enum class Speed { Low, Full, High, Super };

enum class TransferType : std::uint8_t {
  Control = USB_ENDPOINT_TYPE_CONTROL,
  Isochronous = USB_ENDPOINT_TYPE_ISOCHRONOUS,
  Bulk = USB_ENDPOINT_TYPE_BULK,
  Interrupt = USB_ENDPOINT_TYPE_INTERRUPT,
};

const char *to_string(TransferType type);

struct SetupPacket {
  std::uint8_t request_type = 0; // bmRequestType
  std::uint8_t request = 0;      // bRequest
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
  bool in() const { return (request_type & 0x80) != 0; }
  std::uint8_t type() const { return (request_type >> 5) & 3; } // BMREQUEST_*
  std::uint8_t recipient() const {
    return request_type & 0x1F;
  } // BMREQUEST_TO_*
};

// How a transaction ended, as the device tells it.
struct TransferResult {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  Bytes data; // IN: the bytes delivered (no more than asked for)
  // OUT: the bytes the device took; all of them when not given.
  std::optional<std::uint32_t> accepted;

  static TransferResult ok() { return {}; }
  static TransferResult in(Bytes bytes) {
    return {USBD_STATUS_SUCCESS, std::move(bytes), {}};
  }
  static TransferResult stall() { return {USBD_STATUS_STALL_PID, {}, {}}; }
  static TransferResult error(USBD_STATUS status) { return {status, {}, {}}; }
};

// One transaction: a control transfer on the default pipe (endpoint 0,
// with its setup packet), or a bulk or interrupt transfer on one endpoint.
// Shared by the bus and the device; every member is safe to call from any
// kernel thread.
class UsbTransfer {
public:
  struct Request {
    TransferType type = TransferType::Control;
    std::uint8_t endpoint = 0; // address; bit 7 set for IN
    std::optional<SetupPacket> setup;
    Bytes out;                // OUT: the bytes sent
    std::uint32_t length = 0; // IN: bytes asked for; OUT: out.size()
    bool short_ok = false;    // USBD_SHORT_TRANSFER_OK
  };
  // Where the result goes: the bus, or a fault injector in between.
  using Sink = std::function<void(TransferResult result, std::uint64_t delay)>;

  UsbTransfer(std::uint64_t id, Request request, Sink sink);
  UsbTransfer(const UsbTransfer &) = delete;
  UsbTransfer &operator=(const UsbTransfer &) = delete;

  std::uint64_t id() const { return id_; }
  const Request &request() const { return request_; }
  TransferType type() const { return request_.type; }
  std::uint8_t endpoint() const { return request_.endpoint; }
  bool in() const { return (request_.endpoint & 0x80) != 0; }
  const std::optional<SetupPacket> &setup() const { return request_.setup; }
  const Bytes &out() const { return request_.out; }
  std::uint32_t length() const { return request_.length; }

  // Completes the transaction, `delay` (100 ns units) from now. Only the
  // first call counts. False when the host no longer waits for it (it was
  // cancelled, its pipe aborted, the device unplugged): a model keeps its
  // data then, as a device keeps what was never read.
  bool complete(TransferResult result, std::uint64_t delay = 0);
  // Still waiting for the device.
  bool pending() const;

  // The host gives up (bus and fault injector only): true when it was still
  // waiting; complete() is refused from then on.
  bool abort();

private:
  const std::uint64_t id_;
  const Request request_;
  Sink sink_;
  mutable std::mutex state_lock_; // guards state_
  enum class State { Waiting, Completed, Aborted } state_ = State::Waiting;
};

using TransferPtr = std::shared_ptr<UsbTransfer>;

// The device's side of its port.
class UsbPort {
public:
  virtual ~UsbPort() = default;
  // Pulls the cable: the bus fails every request from now on.
  virtual void disconnect() = 0;
  // Signals remote wakeup: completes a pending IRP_MN_WAIT_WAKE.
  virtual void remote_wakeup() = 0;
  virtual bool connected() const = 0;
};

struct UsbDescriptors {
  Bytes device;
  std::vector<Bytes> configurations;     // by index
  std::map<std::uint8_t, Bytes> strings; // by index; 0 is the language list
};

class UsbDevice {
public:
  virtual ~UsbDevice() = default;

  // What the hub read at enumeration (device IDs, capabilities).
  virtual const UsbDescriptors &descriptors() const = 0;
  virtual Speed speed() const { return Speed::Full; }

  // Every transaction of the client's URBs, standard requests on endpoint
  // 0 included. Runs in the submitter's thread, possibly at
  // DISPATCH_LEVEL: it must not wait. The model completes the transfer
  // from here or later, from any thread.
  virtual void submit(const TransferPtr &transfer) = 0;
  // The host gave up on a transfer the model still held (cancel, abort,
  // select configuration); complete() on it fails from now on.
  virtual void cancelled(const TransferPtr &transfer) { (void)transfer; }

  // Plugged into a port / the port is gone (unplugged). The port stays
  // valid until detached() returns.
  virtual void attached(UsbPort &port) { (void)port; }
  virtual void detached() {}
};

// A device that answers the standard requests (descriptors, configuration,
// interface, status, features) from its descriptors and hands every other
// transaction to handle(). Models derive from it.
class StandardDevice : public UsbDevice {
public:
  explicit StandardDevice(UsbDescriptors descriptors,
                          Speed speed = Speed::Full);

  const UsbDescriptors &descriptors() const override { return descriptors_; }
  Speed speed() const override { return speed_; }
  void submit(const TransferPtr &transfer) override;
  void attached(UsbPort &port) override;
  void detached() override;

  std::uint8_t configuration() const;
  bool halted(std::uint8_t endpoint) const;
  // Halts an endpoint: its transfers stall until CLEAR_FEATURE(HALT).
  void halt(std::uint8_t endpoint);

protected:
  // Vendor and class requests, bulk and interrupt transfers.
  virtual void handle(const TransferPtr &transfer) = 0;
  // SET_CONFIGURATION (0: unconfigured) and SET_INTERFACE.
  virtual void configured(std::uint8_t value) { (void)value; }
  virtual void interface_selected(std::uint8_t number, std::uint8_t alternate) {
    (void)number;
    (void)alternate;
  }
  UsbPort *port() const;

private:
  bool standard(const TransferPtr &transfer);

  UsbDescriptors descriptors_;
  Speed speed_;
  mutable std::mutex device_lock_; // guards the members below
  std::uint8_t configuration_ = 0;
  std::set<std::uint8_t> halted_;
  UsbPort *port_ = nullptr;
};

} // namespace talvor::usb
