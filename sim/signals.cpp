// Signal sources and the converter's transfer function.
#include "sim/signals.h"

#include <cmath>
#include <numbers>

namespace sim {

namespace {

// SplitMix64 finaliser: a well-mixed 64-bit hash, cheap and stateless.
std::uint64_t Mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Uniform in (0, 1], never 0 so that the logarithm below is defined.
double Uniform(std::uint64_t bits)
{
    return (static_cast<double>(bits >> 11) + 1.0) * (1.0 / 9007199254740992.0);
}

// Position within the period at time t, in [0, 1). Integer nanoseconds times a frequency in
// Hz: the whole cycles are removed in floating point on a value that stays exact enough
// for hours of virtual time.
double Phase(double hz, VTime t)
{
    double cycles = hz * (static_cast<double>(t) * 1e-9);
    double p = cycles - std::floor(cycles);
    return p >= 1.0 ? 0.0 : p;
}

}  // namespace

double NoiseDeviate(std::uint64_t seed, unsigned channel, VTime t)
{
    std::uint64_t h = Mix(Mix(seed ^ (static_cast<std::uint64_t>(channel) << 56)) ^ t);
    double u1 = Uniform(h), u2 = Uniform(Mix(h));
    // Box-Muller.
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

double SignalVolts(const SignalSpec &signal, VTime t, unsigned channel, std::uint64_t seed)
{
    const double a = signal.amplitude;
    switch (signal.kind) {
    case SignalKind::Dc:
        return signal.offset;
    case SignalKind::Sine:
        return signal.offset + a * std::sin(2.0 * std::numbers::pi * Phase(signal.frequency, t));
    case SignalKind::Square:
        return signal.offset + (Phase(signal.frequency, t) < 0.5 ? a : -a);
    case SignalKind::Triangle: {
        // Same shape as the sine: 0 at phase 0, +A at 1/4, -A at 3/4.
        double p = Phase(signal.frequency, t);
        double v = p < 0.25 ? 4.0 * p : p < 0.75 ? 2.0 - 4.0 * p : 4.0 * p - 4.0;
        return signal.offset + a * v;
    }
    case SignalKind::Sawtooth:
        // Rises from -A at phase 0 to +A at the end of the period.
        return signal.offset + a * (2.0 * Phase(signal.frequency, t) - 1.0);
    case SignalKind::Noise:
        return signal.offset + a * NoiseDeviate(seed, channel, t);
    case SignalKind::AnalogOut0:
    case SignalKind::AnalogOut1:
    case SignalKind::Count:
        return 0.0;
    }
    return 0.0;
}

std::uint16_t VoltsToCode(double volts, double min, double max)
{
    double code = std::floor((volts - min) * 4096.0 / (max - min) + 0.5);
    if (!(code >= 0.0))  // also catches NaN
        return 0;
    if (code > 4095.0)
        return 4095;
    return static_cast<std::uint16_t>(code);
}

double CodeToVolts(std::uint16_t code, double min, double max)
{
    return min + static_cast<double>(code & 0x0FFF) * (max - min) / 4096.0;
}

}  // namespace sim
