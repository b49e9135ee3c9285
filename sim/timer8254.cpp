// 8254 counters computed from virtual time (see the header for what is modelled).
#include "sim/timer8254.h"

namespace sim {

namespace {

// Count register to clocks: binary, or four BCD digits; 0 is the largest count.
std::uint32_t DecodeCount(std::uint16_t count, bool bcd, bool &badDigit)
{
    badDigit = false;
    if (!bcd)
        return count == 0 ? 65536u : count;
    std::uint32_t value = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (count >> shift) & 0xF;
        if (digit > 9)
            badDigit = true;
        value = value * 10 + digit;
    }
    return value == 0 ? 10000u : value;
}

// Smallest e' > e (e' >= 1) with e' = r (mod n), for r < n; e may be -1. One division
// (a 32-bit one for the first twelve minutes of a count), since this runs once per
// period of an interrupting counter.
std::uint64_t NextCongruent(std::int64_t e, std::uint64_t r, std::uint64_t n)
{
    std::uint64_t base = static_cast<std::uint64_t>(e + 1);
    std::uint64_t phase = base <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(base) % static_cast<std::uint32_t>(n) : base % n;
    std::uint64_t ahead = r >= phase ? r - phase : r + n - phase;
    std::uint64_t next = base + ahead;
    return next == 0 ? n : next;
}

}  // namespace

std::string Counter8254::ControlWord(VTime, std::uint8_t rwMode, std::uint8_t mode, bool bcd)
{
    ForgetEdges();
    programmed_ = true;
    running_ = false;
    expectHigh_ = false;
    rw_ = rwMode;
    mode_ = mode;
    bcd_ = bcd;
    haltedOut_ = mode != 0;
    return {};
}

std::string Counter8254::WriteCountByte(VTime t, std::uint8_t byte)
{
    ForgetEdges();
    if (!programmed_)
        return "count byte written to a counter that has had no control word (ignored)";
    switch (rw_) {
    case 1:
        count_ = byte;
        break;
    case 2:
        count_ = static_cast<std::uint16_t>(byte << 8);
        break;
    default:
        if (!expectHigh_) {
            count_ = static_cast<std::uint16_t>((count_ & 0xFF00) | byte);
            expectHigh_ = true;
            if (mode_ == 0) {  // mode 0 stops counting at the first byte; the output goes low
                running_ = false;
                haltedOut_ = false;
            }
            return {};
        }
        count_ = static_cast<std::uint16_t>((byte << 8) | (count_ & 0x00FF));
        expectHigh_ = false;
        break;
    }

    std::string note;
    bool badDigit = false;
    divisor_ = DecodeCount(count_, bcd_, badDigit);
    if (badDigit)
        note = "BCD count with a digit above 9";
    if (running_ && (mode_ == 2 || mode_ == 3))
        note = "count rewritten while counting without a control word (restarts at the next clock)";
    if ((mode_ == 2 || mode_ == 3) && divisor_ == 1)
        note = "count 1 is not allowed in mode " + std::to_string(mode_) + " (no output pulses)";
    if (mode_ == 1 || mode_ == 5) {
        running_ = false;  // waits for a gate edge; the gate is wired high
        haltedOut_ = true;
        return note;
    }
    haltedOut_ = mode_ != 0;
    running_ = true;
    loadClock_ = ClockIndexAt(t) + 1;
    return note;
}

bool Counter8254::OutAfter(std::uint64_t e) const
{
    const std::uint64_t n = divisor_;
    switch (mode_) {
    case 0:
        return e >= n;
    case 2:
        return n < 2 || e % n != n - 1;
    case 3:
        return n < 2 || e % n < (n + 1) / 2;
    case 4:
        return e != n;
    default:
        return true;
    }
}

bool Counter8254::Out(VTime t) const
{
    if (!running_)
        return haltedOut_;
    std::uint64_t k = ClockIndexAt(t);
    if (k < loadClock_)
        return haltedOut_;
    return OutAfter(k - loadClock_);
}

VTime Counter8254::RememberNextEdge(RememberedEdge &r, VTime t, bool rising, bool falling) const
{
    std::uint64_t clocks;
    if (r.valid && r.clocks != kNoEdge && rising != falling && Periodic() && t >= r.edge &&
        ClockIndexAt(t) < loadClock_ + r.clocks + divisor_)
        clocks = r.clocks + divisor_;  // the remembered edge has passed, the next has not
    else
        clocks = NextEdgeClocks(t, rising, falling);
    VTime edge = clocks == kNoEdge ? kNever : ClockEdgeTime(loadClock_ + clocks);
    r = RememberedEdge{true, t, edge, clocks};
    return edge;
}

std::uint64_t Counter8254::NextEdgeClocks(VTime t, bool rising, bool falling) const
{
    if (!running_)
        return kNoEdge;
    std::uint64_t k = ClockIndexAt(t);
    std::int64_t e = k >= loadClock_ ? static_cast<std::int64_t>(k - loadClock_) : -1;
    const std::uint64_t n = divisor_;
    std::uint64_t best = ~std::uint64_t{0};
    auto consider = [&](std::uint64_t candidate) {
        if (static_cast<std::int64_t>(candidate) > e && candidate < best)
            best = candidate;
    };
    switch (mode_) {
    case 0:
        if (rising)
            consider(n);
        break;
    case 4:
        if (falling)
            consider(n);
        if (rising)
            consider(n + 1);
        break;
    case 2:
    case 3:
        if (n < 2)
            break;
        if (falling)
            consider(NextCongruent(e, mode_ == 2 ? n - 1 : (n + 1) / 2, n));
        if (rising)
            consider(NextCongruent(e, 0, n));
        break;
    default:
        break;
    }
    return best;  // kNoEdge if none
}

double Counter8254::OutputFrequency() const
{
    if (!running_ || !Periodic())
        return 0.0;
    return static_cast<double>(kTimerClockHz) / static_cast<double>(divisor_);
}

std::string Timer8254::WriteControl(VTime t, std::uint8_t value)
{
    unsigned select = value >> 6;
    unsigned rw = (value >> 4) & 3;
    unsigned mode = (value >> 1) & 7;
    if (mode >= 6)
        mode -= 4;  // 110 and 111 are modes 2 and 3
    if (select == 3)
        return "8254 read-back command (counters cannot be read on this card; ignored)";
    if (rw == 0)
        return "8254 counter-latch command (counters cannot be read on this card; ignored)";
    return counters_[select].ControlWord(t, static_cast<std::uint8_t>(rw), static_cast<std::uint8_t>(mode), value & 1);
}

std::string Timer8254::WriteCount(VTime t, unsigned counter, std::uint8_t value)
{
    return counters_[counter].WriteCountByte(t, value);
}

}  // namespace sim
