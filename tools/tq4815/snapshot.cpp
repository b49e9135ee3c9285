// `tq4815 snapshot`: a snapshot-mode acquisition (one circular buffer filled without end)
// read with GetSnapshot at an interval: each read copies the newest N scans.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "acquisition_data.h"
#include "notify_window.h"
#include "output_file.h"
#include "session.h"
#include "subcommands.h"

namespace tool {

int RunSnapshot(const SnapshotOptions &o)
{
    if (o.scans > o.bufferScans)
        throw UsageError{"--scans " + std::to_string(o.scans) + " is more than the " + std::to_string(o.bufferScans) +
                         " scans of the circular buffer (--buffer-scans)"};
    std::unique_ptr<OutputFile> out;
    if (o.output) {
        if (*o.output != "-" && Extension(*o.output) != "csv")
            throw UsageError{"snapshot writes CSV: give --output a name ending in .csv, or -"};
        CheckReplace(*o.output, o.force);
    }
    InstallInterruptHandler();
    CardSetup card = PrepareCard(o.card, kDemoSimConfig);
    Gain gain = ResolveGain(o.gain, card, GainCodes::StartRequest);
    const Tavlon &api = Library();
    if (!api.Initial(0, 0, 0, 0))
        return ReportFailure("Initial");
    if (o.output) {
        try {
            out = std::make_unique<OutputFile>(*o.output);
        } catch (const WriteError &error) {
            std::fprintf(stderr, "tq4815: %s\n", error.what());
            return 1;
        }
    }
    if (!api.StartSnapshot(1, o.bufferScans, o.firstChannel, o.channels, o.rate, 0, gain.code, 0))
        return ReportFailure("StartSnapshot");

    char cell[160];
    std::string text;
    auto add = [&](int n) { text.append(cell, static_cast<size_t>(std::min<int>(n, sizeof cell - 1))); };
    if (out) {
        add(std::snprintf(cell, sizeof cell,
                          "# tq4815 snapshots: channels %d, rate code %d, gain code %d, channel rate %.6f Hz, start %s\n",
                          o.channels, o.rate, gain.code, api.ChannelFrq(o.channels, o.rate), UtcNow().c_str()));
        text += "read,sequence,newest_index,scan";
        for (int c = 0; c < o.channels; ++c)
            text += ",ch" + std::to_string(o.channels == 1 ? o.firstChannel : c);
        text += '\n';
    }

    std::vector<uint16_t> reply(static_cast<size_t>(o.scans) * static_cast<size_t>(o.channels) + 3);
    int status = 0;
    for (int k = 0; k < o.count && !g_interrupted.load() && status == 0; ++k) {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.interval));
        int position = 0;
        if (!api.GetSnapshot(reply.data(), static_cast<unsigned>(o.scans), &position)) {
            status = ReportFailure("GetSnapshot");
            break;
        }
        if (!out)
            add(std::snprintf(cell, sizeof cell, "read %d: pass %u, newest scan at index %d\n", k, reply[0], position));
        for (int s = 0; s < o.scans; ++s) {
            if (out)
                add(std::snprintf(cell, sizeof cell, "%d,%u,%d,%d", k, reply[0], position, s));
            else
                add(std::snprintf(cell, sizeof cell, "  scan %d:", s));
            for (int c = 0; c < o.channels; ++c) {
                uint16_t code = reply[1 + static_cast<size_t>(s * o.channels + c)] & 0x0FFF;
                double value = CodeToVolts(code, card.rangeMin, card.rangeMax, gain.factor);
                if (o.volts)
                    add(std::snprintf(cell, sizeof cell, out ? ",%.6f" : " %9.5f", value));
                else
                    add(std::snprintf(cell, sizeof cell, out ? ",%u" : " %4u", code));
            }
            text += '\n';
        }
        if (out) {
            try {
                out->Append(text);
                out->Commit();
            } catch (const WriteError &error) {
                std::fprintf(stderr, "tq4815: %s\n", error.what());
                status = error.PipeClosed() ? 0 : 1;
                out.reset();
                break;
            }
        } else {
            std::fputs(text.c_str(), stdout);
        }
        text.clear();
    }
    if (out) {
        try {
            out->Close();
        } catch (const WriteError &error) {
            std::fprintf(stderr, "tq4815: %s\n", error.what());
            status = 1;
        }
    }
    if (!api.StopIntr() && status == 0)
        status = ReportFailure("StopIntr");
    if (g_interrupted.load())
        return 128 + g_signal.load();
    return status;
}

}  // namespace tool
