// The bus driver's inside: one port, its PDO and the URB requests it is
// working on. Shared by the files of the bus driver, seen by nothing else.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/kernel.h"
#include "platform/usb/bus.h"
#include "platform/usb/child.h"
#include "platform/usb/descriptors.h"
#include "platform/usb/device.h"

namespace talvor::usb {

constexpr ULONG kBusTag = kernel::make_pool_tag("UsbH");
// A cancelled or aborted transfer completes one frame (1 ms) later: the host
// controller must stop the endpoint first. A client that frees a URB right
// after IoCancelIrp, without waiting for the completion, is caught by it.
constexpr std::uint64_t kFrame = 10'000;
// Opaque handles: counters in a range no pool block uses, so that a stale
// or forged handle is found out by lookup, never dereferenced.
constexpr std::uintptr_t kHandleBase = 0x0000'7A00'0000'0000;

inline PVOID make_handle(std::uint64_t counter) {
  // Never dereferenced: a token with a pointer's type, as the API has it.
  return reinterpret_cast<PVOID>( // NOLINT(performance-no-int-to-ptr)
      kHandleBase + counter * 0x10);
}

struct PdoExtension {
  UsbBus::Port *port;
};

// ---------------------------------------------------------------------------
// One URB the PDO is working on.

struct Request {
  enum class Kind { Data, SelectConfiguration, SelectInterface, Plain };

  std::uint64_t id = 0;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Kind kind = Kind::Plain;
  TransferPtr transfer;              // the device transaction, if any
  USBD_PIPE_HANDLE pipe = nullptr;   // Data on a bulk or interrupt pipe
  USBD_PIPE_HANDLE resets = nullptr; // the pipe a successful reset clears

  // Data: the client's buffer, and where the bytes moved go.
  PUCHAR buffer = nullptr;
  ULONG length = 0;
  PULONG length_field = nullptr;
  bool in = false;
  bool short_ok = false;

  // What the client handed over that the pool knows: checked again before
  // the completion writes to it.
  bool urb_pooled = false;
  bool buffer_pooled = false;

  // SelectConfiguration and SelectInterface: what to commit on success.
  struct Staged {
    std::size_t offset = 0; // of its USBD_INTERFACE_INFORMATION in the URB
    InterfaceInfo interface;
  };
  std::vector<Staged> staged;
  std::optional<ConfigurationInfo> configuration;

  // result_lock guards the members below: the device's result, and whether
  // the dispatch routine is still there to take it.
  std::mutex result_lock;
  bool window_open = true;
  bool has_result = false;
  TransferResult result;
  std::uint64_t delay = 0;
  std::uint64_t due = 0; // interrupt time the result is due

  // Guarded by the port's lock: someone has taken the IRP to complete it.
  bool claimed = false;
  // Guarded by the port's lock: the device should hear of its cancellation.
  bool notify_device = false;
};

// Transfer URBs share this prefix after the header.
struct TransferFields {
  ULONG *flags;
  ULONG *length;
  PVOID *buffer;
  PMDL *mdl;
};

// ---------------------------------------------------------------------------
// A port and its PDO.

struct UsbBus::Port final : UsbPort,
                            ChildPdo,
                            std::enable_shared_from_this<Port> {
  struct Pipe {
    EndpointInfo endpoint;
    std::uint8_t interface = 0;
    // The host side of the endpoint is halted: a stall ended a transfer,
    // and nothing runs on it until the client resets the pipe.
    bool halted = false;
  };
  // One piece of work for the completion thread.
  struct Completion {
    std::shared_ptr<Request> request;
    bool device_result = false; // else: `status`, the request already claimed
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    bool claimed = false; // a device result whose request is already taken
  };

  Port(UsbBus &bus_, std::shared_ptr<UsbDevice> device_, ULONG number_)
      : bus(bus_), device(std::move(device_)), number(number_) {
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&work, SynchronizationEvent, FALSE);
  }

  // UsbPort
  void disconnect() override { bus.unplug(pdo); }
  void remote_wakeup() override { bus.signal_wake(pdo); }
  bool connected() const override {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    bool result = plugged;
    KeReleaseSpinLock(&lock, irql);
    return result;
  }

  UsbBus &bus;
  const std::shared_ptr<UsbDevice> device;
  const ULONG number;
  PDEVICE_OBJECT pdo = nullptr;
  PKTHREAD thread = nullptr; // referenced; the completion thread
  KEVENT work;               // synchronization event: the thread has work
  LONG interface_references = 0;

  // `lock` guards every member below. It is taken alone: the cancel spin
  // lock is released before it is taken, and no device model or driver
  // routine runs while it is held.
  mutable KSPIN_LOCK lock;
  bool plugged = true;
  bool is_surprise_removed = false;
  bool is_started = false;
  bool removed = false;
  bool stopping = false;     // the thread ends once its queue is empty
  bool thread_ended = false; // nothing queued is ever run again
  bool delete_on_exit = false;
  std::map<std::uint64_t, std::shared_ptr<Request>> pending;
  std::map<USBD_PIPE_HANDLE, Pipe> pipes;
  std::optional<ConfigurationInfo> configuration;
  USBD_CONFIGURATION_HANDLE configuration_handle = nullptr;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Completion> queue;
  std::uint64_t sequence = 0;
  std::uint64_t next_handle = 1;
  std::uint64_t next_request = 1;

  std::uint64_t now() const { return bus.kernel_.now(); }
  void report(const std::string &message, const void *site = nullptr) const {
    bus.kernel_.verifier().report(kernel::FindingKind::IrpMisuse, message,
                                  site ? kernel::describe_code_address(site)
                                       : "");
  }

  // Completion queue. `enqueue_locked` with `lock` held; `kick` after
  // releasing it wakes the thread.
  void enqueue_locked(Completion completion, std::uint64_t delay);
  void kick() { KeSetEvent(&work, IO_NO_INCREMENT, FALSE); }
  // Takes a pending request's IRP from its cancel routine (lock held);
  // false when the cancel routine has it, or someone already took it.
  bool claim_locked(Request &request);
  // Claims every pending request that `match` picks and queues its failure
  // with `status` (lock held); returns how many.
  std::size_t
  fail_pending_locked(USBD_STATUS status,
                      const std::function<bool(const Request &)> &match);

  // Writes the outcome into the URB and completes the IRP; at
  // DISPATCH_LEVEL when it comes from the completion thread.
  NTSTATUS finish(Request &request, const TransferResult *result,
                  USBD_STATUS status, bool from_thread);
  bool commit_locked(Request &request);
  void thread_main();
  void process(Completion &completion);

  NTSTATUS internal_device_control(PIRP irp);
  NTSTATUS submit_urb(PIRP irp, PURB urb);
  std::optional<Pipe> find_pipe(USBD_PIPE_HANDLE handle) const;
  NTSTATUS pipe_transfer(const std::shared_ptr<Request> &request);
  NTSTATUS control_transfer(const std::shared_ptr<Request> &request);
  NTSTATUS submit_data(const std::shared_ptr<Request> &request,
                       const TransferFields &fields,
                       UsbTransfer::Request transaction);
  NTSTATUS reset_pipe(const std::shared_ptr<Request> &request);
  NTSTATUS start(const std::shared_ptr<Request> &request,
                 UsbTransfer::Request transaction);
  NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS status);
  NTSTATUS select_configuration(const std::shared_ptr<Request> &request);
  NTSTATUS select_interface(const std::shared_ptr<Request> &request);
  NTSTATUS abort_pipe(const std::shared_ptr<Request> &request);
  bool stage_interface(Request &request, PUSBD_INTERFACE_INFORMATION info,
                       const ConfigurationInfo &configuration,
                       USBD_STATUS *status);

  void unplug();
  void wait_for_detach_and_delete();

  // ChildPdo: what a USB PDO adds to every PDO's PnP and power.
  ChildDescription describe() const override;
  NTSTATUS started() override;
  void stopped() override;
  void surprise_removed() override;
  NTSTATUS remove(PIRP irp) override;
  NTSTATUS query_interface(PIRP irp) override;
  NTSTATUS can_arm_wake() override;
};

inline UsbBus::Port *port_of_device(PDEVICE_OBJECT device) {
  return static_cast<PdoExtension *>(device->DeviceExtension)->port;
}

template <typename T>
T locked(const UsbBus::Port &port, T UsbBus::Port::*member) {
  KIRQL irql;
  KeAcquireSpinLock(&port.lock, &irql);
  T value = port.*member;
  KeReleaseSpinLock(&port.lock, irql);
  return value;
}

// The cancel routine of the PDO's pending URB requests.
void CancelRequest(PDEVICE_OBJECT device, PIRP irp);

} // namespace talvor::usb
