// A test under the simulation clock: a fresh kernel per test, the body run
// as a kernel thread, and every verifier finding a test failure that names
// the seed to replay it with.
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"

namespace talvor::test {

// TALVOR_SEED overrides the default seed, to replay a reported failure.
inline std::uint64_t default_seed() {
  const char *text = std::getenv("TALVOR_SEED");
  return text ? std::strtoull(text, nullptr, 0) : 1;
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
      ADD_FAILURE() << kernel::to_string(finding)
                    << "\nreproduce with TALVOR_SEED=" << kernel_->seed();
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
