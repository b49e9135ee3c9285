// `tq4815 snapshot`: a snapshot-mode acquisition (one circular buffer filled without end)
// read with GetSnapshot at an interval: each read copies the newest N scans.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "acquisition_data.h"
#include "notify_window.h"
#include "session.h"
#include "subcommands.h"

namespace tool {
namespace {

const char kUsage[] =
    "usage: tq4815 snapshot [options]\n"
    "  Snapshot-mode acquisition: the card fills one circular buffer; the newest scans are\n"
    "  copied out at an interval and printed (or written to a CSV file).\n"
    "  --channels N --first-channel C --rate R --gain G   as for acquire\n"
    "  --buffer-scans S      scans in the circular buffer (default 1000)\n"
    "  --scans N             newest scans copied by each read (default 5)\n"
    "  --interval SECONDS    host time between reads (default 0.5)\n"
    "  --count K             number of reads (default 4)\n"
    "  --output FILE.csv     write the reads instead of printing them\n"
    "  --volts --range MIN:MAX --sim 'ITEMS'             as for acquire\n";

}  // namespace

int RunSnapshot(const Args &args)
{
    Options opts(args,
                 {"channels", "first-channel", "rate", "gain", "buffer-scans", "scans", "interval", "count", "output",
                  "range", "sim"},
                 {"volts", "help"});
    if (opts.Flag("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    int channels = static_cast<int>(opts.Integer("channels", 4, 1, 32));
    int firstChannel = static_cast<int>(opts.Integer("first-channel", 0, 0, 31));
    int rate = static_cast<int>(opts.Integer("rate", 4000, -100000, 100000));
    int gain = static_cast<int>(opts.Integer("gain", 0, 0, 65535));
    int bufferScans = static_cast<int>(opts.Integer("buffer-scans", 1000, 5, 1 << 20));
    int scans = static_cast<int>(opts.Integer("scans", 5, 1, bufferScans));
    double interval = opts.Real("interval", 0.5, 0.0, 3600);
    int count = static_cast<int>(opts.Integer("count", 4, 1, 1 << 30));
    bool volts = opts.Flag("volts");

    InstallInterruptHandler();
    CardSetup card = PrepareCard(opts, kDemoSimConfig);
    const Tavlon &api = Library();
    if (!api.Initial(0, 0, 0, 0))
        return ReportFailure("Initial");
    if (!api.StartSnapshot(1, bufferScans, firstChannel, channels, rate, 0, gain, 0))
        return ReportFailure("StartSnapshot");

    double gainFactor = card.gainFactors[GainIndexOf(static_cast<unsigned>(gain))];
    FILE *out = stdout;
    if (auto path = opts.Text("output")) {
        out = std::fopen(path->c_str(), "w");
        if (!out) {
            api.StopIntr();
            std::fprintf(stderr, "tq4815: cannot open %s\n", path->c_str());
            return 1;
        }
        std::fprintf(out, "# tq4815 snapshots: channels %d, rate code %d, gain code %d, channel rate %.6f Hz, start %s\n",
                     channels, rate, gain, api.ChannelFrq(channels, rate), UtcNow().c_str());
        std::fprintf(out, "read,sequence,newest_index,scan");
        for (int c = 0; c < channels; ++c)
            std::fprintf(out, ",ch%d", channels == 1 ? firstChannel : c);
        std::fputc('\n', out);
    }

    std::vector<uint16_t> reply(static_cast<size_t>(scans) * channels + 3);
    int status = 0;
    for (int k = 0; k < count && !g_interrupted.load(); ++k) {
        std::this_thread::sleep_for(std::chrono::duration<double>(interval));
        int position = 0;
        if (!api.GetSnapshot(reply.data(), scans, &position)) {
            status = ReportFailure("GetSnapshot");
            break;
        }
        if (out == stdout)
            std::fprintf(out, "read %d: pass %u, newest scan at index %d\n", k, reply[0], position);
        for (int s = 0; s < scans; ++s) {
            bool table = out != stdout;
            if (table)
                std::fprintf(out, "%d,%u,%d,%d", k, reply[0], position, s);
            else
                std::fprintf(out, "  scan %d:", s);
            for (int c = 0; c < channels; ++c) {
                uint16_t code = reply[1 + s * channels + c] & 0x0FFF;
                double value = CodeToVolts(code, card.rangeMin, card.rangeMax, gainFactor);
                if (volts && table)
                    std::fprintf(out, ",%.6f", value);
                else if (volts)
                    std::fprintf(out, " %9.5f", value);
                else
                    std::fprintf(out, table ? ",%u" : " %4u", code);
            }
            std::fputc('\n', out);
        }
    }
    if (out != stdout)
        std::fclose(out);
    if (!api.StopIntr() && status == 0)
        status = ReportFailure("StopIntr");
    return status;
}

}  // namespace tool
