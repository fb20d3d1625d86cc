// A test under the simulation clock: a fresh kernel per test, the body run
// as a kernel thread, and every verifier finding a test failure. Any failure
// prints the seed that replays it (tests/support/seed.cpp).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"

namespace talvor::test {

// TALVOR_SEED, when set: the seed a reported failure is replayed with.
inline std::optional<std::uint64_t> replay_seed() {
  const char *text = std::getenv("TALVOR_SEED");
  if (text == nullptr)
    return std::nullopt;
  return std::strtoull(text, nullptr, 0);
}

inline std::uint64_t default_seed() {
  return replay_seed().value_or(1);
}

// The seeds a sweep runs: 1 to `count`, or only TALVOR_SEED when it is set.
// What a sweep concludes across its seeds holds only when it ran them all.
inline std::vector<std::uint64_t> sweep(std::uint64_t count) {
  if (auto seed = replay_seed())
    return {*seed};
  std::vector<std::uint64_t> seeds;
  for (std::uint64_t seed = 1; seed <= count; ++seed)
    seeds.push_back(seed);
  return seeds;
}

class SimTest : public ::testing::Test {
protected:
  void SetUp() override { start(default_seed()); }

  void TearDown() override { finish(); }

  // Replaces the kernel with a fresh one (for seed sweeps inside one test).
  void start(std::uint64_t seed, kernel::Options options = {}) {
    kernel_.reset();
    options.seed = seed;
    kernel_ = std::make_unique<kernel::Kernel>(options);
  }

  // Teardown checks, then every unexpected finding fails the test.
  void finish() {
    if (!kernel_)
      return;
    kernel_->check_teardown();
    for (const auto &finding : kernel_->verifier().take())
      ADD_FAILURE() << kernel::to_string(finding);
    kernel_.reset();
  }

  // Runs `body` as a kernel thread; a deadlock or livelock fails the test.
  kernel::RunResult run(std::function<void()> body) {
    auto result = kernel_->run(std::move(body));
    EXPECT_TRUE(result.ok()) << result.report;
    return result;
  }

  kernel::Kernel &kernel() { return *kernel_; }

private:
  std::unique_ptr<kernel::Kernel> kernel_;
};

} // namespace talvor::test
