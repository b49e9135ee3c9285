// Command-line parsing for the subcommands.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tool {

Options::Options(const std::vector<std::string> &args, const std::set<std::string> &valueOptions,
                 const std::set<std::string> &flagOptions)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            positional_.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (flagOptions.count(name)) {
            if (value)
                throw UsageError{"option --" + name + " takes no value"};
            values_[name] = "";
        } else if (valueOptions.count(name)) {
            if (!value) {
                if (i + 1 >= args.size())
                    throw UsageError{"option --" + name + " needs a value"};
                value = args[++i];
            }
            values_[name] = *value;
        } else {
            throw UsageError{"unknown option --" + name};
        }
    }
}

std::optional<std::string> Options::Text(const std::string &name) const
{
    auto it = values_.find(name);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::string Options::Text(const std::string &name, const std::string &fallback) const
{
    return Text(name).value_or(fallback);
}

int64_t Options::Integer(const std::string &name, int64_t fallback, int64_t low, int64_t high) const
{
    auto text = Text(name);
    return text ? ParseInteger(*text, "--" + name, low, high) : fallback;
}

double Options::Real(const std::string &name, double fallback, double low, double high) const
{
    auto text = Text(name);
    return text ? ParseReal(*text, "--" + name, low, high) : fallback;
}

int64_t ParseInteger(const std::string &text, const std::string &what, int64_t low, int64_t high)
{
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError{what + ": '" + text + "' is not a whole number"};
    if (value < low || value > high)
        throw UsageError{what + ": " + text + " is outside " + std::to_string(low) + "…" + std::to_string(high)};
    return value;
}

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
