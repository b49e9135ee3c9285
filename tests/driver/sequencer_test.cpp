// The interrupt routine and the sample sequencer on the simulated card, in manual time:
// which conversion lands in which slot (against the card's conversion log), the software
// divisor, the ring with and without a reader, snapshot filling, and the bridge handling
// of interrupts that are not acquisition steps.
#include "support/driver_fixture.h"

#include "driver.h"
#include "plat/hw.h"
#include "plat/kernel.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace tqtest {
namespace {

using sim::Window;

class SequencerTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
    }

    // Starts an acquisition at 1000 Hz with the conversion log marked just before.
    void StartRing(uint16_t channels, uint32_t scans, uint16_t buffers, uint16_t first = 0, int32_t rate = 1000)
    {
        MarkConversions();
        ASSERT_EQ(Start(StartRecord(scans, rate, channels, buffers, first, 0, false, NewEvent())), STATUS_SUCCESS);
    }
    void StartSnapshot(uint16_t channels, uint32_t scans)
    {
        MarkConversions();
        ASSERT_EQ(Start(StartRecord(scans, 1000, channels, 1, 0, 0, true)), STATUS_SUCCESS);
    }

    uint16_t Word(unsigned buffer, unsigned word) const { return Dc()->BufferTable[buffer][word]; }

    size_t AdReadsSince(size_t traceIndex) const
    {
        size_t reads = 0;
        std::vector<sim::RegisterAccess> board = Trace(Window::Board);
        for (size_t i = traceIndex; i < board.size(); ++i)
            if (!board[i].write && (board[i].offset == BOARD_AD_LOW || board[i].offset == BOARD_AD_HIGH))
                ++reads;
        return reads;
    }
};

TEST_F(SequencerTest, OneChannelDiscardsTheResultLatchedBeforeTheStartThenStoresEveryStep)
{
    // Power-up leaves channel 0 latched; the acquisition converts channel 5 only.
    StartRing(1, 4, 2, 5);
    Ticks(1);
    EXPECT_EQ(Dc()->FillCount, 0u) << "the first step stores nothing";
    EXPECT_EQ(Dc()->DiscardCount, 0);
    for (unsigned step = 2; step <= 5; ++step) {
        Ticks(1);
        EXPECT_EQ(Dc()->FillCount, (step - 1) % 4) << "step " << step;
    }
    ASSERT_EQ(Dc()->WriteIndex, 1);
    std::vector<sim::ConversionRecord> conversions = ConversionsSinceMark();
    ASSERT_GE(conversions.size(), 5u);
    EXPECT_EQ(conversions[0].channel, 0u) << "the start's conversion converts the old latch";
    EXPECT_EQ(Word(0, 0), 0) << "sequence word";
    for (unsigned s = 0; s < 4; ++s) {
        EXPECT_EQ(conversions[1 + s].channel, 5u);
        EXPECT_EQ(Word(0, 1 + s), conversions[1 + s].word) << "sample " << s;
    }
    EXPECT_NE(Word(0, 1), conversions[0].code) << "the stale channel-0 result was not kept";
}

TEST_F(SequencerTest, ThreeChannelsReadNothingForTwoStepsAndStoreTheFirstScanAtStepFive)
{
    StartRing(3, 4, 2);
    size_t traceStart = Trace(Window::Board).size();
    Ticks(2);
    EXPECT_EQ(AdReadsSince(traceStart), 0u) << "steps 1 and 2 read no result";
    const ULONG fillAfterStep[] = {0, 0, 3, 3, 3, 6, 6};  // steps 3 … 9
    for (unsigned step = 3; step <= 9; ++step) {
        Ticks(1);
        EXPECT_EQ(Dc()->FillCount, fillAfterStep[step - 3]) << "step " << step;
        EXPECT_EQ(Dc()->ScanIndex, (step - 2) % 3) << "step " << step;
    }
    EXPECT_EQ(AdReadsSince(traceStart), 2u * 7) << "steps 3 to 9 read high and low bytes";
}

// From the first scan on, every sample of every scan is the channel
// its slot says, for any channel count.
TEST_F(SequencerTest, EverySampleFromTheFirstScanOnSitsInItsChannelsSlot)
{
    for (uint16_t channels : {2, 3, 4, 7, 32}) {
        const uint32_t scans = 3;
        StartRing(channels, scans, 2);
        Ticks(2 + channels * scans);  // two discarding steps, then one full buffer
        ASSERT_EQ(Dc()->WriteIndex, 1) << channels << " channels";
        std::vector<sim::ConversionRecord> conversions = ConversionsSinceMark();
        // Conversion 0 is the start's; 1 and 2 are read at the discarding steps' successors.
        for (uint32_t s = 0; s < scans; ++s) {
            for (uint16_t c = 0; c < channels; ++c) {
                const sim::ConversionRecord &record = conversions.at(2 + s * channels + c);
                EXPECT_EQ(record.channel, c) << channels << " channels, scan " << s;
                EXPECT_EQ(Word(0, 1 + s * channels + c), record.word) << channels << " channels, scan " << s << " slot " << c;
            }
        }
        // Distinct levels: slot c holds about the level of channel c.
        for (uint16_t c = 0; c < channels; ++c)
            EXPECT_NEAR(Word(0, 1 + c) & 0x0FFF, 100 + 100 * c, 2) << channels << " channels, slot " << c;
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
    }
}

// The channel count a board set-up command writes never reaches the running sequencer or
// the readers: the buffers keep the layout of their start (AddressSanitizer watches the
// block's bounds).
TEST_F(SequencerTest, ChannelCountRewrittenWhileRunningLeavesTheLayoutOfTheStart)
{
    StartRing(2, 2, 4);
    for (USHORT rewritten : {USHORT{32}, USHORT{0}, USHORT{255}}) {
        Dc()->ChannelCount = rewritten;
        Ticks(4);
    }
    Ticks(2);  // in all: two discarding steps and three buffers of four steps
    std::vector<sim::ConversionRecord> conversions = ConversionsSinceMark();
    EXPECT_EQ(Dc()->SequenceNo, 3);
    EXPECT_EQ(Dc()->FillCount, 0u);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(conversions.at(2 + i).channel, i % 2);
        EXPECT_EQ(Word(0, 1 + i), conversions.at(2 + i).word) << i;
    }
    EXPECT_EQ(QueryBuf(), 3);
    std::vector<uint8_t> out;
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_SUCCESS);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);

    StartSnapshot(3, 4);
    Ticks(2 + 3 * 5);
    Dc()->ChannelCount = 0;
    EXPECT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 2 * 3 * 2 + 6), STATUS_SUCCESS);
    EXPECT_EQ(LongAt(out, 14), 0) << "newest scan index in three-channel scans";
}

TEST_F(SequencerTest, SoftDivisorEightStepsOnEveryEighthInterrupt)
{
    StartRing(1, 10, 2, 3, 12);  // rate code 12: timer at 96 Hz, divisor 8
    ASSERT_EQ(Dc()->SoftDivisor, 8);
    const uint16_t isr = Dc()->IsrCount;
    for (unsigned interrupt = 1; interrupt <= 24; ++interrupt) {
        uint64_t before = Card().Conversions().Total();
        Ticks(1);
        bool stepped = Card().Conversions().Total() != before;
        EXPECT_EQ(stepped, interrupt % 8 == 0) << "interrupt " << interrupt;
    }
    EXPECT_EQ(Dc()->IsrCount, isr + 24);
    EXPECT_EQ(Dc()->FillCount, 2u) << "steps 2 and 3 stored (the first discards)";
}

TEST_F(SequencerTest, RingOfFourWithoutReaderDropsWholeScansAndCountsThemInTheSequence)
{
    // Two channels, two scans per buffer: L = SamplesPerBuffer = 4 dropped scans per
    // sequence step; a scan takes two steps.
    HANDLE event = NewEvent();
    MarkConversions();
    ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, event)), STATUS_SUCCESS);
    Ticks(2 + 4 * 4);
    for (unsigned b = 0; b < 4; ++b)
        EXPECT_EQ(Word(b, 0), b) << "sequence word of buffer " << b;
    EXPECT_EQ(Dc()->WriteIndex, 0);
    EXPECT_EQ(Dc()->ReadIndex, 0);
    EXPECT_EQ(Dc()->OverrunCount, 1);
    EXPECT_EQ(Dc()->SequenceNo, 4);
    EXPECT_EQ(QueryBuf(), 4);
    EXPECT_TRUE(EventSignalled(event));

    std::vector<uint16_t> buffer0(Dc()->BufferTable[0], Dc()->BufferTable[0] + 5);
    Ticks(2);  // the first scan dropped moves the sequence on at once
    EXPECT_EQ(Dc()->SequenceNo, 5);
    EXPECT_EQ(Dc()->OverrunCount, 2);
    Ticks(2 * 3);  // three more: still within L
    EXPECT_EQ(Dc()->SequenceNo, 5);
    EXPECT_EQ(Dc()->OverrunCount, 5);
    Ticks(2);  // the fifth, L after the first: the sequence moves on again
    EXPECT_EQ(Dc()->SequenceNo, 6);
    EXPECT_EQ(Dc()->OverrunCount, 2);
    EXPECT_EQ(std::vector<uint16_t>(Dc()->BufferTable[0], Dc()->BufferTable[0] + 5), buffer0)
        << "a full ring is never overwritten";

    std::vector<uint8_t> out;
    ASSERT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_SUCCESS);
    EXPECT_EQ(WordAt(out, 0), 0);
    Ticks(2 * 2);  // two scans: buffer 0 refilled
    EXPECT_EQ(Dc()->WriteIndex, 1);
    EXPECT_EQ(Word(0, 0), 6) << "the refilled buffer carries the sequence number after the gap";
    // The refilled buffer's samples are the two newest scans, in their channels.
    std::vector<sim::ConversionRecord> conversions = ConversionsSinceMark();
    size_t n = conversions.size();
    // The newest conversion was started at the last step and is not read yet; the four
    // before it were read by the last four steps.
    for (unsigned i = 0; i < 4; ++i) {
        const sim::ConversionRecord &record = conversions.at(n - 5 + i);
        EXPECT_EQ(record.channel, i % 2);
        EXPECT_EQ(Word(0, 1 + i), record.word) << i;
    }
}

TEST_F(SequencerTest, RingOfOneIsInOverrunAsSoonAsItsBufferFills)
{
    StartRing(1, 2, 1);
    Ticks(1 + 2);
    EXPECT_EQ(Dc()->WriteIndex, 0);
    EXPECT_EQ(Dc()->OverrunCount, 1);
    EXPECT_EQ(Dc()->SequenceNo, 1);
    EXPECT_EQ(QueryBuf(), 1);
    std::vector<uint8_t> out;
    ASSERT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_SUCCESS);
    EXPECT_EQ(QueryBuf(), 0);
    EXPECT_EQ(Dc()->OverrunCount, 0);
}

TEST_F(SequencerTest, BuffersFillingBeforeTheDpcRunsGiveOneSignal)
{
    HANDLE event = NewEvent();
    ASSERT_EQ(Start(StartRecord(1, 1000, 1, 4, 0, 0, false, event)), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Ticks(1 + 2);  // two one-scan buffers; the DPC cannot run at DISPATCH_LEVEL
    EXPECT_EQ(Dc()->WriteIndex, 2);
    EXPECT_EQ(plat::QueuedDpcCount(), 1u) << "a queued DPC is not queued again";
    KeLowerIrql(old);
    EXPECT_EQ(plat::QueuedDpcCount(), 0u);
    EXPECT_TRUE(EventSignalled(event));
    EXPECT_FALSE(EventSignalled(event));
}

TEST_F(SequencerTest, StopAfterAFullBufferLeavesNoDpcToSignal)
{
    HANDLE event = NewEvent();
    ASSERT_EQ(Start(StartRecord(1, 1000, 1, 4, 0, 0, false, event)), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Ticks(2);
    ASSERT_EQ(plat::QueuedDpcCount(), 1u);
    KeLowerIrql(old);
    EXPECT_TRUE(EventSignalled(event));
    // A DPC queued as the stop begins, its processor busy elsewhere: the stop removes it
    // before letting go of the event.
    plat::HoldDpcs(true);
    Ticks(1);
    ASSERT_EQ(plat::QueuedDpcCount(), 1u);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(plat::QueuedDpcCount(), 0u);
    plat::HoldDpcs(false);
    EXPECT_FALSE(EventSignalled(event));
    EXPECT_EQ(Dc()->UserEvent, nullptr);
}

// The DPC of a full buffer, running on another processor, holds EventLock while it
// signals the event: a stop meanwhile waits for the lock before it takes the event out
// and lets go of it, so that the DPC never signals a released event.
TEST_F(SequencerTest, StopLetsGoOfTheEventOnlyOnceADpcSignallingItIsDone)
{
    ASSERT_EQ(Start(StartRecord(1, 1000, 1, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    std::atomic<bool> held{false}, release{false}, stopped{false};
    std::thread dpc([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeAcquireSpinLockAtDpcLevel(&Dc()->EventLock);
        held = true;
        while (!release)
            std::this_thread::yield();
        KeReleaseSpinLockFromDpcLevel(&Dc()->EventLock);
        KeLowerIrql(old);
    });
    while (!held)
        std::this_thread::yield();
    std::thread stop([&] {
        EXPECT_EQ(Stop(), STATUS_SUCCESS);
        stopped = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stopped && plat::SpinLockWaiters(&Dc()->EventLock) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_FALSE(stopped) << "the stop let go of the event while the DPC held EventLock";
    EXPECT_NE(__atomic_load_n(&Dc()->UserEvent, __ATOMIC_ACQUIRE), nullptr);
    release = true;
    dpc.join();
    stop.join();
    EXPECT_EQ(Dc()->UserEvent, nullptr);
}

TEST_F(SequencerTest, ADpcThatRunsLateForOneAcquisitionLeavesTheNextOnesEventAlone)
{
    HANDLE first = NewEvent(), second = NewEvent();
    ASSERT_EQ(Start(StartRecord(1, 1000, 1, 4, 0, 0, false, first)), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Ticks(2);
    ASSERT_EQ(plat::QueuedDpcCount(), 1u);
    // Another processor takes the DPC off the queue, and is held up before it runs it:
    // meanwhile the acquisition stops and the next one starts with its own event.
    PKDPC dpc = &Fdo()->Dpc;
    PVOID arg1 = dpc->SystemArgument1, arg2 = dpc->SystemArgument2;
    ASSERT_TRUE(KeRemoveQueueDpc(dpc));
    KeLowerIrql(old);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_EQ(Start(StartRecord(1, 1000, 1, 4, 0, 0, false, second)), STATUS_SUCCESS);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    BufferReadyDpc(dpc, dpc->DeferredContext, arg1, arg2);
    KeLowerIrql(old);
    EXPECT_FALSE(EventSignalled(second));
    EXPECT_FALSE(EventSignalled(first));
    // The new acquisition's own full buffer signals its event.
    Ticks(2);
    EXPECT_TRUE(EventSignalled(second));
}

TEST_F(SequencerTest, LocalInterruptTwoAloneIsCountedIdleWithoutAStep)
{
    StartRing(2, 4, 2);
    Ticks(3);
    // Enable local interrupt 2 (level-triggered) beside the acquisition's sources.
    uint32_t port[2] = {static_cast<uint32_t>(Dc()->BridgeBase + BRIDGE_INTCSR),
                        INTCSR_PCI_ENABLE | INTCSR_LINT1_ENABLE | INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE |
                            INTCSR_LINT2_ENABLE | INTCSR_LINT2_ACTIVE_HIGH};
    ASSERT_EQ(Ioctl(IOCTL_OUT_DWORD, port, 8, nullptr, 0), STATUS_SUCCESS);
    const uint16_t isr = Dc()->IsrCount, idle = Dc()->IdleIsrCount;
    const uint64_t conversions = Card().Conversions().Total();
    const ULONG fill = Dc()->FillCount;
    SetLocalInterrupt2(true);
    AdvanceNs(1000);  // well before the next timer edge
    EXPECT_EQ(Dc()->IdleIsrCount, idle + 1);
    EXPECT_EQ(Dc()->IsrCount, isr);
    EXPECT_EQ(Dc()->IntSource, INT_SOURCE_LINT2);
    EXPECT_EQ(Card().Conversions().Total(), conversions);
    EXPECT_EQ(Dc()->FillCount, fill);
    SetLocalInterrupt2(false);
    Ticks(1);
    EXPECT_EQ(Dc()->IsrCount, isr + 1) << "the acquisition goes on";
}

// Calls the interrupt routine as the platform does, under the interrupt's lock.
struct IsrCall {
    DeviceContext *dc;
    BOOLEAN result;
};
BOOLEAN NTAPI CallIsr(PVOID context)
{
    IsrCall *call = static_cast<IsrCall *>(context);
    call->result = InterruptService(call->dc->InterruptObject, call->dc);
    return TRUE;
}

TEST_F(SequencerTest, InterruptWithPciEnableClearIsNotTheCardsAndWritesNothing)
{
    // Start-device left the bridge disabled: bit 6 clear.
    IsrCall call{Dc(), TRUE};
    const uint16_t idle = Dc()->IdleIsrCount;
    KeSynchronizeExecution(Dc()->InterruptObject, CallIsr, &call);
    EXPECT_FALSE(call.result);
    std::vector<sim::RegisterAccess> bridge = Trace(Window::Bridge);
    ASSERT_EQ(bridge.size(), 1u);
    EXPECT_FALSE(bridge[0].write);
    EXPECT_TRUE(Trace(Window::Board).empty());
    EXPECT_EQ(Dc()->IdleIsrCount, idle);

    // No board range: FALSE before any access.
    Card().ClearTrace();
    const ULONG board = Dc()->BoardBase;
    Dc()->BoardBase = 0;
    KeSynchronizeExecution(Dc()->InterruptObject, CallIsr, &call);
    Dc()->BoardBase = board;
    EXPECT_FALSE(call.result);
    EXPECT_TRUE(Card().Trace().Entries().empty());
}

// One acquisition interrupt taken with local interrupt 1 level-triggered: IntCsr is set to
// level mode, the interrupt routine runs, and edge mode is restored, all under the
// interrupt's lock (a level source held high by the counter would interrupt again at once).
struct LevelCall {
    DeviceContext *dc;
    BOOLEAN result;
};
BOOLEAN NTAPI LevelTriggeredIsr(PVOID context)
{
    LevelCall *call = static_cast<LevelCall *>(context);
    PULONG intCsr = PortAddress32(call->dc->BridgeBase, BRIDGE_INTCSR);
    WRITE_PORT_ULONG(intCsr, INTCSR_PCI_ENABLE | INTCSR_LINT1_ENABLE | INTCSR_LINT1_ACTIVE_HIGH);
    call->result = InterruptService(call->dc->InterruptObject, call->dc);
    WRITE_PORT_ULONG(intCsr, INTCSR_PCI_ENABLE | INTCSR_LINT1_ENABLE | INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE |
                                 INTCSR_LINT1_CLEAR);
    return TRUE;
}

TEST_F(SequencerTest, LevelTriggeredLocalInterruptOneIsMaskedThenReArmed)
{
    StartRing(1, 4, 2);
    Ticks(1);  // just after a rising edge: counter 0's output stays high for half a period
    AdvanceNs(10000);  // and the conversion that step started has completed
    Card().ClearTrace();
    const uint16_t isr = Dc()->IsrCount;
    LevelCall call{Dc(), FALSE};
    KeSynchronizeExecution(Dc()->InterruptObject, LevelTriggeredIsr, &call);
    EXPECT_TRUE(call.result);
    EXPECT_EQ(Dc()->IsrCount, isr + 1);
    EXPECT_EQ(Dc()->IntSource, INT_SOURCE_LINT1);
    std::vector<sim::RegisterAccess> bridge = Trace(Window::Bridge);
    // test's write; read, write without PCI enable, read, write without local interrupt 1
    // enable (no edge clear); after the step read, write with bits 0 and 6 set; test's write.
    ASSERT_EQ(bridge.size(), 8u);
    EXPECT_EQ(bridge[2].value, bridge[1].value & ~INTCSR_PCI_ENABLE);
    EXPECT_EQ(bridge[4].value, bridge[3].value & ~INTCSR_LINT1_ENABLE);
    EXPECT_EQ(bridge[4].value & INTCSR_LINT1_CLEAR, 0u);
    EXPECT_EQ(bridge[6].value, bridge[5].value | INTCSR_LINT1_ENABLE | INTCSR_PCI_ENABLE);
    EXPECT_EQ(bridge[6].value & INTCSR_LINT1_EDGE, 0u);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
}

TEST_F(SequencerTest, SnapshotFillsTheCircularBufferAndCountsPasses)
{
    StartSnapshot(2, 10);
    Ticks(2);
    for (unsigned scan = 1; scan <= 12; ++scan) {
        Ticks(2);
        ULONG expected = (2 * scan) % 20;
        EXPECT_EQ(Dc()->FillCount, expected) << "scan " << scan;
        EXPECT_EQ(Dc()->SnapWritePos, expected) << "scan " << scan;
        EXPECT_EQ(Dc()->SequenceNo, scan >= 10 ? 1 : 0) << "scan " << scan;
    }
    EXPECT_EQ(Dc()->WriteIndex, 0);
    EXPECT_EQ(Dc()->OverrunCount, 0);
    EXPECT_EQ(plat::QueuedDpcCount(), 0u);
    TqScanCounters counters = ScanCounters();
    EXPECT_EQ(counters.Stored, 12u) << "every scan is stored; a snapshot never drops";
    EXPECT_EQ(counters.Dropped, 0u);
    EXPECT_EQ(counters.Overruns, 0u);
}

// Every overrun shows: d scans dropped while the ring was full make the first buffer
// filled afterwards carry a sequence word 1 + ceil(d / L) above its predecessor's
// (L = samples per buffer), and the counters give d exactly. A jump of 1 means nothing
// was lost. The counters start from zero at each start and keep their values after a stop.
TEST_F(SequencerTest, EveryOverrunShowsInTheSequenceWordsAndTheCounters)
{
    constexpr uint32_t L = 4;  // two channels, two scans a buffer; a scan takes two steps
    TqScanCounters counters = ScanCounters();
    EXPECT_EQ(counters.Stored + counters.Dropped + counters.Overruns, 0u) << "nothing before the first start";
    for (uint32_t dropped : {0u, 1u, L - 1, L, L + 1, 3 * L + 5}) {
        SCOPED_TRACE(testing::Message() << dropped << " scans dropped");
        ASSERT_EQ(Start(StartRecord(2, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
        Ticks(2 + 4 * 4);  // the ring runs full
        Ticks(2 * dropped);
        std::vector<uint8_t> out;
        ASSERT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_SUCCESS);
        Ticks(2 * 2);  // buffer 0 filled again: the ring is full once more
        std::vector<uint16_t> sequence;
        while (QueryBuf() > 0) {
            ASSERT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_SUCCESS);
            sequence.push_back(WordAt(out, 0));
        }
        ASSERT_EQ(sequence.size(), 4u);
        EXPECT_EQ(sequence[2], 3);
        EXPECT_EQ(sequence[3] - sequence[2], 1 + (dropped + L - 1) / L);
        counters = ScanCounters();
        EXPECT_EQ(counters.Stored, 4 * 2 + 2u);
        EXPECT_EQ(counters.Dropped, dropped);
        EXPECT_EQ(counters.Overruns, 2u);
        ASSERT_EQ(Stop(), STATUS_SUCCESS);
        const TqScanCounters stopped = ScanCounters();
        EXPECT_EQ(memcmp(&stopped, &counters, sizeof counters), 0) << "a stop keeps the counters";
    }

    // A buffer of more than 32767 samples steps the sequence every 32767 dropped scans.
    ASSERT_EQ(Start(StartRecord(40000, 100000, 1, 1, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    Ticks(1 + 40000 + 1);  // full, then the first scan dropped
    EXPECT_EQ(Dc()->SequenceNo, 2);
    Ticks(32766);
    EXPECT_EQ(Dc()->SequenceNo, 2);
    Ticks(1);
    EXPECT_EQ(Dc()->SequenceNo, 3);
    EXPECT_EQ(ScanCounters().Dropped, 32768u);
}

}  // namespace
}  // namespace tqtest
