// URB submission: an internal device-control request around the URB, sent
// to the device below and awaited with a time-out, a card-event abort, or a
// stop request.
#include "usb/usbscd.h"

namespace {

/*
 * KorvoSCD_CallUSBDComplete
 *   Completion routine of KorvoSCD_CallUSBD: wakes the waiter and keeps the
 *   IRP, so that it is handed back only once the waiter is done with it.
 * Arguments: device object (unused); the IRP; the waiter's event.
 * Result: STATUS_MORE_PROCESSING_REQUIRED.  IRQL: <= DISPATCH_LEVEL.
 */
NTSTATUS KorvoSCD_CallUSBDComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The relative 100 ns wait for `timeout` milliseconds. Longer time-outs are
// clamped to the longest one whose count fits 32 bits.
LARGE_INTEGER RelativeTimeout(ULONG timeout) {
  if (timeout > USCR_MAX_TIMEOUT)
    timeout = USCR_MAX_TIMEOUT;
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = -static_cast<LONGLONG>(timeout) * 10000;
  return dueTime;
}

PIRP BuildSubmitUrbIrp(PDEVICE_EXTENSION DeviceExtension, PURB Urb,
                       PKEVENT Event, PIO_STATUS_BLOCK IoStatus) {
  PIRP irp = IoBuildDeviceIoControlRequest(
      IOCTL_INTERNAL_USB_SUBMIT_URB, DeviceExtension->AttachedPDO, nullptr, 0,
      nullptr, 0, TRUE, Event, IoStatus);
  if (irp != nullptr)
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  return irp;
}

/*
 * KorvoSCD_HandBackIrp
 *   Completes an IRP that the completion routine kept back, and waits until
 *   the I/O manager has finished it. The I/O manager sets the event only for
 *   a request that succeeded or was pended; whether it will is decided
 *   before the IRP is completed, since completion frees it.
 * Arguments: the IRP; the event it was built with.
 * IRQL: PASSIVE_LEVEL.
 */
void KorvoSCD_HandBackIrp(PIRP Irp, PKEVENT Event) {
  BOOLEAN eventComes =
      Irp->PendingReturned || !NT_ERROR(Irp->IoStatus.Status) ? TRUE : FALSE;
  KeClearEvent(Event);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (eventComes)
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
}

} // namespace

/*
 * KorvoSCD_CallUSBD
 *   Submits a URB to the device below and waits for it, at most `timeout`
 *   ms. A card-bound request is also aborted by CardChangeEvent, which then
 *   stops the card presence thread. The IRP is always given back and
 *   completed before the routine returns, so the caller may free the URB.
 * Arguments: the reader's device object; the URB; the time-out in ms;
 *   cardCommand, TRUE for a card-bound request.
 * Result: the bus driver's status; STATUS_CANCELLED after a time-out;
 *   STATUS_IO_TIMEOUT after a card event; STATUS_INSUFFICIENT_RESOURCES
 *   when no IRP could be built.  IRQL: PASSIVE_LEVEL, never in the card
 *   presence thread.
 */
NTSTATUS KorvoSCD_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG timeout,
                           BOOLEAN cardCommand) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS ntStatus;

  DbgPrint("enter KorvoSCD_CallUSBD,timeout=%X, cardCommand=%X\n", timeout,
           cardCommand);
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  PIRP irp = BuildSubmitUrbIrp(deviceExtension, Urb, &event, &ioStatus);
  if (irp == nullptr) {
    ntStatus = STATUS_INSUFFICIENT_RESOURCES;
    DbgPrint("Exit\tKorvoSCD_CallUSBD ntStatus=0x%x)\n", ntStatus);
    return ntStatus;
  }
  IoSetCompletionRoutine(irp, KorvoSCD_CallUSBDComplete, &event, TRUE, TRUE,
                         TRUE);

  DbgPrint(" KorvoSCD_CallUSBD - Calling USB Driver "
           "Stack(deviceExtension->AttachedPDO=(%X), irp=(%X))\n",
           static_cast<ULONG>(
               reinterpret_cast<ULONG_PTR>(deviceExtension->AttachedPDO)),
           static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp)));
  ntStatus = IoCallDriver(deviceExtension->AttachedPDO, irp);
  DbgPrint("return from IoCallDriver\tntStatus=0x%x)\n", ntStatus);

  if (ntStatus == STATUS_PENDING) {
    LARGE_INTEGER dueTime = RelativeTimeout(timeout);
    DbgPrint("TimeOut=%X (100ns)\n", dueTime.LowPart);
    NTSTATUS waitStatus;
    BOOLEAN cardEvent = FALSE;
    BOOLEAN abandoned = FALSE;

    if (cardCommand) {
      PVOID objects[2] = {&event, &deviceExtension->CardChangeEvent};
      waitStatus = KeWaitForMultipleObjects(
          2, objects, WaitAny, Executive, KernelMode, FALSE, &dueTime, nullptr);
      if (KeResetEvent(&deviceExtension->CardChangeEvent) != 0) {
        DbgPrint("KorvoSCD_CallUSBD -\t Detected Card Removed/insert Event, "
                 "will ABORT\tSTOP BG\tthread\n");
        deviceExtension->ThreadShouldStop = TRUE;
        cardEvent = TRUE;
        DbgPrint("KorvoSCD_CallUSBD Wait BG Thread terminate... !\n");
        KeWaitForSingleObject(&deviceExtension->ThreadStopped, Executive,
                              KernelMode, FALSE, nullptr);
      } else if (waitStatus == STATUS_WAIT_1 && KeReadStateEvent(&event) == 0) {
        // Woken by a card event that another caller has already taken: the
        // request is still with the bus driver and is aborted all the same.
        abandoned = TRUE;
      }
    } else {
      waitStatus =
          KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &dueTime);
    }

    if (waitStatus == STATUS_TIMEOUT || cardEvent || abandoned) {
      ioStatus.Status = STATUS_IO_TIMEOUT;
      ioStatus.Information = 0;
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ntStatus =
          (cardEvent || abandoned) ? STATUS_IO_TIMEOUT : STATUS_CANCELLED;
    } else {
      // The request's own final status: a pended failure is no success.
      ntStatus = irp->IoStatus.Status;
    }
  }

  // Hand the IRP back: the I/O manager frees it, and sets the event again
  // unless the request failed without ever being pended (STATUS_NO_SUCH_DEVICE,
  // a refused URB): then no event comes, and waiting would hang for good.
  KorvoSCD_HandBackIrp(irp, &event);

  SCNotePipeHalt(deviceExtension, Urb);
  DbgPrint("Exit\tKorvoSCD_CallUSBD ntStatus=0x%x)\n", ntStatus);
  return ntStatus;
}

/*
 * KorvoSCD_CallUSBDInterrupt
 *   Submits the interrupt-pipe URB and waits without time-out until it
 *   completes or the card presence thread is asked to stop, in which case
 *   it is cancelled and awaited. The IRP is held back by the completion
 *   routine, as in KorvoSCD_CallUSBD, so that a completion racing the stop
 *   cannot free it under the cancel.
 * Arguments: the reader's device object; the URB.
 * Result: the request's final status (STATUS_CANCELLED when stopped);
 *   STATUS_INSUFFICIENT_RESOURCES when no IRP could be built.
 * IRQL: PASSIVE_LEVEL, in the card presence thread.
 */
NTSTATUS KorvoSCD_CallUSBDInterrupt(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;

  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  PIRP irp = BuildSubmitUrbIrp(deviceExtension, Urb, &event, &ioStatus);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoSetCompletionRoutine(irp, KorvoSCD_CallUSBDComplete, &event, TRUE, TRUE,
                         TRUE);

  NTSTATUS ntStatus = IoCallDriver(deviceExtension->AttachedPDO, irp);
  if (ntStatus == STATUS_PENDING) {
    PVOID objects[2] = {&event, &deviceExtension->ThreadStopEvent};
    for (;;) {
      NTSTATUS waitStatus = KeWaitForMultipleObjects(
          2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
      if (waitStatus == STATUS_WAIT_0)
        break;
      if (!deviceExtension->ThreadShouldStop) {
        // A stop event left over from an earlier thread: forget it and wait
        // on. A stopper sets ThreadShouldStop before the event, so a stop
        // arriving meanwhile is seen just below or by the next wait.
        KeClearEvent(&deviceExtension->ThreadStopEvent);
        if (!deviceExtension->ThreadShouldStop)
          continue;
      }
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      break;
    }
    ntStatus = irp->IoStatus.Status;
  }

  KorvoSCD_HandBackIrp(irp, &event);
  SCNotePipeHalt(deviceExtension, Urb);
  return ntStatus;
}
