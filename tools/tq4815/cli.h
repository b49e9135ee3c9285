// The tool's command line, declared once with CLI11: the same declaration parses the
// arguments, prints --help, and is walked to write the bash completion and the man page
// (cli_docs.h). Each subcommand's values land in its own record (command_options.h).
// Only the files that parse or document the command line include CLI11 itself.
#ifndef TQ4815_TOOL_CLI_H
#define TQ4815_TOOL_CLI_H

#include "command_options.h"

namespace CLI {
class App;
}

namespace tool {

// Declares every subcommand and option of the tool on `app`, bound to `cl`.
void DeclareCommandLine(CLI::App &app, CommandLine &cl);

// The tool's version: the project's version and, when built from a git tree, its description.
const char *ToolVersion();

}  // namespace tool

#endif
