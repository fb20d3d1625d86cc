// Card data exchange over the interface's bulk and interrupt pipes.
#include "frame/scope_exit.h"
#include "usb/usbscd.h"

namespace {

PDEVICE_OBJECT DeviceOf(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardExtension->OsData->DeviceObject;
}

PDEVICE_EXTENSION ExtensionOf(PSMARTCARD_EXTENSION SmartcardExtension) {
  // The smart card extension is the device extension's first member.
  return reinterpret_cast<PDEVICE_EXTENSION>(SmartcardExtension);
}

// The pipe handle at `PipeNum`, or nullptr when the interface information or
// that pipe is missing.
USBD_PIPE_HANDLE PipeHandle(PDEVICE_EXTENSION DeviceExtension, ULONG PipeNum) {
  PUSBD_INTERFACE_INFORMATION pInterfaceInfo = DeviceExtension->Interface;
  if (pInterfaceInfo == nullptr || PipeNum >= pInterfaceInfo->NumberOfPipes)
    return nullptr;
  return pInterfaceInfo->Pipes[PipeNum].PipeHandle;
}

void FillTransfer(PURB Urb, USBD_PIPE_HANDLE Pipe, PUCHAR Buffer, ULONG Length,
                  BOOLEAN Write) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer =
      &Urb->UrbBulkOrInterruptTransfer;
  transfer->Hdr.Length =
      static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer->PipeHandle = Pipe;
  // No USBD_SHORT_TRANSFER_OK: a read must deliver the whole length.
  transfer->TransferFlags =
      Write ? ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN)
            : USBD_TRANSFER_DIRECTION_IN;
  transfer->TransferBufferLength = Length;
  transfer->TransferBuffer = Buffer;
  transfer->TransferBufferMDL = nullptr;
  transfer->UrbLink = nullptr;
}

PURB AllocateTransferUrb() {
  return static_cast<PURB>(
      UscrAllocate(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), "urb"));
}

void StoreRequestStatus(PSMARTCARD_EXTENSION SmartcardExtension,
                        NTSTATUS Status) {
  PIRP currentIrp = SmartcardExtension->OsData->CurrentIrp;
  if (currentIrp != nullptr)
    currentIrp->IoStatus.Status = Status;
}

// WRITE LENGTH or READ LENGTH for `Length` bytes (low 16 bits).
NTSTATUS Announce(PDEVICE_OBJECT DeviceObject, UCHAR bRequest, ULONG Length) {
  UCHAR scratch[2] = {0, 0};
  READER_COMMAND command = {0, bRequest, 0xFFFF,
                            static_cast<USHORT>(Length & 0xFFFF), 0};
  return USBSCCommand(DeviceObject, TRUE, scratch, &command);
}

// The read time-out: TransferTimeOut when set, else from the card's waiting
// times, never below 300 ms nor above what a wait can take. In 64 bits: a
// waiting-time extension of up to 255 blocks passes 32 bits.
ULONG ReadTimeout(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Length,
                  UCHAR Wtx) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(SmartcardExtension);
  if (deviceExtension->TransferTimeOut != 0)
    return deviceExtension->TransferTimeOut;
  READER_EXTENSION *readerExtension = SmartcardExtension->ReaderExtension;
  ULONGLONG timeout =
      (static_cast<ULONGLONG>(Length) * readerExtension->CharacterWaitingTime +
       static_cast<ULONGLONG>(Wtx) * readerExtension->BlockWaitingTime) /
      1000;
  if (timeout < USCR_MIN_READ_TIMEOUT)
    return USCR_MIN_READ_TIMEOUT;
  if (timeout > USCR_MAX_TIMEOUT)
    return USCR_MAX_TIMEOUT;
  return static_cast<ULONG>(timeout);
}

// One card-bound transfer on `Pipe` through a URB of its own. The count is
// written on success; the result goes to the current request either way.
NTSTATUS SubmitTransfer(PSMARTCARD_EXTENSION SmartcardExtension,
                        USBD_PIPE_HANDLE Pipe, PUCHAR Buffer, ULONG Length,
                        BOOLEAN Write, ULONG Timeout, PULONG BytesTransferred) {
  PURB urb = AllocateTransferUrb();
  if (urb == nullptr) {
    StoreRequestStatus(SmartcardExtension, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SCOPE_EXIT {
    UscrFree(urb, "urb");
  };
  FillTransfer(urb, Pipe, Buffer, Length, Write);
  NTSTATUS ntStatus =
      KorvoSCD_CallUSBD(DeviceOf(SmartcardExtension), urb, Timeout, TRUE);
  if (NT_SUCCESS(ntStatus))
    *BytesTransferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  StoreRequestStatus(SmartcardExtension, ntStatus);
  return ntStatus;
}

// The recovery after a failed announced exchange: HOST ABORT, and a new
// card presence thread when a card event stopped the last one.
void AbortTransfer(PDEVICE_OBJECT DeviceObject) {
  DbgPrint("       - SCReadwrite - SEND ABORT\n");
  SCAbortAndRestart(DeviceObject, "       - SCReadWrite - RESTART THREAD\n");
}

} // namespace

/*
 * SCReadWriteIO
 *   An announced transfer: WRITE LENGTH or READ LENGTH for the whole length,
 *   then the data in chunks of 16 bytes through SCReadWrite.
 * Arguments: smart card extension; buffer; length; BytesTransferred (always
 *   written: the bytes of the chunks that succeeded); Write; Wtx (block
 *   waiting time multiplier for reads).
 * Result: the first failure, else the last chunk's status;
 *   STATUS_IO_DEVICE_ERROR when a chunk succeeds without moving a byte. A
 *   failed announcement is recovered from as a failed chunk is.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS SCReadWriteIO(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Buffer,
                       ULONG Length, PULONG BytesTransferred, BOOLEAN Write,
                       UCHAR Wtx) {
  PDEVICE_OBJECT deviceObject = DeviceOf(SmartcardExtension);
  *BytesTransferred = 0;
  NTSTATUS ntStatus = Announce(
      deviceObject, Write ? READER_WRITE_LENGTH : READER_READ_LENGTH, Length);
  if (!NT_SUCCESS(ntStatus)) {
    // A card event stops the thread here as it does in a chunk.
    AbortTransfer(deviceObject);
    return ntStatus;
  }

  do {
    DbgPrint("       - expected SCReadWrite length %d, transmitted %d \n",
             Length, *BytesTransferred);
    ULONG chunk = Length - *BytesTransferred;
    if (chunk > USCR_CHUNK_SIZE)
      chunk = USCR_CHUNK_SIZE;
    ULONG moved = 0;
    ntStatus = SCReadWrite(SmartcardExtension, Buffer + *BytesTransferred,
                           chunk, &moved, Write, Wtx);
    DbgPrint("       - currently SCReadWrite length %d, transmitted %d \n",
             chunk, moved);
    if (!NT_SUCCESS(ntStatus))
      return ntStatus;
    if (moved > chunk)
      moved = chunk;
    *BytesTransferred += moved;
    // A chunk that moves nothing would never finish the transfer.
    if (moved == 0 && *BytesTransferred < Length)
      return STATUS_IO_DEVICE_ERROR;
  } while (*BytesTransferred < Length);

  DbgPrint("       - finish calling SCReadWriteIO transmitted %d\n",
           *BytesTransferred);
  return ntStatus;
}

/*
 * SCReadWrite
 *   One bulk transfer: out with a 5000 ms time-out, in with the read
 *   time-out. A failure is followed by HOST ABORT and, after a card event,
 *   a new card presence thread.
 * Arguments: as SCReadWriteIO; BytesTransferred written on success.
 * Result: the transfer's status; STATUS_DEVICE_NOT_CONNECTED without
 *   interface information; STATUS_INSUFFICIENT_RESOURCES without a URB.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS SCReadWrite(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Buffer,
                     ULONG Length, PULONG BytesTransferred, BOOLEAN Write,
                     UCHAR Wtx) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(SmartcardExtension);
  PDEVICE_OBJECT deviceObject = DeviceOf(SmartcardExtension);

  DbgPrint("    - Enter SCReadwrite Read/Write Flag = %x\n", Write);
  ULONG pipeNum = Write ? USCR_PIPE_BULK_OUT : USCR_PIPE_BULK_IN;
  USBD_PIPE_HANDLE pipe = PipeHandle(deviceExtension, pipeNum);
  if (pipe == nullptr) {
    // Not configured: the reader is gone or stopped. Nothing moved, and the
    // thread is to be started anew by the recovery.
    deviceExtension->ThreadShouldStop = TRUE;
    StoreRequestStatus(SmartcardExtension, STATUS_DEVICE_NOT_CONNECTED);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  DbgPrint("PipeNum: %d ", pipeNum);

  ULONG timeout = USCR_WRITE_TIMEOUT;
  if (!Write) {
    timeout = ReadTimeout(SmartcardExtension, Length, Wtx);
    DbgPrint("       - Time Out is %d\n", timeout);
  }
  NTSTATUS ntStatus = SubmitTransfer(SmartcardExtension, pipe, Buffer, Length,
                                     Write, timeout, BytesTransferred);
  if (!NT_SUCCESS(ntStatus))
    AbortTransfer(deviceObject);
  return ntStatus;
}

/*
 * SCReadWriteDirectIO
 *   Unannounced transfers until the length is reached (the ATR after a
 *   reset); at least one transfer, also for length 0.
 * Arguments: smart card extension; buffer; length; BytesTransferred (in:
 *   where to continue; out: the total); Write.
 * Result: the first failure, else the last status; STATUS_IO_DEVICE_ERROR
 *   when a transfer succeeds without moving a byte.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS SCReadWriteDirectIO(PSMARTCARD_EXTENSION SmartcardExtension,
                             PUCHAR Buffer, ULONG Length,
                             PULONG BytesTransferred, BOOLEAN Write) {
  NTSTATUS ntStatus;
  do {
    DbgPrint("       - expected SCReadWriteDirect length %d, transmitted %d \n",
             Length, *BytesTransferred);
    ULONG remaining =
        Length > *BytesTransferred ? Length - *BytesTransferred : 0;
    ULONG moved = 0;
    ntStatus = SCReadWriteDirect(SmartcardExtension, Buffer + *BytesTransferred,
                                 remaining, &moved, Write);
    if (!NT_SUCCESS(ntStatus))
      return ntStatus;
    if (moved > remaining)
      moved = remaining;
    *BytesTransferred += moved;
    if (moved == 0 && *BytesTransferred < Length)
      return STATUS_IO_DEVICE_ERROR;
  } while (*BytesTransferred < Length);
  DbgPrint("       - total SCReadWriteDirect length %d, transmitted %d \n",
           Length, *BytesTransferred);
  return ntStatus;
}

/*
 * SCReadWriteDirect
 *   One unannounced bulk transfer of the whole length (2500 ms).
 * Arguments: as SCReadWriteDirectIO; BytesTransferred written on success.
 * Result: the transfer's status; STATUS_DEVICE_NOT_CONNECTED without
 *   interface information; STATUS_INSUFFICIENT_RESOURCES without a URB.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS SCReadWriteDirect(PSMARTCARD_EXTENSION SmartcardExtension,
                           PUCHAR Buffer, ULONG Length, PULONG BytesTransferred,
                           BOOLEAN Write) {
  USBD_PIPE_HANDLE pipe =
      PipeHandle(ExtensionOf(SmartcardExtension),
                 Write ? USCR_PIPE_BULK_OUT : USCR_PIPE_BULK_IN);
  if (pipe == nullptr) {
    StoreRequestStatus(SmartcardExtension, STATUS_DEVICE_NOT_CONNECTED);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  if (!Write)
    DbgPrint(" SCReadWriteDirect - READ Operation size = %d\n", Length);

  NTSTATUS ntStatus =
      SubmitTransfer(SmartcardExtension, pipe, Buffer, Length, Write,
                     USCR_COMMAND_TIMEOUT, BytesTransferred);
  if (NT_SUCCESS(ntStatus))
    DbgPrint("Sucessfully Transferred %d Bytes\n", *BytesTransferred);
  return ntStatus;
}

/*
 * SCReadWriteI2C
 *   The I2C exchange of the vendor IOCTLs, with the current request's
 *   system buffer: a write (announced input bytes out), or a read (the
 *   input bytes out first when there are any, then the announced output
 *   bytes in). A read whose write phase fails ends there with the write's
 *   status. HOST ABORT and the thread's restart are the caller's.
 * Arguments: smart card extension; Write.
 * Result: the last transfer's status, also in the request's IoStatus;
 *   STATUS_INVALID_PARAMETER for a length above 0xFFFF (the announcement
 *   carries 16 bits); STATUS_DEVICE_NOT_CONNECTED without interface
 *   information; STATUS_INSUFFICIENT_RESOURCES without a URB.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS SCReadWriteI2C(PSMARTCARD_EXTENSION SmartcardExtension,
                        BOOLEAN Write) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(SmartcardExtension);
  PDEVICE_OBJECT deviceObject = DeviceOf(SmartcardExtension);
  PIRP irp = SmartcardExtension->OsData->CurrentIrp;
  if (irp == nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PUCHAR systemBuffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

  NTSTATUS ntStatus = STATUS_SUCCESS;
  USBD_PIPE_HANDLE pipeOut = PipeHandle(deviceExtension, USCR_PIPE_BULK_OUT);
  USBD_PIPE_HANDLE pipeIn = PipeHandle(deviceExtension, USCR_PIPE_BULK_IN);
  PURB urb = nullptr;
  // The announcements carry 16 bits; every byte needs the buffer behind it.
  const ULONG readLength = Write ? 0 : outputLength;
  const BOOLEAN lengthsValid = inputLength <= 0xFFFF && readLength <= 0xFFFF;
  const BOOLEAN bufferValid =
      systemBuffer != nullptr || (inputLength == 0 && readLength == 0);
  if (!lengthsValid || !bufferValid)
    ntStatus = STATUS_INVALID_PARAMETER;
  else if (pipeOut == nullptr || pipeIn == nullptr)
    ntStatus = STATUS_DEVICE_NOT_CONNECTED;
  else if ((urb = AllocateTransferUrb()) == nullptr)
    ntStatus = STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(ntStatus)) {
    irp->IoStatus.Status = ntStatus;
    return ntStatus;
  }
  SCOPE_EXIT {
    UscrFree(urb, "urb");
  };

  if (Write || inputLength != 0) {
    // The announcement is not judged: the transfer's status tells.
    (void)Announce(deviceObject, READER_WRITE_LENGTH, inputLength);
    FillTransfer(urb, pipeOut, systemBuffer, inputLength, TRUE);
    ntStatus = KorvoSCD_CallUSBD(deviceObject, urb, USCR_COMMAND_TIMEOUT, TRUE);
  }
  // A read whose address never went out would return bytes from elsewhere.
  if (!Write && NT_SUCCESS(ntStatus)) {
    (void)Announce(deviceObject, READER_READ_LENGTH, outputLength);
    FillTransfer(urb, pipeIn, systemBuffer, outputLength, FALSE);
    ntStatus = KorvoSCD_CallUSBD(deviceObject, urb, USCR_COMMAND_TIMEOUT, TRUE);
  }

  if (NT_SUCCESS(ntStatus)) {
    if (Write) {
      irp->IoStatus.Information = 0;
    } else {
      ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      DbgPrint("Sucessfully Transferred %d Bytes\n", moved);
      irp->IoStatus.Information = moved < outputLength ? moved : outputLength;
    }
  }
  irp->IoStatus.Status = ntStatus;
  return ntStatus;
}

/*
 * SCReadWriteInterrupt
 *   One transfer on the interrupt pipe, without time-out: it ends when the
 *   reader sends or when the card presence thread is asked to stop.
 * Arguments: smart card extension; buffer; length; Write.
 * Result: the transfer's status; STATUS_DEVICE_NOT_CONNECTED without
 *   interface information; STATUS_INSUFFICIENT_RESOURCES without a URB.
 * IRQL: PASSIVE_LEVEL, in the card presence thread.
 */
NTSTATUS SCReadWriteInterrupt(PSMARTCARD_EXTENSION SmartcardExtension,
                              PUCHAR Buffer, ULONG Length, BOOLEAN Write) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(SmartcardExtension);
  USBD_PIPE_HANDLE pipe = PipeHandle(deviceExtension, USCR_PIPE_INTERRUPT);
  NTSTATUS ntStatus;
  PURB urb = nullptr;
  if (pipe == nullptr) {
    ntStatus = STATUS_DEVICE_NOT_CONNECTED;
  } else if ((urb = AllocateTransferUrb()) == nullptr) {
    ntStatus = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    FillTransfer(urb, pipe, Buffer, Length, Write);
    ntStatus = KorvoSCD_CallUSBDInterrupt(DeviceOf(SmartcardExtension), urb);
  }

  if (NT_SUCCESS(ntStatus))
    DbgPrint("***********    SCReadWriteInterrupt   - sucessfully transferred "
             "%x byte, status\n",
             urb->UrbBulkOrInterruptTransfer.TransferBufferLength, ntStatus);
  else
    DbgPrint("***********    SCReadWriteInterrupt   - failed transferred "
             "status = %x\n",
             ntStatus);
  if (urb != nullptr)
    UscrFree(urb, "urb");

#if USCR_ABSENT_ON_DISCONNECT
  if (ntStatus == STATUS_DEVICE_NOT_CONNECTED) {
    CBUpdateCardState(deviceExtension, 0);
    DbgPrint("***********    Set card state to absent to avoiding USB3 long "
             "detachment");
  }
#endif
  return ntStatus;
}
