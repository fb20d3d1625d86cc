// Wait-wake: arming, requesting and cancelling the reader's IRP_MN_WAIT_WAKE,
// and the power-up when it completes. Cancel and completion settle who
// finishes a cancelled request through two interlocked exchanges
// (WaitWakeIrp, then wwcancelled), so that exactly one of them does.
//
// A requested wait-wake IRP holds the remove lock twice: once from the
// request to WaitWakeCallback, which still reads the extension after the
// IRP is done, and once while it passes this driver (UscrPower to
// WaitWakeCompletionRoutine).
#include "frame/talvor.h"

namespace {

// Withdraws the outstanding request, if any. If its completion routine has
// already run and kept it, it is completed here.
NTSTATUS CancelOutstandingWaitWake(PDEVICE_EXTENSION DeviceExtension) {
  PIRP waitWakeIrp = static_cast<PIRP>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(&DeviceExtension->WaitWakeIrp),
      nullptr));
  DbgPrint(" GenericWakeupControl: CancelWaitWake Start\n");
  if (waitWakeIrp == nullptr)
    return STATUS_SUCCESS;

  IoCancelIrp(waitWakeIrp);
  DbgPrint(" - IRP_MN_WAIT_WAKE cancelled\n");
  if (InterlockedExchange(&DeviceExtension->wwcancelled, 1) != 0) {
    DbgPrint("GenericWakeupControl: CancelWaitWake:wwcancelled==1\n");
    IoCompleteRequest(waitWakeIrp, IO_NO_INCREMENT);
  }
  return STATUS_SUCCESS;
}

// Requests a wait-wake IRP unless one is outstanding: a second would be
// refused below, and its completion would take the first one's place.
NTSTATUS RequestWaitWake(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcardExtension =
      &DeviceExtension->SmartcardExtension;
  POWER_STATE powerState;

  DbgPrint("GenericWakeupControl: ManageWaitWake\tWakeupEnabled\n");
  if (DeviceExtension->WaitWakeIrp != nullptr)
    return STATUS_SUCCESS;
  NTSTATUS ntStatus = SmartcardAcquireRemoveLock(smartcardExtension);
  if (!NT_SUCCESS(ntStatus))
    return ntStatus;

  InterlockedExchange(&DeviceExtension->wwcancelled, 0);
  powerState.SystemState = DeviceExtension->DeviceCapabilities.SystemWake;
  ntStatus = PoRequestPowerIrp(DeviceExtension->PhysicalDeviceObject,
                               IRP_MN_WAIT_WAKE, powerState, WaitWakeCallback,
                               DeviceExtension, &DeviceExtension->WaitWakeIrp);
  if (!NT_SUCCESS(ntStatus)) {
    DbgPrint(" PoRequestPowerIrp(IRP_MN_WAIT_WAIT)\tfailed - %X\n", ntStatus);
    DeviceExtension->WakeupEnabled = FALSE;
    SmartcardReleaseRemoveLock(smartcardExtension);
    return ntStatus;
  }
  DbgPrint("IRP_MN_WAIT_WAKE requested status=%X\n", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

} // namespace

/*
 * GenericWakeupControl
 *   Arms or disarms wake, requests the wait-wake IRP when armed, cancels
 *   it. Refused for a device without wake capabilities.
 * Arguments: the device extension; EnableWakeup, DisableWakeup,
 *   ManageWaitWake or CancelWaitWake.
 * Result: STATUS_SUCCESS; STATUS_INVALID_DEVICE_REQUEST without wake
 *   capabilities or for another code; the request's failure.
 * IRQL: <= DISPATCH_LEVEL.
 */
NTSTATUS GenericWakeupControl(PDEVICE_EXTENSION DeviceExtension,
                              ULONG Operation) {
  if (DeviceExtension->DeviceCapabilities.DeviceWake ==
          PowerDeviceUnspecified ||
      DeviceExtension->DeviceCapabilities.SystemWake == PowerSystemUnspecified)
    return STATUS_INVALID_DEVICE_REQUEST;

  switch (Operation) {
  case EnableWakeup:
    DbgPrint("GenericWakeupControl: EnableWakeup \n");
    DeviceExtension->WakeupEnabled = TRUE;
    return STATUS_SUCCESS;
  case DisableWakeup:
    DbgPrint("GenericWakeupControl: DisableWakeup \n");
    DeviceExtension->WakeupEnabled = FALSE;
    return STATUS_SUCCESS;
  case ManageWaitWake:
    DbgPrint("GenericWakeupControl: ManageWaitWake\t\n");
    if (DeviceExtension->WakeupEnabled)
      return RequestWaitWake(DeviceExtension);
    return CancelOutstandingWaitWake(DeviceExtension);
  case CancelWaitWake:
    return CancelOutstandingWaitWake(DeviceExtension);
  default:
    DbgPrint("GenericWakeupControl: Default \n");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
}

/*
 * WaitWakeCallback
 *   The wait-wake request is done: on success the reader is asked back to
 *   D0. Gives back the request's hold on the remove lock.
 * Arguments: as PoRequestPowerIrp gives them; Context is the device
 *   extension.
 * Result: none.  IRQL: <= DISPATCH_LEVEL.
 */
void WaitWakeCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                      POWER_STATE PowerState, PVOID Context,
                      PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);

  DbgPrint("WaitWakeCallback() Enter IRP_MN_WAIT_WAKE\n");
  if (!NT_SUCCESS(IoStatus->Status)) {
    DbgPrint(" IRP_MN_WAIT_WAKE failed - %X\n", IoStatus->Status);
  } else {
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    NTSTATUS ntStatus = PoRequestPowerIrp(deviceExtension->PhysicalDeviceObject,
                                          IRP_MN_SET_POWER, powerState, nullptr,
                                          nullptr, nullptr);
    DbgPrint(" WaitWakeCallback IRP_MN_WAIT_WAKE success set deviceD0 - %X\n",
             ntStatus);
  }
  SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
}

/*
 * WaitWakeCompletionRoutine
 *   The requested wait-wake IRP is done below. It goes on up unless a
 *   cancel has taken it and not yet said so; that cancel then completes it.
 *   Gives back the hold UscrPower kept, once the extension is left alone.
 * Arguments: the device object; the IRP; the device extension.
 * Result: STATUS_SUCCESS, or STATUS_MORE_PROCESSING_REQUIRED.
 * IRQL: <= DISPATCH_LEVEL.
 */
NTSTATUS WaitWakeCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);
  NTSTATUS ntStatus = STATUS_SUCCESS;

  if (Irp->PendingReturned)
    IoMarkIrpPending(Irp);
  DbgPrint("WaitWakeCompletionRoutine()\t\n");
  if (InterlockedExchangePointer(
          reinterpret_cast<PVOID volatile *>(&deviceExtension->WaitWakeIrp),
          nullptr) != nullptr) {
    DbgPrint("WaitWakeCompletionRoutine: WaitWakeIrp!=Null \n");
  } else if (InterlockedExchange(&deviceExtension->wwcancelled, 1) != 0) {
    DbgPrint("WaitWakeCompletionRoutine: wwcancelled==1 \n");
  } else {
    ntStatus = STATUS_MORE_PROCESSING_REQUIRED;
  }
  SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
  return ntStatus;
}
