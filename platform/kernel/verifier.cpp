#include "verifier.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>
#include <memory>

namespace talvor::kernel {

const char *to_string(FindingKind kind) {
  switch (kind) {
  case FindingKind::PoolLeak:
    return "pool leak";
  case FindingKind::PoolDoubleFree:
    return "pool double free";
  case FindingKind::PoolUnknownFree:
    return "free of an unknown pool block";
  case FindingKind::PoolTagMismatch:
    return "pool tag mismatch";
  case FindingKind::PoolCorruption:
    return "pool corruption";
  case FindingKind::PoolAtRaisedIrql:
    return "pool call at raised IRQL";
  case FindingKind::WaitAtDispatchLevel:
    return "wait with a time-out at DISPATCH_LEVEL";
  case FindingKind::SpinLockHeldAcrossWait:
    return "spin lock held across a wait";
  case FindingKind::SpinLockOrderInversion:
    return "spin lock order inversion";
  case FindingKind::SpinLockMisuse:
    return "spin lock misuse";
  case FindingKind::IrqlMisuse:
    return "IRQL misuse";
  case FindingKind::PageableAtRaisedIrql:
    return "pageable code at raised IRQL";
  case FindingKind::ThreadRunningAtTeardown:
    return "system thread still running at teardown";
  case FindingKind::ObjectReferenceLeak:
    return "object reference leak";
  case FindingKind::ObjectMisuse:
    return "object misuse";
  case FindingKind::UninitializedObject:
    return "uninitialized object";
  case FindingKind::AssertionFailed:
    return "assertion failed";
  }
  return "finding";
}

std::string to_string(const Finding &finding) {
  std::string text = "verifier: ";
  text += to_string(finding.kind);
  text += ": ";
  text += finding.message;
  if (!finding.site.empty()) {
    text += " (in ";
    text += finding.site;
    text += ")";
  }
  return text;
}

std::string describe_code_address(const void *address) {
  if (address == nullptr)
    return "?";
  Dl_info info{};
  // A return address points after the call; step back into it so that a
  // call at the very end of a routine is not named after the next one.
  const char *lookup = static_cast<const char *>(address) - 1;
  if (dladdr(lookup, &info) == 0)
    return "?";
  char buffer[64];
  if (info.dli_sname != nullptr) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status),
        &std::free);
    std::string name = status == 0 ? demangled.get() : info.dli_sname;
    std::snprintf(buffer, sizeof buffer, "+0x%zx",
                  static_cast<std::size_t>(static_cast<const char *>(address) -
                                           static_cast<const char *>(
                                               info.dli_saddr)));
    return name + buffer;
  }
  std::string module = info.dli_fname ? info.dli_fname : "?";
  if (auto slash = module.rfind('/'); slash != std::string::npos)
    module.erase(0, slash + 1);
  std::snprintf(buffer, sizeof buffer, "+0x%zx",
                static_cast<std::size_t>(static_cast<const char *>(address) -
                                         static_cast<const char *>(
                                             info.dli_fbase)));
  return module + buffer;
}

void Verifier::report(FindingKind kind, std::string message,
                      std::string site) {
  std::lock_guard guard(findings_lock_);
  findings_.push_back({kind, std::move(message), std::move(site)});
  if (echo_)
    std::fprintf(stderr, "%s\n", to_string(findings_.back()).c_str());
}

std::vector<Finding> Verifier::findings() const {
  std::lock_guard guard(findings_lock_);
  return findings_;
}

std::vector<Finding> Verifier::take() {
  std::lock_guard guard(findings_lock_);
  return std::exchange(findings_, {});
}

std::size_t Verifier::count(FindingKind kind) const {
  std::lock_guard guard(findings_lock_);
  std::size_t n = 0;
  for (const auto &finding : findings_)
    n += finding.kind == kind;
  return n;
}

bool Verifier::empty() const {
  std::lock_guard guard(findings_lock_);
  return findings_.empty();
}

void Verifier::set_echo(bool echo) {
  std::lock_guard guard(findings_lock_);
  echo_ = echo;
}

} // namespace talvor::kernel
