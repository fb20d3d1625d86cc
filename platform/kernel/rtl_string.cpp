// The run-time library's counted strings: RtlInit*, conversions between ANSI
// and Unicode, copy, append, compare, and integer conversions, with the
// documented semantics (lengths in bytes, MaximumLength respected, the
// documented status for what does not fit).
//
// Hosted choices:
// - The ANSI code page is Latin-1: bytes map to the code points of the same
//   value (0-0x7F are ASCII, 1:1 both ways); a WCHAR above 0xFF becomes '?',
//   the default character, on the way back.
// - Case-insensitive comparison upcases ASCII and Latin-1 letters (and
//   U+00FF to U+0178), not the whole of Unicode as the NLS table does.
// - The allocating routines take paged pool with the tag "Strg" and the free
//   routines give it back with ExFreePool, so a forgotten
//   RtlFreeUnicodeString is a pool leak finding and freeing a string that
//   RtlInitUnicodeString pointed at a literal is an unknown-free finding.
// - Where Windows would bug-check on a null structure pointer, the verifier
//   records ObjectMisuse and the routine returns (STATUS_INVALID_PARAMETER
//   when it returns a status).
// - Where Windows writes a terminating zero only when "Length <
//   MaximumLength", the zero (two bytes) is written only when it fits
//   completely, so an odd MaximumLength is never overrun by a byte.
// - The routines documented for PASSIVE_LEVEL are pageable in Windows:
//   called above APC_LEVEL they are a PageableAtRaisedIrql finding.
#include <algorithm>
#include <cstring>
#include <string>

#include <wdm.h>

#include "platform/kernel/kernel.h"
#include "platform/kernel/utf16.h"

namespace {

using talvor::kernel::FindingKind;
using talvor::kernel::Kernel;

constexpr ULONG string_tag = talvor::kernel::make_pool_tag("Strg");
constexpr std::size_t max_unicode_bytes = 0xFFFE; // even, fits a USHORT
constexpr std::size_t max_ansi_bytes = 0xFFFF;

void report(FindingKind kind, std::string message, const void *site) {
  Kernel::get().verifier().report(kind, std::move(message),
                                  talvor::kernel::describe_code_address(site));
}

// A routine documented for PASSIVE_LEVEL (it is pageable).
void pageable(const char *routine, const void *site) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL)
    report(FindingKind::PageableAtRaisedIrql,
           std::string(routine) + " at IRQL " + std::to_string(irql) +
               " (PASSIVE_LEVEL only)",
           site);
}

bool present(const void *pointer, const char *routine, const char *parameter,
             const void *site) {
  if (pointer != nullptr)
    return true;
  report(FindingKind::ObjectMisuse,
         std::string(routine) + " with a null " + parameter +
             " (Windows would bug-check)",
         site);
  return false;
}

char16_t upcase(char16_t c) {
  if (c >= u'a' && c <= u'z')
    return static_cast<char16_t>(c - (u'a' - u'A'));
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF)
    return 0x178;
  return c;
}

// Writes a terminating zero at byte offset `length` when both bytes fit.
void terminate_unicode(PUNICODE_STRING string) {
  if (string->Length + sizeof(WCHAR) <= string->MaximumLength)
    std::memset(reinterpret_cast<char *>(string->Buffer) + string->Length, 0,
                sizeof(WCHAR));
}

NTSTATUS append_bytes(PUNICODE_STRING destination, const void *source,
                      std::size_t length) {
  if (length == 0)
    return STATUS_SUCCESS;
  if (destination->Length + length > destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char *>(destination->Buffer) +
                   destination->Length,
               source, length);
  destination->Length = static_cast<USHORT>(destination->Length + length);
  terminate_unicode(destination);
  return STATUS_SUCCESS;
}

} // namespace

extern "C" {

SIZE_T RtlCompareMemory(const void *Source1, const void *Source2,
                        SIZE_T Length) {
  auto *first = static_cast<const unsigned char *>(Source1);
  auto *second = static_cast<const unsigned char *>(Source2);
  SIZE_T same = 0;
  while (same < Length && first[same] == second[same])
    ++same;
  return same;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString,
                          PCWSTR SourceString) {
  if (!present(DestinationString, "RtlInitUnicodeString", "DestinationString",
               __builtin_return_address(0)))
    return;
  if (SourceString != nullptr) {
    std::size_t length =
        talvor::kernel::utf16_length(SourceString) * sizeof(WCHAR);
    if (length > max_unicode_bytes - sizeof(WCHAR))
      length = max_unicode_bytes - sizeof(WCHAR); // 0xFFFC
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength =
        static_cast<USHORT>(length + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  if (!present(DestinationString, "RtlInitAnsiString", "DestinationString",
               __builtin_return_address(0)))
    return;
  if (SourceString != nullptr) {
    std::size_t length = std::strlen(SourceString);
    if (length > max_ansi_bytes - 1)
      length = max_ansi_bytes - 1; // 0xFFFE
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

void RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  if (!present(DestinationString, "RtlInitString", "DestinationString",
               __builtin_return_address(0)))
    return;
  RtlInitAnsiString(DestinationString, SourceString);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  const void *site = __builtin_return_address(0);
  pageable("RtlAnsiStringToUnicodeString", site);
  if (!present(DestinationString, "RtlAnsiStringToUnicodeString",
               "DestinationString", site) ||
      !present(SourceString, "RtlAnsiStringToUnicodeString", "SourceString",
               site))
    return STATUS_INVALID_PARAMETER;
  const std::size_t units = SourceString->Length;
  const std::size_t needed = (units + 1) * sizeof(WCHAR);
  if (needed > max_unicode_bytes)
    return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto *buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, needed, string_tag));
    if (buffer == nullptr)
      return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(needed);
  } else if (DestinationString->MaximumLength < needed) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < units; ++i)
    DestinationString->Buffer[i] =
        static_cast<unsigned char>(SourceString->Buffer[i]);
  DestinationString->Buffer[units] = 0;
  DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  const void *site = __builtin_return_address(0);
  pageable("RtlUnicodeStringToAnsiString", site);
  if (!present(DestinationString, "RtlUnicodeStringToAnsiString",
               "DestinationString", site) ||
      !present(SourceString, "RtlUnicodeStringToAnsiString", "SourceString",
               site))
    return STATUS_INVALID_PARAMETER;
  const std::size_t units = SourceString->Length / sizeof(WCHAR);
  const std::size_t needed = units + 1; // at most 0x8000: always fits
  std::size_t count = units;
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    auto *buffer = static_cast<PCHAR>(
        ExAllocatePoolWithTag(PagedPool, needed, string_tag));
    if (buffer == nullptr)
      return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(needed);
  } else if (DestinationString->MaximumLength < needed) {
    // Windows converts what fits, terminates it and says so.
    if (DestinationString->MaximumLength == 0)
      return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    count = DestinationString->MaximumLength - 1u;
  }
  for (std::size_t i = 0; i < count; ++i) {
    char16_t unit = SourceString->Buffer[i];
    DestinationString->Buffer[i] = unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  DestinationString->Buffer[count] = 0;
  DestinationString->Length = static_cast<USHORT>(count);
  return status;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  const void *site = __builtin_return_address(0);
  pageable("RtlFreeUnicodeString", site);
  if (!present(UnicodeString, "RtlFreeUnicodeString", "UnicodeString", site))
    return;
  if (UnicodeString->Buffer != nullptr) {
    ExFreePool(UnicodeString->Buffer);
    std::memset(UnicodeString, 0, sizeof *UnicodeString);
  }
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
  const void *site = __builtin_return_address(0);
  pageable("RtlFreeAnsiString", site);
  if (!present(AnsiString, "RtlFreeAnsiString", "AnsiString", site))
    return;
  if (AnsiString->Buffer != nullptr) {
    ExFreePool(AnsiString->Buffer);
    std::memset(AnsiString, 0, sizeof *AnsiString);
  }
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                          PCUNICODE_STRING SourceString) {
  if (!present(DestinationString, "RtlCopyUnicodeString", "DestinationString",
               __builtin_return_address(0)))
    return;
  if (SourceString == nullptr) { // documented: the destination becomes empty
    DestinationString->Length = 0;
    return;
  }
  std::size_t length = SourceString->Length;
  if (length > DestinationString->MaximumLength)
    length = DestinationString->MaximumLength;
  length &= ~std::size_t{1}; // whole characters
  if (length != 0)
    std::memmove(DestinationString->Buffer, SourceString->Buffer, length);
  DestinationString->Length = static_cast<USHORT>(length);
  terminate_unicode(DestinationString);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                        PCUNICODE_STRING Source) {
  const void *site = __builtin_return_address(0);
  if (!present(Destination, "RtlAppendUnicodeStringToString", "Destination",
               site) ||
      !present(Source, "RtlAppendUnicodeStringToString", "Source", site))
    return STATUS_INVALID_PARAMETER;
  return append_bytes(Destination, Source->Buffer, Source->Length);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!present(Destination, "RtlAppendUnicodeToString", "Destination",
               __builtin_return_address(0)))
    return STATUS_INVALID_PARAMETER;
  if (Source == nullptr)
    return STATUS_SUCCESS;
  return append_bytes(Destination, Source,
                      talvor::kernel::utf16_length(Source) * sizeof(WCHAR));
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  const void *site = __builtin_return_address(0);
  pageable("RtlCompareUnicodeString", site);
  if (!present(String1, "RtlCompareUnicodeString", "String1", site) ||
      !present(String2, "RtlCompareUnicodeString", "String2", site))
    return 0;
  const std::size_t units =
      std::min(String1->Length, String2->Length) / sizeof(WCHAR);
  for (std::size_t i = 0; i < units; ++i) {
    char16_t first = String1->Buffer[i];
    char16_t second = String2->Buffer[i];
    if (CaseInSensitive) {
      first = upcase(first);
      second = upcase(second);
    }
    if (first != second)
      return static_cast<LONG>(first) - static_cast<LONG>(second);
  }
  return static_cast<LONG>(String1->Length) -
         static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1,
                              PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  const void *site = __builtin_return_address(0);
  pageable("RtlEqualUnicodeString", site);
  if (!present(String1, "RtlEqualUnicodeString", "String1", site) ||
      !present(String2, "RtlEqualUnicodeString", "String2", site))
    return FALSE;
  if (String1->Length != String2->Length)
    return FALSE;
  for (std::size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    char16_t first = String1->Buffer[i];
    char16_t second = String2->Buffer[i];
    if (CaseInSensitive ? upcase(first) != upcase(second) : first != second)
      return FALSE;
  }
  return TRUE;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base,
                                   PUNICODE_STRING String) {
  const void *site = __builtin_return_address(0);
  pageable("RtlIntegerToUnicodeString", site);
  if (!present(String, "RtlIntegerToUnicodeString", "String", site))
    return STATUS_INVALID_PARAMETER;
  if (Base == 0)
    Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
    return STATUS_INVALID_PARAMETER;
  char digits[33];
  std::size_t count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  if (String->MaximumLength < (count + 1) * sizeof(WCHAR))
    return STATUS_BUFFER_OVERFLOW;
  for (std::size_t i = 0; i < count; ++i)
    String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
  String->Buffer[count] = 0;
  String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// Skips leading characters up to ' ', takes one sign, then with Base 0 a
// "0x", "0o" or "0b" prefix (lower case, as Windows reads it; otherwise
// base 10), then digits up to the first that is not one in the base. No
// digit at all gives 0; overflow wraps modulo 2^32; both are success.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base,
                                   PULONG Value) {
  const void *site = __builtin_return_address(0);
  pageable("RtlUnicodeStringToInteger", site);
  if (!present(String, "RtlUnicodeStringToInteger", "String", site))
    return STATUS_INVALID_PARAMETER;
  const WCHAR *text = String->Buffer;
  std::size_t remaining = String->Length / sizeof(WCHAR);
  while (remaining > 0 && *text <= u' ')
    ++text, --remaining;
  bool negative = false;
  if (remaining > 0 && (*text == u'+' || *text == u'-')) {
    negative = *text == u'-';
    ++text, --remaining;
  }
  if (Base == 0) {
    Base = 10;
    if (remaining >= 2 && text[0] == u'0') {
      if (text[1] == u'x')
        Base = 16;
      else if (text[1] == u'o')
        Base = 8;
      else if (text[1] == u'b')
        Base = 2;
      if (Base != 10)
        text += 2, remaining -= 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Value == nullptr)
    return STATUS_ACCESS_VIOLATION;
  ULONG total = 0;
  for (; remaining > 0; ++text, --remaining) {
    WCHAR c = *text;
    ULONG digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'A' && c <= u'Z')
      digit = c - u'A' + 10;
    else if (c >= u'a' && c <= u'z')
      digit = c - u'a' + 10;
    else
      break;
    if (digit >= Base)
      break;
    total = total * Base + digit;
  }
  *Value = negative ? 0u - total : total;
  return STATUS_SUCCESS;
}

} // extern "C"
