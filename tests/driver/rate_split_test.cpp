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
        {0, 92, 92},        // 0 is taken as 1
        {1, 92, 92},      {2, 92, 46},      {3, 93, 31},    {4, 92, 23},
        {5, 95, 19},      {6, 96, 16},      {7, 98, 14},    {8, 96, 12},
        {46, 92, 2},      {47, 94, 2},      {91, 182, 2},   // the smallest multiple reaching 92 Hz
        {92, 92, 1},      {1000, 1000, 1}, {100000, 100000, 1},
        {100001, 100000, 1}, {200000, 100000, 1}, {INT32_MAX, 100000, 1},  // clamp
        {-1, 100, 100},   {-3, 100, 300},   {-100, 100, 10000}, {-100000, 100, 10000000},
    };
    for (const RateRow &row : rows) {
        TqRateSplit split = RateSplit(row.rate);
        EXPECT_EQ(split.TimerRate, row.timerRate) << "rate " << row.rate;
        EXPECT_EQ(split.SoftDivisor, row.softDivisor) << "rate " << row.rate;
    }
}

// Every code below 92 runs the timer at a rate its 16-bit count can load, and divides it
// back to exactly the code: the card then steps within 0.01 % of the rate named.
TEST(RateSplit, StepRateEqualsTheCodeBelow92)
{
    for (int32_t rate = 1; rate < TqMinTimerRate; ++rate) {
        TqRateSplit split = RateSplit(rate);
        EXPECT_EQ(split.TimerRate % split.SoftDivisor, 0);
        EXPECT_EQ(split.TimerRate / split.SoftDivisor, rate);
        EXPECT_GE(split.TimerRate, TqMinTimerRate);
        EXPECT_LT(TqTimerClockHz / split.TimerRate, TqMaxTimerDivisor) << "rate " << rate;
        const double stepRate = double(TqTimerClockHz) / TqTimerDivisor(split.TimerRate) / split.SoftDivisor;
        EXPECT_NEAR(stepRate, rate, rate * 1e-4) << "rate " << rate;
    }
}

TEST(RateSplit, HugeNegativeCodesSaturateInsteadOfWrapping)
{
    TqRateSplit split = RateSplit(INT32_MIN);
    EXPECT_EQ(split.TimerRate, 100);
    EXPECT_EQ(split.SoftDivisor, INT32_MAX);
    EXPECT_EQ(RateSplit(-21474836).SoftDivisor, 2147483600);
    EXPECT_EQ(RateSplit(-21474837).SoftDivisor, INT32_MAX);
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
