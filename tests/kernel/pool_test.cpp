// The pool: deterministic addresses, quarantine, fills and guard bytes, the
// verifier's findings on planted bugs, fault injection and accounting; then
// the WDM routines on a kernel under the simulation clock.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/kernel/verifier.h"
#include "tests/support/sim.h"

#if defined(__SANITIZE_ADDRESS__)
#define TALVOR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALVOR_TEST_ASAN 1
#endif
#endif

#ifdef TALVOR_TEST_ASAN
#include <sanitizer/asan_interface.h>
#define TALVOR_NO_ASAN __attribute__((no_sanitize("address")))
#else
#define TALVOR_NO_ASAN
#endif

namespace talvor::test {

using kernel::Finding;
using kernel::FindingKind;
using kernel::make_pool_tag;
using kernel::Pool;
using kernel::Verifier;

constexpr ULONG kTag = make_pool_tag("Tlvr");
constexpr ULONG kOtherTag = make_pool_tag("Othr");

// Planting bugs: plain byte accesses that AddressSanitizer does not check, so
// that the pool's own checks are what catches them in every build.
TALVOR_NO_ASAN void poke(void *block, std::ptrdiff_t offset,
                         unsigned char value) {
  static_cast<volatile unsigned char *>(block)[offset] = value;
}

TALVOR_NO_ASAN unsigned char peek(const void *block, std::ptrdiff_t offset) {
  return static_cast<const volatile unsigned char *>(block)[offset];
}

// An address inside the caller, as the WDM routines pass their caller's.
[[gnu::noinline]] const void *here() {
  return __builtin_return_address(0);
}

// A named routine that leaks, so that the leak's site can name it.
[[gnu::noinline]] void *allocate_and_forget(Pool &pool, std::size_t size) {
  return pool.allocate(NonPagedPoolNx, size, make_pool_tag("Leak"),
                       PASSIVE_LEVEL, here());
}

bool contains(const std::string &text, const std::string &needle) {
  return text.find(needle) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Class-level tests, run against both kinds of pool: the fixed-address arena
// (simulation clock) and malloc (real-time clock).

class PoolTest : public ::testing::TestWithParam<bool> {
protected:
  PoolTest() { verifier_.set_echo(false); }

  ~PoolTest() override {
    for (const auto &finding : verifier_.take())
      ADD_FAILURE() << "unexpected " << kernel::to_string(finding);
  }

  bool deterministic() const { return GetParam(); }

  Pool &pool() {
    if (!pool_)
      pool_ = std::make_unique<Pool>(verifier_, deterministic());
    return *pool_;
  }

  void *allocate(std::size_t size, ULONG tag = kTag,
                 POOL_TYPE type = NonPagedPoolNx, KIRQL irql = PASSIVE_LEVEL) {
    return pool().allocate(type, size, tag, irql, here());
  }

  void release(void *block, std::optional<ULONG> tag = kTag,
               KIRQL irql = PASSIVE_LEVEL) {
    pool().free(block, tag, irql, here());
  }

  // The findings so far, which the test then expects.
  std::vector<Finding> take() { return verifier_.take(); }

  // Exactly one finding of `kind`; returns it.
  Finding take_one(FindingKind kind) {
    auto findings = take();
    EXPECT_EQ(findings.size(), 1u);
    for (const auto &finding : findings)
      EXPECT_EQ(finding.kind, kind) << kernel::to_string(finding);
    return findings.empty() ? Finding{kind, "", ""} : findings.front();
  }

  Verifier verifier_;
  std::unique_ptr<Pool> pool_;
};

INSTANTIATE_TEST_SUITE_P(Pool, PoolTest, ::testing::Values(true, false),
                         [](const auto &info) {
                           return info.param ? "Arena" : "Malloc";
                         });

// Reuse and what follows from it, which malloc decides for the other pool.
class ArenaPoolTest : public PoolTest {};

INSTANTIATE_TEST_SUITE_P(Pool, ArenaPoolTest, ::testing::Values(true),
                         [](const auto &) { return "Arena"; });

// --- Blocks -----------------------------------------------------------------

TEST_P(PoolTest, BlocksAreAlignedDistinctAndUnzeroed) {
  std::vector<void *> blocks;
  std::set<void *> distinct;
  for (std::size_t size : {1, 1, 7, 15, 16, 17, 100, 1000, 4096, 70000}) {
    auto *block = static_cast<unsigned char *>(allocate(size));
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u) << size;
    EXPECT_TRUE(distinct.insert(block).second) << size;
    for (std::size_t i = 0; i < size; ++i)
      ASSERT_EQ(block[i], 0xCD) << "byte " << i << " of " << size;
    EXPECT_EQ(pool().size_of(block), size);
    EXPECT_EQ(pool().tag_of(block), kTag);
    EXPECT_TRUE(pool().owns(block));
    blocks.push_back(block);
  }
  for (void *block : blocks)
    release(block);
  EXPECT_EQ(pool().outstanding(), 0u);
}

// What Driver Verifier refuses in a request. Zero bytes and tag 0 still
// get a block of their own, as on Windows; an undefined type gets none.
TEST_P(PoolTest, BadRequestsAreFound) {
  void *first = allocate(0);
  EXPECT_EQ(take_one(FindingKind::PoolBadRequest).message,
            "allocation of 0 bytes of NonPagedPoolNx with tag 'Tlvr' at "
            "PASSIVE_LEVEL; zero bytes may not be allocated");
  void *second = allocate(0);
  take_one(FindingKind::PoolBadRequest);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(pool().size_of(first), 0u);

  void *untagged = allocate(8, 0);
  EXPECT_EQ(take_one(FindingKind::PoolBadRequest).message,
            "allocation of 8 bytes of NonPagedPoolNx with tag "
            "'\\x00\\x00\\x00\\x00' at PASSIVE_LEVEL; 0 is not a pool tag");
  EXPECT_NE(untagged, nullptr);

  for (int type : {3, 6, 7, 8, 32, 516, -1}) {
    EXPECT_EQ(allocate(8, kTag, static_cast<POOL_TYPE>(type)), nullptr);
    EXPECT_EQ(take_one(FindingKind::PoolBadRequest).message,
              "allocation of 8 bytes of pool type " + std::to_string(type) +
                  " with tag 'Tlvr' at PASSIVE_LEVEL; the pool type is not "
                  "defined");
  }
  // Each fault of a request is its own finding.
  EXPECT_EQ(allocate(0, 0, static_cast<POOL_TYPE>(3)), nullptr);
  auto findings = take();
  ASSERT_EQ(findings.size(), 3u);
  for (const auto &finding : findings)
    EXPECT_EQ(finding.kind, FindingKind::PoolBadRequest);
  // Every defined type is allocated from without a word.
  for (POOL_TYPE type :
       {NonPagedPool, PagedPool, NonPagedPoolMustSucceed,
        NonPagedPoolCacheAligned, PagedPoolCacheAligned, NonPagedPoolNx})
    release(allocate(8, kTag, type));
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(pool().stats(kTag).failed, 0u);

  release(first);
  release(second);
  release(untagged, 0);
}

TEST_P(PoolTest, FreedBlocksReadAsTheFreedPattern) {
  auto *block = static_cast<unsigned char *>(allocate(40));
  std::memset(block, 0x11, 40);
  release(block);
  EXPECT_FALSE(pool().owns(block));
  EXPECT_EQ(pool().size_of(block), std::nullopt);
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(peek(block, i), 0xDF) << "byte " << i;
}

TEST_P(PoolTest, HugeAllocationsAreRefused) {
  EXPECT_EQ(allocate(SIZE_MAX), nullptr);
  EXPECT_EQ(allocate(std::size_t{1} << 40), nullptr);
  EXPECT_EQ(pool().stats(kTag).failed, 2u);
  EXPECT_EQ(pool().stats(kTag).allocations, 0u);
}

// --- Quarantine and reuse ---------------------------------------------------

TEST_P(ArenaPoolTest, FreedMemoryIsReusedOnlyAfterTheQuarantine) {
  void *first = allocate(48);
  release(first);
  // 1024 blocks fit in the quarantine: the first one leaves it when the
  // 1024th block after it is freed, and is the next of its size handed out.
  for (int i = 1; i <= 1024; ++i) {
    void *block = allocate(48);
    ASSERT_NE(block, first) << "reused after " << i << " frees";
    release(block);
  }
  EXPECT_EQ(allocate(48), first);
  release(first);
}

TEST_P(ArenaPoolTest, QuarantineIsBoundedByBytes) {
  constexpr std::size_t kMiB = 1 << 20;
  void *first = allocate(kMiB);
  release(first);
  int frees = 1;
  void *block = nullptr;
  while ((block = allocate(kMiB)) != first && frees < 100) {
    release(block);
    ++frees;
  }
  EXPECT_EQ(block, first);
  EXPECT_LE(frees, 17); // 16 MiB of quarantine, give or take a header
  release(block);
}

TEST_P(PoolTest, LongRunsStayBounded) {
  // Mixed sizes, at most 64 blocks live: the chunks the pool ever hands out
  // are bounded by the quarantine plus the live set, not by the run's length.
  std::vector<void *> live;
  std::set<void *> addresses;
  std::uint64_t state = 42;
  const auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (int i = 0; i < 20000; ++i) {
    if (live.size() < 64 && (next() % 2 == 0 || live.empty())) {
      void *block = allocate(next() % 600 + 1);
      ASSERT_NE(block, nullptr);
      live.push_back(block);
      addresses.insert(block);
    } else {
      auto at =
          live.begin() + static_cast<std::ptrdiff_t>(next() % live.size());
      release(*at);
      live.erase(at);
    }
  }
  for (void *block : live)
    release(block);
  if (deterministic()) {
    EXPECT_LT(addresses.size(), 4000u);
  }
  EXPECT_EQ(pool().outstanding(), 0u);
}

// --- Deterministic addresses ------------------------------------------------

std::vector<std::uintptr_t> scripted_addresses(Pool &pool) {
  std::vector<std::uintptr_t> addresses;
  std::vector<void *> live;
  for (int i = 0; i < 3000; ++i) {
    void *block =
        pool.allocate(i % 3 ? NonPagedPoolNx : PagedPool,
                      static_cast<std::size_t>(i * 37 % 900 + 1),
                      i % 2 ? kTag : kOtherTag, PASSIVE_LEVEL, nullptr);
    addresses.push_back(reinterpret_cast<std::uintptr_t>(block));
    live.push_back(block);
    if (i % 5 != 4) {
      pool.free(live[static_cast<std::size_t>(i * 7) % live.size()], {},
                PASSIVE_LEVEL, nullptr);
      live.erase(live.begin() + (i * 7) % static_cast<int>(live.size()));
    }
  }
  for (void *block : live)
    pool.free(block, {}, PASSIVE_LEVEL, nullptr);
  return addresses;
}

TEST(PoolArena, SameCallsGiveTheSameAddressesInEveryPool) {
  Verifier verifier;
  std::vector<std::uintptr_t> first, second;
  {
    Pool pool(verifier, true);
    first = scripted_addresses(pool);
  }
  {
    Pool pool(verifier, true);
    second = scripted_addresses(pool);
  }
  EXPECT_EQ(first, second);
  EXPECT_TRUE(verifier.empty());
  // The arena sits at its fixed address, so runs in other processes agree.
  EXPECT_EQ(first.front(), 0x300000000040u);
}

TEST(PoolArena, PoolsAliveTogetherEachGetAFixedArena) {
  Verifier verifier;
  Pool one(verifier, true);
  Pool two(verifier, true);
  void *a = one.allocate(NonPagedPoolNx, 8, kTag, PASSIVE_LEVEL, nullptr);
  void *b = two.allocate(NonPagedPoolNx, 8, kTag, PASSIVE_LEVEL, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a), 0x300000000040u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b), 0x300100000040u);
  EXPECT_FALSE(two.owns(a));
  one.free(a, kTag, PASSIVE_LEVEL, nullptr);
  two.free(b, kTag, PASSIVE_LEVEL, nullptr);
  EXPECT_TRUE(verifier.empty());
}

// --- Findings on planted bugs -----------------------------------------------

TEST_P(PoolTest, DoubleFreeIsFoundAndHarmless) {
  void *block = allocate(24);
  release(block);
  release(block);
  auto finding = take_one(FindingKind::PoolDoubleFree);
  EXPECT_TRUE(contains(finding.message, "'Tlvr'")) << finding.message;
  EXPECT_TRUE(contains(finding.message, "24-byte")) << finding.message;
  EXPECT_TRUE(contains(finding.message, "quarantine")) << finding.message;
  EXPECT_EQ(pool().stats(kTag).frees, 1u);
  EXPECT_EQ(pool().outstanding(), 0u);
  // The pool still works, and the block is not handed out twice.
  void *a = allocate(24);
  void *b = allocate(24);
  EXPECT_NE(a, b);
  release(a);
  release(b);
}

TEST_P(ArenaPoolTest, DoubleFreeAfterTheQuarantineIsFound) {
  void *block = allocate(24);
  release(block);
  for (int i = 0; i < 1100; ++i)
    release(allocate(4000)); // another size class: the block is not reused
  release(block);
  auto finding = take_one(FindingKind::PoolDoubleFree);
  EXPECT_TRUE(contains(finding.message, "left the quarantine"))
      << finding.message;
}

TEST_P(PoolTest, FreeOfAnUnknownPointerIsFoundAndHarmless) {
  void *block = allocate(64);
  int on_stack = 0;
  release(&on_stack);
  release(static_cast<char *>(block) + 16);
  release(reinterpret_cast<void *>(0x10)); // never dereferenced
  auto findings = take();
  ASSERT_EQ(findings.size(), 3u);
  for (const auto &finding : findings)
    EXPECT_EQ(finding.kind, FindingKind::PoolUnknownFree);
  EXPECT_TRUE(contains(findings[2].message, "0x10,")) << findings[2].message;
  EXPECT_TRUE(pool().owns(block));
  release(block);
}

TEST_P(PoolTest, FreeOfNullIsAnUnknownFree) {
  release(nullptr);
  auto finding = take_one(FindingKind::PoolUnknownFree);
  EXPECT_TRUE(contains(finding.message, "null")) << finding.message;
}

TEST_P(PoolTest, TagMismatchIsFoundAndTheBlockFreed) {
  void *block = allocate(10);
  release(block, kOtherTag);
  auto finding = take_one(FindingKind::PoolTagMismatch);
  EXPECT_TRUE(contains(finding.message, "'Othr'")) << finding.message;
  EXPECT_TRUE(contains(finding.message, "'Tlvr'")) << finding.message;
  EXPECT_FALSE(pool().owns(block));
  EXPECT_EQ(pool().stats(kTag).frees, 1u);
  // ExFreePool names no tag: nothing to mismatch.
  release(allocate(10), std::nullopt);
}

TEST_P(PoolTest, OverrunByOneByteIsFoundOnFree) {
  auto *block = static_cast<unsigned char *>(allocate(24));
  poke(block, 24, 0);
  release(block);
  auto finding = take_one(FindingKind::PoolCorruption);
  EXPECT_TRUE(
      contains(finding.message, "overrun wrote byte 24 (0 past the end)"))
      << finding.message;
  EXPECT_TRUE(contains(finding.message, "'Tlvr'")) << finding.message;
  EXPECT_FALSE(pool().owns(block));
}

TEST_P(PoolTest, OverrunIntoAlignmentSlackIsFound) {
  auto *block = static_cast<unsigned char *>(allocate(1));
  poke(block, 5, 0xCD);
  release(block);
  auto finding = take_one(FindingKind::PoolCorruption);
  EXPECT_TRUE(contains(finding.message, "byte 5 (4 past the end)"))
      << finding.message;
}

TEST_P(PoolTest, UnderrunDamagesTheHeader) {
  auto *block = static_cast<unsigned char *>(allocate(32));
  poke(block, -1, 0);
  release(block);
  auto finding = take_one(FindingKind::PoolCorruption);
  EXPECT_TRUE(contains(finding.message, "header")) << finding.message;
}

TEST_P(PoolTest, CheckLeaksFindsOverrunsOfLiveBlocks) {
  auto *block = static_cast<unsigned char *>(allocate(100));
  poke(block, 100, 0);
  pool().check_leaks();
  auto findings = take();
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].kind, FindingKind::PoolCorruption);
  EXPECT_EQ(findings[1].kind, FindingKind::PoolLeak);
  poke(block, 100, 0xFD); // repaired
  release(block);
}

TEST_P(PoolTest, WriteAfterFreeIsFoundAtTheByteWritten) {
  for (std::ptrdiff_t at : {0, 7, 8, 45, 99}) {
    auto *block = static_cast<unsigned char *>(allocate(100));
    release(block);
    poke(block, at, 0x42);
    pool().check_leaks();
    auto finding = take_one(FindingKind::PoolCorruption);
    EXPECT_TRUE(contains(finding.message, "written after its free (byte " +
                                              std::to_string(at) + ")"))
        << finding.message;
    poke(block, at, 0xDF); // the freed fill back
  }
}

TEST_P(PoolTest, LeaksAreReportedPerTagWithTheFirstSite) {
  void *first = allocate_and_forget(pool(), 10);
  void *second = allocate_and_forget(pool(), 20);
  void *other = allocate(5, kOtherTag);
  release(allocate(7)); // not a leak
  pool().check_leaks();
  auto findings = take();
  ASSERT_EQ(findings.size(), 2u);
  // In allocation order of each tag's first leaked block.
  EXPECT_EQ(findings[0].kind, FindingKind::PoolLeak);
  EXPECT_TRUE(contains(findings[0].message, "tag 'Leak': 2 blocks (30 bytes)"))
      << findings[0].message;
  EXPECT_TRUE(contains(findings[0].site, "allocate_and_forget"))
      << findings[0].site;
  EXPECT_TRUE(contains(findings[1].message, "tag 'Othr': 1 block (5 bytes)"))
      << findings[1].message;
  release(first, std::nullopt);
  release(second, std::nullopt);
  release(other, std::nullopt);
  pool().check_leaks();
}

TEST_P(PoolTest, UnprintableTagsAreEscaped) {
  void *block = allocate(1, 0x00415A01);
  pool().check_leaks();
  auto finding = take_one(FindingKind::PoolLeak);
  EXPECT_TRUE(contains(finding.message, "'\\x01ZA\\x00'")) << finding.message;
  release(block, std::nullopt);
}

TEST_P(PoolTest, RaisedIrqlIsFound) {
  void *nonpaged = allocate(8, kTag, NonPagedPoolNx, DISPATCH_LEVEL);
  void *paged = allocate(8, kTag, PagedPool, APC_LEVEL);
  EXPECT_TRUE(take().empty());

  void *paged_at_dispatch = allocate(8, kTag, PagedPool, DISPATCH_LEVEL);
  auto finding = take_one(FindingKind::PoolAtRaisedIrql);
  EXPECT_TRUE(contains(finding.message, "PagedPool")) << finding.message;
  EXPECT_TRUE(contains(finding.message, "DISPATCH_LEVEL")) << finding.message;
  EXPECT_NE(paged_at_dispatch, nullptr); // found, not refused

  void *at_high = allocate(8, kTag, NonPagedPoolNx, HIGH_LEVEL);
  take_one(FindingKind::PoolAtRaisedIrql);

  release(nonpaged, kTag, DISPATCH_LEVEL);
  EXPECT_TRUE(take().empty());
  release(paged, kTag, DISPATCH_LEVEL);
  take_one(FindingKind::PoolAtRaisedIrql);
  release(at_high, kTag, HIGH_LEVEL);
  take_one(FindingKind::PoolAtRaisedIrql);
  release(paged_at_dispatch, kTag, PASSIVE_LEVEL);
}

// --- Fault injection --------------------------------------------------------

TEST_P(PoolTest, FailTagRefusesOnlyThatTag) {
  pool().fail_tag(kOtherTag);
  EXPECT_EQ(allocate(8, kOtherTag), nullptr);
  EXPECT_EQ(allocate(8, kOtherTag), nullptr);
  void *block = allocate(8, kTag);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(pool().stats(kOtherTag).failed, 2u);
  EXPECT_EQ(pool().stats(kOtherTag).allocations, 0u);
  EXPECT_EQ(pool().stats(kTag).failed, 0u);
  pool().clear_faults();
  void *other = allocate(8, kOtherTag);
  EXPECT_NE(other, nullptr);
  release(block);
  release(other, kOtherTag);
}

TEST_P(PoolTest, FailTagWithoutATagRefusesEverything) {
  pool().fail_tag(std::nullopt);
  EXPECT_EQ(allocate(8, kTag), nullptr);
  EXPECT_EQ(allocate(1, kOtherTag), nullptr);
  // Windows stops rather than fail a must-succeed allocation.
  void *must = allocate(8, kTag, NonPagedPoolMustSucceed);
  EXPECT_NE(must, nullptr);
  release(must);
}

TEST_P(PoolTest, FailNthCountsEveryTagOrOne) {
  pool().fail_nth(3);
  std::vector<bool> refused;
  for (int i = 0; i < 5; ++i) {
    void *block = allocate(8, i % 2 ? kTag : kOtherTag);
    refused.push_back(block == nullptr);
    if (block)
      release(block, std::nullopt);
  }
  EXPECT_EQ(refused, (std::vector<bool>{false, false, true, false, false}));
  pool().clear_faults();

  // Counted from when the rule is set, over allocations with the tag only.
  pool().fail_nth(2, kTag);
  refused.clear();
  for (int i = 0; i < 6; ++i) {
    void *block = allocate(8, i < 3 ? kOtherTag : kTag);
    refused.push_back(block == nullptr);
    if (block)
      release(block, std::nullopt);
  }
  EXPECT_EQ(refused,
            (std::vector<bool>{false, false, false, false, true, false}));
  EXPECT_EQ(pool().stats(kTag).failed, 1u);
}

std::vector<bool> random_refusals(bool deterministic, std::uint64_t seed,
                                  std::optional<ULONG> tag) {
  Verifier verifier;
  Pool pool(verifier, deterministic);
  pool.fail_random(seed, 0.25, tag);
  std::vector<bool> refused;
  for (int i = 0; i < 400; ++i) {
    void *block = pool.allocate(NonPagedPoolNx, 16, i % 3 ? kTag : kOtherTag,
                                PASSIVE_LEVEL, nullptr);
    refused.push_back(block == nullptr);
    if (block)
      pool.free(block, {}, PASSIVE_LEVEL, nullptr);
  }
  return refused;
}

TEST_P(PoolTest, FailRandomRepeatsWithTheSameSeed) {
  auto first = random_refusals(deterministic(), 7, std::nullopt);
  EXPECT_EQ(first, random_refusals(deterministic(), 7, std::nullopt));
  EXPECT_NE(first, random_refusals(deterministic(), 8, std::nullopt));
  auto count = std::count(first.begin(), first.end(), true);
  EXPECT_GT(count, 60); // about 100 of 400
  EXPECT_LT(count, 140);

  auto tagged = random_refusals(deterministic(), 7, kOtherTag);
  for (std::size_t i = 0; i < tagged.size(); ++i) {
    if (i % 3) {
      EXPECT_FALSE(tagged[i]) << i;
    }
  }
  EXPECT_GT(std::count(tagged.begin(), tagged.end(), true), 10);
}

// --- Accounting -------------------------------------------------------------

TEST_P(PoolTest, StatsFollowEachTag) {
  void *a = allocate(100);
  void *b = allocate(50);
  void *c = allocate(7, kOtherTag);
  release(a);
  void *d = allocate(10);

  auto stats = pool().stats(kTag);
  EXPECT_EQ(stats.tag, kTag);
  EXPECT_EQ(stats.allocations, 3u);
  EXPECT_EQ(stats.frees, 1u);
  EXPECT_EQ(stats.outstanding, 2u);
  EXPECT_EQ(stats.outstanding_bytes, 60u);
  EXPECT_EQ(stats.peak_bytes, 150u);
  EXPECT_EQ(pool().outstanding(), 3u);

  auto all = pool().all_stats();
  ASSERT_EQ(all.size(), 2u);
  for (const auto &entry : all)
    EXPECT_TRUE(entry.tag == kTag || entry.tag == kOtherTag);

  auto none = pool().stats(make_pool_tag("Zzzz"));
  EXPECT_EQ(none.tag, make_pool_tag("Zzzz"));
  EXPECT_EQ(none.allocations, 0u);

  release(b);
  release(c, kOtherTag);
  release(d);
  EXPECT_EQ(pool().stats(kTag).outstanding_bytes, 0u);
  EXPECT_EQ(pool().outstanding(), 0u);
}

TEST_P(PoolTest, ConcurrentCallersKeepTheBooksStraight) {
  // Under the simulation clock only one thread runs at a time; real-time
  // kernels call the pool from many threads at once.
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  pool(); // made once, before the threads race to use it
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      std::vector<void *> mine;
      for (int i = 0; i < kRounds; ++i) {
        mine.push_back(allocate(static_cast<std::size_t>(i % 200 + 1)));
        if (i % 3 != 0) {
          release(mine.back());
          mine.pop_back();
        }
      }
      for (void *block : mine)
        release(block);
    });
  for (auto &thread : threads)
    thread.join();
  auto stats = pool().stats(kTag);
  EXPECT_EQ(stats.allocations, std::uint64_t{kThreads} * kRounds);
  EXPECT_EQ(stats.frees, stats.allocations);
  EXPECT_EQ(pool().outstanding(), 0u);
}

// --- AddressSanitizer -------------------------------------------------------

#ifdef TALVOR_TEST_ASAN
TEST_P(PoolTest, AsanSeesGuardsHeadersAndFreedBlocks) {
  auto *block = static_cast<unsigned char *>(allocate(13));
  EXPECT_FALSE(__asan_address_is_poisoned(block));
  EXPECT_FALSE(__asan_address_is_poisoned(block + 12));
  EXPECT_TRUE(__asan_address_is_poisoned(block + 13));
  EXPECT_TRUE(__asan_address_is_poisoned(block - 1));
  release(block);
  EXPECT_TRUE(__asan_address_is_poisoned(block));
}

TEST_P(PoolTest, AsanCatchesAnOverrunWhenItHappens) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto *block = static_cast<volatile unsigned char *>(allocate(16));
  EXPECT_DEATH(block[16] = 1, "AddressSanitizer");
  release(const_cast<unsigned char *>(block));
}
#endif

// ---------------------------------------------------------------------------
// The WDM routines, on a kernel under the simulation clock.

class PoolRoutines : public SimTest {};

// Driver-like routines with names, for findings to name. The empty asm keeps
// each call out of tail position: a tail call would hand the pool the
// caller's return address instead.
[[gnu::noinline]] void free_with_the_wrong_tag(void *block) {
  ExFreePoolWithTag(block, kOtherTag);
  asm volatile("" ::: "memory");
}

[[gnu::noinline]] void free_untagged(void *block) {
  ExFreePool(block);
  asm volatile("" ::: "memory");
}

[[gnu::noinline]] void *allocate_and_lose() {
  void *block =
      ExAllocatePoolWithTag(NonPagedPoolNx, 12, make_pool_tag("Lost"));
  asm volatile("" ::: "memory");
  return block;
}

TEST_F(PoolRoutines, AllocateAndFreeWithTag) {
  run([&] {
    auto *block = static_cast<unsigned char *>(
        ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], 0xCD);
    EXPECT_EQ(kernel().pool().tag_of(block), kTag);
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(kernel().pool().stats(kTag).frees, 1u);
  });
}

TEST_F(PoolRoutines, ExAllocatePoolTagsNone) {
  run([&] {
    void *block = ExAllocatePool(PagedPool, 8);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(kernel().pool().tag_of(block), make_pool_tag("None"));
    ExFreePool(block);
  });
}

TEST_F(PoolRoutines, FindingsNameTheCallingRoutine) {
  run([&] {
    void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    free_with_the_wrong_tag(block);
    free_untagged(block);
  });
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].kind, FindingKind::PoolTagMismatch);
  EXPECT_TRUE(contains(findings[0].site, "free_with_the_wrong_tag"))
      << findings[0].site;
  EXPECT_EQ(findings[1].kind, FindingKind::PoolDoubleFree);
  EXPECT_TRUE(contains(findings[1].site, "free_untagged")) << findings[1].site;
  EXPECT_TRUE(contains(findings[1].message, "free_with_the_wrong_tag"))
      << findings[1].message;
}

[[gnu::noinline]] void *allocate_nothing() {
  void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag);
  asm volatile("" ::: "memory");
  return block;
}

[[gnu::noinline]] void *allocate_from_no_pool() {
  void *block = ExAllocatePool(static_cast<POOL_TYPE>(3), 8);
  asm volatile("" ::: "memory");
  return block;
}

TEST_F(PoolRoutines, BadRequestsNameTheCallingRoutine) {
  void *nothing = nullptr;
  run([&] {
    nothing = allocate_nothing();
    EXPECT_EQ(allocate_from_no_pool(), nullptr);
  });
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].kind, FindingKind::PoolBadRequest);
  EXPECT_TRUE(contains(findings[0].site, "allocate_nothing"))
      << findings[0].site;
  EXPECT_EQ(findings[1].kind, FindingKind::PoolBadRequest);
  EXPECT_TRUE(contains(findings[1].message, "with tag 'None'"))
      << findings[1].message;
  EXPECT_TRUE(contains(findings[1].site, "allocate_from_no_pool"))
      << findings[1].site;
  ASSERT_NE(nothing, nullptr);
  kernel().pool().free(nothing, kTag, PASSIVE_LEVEL, nullptr);
}

TEST_F(PoolRoutines, PagedPoolAtDispatchLevelIsFound) {
  run([&] {
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    void *block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    KeLowerIrql(old_irql);
    ExFreePoolWithTag(block, kTag);
  });
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, FindingKind::PoolAtRaisedIrql);
}

TEST_F(PoolRoutines, LeakIsATeardownFinding) {
  void *lost = nullptr;
  run([&] { lost = allocate_and_lose(); });
  kernel().check_teardown();
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, FindingKind::PoolLeak);
  EXPECT_TRUE(contains(findings[0].message, "'Lost': 1 block (12 bytes)"))
      << findings[0].message;
  EXPECT_TRUE(contains(findings[0].site, "allocate_and_lose"))
      << findings[0].site;
  // The fixture checks the teardown once more.
  kernel().pool().free(lost, {}, PASSIVE_LEVEL, nullptr);
}

TEST_F(PoolRoutines, AddressesRepeatFromKernelToKernel) {
  const auto addresses = [&] {
    std::vector<void *> blocks;
    run([&] {
      for (int i = 0; i < 50; ++i)
        blocks.push_back(
            ExAllocatePoolWithTag(NonPagedPoolNx, i * 3 + 1, kTag));
      for (void *block : blocks)
        ExFreePoolWithTag(block, kTag);
    });
    return blocks;
  };
  auto first = addresses();
  start(default_seed());
  EXPECT_EQ(first, addresses());
}

TEST_F(PoolRoutines, FaultInjectionReachesTheDriver) {
  kernel().pool().fail_nth(2, kTag);
  run([&] {
    void *first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void *second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    ExFreePoolWithTag(first, kTag);
  });
}

} // namespace talvor::test
