// IOCTL_BOARD_COMMAND, IOCTL_GET_LAST_ERROR and IOCTL_CARD_FREQUENCY through the
// dispatcher, checked against the card model: every row of the form selection by
// (input length, output length), every CommandBlock sub-command, the order of the
// 103/114 refusals, the bounds refused before anything is touched, the confinement of
// every port to the card's claimed ranges (121), the bounded polled scan, and the
// sub-commands refused or restricted while an acquisition runs.
#include "support/driver_fixture.h"

#include "driver.h"
#include "plat/hw.h"
#include "sim/resource_layout.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace tqtest {
namespace {

using sim::Window;

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

Writes WritesOf(const std::vector<sim::RegisterAccess> &trace)
{
    Writes writes;
    for (const sim::RegisterAccess &a : trace)
        if (a.write)
            writes.emplace_back(a.offset, a.value);
    return writes;
}

struct Reply {
    NTSTATUS status;
    std::vector<uint8_t> bytes;  // the caller's output buffer afterwards
};

class BoardCommandTest : public DriverTest {
protected:
    // One IOCTL_BOARD_COMMAND with `request` as input (its first inLen bytes) and an
    // output buffer of outLen bytes pre-filled with 0xEE.
    Reply Board(std::vector<uint8_t> request, ULONG inLen, ULONG outLen)
    {
        request.resize(std::max<size_t>(request.size(), inLen + 1), 0);
        Reply r{0, std::vector<uint8_t>(outLen + 1, 0xEE)};
        r.status = Ioctl(IOCTL_BOARD_COMMAND, request.data(), inLen, r.bytes.data(), outLen);
        r.bytes.resize(outLen);
        return r;
    }

    // A 100-byte CommandBlock: the given leading bytes, then a pattern that shows which
    // bytes the driver wrote.
    static std::vector<uint8_t> Block(std::initializer_list<uint8_t> head)
    {
        std::vector<uint8_t> block(100);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<uint8_t>(0x80 ^ i);
        size_t i = 0;
        for (uint8_t b : head)
            block[i++] = b;
        return block;
    }
    Reply Command(const std::vector<uint8_t> &block) { return Board(block, 100, 100); }

    // Refusal through the stack: the status and the code IOCTL_GET_LAST_ERROR returns.
    void ExpectRefused(const Reply &r, LONG code)
    {
        EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), code);
    }

    // A port outside the card's ranges: refused with 121 before any port of any device
    // (the card, or an address nothing decodes) was touched.
    void ExpectDenied(const Reply &r)
    {
        EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(LastError(), TQ_DRV_PORT_OUT_OF_RANGE);
        EXPECT_TRUE(Card().Trace().Entries().empty());
        EXPECT_EQ(plat::UnclaimedAccessCount(), 0u);
    }

    // Port number of a register of the bridge as an offset from BoardBase (16 bits).
    uint16_t BridgeFromBoard(uint32_t bridgeOffset) const
    {
        return static_cast<uint16_t>(Dc()->BridgeBase + bridgeOffset - Dc()->BoardBase);
    }

    // CMD_SETUP: gain, channel count, first channel.
    void Setup(uint8_t gain, uint8_t count, uint8_t first)
    {
        ASSERT_EQ(Command(Block({2, gain, count, first})).status, STATUS_SUCCESS);
    }

    void StartAcquisition()
    {
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
        ASSERT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
        Ticks(3);
        Card().ClearTrace();
    }
};

// ---- Form selection ------------------------------------------------------------------------

TEST_F(BoardCommandTest, BoardStatusReportsBaseInterruptLineAndInterruptCounts)
{
    Dc()->IsrCount = 0x1234;
    Dc()->IdleIsrCount = 0xBEEF;
    Reply r = Board({}, 0, 10);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint32_t>(LongAt(r.bytes, 0)), Dc()->BoardBase);
    EXPECT_EQ(WordAt(r.bytes, 4), sim::kDefaultInterruptLine);
    EXPECT_EQ(WordAt(r.bytes, 6), 0x1234);
    EXPECT_EQ(WordAt(r.bytes, 8), 0xBEEF);

    // A device without an interrupt reports line 0.
    Dc()->IrqLevel = 0;
    r = Board({}, 0, 10);
    EXPECT_EQ(WordAt(r.bytes, 4), 0);
    Dc()->IrqLevel = sim::kDefaultInterruptLine;
}

TEST_F(BoardCommandTest, ResourceReportFillsAllSixPortEntriesAndZeroesItsTail)
{
    Dc()->PortIsMapped[1] = 1;  // as for a range translated to memory space
    std::vector<uint8_t> buffer(80, 0xA5);
    ASSERT_EQ(BoardCommandHandler(Dc(), 0, buffer.data(), 80, buffer.data()), STATUS_SUCCESS);
    EXPECT_EQ(WordAt(buffer, 0), Dc()->PortCount);
    EXPECT_EQ(WordAt(buffer, 2), Dc()->MemCount);
    EXPECT_EQ(Dc()->PortCount, 2);
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<uint32_t>(LongAt(buffer, 4 + 12 * i)), Dc()->PortBase[i]);
        EXPECT_EQ(static_cast<uint32_t>(LongAt(buffer, 8 + 12 * i)), Dc()->PortLength[i]);
        EXPECT_EQ(LongAt(buffer, 12 + 12 * i), i == 1 ? 1 : 0);
    }
    EXPECT_EQ(static_cast<uint32_t>(LongAt(buffer, 4)), sim::kDefaultBridgePort);
    EXPECT_EQ(static_cast<uint32_t>(LongAt(buffer, 16)), sim::kDefaultBoardPort);
    EXPECT_EQ(LongAt(buffer, 76), 0);
    Dc()->PortIsMapped[1] = 0;
}

TEST_F(BoardCommandTest, LengthPairsOutsideTheTableAreRefusedWith114)
{
    struct Pair {
        ULONG in, out;
    };
    for (Pair p : {Pair{0, 0}, Pair{0, 12}, Pair{0, 100}, Pair{1, 8}, Pair{4, 2}, Pair{8, 4}, Pair{3, 3},
                   Pair{100, 99}, Pair{99, 100}, Pair{16, 16}}) {
        SCOPED_TRACE(testing::Message() << p.in << "/" << p.out);
        ExpectRefused(Board(std::vector<uint8_t>(p.in, 0x01), p.in, p.out), TQ_DRV_BAD_BOARD_COMMAND);
    }
    EXPECT_TRUE(Trace(Window::Board).empty());
    EXPECT_TRUE(Trace(Window::Bridge).empty());
}

TEST_F(BoardCommandTest, BridgeReadTestsTheLengthBeforeTheBridgeRange)
{
    Reply r = Board({static_cast<uint8_t>(BRIDGE_INTCSR)}, 1, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint32_t>(LongAt(r.bytes, 0)), Card().PeekIntCsr(plat::Now()));
    auto bridge = Trace(Window::Bridge);
    ASSERT_EQ(bridge.size(), 1u);
    EXPECT_EQ(bridge[0].offset, BRIDGE_INTCSR);
    EXPECT_EQ(bridge[0].width, 4);

    const ULONG bridgeBase = Dc()->BridgeBase;
    Dc()->BridgeBase = 0;
    ExpectRefused(Board({0x4C}, 1, 8), TQ_DRV_BAD_BOARD_COMMAND);
    ExpectRefused(Board({0x4C}, 1, 4), TQ_DRV_NO_BOARD);
    Dc()->BridgeBase = bridgeBase;
}

TEST_F(BoardCommandTest, RegisterReadClearsTheReplyAndReadsTheRequestedWidth)
{
    // Width 1 at offset 2: the status byte, bytes 1…3 zero although the request had 2 there.
    Reply r = Board({1, 0, 2, 0}, 4, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, (std::vector<uint8_t>{STATUS_CONVERSION_DONE, 0, 0, 0}));

    // Widths 2 and 3 through an unsigned 16-bit offset that reaches the bridge's IntCsr.
    const uint16_t toIntCsr = BridgeFromBoard(BRIDGE_INTCSR);
    const uint32_t intCsr = Card().PeekIntCsr(plat::Now());
    Card().ClearTrace();
    r = Board({3, 0, static_cast<uint8_t>(toIntCsr), static_cast<uint8_t>(toIntCsr >> 8)}, 4, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<uint32_t>(LongAt(r.bytes, 0)), intCsr);
    r = Board({2, 0, static_cast<uint8_t>(toIntCsr), static_cast<uint8_t>(toIntCsr >> 8)}, 4, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(r.bytes, 0), intCsr & 0xFFFF);
    EXPECT_EQ(WordAt(r.bytes, 2), 0);
    auto bridge = Trace(Window::Bridge);
    ASSERT_EQ(bridge.size(), 2u);
    EXPECT_EQ(bridge[0].width, 4);
    EXPECT_EQ(bridge[1].width, 2);

    for (std::vector<uint8_t> bad : {std::vector<uint8_t>{0, 0, 2, 0}, {4, 0, 2, 0}, {0xFF, 0, 2, 0}, {1, 1, 2, 0}}) {
        ExpectRefused(Board(bad, 4, 4), TQ_DRV_BAD_BOARD_COMMAND);
    }
}

TEST_F(BoardCommandTest, RegisterWriteWritesTheValueWithItsWidthAndReportsIt)
{
    Reply r = Board({1, 0, BOARD_DO_LOW, 0, 0x3C, 0x99, 0x99, 0x99}, 8, 1);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes[0], 1);
    EXPECT_EQ(Card().DigitalOutputLow(), 0x3C);

    const uint16_t toControl = BridgeFromBoard(BRIDGE_CONTROL);
    const uint8_t lo = static_cast<uint8_t>(toControl), hi = static_cast<uint8_t>(toControl >> 8);
    Card().ClearTrace();
    EXPECT_EQ(Board({3, 0, lo, hi, 0x78, 0x56, 0x34, 0x00}, 8, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(Board({2, 0, lo, hi, 0x21, 0x43, 0xFF, 0xFF}, 8, 1).status, STATUS_SUCCESS);
    auto bridge = Trace(Window::Bridge);
    ASSERT_EQ(bridge.size(), 2u);
    EXPECT_EQ(bridge[0].width, 4);
    EXPECT_EQ(bridge[0].value, 0x00345678u);
    EXPECT_EQ(bridge[1].width, 2);
    EXPECT_EQ(bridge[1].value, 0x4321u);

    // Refusals write nothing and leave reply byte 0 at 0 (seen in the handler's buffer:
    // a failed request's output is not copied back).
    Card().ClearTrace();
    for (std::vector<uint8_t> bad : {std::vector<uint8_t>{1, 1, 13, 0, 7, 0, 0, 0}, {0, 0, 13, 0, 7, 0, 0, 0},
                                     {4, 0, 13, 0, 7, 0, 0, 0}}) {
        EXPECT_EQ(BoardCommandHandler(Dc(), 8, bad.data(), 1, bad.data()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bad[0], 0);
        EXPECT_EQ(Dc()->LastError, TQ_DRV_BAD_BOARD_COMMAND);
    }
    EXPECT_TRUE(Trace(Window::Board).empty());
}

TEST_F(BoardCommandTest, EepromReadReturnsWordsFromTheStartByteOn)
{
    Card().SetEepromWord(10, 0x1111);
    Card().SetEepromWord(11, 0x2222);
    Card().SetEepromWord(12, 0x3333);
    Reply r = Board({20, 3}, 2, 6);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(r.bytes, 0), 0x1111);
    EXPECT_EQ(WordAt(r.bytes, 2), 0x2222);
    EXPECT_EQ(WordAt(r.bytes, 4), 0x3333);

    // The two card-frequency words, as IOCtl(2, {116, 2}, 4, …) asks for them.
    r = Board({116, 2}, 2, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(r.bytes, 0), Card().EepromContents()[58]);
    EXPECT_EQ(WordAt(r.bytes, 2), Card().EepromContents()[59]);
    ExpectRefused(Board({116, 2}, 2, 6), TQ_DRV_BAD_BOARD_COMMAND);

    // No words: succeeds without touching the EEPROM.
    Card().ClearTrace();
    EXPECT_EQ(Board({116, 0}, 2, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(Trace(Window::Bridge).empty());
}

TEST_F(BoardCommandTest, EepromWriteTakesItsWordCountFromTheInputLength)
{
    // Input 4, output 0, one word; input 8, output 0, three words.
    ASSERT_EQ(Board({6, 1, 0x34, 0x12}, 4, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Card().EepromContents()[3], 0x1234);
    ASSERT_EQ(Board({31, 3, 0x01, 0xA0, 0x02, 0xB0, 0x03, 0xC0}, 8, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Card().EepromContents()[15], 0xA001);  // byte 31 names word 15
    EXPECT_EQ(Card().EepromContents()[16], 0xB002);
    EXPECT_EQ(Card().EepromContents()[17], 0xC003);

    Card().ClearTrace();
    ExpectRefused(Board({6, 2, 0, 0}, 4, 0), TQ_DRV_BAD_BOARD_COMMAND);   // 4 ≠ 2·2 + 2
    ExpectRefused(Board({6, 1, 0, 0, 0, 0}, 6, 0), TQ_DRV_BAD_BOARD_COMMAND);
    EXPECT_TRUE(Trace(Window::Bridge).empty());
}

TEST_F(BoardCommandTest, EepromFormsTestTheBridgeRangeBeforeTheirLengths)
{
    const ULONG bridgeBase = Dc()->BridgeBase;
    Dc()->BridgeBase = 0;
    ExpectRefused(Board({116, 2}, 2, 3), TQ_DRV_NO_BOARD);      // read, wrong length
    ExpectRefused(Board({116, 2}, 2, 4), TQ_DRV_NO_BOARD);
    ExpectRefused(Board({0, 5, 0, 0}, 4, 0), TQ_DRV_NO_BOARD);  // write, wrong length
    ExpectRefused(Board({0, 1, 0, 0}, 4, 0), TQ_DRV_NO_BOARD);
    Dc()->BridgeBase = bridgeBase;
}

TEST_F(BoardCommandTest, EepromRequestsOutsideTheChipAreRefusedUntouched)
{
    struct Case {
        uint8_t start, count;
        bool ok;
    };
    const sim::EepromImage before = Card().EepromContents();
    for (Case c : {Case{0x80, 1, false}, Case{0xFF, 1, false}, Case{126, 2, false}, Case{127, 2, false},
                   Case{120, 5, false}, Case{127, 1, true}, Case{124, 2, true}, Case{0, 64, true}}) {
        SCOPED_TRACE(testing::Message() << int(c.start) << "+" << int(c.count));
        Card().ClearTrace();
        Reply r = Board({c.start, c.count}, 2, 2u * c.count);
        if (c.ok) {
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            continue;
        }
        ExpectRefused(r, TQ_DRV_BAD_BOARD_COMMAND);
        std::vector<uint8_t> write{c.start, c.count};
        write.resize(2u + 2u * c.count, 0);
        ExpectRefused(Board(write, static_cast<ULONG>(write.size()), 0), TQ_DRV_BAD_BOARD_COMMAND);
        EXPECT_TRUE(Trace(Window::Bridge).empty());
    }
    EXPECT_EQ(Card().EepromContents(), before);
}

TEST_F(BoardCommandTest, RequestWithLengthsButNoBufferIsRefusedWith119)
{
    EXPECT_EQ(BoardCommandHandler(Dc(), 0, nullptr, 10, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Dc()->LastError, TQ_DRV_BUFFER_TOO_SHORT);
    EXPECT_EQ(BoardCommandHandler(Dc(), 100, nullptr, 100, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CardFrequencyHandler(Dc(), 0, nullptr, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Dc()->LastError, TQ_DRV_BUFFER_TOO_SHORT);
    EXPECT_EQ(GetLastErrorHandler(Dc(), 0, nullptr, 4, nullptr), STATUS_UNSUCCESSFUL);
}

// ---- CommandBlock ---------------------------------------------------------------------------

TEST_F(BoardCommandTest, SubCommandsAbove12AreRefused)
{
    for (uint8_t code : {13, 100, 255}) {
        ExpectRefused(Command(Block({code})), TQ_DRV_BAD_BOARD_COMMAND);
    }
    EXPECT_TRUE(Trace(Window::Board).empty());
}

TEST_F(BoardCommandTest, ReadBytesReadsFromASignedOffsetAndEchoesTheRest)
{
    Card().SetDigitalInputs(0x5A, 0xC3);
    Reply r = Command(Block({0, 3, 2}));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes[0], STATUS_CONVERSION_DONE);
    EXPECT_EQ(r.bytes[1], 0x5A);
    EXPECT_EQ(r.bytes[2], 0xC3);
    const std::vector<uint8_t> sent = Block({0, 3, 2});
    EXPECT_TRUE(std::equal(r.bytes.begin() + 3, r.bytes.end(), sent.begin() + 3));

    // Offset 0xFF is −1: B−1, then B+0. The first port lies below the board range, so the
    // whole run is refused (see PortsOutsideTheCardsRanges…).
    Card().ClearTrace();
    ExpectDenied(Command(Block({0, 2, 0xFF})));

    // Counts of 0 or less read nothing.
    Card().ClearTrace();
    EXPECT_EQ(Command(Block({0, 0, 2})).status, STATUS_SUCCESS);
    EXPECT_EQ(Command(Block({0, 0x80, 2})).status, STATUS_SUCCESS);
    EXPECT_TRUE(Trace(Window::Board).empty());
}

TEST_F(BoardCommandTest, ReadAndWriteBytesCountsBeyondTheBlockAreRefusedUntouched)
{
    ExpectRefused(Command(Block({0, 101, 0})), TQ_DRV_BAD_BOARD_COMMAND);
    ExpectRefused(Command(Block({1, 98, 0})), TQ_DRV_BAD_BOARD_COMMAND);
    EXPECT_TRUE(Trace(Window::Board).empty());
    // 16 bytes read the whole board range, the write-only registers included; 100 would run
    // past it (121).
    Card().ExpectMisuse(sim::misuse::kWriteOnlyRead);
    Reply r = Command(Block({0, 16, 0}));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes[2], STATUS_CONVERSION_DONE);
    EXPECT_EQ(r.bytes[16], Block({})[16]);
    Card().ClearTrace();
    ExpectDenied(Command(Block({0, 100, 2})));
}

TEST_F(BoardCommandTest, WriteBytesWritesTheDataFromByteThree)
{
    ASSERT_EQ(Command(Block({1, 2, BOARD_DO_LOW, 0x11, 0x22})).status, STATUS_SUCCESS);
    EXPECT_EQ(WritesOf(Trace(Window::Board)), (Writes{{13, 0x11}, {14, 0x22}}));
    EXPECT_EQ(Card().DigitalOutputLow(), 0x11);
    EXPECT_EQ(Card().DigitalOutputHigh(), 0x22);
}

// Every form that takes a port from the caller reaches it only when the whole access lies
// in a range the card claimed (bridge 128 bytes, board 16): one byte past either end, an
// access that straddles the end, a signed offset below the base, an unsigned one that
// wraps past port space onto no range, are all refused with 121 and touch nothing. The
// accesses that end exactly at the last byte still work.
TEST_F(BoardCommandTest, PortsOutsideTheCardsRangesAreRefusedWith121UntouchedAndTheEdgesStillWork)
{
    const uint16_t past = static_cast<uint16_t>(0x10000 - Dc()->BoardBase);  // wraps to port 0
    // The accesses at the range's edges touch its registers without regard to their use,
    // on purpose: reads of the write-only ones, a whole-range read after a write to +15
    // (which starts a conversion), and a second such write while it converts.
    Card().ExpectMisuse(sim::misuse::kWriteOnlyRead);
    Card().ExpectMisuse(sim::misuse::kEarlyRead);
    Card().ExpectMisuse(sim::misuse::kRestart);
    struct Case {
        const char *what;
        std::vector<uint8_t> request;
        ULONG inLen, outLen;
        bool inside;
    };
    const Case cases[] = {
        {"RegisterRead dword at 12", {3, 0, 12, 0}, 4, 4, true},
        {"RegisterRead dword at 13", {3, 0, 13, 0}, 4, 4, false},
        {"RegisterRead word at 15", {2, 0, 15, 0}, 4, 4, false},
        {"RegisterRead byte at 16", {1, 0, 16, 0}, 4, 4, false},
        {"RegisterRead byte wrapped to port 0", {1, 0, uint8_t(past), uint8_t(past >> 8)}, 4, 4, false},
        {"RegisterWrite byte at 15", {1, 0, 15, 0, 0, 0, 0, 0}, 8, 1, true},
        {"RegisterWrite byte at 16", {1, 0, 16, 0, 0x5A, 0, 0, 0}, 8, 1, false},
        {"RegisterWrite dword at 14", {3, 0, 14, 0, 1, 2, 3, 4}, 8, 1, false},
        {"BridgeRead at 124", {124}, 1, 4, true},
        {"BridgeRead at 125", {125}, 1, 4, false},
        {"BridgeRead at -1", {0xFF}, 1, 4, false},
        {"CMD_READ_BYTES 16 from 0", Block({0, 16, 0}), 100, 100, true},
        {"CMD_READ_BYTES 2 from 15", Block({0, 2, 15}), 100, 100, false},
        {"CMD_READ_BYTES 1 from -1", Block({0, 1, 0xFF}), 100, 100, false},
        {"CMD_WRITE_BYTES 1 from 15", Block({1, 1, 15, 0}), 100, 100, true},
        {"CMD_WRITE_BYTES 17 from 0", Block({1, 17, 0}), 100, 100, false},
        {"CMD_WRITE_BYTES 3 from 127", Block({1, 3, 0x7F}), 100, 100, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Card().ClearTrace();
        Reply r = Board(c.request, c.inLen, c.outLen);
        if (c.inside) {
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_FALSE(Card().Trace().Entries().empty());
        } else {
            ExpectDenied(r);
        }
    }
    // A refused RegisterWrite reports the write as not made (seen in the handler's
    // buffer: a failed request's output is not copied back).
    std::vector<uint8_t> write{1, 0, 16, 0, 0x5A, 0, 0, 0};
    EXPECT_EQ(BoardCommandHandler(Dc(), 8, write.data(), 1, write.data()), STATUS_ACCESS_DENIED);
    EXPECT_EQ(write[0], 0);
    EXPECT_EQ(plat::UnclaimedAccessCount(), 0u);
}

TEST_F(BoardCommandTest, SetupProgramsGainChannelCountAndFirstChannel)
{
    Reply r = Command(Block({2, 0xFE, 4, 0x25}));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Dc()->GainCode, 2);
    EXPECT_EQ(Dc()->CtrlGainBits, 0x40);
    EXPECT_EQ(Dc()->ChannelCount, 4);
    EXPECT_EQ(Dc()->FirstChannel, 5);
    EXPECT_EQ(WritesOf(Trace(Window::Board)), (Writes{{12, 0x45}}));
    EXPECT_EQ(r.bytes, Block({2, 0xFE, 4, 0x25}));  // no reply bytes

    // Channel counts the acquisition cannot take are refused before anything changes.
    Card().ClearTrace();
    for (uint8_t count : {0, 33, 255}) {
        ExpectRefused(Command(Block({2, 1, count, 0})), TQ_DRV_BAD_BOARD_COMMAND);
    }
    EXPECT_TRUE(Trace(Window::Board).empty());
    EXPECT_EQ(Dc()->ChannelCount, 4);
    EXPECT_EQ(Dc()->GainCode, 2);
    Setup(0, 32, 0);
    EXPECT_EQ(Dc()->ChannelCount, 32);
    Setup(0, 1, 0);
    EXPECT_EQ(Dc()->ChannelCount, 1);
}

TEST_F(BoardCommandTest, ScanConvertsChannelCountPlusOneAndRepliesWithTheLaterResults)
{
    Setup(1, 4, 0);
    Card().ClearTrace();
    MarkConversions();
    const std::vector<uint8_t> sent = Block({3});
    Reply r = Command(sent);
    ASSERT_EQ(r.status, STATUS_SUCCESS);

    // Channel 0 selected first; five conversions with channel numbers 1…5 and the gain
    // bits; then gain bits and channel 0.
    Writes expected{{12, 0x20}};
    for (uint32_t ch = 1; ch <= 5; ++ch) {
        expected.push_back({15, 0});
        expected.push_back({12, ch | 0x20});
    }
    expected.push_back({12, 0x20});
    EXPECT_EQ(WritesOf(Trace(Window::Board)), expected);
    EXPECT_EQ(Card().ControlRegister(), 0x20);

    // Reply word k is the result of the conversion started in pass k + 1: with the
    // converter's lag that is channel k at gain 1.
    auto conversions = ConversionsSinceMark();
    ASSERT_EQ(conversions.size(), 5u);
    for (size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(WordAt(r.bytes, 2 * k), conversions[k + 1].word) << "the result as read, bits 12-15 included";
        EXPECT_EQ(conversions[k + 1].channel, k);
        EXPECT_EQ(conversions[k + 1].gain, 1u);
    }
    EXPECT_TRUE(std::equal(r.bytes.begin() + 8, r.bytes.end(), sent.begin() + 8));
}

TEST_F(BoardCommandTest, ScanOfNoChannelsRunsOneConversionAndStoresNothing)
{
    Dc()->ChannelCount = 0;  // as a device that never had a set-up or a start
    MarkConversions();
    const std::vector<uint8_t> sent = Block({3});
    Reply r = Command(sent);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(ConversionsSinceMark().size(), 1u);
    EXPECT_EQ(r.bytes, sent);
}

TEST_F(BoardCommandTest, ScanUsesOnlyTheGainBitsWithItsOwnChannelNumbers)
{
    // A channel selected earlier must not mix into the scan's channels, and channel 32
    // (the pass after channel 31) must not spill into the gain field.
    Setup(0, 32, 0);
    ASSERT_EQ(Command(Block({6, 5})).status, STATUS_SUCCESS);
    Card().ClearTrace();
    MarkConversions();
    ASSERT_EQ(Command(Block({3})).status, STATUS_SUCCESS);
    Writes controls;
    for (auto w : WritesOf(Trace(Window::Board)))
        if (w.first == BOARD_CONTROL)
            controls.push_back(w);
    ASSERT_EQ(controls.size(), 35u);
    EXPECT_EQ(controls[0].second, 0u) << "channel 0 selected before the first conversion";
    for (uint32_t pass = 0; pass < 33; ++pass)
        EXPECT_EQ(controls[1 + pass].second, (pass + 1) & 0x1F) << pass;
    EXPECT_EQ(controls.back().second, 0u);
    auto conversions = ConversionsSinceMark();
    ASSERT_EQ(conversions.size(), 33u);
    // Channel 5, selected before the scan, is replaced before the first start latches
    // it: reply word k is channel k, at gain 0.
    for (size_t k = 1; k < conversions.size(); ++k) {
        EXPECT_EQ(conversions[k].channel, k - 1);
        EXPECT_EQ(conversions[k].gain, 0u);
    }
}

TEST_F(BoardCommandTest, ScanWhoseConversionNeverCompletesFailsWith120AtChannelZero)
{
    sim::CardConfig config = DistinctLevelsConfig();
    config.conversionTime = 1000000000ull;  // one second: far beyond the scan's patience
    Reboot(config);
    Setup(2, 4, 3);
    Card().ClearTrace();
    ExpectRefused(Command(Block({3})), TQ_DRV_CONVERSION_TIMEOUT);
    Writes writes = WritesOf(Trace(Window::Board));
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), (std::pair<uint32_t, uint32_t>{12, 0x40}));
    EXPECT_EQ(Card().ControlRegister(), 0x40);
}

TEST_F(BoardCommandTest, SingleConversionSubCommandsReadAndStartInOrder)
{
    // CMD_START, then CMD_READ_AD after the conversion time: the card's latest result.
    ASSERT_EQ(Command(Block({7})).status, STATUS_SUCCESS);
    EXPECT_EQ(WritesOf(Trace(Window::Board)), (Writes{{15, 0}}));
    AdvanceNs(100000);
    Reply r = Command(Block({8}));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(r.bytes, 0), Card().Result());
    EXPECT_EQ(r.bytes[2], Block({8})[2]);

    // CMD_READ_AND_START: low, high, then a new conversion.
    const uint16_t previous = Card().Result();
    Card().ClearTrace();
    MarkConversions();
    r = Command(Block({4}));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(r.bytes, 0), previous);
    auto board = Trace(Window::Board);
    ASSERT_EQ(board.size(), 3u);
    EXPECT_TRUE(!board[0].write && board[0].offset == 0);
    EXPECT_TRUE(!board[1].write && board[1].offset == 1);
    EXPECT_TRUE(board[2].write && board[2].offset == 15);
    EXPECT_EQ(ConversionsSinceMark().size(), 1u);
}

TEST_F(BoardCommandTest, SetGainAndSetChannelEachReplaceOnlyTheirBits)
{
    Setup(1, 4, 7);
    const USHORT gainCode = Dc()->GainCode, first = Dc()->FirstChannel;
    Card().ClearTrace();
    ASSERT_EQ(Command(Block({6, 0x25})).status, STATUS_SUCCESS);  // channel 5, gain kept
    EXPECT_EQ(Dc()->CtrlGainBits, 0x25);
    ASSERT_EQ(Command(Block({5, 6})).status, STATUS_SUCCESS);     // gain code 2, channel kept
    EXPECT_EQ(Dc()->CtrlGainBits, 0x45);
    EXPECT_EQ(WritesOf(Trace(Window::Board)), (Writes{{12, 0x25}, {12, 0x45}}));
    EXPECT_EQ(Card().ControlRegister(), 0x45);
    EXPECT_EQ(Dc()->GainCode, gainCode);
    EXPECT_EQ(Dc()->FirstChannel, first);
}

TEST_F(BoardCommandTest, DigitalAndAnalogOutputsGoToTheSelectedRegisters)
{
    Card().SetDigitalInputs(0x12, 0xF0);
    Reply r = Command(Block({9}));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes[0], 0x12);
    EXPECT_EQ(r.bytes[1], 0xF0);

    ASSERT_EQ(Command(Block({10, 0, 0xA1})).status, STATUS_SUCCESS);
    ASSERT_EQ(Command(Block({10, 1, 0xB2})).status, STATUS_SUCCESS);
    EXPECT_EQ(Card().DigitalOutputLow(), 0xA1);
    EXPECT_EQ(Card().DigitalOutputHigh(), 0xB2);
    Card().ClearTrace();
    ASSERT_EQ(Command(Block({10, 2, 0xC3})).status, STATUS_SUCCESS);  // any other: nothing
    EXPECT_TRUE(Trace(Window::Board).empty());

    struct Da {
        uint8_t channel;
        unsigned output;
    };
    for (Da d : {Da{0, 0}, Da{1, 1}, Da{3, 1}, Da{2, 0}}) {
        SCOPED_TRACE(int(d.channel));
        Card().ClearTrace();
        const uint8_t low = static_cast<uint8_t>(0x34 + d.channel), high = 0xF2;  // high nibble dropped
        ASSERT_EQ(Command(Block({11, d.channel, low, high})).status, STATUS_SUCCESS);
        const uint32_t base = d.output == 0 ? BOARD_DA0_LOW : BOARD_DA1_LOW;
        EXPECT_EQ(WritesOf(Trace(Window::Board)), (Writes{{base, low}, {base + 1, 0x02}, {8, 0}}));
        EXPECT_EQ(Card().AnalogOutput(d.output), 0x200 | low);
    }
}

TEST_F(BoardCommandTest, LoadCounterWritesTheControlWordThenTheCountToTheRegister)
{
    // Counter 2 in mode 3, count 6000: a 1 kHz square wave.
    ASSERT_EQ(Command(Block({12, 0x12, 0xB6, 0x70, 0x17})).status, STATUS_SUCCESS);  // low 4 bits: 2
    EXPECT_EQ(WritesOf(Trace(Window::Board)), (Writes{{3, 0xB6}, {2, 0x70}, {2, 0x17}}));
    EXPECT_EQ(Card().Counter(2).Mode(), 3u);
    EXPECT_EQ(Card().Counter(2).Divisor(), 6000u);
    EXPECT_DOUBLE_EQ(Card().Counter(2).OutputFrequency(), 1000.0);
}

// ---- While an acquisition runs ------------------------------------------------------------

TEST_F(BoardCommandTest, SubCommandsThatWouldCorruptARunningAcquisitionAreRefusedWith102)
{
    StartAcquisition();
    const USHORT channels = Dc()->ChannelCount;
    // A counter load is accepted only as count bytes to counter 1 or 2 (registers 1, 2)
    // behind a control word that programs counter 1 or 2.
    for (std::vector<uint8_t> block : {Block({2, 1, 4, 0}), Block({3}), Block({4}), Block({7}), Block({6, 3}),
                                       Block({12, 0, 0x34, 0x10, 0x00}),   // control word for counter 0
                                       Block({12, 0, 0x74, 0x10, 0x00}),   // count bytes into counter 0
                                       Block({12, 0x10, 0xB6, 0x10, 0x00}),  // counter 2's word, count into counter 0
                                       Block({12, 1, 0x34, 0x10, 0x00}),   // counter 0's word, count into counter 1
                                       Block({12, 3, 0x74, 0x34, 0x00}),   // "count" into the control register: counter 0 halted
                                       Block({12, 12, 0x74, 0x1F, 0x1F}),  // into the channel/gain register
                                       Block({12, 15, 0xB6, 0, 0}),        // into start-conversion
                                       Block({12, 4, 0xB6, 0, 0}),         // into analog output 0
                                       Block({12, 2, 0xE2, 0x10, 0x00}),   // a read-back command naming counter 0
                                       Block({12, 2, 0xCC, 0x10, 0x00})}) {  // a read-back of counters 1, 2 only
        SCOPED_TRACE(testing::Message() << int(block[0]) << " " << int(block[1]) << " " << int(block[2]));
        ExpectRefused(Command(block), TQ_DRV_RUNNING);
    }
    EXPECT_TRUE(WritesOf(Trace(Window::Board)).empty());
    EXPECT_EQ(Dc()->ChannelCount, channels);
    // Counter 0 still paces the acquisition: one interrupt per period.
    EXPECT_TRUE(Card().Counter(0).Running());
    EXPECT_EQ(Card().Counter(0).Mode(), 3u);
    const USHORT interrupts = Dc()->IsrCount;
    Ticks(5);
    EXPECT_EQ(Dc()->IsrCount, interrupts + 5);

    // What cannot disturb it still works (the result register, read while the start's
    // conversion runs, gives the result before it).
    Card().ExpectMisuse(sim::misuse::kEarlyRead);
    EXPECT_EQ(Command(Block({8})).status, STATUS_SUCCESS);
    EXPECT_EQ(Command(Block({9})).status, STATUS_SUCCESS);
    EXPECT_EQ(Command(Block({10, 0, 0x55})).status, STATUS_SUCCESS);
    EXPECT_EQ(Command(Block({11, 1, 0x00, 0x08})).status, STATUS_SUCCESS);
    EXPECT_EQ(Command(Block({12, 2, 0xB6, 0x70, 0x17})).status, STATUS_SUCCESS);
    EXPECT_EQ(Command(Block({12, 0x11, 0x76, 0x70, 0x17})).status, STATUS_SUCCESS);  // counter 1 (low 4 bits)
    EXPECT_EQ(Card().Counter(1).Divisor(), 6000u);
    EXPECT_EQ(Board({1, 0, 2, 0}, 4, 4).status, STATUS_SUCCESS);

    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    Setup(0, 4, 0);
}

TEST_F(BoardCommandTest, SetGainWhileRunningChangesTheSequencersGainWithoutAWrite)
{
    StartAcquisition();
    ASSERT_EQ(Command(Block({5, 3})).status, STATUS_SUCCESS);
    EXPECT_TRUE(WritesOf(Trace(Window::Board)).empty());
    EXPECT_EQ(Dc()->CtrlGainBits & CONTROL_GAIN_MASK, 0x60);

    // The conversions that start from the second tick on use the new gain.
    Ticks(2);
    MarkConversions();
    Ticks(4);
    auto conversions = ConversionsSinceMark();
    ASSERT_FALSE(conversions.empty());
    for (const sim::ConversionRecord &c : conversions)
        EXPECT_EQ(c.gain, 3u);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
}

// ---- Device locks ---------------------------------------------------------------------------

// Each form reaches the card holding its device lock, as seen by the card at the access
// itself: RequestLock at the conversion start of a port form (so a release of the ranges
// waits for it), EepromLock at each EEPROM pin change (so no other request's bit
// sequence interleaves).
TEST_F(BoardCommandTest, CardAccessesAreMadeHoldingTheirDeviceLock)
{
    int conversions = 0, eepromWrites = 0, unlocked = 0;
    Card().SetConversionObserver([&](const sim::ConversionRecord &) {
        ++conversions;
        unlocked += KeReadStateEvent(&Dc()->RequestLock) != 0;
    });
    Card().SetEepromPinObserver([&] {
        ++eepromWrites;
        unlocked += KeReadStateEvent(&Dc()->EepromLock) != 0;
    });
    const uint16_t start = static_cast<uint16_t>(Dc()->BoardBase + BOARD_START_CONVERSION);
    uint8_t portWrite[8] = {static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8)};
    ASSERT_EQ(Ioctl(IOCTL_OUT_BYTE, portWrite, 8, nullptr, 0), STATUS_SUCCESS);
    plat::AdvanceBy(100000);
    ASSERT_EQ(Board({1, 0, BOARD_START_CONVERSION, 0, 0}, 8, 1).status, STATUS_SUCCESS);  // RegisterWrite
    plat::AdvanceBy(100000);
    ASSERT_EQ(Command(Block({7})).status, STATUS_SUCCESS);  // CMD_START
    EXPECT_EQ(conversions, 3);

    ASSERT_EQ(Board({20, 1, 0x34, 0x12}, 4, 0).status, STATUS_SUCCESS);  // EepromWrite
    ASSERT_EQ(Board({20, 1}, 2, 2).status, STATUS_SUCCESS);              // EepromRead
    uint32_t frequency = 0;
    ASSERT_EQ(Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &frequency, 4), STATUS_SUCCESS);
    EXPECT_GT(eepromWrites, 0);
    EXPECT_EQ(unlocked, 0);
    Card().SetConversionObserver(nullptr);
    Card().SetEepromPinObserver(nullptr);
}

// ---- IOCTL_GET_LAST_ERROR and IOCTL_CARD_FREQUENCY ----------------------------------------

TEST_F(BoardCommandTest, GetLastErrorNeedsExactLengthsAndNeverChangesTheCode)
{
    ExpectRefused(Command(Block({13})), TQ_DRV_BAD_BOARD_COMMAND);
    uint8_t out[8] = {};
    EXPECT_EQ(Ioctl(IOCTL_GET_LAST_ERROR, nullptr, 0, out, 8), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ioctl(IOCTL_GET_LAST_ERROR, out, 4, out, 4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_BAD_BOARD_COMMAND);
    EXPECT_EQ(LastError(), TQ_DRV_BAD_BOARD_COMMAND);
    // A success clears it.
    EXPECT_EQ(Command(Block({9})).status, STATUS_SUCCESS);
    EXPECT_EQ(LastError(), TQ_OK);
}

TEST_F(BoardCommandTest, CardFrequencyReturnsTheTwoEepromWordsAsOneValue)
{
    uint32_t value = 0;
    ASSERT_EQ(Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, 4), STATUS_SUCCESS);
    float frequency;
    std::memcpy(&frequency, &value, sizeof(frequency));
    EXPECT_EQ(frequency, 6000000.0f);
    EXPECT_EQ(value, static_cast<uint32_t>(Card().EepromContents()[59]) << 16 | Card().EepromContents()[58]);

    // One erased half is still a value.
    Card().SetEepromWord(59, 0xFFFF);
    ASSERT_EQ(Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(value >> 16, 0xFFFFu);

    // Lengths: 116; no bridge: 103, tested first.
    ExpectRefused(Reply{Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, 8), {}}, TQ_DRV_BAD_FREQUENCY_REQUEST);
    ExpectRefused(Reply{Ioctl(IOCTL_CARD_FREQUENCY, &value, 4, &value, 4), {}}, TQ_DRV_BAD_FREQUENCY_REQUEST);
    const ULONG bridgeBase = Dc()->BridgeBase;
    Dc()->BridgeBase = 0;
    ExpectRefused(Reply{Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, 8), {}}, TQ_DRV_NO_BOARD);
    Dc()->BridgeBase = bridgeBase;
}

TEST_F(BoardCommandTest, CardFrequencyOfAnErasedEepromStoresAllOnesAndFailsWith1000)
{
    sim::CardConfig config = DistinctLevelsConfig();
    config.frequencyErased = true;
    Reboot(config);
    uint32_t value = 0;
    ExpectRefused(Reply{Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, 4), {}}, TQ_DRV_FREQUENCY_ERASED);
    // The value is stored even so (a failed request's output is not copied back to the
    // caller, so it is seen in the handler's buffer).
    uint8_t buffer[4] = {};
    EXPECT_EQ(CardFrequencyHandler(Dc(), 0, buffer, 4, buffer), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(LastError(), TQ_DRV_FREQUENCY_ERASED);
}

}  // namespace
}  // namespace tqtest
