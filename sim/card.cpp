// The simulated Tq4815: register decoding, the bridge's interrupt logic, the converter
// and its channel/gain latch, the outputs, and the EEPROM image on disk.
#include "sim/card.h"

#include "card_bus.h"

#include "sim/signals.h"

#if TQ_SIM_ON_PLATFORM
#include <plat/machine.h>
#endif

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <limits>
#include <sstream>

namespace sim {

namespace {

std::string Hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

constexpr unsigned kFrequencyWordLow = 58;
constexpr unsigned kFrequencyWordHigh = 59;

// A note for the card's user: on a machine, where the machine's messages go (a machine host
// passes them to the program whose request caused them); the model alone prints it.
void TellUser(const char *text)
{
#if TQ_SIM_ON_PLATFORM
    plat::MachineMessage("%s", text);
#else
    std::fputs(text, stderr);
#endif
}

}  // namespace

// ---- EEPROM image -------------------------------------------------------------------------

EepromImage DefaultEepromImage(const CardConfig &config)
{
    EepromImage image;
    image.fill(0xFFFF);
    if (!config.frequencyErased) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(config.frequency);
        image[kFrequencyWordLow] = static_cast<std::uint16_t>(bits & 0xFFFF);
        image[kFrequencyWordHigh] = static_cast<std::uint16_t>(bits >> 16);
    }
    return image;
}

// The file is text: 64 hexadecimal words, word 0 first, separated by white space; '#'
// starts a comment. The configured frequency shapes only an EEPROM that has no file yet.
bool LoadEepromImage(const CardConfig &config, EepromImage &image, std::string &error)
{
    image = DefaultEepromImage(config);
    if (config.eepromPath.empty())
        return true;
    std::ifstream in(config.eepromPath);
    if (!in) {
        if (errno == ENOENT)
            return true;  // first use: the default contents, saved at the first write
        error = "EEPROM file " + config.eepromPath + ": " + std::strerror(errno);
        return false;
    }
    EepromImage loaded{};
    unsigned count = 0, lineNo = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lineNo;
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string token;
        while (words >> token) {
            char *end = nullptr;
            unsigned long v = std::strtoul(token.c_str(), &end, 16);
            if (token.size() > 4 || *end != '\0' || token[0] == '-' || token[0] == '+') {
                error = "EEPROM file " + config.eepromPath + " line " + std::to_string(lineNo) + ": \"" + token +
                        "\" is not a 16-bit hexadecimal word";
                return false;
            }
            if (count == kEepromWords) {
                error = "EEPROM file " + config.eepromPath + ": more than 64 words";
                return false;
            }
            loaded[count++] = static_cast<std::uint16_t>(v);
        }
    }
    if (count != kEepromWords) {
        error = "EEPROM file " + config.eepromPath + ": " + std::to_string(count) + " words, expected 64";
        return false;
    }
    image = loaded;
    return true;
}

bool SaveEepromImage(const std::string &path, const EepromImage &image, std::string &error)
{
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out) {
            error = "cannot save the EEPROM to " + temp + ": " + std::strerror(errno);
            return false;
        }
        out << "# Tq4815 simulated EEPROM: 64 words, hexadecimal, word 0 first\n";
        char buf[8];
        for (unsigned i = 0; i < kEepromWords; ++i) {
            std::snprintf(buf, sizeof buf, "%04X", image[i]);
            out << buf << ((i % 8 == 7) ? '\n' : ' ');
        }
        if (!out.flush()) {
            error = "cannot save the EEPROM to " + temp + ": write failed";
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot save the EEPROM to " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// ---- Life --------------------------------------------------------------------------------

std::unique_ptr<Card> Card::Create(const CardConfig &config, std::string &error)
{
    EepromImage image;
    if (!LoadEepromImage(config, image, error))
        return nullptr;
    return std::make_unique<Card>(config, image);
}

Card::Card(const CardConfig &config, const EepromImage &eeprom)
    : config_(config), eeprom_(eeprom, config.eepromProgramTime)
{
    PowerUp();
    if (!config_.eepromPath.empty()) {
        eeprom_.OnProgrammed([this](const EepromImage &image) {
            std::string error;
            if (!SaveEepromImage(config_.eepromPath, image, error))
                Note(now_, error);
        });
    } else {
        // A user who writes the EEPROM of a card with no file behind it should know, once,
        // that the words are gone when the process ends.
        // Once per card: a machine host that boots a new card tells that card's user again.
        eeprom_.OnProgrammed([told = std::make_shared<std::atomic<bool>>(false)](const EepromImage &) {
            if (!told->exchange(true))
                TellUser("tq4815 simulated machine: note: EEPROM writes last only for this process; "
                         "give eeprom=PATH in TQ4815_SIM to keep them in a file\n");
        });
    }
}

// Every power-up value of the card, in one place. The 8254 and the EEPROM interface come
// up in their own power-up states (counters unprogrammed with their outputs high, EEPROM
// deselected and write-disabled).
void Card::PowerUp()
{
    bridgeStore_.fill(0);
    intCsr_ = config_.intCsrPowerUp & ~(bridge::kIntCsrReadOnly | bridge::kIntCsrStrobes);
    lint1Latched_ = false;
    lint1From_ = now_;
    lint2Asserted_ = false;
    lint2Latched_ = false;
    bridgeControl_ = config_.bridgeControlPowerUp & ~bridge::kEeLines;
    lastIntCsrRead_.reset();
    lastControlRead_.reset();
    timer_.PowerUpOutputs(config_.counterOutputsHigh);

    control_ = 0;  // channel 0, gain index 0; also what the converter has latched
    latchedChannel_ = 0;
    latchedGain_ = 0;
    converting_ = false;
    result_ = 0;
    doLow_ = doHigh_ = 0;
    aoLoad_ = {0, 0};
    ao_ = {0, 0};
    line_ = false;
    StateChanged();
}

void Card::PowerCycle(VTime t)
{
    Settle(t);
    timer_ = Timer8254{};
    PowerUp();
    UpdateLine();
}

// Logs a misuse at the access being decoded; one no test declared goes to the observer.
void Card::Note(VTime t, std::string what)
{
    MisuseRecord record{t, std::move(what), DescribeAccess(), false};
    for (const std::string &fragment : expectedMisuse_)
        if (record.what.find(fragment) != std::string::npos)
            record.expected = true;
    if (!record.expected && misuseObserver_)
        misuseObserver_(record);
    misuse_.Add(std::move(record));
}

std::string Card::DescribeAccess() const
{
    if (access_.width == 0)
        return "the card";
    const char *window = access_.window == Window::Bridge ? "bridge" : access_.window == Window::Board ? "board" : "spare range";
    std::string text = std::to_string(access_.width * 8) + "-bit " + (access_.write ? "write of " + Hex(access_.value) + " to " : "read of ");
    return text + window + " +" + Hex(access_.offset);
}

std::size_t Card::MisuseMatching(const std::string &fragment) const
{
    std::size_t n = 0;
    for (const MisuseRecord &m : misuse_.Entries())
        n += m.what.find(fragment) != std::string::npos;
    return n;
}

void AppendNotePart(std::string &text, const char *part) { text += part; }
void AppendNotePart(std::string &text, unsigned part) { text += std::to_string(part); }
void AppendNotePart(std::string &text, HexWord part) { text += Hex(part.value); }

// ---- Interrupt logic -------------------------------------------------------------------------
//
// Local interrupt 1 is the output of 8254 counter 0. In edge mode (IntCsr bit 8) its
// active edge (rising when bit 1 says active high, else falling) is latched in status
// bit 2 until a write with bit 10 clears it; the latch is computed, not ticked: it holds
// when an active edge fell after lint1From_ or one was latched before it. In level mode
// bit 2 follows the line. Local interrupt 2 has no source on the card: a test asserts it,
// and bit 5 latches its assertion (edge mode, bit 9; cleared by bit 11) or follows it; its
// polarity bit 4 is kept but plays no part, the test saying directly whether it is active.
// The card requests its PCI interrupt while bit 6 is set and (bits 0 and 2) or (bits 3
// and 5) are. Status bits latch and follow whether or not their enables are set.

bool Card::Lint1ActiveEdgeIn(VTime after, VTime upTo) const
{
    if (upTo <= after)
        return false;
    const Counter8254 &c0 = timer_.Counter(0);
    return (intCsr_ & bridge::kLint1ActiveHigh) ? c0.RisingEdgeIn(after, upTo) : c0.FallingEdgeIn(after, upTo);
}

// The status at t, and in `until` the time up to which it stays so if nothing is written:
// a latched edge stays until cleared; otherwise the status changes at counter 0's next
// active edge (edge mode) or next edge (level mode).
bool Card::ComputeLint1Status(VTime t, VTime &until) const
{
    const Counter8254 &c0 = timer_.Counter(0);
    const bool activeHigh = (intCsr_ & bridge::kLint1ActiveHigh) != 0;
    if (intCsr_ & bridge::kLint1Edge) {
        if (lint1Latched_ || Lint1ActiveEdgeIn(lint1From_, t)) {
            until = kNever;
            return true;
        }
        until = c0.NextEdge(t, activeHigh, !activeHigh);
        return false;
    }
    until = c0.NextEdge(t, true, true);
    return c0.Out(t) == activeHigh;
}

// Something the line or local interrupt 1's status depends on changed: both are computed
// afresh at the next look.
void Card::StateChanged()
{
    lineUntil_ = 0;
    lint1Until_ = 0;
}

// Computes the line as of now_, and how long it holds.
void Card::UpdateLine()
{
    bool lint1 = (intCsr_ & bridge::kLint1Enable) && Lint1Status(now_);
    bool lint2 = (intCsr_ & bridge::kLint2Enable) && Lint2Status();
    line_ = (intCsr_ & bridge::kPciEnable) && (lint1 || lint2);
    lineUntil_ = ComputeNextEventTime(now_);
}

VTime Card::ComputeNextEventTime(VTime now) const
{
    // Only counter 0 changes the line by itself, and only through local interrupt 1: at
    // the end of the span over which its status holds (never, once an edge is latched).
    if (!(intCsr_ & bridge::kPciEnable) || !(intCsr_ & bridge::kLint1Enable))
        return kNever;
    Lint1Status(now);
    return lint1Until_;
}

void Card::AdvanceTo(VTime t)
{
    Settle(t);
    RefreshLine();
}

void Card::SetLocalInterrupt2(VTime t, bool asserted)
{
    Settle(t);
    if (asserted && !lint2Asserted_ && (intCsr_ & bridge::kLint2Edge))
        lint2Latched_ = true;
    lint2Asserted_ = asserted;
    UpdateLine();
}

std::uint32_t Card::PeekIntCsr(VTime t) const
{
    return IntCsrAt(t < now_ ? now_ : t);
}

std::uint32_t Card::PeekBridgeControl(VTime t) const
{
    if (t < now_)
        t = now_;
    return (bridgeControl_ & ~bridge::kEeFromChip) | (eeprom_.DataOut(t) ? bridge::kEeFromChip : 0);
}

void Card::WriteBridgeControl(VTime t, std::uint32_t value)
{
    if (pinObserver_)
        pinObserver_();
    std::uint32_t reference = lastControlRead_ ? *lastControlRead_ : PeekBridgeControl(t);
    if (value & bridge::kEeFromChip & ~reference)
        NoteParts(t, "bridge control write sets the read-only EEPROM data-out bit (ignored)");
    bridgeControl_ = value & ~bridge::kEeFromChip;
    std::string note = eeprom_.SetPins(t, (value & bridge::kEeSelect) != 0, (value & bridge::kEeClock) != 0,
                                       (value & bridge::kEeToChip) != 0);
    if (!note.empty())
        Note(t, note);
}

// ---- Bridge window ------------------------------------------------------------------------------

std::uint32_t Card::BridgeRead(VTime t, std::uint32_t offset, unsigned width)
{
    std::uint32_t intCsr = PeekIntCsr(t), control = PeekBridgeControl(t);
    std::uint32_t value = 0;
    // Part of a 32-bit register is read with the bus's byte enables, as any PCI target
    // answers it.
    bool partial = (offset & 3) != 0 || width != 4;
    for (unsigned i = 0; i < width; ++i) {
        std::uint32_t o = offset + i;
        std::uint32_t byte = 0xFF;
        if (o < kBridgeWindowLength) {
            std::uint32_t reg = o & ~3u, shift = 8 * (o & 3);
            if (reg == bridge::kIntCsr || reg == bridge::kControl) {
                byte = ((reg == bridge::kIntCsr ? intCsr : control) >> shift) & 0xFF;
            } else {
                byte = bridgeStore_[o];
            }
        }
        value |= byte << (8 * i);
    }
    if (!partial && offset == bridge::kIntCsr)
        lastIntCsrRead_ = value;
    if (!partial && offset == bridge::kControl)
        lastControlRead_ = value;
    return value;
}

void Card::BridgeWrite(VTime t, std::uint32_t offset, unsigned width, std::uint32_t value)
{
    if (width == 4 && offset == bridge::kIntCsr)
        return WriteIntCsr(t, value);
    if (width == 4 && offset == bridge::kControl)
        return WriteBridgeControl(t, value);
    // Anything else: storage bytes, or part of a 32-bit register merged into its value
    // (the bus's byte enables write only the bytes addressed).
    std::optional<std::uint32_t> intCsr, control;
    for (unsigned i = 0; i < width; ++i) {
        std::uint32_t o = offset + i;
        std::uint8_t byte = static_cast<std::uint8_t>(value >> (8 * i));
        if (o >= kBridgeWindowLength)
            continue;
        std::uint32_t reg = o & ~3u, shift = 8 * (o & 3);
        if (reg == bridge::kIntCsr || reg == bridge::kControl) {
            std::optional<std::uint32_t> &merged = reg == bridge::kIntCsr ? intCsr : control;
            if (!merged)
                merged = reg == bridge::kIntCsr ? PeekIntCsr(t) & ~bridge::kIntCsrStrobes : PeekBridgeControl(t);
            *merged = (*merged & ~(0xFFu << shift)) | (std::uint32_t{byte} << shift);
        } else {
            bridgeStore_[o] = byte;
        }
    }
    if (intCsr) {
        lastIntCsrRead_.reset();
        WriteIntCsr(t, *intCsr);
    }
    if (control) {
        lastControlRead_.reset();
        WriteBridgeControl(t, *control);
    }
}

// ---- Board window -------------------------------------------------------------------------------

void Card::WriteTimer(VTime t, unsigned port, std::uint8_t value)
{
    // Only counter 0 feeds the bridge. A write may move its output at once (a control word
    // sets it high in modes 2 and 3): that is an edge like any other.
    const Counter8254 &c0 = timer_.Counter(0);
    bool before = c0.Out(t);
    MaterialiseLint1(t);
    std::string note = port == board::kTimerControl ? timer_.WriteControl(t, value) : timer_.WriteCount(t, port, value);
    if (!note.empty())
        Note(t, "8254 counter " + std::to_string(port == board::kTimerControl ? value >> 6 : port) + ": " + note);
    bool after = c0.Out(t);
    bool activeHigh = (intCsr_ & bridge::kLint1ActiveHigh) != 0;
    if ((intCsr_ & bridge::kLint1Edge) && before != after && after == activeHigh)
        lint1Latched_ = true;
    StateChanged();
}

// ---- The converter and its channel/gain latch ---------------------------------------------------
//
// The converter keeps one channel/gain pair in a latch between conversion starts. A start
// converts the pair in the latch, and then latches the pair the control register holds at
// that moment. A value written to the control register therefore reaches a result only
// two starts later: written between starts n-1 and n, latched by start n, converted by
// start n+1.
//
// Which channel a result belongs to, for a sequencer whose step k (1) reads the result of
// the conversion started at step k-1, (2) starts conversion k, (3) writes the control
// register:
//  - The control register written at step k-3 is what start k-2 latches, start k-1
//    converts, and step k reads: the sample read at a step belongs to the channel written
//    three steps earlier.
//  - An acquisition start writes channel 0 (with its gain) to the control register and
//    then starts one conversion, S. S converts whatever the latch held before: the channel
//    and gain of the control register as it stood at the start before S (a previous
//    acquisition, a board command, or power-up's channel 0 at gain index 0). So the result
//    available at step 1 belongs to whatever was selected before the start.
//  - S latches channel 0. Step 1's start converts that channel 0 and latches the register,
//    still channel 0 (step 1 writes its own selection after its start). Step 2's start
//    converts that. The results read at steps 2 and 3 are both channel 0.
//  - The channel written at step 1 is latched by step 2's start, converted by step 3's and
//    read at step 4, which fills slot 1 of the first scan; the one written at step 2 is
//    read at step 5 into slot 2.
//  - A one-channel acquisition writes its channel only at the start, so its results from
//    step 2 on are that channel; step 1's is the earlier selection, as above.
//  - A polled scan that starts a conversion, then writes channel i+1, waits for it and
//    reads it, gets in pass i the conversion whose channel was written in pass i-2 (or by
//    the set-up before pass 0 for pass 1): with channel 0 set up first, the words read in
//    passes 1, 2, 3 ... are channels 0, 1, 2 ...
// The gain travels through the same latch as the channel.

std::uint16_t Card::Convert(VTime t, unsigned channel, unsigned gain, double &volts)
{
    const SignalSpec &signal = config_.channels[channel];
    switch (signal.kind) {
    case SignalKind::Count:
        // A test pattern of codes, not of volts: every conversion of the channel gives the
        // next code, whatever the gain.
        volts = std::numeric_limits<double>::quiet_NaN();
        return static_cast<std::uint16_t>(perChannel_[channel] & 0x0FFF);
    case SignalKind::AnalogOut0:
    case SignalKind::AnalogOut1:
        volts = AnalogOutputVolts(signal.kind == SignalKind::AnalogOut0 ? 0 : 1);
        break;
    default:
        volts = SignalVolts(signal, t, channel, config_.seed);
        break;
    }
    return VoltsToCode(volts * config_.gains[gain], config_.rangeMin, config_.rangeMax);
}

// Bits 12-15 of a result: nothing the converter produced, but not zero on every card; a
// reader that forgets to keep only the 12-bit code sees them.
unsigned Card::HighBits(unsigned channel, std::uint64_t seq) const
{
    switch (config_.adHigh) {
    case AdHighBits::Zero:
        return 0;
    case AdHighBits::Channel:
        return channel & 0x0F;
    case AdHighBits::Noise:
        break;
    }
    // A mix of the seed and the conversion's number (splitmix64's finaliser).
    std::uint64_t z = config_.seed + 0x9E3779B97F4A7C15ull * (seq + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<unsigned>((z ^ (z >> 31)) & 0x0F);
}

void Card::StartConversion(VTime t)
{
    if (converting_) {
        NoteParts(t, misuse::kRestart, " (its result is lost)");
        if (ConversionRecord *lost = conversions_.MutableAt(pendingSeq_))
            lost->abandoned = true;
    }
    unsigned channel = latchedChannel_, gain = latchedGain_;
    latchedChannel_ = board::ChannelOf(control_);
    latchedGain_ = board::GainOf(control_);

    double volts = 0.0;
    std::uint16_t code = Convert(t, channel, gain, volts);
    ++perChannel_[channel];
    converting_ = true;
    conversionDue_ = t + config_.conversionTime;
    pendingSeq_ = conversions_.Total();
    pendingCode_ = static_cast<std::uint16_t>(code | HighBits(channel, pendingSeq_) << 12);
    ConversionRecord record{pendingSeq_, t, conversionDue_, channel, gain, code, pendingCode_, volts, false};
    conversions_.Add(record);
    if (observer_)
        observer_(record);
}

double Card::AnalogOutputVolts(unsigned i) const
{
    return CodeToVolts(ao_.at(i), config_.rangeMin, config_.rangeMax);
}

void Card::SetDigitalInputs(std::uint8_t low, std::uint8_t high)
{
    config_.diLoopback = false;
    config_.diLow = low;
    config_.diHigh = high;
}

// ---- Bus entry points ---------------------------------------------------------------------------

std::uint32_t Card::Read(VTime t, Window window, std::uint32_t offset, unsigned width)
{
    return ReadInline(t, window, offset, width);
}

void Card::Write(VTime t, Window window, std::uint32_t offset, unsigned width, std::uint32_t value)
{
    WriteInline(t, window, offset, width, value);
}

std::uint32_t Card::ReadOther(VTime t, Window window, std::uint32_t offset, unsigned width)
{
    std::uint32_t value = 0;
    switch (window) {
    case Window::Bridge:
        value = BridgeRead(t, offset, width);
        break;
    case Window::Board:
        // The board's registers are bytes on the bridge's 8-bit local bus: the bridge splits
        // a wider access into byte cycles at successive offsets, lowest first, as it does for
        // the driver's 16- and 32-bit register requests.
        for (unsigned i = 0; i < width; ++i)
            value |= std::uint32_t{offset + i < kBoardWindowLength ? BoardRead(t, offset + i) : std::uint8_t{0xFF}}
                     << (8 * i);
        break;
    case Window::Spare:
        NoteParts(t, "read of a range the card does not decode");
        value = width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
        break;
    }
    return value;
}

void Card::WriteOther(VTime t, Window window, std::uint32_t offset, unsigned width, std::uint32_t value)
{
    switch (window) {
    case Window::Bridge:
        BridgeWrite(t, offset, width, value);
        break;
    case Window::Board:
        // Split into byte cycles, as for reads.
        for (unsigned i = 0; i < width; ++i)
            if (offset + i < kBoardWindowLength)
                BoardWrite(t, offset + i, static_cast<std::uint8_t>(value >> (8 * i)));
        break;
    case Window::Spare:
        NoteParts(t, "write to a range the card does not decode");
        break;
    }
}

}  // namespace sim
