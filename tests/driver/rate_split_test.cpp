// The rate rule shared by driver and library: rate code → (timer rate, software divisor),
// and the counter-0 divisor that a timer rate loads.
#include <gtest/gtest.h>

#include "rate_split.h"

namespace {

struct RateRow {
    int32_t rate;
    int32_t timerRate;
    int32_t softDivisor;
};

TEST(RateSplit, GivesTheTimerRateAndDivisorOfEveryRateCode)
{
    const RateRow rows[] = {
        {0, 8, 8},          // 0 is taken as 1
        {1, 8, 8},        {2, 8, 4},        {3, 9, 3},      {4, 8, 2},
        {5, 10, 2},       {6, 12, 2},       {7, 14, 2},     {8, 8, 1},
        {91, 91, 1},      {92, 92, 1},      {1000, 1000, 1}, {100000, 100000, 1},
        {100001, 100000, 1}, {200000, 100000, 1}, {INT32_MAX, 100000, 1},  // clamp
        {-1, 8, 8},       {-3, 8, 24},      {-100, 8, 800},
    };
    for (const RateRow &row : rows) {
        TqRateSplit split = RateSplit(row.rate);
        EXPECT_EQ(split.TimerRate, row.timerRate) << "rate " << row.rate;
        EXPECT_EQ(split.SoftDivisor, row.softDivisor) << "rate " << row.rate;
    }
}

TEST(RateSplit, StepRateEqualsTheCodeBelowEight)
{
    for (int32_t rate = 1; rate <= 7; ++rate) {
        TqRateSplit split = RateSplit(rate);
        EXPECT_EQ(split.TimerRate % split.SoftDivisor, 0);
        EXPECT_EQ(split.TimerRate / split.SoftDivisor, rate);
        EXPECT_GE(split.TimerRate, 8);
    }
}

TEST(RateSplit, HugeNegativeCodesSaturateInsteadOfWrapping)
{
    TqRateSplit split = RateSplit(INT32_MIN);
    EXPECT_EQ(split.TimerRate, 8);
    EXPECT_EQ(split.SoftDivisor, INT32_MAX);
    EXPECT_GT(RateSplit(-268435456).SoftDivisor, 0);
}

TEST(TimerDivisor, IsTheExactQuotientFrom92HzAndTheLargestCountBelow)
{
    const std::pair<int32_t, int32_t> rows[] = {
        {100000, 60}, {92, 65217}, {91, 65535}, {8, 65535}, {1000, 6000},
    };
    for (auto [rate, divisor] : rows)
        EXPECT_EQ(TqTimerDivisor(rate), divisor) << "timer rate " << rate;
}

}  // namespace
