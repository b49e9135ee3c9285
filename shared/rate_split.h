// RateSplit: the one rule that turns a rate code into the 8254 interrupt rate and the
// software divisor. The driver programs the timer with it at each start; the library's
// ChannelFrq reports the rate that results. Plain C-style code usable in kernel mode.
#ifndef TQ4815_SHARED_RATE_SPLIT_H
#define TQ4815_SHARED_RATE_SPLIT_H

#include <stdint.h>

inline constexpr int32_t TqTimerClockHz = 6000000;  // 8254 input clock
inline constexpr int32_t TqMaxRate = 100000;
inline constexpr int32_t TqMaxTimerDivisor = 0xFFFF;

struct TqRateSplit {
    int32_t TimerRate;    // interrupts per second asked of counter 0
    int32_t SoftDivisor;  // timer interrupts per conversion step
};

// Rate code → (TimerRate, SoftDivisor). 0 counts as 1; above 100000 as 100000;
// 8 and above run the timer at the rate; 1…7 run it at a multiple ≥ 8 and divide in
// software; −n runs it at 8 Hz with a divisor of 8n. Always succeeds.
TqRateSplit RateSplit(int32_t rate);

// Counter-0 divisor for a timer rate: 6 MHz / rate, at most 65535 and at least 1.
int32_t TqTimerDivisor(int32_t timerRate);

#endif
