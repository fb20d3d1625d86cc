// The layouts the driver shares with the kernel, the bus driver and the
// smart card library, as the published x64 headers give them. Compiled
// twice: against the hosted headers (tests/windows/CMakeLists.txt) and
// against the DDK headers of mingw-w64 (windows/CMakeLists.txt), so a
// hosted header that drifts from the DDK fails the build. SMARTCARD_EXTENSION
// comes from our smclib.h on both sides; its numbers are written from the
// library's published description.

#include <usbbusif.h>
#include <usbdlib.h>

#include "frame/talvor.h"

#if !defined(__x86_64__)
#error "the layouts below are those of x64"
#endif

// Basic types: ULONG and LONG stay 32 bits on LP64 Linux as on LLP64 Windows.
static_assert(sizeof(LONG) == 4);
static_assert(sizeof(ULONG) == 4);
static_assert(sizeof(NTSTATUS) == 4);
static_assert(sizeof(BOOLEAN) == 1);
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(KIRQL) == 1);
static_assert(sizeof(KSPIN_LOCK) == 8);
static_assert(sizeof(KEVENT) == 24);
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(LIST_ENTRY) == 16);
static_assert(sizeof(UNICODE_STRING) == 16);
static_assert(sizeof(ANSI_STRING) == 16);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(IO_STATUS_BLOCK) == 16);
static_assert(offsetof(IO_STATUS_BLOCK, Information) == 8);
static_assert(sizeof(POWER_STATE) == 4);

// The I/O manager's objects and what a dispatch routine reads of them.
static_assert(sizeof(IRP) == 208);
static_assert(offsetof(IRP, MdlAddress) == 8);
static_assert(offsetof(IRP, Flags) == 16);
static_assert(offsetof(IRP, AssociatedIrp.SystemBuffer) == 24);
static_assert(offsetof(IRP, IoStatus) == 48);
static_assert(offsetof(IRP, RequestorMode) == 64);
static_assert(offsetof(IRP, PendingReturned) == 65);
static_assert(offsetof(IRP, StackCount) == 66);
static_assert(offsetof(IRP, CurrentLocation) == 67);
static_assert(offsetof(IRP, Cancel) == 68);
static_assert(offsetof(IRP, CancelIrql) == 69);
static_assert(offsetof(IRP, UserEvent) == 80);
static_assert(offsetof(IRP, CancelRoutine) == 104);
static_assert(offsetof(IRP, UserBuffer) == 112);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184);
static_assert(sizeof(IO_STACK_LOCATION) == 72);
static_assert(offsetof(IO_STACK_LOCATION, MajorFunction) == 0);
static_assert(offsetof(IO_STACK_LOCATION, MinorFunction) == 1);
static_assert(offsetof(IO_STACK_LOCATION, Flags) == 2);
static_assert(offsetof(IO_STACK_LOCATION, Control) == 3);
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.DeviceIoControl.OutputBufferLength) == 8);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.DeviceIoControl.InputBufferLength) == 16);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.DeviceIoControl.IoControlCode) == 24);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.DeviceIoControl.Type3InputBuffer) == 32);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 8);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.QueryInterface.InterfaceType) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Size) ==
              16);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.QueryInterface.Version) ==
              18);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.QueryInterface.Interface) == 24);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.QueryInterface.InterfaceSpecificData) == 32);
static_assert(offsetof(IO_STACK_LOCATION,
                       Parameters.DeviceCapabilities.Capabilities) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.WaitWake.PowerState) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.SystemContext) == 8);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.Type) == 16);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 24);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Power.ShutdownType) == 32);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40);
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == 48);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56);
static_assert(offsetof(IO_STACK_LOCATION, Context) == 64);
static_assert(sizeof(DEVICE_OBJECT) == 328);
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 8);
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == 16);
static_assert(offsetof(DEVICE_OBJECT, AttachedDevice) == 24);
static_assert(offsetof(DEVICE_OBJECT, CurrentIrp) == 32);
static_assert(offsetof(DEVICE_OBJECT, Flags) == 48);
static_assert(offsetof(DEVICE_OBJECT, Characteristics) == 52);
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 64);
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 72);
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 76);
static_assert(sizeof(DRIVER_OBJECT) == 336);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 8);
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 48);
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 104);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112);
static_assert(offsetof(DRIVER_EXTENSION, AddDevice) == 8);
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8);
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceState) == 16);
static_assert(offsetof(DEVICE_CAPABILITIES, SystemWake) == 44);
static_assert(offsetof(DEVICE_CAPABILITIES, DeviceWake) == 48);
static_assert(offsetof(DEVICE_CAPABILITIES, D1Latency) == 52);
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56);
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, Flags) == 8);
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, Name) == 16);
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, EntryContext) == 24);
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultType) == 32);
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultData) == 40);
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultLength) == 48);
static_assert(sizeof(INTERFACE) == 32);

// Descriptors, URBs and the bus interface.
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, BusContext) == 8);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceReference) == 16);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceDereference) == 24);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, GetUSBDIVersion) == 32);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed) == 64);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes) == 7);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2);
static_assert(offsetof(USBD_PIPE_INFORMATION, Interval) == 3);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceNumber) == 2);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Class) == 4);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);
static_assert(offsetof(USBD_INTERFACE_LIST_ENTRY, Interface) == 8);
static_assert(sizeof(URB) == 152);
static_assert(sizeof(struct _URB_HEADER) == 24);
static_assert(offsetof(struct _URB_HEADER, Function) == 2);
static_assert(offsetof(struct _URB_HEADER, Status) == 4);
static_assert(offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8);
static_assert(offsetof(struct _URB_HEADER, UsbdFlags) == 16);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION,
                       ConfigurationDescriptor) == 24);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) ==
              32);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40);
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 24);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST,
                       TransferBufferLength) == 36);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST,
                       TransferBuffer) == 40);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST,
                       TransferBufferMDL) == 48);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink) == 56);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST,
                       DescriptorType) == 131);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) ==
              132);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
                       TransferFlags) == 32);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
                       TransferBufferLength) == 36);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
                       TransferBuffer) == 40);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink) ==
              56);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST,
                       RequestTypeReservedBits) == 128);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) ==
              129);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) ==
              130);
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) ==
              132);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) ==
              24);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) ==
              32);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER,
                       TransferBufferLength) == 36);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER,
                       TransferBuffer) == 40);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER,
                       TransferBufferMDL) == 48);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56);

// The smart card library's extension and what hangs off it.
static_assert(sizeof(VENDOR_ATTR) == 212);
static_assert(offsetof(VENDOR_ATTR, UnitNo) == 68);
static_assert(offsetof(VENDOR_ATTR, IfdSerialNo) == 76);
static_assert(sizeof(PTS_DATA) == 16);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, ATR) == 8);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, ClockRateConversion) == 96);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, Fl) == 112);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, GT) == 120);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, Protocol) == 124);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, T0) == 132);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, T1) == 140);
static_assert(offsetof(SCARD_CARD_CAPABILITIES, PtsData) == 156);
static_assert(sizeof(SCARD_CARD_CAPABILITIES) == 256);
static_assert(offsetof(SCARD_READER_CAPABILITIES, CurrentState) == 16);
static_assert(offsetof(SCARD_READER_CAPABILITIES, MaxIFSD) == 40);
static_assert(offsetof(SCARD_READER_CAPABILITIES, DataRatesSupported) == 56);
static_assert(offsetof(SCARD_READER_CAPABILITIES, CLKFrequenciesSupported) ==
              72);
static_assert(sizeof(SCARD_READER_CAPABILITIES) == 152);
static_assert(sizeof(SMARTCARD_REQUEST) == 16);
static_assert(sizeof(SMARTCARD_REPLY) == 16);
static_assert(offsetof(T1_DATA, BytesReceived) == 4);
static_assert(offsetof(T1_DATA, NAD) == 18);
static_assert(offsetof(T1_DATA, State) == 28);
static_assert(offsetof(T1_DATA, Wtx) == 32);
static_assert(offsetof(T1_DATA, ReplyData) == 40);
static_assert(sizeof(T1_DATA) == 56);
static_assert(offsetof(OS_DEP_DATA, NotificationIrp) == 16);
static_assert(offsetof(OS_DEP_DATA, SpinLock) == 80);
static_assert(offsetof(SMARTCARD_EXTENSION, VendorAttr) == 4);
static_assert(offsetof(SMARTCARD_EXTENSION, ReaderFunction) == 216);
static_assert(offsetof(SMARTCARD_EXTENSION, CardCapabilities) == 344);
static_assert(offsetof(SMARTCARD_EXTENSION, LastError) == 600);
static_assert(offsetof(SMARTCARD_EXTENSION, IoRequest) == 608);
static_assert(offsetof(SMARTCARD_EXTENSION, MajorIoControlCode) == 648);
static_assert(offsetof(SMARTCARD_EXTENSION, OsData) == 656);
static_assert(offsetof(SMARTCARD_EXTENSION, ReaderCapabilities) == 664);
static_assert(offsetof(SMARTCARD_EXTENSION, ReaderExtension) == 816);
static_assert(offsetof(SMARTCARD_EXTENSION, SmartcardReply) == 824);
static_assert(offsetof(SMARTCARD_EXTENSION, SmartcardRequest) == 840);
static_assert(offsetof(SMARTCARD_EXTENSION, T0) == 856);
static_assert(offsetof(SMARTCARD_EXTENSION, T1) == 864);
static_assert(offsetof(SMARTCARD_EXTENSION, Reserved) == 920);
static_assert(sizeof(SMARTCARD_EXTENSION) == 1024);
static_assert(sizeof(SCARD_IO_REQUEST) == 8);
static_assert(offsetof(DEVICE_EXTENSION, SmartcardExtension) == 0);
