// The schedule of tries to reopen an offline printer's line: 1 s doubling
// to a 60 s cap, each delay within 20% either way, from the start again
// once a try works.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "service/backoff.h"

namespace brenvikd {
namespace {

TEST(Backoff, DoublesFromOneSecondToTheCapWithinTwentyPercent) {
    // random: 0 is the earliest a delay may be, 0.5 its middle, just
    // under 1 its latest; the cap bounds the latest too.
    struct Case {
        double random;
        std::vector<int64_t> delaysMs;
    };
    const Case cases[] = {
        {0.5, {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}},
        {0.0, {800, 1600, 3200, 6400, 12800, 25600, 48000, 48000}},
        {0.999999, {1199, 2399, 4799, 9599, 19199, 38399, 60000, 60000}},
    };
    for (const Case& c : cases) {
        Backoff backoff;
        for (size_t i = 0; i < c.delaysMs.size(); ++i) {
            EXPECT_EQ(backoff.Failed(c.random), c.delaysMs[i]) << "random " << c.random << ", try " << i + 1;
        }
        EXPECT_EQ(backoff.failures(), static_cast<int>(c.delaysMs.size()));
    }
}

TEST(Backoff, StartsOverOnceATryWorks) {
    Backoff backoff;
    for (int i = 0; i < 12; ++i) backoff.Failed(0.5);
    backoff.Succeeded();
    EXPECT_EQ(backoff.failures(), 0);
    EXPECT_EQ(backoff.Failed(0.5), 1000);
    EXPECT_EQ(backoff.Failed(0.5), 2000);
}

TEST(Backoff, SpreadsPrintersThatFailedTogether) {
    // A hundred printers lost at once try again over the whole window,
    // not in one moment.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    int64_t earliest = INT64_MAX, latest = 0;
    for (int printer = 0; printer < 100; ++printer) {
        Backoff backoff;
        backoff.Failed(uniform(random));
        backoff.Failed(uniform(random));
        const int64_t third = backoff.Failed(uniform(random));
        ASSERT_GE(third, 3200);
        ASSERT_LE(third, 4800);
        earliest = std::min(earliest, third);
        latest = std::max(latest, third);
    }
    EXPECT_LT(earliest, 3500);
    EXPECT_GT(latest, 4500);
}

TEST(Backoff, KeepsAScheduleOfItsOwn) {
    Backoff backoff({50, 300, 0.0});
    std::vector<int64_t> delays;
    for (int i = 0; i < 5; ++i) delays.push_back(backoff.Failed(0.9));
    EXPECT_EQ(delays, (std::vector<int64_t>{50, 100, 200, 300, 300}));
}

}  // namespace
}  // namespace brenvikd
