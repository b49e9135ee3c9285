// `tq4815 eeprom`, `board`, `port` and `selftest`: board-level work without an acquisition,
// through IOCtl (generic board commands), the Zel_ family and the port functions.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition_data.h"
#include "error_text.h"
#include "options.h"
#include "session.h"
#include "subcommands.h"

namespace tool {
namespace {

constexpr int kEepromWords = 64;
constexpr int kWordsPerRequest = 16;
constexpr double kTimerClockHz = 6000000.0;

// Reads `count` EEPROM words from word address `word` (board command: input 2 bytes =
// byte address and word count, output 2 bytes a word).
bool EepromRead(const Tavlon &api, int word, int count, std::vector<uint16_t> &out)
{
    out.assign(static_cast<size_t>(count), 0);
    for (int done = 0; done < count;) {
        int n = std::min(kWordsPerRequest, count - done);
        unsigned char request[2] = {static_cast<unsigned char>((word + done) * 2), static_cast<unsigned char>(n)};
        std::vector<unsigned char> reply(static_cast<size_t>(2 * n));
        if (!api.IOCtl(2, request, 2 * n, reply.data()))
            return false;
        for (int i = 0; i < n; ++i)
            out[static_cast<size_t>(done + i)] = static_cast<uint16_t>(reply[2 * i] | reply[2 * i + 1] << 8);
        done += n;
    }
    return true;
}

// Writes EEPROM words from word address `word` (board command: input 2 + 2n bytes, no output).
bool EepromWrite(const Tavlon &api, int word, const std::vector<uint16_t> &words)
{
    std::vector<unsigned char> request(2 + 2 * words.size());
    request[0] = static_cast<unsigned char>(word * 2);
    request[1] = static_cast<unsigned char>(words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        request[2 + 2 * i] = static_cast<unsigned char>(words[i] & 0xFF);
        request[3 + 2 * i] = static_cast<unsigned char>(words[i] >> 8);
    }
    return api.IOCtl(static_cast<int>(request.size()), request.data(), 0, nullptr) != 0;
}

const char kEepromUsage[] =
    "usage: tq4815 eeprom dump | read WORD [N] | write WORD VALUE... [--sim 'ITEMS']\n"
    "  The card's 64-word configuration EEPROM, by word address 0-63. Words 58 and 59\n"
    "  hold the card frequency (IEEE single, low word first).\n";

const char kBoardUsage[] =
    "usage: tq4815 board COMMAND [--sim 'ITEMS']\n"
    "  status                    board registers, interrupt line, interrupt counts\n"
    "  di                        read the two digital-input bytes\n"
    "  do 0|1 VALUE              write the low (0) or high (1) digital-output byte\n"
    "  da 0|1 CODE               load analog output 0 or 1 with a 12-bit code\n"
    "  counter 1|2 COUNT [MODE]  load a counter output (default mode 3, square wave)\n"
    "  scan N [GAIN]             polled scan of N conversions at a gain code 0-3\n"
    "  gain G                    select gain code 0-3\n"
    "  channel C                 select channel 0-31\n"
    "  convert                   start one conversion and read its result\n";

const char kPortUsage[] =
    "usage: tq4815 port in 8|16|32 PORT | port out 8|16|32 PORT VALUE [--sim 'ITEMS']\n"
    "  One read or write of an absolute I/O port; the driver refuses ports outside the\n"
    "  card's bridge and board ranges (see 'tq4815 board status' for the board's base).\n";

const char kSelftestUsage[] =
    "usage: tq4815 selftest [--sim 'ITEMS']\n"
    "  Loop-back checks on the simulated card: digital outputs to inputs, analog outputs\n"
    "  to input channels, counter loading, an EEPROM scratch word (restored afterwards)\n"
    "  and a short acquisition checked against known signals.\n";

// The selftest's card: digital outputs wired to the inputs, analog outputs to channels 0
// and 1, a count pattern on channel 2 and a known level on channel 3.
constexpr const char *kSelftestSim = "di=loop;ch0=ao0;ch1=ao1;ch2=count;ch3=dc:1.25";

}  // namespace

int RunEeprom(const Args &args)
{
    Options opts(args, {"sim"}, {"help"});
    const auto &words = opts.Positional();
    if (opts.Flag("help") || words.empty()) {
        std::fputs(kEepromUsage, opts.Flag("help") ? stdout : stderr);
        return opts.Flag("help") ? 0 : 2;
    }
    PrepareCard(opts, nullptr);
    const std::string &verb = words[0];
    if (verb == "dump" || verb == "read") {
        int first = 0, count = kEepromWords;
        if (verb == "read") {
            if (words.size() < 2 || words.size() > 3)
                throw UsageError{"eeprom read WORD [N]"};
            first = static_cast<int>(ParseInteger(words[1], "WORD", 0, kEepromWords - 1));
            count = words.size() == 3 ? static_cast<int>(ParseInteger(words[2], "N", 1, kEepromWords - first)) : 1;
        }
        const Tavlon &api = Library();
        std::vector<uint16_t> values;
        if (!EepromRead(api, first, count, values))
            return ReportFailure("IOCtl (EEPROM read)");
        for (int i = 0; i < count; ++i) {
            if (i % 8 == 0)
                std::printf("%s%2d:", i ? "\n" : "", first + i);
            std::printf(" %04X", values[static_cast<size_t>(i)]);
        }
        std::printf("\n");
        if (first <= 58 && first + count > 59) {
            uint32_t bits = values[static_cast<size_t>(58 - first)] | static_cast<uint32_t>(values[static_cast<size_t>(59 - first)]) << 16;
            float frequency;
            std::memcpy(&frequency, &bits, sizeof frequency);
            if (bits == 0xFFFFFFFFu)
                std::printf("card frequency (words 58-59): erased\n");
            else
                std::printf("card frequency (words 58-59): %.1f Hz\n", frequency);
        }
        return 0;
    }
    if (verb == "write") {
        if (words.size() < 3)
            throw UsageError{"eeprom write WORD VALUE..."};
        int first = static_cast<int>(ParseInteger(words[1], "WORD", 0, kEepromWords - 1));
        std::vector<uint16_t> values;
        for (size_t i = 2; i < words.size(); ++i)
            values.push_back(static_cast<uint16_t>(ParseInteger(words[i], "VALUE", 0, 0xFFFF)));
        if (first + static_cast<int>(values.size()) > kEepromWords)
            throw UsageError{"eeprom write: the words run past word 63"};
        if (!EepromWrite(Library(), first, values))
            return ReportFailure("IOCtl (EEPROM write)");
        std::printf("wrote %zu word(s) from word %d\n", values.size(), first);
        return 0;
    }
    throw UsageError{"eeprom: unknown command '" + verb + "'"};
}

int RunBoard(const Args &args)
{
    Options opts(args, {"sim"}, {"help"});
    const auto &words = opts.Positional();
    if (opts.Flag("help") || words.empty()) {
        std::fputs(kBoardUsage, opts.Flag("help") ? stdout : stderr);
        return opts.Flag("help") ? 0 : 2;
    }
    PrepareCard(opts, nullptr);
    const std::string &verb = words[0];
    auto need = [&](size_t low, size_t high) {
        if (words.size() < low + 1 || words.size() > high + 1)
            throw UsageError{"board " + verb + ": wrong number of arguments (see --help)"};
    };
    auto arg = [&](size_t i, const char *what, int64_t low, int64_t high) {
        return static_cast<unsigned>(ParseInteger(words[i], what, low, high));
    };
    if (verb == "status") {
        need(0, 0);
        unsigned char reply[10] = {};
        if (!Library().IOCtl(0, nullptr, sizeof reply, reply))
            return ReportFailure("IOCtl (board status)");
        std::printf("board registers at port 0x%X, interrupt line %u, %u acquisition interrupts, %u other\n",
                    reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<unsigned>(reply[3]) << 24,
                    reply[4] | reply[5] << 8, reply[6] | reply[7] << 8, reply[8] | reply[9] << 8);
    } else if (verb == "di") {
        need(0, 0);
        unsigned short values[2] = {};
        if (!Library().Zel_DI(2, values))
            return ReportFailure("Zel_DI");
        std::printf("digital inputs: low 0x%02X, high 0x%02X\n", values[0], values[1]);
    } else if (verb == "do") {
        need(2, 2);
        if (!Library().Zel_DO(arg(1, "which", 0, 1), arg(2, "VALUE", 0, 255)))
            return ReportFailure("Zel_DO");
    } else if (verb == "da") {
        need(2, 2);
        if (!Library().Zel_DA(arg(2, "CODE", 0, 4095), arg(1, "channel", 0, 1)))
            return ReportFailure("Zel_DA");
    } else if (verb == "counter") {
        need(2, 3);
        unsigned counter = arg(1, "counter", 1, 2);
        unsigned count = arg(2, "COUNT", 1, 65536) & 0xFFFF;  // 65536 is loaded as 0
        unsigned mode = words.size() > 3 ? arg(3, "MODE", 0, 5) : 3;
        unsigned control = counter << 6 | 0x30 | mode << 1;  // select, LSB then MSB, mode, binary
        if (!Library().Zel_CounterOut(control, count & 0xFF, count >> 8, counter))
            return ReportFailure("Zel_CounterOut");
        double divisor = count == 0 ? 65536.0 : count;
        std::printf("counter %u: mode %u, count %g, output %.3f Hz\n", counter, mode, divisor, kTimerClockHz / divisor);
    } else if (verb == "scan") {
        need(1, 2);
        unsigned n = arg(1, "N", 1, 32);
        unsigned gain = words.size() > 2 ? arg(2, "GAIN", 0, 3) : 0;
        std::vector<unsigned short> values(n);
        if (!Library().Zel_Init(n, 0, gain))
            return ReportFailure("Zel_Init");
        if (!Library().Zel_ADResult(n, values.data()))
            return ReportFailure("Zel_ADResult");
        for (unsigned i = 0; i < n; ++i)
            std::printf("channel %2u: %4u\n", i, values[i]);
    } else if (verb == "gain") {
        need(1, 1);
        if (!Library().Zel_SetPGA(arg(1, "G", 0, 3)))
            return ReportFailure("Zel_SetPGA");
    } else if (verb == "channel") {
        need(1, 1);
        if (!Library().Zel_SetChn(arg(1, "C", 0, 31)))
            return ReportFailure("Zel_SetChn");
    } else if (verb == "convert") {
        need(0, 0);
        unsigned short result = 0;
        if (!Library().Zel_StartAD())
            return ReportFailure("Zel_StartAD");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // leave the conversion time
        if (!Library().Zel_ADR1(&result))
            return ReportFailure("Zel_ADR1");
        std::printf("result word 0x%04X (code %u)\n", result, result & 0x0FFF);
    } else {
        throw UsageError{"board: unknown command '" + verb + "'"};
    }
    return 0;
}

int RunPort(const Args &args)
{
    Options opts(args, {"sim"}, {"help"});
    const auto &words = opts.Positional();
    if (opts.Flag("help") || words.empty()) {
        std::fputs(kPortUsage, opts.Flag("help") ? stdout : stderr);
        return opts.Flag("help") ? 0 : 2;
    }
    bool out = words[0] == "out";
    if ((words[0] != "in" && !out) || words.size() != (out ? 4u : 3u))
        throw UsageError{"port in WIDTH PORT | port out WIDTH PORT VALUE"};
    int width = static_cast<int>(ParseInteger(words[1], "WIDTH", 8, 32));
    if (width != 8 && width != 16 && width != 32)
        throw UsageError{"WIDTH must be 8, 16 or 32"};
    unsigned port = static_cast<unsigned>(ParseInteger(words[2], "PORT", 0, 0xFFFF));
    PrepareCard(opts, nullptr);
    const Tavlon &api = Library();
    if (out) {
        uint64_t limit = width == 32 ? 0xFFFFFFFFull : (1ull << width) - 1;
        unsigned value = static_cast<unsigned>(ParseInteger(words[3], "VALUE", 0, static_cast<int64_t>(limit)));
        if (width == 8)
            api.outportb(port, value);
        else if (width == 16)
            api.outport(port, value);
        else
            api.outportdw(port, value);
        if (api.GetLastADError() != 0)
            return ReportFailure(width == 8 ? "outportb" : width == 16 ? "outport" : "outportdw");
        return 0;
    }
    unsigned value = width == 8 ? api.inportb(port) : width == 16 ? api.inport(port) : api.inportdw(port);
    if (api.GetLastADError() != 0)
        return ReportFailure(width == 8 ? "inportb" : width == 16 ? "inport" : "inportdw");
    std::printf("0x%0*X\n", width / 4, value);
    return 0;
}

int RunSelftest(const Args &args)
{
    Options opts(args, {"sim"}, {"help"});
    if (opts.Flag("help")) {
        std::fputs(kSelftestUsage, stdout);
        return 0;
    }
    PrepareCard(opts, kSelftestSim);
    const Tavlon &api = Library();
    int failures = 0;
    auto report = [&](const char *name, bool pass, const std::string &detail) {
        std::printf("%-28s %s  %s\n", name, pass ? "pass" : "FAIL", detail.c_str());
        failures += pass ? 0 : 1;
    };
    auto lastError = [&](const char *exportName) { return DescribeFailure(exportName, api.GetLastADError()); };

    // Digital outputs looped back to the inputs, two patterns.
    {
        bool pass = true;
        std::string detail;
        for (unsigned pattern : {0xA53Cu, 0x5AC3u}) {
            unsigned short in[2] = {};
            if (!api.Zel_DO(0, pattern & 0xFF) || !api.Zel_DO(1, pattern >> 8) || !api.Zel_DI(2, in)) {
                pass = false;
                detail = lastError("Zel_DO/Zel_DI");
                break;
            }
            char text[64];
            std::snprintf(text, sizeof text, "out %02X %02X in %02X %02X; ", pattern & 0xFF, pattern >> 8, in[0], in[1]);
            detail += text;
            pass = pass && in[0] == (pattern & 0xFF) && in[1] == (pattern >> 8);
        }
        report("digital loop-back", pass, detail);
    }
    // Analog outputs looped back to channels 0 and 1, read by polled scans.
    {
        bool pass = true;
        std::string detail;
        for (unsigned code : {1024u, 3072u}) {
            unsigned short values[2] = {};
            if (!api.Zel_DA(code, 0) || !api.Zel_DA(4095 - code, 1) || !api.Zel_Init(2, 0, 0) ||
                !api.Zel_ADResult(2, values)) {
                pass = false;
                detail = lastError("Zel_DA/Zel_ADResult");
                break;
            }
            char text[80];
            std::snprintf(text, sizeof text, "out %u/%u in %u/%u; ", code, 4095 - code, values[0], values[1]);
            detail += text;
            pass = pass && std::abs(static_cast<int>(values[0]) - static_cast<int>(code)) <= 2 &&
                   std::abs(static_cast<int>(values[1]) - static_cast<int>(4095 - code)) <= 2;
        }
        report("analog loop-back", pass, detail);
    }
    // Counter outputs: the load must be accepted; the outputs are not visible on the bus.
    {
        bool pass = api.Zel_CounterOut(0x76, 6000 & 0xFF, 6000 >> 8, 1) && api.Zel_CounterOut(0xB6, 600 & 0xFF, 600 >> 8, 2);
        report("counter loading", pass, pass ? "counter 1 at 1 kHz, counter 2 at 10 kHz accepted" : lastError("Zel_CounterOut"));
    }
    // EEPROM scratch word 63: write two patterns, read them back, restore.
    {
        std::vector<uint16_t> original, readBack;
        bool pass = EepromRead(api, 63, 1, original);
        std::string detail = pass ? "" : lastError("IOCtl (EEPROM read)");
        for (uint16_t pattern : {uint16_t(0x5AA5), uint16_t(0xC33C)}) {
            if (!pass)
                break;
            pass = EepromWrite(api, 63, {pattern}) && EepromRead(api, 63, 1, readBack) && readBack[0] == pattern;
            char text[48];
            std::snprintf(text, sizeof text, "wrote %04X read %04X; ", pattern, pass ? readBack[0] : 0);
            detail += text;
        }
        if (!original.empty()) {
            bool restored = EepromWrite(api, 63, original) && EepromRead(api, 63, 1, readBack) && readBack[0] == original[0];
            pass = pass && restored;
            detail += restored ? "restored" : "NOT restored";
        }
        report("EEPROM scratch word", pass, detail);
    }
    // A short ring acquisition: the count pattern on channel 2 must rise by one a scan, and
    // channel 3 must hold 1.25 V (code 2560 on the default range).
    {
        const int channels = 4, scansPerBuffer = 50, buffers = 8, wanted = 400;
        std::string detail;
        bool pass = api.Initial(0, 0, 0, 0) != 0;
        int bytes = pass ? api.StartIntr(buffers, scansPerBuffer, 0, channels, 4000, 0, 0) : 0;
        pass = bytes != 0;
        if (!pass)
            detail = lastError("Initial/StartIntr");
        std::vector<uint16_t> buffer(static_cast<size_t>(bytes) / 2 + 1);
        int scans = 0, countErrors = 0, levelErrors = 0;
        int previous = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (pass && scans < wanted && std::chrono::steady_clock::now() < deadline) {
            if (!api.ADResult(buffer.data())) {
                if (api.GetLastADError() != 18) {
                    pass = false;
                    detail = lastError("ADResult");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            for (int s = 0; s < scansPerBuffer; ++s, ++scans) {
                int count = buffer[1 + s * channels + 2] & 0x0FFF;
                int level = buffer[1 + s * channels + 3] & 0x0FFF;
                if (previous >= 0 && count != ((previous + 1) & 0x0FFF))
                    ++countErrors;
                previous = count;
                if (std::abs(level - 2560) > 2)
                    ++levelErrors;
            }
        }
        if (bytes)
            api.StopIntr();
        if (pass) {
            pass = scans >= wanted && countErrors == 0 && levelErrors == 0;
            detail = std::to_string(scans) + " scans, " + std::to_string(countErrors) + " count steps wrong, " +
                     std::to_string(levelErrors) + " levels wrong";
        }
        report("short acquisition", pass, detail);
    }
    std::printf("%s\n", failures ? "selftest FAILED" : "selftest passed");
    return failures ? 1 : 0;
}

}  // namespace tool
