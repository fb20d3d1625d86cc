// The ntstrsafe.h routines (see the header for their contract). They follow
// the WDK's inline definitions: validate the destination size, then a copy,
// length or printf worker that stops one character short of the end and
// always writes the terminator.
#include <ntstrsafe.h>

#include <cstring>
#include <string>

#include "platform/kernel/format.h"
#include "platform/kernel/utf16.h"

namespace {

using talvor::kernel::FormatFlavor;

template <class Char>
NTSTATUS validate_destination(const Char *destination, size_t cch) {
  if (destination == nullptr || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
    return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// Characters before the terminator, which must lie within `cch_max`.
template <class Char>
NTSTATUS length_worker(const Char *text, size_t cch_max, size_t &length) {
  length = 0;
  if (text == nullptr || cch_max > NTSTRSAFE_MAX_CCH)
    return STATUS_INVALID_PARAMETER;
  while (length < cch_max && text[length] != 0)
    ++length;
  if (length == cch_max) {
    length = 0;
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// Copies `length` characters, cut to what fits before the terminator.
template <class Char>
NTSTATUS store(Char *destination, size_t cch, const Char *text, size_t length) {
  NTSTATUS status = STATUS_SUCCESS;
  if (length > cch - 1) {
    length = cch - 1;
    status = STATUS_BUFFER_OVERFLOW;
  }
  if (length != 0)
    std::memcpy(destination, text, length * sizeof(Char));
  destination[length] = 0;
  return status;
}

template <class Char>
NTSTATUS copy(Char *destination, size_t cch, const Char *source) {
  NTSTATUS status = validate_destination(destination, cch);
  if (!NT_SUCCESS(status))
    return status;
  if (source == nullptr) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  size_t length = 0; // up to one past what fits: enough to know it overflows
  while (length < cch && source[length] != 0)
    ++length;
  return store(destination, cch, source, length);
}

template <class Char>
NTSTATUS cat(Char *destination, size_t cch, const Char *source) {
  NTSTATUS status = validate_destination(destination, cch);
  if (!NT_SUCCESS(status))
    return status;
  size_t used = 0;
  status = length_worker(destination, cch, used);
  if (!NT_SUCCESS(status))
    return status;
  return copy(destination + used, cch - used, source);
}

NTSTATUS vprintf_narrow(char *destination, size_t cch, const char *format,
                        va_list args) {
  NTSTATUS status = validate_destination(destination, cch);
  if (!NT_SUCCESS(status))
    return status;
  if (format == nullptr) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  std::string text = talvor::kernel::format_kernel(format, args);
  return store(destination, cch, text.data(), text.size());
}

NTSTATUS vprintf_wide(WCHAR *destination, size_t cch, const WCHAR *format,
                      va_list args) {
  NTSTATUS status = validate_destination(destination, cch);
  if (!NT_SUCCESS(status))
    return status;
  if (format == nullptr) {
    destination[0] = 0;
    return STATUS_INVALID_PARAMETER;
  }
  std::string narrow_format = talvor::kernel::utf16z_to_utf8(format);
  std::u16string text =
      talvor::kernel::utf8_to_utf16(talvor::kernel::format_kernel(
          narrow_format.c_str(), args, FormatFlavor::Wide));
  return store(destination, cch, text.data(), text.size());
}

template <class Char>
NTSTATUS length_in_bytes(const Char *text, size_t cb_max, size_t *cb_length) {
  size_t length = 0;
  NTSTATUS status = length_worker(text, cb_max / sizeof(Char), length);
  if (cb_length != nullptr)
    *cb_length = length * sizeof(Char);
  return status;
}

template <class Char>
NTSTATUS length_in_chars(const Char *text, size_t cch_max, size_t *cch_length) {
  size_t length = 0;
  NTSTATUS status = length_worker(text, cch_max, length);
  if (cch_length != nullptr)
    *cch_length = length;
  return status;
}

// A byte size, in whole characters; sizes beyond the limit stay beyond it.
template <class Char> size_t chars_in(size_t cb) {
  return cb / sizeof(Char);
}

} // namespace

extern "C" {

NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                          NTSTRSAFE_PCSTR pszSrc) {
  return copy(pszDest, chars_in<char>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                           NTSTRSAFE_PCSTR pszSrc) {
  return copy(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                         NTSTRSAFE_PCSTR pszSrc) {
  return cat(pszDest, chars_in<char>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                          NTSTRSAFE_PCSTR pszSrc) {
  return cat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax,
                            size_t *pcbLength) {
  return length_in_bytes(psz, cbMax, pcbLength);
}

NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax,
                             size_t *pcchLength) {
  return length_in_chars(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                            NTSTRSAFE_PCSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status =
      vprintf_narrow(pszDest, chars_in<char>(cbDest), pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                             NTSTRSAFE_PCSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = vprintf_narrow(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest,
                             NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  return vprintf_narrow(pszDest, chars_in<char>(cbDest), pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest,
                              NTSTRSAFE_PCSTR pszFormat, va_list argList) {
  return vprintf_narrow(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                          NTSTRSAFE_PCWSTR pszSrc) {
  return copy(pszDest, chars_in<WCHAR>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                           NTSTRSAFE_PCWSTR pszSrc) {
  return copy(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                         NTSTRSAFE_PCWSTR pszSrc) {
  return cat(pszDest, chars_in<WCHAR>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                          NTSTRSAFE_PCWSTR pszSrc) {
  return cat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax,
                            size_t *pcbLength) {
  return length_in_bytes(psz, cbMax, pcbLength);
}

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax,
                             size_t *pcchLength) {
  return length_in_chars(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                            NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status =
      vprintf_wide(pszDest, chars_in<WCHAR>(cbDest), pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                             NTSTRSAFE_PCWSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  NTSTATUS status = vprintf_wide(pszDest, cchDest, pszFormat, args);
  va_end(args);
  return status;
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest,
                             NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  return vprintf_wide(pszDest, chars_in<WCHAR>(cbDest), pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest,
                              NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
  return vprintf_wide(pszDest, cchDest, pszFormat, argList);
}

} // extern "C"
