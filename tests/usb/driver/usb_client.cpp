#include <initguid.h>

#include "tests/usb/driver/usb_client.h"

namespace {

const ULONG kTag = 0x42527554; // "TuRB"

NTSTATUS SignalAndKeep(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS AsyncDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PTEST_USB_ASYNC async = static_cast<PTEST_USB_ASYNC>(Context);
  async->Status = Irp->IoStatus.Status;
  KeSetEvent(&async->Done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Call(PDEVICE_OBJECT Pdo, PURB Urb, ULONG TimeoutMs,
              BOOLEAN FreeEarly) {
  KEVENT event;
  IO_STATUS_BLOCK status_block;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Pdo, NULL, 0,
                                    NULL, 0, TRUE, &event, &status_block);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoSetCompletionRoutine(irp, SignalAndKeep, &event, TRUE, TRUE, TRUE);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  NTSTATUS status = IoCallDriver(Pdo, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(TimeoutMs) * 10000;
    NTSTATUS wait =
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    if (wait == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      if (FreeEarly)
        ExFreePool(Urb);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      status = STATUS_CANCELLED;
    } else {
      status = irp->IoStatus.Status;
    }
  }
  // Hand the IRP back: the I/O manager frees it and sets the event again,
  // unless it failed without being pended.
  BOOLEAN event_comes = irp->PendingReturned || !NT_ERROR(irp->IoStatus.Status);
  KeClearEvent(&event);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (event_comes)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  return status;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT Pdo, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, SignalAndKeep, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Pdo, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

PIRP NewIrp(PDEVICE_OBJECT Pdo, UCHAR Major, UCHAR Minor) {
  PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
  if (irp == NULL)
    return NULL;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = Major;
  next->MinorFunction = Minor;
  return irp;
}

NTSTATUS GetDescriptor(PDEVICE_OBJECT Pdo, UCHAR Type, PVOID Buffer,
                       ULONG Length, PULONG Returned) {
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTag));
  if (urb == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(
      urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, 0, 0,
      Buffer, NULL, Length, NULL);
  NTSTATUS status = TestUsbCall(Pdo, urb, 2500);
  *Returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
  ExFreePool(urb);
  return status;
}

} // namespace

NTSTATUS TestUsbCall(PDEVICE_OBJECT Pdo, PURB Urb, ULONG TimeoutMs) {
  return Call(Pdo, Urb, TimeoutMs, FALSE);
}

NTSTATUS TestUsbCallFreeEarly(PDEVICE_OBJECT Pdo, PURB Urb, ULONG TimeoutMs) {
  return Call(Pdo, Urb, TimeoutMs, TRUE);
}

NTSTATUS TestUsbStart(PDEVICE_OBJECT Pdo, PURB Urb, PTEST_USB_ASYNC Async) {
  KeInitializeEvent(&Async->Done, NotificationEvent, FALSE);
  Async->Status = STATUS_PENDING;
  Async->Irp = IoAllocateIrp(Pdo->StackSize, FALSE);
  if (Async->Irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Async->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode =
      IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(Async->Irp, AsyncDone, Async, TRUE, TRUE, TRUE);
  return IoCallDriver(Pdo, Async->Irp);
}

NTSTATUS TestUsbFinish(PTEST_USB_ASYNC Async) {
  KeWaitForSingleObject(&Async->Done, Executive, KernelMode, FALSE, NULL);
  IoFreeIrp(Async->Irp);
  Async->Irp = NULL;
  return Async->Status;
}

PURB TestUsbBulkUrb(USBD_PIPE_HANDLE Pipe, PVOID Buffer, ULONG Length,
                    ULONG Flags) {
  ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
  if (urb == NULL)
    return NULL;
  RtlZeroMemory(urb, size);
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)size, Pipe, Buffer, NULL,
                                         Length, Flags, NULL);
  return urb;
}

PURB TestUsbVendorUrb(BOOLEAN In, UCHAR Request, USHORT Value, USHORT Index,
                      PVOID Buffer, ULONG Length) {
  ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
  if (urb == NULL)
    return NULL;
  RtlZeroMemory(urb, size);
  // As the reader driver does: every flag but the direction for a write.
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)size,
                        In ? USBD_TRANSFER_DIRECTION_IN : 0xFFFFFFFE, 0,
                        Request, Value, Index, Buffer, NULL, Length, NULL);
  return urb;
}

NTSTATUS TestUsbConfigure(PDEVICE_OBJECT Pdo, BOOLEAN UseEx,
                          PTEST_USB_CONFIG Config) {
  RtlZeroMemory(Config, sizeof(*Config));
  UCHAR device[18];
  ULONG returned = 0;
  NTSTATUS status = GetDescriptor(Pdo, USB_DEVICE_DESCRIPTOR_TYPE, device,
                                  sizeof device, &returned);
  if (!NT_SUCCESS(status))
    return status;

  ULONG size = 521;
  PUSB_CONFIGURATION_DESCRIPTOR configuration = NULL;
  for (;;) {
    configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, size, kTag));
    if (configuration == NULL)
      return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(Pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                           configuration, size, &returned);
    ++Config->ConfigurationReads;
    if (!NT_SUCCESS(status) || returned < sizeof(*configuration)) {
      ExFreePool(configuration);
      return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    if (size >= configuration->wTotalLength)
      break;
    size = configuration->wTotalLength;
    ExFreePool(configuration);
  }
  Config->ConfigurationLength = configuration->wTotalLength;

  PURB urb = NULL;
  USBD_INTERFACE_LIST_ENTRY list[2];
  if (UseEx) {
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, 0, 0, -1, -1, -1);
    list[0].Interface = NULL;
    list[1].InterfaceDescriptor = NULL;
    list[1].Interface = NULL;
    if (list[0].InterfaceDescriptor != NULL)
      urb = USBD_CreateConfigurationRequestEx(configuration, list);
  } else {
    USHORT length = 0;
    urb = USBD_CreateConfigurationRequest(configuration, &length);
    if (urb != NULL)
      ASSERT(length == urb->UrbHeader.Length);
  }
  if (urb == NULL) {
    ExFreePool(configuration);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION interface =
      &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
    interface->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    interface->Pipes[i].PipeFlags = 0;
  }
  status = TestUsbCall(Pdo, urb, 2500);
  if (NT_SUCCESS(status)) {
    Config->Handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    Config->Interface = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, interface->Length, kTag));
    if (Config->Interface != NULL)
      RtlCopyMemory(Config->Interface, interface, interface->Length);
  }
  ExFreePool(urb);
  ExFreePool(configuration);

  USB_BUS_INTERFACE_USBDI_V1 bus;
  if (NT_SUCCESS(TestUsbQueryInterface(Pdo, USB_BUSIF_USBDI_VERSION_1,
                                       sizeof bus, &bus))) {
    Config->HighSpeed = bus.IsDeviceHighSpeed(bus.BusContext);
    bus.InterfaceDereference(bus.BusContext);
  }
  return status;
}

NTSTATUS TestUsbUnconfigure(PDEVICE_OBJECT Pdo) {
  ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
  if (urb == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, size);
  UsbBuildSelectConfigurationRequest(urb, (USHORT)size, NULL);
  NTSTATUS status = TestUsbCall(Pdo, urb, 2500);
  ExFreePool(urb);
  return status;
}

void TestUsbFreeConfig(PTEST_USB_CONFIG Config) {
  if (Config->Interface != NULL)
    ExFreePool(Config->Interface);
  Config->Interface = NULL;
}

NTSTATUS TestUsbPnp(PDEVICE_OBJECT Pdo, UCHAR Minor, ULONG Argument,
                    PULONG_PTR Information) {
  PIRP irp = NewIrp(Pdo, IRP_MJ_PNP, Minor);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  if (Minor == IRP_MN_QUERY_ID)
    IoGetNextIrpStackLocation(irp)->Parameters.QueryId.IdType =
        static_cast<BUS_QUERY_ID_TYPE>(Argument);
  NTSTATUS status = SendAndWait(Pdo, irp);
  if (Information != NULL)
    *Information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS TestUsbQueryCapabilities(PDEVICE_OBJECT Pdo,
                                  PDEVICE_CAPABILITIES Capabilities) {
  RtlZeroMemory(Capabilities, sizeof(*Capabilities));
  Capabilities->Size = sizeof(*Capabilities);
  Capabilities->Version = 1;
  PIRP irp = NewIrp(Pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities =
      Capabilities;
  NTSTATUS status = SendAndWait(Pdo, irp);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS TestUsbQueryInterface(PDEVICE_OBJECT Pdo, USHORT Version, USHORT Size,
                               PUSB_BUS_INTERFACE_USBDI_V1 Interface) {
  PIRP irp = NewIrp(Pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = Size;
  next->Parameters.QueryInterface.Version = Version;
  next->Parameters.QueryInterface.Interface =
      reinterpret_cast<PINTERFACE>(Interface);
  next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
  NTSTATUS status = SendAndWait(Pdo, irp);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS TestUsbSetPower(PDEVICE_OBJECT Pdo, DEVICE_POWER_STATE State) {
  PIRP irp = NewIrp(Pdo, IRP_MJ_POWER, IRP_MN_SET_POWER);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = State;
  NTSTATUS status = SendAndWait(Pdo, irp);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS TestUsbWaitWake(PDEVICE_OBJECT Pdo, PTEST_USB_ASYNC Async) {
  KeInitializeEvent(&Async->Done, NotificationEvent, FALSE);
  Async->Status = STATUS_PENDING;
  Async->Irp = NewIrp(Pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE);
  if (Async->Irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(Async->Irp)->Parameters.WaitWake.PowerState =
      PowerSystemSleeping3;
  IoSetCompletionRoutine(Async->Irp, AsyncDone, Async, TRUE, TRUE, TRUE);
  return IoCallDriver(Pdo, Async->Irp);
}
