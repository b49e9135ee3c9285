// The environment switches of the robustness runs: TQ_ROBUST_LONG=1 asks every test for
// its long version; the TQ_*_SEED and TQ_*_REQUESTS/ROUNDS/SAMPLES numbers replay or
// resize one run.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace runswitch {

// The number in environment variable `name` (decimal, or hexadecimal with 0x), or
// `fallback` when it is unset or empty.
inline uint64_t EnvNumber(const char *name, uint64_t fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? std::strtoull(value, nullptr, 0) : fallback;
}

// Whether TQ_ROBUST_LONG=1 asks for the long versions.
inline bool LongRun()
{
    const char *value = std::getenv("TQ_ROBUST_LONG");
    return value != nullptr && value[0] == '1';
}

}  // namespace runswitch
