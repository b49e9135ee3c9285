// The rate rule shared by the driver (timer programming) and the library (ChannelFrq).
#include "rate_split.h"

TqRateSplit RateSplit(int32_t rate)
{
    TqRateSplit split;
    if (rate == 0)
        rate = 1;
    if (rate > TqMaxRate)
        rate = TqMaxRate;
    if (rate >= TqMinTimerRate) {
        split.TimerRate = rate;
        split.SoftDivisor = 1;
    } else if (rate >= 1) {
        // Slower rates cannot be loaded into the 16-bit count; the timer runs at a whole
        // multiple of the rate instead (at most 182 Hz), whose count is then at least 32967
        // and so within 0.004 % of exact.
        split.SoftDivisor = (TqMinTimerRate + rate - 1) / rate;
        split.TimerRate = split.SoftDivisor * rate;
    } else {
        // -n: one conversion every n seconds. 100n overflows 32 bits for n above
        // 21474836 (a raw request may carry any code), so it is formed in 64 bits and
        // capped at the largest divisor instead of wrapping.
        int64_t n = -static_cast<int64_t>(rate);
        int64_t divisor = TqSlowTimerRate * n;
        split.TimerRate = TqSlowTimerRate;
        split.SoftDivisor = divisor > INT32_MAX ? INT32_MAX : static_cast<int32_t>(divisor);
    }
    return split;
}

int32_t TqTimerDivisor(int32_t timerRate)
{
    if (timerRate <= 0)
        return TqMaxTimerDivisor;
    int32_t divisor = TqTimerClockHz / timerRate;
    if (divisor > TqMaxTimerDivisor)
        divisor = TqMaxTimerDivisor;
    if (divisor < 1)
        divisor = 1;
    return divisor;
}
