// The smart card driver library: the SMARTCARD_EXTENSION a reader driver
// shares with it, the callback table, and the library's routines (request
// dispatch, ATR parsing, the T=0, T=1 and raw protocols, the remove lock and
// the event log). Names, values and the x64 layout of every structure a
// driver touches are the published ones, so that a driver built against
// this header runs against either library; tests/windows/layout_test.cpp
// holds the offsets, in the hosted build and the Windows build alike.
#pragma once

#include "wdm.h"
#include "winsmcrd.h"

// Spelled out: the DDK headers of some kits lack EXTERN_C_START.
#ifdef __cplusplus
extern "C" {
#endif

#define SMCLIB_VERSION 0x150
#define SMCLIB_VERSION_REQUIRED 0x100

// Request and reply buffers are never smaller than this.
#define MIN_BUFFER_SIZE 288

#define MAXIMUM_ATTR_STRING_LENGTH 32
#define MAXIMUM_SMARTCARD_READERS 10
#define MAXIMUM_ATR_LENGTH SCARD_ATR_LENGTH
#define MAXIMUM_ATR_BUFFER_LENGTH 64
#define MAXIMUM_HISTORICAL_BYTES 16

// ---------------------------------------------------------------------------
// Reader functions: ReaderFunction[] entries, called back by the library.

#define RDF_CARD_POWER 0
#define RDF_TRANSMIT 1
#define RDF_CARD_EJECT 2
#define RDF_READER_SWALLOW 3
#define RDF_CARD_TRACKING 4
#define RDF_SET_PROTOCOL 5
#define RDF_DEBUG_LEVEL 6
#define RDF_CARD_CONFISCATE 7
#define RDF_IOCTL_VENDOR 8
#define RDF_ATR_PARSE 9
#define MAXIMUM_SMARTCARD_READER_FUNCTIONS 16

// PtsData.Type
#define PTS_TYPE_DEFAULT 0x00
#define PTS_TYPE_OPTIMAL 0x01
#define PTS_TYPE_USER 0x02

typedef struct _SMARTCARD_EXTENSION SMARTCARD_EXTENSION, *PSMARTCARD_EXTENSION;
typedef struct _READER_EXTENSION *PREADER_EXTENSION; // the driver's own

typedef NTSTATUS (*PRDF_FUNCTION)(PSMARTCARD_EXTENSION SmartcardExtension);

// ---------------------------------------------------------------------------
// Vendor attributes, set by the driver before SmartcardInitialize.

typedef struct _VENDOR_ATTR {
  struct {
    USHORT Length; // bytes reported, as the driver counts them
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } VendorName;
  struct {
    USHORT Length;
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } IfdType;
  ULONG UnitNo;
  struct {
    USHORT BuildNumber;
    UCHAR VersionMinor;
    UCHAR VersionMajor;
  } IfdVersion;
  struct {
    USHORT Length; // 0: the reader reports no serial number
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
  } IfdSerialNo;
  ULONG Reserved[25];
} VENDOR_ATTR, *PVENDOR_ATTR;

// ---------------------------------------------------------------------------
// Card capabilities: the ATR and what SmartcardUpdateCardCapabilities
// derives from it. Waiting times are in microseconds.

// Clock rate conversion factor F by Fl, with the maximum clock in kHz.
typedef struct _CLOCK_RATE_CONVERSION {
  ULONG F;
  ULONG fs;
} CLOCK_RATE_CONVERSION, *PCLOCK_RATE_CONVERSION;

// Bit rate adjustment factor D by Dl, as a fraction.
typedef struct _BIT_RATE_ADJUSTMENT {
  ULONG DNumerator;
  ULONG DDivisor;
} BIT_RATE_ADJUSTMENT, *PBIT_RATE_ADJUSTMENT;

typedef struct _PTS_DATA {
  UCHAR Type;         // PTS_TYPE_*
  UCHAR Fl;           // proposed clock rate index
  UCHAR Dl;           // proposed bit rate index
  ULONG CLKFrequency; // kHz
  ULONG DataRate;     // bit/s
  UCHAR StopBits;
} PTS_DATA, *PPTS_DATA;

typedef struct _SCARD_CARD_CAPABILITIES {
  BOOLEAN InversConvention;
  ULONG etu; // microseconds, at the card's Fl and Dl
  struct {
    UCHAR Buffer[MAXIMUM_ATR_BUFFER_LENGTH];
    UCHAR Length;
  } ATR;
  struct {
    UCHAR Buffer[MAXIMUM_HISTORICAL_BYTES];
    UCHAR Length;
  } HistoricalChars;
  const CLOCK_RATE_CONVERSION *ClockRateConversion; // indexed by Fl
  const BIT_RATE_ADJUSTMENT *BitRateAdjustment;     // indexed by Dl
  UCHAR Fl; // TA1 high nibble as the card sent it (1 without TA1)
  UCHAR Dl; // TA1 low nibble as the card sent it (1 without TA1)
  UCHAR II; // TB1: programming current (deprecated)
  UCHAR P;  // TB1: programming voltage (deprecated)
  UCHAR N;  // TC1: extra guard time
  ULONG GT; // guard time
  struct {
    ULONG Supported; // SCARD_PROTOCOL_* the card offers
    ULONG Selected;  // the one in use, 0 while none
  } Protocol;
  struct {
    UCHAR WI;
    ULONG WT;
  } T0;
  struct {
    UCHAR IFSC;
    UCHAR CWI;
    UCHAR BWI;
    UCHAR EDC; // bit 0: CRC, else LRC
    ULONG CWT;
    ULONG BWT;
    ULONG BGT;
  } T1;
  PTS_DATA PtsData;
  UCHAR Reserved[100 - sizeof(PTS_DATA)];
} SCARD_CARD_CAPABILITIES, *PSCARD_CARD_CAPABILITIES;

// ---------------------------------------------------------------------------
// Reader capabilities, set by the driver. CurrentState is guarded by
// OsData->SpinLock.

typedef struct _SCARD_READER_CAPABILITIES {
  ULONG SupportedProtocols;
  ULONG Reserved;
  ULONG ReaderType;     // SCARD_READER_TYPE_*
  ULONG MechProperties; // SCARD_READER_SWALLOWS ...
  ULONG CurrentState;   // SCARD_UNKNOWN ... SCARD_SPECIFIC
  ULONG Channel;
  struct {
    ULONG Default; // kHz
    ULONG Max;
  } CLKFrequency;
  struct {
    ULONG Default; // bit/s
    ULONG Max;
  } DataRate;
  ULONG MaxIFSD;
  ULONG PowerMgmtSupport;
  ULONG CardConfiscated;
  struct _DataRatesSupported {
    PULONG List;
    UCHAR Entries;
  } DataRatesSupported;
  struct _CLKFrequenciesSupported {
    PULONG List;
    UCHAR Entries;
  } CLKFrequenciesSupported;
  UCHAR Reserved1[100 - sizeof(ULONG) - sizeof(struct _DataRatesSupported) -
                  sizeof(struct _CLKFrequenciesSupported)];
} SCARD_READER_CAPABILITIES, *PSCARD_READER_CAPABILITIES;

// ---------------------------------------------------------------------------
// The buffers the protocol routines build into and read from. A request
// routine appends after the BufferLength bytes already in the request
// buffer (a reader-specific header the driver put there).

typedef struct _SMARTCARD_REQUEST {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REQUEST, *PSMARTCARD_REQUEST;

typedef struct _SMARTCARD_REPLY {
  PUCHAR Buffer;
  ULONG BufferSize;
  ULONG BufferLength;
} SMARTCARD_REPLY, *PSMARTCARD_REPLY;

typedef struct _T0_DATA {
  ULONG Lc; // command data bytes of the TPDU
  ULONG Le; // response data bytes the TPDU expects
} T0_DATA, *PT0_DATA;

// T1_DATA.State: this library's own values.
#define T1_INIT 0        // after a reset: IFSD negotiation due
#define T1_IDLE 1        // between transmissions
#define T1_IFS_REQUEST 2 // S(IFS request) sent
#define T1_SENDING 3     // the command's I-blocks going out
#define T1_RECEIVING 4   // the card's answer coming in
#define T1_RESYNCH_REQUEST 5
#define T1_ABORTED 6 // the card aborted the exchange

// What the library reports of the T=1 transmission; a driver reads it and
// never writes it, except NAD before a transmission. The library keeps its
// own record of the exchange elsewhere and refreshes these after each
// SmartcardT1Request and SmartcardT1Reply.
typedef struct _T1_DATA {
  UCHAR IFSC;          // information field size of the card, in use
  UCHAR IFSD;          // information field size of the reader, in use
  ULONG BytesReceived; // answer bytes received, kept or not
  ULONG BytesSent;     // command bytes the card acknowledged
  ULONG BytesToSend;   // command bytes not yet acknowledged
  UCHAR LastError;     // R-block error code last sent, 0: none
  BOOLEAN MoreData;    // the block under way is chained
  UCHAR NAD;           // node address of the blocks sent
  ULONG OriginalState; // 0: this library does not report it
  UCHAR Resend;        // errors in a row on the current block
  UCHAR Resync;        // S(RESYNCH) requests in this transmission
  UCHAR RSN;           // N(S) expected of the card's next I-block
  UCHAR SSN;           // N(S) of the next new I-block sent
  ULONG State;         // T1_*
  UCHAR Wtx;        // block waiting time multiplier for the next read; 0: none
  PUCHAR ReplyData; // where the card's answer goes
  BOOLEAN WaitForReply; // a transmission is under way
  UCHAR InfBytesSent;   // command bytes in the I-block awaiting its answer
} T1_DATA, *PT1_DATA;

// ---------------------------------------------------------------------------
// What the library keeps per reader; SmartcardInitialize allocates it. A
// driver uses DeviceObject (which it sets), NotificationIrp and SpinLock.
typedef struct _OS_DEP_DATA {
  PDEVICE_OBJECT DeviceObject; // set by the driver after initialisation
  PIRP CurrentIrp;             // the request whose callback runs
  PIRP NotificationIrp;        // the pending card-tracking request
  // The room of the published KMUTEX that serialises the reader functions.
  // Here a synchronization event held while a request uses the extension:
  // one callback at a time. It guards IoRequest, the control codes,
  // CurrentIrp, the card capabilities and the T=0 and T=1 data.
  union {
    KEVENT CallbackLock;
    UCHAR Mutex[56];
  };
  // Guards ReaderCapabilities.CurrentState and NotificationIrp. Taken
  // before the I/O cancel spin lock wherever both are held.
  KSPIN_LOCK SpinLock;
  struct {
    BOOLEAN Removed;    // SmartcardReleaseRemoveLockAndWait has begun
    LONG RefCount;      // acquisitions not yet released
    KEVENT RemoveEvent; // notification: removal began and RefCount is 0
    LIST_ENTRY TagList; // unused
  } RemoveLock;

  // Library-private from here on.
  KSPIN_LOCK RemoveLockGuard; // guards RemoveLock.Removed and .RefCount
  BOOLEAN OwnsRequestBuffer;  // the library allocated it, and frees it
  BOOLEAN OwnsReplyBuffer;
} OS_DEP_DATA, *POS_DEP_DATA;

struct _SMARTCARD_EXTENSION {
  ULONG Version; // SMCLIB_VERSION the driver was written for
  VENDOR_ATTR VendorAttr;
  PRDF_FUNCTION ReaderFunction[MAXIMUM_SMARTCARD_READER_FUNCTIONS];
  SCARD_CARD_CAPABILITIES CardCapabilities;
  ULONG LastError; // status of the last request that failed
  struct {
    PULONG_PTR Information; // the IRP's IoStatus.Information
    PUCHAR RequestBuffer;
    ULONG RequestBufferLength;
    PUCHAR ReplyBuffer;
    ULONG ReplyBufferLength;
  } IoRequest;
  ULONG MajorIoControlCode; // the request's control code
  ULONG MinorIoControlCode; // the first ULONG of its input, where it has one
  POS_DEP_DATA OsData;
  SCARD_READER_CAPABILITIES ReaderCapabilities;
  PREADER_EXTENSION ReaderExtension;
  SMARTCARD_REPLY SmartcardReply;
  SMARTCARD_REQUEST SmartcardRequest;
  T0_DATA T0;
  T1_DATA T1;
  // Library-private: its record of the T=1 exchange in progress.
  ULONG Reserved[25];
};

// ---------------------------------------------------------------------------
// Routines. All run at PASSIVE_LEVEL unless noted.

// Checks Version, allocates OsData and the request and reply buffers the
// driver did not provide (BufferSize bytes, at least MIN_BUFFER_SIZE).
// STATUS_SUCCESS or a failure status.
NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
// Releases what SmartcardInitialize set up.
void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);

// Validates a device-control request, answers what it can itself, calls the
// reader function for the rest (one callback at a time per reader, at
// PASSIVE_LEVEL) and completes the request. A request whose callback
// returns STATUS_PENDING belongs to the callback.
//
// IoRequest describes the request while its callback runs, and after the
// request still points at that request's buffers, which are gone once it
// is completed: a driver writes through it only inside a request's
// callback.
//
// Card tracking (IS_PRESENT, IS_ABSENT, when the card is not already as
// asked): under OsData->SpinLock the library marks the IRP pending and
// stores it in OsData->NotificationIrp, without a cancel routine; it then
// releases the lock and calls RDF_CARD_TRACKING at PASSIVE_LEVEL. The
// callback may take OsData->SpinLock and then the cancel spin lock; it
// makes the IRP cancellable, or completes it itself when it is cancelled
// already. Between the store and the callback, a driver's state change,
// cancel routine or cleanup may find the IRP stored and not yet
// cancellable; whoever takes it out of NotificationIrp (under the locks)
// completes it, and the callback then finds none. The callback returns
// STATUS_PENDING; any other status hands the request, when it is still
// stored, back to the library, which completes it with that status.
// SmartcardDeviceControl returns STATUS_PENDING.
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension,
                                PIRP Irp);

// Parses CardCapabilities.ATR into the rest of CardCapabilities and moves
// the card state to SCARD_NEGOTIABLE, or SCARD_SPECIFIC when the card is in
// specific mode (a card the driver recorded gone stays so; the state is
// written under OsData->SpinLock, which the caller must not hold). An
// unusable ATR gives STATUS_UNRECOGNIZED_MEDIA and leaves the card
// SCARD_POWERED with no protocol. A PtsData.Type of PTS_TYPE_DEFAULT, set
// by a driver whose PPS failed, is kept.
NTSTATUS
SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

// Build the bytes for the card in SmartcardRequest from the caller's
// SCARD_IO_REQUEST and APDU, and turn SmartcardReply into the caller's
// answer (header, data, status word) with *IoRequest.Information set.
NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
// T=1: one block per SmartcardT1Request; SmartcardT1Reply returns
// STATUS_MORE_PROCESSING_REQUIRED while another exchange is needed and sets
// T1.Wtx when the card asked for more time for the next read.
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);

// Bit order and polarity of the inverse convention, in place.
void SmartcardInvertData(PUCHAR Buffer, ULONG Length);

// Counted; fails with STATUS_DELETE_PENDING once removal has begun. Any
// IRQL up to DISPATCH_LEVEL.
NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension);
// Begins removal, gives back the caller's acquisition and returns once
// every other holder has released. The caller must hold one.
void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

// Writes one event-log entry for Object (a driver or device object), with
// an optional insertion string and dump word (0: none).
void SmartcardLogError(PVOID Object, NTSTATUS ErrorCode,
                       PUNICODE_STRING Insertion, ULONG DumpWord);

#ifdef __cplusplus
}
#endif
