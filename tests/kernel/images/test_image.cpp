// A loadable driver image for the loader's tests, built twice (as the real
// driver ships two builds of one source); TEST_IMAGE_BUILD names the build.
// DriverEntry fails with the service key's FailEntry value when it is set,
// and the driver is a pass-through function driver for the PnP manager.
#include <wdm.h>

namespace {

// Per image: two builds loaded side by side keep their own counts.
ULONG LoadCount;

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower =
      *static_cast<PDEVICE_OBJECT *>(DeviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower =
      *static_cast<PDEVICE_OBJECT *>(DeviceObject->DeviceExtension);
  if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_REMOVE_DEVICE)
    return PassDown(DeviceObject, Irp);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(lower, Irp);
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT lower =
      *static_cast<PDEVICE_OBJECT *>(DeviceObject->DeviceExtension);
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(lower, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(PDEVICE_OBJECT), nullptr,
                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status))
    return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension) = lower;
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  DbgPrint("loader image %s: DriverUnload\n", TEST_IMAGE_BUILD);
}

// The service key's FailEntry value, 0 when there is none.
ULONG ReadFailEntry(PUNICODE_STRING RegistryPath) {
  ULONG none = 0;
  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof table);
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(L"FailEntry");
  table[0].EntryContext = &value;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &none;
  table[0].DefaultLength = sizeof none;
  // A failed query writes nothing: the value stays 0.
  RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                         RegistryPath->Buffer, table, nullptr, nullptr);
  return value;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                PUNICODE_STRING RegistryPath) {
  ULONG fail = ReadFailEntry(RegistryPath);
  LoadCount++;
  DbgPrint("loader image %s: DriverEntry %wZ (load %lu)\n", TEST_IMAGE_BUILD,
           RegistryPath, LoadCount);
  if (fail != 0)
    return static_cast<NTSTATUS>(fail);
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}
