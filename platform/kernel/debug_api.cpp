// Assertions, the pageable-code check and system information.
#include "platform/kernel/kernel.h"

using talvor::kernel::describe_code_address;
using talvor::kernel::FindingKind;
using talvor::kernel::Kernel;

extern "C" {

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
               PSTR Message) {
  const char *expression = static_cast<const char *>(FailedAssertion);
  const char *file = static_cast<const char *>(FileName);
  DbgPrint("\n*** Assertion failed: %s%s\n***   Source File: %s, line %u\n\n",
           Message ? Message : "", expression ? expression : "?",
           file ? file : "?", LineNumber);
  Kernel::get().verifier().report(
      FindingKind::AssertionFailed,
      std::string(expression ? expression : "?") + " at " +
          (file ? file : "?") + ":" + std::to_string(LineNumber),
      describe_code_address(__builtin_return_address(0)));
}

void TalvorPageableCheck(PCSTR Routine) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql <= APC_LEVEL)
    return;
  DbgPrint("EX: Pageable code called at IRQL %d\n", irql);
  Kernel::get().verifier().report(
      FindingKind::PageableAtRaisedIrql,
      std::string(Routine) + " called at IRQL " + std::to_string(irql),
      describe_code_address(__builtin_return_address(0)));
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  return Kernel::get().wdm_version_available(MajorVersion, MinorVersion)
             ? TRUE
             : FALSE;
}

} // extern "C"
