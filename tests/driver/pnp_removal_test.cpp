// Removal and surprise removal: what the removal waits for, what is refused once it has
// begun, what it returns, releasing the resources exactly once, and stopping an
// acquisition that still runs when the resources go.
#include "frame_fixture.h"

#include "sim/registers.h"

#include <future>

namespace frame {
namespace {

using PnpRemovalTest = FrameTest;

// A ring acquisition of `channels` channels at `rate` Hz, signalling `event`.
TqStartRecord RingRecord(HANDLE event, USHORT channels = 2, LONG rate = 1000)
{
    TqStartRecord r{};
    r.ScansPerBuffer = 10;
    r.Rate = rate;
    r.EventHandle = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(event));
    r.BufferCount = 4;
    r.ChannelCount = channels;
    return r;
}

TEST_F(PnpRemovalTest, RemovalWaitsForEveryHandleAndRefusesEverythingMeanwhile)
{
    Boot();
    HANDLE first = OpenOrFail();
    HANDLE second = OpenOrFail();
    PDEVICE_OBJECT fdo = Fdo();

    std::atomic<bool> removed{false};
    auto removal = std::async(std::launch::async, [&] {
        NTSTATUS status = plat::PnpRemoveDevice(pdo_);
        removed.store(true);
        return status;
    });
    // The removal has begun once the remove lock says so; it is still waiting for the handles.
    ASSERT_TRUE(WaitUntil([&] {
        return removed.load() || __atomic_load_n(&ContextOf(fdo)->RemoveLock.Removing, __ATOMIC_ACQUIRE) != 0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(removed.load()) << "the removal did not wait for the open handles";

    // Device control, Plug and Play and power requests are all refused with "delete pending".
    ULONG lastError = 0;
    ULONG_PTR information = 99;
    EXPECT_EQ(Ioctl(first, IOCTL_GET_LAST_ERROR, nullptr, 0, &lastError, sizeof(lastError), &information),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    DirectIrp pnp, power;
    EXPECT_EQ(SendDirect(fdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &pnp), STATUS_DELETE_PENDING);
    EXPECT_TRUE(pnp.completed.load());
    EXPECT_EQ(pnp.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(SendDirect(fdo, IRP_MJ_PNP, 0x18, &pnp), STATUS_DELETE_PENDING);
    EXPECT_EQ(SendDirect(fdo, IRP_MJ_POWER, IRP_MN_SET_POWER, &power, DevicePowerState, PowerDeviceD3),
              STATUS_DELETE_PENDING);
    EXPECT_TRUE(power.completed.load());
    EXPECT_EQ(power.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(power.information, 0u);
    HANDLE third = nullptr;
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &third), STATUS_DELETE_PENDING);

    Close(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(removed.load());
    Close(second);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\Tq4815x"), nullptr);
}

TEST_F(PnpRemovalTest, OldWdmHandlesDoNotHoldTheRemoval)
{
    Boot("default", 0x00);
    HANDLE h = OpenOrFail();
    ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    // Stopped: the query is not refused, and the removal does not wait for the handle.
    ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Fdo(), nullptr);
    Close(h);
}

TEST_F(PnpRemovalTest, RemovalReturnsTheLowerDriversStatusAfterDeletingTheDevice)
{
    Boot();
    plat::SetBusStatus(pdo_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\Tq4815x"), nullptr);
}

TEST_F(PnpRemovalTest, SurpriseRemovalThenRemovalReleasesOnce)
{
    for (const char *layout : {"default", "bridge-in-memory", "board-in-memory"}) {
        SCOPED_TRACE(layout);
        Boot(layout);
        HANDLE h = OpenOrFail();
        auto w = StartWait(h);
        ASSERT_EQ(plat::PnpSurpriseRemoval(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
        const DeviceContext *dc = Dc();
        EXPECT_EQ(dc->PnpState, ULONG(PNP_SURPRISE_REMOVED));
        EXPECT_EQ(dc->InterruptObject, nullptr);
        EXPECT_EQ(dc->PortBase[0], 0u);
        EXPECT_EQ(dc->PortBase[1], 0u);
        EXPECT_EQ(dc->MemBase[0], nullptr);
        EXPECT_EQ(dc->RejectStatus, STATUS_CANCELLED);
        EXPECT_EQ(WaitRefusal(h), STATUS_CANCELLED);
        Close(h);
        // The removal's release finds nothing: no second disconnect or unmap is reported.
        EXPECT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(ViolationCount(), 0u);
        Shutdown();
    }
}

TEST_F(PnpRemovalTest, ReleasingTheResourcesStopsARunningAcquisition)
{
    struct Case {
        const char *name;
        UCHAR minor;  // what releases the resources
    };
    const Case cases[] = {
        {"stop", IRP_MN_STOP_DEVICE},
        {"surprise removal", IRP_MN_SURPRISE_REMOVAL},
        {"removal", IRP_MN_REMOVE_DEVICE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Boot();
        HANDLE h = OpenOrFail();
        HANDLE event = nullptr;
        ASSERT_EQ(plat::CreateEventObject(FALSE, FALSE, &event), STATUS_SUCCESS);
        UCHAR initial[16] = {};
        ASSERT_EQ(Ioctl(h, IOCTL_INITIAL, initial, sizeof(initial)), STATUS_SUCCESS);
        TqStartRecord start = RingRecord(event);
        ASSERT_EQ(Ioctl(h, IOCTL_START, &start, sizeof(start)), STATUS_SUCCESS);
        plat::AdvanceBy(50'000'000);  // 50 ms: buffers fill, the DPC signals the event
        const std::uint64_t conversionsBefore = CardModel().Conversions().Total();
        EXPECT_GT(conversionsBefore, 0u);
        ASSERT_EQ(plat::WaitForHandle(event, 0), STATUS_SUCCESS);

        if (c.minor == IRP_MN_REMOVE_DEVICE) {
            Close(h);
            ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
        } else {
            ASSERT_EQ(plat::PnpSend(pdo_, c.minor), STATUS_SUCCESS);
            const DeviceContext *dc = Dc();
            EXPECT_EQ(dc->Running, 0);
            EXPECT_EQ(dc->UserEvent, nullptr);
            EXPECT_EQ(dc->InterruptObject, nullptr);
            EXPECT_EQ(dc->BufferTable, nullptr);  // nothing of the acquisition outlives its resources
            // The readers see no acquisition.
            USHORT count = 0;
            EXPECT_EQ(Ioctl(h, IOCTL_QUERY_BUF, nullptr, 0, &count, sizeof(count)), STATUS_UNSUCCESSFUL);
        }
        // The card was told to stop: its counter paces nothing and no interrupt is enabled.
        EXPECT_EQ(CardModel().PeekIntCsr(plat::Now()) & (INTCSR_LINT1_ENABLE | INTCSR_PCI_ENABLE), 0u);
        const std::uint64_t conversionsAfterStop = CardModel().Conversions().Total();
        plat::AdvanceBy(50'000'000);
        EXPECT_EQ(CardModel().Conversions().Total(), conversionsAfterStop);
        // Nothing signals the event after the release.
        EXPECT_EQ(plat::ResetEventHandle(event), STATUS_SUCCESS);
        plat::AdvanceBy(10'000'000);
        EXPECT_EQ(plat::WaitForHandle(event, 0), STATUS_TIMEOUT);
        EXPECT_EQ(plat::CloseHandle(event), STATUS_SUCCESS);
        Shutdown();
    }
}

}  // namespace
}  // namespace frame
