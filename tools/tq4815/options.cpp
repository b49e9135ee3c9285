// Number parsing for values the tool reads itself.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tool {

double ParseReal(const std::string &text, const std::string &what, double low, double high)
{
    errno = 0;
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
        throw UsageError{what + ": '" + text + "' is not a number"};
    if (value < low || value > high)
        throw UsageError{what + ": " + text + " is out of range"};
    return value;
}

}  // namespace tool
