// IOCTL_INITIAL, IOCTL_START and IOCTL_STOP through the dispatcher, checked against the
// card's register trace: the failure table, the order and values of the start's and the
// stop's register writes, the timer divisors, the gain bands, the buffer layout, and the
// refusals this driver adds (StartRecord ranges, unreferenceable events, no interrupt).
#include "support/driver_fixture.h"

#include <string>

#include "plat/hw.h"
#include "plat/kernel.h"
#include "plat/user_io.h"

namespace tqtest {
namespace {

using sim::Window;

// Board-window writes of a trace, as (offset, value) pairs.
std::vector<std::pair<uint32_t, uint32_t>> BoardWrites(const std::vector<sim::RegisterAccess> &trace)
{
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const sim::RegisterAccess &a : trace)
        if (a.write)
            writes.emplace_back(a.offset, a.value);
    return writes;
}

class InitialHandlerTest : public DriverTest {};

TEST_F(InitialHandlerTest, RefusesAnyLengthButSixteenWith101)
{
    for (ULONG length : {0u, 15u, 17u, 32u}) {
        std::vector<uint8_t> record(length + 1, 0);
        EXPECT_EQ(Ioctl(IOCTL_INITIAL, record.data(), length, nullptr, 0), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(LastError(), TQ_DRV_INITIAL_LENGTH) << length;
        EXPECT_EQ(Dc()->Opened, 0);
    }
    EXPECT_EQ(Initial(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->Opened, 1);
    EXPECT_EQ(LastError(), TQ_OK);
}

TEST_F(InitialHandlerTest, RefusesADeviceWithoutBoardRangeOrInterrupt)
{
    const ULONG board = Dc()->BoardBase;
    Dc()->BoardBase = 0;
    EXPECT_EQ(Initial(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NO_BOARD);
    Dc()->BoardBase = board;

    const USHORT ports = Dc()->PortCount;
    Dc()->PortCount = 1;
    EXPECT_EQ(Initial(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NO_BOARD);
    Dc()->PortCount = ports;

    const USHORT irq = Dc()->IrqLevel;
    Dc()->IrqLevel = 0;
    EXPECT_EQ(Initial(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NO_INTERRUPT);
    EXPECT_EQ(Dc()->Opened, 0);
    Dc()->IrqLevel = irq;

    EXPECT_EQ(Initial(), STATUS_SUCCESS);
    // Once opened, the resources are not looked at again.
    Dc()->IrqLevel = 0;
    EXPECT_EQ(Initial(), STATUS_SUCCESS);
    Dc()->IrqLevel = irq;
}

TEST_F(InitialHandlerTest, DuringAnAcquisitionStopsItAndReports102ThenSucceeds)
{
    ASSERT_EQ(Initial(), STATUS_SUCCESS);
    ASSERT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    Ticks(5);
    Card().ClearTrace();
    EXPECT_EQ(Initial(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_RUNNING);
    EXPECT_EQ(Dc()->Running, 0);
    EXPECT_EQ(Dc()->ActiveMode, MODE_IDLE);
    EXPECT_EQ(Dc()->UserEvent, nullptr);
    // Counter 0 halted.
    auto writes = BoardWrites(Trace(Window::Board));
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), std::make_pair(uint32_t{BOARD_TIMER_CONTROL}, uint32_t{TIMER0_HALT_MODE2}));
    uint16_t isr = Dc()->IsrCount;
    AdvanceNs(10 * TimerPeriodNs());
    EXPECT_EQ(Dc()->IsrCount, isr) << "no acquisition interrupt after the stop";

    EXPECT_EQ(Initial(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->Opened, 1);
}

class StartHandlerTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
        poolBlocks_ = plat::PoolBlocksOutstanding(TQ_POOL_TAG);
        poolBytes_ = plat::PoolBytesOutstanding(TQ_POOL_TAG);
    }
    // The driver's pool beyond what it held before any start (its registry path copy …).
    size_t AcquisitionBlocks() const { return plat::PoolBlocksOutstanding(TQ_POOL_TAG) - poolBlocks_; }
    size_t AcquisitionBytes() const { return plat::PoolBytesOutstanding(TQ_POOL_TAG) - poolBytes_; }

    size_t poolBlocks_ = 0, poolBytes_ = 0;
};

TEST_F(StartHandlerTest, RefusalsOfTheFailureTableLeaveTheDeviceAsItWas)
{
    // 108: the record is not 32 bytes.
    TqStartRecord record = StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent());
    for (ULONG length : {0u, 31u, 33u}) {
        std::vector<uint8_t> bytes(64, 0);
        memcpy(bytes.data(), &record, sizeof(record));
        EXPECT_EQ(Ioctl(IOCTL_START, bytes.data(), length, nullptr, 0), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(LastError(), TQ_DRV_START_LENGTH);
    }
    EXPECT_EQ(Dc()->Running, 0);
    EXPECT_EQ(Dc()->BufferTable, nullptr);
    EXPECT_TRUE(Trace(Window::Board).empty()) << "a refused start touches no register";
}

TEST_F(StartHandlerTest, NotOpenedIsRefusedWith107)
{
    Reboot(DistinctLevelsConfig());  // a fresh device, never initialised
    EXPECT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_INITIALISED);
    EXPECT_EQ(Stop(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_INITIALISED);
}

TEST_F(StartHandlerTest, StartRecordFieldsOutOfRangeAreRefusedWith118)
{
    HANDLE event = NewEvent();
    struct Case {
        const char *what;
        TqStartRecord record;
    };
    const Case cases[] = {
        {"no channels", StartRecord(10, 1000, 0, 4, 0, 0, false, event)},
        {"33 channels", StartRecord(10, 1000, 33, 4, 0, 0, false, event)},
        {"no scans", StartRecord(0, 1000, 2, 4, 0, 0, false, event)},
        {"no buffers in ring mode", StartRecord(10, 1000, 2, 0, 0, 0, false, event)},
        {"first channel 32", StartRecord(10, 1000, 1, 4, 32, 0, false, event)},
        {"block beyond 32 bits", StartRecord(0x80000000u, 1000, 32, 4, 0, 0, false, event)},
        {"buffer bytes wrap", StartRecord(0x7FFFFFFFu, 1000, 2, 1, 0, 0, true, event)},
        {"block of 65535 big buffers", StartRecord(1000000, 1000, 32, 65535, 0, 0, false, event)},
    };
    for (const Case &c : cases) {
        Card().ClearTrace();
        size_t pool = plat::PoolBlocksOutstanding(TQ_POOL_TAG);
        EXPECT_EQ(Start(c.record), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(LastError(), TQ_DRV_START_FIELD) << c.what;
        EXPECT_EQ(Dc()->Running, 0) << c.what;
        EXPECT_EQ(plat::PoolBlocksOutstanding(TQ_POOL_TAG), pool) << c.what;
        EXPECT_TRUE(Trace(Window::Board).empty()) << c.what;
    }
    // The bounds themselves are accepted: 32 channels, first channel 31, one buffer.
    EXPECT_EQ(Start(StartRecord(1, 1000, 32, 1, 31, 0, false, event)), STATUS_SUCCESS);
    EXPECT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Start(StartRecord(1, 1000, 1, 1, 31, 0, false, event)), STATUS_SUCCESS);
    EXPECT_EQ(Stop(), STATUS_SUCCESS);
    // A start of several channels never uses its first channel (the scan begins at
    // channel 0), so no value there refuses it.
    for (uint16_t first : {32, 0xFFFF}) {
        SCOPED_TRACE(first);
        EXPECT_EQ(Start(StartRecord(1, 1000, 4, 1, first, 4, false, event)), STATUS_SUCCESS);
        EXPECT_EQ(Card().ControlRegister(), 0x40) << "gain bits, channel 0";
        EXPECT_EQ(Stop(), STATUS_SUCCESS);
    }
}

TEST_F(StartHandlerTest, RingModeEventThatCannotBeReferencedIsRefusedWith117)
{
    HANDLE closed = NewEvent();
    ASSERT_EQ(plat::CloseHandle(closed), STATUS_SUCCESS);
    HANDLE notAnEvent = nullptr;  // the open file handle of another client
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &notAnEvent), STATUS_SUCCESS);
    // An event the application may only wait on, and a kernel component's handle to an
    // event: the request comes from user mode, so neither may be signalled on its behalf.
    PVOID object = nullptr;
    ASSERT_EQ(plat::ReferenceHandle(NewEvent(), *ExEventObjectType, &object, nullptr), STATUS_SUCCESS);
    HANDLE waitOnly = nullptr, kernel = nullptr;
    ASSERT_EQ(plat::InsertHandle(object, *ExEventObjectType, SYNCHRONIZE, &waitOnly), STATUS_SUCCESS);
    ASSERT_EQ(plat::InsertHandle(object, *ExEventObjectType, EVENT_ALL_ACCESS, &kernel, true), STATUS_SUCCESS);
    ObfDereferenceObject(object);
    const HANDLE handles[] = {nullptr, closed, notAnEvent, reinterpret_cast<HANDLE>(0x7FFC), waitOnly, kernel};
    for (HANDLE handle : handles) {
        Card().ClearTrace();
        size_t pool = plat::PoolBlocksOutstanding(TQ_POOL_TAG);
        EXPECT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, handle)), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), TQ_DRV_EVENT_REFERENCE);
        EXPECT_EQ(Dc()->Running, 0);
        EXPECT_EQ(Dc()->UserEvent, nullptr);
        EXPECT_EQ(plat::PoolBlocksOutstanding(TQ_POOL_TAG), pool);
        EXPECT_TRUE(Trace(Window::Board).empty());
    }
    plat::CloseHandle(notAnEvent);
    plat::CloseHandle(waitOnly);
    plat::CloseHandle(kernel);
}

TEST_F(StartHandlerTest, FailedAllocationReleasesTheOldBlockAndTheEventWith109)
{
    HANDLE event = NewEvent();
    ASSERT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, event)), STATUS_SUCCESS);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(AcquisitionBlocks(), 1u) << "the stop keeps the block";

    plat::InjectPoolFailureByTag(TQ_POOL_TAG, 1);
    EXPECT_EQ(Start(StartRecord(20, 500, 3, 2, 0, 0, false, event)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NO_MEMORY);
    EXPECT_EQ(Dc()->BufferTable, nullptr);
    EXPECT_EQ(Dc()->ActiveMode, MODE_IDLE);
    EXPECT_EQ(Dc()->LastMode, MODE_IDLE);
    EXPECT_EQ(Dc()->Running, 0);
    EXPECT_EQ(Dc()->UserEvent, nullptr) << "the reference is released at once";
    EXPECT_EQ(Dc()->ChannelCount, 3) << "the record's fields are stored";
    EXPECT_EQ(Dc()->ScansPerBuffer, 20u);
    EXPECT_EQ(AcquisitionBlocks(), 0u);

    EXPECT_EQ(Start(StartRecord(20, 500, 3, 2, 0, 0, false, event)), STATUS_SUCCESS);
}

TEST_F(StartHandlerTest, WithoutAConnectedInterruptStartIsRefusedAndStopLeavesTheBridgeAlone)
{
    ASSERT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    PKINTERRUPT interrupt = Dc()->InterruptObject;
    Dc()->InterruptObject = nullptr;  // as after the resources were released
    Card().ClearTrace();
    EXPECT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->Running, 0);
    EXPECT_TRUE(Trace(Window::Bridge).empty());

    EXPECT_EQ(Start(StartRecord(10, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NO_INTERRUPT);
    EXPECT_TRUE(Trace(Window::Bridge).empty());
    Dc()->InterruptObject = interrupt;
}

TEST_F(StartHandlerTest, SecondStartIsRefusedWith102AndTheFirstKeepsRunning)
{
    ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    PUSHORT *block = Dc()->BufferTable;
    Ticks(10);
    EXPECT_EQ(Start(StartRecord(5, 500, 3, 2, 0, 0, false, NewEvent())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_RUNNING);
    EXPECT_EQ(Dc()->BufferTable, block);
    EXPECT_EQ(Dc()->ChannelCount, 2);
    uint16_t isr = Dc()->IsrCount;
    uint16_t sequence = Dc()->SequenceNo;
    Ticks(8);
    EXPECT_EQ(Dc()->IsrCount, isr + 8);
    EXPECT_GT(Dc()->SequenceNo, sequence);
}

TEST_F(StartHandlerTest, WritesTheCardInTheDocumentedOrder)
{
    struct Case {
        uint16_t channels, first, gain;
        uint8_t control;
    };
    const Case cases[] = {{1, 5, 4, 0x45}, {4, 5, 4, 0x40}, {1, 31, 1000, 0x7F}, {32, 7, 2, 0x20}};
    for (const Case &c : cases) {
        Card().ClearTrace();
        ASSERT_EQ(Start(StartRecord(10, 92, c.channels, 4, c.first, c.gain, false, NewEvent())), STATUS_SUCCESS);
        const std::vector<std::pair<uint32_t, uint32_t>> expected = {
            {BOARD_TIMER_CONTROL, TIMER0_HALT_MODE2}, {BOARD_CONTROL, c.control}, {BOARD_START_CONVERSION, 0},
            {BOARD_TIMER_CONTROL, TIMER0_SQUARE_MODE3}, {BOARD_COUNTER0, 65217 & 0xFF}, {BOARD_COUNTER0, 65217 >> 8},
        };
        EXPECT_EQ(BoardWrites(Trace(Window::Board)), expected) << c.channels << " channels";
        EXPECT_EQ(Card().ControlRegister(), c.control);
        // The bridge: acknowledge (a read; nothing pending), then enable local interrupt 1
        // and the PCI interrupt with one read-modify-write.
        std::vector<sim::RegisterAccess> bridge = Trace(Window::Bridge);
        ASSERT_GE(bridge.size(), 3u);
        const sim::RegisterAccess &enable = bridge.back();
        EXPECT_TRUE(enable.write);
        EXPECT_EQ(enable.offset, BRIDGE_INTCSR);
        EXPECT_EQ(enable.value & (INTCSR_LINT1_ENABLE | INTCSR_PCI_ENABLE), INTCSR_LINT1_ENABLE | INTCSR_PCI_ENABLE);
        EXPECT_EQ(enable.value & INTCSR_LINT2_ENABLE, 0u);
        EXPECT_EQ(Dc()->LastIntCsr, enable.value);
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
    }
}

// A start right after a stop finds the last step's conversion still running: the start
// waits for it rather than starting its own on top (the card reports a restart as misuse).
TEST_F(StartHandlerTest, StartRightAfterAStopLetsTheRunningConversionFinish)
{
    ASSERT_EQ(Start(StartRecord(10, 1000, 2, 2, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    Ticks(3);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(Card().Converting()) << "the last step's conversion is still running";
    MarkConversions();
    ASSERT_EQ(Start(StartRecord(10, 1000, 2, 2, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    for (const sim::ConversionRecord &c : ConversionsSinceMark())
        EXPECT_FALSE(c.abandoned);
    EXPECT_EQ(Card().MisuseMatching(sim::misuse::kRestart), 0u);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
}

// The bridge and the 8254 may come up otherwise than the defaults: local interrupt 1
// level-triggered, counter outputs low. The start programs edge mode and forgets an edge
// latched before it, so in every case acquisition runs one step per period and the stop
// leaves the bridge quiet.
struct PowerUp {
    const char *name;
    uint32_t intCsr;
    bool countersHigh;
};

class PowerUpTest : public DriverTest, public ::testing::WithParamInterface<PowerUp> {};

TEST_P(PowerUpTest, StartAcquisitionAndStopDoNotDependOnHowTheCardCameUp)
{
    sim::CardConfig config = DistinctLevelsConfig();
    config.intCsrPowerUp = GetParam().intCsr;
    config.counterOutputsHigh = GetParam().countersHigh;
    Reboot(config);
    ASSERT_EQ(Initial(), STATUS_SUCCESS);
    const uint16_t isr = Dc()->IsrCount, idle = Dc()->IdleIsrCount;
    MarkConversions();
    ASSERT_EQ(Start(StartRecord(4, 1000, 3, 2, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    EXPECT_EQ(Card().PeekIntCsr(plat::Now()) & 0x107u, 0x103u) << "edge-triggered, active high, nothing latched";
    Ticks(14);  // two discarding steps, then four scans of three channels
    EXPECT_EQ(Dc()->IsrCount, isr + 14);
    EXPECT_EQ(Dc()->IdleIsrCount, idle) << "no interrupt but the pacing ones";
    EXPECT_EQ(Dc()->WriteIndex, 1);
    std::vector<sim::ConversionRecord> conversions = ConversionsSinceMark();
    ASSERT_GE(conversions.size(), 14u);
    for (unsigned i = 0; i < 12; ++i) {
        EXPECT_EQ(conversions[2 + i].channel, i % 3) << i;
        EXPECT_EQ(Dc()->BufferTable[0][1 + i], conversions[2 + i].word) << i;
    }
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    AdvanceNs(10 * TimerPeriodNs());
    EXPECT_EQ(Dc()->IsrCount, isr + 14) << "stopped";
    EXPECT_FALSE(Card().InterruptAsserted());
}

INSTANTIATE_TEST_SUITE_P(Variants, PowerUpTest,
                         ::testing::Values(PowerUp{"Defaults", 0x102, true}, PowerUp{"LevelTriggered", 0x002, true},
                                           PowerUp{"CountersLow", 0x102, false},
                                           PowerUp{"LevelTriggeredCountersLow", 0x002, false}),
                         [](const ::testing::TestParamInfo<PowerUp> &info) { return std::string(info.param.name); });

TEST_F(StartHandlerTest, LoadsTheTimerDivisorOfTheRate)
{
    struct Case {
        int32_t rate;
        uint32_t divisor;
    };
    // Below 92 the timer runs at a multiple of the rate (91: 182 Hz, 8: 96 Hz, 1 and 0:
    // 92 Hz) and the negative codes at 100 Hz: every count fits 16 bits unclamped.
    const Case cases[] = {{92, 65217}, {91, 32967}, {8, 62500}, {1, 65217}, {-3, 60000},
                          {100000, 60}, {200000, 60}, {1000, 6000}, {0, 65217}};
    for (const Case &c : cases) {
        ASSERT_EQ(Start(StartRecord(10, c.rate, 1, 2, 0, 0, false, NewEvent())), STATUS_SUCCESS);
        auto writes = BoardWrites(Trace(Window::Board));
        ASSERT_GE(writes.size(), 2u);
        uint32_t loaded = writes[writes.size() - 2].second | writes.back().second << 8;
        EXPECT_EQ(loaded, c.divisor) << "rate " << c.rate;
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
        Card().ClearTrace();
    }
}

TEST_F(StartHandlerTest, MapsEveryGainBandToItsIndex)
{
    struct Case {
        uint16_t code;
        unsigned index;
    };
    const Case cases[] = {{0, 0}, {1, 0}, {2, 1},   {3, 1},   {4, 2},    {7, 2},    {8, 3},     {9, 3},
                          {10, 1}, {99, 1}, {100, 2}, {999, 2}, {1000, 3}, {9999, 3}, {65535, 3}};
    for (const Case &c : cases) {
        ASSERT_EQ(Start(StartRecord(10, 1000, 2, 2, 0, c.code, false, NewEvent())), STATUS_SUCCESS);
        EXPECT_EQ(sim::board::GainOf(Card().ControlRegister()), c.index) << "gain code " << c.code;
        EXPECT_EQ(Dc()->CtrlGainBits, c.index << 5) << "gain code " << c.code;
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
    }
}

TEST_F(StartHandlerTest, LaysOutTheBlockByThePlatformsPointerSize)
{
    ASSERT_EQ(Start(StartRecord(100, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->SamplesPerBuffer, 200u);
    EXPECT_EQ(Dc()->BufferBytes, 402u);
    EXPECT_EQ(AcquisitionBytes(), 4 * (402 + sizeof(void *)));
    auto *block = reinterpret_cast<uint8_t *>(Dc()->BufferTable);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reinterpret_cast<uint8_t *>(Dc()->BufferTable[i]) - block,
                  static_cast<ptrdiff_t>(4 * sizeof(void *) + 402 * i));
    EXPECT_EQ(Dc()->CurrentBuffer, Dc()->BufferTable[0]);
    EXPECT_EQ(Dc()->ActiveMode, MODE_RING);
    EXPECT_EQ(Dc()->LastMode, MODE_RING);
    EXPECT_EQ(Dc()->DiscardCount, 2);
    EXPECT_NE(Dc()->UserEvent, nullptr);
}

TEST_F(StartHandlerTest, SnapshotStartAllocatesOneZeroedBufferAndReferencesNoEvent)
{
    // Whatever the pool held before, the samples read as zero.
    ASSERT_EQ(Start(StartRecord(10, 1000, 2, 8, 0, 0, true, reinterpret_cast<HANDLE>(0x7FFC))), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->BufferCount, 1);
    EXPECT_EQ(Dc()->UserEvent, nullptr);
    EXPECT_EQ(Dc()->ActiveMode, MODE_SNAPSHOT);
    EXPECT_EQ(AcquisitionBytes(), 42 + sizeof(void *));
    for (int i = 1; i <= 20; ++i)
        EXPECT_EQ(Dc()->BufferTable[0][i], 0) << i;
    EXPECT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->UserEvent, nullptr);
}

TEST_F(StartHandlerTest, StartAfterStopReplacesTheBlockAndRestartsTheSequence)
{
    ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    Ticks(30);
    ASSERT_GT(Dc()->SequenceNo, 0);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Stop(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_RUNNING);
    EXPECT_NE(Dc()->BufferTable, nullptr);
    EXPECT_EQ(Dc()->LastMode, MODE_RING) << "the stop keeps the last mode";

    ASSERT_EQ(Start(StartRecord(3, 1000, 3, 2, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->SequenceNo, 0);
    EXPECT_EQ(AcquisitionBlocks(), 1u);
    EXPECT_EQ(AcquisitionBytes(), 2 * (2 + 2 * 9 + sizeof(void *)));
}

TEST_F(StartHandlerTest, StopHaltsTheCounterThenDisablesTheBridge)
{
    ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    Ticks(3);
    Card().ClearTrace();
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    auto writes = BoardWrites(Trace(Window::Board));
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(uint32_t{BOARD_TIMER_CONTROL}, uint32_t{TIMER0_HALT_MODE2}));
    std::vector<sim::RegisterAccess> bridge = Trace(Window::Bridge);
    ASSERT_EQ(bridge.size(), 2u);
    EXPECT_FALSE(bridge[0].write);
    EXPECT_TRUE(bridge[1].write);
    EXPECT_EQ(bridge[1].value, bridge[0].value & ~0x49u);
    EXPECT_LT(Trace(Window::Board).front().time, bridge.front().time);
    EXPECT_EQ(Dc()->ActiveMode, MODE_IDLE);
    EXPECT_EQ(Dc()->UserEvent, nullptr);
    uint16_t isr = Dc()->IsrCount;
    AdvanceNs(20 * TimerPeriodNs());
    EXPECT_EQ(Dc()->IsrCount, isr);
}

TEST_F(StartHandlerTest, ReleaseAtRemovalStopsTheAcquisitionAndFreesTheLastBlock)
{
    HANDLE event = NewEvent();
    ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, event)), STATUS_SUCCESS);
    Ticks(12);
    Card().ClearTrace();
    ReleaseAcquisition(Dc());
    EXPECT_EQ(Dc()->Running, 0);
    EXPECT_EQ(Dc()->BufferTable, nullptr);
    EXPECT_EQ(Dc()->UserEvent, nullptr);
    EXPECT_EQ(AcquisitionBlocks(), 0u);
    auto writes = BoardWrites(Trace(Window::Board));
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(uint32_t{BOARD_TIMER_CONTROL}, uint32_t{TIMER0_HALT_MODE2}));
    // Stopped already: the block of the last acquisition is freed all the same.
    ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, event)), STATUS_SUCCESS);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_EQ(AcquisitionBlocks(), 1u);
    ReleaseAcquisition(Dc());
    EXPECT_EQ(AcquisitionBlocks(), 0u);
    std::vector<uint8_t> out;
    EXPECT_EQ(Read(IOCTL_QUERY_BUF, out, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_RUNNING);
}

// ---- The bridge's interrupt register ------------------------------------------------------

// Runs one of the bridge routines as the start and stop do, under the interrupt's lock.
BOOLEAN Synchronized(DeviceContext *dc, PKSYNCHRONIZE_ROUTINE routine)
{
    return KeSynchronizeExecution(dc->InterruptObject, routine, dc);
}

class BridgeInterruptTest : public DriverTest {
protected:
    void SetIntCsr(uint32_t value)
    {
        uint32_t port[2] = {static_cast<uint32_t>(Dc()->BridgeBase + BRIDGE_INTCSR), value};
        ASSERT_EQ(Ioctl(IOCTL_OUT_DWORD, port, 8, nullptr, 0), STATUS_SUCCESS);
        Card().ClearTrace();
    }
};

// Writes IntCsr and acknowledges at once, both under the interrupt's lock, so that the
// interrupt routine does not take the pending interrupt first.
struct AckCase {
    DeviceContext *dc;
    ULONG intCsr;
    BOOLEAN result;
};
BOOLEAN NTAPI WriteThenAcknowledge(PVOID context)
{
    AckCase *c = static_cast<AckCase *>(context);
    WRITE_PORT_ULONG(PortAddress32(c->dc->BridgeBase, BRIDGE_INTCSR), c->intCsr);
    c->result = AckBridgeInterrupt(c->dc);
    return TRUE;
}

TEST_F(BridgeInterruptTest, AcknowledgeClearsAnEdgeOrMasksALevelSource)
{
    struct Case {
        const char *what;
        uint32_t mode;      // polarity and edge bits of local interrupt 2 (bit 4, bit 9)
        uint32_t expected;  // bits the acknowledge's final write must show
        uint32_t cleared;   // bits it must not show
    };
    // Local interrupt 2 is the one a test can raise at will; it follows the same rule as 1.
    const Case cases[] = {
        {"edge, active high", INTCSR_LINT2_ACTIVE_HIGH | INTCSR_LINT2_EDGE, INTCSR_LINT2_CLEAR | INTCSR_LINT2_ENABLE, 0},
        {"level, active high", INTCSR_LINT2_ACTIVE_HIGH, 0, INTCSR_LINT2_ENABLE | INTCSR_LINT2_CLEAR},
    };
    for (const Case &c : cases) {
        SetIntCsr(c.mode);  // nothing enabled yet
        SetLocalInterrupt2(true);
        Card().ClearTrace();
        AckCase ack{Dc(), INTCSR_PCI_ENABLE | INTCSR_LINT2_ENABLE | c.mode, FALSE};
        KeSynchronizeExecution(Dc()->InterruptObject, WriteThenAcknowledge, &ack);
        EXPECT_TRUE(ack.result) << c.what;
        EXPECT_EQ(Dc()->IntSource, INT_SOURCE_LINT2) << c.what;
        std::vector<sim::RegisterAccess> t = Trace(Window::Bridge);
        ASSERT_EQ(t.size(), 5u) << c.what;  // test's write; read, write without PCI enable, read, write
        EXPECT_EQ(Dc()->LastIntCsr, t[1].value);
        EXPECT_NE(t[1].value & INTCSR_LINT2_STATUS, 0u) << c.what;
        EXPECT_EQ(t[2].value, t[1].value & ~INTCSR_PCI_ENABLE) << c.what;
        EXPECT_EQ(t[4].value & c.expected, c.expected) << c.what;
        EXPECT_EQ(t[4].value & c.cleared, 0u) << c.what;
        EXPECT_EQ(t[4].value & INTCSR_PCI_ENABLE, 0u) << c.what;
        SetLocalInterrupt2(false);
    }
}

TEST_F(BridgeInterruptTest, AcknowledgeWritesNothingWhenTheInterruptIsNotTheCards)
{
    // PCI interrupt enable clear, or no local status: FALSE after a single read.
    SetIntCsr(INTCSR_LINT1_ENABLE | INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE);
    EXPECT_FALSE(Synchronized(Dc(), AckBridgeInterrupt));
    SetIntCsr(INTCSR_PCI_ENABLE | INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE);
    EXPECT_FALSE(Synchronized(Dc(), AckBridgeInterrupt));
    std::vector<sim::RegisterAccess> t = Trace(Window::Bridge);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_FALSE(t[0].write);
    EXPECT_EQ(Dc()->LastIntCsr, t[0].value);
}

TEST_F(BridgeInterruptTest, EnableAndDisableAreReadModifyWrites)
{
    const uint32_t kept = INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE | INTCSR_LINT2_ACTIVE_HIGH;
    SetIntCsr(kept | INTCSR_LINT2_ENABLE);
    EXPECT_TRUE(Synchronized(Dc(), EnableBridgeInterrupts));
    std::vector<sim::RegisterAccess> t = Trace(Window::Bridge);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1].value, t[0].value | INTCSR_LINT1_ENABLE | INTCSR_PCI_ENABLE);
    EXPECT_EQ(Dc()->LastIntCsr, t[1].value);

    Card().ClearTrace();
    EXPECT_TRUE(Synchronized(Dc(), DisableBridgeInterrupts));
    t = Trace(Window::Bridge);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1].value, t[0].value & ~(INTCSR_LINT1_ENABLE | INTCSR_LINT2_ENABLE | INTCSR_PCI_ENABLE));
    EXPECT_EQ(t[1].value & kept, kept);
    EXPECT_EQ(Dc()->LastIntCsr, t[1].value);
}

}  // namespace
}  // namespace tqtest
