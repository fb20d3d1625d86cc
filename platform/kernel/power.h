// The power manager: system sleep, shutdown and resume sent down every
// device stack the PnP manager holds, and the power routines drivers call
// (PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp, PoSetPowerState).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <wdm.h>

namespace talvor::kernel {

class PnpManager;

// The power state PoSetPowerState records for one device object. Windows
// keeps it in the device object's extension; here DeviceObjectExtension of
// each device object in a stack the PnP manager holds points at the record
// its device node owns (the I/O manager leaves that field alone).
struct DevicePowerRecord {
  std::atomic<int> device{PowerDeviceD0};
  std::atomic<int> system{PowerSystemWorking};
  // What else Windows keeps there for the PnP manager and the I/O manager:
  // set while the node's removal is under way (opens then fail), and the
  // event a removal waiting for the last open handle sleeps on.
  std::atomic<bool> remove_pending{false};
  std::atomic<PKEVENT> last_close{nullptr};
};
DevicePowerRecord *power_record(PDEVICE_OBJECT device);
void set_power_record(PDEVICE_OBJECT device, DevicePowerRecord *record);

class PowerManager {
public:
  explicit PowerManager(PnpManager &pnp);
  PowerManager(const PowerManager &) = delete;
  PowerManager &operator=(const PowerManager &) = delete;

  // From a kernel thread at PASSIVE_LEVEL, between PnP requests.

  // Sleep (S1 to S3, hibernate) or shutdown: a system IRP_MN_QUERY_POWER
  // down every device stack, then IRP_MN_SET_POWER. A refused query ends the
  // sleep there: every stack that was queried gets IRP_MN_SET_POWER for the
  // working state, and the refusal's status comes back. A state that is not
  // a sleeping one is refused with STATUS_INVALID_PARAMETER, a sleep while
  // not working with STATUS_INVALID_DEVICE_STATE.
  NTSTATUS sleep(SYSTEM_POWER_STATE state);
  // Resume: a system IRP_MN_SET_POWER for the working state down every
  // stack (STATUS_INVALID_DEVICE_STATE when already working).
  NTSTATUS wake();
  SYSTEM_POWER_STATE system_state() const {
    return static_cast<SYSTEM_POWER_STATE>(system_state_.load());
  }

  // How long a driver may hold one system power IRP before the verifier
  // reports it, as Windows' power watchdog would (100 ns units).
  void set_irp_timeout(std::uint64_t timeout) { irp_timeout_ = timeout; }

private:
  // Sends one system power IRP down each stack; returns the first failure.
  NTSTATUS send_system(const std::vector<PDEVICE_OBJECT> &devices, UCHAR minor,
                       SYSTEM_POWER_STATE state, POWER_ACTION action,
                       std::vector<PDEVICE_OBJECT> *reached, const void *site);

  PnpManager &pnp_;
  // Written only under the PnP manager's one-request-at-a-time rule.
  std::atomic<int> system_state_{PowerSystemWorking};
  std::uint64_t irp_timeout_ = 5ull * 60 * 10'000'000;
};

} // namespace talvor::kernel
