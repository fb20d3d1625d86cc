// Every failed assertion in a test binary names the seed that replays it:
// the seed of the kernel alive when it failed, once per test and seed. A
// failure outside any kernel has no seed to name.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"

namespace {

class SeedPrinter : public ::testing::EmptyTestEventListener {
public:
  void OnTestStart(const ::testing::TestInfo &) override {
    std::lock_guard guard(lock_);
    printed_.clear();
  }

  // Kernel threads report their own failures; under the simulation clock
  // only one runs at a time, under the real-time clock the lock orders them.
  void OnTestPartResult(const ::testing::TestPartResult &result) override {
    if (!result.failed())
      return;
    const talvor::kernel::Kernel *kernel = talvor::kernel::Kernel::current();
    if (kernel == nullptr)
      return;
    std::lock_guard guard(lock_);
    if (!printed_.insert(kernel->seed()).second)
      return;
    std::printf("TALVOR_SEED=%llu replays this failure\n",
                static_cast<unsigned long long>(kernel->seed()));
    std::fflush(stdout);
  }

private:
  std::mutex lock_; // guards printed_
  std::set<std::uint64_t> printed_;
};

// Before main: the listeners outlive every test, and GoogleTest owns them.
[[maybe_unused]] const bool installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new SeedPrinter);
  return true;
}();

} // namespace
