// The A/D converter: conversion time and the done bit, the result registers, the
// channel/gain latch that makes a result belong to the channel selected three steps
// earlier, and the signal sources (each at known times, `count` exact, noise seeded).
#include "card_rig.h"

#include <set>

#include "sim/signals.h"

#include <cmath>
#include <optional>
#include <vector>

namespace simtest {
namespace {

using namespace sim::board;

constexpr VTime kPeriod = 10000;  // one 100 kHz timer period

// A sequencer like an acquisition's, one step per timer period: read the finished result,
// start the next conversion, select a channel.
struct Sequencer : CardRig {
    using CardRig::CardRig;
    struct Sample {
        std::uint16_t value;
        unsigned truthChannel;  // what the card says the result was converted from
    };
    // The acquisition start: select `control`, start one conversion.
    void Start(std::uint8_t control)
    {
        Out8(kControl, control);
        Out8(kStartConversion, 0);
    }
    Sample Step(std::optional<std::uint8_t> select)
    {
        CardRig::Step(kPeriod);
        const sim::ConversionRecord *truth = LatestCompleted();
        Sample s{ReadCode(), truth ? truth->channel : 99u};
        Out8(kStartConversion, 0);
        if (select)
            Out8(kControl, *select);
        return s;
    }
};

// Bits 12-15 of the high byte are not the converter's: by default the converted channel's
// low four bits, or zero, or bits that change from conversion to conversion.
TEST(Converter, HighByteBitsAboveTheCodeShowWhatAdhighSays)
{
    for (sim::AdHighBits mode : {sim::AdHighBits::Zero, sim::AdHighBits::Channel, sim::AdHighBits::Noise}) {
        sim::CardConfig config;
        config.adHigh = mode;
        CardRig rig(config);
        std::set<unsigned> seen;
        for (unsigned channel : {0u, 5u, 17u, 31u, 17u, 17u}) {
            rig.Out8(kControl, sim::board::ControlValue(channel, 0));
            rig.Out8(kStartConversion, 0);  // latches the channel
            rig.Out8(kStartConversion, 0);  // converts it
            rig.Step(10000);
            const std::uint16_t word = rig.ReadResult();
            const sim::ConversionRecord &rec = rig.card.Conversions().Entries().back();
            EXPECT_EQ(word & 0x0FFF, rec.code);
            EXPECT_EQ(word, rec.word);
            if (mode != sim::AdHighBits::Noise) {
                EXPECT_EQ(word >> 12, mode == sim::AdHighBits::Zero ? 0u : channel & 0x0F) << "channel " << channel;
            }
            seen.insert(word >> 12);
        }
        if (mode == sim::AdHighBits::Noise) {
            EXPECT_GT(seen.size(), 1u) << "noise bits vary";
        }
    }
}

TEST(Converter, StatusBitIsClearWhileConvertingAndTheResultAppearsWhenDone)
{
    sim::CardConfig config;
    config.channels[0] = {sim::SignalKind::Dc, 0, 0, 1.25};
    config.conversionTime = 5000;
    CardRig rig(config);
    EXPECT_EQ(rig.In8(kStatus), kStatusConversionDone) << "idle converter shows done";
    EXPECT_EQ(rig.ReadResult(), 0u);

    rig.Out8(kStartConversion, 0x5A);
    VTime started = rig.t;
    EXPECT_EQ(rig.In8(kStatus), 0u);
    rig.AdvanceTo(started + 4999);
    EXPECT_EQ(rig.card.Read(rig.t, sim::Window::Board, kStatus, 1), 0u);
    rig.AdvanceTo(started + 5000);
    EXPECT_EQ(rig.card.Read(rig.t, sim::Window::Board, kStatus, 1), kStatusConversionDone);
    EXPECT_EQ(rig.ReadCode(), 2560u) << "1.25 V over -5...+5 V";

    const sim::ConversionRecord &rec = rig.card.Conversions().Entries().back();
    EXPECT_EQ(rec.start, started);
    EXPECT_EQ(rec.complete, started + 5000);
    EXPECT_EQ(rec.channel, 0u);
    EXPECT_EQ(rec.code, 2560u);
    EXPECT_DOUBLE_EQ(rec.volts, 1.25);
    EXPECT_TRUE(rig.card.Misuse().Entries().empty());
}

TEST(Converter, ReadingOrRestartingBeforeCompletionIsLoggedAndLosesNothingElse)
{
    CardRig rig(DistinctLevels());
    rig.Out8(kControl, 3);
    rig.Out8(kStartConversion, 0);  // converts channel 0, latches 3
    rig.Step(10000);
    rig.Out8(kStartConversion, 0);  // converts 3
    EXPECT_EQ(rig.ReadCode(), LevelCode(0)) << "the previous result while converting";
    rig.Out8(kStartConversion, 0);  // restarts: the conversion of 3 is lost
    rig.Step(10000);
    EXPECT_EQ(rig.ReadCode(), LevelCode(3));
    const auto &log = rig.card.Conversions().Entries();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[1].abandoned);
    EXPECT_FALSE(log[2].abandoned);
    EXPECT_EQ(rig.card.Misuse().Entries().size(), 3u);  // two early reads, one restart
}

TEST(ConversionLag, TheSampleReadAtAStepBelongsToTheChannelWrittenThreeStepsEarlier)
{
    Sequencer seq(DistinctLevels());
    seq.Start(ControlValue(0, 0));
    std::vector<unsigned> written;  // written[k] = channel selected at step k (1-based)
    written.push_back(0);
    std::uint32_t lcg = 12345;
    for (int k = 1; k <= 200; ++k) {
        lcg = lcg * 1103515245 + 12345;
        unsigned channel = (lcg >> 16) % 32;
        Sequencer::Sample s = seq.Step(ControlValue(channel, 0));
        written.push_back(channel);
        if (k >= 4) {
            ASSERT_EQ(s.truthChannel, written[k - 3]) << "step " << k;
            ASSERT_EQ(s.value, LevelCode(written[k - 3])) << "step " << k;
        }
    }
}

TEST(ConversionLag, AfterAStartTheFirstResultIsTheEarlierSelectionAndTheNextTwoAreChannelZero)
{
    Sequencer seq(DistinctLevels());
    // Before the acquisition: a board command converted on channel 7 and left channel 9
    // selected (a selection no conversion start has latched).
    seq.Out8(kControl, 7);
    seq.Out8(kStartConversion, 0);
    seq.Out8(kControl, 9);
    seq.CardRig::Step(kPeriod);

    seq.Start(ControlValue(0, 0));
    Sequencer::Sample s1 = seq.Step(ControlValue(1, 0));  // first discarding step selects 1
    Sequencer::Sample s2 = seq.Step(ControlValue(2, 0));  // second selects (0 + 2) mod 3
    Sequencer::Sample s3 = seq.Step(ControlValue(0, 0));  // then (ScanIndex + 2) mod 3 ...
    Sequencer::Sample s4 = seq.Step(ControlValue(1, 0));
    Sequencer::Sample s5 = seq.Step(ControlValue(2, 0));
    Sequencer::Sample s6 = seq.Step(ControlValue(0, 0));

    EXPECT_EQ(s1.truthChannel, 7u) << "whatever the converter latched before the start";
    EXPECT_EQ(s1.value, LevelCode(7));
    EXPECT_EQ(s2.value, LevelCode(0));
    EXPECT_EQ(s3.value, LevelCode(0)) << "first kept sample: channel 0";
    EXPECT_EQ(s4.value, LevelCode(1)) << "the channel written at the first discarding step";
    EXPECT_EQ(s5.value, LevelCode(2)) << "the channel written at the second";
    EXPECT_EQ(s6.value, LevelCode(0)) << "second scan begins with channel 0";
}

TEST(ConversionLag, ChannelTwoWrittenAtTheFirstDiscardingStepLandsInSlotOne)
{
    // A sequencer that selects 3 - DiscardCount (channel 2) at the first discarding step
    // gets channel 2's data where channel 1 belongs.
    Sequencer seq(DistinctLevels());
    seq.Start(ControlValue(0, 0));
    seq.Step(ControlValue(2, 0));
    seq.Step(ControlValue(2, 0));
    seq.Step(ControlValue(0, 0));
    Sequencer::Sample slot1 = seq.Step(ControlValue(1, 0));
    EXPECT_EQ(slot1.value, LevelCode(2));
}

TEST(ConversionLag, OneChannelAcquisitionConvertsItsChannelFromTheSecondStepOn)
{
    Sequencer seq(DistinctLevels());
    seq.Out8(kControl, 4);
    seq.Out8(kStartConversion, 0);
    seq.CardRig::Step(kPeriod);

    seq.Start(ControlValue(5, 2));
    EXPECT_EQ(seq.Step(std::nullopt).truthChannel, 4u);
    for (int k = 2; k <= 6; ++k) {
        Sequencer::Sample s = seq.Step(std::nullopt);
        EXPECT_EQ(s.truthChannel, 5u) << "step " << k;
        EXPECT_EQ(seq.LatestCompleted()->gain, 2u);
    }
}

TEST(ConversionLag, PolledScanReadsChannelsZeroUpInOrder)
{
    // Set-up selects channel 0; each pass starts a conversion, selects channel i + 1,
    // waits for the done bit and (from pass 1) reads the result.
    Sequencer seq(DistinctLevels());
    seq.Out8(kControl, ControlValue(0, 1));
    std::vector<std::uint16_t> words;
    for (unsigned pass = 0; pass < 5; ++pass) {
        seq.Out8(kStartConversion, 0);
        seq.Out8(kControl, static_cast<std::uint8_t>((pass + 1) | 0x20));
        while (!(seq.In8(kStatus) & kStatusConversionDone)) {
        }
        if (pass >= 1)
            words.push_back(seq.ReadCode());
    }
    ASSERT_EQ(words.size(), 4u);
    for (unsigned k = 0; k < 4; ++k) {
        // Gain index 1 doubles the signal around the middle of the range.
        std::uint16_t expected = sim::VoltsToCode(2.0 * LevelVolts(k), -5.0, 5.0);
        EXPECT_EQ(words[k], expected) << "word " << k << " is channel " << k;
    }
}

TEST(ConversionLag, GainTravelsThroughTheSameLatchAsTheChannel)
{
    sim::CardConfig config;
    config.channels[0] = {sim::SignalKind::Dc, 0, 0, 0.5};
    Sequencer seq(config);
    seq.Start(ControlValue(0, 0));
    std::vector<unsigned> gains;
    for (unsigned k = 1; k <= 8; ++k) {
        seq.Step(ControlValue(0, k % 4));
        gains.push_back(seq.LatestCompleted()->gain);
    }
    // Gain written at step k is converted by step k+2's start and read at step k+3.
    for (unsigned k = 4; k <= 8; ++k) {
        EXPECT_EQ(gains[k - 1], (k - 3) % 4) << "read at step " << k;
    }
    const double factor[] = {1, 2, 4, 8};
    for (const sim::ConversionRecord &r : seq.card.Conversions().Entries())
        EXPECT_EQ(r.code, sim::VoltsToCode(0.5 * factor[r.gain], -5, 5));
}

}  // namespace
}  // namespace simtest
