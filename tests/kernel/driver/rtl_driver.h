// Driver-code helpers for the run-time library tests: compiled as driver
// code (16-bit wchar_t, L"" literals, only the hosted WDK headers), so the
// tests see the routines exactly as the driver calls them.
#pragma once

#include <wdm.h>

EXTERN_C_START

// The driver's UscrGetRegistryDword, reading "TransferTimeOut"
// from "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TALVOR10
// \\Parameters": a 512-byte zero-filled copy of the key path,
// RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, one DIRECT entry with a
// REG_DWORD default of 0 (length 4). Traces "success Value = %X\n".
NTSTATUS RtlTestReadTransferTimeOut(PULONG Value);

// The driver's device name: "\\DosDevices\\%s%01d" with
// "SCReader" and the slot, traced as "Reader Device Name =%s\n", turned into
// a counted wide string the caller frees with RtlFreeUnicodeString.
NTSTATUS RtlTestMakeDeviceName(ULONG Slot, PUNICODE_STRING Name);

// Wide strsafe and Rtl routines with L"" literals: copies L"SCReader",
// appends a number, traces it with %wZ and %ws; the result stays in Buffer.
NTSTATUS RtlTestWideName(PWSTR Buffer, ULONG BufferBytes, ULONG Number);

EXTERN_C_END
