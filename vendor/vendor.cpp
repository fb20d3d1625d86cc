// The vendor device-control codes: reader commands and I2C exchanges that
// applications reach past the smart card library's own request set.
#include "usb/usbscd.h"
#include "vendor/ioctl.h"

namespace {

// The two-byte commands move this much of the system buffer.
const ULONG kVendorValueLength = 2;

/*
 * SCValueBufferFits
 *   Whether a two-byte code has two bytes of system buffer in its own
 *   direction: I2C COMMAND and VENDOR WRITE the input, VENDOR READ the
 *   output. Other codes have nothing to check here.
 */
BOOLEAN SCValueBufferFits(PIRP Irp, ULONG IoControlCode) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG length;
  if (IoControlCode == IOCTL_VENDOR_I2C_COMMAND ||
      IoControlCode == IOCTL_VENDOR_WRITE)
    length = stack->Parameters.DeviceIoControl.InputBufferLength;
  else if (IoControlCode == IOCTL_VENDOR_READ)
    length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  else
    return TRUE;
  return Irp->AssociatedIrp.SystemBuffer != nullptr &&
                 length >= kVendorValueLength
             ? TRUE
             : FALSE;
}

/*
 * SCVendorValue
 *   I2C COMMAND, VENDOR WRITE (host to reader) or VENDOR READ (reader to
 *   host) with the first two bytes of the system buffer.
 * Arguments: the reader's device object; the request; the command;
 *   Write; BytesTransferred, out: VENDOR READ's count.
 * Result: the command's status.
 */
NTSTATUS SCVendorValue(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR bRequest,
                       BOOLEAN Write, PULONG BytesTransferred) {
  PUCHAR systemBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  READER_COMMAND command = {0, bRequest, 0, 0, kVendorValueLength};

  if (Write)
    return USBSCCommand(DeviceObject, TRUE, systemBuffer, &command);
  return USBSCCommand(DeviceObject, FALSE, systemBuffer, &command,
                      BytesTransferred);
}

} // namespace

/*
 * UscrGenericIoControl
 *   RDF_IOCTL_VENDOR callback: the five vendor codes. A time-out or cancel
 *   is answered with HOST ABORT and becomes STATUS_IO_TIMEOUT; every
 *   failure that reached the reader, and an unknown code, is followed by
 *   the recovery (HOST ABORT, the card presence thread restarted when a
 *   card event stopped it).
 * Arguments: the smart card extension; OsData->CurrentIrp the request.
 * Result: the reader work's status, also in the request's IoStatus;
 *   STATUS_INVALID_DEVICE_REQUEST for another code; STATUS_BUFFER_TOO_SMALL
 *   for a two-byte code without two bytes of its direction, nothing sent
 *   and no recovery.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrGenericIoControl(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
  PIRP irp = SmartcardExtension->OsData->CurrentIrp;
  ULONG ioControlCode = IoGetCurrentIrpStackLocation(irp)
                            ->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS ntStatus = STATUS_INVALID_DEVICE_REQUEST;
  ULONG bytesRead = 0;

  DbgPrint("UscrGenericIoControl enter\n");
  DbgPrint("Uscr!UscrGenericIOCTL: Enter\n");
  irp->IoStatus.Information = 0;

  // Never past the caller's buffer; the reader has seen nothing to abort.
  if (!SCValueBufferFits(irp, ioControlCode)) {
    DbgPrint("UscrGenericIoControl - buffer too small\n");
    irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    return STATUS_BUFFER_TOO_SMALL;
  }

  switch (ioControlCode) {
  case IOCTL_VENDOR_I2C_COMMAND:
    DbgPrint("UscrGenericIoControl - Setting I2C Command \n");
    ntStatus =
        SCVendorValue(deviceObject, irp, READER_I2C_COMMAND, TRUE, nullptr);
    break;
  case IOCTL_VENDOR_I2C_WRITE:
    DbgPrint("UscrGenericIoControl - I2C Write \n");
    ntStatus = SCReadWriteI2C(SmartcardExtension, TRUE);
    break;
  case IOCTL_VENDOR_I2C_READ:
    DbgPrint("UscrGenericIoControl - I2C Read \n");
    ntStatus = SCReadWriteI2C(SmartcardExtension, FALSE);
    break;
  case IOCTL_VENDOR_WRITE:
    DbgPrint("UscrGenericIoControl - VendorWrite \n");
    ntStatus =
        SCVendorValue(deviceObject, irp, READER_VENDOR_WRITE, TRUE, nullptr);
    break;
  case IOCTL_VENDOR_READ:
    DbgPrint("UscrGenericIoControl - VendorReader\t\n");
    ntStatus =
        SCVendorValue(deviceObject, irp, READER_VENDOR_READ, FALSE, &bytesRead);
    irp->IoStatus.Information = bytesRead;
    break;
  default:
    break;
  }

  // Only the reader work of the five codes ends in these.
  if (SCIsTimeOut(ntStatus)) {
    SCSendHostAbort(deviceObject);
    ntStatus = STATUS_IO_TIMEOUT;
  }
  irp->IoStatus.Status = ntStatus;
  if (NT_SUCCESS(ntStatus))
    return ntStatus;

  DbgPrint("  -\t IOCTL_XXX ERROR - SEND\tHOST ABORT\n");
  SCAbortAndRestart(deviceObject, "\t   -IOCTL_XXX_Command RESTART THREAD\n");
  return ntStatus;
}
