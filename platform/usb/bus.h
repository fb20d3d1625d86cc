// The USB bus driver: a driver object with one physical device object (PDO)
// per plugged device. A PDO runs its client's URBs against the device model,
// answers the PnP and power requests a USB PDO gets, and its bus interface.
//
// Requests the device does not complete at once pend and are completed by
// the PDO's completion thread, at DISPATCH_LEVEL as a host controller's DPC
// completes them; a pending request can be cancelled, and every request is
// completed: by the device, by its cancellation, or by the unplug.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/kernel.h"
#include "platform/usb/device.h"

namespace talvor::usb {

enum class PortEvent { Arrived, Departed };

class UsbBus {
public:
  explicit UsbBus(kernel::Kernel &kernel,
                  const std::string &name = "\\Driver\\usbhub");
  ~UsbBus();
  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;

  // Plugs a device into a new port and returns its PDO ("\Device\USBPDO-n"),
  // or null when no thread or device object could be had. From a kernel
  // thread at PASSIVE_LEVEL.
  PDEVICE_OBJECT plug(std::shared_ptr<UsbDevice> device);
  // Pulls the device's cable: every request fails with
  // STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE) from now on, the
  // pending ones included. The PDO stays until its IRP_MN_REMOVE_DEVICE;
  // a PDO that was already removed while present needs one more. From a
  // kernel thread at or below DISPATCH_LEVEL; it does not wait.
  void unplug(PDEVICE_OBJECT pdo);
  // Remote wakeup: completes the PDO's pending IRP_MN_WAIT_WAKE. False when
  // none was pending.
  bool signal_wake(PDEVICE_OBJECT pdo);

  // The PnP manager hears of arrivals and departures here. Called in the
  // thread that plugs or unplugs, with no lock held; it must not wait.
  void set_listener(std::function<void(PDEVICE_OBJECT, PortEvent)> listener);

  PDRIVER_OBJECT driver() const { return driver_; }
  // PDOs of connected devices, in port order (the bus relations).
  std::vector<PDEVICE_OBJECT> present() const;
  // Whether `pdo` is a PDO of this bus not yet deleted.
  bool owns(PDEVICE_OBJECT pdo) const;

  // For tests: requests the PDO holds pending, its device power state, and
  // the references its bus interface holds.
  std::size_t pending(PDEVICE_OBJECT pdo) const;
  DEVICE_POWER_STATE power_state(PDEVICE_OBJECT pdo) const;
  // Whether the PDO holds an IRP_MN_WAIT_WAKE.
  bool wake_pending(PDEVICE_OBJECT pdo) const;
  LONG interface_references(PDEVICE_OBJECT pdo) const;

  struct Port;

private:
  friend struct Port;
  std::shared_ptr<Port> port_of(PDEVICE_OBJECT pdo) const;
  void forget(PDEVICE_OBJECT pdo);
  void notify(PDEVICE_OBJECT pdo, PortEvent event);

  kernel::Kernel &kernel_;
  PDRIVER_OBJECT driver_ = nullptr;
  // ports_lock_ guards ports_ and next_port_; it is never held while a
  // kernel routine or a device model runs.
  mutable std::mutex ports_lock_;
  std::map<PDEVICE_OBJECT, std::shared_ptr<Port>> ports_;
  ULONG next_port_ = 1;
  // listener_lock_ guards listener_ (copied out before a call).
  mutable std::mutex listener_lock_;
  std::function<void(PDEVICE_OBJECT, PortEvent)> listener_;
};

// USBD_STATUS to the NTSTATUS the request completes with.
NTSTATUS nt_status(USBD_STATUS status);

} // namespace talvor::usb
