// Safe string routines for kernel-mode code, with the WDK's names: copy,
// concatenate, measure and format into a buffer of known size, always
// zero-terminated. The WDK defines them inline; the hosted kernel library
// defines them (formatting with the kernel's own printf engine, so the
// DbgPrint conversions %wZ, %ws, %I64x ... work here too).
//
// Cb routines take the buffer size in bytes, Cch routines in characters.
// Status, as published:
//   STATUS_SUCCESS          the whole result fits, zero-terminated;
//   STATUS_BUFFER_OVERFLOW  the result was cut short to fit, and is
//                           zero-terminated;
//   STATUS_INVALID_PARAMETER a buffer size of 0 or above NTSTRSAFE_MAX_CCH
//                           characters (nothing is written), a string
//                           without a terminator within the given length
//                           (Length, Cat), a null source or format (the
//                           destination is then made empty; Windows would
//                           fault).
// In the W routines a plain %s and %c are wide and %S and %C narrow, as the
// strsafe rules say; %hs/%ls and %hc/%lc say it explicitly.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_MAX_LENGTH (NTSTRSAFE_MAX_CCH - 1)

typedef char *NTSTRSAFE_PSTR;
typedef const char *NTSTRSAFE_PCSTR;
typedef WCHAR *NTSTRSAFE_PWSTR;
typedef const WCHAR *NTSTRSAFE_PCWSTR;

#define NTSTRSAFEDDI NTSTATUS

EXTERN_C_START

NTSTRSAFEDDI RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                              NTSTRSAFE_PCSTR pszSrc);
NTSTRSAFEDDI RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                               NTSTRSAFE_PCSTR pszSrc);
NTSTRSAFEDDI RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                             NTSTRSAFE_PCSTR pszSrc);
NTSTRSAFEDDI RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                              NTSTRSAFE_PCSTR pszSrc);
// Length without the terminator; 0 in *pcbLength / *pcchLength on failure.
NTSTRSAFEDDI RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax,
                                size_t *pcbLength);
NTSTRSAFEDDI RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax,
                                 size_t *pcchLength);
NTSTRSAFEDDI RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                                NTSTRSAFE_PCSTR pszFormat, ...);
NTSTRSAFEDDI RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                                 NTSTRSAFE_PCSTR pszFormat, ...);
NTSTRSAFEDDI RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                                 NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTRSAFEDDI RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                                  NTSTRSAFE_PCSTR pszFormat, va_list argList);

NTSTRSAFEDDI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                              NTSTRSAFE_PCWSTR pszSrc);
NTSTRSAFEDDI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                               NTSTRSAFE_PCWSTR pszSrc);
NTSTRSAFEDDI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                             NTSTRSAFE_PCWSTR pszSrc);
NTSTRSAFEDDI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                              NTSTRSAFE_PCWSTR pszSrc);
NTSTRSAFEDDI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax,
                                size_t *pcbLength);
NTSTRSAFEDDI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax,
                                 size_t *pcchLength);
NTSTRSAFEDDI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTRSAFEDDI RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                 NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTRSAFEDDI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                                 NTSTRSAFE_PCWSTR pszFormat, va_list argList);
NTSTRSAFEDDI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                                  NTSTRSAFE_PCWSTR pszFormat, va_list argList);

EXTERN_C_END
