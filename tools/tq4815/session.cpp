// Card configuration and library access shared by the subcommands.
#include "session.h"

#include <tq_machine_host.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <vector>

#include "acquisition_data.h"
#include "error_text.h"

namespace tool {
namespace {

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

void ParseRange(const std::string &text, const std::string &what, CardSetup &setup)
{
    auto colon = text.find(':');
    if (colon == std::string::npos)
        throw UsageError{what + ": expected MIN:MAX, got '" + text + "'"};
    double low = ParseReal(text.substr(0, colon), what, -1000, 1000);
    double high = ParseReal(text.substr(colon + 1), what, -1000, 1000);
    if (!(low < high))
        throw UsageError{what + ": MIN must be below MAX"};
    setup.rangeMin = low;
    setup.rangeMax = high;
}

}  // namespace

CardSetup PrepareCard(const CardOptions &opts, const char *fallback, const char *wiring)
{
    if (opts.sim)
        setenv("TQ4815_SIM", opts.sim->c_str(), 1);
    else if (!std::getenv("TQ4815_SIM") && fallback && !tqhost::HostServesThisProcess())  // a host's card stays
        setenv("TQ4815_SIM", fallback, 1);
    if (wiring) {
        // Later items win: the wiring is added on top of what the user configured.
        const char *user = std::getenv("TQ4815_SIM");
        std::string config = user && *user ? std::string(user) + ";" + wiring : std::string(wiring);
        setenv("TQ4815_SIM", config.c_str(), 1);
    }

    // The card's range and gains, as its configuration states them; the library itself
    // knows neither, so the tool reads them where the user put them.
    CardSetup setup;
    if (const char *config = std::getenv("TQ4815_SIM")) {
        for (const std::string &item : Split(config, ';')) {
            auto eq = item.find('=');
            if (eq == std::string::npos)
                continue;  // the card refuses malformed items itself, with its own message
            std::string key = item.substr(0, eq), value = item.substr(eq + 1);
            if (key == "range") {
                ParseRange(value, "TQ4815_SIM range", setup);
            } else if (key == "gains") {
                auto gains = Split(value, ',');
                if (gains.size() == 4)
                    for (size_t i = 0; i < 4; ++i)
                        setup.gainFactors[i] = ParseReal(gains[i], "TQ4815_SIM gains", 1e-6, 1e6);
            }
        }
    }
    if (opts.range)
        ParseRange(*opts.range, "--range", setup);
    return setup;
}

Gain ResolveGain(const GainOptions &opts, const CardSetup &card, GainCodes codes)
{
    Gain gain;
    if (opts.code) {
        int high = codes == GainCodes::StartRequest ? 0xFFFF : 3;
        if (*opts.code < 0 || *opts.code > high)
            throw UsageError{"--gain-code: " + std::to_string(*opts.code) + " is outside 0…" + std::to_string(high)};
        gain.code = *opts.code;
        gain.index = codes == GainCodes::StartRequest ? GainIndexOf(static_cast<unsigned>(gain.code)) : gain.code;
    } else if (opts.factor) {
        std::string offered;
        gain.index = -1;
        for (size_t i = 0; i < card.gainFactors.size(); ++i) {
            char text[32];
            std::snprintf(text, sizeof text, "%s%g", i ? ", " : "", card.gainFactors[i]);
            offered += text;
            if (gain.index < 0 && std::fabs(card.gainFactors[i] - *opts.factor) <= 1e-9 * card.gainFactors[i])
                gain.index = static_cast<int>(i);
        }
        if (gain.index < 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", *opts.factor);
            throw UsageError{std::string("--gain ") + text + ": the card offers the factors " + offered +
                             " (--gain-code gives a raw code)"};
        }
        gain.code = codes == GainCodes::StartRequest ? kGainCodeOfIndex[static_cast<size_t>(gain.index)] : gain.index;
    }
    gain.factor = card.gainFactors[static_cast<size_t>(gain.index)];
    return gain;
}

const Tavlon &Library()
{
    return LoadTavlon();
}

int ReportFailure(const char *exportName)
{
    std::fprintf(stderr, "tq4815: %s\n", DescribeFailure(exportName, Library().GetLastADError()).c_str());
    return 1;
}

std::string UtcNow()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace tool
