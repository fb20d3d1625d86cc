// RtlQueryRegistryValues: resolves RelativeTo and Path to an absolute key and
// walks the query table with Registry::query (registry.cpp describes the
// walk, OPTIONAL included).
//
// RelativeTo, as published (the low bits; RTL_REGISTRY_OPTIONAL may be
// or-ed in):
//   RTL_REGISTRY_ABSOLUTE   Path is absolute (it must begin with '\').
//   RTL_REGISTRY_SERVICES   \Registry\Machine\System\CurrentControlSet\Services
//   RTL_REGISTRY_CONTROL    \Registry\Machine\System\CurrentControlSet\Control
//   RTL_REGISTRY_WINDOWS_NT \Registry\Machine\Software\Microsoft\Windows
//   NT\CurrentVersion RTL_REGISTRY_DEVICEMAP
//   \Registry\Machine\Hardware\DeviceMap RTL_REGISTRY_USER
//   \Registry\User\.Default (the current user of a
//                           system thread, which every kernel thread here is)
//   RTL_REGISTRY_HANDLE     STATUS_NOT_IMPLEMENTED: the hosted kernel has no
//                           registry handles.
// Runs at PASSIVE_LEVEL only; above it the verifier records an IRQL misuse.
#include <cstdio>
#include <string>

#include <wdm.h>

#include "platform/kernel/irql.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/utf16.h"

namespace {

using talvor::kernel::Kernel;

const char *base_path(ULONG relative_to) {
  switch (relative_to) {
  case RTL_REGISTRY_SERVICES:
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
  case RTL_REGISTRY_CONTROL:
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Control";
  case RTL_REGISTRY_WINDOWS_NT:
    return "\\Registry\\Machine\\Software\\Microsoft\\Windows "
           "NT\\CurrentVersion";
  case RTL_REGISTRY_DEVICEMAP:
    return "\\Registry\\Machine\\Hardware\\DeviceMap";
  case RTL_REGISTRY_USER:
    return "\\Registry\\User\\.Default";
  default:
    return nullptr;
  }
}

} // namespace

extern "C" NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                           PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                           PVOID Context, PVOID Environment) {
  UNREFERENCED_PARAMETER(Environment); // no environment to expand from
  Kernel &kernel = Kernel::get();
  talvor::kernel::check_irql(
      talvor::kernel::irql_rule("RtlQueryRegistryValues"),
      __builtin_return_address(0));

  if (RelativeTo & RTL_REGISTRY_HANDLE) {
    std::fprintf(stderr, "talvor: RtlQueryRegistryValues with "
                         "RTL_REGISTRY_HANDLE is not implemented\n");
    return STATUS_NOT_IMPLEMENTED;
  }
  const bool optional = (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0;
  const ULONG relative_to = RelativeTo & ~ULONG{RTL_REGISTRY_OPTIONAL};
  if (QueryTable == nullptr || relative_to >= RTL_REGISTRY_MAXIMUM)
    return STATUS_INVALID_PARAMETER;

  const std::string path = talvor::kernel::utf16z_to_utf8(Path);
  std::string absolute;
  if (relative_to == RTL_REGISTRY_ABSOLUTE) {
    if (Path == nullptr)
      return STATUS_INVALID_PARAMETER;
    if (path.empty() || path.front() != '\\')
      return STATUS_OBJECT_PATH_SYNTAX_BAD;
    absolute = path;
  } else {
    absolute = std::string(base_path(relative_to)) + "\\" + path;
  }
  return kernel.registry().query(absolute, optional, QueryTable, Context);
}
