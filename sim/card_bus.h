// The card's bus entry points and the register routines they run on every access, inline
// in the two files that make bus accesses: card.cpp (Card::Read and Card::Write) and the
// card's window devices in card_host.cpp, so that an access on the simulated bus reaches
// the register in one call. Private to the card model.
#ifndef TQ_SIM_CARD_BUS_H
#define TQ_SIM_CARD_BUS_H

#include "sim/card.h"

#include <string>

namespace sim {

// The pieces of a misuse note, appended to its text (card.cpp).
void AppendNotePart(std::string &text, const char *part);
void AppendNotePart(std::string &text, unsigned part);
void AppendNotePart(std::string &text, HexWord part);

// Builds a note's text out of line: the register routines run on every bus access, and a
// misuse is their rare path, so its string building is kept out of them.
template <typename... Parts>
void Card::NoteParts(VTime t, const Parts &...parts)
{
    std::string text;
    (AppendNotePart(text, parts), ...);
    Note(t, std::move(text));
}

// Brings the card to time t: time never runs backwards, and a conversion that is due has
// completed.
inline VTime Card::Settle(VTime t)
{
    if (t < now_)
        t = now_;
    now_ = t;
    if (converting_ && t >= conversionDue_) {
        result_ = pendingCode_;
        converting_ = false;
    }
    return t;
}

// Local interrupt 1's status at t, from the span remembered when t falls within it.
inline bool Card::Lint1Status(VTime t) const
{
    if (t >= lint1CachedFrom_ && t < lint1Until_)
        return lint1Value_;
    lint1Value_ = ComputeLint1Status(t, lint1Until_);
    lint1CachedFrom_ = t;
    return lint1Value_;
}

// Local interrupt 2's status: its latch in edge mode, else whether it is asserted.
inline bool Card::Lint2Status() const
{
    return (intCsr_ & bridge::kLint2Edge) ? lint2Latched_ : lint2Asserted_;
}

// The line after time moved or the card's state changed. Every bus access ends here and
// most of them (the converter's registers, a read of IntCsr) change nothing the line
// depends on, inside a period in which the line cannot change by itself: the line is
// computed again only when the card's state changed or its next event has come.
inline void Card::RefreshLine()
{
    if (now_ >= lineUntil_)
        UpdateLine();
}

// IntCsr as a read at t (not before now_) gives it: the bits written and both statuses.
inline std::uint32_t Card::IntCsrAt(VTime t) const
{
    std::uint32_t v = intCsr_;
    if (Lint1Status(t))
        v |= bridge::kLint1Status;
    if (Lint2Status())
        v |= bridge::kLint2Status;
    return v;
}

// Folds the edges up to t into the stored latch, before counter 0 or IntCsr change. The
// status itself is the same before and after, so its cached span stays good; the caller
// says what its change invalidates.
inline void Card::MaterialiseLint1(VTime t)
{
    if (intCsr_ & bridge::kLint1Edge)
        lint1Latched_ = Lint1Status(t);
    lint1From_ = t;
}

// A whole IntCsr write (three per interrupt from a typical interrupt routine): the enables
// and modes as written, the latches cleared as asked.
inline void Card::WriteIntCsr(VTime t, std::uint32_t value)
{
    // Writing back what was read is how a driver updates the register; setting a status
    // bit that did not read as set is a mistake.
    std::uint32_t reference = lastIntCsrRead_ ? *lastIntCsrRead_ : PeekIntCsr(t);
    if (value & bridge::kIntCsrReadOnly & ~reference)
        NoteParts(t, "IntCsr write sets read-only status bit(s) ", HexWord{value & bridge::kIntCsrReadOnly & ~reference},
                  " (ignored)");
    MaterialiseLint1(t);
    std::uint32_t old = intCsr_;
    std::uint32_t next = value & ~(bridge::kIntCsrReadOnly | bridge::kIntCsrStrobes);
    // Most writes (the interrupt routine's enable and disable of the PCI interrupt) leave
    // local interrupt 1's mode, polarity and latch alone, and with them its status.
    const bool lint1Kept =
        ((next ^ old) & (bridge::kLint1Edge | bridge::kLint1ActiveHigh)) == 0 && !(value & bridge::kLint1Clear);
    if ((next & bridge::kLint1Edge) && !(old & bridge::kLint1Edge))
        lint1Latched_ = false;  // edges seen in level mode are not latched
    if ((next & bridge::kLint2Edge) && !(old & bridge::kLint2Edge))
        lint2Latched_ = false;
    if (value & bridge::kLint1Clear)
        lint1Latched_ = false;
    if (value & bridge::kLint2Clear)
        lint2Latched_ = false;
    intCsr_ = next;
    if (lint1Kept)
        lineUntil_ = 0;
    else
        StateChanged();
}

// One board register read: the converter's result and status, the digital inputs.
inline std::uint8_t Card::BoardRead(VTime t, std::uint32_t offset)
{
    switch (offset) {
    case board::kAdLow:
    case board::kAdHigh:
        if (converting_)
            NoteParts(t, misuse::kEarlyRead, " (the previous result is returned)");
        return offset == board::kAdLow ? static_cast<std::uint8_t>(result_ & 0xFF)
                                       : static_cast<std::uint8_t>(result_ >> 8);
    case board::kStatus:
        return converting_ ? 0 : board::kStatusConversionDone;
    case board::kDiLow:
        return DigitalInputLow();
    case board::kDiHigh:
        return DigitalInputHigh();
    default:
        NoteParts(t, misuse::kWriteOnlyRead, " +", offset);
        return 0xFF;
    }
}

// One board register write: the 8254, the analog outputs, the channel/gain register, the
// digital outputs, a conversion start.
inline void Card::BoardWrite(VTime t, std::uint32_t offset, std::uint8_t value)
{
    switch (offset) {
    case board::kCounter0:
    case board::kCounter1:
    case board::kCounter2:
    case board::kTimerControl:
        WriteTimer(t, offset, value);
        return;
    case board::kDa0Low:
    case board::kDa1Low: {
        std::uint16_t &load = aoLoad_[offset == board::kDa0Low ? 0 : 1];
        load = static_cast<std::uint16_t>((load & 0x0F00) | value);
        return;
    }
    case board::kDa0High:
    case board::kDa1High: {
        if (value & 0xF0)
            NoteParts(t, "analog output high byte ", HexWord{value}, " has bits above the 12-bit code (ignored)");
        std::uint16_t &load = aoLoad_[offset == board::kDa0High ? 0 : 1];
        load = static_cast<std::uint16_t>(((value & 0x0F) << 8) | (load & 0x00FF));
        return;
    }
    case board::kDaLatch:
        ao_ = aoLoad_;
        return;
    case board::kControl:
        control_ = value;
        return;
    case board::kDoLow:
        doLow_ = value;
        return;
    case board::kDoHigh:
        doHigh_ = value;
        return;
    case board::kStartConversion:
        StartConversion(t);
        return;
    default:
        NoteParts(t, "write to board offset +", offset, ", which has no register");
        return;
    }
}

// The interrupt routine's accesses (a whole IntCsr, a board register byte) are decoded
// here; everything else goes the general way.
inline std::uint32_t Card::ReadInline(VTime t, Window window, std::uint32_t offset, unsigned width)
{
    t = Settle(t);
    access_ = {window, offset, static_cast<std::uint8_t>(width), false, 0};
    std::uint32_t value;
    if (window == Window::Board && width == 1 && offset < kBoardWindowLength) {
        value = BoardRead(t, offset);
    } else if (window == Window::Bridge && width == 4 && offset == bridge::kIntCsr) {
        value = IntCsrAt(t);
        lastIntCsrRead_ = value;
    } else {
        value = ReadOther(t, window, offset, width);
    }
    if (trace_.KeepsNothing())
        trace_.Count();
    else
        trace_.Add({t, window, offset, static_cast<std::uint8_t>(width), false, value});
    access_.width = 0;
    RefreshLine();
    return value;
}

// As ReadInline, for writes.
inline void Card::WriteInline(VTime t, Window window, std::uint32_t offset, unsigned width, std::uint32_t value)
{
    t = Settle(t);
    if (width < 4)
        value &= (1u << (8 * width)) - 1;
    access_ = {window, offset, static_cast<std::uint8_t>(width), true, value};
    if (trace_.KeepsNothing())
        trace_.Count();
    else
        trace_.Add({t, window, offset, static_cast<std::uint8_t>(width), true, value});
    if (window == Window::Board && width == 1 && offset < kBoardWindowLength)
        BoardWrite(t, offset, static_cast<std::uint8_t>(value));
    else if (window == Window::Bridge && width == 4 && offset == bridge::kIntCsr)
        WriteIntCsr(t, value);
    else
        WriteOther(t, window, offset, width, value);
    access_.width = 0;
    RefreshLine();
}

}  // namespace sim

#endif
