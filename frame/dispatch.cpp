// The front door of a reader: open and close (one handle at a time),
// device-control requests through the smart card library, and system
// control passed down.
#include "frame/scope_exit.h"
#include "frame/talvor.h"

namespace {

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// Counts a device-control request in once the reader is started, or once
// it has been removed (the caller then fails the request). The gate is
// read under IoCountLock, under which a query-stop closes it, so no
// request passes a gate a query-stop has closed.
void PassGate(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->IoCountLock, &irql);
  if (DeviceExtension->IoCount == 0) {
    DbgPrint("UscrDeviceIoControl->IoCount = %d \n", DeviceExtension->IoCount);
    while (KeReadStateEvent(&DeviceExtension->ReaderStarted) == 0 &&
           KeReadStateEvent(&DeviceExtension->ReaderRemoved) == 0) {
      KeReleaseSpinLock(&DeviceExtension->IoCountLock, irql);
      // After a removal the reader never starts again.
      PVOID gates[2] = {&DeviceExtension->ReaderStarted,
                        &DeviceExtension->ReaderRemoved};
      KeWaitForMultipleObjects(2, gates, WaitAny, Executive, KernelMode, FALSE,
                               nullptr, nullptr);
      KeAcquireSpinLock(&DeviceExtension->IoCountLock, &irql);
    }
  }
  DeviceExtension->IoCount++;
  KeReleaseSpinLock(&DeviceExtension->IoCountLock, irql);
}

// Counts a request out; returns the count left.
LONG LeaveGate(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->IoCountLock, &irql);
  LONG ioCount = --DeviceExtension->IoCount;
  ASSERT(DeviceExtension->IoCount >= 0);
  KeReleaseSpinLock(&DeviceExtension->IoCountLock, irql);
  return ioCount;
}

} // namespace

/*
 * UscrCreateClose
 *   IRP_MJ_CREATE: opens the reader if no other handle is open; the open
 *   handle holds the remove lock until IRP_MJ_CLOSE gives it back.
 * Arguments: the device object; the IRP.
 * Result: STATUS_SUCCESS; STATUS_UNSUCCESSFUL when a handle is open
 *   already; STATUS_DEVICE_REMOVED once the reader is being removed.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;
  NTSTATUS ntStatus = STATUS_SUCCESS;
  SCOPE_EXIT {
    Irp->IoStatus.Status = ntStatus;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  };

  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
    if (!NT_SUCCESS(SmartcardAcquireRemoveLock(smartcardExtension))) {
      ntStatus = STATUS_DEVICE_REMOVED;
    } else if (InterlockedCompareExchange(&deviceExtension->ReaderOpen, 1, 0) !=
               0) {
      SmartcardReleaseRemoveLock(smartcardExtension);
      ntStatus = STATUS_UNSUCCESSFUL;
    }
  } else {
    // The extension is not touched once the lock is given back: a removal
    // waiting for it may delete the device at once.
    InterlockedExchange(&deviceExtension->ReaderOpen, 0);
    SmartcardReleaseRemoveLock(smartcardExtension);
  }
  return ntStatus;
}

/*
 * UscrDeviceIoControl
 *   Waits at the gate while the reader is stopped, counts the request in
 *   IoCount and hands it to the smart card library under the remove lock.
 * Arguments: the device object; the IRP.
 * Result: the library's status (STATUS_PENDING for card tracking), or
 *   STATUS_DEVICE_REMOVED once the reader has been removed.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrDeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;
  LARGE_INTEGER noWait;
  NTSTATUS ntStatus;

  PassGate(deviceExtension);

  noWait.QuadPart = 0;
  NTSTATUS removed = KeWaitForSingleObject(
      &deviceExtension->ReaderRemoved, Executive, KernelMode, FALSE, &noWait);
  DbgPrint("UscrDeviceIoControl->ReaderRemoved!(%X) \n", removed);
  if (removed == STATUS_SUCCESS) {
    DbgPrint("UscrDeviceIoControl --> STATUS_DEVICE_REMOVED \n");
    ntStatus = STATUS_DEVICE_REMOVED;
  } else {
    ntStatus = SmartcardAcquireRemoveLock(smartcardExtension);
  }
  if (!NT_SUCCESS(ntStatus)) {
    DbgPrint("UscrDeviceIoControl --> the device has been removed.\tFail the "
             "call(%X) \n",
             ntStatus);
    (void)LeaveGate(deviceExtension);
    Irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
  }

  ntStatus = SmartcardDeviceControl(smartcardExtension, Irp);

  // Counted out before the lock goes: a removal waiting for the lock may
  // delete the device at once.
  LONG ioCount = LeaveGate(deviceExtension);
  SmartcardReleaseRemoveLock(smartcardExtension);
  DbgPrint("UscrDeviceIoControl->IoCount--!(%d),(%X)\n", ioCount, ntStatus);
  return ntStatus;
}

/*
 * uscrDispatchSystemControl
 *   Passes a system-control request down, holding the remove lock until
 *   the lower driver has it.
 * Arguments: the device object; the IRP.
 * Result: the lower driver's status; the lock's failure once the reader
 *   is being removed.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS uscrDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;

  DbgPrint("uscrDispatchSystemControl \n");
  NTSTATUS ntStatus = SmartcardAcquireRemoveLock(smartcardExtension);
  if (!NT_SUCCESS(ntStatus)) {
    Irp->IoStatus.Status = ntStatus;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return ntStatus;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  ntStatus = IoCallDriver(deviceExtension->AttachedPDO, Irp);
  SmartcardReleaseRemoveLock(smartcardExtension);
  return ntStatus;
}
