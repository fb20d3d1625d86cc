// Card power: power down, cold and warm reset with the ATR read back, and
// the reader's waiting times for the card.
#include "usb/usbscd.h"

namespace {

// The ATR buffer, as large as CardCapabilities.ATR.Buffer.
const ULONG kAtrBufferSize = 64;
// The least block waiting time after a reset, microseconds.
const ULONG kMinWaitTime = 300;

PCSTR RequestName(ULONG MinorIoControlCode) {
  switch (MinorIoControlCode) {
  case SCARD_POWER_DOWN:
    return "PowerDown";
  case SCARD_COLD_RESET:
    return "ColdReset";
  case SCARD_WARM_RESET:
    return "WarmReset";
  default:
    return "Unknown";
  }
}

// Only an IOCTL_SMARTCARD_POWER request has room for the ATR. The driver's
// own calls (sleep, resume, the reset of a failed PPS) run with no request
// or with a SET_PROTOCOL request whose reply holds one ULONG.
BOOLEAN ReplyIsTheCallers(PSMARTCARD_EXTENSION SmartcardExtension) {
  return SmartcardExtension->OsData->CurrentIrp != nullptr &&
                 SmartcardExtension->MajorIoControlCode == IOCTL_SMARTCARD_POWER
             ? TRUE
             : FALSE;
}

/*
 * SCResetCard
 *   COLD RESET or WARM RESET, then the ATR from the bulk-in pipe. At most
 *   the buffer's 64 bytes are kept; an ATR announced longer is still read
 *   to its end, so that the next exchange starts clean.
 * Arguments: the smart card extension; the reset command; the ATR buffer
 *   (kAtrBufferSize bytes); the announced ATR length, out.
 * Result: the first failing status, else the ATR read's.
 */
NTSTATUS SCResetCard(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR bRequest,
                     PUCHAR Atr, PUCHAR AtrLength) {
  PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
  READER_COMMAND command = {0, bRequest, 0xFFFF, 0xFFFF, 1};

  *AtrLength = 0;
  NTSTATUS ntStatus = USBSCCommand(deviceObject, FALSE, AtrLength, &command);
  if (bRequest == READER_COLD_RESET)
    DbgPrint("       - Enter COLD_RESET CALL USB STATUS = %x, ATR[0]= %x \n",
             ntStatus, *AtrLength);
  else if (NT_SUCCESS(ntStatus))
    DbgPrint("ATRLength = %d bytes \n", *AtrLength);
  if (!NT_SUCCESS(ntStatus))
    return ntStatus;

  ULONG toRead = *AtrLength;
  while (toRead > 0 && NT_SUCCESS(ntStatus)) {
    ULONG chunk = toRead < kAtrBufferSize ? toRead : kAtrBufferSize;
    ULONG bytesRead = 0;
    ntStatus =
        SCReadWriteDirectIO(SmartcardExtension, Atr, chunk, &bytesRead, FALSE);
    toRead -= chunk;
  }
  DbgPrint("   - Enter COLD_RESET START READ ATR BYTES Status = (%x)\n",
           ntStatus);
  return ntStatus;
}

/*
 * SCPowerDown
 *   POWER DOWN; on success the card is at most present and has no protocol.
 */
NTSTATUS SCPowerDown(PSMARTCARD_EXTENSION SmartcardExtension) {
  PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
  UCHAR scratch = 0;
  READER_COMMAND command = {0, READER_POWER_DOWN, 0xFFFF, 0xFFFF, 0};
  KIRQL irql;

  DbgPrint("       - Enter POWER_DOWN \n");
  NTSTATUS ntStatus = USBSCCommand(deviceObject, TRUE, &scratch, &command);
  if (!NT_SUCCESS(ntStatus)) {
#ifndef TALVOR10
    DbgPrint("       -SCARD_POWER_DOWN break \n");
#endif
    return ntStatus;
  }
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_PRESENT)
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  SmartcardExtension->CardCapabilities.Protocol.Selected = 0;
#ifndef TALVOR10
  DbgPrint("       -SCARD_POWER_DOWN return STATUS_SUCCESS\n");
#endif
  return STATUS_SUCCESS;
}

/*
 * SCTakeAtr
 *   Gives the ATR to the caller (an IOCTL_SMARTCARD_POWER request) and to
 *   the library.
 * Result: STATUS_BUFFER_TOO_SMALL for an ATR over 64 bytes (given to
 *   nobody) or a caller's buffer too small for it (the library still gets
 *   it); else the library's verdict on the ATR.
 */
NTSTATUS SCTakeAtr(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Atr,
                   ULONG AtrLength) {
  if (AtrLength > kAtrBufferSize) {
    DbgPrint("       - Enter COLD_RESET BUFFER TOO SMALL 2\n");
    return STATUS_BUFFER_TOO_SMALL;
  }

  NTSTATUS replyStatus = STATUS_SUCCESS;
  if (ReplyIsTheCallers(SmartcardExtension)) {
    if (SmartcardExtension->IoRequest.ReplyBufferLength < AtrLength) {
      DbgPrint("       - Enter COLD_RESET BUFFER TOO SMALL 1\n");
      replyStatus = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, Atr, AtrLength);
      *SmartcardExtension->IoRequest.Information = AtrLength;
    }
  }

  RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, Atr,
                AtrLength);
  SmartcardExtension->CardCapabilities.ATR.Length =
      static_cast<UCHAR>(AtrLength);
  NTSTATUS ntStatus = SmartcardUpdateCardCapabilities(SmartcardExtension);
  if (!NT_SUCCESS(ntStatus))
    DbgPrint("Wrong ATR\n");
  return replyStatus != STATUS_SUCCESS ? replyStatus : ntStatus;
}

} // namespace

/*
 * UscrSetWaitingTimes
 *   The reader's waiting times for the protocol in use: T=1 BWT and CWT,
 *   T=0 WT for both; without a protocol they stay.
 * Arguments: the smart card extension.
 * Result: none.  IRQL: PASSIVE_LEVEL.
 */
void UscrSetWaitingTimes(PSMARTCARD_EXTENSION SmartcardExtension) {
  READER_EXTENSION *readerExtension = SmartcardExtension->ReaderExtension;
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;

  if (capabilities->Protocol.Selected & SCARD_PROTOCOL_T1) {
    readerExtension->BlockWaitingTime = capabilities->T1.BWT;
    readerExtension->CharacterWaitingTime = capabilities->T1.CWT;
  } else if (capabilities->Protocol.Selected & SCARD_PROTOCOL_T0) {
    readerExtension->BlockWaitingTime = capabilities->T0.WT;
    readerExtension->CharacterWaitingTime = capabilities->T0.WT;
  }
}

/*
 * UscrFiveClockTicks
 *   Five clock ticks in microseconds: the least block waiting time a wait
 *   can honour.
 */
ULONG UscrFiveClockTicks() {
  return 5 * (KeQueryTimeIncrement() / 10);
}

/*
 * CBCardPower
 *   RDF_CARD_POWER callback, and the driver's own power down and resets:
 *   powers the card down, or resets it and reads its ATR, then sets the
 *   reader's waiting times for it. A warm reset of a card that is not
 *   powered is a cold reset.
 * Arguments: the smart card extension; MinorIoControlCode the request.
 * Result: STATUS_SUCCESS; STATUS_BUFFER_TOO_SMALL (ATR over 64 bytes, or
 *   the caller's buffer smaller than the ATR); the library's status for
 *   the ATR; STATUS_UNRECOGNIZED_MEDIA when a command or the ATR read
 *   failed (HOST ABORT sent); STATUS_INVALID_DEVICE_REQUEST for an unknown
 *   request, nothing sent.
 * IRQL: PASSIVE_LEVEL, pageable.
 */
NTSTATUS CBCardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PDEVICE_OBJECT deviceObject = SmartcardExtension->OsData->DeviceObject;
  UCHAR atr[kAtrBufferSize];
  UCHAR atrLength = 0;
  NTSTATUS ntStatus;

  DbgPrint("Uscr!CBCardPower: Enter, Request = %s\n",
           RequestName(SmartcardExtension->MinorIoControlCode));

  switch (SmartcardExtension->MinorIoControlCode) {
  case SCARD_POWER_DOWN:
    ntStatus = SCPowerDown(SmartcardExtension);
    if (NT_SUCCESS(ntStatus))
      return STATUS_SUCCESS;
    break;

  case SCARD_WARM_RESET:
    DbgPrint("   Enter WARD_RESET \n");
    if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_SWALLOWED) {
      ntStatus =
          SCResetCard(SmartcardExtension, READER_WARM_RESET, atr, &atrLength);
      break;
    }
    // Not powered: nothing to warm-reset.
    [[fallthrough]];
  case SCARD_COLD_RESET:
    DbgPrint("       - Enter COLD_RESET - \n");
    ntStatus =
        SCResetCard(SmartcardExtension, READER_COLD_RESET, atr, &atrLength);
    break;

  default:
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  if (!NT_SUCCESS(ntStatus)) {
#ifndef TALVOR10
    DbgPrint("       -STATUS_UNRECOGNIZED_MEDIA  \n");
#endif
    DbgPrint("  -  COLD_RESET ERROR - SEND HOST ABORT - RESET PIPE 3 \n");
    SCAbortAndRestart(deviceObject, "       -COLD_RESET RESTART THREAD\n");
    return STATUS_UNRECOGNIZED_MEDIA;
  }

#ifdef TALVOR10
  DbgPrint("       - Enter COLD_RESET SUCCESS - READ ATR (%d)BYTES SUCCESS\n",
           atrLength);
#else
  DbgPrint("       - Enter COLD_RESET SUCCESS - READ ATR BYTES SUCCESS\n");
#endif
  ntStatus = SCTakeAtr(SmartcardExtension, atr, atrLength);

  UscrSetWaitingTimes(SmartcardExtension);
  READER_EXTENSION *readerExtension = SmartcardExtension->ReaderExtension;
  ULONG minWaitTime = UscrFiveClockTicks();
  if (minWaitTime < kMinWaitTime)
    minWaitTime = kMinWaitTime;
#ifndef TALVOR10
  DbgPrint("**** PBTimeOut = %d, minWaitTime = %d\n",
           readerExtension->BlockWaitingTime, minWaitTime);
#endif
  if (readerExtension->BlockWaitingTime < minWaitTime) {
    DbgPrint("**** Check this line :*PBTimeOut < minWaitTime\n");
    readerExtension->BlockWaitingTime = minWaitTime;
  }

  LARGE_INTEGER delay;
  delay.QuadPart = -50000; // 5 ms for the card to settle
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  return ntStatus;
}
