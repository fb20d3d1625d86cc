// Plug and Play: the reader's configuration and card presence thread
// brought up and down in step with the PnP manager, the gates of the
// device-control path, and the teardown at removal.
#include "usb/usbscd.h"

namespace {

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT AttachedPDO,
                     PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_START_DEVICE\n");
  Irp->IoStatus.Information = 0;
  NTSTATUS ntStatus = UscrCallUSBDriver(AttachedPDO, Irp);
  if (!NT_SUCCESS(ntStatus))
    return ntStatus;

  ReleaseMemory(DeviceObject);
  // An unconfigured reader gets no thread: it would read a pipe that
  // does not exist.
  ntStatus = KorvoSCD_StartDevice(DeviceObject);
  if (!NT_SUCCESS(ntStatus))
    return ntStatus;

  // IoCount is left alone: requests released by the start above may
  // already be counted in it.
  deviceExtension->ThreadRestartBlocked = FALSE;
  ntStatus = UscrStartCardThread(deviceExtension);
  ASSERT(NT_SUCCESS(ntStatus));
  deviceExtension->WakeupEnabled = FALSE;
  return ntStatus;
}

// Refused while a device-control request runs; else closes the gate, under
// the lock the requests count themselves in under.
NTSTATUS QueryStopDevice(PDEVICE_OBJECT DeviceObject,
                         PDEVICE_OBJECT AttachedPDO, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  KIRQL irql;

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_QUERY_STOP_DEVICE\n");
  KeAcquireSpinLock(&deviceExtension->IoCountLock, &irql);
  if (deviceExtension->IoCount > 0) {
    KeReleaseSpinLock(&deviceExtension->IoCountLock, irql);
    return STATUS_DEVICE_BUSY;
  }
  KeClearEvent(&deviceExtension->ReaderStarted);
  KeReleaseSpinLock(&deviceExtension->IoCountLock, irql);
  return UscrCallUSBDriver(AttachedPDO, Irp);
}

// Opens the gate again. IoCount is left alone: it counts the requests
// still running when a query-stop was refused, and each counts itself out.
NTSTATUS CancelStopDevice(PDEVICE_OBJECT DeviceObject,
                          PDEVICE_OBJECT AttachedPDO, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_CANCEL_STOP_DEVICE\n");
  NTSTATUS ntStatus = UscrCallUSBDriver(AttachedPDO, Irp);
  ASSERT(ntStatus == STATUS_SUCCESS);
  KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
  return ntStatus;
}

NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT AttachedPDO,
                    PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_STOP_DEVICE\n");
  (void)GenericWakeupControl(deviceExtension, CancelWaitWake);
  deviceExtension->ThreadRestartBlocked = TRUE;
  UscrStopCardThread(deviceExtension);
  (void)KorvoSCD_StopDevice(DeviceObject);
  return UscrCallUSBDriver(AttachedPDO, Irp);
}

// Without a registered interface (IsWin98OrMe) there is nothing to switch.
NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT DeviceObject,
                           PDEVICE_OBJECT AttachedPDO, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_QUERY_REMOVE_DEVICE\n");
  if (deviceExtension->InterfaceName.Buffer != nullptr) {
    NTSTATUS ntStatus =
        IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);
    if (ntStatus != STATUS_SUCCESS) {
      ASSERT(ntStatus == STATUS_SUCCESS);
      return ntStatus;
    }
  }
  return UscrCallUSBDriver(AttachedPDO, Irp);
}

NTSTATUS CancelRemoveDevice(PDEVICE_OBJECT DeviceObject,
                            PDEVICE_OBJECT AttachedPDO, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_CANCEL_REMOVE_DEVICE\n");
  NTSTATUS ntStatus = UscrCallUSBDriver(AttachedPDO, Irp);
  if (ntStatus == STATUS_SUCCESS &&
      deviceExtension->InterfaceName.Buffer != nullptr)
    ntStatus = IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, TRUE);
  return ntStatus;
}

// The reader is gone: requests waiting at the gate, and those still to
// come, fail rather than wait for a start that will never come.
NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject,
                         PDEVICE_OBJECT AttachedPDO, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_SURPRISE_REMOVAL\n");
  KeSetEvent(&deviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
  return UscrCallUSBDriver(AttachedPDO, Irp);
}

// Gives up the removal's hold on the remove lock and waits for every other
// holder first, so that no request in flight finds the thread stopped
// under it or the USB data freed, or restarts the thread. The IRP is
// passed down and completed before the device object goes, the interface
// switched off before the bus may delete the device it belongs to.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT AttachedPDO,
                      PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_REMOVE_DEVICE\n");
  DbgPrint("Uscr!UscrPnPDeviceControl: IRP_MN_REMOVE_DEVICE~~~~~~~~~~~~~~~~~~"
           "~~~ThreadShouldStop~~~~~~~~~\n");
  KeSetEvent(&deviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
  deviceExtension->ThreadRestartBlocked = TRUE;
  // A wait-wake request holds the remove lock until it ends.
  (void)GenericWakeupControl(deviceExtension, CancelWaitWake);
  SmartcardReleaseRemoveLockAndWait(&deviceExtension->SmartcardExtension);
  UscrStopCardThread(deviceExtension);
  (void)KorvoSCD_RemoveDevice(DeviceObject);
  if (deviceExtension->InterfaceName.Buffer != nullptr)
    (void)IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);

  NTSTATUS ntStatus = UscrCallUSBDriver(AttachedPDO, Irp);
  Irp->IoStatus.Status = ntStatus;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  UscrUnloadDevice(DeviceObject);
  return ntStatus;
}

} // namespace

/*
 * UscrCallUSBDriverComplete
 *   Completion routine of a request sent down and awaited: marks a
 *   cancelled request, wakes the waiter (the event in Context, if any) and
 *   keeps the IRP for it.
 * Result: STATUS_MORE_PROCESSING_REQUIRED.  IRQL: <= DISPATCH_LEVEL.
 */
NTSTATUS UscrCallUSBDriverComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->Cancel)
    Irp->IoStatus.Status = STATUS_CANCELLED;
  if (Context != nullptr)
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * UscrCallUSBDriver
 *   Passes the IRP down and waits until the lower drivers are done with it;
 *   the caller owns it again and completes it.
 * Arguments: the lower device object; the IRP.
 * Result: the lower drivers' status.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrCallUSBDriver(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
  KEVENT event;

  IoCopyCurrentIrpStackLocationToNext(Irp);
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, UscrCallUSBDriverComplete, &event, TRUE, TRUE,
                         TRUE);
  NTSTATUS ntStatus =
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
          ? PoCallDriver(LowerDeviceObject, Irp)
          : IoCallDriver(LowerDeviceObject, Irp);
  if (ntStatus == STATUS_PENDING) {
    NTSTATUS waitStatus =
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    DbgPrint("UscrCallUSBDriver: STATUS_PENDING=>STATUS_PENDING:"
             "KeWaitForSingleObject(%X)\n",
             waitStatus);
    if (waitStatus == STATUS_SUCCESS)
      ntStatus = Irp->IoStatus.Status;
  }
  return ntStatus;
}

/*
 * UscrPnPDeviceControl
 *   IRP_MJ_PNP, under the remove lock (given up for good at removal).
 * Arguments: the device object; the IRP.
 * Result: the status the IRP is completed with.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrPnPDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);

  NTSTATUS ntStatus =
      SmartcardAcquireRemoveLock(&deviceExtension->SmartcardExtension);
  if (!NT_SUCCESS(ntStatus)) {
    ASSERT(ntStatus == STATUS_SUCCESS);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = ntStatus;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return ntStatus;
  }

  PDEVICE_OBJECT attachedPDO = deviceExtension->AttachedPDO;
  BOOLEAN lowerStatus = FALSE;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
  case IRP_MN_START_DEVICE:
    ntStatus = StartDevice(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_QUERY_STOP_DEVICE:
    ntStatus = QueryStopDevice(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_CANCEL_STOP_DEVICE:
    ntStatus = CancelStopDevice(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_STOP_DEVICE:
    ntStatus = StopDevice(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_QUERY_REMOVE_DEVICE:
    ntStatus = QueryRemoveDevice(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_CANCEL_REMOVE_DEVICE:
    ntStatus = CancelRemoveDevice(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_SURPRISE_REMOVAL:
    ntStatus = SurpriseRemoval(DeviceObject, attachedPDO, Irp);
    break;
  case IRP_MN_REMOVE_DEVICE:
    // Completes the IRP itself and gives the remove lock up for good.
    return RemoveDevice(DeviceObject, attachedPDO, Irp);
  default:
    ntStatus = UscrCallUSBDriver(attachedPDO, Irp);
    lowerStatus = TRUE;
    break;
  }

  if (!lowerStatus)
    Irp->IoStatus.Status = ntStatus;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
  return ntStatus;
}
