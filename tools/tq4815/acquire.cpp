// `tq4815 acquire`: a ring-mode acquisition driven by the library's window messages.
// Initial → RegisterNotify (message-only window) → StartIntr → on each message QueryBuf
// and ADResult until the ring is empty → StopIntr. After each buffer the driver's
// counters (scans stored and dropped) are read through IOCtl; with the buffers' sequence
// words they say where data are missing and how much (gap_ledger.h). A buffer is written
// once the gap before it is settled, so the files mark every gap where it is.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "acquisition_data.h"
#include "error_text.h"
#include "gap_ledger.h"
#include "notify_window.h"
#include "output_file.h"
#include "session.h"
#include "subcommands.h"
#include "svg_plot.h"

namespace tool {
namespace {

// The counters form of the board command: no input, 16 bytes out.
constexpr int kCountersBytes = 16;
// Buffers held back while their gaps wait for a counter reading; beyond this they are
// settled from what is known and written.
constexpr size_t kMostHeldBuffers = 256;
// Relative difference between the requested and the achieved rate worth a warning.
constexpr double kRateTolerance = 0.001;

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

std::string Printf(const char *format, double a, double b)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// The per-channel rate a rate code asks for (a negative code −n: one conversion every n s).
double RequestedChannelRate(int rate, int channels)
{
    double conversions = rate > 0 ? rate : rate == 0 ? 1.0 : 1.0 / -static_cast<double>(rate);
    return conversions / channels;
}

struct HeldBuffer {
    std::vector<uint16_t> samples;
    uint64_t scans;
};

// What the options say about the files, checked before the card is touched.
struct OutputPlan {
    std::optional<std::string> output, sidePath, plot;
    FileFormat format = FileFormat::Csv;
    bool stream = false;
};

OutputPlan PlanOutputs(const AcquireOptions &o)
{
    OutputPlan plan;
    plan.output = o.output;
    plan.plot = o.plot;
    if (o.output) {
        plan.stream = *o.output == "-";
        plan.format = ResolveFormat(*o.output, o.format.value_or(""));
        CheckReplace(*o.output, o.force);
        if (!plan.stream && IsRegularOrAbsent(*o.output)) {
            plan.sidePath = SidePath(*o.output);
            CheckReplace(*plan.sidePath, o.force);
        }
    } else if (o.format) {
        throw UsageError{"--format needs --output"};
    }
    if (o.volts && plan.format == FileFormat::Raw)
        throw UsageError{"--volts does not apply to raw samples (they are 12-bit codes)"};
    if (o.plot) {
        std::string ext = Extension(*o.plot);
        if (ext == "png")
            throw UsageError{"--plot " + *o.plot + ": PNG is not supported; give a name ending in .svg"};
        if (ext != "svg")
            throw UsageError{"--plot " + *o.plot + ": the plot is SVG; give a name ending in .svg"};
        CheckReplace(*o.plot, o.force);
    }
    return plan;
}

}  // namespace

int RunAcquire(const AcquireOptions &o)
{
    OutputPlan plan = PlanOutputs(o);
    int firstChannel = o.firstChannel.value_or(0);
    if (o.channels > 1 && firstChannel != 0)
        std::fprintf(stderr, "tq4815: note: a scan of %d channels covers channels 0-%d; --first-channel applies "
                             "to one-channel acquisitions only\n", o.channels, o.channels - 1);

    InstallInterruptHandler();
    CardSetup card = PrepareCard(o.card, kDemoSimConfig);
    Gain gain = ResolveGain(o.gain, card, GainCodes::StartRequest);
    const Tavlon &api = Library();

    double scanRate = api.ChannelFrq(o.channels, o.rate);  // per channel = scans per second
    uint64_t targetScans = UINT64_MAX;                      // a stream runs until stopped
    if (o.scans)
        targetScans = *o.scans;
    else if (o.seconds || !plan.stream)
        targetScans = static_cast<uint64_t>(std::llround(o.seconds.value_or(3.0) * scanRate));
    if (targetScans == 0)
        throw UsageError{o.scans ? std::string("--scans 0 acquires nothing")
                                 : Printf("--seconds %g gives 0 scans at %g scans per second", *o.seconds, scanRate)};
    double requested = RequestedChannelRate(o.rate, o.channels);
    if (std::fabs(scanRate - requested) > kRateTolerance * requested)
        std::fprintf(stderr, "tq4815: warning: rate code %d on %d channel(s) asks for %.6g Hz per channel; the card "
                             "gives %.6g Hz (%+.3g %%)\n", o.rate, o.channels, requested, scanRate,
                     100.0 * (scanRate - requested) / requested);
    if (!plan.output)
        std::fprintf(stderr, "tq4815: note: no --output: the samples are not saved%s\n",
                     plan.plot ? " (only plotted)" : "");

    if (!api.Initial(0, 0, 0, 0))
        return ReportFailure("Initial");
    long defaultSpb = std::lround(scanRate / 10);
    int scansPerBuffer = o.scansPerBuffer.value_or(static_cast<int>(std::max(5L, std::min(defaultSpb, 100000L))));

    Metadata meta;
    if (o.channels == 1)
        meta.channelNumbers = {firstChannel};
    else
        for (int c = 0; c < o.channels; ++c)
            meta.channelNumbers.push_back(c);
    meta.firstChannel = firstChannel;
    meta.gainCode = gain.code;
    meta.gainIndex = gain.index;
    meta.gainFactor = gain.factor;
    meta.rateCode = o.rate;
    meta.channelRate = scanRate;
    meta.scansPerBuffer = scansPerBuffer;
    meta.buffers = o.buffers;
    meta.startTime = UtcNow();
    meta.rangeMin = card.rangeMin;
    meta.rangeMax = card.rangeMax;
    meta.volts = o.volts;
    meta.format = FormatName(plan.format);

    std::unique_ptr<SampleWriter> writer;
    std::optional<std::string> writeError;
    bool pipeClosed = false;
    auto writeSide = [&] {
        if (plan.sidePath)
            WriteFileAtomically(*plan.sidePath, MetadataJson(meta));
    };
    try {
        if (plan.output)
            writer = OpenWriter(*plan.output, plan.format, meta);
        writeSide();
    } catch (const WriteError &error) {
        std::fprintf(stderr, "tq4815: %s\n", error.what());
        return 1;
    }
    std::unique_ptr<PlotRecorder> plot;
    if (plan.plot)
        plot = std::make_unique<PlotRecorder>(meta.channelNumbers, scanRate);

    NotifyWindow window;
    if (!api.RegisterNotify(0, window.Handle(), kDataMessage, 0, 0))
        return ReportFailure("RegisterNotify");
    int bufferBytes = api.StartIntr(o.buffers, scansPerBuffer, firstChannel, o.channels, o.rate, 0, gain.code);
    if (bufferBytes == 0) {
        api.RegisterNotify(0, nullptr, 0, 0, 0);
        return ReportFailure("StartIntr");
    }

    const size_t channels = static_cast<size_t>(o.channels);
    std::vector<uint16_t> buffer(static_cast<size_t>(bufferBytes) / 2);
    GapLedger ledger(static_cast<uint64_t>(scansPerBuffer), channels * static_cast<uint64_t>(scansPerBuffer));
    std::deque<HeldBuffer> held;
    uint64_t scansRead = 0, scansWritten = 0, emitted = 0, buffersRead = 0;
    std::optional<bool> countersWork;  // unknown until the first reading
    unsigned waiting = 0;
    int failure = 0;
    const char *failedExport = nullptr;
    auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    StatusLine status(o.quiet);

    // The driver's counters; a driver without them refuses the form, and the gaps are
    // then bounded from the sequence words alone.
    auto readCounters = [&] {
        if (countersWork == false)
            return;
        unsigned char reply[kCountersBytes] = {};
        if (!api.IOCtl(0, nullptr, kCountersBytes, reply)) {
            countersWork = false;
            ledger.NoCounters();
            return;
        }
        countersWork = true;
        auto u32 = [&](int at) {
            return static_cast<uint32_t>(reply[at] | reply[at + 1] << 8 | reply[at + 2] << 16) |
                   static_cast<uint32_t>(reply[at + 3]) << 24;
        };
        ledger.Counters(u32(0), u32(4));
    };
    // Writes every held buffer whose gap is settled, the gap first.
    auto emit = [&] {
        if (held.size() > kMostHeldBuffers)
            ledger.SettleAll();
        while (!held.empty() && emitted < ledger.Settled()) {
            HeldBuffer &next = held.front();
            if (auto gap = ledger.GapBefore(emitted)) {
                meta.gaps.push_back({scansWritten, *gap});
                meta.lostScans += gap->lostScans;
                meta.lostExact = meta.lostExact && gap->exact;
                if (writer)
                    writer->Gap(*gap);
                if (plot)
                    plot->Gap(gap->lostScans);
            }
            if (writer)
                writer->Append(next.samples.data(), next.scans);
            if (plot)
                plot->Append(next.samples.data(), next.scans);
            scansWritten += next.scans;
            held.pop_front();
            ++emitted;
            if (writer)
                writer->Flush();  // a pipe's reader sees each buffer as it comes; a full disk stops the run at once
        }
    };
    // Runs `step`, turning a failed write into the end of the run.
    auto checked = [&](auto step) -> bool {
        try {
            step();
            return true;
        } catch (const WriteError &error) {
            if (error.PipeClosed() && plan.stream)
                pipeClosed = true;
            else if (!writeError)
                writeError = error.what();  // the first failure is the one to report
            return false;
        }
    };

    // Takes every unread buffer; false once the target is reached or a read or write fails.
    auto drain = [&]() -> bool {
        waiting = api.QueryBuf();
        if (waiting == 0 && api.GetLastADError() != 0) {
            failedExport = "QueryBuf";
            failure = api.GetLastADError();
            return false;
        }
        for (unsigned i = 0; i < waiting && scansRead < targetScans; ++i) {
            if (!api.ADResult(buffer.data())) {
                if (api.GetLastADError() == 18)
                    break;
                failedExport = "ADResult";
                failure = api.GetLastADError();
                return false;
            }
            ++buffersRead;
            ledger.Buffer(buffer[0]);
            readCounters();
            uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(scansPerBuffer), targetScans - scansRead);
            held.push_back({std::vector<uint16_t>(buffer.begin() + 1, buffer.begin() + 1 + take * channels), take});
            scansRead += take;
            if (!checked(emit))
                return false;
        }
        return scansRead < targetScans;
    };
    auto lostSoFar = [&] { return countersWork == true ? ledger.TotalDropped() : meta.lostScans; };

    int ticks = 0;
    bool dataSinceTick = false;
    window.Run([&] { dataSinceTick = true; return drain(); },
               [&] {
                   // A tick with no buffer since the last asks the driver itself, so an
                   // acquisition stopped under the tool (another program's Initial) ends
                   // the run with the driver's error instead of a wait for ever.
                   if (!std::exchange(dataSinceTick, false) && !drain())
                       return false;
                   status.Show(elapsed(), scansRead, buffersRead, waiting, lostSoFar(), false);
                   if (++ticks % 4 == 0 && !checked([&] {
                           meta.scans = scansWritten;
                           writeSide();
                       }))
                       return false;
                   return !g_interrupted.load();
               });
    bool stopped = failedExport || writeError || pipeClosed;
    if (!stopped && scansRead < targetScans)
        drain();  // what filled before the stop request
    if (!api.StopIntr() && !failedExport) {
        failedExport = "StopIntr";
        failure = api.GetLastADError();
    }
    api.RegisterNotify(0, nullptr, 0, 0, 0);
    if (!failedExport && !writeError && !pipeClosed) {
        readCounters();  // the counters answer after the stop as well
        ledger.SettleAll();
        checked(emit);
    }
    status.Show(elapsed(), scansRead, buffersRead, waiting, lostSoFar(), true);

    bool interrupted = g_interrupted.load();
    meta.scans = scansWritten;
    meta.interrupted = interrupted;
    meta.ended = failedExport || writeError ? "failed" : pipeClosed ? "pipe closed" : interrupted ? "interrupted" : "done";
    // The closing account goes into every file that can still take it.
    if (writer && !writeError && !pipeClosed)
        checked([&] { writer->Finish(meta); });
    checked(writeSide);
    if (plot)
        checked([&] { plot->WriteSvg(*plan.plot, o.volts, card.rangeMin, card.rangeMax, meta.gainFactor); });

    if (failedExport) {
        std::fprintf(stderr, "tq4815: %s\n", DescribeFailure(failedExport, failure).c_str());
        return 1;
    }
    if (writeError) {
        std::fprintf(stderr, "tq4815: %s; the acquisition was stopped after %llu scans\n", writeError->c_str(),
                     static_cast<unsigned long long>(scansWritten));
        return 1;
    }
    if (interrupted && !o.quiet)
        std::fprintf(stderr, "tq4815: interrupted after %llu scans; files are complete up to there\n",
                     static_cast<unsigned long long>(scansWritten));
    if (meta.lostScans > 0) {
        const FileGap *largest = &meta.gaps.front();
        for (const FileGap &gap : meta.gaps)
            if (gap.record.lostScans > largest->record.lostScans)
                largest = &gap;
        std::fprintf(stderr,
                     "tq4815: data were lost: %zu gap(s), %llu scans (%.3f s) dropped by the driver while its ring was "
                     "full%s; the largest, %llu scans, before scan %llu.\n  Remedies: read faster (--quiet, a "
                     "faster disk), more buffers (--buffers), larger buffers (--scans-per-buffer), or a lower rate "
                     "(--rate).\n",
                     meta.gaps.size(), static_cast<unsigned long long>(meta.lostScans),
                     scanRate > 0 ? meta.lostScans / scanRate : 0.0,
                     meta.lostExact ? " (exact, from the driver's counters)"
                                    : countersWork == true ? " (not exact: some gaps are only bounded)"
                                                           : " (not exact: the driver gives no counters, the sequence "
                                                             "words only bound each gap)",
                     static_cast<unsigned long long>(largest->record.lostScans),
                     static_cast<unsigned long long>(largest->beforeScan));
    }
    if (interrupted)
        return 128 + g_signal.load();
    return meta.lostScans > 0 ? 3 : 0;
}

}  // namespace tool
