// The card's 8254 counter/timer: three 16-bit down-counters on a 6 MHz clock, programmed
// by control words (counter select, read/load mode, counting mode, binary or BCD) and by
// count bytes. Nothing is ticked: each counter's output is computed from the virtual time,
// the clock edge at which its count was loaded, and the count.
//
// Clock. Edge k of the 6 MHz clock (k = 0, 1, ... from boot) falls at ceil(k * 1000 / 6) ns,
// so every whole number of clocks is exact over a whole number of microseconds: a count of
// 60 gives exactly 100000 periods per virtual second.
//
// What is modelled (the gates are wired high on this card):
//  - a control word halts its counter until a complete count is written; the output goes
//    low in mode 0 and high in every other mode;
//  - a count takes effect at the first clock edge after its last byte (low byte then high
//    byte for read/load mode 3); count 0 means 65536 in binary, 10000 in BCD;
//  - mode 0: output low, goes high N clocks after the load and stays high;
//  - mode 2 (rate generator): output high, low for one clock when the count reaches 1,
//    period N clocks (N = 1 is illegal on the part: no pulses);
//  - mode 3 (square wave): high for ceil(N/2) clocks, low for floor(N/2), period N (N = 1:
//    no edges);
//  - mode 4 (software strobe): high, one clock low N clocks after the load;
//  - modes 1 and 5 wait for a gate edge that never comes: output high, nothing counted.
// Divergences, all outside what a driver of this card does: a count rewritten without a
// control word restarts the counter at the next clock (the part would finish the current
// period or half period first); the counter-latch and read-back commands are accepted and
// ignored, since the card has no way to read a counter back.
#ifndef TQ_SIM_TIMER8254_H
#define TQ_SIM_TIMER8254_H

#include "sim/registers.h"

#include <array>
#include <cstdint>
#include <string>

namespace sim {

// Clock-edge arithmetic of the 6 MHz timer clock.
constexpr std::uint64_t ClockIndexAt(VTime t) { return t * 3 / 500; }  // last edge at or before t
constexpr VTime ClockEdgeTime(std::uint64_t k) { return (k * 500 + 2) / 3; }

class Counter8254 {
public:
    // What a write did, for the card's misuse log; empty when it was ordinary.
    std::string ControlWord(VTime t, std::uint8_t rwMode, std::uint8_t mode, bool bcd);
    std::string WriteCountByte(VTime t, std::uint8_t byte);
    // The output level the part comes up with, before any control word.
    void PowerUpOutput(bool high)
    {
        ForgetEdges();
        haltedOut_ = high;
    }

    bool Out(VTime t) const;
    // First output transition strictly after t in the wanted direction(s), or kNever.
    VTime NextEdge(VTime t, bool rising, bool falling) const
    {
        if (!rising && !falling)
            return kNever;
        RememberedEdge &r = edges_[(rising ? 1u : 0u) + (falling ? 2u : 0u) - 1u];
        if (r.valid && t >= r.from && t < r.edge)
            return r.edge;
        return RememberNextEdge(r, t, rising, falling);
    }
    bool RisingEdgeIn(VTime after, VTime upTo) const { return NextEdge(after, true, false) <= upTo; }
    bool FallingEdgeIn(VTime after, VTime upTo) const { return NextEdge(after, false, true) <= upTo; }

    // Ground truth.
    bool Programmed() const { return programmed_; }
    bool Running() const { return running_; }
    unsigned Mode() const { return mode_; }
    unsigned ReadLoad() const { return rw_; }  // 1 low byte, 2 high byte, 3 low then high
    bool Bcd() const { return bcd_; }
    std::uint16_t CountRegister() const { return count_; }  // as written
    std::uint32_t Divisor() const { return divisor_; }       // count in clocks (0 -> 65536)
    // Output frequency in Hz of a running counter in mode 2 or 3; 0 otherwise.
    double OutputFrequency() const;
    VTime LoadTime() const { return running_ ? ClockEdgeTime(loadClock_) : kNever; }

private:
    bool Periodic() const { return (mode_ == 2 || mode_ == 3) && divisor_ >= 2; }
    // Output as a function of clocks elapsed since the load (e >= 0).
    bool OutAfter(std::uint64_t e) const;
    // The first edge after t in the wanted direction(s), in clocks after the load, or kNoEdge.
    std::uint64_t NextEdgeClocks(VTime t, bool rising, bool falling) const;
    struct RememberedEdge;
    VTime RememberNextEdge(RememberedEdge &r, VTime t, bool rising, bool falling) const;
    // Forgets the remembered edges: called by every write, before it changes the count,
    // the mode or the load.
    void ForgetEdges() const { edges_ = {}; }

    // The card's interrupt logic asks for the next edge after every bus access and clock
    // step, about a hundred times per output period, and the answer takes divisions. So
    // the latest answer is remembered per kind of edge (rising, falling, either): an edge
    // E found as the first one after `from` is also the first one after any t in
    // [from, E), since the edges form a fixed set as long as nothing is written.
    // For an edge of one kind in a periodic mode, the next one after it is a period later:
    // once time passes the remembered edge, the next answer needs no division.
    static constexpr std::uint64_t kNoEdge = ~std::uint64_t{0};
    struct RememberedEdge {
        bool valid = false;
        VTime from = 0;
        VTime edge = 0;
        std::uint64_t clocks = kNoEdge;  // the edge, in clocks after the load
    };
    mutable std::array<RememberedEdge, 3> edges_{};

    bool programmed_ = false;
    bool running_ = false;
    bool haltedOut_ = true;  // output while halted; the part's output is high until programmed
    unsigned mode_ = 0;
    unsigned rw_ = 3;
    bool bcd_ = false;
    bool expectHigh_ = false;  // low byte written, high byte pending (read/load mode 3)
    std::uint16_t count_ = 0;
    std::uint32_t divisor_ = 0;
    std::uint64_t loadClock_ = 0;
};

class Timer8254 {
public:
    // A control word written to the control port; returns a misuse note or "".
    std::string WriteControl(VTime t, std::uint8_t value);
    std::string WriteCount(VTime t, unsigned counter, std::uint8_t value);
    const Counter8254 &Counter(unsigned i) const { return counters_[i]; }
    void PowerUpOutputs(bool high)
    {
        for (Counter8254 &c : counters_)
            c.PowerUpOutput(high);
    }

private:
    std::array<Counter8254, 3> counters_;
};

}  // namespace sim

#endif
