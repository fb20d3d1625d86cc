// A smart card reader for the library's tests, written as driver code: it
// fills the SMARTCARD_EXTENSION as a reader driver does, registers the
// callbacks, passes device-control requests to SmartcardDeviceControl under
// the remove lock, and moves the card's bytes to and from a card that the
// test supplies.
#pragma once

#include <smclib.h>

EXTERN_C_START

// The card in the slot, supplied by the test.
typedef struct _TEST_CARD {
  PVOID Context;
  // Fills Atr (at most AtrSize bytes); returns the ATR's length, 0 for a
  // card that does not answer.
  ULONG (*Reset)(PVOID Context, PUCHAR Atr, ULONG AtrSize);
  // One exchange in the given protocol; STATUS_IO_TIMEOUT when the card
  // stays silent.
  NTSTATUS(*Exchange)
  (PVOID Context, ULONG Protocol, const UCHAR *Send, ULONG SendLength,
   PUCHAR Receive, ULONG ReceiveSize, PULONG Received);
} TEST_CARD, *PTEST_CARD;

typedef struct _READER_EXTENSION {
  PTEST_CARD Card;
  // Each callback waits this long once it has begun (100 ns units), so
  // that others get the chance to run beside it if the library let them.
  LONGLONG CallbackDelay;
  LONG Active;   // callbacks running now
  LONG Overlaps; // callbacks that found another one running
  LONG Calls[MAXIMUM_SMARTCARD_READER_FUNCTIONS];
  LONG Exchanges;
} READER_EXTENSION;

typedef struct _TEST_READER_EXTENSION {
  SMARTCARD_EXTENSION SmartcardExtension; // first: the callbacks' argument
  READER_EXTENSION Reader;
} TEST_READER_EXTENSION, *PTEST_READER_EXTENSION;

// Vendor codes the reader answers itself.
#define IOCTL_TEST_READER_ECHO                                                 \
  CTL_CODE(FILE_DEVICE_SMARTCARD, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Claims ten bytes more than the output buffer holds.
#define IOCTL_TEST_READER_OVERREACH                                            \
  CTL_CODE(FILE_DEVICE_SMARTCARD, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

void TestReaderInitialize(PDRIVER_OBJECT DriverObject);
NTSTATUS TestReaderCreate(PDRIVER_OBJECT DriverObject, PTEST_CARD Card,
                          PDEVICE_OBJECT *DeviceObject);
// Removal as a reader driver does it: completes a pending card-tracking
// request, waits for the remove lock's holders, releases the library and
// deletes the device.
void TestReaderRemove(PDEVICE_OBJECT DeviceObject);
// A presence report, as a card presence thread makes one.
void TestReaderUpdateCardState(PDEVICE_OBJECT DeviceObject, BOOLEAN Present);
PTEST_READER_EXTENSION TestReaderExtension(PDEVICE_OBJECT DeviceObject);
// A planted misuse: writes through IoRequest outside any request, as a
// driver's resume path might, into the buffers of the request that ended.
void TestReaderWriteThroughLastRequest(PDEVICE_OBJECT DeviceObject);

EXTERN_C_END
