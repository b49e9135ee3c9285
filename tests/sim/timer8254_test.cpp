// The card's 8254: counter 0 output timing in modes 2 and 3 at 6 MHz / count, halting on a
// control word, counts 0 and BCD, and the counters' ground truth.
#include "card_rig.h"

#include <vector>

namespace simtest {
namespace {

// Rising edges of a counter's output in (from, to].
std::vector<VTime> RisingEdges(const sim::Counter8254 &c, VTime from, VTime to)
{
    std::vector<VTime> edges;
    for (VTime e = c.NextEdge(from, true, false); e <= to; e = c.NextEdge(e, true, false))
        edges.push_back(e);
    return edges;
}

TEST(Timer8254, ClockEdgesFallOnExactNanosecondsEveryThreeMicroseconds)
{
    EXPECT_EQ(sim::ClockEdgeTime(0), 0u);
    EXPECT_EQ(sim::ClockEdgeTime(1), 167u);  // ceil(166.67)
    EXPECT_EQ(sim::ClockEdgeTime(2), 334u);
    EXPECT_EQ(sim::ClockEdgeTime(3), 500u);
    EXPECT_EQ(sim::ClockEdgeTime(6000000), 1000000000u);
    for (std::uint64_t k : {0ull, 1ull, 2ull, 3ull, 12345ull, 6000001ull}) {
        EXPECT_EQ(sim::ClockIndexAt(sim::ClockEdgeTime(k)), k);
        EXPECT_EQ(sim::ClockIndexAt(sim::ClockEdgeTime(k + 1) - 1), k);
    }
}

TEST(Timer8254, CounterZeroTicksAtSixMegahertzOverCountInModesTwoAndThree)
{
    struct Case {
        unsigned mode;
        std::uint16_t count;
        std::size_t edgesPerSecond;  // whole periods in one virtual second
    } cases[] = {{2, 60, 100000}, {3, 60, 100000}, {3, 0xFFFF, 91}, {2, 7, 857142}, {3, 6000, 1000}};
    for (const Case &c : cases) {
        CardRig rig;
        rig.LoadCounter(0, c.mode, c.count);
        const sim::Counter8254 &c0 = rig.card.Counter(0);
        VTime load = c0.LoadTime();
        ASSERT_NE(load, sim::kNever);
        EXPECT_GT(load, rig.t - 1) << "the count takes effect at the next clock edge";
        std::vector<VTime> edges = RisingEdges(c0, load, load + 1000000000);
        EXPECT_EQ(edges.size(), c.edgesPerSecond) << "mode " << c.mode << " count " << c.count;
        ASSERT_GE(edges.size(), 2u);
        EXPECT_EQ(edges[0], sim::ClockEdgeTime(sim::ClockIndexAt(load) + c.count));
        EXPECT_DOUBLE_EQ(c0.OutputFrequency(), 6000000.0 / c.count);
        if (c.count == 60) {
            for (std::size_t i = 1; i < edges.size(); ++i)
                ASSERT_EQ(edges[i] - edges[i - 1], 10000u) << "a 100 kHz period is exactly 10 us";
        }
    }
}

TEST(Timer8254, ModeTwoPulsesLowForOneClockAndModeThreeIsASquareWave)
{
    CardRig rig2;
    rig2.LoadCounter(0, 2, 5);
    const sim::Counter8254 &m2 = rig2.card.Counter(0);
    std::uint64_t k0 = sim::ClockIndexAt(m2.LoadTime());
    // Mode 2: high for clocks 0..3 after the load, low during clock 4, high again at 5.
    for (std::uint64_t e = 0; e < 15; ++e)
        EXPECT_EQ(m2.Out(sim::ClockEdgeTime(k0 + e)), e % 5 != 4) << "mode 2 clock " << e;

    CardRig rig3;
    rig3.LoadCounter(0, 3, 5);
    const sim::Counter8254 &m3 = rig3.card.Counter(0);
    k0 = sim::ClockIndexAt(m3.LoadTime());
    // Mode 3, odd count: high for 3 clocks, low for 2.
    for (std::uint64_t e = 0; e < 15; ++e)
        EXPECT_EQ(m3.Out(sim::ClockEdgeTime(k0 + e)), e % 5 < 3) << "mode 3 clock " << e;
    // Falling edge 3 clocks after the load, rising at 5.
    EXPECT_EQ(m3.NextEdge(m3.LoadTime(), false, true), sim::ClockEdgeTime(k0 + 3));
    EXPECT_EQ(m3.NextEdge(m3.LoadTime(), true, false), sim::ClockEdgeTime(k0 + 5));
}

TEST(Timer8254, AControlWordHaltsTheCounterUntilBothCountBytesAreWritten)
{
    CardRig rig;
    rig.LoadCounter(0, 3, 60);
    const sim::Counter8254 &c0 = rig.card.Counter(0);
    ASSERT_TRUE(c0.Running());
    rig.Step(25000);

    rig.Out8(sim::board::kTimerControl, 0x34);  // counter 0, low/high, mode 2: halted
    EXPECT_FALSE(c0.Running());
    EXPECT_TRUE(c0.Out(rig.t));
    EXPECT_EQ(c0.NextEdge(rig.t, true, true), sim::kNever);
    EXPECT_EQ(c0.OutputFrequency(), 0.0);

    rig.Out8(0, 60);  // low byte alone does not start it
    EXPECT_FALSE(c0.Running());
    EXPECT_EQ(c0.NextEdge(rig.t, true, true), sim::kNever);
    rig.Out8(0, 0);
    EXPECT_TRUE(c0.Running());
    EXPECT_EQ(c0.Mode(), 2u);
    EXPECT_EQ(c0.Divisor(), 60u);
    EXPECT_NE(c0.NextEdge(rig.t, true, false), sim::kNever);
}

TEST(Timer8254, CountsZeroAndBcdAndSingleByteLoads)
{
    CardRig rig;
    rig.LoadCounter(1, 3, 0);
    EXPECT_EQ(rig.card.Counter(1).Divisor(), 65536u);

    rig.Out8(sim::board::kTimerControl, 0x77);  // counter 1, low/high, mode 3, BCD
    rig.Out8(1, 0x00);
    rig.Out8(1, 0x25);
    EXPECT_EQ(rig.card.Counter(1).Divisor(), 2500u);
    EXPECT_TRUE(rig.card.Counter(1).Bcd());
    EXPECT_DOUBLE_EQ(rig.card.Counter(1).OutputFrequency(), 2400.0);

    rig.Out8(sim::board::kTimerControl, 0x94);  // counter 2, low byte only, mode 2
    rig.Out8(2, 200);
    EXPECT_EQ(rig.card.Counter(2).ReadLoad(), 1u);
    EXPECT_EQ(rig.card.Counter(2).Divisor(), 200u);
    EXPECT_DOUBLE_EQ(rig.card.Counter(2).OutputFrequency(), 30000.0);

    rig.Out8(sim::board::kTimerControl, 0xA4);  // counter 2, high byte only, mode 2
    rig.Out8(2, 0x01);
    EXPECT_EQ(rig.card.Counter(2).Divisor(), 256u);
    EXPECT_EQ(rig.card.Counter(0).Programmed(), false) << "other counters untouched";
}

TEST(Timer8254, OneShotModesAndGateTriggeredModes)
{
    CardRig rig;
    rig.LoadCounter(0, 0, 10);  // mode 0: low, high after 10 clocks, stays high
    const sim::Counter8254 &c0 = rig.card.Counter(0);
    std::uint64_t k0 = sim::ClockIndexAt(c0.LoadTime());
    EXPECT_FALSE(c0.Out(sim::ClockEdgeTime(k0 + 9)));
    EXPECT_TRUE(c0.Out(sim::ClockEdgeTime(k0 + 10)));
    EXPECT_EQ(c0.NextEdge(sim::ClockEdgeTime(k0 + 10), true, true), sim::kNever);

    rig.LoadCounter(0, 4, 10);  // mode 4: one clock low after 10 clocks
    k0 = sim::ClockIndexAt(c0.LoadTime());
    EXPECT_TRUE(c0.Out(sim::ClockEdgeTime(k0 + 9)));
    EXPECT_FALSE(c0.Out(sim::ClockEdgeTime(k0 + 10)));
    EXPECT_TRUE(c0.Out(sim::ClockEdgeTime(k0 + 11)));

    rig.LoadCounter(0, 1, 10);  // mode 1 waits for a gate edge the card never gives
    EXPECT_FALSE(c0.Running());
    EXPECT_TRUE(c0.Out(rig.t + 100000));
}

TEST(Timer8254, IllegalAndUnreadableCommandsAreLoggedNotObeyed)
{
    CardRig rig;
    rig.Out8(0, 5);  // count byte with no control word
    rig.LoadCounter(0, 2, 1);  // count 1 is not allowed in mode 2
    rig.Out8(sim::board::kTimerControl, 0x00);  // counter-latch command
    rig.Out8(sim::board::kTimerControl, 0xC2);  // read-back command
    EXPECT_EQ(rig.card.Counter(0).NextEdge(rig.t, true, true), sim::kNever);
    ASSERT_EQ(rig.card.Misuse().Entries().size(), 4u);
    EXPECT_NE(rig.card.Misuse().Entries()[0].what.find("no control word"), std::string::npos);
    EXPECT_NE(rig.card.Misuse().Entries()[1].what.find("count 1"), std::string::npos);
    EXPECT_NE(rig.card.Misuse().Entries()[2].what.find("counter-latch"), std::string::npos);
    EXPECT_NE(rig.card.Misuse().Entries()[3].what.find("read-back"), std::string::npos);
}

// A counter answers "when is the next edge" from memory between writes; every write that
// changes its counting must make it answer from the new state at once. Each case runs the
// same writes on two counters: one asked about its edges (of all three kinds) just before
// the rewrite, the other never asked before; after the rewrite both must give the same
// edges and outputs, and the edges must be those of the new programming.
TEST(Timer8254, EdgesAfterARewriteFollowTheNewProgrammingAtOnce)
{
    struct Write {
        bool control;  // a control word (read/load mode 3, the given mode), else a count byte
        unsigned mode;
        std::uint8_t byte;
    };
    struct Case {
        const char *what;
        std::vector<Write> rewrite;
        unsigned expectMode;
        std::uint32_t expectDivisor;  // 0: halted afterwards
    } cases[] = {
        {"control word and new count mid-period, same mode", {{true, 3, 0}, {false, 0, 24}, {false, 0, 0}}, 3, 24},
        {"mode change from square wave to rate generator", {{true, 2, 0}, {false, 0, 90}, {false, 0, 0}}, 2, 90},
        {"mode change to a one-shot", {{true, 0, 0}, {false, 0, 30}, {false, 0, 0}}, 0, 30},
        {"count rewritten without a control word", {{false, 0, 12}, {false, 0, 0}}, 3, 12},
        {"control word alone halts the counter", {{true, 3, 0}}, 3, 0},
        {"low byte alone of a mode 0 count halts it", {{true, 0, 0}, {false, 0, 40}, {false, 0, 0}, {false, 0, 50}}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Counter8254 asked, fresh;
        const VTime load = 1000;
        for (sim::Counter8254 *counter : {&asked, &fresh}) {
            counter->ControlWord(load, 3, 3, false);
            counter->WriteCountByte(load, 60);
            counter->WriteCountByte(load, 0);
        }
        // Mid-period: fill the remembered answers of every kind, well before the next edges.
        const VTime rewriteAt = sim::ClockEdgeTime(sim::ClockIndexAt(load) + 1 + 60 * 3 + 7) + 50;
        VTime before[3];
        for (int kind = 0; kind < 3; ++kind) {
            before[kind] = asked.NextEdge(rewriteAt - 40, kind != 1, kind != 0);
            ASSERT_GT(before[kind], rewriteAt);
        }
        for (const Write &w : c.rewrite) {
            for (sim::Counter8254 *counter : {&asked, &fresh}) {
                if (w.control)
                    counter->ControlWord(rewriteAt, 3, static_cast<std::uint8_t>(w.mode), false);
                else
                    counter->WriteCountByte(rewriteAt, w.byte);
            }
        }
        EXPECT_EQ(asked.Mode(), c.expectMode);
        EXPECT_EQ(asked.Running(), c.expectDivisor != 0);
        if (c.expectDivisor != 0) {
            EXPECT_EQ(asked.Divisor(), c.expectDivisor);
            // The first edge of either kind now comes from the new load, not the old period.
            VTime first = asked.NextEdge(rewriteAt, true, true);
            EXPECT_GE(first, asked.LoadTime());
            EXPECT_LE(first, asked.LoadTime() + sim::ClockEdgeTime(c.expectDivisor + 1));
        } else {
            for (int kind = 0; kind < 3; ++kind)
                EXPECT_EQ(asked.NextEdge(rewriteAt, kind != 1, kind != 0), sim::kNever);
        }
        // Both counters agree edge for edge, of every kind, over the next ten old periods.
        for (int kind = 0; kind < 3; ++kind) {
            const bool rising = kind != 1, falling = kind != 0;
            VTime a = rewriteAt, f = rewriteAt;
            for (int i = 0; i < 40 && f != sim::kNever && f < rewriteAt + 100000; ++i) {
                a = asked.NextEdge(a, rising, falling);
                f = fresh.NextEdge(f, rising, falling);
                ASSERT_EQ(a, f) << "kind " << kind << " edge " << i;
            }
        }
        for (VTime t = rewriteAt; t < rewriteAt + 30000; t += 97)
            ASSERT_EQ(asked.Out(t), fresh.Out(t)) << "at " << t;
    }
}

// A periodic count answers the next edge of one kind, once time has passed the last one it
// gave, from that edge plus a period. Asked the way the card asks (at the edge itself,
// just after it, mid-period, and after skipping several periods), every answer must be
// the one a counter asked afresh gives, and an output transition of that kind.
TEST(Timer8254, NextEdgesOfAPeriodicCountAreThoseOfACounterAskedAfresh)
{
    struct Case {
        unsigned mode;
        std::uint16_t count;
    } cases[] = {{3, 60}, {3, 7}, {3, 2}, {2, 60}, {2, 3}, {3, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " count " << c.count);
        const VTime load = 777;
        auto program = [&](sim::Counter8254 &counter) {
            counter.ControlWord(load, 3, static_cast<std::uint8_t>(c.mode), false);
            counter.WriteCountByte(load, static_cast<std::uint8_t>(c.count & 0xFF));
            counter.WriteCountByte(load, static_cast<std::uint8_t>(c.count >> 8));
        };
        sim::Counter8254 asked;
        program(asked);
        const VTime period = sim::ClockEdgeTime(asked.Divisor()) + 1;
        for (int kind = 0; kind < 2; ++kind) {
            const bool rising = kind == 0;
            VTime t = load;
            for (int i = 0; i < 300; ++i) {
                VTime edge = asked.NextEdge(t, rising, !rising);
                sim::Counter8254 fresh;
                program(fresh);
                ASSERT_EQ(edge, fresh.NextEdge(t, rising, !rising)) << "asked at " << t;
                ASSERT_GT(edge, t);
                ASSERT_NE(asked.Out(edge), asked.Out(edge - 1)) << "no transition at " << edge;
                ASSERT_EQ(asked.Out(edge), rising);
                // Next question: at the edge, just after it, mid-period, or periods later.
                switch (i % 4) {
                case 0: t = edge; break;
                case 1: t = edge + 1; break;
                case 2: t = edge + period / 2; break;
                default: t = edge + 3 * period + 5; break;
                }
            }
        }
    }
}

}  // namespace
}  // namespace simtest
