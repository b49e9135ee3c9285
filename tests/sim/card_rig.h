// A card on a bench: the model driven register by register with its own virtual time,
// each access costing what a port access costs on the simulated machine.
#ifndef TQ_TESTS_SIM_CARD_RIG_H
#define TQ_TESTS_SIM_CARD_RIG_H

#include "sim/card.h"

#include <gtest/gtest.h>

namespace simtest {

using sim::VTime;

struct CardRig {
    explicit CardRig(const sim::CardConfig &config = {}) : card(config, sim::DefaultEepromImage(config)) {}

    static constexpr VTime kAccessCost = 200;
    sim::Card card;
    VTime t = 1000;

    void Step(VTime ns)
    {
        t += ns;
        card.AdvanceTo(t);
    }
    void AdvanceTo(VTime when)
    {
        if (when > t)
            t = when;
        card.AdvanceTo(t);
    }
    std::uint8_t In8(std::uint32_t offset)
    {
        t += kAccessCost;
        return static_cast<std::uint8_t>(card.Read(t, sim::Window::Board, offset, 1));
    }
    void Out8(std::uint32_t offset, std::uint8_t value)
    {
        t += kAccessCost;
        card.Write(t, sim::Window::Board, offset, 1, value);
    }
    std::uint32_t In32(std::uint32_t offset)
    {
        t += kAccessCost;
        return card.Read(t, sim::Window::Bridge, offset, 4);
    }
    void Out32(std::uint32_t offset, std::uint32_t value)
    {
        t += kAccessCost;
        card.Write(t, sim::Window::Bridge, offset, 4, value);
    }
    // The A/D result as a driver reads it: high byte, then low byte.
    std::uint16_t ReadResult()
    {
        std::uint16_t hi = In8(sim::board::kAdHigh);
        return static_cast<std::uint16_t>(hi << 8 | In8(sim::board::kAdLow));
    }
    // Its 12-bit code: bits 12-15 are not the converter's (`adhigh`).
    std::uint16_t ReadCode() { return ReadResult() & 0x0FFF; }
    // Loads an 8254 counter: control word, then low and high byte.
    void LoadCounter(unsigned counter, unsigned mode, std::uint16_t count)
    {
        Out8(sim::board::kTimerControl, static_cast<std::uint8_t>(counter << 6 | 0x30 | mode << 1));
        Out8(counter, static_cast<std::uint8_t>(count & 0xFF));
        Out8(counter, static_cast<std::uint8_t>(count >> 8));
    }
    std::uint32_t IntCsr() { return In32(sim::bridge::kIntCsr); }
    // The card's conversion whose result a read made now returns.
    const sim::ConversionRecord *LatestCompleted() const
    {
        const auto &log = card.Conversions().Entries();
        for (auto it = log.rbegin(); it != log.rend(); ++it)
            if (!it->abandoned && it->complete <= t)
                return &*it;
        return nullptr;
    }
};

// A configuration with a distinct dc level on every channel: channel c reads code
// 64 * (c + 1) at gain index 0 over the default range.
inline double LevelVolts(unsigned channel) { return -5.0 + 10.0 * 64.0 * (channel + 1) / 4096.0; }
inline sim::CardConfig DistinctLevels()
{
    sim::CardConfig config;
    for (unsigned c = 0; c < sim::kChannels; ++c)
        config.channels[c] = {sim::SignalKind::Dc, 0, 0, LevelVolts(c)};
    return config;
}
inline std::uint16_t LevelCode(unsigned channel) { return static_cast<std::uint16_t>(64 * (channel + 1)); }

}  // namespace simtest

#endif
