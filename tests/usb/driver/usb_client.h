// A USB client driver for the bus driver's tests, written as driver code:
// it submits URBs the way the reader driver does (built internal device
// control, wait with time-out, cancel, wait for the completion), configures
// a device with the USBD library, and sends the PnP and power requests a
// PnP manager would.
#pragma once

#include <wdm.h>

#include <usbbusif.h>
#include <usbdlib.h>

EXTERN_C_START

// The time-out pattern: build the request, call the PDO, wait up to
// TimeoutMs, cancel on time-out and wait for the completion, then hand the
// IRP back. STATUS_CANCELLED after a time-out; otherwise the request's own
// status.
NTSTATUS TestUsbCall(PDEVICE_OBJECT Pdo, PURB Urb, ULONG TimeoutMs);

// The same, but the URB's memory is freed as soon as the request is
// cancelled, without waiting for its completion: a driver bug.
NTSTATUS TestUsbCallFreeEarly(PDEVICE_OBJECT Pdo, PURB Urb, ULONG TimeoutMs);

// A request left outstanding: started here, cancelled or awaited later.
typedef struct _TEST_USB_ASYNC {
  PIRP Irp;
  KEVENT Done;
  NTSTATUS Status;
  IO_STATUS_BLOCK StatusBlock;
} TEST_USB_ASYNC, *PTEST_USB_ASYNC;

NTSTATUS TestUsbStart(PDEVICE_OBJECT Pdo, PURB Urb, PTEST_USB_ASYNC Async);
// Waits for it and returns its final status.
NTSTATUS TestUsbFinish(PTEST_USB_ASYNC Async);

// A bulk or interrupt transfer URB from pool ("TuRB"), freed with ExFreePool.
PURB TestUsbBulkUrb(USBD_PIPE_HANDLE Pipe, PVOID Buffer, ULONG Length,
                    ULONG Flags);
PURB TestUsbVendorUrb(BOOLEAN In, UCHAR Request, USHORT Value, USHORT Index,
                      PVOID Buffer, ULONG Length);

typedef struct _TEST_USB_CONFIG {
  ULONG ConfigurationReads;  // descriptor requests for the configuration
  ULONG ConfigurationLength; // wTotalLength
  USBD_CONFIGURATION_HANDLE Handle;
  PUSBD_INTERFACE_INFORMATION Interface; // copy of the first, from pool
  BOOLEAN HighSpeed;
} TEST_USB_CONFIG, *PTEST_USB_CONFIG;

// Reads the device and configuration descriptors (521 bytes first, then
// wTotalLength), selects the first interface with
// USBD_CreateConfigurationRequest (UseEx: the Ex form with an interface
// list) and queries the bus interface for the speed.
NTSTATUS TestUsbConfigure(PDEVICE_OBJECT Pdo, BOOLEAN UseEx,
                          PTEST_USB_CONFIG Config);
NTSTATUS TestUsbUnconfigure(PDEVICE_OBJECT Pdo);
void TestUsbFreeConfig(PTEST_USB_CONFIG Config);

// Sends IRP_MJ_PNP with `Minor` and waits; for IRP_MN_QUERY_ID the ID type
// is `Argument` and the result is returned in *Information.
NTSTATUS TestUsbPnp(PDEVICE_OBJECT Pdo, UCHAR Minor, ULONG Argument,
                    PULONG_PTR Information);
NTSTATUS TestUsbQueryCapabilities(PDEVICE_OBJECT Pdo,
                                  PDEVICE_CAPABILITIES Capabilities);
NTSTATUS TestUsbQueryInterface(PDEVICE_OBJECT Pdo, USHORT Version, USHORT Size,
                               PUSB_BUS_INTERFACE_USBDI_V1 Interface);
NTSTATUS TestUsbSetPower(PDEVICE_OBJECT Pdo, DEVICE_POWER_STATE State);
// IRP_MN_WAIT_WAKE, left outstanding in Async.
NTSTATUS TestUsbWaitWake(PDEVICE_OBJECT Pdo, PTEST_USB_ASYNC Async);

EXTERN_C_END
