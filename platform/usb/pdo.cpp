// The PDO's Plug and Play and power requests, as every PDO answers them
// (platform/usb/child.cpp) with what a USB device adds: its IDs and
// capabilities from its descriptors, the pending URBs that end with it, and
// its bus interface.
#include <cstdio>
#include <cstring>

#include <initguid.h>
#include <usbbusif.h>
#include <usbdlib.h>

#include "platform/usb/port.h"

namespace talvor::usb {
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

namespace {

bool can_wake(const UsbDescriptors &descriptors) {
  return !descriptors.configurations.empty() &&
         descriptors.configurations[0].size() > 7 &&
         (descriptors.configurations[0][7] & USB_CONFIG_REMOTE_WAKEUP);
}

} // namespace

// IDs as the USB hub gives them, from the device descriptor (and the first
// interface for a device without a class of its own); capabilities of a
// removable device that sleeps in D2 when it can wake, else in D3.
ChildDescription UsbBus::Port::describe() const {
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
  ChildDescription description;
  char text[64];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
  description.device_id = text;
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", vendor,
                product, release);
  description.hardware_ids = {text, description.device_id};
  std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X&Prot_%02X",
                cls, subclass, protocol);
  description.compatible_ids.emplace_back(text);
  std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X", cls,
                subclass);
  description.compatible_ids.emplace_back(text);
  std::snprintf(text, sizeof text, "USB\\Class_%02X", cls);
  description.compatible_ids.emplace_back(text);

  // The serial number, when the device has one, else the port.
  description.instance_id = std::to_string(number);
  std::uint8_t serial = d.size() > 16 ? d[16] : 0;
  auto found = descriptors.strings.find(serial);
  bool has_serial = serial != 0 && found != descriptors.strings.end();
  if (has_serial && found->second.size() > 2) {
    description.instance_id.clear();
    for (std::size_t at = 2; at + 1 < found->second.size(); at += 2)
      description.instance_id.push_back(static_cast<char>(found->second[at]));
  }

  bool wake = can_wake(descriptors);
  description.sleep_state = wake ? PowerDeviceD2 : PowerDeviceD3;
  description.hibernate_state = PowerDeviceD3;
  description.system_wake =
      wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
  description.device_wake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
  description.d2 = true;
  description.removable = true;
  description.surprise_removal_ok = false;
  description.unique_id = has_serial;
  description.address = number;
  return description;
}

NTSTATUS UsbBus::Port::started() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  is_started = true;
  removed = false;
  KeReleaseSpinLock(&lock, irql);
  return STATUS_SUCCESS;
}

void UsbBus::Port::stopped() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  is_started = false;
  KeReleaseSpinLock(&lock, irql);
}

void UsbBus::Port::surprise_removed() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  is_surprise_removed = true;
  fail_pending_locked(USBD_STATUS_DEVICE_GONE,
                      [](const Request &) { return true; });
  KeReleaseSpinLock(&lock, irql);
  kick();
}

NTSTATUS UsbBus::Port::can_arm_wake() {
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  bool present = plugged && !is_surprise_removed;
  KeReleaseSpinLock(&lock, irql);
  return present ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS UsbBus::Port::remove(PIRP irp) {
  std::shared_ptr<Port> self = shared_from_this();
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  is_started = false;
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
  return status;
}
} // namespace talvor::usb
