// What each subcommand of the tool takes, as the command line gives it (cli.h declares
// the options that fill these records).
#ifndef TQ4815_TOOL_COMMAND_OPTIONS_H
#define TQ4815_TOOL_COMMAND_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// What every subcommand that talks to the card takes.
struct CardOptions {
    std::optional<std::string> sim;    // the simulated card's configuration (as TQ4815_SIM)
    std::optional<std::string> range;  // MIN:MAX input range in volts
};

// The gain, as a factor the card offers (--gain) or as the raw code of the command's own
// request (--gain-code); at most one of the two.
struct GainOptions {
    std::optional<double> factor;
    std::optional<int> code;
};

struct AcquireOptions {
    int channels = 4;
    std::optional<int> firstChannel;
    int rate = 4000;
    GainOptions gain;
    std::optional<int> scansPerBuffer;
    int buffers = 16;
    std::optional<double> seconds;
    std::optional<uint64_t> scans;
    std::optional<std::string> output, format, plot;
    bool volts = false, quiet = false, force = false;
    CardOptions card;
};

struct SnapshotOptions {
    int channels = 4;
    int firstChannel = 0;
    int rate = 4000;
    GainOptions gain;
    int bufferScans = 1000;
    int scans = 5;
    double interval = 0.5;
    int count = 4;
    std::optional<std::string> output;
    bool volts = false, force = false;
    CardOptions card;
};

struct InfoOptions {
    std::optional<int> channels;
    int rate = 1000;
    bool json = false;
    CardOptions card;
};

struct EepromOptions {
    std::string verb;  // dump, read, write
    int word = 0;
    std::optional<int> count;
    std::vector<unsigned> values;
    bool json = false;
    CardOptions card;
};

struct BoardOptions {
    std::string verb;  // status, di, do, da, counter, scan, gain, channel, convert
    unsigned which = 0, value = 0, counter = 1, count = 0, mode = 3, channel = 0;
    GainOptions gain;
    bool json = false;
    CardOptions card;
};

struct PortOptions {
    std::string verb;  // in, out
    unsigned width = 8, port = 0;
    uint64_t value = 0;
    CardOptions card;
};

struct SelftestOptions {
    bool json = false;
    CardOptions card;
};

struct HostOptions {
    std::optional<std::string> socket;  // the socket path (default: TQ4815_HOST or the user's runtime folder)
    bool stop = false;
    CardOptions card;
};

struct CommandLine {
    AcquireOptions acquire;
    SnapshotOptions snapshot;
    InfoOptions info;
    EepromOptions eeprom;
    BoardOptions board;
    PortOptions port;
    SelftestOptions selftest;
    HostOptions host;
    bool bashCompletion = false, manPage = false;  // hidden: used by the build
};

}  // namespace tool

#endif
