// The simulated Tq4815: its PCI bridge (local-configuration registers with the interrupt
// control/status register and the EEPROM-wired control register, and the serial EEPROM),
// and its board (8254, A/D converter with its channel/gain latch, 32 signal sources,
// digital inputs and outputs, two analog outputs).
//
// The model knows nothing of the platform: every entry point takes the virtual time of
// the access, time never runs backwards (an earlier time is taken as the latest one seen),
// and the card reports when its interrupt line may next change by itself so that a clock
// can stop there. sim/card_host.h puts it on the simulated machine's bus.
//
// Ground truth. Beside the registers a test can ask what the card did: every conversion
// (start, completion, channel, gain index, code), the channel and gain latched for the next
// one, every register access (time, window, offset, width, value), every misuse (an access
// of the wrong width, a write to a read-only bit, a read of a write-only register, a
// protocol slip on the EEPROM lines, a conversion started while one runs), the outputs, the
// counters and the EEPROM contents. Logs keep their newest entries up to a capacity.
#ifndef TQ_SIM_CARD_H
#define TQ_SIM_CARD_H

#include "sim/config.h"
#include "sim/eeprom93c46.h"
#include "sim/registers.h"
#include "sim/timer8254.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ConversionRecord {
    std::uint64_t seq;     // 0, 1, 2 ... over the card's life
    VTime start;           // the write that started it (the input is sampled here)
    VTime complete;        // when its result became readable
    unsigned channel;      // channel and gain index it converted (latched one start earlier)
    unsigned gain;
    std::uint16_t code;    // 12-bit result
    std::uint16_t word;    // what the result registers show: the code and bits 12-15
    double volts;          // input at the connector; NaN for `count`
    bool abandoned;        // a new start came before it completed: its result never appeared
};

struct RegisterAccess {
    VTime time;
    Window window;
    std::uint32_t offset;
    std::uint8_t width;  // bytes
    bool write;
    std::uint32_t value;
};

// Words of the card's misuse notes, for tests that declare the misuse they provoke.
namespace misuse {
inline constexpr const char *kEarlyRead = "A/D result read while a conversion is in progress";
inline constexpr const char *kRestart = "conversion started while the previous one was still converting";
inline constexpr const char *kWriteOnlyRead = "read of write-only board register";
inline constexpr const char *kNoRegister = "which has no register";
inline constexpr const char *kUndecoded = "a range the card does not decode";
inline constexpr const char *kAnalogHigh = "has bits above the 12-bit code";
inline constexpr const char *kTimer = "8254 counter";
inline constexpr const char *kEeprom = "EEPROM";
inline constexpr const char *kAny = "";  // every note
inline constexpr const char *kEepromAfterCommand = "after a complete";  // clocks or a command without a deselect
inline constexpr const char *kEepromBusy = "EEPROM start bit during a programming cycle";
}  // namespace misuse

struct MisuseRecord {
    VTime time;
    std::string what;
    std::string access;  // the register access that made it, e.g. "8-bit read of board +1"
    bool expected;       // a test declared it (Card::ExpectMisuse)
};

// A log that keeps the newest `capacity` entries and counts every entry ever added.
template <typename T>
class TruthLog {
public:
    explicit TruthLog(std::size_t capacity) : capacity_(capacity) {}
    // Keeps nothing: an entry need not even be built (Count instead of Add).
    bool KeepsNothing() const { return capacity_ == 0; }
    void Count() { ++total_; }
    void Add(T entry)
    {
        if (capacity_ == 0)
            return (void)++total_;
        if (entries_.size() == capacity_)
            entries_.pop_front();
        entries_.push_back(std::move(entry));
        ++total_;
    }
    const std::deque<T> &Entries() const { return entries_; }
    std::uint64_t Total() const { return total_; }
    // Entry by its number among all entries ever added, if still kept.
    const T *At(std::uint64_t number) const
    {
        std::uint64_t first = total_ - entries_.size();
        return number >= first && number < total_ ? &entries_[number - first] : nullptr;
    }
    T *MutableAt(std::uint64_t number) { return const_cast<T *>(At(number)); }
    void SetCapacity(std::size_t capacity)
    {
        capacity_ = capacity;
        while (entries_.size() > capacity_)
            entries_.pop_front();
    }
    void Clear() { entries_.clear(); }

private:
    std::size_t capacity_;
    std::deque<T> entries_;
    std::uint64_t total_ = 0;
};

// Reads the persisted EEPROM file, or builds the power-up contents from the configuration
// when there is no file (or no path). Returns false with `error` for an unreadable or
// malformed file.
bool LoadEepromImage(const CardConfig &config, EepromImage &image, std::string &error);
bool SaveEepromImage(const std::string &path, const EepromImage &image, std::string &error);
// Power-up contents: erased except words 58/59, the card frequency as an IEEE single,
// low word first (unless the frequency is configured erased).
EepromImage DefaultEepromImage(const CardConfig &config);

// A number a note shows in hexadecimal.
struct HexWord {
    std::uint32_t value;
};

class Card {
    friend class CardHost;  // its window devices run the inline bus entry points

public:
    // Builds a card, loading its persisted EEPROM if configured; null with `error` if that fails.
    static std::unique_ptr<Card> Create(const CardConfig &config, std::string &error);
    Card(const CardConfig &config, const EepromImage &eeprom);

    // ---- The bus side ------------------------------------------------------------------
    std::uint32_t Read(VTime t, Window window, std::uint32_t offset, unsigned width);
    void Write(VTime t, Window window, std::uint32_t offset, unsigned width, std::uint32_t value);
    // Earliest time after `now` at which the interrupt line may change by itself, or kNever.
    // Depends on IntCsr and counter 0 only (see WriteMayMoveEvents).
    VTime NextEventTime(VTime now) const
    {
        if (now < now_)
            now = now_;
        // Nothing changed since the line was computed, and its next event is still ahead.
        if (now < lineUntil_)
            return lineUntil_;
        return ComputeNextEventTime(now);
    }
    // Whether a write of `width` bytes at `offset` of `window` may move NextEventTime: one
    // that touches IntCsr (enables, polarity, edge mode, the latch) or the 8254's ports.
    static bool WriteMayMoveEvents(Window window, std::uint32_t offset, unsigned width)
    {
        switch (window) {
        case Window::Bridge:
            return offset < bridge::kIntCsr + 4 && offset + width > bridge::kIntCsr;
        case Window::Board:
            return offset <= board::kTimerControl;  // the counters' ports and the control port
        default:
            return false;
        }
    }
    // Brings the card to time t (completes a due conversion, re-evaluates the line).
    void AdvanceTo(VTime t);
    // The card's PCI interrupt request, as of the latest time the card was brought to.
    bool InterruptAsserted() const { return line_; }

    // ---- What a test can do to the card ------------------------------------------------
    // Local interrupt 2 has no source on the card; a test asserts or deasserts it here.
    void SetLocalInterrupt2(VTime t, bool asserted);
    // The card had no power and gets it back at t (back from D3, or put into a slot
    // again): every register holds its power-up value, the 8254's counters are
    // unprogrammed; the EEPROM keeps its contents.
    void PowerCycle(VTime t);
    void SetSignal(unsigned channel, const SignalSpec &signal) { config_.channels.at(channel) = signal; }
    void SetDigitalInputs(std::uint8_t low, std::uint8_t high);
    void SetDigitalLoopback(bool on) { config_.diLoopback = on; }
    void SetEepromWord(unsigned address, std::uint16_t value) { eeprom_.SetWord(address, value); }
    void SetTraceCapacity(std::size_t entries) { trace_.SetCapacity(entries); }
    void SetConversionLogCapacity(std::size_t entries) { conversions_.SetCapacity(entries); }
    // Called for every conversion when it starts (the record's `complete` is its due time).
    void SetConversionObserver(std::function<void(const ConversionRecord &)> observer) { observer_ = std::move(observer); }
    // Called at every write of the bridge control register (the EEPROM's pins), in the
    // writing thread, before the chip sees it: a test looks there at what the driver holds
    // while it drives the chip.
    void SetEepromPinObserver(std::function<void()> observer) { pinObserver_ = std::move(observer); }

    // ---- Ground truth ---------------------------------------------------------------------
    const CardConfig &Config() const { return config_; }
    const TruthLog<ConversionRecord> &Conversions() const { return conversions_; }
    std::uint64_t ConversionsOfChannel(unsigned channel) const { return perChannel_.at(channel); }
    const TruthLog<RegisterAccess> &Trace() const { return trace_; }
    void ClearTrace() { trace_.Clear(); }
    const TruthLog<MisuseRecord> &Misuse() const { return misuse_; }
    void ClearMisuse() { misuse_.Clear(); }
    // Misuse is the driver's fault unless a test provokes it on purpose: a note whose text
    // contains `fragment` is from now on logged as expected and not passed to the observer.
    void ExpectMisuse(std::string fragment) { expectedMisuse_.push_back(std::move(fragment)); }
    // Called at every misuse no test declared, at the access that made it (the machine
    // reports it through the kernel stand-in's verifier).
    void SetMisuseObserver(std::function<void(const MisuseRecord &)> observer) { misuseObserver_ = std::move(observer); }
    // Notes matching `fragment` logged so far (kept entries only).
    std::size_t MisuseMatching(const std::string &fragment) const;

    std::uint8_t ControlRegister() const { return control_; }
    unsigned LatchedChannel() const { return latchedChannel_; }  // what the next start converts
    unsigned LatchedGain() const { return latchedGain_; }
    std::uint16_t Result() const { return result_; }  // latest completed result, as the registers show it
    bool Converting() const { return converting_; }             // as of the latest time seen

    std::uint8_t DigitalOutputLow() const { return doLow_; }
    std::uint8_t DigitalOutputHigh() const { return doHigh_; }
    std::uint8_t DigitalInputLow() const { return config_.diLoopback ? doLow_ : config_.diLow; }
    std::uint8_t DigitalInputHigh() const { return config_.diLoopback ? doHigh_ : config_.diHigh; }
    std::uint16_t AnalogOutput(unsigned i) const { return ao_.at(i); }        // on the output
    std::uint16_t AnalogOutputLoaded(unsigned i) const { return aoLoad_.at(i); }  // loaded, not latched
    double AnalogOutputVolts(unsigned i) const;

    const Counter8254 &Counter(unsigned i) const { return timer_.Counter(i); }
    bool CounterOut(unsigned i, VTime t) const { return timer_.Counter(i).Out(t); }

    const EepromImage &EepromContents() const { return eeprom_.Contents(); }
    const Eeprom93C46 &Eeprom() const { return eeprom_; }

    // Register values as a read at time t would return them, without the read's effects.
    std::uint32_t PeekIntCsr(VTime t) const;
    std::uint32_t PeekBridgeControl(VTime t) const;

    VTime Now() const { return now_; }

private:
    void PowerUp();
    // The register routines below marked always_inline run on every bus access; their
    // bodies are in card_bus.h, for card.cpp and the window devices of card_host.cpp.
    [[gnu::always_inline]] inline VTime Settle(VTime t);
    void UpdateLine();
    [[gnu::always_inline]] inline void RefreshLine();
    VTime ComputeNextEventTime(VTime now) const;
    void Note(VTime t, std::string what);
    std::string DescribeAccess() const;
    template <typename... Parts>
    [[gnu::noinline, gnu::cold]] void NoteParts(VTime t, const Parts &...parts);

    [[gnu::always_inline]] inline std::uint8_t BoardRead(VTime t, std::uint32_t offset);
    [[gnu::always_inline]] inline void BoardWrite(VTime t, std::uint32_t offset, std::uint8_t value);
    // Read and Write, inline where the card's window devices can run them (card_bus.h).
    [[gnu::always_inline]] inline std::uint32_t ReadInline(VTime t, Window window, std::uint32_t offset,
                                                           unsigned width);
    [[gnu::always_inline]] inline void WriteInline(VTime t, Window window, std::uint32_t offset, unsigned width, std::uint32_t value);
    std::uint32_t ReadOther(VTime t, Window window, std::uint32_t offset, unsigned width);
    void WriteOther(VTime t, Window window, std::uint32_t offset, unsigned width, std::uint32_t value);
    [[gnu::always_inline]] inline std::uint32_t IntCsrAt(VTime t) const;
    std::uint32_t BridgeRead(VTime t, std::uint32_t offset, unsigned width);
    void BridgeWrite(VTime t, std::uint32_t offset, unsigned width, std::uint32_t value);
    [[gnu::always_inline]] inline void WriteIntCsr(VTime t, std::uint32_t value);
    void WriteBridgeControl(VTime t, std::uint32_t value);
    void WriteTimer(VTime t, unsigned port, std::uint8_t value);

    void StartConversion(VTime t);
    unsigned HighBits(unsigned channel, std::uint64_t seq) const;
    std::uint16_t Convert(VTime t, unsigned channel, unsigned gain, double &volts);

    [[gnu::always_inline]] inline bool Lint1Status(VTime t) const;
    bool ComputeLint1Status(VTime t, VTime &until) const;
    void StateChanged();
    [[gnu::always_inline]] inline bool Lint2Status() const;
    bool Lint1ActiveEdgeIn(VTime after, VTime upTo) const;
    [[gnu::always_inline]] inline void MaterialiseLint1(VTime t);

    CardConfig config_;
    VTime now_ = 0;
    bool line_ = false;
    // line_ holds, and nothing about the line changes by itself, from now_ up to (not
    // including) this time: the next event as of the latest UpdateLine. 0 after anything
    // that may change the line (IntCsr, the latches, counter 0), so that the next look
    // computes it afresh.
    VTime lineUntil_ = 0;
    // Local interrupt 1's status as last computed, and the span [from, until) over which it
    // holds; until is 0 after anything that may change it (as for lineUntil_). The
    // interrupt routine reads IntCsr several times within one period of counter 0.
    mutable bool lint1Value_ = false;
    mutable VTime lint1CachedFrom_ = 0, lint1Until_ = 0;

    // Bridge.
    std::array<std::uint8_t, kBridgeWindowLength> bridgeStore_{};  // offsets without a function
    std::uint32_t intCsr_ = 0;          // writable bits; status bits are computed
    bool lint1Latched_ = false;         // an active edge latched up to lint1From_
    VTime lint1From_ = 0;               // edges after this time still latch
    bool lint2Asserted_ = false;
    bool lint2Latched_ = false;
    std::uint32_t bridgeControl_ = 0;   // bits as written; bit 27 comes from the EEPROM
    std::optional<std::uint32_t> lastIntCsrRead_, lastControlRead_;
    Eeprom93C46 eeprom_;

    // Board.
    Timer8254 timer_;
    std::uint8_t control_ = 0;
    unsigned latchedChannel_ = 0, latchedGain_ = 0;
    bool converting_ = false;
    VTime conversionDue_ = 0;
    std::uint16_t pendingCode_ = 0;
    std::uint64_t pendingSeq_ = 0;
    std::uint16_t result_ = 0;
    std::array<std::uint64_t, kChannels> perChannel_{};
    std::uint8_t doLow_ = 0, doHigh_ = 0;
    std::array<std::uint16_t, 2> aoLoad_{}, ao_{};

    TruthLog<ConversionRecord> conversions_{1 << 16};
    TruthLog<RegisterAccess> trace_{1 << 16};
    TruthLog<MisuseRecord> misuse_{4096};
    std::vector<std::string> expectedMisuse_;
    std::function<void(const MisuseRecord &)> misuseObserver_;
    std::function<void(const ConversionRecord &)> observer_;
    std::function<void()> pinObserver_;
    // The bus access being decoded, for the misuse it may make.
    struct Access {
        Window window = Window::Board;
        std::uint32_t offset = 0;
        std::uint8_t width = 0;  // 0: not inside an access
        bool write = false;
        std::uint32_t value = 0;
    } access_;
};

}  // namespace sim

#endif
