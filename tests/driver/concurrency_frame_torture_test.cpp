// Torture of the driver's frame in real time: Plug and Play and power sequences repeated
// while other threads keep sending requests (direct port reads, last-error queries, and
// whole acquisitions: initial, start, reads, stop) through handles they open and close
// again. Each sequence runs FRAME_TORTURE_CYCLES times (1000 for the full run; a short
// default keeps the suite fast). Every step must succeed, the verifier must stay silent,
// and no pool may be left at the end.
#include "frame_fixture.h"
#include "support/shared_line_neighbour.h"

#include "sim/registers.h"
#include "sim/resource_layout.h"

#include <functional>

namespace frame {
namespace {

constexpr int kDefaultCycles = 50;

// A second set of resources for rebalancing: other port ranges and another interrupt.
sim::ResourceLayout MovedLayout()
{
    sim::ResourceLayout l = sim::ResourceLayout::Default();
    l.name = "moved";
    for (sim::ResourceItem &item : l.items) {
        if (item.kind == sim::ResourceItem::Kind::Port) {
            item.rawStart -= 0x1000;
            item.translatedStart -= 0x1000;
        } else if (item.kind == sim::ResourceItem::Kind::Interrupt) {
            item.rawVector = item.rawLevel = 10;
            item.translatedVector = 0x3A;
            item.translatedLevel = 17;
        }
    }
    return l;
}

class FrameTorture : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        Boot("default", 0x10, plat::ClockMode::RealTime);
    }

    void TearDown() override
    {
        StopWorkers();
        FrameTest::TearDown();
    }

    // ---- Workers -----------------------------------------------------------------------
    // Each worker keeps a handle for a while and drops it when the device refuses it
    // (removal under way) or after some requests, so that a removal never waits long.
    void StartWorkers()
    {
        stop_.store(false);
        workers_.emplace_back([this] { PortWorker(); });
        workers_.emplace_back([this] { AcquisitionWorker(); });
    }

    void StopWorkers()
    {
        stop_.store(true);
        for (std::thread &t : workers_)
            t.join();
        workers_.clear();
    }

    static bool Refused(NTSTATUS s) { return s == STATUS_DELETE_PENDING || s == STATUS_NO_SUCH_DEVICE; }

    void PortWorker()
    {
        HANDLE h = nullptr;
        int uses = 0;
        while (!stop_.load()) {
            if (h == nullptr && !NT_SUCCESS(plat::OpenDevicePath("\\\\.\\Tq4815x", &h))) {
                h = nullptr;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            UCHAR record[8] = {};
            const USHORT port = static_cast<USHORT>(sim::kDefaultBoardPort + 3);
            std::memcpy(record, &port, sizeof(port));
            ULONG_PTR info = 0;
            NTSTATUS s = plat::DeviceControl(h, IOCTL_IN_BYTE, record, 2, record, 2, &info);
            ULONG lastError = 0;
            NTSTATUS e = plat::DeviceControl(h, IOCTL_GET_LAST_ERROR, nullptr, 0, &lastError, 4, &info);
            ioRequests_.fetch_add(2);
            if (NT_SUCCESS(s) && NT_SUCCESS(e))
                ioSucceeded_.fetch_add(1);
            if (Refused(s) || Refused(e) || ++uses >= 64) {
                plat::CloseHandle(h);
                h = nullptr;
                uses = 0;
            }
        }
        if (h != nullptr)
            plat::CloseHandle(h);
    }

    void AcquisitionWorker()
    {
        HANDLE event = nullptr;
        ASSERT_EQ(plat::CreateEventObject(FALSE, FALSE, &event), STATUS_SUCCESS);
        while (!stop_.load()) {
            HANDLE h = nullptr;
            if (!NT_SUCCESS(plat::OpenDevicePath("\\\\.\\Tq4815x", &h))) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            ULONG_PTR info = 0;
            UCHAR initial[16] = {};
            plat::DeviceControl(h, IOCTL_INITIAL, initial, sizeof(initial), nullptr, 0, &info);
            TqStartRecord r{};
            r.ScansPerBuffer = 5;
            r.Rate = 2000;
            r.EventHandle = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(event));
            r.BufferCount = 4;
            r.ChannelCount = 2;
            NTSTATUS s = plat::DeviceControl(h, IOCTL_START, &r, sizeof(r), nullptr, 0, &info);
            if (NT_SUCCESS(s)) {
                acquisitions_.fetch_add(1);
                USHORT buffer[2 * 5 * 2 + 1] = {};
                for (int i = 0; i < 20 && !stop_.load(); ++i) {
                    NTSTATUS rd = plat::DeviceControl(h, IOCTL_READ_OLDEST, nullptr, 0, buffer, sizeof(buffer), &info);
                    if (NT_SUCCESS(rd))
                        buffersRead_.fetch_add(1);
                    if (Refused(rd))
                        break;
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
                // Succeeds only when nothing else stopped the acquisition meanwhile.
                if (NT_SUCCESS(plat::DeviceControl(h, IOCTL_STOP, nullptr, 0, nullptr, 0, &info)))
                    acquisitionsStopped_.fetch_add(1);
            }
            plat::CloseHandle(h);
        }
        plat::CloseHandle(event);
    }

    // ---- Steps -------------------------------------------------------------------------
    void Send(UCHAR minor) { ASSERT_EQ(plat::PnpSend(pdo_, minor), STATUS_SUCCESS) << "minor " << int(minor); }
    void ExpectState(ULONG state) { ASSERT_EQ(Dc()->PnpState, state); }

    // Runs `cycle` the configured number of times with the workers running, then checks
    // that requests got through and nothing was reported.
    void Run(const std::function<void(int)> &cycle)
    {
        const int cycles = TortureCycles(kDefaultCycles);
        StartWorkers();
        // I/O before the first step, and an acquisition under way.
        ASSERT_TRUE(WaitUntil([&] { return ioSucceeded_.load() > 0 && acquisitions_.load() > 0; }));
        for (int i = 0; i < cycles && !HasFatalFailure(); ++i) {
            SCOPED_TRACE(testing::Message() << "cycle " << i);
            cycle(i);
            ASSERT_EQ(ViolationCount(), 0u);
        }
        // I/O after the last step.
        const std::uint64_t before = ioSucceeded_.load();
        EXPECT_TRUE(WaitUntil([&] { return ioSucceeded_.load() > before; }));
        StopWorkers();
        EXPECT_GT(ioRequests_.load(), 0u);
    }

    std::atomic<bool> stop_{false};
    std::vector<std::thread> workers_;
    std::atomic<std::uint64_t> ioRequests_{0}, ioSucceeded_{0}, acquisitions_{0}, acquisitionsStopped_{0},
        buffersRead_{0};
};

TEST_F(FrameTorture, StopAndStartAgain)
{
    Run([&](int) {
        Send(IRP_MN_QUERY_STOP_DEVICE);
        Send(IRP_MN_STOP_DEVICE);
        ExpectState(PNP_STOPPED);
        ASSERT_EQ(Dc()->InterruptObject, nullptr);
        ASSERT_EQ(Dc()->Running, 0);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ExpectState(PNP_STARTED);
    });
    EXPECT_GT(acquisitions_.load(), 0u);
}

TEST_F(FrameTorture, QueryRemoveThenCancel)
{
    Run([&](int) {
        Send(IRP_MN_QUERY_REMOVE_DEVICE);
        ExpectState(PNP_REMOVE_PENDING);
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // requests keep flowing
        Send(IRP_MN_CANCEL_REMOVE_DEVICE);
        ExpectState(PNP_STARTED);
    });
    // Neither step stops an acquisition: each one the worker started, it stopped itself.
    EXPECT_EQ(acquisitionsStopped_.load(), acquisitions_.load());
}

TEST_F(FrameTorture, RebalanceOntoOtherPortsAndInterrupt)
{
    const sim::ResourceLayout layouts[2] = {MovedLayout(), sim::ResourceLayout::Default()};
    Run([&](int i) {
        const sim::ResourceLayout &next = layouts[i % 2];
        Send(IRP_MN_QUERY_STOP_DEVICE);
        Send(IRP_MN_STOP_DEVICE);
        Replug(next);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ExpectState(PNP_STARTED);
        ASSERT_EQ(Dc()->BoardBase, static_cast<ULONG>(next.items[2].translatedStart));
        ASSERT_EQ(Dc()->IrqLevel, static_cast<USHORT>(next.items[3].rawVector));
    });
}

TEST_F(FrameTorture, QueryStopThenCancel)
{
    Run([&](int) {
        Send(IRP_MN_QUERY_STOP_DEVICE);
        ExpectState(PNP_STOP_PENDING);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        Send(IRP_MN_CANCEL_STOP_DEVICE);
        ExpectState(PNP_STARTED);
        ASSERT_NE(Dc()->InterruptObject, nullptr);
    });
    EXPECT_EQ(acquisitionsStopped_.load(), acquisitions_.load());
}

TEST_F(FrameTorture, SurpriseRemovalRemovalAndAddAgain)
{
    Run([&](int) {
        // A client waits for a notification while the workers acquire and read: the card
        // vanishing must complete the waiting request, once, as cancelled.
        HANDLE h = OpenOrFail();
        auto w = StartWait(h);
        ASSERT_EQ(plat::PnpSurpriseRemoval(pdo_), STATUS_SUCCESS);
        ExpectState(PNP_SURPRISE_REMOVED);
        ASSERT_EQ(FinishWait(w), STATUS_CANCELLED);
        ASSERT_EQ(Dc()->InterruptObject, nullptr);
        ASSERT_EQ(Dc()->Running, 0);
        Close(h);
        ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);  // waits for the workers' handles
        ASSERT_EQ(Fdo(), nullptr);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ExpectState(PNP_STARTED);
    });
}

TEST_F(FrameTorture, CardVanishesUnderAnAcquisitionOnASharedLine)
{
    PKINTERRUPT neighbour = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&neighbour, NeighbourService, nullptr, nullptr, sim::kDefaultInterruptVector,
                                 static_cast<KIRQL>(sim::kDefaultInterruptIrql),
                                 static_cast<KIRQL>(sim::kDefaultInterruptIrql), LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    Run([&](int) {
        // The card leaves the machine, most often under a running acquisition; the Plug
        // and Play manager has not noticed yet, and the neighbour needs service meanwhile:
        // the driver's routine must leave the line to it (no storm), and the workers'
        // requests go on against the floating bus without waiting for the card.
        (void)WaitUntil([&] { return LoadShared(&Dc()->Running) != 0; }, 1);
        machine_->Host().SetPresent(false);
        for (int k = 0; k < 3; ++k) {
            const int served = gNeighbourServed.load();
            gNeighbourRaised.store(true);
            plat::SetInterruptLine(sim::kDefaultInterruptVector, true);
            ASSERT_TRUE(WaitUntil([&] { return gNeighbourServed.load() > served; }));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        ASSERT_EQ(plat::PnpSurpriseRemoval(pdo_), STATUS_SUCCESS);
        ExpectState(PNP_SURPRISE_REMOVED);
        ASSERT_EQ(Dc()->Running, 0);
        ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);  // waits for the workers' handles
        machine_->Host().SetPresent(true);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ExpectState(PNP_STARTED);
    });
    IoDisconnectInterrupt(neighbour);
    EXPECT_GT(acquisitions_.load(), 0u);
}

TEST_F(FrameTorture, SleepAndWakeWithAWaitingRequest)
{
    HANDLE h = OpenOverlappedOrFail();  // posts on the handle its own wait is pending on
    Run([&](int i) {
        auto w = StartWait(h);
        ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(FinishWait(w), STATUS_CANCELLED);
        ASSERT_EQ(Dc()->DevicePower, PowerDeviceD3);
        ASSERT_EQ(WaitRefusal(h), STATUS_DEVICE_POWERED_OFF);
        ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        ASSERT_EQ(Dc()->DevicePower, PowerDeviceD0);
        ASSERT_EQ(Dc()->SystemPower, PowerSystemWorking);
        auto again = StartWait(h);
        ULONG value = static_cast<ULONG>(i) * 2654435761u;
        ASSERT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
        ASSERT_EQ(FinishWait(again), STATUS_SUCCESS);
        ASSERT_EQ(again->value, value);
    });
    EXPECT_GT(acquisitions_.load(), 0u);
}

}  // namespace
}  // namespace frame
