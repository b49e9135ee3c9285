// The TQ4815_SIM parser: one item at a time, each checked completely, the first malformed
// one refused with a message naming it and what was expected.
#include "sim/config.h"

#include "sim/resource_layout.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace sim {

std::array<SignalSpec, kChannels> CardConfig::DefaultChannels()
{
    // A visible picture out of the box: four waves on channels 0-3 and a distinct dc level
    // on every other channel, so that a sample in the wrong slot stands out.
    std::array<SignalSpec, kChannels> channels{};
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        channels[ch].kind = SignalKind::Dc;
        channels[ch].offset = (static_cast<double>(ch) - 16.0) * 0.25;
    }
    channels[0] = {SignalKind::Sine, 2.0, 10.0, 0.0};
    channels[1] = {SignalKind::Square, 1.0, 5.0, 0.0};
    channels[2] = {SignalKind::Triangle, 3.0, 2.0, 0.0};
    channels[3] = {SignalKind::Sawtooth, 1.0, 20.0, 0.0};
    return channels;
}

namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Split(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    for (;;) {
        std::size_t pos = s.find(sep);
        parts.push_back(Trim(s.substr(0, pos)));
        if (pos == std::string_view::npos)
            return parts;
        s.remove_prefix(pos + 1);
    }
}

// A finite decimal number, nothing else in the field.
bool ParseReal(std::string_view text, double &out)
{
    std::string s(Trim(text));
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

// An unsigned integer, decimal or 0x-hexadecimal, at most `max`.
bool ParseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t &out)
{
    std::string s(Trim(text));
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    int base = 10;
    std::size_t skip = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        skip = 2;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str() + skip, &end, base);
    if (end == s.c_str() + skip || end != s.c_str() + s.size() || errno == ERANGE || v > max)
        return false;
    out = v;
    return true;
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Signal of one channel: "dc:V", "sine:AMP:HZ[:OFFSET]" (and square, triangle, sawtooth),
// "noise:RMS[:OFFSET]", "ao0", "ao1", "count". Returns what was expected on failure.
bool ParseSignal(std::string_view value, SignalSpec &signal, std::string &expected)
{
    std::vector<std::string_view> f = Split(value, ':');
    std::string_view kind = f[0];
    if (kind == "count" || kind == "ao0" || kind == "ao1") {
        if (f.size() != 1) {
            expected = std::string(kind) + " takes no parameters";
            return false;
        }
        signal = {};
        signal.kind = kind == "count" ? SignalKind::Count : kind == "ao0" ? SignalKind::AnalogOut0 : SignalKind::AnalogOut1;
        return true;
    }
    if (kind == "dc") {
        double v;
        if (f.size() != 2 || !ParseReal(f[1], v)) {
            expected = "dc:VOLTS with VOLTS a number";
            return false;
        }
        signal = {SignalKind::Dc, 0.0, 0.0, v};
        return true;
    }
    if (kind == "noise") {
        double rms, offset = 0.0;
        if (f.size() < 2 || f.size() > 3 || !ParseReal(f[1], rms) || rms < 0 ||
            (f.size() == 3 && !ParseReal(f[2], offset))) {
            expected = "noise:RMS[:OFFSET] with RMS a number of volts, 0 or more";
            return false;
        }
        signal = {SignalKind::Noise, rms, 0.0, offset};
        return true;
    }
    static const struct {
        std::string_view name;
        SignalKind kind;
    } kWaves[] = {{"sine", SignalKind::Sine},
                  {"square", SignalKind::Square},
                  {"triangle", SignalKind::Triangle},
                  {"sawtooth", SignalKind::Sawtooth}};
    for (const auto &wave : kWaves) {
        if (kind != wave.name)
            continue;
        double amp, hz, offset = 0.0;
        if (f.size() < 3 || f.size() > 4 || !ParseReal(f[1], amp) || !ParseReal(f[2], hz) || hz < 0 ||
            (f.size() == 4 && !ParseReal(f[3], offset))) {
            expected = std::string(wave.name) + ":AMPLITUDE:HZ[:OFFSET] with numbers, HZ 0 or more";
            return false;
        }
        signal = {wave.kind, amp, hz, offset};
        return true;
    }
    expected = "dc:V, sine|square|triangle|sawtooth:AMP:HZ[:OFFSET], noise:RMS[:OFFSET], ao0, ao1 or count";
    return false;
}

// One `key=value` item; returns what was expected when it is malformed.
bool ParseItem(std::string_view key, std::string_view value, SimConfig &config, std::string &expected)
{
    CardConfig &card = config.card;
    if (key.size() >= 3 && key.substr(0, 2) == "ch") {
        std::uint64_t ch;
        if (!ParseUnsigned(key.substr(2), kChannels - 1, ch) || key.substr(2, 2) == "0x") {
            expected = "a channel key ch0 ... ch31";
            return false;
        }
        return ParseSignal(value, card.channels[ch], expected);
    }
    if (key == "di") {
        if (value == "loop") {
            card.diLoopback = true;
            return true;
        }
        std::vector<std::string_view> f = Split(value, ',');
        std::uint64_t lo, hi;
        if (f.size() != 2 || !ParseUnsigned(f[0], 255, lo) || !ParseUnsigned(f[1], 255, hi)) {
            expected = "di=LOW,HIGH with two bytes 0...255 (or 0x00...0xFF), or di=loop";
            return false;
        }
        card.diLoopback = false;
        card.diLow = static_cast<std::uint8_t>(lo);
        card.diHigh = static_cast<std::uint8_t>(hi);
        return true;
    }
    if (key == "range") {
        std::vector<std::string_view> f = Split(value, ':');
        double lo, hi;
        if (f.size() != 2 || !ParseReal(f[0], lo) || !ParseReal(f[1], hi) || !(lo < hi)) {
            expected = "range=MIN:MAX with MIN below MAX, in volts";
            return false;
        }
        card.rangeMin = lo;
        card.rangeMax = hi;
        return true;
    }
    if (key == "gains") {
        std::vector<std::string_view> f = Split(value, ',');
        std::array<double, 4> g{};
        bool ok = f.size() == 4;
        for (std::size_t i = 0; ok && i < 4; ++i)
            ok = ParseReal(f[i], g[i]) && g[i] > 0;
        if (!ok) {
            expected = "gains=G0,G1,G2,G3 with four positive factors";
            return false;
        }
        card.gains = g;
        return true;
    }
    if (key == "frequency") {
        double hz;
        if (value == "erased") {
            card.frequencyErased = true;
            return true;
        }
        if (!ParseReal(value, hz) || hz <= 0 || hz > 3.4e38) {
            expected = "frequency=HZ (a positive number) or frequency=erased";
            return false;
        }
        card.frequencyErased = false;
        card.frequency = static_cast<float>(hz);
        return true;
    }
    if (key == "eeprom") {
        if (value.empty()) {
            expected = "eeprom=PATH with a file path";
            return false;
        }
        card.eepromPath = std::string(value);
        return true;
    }
    if (key == "speed") {
        double s;
        if (!ParseReal(value, s) || s <= 0 || s > 1e6) {
            expected = "speed=FACTOR with a positive number (virtual seconds per real second)";
            return false;
        }
        config.speed = s;
        return true;
    }
    if (key == "seed") {
        std::uint64_t s;
        if (!ParseUnsigned(value, ~std::uint64_t{0}, s)) {
            expected = "seed=N with N an unsigned integer";
            return false;
        }
        card.seed = s;
        return true;
    }
    if (key == "wdm") {
        // MAJOR decimal, MINOR written as in the version name: 1.10 is minor 0x10.
        std::size_t dot = value.find('.');
        std::uint64_t major;
        bool ok = dot != std::string_view::npos && ParseUnsigned(value.substr(0, dot), 255, major);
        std::string_view minorText = ok ? value.substr(dot + 1) : std::string_view{};
        ok = ok && !minorText.empty() && minorText.size() <= 2 && IsHexDigit(minorText[0]) &&
             (minorText.size() == 1 || IsHexDigit(minorText[1]));
        if (!ok) {
            expected = "wdm=MAJOR.MINOR such as 1.0, 1.10 or 1.20";
            return false;
        }
        config.wdmMajor = static_cast<std::uint8_t>(major);
        config.wdmMinor = static_cast<std::uint8_t>(std::strtoul(std::string(minorText).c_str(), nullptr, 16));
        return true;
    }
    if (key == "convtime") {
        double us;
        if (!ParseReal(value, us) || us <= 0 || us > 1e6) {
            expected = "convtime=MICROSECONDS with a positive number up to 1000000";
            return false;
        }
        card.conversionTime = static_cast<VTime>(std::llround(us * 1000.0));
        if (card.conversionTime == 0)
            card.conversionTime = 1;
        return true;
    }
    if (key == "progtime") {
        double us;
        if (!ParseReal(value, us) || us < 0 || us > 1e7) {
            expected = "progtime=MICROSECONDS with a number 0 ... 10000000";
            return false;
        }
        card.eepromProgramTime = static_cast<VTime>(std::llround(us * 1000.0));
        return true;
    }
    if (key == "intcsr" || key == "bridgectl") {
        std::uint64_t v;
        if (!ParseUnsigned(value, 0xFFFFFFFFu, v)) {
            expected = std::string(key) + "=VALUE with a 32-bit number (0x... for hexadecimal)";
            return false;
        }
        (key == "intcsr" ? card.intCsrPowerUp : card.bridgeControlPowerUp) = static_cast<std::uint32_t>(v);
        return true;
    }
    if (key == "adhigh") {
        if (value == "zero" || value == "channel" || value == "noise") {
            card.adHigh = value == "zero" ? AdHighBits::Zero : value == "channel" ? AdHighBits::Channel : AdHighBits::Noise;
            return true;
        }
        expected = "adhigh=zero, adhigh=channel or adhigh=noise";
        return false;
    }
    if (key == "counterout") {
        if (value == "high" || value == "low") {
            card.counterOutputsHigh = value == "high";
            return true;
        }
        expected = "counterout=high or counterout=low";
        return false;
    }
    if (key == "layout") {
        if (!ResourceLayout::Named(value)) {
            expected = "layout=NAME with one of:";
            for (const std::string &name : ResourceLayout::Names())
                expected += " " + name;
            return false;
        }
        config.layout = std::string(value);
        return true;
    }
    expected = "a known key: chN, di, range, gains, frequency, eeprom, speed, seed, wdm, convtime, progtime, "
               "intcsr, bridgectl, counterout, adhigh or layout";
    return false;
}

}  // namespace

bool ParseSimConfig(std::string_view text, SimConfig &config, std::string &error)
{
    unsigned number = 0;
    for (std::string_view item : Split(text, ';')) {
        ++number;
        if (item.empty())
            continue;  // "a;;b" and a trailing ";" hold no item
        std::size_t eq = item.find('=');
        std::string expected;
        if (eq == std::string_view::npos) {
            expected = "key=value";
        } else if (ParseItem(Trim(item.substr(0, eq)), Trim(item.substr(eq + 1)), config, expected)) {
            continue;
        }
        error = "TQ4815_SIM item " + std::to_string(number) + " \"" + std::string(item) + "\": expected " + expected;
        return false;
    }
    return true;
}

}  // namespace sim
