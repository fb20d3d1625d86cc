// Replaying a failure: a sweep runs only TALVOR_SEED when it is set, and any
// failed assertion names the seed of its kernel (checked by the ctest
// entries that run the planted failures below).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sim.h"

namespace talvor::test {
namespace {

// Sets TALVOR_SEED (or clears it) for one scope.
class ReplaySeed {
public:
  explicit ReplaySeed(const char *value) {
    if (const char *old = std::getenv("TALVOR_SEED"))
      saved_ = old;
    if (value != nullptr)
      setenv("TALVOR_SEED", value, 1);
    else
      unsetenv("TALVOR_SEED");
  }
  ~ReplaySeed() {
    if (saved_)
      setenv("TALVOR_SEED", saved_->c_str(), 1);
    else
      unsetenv("TALVOR_SEED");
  }
  ReplaySeed(const ReplaySeed &) = delete;
  ReplaySeed &operator=(const ReplaySeed &) = delete;

private:
  std::optional<std::string> saved_;
};

TEST(Seeds, SweepRunsEverySeedOrOnlyTheOneToReplay) {
  {
    ReplaySeed none(nullptr);
    EXPECT_EQ(sweep(4), (std::vector<std::uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(default_seed(), 1u);
    EXPECT_FALSE(replay_seed());
  }
  ReplaySeed seven("7");
  EXPECT_EQ(sweep(4), (std::vector<std::uint64_t>{7}));
  EXPECT_EQ(sweep(0), (std::vector<std::uint64_t>{7}));
  EXPECT_EQ(default_seed(), 7u);
}

class PlantedFailure : public SimTest {};

// Run with TALVOR_SEED=4242: a plain expectation in a kernel thread.
TEST_F(PlantedFailure, DISABLED_PlainExpectation) {
  run([] { EXPECT_EQ(1, 2) << "planted"; });
}

// Run without TALVOR_SEED: only the failing seed of the sweep is named.
TEST_F(PlantedFailure, DISABLED_OneSeedOfASweep) {
  for (std::uint64_t seed : sweep(3)) {
    start(seed);
    run([seed] { EXPECT_NE(seed, 2u) << "planted"; });
    finish();
  }
}

} // namespace
} // namespace talvor::test
