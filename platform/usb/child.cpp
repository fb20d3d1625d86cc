#include "platform/usb/child.h"

#include <algorithm>

#include "platform/kernel/pool.h"
#include "platform/kernel/utf16.h"

namespace talvor::usb {

namespace {

constexpr ULONG kIdTag = kernel::make_pool_tag("BsId");

// A pool string, or a multi-string, of UTF-16 IDs, as IRP_MN_QUERY_ID
// answers; the PnP manager frees it.
PWCHAR pool_ids(const std::vector<std::string> &ids, bool multi) {
  std::u16string text;
  for (const std::string &id : ids) {
    text += kernel::utf8_to_utf16(id);
    text.push_back(0);
  }
  if (multi)
    text.push_back(0);
  std::size_t bytes = text.size() * sizeof(char16_t);
  auto *buffer =
      static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kIdTag));
  if (buffer != nullptr)
    std::copy(text.begin(), text.end(), buffer);
  return buffer;
}

} // namespace

ChildPdo::ChildPdo() {
  KeInitializeSpinLock(&lock_);
}

NTSTATUS ChildPdo::complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ChildPdo::pnp(PIRP irp) {
  arrived(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
  case IRP_MN_START_DEVICE:
    status = started();
    break;
  case IRP_MN_STOP_DEVICE:
    stopped();
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_SURPRISE_REMOVAL:
    surprise_removed();
    // The device is gone: so is any wake it could signal.
    complete_wait_wake(STATUS_NO_SUCH_DEVICE);
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_REMOVE_DEVICE:
    return remove(irp);
  case IRP_MN_QUERY_CAPABILITIES:
    status = query_capabilities(irp);
    break;
  case IRP_MN_QUERY_ID:
    status = query_id(irp);
    break;
  case IRP_MN_QUERY_INTERFACE:
    status = query_interface(irp);
    break;
  case IRP_MN_QUERY_PNP_DEVICE_STATE:
    if (auto bits = pnp_device_state()) {
      irp->IoStatus.Information |= *bits;
      status = STATUS_SUCCESS;
    }
    break;
  default:
    break; // not the PDO's to answer: the status stays as it came
  }
  return complete(irp, status);
}

NTSTATUS ChildPdo::remove(PIRP irp) {
  complete_wait_wake(STATUS_NO_SUCH_DEVICE);
  return complete(irp, STATUS_SUCCESS);
}

NTSTATUS ChildPdo::query_id(PIRP irp) const {
  ChildDescription description = describe();
  PWCHAR answer = nullptr;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
  case BusQueryDeviceID:
    answer = pool_ids({description.device_id}, false);
    break;
  case BusQueryHardwareIDs:
    answer = pool_ids(description.hardware_ids, true);
    break;
  case BusQueryCompatibleIDs:
    if (description.compatible_ids.empty())
      return irp->IoStatus.Status;
    answer = pool_ids(description.compatible_ids, true);
    break;
  case BusQueryInstanceID:
    answer = pool_ids({description.instance_id}, false);
    break;
  default:
    return irp->IoStatus.Status;
  }
  if (answer == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
  return STATUS_SUCCESS;
}

NTSTATUS ChildPdo::query_capabilities(PIRP irp) const {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)
                                  ->Parameters.DeviceCapabilities.Capabilities;
  if (caps == nullptr || caps->Version != 1 ||
      caps->Size < sizeof(DEVICE_CAPABILITIES))
    return STATUS_INVALID_PARAMETER;
  ChildDescription description = describe();
  caps->DeviceD1 = 0;
  caps->DeviceD2 = description.d2 ? 1 : 0;
  caps->LockSupported = 0;
  caps->EjectSupported = 0;
  caps->DockDevice = 0;
  caps->Removable = description.removable ? 1 : 0;
  caps->UniqueID = description.unique_id ? 1 : 0;
  caps->SurpriseRemovalOK = description.surprise_removal_ok ? 1 : 0;
  // A device that wakes from a state wakes from the shallower ones too.
  DEVICE_POWER_STATE wake = description.device_wake;
  caps->WakeFromD0 = wake >= PowerDeviceD0 ? 1 : 0;
  caps->WakeFromD1 = wake >= PowerDeviceD1 ? 1 : 0;
  caps->WakeFromD2 = wake >= PowerDeviceD2 ? 1 : 0;
  caps->WakeFromD3 = wake >= PowerDeviceD3 ? 1 : 0;
  if (description.address) {
    caps->Address = *description.address;
    caps->UINumber = *description.address;
  }
  caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; ++state)
    caps->DeviceState[state] = description.sleep_state;
  caps->DeviceState[PowerSystemHibernate] = description.hibernate_state;
  caps->DeviceState[PowerSystemShutdown] = description.hibernate_state;
  caps->SystemWake = description.system_wake;
  caps->DeviceWake = description.device_wake;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IRP_MJ_POWER. Since Windows Vista PoStartNextPowerIrp is not needed; it is
// called all the same, as a driver for older systems does.

NTSTATUS ChildPdo::power(PIRP irp) {
  arrived(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
  case IRP_MN_WAIT_WAKE:
    return wait_wake(irp);
  case IRP_MN_SET_POWER:
    if (stack->Parameters.Power.Type == DevicePowerState) {
      KIRQL irql;
      KeAcquireSpinLock(&lock_, &irql);
      device_state_ = stack->Parameters.Power.State.DeviceState;
      KeReleaseSpinLock(&lock_, irql);
      PoSetPowerState(stack->DeviceObject, DevicePowerState,
                      stack->Parameters.Power.State);
    }
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_QUERY_POWER:
    status = STATUS_SUCCESS;
    break;
  default:
    break;
  }
  PoStartNextPowerIrp(irp);
  return complete(irp, status);
}

NTSTATUS ChildPdo::wait_wake(PIRP irp) {
  ChildDescription description = describe();
  SYSTEM_POWER_STATE wanted =
      IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
  NTSTATUS refusal = STATUS_SUCCESS;
  if (description.system_wake == PowerSystemUnspecified)
    refusal = STATUS_NOT_SUPPORTED;
  else if (wanted > description.system_wake)
    refusal = STATUS_INVALID_DEVICE_STATE;
  else
    refusal = can_arm_wake();
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  if (NT_SUCCESS(refusal) && wait_wake_ != nullptr)
    refusal = STATUS_DEVICE_BUSY;
  if (!NT_SUCCESS(refusal)) {
    KeReleaseSpinLock(&lock_, irql);
    PoStartNextPowerIrp(irp);
    return complete(irp, refusal);
  }
  wait_wake_ = irp;
  irp->Tail.Overlay.DriverContext[0] = this;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelWaitWake);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    wait_wake_ = nullptr;
    KeReleaseSpinLock(&lock_, irql);
    irp->IoStatus.Information = 0;
    complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&lock_, irql);
  return STATUS_PENDING;
}

void ChildPdo::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto *child = static_cast<ChildPdo *>(irp->Tail.Overlay.DriverContext[0]);
  KIRQL irql;
  KeAcquireSpinLock(&child->lock_, &irql);
  if (child->wait_wake_ == irp)
    child->wait_wake_ = nullptr;
  KeReleaseSpinLock(&child->lock_, irql);
  irp->IoStatus.Information = 0;
  complete(irp, STATUS_CANCELLED);
}

bool ChildPdo::complete_wait_wake(NTSTATUS status) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  PIRP irp = wait_wake_;
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr)
    wait_wake_ = nullptr;
  else
    irp = nullptr; // none, or its cancel routine has it
  KeReleaseSpinLock(&lock_, irql);
  if (irp == nullptr)
    return false;
  irp->IoStatus.Information = 0;
  PoStartNextPowerIrp(irp);
  complete(irp, status);
  return true;
}

bool ChildPdo::wake_pending() const {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  bool pending = wait_wake_ != nullptr;
  KeReleaseSpinLock(&lock_, irql);
  return pending;
}

DEVICE_POWER_STATE ChildPdo::device_state() const {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  DEVICE_POWER_STATE state = device_state_;
  KeReleaseSpinLock(&lock_, irql);
  return state;
}

} // namespace talvor::usb
