// IRP_MJ_INTERNAL_DEVICE_CONTROL: each URB checked and turned into the
// transaction the device sees, or answered by the bus itself (select
// configuration and interface, pipe requests).
#include <algorithm>
#include <cstring>

#include "platform/usb/port.h"

namespace talvor::usb {

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
      bool connected_now = plugged && !is_surprise_removed;
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
    bool gone = !plugged || is_surprise_removed;
    bool ready = is_started;
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
  ULONG length = urb->UrbHeader.Length;
  if (auto block = pool.size_of(urb); block && *block < length) {
    report("URB " + kernel::format_address(urb) + " claims " +
           std::to_string(length) + " bytes in a pool block of " +
           std::to_string(*block));
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }

  auto too_short = [&](std::size_t size) { return length < size; };
  switch (urb->UrbHeader.Function) {
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
  case URB_FUNCTION_SYNC_CLEAR_STALL:
    if (too_short(sizeof(_URB_PIPE_REQUEST)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    return reset_pipe(request);
  case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
    if (too_short(sizeof(_URB_GET_CURRENT_FRAME_NUMBER)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    urb->UrbGetCurrentFrameNumber.FrameNumber =
        static_cast<ULONG>(now() / 10000);
    return complete_now(irp, urb, USBD_STATUS_SUCCESS);
  case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    if (too_short(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)))
      return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    return pipe_transfer(request);
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
    return control_transfer(request);
  }
}

std::optional<UsbBus::Port::Pipe>
UsbBus::Port::find_pipe(USBD_PIPE_HANDLE handle) const {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  auto found = pipes.find(handle);
  std::optional<Pipe> pipe;
  if (found != pipes.end())
    pipe = found->second;
  KeReleaseSpinLock(&lock, irql);
  return pipe;
}

// A bulk or interrupt transfer. A halted endpoint runs nothing until its
// client resets the pipe: the request fails at once, unseen by the device.
NTSTATUS UsbBus::Port::pipe_transfer(const std::shared_ptr<Request> &request) {
  PURB urb = request->urb;
  auto &transfer = urb->UrbBulkOrInterruptTransfer;
  std::optional<Pipe> pipe = find_pipe(transfer.PipeHandle);
  if (!pipe)
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  const EndpointInfo &endpoint = pipe->endpoint;
  if (endpoint.type() != USB_ENDPOINT_TYPE_BULK &&
      endpoint.type() != USB_ENDPOINT_TYPE_INTERRUPT)
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PARAMETER);
  if (pipe->halted) {
    transfer.TransferBufferLength = 0; // nothing moved
    return complete_now(request->irp, urb, USBD_STATUS_ENDPOINT_HALTED);
  }
  request->pipe = transfer.PipeHandle;
  // The endpoint decides the direction; the flag follows it, as the host
  // controller driver sets it.
  if (endpoint.in())
    transfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
  else
    transfer.TransferFlags &= ~ULONG{USBD_TRANSFER_DIRECTION_IN};
  UsbTransfer::Request transaction;
  transaction.type = static_cast<TransferType>(endpoint.type());
  transaction.endpoint = endpoint.address;
  request->in = endpoint.in();
  request->short_ok = (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  return submit_data(request,
                     {&transfer.TransferFlags, &transfer.TransferBufferLength,
                      &transfer.TransferBuffer, &transfer.TransferBufferMDL},
                     std::move(transaction));
}

// The control transfers on the default pipe: the URB becomes a setup packet
// and a data stage. A stall here halts nothing: the next setup packet
// clears it.
NTSTATUS
UsbBus::Port::control_transfer(const std::shared_ptr<Request> &request) {
  PIRP irp = request->irp;
  PURB urb = request->urb;
  USHORT function = urb->UrbHeader.Function;
  auto too_short = [&](std::size_t size) {
    return urb->UrbHeader.Length < size;
  };
  std::optional<SetupPacket> setup;
  TransferFields fields{};
  std::uint8_t recipient = BMREQUEST_TO_DEVICE;
  bool descriptor = false;

  switch (function) {
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
  default:
    return complete_now(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  }

  setup->length = static_cast<std::uint16_t>(
      std::min<ULONG>(*fields.length, 0xFFFF)); // a longer one is refused
  request->in = setup->in();
  request->short_ok =
      descriptor || (*fields.flags & USBD_SHORT_TRANSFER_OK) != 0;
  UsbTransfer::Request transaction;
  transaction.setup = setup;
  return submit_data(request, fields, std::move(transaction));
}

// A transfer with a data stage: the client's buffer checked, then the
// transaction handed to the device.
NTSTATUS UsbBus::Port::submit_data(const std::shared_ptr<Request> &request,
                                   const TransferFields &fields,
                                   UsbTransfer::Request transaction) {
  PIRP irp = request->irp;
  PURB urb = request->urb;
  auto &pool = bus.kernel_.pool();
  ULONG data_length = *fields.length;
  if (*fields.mdl != nullptr && *fields.buffer == nullptr)
    return complete_now(irp, urb, USBD_STATUS_NOT_SUPPORTED); // no MDLs here
  if (data_length > 0 && *fields.buffer == nullptr)
    return complete_now(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  if (transaction.setup && data_length > 0xFFFF)
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

  if (request->in)
    transaction.endpoint |= 0x80;
  else if (data_length > 0)
    transaction.out.assign(buffer, buffer + data_length);
  transaction.length = data_length;
  transaction.short_ok = request->short_ok;
  return start(request, std::move(transaction));
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

// The pipe requests that end a halt. RESET_PIPE resets the host side
// alone, CLEAR_STALL sends CLEAR_FEATURE(ENDPOINT_HALT) alone, and
// RESET_PIPE_AND_CLEAR_STALL does both: the host side once the device has
// taken the CLEAR_FEATURE.
NTSTATUS UsbBus::Port::reset_pipe(const std::shared_ptr<Request> &request) {
  PURB urb = request->urb;
  USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
  std::optional<Pipe> pipe = find_pipe(handle);
  if (!pipe)
    return complete_now(request->irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  USHORT function = urb->UrbHeader.Function;
  if (function == URB_FUNCTION_SYNC_RESET_PIPE) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (auto found = pipes.find(handle); found != pipes.end())
      found->second.halted = false;
    KeReleaseSpinLock(&lock, irql);
    return complete_now(request->irp, urb, USBD_STATUS_SUCCESS);
  }
  request->kind = Request::Kind::Plain;
  if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
    request->resets = handle;
  UsbTransfer::Request clear;
  clear.setup =
      SetupPacket{BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                  USB_FEATURE_ENDPOINT_STALL, pipe->endpoint.address, 0};
  return start(request, std::move(clear));
}
} // namespace talvor::usb
