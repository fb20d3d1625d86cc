// USB configuration: descriptors, the first interface and its pipes, the
// bus speed; unconfiguration and release at stop and removal.
#include <initguid.h>
#include <usbbusif.h>
#include <usbdlib.h>

#include "frame/scope_exit.h"
#include "usb/usbscd.h"

namespace {

// Configuration descriptor buffer of the first read: the 9-byte
// configuration descriptor plus 512.
const ULONG kFirstConfigurationRead = 521;
// Reads of the configuration descriptor before a device whose wTotalLength
// keeps changing is given up on.
const ULONG kMaxConfigurationReads = 3;

PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// Frees a buffer the extension keeps, if there is one, and forgets it.
template <typename T> void FreeAndClear(T *&Buffer, PCSTR Name) {
  if (Buffer == nullptr)
    return;
  UscrFree(Buffer, Name);
  Buffer = nullptr;
}

// Builds a descriptor request into `Urb` and submits it (2500 ms, not
// card-bound). *Returned receives the bytes the device returned.
NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Type,
                       PVOID Buffer, ULONG Length, PULONG Returned) {
  const USHORT size =
      static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  RtlZeroMemory(Urb, size);
  UsbBuildGetDescriptorRequest(Urb, size, Type, 0, 0, Buffer, nullptr, Length,
                               nullptr);
  NTSTATUS ntStatus =
      KorvoSCD_CallUSBD(DeviceObject, Urb, USCR_COMMAND_TIMEOUT, FALSE);
  *Returned = Urb->UrbControlDescriptorRequest.TransferBufferLength;
  return ntStatus;
}

void TraceDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR Descriptor, ULONG Length) {
  DbgPrint("Device Descriptor =\t%x, len\t%x\n",
           static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Descriptor)), Length);
  DbgPrint("Korvo Device Descriptor:\n");
  DbgPrint("-------------------------\n");
  DbgPrint("bLength %d\n", Descriptor->bLength);
  DbgPrint("bDescriptorType 0x%x\n", Descriptor->bDescriptorType);
  DbgPrint("bcdUSB 0x%x\n", Descriptor->bcdUSB);
  DbgPrint("bDeviceClass 0x%x\n", Descriptor->bDeviceClass);
  DbgPrint("bDeviceSubClass 0x%x\n", Descriptor->bDeviceSubClass);
  DbgPrint("bDeviceProtocol 0x%x\n", Descriptor->bDeviceProtocol);
  DbgPrint("bMaxPacketSize0 0x%x\n", Descriptor->bMaxPacketSize0);
  DbgPrint("idVendor 0x%x\n", Descriptor->idVendor);
  DbgPrint("idProduct 0x%x\n", Descriptor->idProduct);
  DbgPrint("bcdDevice 0x%x\n", Descriptor->bcdDevice);
  DbgPrint("iManufacturer 0x%x\n", Descriptor->iManufacturer);
  DbgPrint("iProduct 0x%x\n", Descriptor->iProduct);
  DbgPrint("iSerialNumber 0x%x\n", Descriptor->iSerialNumber);
  DbgPrint("bNumConfigurations 0x%x\n", Descriptor->bNumConfigurations);
}

void TraceInterface(PUSBD_INTERFACE_INFORMATION Interface) {
  DbgPrint("---------\n");
  DbgPrint("NumberOfPipes 0x%x\n", Interface->NumberOfPipes);
  DbgPrint("Length 0x%x\n", Interface->Length);
  DbgPrint("Alt Setting 0x%x\n", Interface->AlternateSetting);
  DbgPrint("Interface Number 0x%x\n", Interface->InterfaceNumber);
  DbgPrint("Class, subclass, protocol 0x%x 0x%x 0x%x\n", Interface->Class,
           Interface->SubClass, Interface->Protocol);
  for (ULONG i = 0; i < Interface->NumberOfPipes; ++i) {
    PUSBD_PIPE_INFORMATION pipe = &Interface->Pipes[i];
    DbgPrint("---------\n");
    DbgPrint("PipeType 0x%x\n", pipe->PipeType);
    DbgPrint("EndpointAddress 0x%x\n", pipe->EndpointAddress);
    DbgPrint("MaxPacketSize 0x%x\n", pipe->MaximumPacketSize);
    DbgPrint("Interval 0x%x\n", pipe->Interval);
    DbgPrint("Handle 0x%x\n",
             static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pipe->PipeHandle)));
    DbgPrint("MaximumTransferSize\t0x%x\n", pipe->MaximumTransferSize);
  }
  DbgPrint("---------\n");
}

// Sets every pipe of the request's interface for the select request.
void PreparePipes(PDEVICE_EXTENSION DeviceExtension,
                  PUSBD_INTERFACE_INFORMATION Interface) {
  for (ULONG i = 0; i < Interface->NumberOfPipes; ++i) {
    Interface->Pipes[i].MaximumTransferSize =
        DeviceExtension->MaximumTransferSize;
    Interface->Pipes[i].PipeFlags = 0;
  }
}

// Submits the select-configuration URB and keeps a copy of `Interface`.
NTSTATUS SubmitSelect(PDEVICE_OBJECT DeviceObject, PURB Urb,
                      PUSBD_INTERFACE_INFORMATION Interface) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  NTSTATUS ntStatus =
      KorvoSCD_CallUSBD(DeviceObject, Urb, USCR_COMMAND_TIMEOUT, FALSE);
  deviceExtension->UsbConfigurationHandle =
      Urb->UrbSelectConfiguration.ConfigurationHandle;
  if (NT_SUCCESS(ntStatus)) {
    FreeAndClear(deviceExtension->Interface, "Interface");
    deviceExtension->Interface = static_cast<PUSBD_INTERFACE_INFORMATION>(
        UscrAllocate(Interface->Length, "Interface"));
    if (deviceExtension->Interface != nullptr) {
      RtlCopyMemory(deviceExtension->Interface, Interface, Interface->Length);
      TraceInterface(deviceExtension->Interface);
    }
  }
  return ntStatus;
}

// Reads and traces the device descriptor; it is not kept past the start.
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  PURB urb = static_cast<PURB>(
      UscrAllocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), "urb"));
  if (urb == nullptr)
    return STATUS_NO_MEMORY;
  SCOPE_EXIT {
    UscrFree(urb, "urb");
  };
  deviceExtension->DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      UscrAllocate(sizeof(USB_DEVICE_DESCRIPTOR), "DeviceDescriptor"));
  if (deviceExtension->DeviceDescriptor == nullptr)
    return STATUS_NO_MEMORY;
  SCOPE_EXIT {
    FreeAndClear(deviceExtension->DeviceDescriptor, "DeviceDescriptor");
  };
  ULONG returned = 0;
  NTSTATUS ntStatus =
      GetDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE,
                    deviceExtension->DeviceDescriptor,
                    sizeof(USB_DEVICE_DESCRIPTOR), &returned);
  if (NT_SUCCESS(ntStatus))
    TraceDeviceDescriptor(deviceExtension->DeviceDescriptor, returned);
  return ntStatus;
}

// Opens the configured reader for requests and enables its interface.
NTSTATUS OpenReader(PDEVICE_EXTENSION DeviceExtension) {
  KeSetEvent(&DeviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&DeviceExtension->ThreadStopEvent);
  if (IsWin98OrMe || DeviceExtension->InterfaceName.Buffer == nullptr)
    return STATUS_SUCCESS;
  NTSTATUS ntStatus =
      IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, TRUE);
  // Still enabled from an earlier start: as good as enabled now.
  return ntStatus == STATUS_OBJECT_NAME_EXISTS ? STATUS_SUCCESS : ntStatus;
}

} // namespace

/*
 * KorvoSCD_StartDevice
 *   Reads and traces the device descriptor, configures the reader, opens it
 *   for requests and enables its interface; then, whatever came of that,
 *   queries the bus speed.
 * Arguments: the reader's device object.
 * Result: NT status; STATUS_NO_MEMORY when a buffer cannot be had; the
 *   interface's failure, with the reader configured and open all the same.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS KorvoSCD_StartDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  NTSTATUS ntStatus = ReadDeviceDescriptor(DeviceObject);
  if (NT_SUCCESS(ntStatus))
    ntStatus = BulkUsb_ConfigureDevice(DeviceObject);
  if (NT_SUCCESS(ntStatus))
    ntStatus = OpenReader(ExtensionOf(DeviceObject));

  DbgPrint("GET DeviceExtension->IsDeviceHighSpeed\n");
  ExtensionOf(DeviceObject)->IsDeviceHighSpeed = 0;
  GetBusInterfaceVersion(DeviceObject);
  return ntStatus;
}

/*
 * BulkUsb_ConfigureDevice
 *   Reads the whole configuration descriptor (521 bytes first, then
 *   wTotalLength) and selects the first interface.
 * Arguments: the reader's device object.
 * Result: NT status: STATUS_INSUFFICIENT_RESOURCES without memory; the
 *   read's failure, or STATUS_DEVICE_DATA_ERROR when the descriptor came
 *   back shorter than its 9-byte header or than its wTotalLength, or did
 *   not settle its length in three reads.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS BulkUsb_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  NTSTATUS ntStatus;

  DbgPrint("enter BulkUsb_ConfigureDevice\n");
  deviceExtension->MaximumTransferSize = 0xFFFFFFFF;
  // A descriptor kept from an earlier start (build 1.0) is replaced.
  FreeAndClear(deviceExtension->UsbConfigurationDescriptor,
               "UsbConfigurationDescriptor");

  PURB urb = static_cast<PURB>(
      UscrAllocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), "urb"));
  if (urb == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  SCOPE_EXIT {
    UscrFree(urb, "urb");
  };

  ULONG siz = kFirstConfigurationRead;
  for (ULONG reads = 1;; ++reads) {
    deviceExtension->UsbConfigurationDescriptor =
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            UscrAllocate(siz, "UsbConfigurationDescriptor"));
    if (deviceExtension->UsbConfigurationDescriptor == nullptr)
      return STATUS_INSUFFICIENT_RESOURCES;
    ULONG returned = 0;
    ntStatus = GetDescriptor(
        DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
        deviceExtension->UsbConfigurationDescriptor, siz, &returned);
    USHORT wTotalLength =
        deviceExtension->UsbConfigurationDescriptor->wTotalLength;
    // Only the bytes that came back are a descriptor.
    BOOLEAN usable = NT_SUCCESS(ntStatus) &&
                     returned >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
                     wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
    BOOLEAN complete = siz >= wTotalLength;
    if (usable && complete && returned >= wTotalLength)
      break;
    FreeAndClear(deviceExtension->UsbConfigurationDescriptor,
                 "UsbConfigurationDescriptor");
    // A failed or short read, or a length that does not settle.
    if (!usable || complete || reads >= kMaxConfigurationReads) {
      if (NT_SUCCESS(ntStatus))
        ntStatus = STATUS_DEVICE_DATA_ERROR;
      DbgPrint("exit BulkUsb_ConfigureDevice (%x)\n", ntStatus);
      return ntStatus;
    }
    siz = wTotalLength;
  }

  ntStatus = BulkUsb_SelectInterface(
      DeviceObject, deviceExtension->UsbConfigurationDescriptor);

#if !USCR_KEEP_CONFIGURATION_DESCRIPTOR
  FreeAndClear(deviceExtension->UsbConfigurationDescriptor,
               "UsbConfigurationDescriptor");
#endif

  DbgPrint("exit BulkUsb_ConfigureDevice (%x)\n", ntStatus);
  return ntStatus;
}

#if !USCR_SELECT_INTERFACE_EX

/*
 * BulkUsb_SelectInterface (build 1.1)
 *   Selects the first interface, alternate setting 0, with
 *   USBD_CreateConfigurationRequest, and keeps a copy of its information.
 * Arguments: the reader's device object; the configuration descriptor.
 * Result: NT status; STATUS_INSUFFICIENT_RESOURCES when the request cannot
 *   be built or the descriptor holds no interface.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS
BulkUsb_SelectInterface(PDEVICE_OBJECT DeviceObject,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  NTSTATUS ntStatus;
  USHORT siz = 0;

  PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &siz);
  if (urb == nullptr) {
    DbgPrint("BulkUsb_SelectInterface() "
             "USBD_CreateConfigurationRequest()\tfailed\n  returning "
             "STATUS_INSUFFICIENT_RESOURCES\n");
    ntStatus = STATUS_INSUFFICIENT_RESOURCES;
    DbgPrint("exit BulkUsb_SelectInterface (%x)\n", ntStatus);
    return ntStatus;
  }
  // Built by the library, freed by us.
  SCOPE_EXIT {
    ExFreePool(urb);
  };

  PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(
          ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (interfaceDescriptor == nullptr) {
    DbgPrint("BulkUsb_SelectInterface() ParseConfigurationDescriptorEx() "
             "failed\n\t returning STATUS_INSUFFICIENT_RESOURCES\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PUSBD_INTERFACE_INFORMATION interface =
      &urb->UrbSelectConfiguration.Interface;
  PreparePipes(deviceExtension, interface);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = siz;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  ntStatus = SubmitSelect(DeviceObject, urb, interface);
  DbgPrint("exit BulkUsb_SelectInterface (%x)\n", ntStatus);
  return ntStatus;
}

#else

/*
 * BulkUsb_SelectInterface (build 1.0)
 *   As build 1.1, through an interface list and
 *   USBD_CreateConfigurationRequestEx. The search for interface descriptors
 *   ends at interface number 255.
 * Arguments: the reader's device object; the configuration descriptor.
 * Result: NT status; STATUS_INSUFFICIENT_RESOURCES when the list or the
 *   request cannot be had or no interface is found.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS
BulkUsb_SelectInterface(PDEVICE_OBJECT DeviceObject,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  NTSTATUS ntStatus;
  const ULONG numberOfInterfaces = ConfigurationDescriptor->bNumInterfaces;
  const ULONG listSize =
      (numberOfInterfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);

  PUSBD_INTERFACE_LIST_ENTRY interfaceList =
      static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
          UscrAllocate(listSize, "interfaceList"));
  if (interfaceList == nullptr) {
    DbgPrint("Failed to allocate mem for interfaceList\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SCOPE_EXIT {
    UscrFree(interfaceList, "interfaceList");
  };

  ULONG found = 0;
  for (LONG interfaceNumber = 0;
       found < numberOfInterfaces && interfaceNumber <= 255;
       ++interfaceNumber) {
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor,
                                            ConfigurationDescriptor,
                                            interfaceNumber, 0, -1, -1, -1);
    if (interfaceDescriptor != nullptr) {
      interfaceList[found].InterfaceDescriptor = interfaceDescriptor;
      interfaceList[found].Interface = nullptr;
      ++found;
    }
  }
  // The zero-filled entry after the last one found closes the list.

  PURB urb = found != 0 ? USBD_CreateConfigurationRequestEx(
                              ConfigurationDescriptor, interfaceList)
                        : nullptr;
  if (urb == nullptr) {
    DbgPrint("BulkUsb_SelectInterface() "
             "USBD_CreateConfigurationRequest()\tfailed\n  returning "
             "STATUS_INSUFFICIENT_RESOURCES\n");
    ntStatus = STATUS_INSUFFICIENT_RESOURCES;
    DbgPrint("exit BulkUsb_SelectInterface (%x)\n", ntStatus);
    return ntStatus;
  }
  // Built by the library, freed by us.
  SCOPE_EXIT {
    ExFreePool(urb);
  };

  PUSBD_INTERFACE_INFORMATION interface = interfaceList[0].Interface;
  PreparePipes(deviceExtension, interface);
  ntStatus = SubmitSelect(DeviceObject, urb, interface);
  DbgPrint("exit BulkUsb_SelectInterface (%x)\n", ntStatus);
  return ntStatus;
}

#endif

/*
 * GetBusInterfaceVersion
 *   Asks the bus driver for its USBDI version 1 interface and records
 *   whether the reader runs at high speed.
 * Arguments: the reader's device object.
 * Result: none; IsDeviceHighSpeed stays 0 when the query fails.
 * IRQL: PASSIVE_LEVEL.
 */
void GetBusInterfaceVersion(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  USB_BUS_INTERFACE_USBDI_V1 busInterfaceVer1;
  KEVENT event;

  DbgPrint("GetBusInterfaceVersion - begins\n");
  PIRP irp = IoAllocateIrp(deviceExtension->AttachedPDO->StackSize, FALSE);
  if (irp == nullptr) {
    DbgPrint("Failed to alloc irp in GetBusInterfaceVersion\n");
    return;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, UscrCallUSBDriverComplete, &event, TRUE, TRUE,
                         TRUE);

  RtlZeroMemory(&busInterfaceVer1, sizeof(busInterfaceVer1));
  PIO_STACK_LOCATION nextStack = IoGetNextIrpStackLocation(irp);
  nextStack->MajorFunction = IRP_MJ_PNP;
  nextStack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  nextStack->Parameters.QueryInterface.InterfaceType =
      &USB_BUS_INTERFACE_USBDI_GUID;
  nextStack->Parameters.QueryInterface.Size =
      sizeof(USB_BUS_INTERFACE_USBDI_V1);
  nextStack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  nextStack->Parameters.QueryInterface.Interface =
      reinterpret_cast<PINTERFACE>(&busInterfaceVer1);
  nextStack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;

  NTSTATUS ntStatus = IoCallDriver(deviceExtension->AttachedPDO, irp);
  if (ntStatus == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ntStatus = irp->IoStatus.Status;
  }
  if (NT_SUCCESS(ntStatus)) {
    deviceExtension->IsDeviceHighSpeed =
        busInterfaceVer1.IsDeviceHighSpeed != nullptr &&
                busInterfaceVer1.IsDeviceHighSpeed(busInterfaceVer1.BusContext)
            ? 1
            : 0;
    DbgPrint("IsDeviceHighSpeed = %x\n", deviceExtension->IsDeviceHighSpeed);
    // The query handed us a reference on the interface.
    if (busInterfaceVer1.InterfaceDereference != nullptr)
      busInterfaceVer1.InterfaceDereference(busInterfaceVer1.BusContext);
  }
  IoFreeIrp(irp);
  DbgPrint("GetBusInterfaceVersion - ends\n");
}

/*
 * KorvoSCD_StopDevice
 *   Closes the reader for new requests and returns it to the unconfigured
 *   state.
 * Arguments: the reader's device object.
 * Result: STATUS_SUCCESS whatever the reader answers; STATUS_NO_MEMORY when
 *   the URB cannot be allocated.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS KorvoSCD_StopDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  KeClearEvent(&deviceExtension->ReaderStarted);

  const USHORT siz =
      static_cast<USHORT>(sizeof(struct _URB_SELECT_CONFIGURATION));
  PURB urb = static_cast<PURB>(UscrAllocate(siz, "urb"));
  if (urb == nullptr)
    return STATUS_NO_MEMORY;
  SCOPE_EXIT {
    UscrFree(urb, "urb");
  };
  UsbBuildSelectConfigurationRequest(urb, siz, nullptr);
  NTSTATUS ntStatus =
      KorvoSCD_CallUSBD(DeviceObject, urb, USCR_COMMAND_TIMEOUT, FALSE);
  DbgPrint("Device Configuration Closed\tstatus = %x usb\tstatus = %x.\n",
           ntStatus, urb->UrbHeader.Status);
  return STATUS_SUCCESS;
}

/*
 * KorvoSCD_RemoveDevice
 *   Releases the USB data of a reader going away and frees its slot.
 * Arguments: the reader's device object.
 * Result: STATUS_SUCCESS.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS KorvoSCD_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  ReleaseMemory(DeviceObject);
  UscrFreeSlot(deviceExtension);
  return STATUS_SUCCESS;
}

/*
 * ReleaseMemory
 *   Frees the configuration descriptor, the interface copy and the device
 *   descriptor, each if present.
 * Arguments: the reader's device object.
 * Result: STATUS_SUCCESS.  IRQL: PASSIVE_LEVEL.
 */
NTSTATUS ReleaseMemory(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  PDEVICE_EXTENSION deviceExtension = ExtensionOf(DeviceObject);
  FreeAndClear(deviceExtension->UsbConfigurationDescriptor,
               "UsbConfigurationDescriptor");
  FreeAndClear(deviceExtension->Interface, "Interface");
  FreeAndClear(deviceExtension->DeviceDescriptor, "DeviceDescriptor");
  return STATUS_SUCCESS;
}
