// See rtl_driver.h. Written as the driver writes: WDK headers only, L""
// literals, NTSTATUS everywhere.
#include "tests/kernel/driver/rtl_driver.h"

#include <ntstrsafe.h>

#define REGISTRY_PARAMETERS_PATH                                               \
  L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TALVOR10\\Param" \
  L"eters"

NTSTATUS RtlTestReadTransferTimeOut(PULONG Value) {
  RTL_QUERY_REGISTRY_TABLE paramTable[2];
  WCHAR path[256]; // 512 bytes
  ULONG zero = 0;
  NTSTATUS status;

  RtlZeroMemory(path, sizeof(path));
  RtlCopyMemory(path, REGISTRY_PARAMETERS_PATH,
                sizeof(REGISTRY_PARAMETERS_PATH));
  RtlZeroMemory(paramTable, sizeof(paramTable));
  paramTable[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  paramTable[0].Name = (PWSTR)L"TransferTimeOut";
  paramTable[0].EntryContext = Value;
  paramTable[0].DefaultType = REG_DWORD;
  paramTable[0].DefaultData = &zero;
  paramTable[0].DefaultLength = sizeof(ULONG);

  status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                  path, paramTable, NULL, NULL);
  if (NT_SUCCESS(status)) {
    DbgPrint("success Value = %X\n", *Value);
    return STATUS_SUCCESS;
  }
  *Value = 0;
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS RtlTestMakeDeviceName(ULONG Slot, PUNICODE_STRING Name) {
  CHAR nameBuffer[64];
  ANSI_STRING ansiName;
  NTSTATUS status;

  status = RtlStringCbPrintfA(nameBuffer, sizeof(nameBuffer),
                              "\\DosDevices\\%s%01d", "SCReader", (int)Slot);
  if (!NT_SUCCESS(status))
    return status;
  DbgPrint("Reader Device Name =%s\n", nameBuffer);
  RtlInitAnsiString(&ansiName, nameBuffer);
  return RtlAnsiStringToUnicodeString(Name, &ansiName, TRUE);
}

NTSTATUS RtlTestWideName(PWSTR Buffer, ULONG BufferBytes, ULONG Number) {
  UNICODE_STRING name;
  WCHAR digits[12];
  UNICODE_STRING number;
  NTSTATUS status;

  status = RtlStringCbCopyW(Buffer, BufferBytes, L"SCReader");
  if (!NT_SUCCESS(status))
    return status;
  number.Buffer = digits;
  number.Length = 0;
  number.MaximumLength = sizeof(digits);
  status = RtlIntegerToUnicodeString(Number, 10, &number);
  if (!NT_SUCCESS(status))
    return status;
  status = RtlStringCbLengthW(Buffer, BufferBytes, NULL);
  if (!NT_SUCCESS(status))
    return status;
  RtlInitUnicodeString(&name, Buffer);
  name.MaximumLength = (USHORT)BufferBytes;
  status = RtlAppendUnicodeStringToString(&name, &number);
  if (!NT_SUCCESS(status))
    return status;
  DbgPrint("wide name %wZ (%ws)\n", &name, Buffer);
  return STATUS_SUCCESS;
}
