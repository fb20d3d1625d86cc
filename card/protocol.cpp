// Protocol selection: T=0 or T=1 negotiated with the card by PPS, the
// reader told the outcome.
#include "usb/usbscd.h"

namespace {

// A PPS request and its echo.
const ULONG kPpsLength = 4;
// Two PPS exchanges a request at most: the card's parameters, then, after a
// cold reset, the default ones.
const ULONG kMaxPpsAttempts = 2;

// The clock rate index to propose: reserved and unsupported values give
// the default.
UCHAR ProposedFl(UCHAR Fl) {
  return (Fl == 0 || Fl == 7 || Fl == 8 || Fl >= 14) ? 1 : Fl;
}

// An unsupported bit rate index means the default rate 372/1, whatever Fl.
BOOLEAN DlSupported(UCHAR Dl) {
  return Dl >= 1 && Dl <= 5 ? TRUE : FALSE;
}

/*
 * SCBuildPps
 *   Chooses the protocol from the caller's mask and the card's offer (T=0
 *   first) and builds the PPS request in SmartcardRequest.
 * Result: STATUS_SUCCESS; STATUS_INVALID_DEVICE_REQUEST when the card
 *   offers none of the protocols asked for.
 */
NTSTATUS SCBuildPps(PSMARTCARD_EXTENSION SmartcardExtension,
                    ULONG ProtocolMask) {
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
  PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
  ULONG offered = ProtocolMask & capabilities->Protocol.Supported;

  request[0] = 0xFF;
  if (offered & SCARD_PROTOCOL_T0) {
    request[1] = 0x10;
    capabilities->Protocol.Selected = SCARD_PROTOCOL_T0;
  } else if (offered & SCARD_PROTOCOL_T1) {
    request[1] = 0x11;
    capabilities->Protocol.Selected = SCARD_PROTOCOL_T1;
  } else {
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  capabilities->PtsData.Fl = ProposedFl(capabilities->Fl);
  capabilities->PtsData.Dl = capabilities->Dl;
  // Default parameters are what the type says: after a card refused its
  // own, proposing them again would fail the same way.
  if (!DlSupported(capabilities->Dl) ||
      capabilities->PtsData.Type == PTS_TYPE_DEFAULT) {
    capabilities->PtsData.Fl = 1;
    capabilities->PtsData.Dl = 1;
  }
  request[2] = static_cast<UCHAR>(capabilities->PtsData.Fl << 4 |
                                  capabilities->PtsData.Dl);
  request[3] = request[0] ^ request[1] ^ request[2];
  // The reader moves bytes as they cross the line: an inverse-convention
  // card reads its PPS inverted, and echoes it so.
  if (capabilities->InversConvention)
    SmartcardInvertData(request, kPpsLength);
  SmartcardExtension->SmartcardRequest.BufferLength = kPpsLength;
  return STATUS_SUCCESS;
}

/*
 * SCExchangePps
 *   Sends the PPS request and reads the card's answer.
 * Arguments: the smart card extension; Echoed, out: the answer equals the
 *   request.
 * Result: the write's status; the read's, except that a read that timed
 *   out or was cancelled counts as no echo.
 */
NTSTATUS SCExchangePps(PSMARTCARD_EXTENSION SmartcardExtension,
                       PBOOLEAN Echoed) {
  ULONG bytesTransferred = 0;
  *Echoed = FALSE;

  NTSTATUS ntStatus = SCReadWriteIO(SmartcardExtension,
                                    SmartcardExtension->SmartcardRequest.Buffer,
                                    kPpsLength, &bytesTransferred, TRUE, 1);
  if (!NT_SUCCESS(ntStatus))
    return ntStatus;

  SmartcardExtension->SmartcardReply.BufferLength = kPpsLength;
  ntStatus = SCReadWriteIO(SmartcardExtension,
                           SmartcardExtension->SmartcardReply.Buffer,
                           kPpsLength, &bytesTransferred, FALSE, 1);
  if (SCIsTimeOut(ntStatus))
    return STATUS_SUCCESS;
  if (NT_SUCCESS(ntStatus) &&
      RtlCompareMemory(SmartcardExtension->SmartcardReply.Buffer,
                       SmartcardExtension->SmartcardRequest.Buffer,
                       kPpsLength) == kPpsLength)
    *Echoed = TRUE;
  return ntStatus;
}

/*
 * SCSetParameters
 *   SET PARAMETERS: the protocol and the rate the card agreed to.
 */
NTSTATUS SCSetParameters(PSMARTCARD_EXTENSION SmartcardExtension) {
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
  UCHAR parameters[2];
  READER_COMMAND command = {0, READER_SET_PARAMETERS, 0xFFFF, 0xFFFF,
                            sizeof(parameters)};

  parameters[0] = (capabilities->Protocol.Selected & SCARD_PROTOCOL_T1) ? 1 : 0;
  parameters[1] = static_cast<UCHAR>(capabilities->PtsData.Fl << 4 |
                                     capabilities->PtsData.Dl);
  return USBSCCommand(SmartcardExtension->OsData->DeviceObject, TRUE,
                      parameters, &command);
}

/*
 * SCNegotiate
 *   PPS with the card's parameters; when the card does not echo it, one
 *   cold reset and PPS with the default ones. Then the reader is told.
 * Arguments: the smart card extension; the caller's protocol mask;
 *   Echoed, out: the card took a PPS.
 * Result: the first failure; STATUS_DEVICE_PROTOCOL_ERROR when no PPS was
 *   echoed; else SET PARAMETERS' status.
 */
NTSTATUS SCNegotiate(PSMARTCARD_EXTENSION SmartcardExtension,
                     ULONG ProtocolMask, PBOOLEAN Echoed) {
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;

  for (ULONG attempt = 1;; ++attempt) {
    NTSTATUS ntStatus = SCBuildPps(SmartcardExtension, ProtocolMask);
    if (!NT_SUCCESS(ntStatus))
      return ntStatus;
    ntStatus = SCExchangePps(SmartcardExtension, Echoed);
    if (!NT_SUCCESS(ntStatus))
      return ntStatus;
    if (*Echoed)
      break;
    if (capabilities->PtsData.Type == PTS_TYPE_DEFAULT ||
        attempt == kMaxPpsAttempts)
      return STATUS_DEVICE_PROTOCOL_ERROR;

    DbgPrint("%s!TLP3SetProtocol: PTS failed. Trying default parameters...\n",
             "SMCLIB");
    DbgPrint("PPS request,status==STATUS_TIMEOUT \n");
    // PPS is valid only right after an ATR.
    capabilities->PtsData.Type = PTS_TYPE_DEFAULT;
    SmartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
    (void)CBCardPower(SmartcardExtension);
  }
  return SCSetParameters(SmartcardExtension);
}

/*
 * SCRecoverCard
 *   After a PPS the card runs at the negotiated parameters; a reader that
 *   was not told them cannot talk to it. A cold reset puts both back to
 *   the ATR's, so that the next SET_PROTOCOL starts afresh.
 */
void SCRecoverCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  DbgPrint("%s!TLP3SetProtocol: SET PARAMETERS failed, cold reset\n", "SMCLIB");
  SmartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
  (void)CBCardPower(SmartcardExtension);
}

} // namespace

/*
 * CBSetProtocol
 *   RDF_SET_PROTOCOL callback: T=0 or T=1 from the caller's mask and the
 *   card's offer, negotiated by PPS (one cold-reset retry with the default
 *   parameters), then SET PARAMETERS, the waiting times and SCARD_SPECIFIC.
 * Arguments: the smart card extension; MinorIoControlCode the protocol
 *   mask; the reply takes the selected protocol (one ULONG).
 * Result: STATUS_SUCCESS; STATUS_INVALID_DEVICE_REQUEST (no protocol in
 *   common); STATUS_DEVICE_PROTOCOL_ERROR (no PPS echoed); STATUS_IO_TIMEOUT
 *   (a time-out or cancel); a transfer's or command's status. Every failure
 *   sends HOST ABORT and leaves no protocol selected.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS CBSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
  READER_EXTENSION *readerExtension = SmartcardExtension->ReaderExtension;
  NTSTATUS ntStatus;
  KIRQL irql;

  DbgPrint("       - Enter CBSetProtocol \n");
  DbgPrint("%s!TLP3SetProtocol: Enter\n", "SMCLIB");

  ULONG protocolMask = SmartcardExtension->MinorIoControlCode;
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
      (protocolMask & capabilities->Protocol.Selected) != 0) {
    DbgPrint("%s!TLP3SetProtocol: Exit(%lx)\n", "SMCLIB", STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }

  DbgPrint("*** Set Fl & Dl form ATR******* \n");
  BOOLEAN echoed = FALSE;
  ntStatus = SCNegotiate(SmartcardExtension, protocolMask, &echoed);
  if (ntStatus == STATUS_SUCCESS) {
    UscrSetWaitingTimes(SmartcardExtension);
    ULONG floor = UscrFiveClockTicks();
    if (readerExtension->BlockWaitingTime < floor)
      readerExtension->BlockWaitingTime = floor;

    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    if (SmartcardExtension->IoRequest.ReplyBufferLength >= sizeof(ULONG)) {
      RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer,
                    &capabilities->Protocol.Selected, sizeof(ULONG));
      *SmartcardExtension->IoRequest.Information = sizeof(ULONG);
    }
  } else {
    if (SCIsTimeOut(ntStatus))
      ntStatus = STATUS_IO_TIMEOUT;
    capabilities->Protocol.Selected = 0;
    *SmartcardExtension->IoRequest.Information = 0;
    SCAbortAndRestart(SmartcardExtension->OsData->DeviceObject,
                      "       -SET_PROTOCOL RESTART THREAD\n");
    if (echoed)
      SCRecoverCard(SmartcardExtension);
  }

  DbgPrint("%s!TLP3SetProtocol: Exit(%lx)\n", "SMCLIB", ntStatus);
  return ntStatus;
}
