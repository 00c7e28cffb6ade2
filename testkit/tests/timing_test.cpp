// Summaries of measurements: the median and range, and ratios of alternated pairs.
#include "timing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SpreadOf, MedianAndRange) {
    struct Case {
        std::vector<double> values;
        double median, low, high;
    };
    const Case cases[] = {
        {{}, 0, 0, 0},
        {{2.5}, 2.5, 2.5, 2.5},
        {{3, 1, 2}, 2, 1, 3},
        {{4, 1, 3, 2}, 2.5, 1, 4},
        {{0.9, 1.1, 0.5, 1.0, 7.0}, 1.0, 0.5, 7.0},
    };
    for (const Case &c : cases) {
        const kel::Spread spread = kel::spread_of(c.values);
        EXPECT_DOUBLE_EQ(spread.median, c.median) << c.values.size() << " values";
        EXPECT_DOUBLE_EQ(spread.low, c.low) << c.values.size() << " values";
        EXPECT_DOUBLE_EQ(spread.high, c.high) << c.values.size() << " values";
    }
}

TEST(AlternatedRatios, SwapsTheOrderEveryPairAndDividesReferenceByCandidate) {
    std::string order;
    const double candidate_seconds[] = {1.0, 2.0, 4.0, 0.0};
    const double reference_seconds[] = {2.0, 1.0, 4.0, 3.0};
    int candidate_runs = 0, reference_runs = 0;
    const std::vector<double> ratios = kel::alternated_ratios(
        4,
        [&] {
            order += 'c';
            return candidate_seconds[candidate_runs++];
        },
        [&] {
            order += 'r';
            return reference_seconds[reference_runs++];
        });
    EXPECT_EQ(order, "crrccrrc");
    // A candidate that took no measurable time gives 0, not a division by zero.
    EXPECT_EQ(ratios, (std::vector<double>{2.0, 0.5, 1.0, 0.0}));
}

}  // namespace
