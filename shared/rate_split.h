// RateSplit: the one rule that turns a rate code into the 8254 interrupt rate and the
// software divisor. The driver programs the timer with it at each start; the library's
// ChannelFrq reports the rate that results. Plain C-style code usable in kernel mode.
#ifndef TQ4815_SHARED_RATE_SPLIT_H
#define TQ4815_SHARED_RATE_SPLIT_H

#include <stdint.h>

inline constexpr int32_t TqTimerClockHz = 6000000;  // 8254 input clock
inline constexpr int32_t TqMaxRate = 100000;
inline constexpr int32_t TqMaxTimerDivisor = 0xFFFF;
// The slowest timer rate whose count fits counter 0's 16 bits: 6 MHz / 65535 is 91.55 Hz.
inline constexpr int32_t TqMinTimerRate = 92;
// The timer rate of the negative codes: 6 MHz / 100 Hz is the exact count 60000.
inline constexpr int32_t TqSlowTimerRate = 100;

struct TqRateSplit {
    int32_t TimerRate;    // interrupts per second asked of counter 0
    int32_t SoftDivisor;  // timer interrupts per conversion step
};

// Rate code → (TimerRate, SoftDivisor), so that TimerRate / SoftDivisor is the step rate
// the code names. 0 counts as 1; above 100000 as 100000. 92 and above run the timer at
// the rate; 1…91 at the smallest multiple of the rate that reaches 92 Hz, divided back in
// software; −n at 100 Hz with a divisor of 100n (one conversion every n seconds).
// Always succeeds.
TqRateSplit RateSplit(int32_t rate);

// Counter-0 divisor for a timer rate: 6 MHz / rate, at most 65535 and at least 1.
int32_t TqTimerDivisor(int32_t timerRate);

#endif
