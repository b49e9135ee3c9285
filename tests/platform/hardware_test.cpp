// The simulated machine's hardware side: port and memory decoding, the virtual clock in
// both modes, interrupt delivery (level, latched, shared, masked by IRQL), DPCs, and
// KeSynchronizeExecution — driven by the test driver and the test device.
#include <plat/hw.h>

#include <chrono>
#include <memory>
#include <thread>

#include "support/kernel_fixture.h"
#include "support/test_device.h"

namespace tqtest {
namespace {

constexpr ULONG kPort = 0x300;
constexpr ULONG kVector = 51;
constexpr KIRQL kDeviceIrql = 6;

PUCHAR Port8(ULONG port) { return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(port)); }
PUSHORT Port16(ULONG port) { return reinterpret_cast<PUSHORT>(static_cast<ULONG_PTR>(port)); }
PULONG Port32(ULONG port) { return reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(port)); }

class HardwareTest : public KernelTest {
protected:
    void TearDown() override
    {
        plat::SetClockMode(plat::ClockMode::Manual);
        if (ext && ext->Interrupt) TdDisconnect(ext);
        device.reset();
        KernelTest::TearDown();
    }
    // The test driver's device, connected to a test device ticking every periodUs.
    void Connect(bool latched, USHORT periodUs, KIRQL irql = kDeviceIrql)
    {
        BuildStack();
        device = std::make_unique<TestDevice>(kVector, latched, kPort);
        ASSERT_EQ(TdConnect(ext, kPort, kVector, irql, latched ? Latched : LevelSensitive, TRUE), STATUS_SUCCESS);
        WRITE_PORT_USHORT(Port16(kPort + kRegPeriod), periodUs);
    }
    std::unique_ptr<TestDevice> device;
};

TEST_F(HardwareTest, PortAccessesReachTheClaimingDeviceAndCostVirtualTime)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    plat::VTime start = plat::Now();
    WRITE_PORT_ULONG(Port32(kPort + kRegScratch), 0xCAFEF00D);
    EXPECT_EQ(READ_PORT_ULONG(Port32(kPort + kRegScratch)), 0xCAFEF00Du);
    EXPECT_EQ(READ_PORT_USHORT(Port16(kPort + kRegScratch)), 0xF00D);
    EXPECT_EQ(device->scratch, 0xCAFEF00Du);
    EXPECT_EQ(plat::Now() - start, 3 * plat::PortAccessCost());
    ASSERT_EQ(device->accessTimes.size(), 3u);
    EXPECT_EQ(device->accessTimes[1] - device->accessTimes[0], plat::PortAccessCost());
    EXPECT_EQ(plat::UnclaimedAccessCount(), 0u);
    // A floating bus: all ones, writes vanish; each such access is counted.
    EXPECT_EQ(READ_PORT_UCHAR(Port8(0x200)), 0xFF);
    EXPECT_EQ(READ_PORT_USHORT(Port16(0x200)), 0xFFFF);
    EXPECT_EQ(READ_PORT_ULONG(Port32(kPort + kRangeLength)), 0xFFFFFFFFu);
    WRITE_PORT_UCHAR(Port8(0x200), 0);
    EXPECT_EQ(device->accessTimes.size(), 3u);
    EXPECT_EQ(plat::UnclaimedAccessCount(), 4u);
}

// The bus remembers the ranges it decoded last; a range released, claimed again by another
// device, or two ranges used by turns, must each be decoded as they stand now.
TEST_F(HardwareTest, ReleasedAndReclaimedRangesAreDecodedAsTheyStandNow)
{
    struct Register : plat::BusDevice {
        explicit Register(std::uint32_t v) : value(v) {}
        std::uint32_t BusRead(plat::Space, std::uint64_t offset, unsigned) override { return value + offset; }
        void BusWrite(plat::Space, std::uint64_t, unsigned, std::uint32_t v) override { value = v; }
        std::uint32_t value;
    } first(0x100), second(0x200), other(0x300);
    constexpr ULONG kA = 0x2A0, kB = 0x2B0;
    plat::ClaimRange(plat::Space::Port, kA, 8, &first);
    plat::ClaimRange(plat::Space::Port, kB, 8, &other);
    for (int i = 0; i < 3; ++i) {  // by turns, as an interrupt routine goes between windows
        EXPECT_EQ(READ_PORT_UCHAR(Port8(kA + 1)), 0x01);
        EXPECT_EQ(READ_PORT_USHORT(Port16(kB + 2)), 0x302);
    }
    plat::ReleaseRange(plat::Space::Port, kA);
    EXPECT_EQ(READ_PORT_ULONG(Port32(kA)), 0xFFFFFFFFu) << "released: a floating bus";
    WRITE_PORT_ULONG(Port32(kA), 0x555);
    EXPECT_EQ(first.value, 0x100u);
    plat::ClaimRange(plat::Space::Port, kA, 8, &second);
    EXPECT_EQ(READ_PORT_USHORT(Port16(kA + 4)), 0x204) << "reclaimed: the new device";
    plat::ReleaseAllRanges(&other);
    EXPECT_EQ(READ_PORT_UCHAR(Port8(kB)), 0xFF);
    EXPECT_EQ(READ_PORT_UCHAR(Port8(kA)), 0x00);
    plat::ReleaseAllRanges(&second);
}

TEST_F(HardwareTest, BusyWaitingOnAStatusBitSeesTheDeviceProgress)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    WRITE_PORT_UCHAR(Port8(kPort + kRegControl), kControlStart);
    plat::VTime started = plat::Now();
    int polls = 0;
    while (!(READ_PORT_UCHAR(Port8(kPort + kRegStatus)) & kStatusDone)) ASSERT_LT(++polls, 1000);
    EXPECT_GE(plat::Now() - started, kConversionTime);
    EXPECT_LT(plat::Now() - started, kConversionTime + 2 * plat::PortAccessCost());
    EXPECT_EQ(device->conversions, 1u);
}

TEST_F(HardwareTest, OverlappingClaimsAreRefused)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    TestDevice second(kVector + 1, false, kPort + 4);
    EXPECT_TRUE(Reported(plat::rule::RangeConflict));
    EXPECT_EQ(READ_PORT_ULONG(Port32(kPort + kRegScratch)), 0u) << "the first claim keeps the range";
}

TEST_F(HardwareTest, MappedAddressesFitIn32BitsAndReachMemorySpace)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort, 0xFEB00010);
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = 0xFEB00010;
    PVOID mapped = MmMapIoSpace(physical, kRangeLength, MmNonCached);
    ASSERT_NE(mapped, nullptr);
    auto address = reinterpret_cast<ULONG_PTR>(mapped);
    EXPECT_LE(address + kRangeLength, 0xFFFFFFFFull);
    EXPECT_EQ(address & 0xFFF, 0x010u) << "the page offset of the physical address is kept";
    ULONG base = static_cast<ULONG>(address);  // as a driver keeps it
    WRITE_PORT_ULONG(Port32(base + kRegScratch), 0x12345678);
    EXPECT_EQ(device->scratch, 0x12345678u);
    EXPECT_EQ(device->accessSpaces.back(), plat::Space::Memory);
    MmUnmapIoSpace(mapped, kRangeLength);
    EXPECT_EQ(READ_PORT_ULONG(Port32(base + kRegScratch)), 0xFFFFFFFFu);
    EXPECT_TRUE(Reported(plat::rule::PortAddressInvalid));
    MmUnmapIoSpace(mapped, kRangeLength);
    EXPECT_TRUE(Reported(plat::rule::MappingUnknown));
}

// Manual mode: each tick's interrupt is taken at once in the thread that advances the
// clock, at the device's IRQL, followed by the DPC it queued, at DISPATCH_LEVEL.
TEST_F(HardwareTest, AdvancingTheClockTakesEachInterruptAndItsDpcInOrder)
{
    Connect(false, 10);
    plat::AdvanceBy(100'000);
    ASSERT_EQ(device->tickTimes.size(), 10u);
    EXPECT_EQ(ext->IsrClaims, 10);
    EXPECT_EQ(device->acks, 10u);
    EXPECT_EQ(ext->DpcRuns, 10);
    EXPECT_EQ(ext->IsrIrql, kDeviceIrql);
    EXPECT_EQ(ext->DpcIrql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&ext->DpcEvent), 1);
    // The ISR ran right at each tick: its status read is the first access after the tick.
    for (plat::VTime tick : device->tickTimes) {
        auto it = std::lower_bound(device->accessTimes.begin(), device->accessTimes.end(), tick);
        ASSERT_NE(it, device->accessTimes.end());
        EXPECT_EQ(*it, tick);
    }
}

TEST_F(HardwareTest, InterruptsWaitWhileTheThreadRunsAtOrAboveTheDeviceLevel)
{
    Connect(false, 10);
    KIRQL old;
    KeRaiseIrql(kDeviceIrql, &old);
    plat::AdvanceBy(35'000);
    EXPECT_EQ(ext->IsrCalls, 0);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(ext->IsrClaims, 1) << "a level-sensitive line: the pending ticks are one interrupt";
    EXPECT_EQ(ext->DpcRuns, 0) << "DPCs wait below DISPATCH_LEVEL";
    KeLowerIrql(old);
    EXPECT_EQ(ext->DpcRuns, 1);
}

TEST_F(HardwareTest, ALatchedLineInterruptsOncePerEdge)
{
    Connect(true, 10);
    plat::AdvanceBy(50'000);
    EXPECT_EQ(ext->IsrClaims, 5);
    KIRQL old;
    KeRaiseIrql(kDeviceIrql, &old);
    plat::AdvanceBy(30'000);  // three edges while masked latch as one
    KeLowerIrql(old);
    EXPECT_EQ(ext->IsrClaims, 6);
    EXPECT_EQ(device->tickTimes.size(), 8u);
}

TEST_F(HardwareTest, SharedVectorCallsEachRoutineUntilOneClaims)
{
    static int firstCalls;
    firstCalls = 0;
    BuildStack();
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    PKINTERRUPT first;
    ASSERT_EQ(IoConnectInterrupt(&first, [](PKINTERRUPT, PVOID) -> BOOLEAN { ++firstCalls; return FALSE; }, nullptr,
                                 nullptr, kVector, kDeviceIrql, kDeviceIrql, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    ASSERT_EQ(TdConnect(ext, kPort, kVector, kDeviceIrql, LevelSensitive, TRUE), STATUS_SUCCESS);
    WRITE_PORT_USHORT(Port16(kPort + kRegPeriod), 10);
    plat::AdvanceBy(30'000);
    EXPECT_EQ(firstCalls, 3);
    EXPECT_EQ(ext->IsrClaims, 3);
    IoDisconnectInterrupt(first);
    TdDisconnect(ext);
    plat::AdvanceBy(30'000);
    EXPECT_EQ(ext->IsrCalls, 3) << "nothing is delivered after the disconnection";
}

TEST_F(HardwareTest, ConnectionsThatCannotWorkAreRefused)
{
    BuildStack();
    struct Case {
        const char *what;
        KIRQL irql, sync;
        KINTERRUPT_MODE mode;
        BOOLEAN shared;
        KAFFINITY mask;
    };
    PKINTERRUPT existing;
    ASSERT_EQ(IoConnectInterrupt(&existing, TdInterruptService, ext, nullptr, 60, 5, 5, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    const Case cases[] = {
        {"level at DISPATCH_LEVEL", DISPATCH_LEVEL, DISPATCH_LEVEL, LevelSensitive, TRUE, 1},
        {"synchronisation below the level", 6, 5, LevelSensitive, TRUE, 1},
        {"no processor", 5, 5, LevelSensitive, TRUE, 0},
        {"vector held exclusively", 5, 5, LevelSensitive, TRUE, 1},
    };
    for (const Case &c : cases) {
        PKINTERRUPT interrupt = reinterpret_cast<PKINTERRUPT>(1);
        ULONG vector = std::string(c.what) == "vector held exclusively" ? 60 : 61;
        EXPECT_EQ(IoConnectInterrupt(&interrupt, TdInterruptService, ext, nullptr, vector, c.irql, c.sync, c.mode,
                                     c.shared, c.mask, FALSE),
                  STATUS_INVALID_PARAMETER)
            << c.what;
        EXPECT_EQ(interrupt, nullptr) << c.what;
    }
    PKINTERRUPT shared1, other;
    ASSERT_EQ(IoConnectInterrupt(&shared1, TdInterruptService, ext, nullptr, 62, 5, 5, Latched, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(IoConnectInterrupt(&other, TdInterruptService, ext, nullptr, 62, 5, 5, LevelSensitive, TRUE, 1, FALSE),
              STATUS_INVALID_PARAMETER)
        << "modes differ on a shared vector";
    plat::InjectPoolFailureByTag(plat::PoolTag("IntO"));
    EXPECT_EQ(IoConnectInterrupt(&other, TdInterruptService, ext, nullptr, 63, 5, 5, Latched, TRUE, 1, FALSE),
              STATUS_INSUFFICIENT_RESOURCES);
    IoDisconnectInterrupt(existing);
    IoDisconnectInterrupt(shared1);
    IoDisconnectInterrupt(shared1);
    EXPECT_TRUE(Reported(plat::rule::UnknownInterrupt));
}

// KeSynchronizeExecution holds the interrupt's lock at its level: no interrupt of the
// device can come in while the routine runs; the one that came due is taken afterwards.
TEST_F(HardwareTest, SynchronizedRoutinesExcludeTheServiceRoutine)
{
    Connect(false, 10);
    struct Seen {
        TdExtension *ext;
        KIRQL irql;
        LONG isrCallsInside;
    } seen{ext, 0, -1};
    BOOLEAN result = KeSynchronizeExecution(
        ext->Interrupt,
        [](PVOID context) -> BOOLEAN {
            auto *s = static_cast<Seen *>(context);
            s->irql = KeGetCurrentIrql();
            plat::AdvanceBy(25'000);
            s->isrCallsInside = s->ext->IsrCalls;
            return TRUE;
        },
        &seen);
    EXPECT_TRUE(result);
    EXPECT_EQ(seen.irql, kDeviceIrql);
    EXPECT_EQ(seen.isrCallsInside, 0);
    EXPECT_EQ(ext->IsrClaims, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HardwareTest, ALineNobodyDismissesIsReportedAsAStormAndMasked)
{
    Connect(false, 10);
    device->holdLine = true;
    plat::AdvanceBy(10'000);
    EXPECT_TRUE(Reported(plat::rule::InterruptStorm));
    LONG calls = ext->IsrCalls;
    EXPECT_GE(calls, 1000);
    plat::AdvanceBy(10'000);
    EXPECT_EQ(ext->IsrCalls, calls) << "masked until the line drops";
    device->holdLine = false;
}

TEST_F(HardwareTest, DelaysAndStallsSpendExactlyTheirVirtualTime)
{
    plat::VTime start = plat::Now();
    LARGE_INTEGER interval = RtlConvertLongToLargeInteger(-2 * 10000);  // 2 ms
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, TRUE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(plat::Now() - start, 2'000'000u);
    KeStallExecutionProcessor(7);
    EXPECT_EQ(plat::Now() - start, 2'007'000u);
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 30;  // 3 us from now, as an absolute system time
    KeDelayExecutionThread(KernelMode, FALSE, &absolute);
    EXPECT_EQ(plat::Now() - start, 2'010'000u);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeLowerIrql(old);
    EXPECT_TRUE(Reported(plat::rule::DelayAboveLimit));
}

TEST_F(HardwareTest, ATimedWaitEndsAtItsDeadlineOrWhenADpcSignalsFirst)
{
    Connect(false, 3000);  // a tick (and a DPC setting DpcEvent) every 3 ms
    plat::VTime start = plat::Now();
    LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-10 * 10000);
    EXPECT_EQ(KeWaitForSingleObject(&ext->DpcEvent, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    ASSERT_EQ(device->tickTimes.size(), 1u);
    EXPECT_LT(plat::Now() - start, 10'000'000u);
    EXPECT_LE(plat::Now() - device->tickTimes[0], 2 * plat::PortAccessCost()) << "woken by the DPC of the tick";
    EXPECT_EQ(KeReadStateEvent(&ext->DpcEvent), 0) << "a synchronization event is consumed by the wait";
    start = plat::Now();
    LARGE_INTEGER zero = RtlConvertLongToLargeInteger(0);
    EXPECT_EQ(KeWaitForSingleObject(&ext->DpcEvent, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(plat::Now(), start) << "a poll spends no time";
    WRITE_PORT_USHORT(Port16(kPort + kRegPeriod), 0);  // stop ticking
    start = plat::Now();
    EXPECT_EQ(KeWaitForSingleObject(&ext->DpcEvent, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(plat::Now() - start, 10'000'000u);
}

TEST_F(HardwareTest, DpcsAreQueuedOnceAndRunWhenTheLevelDropsBelowDispatch)
{
    struct Log {
        int runs = 0;
        PVOID arg1 = nullptr;
        KIRQL irql = 0;
    } log;
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID a1, PVOID) {
            auto *l = static_cast<Log *>(context);
            ++l->runs;
            l->arg1 = a1;
            l->irql = KeGetCurrentIrql();
        },
        &log);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &log, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(plat::QueuedDpcCount(), 1u);
    EXPECT_EQ(log.runs, 0);
    KeLowerIrql(old);
    EXPECT_EQ(log.runs, 1);
    EXPECT_EQ(log.arg1, &log) << "the arguments of the insertion that queued it";
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "below DISPATCH_LEVEL it runs at once";
    EXPECT_EQ(log.runs, 2);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    KeLowerIrql(old);
    EXPECT_EQ(log.runs, 2);
}

TEST_F(HardwareTest, DpcAndServiceRoutinesThatChangeTheirLevelAreReported)
{
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(Reported(plat::rule::IrqlNotRestored));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    BuildStack();
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    PKINTERRUPT interrupt;
    ASSERT_EQ(IoConnectInterrupt(&interrupt,
                                 [](PKINTERRUPT, PVOID) -> BOOLEAN {
                                     KeLowerIrql(DISPATCH_LEVEL);
                                     WRITE_PORT_UCHAR(Port8(kPort + kRegControl), kControlAck);
                                     return TRUE;
                                 },
                                 nullptr, nullptr, kVector, kDeviceIrql, kDeviceIrql, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    WRITE_PORT_UCHAR(Port8(kPort + kRegControl), kControlEnable);
    WRITE_PORT_USHORT(Port16(kPort + kRegPeriod), 10);
    plat::AdvanceBy(10'000);
    EXPECT_TRUE(Reported(plat::rule::IrqlNotRestored));
    IoDisconnectInterrupt(interrupt);
}

// Real time: the clock thread keeps time with the host and takes the interrupts; the DPC
// thread runs the DPCs.
TEST_F(HardwareTest, RealTimeModeDeliversInterruptsAndDpcsOnItsOwnThreads)
{
    Connect(false, 200);
    plat::SetClockMode(plat::ClockMode::RealTime, 1.0);
    EXPECT_EQ(plat::GetClockMode(), plat::ClockMode::RealTime);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (__atomic_load_n(&ext->DpcRuns, __ATOMIC_ACQUIRE) < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    plat::AdvanceBy(1000);
    EXPECT_TRUE(Reported(plat::rule::ClockMisuse));
    plat::SetClockMode(plat::ClockMode::Manual);
    EXPECT_GE(ext->DpcRuns, 5);
    EXPECT_EQ(ext->IsrIrql, kDeviceIrql);
    EXPECT_EQ(ext->DpcIrql, DISPATCH_LEVEL);
    EXPECT_EQ(static_cast<unsigned>(ext->IsrClaims), device->acks);
    EXPECT_GE(plat::Now(), 5 * 200'000u);
    for (std::size_t i = 1; i < device->tickTimes.size(); ++i)
        EXPECT_EQ(device->tickTimes[i] - device->tickTimes[i - 1], 200'000u);
}

// A driver's bounded busy-wait (a fixed number of status reads) must see the device finish
// in real time too: every port access takes its cost in host time and brings the device up
// to the present.
TEST_F(HardwareTest, RealTimeBusyWaitsSeeTheDeviceProgress)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    plat::SetClockMode(plat::ClockMode::RealTime, 1.0);
    for (int round = 0; round < 20; ++round) {
        WRITE_PORT_UCHAR(Port8(kPort + kRegControl), kControlStart);
        bool done = false;
        const int budget = static_cast<int>(2 * kConversionTime / plat::PortAccessCost());
        for (int polls = 0; polls < budget && !done; ++polls)
            done = (READ_PORT_UCHAR(Port8(kPort + kRegStatus)) & kStatusDone) != 0;
        EXPECT_TRUE(done) << "round " << round;
    }
    plat::SetClockMode(plat::ClockMode::Manual);
    EXPECT_EQ(device->conversions, 20u);
}

TEST_F(HardwareTest, RealTimeWaitsAndDelaysFollowTheHostClock)
{
    plat::SetClockMode(plat::ClockMode::RealTime, 4.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    plat::VTime start = plat::Now();
    LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-8 * 10000);  // 8 ms virtual, 2 ms host
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(plat::Now() - start, 8'000'000u);
    start = plat::Now();
    KeDelayExecutionThread(KernelMode, FALSE, &timeout);
    EXPECT_GE(plat::Now() - start, 8'000'000u);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tqtest
