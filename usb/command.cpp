// Reader commands: a command record turned into a vendor request on the
// default pipe, and the recovery after a failed exchange.
#include "frame/scope_exit.h"
#include "usb/usbscd.h"

namespace {

BOOLEAN IsCardBound(UCHAR bRequest) {
  return bRequest == READER_WARM_RESET || bRequest == READER_COLD_RESET ||
         bRequest == READER_SET_PARAMETERS || bRequest == READER_WRITE_LENGTH ||
         bRequest == READER_READ_LENGTH;
}

// Both forms: one URB, filled, submitted and freed. BytesTransferred, when
// given, receives the bus driver's count.
NTSTATUS SendCommand(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PUCHAR Buffer,
                     PREADER_COMMAND Command, BOOLEAN cardCommand,
                     PULONG BytesTransferred) {
  const ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = static_cast<PURB>(UscrAllocate(size, "urb"));
  if (urb == nullptr)
    return STATUS_NO_MEMORY;
  SCOPE_EXIT {
    UscrFree(urb, "urb");
  };
  if (Buffer == nullptr)
    return STATUS_NO_MEMORY;

  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *request =
      &urb->UrbControlVendorClassRequest;
  request->Hdr.Length = static_cast<USHORT>(size);
  request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  // A write sets every flag but the direction.
  request->TransferFlags = Write
                               ? ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN)
                               : USBD_TRANSFER_DIRECTION_IN;
  request->TransferBufferLength = Command->wLength;
  request->TransferBuffer = Buffer;
  request->TransferBufferMDL = nullptr;
  request->UrbLink = nullptr;
  request->RequestTypeReservedBits = 0;
  request->Request = Command->bRequest;
  request->Value = Command->wValue;
  request->Index = Command->wIndex;

  NTSTATUS ntStatus =
      KorvoSCD_CallUSBD(DeviceObject, urb, USCR_COMMAND_TIMEOUT, cardCommand);
  if (BytesTransferred != nullptr)
    *BytesTransferred = request->TransferBufferLength;
  return ntStatus;
}

} // namespace

/*
 * USBSCCommand, command form
 *   Sends one reader command as a vendor request (2500 ms), card-bound for
 *   the resets, SET PARAMETERS and the transfer announcements.
 * Arguments: the reader's device object; Write (TRUE: host to reader); the
 *   data buffer (never nullptr, at least wLength bytes); the command record.
 * Result: the status from KorvoSCD_CallUSBD; STATUS_NO_MEMORY when the URB
 *   cannot be allocated or the buffer is nullptr.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS USBSCCommand(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PUCHAR Buffer,
                      PREADER_COMMAND Command) {
  return SendCommand(DeviceObject, Write, Buffer, Command,
                     IsCardBound(Command->bRequest), nullptr);
}

/*
 * USBSCCommand, vendor-read form
 *   As the command form, always card-bound, and reports the bytes moved.
 * Arguments: as above; BytesTransferred receives the URB's count, or 0 when
 *   the command was refused before any transfer.
 * Result: as above.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS USBSCCommand(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PUCHAR Buffer,
                      PREADER_COMMAND Command, PULONG BytesTransferred) {
  *BytesTransferred = 0;
  return SendCommand(DeviceObject, Write, Buffer, Command, TRUE,
                     BytesTransferred);
}

/*
 * SCAbortAndRestart
 *   Recovery after a failed exchange: HOST ABORT, and a new card presence
 *   thread when a card event (or a stop path) has stopped the last one.
 * Arguments: the reader's device object; the caller's restart trace.
 * Result: none; the caller's status stands.  IRQL: PASSIVE_LEVEL.
 */
void SCAbortAndRestart(PDEVICE_OBJECT DeviceObject, PCSTR RestartTrace) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  UCHAR scratch[2] = {0, 0};
  READER_COMMAND command = {0, READER_HOST_ABORT, 0xFFFF, 0xFFFF, 0};

  (void)USBSCCommand(DeviceObject, TRUE, scratch, &command);

  if (deviceExtension->ThreadShouldStop) {
    DbgPrint("%s", RestartTrace);
    (void)UscrStartCardThread(deviceExtension);
  }
}
