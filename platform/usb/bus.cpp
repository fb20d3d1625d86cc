#include "platform/usb/bus.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/scheduler.h"
#include "platform/usb/port.h"

namespace talvor::usb {

using kernel::FindingKind;
using kernel::Kernel;

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

namespace {

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return port_of_device(device)->internal_device_control(irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  return port_of_device(device)->pnp(irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  return port_of_device(device)->power(irp);
}

// WMI and the like: a PDO without a WMI provider leaves the request as it is.
NTSTATUS DispatchUnchanged(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void CompletionThread(PVOID context) {
  // The thread keeps its port alive until it has returned.
  std::shared_ptr<UsbBus::Port> port =
      static_cast<UsbBus::Port *>(context)->shared_from_this();
  port->thread_main();
}

} // namespace

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

std::size_t UsbBus::Port::fail_pending_locked(
    USBD_STATUS status, const std::function<bool(const Request &)> &match) {
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
    bool still_plugged = plugged && !is_surprise_removed;
    if (still_plugged)
      commit_locked(request);
    else
      status = USBD_STATUS_DEVICE_GONE;
    KeReleaseSpinLock(&lock, irql);
    kick(); // the transfers on closed pipes
  }

  // A stall halts a bulk or interrupt endpoint on the host side; a reset
  // that the device took ends the halt. Both before the client hears of it.
  USBD_PIPE_HANDLE halts = nullptr;
  if (result != nullptr && request.pipe != nullptr &&
      status == USBD_STATUS_STALL_PID)
    halts = request.pipe;
  USBD_PIPE_HANDLE resets =
      result != nullptr && USBD_SUCCESS(status) ? request.resets : nullptr;
  if (halts != nullptr || resets != nullptr) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (auto found = pipes.find(halts ? halts : resets); found != pipes.end())
      found->second.halted = halts != nullptr;
    KeReleaseSpinLock(&lock, irql);
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
  bool gone = !plugged || is_surprise_removed;
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

bool UsbBus::wake_pending(PDEVICE_OBJECT pdo) const {
  auto port = port_of(pdo);
  return port && port->wake_pending();
}

DEVICE_POWER_STATE UsbBus::power_state(PDEVICE_OBJECT pdo) const {
  auto port = port_of(pdo);
  return port ? port->device_state() : PowerDeviceUnspecified;
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
