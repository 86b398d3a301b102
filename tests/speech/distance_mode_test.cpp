#include "speech/distance_mode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "speech/literal_pitch_tracker.h"

namespace vornix {
namespace {

double modeOf(std::vector<std::uint32_t> distances, std::uint32_t tolerance,
              std::uint32_t levelLength) {
  DistanceMode mode(16);
  return mode.find(distances, tolerance, levelLength);
}

TEST(DistanceModeTest, NeedsSupportOfTwo) {
  EXPECT_EQ(modeOf({}, 1, 40), 0.0);
  EXPECT_EQ(modeOf({10}, 1, 40), 0.0);
  // Distances that lie apart support only themselves.
  EXPECT_EQ(modeOf({10, 30, 17}, 1, 40), 0.0);
  EXPECT_EQ(modeOf({10, 10}, 0, 40), 10.0);
}

TEST(DistanceModeTest, SupportMustExceedAQuarterOfThePeriodsInTheLevel) {
  // floor(100 / 5) * 0.25 = 5: two distances are not enough support.
  EXPECT_EQ(modeOf({5, 5}, 0, 100), 0.0);
  // floor(39 / 5) * 0.25 = 1.75 < 2.
  EXPECT_EQ(modeOf({5, 5}, 0, 39), 5.0);
  // A zero distance is never a candidate (its period count is unbounded).
  EXPECT_EQ(modeOf({0, 0, 0}, 0, 40), 0.0);
}

TEST(DistanceModeTest, TieGoesOnlyToAboutTwiceTheCurrentMode) {
  // Equal support: the later distance wins when strictly inside (1.95, 2.05) x.
  EXPECT_EQ(modeOf({10, 10, 20, 20}, 0, 40), 20.0);
  EXPECT_EQ(modeOf({20, 20, 40, 40}, 0, 80), 40.0);
  EXPECT_EQ(modeOf({20, 20, 38, 38}, 0, 80), 20.0);
  EXPECT_EQ(modeOf({20, 20, 42, 42}, 0, 80), 20.0);
  EXPECT_EQ(modeOf({10, 10, 25, 25}, 0, 40), 10.0);
  // Half the current mode never replaces it.
  EXPECT_EQ(modeOf({20, 20, 10, 10}, 0, 40), 20.0);
  // Larger support wins whatever the ratio.
  EXPECT_EQ(modeOf({10, 10, 37, 37, 37}, 0, 40), 37.0);
}

TEST(DistanceModeTest, RefinesToTheMeanOfTheNeighbours) {
  EXPECT_EQ(modeOf({49, 50, 50, 51}, 1, 100), 50.0);
  // 49 comes first with support 3 and 50 only ties it, so the mode is 49 and
  // its window [48, 50] averages to 149 / 3.
  EXPECT_DOUBLE_EQ(modeOf({49, 50, 50}, 1, 100), 149.0 / 3.0);
  // Larger than the reserved table: still correct.
  EXPECT_EQ(modeOf({1000, 1002, 1001, 5}, 2, 4000), 1001.0);
}

// The counting method against the pairwise count over many random lists,
// with narrow value ranges so that ties and windows overlap often.
TEST(DistanceModeTest, MatchesThePairwiseCount) {
  std::mt19937 rng(2024);
  DistanceMode mode(64);
  std::vector<std::uint32_t> distances;
  std::vector<double> asDoubles;
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    const auto count = std::uniform_int_distribution<std::size_t>(0, 40)(rng);
    const auto low = std::uniform_int_distribution<std::uint32_t>(0, 30)(rng);
    const auto span = std::uniform_int_distribution<std::uint32_t>(0, 60)(rng);
    const auto tolerance = std::uniform_int_distribution<std::uint32_t>(0, 4)(rng);
    const auto length = std::uniform_int_distribution<std::uint32_t>(0, 400)(rng);
    std::uniform_int_distribution<std::uint32_t> value(low, low + span);
    distances.clear();
    asDoubles.clear();
    for (std::size_t i = 0; i < count; ++i) {
      distances.push_back(value(rng));
      asDoubles.push_back(distances.back());
    }
    const double expected = testing::literalModeDistance(asDoubles, tolerance, length);
    const double actual = mode.find(distances, tolerance, length);
    ASSERT_EQ(actual, expected) << "round " << round;
    if (expected != 0.0) ++found;
  }
  // The random lists must exercise the mode, not only the empty answer.
  EXPECT_GT(found, 5000);
}

}  // namespace
}  // namespace vornix
