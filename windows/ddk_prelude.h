// Included ahead of every driver source in the Windows build: the DDK
// headers in the order they need (ntstrsafe.h relies on the status codes of
// wdm.h), each with C linkage (usbdlib.h declares none), and what this kit
// leaves out of the published headers. usbbusif.h is left to the source that
// defines its GUID, which includes initguid.h first.
#pragma once

extern "C" {
#include <wdm.h>

#include <ntstrsafe.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
}

// Published with the registry's type-checked direct queries.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif
