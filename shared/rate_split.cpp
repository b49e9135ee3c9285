// The rate rule shared by the driver (timer programming) and the library (ChannelFrq).
#include "rate_split.h"

TqRateSplit RateSplit(int32_t rate)
{
    TqRateSplit split;
    if (rate == 0)
        rate = 1;
    if (rate > TqMaxRate)
        rate = TqMaxRate;
    if (rate >= 8) {
        split.TimerRate = rate;
        split.SoftDivisor = 1;
    } else if (rate >= 1) {
        split.SoftDivisor = (rate + 7) / rate;
        split.TimerRate = split.SoftDivisor * rate;
    } else {
        // -n: one conversion every n seconds. 8n overflows 32 bits for n above
        // 268435455 (a raw request may carry any code), so it is formed in 64 bits and
        // capped at the largest divisor instead of wrapping.
        int64_t n = -static_cast<int64_t>(rate);
        int64_t divisor = 8 * n;
        split.TimerRate = 8;
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
