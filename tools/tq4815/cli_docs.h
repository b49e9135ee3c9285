// The bash completion script and the man page, written from the command-line declaration
// itself (cli.h), so that both always match what --help says.
#ifndef TQ4815_TOOL_CLI_DOCS_H
#define TQ4815_TOOL_CLI_DOCS_H

#include <CLI/CLI.hpp>

#include <ostream>

namespace tool {

void WriteBashCompletion(const CLI::App &app, std::ostream &out);
void WriteManPage(const CLI::App &app, std::ostream &out);

}  // namespace tool

#endif
