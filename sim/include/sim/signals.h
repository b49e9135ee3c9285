// The analog input signals: each channel's source as a pure function of virtual time
// (and, for noise, of the seed and channel), and the converter's transfer function from
// volts to a 12-bit offset-binary code. The `count` source has no voltage: the converter
// produces its codes itself (sim/card.h).
#ifndef TQ_SIM_SIGNALS_H
#define TQ_SIM_SIGNALS_H

#include "sim/config.h"

#include <cstdint>

namespace sim {

// Volts of a wave or noise source at time t. Analog-output loop-back and `count` are
// resolved by the card; here they read 0 V.
double SignalVolts(const SignalSpec &signal, VTime t, unsigned channel, std::uint64_t seed);

// Standard normal deviate that depends only on (seed, channel, t): the same card
// configuration sees the same noise at the same instant in every run.
double NoiseDeviate(std::uint64_t seed, unsigned channel, VTime t);

// Offset-binary code of `volts` (already multiplied by the gain) over [min, max):
// round((volts - min) * 4096 / (max - min)), clamped to 0 ... 4095.
std::uint16_t VoltsToCode(double volts, double min, double max);

// The voltage an analog output code stands for over the same range: min + code * span / 4096,
// so that VoltsToCode(CodeToVolts(c)) == c for every 12-bit code.
double CodeToVolts(std::uint16_t code, double min, double max);

}  // namespace sim

#endif
