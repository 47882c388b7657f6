// A run's latencies summed up in constant memory: exact while few, close
// estimates of the median and 99th percentile however many come.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "host/core/value_summary.h"

TEST(ValueSummary, FewValuesGiveExactQuantilesNegativeOnesIncluded) {
    ValueSummary summary;
    EXPECT_EQ(summary.Now().count, 0u);
    for (double v : {-3.0, 10.0, 1.0, 4.0}) summary.Add(v);
    const Spread s = summary.Now();
    EXPECT_EQ(s.count, 4u);
    EXPECT_EQ(s.min, -3.0);
    EXPECT_EQ(s.max, 10.0);
    EXPECT_EQ(s.mean, 3.0);
    EXPECT_EQ(s.median, 2.5);  // between 1 and 4
}

TEST(ValueSummary, ManyValuesKeepExactEndsAndCloseQuantiles) {
    ValueSummary summary;
    std::mt19937 random(7);
    std::normal_distribution<double> answer(40.0, 2.0);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<double> all;
    for (int i = 0; i < 200000; ++i) {
        // One answer in fifty waits out a timeout.
        const double v = chance(random) < 0.02 ? 1000.0 + answer(random) : answer(random);
        summary.Add(v);
        all.push_back(v);
    }
    std::sort(all.begin(), all.end());
    const Spread s = summary.Now();
    EXPECT_EQ(s.min, all.front());
    EXPECT_EQ(s.max, all.back());
    EXPECT_NEAR(s.median, all[all.size() / 2], 0.02 * all[all.size() / 2]);
    EXPECT_NEAR(s.p99, all[all.size() * 99 / 100], 0.02 * all[all.size() * 99 / 100]);
}
