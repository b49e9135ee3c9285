// The analog input sources: every kind at known times and gains, the transfer function's
// rounding and clamping, analog-output loop-back, the exact `count` pattern, and noise
// that depends only on its seed, channel and time.
#include "card_rig.h"

#include "sim/signals.h"

#include <cmath>
#include <vector>

namespace simtest {
namespace {

using namespace sim::board;

// Converts `channel` at gain index `gain` at virtual time `when` and returns the code.
std::uint16_t ConvertAt(CardRig &rig, unsigned channel, unsigned gain, VTime when)
{
    // The latch makes the second start convert what the first one latched.
    rig.Out8(kControl, ControlValue(channel, gain));
    rig.Out8(kStartConversion, 0);
    rig.AdvanceTo(when - CardRig::kAccessCost);
    rig.Out8(kStartConversion, 0);
    EXPECT_EQ(rig.t, when);
    rig.Step(10000);
    EXPECT_EQ(rig.LatestCompleted()->channel, channel);
    EXPECT_EQ(rig.LatestCompleted()->start, when);
    return rig.ReadCode();
}

TEST(Signals, EachSourceGivesTheExpectedCodeAtKnownTimes)
{
    using K = sim::SignalKind;
    struct Case {
        sim::SignalSpec signal;
        unsigned gain;
        VTime when;
        std::uint16_t code;
        const char *what;
    } cases[] = {
        {{K::Dc, 0, 0, 1.25}, 0, 50000, 2560, "dc 1.25 V"},
        {{K::Dc, 0, 0, 1.25}, 1, 50000, 3072, "dc 1.25 V at gain 2"},
        {{K::Dc, 0, 0, -0.3}, 3, 50000, 1065, "dc -0.3 V at gain 8: -2.4 V"},
        {{K::Dc, 0, 0, 6.0}, 0, 50000, 4095, "clamped high"},
        {{K::Dc, 0, 0, -6.0}, 0, 50000, 0, "clamped low"},
        {{K::Sine, 2.0, 50, 0}, 0, 5000000, 2867, "sine peak at a quarter period (2 V)"},
        {{K::Sine, 2.0, 50, 0}, 0, 15000000, 1229, "sine trough at three quarters (-2 V)"},
        {{K::Sine, 2.0, 50, 1.0}, 0, 20000000, 2458, "sine zero crossing plus 1 V offset"},
        {{K::Square, 1.5, 100, 0}, 0, 2000000, 2662, "square, first half (+1.5 V)"},
        {{K::Square, 1.5, 100, 0}, 0, 7000000, 1434, "square, second half (-1.5 V)"},
        {{K::Triangle, 4.0, 10, 0}, 0, 25000000, 3686, "triangle peak at a quarter period (+4 V)"},
        {{K::Triangle, 4.0, 10, 0}, 0, 50000000, 2048, "triangle at half period (0 V)"},
        {{K::Triangle, 4.0, 10, 0}, 0, 62500000, 1229, "triangle at 5/8 period (-2 V)"},
        {{K::Sawtooth, 1.0, 1000, 0}, 0, 3000000, 1638, "sawtooth at period start (-1 V)"},
        {{K::Sawtooth, 1.0, 1000, 0}, 0, 3750000, 2253, "sawtooth at 3/4 period (+0.5 V)"},
        {{K::Sawtooth, 1.0, 1000, 0.5}, 2, 3500000, 2867, "sawtooth mid-period, offset 0.5 V, gain 4 (2 V)"},
    };
    for (const Case &c : cases) {
        sim::CardConfig config;
        config.channels[6] = c.signal;
        CardRig rig(config);
        EXPECT_EQ(ConvertAt(rig, 6, c.gain, c.when), c.code) << c.what;
    }
}

TEST(Signals, RangeAndGainFactorsAreConfigurable)
{
    sim::CardConfig config;
    config.rangeMin = 0.0;
    config.rangeMax = 10.0;
    config.gains = {1, 10, 100, 1000};
    config.channels[2] = {sim::SignalKind::Dc, 0, 0, 0.025};
    CardRig rig(config);
    EXPECT_EQ(ConvertAt(rig, 2, 0, 30000), 10u);    // 0.025 V of 10 V
    EXPECT_EQ(ConvertAt(rig, 2, 2, 80000), 1024u);  // 2.5 V
}

TEST(Signals, TransferFunctionRoundsToTheNearestCodeAndInvertsTheAnalogOutputs)
{
    EXPECT_EQ(sim::VoltsToCode(0.0, -5, 5), 2048u);
    EXPECT_EQ(sim::VoltsToCode(10.0 / 4096 * 0.49, -5, 5), 2048u);
    EXPECT_EQ(sim::VoltsToCode(10.0 / 4096 * 0.51, -5, 5), 2049u);
    EXPECT_EQ(sim::VoltsToCode(std::nan(""), -5, 5), 0u);
    for (unsigned code = 0; code < 4096; ++code)
        ASSERT_EQ(sim::VoltsToCode(sim::CodeToVolts(static_cast<std::uint16_t>(code), -5, 5), -5, 5), code);
}

TEST(Signals, AnalogOutputsLoadLowThenHighAndLatchOnTheWriteToOffset8)
{
    sim::CardConfig config;
    config.channels[0] = {sim::SignalKind::AnalogOut0, 0, 0, 0};
    config.channels[1] = {sim::SignalKind::AnalogOut1, 0, 0, 0};
    CardRig rig(config);
    rig.Out8(kDa0Low, 0x34);
    rig.Out8(kDa0High, 0x02);
    rig.Out8(kDa1Low, 0xFF);
    rig.Out8(kDa1High, 0x0F);
    EXPECT_EQ(rig.card.AnalogOutputLoaded(0), 0x234u);
    EXPECT_EQ(rig.card.AnalogOutput(0), 0u) << "not on the output before the latch";
    EXPECT_EQ(ConvertAt(rig, 0, 0, 40000), 0u) << "loop-back sees the output (code 0 at power-up), not the load";
    rig.Out8(kDaLatch, 0);
    EXPECT_EQ(rig.card.AnalogOutput(0), 0x234u);
    EXPECT_EQ(rig.card.AnalogOutput(1), 0xFFFu);
    EXPECT_EQ(ConvertAt(rig, 0, 0, 100000), 0x234u);
    EXPECT_EQ(ConvertAt(rig, 1, 0, 160000), 0xFFFu);
    EXPECT_EQ(ConvertAt(rig, 0, 1, 220000), sim::VoltsToCode(2 * sim::CodeToVolts(0x234, -5, 5), -5, 5));

    rig.Out8(kDa0High, 0x12);  // bits above the code are ignored, and noted
    rig.Out8(kDaLatch, 0);
    EXPECT_EQ(rig.card.AnalogOutput(0), 0x234u);
    EXPECT_EQ(rig.card.Misuse().Entries().size(), 1u);
}

TEST(Signals, DigitalInputsAreSettableOrFollowTheOutputs)
{
    sim::CardConfig config;
    config.diLow = 0x5A;
    config.diHigh = 0xC3;
    CardRig rig(config);
    EXPECT_EQ(rig.In8(kDiLow), 0x5A);
    EXPECT_EQ(rig.In8(kDiHigh), 0xC3);
    rig.Out8(kDoLow, 0x11);
    rig.Out8(kDoHigh, 0x22);
    EXPECT_EQ(rig.In8(kDiLow), 0x5A);
    EXPECT_EQ(rig.card.DigitalOutputLow(), 0x11);
    EXPECT_EQ(rig.card.DigitalOutputHigh(), 0x22);
    rig.card.SetDigitalLoopback(true);
    EXPECT_EQ(rig.In8(kDiLow), 0x11);
    EXPECT_EQ(rig.In8(kDiHigh), 0x22);
    rig.card.SetDigitalInputs(1, 2);
    EXPECT_EQ(rig.In8(kDiLow), 1);
    EXPECT_EQ(rig.In8(kDiHigh), 2);
}

TEST(Signals, CountRisesByOneAtEveryConversionOfItsChannelWhateverTheGain)
{
    sim::CardConfig config = DistinctLevels();
    config.channels[3] = {sim::SignalKind::Count, 0, 0, 0};
    config.channels[4] = {sim::SignalKind::Count, 0, 0, 0};
    CardRig rig(config);
    rig.card.SetConversionLogCapacity(20000);
    // Interleave channels 3, 4 and 9 with changing gains for 3 x 5000 conversions.
    const unsigned order[] = {3, 4, 9};
    for (unsigned i = 0; i < 15000; ++i) {
        rig.Out8(kControl, ControlValue(order[i % 3], i % 4));
        rig.Out8(kStartConversion, 0);
        rig.Step(6000);
    }
    std::uint64_t seen3 = 0, seen4 = 0;
    for (const sim::ConversionRecord &r : rig.card.Conversions().Entries()) {
        if (r.channel == 3) {
            ASSERT_EQ(r.code, seen3++ % 4096);
        } else if (r.channel == 4) {
            ASSERT_EQ(r.code, seen4++ % 4096);
        } else if (r.channel == 9) {
            ASSERT_EQ(r.code, sim::VoltsToCode(LevelVolts(9) * config.gains[r.gain], -5, 5));
        }
    }
    EXPECT_EQ(seen3, 5000u);
    EXPECT_EQ(seen4, 5000u);
    EXPECT_EQ(rig.card.ConversionsOfChannel(3), 5000u);
    EXPECT_EQ(rig.ReadCode(), (seen4 - 1) % 4096) << "the last start converted channel 4";
}

TEST(Signals, NoiseIsReproducibleFromItsSeedAndHasItsRms)
{
    auto run = [](std::uint64_t seed) {
        sim::CardConfig config;
        config.seed = seed;
        config.channels[0] = {sim::SignalKind::Noise, 0.5, 0, 0};
        config.channels[1] = {sim::SignalKind::Noise, 0.5, 0, 0};
        CardRig rig(config);
        rig.card.SetConversionLogCapacity(10000);
        std::vector<std::uint16_t> codes[2];
        for (unsigned i = 0; i < 8000; ++i) {
            rig.Out8(kControl, ControlValue(i % 2, 0));
            rig.Out8(kStartConversion, 0);
            rig.Step(7000);
        }
        std::vector<double> volts;
        for (const sim::ConversionRecord &r : rig.card.Conversions().Entries()) {
            codes[r.channel].push_back(r.code);
            volts.push_back(r.volts);
        }
        return std::make_pair(codes[0], volts);
    };
    auto a = run(42), b = run(42), c = run(43);
    EXPECT_EQ(a.first, b.first);
    EXPECT_EQ(a.second, b.second);
    EXPECT_NE(a.first, c.first);

    double sum = 0, sumSq = 0;
    for (double v : a.second) {
        sum += v;
        sumSq += v * v;
    }
    double n = static_cast<double>(a.second.size()), mean = sum / n;
    EXPECT_NEAR(mean, 0.0, 0.03);
    EXPECT_NEAR(std::sqrt(sumSq / n - mean * mean), 0.5, 0.025);
    // Channels with the same source still see different noise.
    EXPECT_NE(sim::NoiseDeviate(42, 0, 123456), sim::NoiseDeviate(42, 1, 123456));
    EXPECT_EQ(sim::NoiseDeviate(42, 0, 123456), sim::NoiseDeviate(42, 0, 123456));
}

}  // namespace
}  // namespace simtest
