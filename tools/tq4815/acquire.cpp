// `tq4815 acquire`: a ring-mode acquisition driven by the library's window messages.
// Initial → RegisterNotify (message-only window) → StartIntr → on each message QueryBuf
// and ADResult until the ring is empty → StopIntr. Lost data are detected from the
// buffers' sequence words: each buffer carries the next number, and every L scans the
// driver had to drop while the ring was full advance it by one more (L = samples a buffer).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "acquisition_data.h"
#include "error_text.h"
#include "notify_window.h"
#include "session.h"
#include "subcommands.h"
#include "svg_plot.h"

namespace tool {
namespace {

const char kUsage[] =
    "usage: tq4815 acquire [options]\n"
    "  Ring-mode acquisition on the card, written to a file.\n"
    "  --channels N          channels per scan, 1-32 (default 4); a scan of N >= 2\n"
    "                        channels covers channels 0..N-1\n"
    "  --first-channel C     the channel of a one-channel acquisition (default 0)\n"
    "  --rate R              rate code: conversions per second, 1-100000, or -n for one\n"
    "                        conversion every n seconds (n up to 100000); the card runs\n"
    "                        within 0.01% of the rate named (default 4000)\n"
    "  --gain G              gain code (default 0)\n"
    "  --scans-per-buffer S  scans per data buffer (default: about 10 buffers a second)\n"
    "  --buffers B           buffers in the ring (default 16)\n"
    "  --seconds T           card time to acquire (default 3)\n"
    "  --scans N             number of scans to acquire (instead of --seconds)\n"
    "  --output FILE         write the samples (.csv or .npy)\n"
    "  --format csv|npy      file format (default from the extension)\n"
    "  --volts               write volts instead of 12-bit codes (clipped codes 0 and\n"
    "                        4095 become NaN)\n"
    "  --range MIN:MAX       input range in volts (default from the card, -5:5)\n"
    "  --sim 'ITEMS'         simulated card configuration (as TQ4815_SIM)\n"
    "  --plot FILE.svg       plot every channel against time\n"
    "  --quiet               no status line\n"
    "Exit status: 0 done, 1 an export failed, 2 bad usage, 3 data were lost.\n";

struct Settings {
    int channels, firstChannel, rate, gain, scansPerBuffer, buffers;
    uint64_t targetScans;
    bool volts, quiet;
    std::optional<std::string> output, plot;
    FileFormat format = FileFormat::Csv;
};

class StatusLine {
public:
    explicit StatusLine(bool quiet) : quiet_(quiet), tty_(isatty(STDERR_FILENO) != 0) {}
    void Show(double elapsed, uint64_t scans, uint64_t buffersRead, unsigned waiting, uint64_t lost, bool final)
    {
        if (quiet_)
            return;
        if (!tty_ && !final && elapsed - lastPlain_ < 1.0)
            return;
        lastPlain_ = elapsed;
        double rate = elapsed > 0 ? scans / elapsed : 0;
        std::fprintf(stderr, "%s%6.1f s  %10llu scans  %9.1f scans/s  %7llu buffers read  %3u waiting  lost %llu%s",
                     tty_ ? "\r" : "", elapsed, static_cast<unsigned long long>(scans), rate,
                     static_cast<unsigned long long>(buffersRead), waiting, static_cast<unsigned long long>(lost),
                     tty_ && !final ? "" : "\n");
        std::fflush(stderr);
    }

private:
    bool quiet_, tty_;
    double lastPlain_ = -10;
};

}  // namespace

int RunAcquire(const Args &args)
{
    Options opts(args,
                 {"channels", "first-channel", "rate", "gain", "scans-per-buffer", "buffers", "seconds", "scans",
                  "output", "format", "range", "sim", "plot"},
                 {"volts", "quiet", "help"});
    if (opts.Flag("help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!opts.Positional().empty())
        throw UsageError{"acquire takes no positional arguments"};
    if (opts.Has("seconds") && opts.Has("scans"))
        throw UsageError{"give --seconds or --scans, not both"};

    Settings s{};
    s.channels = static_cast<int>(opts.Integer("channels", 4, 1, 32));
    s.firstChannel = static_cast<int>(opts.Integer("first-channel", 0, 0, 31));
    s.rate = static_cast<int>(opts.Integer("rate", 4000, -100000, 100000));
    s.gain = static_cast<int>(opts.Integer("gain", 0, 0, 65535));
    s.buffers = static_cast<int>(opts.Integer("buffers", 16, 1, 65535));
    s.volts = opts.Flag("volts");
    s.quiet = opts.Flag("quiet");
    s.output = opts.Text("output");
    s.plot = opts.Text("plot");
    if (s.output)
        s.format = FormatFor(*s.output, opts.Text("format", ""));
    else if (opts.Has("format"))
        throw UsageError{"--format needs --output"};
    if (s.channels > 1 && opts.Has("first-channel") && s.firstChannel != 0)
        std::fprintf(stderr, "tq4815: note: a scan of %d channels covers channels 0-%d; --first-channel applies "
                             "to one-channel acquisitions only\n", s.channels, s.channels - 1);

    InstallInterruptHandler();
    CardSetup card = PrepareCard(opts, kDemoSimConfig);
    const Tavlon &api = Library();

    if (!api.Initial(0, 0, 0, 0))
        return ReportFailure("Initial");
    double scanRate = api.ChannelFrq(s.channels, s.rate);  // per channel = scans per second
    double seconds = opts.Real("seconds", 3.0, 0.0, 1e7);
    s.targetScans = opts.Has("scans") ? static_cast<uint64_t>(opts.Integer("scans", 0, 1, INT64_MAX))
                                      : static_cast<uint64_t>(std::llround(seconds * scanRate));
    long defaultSpb = std::lround(scanRate / 10);
    s.scansPerBuffer = static_cast<int>(opts.Integer("scans-per-buffer", std::max(5L, std::min(defaultSpb, 100000L)),
                                                     5, 1 << 24));

    Metadata meta;
    if (s.channels == 1)
        meta.channelNumbers = {s.firstChannel};
    else
        for (int c = 0; c < s.channels; ++c)
            meta.channelNumbers.push_back(c);
    meta.firstChannel = s.firstChannel;
    meta.gainCode = s.gain;
    meta.gainIndex = GainIndexOf(static_cast<unsigned>(s.gain));
    meta.gainFactor = card.gainFactors[meta.gainIndex];
    meta.rateCode = s.rate;
    meta.channelRate = scanRate;
    meta.scansPerBuffer = s.scansPerBuffer;
    meta.buffers = s.buffers;
    meta.startTime = UtcNow();
    meta.rangeMin = card.rangeMin;
    meta.rangeMax = card.rangeMax;
    meta.volts = s.volts;

    std::unique_ptr<SampleWriter> writer;
    if (s.output)
        writer = OpenWriter(*s.output, s.format, meta);
    std::unique_ptr<PlotRecorder> plot;
    if (s.plot)
        plot = std::make_unique<PlotRecorder>(meta.channelNumbers, scanRate);

    NotifyWindow window;
    if (!api.RegisterNotify(0, window.Handle(), kDataMessage, 0, 0))
        return ReportFailure("RegisterNotify");
    int bufferBytes = api.StartIntr(s.buffers, s.scansPerBuffer, s.firstChannel, s.channels, s.rate, 0, s.gain);
    if (bufferBytes == 0) {
        api.RegisterNotify(0, nullptr, 0, 0, 0);
        return ReportFailure("StartIntr");
    }

    std::vector<uint16_t> buffer(static_cast<size_t>(bufferBytes) / 2);
    const uint64_t samplesPerBuffer = static_cast<uint64_t>(s.channels) * s.scansPerBuffer;
    uint64_t scansKept = 0, buffersRead = 0, lostScans = 0, gaps = 0;
    std::optional<uint16_t> lastSequence;
    unsigned waiting = 0;
    int failure = 0;
    const char *failedExport = nullptr;
    auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    StatusLine status(s.quiet);

    // Takes every unread buffer; false once the target is reached or a read fails.
    auto drain = [&]() -> bool {
        waiting = api.QueryBuf();
        if (waiting == 0 && api.GetLastADError() != 0) {
            failedExport = "QueryBuf";
            failure = api.GetLastADError();
            return false;
        }
        for (unsigned i = 0; i < waiting && scansKept < s.targetScans; ++i) {
            if (!api.ADResult(buffer.data())) {
                if (api.GetLastADError() == 18)
                    break;
                failedExport = "ADResult";
                failure = api.GetLastADError();
                return false;
            }
            ++buffersRead;
            uint16_t sequence = buffer[0];
            if (lastSequence && sequence != static_cast<uint16_t>(*lastSequence + 1)) {
                uint16_t jump = static_cast<uint16_t>(sequence - *lastSequence);
                lostScans += (jump - 1u) * samplesPerBuffer;
                ++gaps;
            }
            lastSequence = sequence;
            uint64_t take = std::min<uint64_t>(s.scansPerBuffer, s.targetScans - scansKept);
            if (writer)
                writer->Append(buffer.data() + 1, take);
            if (plot)
                plot->Append(buffer.data() + 1, take);
            scansKept += take;
        }
        return scansKept < s.targetScans;
    };

    int ticks = 0;
    window.Run([&] { return drain(); },
               [&] {
                   status.Show(elapsed(), scansKept, buffersRead, waiting, lostScans, false);
                   if (writer && ++ticks % 4 == 0)
                       writer->Flush();
                   return !g_interrupted.load();
               });
    if (!failedExport && scansKept < s.targetScans)
        drain();  // what filled before the stop request
    if (!api.StopIntr() && !failedExport) {
        failedExport = "StopIntr";
        failure = api.GetLastADError();
    }
    api.RegisterNotify(0, nullptr, 0, 0, 0);
    status.Show(elapsed(), scansKept, buffersRead, waiting, lostScans, true);

    if (writer)
        writer->Finish(lostScans);
    if (plot)
        plot->WriteSvg(*s.plot, s.volts, card.rangeMin, card.rangeMax, meta.gainFactor);
    if (failedExport) {
        std::fprintf(stderr, "tq4815: %s\n", DescribeFailure(failedExport, failure).c_str());
        return 1;
    }
    if (g_interrupted.load() && !s.quiet)
        std::fprintf(stderr, "tq4815: interrupted after %llu scans; files are complete up to there\n",
                     static_cast<unsigned long long>(scansKept));
    if (lostScans > 0) {
        std::fprintf(stderr,
                     "tq4815: data were lost: %llu gap(s), at least %llu scans dropped by the driver while its ring "
                     "was full.\n  Remedies: read faster (--quiet, a faster disk), more buffers (--buffers), larger "
                     "buffers (--scans-per-buffer), or a lower rate (--rate).\n",
                     static_cast<unsigned long long>(gaps), static_cast<unsigned long long>(lostScans));
        return 3;
    }
    return 0;
}

}  // namespace tool
