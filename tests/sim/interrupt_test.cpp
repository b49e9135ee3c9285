// The bridge's interrupt control/status register: local interrupt 1 from counter 0 in edge
// and level mode with both polarities, local interrupt 2 raised by a test, the enables,
// the edge-clear bits, read-only status bits, and when the card asserts its PCI interrupt.
#include "card_rig.h"

namespace simtest {
namespace {

using namespace sim::bridge;

// The card with counter 0 running as the driver loads it (mode 3, 100 kHz).
struct Ticking : CardRig {
    explicit Ticking(std::uint32_t intCsr, unsigned mode = 3, std::uint16_t count = 60)
    {
        Out32(kIntCsr, intCsr);
        LoadCounter(0, mode, count);
        c0 = &card.Counter(0);
    }
    VTime NextRise() const { return c0->NextEdge(t, true, false); }
    VTime NextFall() const { return c0->NextEdge(t, false, true); }
    const sim::Counter8254 *c0;
};

TEST(BridgeInterrupt, PowerUpIsEdgeTriggeredActiveHighWithEverythingElseClear)
{
    CardRig rig;
    EXPECT_EQ(rig.IntCsr(), kLint1Edge | kLint1ActiveHigh);
    EXPECT_FALSE(rig.card.InterruptAsserted());

    sim::CardConfig config;
    config.intCsrPowerUp = kLint1ActiveHigh;  // configured: level-triggered
    CardRig level(config);
    EXPECT_EQ(level.IntCsr(), kLint1ActiveHigh | kLint1Status) << "counter output idles high";
}

TEST(BridgeInterrupt, EdgeModeLatchesTheRisingEdgeUntilClearedThroughBit10)
{
    Ticking rig(kLint1Edge | kLint1ActiveHigh | kLint1Enable | kPciEnable);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    EXPECT_EQ(rig.IntCsr() & kLint1Status, 0u);
    VTime rise = rig.NextRise();
    EXPECT_EQ(rig.card.NextEventTime(rig.t), rise) << "the clock is told when the line changes";

    rig.AdvanceTo(rise - 1);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    rig.AdvanceTo(rise);
    EXPECT_TRUE(rig.card.InterruptAsserted());
    EXPECT_EQ(rig.card.NextEventTime(rig.t), sim::kNever) << "latched: nothing changes by itself";

    // Stays latched through the falling edge and later edges.
    rig.AdvanceTo(rise + 25000);
    EXPECT_NE(rig.IntCsr() & kLint1Status, 0u);
    EXPECT_TRUE(rig.card.InterruptAsserted());

    std::uint32_t v = rig.IntCsr();
    rig.Out32(kIntCsr, v | kLint1Clear);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    std::uint32_t after = rig.IntCsr();
    EXPECT_EQ(after & kLint1Status, 0u);
    EXPECT_EQ(after & kLint1Clear, 0u) << "the clear bit reads as 0";
    rig.AdvanceTo(rig.NextRise());
    EXPECT_TRUE(rig.card.InterruptAsserted()) << "the next edge latches again";
}

TEST(BridgeInterrupt, ActiveLowEdgeModeLatchesTheFallingEdge)
{
    Ticking rig(kLint1Edge | kLint1Enable | kPciEnable);
    VTime fall = rig.NextFall(), rise = rig.NextRise();
    ASSERT_LT(fall, rise);  // mode 3 goes low half way through the period
    rig.AdvanceTo(fall - 1);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    rig.AdvanceTo(fall);
    EXPECT_TRUE(rig.card.InterruptAsserted());
}

TEST(BridgeInterrupt, LevelModeStatusFollowsTheCounterOutputAndIgnoresTheClearBit)
{
    for (bool activeHigh : {true, false}) {
        Ticking rig(kLint1Enable | kPciEnable | (activeHigh ? kLint1ActiveHigh : 0u));
        for (int half = 0; half < 4; ++half) {
            VTime next = rig.card.NextEventTime(rig.t);
            ASSERT_NE(next, sim::kNever);
            rig.AdvanceTo(next);
            bool out = rig.c0->Out(rig.t);
            EXPECT_EQ(rig.card.InterruptAsserted(), out == activeHigh) << "half " << half;
            std::uint32_t v = rig.IntCsr();
            EXPECT_EQ((v & kLint1Status) != 0, out == activeHigh);
            rig.Out32(kIntCsr, v | kLint1Clear);
            EXPECT_EQ(rig.card.InterruptAsserted(), out == activeHigh) << "bit 10 does nothing in level mode";
        }
    }
}

// The card remembers its line between accesses until its next event: an access alone,
// with no clock step in between, must still see an edge that fell since the last one,
// whether it reads IntCsr or touches only the converter's registers.
TEST(BridgeInterrupt, TheLineFollowsTimeThroughBusAccessesAlone)
{
    struct Case {
        const char *name;
        std::uint32_t intCsr;
        bool boardOnly;
    };
    const Case cases[] = {
        {"edge, board accesses", kLint1Edge | kLint1ActiveHigh | kLint1Enable | kPciEnable, true},
        {"edge, IntCsr reads", kLint1Edge | kLint1ActiveHigh | kLint1Enable | kPciEnable, false},
        {"level, board accesses", kLint1ActiveHigh | kLint1Enable | kPciEnable, true},
        {"level, IntCsr reads", kLint1ActiveHigh | kLint1Enable | kPciEnable, false},
    };
    for (const Case &c : cases) {
        Ticking rig(c.intCsr);
        const bool edge = (c.intCsr & kLint1Edge) != 0;
        bool latched = false;
        VTime from = rig.t;
        // A few periods of 10 us, one access every 700 ns, never a clock step.
        while (rig.t < from + 30000) {
            if (c.boardOnly)
                rig.Out8(sim::board::kControl, 0);
            else
                rig.IntCsr();
            latched = latched || rig.c0->RisingEdgeIn(from, rig.t);
            bool expected = edge ? latched : rig.c0->Out(rig.t);
            ASSERT_EQ(rig.card.InterruptAsserted(), expected) << c.name << " at " << rig.t;
            EXPECT_GT(rig.card.NextEventTime(rig.t), rig.t) << c.name;
            rig.t += 500;
        }
        EXPECT_TRUE(latched) << c.name << ": the run saw no edge";
    }
}

// An interrupt routine turns the PCI interrupt off and on around its work, writing IntCsr
// without touching local interrupt 1's mode, polarity or latch. Such writes, made at every
// point of the counter's period, must leave the status, the line and the card's next event
// exactly where the counter puts them; the next event is asked after every write.
TEST(BridgeInterrupt, IntCsrWritesThatLeaveLocalInterrupt1AloneKeepItsStatusAndNextEvent)
{
    for (std::uint32_t mode : {kLint1Edge | kLint1ActiveHigh, kLint1ActiveHigh, kLint1Edge}) {
        SCOPED_TRACE(mode);
        const std::uint32_t base = mode | kLint1Enable;
        Ticking rig(base | kPciEnable);
        const bool edge = (mode & kLint1Edge) != 0, activeHigh = (mode & kLint1ActiveHigh) != 0;
        const VTime from = rig.t;
        bool pci = true;
        while (rig.t < from + 40000) {
            pci = !pci;
            rig.Out32(kIntCsr, base | (pci ? kPciEnable : 0u));
            const bool latched = activeHigh ? rig.c0->RisingEdgeIn(from, rig.t) : rig.c0->FallingEdgeIn(from, rig.t);
            const bool status = edge ? latched : rig.c0->Out(rig.t) == activeHigh;
            ASSERT_EQ((rig.card.PeekIntCsr(rig.t) & kLint1Status) != 0, status) << "at " << rig.t;
            ASSERT_EQ(rig.card.InterruptAsserted(), pci && status) << "at " << rig.t;
            VTime next = sim::kNever;
            if (pci && !(edge && status))
                next = edge ? rig.c0->NextEdge(rig.t, activeHigh, !activeHigh) : rig.c0->NextEdge(rig.t, true, true);
            ASSERT_EQ(rig.card.NextEventTime(rig.t), next) << "at " << rig.t;
            rig.t += 1300;
        }
    }
}

TEST(BridgeInterrupt, EachEnableGatesTheLineButNotTheStatus)
{
    struct Case {
        std::uint32_t enables;
        bool asserted;
    } cases[] = {
        {kLint1Enable | kPciEnable, true},
        {kLint1Enable, false},  // no PCI interrupt enable
        {kPciEnable, false},    // local interrupt 1 not enabled
        {kLint2Enable | kPciEnable, false},
    };
    for (const Case &c : cases) {
        Ticking rig(kLint1Edge | kLint1ActiveHigh | c.enables);
        rig.AdvanceTo(rig.NextRise());
        EXPECT_EQ(rig.card.InterruptAsserted(), c.asserted) << std::hex << c.enables;
        EXPECT_NE(rig.IntCsr() & kLint1Status, 0u) << "status latches whatever the enables";
        // Enabling afterwards raises the line for the edge already latched.
        rig.Out32(kIntCsr, rig.IntCsr() | kLint1Enable | kPciEnable);
        EXPECT_TRUE(rig.card.InterruptAsserted());
    }
}

TEST(BridgeInterrupt, LocalInterrupt2IsRaisedByATestInLevelAndEdgeMode)
{
    CardRig rig;
    rig.Out32(kIntCsr, kLint2Enable | kPciEnable);  // level mode
    EXPECT_FALSE(rig.card.InterruptAsserted());
    rig.card.SetLocalInterrupt2(rig.t, true);
    EXPECT_TRUE(rig.card.InterruptAsserted());
    EXPECT_EQ(rig.IntCsr() & (kLint1Status | kLint2Status), kLint2Status);
    rig.card.SetLocalInterrupt2(rig.t, false);
    EXPECT_FALSE(rig.card.InterruptAsserted());

    rig.Out32(kIntCsr, kLint2Edge | kLint2Enable | kPciEnable);
    rig.card.SetLocalInterrupt2(rig.t, true);
    rig.card.SetLocalInterrupt2(rig.t, false);
    EXPECT_TRUE(rig.card.InterruptAsserted()) << "the assertion stays latched";
    rig.Out32(kIntCsr, rig.IntCsr() | kLint1Clear);
    EXPECT_TRUE(rig.card.InterruptAsserted()) << "bit 10 clears only local interrupt 1";
    rig.Out32(kIntCsr, rig.IntCsr() | kLint2Clear);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    EXPECT_EQ(rig.IntCsr() & kLint2Status, 0u);

    // Local interrupt 2 is asserted or not; its polarity bit is kept but changes nothing.
    rig.card.SetLocalInterrupt2(rig.t, false);
    rig.Out32(kIntCsr, kLint2ActiveHigh | kLint2Enable | kPciEnable);
    EXPECT_EQ(rig.IntCsr(), kLint2ActiveHigh | kLint2Enable | kPciEnable);
    rig.card.SetLocalInterrupt2(rig.t, true);
    EXPECT_TRUE(rig.card.InterruptAsserted());
    rig.card.SetLocalInterrupt2(rig.t, false);

    rig.Out32(kIntCsr, kLint2Edge | kPciEnable);  // bit 3 clear: status only
    rig.card.SetLocalInterrupt2(rig.t, true);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    EXPECT_NE(rig.IntCsr() & kLint2Status, 0u);
}

TEST(BridgeInterrupt, ControlWordThatRaisesTheCounterOutputIsAnEdge)
{
    // Mode 3 with a count of 60: the output is low for the second half of each period. A
    // control word written then sets it high again, which the bridge sees as a rising edge.
    Ticking rig(kLint1Edge | kLint1ActiveHigh, 3, 60);
    rig.AdvanceTo(rig.NextFall());
    ASSERT_FALSE(rig.c0->Out(rig.t));
    rig.Out32(kIntCsr, rig.IntCsr() | kLint1Clear);
    ASSERT_EQ(rig.IntCsr() & kLint1Status, 0u);
    rig.card.Write(rig.t, sim::Window::Board, sim::board::kTimerControl, 1, 0x34);
    EXPECT_NE(rig.IntCsr() & kLint1Status, 0u);
}

TEST(BridgeInterrupt, SwitchingToEdgeModeForgetsEdgesSeenInLevelMode)
{
    Ticking rig(kLint1ActiveHigh);  // level mode
    rig.AdvanceTo(rig.NextRise() + 100);
    rig.Out32(kIntCsr, kLint1Edge | kLint1ActiveHigh | kLint1Enable | kPciEnable);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    rig.AdvanceTo(rig.NextRise());
    EXPECT_TRUE(rig.card.InterruptAsserted());
}

TEST(BridgeInterrupt, WritingReadOnlyStatusBitsIsLoggedAndHasNoEffect)
{
    CardRig rig;
    rig.Out32(kIntCsr, kLint1Status | kLint2Status | kPciEnable | kLint1Enable | kLint2Enable);
    EXPECT_FALSE(rig.card.InterruptAsserted());
    EXPECT_EQ(rig.IntCsr() & (kLint1Status | kLint2Status), 0u);
    ASSERT_EQ(rig.card.Misuse().Entries().size(), 1u);
    EXPECT_NE(rig.card.Misuse().Entries()[0].what.find("read-only"), std::string::npos);

    // A read-modify-write that writes back a status bit as read is ordinary.
    Ticking ticking(kLint1Edge | kLint1ActiveHigh | kLint1Enable | kPciEnable);
    ticking.AdvanceTo(ticking.NextRise());
    std::uint32_t v = ticking.IntCsr();
    ticking.Out32(kIntCsr, v & ~kPciEnable);
    EXPECT_FALSE(ticking.card.InterruptAsserted());
    EXPECT_TRUE(ticking.card.Misuse().Entries().empty());
}

TEST(BridgeInterrupt, AcknowledgeSequenceOfAnEdgeTriggeredDriver)
{
    // The order a driver acknowledges in: PCI enable off, clear the edge, enable again.
    Ticking rig(kLint1Edge | kLint1ActiveHigh | kLint1Enable | kPciEnable);
    for (int tick = 0; tick < 5; ++tick) {
        rig.AdvanceTo(rig.card.NextEventTime(rig.t));
        ASSERT_TRUE(rig.card.InterruptAsserted());
        std::uint32_t v = rig.IntCsr();
        ASSERT_EQ(v & (kPciEnable | kLint1Status), kPciEnable | kLint1Status);
        rig.Out32(kIntCsr, v & ~kPciEnable);
        EXPECT_FALSE(rig.card.InterruptAsserted());
        std::uint32_t w = rig.IntCsr();
        rig.Out32(kIntCsr, w | kLint1Clear);
        rig.Out32(kIntCsr, rig.IntCsr() | kPciEnable | kLint1Enable);
        EXPECT_FALSE(rig.card.InterruptAsserted());
    }
    EXPECT_TRUE(rig.card.Misuse().Entries().empty());
}

TEST(BridgeInterrupt, OtherBridgeOffsetsReadBackWhatWasWrittenAndPartialAccessesUseByteEnables)
{
    CardRig rig;
    rig.Out32(0x00, 0x12345678);
    rig.Out32(0x7C, 0xCAFEF00D);
    EXPECT_EQ(rig.In32(0x00), 0x12345678u);
    EXPECT_EQ(rig.In32(0x7C), 0xCAFEF00Du);
    EXPECT_EQ(rig.card.Read(rig.t, sim::Window::Bridge, 0x01, 2), 0x3456u);
    EXPECT_TRUE(rig.card.Misuse().Entries().empty());

    std::uint16_t low = static_cast<std::uint16_t>(rig.card.Read(rig.t, sim::Window::Bridge, kIntCsr, 2));
    EXPECT_EQ(low, kLint1Edge | kLint1ActiveHigh);
    rig.card.Write(rig.t, sim::Window::Bridge, kIntCsr, 1, kLint1Enable | kPciEnable | kLint1ActiveHigh);
    EXPECT_EQ(rig.IntCsr(), kLint1Edge | kLint1Enable | kPciEnable | kLint1ActiveHigh) << "byte merged into bits 0-7";
    EXPECT_TRUE(rig.card.Misuse().Entries().empty()) << "a PCI target answers part of a register";
}

}  // namespace
}  // namespace simtest
