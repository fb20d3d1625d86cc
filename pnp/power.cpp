// Power: the driver owns the reader's power policy. A system set-power
// request is held while the device request made for it runs; the way to
// sleep ends the card presence thread and powers the reader and the card
// down, the return to D0 brings them back and reopens the gate.
#include "usb/usbscd.h"

namespace {

// How often the way to sleep looks again for requests still in flight.
constexpr LONGLONG kDrainInterval = -100000; // 10 ms, relative

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

READER_EXTENSION *ReaderExtensionOf(PDEVICE_EXTENSION DeviceExtension) {
  return DeviceExtension->SmartcardExtension.ReaderExtension;
}

// Ending "pass down": the lower device is read, and the remove lock given
// back, only once the IRP is on its way.
NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  PDEVICE_OBJECT attachedPDO = DeviceExtension->AttachedPDO;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  NTSTATUS ntStatus = PoCallDriver(attachedPDO, Irp);
  SmartcardReleaseRemoveLock(&DeviceExtension->SmartcardExtension);
  DbgPrint(USCR_DASHES);
  DbgPrint("UscrPower %x : Exit\n", ntStatus);
  DbgPrint(USCR_DASHES);
  return ntStatus;
}

// A card presence thread was started and has not ended. A device that
// never ran one has no thread object, and ThreadStopped was never set.
BOOLEAN ThreadRunning(PDEVICE_EXTENSION DeviceExtension) {
  LARGE_INTEGER noWait;
  noWait.QuadPart = 0;
  return DeviceExtension->ThreadObject != nullptr &&
         KeWaitForSingleObject(&DeviceExtension->ThreadStopped, Executive,
                               KernelMode, FALSE, &noWait) == STATUS_TIMEOUT;
}

// From here on the recovery of a failed exchange starts no thread, unless
// a STOP or REMOVE already forbade it for good.
void BlockThreadRestart(PDEVICE_EXTENSION DeviceExtension) {
  if (!DeviceExtension->ThreadRestartBlocked)
    DeviceExtension->ThreadRestartBlocked = USCR_BLOCKED_AT_POWER_DOWN;
}

// Closes the gate and waits until the requests already past it are done:
// the card and the reader are powered down under no request. Their own
// time-outs bound the wait.
void HoldRequests(PDEVICE_EXTENSION DeviceExtension) {
  LARGE_INTEGER interval;
  interval.QuadPart = kDrainInterval;
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&DeviceExtension->IoCountLock, &irql);
    KeClearEvent(&DeviceExtension->ReaderStarted);
    LONG ioCount = DeviceExtension->IoCount;
    KeReleaseSpinLock(&DeviceExtension->IoCountLock, irql);
    if (ioCount <= 0)
      return;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

// Holds the system IRP until the device request made for it is done;
// UscrSystemPowerCompletion then passes it down. When no device request
// can be made, the system IRP goes down at once. The IRP is pending
// either way.
NTSTATUS HoldSystemRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                           DEVICE_POWER_STATE DeviceState) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  POWER_STATE powerState;
  powerState.DeviceState = DeviceState;

  IoMarkIrpPending(Irp);
  deviceExtension->SystemPowerIrp = Irp;
  NTSTATUS ntStatus = PoRequestPowerIrp(
      deviceExtension->PhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
      UscrSystemPowerCompletion, DeviceObject, nullptr);
  if (!NT_SUCCESS(ntStatus)) {
    DbgPrint("UscrPower: PoRequestPowerIrp(D%X) failed - %X, system request "
             "passed down\n",
             DeviceState - 1, ntStatus);
    deviceExtension->SystemPowerIrp = nullptr;
    (void)PassDown(deviceExtension, Irp);
  }
  return ntStatus;
}

// The D3 steps: the thread ended if still running, the card powered down.
void PowerDownReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;
  READER_EXTENSION *readerExtension = ReaderExtensionOf(deviceExtension);

  DbgPrint("PowerDeviceD3, Turn off the reader!\n");
  DbgPrint("Uscr!UscrPower: PowerDevice D%X\n", PowerDeviceD3 - 1);
  HoldRequests(deviceExtension);
  BlockThreadRestart(deviceExtension);
  deviceExtension->ThreadStoppedAtPowerDown = FALSE;
  if (ThreadRunning(deviceExtension)) {
    deviceExtension->ThreadStoppedAtPowerDown = TRUE;
    UscrStopCardThread(deviceExtension);
    DbgPrint("Uscr!UscrPower: PowerDeviceD3~~~~~~~~~~~~~~~~~~~~~"
             "ObDereferenceObject~~~~~~~~~\n");
  }

  readerExtension->CardPresentAtPowerDown =
      smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT;
  if (readerExtension->CardPresentAtPowerDown) {
    smartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
    (void)CBCardPower(smartcardExtension);
  }
  readerExtension->ReaderPowerState = 2;
}

// The sleep steps: requests drained, the thread ended, POWER DOWN to the
// reader, then the device request for the sleeping state.
NTSTATUS GoToSleep(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                   SYSTEM_POWER_STATE SystemState) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  READER_EXTENSION *readerExtension = ReaderExtensionOf(deviceExtension);

  DbgPrint("UscrPower System SET_POWER SystemSleeping  \n");
  HoldRequests(deviceExtension);
  BlockThreadRestart(deviceExtension);
  UscrStopCardThread(deviceExtension);
  if (readerExtension->ReaderPowerState == 2)
    return PassDown(deviceExtension, Irp);

  DbgPrint("send POWER DOWN COMMAND! -- escape! \n");
  UCHAR scratch[2] = {0, 0};
  READER_COMMAND command = {0, READER_POWER_DOWN, 0xFFFF, 0xFFFF, 0};
  (void)USBSCCommand(DeviceObject, TRUE, scratch, &command);
  DbgPrint("UscrPower System SET_POWER SystemSleeping -\treaderPowerIsOn\t\n");

  DEVICE_POWER_STATE deviceState = PowerDeviceD3;
  if (deviceExtension->WakeupEnabled) {
    deviceState = deviceExtension->DeviceCapabilities.DeviceState[SystemState];
    // A capability record without an entry for this state.
    if (deviceState < PowerDeviceD1 || deviceState > PowerDeviceD3)
      deviceState = PowerDeviceD3;
  }
  DbgPrint("Uscr!UscrPower SystemPower, set D%X\n", deviceState - 1);
  (void)HoldSystemRequest(DeviceObject, Irp, deviceState);
  return STATUS_PENDING;
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                        SYSTEM_POWER_STATE SystemState) {
  switch (SystemState) {
  case PowerSystemWorking:
  case PowerSystemMaximum: {
    DbgPrint("UscrPower System SET_POWER SystemMaximum  \n");
    DbgPrint("UscrPower System SET_POWER send PowerIrp\n");
    NTSTATUS ntStatus = HoldSystemRequest(DeviceObject, Irp, PowerDeviceD0);
    DbgPrint("UscrPower System SET_POWER\tsend PowerIrp status (%x)\n",
             ntStatus);
    return STATUS_PENDING;
  }
  case PowerSystemSleeping1:
  case PowerSystemSleeping2:
  case PowerSystemSleeping3:
  case PowerSystemHibernate:
  case PowerSystemShutdown:
    return GoToSleep(DeviceObject, Irp, SystemState);
  default:
    return PassDown(ExtensionOf(DeviceObject), Irp);
  }
}

// The sleep query is never refused: it closes the gate, under the lock the
// requests count themselves in under, and arms wake when enabled.
NTSTATUS QuerySystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          SYSTEM_POWER_STATE SystemState) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("IRP_MN_QUERY_POWER\n");
  DbgPrint("Uscr!UscrPower: Query\tPower\n");
  if (SystemState >= PowerSystemSleeping1 &&
      SystemState <= PowerSystemShutdown) {
    KIRQL irql;
    DbgPrint("UscrPower System QUERY_POWER SystemSleeping\t \n");
    KeAcquireSpinLock(&deviceExtension->IoCountLock, &irql);
    DbgPrint("UscrPower System QUERY_POWER SystemSleeping\t - ready to go "
             "sleep\n");
    KeClearEvent(&deviceExtension->ReaderStarted);
    (void)GenericWakeupControl(deviceExtension, ManageWaitWake);
    DbgPrint("Uscr!UscrPower: Query Power,\tIoCount<=0\n");
    KeReleaseSpinLock(&deviceExtension->IoCountLock, irql);
  }
  return PassDown(deviceExtension, Irp);
}

// D0: the lower drivers first, waited for here, so that the reader is
// brought back at PASSIVE_LEVEL whatever IRQL they complete at; the IRP is
// completed once that is done, with the lower drivers' failure if any.
NTSTATUS SetDevicePowerD0(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("PowerDeviceD0, turn on reader, NO send DEVICE RESUME COMMAND!  \n");
  NTSTATUS ntStatus = UscrCallUSBDriver(deviceExtension->AttachedPDO, Irp);
  if (NT_SUCCESS(ntStatus))
    ntStatus = UscrDevicePowerCompletion(DeviceObject, Irp);
  Irp->IoStatus.Status = ntStatus;
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
  return ntStatus;
}

// A wait-wake IRP this driver requested keeps the remove lock until
// WaitWakeCompletionRoutine; any other is passed down as it came, so that
// the lower driver completes it and it is never taken for the requested one.
NTSTATUS WaitWake(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  DbgPrint("Usb_ProcessPowerIrp() Enter\tIRP_MN_WAIT_WAKE\n");
  if (Irp != DeviceExtension->WaitWakeIrp)
    return PassDown(DeviceExtension, Irp);

  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, WaitWakeCompletionRoutine, DeviceExtension, TRUE,
                         TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  NTSTATUS ntStatus = PoCallDriver(DeviceExtension->AttachedPDO, Irp);
  DbgPrint("Usb_ProcessPowerIrp() Exit IRP_MN_WAIT_WAKE\tstatus = %x\n",
           ntStatus);
  return ntStatus;
}

} // namespace

/*
 * UscrPower
 *   IRP_MJ_POWER, under the remove lock: system requests held for the
 *   device requests made for them, the sleep and D3 steps, D0, wait-wake.
 * Arguments: the device object; the IRP.
 * Result: STATUS_PENDING for a held system request; the status D0 is
 *   completed with; else the lower driver's status, or the lock's failure
 *   once the reader is being removed.
 * IRQL: PASSIVE_LEVEL (DO_POWER_PAGABLE).
 */
NTSTATUS UscrPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  DbgPrint(USCR_DASHES);
  DbgPrint("UscrPower : Enter\n");
  DbgPrint(USCR_DASHES);
  NTSTATUS ntStatus =
      SmartcardAcquireRemoveLock(&deviceExtension->SmartcardExtension);
  if (!NT_SUCCESS(ntStatus)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = ntStatus;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return ntStatus;
  }

  switch (stack->MinorFunction) {
  case IRP_MN_WAIT_WAKE:
    return WaitWake(deviceExtension, Irp);
  case IRP_MN_SET_POWER:
    if (stack->Parameters.Power.Type == SystemPowerState)
      return SetSystemPower(DeviceObject, Irp,
                            stack->Parameters.Power.State.SystemState);
    if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0)
      return SetDevicePowerD0(DeviceObject, Irp);
    if (stack->Parameters.Power.State.DeviceState == PowerDeviceD3)
      PowerDownReader(DeviceObject);
    return PassDown(deviceExtension, Irp);
  case IRP_MN_QUERY_POWER:
    if (stack->Parameters.Power.Type == SystemPowerState)
      return QuerySystemPower(DeviceObject, Irp,
                              stack->Parameters.Power.State.SystemState);
    return PassDown(deviceExtension, Irp);
  default:
    return PassDown(deviceExtension, Irp);
  }
}

/*
 * UscrSystemPowerCompletion
 *   The device set-power request made for a held system request is done:
 *   the system request goes down, whatever the device request's status.
 * Arguments: as PoRequestPowerIrp gives them; Context is this device
 *   object.
 * Result: none.  IRQL: <= DISPATCH_LEVEL.
 */
void UscrSystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PVOID Context,
                               PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PDEVICE_EXTENSION deviceExtension =
      ExtensionOf(static_cast<PDEVICE_OBJECT>(Context));

  DbgPrint(" UscrSystemPowerCompletion callback\n");
  PIRP systemIrp = static_cast<PIRP>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(&deviceExtension->SystemPowerIrp),
      nullptr));
  PDEVICE_OBJECT attachedPDO = deviceExtension->AttachedPDO;
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoStartNextPowerIrp(systemIrp);
  (void)PoCallDriver(attachedPDO, systemIrp);
  SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
}

/*
 * UscrDevicePowerCompletion
 *   The lower drivers have brought the reader to D0: a card presence
 *   thread unless one runs, the tracking request completed when a card
 *   was or is present, and the gate open again. Called by UscrPower once
 *   the lower drivers are done, not as a completion routine: it creates a
 *   thread and waits. A stopped or removed reader stays as it is.
 * Arguments: the device object; the D0 IRP.
 * Result: STATUS_SUCCESS.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrDevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;
  READER_EXTENSION *readerExtension = ReaderExtensionOf(deviceExtension);

  DbgPrint("UscrDevicePowerCompletion Enter \n");
  if (deviceExtension->ThreadRestartBlocked == TRUE)
    return STATUS_SUCCESS;

  deviceExtension->ThreadRestartBlocked = FALSE;
  if (!ThreadRunning(deviceExtension)) {
    DbgPrint("UscrDevicePowerCompletion Start Thread \n");
    KeClearEvent(&deviceExtension->ThreadStopEvent);
    (void)UscrStartCardThread(deviceExtension);
  }
  if (readerExtension->ReaderPowerState == 2) {
    if (IsWin98OrMe) {
      smartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
      (void)CBCardPower(smartcardExtension);
    }
    if (readerExtension->CardPresentAtPowerDown ||
        smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT)
      CompleteCardTracking(deviceExtension);
    readerExtension->ReaderPowerState = 1;
  }
  KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}
