// `tq4815 eeprom`, `board`, `port` and `selftest`: board-level work without an acquisition,
// through IOCtl (generic board commands), the Zel_ family and the port functions.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

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

// The selftest's card: digital outputs wired to the inputs, analog outputs to channels 0
// and 1, a count pattern on channel 2 and a known level on channel 3.
constexpr const char *kSelftestSim = "di=loop;ch0=ao0;ch1=ao1;ch2=count;ch3=dc:1.25";
constexpr double kSelftestLevel = 1.25;

using Json = nlohmann::ordered_json;

// Prints a JSON document on standard output.
void PrintJson(const Json &json)
{
    std::printf("%s\n", json.dump(2).c_str());
}

}  // namespace

int RunEeprom(const EepromOptions &o)
{
    PrepareCard(o.card, nullptr);
    if (o.verb == "dump" || o.verb == "read") {
        int first = o.verb == "read" ? o.word : 0;
        int count = o.verb == "read" ? o.count.value_or(1) : kEepromWords;
        if (first + count > kEepromWords)
            throw UsageError{"eeprom read: words " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                             " run past word 63"};
        const Tavlon &api = Library();
        std::vector<uint16_t> values;
        if (!EepromRead(api, first, count, values))
            return ReportFailure("IOCtl (EEPROM read)");
        std::optional<double> frequency;
        bool erased = false;
        if (first <= 58 && first + count > 59) {
            uint32_t bits = values[static_cast<size_t>(58 - first)] |
                            static_cast<uint32_t>(values[static_cast<size_t>(59 - first)]) << 16;
            erased = bits == 0xFFFFFFFFu;
            frequency = std::bit_cast<float>(bits);
        }
        if (o.json) {
            Json json{{"first_word", first}, {"words", values}};
            if (frequency)
                json["card_frequency_hz"] = erased ? Json(nullptr) : Json(*frequency);
            PrintJson(json);
            return 0;
        }
        for (int i = 0; i < count; ++i) {
            if (i % 8 == 0)
                std::printf("%s%2d:", i ? "\n" : "", first + i);
            std::printf(" %04X", values[static_cast<size_t>(i)]);
        }
        std::printf("\n");
        if (erased)
            std::printf("card frequency (words 58-59): erased\n");
        else if (frequency)
            std::printf("card frequency (words 58-59): %.1f Hz\n", *frequency);
        return 0;
    }
    int first = o.word;
    std::vector<uint16_t> values(o.values.begin(), o.values.end());
    if (first + static_cast<int>(values.size()) > kEepromWords)
        throw UsageError{"eeprom write: the words run past word 63"};
    if (!EepromWrite(Library(), first, values))
        return ReportFailure("IOCtl (EEPROM write)");
    std::printf("wrote %zu word(s) from word %d\n", values.size(), first);
    return 0;
}

int RunBoard(const BoardOptions &o)
{
    CardSetup card = PrepareCard(o.card, nullptr);
    const std::string &verb = o.verb;
    if (verb == "status") {
        unsigned char reply[10] = {};
        if (!Library().IOCtl(0, nullptr, sizeof reply, reply))
            return ReportFailure("IOCtl (board status)");
        unsigned base = reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<unsigned>(reply[3]) << 24;
        unsigned line = reply[4] | reply[5] << 8, acquisition = reply[6] | reply[7] << 8, other = reply[8] | reply[9] << 8;
        if (o.json)
            PrintJson({{"board_port", base}, {"interrupt_line", line}, {"acquisition_interrupts", acquisition},
                       {"other_interrupts", other}});
        else
            std::printf("board registers at port 0x%X, interrupt line %u, %u acquisition interrupts, %u other\n", base,
                        line, acquisition, other);
    } else if (verb == "di") {
        unsigned short values[2] = {};
        if (!Library().Zel_DI(2, values))
            return ReportFailure("Zel_DI");
        if (o.json)
            PrintJson({{"low", values[0]}, {"high", values[1]}});
        else
            std::printf("digital inputs: low 0x%02X, high 0x%02X\n", values[0], values[1]);
    } else if (verb == "do") {
        if (!Library().Zel_DO(o.which, o.value))
            return ReportFailure("Zel_DO");
    } else if (verb == "da") {
        if (!Library().Zel_DA(o.value, o.which))
            return ReportFailure("Zel_DA");
    } else if (verb == "counter") {
        unsigned count = o.count & 0xFFFF;  // 65536 is loaded as 0
        unsigned control = o.counter << 6 | 0x30 | o.mode << 1;  // select, LSB then MSB, mode, binary
        if (!Library().Zel_CounterOut(control, count & 0xFF, count >> 8, o.counter))
            return ReportFailure("Zel_CounterOut");
        double divisor = count == 0 ? 65536.0 : count;
        std::printf("counter %u: mode %u, count %g, output %.3f Hz\n", o.counter, o.mode, divisor,
                    kTimerClockHz / divisor);
    } else if (verb == "scan") {
        Gain gain = ResolveGain(o.gain, card, GainCodes::BoardCommand);
        unsigned n = o.count;
        std::vector<unsigned short> values(n);
        if (!Library().Zel_Init(n, 0, static_cast<unsigned>(gain.code)))
            return ReportFailure("Zel_Init");
        if (!Library().Zel_ADResult(n, values.data()))
            return ReportFailure("Zel_ADResult");
        if (o.json) {
            Json codes = Json::array();
            for (unsigned short v : values)
                codes.push_back(v & 0x0FFF);
            PrintJson({{"gain_code", gain.code}, {"gain_factor", gain.factor}, {"codes", codes}});
        } else {
            for (unsigned i = 0; i < n; ++i)
                std::printf("channel %2u: %4u\n", i, values[i] & 0x0FFF);
        }
    } else if (verb == "gain") {
        if (!o.gain.factor && !o.gain.code)
            throw UsageError{"board gain: give --gain FACTOR or --gain-code CODE"};
        Gain gain = ResolveGain(o.gain, card, GainCodes::BoardCommand);
        if (!Library().Zel_SetPGA(static_cast<unsigned>(gain.code)))
            return ReportFailure("Zel_SetPGA");
    } else if (verb == "channel") {
        if (!Library().Zel_SetChn(o.channel))
            return ReportFailure("Zel_SetChn");
    } else if (verb == "convert") {
        unsigned short result = 0;
        if (!Library().Zel_StartAD())
            return ReportFailure("Zel_StartAD");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // leave the conversion time
        if (!Library().Zel_ADR1(&result))
            return ReportFailure("Zel_ADR1");
        std::printf("result word 0x%04X (code %u)\n", result, result & 0x0FFF);
    }
    return 0;
}

int RunPort(const PortOptions &o)
{
    PrepareCard(o.card, nullptr);
    const Tavlon &api = Library();
    unsigned width = o.width, port = o.port;
    if (o.verb == "out") {
        uint64_t limit = width == 32 ? 0xFFFFFFFFull : (1ull << width) - 1;
        if (o.value > limit)
            throw UsageError{"VALUE " + std::to_string(o.value) + " does not fit in " + std::to_string(width) + " bits"};
        unsigned value = static_cast<unsigned>(o.value);
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
    std::printf("0x%0*X\n", static_cast<int>(width / 4), value);
    return 0;
}

int RunSelftest(const SelftestOptions &o)
{
    // The loop-back wiring goes on top of the user's card (its speed, range, noise seed).
    CardSetup card = PrepareCard(o.card, nullptr, kSelftestSim);
    const Tavlon &api = Library();
    int failures = 0;
    Json checks = Json::array();
    auto report = [&](const char *name, bool pass, const std::string &detail) {
        if (o.json)
            checks.push_back({{"check", name}, {"pass", pass}, {"detail", detail}});
        else
            std::printf("%-28s %s  %s\n", name, pass ? "pass" : "FAIL", detail.c_str());
        failures += pass ? 0 : 1;
    };
    const int expectedLevel = static_cast<int>(std::lround((kSelftestLevel * card.gainFactors[0] - card.rangeMin) *
                                                           4096.0 / (card.rangeMax - card.rangeMin)));
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
                if (std::abs(level - expectedLevel) > 2)
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
    if (o.json)
        PrintJson({{"passed", failures == 0}, {"checks", checks}});
    else
        std::printf("%s\n", failures ? "selftest FAILED" : "selftest passed");
    return failures ? 1 : 0;
}

}  // namespace tool
