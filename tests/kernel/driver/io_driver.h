// A two-driver device stack for the I/O manager's tests, written as driver
// code: a lower driver that completes, pends and cancels requests, and an
// upper driver that watches completions on their way back up.
#pragma once

#include <wdm.h>

EXTERN_C_START

#define IOCTL_TEST_COMPLETE                                                    \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_PEND                                                        \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_PEND_UNCANCELLABLE                                          \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_FORWARD_AND_WAIT                                            \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_COMPLETE_TWICE                                              \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_KEEP_CANCEL_ROUTINE                                         \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_FORWARD_PENDING                                             \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_HOLD_FOREVER                                                \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completed at once with the NTSTATUS the input buffer holds.
#define IOCTL_TEST_COMPLETE_WITH                                               \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Planted bugs, one each: STATUS_PENDING without the mark; the mark with
// another status; a completion routine that drops PendingReturned; a
// dispatch routine that returns at DISPATCH_LEVEL, or holding its queue
// lock; a completion routine that returns at DISPATCH_LEVEL; a cancel
// routine that releases the cancel spin lock to DISPATCH_LEVEL.
#define IOCTL_TEST_PEND_UNMARKED                                               \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x809, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_MARK_AND_COMPLETE                                           \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80A, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_FORWARD_FORGETFUL                                           \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_RETURN_RAISED                                               \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80C, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_RETURN_LOCKED                                               \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_FORWARD_RAISING                                             \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80E, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_PEND_BAD_CANCEL                                             \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80F, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _TEST_LOWER_EXTENSION {
  KSPIN_LOCK QueueLock; // guards Queue
  LIST_ENTRY Queue;     // pended, cancellable requests
  LONG Completed;
  LONG Cancelled;
} TEST_LOWER_EXTENSION, *PTEST_LOWER_EXTENSION;

typedef struct _TEST_UPPER_EXTENSION {
  PDEVICE_OBJECT Lower;
  LONG CompletionCalls;
  BOOLEAN SawPendingReturned;
  PDEVICE_OBJECT CompletionDevice;
} TEST_UPPER_EXTENSION, *PTEST_UPPER_EXTENSION;

void TestLowerInitialize(PDRIVER_OBJECT DriverObject);
void TestUpperInitialize(PDRIVER_OBJECT DriverObject);

// Creates the lower device (named) and the upper device attached over it.
NTSTATUS TestBuildStack(PDRIVER_OBJECT Lower, PDRIVER_OBJECT Upper,
                        PDEVICE_OBJECT *LowerDevice,
                        PDEVICE_OBJECT *UpperDevice);
void TestTearDownStack(PDEVICE_OBJECT LowerDevice, PDEVICE_OBJECT UpperDevice);

// Completes every queued request of the lower device with `Status`.
ULONG TestLowerCompleteQueued(PDEVICE_OBJECT LowerDevice, NTSTATUS Status);

// Sends an IOCTL built with IoBuildDeviceIoControlRequest and waits for it.
NTSTATUS TestSendAndWait(PDEVICE_OBJECT Device, ULONG Code, PVOID Input,
                         ULONG InputLength, PVOID Output, ULONG OutputLength,
                         PULONG_PTR Information);

// Sends a pending IOCTL on an IRP of its own, cancels it after `DelayMs`
// (0: at once) and waits for the completion routine. Returns the status the
// IRP completed with.
NTSTATUS TestSendAndCancel(PDEVICE_OBJECT Device, ULONG Code, ULONG DelayMs);

EXTERN_C_END
