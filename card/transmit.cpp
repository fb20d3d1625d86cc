// Transmission: the smart card library's T=0 and T=1 requests carried to
// the card through the reader's announced transfers, and the card's answer
// carried back into the library's reply buffer.
//
// T=0 is a dialogue of procedure bytes (ISO/IEC 7816-3 10.3.3): after each
// one the driver moves exactly the bytes it covers, in whichever direction
// the command's data go, and reads the next one. After the last data bytes
// of an answer at least SW1 SW2 follow, so they are read with those data in
// the same transfer and taken as procedure bytes (a NULL among them is
// skipped); the common case 2 exchange is then the header, one procedure
// byte and one read of Le + 2 bytes. No read reaches past Le + 2 bytes,
// which the reply buffer is checked to hold before anything is sent.
#include "usb/usbscd.h"

namespace {

#define T0_HEADER_LENGTH 5
#define T0_STATUS_LENGTH 2
#define T0_NULL 0x60
#define T1_PROLOGUE_LENGTH 3
// The prologue and the longer (CRC) epilogue: the least a reply buffer
// must hold for a T=1 block without information field.
#define T1_MIN_BLOCK_ROOM 5

// ---------------------------------------------------------------------------
// T=0

enum T0_PROCEDURE { T0Null, T0AckAll, T0AckOne, T0Status };

// One command's way through the dialogue. Request and reply bytes are as
// they cross the line (inverted under the inverse convention); procedure
// bytes are judged by their logical value.
struct T0_EXCHANGE {
  PSMARTCARD_EXTENSION SmartcardExtension;
  PUCHAR Request;      // header, then command data
  ULONG RequestLength; // header and data
  ULONG Sent;          // request bytes written
  PUCHAR Reply;        // answer data, then SW1 SW2
  ULONG Le;            // answer data bytes the command asks for
  ULONG Received;      // answer data bytes read
  UCHAR Ins;
  BOOLEAN Acknowledged;          // an ACK has come
  UCHAR Ahead[T0_STATUS_LENGTH]; // procedure bytes read behind the data
  ULONG AheadCount;
  ULONG AheadNext;
};

UCHAR LogicalByte(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Byte) {
  if (SmartcardExtension->CardCapabilities.InversConvention)
    SmartcardInvertData(&Byte, 1);
  return Byte;
}

T0_PROCEDURE ClassifyProcedureByte(UCHAR Procedure, UCHAR Ins) {
  const UCHAR insPlusOne = static_cast<UCHAR>(Ins + 1);
  if (Procedure == T0_NULL)
    return T0Null;
  if (Procedure == Ins || Procedure == insPlusOne)
    return T0AckAll;
  if (Procedure == static_cast<UCHAR>(~Ins) ||
      Procedure == static_cast<UCHAR>(~insPlusOne))
    return T0AckOne;
  return T0Status;
}

// Reads `Length` answer bytes to `Offset` of the reply buffer.
NTSTATUS T0Read(T0_EXCHANGE *Exchange, ULONG Offset, ULONG Length) {
  ULONG moved = 0;
  ASSERT(Offset + Length <= Exchange->Le + T0_STATUS_LENGTH);
  return SCReadWriteIO(Exchange->SmartcardExtension, Exchange->Reply + Offset,
                       Length, &moved, FALSE, 1);
}

NTSTATUS T0Write(T0_EXCHANGE *Exchange, ULONG Length) {
  ULONG moved = 0;
  NTSTATUS status = SCReadWriteIO(Exchange->SmartcardExtension,
                                  Exchange->Request + Exchange->Sent, Length,
                                  &moved, TRUE, 1);
  Exchange->Sent += moved;
  return status;
}

// The next procedure byte, as it crossed the line: one read behind the
// data, or a read of its own where the answer's next byte belongs.
NTSTATUS T0NextProcedureByte(T0_EXCHANGE *Exchange, PUCHAR Procedure) {
  if (Exchange->AheadNext < Exchange->AheadCount) {
    *Procedure = Exchange->Ahead[Exchange->AheadNext++];
    return STATUS_SUCCESS;
  }
  NTSTATUS status = T0Read(Exchange, Exchange->Received, 1);
  if (NT_SUCCESS(status))
    *Procedure = Exchange->Reply[Exchange->Received];
  return status;
}

// SW1 is in: it and SW2 close the answer behind the data read.
NTSTATUS T0TakeStatus(T0_EXCHANGE *Exchange, UCHAR Sw1) {
  PUCHAR statusWord = Exchange->Reply + Exchange->Received;
  statusWord[0] = Sw1;
  if (Exchange->AheadNext < Exchange->AheadCount) {
    statusWord[1] = Exchange->Ahead[Exchange->AheadNext++];
    return STATUS_SUCCESS;
  }
  return T0Read(Exchange, Exchange->Received + 1, 1);
}

// Moves the bytes an ACK covers: command data out, or answer data in with
// the procedure bytes that must follow them. An ACK for bytes that do not
// exist is the card's protocol error; only a command without data in either
// direction may be acknowledged once for nothing.
NTSTATUS T0MoveData(T0_EXCHANGE *Exchange, T0_PROCEDURE Procedure) {
  const BOOLEAN outgoing = Exchange->RequestLength > T0_HEADER_LENGTH;
  const ULONG remaining = outgoing ? Exchange->RequestLength - Exchange->Sent
                                   : Exchange->Le - Exchange->Received;
  const BOOLEAN emptyAck = !outgoing && Exchange->Le == 0 &&
                           Procedure == T0AckAll && !Exchange->Acknowledged;
  Exchange->Acknowledged = TRUE;
  if (remaining == 0 && !emptyAck) {
    DbgPrint(
        "%s!TLP3TransmitT0: ACK with no data left, Sent=%ld Received=%ld\n",
        "SMCLIB", Exchange->Sent, Exchange->Received);
    SCSendHostAbort(Exchange->SmartcardExtension->OsData->DeviceObject);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  const ULONG count = Procedure == T0AckOne ? 1 : remaining;
  if (outgoing)
    return T0Write(Exchange, count);

  // Behind the answer's last byte come at least SW1 SW2; behind any other,
  // at least one procedure byte.
  const BOOLEAN last = Exchange->Received + count == Exchange->Le;
  const ULONG ahead = last ? T0_STATUS_LENGTH : 1;
  NTSTATUS status = T0Read(Exchange, Exchange->Received, count + ahead);
  if (!NT_SUCCESS(status))
    return status;
  Exchange->Received += count;
  RtlCopyMemory(Exchange->Ahead, Exchange->Reply + Exchange->Received, ahead);
  Exchange->AheadCount = ahead;
  Exchange->AheadNext = 0;
  return status;
}

// The dialogue after the header: procedure bytes until SW1 SW2 are in.
NTSTATUS T0Dialogue(T0_EXCHANGE *Exchange) {
  for (;;) {
    UCHAR procedure = 0;
    NTSTATUS status = T0NextProcedureByte(Exchange, &procedure);
    if (!NT_SUCCESS(status))
      return status;
    const T0_PROCEDURE kind = ClassifyProcedureByte(
        LogicalByte(Exchange->SmartcardExtension, procedure), Exchange->Ins);
    if (kind == T0Status)
      return T0TakeStatus(Exchange, procedure);
    if (kind == T0Null)
      continue;
    status = T0MoveData(Exchange, kind);
    if (!NT_SUCCESS(status))
      return status;
  }
}

// ---------------------------------------------------------------------------
// T=1

// The card's block does not fit the reply buffer: it is taken off the line
// in slices the buffer holds, so that the next exchange starts clean.
NTSTATUS DrainT1Block(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Length) {
  const ULONG room =
      SmartcardExtension->SmartcardReply.BufferSize - T1_PROLOGUE_LENGTH;
  DbgPrint("%s!TLP3Transmit: Block of %ld bytes beyond the reply buffer\n",
           "SMCLIB", Length + T1_PROLOGUE_LENGTH);
  while (Length > 0) {
    const ULONG slice = Length < room ? Length : room;
    ULONG moved = 0;
    NTSTATUS status = SCReadWriteIO(SmartcardExtension,
                                    SmartcardExtension->SmartcardReply.Buffer +
                                        T1_PROLOGUE_LENGTH,
                                    slice, &moved, FALSE, 1);
    if (!NT_SUCCESS(status))
      return status;
    Length -= slice;
  }
  return STATUS_SUCCESS;
}

// The card's block: the prologue with the waiting-time extension the card
// asked for, then LEN bytes and the epilogue. A time-out leaves an empty
// reply for the library's own recovery, as does a block too long to keep.
NTSTATUS ReadT1Block(PSMARTCARD_EXTENSION SmartcardExtension) {
  PUCHAR reply = SmartcardExtension->SmartcardReply.Buffer;
  ULONG moved = 0;

  DbgPrint("SmartcardExtension->T1.Wtx= %d\n", SmartcardExtension->T1.Wtx);
  UCHAR wtx = SmartcardExtension->T1.Wtx;
  if (wtx == 0) {
    DbgPrint("Set Wtx=1\n");
    wtx = 1;
  }
  SmartcardExtension->SmartcardReply.BufferLength = T1_PROLOGUE_LENGTH;
  NTSTATUS status = SCReadWriteIO(SmartcardExtension, reply, T1_PROLOGUE_LENGTH,
                                  &moved, FALSE, wtx);
  if (NT_SUCCESS(status)) {
    const ULONG epilogue =
        (SmartcardExtension->CardCapabilities.T1.EDC & 1) != 0 ? 2 : 1;
    const ULONG body = reply[2] + epilogue;
    if (T1_PROLOGUE_LENGTH + body >
        SmartcardExtension->SmartcardReply.BufferSize) {
      status = DrainT1Block(SmartcardExtension, body);
      SmartcardExtension->SmartcardReply.BufferLength = 0;
    } else {
      SmartcardExtension->SmartcardReply.BufferLength = body;
      status = SCReadWriteIO(SmartcardExtension, reply + T1_PROLOGUE_LENGTH,
                             body, &moved, FALSE, 1);
      SmartcardExtension->SmartcardReply.BufferLength =
          moved + T1_PROLOGUE_LENGTH;
    }
  }
  if (SCIsTimeOut(status)) {
    DbgPrint("%s!TLP3Transmit: Read timed out (%lx), SEND HOST ABORT\n",
             "SMCLIB", status);
    SCSendHostAbort(SmartcardExtension->OsData->DeviceObject);
    SmartcardExtension->SmartcardReply.BufferLength = 0;
    return STATUS_SUCCESS;
  }
  return status;
}

// One block out and one block in; the library decides what comes next.
NTSTATUS TransmitT1Block(PSMARTCARD_EXTENSION SmartcardExtension) {
  PUCHAR request = SmartcardExtension->SmartcardRequest.Buffer;
  ULONG moved = 0;

  // The prologue alone needs that much room.
  if (SmartcardExtension->SmartcardReply.BufferSize < T1_MIN_BLOCK_ROOM)
    return STATUS_BUFFER_TOO_SMALL;
  NTSTATUS status = SmartcardT1Request(SmartcardExtension);
  if (!NT_SUCCESS(status))
    return status;
  SmartcardExtension->SmartcardReply.BufferLength = 0;
  status = SCReadWriteIO(SmartcardExtension, request,
                         SmartcardExtension->SmartcardRequest.BufferLength,
                         &moved, TRUE, 1);
  if (!NT_SUCCESS(status)) {
    DbgPrint("%s!TLP3Transmit: Write failed (%lx)\n", "SMCLIB", status);
    return status;
  }
  status = ReadT1Block(SmartcardExtension);
  if (!NT_SUCCESS(status))
    return status;
  return SmartcardT1Reply(SmartcardExtension);
}

void TraceCardTiming(PSMARTCARD_EXTENSION SmartcardExtension) {
#if USCR_TRACE_CARD_TIMING
  PSCARD_CARD_CAPABILITIES capabilities = &SmartcardExtension->CardCapabilities;
  DbgPrint("SmartcardExtension->CardCapabilities.GT=%d\n", capabilities->GT);
  DbgPrint("SmartcardExtension->CardCapabilities.T0.WI=%d\n",
           capabilities->T0.WI);
  DbgPrint("SmartcardExtension->CardCapabilities.T0.WT=%d\n",
           capabilities->T0.WT);
  DbgPrint("SmartcardExtension->CardCapabilities.T1.BWI=%d\n",
           capabilities->T1.BWI);
  DbgPrint("SmartcardExtension->CardCapabilities.T1.CWI=%d\n",
           capabilities->T1.CWI);
  DbgPrint("SmartcardExtension->CardCapabilities.T1.BWT=%d\n",
           capabilities->T1.BWT);
  DbgPrint("SmartcardExtension->CardCapabilities.T1.CWT=%d\n",
           capabilities->T1.CWT);
  DbgPrint("SmartcardExtension->CardCapabilities.T1.BGT=%d\n",
           capabilities->T1.BGT);
#else
  UNREFERENCED_PARAMETER(SmartcardExtension);
#endif
}

} // namespace

/*
 * CBTransmit
 *   RDF_TRANSMIT callback: the T=0 dialogue, or T=1 block exchanges for as
 *   long as the library asks for more. The raw protocol is refused before
 *   anything is sent: the reader has no way to return a raw answer, and an
 *   exchange reported done with its answer lost would be a lie.
 * Arguments: the smart card extension.
 * Result: the library's reply status; the transport's failure
 *   (STATUS_TIMEOUT and STATUS_CANCELLED as STATUS_IO_TIMEOUT);
 *   STATUS_INVALID_DEVICE_REQUEST for raw or no protocol.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS CBTransmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  NTSTATUS status;

  DbgPrint("%s!TLP3Transmit: Enter\n", "SMCLIB");
  do {
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    TraceCardTiming(SmartcardExtension);
    switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0:
      status = TLP3TransmitT0(SmartcardExtension);
      break;
    case SCARD_PROTOCOL_T1:
      status = TransmitT1Block(SmartcardExtension);
      break;
    default:
      DbgPrint("%s!TLP3Transmit: Protocol %lx not supported\n", "SMCLIB",
               SmartcardExtension->CardCapabilities.Protocol.Selected);
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    }
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);

  if (!NT_SUCCESS(status))
    DbgPrint("%s!TLP3Transmit: Failed (%lx)\n", "SMCLIB", status);
  if (SCIsTimeOut(status))
    status = STATUS_IO_TIMEOUT;
  DbgPrint("%s!TLP3Transmit: Exit(%lx)\n", "SMCLIB", status);
  return status;
}

/*
 * TLP3TransmitT0
 *   One T=0 command: the header, then the procedure-byte dialogue, moving
 *   command data out or answer data in as each ACK asks, until SW1 SW2.
 *   An ACK for data that do not exist ends the command with HOST ABORT.
 * Arguments: the smart card extension.
 * Result: SmartcardT0Reply's status; the transport's failure (time-outs as
 *   STATUS_IO_TIMEOUT), the reply function not called;
 *   STATUS_DEVICE_PROTOCOL_ERROR for an ACK with no data left;
 *   STATUS_INVALID_PARAMETER for a request without a whole header, and
 *   STATUS_BUFFER_TOO_SMALL for a reply buffer short of Le + 2, both
 *   before anything is sent.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS TLP3TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  T0_EXCHANGE exchange = {};

  NTSTATUS status = SmartcardT0Request(SmartcardExtension);
  if (NT_SUCCESS(status)) {
    exchange.SmartcardExtension = SmartcardExtension;
    exchange.Request = SmartcardExtension->SmartcardRequest.Buffer;
    exchange.RequestLength = SmartcardExtension->SmartcardRequest.BufferLength;
    exchange.Reply = SmartcardExtension->SmartcardReply.Buffer;
    exchange.Le = SmartcardExtension->T0.Le;
    if (exchange.RequestLength < T0_HEADER_LENGTH)
      status = STATUS_INVALID_PARAMETER;
    else if (exchange.Le + T0_STATUS_LENGTH >
             SmartcardExtension->SmartcardReply.BufferSize)
      status = STATUS_BUFFER_TOO_SMALL;
  }
  if (NT_SUCCESS(status)) {
    exchange.Ins = LogicalByte(SmartcardExtension, exchange.Request[1]);
    status = T0Write(&exchange, T0_HEADER_LENGTH);
  }
  if (NT_SUCCESS(status))
    status = T0Dialogue(&exchange);

  if (NT_SUCCESS(status)) {
    const ULONG length = exchange.Received + T0_STATUS_LENGTH;
    SmartcardExtension->SmartcardReply.BufferLength = length;
    if (exchange.Received > 0)
      DbgPrint("%s!TLP3TransmitT0: <- Data %ld bytes, SW1=%02x SW2=%02x\n",
               "SMCLIB", length, exchange.Reply[length - 2],
               exchange.Reply[length - 1]);
    status = SmartcardT0Reply(SmartcardExtension);
  } else if (SCIsTimeOut(status)) {
    status = STATUS_IO_TIMEOUT;
  }
  DbgPrint("%s!TLP3TransmitT0: Exit(%lx)\n", "SMCLIB", status);
  return status;
}
