// The tool's subcommands. Each takes its options as parsed and returns the exit status.
#ifndef TQ4815_TOOL_SUBCOMMANDS_H
#define TQ4815_TOOL_SUBCOMMANDS_H

#include "command_options.h"

namespace tool {

int RunAcquire(const AcquireOptions &options);
int RunSnapshot(const SnapshotOptions &options);
int RunInfo(const InfoOptions &options);
int RunEeprom(const EepromOptions &options);
int RunBoard(const BoardOptions &options);
int RunPort(const PortOptions &options);
int RunSelftest(const SelftestOptions &options);
int RunHost(const HostOptions &options);

}  // namespace tool

#endif
