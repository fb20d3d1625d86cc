// What every PDO answers alike, whatever its bus: the IDs and capabilities
// its bus reports, the PnP requests a PDO simply succeeds, the device power
// state it records, and the one IRP_MN_WAIT_WAKE it holds until the device
// signals wake or goes. The USB bus's PDOs and the kernel tests' bus serve
// their children through it; what differs between them is in the hooks.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

namespace talvor::usb {

struct ChildDescription {
  std::string device_id;
  std::vector<std::string> hardware_ids;
  // None: IRP_MN_QUERY_ID for them leaves the request as it came.
  std::vector<std::string> compatible_ids;
  std::string instance_id;

  // Capabilities: the device state in S1 to S3 and in S4 and S5, and the
  // deepest system and device states the device can wake from.
  DEVICE_POWER_STATE sleep_state = PowerDeviceD3;
  DEVICE_POWER_STATE hibernate_state = PowerDeviceD3;
  SYSTEM_POWER_STATE system_wake = PowerSystemUnspecified;
  DEVICE_POWER_STATE device_wake = PowerDeviceUnspecified;
  bool d2 = false;
  bool removable = true;
  bool surprise_removal_ok = false;
  bool unique_id = false;
  std::optional<ULONG> address; // and UI number; none: left as they came
};

class ChildPdo {
public:
  ChildPdo();
  virtual ~ChildPdo() = default;
  ChildPdo(const ChildPdo &) = delete;
  ChildPdo &operator=(const ChildPdo &) = delete;

  // IRP_MJ_PNP and IRP_MJ_POWER of the PDO: every request completed.
  NTSTATUS pnp(PIRP irp);
  NTSTATUS power(PIRP irp);

  // Completes the pending IRP_MN_WAIT_WAKE with `status`; false when none
  // is pending (or its cancel routine has it).
  bool complete_wait_wake(NTSTATUS status);
  bool wake_pending() const;
  DEVICE_POWER_STATE device_state() const;

protected:
  virtual ChildDescription describe() const = 0;
  // Every request as it arrives, before it is answered.
  virtual void arrived(PIRP irp) { (void)irp; }
  // IRP_MN_START_DEVICE's status.
  virtual NTSTATUS started() { return STATUS_SUCCESS; }
  virtual void stopped() {}
  // Before the pending IRP_MN_WAIT_WAKE ends with the device.
  virtual void surprise_removed() {}
  // IRP_MN_REMOVE_DEVICE, completed here: by default the wait-wake ends
  // and the request succeeds.
  virtual NTSTATUS remove(PIRP irp);
  // IRP_MN_QUERY_INTERFACE's status; by default the one it came with.
  virtual NTSTATUS query_interface(PIRP irp) { return irp->IoStatus.Status; }
  // The bits IRP_MN_QUERY_PNP_DEVICE_STATE adds; none: left as it came.
  virtual std::optional<ULONG_PTR> pnp_device_state() const {
    return std::nullopt;
  }
  // STATUS_SUCCESS when the device can arm for wake now (after the
  // description allowed `state`), else the refusal.
  virtual NTSTATUS can_arm_wake() { return STATUS_SUCCESS; }

  static NTSTATUS complete(PIRP irp, NTSTATUS status);

private:
  NTSTATUS query_id(PIRP irp) const;
  NTSTATUS query_capabilities(PIRP irp) const;
  NTSTATUS wait_wake(PIRP irp);
  static void CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);

  // lock_ guards wait_wake_ and device_state_; it is taken alone, the
  // cancel spin lock released before it.
  mutable KSPIN_LOCK lock_;
  PIRP wait_wake_ = nullptr;
  DEVICE_POWER_STATE device_state_ = PowerDeviceD0;
};

} // namespace talvor::usb
