// Driver entry and unload, and the one registry value the driver reads.
#include <ntstrsafe.h>

#include "frame/talvor.h"

namespace {

// The registry key path is copied into a buffer of this size (bytes).
const ULONG kRegistryPathBytes = 512;

} // namespace

/*
 * DriverEntry
 *   Fills the dispatch table and notes whether WDM 1.10 is available.
 * Arguments: the driver object; the service's registry path.
 * Result: STATUS_SUCCESS.  IRQL: PASSIVE_LEVEL.
 */
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                PUNICODE_STRING RegistryPath) {
  DbgPrint("Uscr!DriverEntry: RegistryPath Length %d MaximumLength %d\n",
           RegistryPath->Length, RegistryPath->MaximumLength);
  DbgPrint("Uscr!DriverEntry: RegistryPath %wZ\n", RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = UscrCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = UscrCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UscrDeviceIoControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = UscrCleanup;
  DriverObject->MajorFunction[IRP_MJ_PNP] = UscrPnPDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = UscrPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] =
      uscrDispatchSystemControl;
  DriverObject->DriverExtension->AddDevice = UscrAddDevice;
  DriverObject->DriverUnload = Unload;

  IsWin98OrMe = FALSE;
  if (!IoIsWdmVersionAvailable(1, 0x10)) {
    DbgPrint("Under Win98\tor ME\n");
    IsWin98OrMe = TRUE;
  } else if (IoIsWdmVersionAvailable(1, 0x20)) {
    DbgPrint("Under Win XP\n");
  } else {
    DbgPrint("Under Win 2000\n");
  }
  return STATUS_SUCCESS;
}

/*
 * Unload
 *   Every reader has gone through UscrUnloadDevice by now: nothing to free.
 * Arguments: the driver object.  Result: none.  IRQL: PASSIVE_LEVEL.
 */
void Unload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
  DbgPrint("Uscr!Unload\tDriver enter\n");
  DbgPrint("Uscr!Unload\tDriver exit\n");
}

/*
 * UscrGetRegistryDword
 *   Reads a REG_DWORD value. A value of another type is refused rather
 *   than written over the caller's 32 bits.
 * Arguments: the absolute key path; the value's name; where the value goes.
 * Result: STATUS_SUCCESS with the value, or 0 when it is absent;
 *   STATUS_UNSUCCESSFUL with 0 when the path is too long, the value is not
 *   a REG_DWORD or the query fails.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrGetRegistryDword(PCWSTR RegPath, PCWSTR ValueName, PULONG Value) {
  PAGED_CODE();
  WCHAR path[kRegistryPathBytes / sizeof(WCHAR)];
  ULONG defaultData = 0;
  ULONG data = 0;
  RTL_QUERY_REGISTRY_TABLE paramTable[2];

  RtlZeroMemory(path, sizeof(path));
  NTSTATUS ntStatus = RtlStringCbCopyW(path, sizeof(path), RegPath);
  if (NT_SUCCESS(ntStatus)) {
    RtlZeroMemory(paramTable, sizeof(paramTable));
    paramTable[0].Flags =
        RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    paramTable[0].Name = const_cast<PWSTR>(ValueName);
    paramTable[0].EntryContext = &data;
    paramTable[0].DefaultType =
        (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    paramTable[0].DefaultData = &defaultData;
    paramTable[0].DefaultLength = sizeof(ULONG);
    ntStatus =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                               path, paramTable, nullptr, nullptr);
  }
  if (!NT_SUCCESS(ntStatus)) {
    *Value = 0;
    return STATUS_UNSUCCESSFUL;
  }
  *Value = data;
  DbgPrint("success Value = %X\n", *Value);
  return STATUS_SUCCESS;
}
