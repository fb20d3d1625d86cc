#include "platform/kernel/verifier.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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
  case FindingKind::PoolBadRequest:
    return "bad pool request";
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
  case FindingKind::IrpCompletedTwice:
    return "IRP completed twice";
  case FindingKind::IrpMisuse:
    return "IRP misuse";
  case FindingKind::IrpLeftPending:
    return "IRP left pending";
  case FindingKind::DeviceMisuse:
    return "device object misuse";
  case FindingKind::DeviceLeak:
    return "device object never deleted";
  case FindingKind::RemoveLockImbalance:
    return "remove lock imbalance";
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

namespace {

// Function symbols of one loaded module from its ELF symbol table, which
// also names the static routines that dladdr cannot see.
class ModuleSymbols {
public:
  explicit ModuleSymbols(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return;
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > 0) {
      void *image = mmap(nullptr, static_cast<std::size_t>(info.st_size),
                         PROT_READ, MAP_PRIVATE, fd, 0);
      if (image != MAP_FAILED) {
        load(static_cast<const unsigned char *>(image),
             static_cast<std::size_t>(info.st_size));
        munmap(image, static_cast<std::size_t>(info.st_size));
      }
    }
    close(fd);
  }

  bool relocatable() const { return relocatable_; }

  // The function that contains `value`, and its start.
  const std::pair<std::uint64_t, std::string> *find(std::uint64_t value,
                                                    std::uint64_t *size) const {
    auto after = symbols_.upper_bound(value);
    if (after == symbols_.begin())
      return nullptr;
    --after;
    if (value >= after->first + after->second.first)
      return nullptr;
    *size = after->second.first;
    found_ = {after->first, after->second.second};
    return &found_;
  }

private:
  void load(const unsigned char *image, std::size_t size) {
    if (size < sizeof(Elf64_Ehdr) || std::memcmp(image, ELFMAG, SELFMAG) != 0)
      return;
    const auto *header = reinterpret_cast<const Elf64_Ehdr *>(image);
    relocatable_ = header->e_type == ET_DYN;
    if (header->e_shoff == 0 ||
        header->e_shoff + std::uint64_t{header->e_shnum} * sizeof(Elf64_Shdr) >
            size)
      return;
    const auto *sections =
        reinterpret_cast<const Elf64_Shdr *>(image + header->e_shoff);
    for (unsigned i = 0; i < header->e_shnum; ++i) {
      const Elf64_Shdr &table = sections[i];
      if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum)
        continue;
      const Elf64_Shdr &strings = sections[table.sh_link];
      if (table.sh_offset + table.sh_size > size ||
          strings.sh_offset + strings.sh_size > size)
        return;
      const auto *symbols =
          reinterpret_cast<const Elf64_Sym *>(image + table.sh_offset);
      const char *names =
          reinterpret_cast<const char *>(image + strings.sh_offset);
      for (std::size_t n = 0; n < table.sh_size / sizeof(Elf64_Sym); ++n) {
        const Elf64_Sym &symbol = symbols[n];
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_value == 0 ||
            symbol.st_name >= strings.sh_size)
          continue;
        symbols_[symbol.st_value] = {symbol.st_size ? symbol.st_size : 1,
                                     names + symbol.st_name};
      }
    }
  }

  bool relocatable_ = false;
  std::map<std::uint64_t, std::pair<std::uint64_t, std::string>> symbols_;
  mutable std::pair<std::uint64_t, std::string> found_;
};

std::string demangle(const char *name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  return status == 0 ? demangled.get() : name;
}

// Symbol tables of the modules seen so far. Process-wide like the modules
// themselves; filled once per module and never changed after.
std::string symbolize(const void *address, bool exact) {
  static std::mutex modules_lock; // guards modules
  static std::map<std::string, std::unique_ptr<ModuleSymbols>> modules;
  const char *lookup = static_cast<const char *>(address) - (exact ? 0 : 1);
  Dl_info info{};
  if (address == nullptr || dladdr(lookup, &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  std::lock_guard guard(modules_lock);
  auto &module = modules[info.dli_fname];
  if (!module)
    module = std::make_unique<ModuleSymbols>(info.dli_fname);
  auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  auto value = reinterpret_cast<std::uintptr_t>(lookup);
  std::uint64_t key = module->relocatable() ? value - base : value;
  std::uint64_t size = 0;
  const auto *symbol = module->find(key, &size);
  if (symbol == nullptr)
    return {};
  std::string name = demangle(symbol->second.c_str());
  if (exact)
    return name;
  char offset[32];
  std::snprintf(offset, sizeof offset, "+0x%" PRIx64,
                key + (exact ? 0 : 1) - symbol->first);
  return name + offset;
}

} // namespace

std::string describe_code_address(const void *address) {
  if (address == nullptr)
    return "?";
  std::string name = symbolize(address, false);
  if (!name.empty())
    return name;
  Dl_info info{};
  const char *lookup = static_cast<const char *>(address) - 1;
  if (dladdr(lookup, &info) == 0 || info.dli_fname == nullptr)
    return format_address(address);
  std::string module = info.dli_fname;
  if (auto slash = module.rfind('/'); slash != std::string::npos)
    module.erase(0, slash + 1);
  char buffer[32];
  std::snprintf(
      buffer, sizeof buffer, "+0x%zx",
      static_cast<std::size_t>(static_cast<const char *>(address) -
                               static_cast<const char *>(info.dli_fbase)));
  return module + buffer;
}

std::string describe_routine(const void *address) {
  std::string name = symbolize(address, true);
  return name.empty() ? "routine " + format_address(address) : name;
}

std::string format_address(const void *address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", address);
  return buffer;
}

void Verifier::report(FindingKind kind, std::string message, std::string site) {
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
