// Refusals of a malformed command line, and the number parsing the tool does itself (for
// values inside TQ4815_SIM items, which the command-line parser never sees).
#ifndef TQ4815_TOOL_OPTIONS_H
#define TQ4815_TOOL_OPTIONS_H

#include <cstdint>
#include <string>

namespace tool {

// Thrown for a malformed command line; main prints the message and exits with status 2.
struct UsageError {
    std::string message;
};

// Number parsing; throws UsageError naming `what`.
double ParseReal(const std::string &text, const std::string &what, double low, double high);

}  // namespace tool

#endif
