// USB transport: URB submission, reader commands, card data transfers and
// the reader's USB configuration.
#pragma once

#include "frame/talvor.h"

// Reader commands (vendor requests on the default pipe).
#define READER_COLD_RESET 0xA1
#define READER_WARM_RESET 0xA0
#define READER_POWER_DOWN 0xA3
#define READER_HOST_ABORT 0xA4
#define READER_SET_PARAMETERS 0xA5
#define READER_WRITE_LENGTH 0xC0
#define READER_READ_LENGTH 0xC1
#define READER_I2C_COMMAND 0x43
#define READER_VENDOR_WRITE 0x02
#define READER_VENDOR_READ 0x03

// The command record: a setup packet's layout, little-endian.
#pragma pack(push, 1)
typedef struct _READER_COMMAND {
  UCHAR RequestType; // not used: always vendor, device; direction from Write
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex; // WRITE/READ LENGTH: the byte count that follows
  USHORT wLength;
} READER_COMMAND, *PREADER_COMMAND;
#pragma pack(pop)

// Time-outs, milliseconds.
#define USCR_COMMAND_TIMEOUT 2500
#define USCR_WRITE_TIMEOUT 5000
#define USCR_MIN_READ_TIMEOUT 300
// The largest time-out whose 100 ns count still fits 32 bits.
#define USCR_MAX_TIMEOUT 429496

// Announced transfers move at most this much per bulk transfer.
#define USCR_CHUNK_SIZE 16

// Pipes of the selected interface, by position.
#define USCR_PIPE_INTERRUPT 0
#define USCR_PIPE_BULK_OUT 1
#define USCR_PIPE_BULK_IN 2
// Pipes whose halt HaltedPipes can note.
#define USCR_MAX_PIPES 31

// usb/call.cpp
NTSTATUS KorvoSCD_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG timeout,
                           BOOLEAN cardCommand);
NTSTATUS KorvoSCD_CallUSBDInterrupt(PDEVICE_OBJECT DeviceObject, PURB Urb);

// usb/command.cpp
NTSTATUS USBSCCommand(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PUCHAR Buffer,
                      PREADER_COMMAND Command);
NTSTATUS USBSCCommand(PDEVICE_OBJECT DeviceObject, BOOLEAN Write, PUCHAR Buffer,
                      PREADER_COMMAND Command, PULONG BytesTransferred);
// HOST ABORT alone; its status is of no use to anyone.
void SCSendHostAbort(PDEVICE_OBJECT DeviceObject);
// RestartTrace names the caller in the restart's trace.
void SCAbortAndRestart(PDEVICE_OBJECT DeviceObject, PCSTR RestartTrace);
// A transport time-out: the wait ran out, or the transfer was cancelled.
inline BOOLEAN SCIsTimeOut(NTSTATUS Status) {
  return Status == STATUS_TIMEOUT || Status == STATUS_CANCELLED ? TRUE : FALSE;
}
void SCNotePipeHalt(PDEVICE_EXTENSION DeviceExtension, PURB Urb);
void SCResetHaltedPipes(PDEVICE_OBJECT DeviceObject);

// usb/transfer.cpp
NTSTATUS SCReadWriteIO(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Buffer,
                       ULONG Length, PULONG BytesTransferred, BOOLEAN Write,
                       UCHAR Wtx);
NTSTATUS SCReadWrite(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Buffer,
                     ULONG Length, PULONG BytesTransferred, BOOLEAN Write,
                     UCHAR Wtx);
NTSTATUS SCReadWriteDirectIO(PSMARTCARD_EXTENSION SmartcardExtension,
                             PUCHAR Buffer, ULONG Length,
                             PULONG BytesTransferred, BOOLEAN Write);
NTSTATUS SCReadWriteDirect(PSMARTCARD_EXTENSION SmartcardExtension,
                           PUCHAR Buffer, ULONG Length, PULONG BytesTransferred,
                           BOOLEAN Write);
NTSTATUS SCReadWriteI2C(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Write);
NTSTATUS SCReadWriteInterrupt(PSMARTCARD_EXTENSION SmartcardExtension,
                              PUCHAR Buffer, ULONG Length, BOOLEAN Write);

// usb/config.cpp
NTSTATUS KorvoSCD_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS BulkUsb_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS
BulkUsb_SelectInterface(PDEVICE_OBJECT DeviceObject,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
void GetBusInterfaceVersion(PDEVICE_OBJECT DeviceObject);
NTSTATUS KorvoSCD_StopDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS KorvoSCD_RemoveDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReleaseMemory(PDEVICE_OBJECT DeviceObject);
