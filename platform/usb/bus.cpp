#include "platform/usb/bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include <usbbusif.h>
#include <usbdlib.h>

#include "platform/kernel/scheduler.h"

namespace talvor::usb {

using kernel::describe_code_address;
using kernel::FindingKind;
using kernel::Kernel;

namespace {

constexpr ULONG kBusTag = kernel::make_pool_tag("UsbH");
// A cancelled or aborted transfer completes one frame (1 ms) later: the host
// controller must stop the endpoint first. A client that frees a URB right
// after IoCancelIrp, without waiting for the completion, is caught by it.
constexpr std::uint64_t kFrame = 10'000;
// Opaque handles: counters in a range no pool block uses, so that a stale
// or forged handle is found out by lookup, never dereferenced.
constexpr std::uintptr_t kHandleBase = 0x0000'7A00'0000'0000;

PVOID make_handle(std::uint64_t counter) {
  // Never dereferenced: a token with a pointer's type, as the API has it.
  return reinterpret_cast<PVOID>( // NOLINT(performance-no-int-to-ptr)
      kHandleBase + counter * 0x10);
}

struct PdoExtension {
  UsbBus::Port *port;
};

} // namespace

NTSTATUS nt_status(USBD_STATUS status) {
  if (USBD_SUCCESS(status))
    return STATUS_SUCCESS;
  switch (status) {
  case USBD_STATUS_CANCELED:
    return STATUS_CANCELLED;
  case USBD_STATUS_DEVICE_GONE:
    return STATUS_DEVICE_NOT_CONNECTED;
  case USBD_STATUS_INVALID_URB_FUNCTION:
  case USBD_STATUS_INVALID_PARAMETER:
  case USBD_STATUS_INVALID_PIPE_HANDLE:
  case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
  case USBD_STATUS_INTERFACE_NOT_FOUND:
  case USBD_STATUS_BUFFER_TOO_SMALL:
  case USBD_STATUS_BAD_DESCRIPTOR:
    return STATUS_INVALID_PARAMETER;
  case USBD_STATUS_INSUFFICIENT_RESOURCES:
    return STATUS_INSUFFICIENT_RESOURCES;
  case USBD_STATUS_NOT_SUPPORTED:
    return STATUS_NOT_SUPPORTED;
  case USBD_STATUS_ERROR_BUSY:
    return STATUS_DEVICE_BUSY;
  case USBD_STATUS_TIMEOUT:
    return STATUS_IO_TIMEOUT;
  default:
    return STATUS_UNSUCCESSFUL;
  }
}

// ---------------------------------------------------------------------------
// One URB the PDO is working on.

struct Request {
  enum class Kind { Data, SelectConfiguration, SelectInterface, Plain };

  std::uint64_t id = 0;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Kind kind = Kind::Plain;
  TransferPtr transfer; // the device transaction, if any
  USBD_PIPE_HANDLE pipe = nullptr;

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

// ---------------------------------------------------------------------------
// A port and its PDO.

struct UsbBus::Port final : UsbPort, std::enable_shared_from_this<Port> {
  struct Pipe {
    EndpointInfo endpoint;
    std::uint8_t interface = 0;
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
  bool surprise_removed = false;
  bool started = false;
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
  PIRP wait_wake = nullptr;
  DEVICE_POWER_STATE power = PowerDeviceD0;

  std::uint64_t now() const { return bus.kernel_.now(); }
  void report(const std::string &message, const void *site = nullptr) const {
    bus.kernel_.verifier().report(FindingKind::IrpMisuse, message,
                                  site ? describe_code_address(site) : "");
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
  template <typename Match>
  std::size_t fail_pending_locked(USBD_STATUS status, Match match);

  // Writes the outcome into the URB and completes the IRP; at
  // DISPATCH_LEVEL when it comes from the completion thread.
  NTSTATUS finish(Request &request, const TransferResult *result,
                  USBD_STATUS status, bool from_thread);
  bool commit_locked(Request &request);
  void thread_main();
  void process(Completion &completion);

  NTSTATUS internal_device_control(PIRP irp);
  NTSTATUS submit_urb(PIRP irp, PURB urb);
  NTSTATUS start(const std::shared_ptr<Request> &request,
                 UsbTransfer::Request transaction);
  NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS status);
  NTSTATUS select_configuration(const std::shared_ptr<Request> &request);
  NTSTATUS select_interface(const std::shared_ptr<Request> &request);
  NTSTATUS abort_pipe(const std::shared_ptr<Request> &request);
  bool stage_interface(Request &request, PUSBD_INTERFACE_INFORMATION info,
                       const ConfigurationInfo &configuration,
                       USBD_STATUS *status);

  NTSTATUS pnp(PIRP irp);
  NTSTATUS query_capabilities(PIRP irp);
  NTSTATUS query_id(PIRP irp);
  NTSTATUS query_interface(PIRP irp);
  NTSTATUS remove(PIRP irp);
  NTSTATUS power_request(PIRP irp);
  void unplug();
  bool complete_wait_wake(NTSTATUS status);
  void wait_for_detach_and_delete();
};

namespace {

UsbBus::Port *port_of_device(PDEVICE_OBJECT device) {
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

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return port_of_device(device)->internal_device_control(irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  return port_of_device(device)->pnp(irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  return port_of_device(device)->power_request(irp);
}

// WMI and the like: a PDO without a WMI provider leaves the request as it is.
NTSTATUS DispatchUnchanged(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A cancelled URB: the completion thread finishes it, as a host controller
// completes an aborted transfer in its DPC, so the caller of IoCancelIrp
// sees the completion arrive later.
void CancelRequest(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBus::Port *port = port_of_device(device);
  auto id =
      reinterpret_cast<std::uintptr_t>(irp->Tail.Overlay.DriverContext[0]);
  KIRQL irql;
  KeAcquireSpinLock(&port->lock, &irql);
  auto found = port->pending.find(id);
  if (found != port->pending.end()) {
    std::shared_ptr<Request> request = found->second;
    port->pending.erase(found);
    request->claimed = true;
    // What the device has already delivered is not undone by a cancel
    // that comes after it, as a host controller's done transfers are not.
    bool delivered;
    {
      std::lock_guard guard(request->result_lock);
      delivered = request->has_result && request->due <= port->now();
    }
    if (delivered) {
      port->enqueue_locked({request, true, USBD_STATUS_SUCCESS, true}, 0);
    } else {
      request->notify_device =
          request->transfer && request->transfer->abort() && port->plugged;
      port->enqueue_locked({request, false, USBD_STATUS_CANCELED}, kFrame);
    }
  }
  KeReleaseSpinLock(&port->lock, irql);
  port->kick();
}

void CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBus::Port *port = port_of_device(device);
  KIRQL irql;
  KeAcquireSpinLock(&port->lock, &irql);
  if (port->wait_wake == irp)
    port->wait_wake = nullptr;
  KeReleaseSpinLock(&port->lock, irql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void CompletionThread(PVOID context) {
  // The thread keeps its port alive until it has returned.
  std::shared_ptr<UsbBus::Port> port =
      static_cast<UsbBus::Port *>(context)->shared_from_this();
  port->thread_main();
}

// --- the bus interface (USBDI version 1)

UsbBus::Port *bus_context(PVOID context) {
  return static_cast<UsbBus::Port *>(context);
}

void BusInterfaceReference(PVOID context) {
  InterlockedIncrement(&bus_context(context)->interface_references);
}

void BusInterfaceDereference(PVOID context) {
  InterlockedDecrement(&bus_context(context)->interface_references);
}

void BusGetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION version,
                        PULONG capabilities) {
  (void)context;
  if (version != nullptr)
    USBD_GetUSBDIVersion(version);
  if (capabilities != nullptr)
    *capabilities = 0;
}

NTSTATUS BusQueryBusTime(PVOID context, PULONG frame) {
  if (frame == nullptr)
    return STATUS_INVALID_PARAMETER;
  *frame = static_cast<ULONG>(bus_context(context)->now() / 10000);
  return STATUS_SUCCESS;
}

NTSTATUS BusSubmitIsoOutUrb(PVOID context, PURB urb) {
  (void)context;
  (void)urb;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS BusQueryBusInformation(PVOID context, ULONG level, PVOID buffer,
                                PULONG buffer_length, PULONG actual_length) {
  (void)context;
  if (level != 0)
    return STATUS_NOT_SUPPORTED;
  if (buffer_length == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (actual_length != nullptr)
    *actual_length = sizeof(USB_BUS_INFORMATION_LEVEL_0);
  if (buffer == nullptr || *buffer_length < sizeof(USB_BUS_INFORMATION_LEVEL_0))
    return STATUS_BUFFER_TOO_SMALL;
  auto *information = static_cast<PUSB_BUS_INFORMATION_LEVEL_0>(buffer);
  information->TotalBandwidth = 12'000'000;
  information->ConsumedBandwidth = 0;
  *buffer_length = sizeof(USB_BUS_INFORMATION_LEVEL_0);
  return STATUS_SUCCESS;
}

BOOLEAN BusIsDeviceHighSpeed(PVOID context) {
  Speed speed = bus_context(context)->device->speed();
  return speed == Speed::High || speed == Speed::Super ? TRUE : FALSE;
}

// Transfer URBs share this prefix after the header.
struct TransferFields {
  ULONG *flags;
  ULONG *length;
  PVOID *buffer;
  PMDL *mdl;
};

} // namespace

// ---------------------------------------------------------------------------
// Completion queue and the completion thread

void UsbBus::Port::enqueue_locked(Completion completion, std::uint64_t delay) {
  if (thread_ended)
    return;
  queue.emplace(std::pair{now() + delay, sequence++}, std::move(completion));
}

bool UsbBus::Port::claim_locked(Request &request) {
  if (request.claimed)
    return false;
  if (IoSetCancelRoutine(request.irp, nullptr) == nullptr)
    return false; // its cancel routine runs and takes it
  request.claimed = true;
  pending.erase(request.id);
  return true;
}

template <typename Match>
std::size_t UsbBus::Port::fail_pending_locked(USBD_STATUS status, Match match) {
  std::vector<std::shared_ptr<Request>> chosen;
  for (auto &[id, request] : pending)
    if (match(*request))
      chosen.push_back(request);
  std::size_t count = 0;
  for (auto &request : chosen) {
    if (!claim_locked(*request))
      continue;
    request->notify_device =
        request->transfer && request->transfer->abort() && plugged;
    enqueue_locked({request, false, status},
                   status == USBD_STATUS_CANCELED ? kFrame : 0);
    ++count;
  }
  return count;
}

void UsbBus::Port::thread_main() {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    std::uint64_t current = now();
    if (!queue.empty() && queue.begin()->first.first <= current) {
      Completion completion = std::move(queue.begin()->second);
      queue.erase(queue.begin());
      KeReleaseSpinLock(&lock, irql);
      process(completion);
      continue;
    }
    if (stopping && queue.empty()) {
      thread_ended = true;
      KeReleaseSpinLock(&lock, irql);
      break;
    }
    std::optional<std::uint64_t> wait;
    if (!queue.empty())
      wait = queue.begin()->first.first - current;
    KeReleaseSpinLock(&lock, irql);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(wait.value_or(0));
    KeWaitForSingleObject(&work, Executive, KernelMode, FALSE,
                          wait ? &timeout : nullptr);
  }
  if (locked(*this, &Port::delete_on_exit))
    wait_for_detach_and_delete();
}

void UsbBus::Port::process(Completion &completion) {
  Request &request = *completion.request;
  if (completion.device_result) {
    if (!completion.claimed) {
      KIRQL irql;
      KeAcquireSpinLock(&lock, &irql);
      bool mine = claim_locked(request);
      KeReleaseSpinLock(&lock, irql);
      if (!mine)
        return;
    }
    TransferResult result;
    {
      std::lock_guard guard(request.result_lock);
      result = std::move(request.result);
    }
    finish(request, &result, result.status, true);
    return;
  }
  if (request.notify_device && request.transfer)
    device->cancelled(request.transfer);
  finish(request, nullptr, completion.status, true);
}

// ---------------------------------------------------------------------------
// Completion of one request

bool UsbBus::Port::commit_locked(Request &request) {
  // Transfers on pipes that go away end first, as the host controller
  // closes the endpoints.
  std::vector<USBD_PIPE_HANDLE> closing;
  for (const auto &[handle, pipe] : pipes)
    if (request.kind == Request::Kind::SelectConfiguration ||
        pipe.interface == request.staged.front().interface.number)
      closing.push_back(handle);
  fail_pending_locked(USBD_STATUS_CANCELED, [&](const Request &other) {
    return other.pipe != nullptr && std::find(closing.begin(), closing.end(),
                                              other.pipe) != closing.end();
  });
  for (USBD_PIPE_HANDLE handle : closing)
    pipes.erase(handle);
  if (request.kind == Request::Kind::SelectConfiguration) {
    configuration = request.configuration;
    configuration_handle =
        request.configuration ? make_handle(next_handle++) : nullptr;
  }
  bool write = !request.urb_pooled || bus.kernel_.pool().owns(request.urb);
  for (const auto &staged : request.staged) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
        reinterpret_cast<PUCHAR>(request.urb) + staged.offset);
    const InterfaceInfo &interface = staged.interface;
    if (write) {
      info->Class = interface.interface_class;
      info->SubClass = interface.interface_subclass;
      info->Protocol = interface.interface_protocol;
      info->InterfaceHandle = make_handle(next_handle++);
      info->NumberOfPipes = static_cast<ULONG>(interface.endpoints.size());
    }
    for (std::size_t i = 0; i < interface.endpoints.size(); ++i) {
      const EndpointInfo &endpoint = interface.endpoints[i];
      USBD_PIPE_HANDLE handle = make_handle(next_handle++);
      pipes[handle] = {endpoint, interface.number};
      if (!write)
        continue;
      USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
      pipe.MaximumPacketSize = endpoint.max_packet;
      pipe.EndpointAddress = endpoint.address;
      pipe.Interval = endpoint.interval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.type());
      pipe.PipeHandle = handle;
      // The bus sets no limit of its own: the client's choice stands.
      if (pipe.MaximumTransferSize == 0)
        pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
  }
  if (write && request.kind == Request::Kind::SelectConfiguration)
    request.urb->UrbSelectConfiguration.ConfigurationHandle =
        configuration_handle;
  return write;
}

NTSTATUS UsbBus::Port::finish(Request &request, const TransferResult *result,
                              USBD_STATUS status, bool from_thread) {
  PIRP irp = request.irp;
  PURB urb = request.urb;
  auto &pool = bus.kernel_.pool();
  bool urb_alive = !request.urb_pooled || pool.owns(urb);
  if (!urb_alive)
    report("URB " + kernel::format_address(urb) +
           " was freed while its request was still with the bus driver");

  if (result != nullptr && request.kind == Request::Kind::Data) {
    bool buffer_alive = !request.buffer_pooled || pool.owns(request.buffer);
    if (!buffer_alive)
      report("transfer buffer " + kernel::format_address(request.buffer) +
             " was freed while its URB was still with the bus driver");
    ULONG moved = 0;
    if (request.in) {
      std::size_t delivered = result->data.size();
      moved =
          static_cast<ULONG>(std::min<std::size_t>(delivered, request.length));
      if (buffer_alive && moved > 0)
        std::memcpy(request.buffer, result->data.data(), moved);
      if (delivered > request.length && USBD_SUCCESS(status))
        status = USBD_STATUS_BABBLE_DETECTED;
      // A short packet ends the transfer early: an error unless the
      // client allowed it.
      if (USBD_SUCCESS(status) && moved < request.length && !request.short_ok)
        status = USBD_STATUS_DATA_UNDERRUN;
    } else {
      moved = std::min(
          result->accepted.value_or(USBD_SUCCESS(status) ? request.length : 0),
          request.length);
    }
    if (urb_alive)
      *request.length_field = moved;
  } else if (request.kind == Request::Kind::Data && urb_alive) {
    *request.length_field = 0;
  }

  if ((request.kind == Request::Kind::SelectConfiguration ||
       request.kind == Request::Kind::SelectInterface) &&
      result != nullptr && USBD_SUCCESS(status)) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    bool still_plugged = plugged && !surprise_removed;
    if (still_plugged)
      commit_locked(request);
    else
      status = USBD_STATUS_DEVICE_GONE;
    KeReleaseSpinLock(&lock, irql);
    kick(); // the transfers on closed pipes
  }

  if (urb_alive) {
    urb->UrbHeader.Status = status;
    urb->UrbHeader.UsbdDeviceHandle = pdo;
  }
  NTSTATUS completed = nt_status(status);
  irp->IoStatus.Status = completed;
  irp->IoStatus.Information = 0;
  if (from_thread) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(irql);
  } else {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return completed;
}

// ---------------------------------------------------------------------------
// IRP_MJ_INTERNAL_DEVICE_CONTROL

NTSTATUS UsbBus::Port::complete_now(PIRP irp, PURB urb, USBD_STATUS status) {
  if (urb != nullptr) {
    urb->UrbHeader.Status = status;
    urb->UrbHeader.UsbdDeviceHandle = pdo;
  }
  NTSTATUS result = nt_status(status);
  irp->IoStatus.Status = result;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return result;
}

NTSTATUS UsbBus::Port::internal_device_control(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
  case IOCTL_INTERNAL_USB_SUBMIT_URB:
    return submit_urb(irp,
                      static_cast<PURB>(stack->Parameters.Others.Argument1));
  case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
    auto *status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
    NTSTATUS result = STATUS_INVALID_PARAMETER;
    if (status != nullptr) {
      KIRQL irql;
      KeAcquireSpinLock(&lock, &irql);
      bool connected_now = plugged && !surprise_removed;
      KeReleaseSpinLock(&lock, irql);
      *status = connected_now ? USBD_PORT_CONNECTED | USBD_PORT_ENABLED : 0;
      result = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = result;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
  }
  default:
    // Port reset and cycle are not modelled: said so, not pretended.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS UsbBus::Port::submit_urb(PIRP irp, PURB urb) {
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    bool gone = !plugged || surprise_removed;
    bool ready = started;
    KeReleaseSpinLock(&lock, irql);
    if (gone)
      return complete_now(irp, urb, USBD_STATUS_DEVICE_GONE);
    if (!ready) {
      urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
      irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_DEVICE_NOT_READY;
    }
  }

  auto &pool = bus.kernel_.pool();
  auto request = std::make_shared<Request>();
  request->irp = irp;
  request->urb = urb;
  request->urb_pooled = pool.owns(urb);
  USHORT function = urb->UrbHeader.Function;
  ULONG length = urb->UrbHeader.Length;
  if (auto block = pool.size_of(urb); block && *block < length) {
    report("URB " + kernel::format_address(urb) + " claims " +
           std::to_string(length) + " bytes in a pool block of " +
           std::to_string(*block));
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }

  auto too_short = [&](std::size_t size) { return length < size; };
  std::optional<SetupPacket> setup;
  TransferFields fields{};
  std::uint8_t recipient = BMREQUEST_TO_DEVICE;
  bool descriptor = false;

  switch (function) {
  case URB_FUNCTION_SELECT_CONFIGURATION:
    if (too_short(offsetof(URB, UrbSelectConfiguration.Interface)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    return select_configuration(request);
  case URB_FUNCTION_SELECT_INTERFACE:
    if (too_short(offsetof(URB, UrbSelectInterface.Interface.Pipes)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    return select_interface(request);
  case URB_FUNCTION_ABORT_PIPE:
    if (too_short(sizeof(_URB_PIPE_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    return abort_pipe(request);
  case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
  case URB_FUNCTION_SYNC_RESET_PIPE:
  case URB_FUNCTION_SYNC_CLEAR_STALL: {
    if (too_short(sizeof(_URB_PIPE_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    auto found = pipes.find(urb->UrbPipeRequest.PipeHandle);
    std::optional<EndpointInfo> endpoint;
    if (found != pipes.end())
      endpoint = found->second.endpoint;
    KeReleaseSpinLock(&lock, irql);
    if (!endpoint)
      return complete_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (function == URB_FUNCTION_SYNC_RESET_PIPE)
      return complete_now(irp, urb, USBD_STATUS_SUCCESS);
    request->kind = Request::Kind::Plain;
    UsbTransfer::Request clear;
    clear.setup = SetupPacket{BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                              USB_FEATURE_ENDPOINT_STALL, endpoint->address, 0};
    return start(request, std::move(clear));
  }
  case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
    if (too_short(sizeof(_URB_GET_CURRENT_FRAME_NUMBER)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    urb->UrbGetCurrentFrameNumber.FrameNumber =
        static_cast<ULONG>(now() / 10000);
    return complete_now(irp, urb, USBD_STATUS_SUCCESS);

  case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
    if (too_short(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto &transfer = urb->UrbBulkOrInterruptTransfer;
    fields = {&transfer.TransferFlags, &transfer.TransferBufferLength,
              &transfer.TransferBuffer, &transfer.TransferBufferMDL};
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    auto found = pipes.find(transfer.PipeHandle);
    std::optional<EndpointInfo> endpoint;
    if (found != pipes.end())
      endpoint = found->second.endpoint;
    KeReleaseSpinLock(&lock, irql);
    if (!endpoint)
      return complete_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (endpoint->type() != USB_ENDPOINT_TYPE_BULK &&
        endpoint->type() != USB_ENDPOINT_TYPE_INTERRUPT)
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    request->pipe = transfer.PipeHandle;
    // The endpoint decides the direction; the flag follows it, as the
    // host controller driver sets it.
    if (endpoint->in())
      transfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    else
      transfer.TransferFlags &= ~ULONG{USBD_TRANSFER_DIRECTION_IN};
    break;
  }
  case URB_FUNCTION_CONTROL_TRANSFER: {
    if (too_short(sizeof(_URB_CONTROL_TRANSFER)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto &transfer = urb->UrbControlTransfer;
    if (transfer.PipeHandle != nullptr &&
        !(transfer.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    fields = {&transfer.TransferFlags, &transfer.TransferBufferLength,
              &transfer.TransferBuffer, &transfer.TransferBufferMDL};
    const UCHAR *packet = transfer.SetupPacket;
    setup =
        SetupPacket{packet[0], packet[1],
                    static_cast<std::uint16_t>(packet[2] | packet[3] << 8),
                    static_cast<std::uint16_t>(packet[4] | packet[5] << 8), 0};
    // The data stage's direction is the flag's; the packet follows it.
    if (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN)
      setup->request_type |= 0x80;
    else
      setup->request_type &= 0x7F;
    break;
  }
  case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
  case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
  case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
    if (too_short(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto &transfer = urb->UrbControlDescriptorRequest;
    fields = {&transfer.Reserved0, &transfer.TransferBufferLength,
              &transfer.TransferBuffer, &transfer.TransferBufferMDL};
    recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
                    ? BMREQUEST_TO_DEVICE
                : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE
                    ? BMREQUEST_TO_INTERFACE
                    : BMREQUEST_TO_ENDPOINT;
    setup = SetupPacket{static_cast<std::uint8_t>(0x80 | recipient),
                        USB_REQUEST_GET_DESCRIPTOR,
                        USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(
                            transfer.DescriptorType, transfer.Index),
                        transfer.LanguageId, 0};
    descriptor = true;
    break;
  }
  case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
  case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
  case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
  case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
    if (too_short(sizeof(_URB_CONTROL_GET_STATUS_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto &transfer = urb->UrbControlGetStatusRequest;
    fields = {&transfer.Reserved0, &transfer.TransferBufferLength,
              &transfer.TransferBuffer, &transfer.TransferBufferMDL};
    recipient = static_cast<std::uint8_t>(function -
                                          URB_FUNCTION_GET_STATUS_FROM_DEVICE);
    if (function == URB_FUNCTION_GET_STATUS_FROM_OTHER)
      recipient = BMREQUEST_TO_OTHER;
    setup = SetupPacket{static_cast<std::uint8_t>(0x80 | recipient),
                        USB_REQUEST_GET_STATUS, 0, transfer.Index, 0};
    break;
  }
  case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
  case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
  case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
  case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
  case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
  case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
    if (too_short(sizeof(_URB_CONTROL_FEATURE_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
    recipient = static_cast<std::uint8_t>(
        function - (set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE
                        : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE));
    auto &feature = urb->UrbControlFeatureRequest;
    UsbTransfer::Request plain;
    plain.setup =
        SetupPacket{recipient,
                    static_cast<std::uint8_t>(set ? USB_REQUEST_SET_FEATURE
                                                  : USB_REQUEST_CLEAR_FEATURE),
                    feature.FeatureSelector, feature.Index, 0};
    request->kind = Request::Kind::Plain;
    return start(request, std::move(plain));
  }
  case URB_FUNCTION_VENDOR_DEVICE:
  case URB_FUNCTION_VENDOR_INTERFACE:
  case URB_FUNCTION_VENDOR_ENDPOINT:
  case URB_FUNCTION_VENDOR_OTHER:
  case URB_FUNCTION_CLASS_DEVICE:
  case URB_FUNCTION_CLASS_INTERFACE:
  case URB_FUNCTION_CLASS_ENDPOINT:
  case URB_FUNCTION_CLASS_OTHER: {
    if (too_short(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto &transfer = urb->UrbControlVendorClassRequest;
    fields = {&transfer.TransferFlags, &transfer.TransferBufferLength,
              &transfer.TransferBuffer, &transfer.TransferBufferMDL};
    bool vendor = function == URB_FUNCTION_VENDOR_DEVICE ||
                  function == URB_FUNCTION_VENDOR_INTERFACE ||
                  function == URB_FUNCTION_VENDOR_ENDPOINT ||
                  function == URB_FUNCTION_VENDOR_OTHER;
    switch (function) {
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
      recipient = BMREQUEST_TO_INTERFACE;
      break;
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
      recipient = BMREQUEST_TO_ENDPOINT;
      break;
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
      recipient = BMREQUEST_TO_OTHER;
      break;
    default:
      recipient = BMREQUEST_TO_DEVICE;
    }
    bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    setup = SetupPacket{static_cast<std::uint8_t>(
                            (in ? 0x80 : 0) |
                            (vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) << 5 |
                            recipient),
                        transfer.Request, transfer.Value, transfer.Index, 0};
    break;
  }
  case URB_FUNCTION_GET_CONFIGURATION:
  case URB_FUNCTION_GET_INTERFACE: {
    bool configuration_request = function == URB_FUNCTION_GET_CONFIGURATION;
    if (too_short(configuration_request
                      ? sizeof(_URB_CONTROL_GET_CONFIGURATION_REQUEST)
                      : sizeof(_URB_CONTROL_GET_INTERFACE_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto &transfer = urb->UrbControlGetInterfaceRequest;
    fields = {&transfer.Reserved0, &transfer.TransferBufferLength,
              &transfer.TransferBuffer, &transfer.TransferBufferMDL};
    setup = configuration_request
                ? SetupPacket{0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 0}
                : SetupPacket{0x81, USB_REQUEST_GET_INTERFACE, 0,
                              transfer.Interface, 0};
    break;
  }
  case URB_FUNCTION_ISOCH_TRANSFER:
  case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
  case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
  case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
  case URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL:
  case URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL:
  case URB_FUNCTION_GET_FRAME_LENGTH:
  case URB_FUNCTION_SET_FRAME_LENGTH:
  case URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR:
  case URB_FUNCTION_CONTROL_TRANSFER_EX:
    return complete_now(irp, urb, USBD_STATUS_NOT_SUPPORTED);
  default:
    return complete_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  }

  // A transfer with a data stage: check the client's buffer.
  ULONG data_length = *fields.length;
  if (*fields.mdl != nullptr && *fields.buffer == nullptr)
    return complete_now(irp, urb, USBD_STATUS_NOT_SUPPORTED); // no MDLs here
  if (data_length > 0 && *fields.buffer == nullptr)
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  if (setup && data_length > 0xFFFF)
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  auto *buffer = static_cast<PUCHAR>(*fields.buffer);
  if (auto block = pool.size_of(buffer); block && *block < data_length) {
    report("transfer buffer " + kernel::format_address(buffer) + " of " +
           std::to_string(*block) + " bytes given for " +
           std::to_string(data_length) + " bytes");
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  request->kind = Request::Kind::Data;
  request->buffer = buffer;
  request->buffer_pooled = pool.owns(buffer);
  request->length = data_length;
  request->length_field = fields.length;

  UsbTransfer::Request transaction;
  if (setup) {
    setup->length = static_cast<std::uint16_t>(data_length);
    request->in = setup->in();
    request->short_ok =
        descriptor || (*fields.flags & USBD_SHORT_TRANSFER_OK) != 0;
    transaction.setup = setup;
  } else {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    auto found = pipes.find(request->pipe);
    EndpointInfo endpoint =
        found != pipes.end() ? found->second.endpoint : EndpointInfo{};
    KeReleaseSpinLock(&lock, irql);
    transaction.type = static_cast<TransferType>(endpoint.type());
    transaction.endpoint = endpoint.address;
    request->in = endpoint.in();
    request->short_ok = (*fields.flags & USBD_SHORT_TRANSFER_OK) != 0;
  }
  if (request->in)
    transaction.endpoint |= 0x80;
  else if (data_length > 0)
    transaction.out.assign(buffer, buffer + data_length);
  transaction.length = data_length;
  transaction.short_ok = request->short_ok;
  return start(request, std::move(transaction));
}

// Hands the transaction to the device, then completes the request at once
// if the device did, or pends it.
NTSTATUS UsbBus::Port::start(const std::shared_ptr<Request> &request,
                             UsbTransfer::Request transaction) {
  PIRP irp = request->irp;
  std::weak_ptr<Request> weak_request = request;
  std::weak_ptr<Port> weak_port = shared_from_this();
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  request->id = next_request++;
  KeReleaseSpinLock(&lock, irql);
  request->transfer = std::make_shared<UsbTransfer>(
      request->id, std::move(transaction),
      [weak_request, weak_port](TransferResult result, std::uint64_t delay) {
        auto request = weak_request.lock();
        auto port = weak_port.lock();
        if (!request || !port)
          return;
        {
          std::lock_guard guard(request->result_lock);
          request->result = std::move(result);
          request->delay = delay;
          request->due = port->now() + delay;
          request->has_result = true;
          if (request->window_open)
            return; // the dispatch routine takes it
        }
        KIRQL irql;
        KeAcquireSpinLock(&port->lock, &irql);
        port->enqueue_locked({request, true, USBD_STATUS_SUCCESS}, delay);
        KeReleaseSpinLock(&port->lock, irql);
        port->kick();
      });

  device->submit(request->transfer);

  KeAcquireSpinLock(&lock, &irql);
  bool gone = !plugged || surprise_removed;
  bool answered = false;
  std::uint64_t delay = 0;
  {
    std::lock_guard guard(request->result_lock);
    request->window_open = false;
    answered = request->has_result;
    delay = request->delay;
  }
  if (gone) {
    KeReleaseSpinLock(&lock, irql);
    request->transfer->abort();
    return finish(*request, nullptr, USBD_STATUS_DEVICE_GONE, false);
  }
  if (answered && delay == 0) {
    KeReleaseSpinLock(&lock, irql);
    TransferResult result;
    {
      std::lock_guard guard(request->result_lock);
      result = std::move(request->result);
    }
    return finish(*request, &result, result.status, false);
  }
  pending[request->id] = request;
  // An id, never dereferenced.
  // NOLINTBEGIN(performance-no-int-to-ptr)
  irp->Tail.Overlay.DriverContext[0] =
      reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(request->id));
  // NOLINTEND(performance-no-int-to-ptr)
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelRequest);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    pending.erase(request->id);
    request->claimed = true;
    request->notify_device = request->transfer->abort();
    enqueue_locked({request, false, USBD_STATUS_CANCELED}, kFrame);
  } else if (answered) {
    enqueue_locked({request, true, USBD_STATUS_SUCCESS}, delay);
  }
  KeReleaseSpinLock(&lock, irql);
  kick();
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Select configuration and interface, abort pipe

bool UsbBus::Port::stage_interface(Request &request,
                                   PUSBD_INTERFACE_INFORMATION info,
                                   const ConfigurationInfo &configuration,
                                   USBD_STATUS *status) {
  const InterfaceInfo *interface =
      configuration.find(info->InterfaceNumber, info->AlternateSetting);
  if (interface == nullptr) {
    *status = USBD_STATUS_INTERFACE_NOT_FOUND;
    return false;
  }
  if (info->Length < interface_information_size(interface->endpoints.size())) {
    *status = USBD_STATUS_BUFFER_TOO_SMALL;
    return false;
  }
  request.staged.push_back(
      {static_cast<std::size_t>(reinterpret_cast<PUCHAR>(info) -
                                reinterpret_cast<PUCHAR>(request.urb)),
       *interface});
  return true;
}

NTSTATUS
UsbBus::Port::select_configuration(const std::shared_ptr<Request> &request) {
  PURB urb = request->urb;
  request->kind = Request::Kind::SelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR descriptor =
      urb->UrbSelectConfiguration.ConfigurationDescriptor;
  UsbTransfer::Request set;
  if (descriptor == nullptr) {
    set.setup = SetupPacket{0, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
    return start(request, std::move(set));
  }

  std::size_t total = descriptor->wTotalLength;
  if (auto block = bus.kernel_.pool().size_of(descriptor);
      block && *block < total) {
    report("select configuration with a descriptor whose wTotalLength " +
           std::to_string(total) + " runs past its pool block of " +
           std::to_string(*block) + " bytes");
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  auto parsed = parse_configuration(
      {reinterpret_cast<const std::uint8_t *>(descriptor), total});
  if (!parsed)
    return complete_now(request->irp, urb,
                        USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);

  // The interface list: bNumInterfaces entries, or as many as the URB's
  // length holds, each entry as long as its Length says.
  PUCHAR at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  std::size_t entries = 0;
  while (entries < parsed->declared_interfaces &&
         at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        info->Length > end - at)
      return complete_now(request->irp, urb, USBD_STATUS_INVALID_PARAMETER);
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (!stage_interface(*request, info, *parsed, &status))
      return complete_now(request->irp, urb, status);
    at += info->Length;
    ++entries;
  }
  if (entries == 0)
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PARAMETER);
  request->configuration = parsed;
  set.setup =
      SetupPacket{0, USB_REQUEST_SET_CONFIGURATION, parsed->value, 0, 0};
  return start(request, std::move(set));
}

NTSTATUS
UsbBus::Port::select_interface(const std::shared_ptr<Request> &request) {
  PURB urb = request->urb;
  request->kind = Request::Kind::SelectInterface;
  auto &select = urb->UrbSelectInterface;
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  std::optional<ConfigurationInfo> current = configuration;
  USBD_CONFIGURATION_HANDLE handle = configuration_handle;
  KeReleaseSpinLock(&lock, irql);
  if (!current || handle == nullptr || select.ConfigurationHandle != handle)
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PARAMETER);
  std::size_t room =
      urb->UrbHeader.Length - offsetof(URB, UrbSelectInterface.Interface);
  if (select.Interface.Length > room)
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PARAMETER);
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if (!stage_interface(*request, &select.Interface, *current, &status))
    return complete_now(request->irp, urb, status);
  UsbTransfer::Request set;
  set.setup = SetupPacket{BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE,
                          select.Interface.AlternateSetting,
                          select.Interface.InterfaceNumber, 0};
  return start(request, std::move(set));
}

// The aborted transfers complete first; the abort after them, so that a
// client may free their buffers once the abort is back.
NTSTATUS UsbBus::Port::abort_pipe(const std::shared_ptr<Request> &request) {
  PURB urb = request->urb;
  USBD_PIPE_HANDLE pipe = urb->UrbPipeRequest.PipeHandle;
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  if (pipes.find(pipe) == pipes.end()) {
    KeReleaseSpinLock(&lock, irql);
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  request->kind = Request::Kind::Plain;
  request->id = next_request++;
  request->claimed = true;
  fail_pending_locked(USBD_STATUS_CANCELED,
                      [&](const Request &other) { return other.pipe == pipe; });
  IoMarkIrpPending(request->irp);
  enqueue_locked({request, false, USBD_STATUS_SUCCESS}, kFrame);
  KeReleaseSpinLock(&lock, irql);
  kick();
  return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// IRP_MJ_PNP

NTSTATUS UsbBus::Port::pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  KIRQL irql;
  switch (stack->MinorFunction) {
  case IRP_MN_START_DEVICE:
    KeAcquireSpinLock(&lock, &irql);
    started = true;
    removed = false;
    KeReleaseSpinLock(&lock, irql);
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_STOP_DEVICE:
    KeAcquireSpinLock(&lock, &irql);
    started = false;
    KeReleaseSpinLock(&lock, irql);
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_SURPRISE_REMOVAL:
    KeAcquireSpinLock(&lock, &irql);
    surprise_removed = true;
    fail_pending_locked(USBD_STATUS_DEVICE_GONE,
                        [](const Request &) { return true; });
    KeReleaseSpinLock(&lock, irql);
    kick();
    complete_wait_wake(STATUS_NO_SUCH_DEVICE);
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_REMOVE_DEVICE:
    return remove(irp);
  case IRP_MN_QUERY_CAPABILITIES:
    return query_capabilities(irp);
  case IRP_MN_QUERY_ID:
    return query_id(irp);
  case IRP_MN_QUERY_INTERFACE:
    return query_interface(irp);
  default:
    break; // not this PDO's to answer: the status stays as it came
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::Port::remove(PIRP irp) {
  std::shared_ptr<Port> self = shared_from_this();
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  started = false;
  removed = true;
  std::size_t left = fail_pending_locked(plugged ? USBD_STATUS_CANCELED
                                                 : USBD_STATUS_DEVICE_GONE,
                                         [](const Request &) { return true; });
  pipes.clear();
  configuration.reset();
  configuration_handle = nullptr;
  bool gone = !plugged;
  KeReleaseSpinLock(&lock, irql);
  kick();
  if (left > 0)
    report(std::to_string(left) +
           " URB requests still pending at their PDO's IRP_MN_REMOVE_DEVICE "
           "(the function driver must cancel them first)");
  complete_wait_wake(STATUS_NO_SUCH_DEVICE);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (!gone)
    return STATUS_SUCCESS; // a present device keeps its PDO

  // Physically gone: the PDO goes too, once its completions are out.
  KeAcquireSpinLock(&lock, &irql);
  stopping = true;
  bool attached = pdo->AttachedDevice != nullptr;
  delete_on_exit = attached;
  KeReleaseSpinLock(&lock, irql);
  kick();
  if (attached)
    return STATUS_SUCCESS; // the thread deletes it once it is detached
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  thread = nullptr;
  IoDeleteDevice(pdo);
  bus.forget(pdo);
  return STATUS_SUCCESS;
}

// The function driver above passes REMOVE down before it detaches: give it
// time to, then delete (a driver that never detaches is reported by the
// I/O manager).
void UsbBus::Port::wait_for_detach_and_delete() {
  std::shared_ptr<Port> self = shared_from_this();
  for (int tries = 0; tries < 10'000 &&
                      __atomic_load_n(&pdo->AttachedDevice, __ATOMIC_ACQUIRE);
       ++tries) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000; // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  IoDeleteDevice(pdo);
  PKTHREAD object = thread;
  thread = nullptr;
  ObDereferenceObject(object);
  bus.forget(pdo);
}

NTSTATUS UsbBus::Port::query_capabilities(PIRP irp) {
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(irp)
          ->Parameters.DeviceCapabilities.Capabilities;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (capabilities != nullptr && capabilities->Version == 1 &&
      capabilities->Size >= sizeof(DEVICE_CAPABILITIES)) {
    const UsbDescriptors &descriptors = device->descriptors();
    bool wake = !descriptors.configurations.empty() &&
                descriptors.configurations[0].size() > 7 &&
                (descriptors.configurations[0][7] & USB_CONFIG_REMOTE_WAKEUP);
    bool serial = descriptors.device.size() > 16 &&
                  descriptors.device[16] != 0 &&
                  descriptors.strings.count(descriptors.device[16]) != 0;
    capabilities->DeviceD1 = 0;
    capabilities->DeviceD2 = 1;
    capabilities->LockSupported = 0;
    capabilities->EjectSupported = 0;
    capabilities->Removable = 1;
    capabilities->DockDevice = 0;
    capabilities->UniqueID = serial ? 1 : 0;
    capabilities->SurpriseRemovalOK = 0;
    capabilities->WakeFromD0 = 0;
    capabilities->WakeFromD1 = 0;
    capabilities->WakeFromD2 = wake ? 1 : 0;
    capabilities->WakeFromD3 = 0;
    capabilities->Address = number;
    capabilities->UINumber = number;
    DEVICE_POWER_STATE sleep = wake ? PowerDeviceD2 : PowerDeviceD3;
    capabilities->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    capabilities->DeviceState[PowerSystemSleeping1] = sleep;
    capabilities->DeviceState[PowerSystemSleeping2] = sleep;
    capabilities->DeviceState[PowerSystemSleeping3] = sleep;
    capabilities->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    capabilities->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    capabilities->SystemWake =
        wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
    capabilities->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
    capabilities->D1Latency = 0;
    capabilities->D2Latency = 0;
    capabilities->D3Latency = 0;
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::Port::query_id(PIRP irp) {
  const UsbDescriptors &descriptors = device->descriptors();
  const Bytes &d = descriptors.device;
  auto word = [&](std::size_t at) {
    return d.size() > at + 1 ? static_cast<unsigned>(d[at] | d[at + 1] << 8)
                             : 0u;
  };
  unsigned vendor = word(8), product = word(10), release = word(12);
  unsigned cls = d.size() > 4 ? d[4] : 0, subclass = d.size() > 5 ? d[5] : 0,
           protocol = d.size() > 6 ? d[6] : 0;
  if (cls == 0 && !descriptors.configurations.empty()) {
    if (auto parsed = parse_configuration(descriptors.configurations[0]);
        parsed && !parsed->interfaces.empty()) {
      cls = parsed->interfaces[0].interface_class;
      subclass = parsed->interfaces[0].interface_subclass;
      protocol = parsed->interfaces[0].interface_protocol;
    }
  }
  std::vector<std::string> ids;
  char text[64];
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
  case BusQueryDeviceID:
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
    ids.emplace_back(text);
    break;
  case BusQueryHardwareIDs:
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", vendor,
                  product, release);
    ids.emplace_back(text);
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
    ids.emplace_back(text);
    ids.emplace_back(); // MULTI_SZ end
    break;
  case BusQueryCompatibleIDs:
    std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X&Prot_%02X",
                  cls, subclass, protocol);
    ids.emplace_back(text);
    std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X", cls,
                  subclass);
    ids.emplace_back(text);
    std::snprintf(text, sizeof text, "USB\\Class_%02X", cls);
    ids.emplace_back(text);
    ids.emplace_back();
    break;
  case BusQueryInstanceID: {
    std::string instance = std::to_string(number);
    std::uint8_t serial = d.size() > 16 ? d[16] : 0;
    auto found = descriptors.strings.find(serial);
    if (serial != 0 && found != descriptors.strings.end() &&
        found->second.size() > 2) {
      instance.clear();
      for (std::size_t at = 2; at + 1 < found->second.size(); at += 2)
        instance.push_back(static_cast<char>(found->second[at]));
    }
    ids.push_back(instance);
    break;
  }
  default: {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  }
  std::u16string wide;
  for (const auto &id : ids) {
    wide.append(id.begin(), id.end());
    wide.push_back(u'\0');
  }
  std::size_t bytes = wide.size() * sizeof(char16_t);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (void *buffer = ExAllocatePoolWithTag(PagedPool, bytes, kBusTag)) {
    std::memcpy(buffer, wide.data(), bytes);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::Port::query_interface(PIRP irp) {
  auto &query = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
  NTSTATUS status = irp->IoStatus.Status;
  if (query.InterfaceType != nullptr &&
      std::memcmp(query.InterfaceType, &USB_BUS_INTERFACE_USBDI_GUID,
                  sizeof(GUID)) == 0) {
    std::size_t needed = query.Version == USB_BUSIF_USBDI_VERSION_0
                             ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                             : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (query.Version > USB_BUSIF_USBDI_VERSION_1) {
      status = STATUS_NOT_SUPPORTED;
    } else if (query.Interface == nullptr || query.Size < needed) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      auto *usbdi =
          reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
      usbdi->Size = static_cast<USHORT>(needed);
      usbdi->Version = query.Version;
      usbdi->BusContext = this;
      usbdi->InterfaceReference = BusInterfaceReference;
      usbdi->InterfaceDereference = BusInterfaceDereference;
      usbdi->GetUSBDIVersion = BusGetUsbdiVersion;
      usbdi->QueryBusTime = BusQueryBusTime;
      usbdi->SubmitIsoOutUrb = BusSubmitIsoOutUrb;
      usbdi->QueryBusInformation = BusQueryBusInformation;
      if (query.Version >= USB_BUSIF_USBDI_VERSION_1)
        usbdi->IsDeviceHighSpeed = BusIsDeviceHighSpeed;
      // Handed out referenced, as every interface is.
      BusInterfaceReference(this);
      status = STATUS_SUCCESS;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------------------
// IRP_MJ_POWER. Since Windows Vista a driver need not call
// PoStartNextPowerIrp; this PDO does not.

NTSTATUS UsbBus::Port::power_request(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  KIRQL irql;
  switch (stack->MinorFunction) {
  case IRP_MN_SET_POWER:
    if (stack->Parameters.Power.Type == DevicePowerState) {
      KeAcquireSpinLock(&lock, &irql);
      power = stack->Parameters.Power.State.DeviceState;
      KeReleaseSpinLock(&lock, irql);
    }
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_QUERY_POWER:
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_WAIT_WAKE: {
    const UsbDescriptors &descriptors = device->descriptors();
    bool wake = !descriptors.configurations.empty() &&
                descriptors.configurations[0].size() > 7 &&
                (descriptors.configurations[0][7] & USB_CONFIG_REMOTE_WAKEUP);
    if (!wake) {
      status = STATUS_NOT_SUPPORTED;
      break;
    }
    if (stack->Parameters.WaitWake.PowerState > PowerSystemSleeping3) {
      status = STATUS_INVALID_DEVICE_STATE;
      break;
    }
    KeAcquireSpinLock(&lock, &irql);
    if (!plugged || surprise_removed) {
      status = STATUS_NO_SUCH_DEVICE;
    } else if (wait_wake != nullptr) {
      status = STATUS_DEVICE_BUSY;
    } else {
      wait_wake = irp;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWaitWake);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        wait_wake = nullptr;
        KeReleaseSpinLock(&lock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
      }
      KeReleaseSpinLock(&lock, irql);
      return STATUS_PENDING;
    }
    KeReleaseSpinLock(&lock, irql);
    break;
  }
  default:
    break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

bool UsbBus::Port::complete_wait_wake(NTSTATUS status) {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  PIRP irp = wait_wake;
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr)
    wait_wake = nullptr;
  else
    irp = nullptr; // none, or its cancel routine has it
  KeReleaseSpinLock(&lock, irql);
  if (irp == nullptr)
    return false;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

void UsbBus::Port::unplug() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  if (!plugged) {
    KeReleaseSpinLock(&lock, irql);
    return;
  }
  plugged = false;
  fail_pending_locked(USBD_STATUS_DEVICE_GONE,
                      [](const Request &) { return true; });
  pipes.clear();
  configuration.reset();
  configuration_handle = nullptr;
  KeReleaseSpinLock(&lock, irql);
  kick();
  complete_wait_wake(STATUS_NO_SUCH_DEVICE);
  device->detached();
  bus.notify(pdo, PortEvent::Departed);
}

// ---------------------------------------------------------------------------
// UsbBus

UsbBus::UsbBus(Kernel &kernel, const std::string &name) : kernel_(kernel) {
  driver_ = kernel_.io().create_driver(name, "usbhub");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] =
      DispatchInternalDeviceControl;
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchUnchanged;
}

UsbBus::~UsbBus() {
  std::lock_guard guard(ports_lock_);
  if (ports_.empty()) {
    kernel_.io().delete_driver(driver_);
    return;
  }
  // Devices still plugged: their PDOs and threads may still run, so their
  // ports are left alive; the kernel's teardown reports the devices.
  for (auto &[pdo, port] : ports_) {
    kernel_.verifier().report(FindingKind::DeviceLeak,
                              "USB bus destroyed while " +
                                  kernel_.io().name_of(pdo) +
                                  " still has its PDO");
    new std::shared_ptr<Port>(port); // NOLINT: deliberately leaked
  }
}

PDEVICE_OBJECT UsbBus::plug(std::shared_ptr<UsbDevice> device) {
  if (!device)
    return nullptr;
  ULONG number;
  {
    std::lock_guard guard(ports_lock_);
    number = next_port_++;
  }
  auto port = std::make_shared<Port>(*this, std::move(device), number);
  std::string name = "\\Device\\USBPDO-" + std::to_string(number - 1);
  std::u16string wide(name.begin(), name.end());
  UNICODE_STRING unicode{static_cast<USHORT>(wide.size() * 2),
                         static_cast<USHORT>(wide.size() * 2),
                         reinterpret_cast<PWSTR>(wide.data())};
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(PdoExtension), &unicode,
                                 FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                 FALSE, &pdo)))
    return nullptr;
  static_cast<PdoExtension *>(pdo->DeviceExtension)->port = port.get();
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  port->pdo = pdo;
  {
    std::lock_guard guard(ports_lock_);
    ports_[pdo] = port;
  }
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                       CompletionThread, port.get()))) {
    forget(pdo);
    IoDeleteDevice(pdo);
    return nullptr;
  }
  PVOID object = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                            &object, nullptr);
  ZwClose(handle);
  port->thread = static_cast<PKTHREAD>(object);
  port->device->attached(*port);
  notify(pdo, PortEvent::Arrived);
  return pdo;
}

void UsbBus::unplug(PDEVICE_OBJECT pdo) {
  if (auto port = port_of(pdo))
    port->unplug();
}

bool UsbBus::signal_wake(PDEVICE_OBJECT pdo) {
  auto port = port_of(pdo);
  return port && port->complete_wait_wake(STATUS_SUCCESS);
}

void UsbBus::set_listener(
    std::function<void(PDEVICE_OBJECT, PortEvent)> listener) {
  std::lock_guard guard(listener_lock_);
  listener_ = std::move(listener);
}

void UsbBus::notify(PDEVICE_OBJECT pdo, PortEvent event) {
  std::function<void(PDEVICE_OBJECT, PortEvent)> listener;
  {
    std::lock_guard guard(listener_lock_);
    listener = listener_;
  }
  if (listener)
    listener(pdo, event);
}

std::vector<PDEVICE_OBJECT> UsbBus::present() const {
  std::vector<std::shared_ptr<Port>> ports;
  {
    std::lock_guard guard(ports_lock_);
    for (const auto &[pdo, port] : ports_)
      ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(),
            [](const auto &a, const auto &b) { return a->number < b->number; });
  std::vector<PDEVICE_OBJECT> result;
  for (const auto &port : ports)
    if (locked(*port, &Port::plugged))
      result.push_back(port->pdo);
  return result;
}

bool UsbBus::owns(PDEVICE_OBJECT pdo) const {
  return port_of(pdo) != nullptr;
}

std::size_t UsbBus::pending(PDEVICE_OBJECT pdo) const {
  auto port = port_of(pdo);
  if (!port)
    return 0;
  KIRQL irql;
  KeAcquireSpinLock(&port->lock, &irql);
  std::size_t count = port->pending.size();
  KeReleaseSpinLock(&port->lock, irql);
  return count;
}

DEVICE_POWER_STATE UsbBus::power_state(PDEVICE_OBJECT pdo) const {
  auto port = port_of(pdo);
  return port ? locked(*port, &Port::power) : PowerDeviceUnspecified;
}

LONG UsbBus::interface_references(PDEVICE_OBJECT pdo) const {
  auto port = port_of(pdo);
  return port ? __atomic_load_n(&port->interface_references, __ATOMIC_ACQUIRE)
              : 0;
}

std::shared_ptr<UsbBus::Port> UsbBus::port_of(PDEVICE_OBJECT pdo) const {
  std::lock_guard guard(ports_lock_);
  auto found = ports_.find(pdo);
  return found == ports_.end() ? nullptr : found->second;
}

void UsbBus::forget(PDEVICE_OBJECT pdo) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard guard(ports_lock_);
    auto found = ports_.find(pdo);
    if (found == ports_.end())
      return;
    port = std::move(found->second);
    ports_.erase(found);
  }
  // `port` is released here, outside the lock.
}

} // namespace talvor::usb
