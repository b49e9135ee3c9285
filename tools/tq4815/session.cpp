// Card configuration and library access shared by the subcommands.
#include "session.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <vector>

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

CardSetup PrepareCard(const Options &opts, const char *fallback)
{
    if (auto sim = opts.Text("sim"))
        setenv("TQ4815_SIM", sim->c_str(), 1);
    else if (!std::getenv("TQ4815_SIM") && fallback)
        setenv("TQ4815_SIM", fallback, 1);

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
    if (auto range = opts.Text("range"))
        ParseRange(*range, "--range", setup);
    return setup;
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
