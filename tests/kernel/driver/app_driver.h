// A small device driver for the application side's tests, built as driver
// code: IOCTLs answered at once, one that pends with a cancel routine until
// released (by another IOCTL, a system thread or cancel), one that reports
// whatever the caller asks, a pass-through filter, a device interface, and
// counts of what the device saw.
#pragma once

#include <wdm.h>

EXTERN_C_START

#define APP_IOCTL(Function, Method)                                            \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (Function), Method, FILE_ANY_ACCESS)

// Reverses the input in place; Information = min(input, output length).
#define IOCTL_APP_ECHO APP_IOCTL(0, METHOD_BUFFERED)
// Input APP_REPORT: fills the whole output buffer with Fill, then completes
// with Status and Information as given, whatever they are.
#define IOCTL_APP_REPORT APP_IOCTL(1, METHOD_BUFFERED)
// Pends until released or cancelled. Released: STATUS_SUCCESS and, with an
// output buffer of 4 bytes or more, the LONG release order (1, 2, ...).
#define IOCTL_APP_WAIT APP_IOCTL(2, METHOD_BUFFERED)
// Releases the oldest pending IOCTL_APP_WAIT of the device; STATUS_NOT_FOUND
// when none is pending.
#define IOCTL_APP_RELEASE APP_IOCTL(3, METHOD_BUFFERED)
// Asks the device's system thread to release every pending WAIT.
#define IOCTL_APP_KICK APP_IOCTL(4, METHOD_BUFFERED)
// METHOD_NEITHER: the reversed Type3InputBuffer into UserBuffer.
#define IOCTL_APP_REVERSE APP_IOCTL(5, METHOD_NEITHER)
#define IOCTL_APP_DIRECT APP_IOCTL(6, METHOD_OUT_DIRECT)
// Planted bug: completes the IRP, then returns STATUS_PENDING without
// having marked it pending.
#define IOCTL_APP_UNMARKED_PENDING APP_IOCTL(7, METHOD_BUFFERED)

// Input APP_THREAD: starts a system thread from the request and references
// it by its handle in kernel mode, then closes the handle, here or in the
// new thread itself; completes with the reference's status.
#define IOCTL_APP_THREAD APP_IOCTL(8, METHOD_BUFFERED)

typedef struct _APP_THREAD {
  ULONG Attributes;          // of the thread's handle: 0 or OBJ_KERNEL_HANDLE
  BOOLEAN ReferenceInThread; // the new thread references its own handle
} APP_THREAD;

typedef struct _APP_REPORT {
  NTSTATUS Status;
  ULONG Information;
  UCHAR Fill;
} APP_REPORT;

typedef struct _APP_COUNTS {
  LONG Creates;
  LONG Cleanups;
  LONG Closes;
  LONG Controls;  // IRP_MJ_DEVICE_CONTROL requests seen
  LONG Released;  // WAITs completed with success
  LONG Cancelled; // WAITs completed with STATUS_CANCELLED
  LONG Malformed; // requests without the file object or mode they must carry
} APP_COUNTS;

// AppDriverSetOptions
#define APP_KEEP_AT_CLEANUP 0x1 // leave the file's WAITs pending at cleanup
#define APP_FAIL_CREATE 0x2     // refuse IRP_MJ_CREATE

extern const GUID GUID_APP_INTERFACE;

// Fills the driver object's major functions.
void AppDriverInitialize(PDRIVER_OBJECT DriverObject);
// Creates a device (named when Name is not NULL) and starts its system
// thread. PASSIVE_LEVEL.
NTSTATUS AppDriverAddDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name,
                            BOOLEAN Exclusive, PDEVICE_OBJECT *Device);
// Registers (once) and enables or disables the device's GUID_APP_INTERFACE.
// Disabling one never registered does nothing.
NTSTATUS AppDriverSetInterface(PDEVICE_OBJECT Device, BOOLEAN Enable);
// Fails what is still pending with STATUS_DELETE_PENDING, stops the thread,
// removes the interface and deletes the device.
void AppDriverRemoveDevice(PDEVICE_OBJECT Device);
// A pass-through filter attached above Device.
NTSTATUS AppDriverAttachFilter(PDRIVER_OBJECT DriverObject,
                               PDEVICE_OBJECT Device, PDEVICE_OBJECT *Filter);
void AppDriverDetachFilter(PDEVICE_OBJECT Filter);

void AppDriverSetOptions(PDEVICE_OBJECT Device, ULONG Options);
void AppDriverGetCounts(PDEVICE_OBJECT Device, APP_COUNTS *Counts);
// Releases the oldest pending WAIT from the calling thread; FALSE if none.
BOOLEAN AppDriverReleaseOldest(PDEVICE_OBJECT Device);

EXTERN_C_END
