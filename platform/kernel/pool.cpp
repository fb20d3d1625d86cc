// The pool: blocks with a header and guard bytes, a quarantine for freed
// blocks, per-tag accounting, fault injection and the verifier's pool checks.
//
// A block is one chunk of memory:
//
//   chunk                      user                    user + size    chunk end
//   | BlockHeader (64 bytes)   | the caller's bytes    | guard bytes ... |
//
// The header ends with eight guard bytes, and at least 16 guard bytes follow
// the caller's bytes; the pointer handed out is 16-byte aligned. New bytes
// read 0xCD, guard bytes 0xFD and freed bytes 0xDF, so that uninitialised
// use, overruns and use after free show up in dumps and traces.
//
// The pool's own record of every block (Block, in a table keyed by the
// address handed out) is authoritative; the header is a copy whose damage is
// a finding. An address the table does not know is never dereferenced, so a
// bad free cannot corrupt the pool.
//
// Freed blocks wait in a FIFO quarantine before their memory may be reused,
// so a use after free rarely lands in a reused block, and a second free of a
// quarantined block is a double free. Under AddressSanitizer every byte of a
// chunk outside the live caller's bytes is poisoned, so ASan catches overruns
// and use after free the moment they happen.
//
// Deterministic pools (simulation clock) carve chunks from an arena mapped at
// a fixed address, with size classes and FIFO free lists and no input but the
// sequence of calls, so the same calls give the same addresses in every run.
// Other pools take chunks from malloc.
#include "platform/kernel/pool.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define TALVOR_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALVOR_POOL_ASAN 1
#endif
#endif

#ifdef TALVOR_POOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace talvor::kernel {
namespace {

// ---------------------------------------------------------------------------
// Layout and patterns

constexpr std::uint64_t kHeaderMagic = 0x6c6f6f5076726c54; // "TlrvPool"
constexpr std::uint32_t kLiveState = 0x6576694c;           // "Live"
constexpr std::uint32_t kFreedState = 0x65657246;          // "Free"

constexpr unsigned char kFreshFill = 0xCD; // allocated, never written
constexpr unsigned char kGuardFill = 0xFD; // around the caller's bytes
constexpr unsigned char kFreedFill = 0xDF; // freed

constexpr std::size_t kAlignment = 16;
constexpr std::size_t kTrailingGuard = 16; // at least this many after a block

struct alignas(16) BlockHeader {
  std::uint64_t magic;
  std::uint64_t sequence;
  std::uint64_t size;
  std::uint64_t chunk_bytes;
  const void *site;
  std::uint32_t tag;
  std::uint32_t pool_type;
  std::uint32_t state;
  std::uint32_t reserved;
  unsigned char front_guard[8]; // catches a short underrun
};
static_assert(sizeof(BlockHeader) == 64);
static_assert(sizeof(BlockHeader) % kAlignment == 0);

// Larger requests are refused, as an exhausted pool would refuse them (and
// so that malloc under ASan never sees an absurd size).
constexpr std::size_t kMaxBlockBytes = std::size_t{1} << 30;

// Quarantine bounds: the oldest freed block leaves once either is exceeded.
constexpr std::size_t kQuarantineBlocks = 1024;
constexpr std::size_t kQuarantineBytes = std::size_t{16} << 20;

// Deterministic arena: reserved, not committed. The first slot is the usual
// home; the others serve pools that live at the same time as another one.
constexpr std::uintptr_t kArenaBase = 0x300000000000;
constexpr std::size_t kArenaBytes = std::size_t{4} << 30;
constexpr int kArenaSlots = 8;

// Free-listed chunks at least this large give their pages back to the OS.
constexpr std::size_t kReleasePagesBytes = std::size_t{64} << 10;

constexpr std::size_t round_up(std::size_t value, std::size_t step) {
  return (value + step - 1) / step * step;
}

// Chunk bytes for a block of `size` caller bytes (size <= kMaxBlockBytes).
constexpr std::size_t chunk_bytes_for(std::size_t size) {
  return sizeof(BlockHeader) + round_up(size, kAlignment) + kTrailingGuard;
}

// Size classes of the arena: 16-byte steps up to 1 KiB, then four classes
// per doubling, so that a free chunk serves nearby sizes too.
constexpr std::size_t size_class(std::size_t chunk_bytes) {
  if (chunk_bytes <= 1024)
    return round_up(chunk_bytes, kAlignment);
  const std::size_t step = std::size_t{1}
                           << (std::bit_width(chunk_bytes - 1) - 3);
  return round_up(chunk_bytes, step);
}
static_assert(size_class(1025) == 1280);
static_assert(size_class(2048) == 2048);
static_assert(size_class(2049) == 2560);

// ---------------------------------------------------------------------------
// AddressSanitizer

void poison(const void *address, std::size_t bytes) {
#ifdef TALVOR_POOL_ASAN
  ASAN_POISON_MEMORY_REGION(address, bytes);
#else
  (void)address;
  (void)bytes;
#endif
}

void unpoison(const void *address, std::size_t bytes) {
#ifdef TALVOR_POOL_ASAN
  ASAN_UNPOISON_MEMORY_REGION(address, bytes);
#else
  (void)address;
  (void)bytes;
#endif
}

// ---------------------------------------------------------------------------
// Text for findings

std::string tag_text(ULONG tag) {
  std::string text = "'";
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  return text + "'";
}

std::string address_text(const void *address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(
                    reinterpret_cast<std::uintptr_t>(address)));
  return text;
}

std::string pool_type_text(POOL_TYPE type) {
  switch (static_cast<int>(type)) {
  case NonPagedPool:
    return "NonPagedPool";
  case PagedPool:
    return "PagedPool";
  case NonPagedPoolMustSucceed:
    return "NonPagedPoolMustSucceed";
  case NonPagedPoolCacheAligned:
    return "NonPagedPoolCacheAligned";
  case PagedPoolCacheAligned:
    return "PagedPoolCacheAligned";
  case NonPagedPoolNx:
    return "NonPagedPoolNx";
  }
  return "pool type " + std::to_string(static_cast<int>(type));
}

std::string irql_text(KIRQL irql) {
  switch (irql) {
  case PASSIVE_LEVEL:
    return "PASSIVE_LEVEL";
  case APC_LEVEL:
    return "APC_LEVEL";
  case DISPATCH_LEVEL:
    return "DISPATCH_LEVEL";
  }
  return "IRQL " + std::to_string(irql);
}

std::string site_text(const void *site) {
  return describe_code_address(site);
}

// The pool types a caller may name: those wdm.h declares.
bool is_defined(POOL_TYPE type) {
  switch (static_cast<int>(type)) {
  case NonPagedPool:
  case PagedPool:
  case NonPagedPoolMustSucceed:
  case NonPagedPoolCacheAligned:
  case PagedPoolCacheAligned:
  case NonPagedPoolNx:
    return true;
  }
  return false;
}

// Paged pool types have the low bit set (PagedPool, PagedPoolCacheAligned).
bool is_paged(POOL_TYPE type) {
  return (static_cast<int>(type) & 1) != 0;
}

// Index of the first byte in [bytes, bytes + count) that is not `fill`.
// Every freed block is checked when it leaves the quarantine: a word at a
// time, then byte by byte within the word that differs.
std::optional<std::size_t> first_mismatch(const unsigned char *bytes,
                                          std::size_t count,
                                          unsigned char fill) {
  const std::uint64_t pattern = 0x0101010101010101ULL * fill;
  std::size_t i = 0;
  for (; i + sizeof pattern <= count; i += sizeof pattern) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    if (word != pattern)
      break;
  }
  for (; i < count; ++i)
    if (bytes[i] != fill)
      return i;
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The deterministic arena: a reservation at a fixed address, carved from the
// bottom up. Chunks are never returned to it, only to the pool's free lists.

class Arena {
public:
  // Null when no mapping could be made at all.
  static std::unique_ptr<Arena> map() {
    for (int slot = 0; slot < kArenaSlots; ++slot) {
      void *hint = reinterpret_cast<void *>(kArenaBase + slot * kArenaBytes);
      void *base = ::mmap(hint, kArenaBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE |
                              MAP_FIXED_NOREPLACE,
                          -1, 0);
      if (base == hint)
        return std::unique_ptr<Arena>(new Arena(base));
      // An old kernel takes MAP_FIXED_NOREPLACE as a mere hint.
      if (base != MAP_FAILED)
        ::munmap(base, kArenaBytes);
    }
    void *base = ::mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    static std::atomic<bool> noted{false};
    if (!noted.exchange(true))
      std::fprintf(stderr,
                   "talvor pool: no arena at a fixed address; pool addresses "
                   "will differ from run to run%s\n",
                   base == MAP_FAILED ? " (and blocks come from malloc)" : "");
    if (base == MAP_FAILED)
      return nullptr;
    return std::unique_ptr<Arena>(new Arena(base));
  }

  ~Arena() {
    unpoison(base_, used_); // forget our poisoning before the pages go
    ::munmap(base_, kArenaBytes);
  }
  Arena(const Arena &) = delete;
  Arena &operator=(const Arena &) = delete;

  // A fresh chunk from the top, or null when the arena is full.
  unsigned char *carve(std::size_t bytes) {
    if (bytes > kArenaBytes - used_)
      return nullptr;
    unsigned char *chunk = base_ + used_;
    used_ += bytes;
    return chunk;
  }

  // Gives the whole pages inside [chunk, chunk + bytes) back to the OS; they
  // read zero when touched again.
  static void release_pages(unsigned char *chunk, std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = round_up(reinterpret_cast<std::uintptr_t>(chunk), page);
    const auto end =
        (reinterpret_cast<std::uintptr_t>(chunk) + bytes) / page * page;
    if (end > begin)
      ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_DONTNEED);
  }

private:
  explicit Arena(void *base) : base_(static_cast<unsigned char *>(base)) {}

  unsigned char *base_;
  std::size_t used_ = 0;
};

// ---------------------------------------------------------------------------
// Records

enum class BlockState { Live, Quarantined, Free };

struct Block {
  unsigned char *chunk = nullptr;
  std::size_t chunk_bytes = 0;
  std::size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  BlockState state = BlockState::Live;
  std::uint64_t sequence = 0;
  const void *allocated_at = nullptr;
  const void *freed_at = nullptr;

  unsigned char *user() const { return chunk + sizeof(BlockHeader); }
  BlockHeader *header() const { return reinterpret_cast<BlockHeader *>(chunk); }
  std::size_t tail_bytes() const {
    return chunk_bytes - sizeof(BlockHeader) - size;
  }
};

// "the 24-byte NonPagedPoolNx block 0x... (tag 'Tlvr', allocation #3 at
// Routine+0x1c)"; without the site when the finding's site is the same.
std::string block_text(const Block &block, bool with_site = true) {
  return "the " + std::to_string(block.size) + "-byte " +
         pool_type_text(block.type) + " block " + address_text(block.user()) +
         " (tag " + tag_text(block.tag) + ", allocation #" +
         std::to_string(block.sequence) +
         (with_site ? " at " + site_text(block.allocated_at) : "") + ")";
}

struct FaultRule {
  enum class Kind { Always, Nth, Random };
  Kind kind = Kind::Always;
  std::optional<ULONG> tag;    // empty: every allocation
  std::uint64_t countdown = 0; // Nth: matching allocations still to come
  std::mt19937_64 generator;   // Random
  double probability = 0;      // Random

  bool applies_to(ULONG allocation_tag) const {
    return !tag || *tag == allocation_tag;
  }

  // Called for every matching allocation, whatever the other rules decide,
  // so that each rule's count and draws depend only on the calls.
  bool refuses() {
    switch (kind) {
    case Kind::Always:
      return true;
    case Kind::Nth:
      if (countdown == 0)
        return false;
      return --countdown == 0;
    case Kind::Random: {
      // 53 random bits as a fraction in [0, 1), the same on every library.
      const double draw = static_cast<double>(generator() >> 11) * 0x1.0p-53;
      return draw < probability;
    }
    }
    return false;
  }
};

} // namespace

// ---------------------------------------------------------------------------

struct Pool::Impl {
  Impl(Verifier &verifier, bool deterministic)
      : verifier(verifier), arena(deterministic ? Arena::map() : nullptr) {}

  ~Impl() {
    if (arena)
      return; // the arena's unmapping takes every chunk with it
    for (auto &[address, block] : blocks) {
      unpoison(block.chunk, block.chunk_bytes);
      std::free(block.chunk);
    }
  }

  Verifier &verifier;
  const std::unique_ptr<Arena> arena; // null: chunks come from malloc

  // Guards everything below: the block table, the quarantine, the free
  // lists, the statistics and the fault rules. No other kernel lock is taken
  // while it is held: findings go to the verifier after it is released.
  mutable std::mutex pool_lock;

  // Every block ever handed out whose chunk still belongs to the pool, keyed
  // by the address handed out: live, quarantined or free-listed.
  std::unordered_map<std::uintptr_t, Block> blocks;
  std::uint64_t live_blocks = 0;

  std::deque<Block *> quarantine; // oldest first
  std::size_t quarantine_bytes = 0;

  // Arena only: reusable chunks by size class, oldest first.
  std::map<std::size_t, std::deque<unsigned char *>> free_chunks;

  std::map<ULONG, PoolTagStats> tag_stats;
  std::vector<FaultRule> fault_rules;
  std::uint64_t sequence = 0; // allocate calls so far

  // Findings made under pool_lock, reported once it is released.
  struct PendingFinding {
    FindingKind kind;
    std::string message;
    std::string site;
  };

  PoolTagStats &stats_for(ULONG tag) {
    auto &stats = tag_stats[tag];
    stats.tag = tag;
    return stats;
  }

  bool refused_by_faults(POOL_TYPE type, ULONG tag) {
    bool refused = false;
    for (auto &rule : fault_rules)
      if (rule.applies_to(tag))
        refused = rule.refuses() || refused;
    // A must-succeed allocation that fails stops Windows; never inject one.
    return refused && type != NonPagedPoolMustSucceed;
  }

  // A chunk of `bytes` (already a size class in the arena), or null.
  unsigned char *take_chunk(std::size_t bytes) {
    if (!arena) {
      void *chunk = nullptr;
      if (::posix_memalign(&chunk, kAlignment, bytes) != 0)
        return nullptr;
      return static_cast<unsigned char *>(chunk);
    }
    if (auto *chunk = reuse_chunk(bytes))
      return chunk;
    return arena->carve(bytes);
  }

  unsigned char *reuse_chunk(std::size_t bytes) {
    auto found = free_chunks.find(bytes);
    if (found == free_chunks.end() || found->second.empty())
      return nullptr;
    unsigned char *chunk = found->second.front();
    found->second.pop_front();
    return chunk;
  }

  // Writes the header and the fills of a new live block; leaves only the
  // caller's bytes unpoisoned.
  void prepare(const Block &block) {
    unpoison(block.chunk, block.chunk_bytes);
    auto *header = block.header();
    header->magic = kHeaderMagic;
    header->sequence = block.sequence;
    header->size = block.size;
    header->chunk_bytes = block.chunk_bytes;
    header->site = block.allocated_at;
    header->tag = block.tag;
    header->pool_type = static_cast<std::uint32_t>(block.type);
    header->state = kLiveState;
    header->reserved = 0;
    std::memset(header->front_guard, kGuardFill, sizeof header->front_guard);
    std::memset(block.user(), kFreshFill, block.size);
    std::memset(block.user() + block.size, kGuardFill, block.tail_bytes());
    poison(block.chunk, block.chunk_bytes);
    unpoison(block.user(), block.size);
  }

  // What is wrong with a live block's header or guard bytes, if anything.
  // The chunk must be unpoisoned.
  std::optional<std::string> damage(const Block &block,
                                    bool with_site = true) const {
    const auto *header = block.header();
    if (header->magic != kHeaderMagic || header->sequence != block.sequence ||
        header->size != block.size ||
        header->chunk_bytes != block.chunk_bytes ||
        header->site != block.allocated_at || header->tag != block.tag ||
        header->pool_type != static_cast<std::uint32_t>(block.type) ||
        header->state != kLiveState ||
        first_mismatch(header->front_guard, sizeof header->front_guard,
                       kGuardFill))
      return "the pool header before " + block_text(block, with_site) +
             " is damaged (an underrun, or a write through a stale pointer)";
    if (auto bad = first_mismatch(block.user() + block.size, block.tail_bytes(),
                                  kGuardFill))
      return "the guard bytes after " + block_text(block, with_site) +
             " are damaged: an overrun wrote byte " +
             std::to_string(block.size + *bad) + " (" + std::to_string(*bad) +
             " past the end)";
    return std::nullopt;
  }

  std::optional<std::string> damage_unpoisoned(const Block &block,
                                               bool with_site = true) const {
    unpoison(block.chunk, block.chunk_bytes);
    auto found = damage(block, with_site);
    poison(block.chunk, block.chunk_bytes);
    unpoison(block.user(), block.size);
    return found;
  }

  // A quarantined block whose freed fill changed was written after its free.
  std::optional<std::string> written_after_free(const Block &block) const {
    unpoison(block.chunk, block.chunk_bytes);
    auto bad = first_mismatch(
        block.user(), block.chunk_bytes - sizeof(BlockHeader), kFreedFill);
    poison(block.chunk, block.chunk_bytes);
    if (!bad)
      return std::nullopt;
    return block_text(block) + ", freed at " + site_text(block.freed_at) +
           ", was written after its free (byte " + std::to_string(*bad) + ")";
  }

  // Moves a live block into the quarantine: header marked freed, bytes
  // filled with the freed pattern, the whole chunk poisoned.
  void retire(Block &block, const void *site,
              std::vector<PendingFinding> &findings) {
    unpoison(block.chunk, block.chunk_bytes);
    block.header()->state = kFreedState;
    std::memset(block.user(), kFreedFill,
                block.chunk_bytes - sizeof(BlockHeader));
    poison(block.chunk, block.chunk_bytes);

    block.state = BlockState::Quarantined;
    block.freed_at = site;
    --live_blocks;
    quarantine.push_back(&block);
    quarantine_bytes += block.chunk_bytes;
    while (quarantine.size() > kQuarantineBlocks ||
           quarantine_bytes > kQuarantineBytes)
      evict_oldest(findings);
  }

  // The oldest quarantined block leaves: its memory becomes reusable.
  void evict_oldest(std::vector<PendingFinding> &findings) {
    Block *block = quarantine.front();
    quarantine.pop_front();
    quarantine_bytes -= block->chunk_bytes;
    if (auto written = written_after_free(*block))
      findings.push_back({FindingKind::PoolCorruption, std::move(*written),
                          site_text(block->freed_at)});
    if (!arena) {
      unpoison(block->chunk, block->chunk_bytes);
      std::free(block->chunk);
      blocks.erase(reinterpret_cast<std::uintptr_t>(block->user()));
      return;
    }
    block->state = BlockState::Free;
    if (block->chunk_bytes >= kReleasePagesBytes)
      Arena::release_pages(block->chunk, block->chunk_bytes);
    free_chunks[block->chunk_bytes].push_back(block->chunk);
  }

  void report(std::vector<PendingFinding> findings) {
    for (auto &finding : findings)
      verifier.report(finding.kind, std::move(finding.message),
                      std::move(finding.site));
  }
};

Pool::Pool(Verifier &verifier, bool deterministic)
    : impl_(std::make_unique<Impl>(verifier, deterministic)) {}

Pool::~Pool() = default;

void *Pool::allocate(POOL_TYPE type, std::size_t size, ULONG tag, KIRQL irql,
                     const void *site) {
  std::vector<Impl::PendingFinding> findings;
  const auto call_text = [&] {
    return "allocation of " + std::to_string(size) + " bytes of " +
           pool_type_text(type) + " with tag " + tag_text(tag) + " at " +
           irql_text(irql);
  };
  // What Driver Verifier refuses in a request, whoever makes it. Zero bytes
  // and tag 0 still get a block, as Windows gives one; an undefined type
  // names no pool to take it from.
  if (!is_defined(type))
    findings.push_back({FindingKind::PoolBadRequest,
                        call_text() + "; the pool type is not defined",
                        site_text(site)});
  if (size == 0)
    findings.push_back({FindingKind::PoolBadRequest,
                        call_text() + "; zero bytes may not be allocated",
                        site_text(site)});
  if (tag == 0)
    findings.push_back({FindingKind::PoolBadRequest,
                        call_text() + "; 0 is not a pool tag",
                        site_text(site)});
  if (!is_defined(type)) {
    impl_->report(std::move(findings));
    return nullptr;
  }
  if (irql > DISPATCH_LEVEL)
    findings.push_back(
        {FindingKind::PoolAtRaisedIrql,
         call_text() + "; the pool allows at most DISPATCH_LEVEL",
         site_text(site)});
  else if (is_paged(type) && irql > APC_LEVEL)
    findings.push_back({FindingKind::PoolAtRaisedIrql,
                        call_text() + "; paged pool allows at most APC_LEVEL",
                        site_text(site)});

  void *result = nullptr;
  {
    std::lock_guard guard(impl_->pool_lock);
    auto &stats = impl_->stats_for(tag);
    const std::uint64_t sequence = ++impl_->sequence;
    const bool refused = impl_->refused_by_faults(type, tag);
    unsigned char *chunk = nullptr;
    std::size_t chunk_bytes = 0;
    if (!refused && size <= kMaxBlockBytes) {
      chunk_bytes = chunk_bytes_for(size);
      if (impl_->arena)
        chunk_bytes = size_class(chunk_bytes);
      chunk = impl_->take_chunk(chunk_bytes);
      if (!chunk && impl_->arena) {
        // The arena is full: let the quarantine go and look once more.
        while (!impl_->quarantine.empty())
          impl_->evict_oldest(findings);
        chunk = impl_->reuse_chunk(chunk_bytes);
      }
    }
    if (!chunk) {
      ++stats.failed;
    } else {
      Block block;
      block.chunk = chunk;
      block.chunk_bytes = chunk_bytes;
      block.size = size;
      block.tag = tag;
      block.type = type;
      block.state = BlockState::Live;
      block.sequence = sequence;
      block.allocated_at = site;
      impl_->prepare(block);
      impl_->blocks[reinterpret_cast<std::uintptr_t>(block.user())] = block;
      ++impl_->live_blocks;
      ++stats.allocations;
      ++stats.outstanding;
      stats.outstanding_bytes += size;
      stats.peak_bytes = std::max(stats.peak_bytes, stats.outstanding_bytes);
      result = block.user();
    }
  }
  impl_->report(std::move(findings));
  return result;
}

void Pool::free(void *pointer, std::optional<ULONG> expected_tag, KIRQL irql,
                const void *site) {
  // Findings at the caller's site get its name only once there is one:
  // naming costs a symbol lookup, and most frees find nothing.
  std::vector<Impl::PendingFinding> here;
  std::vector<Impl::PendingFinding> findings;
  {
    std::lock_guard guard(impl_->pool_lock);
    auto found = impl_->blocks.find(reinterpret_cast<std::uintptr_t>(pointer));
    if (pointer == nullptr) {
      here.push_back(
          {FindingKind::PoolUnknownFree, "free of a null pointer", {}});
    } else if (found == impl_->blocks.end()) {
      here.push_back({FindingKind::PoolUnknownFree,
                      "free of " + address_text(pointer) +
                          ", which is not the address of a block of this pool",
                      {}});
    } else if (Block &block = found->second; block.state != BlockState::Live) {
      here.push_back({FindingKind::PoolDoubleFree,
                      "second free of " + block_text(block) +
                          ", already freed at " + site_text(block.freed_at) +
                          (block.state == BlockState::Quarantined
                               ? " (still in quarantine)"
                               : " (since left the quarantine)"),
                      {}});
    } else {
      if (irql > DISPATCH_LEVEL)
        here.push_back({FindingKind::PoolAtRaisedIrql,
                        "free of " + block_text(block) + " at " +
                            irql_text(irql) +
                            "; the pool allows at most DISPATCH_LEVEL",
                        {}});
      else if (is_paged(block.type) && irql > APC_LEVEL)
        here.push_back({FindingKind::PoolAtRaisedIrql,
                        "free of " + block_text(block) + " at " +
                            irql_text(irql) +
                            "; paged pool allows at most APC_LEVEL",
                        {}});
      if (expected_tag && *expected_tag != block.tag)
        here.push_back({FindingKind::PoolTagMismatch,
                        "ExFreePoolWithTag with tag " +
                            tag_text(*expected_tag) + " frees " +
                            block_text(block),
                        {}});
      if (auto damage = impl_->damage_unpoisoned(block))
        here.push_back(
            {FindingKind::PoolCorruption, "on free: " + *damage, {}});

      auto &stats = impl_->stats_for(block.tag);
      ++stats.frees;
      --stats.outstanding;
      stats.outstanding_bytes -= block.size;
      impl_->retire(block, site, findings);
    }
  }
  if (!here.empty()) {
    const std::string where = site_text(site);
    for (auto &finding : here)
      finding.site = where;
  }
  impl_->report(std::move(here));
  impl_->report(std::move(findings));
}

bool Pool::owns(const void *pointer) const {
  std::lock_guard guard(impl_->pool_lock);
  auto found = impl_->blocks.find(reinterpret_cast<std::uintptr_t>(pointer));
  return found != impl_->blocks.end() &&
         found->second.state == BlockState::Live;
}

std::optional<std::size_t> Pool::size_of(const void *pointer) const {
  std::lock_guard guard(impl_->pool_lock);
  auto found = impl_->blocks.find(reinterpret_cast<std::uintptr_t>(pointer));
  if (found == impl_->blocks.end() || found->second.state != BlockState::Live)
    return std::nullopt;
  return found->second.size;
}

std::optional<ULONG> Pool::tag_of(const void *pointer) const {
  std::lock_guard guard(impl_->pool_lock);
  auto found = impl_->blocks.find(reinterpret_cast<std::uintptr_t>(pointer));
  if (found == impl_->blocks.end() || found->second.state != BlockState::Live)
    return std::nullopt;
  return found->second.tag;
}

PoolTagStats Pool::stats(ULONG tag) const {
  std::lock_guard guard(impl_->pool_lock);
  auto found = impl_->tag_stats.find(tag);
  if (found == impl_->tag_stats.end()) {
    PoolTagStats none;
    none.tag = tag;
    return none;
  }
  return found->second;
}

std::vector<PoolTagStats> Pool::all_stats() const {
  std::lock_guard guard(impl_->pool_lock);
  std::vector<PoolTagStats> all;
  all.reserve(impl_->tag_stats.size());
  for (const auto &[tag, stats] : impl_->tag_stats)
    all.push_back(stats);
  return all;
}

std::uint64_t Pool::outstanding() const {
  std::lock_guard guard(impl_->pool_lock);
  return impl_->live_blocks;
}

void Pool::fail_tag(std::optional<ULONG> tag) {
  std::lock_guard guard(impl_->pool_lock);
  FaultRule rule;
  rule.kind = FaultRule::Kind::Always;
  rule.tag = tag;
  impl_->fault_rules.push_back(std::move(rule));
}

void Pool::fail_nth(std::uint64_t n, std::optional<ULONG> tag) {
  std::lock_guard guard(impl_->pool_lock);
  FaultRule rule;
  rule.kind = FaultRule::Kind::Nth;
  rule.tag = tag;
  rule.countdown = n; // 0: never
  impl_->fault_rules.push_back(std::move(rule));
}

void Pool::fail_random(std::uint64_t seed, double probability,
                       std::optional<ULONG> tag) {
  std::lock_guard guard(impl_->pool_lock);
  FaultRule rule;
  rule.kind = FaultRule::Kind::Random;
  rule.tag = tag;
  rule.generator.seed(seed);
  rule.probability = std::clamp(probability, 0.0, 1.0);
  impl_->fault_rules.push_back(std::move(rule));
}

void Pool::clear_faults() {
  std::lock_guard guard(impl_->pool_lock);
  impl_->fault_rules.clear();
}

void Pool::check_leaks() {
  std::vector<Impl::PendingFinding> findings;
  {
    std::lock_guard guard(impl_->pool_lock);
    struct Leak {
      std::uint64_t blocks = 0;
      std::uint64_t bytes = 0;
      const Block *first = nullptr; // lowest allocation number
    };
    std::map<ULONG, Leak> leaks;
    // Findings are ordered by allocation number, whatever the table's order.
    std::vector<std::pair<std::uint64_t, Impl::PendingFinding>> damaged;
    for (const auto &[address, block] : impl_->blocks) {
      if (block.state == BlockState::Quarantined) {
        if (auto written = impl_->written_after_free(block))
          damaged.push_back({block.sequence,
                             {FindingKind::PoolCorruption, std::move(*written),
                              site_text(block.freed_at)}});
        continue;
      }
      if (block.state != BlockState::Live)
        continue;
      if (auto damage = impl_->damage_unpoisoned(block, false))
        damaged.push_back({block.sequence,
                           {FindingKind::PoolCorruption, std::move(*damage),
                            site_text(block.allocated_at)}});
      auto &leak = leaks[block.tag];
      ++leak.blocks;
      leak.bytes += block.size;
      if (!leak.first || block.sequence < leak.first->sequence)
        leak.first = &block;
    }
    std::sort(damaged.begin(), damaged.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    for (auto &[sequence, finding] : damaged)
      findings.push_back(std::move(finding));

    std::vector<std::pair<ULONG, Leak>> ordered(leaks.begin(), leaks.end());
    std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) {
      return a.second.first->sequence < b.second.first->sequence;
    });
    for (const auto &[tag, leak] : ordered)
      findings.push_back({FindingKind::PoolLeak,
                          "tag " + tag_text(tag) + ": " +
                              std::to_string(leak.blocks) +
                              (leak.blocks == 1 ? " block" : " blocks") + " (" +
                              std::to_string(leak.bytes) +
                              " bytes) never freed; the first is " +
                              block_text(*leak.first, false),
                          site_text(leak.first->allocated_at)});
  }
  impl_->report(std::move(findings));
}

} // namespace talvor::kernel
