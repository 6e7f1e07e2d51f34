#include "host/latency.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(LatencyTest, NearestRankPercentileOfOneToN) {
  struct Case {
    size_t count;
    unsigned percent;
    double expected;
  };
  // Values 1..count: the rank ceil(percent * count / 100) is the value itself.
  const Case cases[] = {{1, 50, 1},    {1, 99, 1},    {2, 50, 1},     {2, 99, 2},
                        {3, 50, 2},    {10, 50, 5},   {10, 99, 10},   {100, 50, 50},
                        {100, 99, 99}, {100, 100, 100}, {101, 50, 51}, {200, 99, 198},
                        {1000, 1, 10}};
  for (const Case& c : cases) {
    std::vector<double> values;
    for (size_t i = 1; i <= c.count; ++i) values.push_back(static_cast<double>(i));
    EXPECT_EQ(NearestRankPercentile(values.data(), values.size(), c.percent), c.expected)
        << "p" << c.percent << " of " << c.count;
  }
}

TEST(LatencyTest, NearestRankPercentileOfNothingIsZero) {
  EXPECT_EQ(NearestRankPercentile(nullptr, 0, 50), 0.0);
}

TEST(LatencyTest, ElapsedMsScalesCounterTicks) {
  struct Case {
    long long start, end, frequency;
    double expected;
  };
  const Case cases[] = {{0, 3000, 1000, 3000.0},
                        {100, 150, 10000000, 0.005},
                        {5, 5, 1000, 0.0},
                        {0, 10, 0, 0.0}};
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ElapsedMs(c.start, c.end, c.frequency), c.expected)
        << c.start << ".." << c.end << " at " << c.frequency;
  }
}

}  // namespace
