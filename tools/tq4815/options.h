// Command-line options of one subcommand: "--name value", "--name=value", bare flags, and
// positional words. Every option a subcommand does not know is an error, never ignored.
#ifndef TQ4815_TOOL_OPTIONS_H
#define TQ4815_TOOL_OPTIONS_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tool {

// Thrown for a malformed command line; main prints the message and the usage.
struct UsageError {
    std::string message;
};

class Options {
public:
    // valueOptions take a value; flagOptions do not. Throws UsageError.
    Options(const std::vector<std::string> &args, const std::set<std::string> &valueOptions,
            const std::set<std::string> &flagOptions);

    bool Has(const std::string &name) const { return values_.count(name) != 0; }
    bool Flag(const std::string &name) const { return Has(name); }
    std::optional<std::string> Text(const std::string &name) const;
    std::string Text(const std::string &name, const std::string &fallback) const;
    int64_t Integer(const std::string &name, int64_t fallback, int64_t low, int64_t high) const;
    double Real(const std::string &name, double fallback, double low, double high) const;
    const std::vector<std::string> &Positional() const { return positional_; }

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

// Number parsing shared by options and positional words ("0x" prefixes accepted).
int64_t ParseInteger(const std::string &text, const std::string &what, int64_t low, int64_t high);
double ParseReal(const std::string &text, const std::string &what, double low, double high);

}  // namespace tool

#endif
