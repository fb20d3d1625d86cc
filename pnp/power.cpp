// IRP_MJ_POWER, for now only what a WDM function driver must do with a
// power request: start the next one and pass it down under the remove lock.
// The power policy (sleep, resume, wait-wake) replaces it.
#include "frame/talvor.h"

/*
 * UscrPower
 *   Passes a power request to the lower driver.
 * Arguments: the device object; the IRP.
 * Result: the lower driver's status; the lock's failure once the reader
 *   is being removed.
 * IRQL: PASSIVE_LEVEL (DO_POWER_PAGABLE).
 */
NTSTATUS UscrPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  PSMARTCARD_EXTENSION smartcardExtension =
      &deviceExtension->SmartcardExtension;

  PoStartNextPowerIrp(Irp);
  NTSTATUS ntStatus = SmartcardAcquireRemoveLock(smartcardExtension);
  if (!NT_SUCCESS(ntStatus)) {
    Irp->IoStatus.Status = ntStatus;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return ntStatus;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  ntStatus = PoCallDriver(deviceExtension->AttachedPDO, Irp);
  SmartcardReleaseRemoveLock(smartcardExtension);
  return ntStatus;
}
