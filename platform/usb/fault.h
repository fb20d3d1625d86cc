// A fault injector: a UsbDevice wrapped around any other, which lets
// transfers through, or stalls, fails, delays, swallows them or pulls the
// cable, by rule or at the Nth transfer, and keeps a log of every transfer
// that tests read.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/usb/device.h"

namespace talvor::usb {

struct Fault {
  enum class Kind {
    Stall,      // the device answers with a STALL handshake
    Status,     // the transfer ends with `status`
    Delay,      // passed on; its completion comes `delay` later
    Silence,    // never answered, until the host gives up on it
    Disconnect, // the cable is pulled as the transfer arrives
  };
  Kind kind = Kind::Stall;
  USBD_STATUS status = USBD_STATUS_STALL_PID;
  std::uint64_t delay = 0; // 100 ns units

  static Fault stall() { return {}; }
  static Fault error(USBD_STATUS status) { return {Kind::Status, status, 0}; }
  static Fault delayed(std::uint64_t delay) {
    return {Kind::Delay, USBD_STATUS_SUCCESS, delay};
  }
  static Fault silence() { return {Kind::Silence, USBD_STATUS_SUCCESS, 0}; }
  static Fault disconnect() {
    return {Kind::Disconnect, USBD_STATUS_DEVICE_GONE, 0};
  }
};

const char *to_string(Fault::Kind kind);

// Which transfers a rule applies to; an empty member matches anything.
struct TransferFilter {
  std::optional<TransferType> type;
  std::optional<std::uint8_t> endpoint; // address with its direction bit
  std::optional<std::uint8_t> request;  // bRequest of a control transfer
  bool matches(const UsbTransfer &transfer) const;
};

struct TransferRecord {
  enum class Outcome { Pending, Completed, Cancelled };
  std::uint64_t sequence = 0;  // 1-based, over the device's whole life
  std::uint64_t submitted = 0; // interrupt time, 100 ns units
  std::uint64_t finished = 0;  // when completed or cancelled
  TransferType type = TransferType::Control;
  std::uint8_t endpoint = 0;
  bool in = false;
  std::optional<SetupPacket> setup;
  std::uint32_t length = 0; // asked for (IN) or sent (OUT)
  Bytes data;               // OUT: sent; IN: delivered
  USBD_STATUS status = USBD_STATUS_PENDING;
  Outcome outcome = Outcome::Pending;
  std::optional<Fault::Kind> fault; // the fault applied, if any
};

class FaultInjector : public UsbDevice {
public:
  explicit FaultInjector(std::shared_ptr<UsbDevice> inner);
  ~FaultInjector() override;

  // Applies `fault` to the transfers `filter` picks, after letting `skip`
  // of them through, `times` times (0: every one from then on).
  void inject(Fault fault, TransferFilter filter = {}, std::uint64_t skip = 0,
              std::uint64_t times = 1);
  // Applies `fault` to the Nth transfer of the device's life (1-based, as
  // the log numbers them): for sweeps over every transfer of a scenario.
  void fail_nth(std::uint64_t n, Fault fault = Fault::stall());
  void disconnect_at(std::uint64_t n) { fail_nth(n, Fault::disconnect()); }
  // Pulls the cable now (the device must be plugged).
  void disconnect_now();
  // Forgets every rule (the log stays).
  void clear();

  std::vector<TransferRecord> log() const;
  std::uint64_t transfers() const; // seen so far

  // UsbDevice
  const UsbDescriptors &descriptors() const override;
  Speed speed() const override;
  void submit(const TransferPtr &transfer) override;
  void cancelled(const TransferPtr &transfer) override;
  void attached(UsbPort &port) override;
  void detached() override;

private:
  struct State;
  const std::shared_ptr<UsbDevice> inner_;
  const std::shared_ptr<State> state_;
};

} // namespace talvor::usb
