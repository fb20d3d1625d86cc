// Non-paged and paged pool with per-tag accounting, allocation failure on
// demand and the verifier's pool checks. Under the simulation clock blocks
// come from an arena at a fixed address with a deterministic allocator, so
// addresses (and the traces that print them) repeat from run to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <wdm.h>

#include "platform/kernel/verifier.h"

namespace talvor::kernel {

struct PoolTagStats {
  ULONG tag = 0;
  std::uint64_t allocations = 0; // successful ones
  std::uint64_t failed = 0;      // refused by fault injection
  std::uint64_t frees = 0;
  std::uint64_t outstanding = 0; // blocks not yet freed
  std::uint64_t outstanding_bytes = 0;
  std::uint64_t peak_bytes = 0;
};

class Pool {
public:
  // `deterministic`: use the fixed-address arena (simulation clock).
  Pool(Verifier &verifier, bool deterministic);
  ~Pool();
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;

  // Returns null when fault injection refuses the allocation or the pool
  // type is not defined. Zero bytes, tag 0 and an undefined type are
  // findings. `irql` is the caller's, `site` the caller's return address
  // (for findings).
  void *allocate(POOL_TYPE type, std::size_t size, ULONG tag, KIRQL irql,
                 const void *site);
  // `expected_tag` is given by ExFreePoolWithTag. Double, unknown and
  // mismatched frees are findings and leave the pool intact.
  void free(void *block, std::optional<ULONG> expected_tag, KIRQL irql,
            const void *site);

  bool owns(const void *block) const; // a live block of this pool
  std::optional<std::size_t> size_of(const void *block) const;
  std::optional<ULONG> tag_of(const void *block) const;

  PoolTagStats stats(ULONG tag) const;
  std::vector<PoolTagStats> all_stats() const;
  std::uint64_t outstanding() const; // live blocks, every tag

  // Fault injection. Every rule applies to allocations with the given tag,
  // or to all allocations when the tag is empty.
  void fail_tag(std::optional<ULONG> tag); // every allocation fails
  void fail_nth(std::uint64_t n, std::optional<ULONG> tag = {}); // 1-based
  void fail_random(std::uint64_t seed, double probability,
                   std::optional<ULONG> tag = {});
  void clear_faults();

  // Reports every live block as a PoolLeak finding (grouped by tag) and
  // checks every live block's guard bytes.
  void check_leaks();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "SCS4" as the value ExAllocatePoolWithTag takes (first character lowest).
constexpr ULONG make_pool_tag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

} // namespace talvor::kernel
