// tq4815: the command-line tool for the Tq4815 card, built only on the TAVLON library's
// exports (loaded at run time) and the Win32 message functions.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "options.h"
#include "subcommands.h"

namespace {

const char kUsage[] =
    "usage: tq4815 COMMAND [options]      (tq4815 COMMAND --help for each)\n"
    "  acquire    ring-mode acquisition to a CSV or NumPy file, with an optional SVG plot\n"
    "  snapshot   snapshot-mode acquisition, newest scans read at an interval\n"
    "  info       library configuration, description, card frequency, board resources\n"
    "  eeprom     dump, read or write the configuration EEPROM\n"
    "  board      digital and analog I/O, counters, polled scans, gain and channel\n"
    "  port       read or write one I/O port\n"
    "  selftest   loop-back checks on the simulated card\n"
    "The simulated card is configured with --sim 'ITEMS' or the TQ4815_SIM variable\n"
    "(for example 'ch0=count;ch1=sine:2.0:50;speed=10'); see the README.\n";

struct Command {
    const char *name;
    int (*run)(const tool::Args &);
};

const Command kCommands[] = {
    {"acquire", tool::RunAcquire}, {"snapshot", tool::RunSnapshot}, {"info", tool::RunInfo},
    {"eeprom", tool::RunEeprom},   {"board", tool::RunBoard},       {"port", tool::RunPort},
    {"selftest", tool::RunSelftest},
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    tool::Args args(argv + 2, argv + argc);
    for (const Command &command : kCommands) {
        if (std::strcmp(argv[1], command.name) != 0)
            continue;
        try {
            return command.run(args);
        } catch (const tool::UsageError &error) {
            std::fprintf(stderr, "tq4815 %s: %s\n(tq4815 %s --help shows the usage)\n", command.name,
                         error.message.c_str(), command.name);
            return 2;
        } catch (const std::exception &error) {
            std::fprintf(stderr, "tq4815 %s: %s\n", command.name, error.what());
            return 1;
        }
    }
    std::fprintf(stderr, "tq4815: unknown command '%s'\n%s", argv[1], kUsage);
    return 2;
}
