// The port and board-level exports through the whole stack, checked against what the
// card saw (its register trace) and what it holds (outputs, counters, conversions).
#include "library_fixture.h"

#include "sim/card.h"

#include <plat/hw.h>

#include <cstring>
#include <functional>
#include <set>
#include <vector>

namespace tavlon_test {
namespace {

using BoardTest = LibraryFixture;

// Board-window writes the card saw since trace entry `from`, as (offset, value).
std::vector<std::pair<uint32_t, uint32_t>> BoardWritesSince(const sim::Card &card, uint64_t from)
{
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (uint64_t n = from; n < card.Trace().Total(); ++n) {
        const sim::RegisterAccess *access = card.Trace().At(n);
        if (access != nullptr && access->write && access->window == sim::Window::Board)
            writes.emplace_back(access->offset, access->value);
    }
    return writes;
}

TEST_F(BoardTest, PortReadsReturnTheValueZeroExtendedUsingTheLow16BitsOfThePort)
{
    ASSERT_TRUE(BootAndLoad("di=0x5A,0xA5"));
    const uint32_t base = Driver().BoardBase;
    EXPECT_EQ(lib.inportb(base + 3), 0x005Au);
    EXPECT_EQ(lib.GetLastADError(), 0);
    EXPECT_EQ(lib.inportb(0xABCD0000u | (base + 3)), 0x005Au);
    EXPECT_EQ(lib.inportb(base + 4), 0x00A5u);
    // A 32-bit read of the bridge's interrupt control/status register.
    const uint32_t bridge = Driver().BridgeBase;
    EXPECT_EQ(lib.inportdw(bridge + sim::bridge::kIntCsr), Card().PeekIntCsr(Card().Now()));
}

// Ports outside the card's ranges (another device's, or none's) are refused by the driver
// with 121 and the port functions return 0; nothing reaches the bus.
TEST_F(BoardTest, PortFunctionsOutsideTheCardsRangesFailWith121)
{
    ASSERT_TRUE(BootAndLoad());
    const uint32_t base = Driver().BoardBase;
    const uint64_t mark = Card().Trace().Total();
    EXPECT_EQ(lib.inport(0xFFF0), 0u);
    EXPECT_EQ(lib.GetLastADError(), TQ_DRV_PORT_OUT_OF_RANGE);
    EXPECT_EQ(lib.inportdw(base + 13), 0u);  // runs past the board range's last byte
    EXPECT_EQ(lib.GetLastADError(), TQ_DRV_PORT_OUT_OF_RANGE);
    lib.outportb(0x300, 0x5A);
    EXPECT_EQ(lib.GetLastADError(), TQ_DRV_PORT_OUT_OF_RANGE);
    lib.outportdw(base - 4, 0);
    EXPECT_EQ(lib.GetLastADError(), TQ_DRV_PORT_OUT_OF_RANGE);
    EXPECT_EQ(Card().Trace().Total(), mark);
    EXPECT_EQ(plat::UnclaimedAccessCount(), 0u);
    // The card's own ports still answer.
    lib.inportb(base + sim::board::kDiHigh);
    EXPECT_EQ(lib.GetLastADError(), 0);
}

TEST_F(BoardTest, PortWritesReachTheCardWithTheirWidth)
{
    ASSERT_TRUE(BootAndLoad());
    const uint32_t base = Driver().BoardBase;
    lib.outportb(base + sim::board::kDoLow, 0xFF3C);
    EXPECT_EQ(lib.GetLastADError(), 0);
    EXPECT_EQ(Card().DigitalOutputLow(), 0x3C);
    uint64_t mark = Card().Trace().Total();
    lib.outport(0x10000u | (base + sim::board::kDoHigh), 0x1281);
    lib.outportdw(base + sim::board::kDa0Low, 0x01020304);
    ASSERT_EQ(Card().Trace().Total(), mark + 2);
    const sim::RegisterAccess *word = Card().Trace().At(mark);
    const sim::RegisterAccess *dword = Card().Trace().At(mark + 1);
    ASSERT_TRUE(word && dword);
    EXPECT_EQ(word->width, 2);
    EXPECT_EQ(word->offset, sim::board::kDoHigh);
    EXPECT_EQ(word->value, 0x1281u);
    EXPECT_EQ(dword->width, 4);
    EXPECT_EQ(dword->value, 0x01020304u);
}

TEST_F(BoardTest, IOCtlPassesBuffersByTheirSizes)
{
    ASSERT_TRUE(BootAndLoad());
    unsigned char status[16];
    std::memset(status, 0xEE, sizeof status);
    ASSERT_EQ(lib.IOCtl(0, nullptr, 10, status), 1);
    EXPECT_EQ(lib.GetLastADError(), 0);
    uint32_t boardBase;
    uint16_t irq;
    std::memcpy(&boardBase, status, 4);
    std::memcpy(&irq, status + 4, 2);
    EXPECT_EQ(boardBase, Driver().BoardBase);
    EXPECT_EQ(irq, Driver().IrqLevel);
    EXPECT_EQ(status[10], 0xEE);

    EXPECT_EQ(lib.IOCtl(0, nullptr, 12, status), 0);
    EXPECT_EQ(lib.GetLastADError(), 114);

    // The card frequency's two EEPROM words (58 and 59, from byte address 116).
    unsigned char request[2] = {116, 2};
    uint16_t words[3] = {0xEEEE, 0xEEEE, 0xEEEE};
    ASSERT_EQ(lib.IOCtl(2, request, 4, words), 1);
    EXPECT_EQ(words[0], Card().EepromContents()[58]);
    EXPECT_EQ(words[1], Card().EepromContents()[59]);
    float frequency;
    uint32_t bits = static_cast<uint32_t>(words[1]) << 16 | words[0];
    std::memcpy(&frequency, &bits, 4);
    EXPECT_EQ(frequency, 6000000.0f);
    EXPECT_EQ(lib.IOCtl(2, request, 6, words), 0);
    EXPECT_EQ(lib.GetLastADError(), 114);
}

TEST_F(BoardTest, ZelDiStoresTheTwoInputBytesAndZeroCountStoresNothing)
{
    ASSERT_TRUE(BootAndLoad("di=0x81,0x7E"));
    uint16_t values[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    ASSERT_EQ(lib.Zel_DI(2, values), 1);
    EXPECT_EQ(values[0], 0x81);
    EXPECT_EQ(values[1], 0x7E);
    EXPECT_EQ(values[2], 0xAAAA);
    Card().SetDigitalInputs(0xFF, 0x00);
    uint64_t mark = Card().Trace().Total();
    uint16_t untouched = 0xAAAA;
    ASSERT_EQ(lib.Zel_DI(0, &untouched), 1);
    EXPECT_EQ(untouched, 0xAAAA);
    EXPECT_GT(Card().Trace().Total(), mark) << "a count of 0 still sends the request";
    std::vector<uint16_t> all(100, 0xAAAA);
    ASSERT_EQ(lib.Zel_DI(100, all.data()), 1);
    EXPECT_EQ(all[0], 0xFF);
    EXPECT_EQ(all[1], 0x00);
    EXPECT_EQ(all[2], 0) << "further entries echo request bytes no call has set";
}

// Counts whose results would run past the 100-byte reply are refused before sending.
TEST_F(BoardTest, ZelCountsBeyondTheReplyAreRefusedWith15AndSendNothing)
{
    ASSERT_TRUE(BootAndLoad());
    std::vector<uint16_t> values(300, 0xAAAA);
    struct Case {
        const char *what;
        int32_t (*call)(TavlonModule &, uint16_t *);
    } cases[] = {
        {"Zel_DI(101)", [](TavlonModule &l, uint16_t *v) { return l.Zel_DI(101, v); }},
        {"Zel_DI(0xFFFF)", [](TavlonModule &l, uint16_t *v) { return l.Zel_DI(0xFFFF, v); }},
        {"Zel_ADResult(51)", [](TavlonModule &l, uint16_t *v) { return l.Zel_ADResult(51, v); }},
        {"Zel_ADResult(200)", [](TavlonModule &l, uint16_t *v) { return l.Zel_ADResult(200, v); }},
    };
    for (const Case &c : cases) {
        uint64_t mark = Card().Trace().Total();
        EXPECT_EQ(c.call(lib, values.data()), 0) << c.what;
        EXPECT_EQ(lib.GetLastADError(), 15) << c.what;
        EXPECT_EQ(Card().Trace().Total(), mark) << c.what << " reached the card";
        EXPECT_EQ(values[0], 0xAAAA) << c.what;
    }
}

// A polled scan set up for 4 channels from channel 0 at gain index 1 returns the codes
// the card converted for channels 0 to 3 at that gain, masked to 12 bits; a single
// conversion read with Zel_ADR1 is the card's raw result word.
TEST_F(BoardTest, ZelScanReturnsTheCardsConversionsAndAdr1TheRawWord)
{
    ASSERT_TRUE(BootAndLoad("ch0=dc:0.5;ch1=dc:-1.25;ch2=dc:2;ch3=dc:-0.3;ch4=dc:1"));
    ASSERT_EQ(lib.Zel_Init(4, 0, 1), 1);
    uint16_t values[6] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    ASSERT_EQ(lib.Zel_ADResult(4, values), 1);
    const auto &log = Card().Conversions().Entries();
    ASSERT_GE(log.size(), 5u);
    for (unsigned k = 0; k < 4; ++k) {
        const sim::ConversionRecord &truth = log[log.size() - 4 + k];
        EXPECT_EQ(truth.channel, k);
        EXPECT_EQ(truth.gain, 1u);
        EXPECT_EQ(values[k], truth.code) << "result " << k;
        EXPECT_LE(values[k], 0x0FFF);
    }
    EXPECT_EQ(values[4], 0xAAAA);
    std::set<uint16_t> distinct(values, values + 4);
    EXPECT_EQ(distinct.size(), 4u) << "four different inputs";

    ASSERT_EQ(lib.Zel_SetChn(2), 1);
    ASSERT_EQ(lib.Zel_StartAD(), 1);
    Advance(Card().Config().conversionTime * 4);
    uint16_t raw = 0xAAAA;
    ASSERT_EQ(lib.Zel_ADR1(&raw), 1);
    EXPECT_EQ(raw, Card().Result());
    EXPECT_EQ(raw, log.back().word) << "Zel_ADR1 returns the result as read, bits 12-15 included";
}

// The first polled scan after anything that left another channel selected (a set-up with
// another first channel, a channel selection, a four-channel acquisition) still returns
// channels 0 … 3 in order: the scan selects channel 0 before its first conversion.
TEST_F(BoardTest, ZelScanReturnsChannelsInOrderWhateverWasSelectedBefore)
{
    ASSERT_TRUE(BootAndLoad("ch0=dc:0.5;ch1=dc:-1.25;ch2=dc:2;ch3=dc:-0.3;ch4=dc:1;ch5=dc:-2;ch6=dc:3"));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    struct Case {
        const char *what;
        std::function<bool()> before;
    } cases[] = {
        {"Zel_Init(4, 6, 0)", [&] { return lib.Zel_Init(4, 6, 0) == 1; }},
        {"Zel_Init(4, 0, 0), Zel_SetChn(5)", [&] { return lib.Zel_Init(4, 0, 0) == 1 && lib.Zel_SetChn(5) == 1; }},
        {"a four-channel acquisition",  // its sequencer leaves a channel past 0 selected
         [&] {
             const bool started = lib.StartIntr(2, 5, 0, 4, 1000, 0, 0) > 0;
             Advance(21'500'000);  // 21 steps: channel 1 selected last
             return started && lib.StopIntr() == 1;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.before());
        uint16_t values[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
        ASSERT_EQ(lib.Zel_ADResult(4, values), 1);
        const auto &log = Card().Conversions().Entries();
        ASSERT_GE(log.size(), 4u);
        for (unsigned k = 0; k < 4; ++k) {
            const sim::ConversionRecord &truth = log[log.size() - 4 + k];
            EXPECT_EQ(truth.channel, k) << "slot " << k;
            EXPECT_EQ(values[k], truth.code & 0x0FFF) << "slot " << k;
        }
    }
}

TEST_F(BoardTest, ZelOutputsReachTheCard)
{
    ASSERT_TRUE(BootAndLoad());
    const uint32_t base = Driver().BoardBase;
    ASSERT_EQ(lib.Zel_DO(0, 0x5A), 1);
    ASSERT_EQ(lib.Zel_DO(1, 0x1C3), 1);
    EXPECT_EQ(Card().DigitalOutputLow(), 0x5A);
    EXPECT_EQ(Card().DigitalOutputHigh(), 0xC3);

    uint64_t mark = Card().Trace().Total();
    ASSERT_EQ(lib.Zel_DA(0x1234, 0), 1);
    EXPECT_EQ(Card().AnalogOutput(0), 0x234);
    auto writes = BoardWritesSince(Card(), mark);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], std::make_pair(sim::board::kDa0Low, 0x34u));
    EXPECT_EQ(writes[1], std::make_pair(sim::board::kDa0High, 0x02u));
    EXPECT_EQ(writes[2].first, sim::board::kDaLatch);
    ASSERT_EQ(lib.Zel_DA(0xFFF, 3), 1);
    EXPECT_EQ(Card().AnalogOutput(1), 0xFFF);
    EXPECT_EQ(Card().AnalogOutput(0), 0x234);

    ASSERT_EQ(lib.Zel_SetPGA(6), 1);
    EXPECT_EQ(sim::board::GainOf(Card().ControlRegister()), 2u);
    ASSERT_EQ(lib.Zel_SetChn(0x25), 1);
    EXPECT_EQ(sim::board::ChannelOf(Card().ControlRegister()), 5u);
    EXPECT_EQ(sim::board::GainOf(Card().ControlRegister()), 2u);
    (void)base;
}

// Counter 2 loaded as a 10 kHz square wave: control word to the timer's control
// register, then the low and high count bytes to counter 2, and the card's counter then
// runs at that frequency.
TEST_F(BoardTest, ZelCounterOutLoadsCounter2InOrderAndItRuns)
{
    ASSERT_TRUE(BootAndLoad());
    const uint32_t control = 0xB6, low = 0x58, high = 0x02;  // counter 2, mode 3, 600 clocks
    uint64_t mark = Card().Trace().Total();
    ASSERT_EQ(lib.Zel_CounterOut(control, low, high, 2), 1);
    auto writes = BoardWritesSince(Card(), mark);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], std::make_pair(sim::board::kTimerControl, control));
    EXPECT_EQ(writes[1], std::make_pair(sim::board::kCounter2, low));
    EXPECT_EQ(writes[2], std::make_pair(sim::board::kCounter2, high));

    const sim::Counter8254 &counter = Card().Counter(2);
    ASSERT_TRUE(counter.Running());
    EXPECT_EQ(counter.Mode(), 3u);
    // Rising edges of the output over 10 ms after it started: 100 at 10 kHz.
    const uint64_t from = counter.LoadTime() + 1;
    int edges = 0;
    for (uint64_t t = counter.NextEdge(from, true, false); t <= from + 10'000'000;
         t = counter.NextEdge(t, true, false))
        ++edges;
    EXPECT_EQ(edges, 100);
}

}  // namespace
}  // namespace tavlon_test
