// One table of error numbers for the whole tool: the library's and the driver's numbers
// share one space, so an export's failure is reported with its number and meaning.
#ifndef TQ4815_TOOL_ERROR_TEXT_H
#define TQ4815_TOOL_ERROR_TEXT_H

#include <string>

namespace tool {

// Meaning of an error number, or "unknown error" for a number nobody sets.
const char *ErrorMeaning(int code);
// "EXPORT failed: error N (meaning)".
std::string DescribeFailure(const char *exportName, int code);

}  // namespace tool

#endif
