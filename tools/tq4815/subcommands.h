// The tool's subcommands. Each takes the words after its name and returns the exit status.
#ifndef TQ4815_TOOL_SUBCOMMANDS_H
#define TQ4815_TOOL_SUBCOMMANDS_H

#include <string>
#include <vector>

namespace tool {

using Args = std::vector<std::string>;

int RunAcquire(const Args &args);
int RunSnapshot(const Args &args);
int RunInfo(const Args &args);
int RunEeprom(const Args &args);
int RunBoard(const Args &args);
int RunPort(const Args &args);
int RunSelftest(const Args &args);

}  // namespace tool

#endif
