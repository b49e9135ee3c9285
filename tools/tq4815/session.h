// What every subcommand that talks to the card shares: putting the simulated card's
// configuration in place before the library loads, the input range and gain factors it
// implies, the library's exports, and reporting a failed export.
#ifndef TQ4815_TOOL_SESSION_H
#define TQ4815_TOOL_SESSION_H

#include <array>
#include <optional>
#include <string>

#include "command_options.h"
#include "library_api.h"
#include "options.h"

namespace tool {

// The demo card: varied signals on the first channels, so that the defaults show something.
inline constexpr const char *kDemoSimConfig =
    "ch0=sine:2.0:2;ch1=square:1.5:1;ch2=triangle:3.0:0.5;ch3=sawtooth:1.0:1.5;ch4=count;ch5=noise:0.2";

struct CardSetup {
    double rangeMin = -5.0;
    double rangeMax = 5.0;
    std::array<double, 4> gainFactors{1, 2, 4, 8};
};

// Applies --sim (or, with none and no TQ4815_SIM in the environment, `fallback` when not
// null) to TQ4815_SIM, then appends `wiring` (items a command needs whatever the user's
// card is), and returns the range and gains it names, overridden by --range.
CardSetup PrepareCard(const CardOptions &opts, const char *fallback, const char *wiring = nullptr);

// The gain a command asked for: a factor the card offers (--gain) or a raw code
// (--gain-code). For a start request the code is the request's gain code (0-65535, the
// driver maps it to an index); for a board command it is the two-bit index itself.
struct Gain {
    int code = 0, index = 0;
    double factor = 1.0;
};
enum class GainCodes { StartRequest, BoardCommand };
Gain ResolveGain(const GainOptions &opts, const CardSetup &card, GainCodes codes);


// Loads the library (the simulated machine boots when it opens the device).
const Tavlon &Library();

// Prints "EXPORT failed: error N (meaning)" to stderr and returns exit status 1.
int ReportFailure(const char *exportName);

// Current UTC time as ISO 8601.
std::string UtcNow();

}  // namespace tool

#endif
