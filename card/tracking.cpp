// Card tracking: the one pending IS_PRESENT / IS_ABSENT request, completed
// by a card state change, a resume, its cancellation or the handle's close.
//
// The library stores the IRP in OsData->NotificationIrp under
// OsData->SpinLock and calls CBCardTracking after releasing it, so the IRP
// may be found stored and not yet cancellable. Lock order: OsData->SpinLock,
// then the cancel spin lock. Whoever takes the IRP out of NotificationIrp
// with the cancel spin lock held owns it and completes it; the cancel
// routine takes it out before it releases that lock.
#include "frame/talvor.h"

namespace {

// Takes the notification IRP out and clears its cancel routine. Both locks
// held. Whoever takes it out completes it: a cancel routine under way has
// taken it out already (under the cancel spin lock), and one stored by the
// library but not yet made cancellable is ours to complete.
PIRP TakeNotificationIrp(PSMARTCARD_EXTENSION SmartcardExtension) {
  PIRP notificationIrp = static_cast<PIRP>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(
          &SmartcardExtension->OsData->NotificationIrp),
      nullptr));
  if (notificationIrp != nullptr)
    IoSetCancelRoutine(notificationIrp, nullptr);
  return notificationIrp;
}

void CompleteTracking(PIRP Irp) {
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = Irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

} // namespace

/*
 * CBCardTracking
 *   RDF_CARD_TRACKING callback: makes the pending notification IRP
 *   cancellable, or completes it with STATUS_CANCELLED when it was
 *   cancelled before it could be. Finds none when a state change or the
 *   handle's cleanup completed it after the library stored it.
 * Arguments: the smart card extension.
 * Result: STATUS_PENDING.
 * IRQL: PASSIVE_LEVEL; the library holds no lock.
 */
NTSTATUS CBCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL irql;
  KIRQL cancelIrql;
  PIRP cancelledIrp = nullptr;

  DbgPrint("Uscr!CBCardTracking: Enter\n");
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP notificationIrp = SmartcardExtension->OsData->NotificationIrp;
  if (notificationIrp != nullptr) {
    if (notificationIrp->Cancel)
      cancelledIrp = TakeNotificationIrp(SmartcardExtension);
    else
      IoSetCancelRoutine(notificationIrp, UscrCancel);
  }
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);

  if (cancelledIrp != nullptr)
    CompleteTracking(cancelledIrp);
  DbgPrint("Uscr!CBCardTracking: Exit \n");
  return STATUS_PENDING;
}

/*
 * CBUpdateCardState
 *   Records a presence report as SCARD_PRESENT or SCARD_ABSENT and
 *   completes the pending tracking request when the state changed.
 * Arguments: the device extension; the presence byte (1: present, anything
 *   else: absent).
 * Result: none.  IRQL: <= DISPATCH_LEVEL.
 */
void CBUpdateCardState(PDEVICE_EXTENSION DeviceExtension, UCHAR Presence) {
  PSMARTCARD_EXTENSION smartcardExtension =
      &DeviceExtension->SmartcardExtension;
  KIRQL irql;
  KIRQL cancelIrql;

  DbgPrint("Uscr!CBUpdateCardState: Enter \n");
  KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
  ULONG oldState =
      smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT
          ? SCARD_PRESENT
          : SCARD_ABSENT;
  smartcardExtension->ReaderCapabilities.CurrentState =
      Presence == 1 ? SCARD_PRESENT : SCARD_ABSENT;
  DbgPrint("Uscr!CBUpdateCardState: Smart card %s\n",
           Presence == 1 ? "inserted" : "removed");

  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP notificationIrp = nullptr;
  if (smartcardExtension->ReaderCapabilities.CurrentState != oldState)
    notificationIrp = TakeNotificationIrp(smartcardExtension);
  IoReleaseCancelSpinLock(cancelIrql);

  if (notificationIrp != nullptr) {
    if (!notificationIrp->Cancel)
      DbgPrint(
          "Uscr!CBUpdateCardState: Completing Irp %lx\n",
          static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(notificationIrp)));
    CompleteTracking(notificationIrp);
  }
  KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);
  DbgPrint("Uscr!CBUpdateCardState: Exit \n");
}

/*
 * CompleteCardTracking
 *   Completes the pending tracking request unconditionally (after resume).
 * Arguments: the device extension.
 * Result: none.  IRQL: <= DISPATCH_LEVEL.
 */
void CompleteCardTracking(PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcardExtension =
      &DeviceExtension->SmartcardExtension;
  KIRQL irql;
  KIRQL cancelIrql;

  DbgPrint("CompleteCardTracking : Enter\n");
  KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP notificationIrp = TakeNotificationIrp(smartcardExtension);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);

  if (notificationIrp != nullptr) {
    DbgPrint("%s!TLP3CompleteCardTracking: Completing NotificationIrp %lxh\n",
             "SMCLIB",
             static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(notificationIrp)));
    CompleteTracking(notificationIrp);
  }
  DbgPrint("CompleteCardTracking : Exit\n");
}

/*
 * UscrCancel
 *   Cancel routine of the tracking request.
 * Arguments: the device object; the IRP.
 * Result: none; the IRP ends with STATUS_CANCELLED.
 * IRQL: DISPATCH_LEVEL, entered with the cancel spin lock held.
 */
void UscrCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  POS_DEP_DATA osData = deviceExtension->SmartcardExtension.OsData;

  DbgPrint("Uscr!UscrCancel: Enter\n");
  if (osData->NotificationIrp == Irp)
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile *>(&osData->NotificationIrp), nullptr);
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  DbgPrint("Uscr!UscrCancel: Completing wait for Irp = %lx\n",
           static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Irp)));
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DbgPrint("Uscr!UscrCancel: Exit\n");
}

/*
 * UscrCleanup
 *   IRP_MJ_CLEANUP: completes a pending tracking request, cancellable or
 *   not yet, then the cleanup request.
 * Arguments: the device object; the cleanup IRP.
 * Result: STATUS_SUCCESS.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;
  KIRQL irql;

  KeAcquireSpinLock(&smartcardExtension->OsData->SpinLock, &irql);
  IoAcquireCancelSpinLock(&Irp->CancelIrql);
  PIRP notificationIrp = TakeNotificationIrp(smartcardExtension);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, irql);

  if (notificationIrp != nullptr) {
    notificationIrp->IoStatus.Information = 0;
    notificationIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(notificationIrp, IO_NO_INCREMENT);
  }

  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  DbgPrint("%s!UscrCleanup: Exit\n", "SMCLIB");
  return STATUS_SUCCESS;
}
