// The PDO's Plug and Play and power requests, and its bus interface.
#include <cstdio>
#include <cstring>

#include <usbbusif.h>
#include <usbdlib.h>

#include "platform/usb/port.h"

namespace talvor::usb {

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

namespace {

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

} // namespace

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
} // namespace talvor::usb
