// The tool's one command-line declaration.
#include <CLI/CLI.hpp>

#include "cli.h"

#include "tq4815_version.h"

namespace tool {
namespace {

void AddCardOptions(CLI::App *app, CardOptions &card, bool withRange)
{
    app->add_option("--sim", card.sim, "simulated card configuration, as TQ4815_SIM (e.g. 'ch0=count;speed=10')")
        ->type_name("ITEMS");
    if (withRange)
        app->add_option("--range", card.range, "input range in volts (default from the card, -5:5)")
            ->type_name("MIN:MAX");
}

void AddGainOptions(CLI::App *app, GainOptions &gain, const char *codeMeaning)
{
    auto *factor = app->add_option("--gain", gain.factor,
                                   "gain factor the card offers: 1, 2, 4 or 8, or as TQ4815_SIM gains= says (default 1)")
                       ->type_name("FACTOR");
    auto *code = app->add_option("--gain-code", gain.code, codeMeaning)->type_name("CODE");
    factor->excludes(code);
}

void AddJson(CLI::App *app, bool &json)
{
    app->add_flag("--json", json, "print one JSON document on standard output");
}

void DeclareAcquire(CLI::App &app, AcquireOptions &o)
{
    CLI::App *cmd = app.add_subcommand("acquire", "ring-mode acquisition to a file, a pipe, or a plot");
    cmd->footer("The format follows the output's extension (.csv, .npy, .bin/.raw) unless --format says\n"
                "otherwise; an existing file is replaced only with --force. With --output - the samples\n"
                "stream to standard output and --seconds may be omitted (run until Ctrl-C or until the\n"
                "pipe closes). Gaps (scans the driver dropped while its ring was full) are marked in\n"
                "the files: a '# gap:' comment and a jump of the CSV time column, and a 'gaps' list in\n"
                "the JSON side file.\n"
                "Exit status: 0 done, 1 an export or a write failed, 2 bad usage, 3 data were lost,\n"
                "130/143 interrupted by SIGINT/SIGTERM.");
    cmd->add_option("--channels", o.channels, "channels per scan; a scan of N >= 2 channels covers 0..N-1")
        ->check(CLI::Range(1, 32))->type_name("N")->capture_default_str();
    cmd->add_option("--first-channel", o.firstChannel, "the channel of a one-channel acquisition (default 0)")
        ->check(CLI::Range(0, 31))->type_name("C");
    cmd->add_option("--rate", o.rate, "rate code: conversions per second, or -n for one conversion every n seconds "
                                      "(n up to 100000); the card runs within 0.01% of the rate named")
        ->check(CLI::Range(-100000, 100000))->type_name("R")->capture_default_str();
    AddGainOptions(cmd, o.gain, "raw gain code of the start request, 0-65535 (the driver maps it to a factor)");
    cmd->add_option("--scans-per-buffer", o.scansPerBuffer, "scans per data buffer (default: about 10 buffers a second)")
        ->check(CLI::Range(5, 1 << 24))->type_name("S");
    cmd->add_option("--buffers", o.buffers, "buffers in the driver's ring")
        ->check(CLI::Range(1, 65535))->type_name("B")->capture_default_str();
    auto *seconds = cmd->add_option("--seconds", o.seconds, "card time to acquire (default 3; none with --output -)")
                        ->check(CLI::Range(0.0, 1e7))->type_name("T");
    auto *scans = cmd->add_option("--scans", o.scans, "number of scans to acquire (instead of --seconds)")
                      ->type_name("N");
    seconds->excludes(scans);
    cmd->add_option("--output", o.output, "write the samples to FILE, or to standard output with -")->type_name("FILE");
    cmd->add_option("--format", o.format, "file format (default from the extension; csv on standard output)")
        ->check(CLI::IsMember({"csv", "npy", "raw"}))->type_name("csv|npy|raw");
    cmd->add_flag("--volts", o.volts, "write volts instead of 12-bit codes (clipping codes 0 and 4095 become NaN)");
    cmd->add_option("--plot", o.plot, "plot every channel against time (an .svg file)")->type_name("FILE.svg");
    cmd->add_flag("--force", o.force, "replace existing output files");
    cmd->add_flag("--quiet", o.quiet, "no status line");
    AddCardOptions(cmd, o.card, true);
}

void DeclareSnapshot(CLI::App &app, SnapshotOptions &o)
{
    CLI::App *cmd = app.add_subcommand("snapshot", "snapshot-mode acquisition, newest scans read at an interval");
    cmd->add_option("--channels", o.channels, "channels per scan")->check(CLI::Range(1, 32))->type_name("N")
        ->capture_default_str();
    cmd->add_option("--first-channel", o.firstChannel, "the channel of a one-channel acquisition")
        ->check(CLI::Range(0, 31))->type_name("C")->capture_default_str();
    cmd->add_option("--rate", o.rate, "rate code, as for acquire")->check(CLI::Range(-100000, 100000))->type_name("R")
        ->capture_default_str();
    AddGainOptions(cmd, o.gain, "raw gain code of the start request, 0-65535");
    cmd->add_option("--buffer-scans", o.bufferScans, "scans in the circular buffer")->check(CLI::Range(5, 1 << 20))
        ->type_name("S")->capture_default_str();
    cmd->add_option("--scans", o.scans, "newest scans copied by each read")->check(CLI::Range(1, 1 << 20))
        ->type_name("N")->capture_default_str();
    cmd->add_option("--interval", o.interval, "host seconds between reads")->check(CLI::Range(0.0, 3600.0))
        ->type_name("SECONDS")->capture_default_str();
    cmd->add_option("--count", o.count, "number of reads")->check(CLI::Range(1, 1 << 30))->type_name("K")
        ->capture_default_str();
    cmd->add_option("--output", o.output, "write the reads to a CSV file (or - for standard output)")
        ->type_name("FILE.csv");
    cmd->add_flag("--volts", o.volts, "volts instead of 12-bit codes");
    cmd->add_flag("--force", o.force, "replace an existing output file");
    AddCardOptions(cmd, o.card, true);
}

void DeclareInfo(CLI::App &app, InfoOptions &o)
{
    CLI::App *cmd = app.add_subcommand("info", "library configuration, description, card frequency, board resources");
    cmd->add_option("--channels", o.channels, "show the per-channel rate for N channels (default 1 and 4)")
        ->check(CLI::Range(1, 32))->type_name("N");
    cmd->add_option("--rate", o.rate, "rate code for the per-channel rate")->type_name("R")->capture_default_str();
    AddJson(cmd, o.json);
    AddCardOptions(cmd, o.card, false);
}

void DeclareEeprom(CLI::App &app, EepromOptions &o)
{
    CLI::App *cmd = app.add_subcommand("eeprom", "dump, read or write the 64-word configuration EEPROM");
    cmd->footer("Words 58 and 59 hold the card frequency (IEEE single, low word first). The simulated\n"
                "card keeps EEPROM writes for the process only, unless TQ4815_SIM has eeprom=PATH.");
    cmd->require_subcommand(1);
    AddCardOptions(cmd, o.card, false);
    CLI::App *dump = cmd->add_subcommand("dump", "all 64 words")->fallthrough();
    dump->callback([&o] { o.verb = "dump"; });
    AddJson(dump, o.json);
    CLI::App *read = cmd->add_subcommand("read", "N words from word address WORD (default 1)")->fallthrough();
    read->callback([&o] { o.verb = "read"; });
    read->add_option("WORD", o.word, "word address")->required()->check(CLI::Range(0, 63));
    read->add_option("N", o.count, "number of words")->check(CLI::Range(1, 64));
    AddJson(read, o.json);
    CLI::App *write = cmd->add_subcommand("write", "write words from word address WORD")->fallthrough();
    write->callback([&o] { o.verb = "write"; });
    write->add_option("WORD", o.word, "word address")->required()->check(CLI::Range(0, 63));
    write->add_option("VALUE", o.values, "16-bit words")->required()->check(CLI::Range(0, 0xFFFF));
}

void DeclareBoard(CLI::App &app, BoardOptions &o)
{
    CLI::App *cmd = app.add_subcommand("board", "digital and analog I/O, counters, polled scans, gain and channel");
    cmd->require_subcommand(1);
    AddCardOptions(cmd, o.card, false);
    auto verb = [&](const char *name, const char *description) {
        CLI::App *sub = cmd->add_subcommand(name, description)->fallthrough();
        sub->callback([&o, name] { o.verb = name; });
        return sub;
    };
    AddJson(verb("status", "board registers, interrupt line, interrupt counts"), o.json);
    AddJson(verb("di", "read the two digital-input bytes"), o.json);
    CLI::App *dout = verb("do", "write the low (0) or high (1) digital-output byte");
    dout->add_option("WHICH", o.which, "0 low byte, 1 high byte")->required()->check(CLI::Range(0, 1));
    dout->add_option("VALUE", o.value, "byte value")->required()->check(CLI::Range(0, 255));
    CLI::App *da = verb("da", "load analog output 0 or 1 with a 12-bit code");
    da->add_option("OUTPUT", o.which, "analog output 0 or 1")->required()->check(CLI::Range(0, 1));
    da->add_option("CODE", o.value, "12-bit code")->required()->check(CLI::Range(0, 4095));
    CLI::App *counter = verb("counter", "load a counter output (mode 3 is a square wave)");
    counter->add_option("COUNTER", o.counter, "counter 1 or 2")->required()->check(CLI::Range(1, 2));
    counter->add_option("COUNT", o.count, "count 1-65536")->required()->check(CLI::Range(1, 65536));
    counter->add_option("MODE", o.mode, "8254 mode 0-5 (default 3)")->check(CLI::Range(0, 5));
    CLI::App *scan = verb("scan", "polled scan of N conversions on channels 0..N-1");
    scan->add_option("N", o.count, "conversions")->required()->check(CLI::Range(1, 32));
    AddGainOptions(scan, o.gain, "two-bit gain code of the board command, 0-3");
    AddJson(scan, o.json);
    CLI::App *gain = verb("gain", "select the gain (give --gain or --gain-code)");
    AddGainOptions(gain, o.gain, "two-bit gain code of the board command, 0-3");
    CLI::App *channel = verb("channel", "select channel C");
    channel->add_option("C", o.channel, "channel 0-31")->required()->check(CLI::Range(0, 31));
    verb("convert", "start one conversion and read its result");
}

void DeclarePort(CLI::App &app, PortOptions &o)
{
    CLI::App *cmd = app.add_subcommand("port", "read or write one absolute I/O port of the card's bridge or board ranges (the driver refuses any other, error 121; 'board status' shows the board's base)");
    cmd->require_subcommand(1);
    AddCardOptions(cmd, o.card, false);
    CLI::App *in = cmd->add_subcommand("in", "read WIDTH bits from PORT")->fallthrough();
    in->callback([&o] { o.verb = "in"; });
    CLI::App *out = cmd->add_subcommand("out", "write VALUE, WIDTH bits, to PORT")->fallthrough();
    out->callback([&o] { o.verb = "out"; });
    for (CLI::App *sub : {in, out}) {
        sub->add_option("WIDTH", o.width, "8, 16 or 32")->required()->check(CLI::IsMember({8u, 16u, 32u}));
        sub->add_option("PORT", o.port, "port number 0-0xFFFF")->required()->check(CLI::Range(0, 0xFFFF));
    }
    out->add_option("VALUE", o.value, "value to write")->required()->check(CLI::Range(uint64_t{0}, uint64_t{0xFFFFFFFF}));
}

void DeclareSelftest(CLI::App &app, SelftestOptions &o)
{
    CLI::App *cmd = app.add_subcommand("selftest", "loop-back checks on the simulated card");
    cmd->footer("Digital outputs to inputs, analog outputs to channels 0 and 1, counter loading, an\n"
                "EEPROM scratch word (restored afterwards) and a short acquisition checked against known\n"
                "signals. The loop-back wiring is added to the card that --sim or TQ4815_SIM describes.");
    AddJson(cmd, o.json);
    AddCardOptions(cmd, o.card, false);
}

void DeclareHost(CLI::App &app, HostOptions &o)
{
    CLI::App *cmd = app.add_subcommand("host", "one simulated machine shared by several programs");
    cmd->footer("Boots the simulated machine once and serves it on a Unix-domain socket until\n"
                "'tq4815 host --stop' or SIGTERM; then shuts it down through the driver's removal path.\n"
                "Every program (the tool, a TAVLON application, Python) that opens the device while a\n"
                "host listens uses the host's machine: one driver, one card, one EEPROM, as on Windows.\n"
                "A program whose TQ4815_SIM differs from the running machine's gets a new machine when\n"
                "no other program uses the running one, and shares the running one otherwise.\n"
                "The socket is TQ4815_HOST, else tq4815-host.sock in\n"
                "$XDG_RUNTIME_DIR, else in /tmp/tq4815-UID/ (mode 0700).");
    cmd->add_option("--socket", o.socket, "the socket to listen on (or to stop with --stop)")->type_name("PATH");
    cmd->add_flag("--stop", o.stop, "stop the host that listens on the socket, and wait until it has ended");
    AddCardOptions(cmd, o.card, false);
}

}  // namespace

const char *ToolVersion()
{
    return TQ4815_VERSION;
}

void DeclareCommandLine(CLI::App &app, CommandLine &cl)
{
    app.description("tq4815: acquisitions and board-level work on the Tq4815 card, through the TAVLON library.\n"
                    "The simulated card is configured with --sim 'ITEMS' or the TQ4815_SIM variable.");
    app.set_version_flag("--version", std::string("tq4815 ") + ToolVersion());
    app.require_subcommand(1);
    // Numbers like "-2" are values (a rate code), never options.
    app.allow_windows_style_options(false);
    app.add_flag("--bash-completion", cl.bashCompletion, "print the bash completion script")->group("");
    app.add_flag("--man-page", cl.manPage, "print the man page (troff)")->group("");
    DeclareAcquire(app, cl.acquire);
    DeclareSnapshot(app, cl.snapshot);
    DeclareInfo(app, cl.info);
    DeclareEeprom(app, cl.eeprom);
    DeclareBoard(app, cl.board);
    DeclarePort(app, cl.port);
    DeclareSelftest(app, cl.selftest);
    DeclareHost(app, cl.host);
}

}  // namespace tool
