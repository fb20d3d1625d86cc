// Reader commands: a command record turned into a vendor request on the
// default pipe, and the recovery after a failed exchange.
#include "frame/scope_exit.h"
#include "usb/usbscd.h"

namespace {

// HaltedPipes' bit for Pipes[pipeNum], pipeNum below USCR_MAX_PIPES.
LONG PipeBit(ULONG pipeNum) {
  return static_cast<LONG>(1) << pipeNum;
}

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
 * SCNotePipeHalt
 *   Notes the pipe of a bulk or interrupt transfer that ended on a halted
 *   endpoint: the reader stalled it, or the bus driver refused it because
 *   of an earlier stall. The bus driver runs nothing more on that pipe
 *   until it is reset, which the next recovery does.
 * Arguments: the device extension; the URB, its request finished.
 * Result: none.  IRQL: <= DISPATCH_LEVEL.
 */
void SCNotePipeHalt(PDEVICE_EXTENSION DeviceExtension, PURB Urb) {
  if (Urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    return;
  if (Urb->UrbHeader.Status != USBD_STATUS_STALL_PID &&
      Urb->UrbHeader.Status != USBD_STATUS_ENDPOINT_HALTED)
    return;
  PUSBD_INTERFACE_INFORMATION interfaceInfo = DeviceExtension->Interface;
  if (interfaceInfo == nullptr)
    return;
  for (ULONG pipeNum = 0;
       pipeNum < interfaceInfo->NumberOfPipes && pipeNum < USCR_MAX_PIPES;
       ++pipeNum) {
    if (interfaceInfo->Pipes[pipeNum].PipeHandle ==
        Urb->UrbBulkOrInterruptTransfer.PipeHandle) {
      DbgPrint("Uscr!SCNotePipeHalt: pipe %d halted\n", pipeNum);
      InterlockedOr(&DeviceExtension->HaltedPipes, PipeBit(pipeNum));
    }
  }
}

/*
 * SCResetHaltedPipes
 *   Resets each pipe noted halted, on the host side and in the reader
 *   (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), so that card data moves
 *   again. A reset that fails is not noted again: the pipe's next transfer
 *   fails on the halt and notes it anew.
 * Arguments: the reader's device object.
 * Result: none.  IRQL: PASSIVE_LEVEL.
 */
void SCResetHaltedPipes(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
  LONG halted = InterlockedExchange(&deviceExtension->HaltedPipes, 0);
  PUSBD_INTERFACE_INFORMATION interfaceInfo = deviceExtension->Interface;
  if (halted == 0 || interfaceInfo == nullptr)
    return;

  for (ULONG pipeNum = 0;
       pipeNum < interfaceInfo->NumberOfPipes && pipeNum < USCR_MAX_PIPES;
       ++pipeNum) {
    if ((halted & PipeBit(pipeNum)) == 0)
      continue;
    const ULONG size = sizeof(struct _URB_PIPE_REQUEST);
    PURB urb = static_cast<PURB>(UscrAllocate(size, "urb"));
    if (urb == nullptr) {
      // Kept for the next recovery.
      InterlockedOr(&deviceExtension->HaltedPipes, PipeBit(pipeNum));
      continue;
    }
    urb->UrbPipeRequest.Hdr.Length = static_cast<USHORT>(size);
    urb->UrbPipeRequest.Hdr.Function =
        URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->UrbPipeRequest.PipeHandle = interfaceInfo->Pipes[pipeNum].PipeHandle;
    NTSTATUS ntStatus =
        KorvoSCD_CallUSBD(DeviceObject, urb, USCR_COMMAND_TIMEOUT, FALSE);
    DbgPrint("Uscr!SCResetHaltedPipes: RESET PIPE %d ntStatus=0x%x\n", pipeNum,
             ntStatus);
    UscrFree(urb, "urb");
  }
}

/*
 * SCSendHostAbort
 *   HOST ABORT: the reader ends the exchange in progress. Its status is
 *   not looked at by any caller.
 * Arguments: the reader's device object.
 * Result: none.  IRQL: PASSIVE_LEVEL.
 */
void SCSendHostAbort(PDEVICE_OBJECT DeviceObject) {
  UCHAR scratch[2] = {0, 0};
  READER_COMMAND command = {0, READER_HOST_ABORT, 0xFFFF, 0xFFFF, 0};
  (void)USBSCCommand(DeviceObject, TRUE, scratch, &command);
}

/*
 * SCAbortAndRestart
 *   Recovery after a failed exchange: the halted pipes reset, HOST ABORT,
 *   and a new card presence thread when a card event has stopped the last
 *   one.
 * Arguments: the reader's device object; the caller's restart trace.
 * Result: none; the caller's status stands.  IRQL: PASSIVE_LEVEL.
 */
void SCAbortAndRestart(PDEVICE_OBJECT DeviceObject, PCSTR RestartTrace) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

  // HOST ABORT cannot end a halt: the pipe first, or no card data moves
  // again until the reader is unplugged.
  SCResetHaltedPipes(DeviceObject);
  SCSendHostAbort(DeviceObject);

  // A thread that STOP, REMOVE or a power-down ended stays ended.
  if (deviceExtension->ThreadShouldStop &&
      !deviceExtension->ThreadRestartBlocked) {
    DbgPrint("%s", RestartTrace);
    (void)UscrStartCardThread(deviceExtension);
  }
}
