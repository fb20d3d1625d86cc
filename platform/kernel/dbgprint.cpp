// DbgPrint, DbgPrintEx and vDbgPrintEx: the driver's only log, kept in the
// kernel's trace (Kernel::trace()) as the kernel debugger would show it.
//
// Differences from Windows, on purpose:
// - DbgPrintEx and vDbgPrintEx print whatever the component and level: the
//   debug filter masks of Windows are not modelled, so a test sees every
//   line the driver prints.
// - No 512-byte limit per call: nothing the driver prints is cut short.
// - A null format prints nothing and returns STATUS_INVALID_PARAMETER
//   (Windows would fault).
// Kept from Windows: the wide-text conversions (%C %S %lc %ls %wc %ws %wZ)
// are allowed only at PASSIVE_LEVEL; above it the verifier records an IRQL
// misuse (the text is printed all the same).
#include <string>

#include <wdm.h>

#include "platform/kernel/format.h"
#include "platform/kernel/kernel.h"

namespace {

using talvor::kernel::Kernel;

// The format as C source would spell it, for a finding's message.
std::string quoted(const char *format) {
  std::string text = "\"";
  for (const char *p = format; *p != 0; ++p) {
    if (*p == '\n')
      text += "\\n";
    else if (*p == '\t')
      text += "\\t";
    else if (*p == '"' || *p == '\\')
      text += std::string("\\") + *p;
    else
      text += *p;
  }
  return text + "\"";
}

ULONG print(PCSTR format, va_list args, const void *site) {
  Kernel &kernel = Kernel::get();
  if (format == nullptr)
    return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  // The IRQL first: the format is parsed only where it could break the rule.
  if (KIRQL irql = KeGetCurrentIrql(); irql > PASSIVE_LEVEL) {
    if (talvor::kernel::format_reads_wide_text(format))
      kernel.verifier().report(
          talvor::kernel::FindingKind::IrqlMisuse,
          "DbgPrint with a wide-text conversion at IRQL " +
              std::to_string(irql) +
              " (only PASSIVE_LEVEL allows them): " + quoted(format),
          talvor::kernel::describe_code_address(site));
  }
  kernel.trace().print(format, args);
  return STATUS_SUCCESS;
}

} // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG status = print(Format, args, __builtin_return_address(0));
  va_end(args);
  return status;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  UNREFERENCED_PARAMETER(ComponentId);
  UNREFERENCED_PARAMETER(Level);
  va_list args;
  va_start(args, Format);
  ULONG status = print(Format, args, __builtin_return_address(0));
  va_end(args);
  return status;
}

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format,
                  va_list arglist) {
  UNREFERENCED_PARAMETER(ComponentId);
  UNREFERENCED_PARAMETER(Level);
  return print(Format, arglist, __builtin_return_address(0));
}

} // extern "C"
