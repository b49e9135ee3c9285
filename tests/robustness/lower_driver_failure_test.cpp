// The lower drivers failing each Plug and Play and power request in turn, on a started
// device with an open handle, a running acquisition and (where the state allows one) a
// waiting notification request. The bus driver below completes the chosen request with a
// failure status; each case checks what the driver answers, the state it is left in, what
// happened to the waiting request, that nothing was leaked or left referenced, and then
// takes the way back the Plug and Play or power manager would take (cancel, restart, wake,
// removal). The machine is shut down after every case: no pool, device, link or
// interrupt may be left, and the verifier must stay silent.
#include "frame_fixture.h"

#include <functional>

namespace frame {
namespace {

// A status no path of the driver produces by itself, so that seeing it proves it came up
// from below.
constexpr NTSTATUS kFail = STATUS_IO_DEVICE_ERROR;

enum class WaitFate { None, Kept, Cancelled };

struct Case {
    const char *name;
    std::function<void()> before;  // brings the device to the state the step starts from
    UCHAR major;
    UCHAR minor;
    std::function<NTSTATUS()> step;
    WaitFate wait;
    std::function<void()> after;  // the state left behind, then the way back
};

class LowerDriverFailure : public FrameTest {
protected:
    // Started, capabilities recorded (sleeping state S3 maps to D2), a handle with an
    // acquisition running on it.
    void BootRunning()
    {
        Boot();
        DEVICE_CAPABILITIES caps = plat::DefaultPdoCapabilities();
        caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
        plat::SetPdoCapabilities(pdo_, caps);
        ASSERT_EQ(plat::PnpQueryCapabilities(pdo_, 1, nullptr), STATUS_SUCCESS);
        handle_ = OpenOverlappedOrFail();  // posts on the handle its own wait is pending on
        ASSERT_EQ(plat::CreateEventObject(FALSE, FALSE, &event_), STATUS_SUCCESS);
        TqInitialRecord initial{};
        ASSERT_EQ(Ioctl(handle_, IOCTL_INITIAL, &initial, sizeof(initial)), STATUS_SUCCESS);
        TqStartRecord record{};
        record.ScansPerBuffer = 10;
        record.Rate = 1000;
        record.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event_));
        record.BufferCount = 4;
        record.ChannelCount = 2;
        ASSERT_EQ(Ioctl(handle_, IOCTL_START, &record, sizeof(record)), STATUS_SUCCESS);
        ASSERT_EQ(Dc()->Running, 1);
    }

    void Finish()
    {
        plat::ResetBusStatus(pdo_);
        plat::PowerWaitIdle();
        if (handle_ != nullptr)
            Close(handle_);
        handle_ = nullptr;
        plat::CloseHandle(event_);
        event_ = nullptr;
        Shutdown();  // removal (when the device is still there), unload checks, no 'Wdm ' pool
    }

    void Send(UCHAR minor, NTSTATUS expected = STATUS_SUCCESS)
    {
        EXPECT_EQ(plat::PnpSend(pdo_, minor), expected) << "minor " << int(minor);
    }
    // Power requests of this kind that reached the bus since the log was cleared.
    size_t PowerAtBus(bool system, UCHAR minor)
    {
        size_t n = 0;
        for (const plat::BusRequest &r : BusLog(IRP_MJ_POWER))
            n += r.minorFunction == minor && (r.powerType == SystemPowerState) == system;
        return n;
    }
    void ExpectReleased()
    {
        EXPECT_EQ(Dc()->InterruptObject, nullptr);
        EXPECT_EQ(Dc()->Running, 0);
        EXPECT_EQ(Dc()->RejectStatus, STATUS_CANCELLED);
    }
    void ExpectClaimed(ULONG state)
    {
        EXPECT_EQ(Dc()->PnpState, state);
        EXPECT_NE(Dc()->InterruptObject, nullptr);
    }

    HANDLE handle_ = nullptr;
    HANDLE event_ = nullptr;
};

TEST_F(LowerDriverFailure, EachPnpAndPowerRequestFailedBelowGivesItsResultAndLeavesNothingBehind)
{
    const Case cases[] = {
        // ---- Plug and Play -------------------------------------------------------------
        {"restart after a stop", [&] { Send(IRP_MN_QUERY_STOP_DEVICE); Send(IRP_MN_STOP_DEVICE); },
         IRP_MJ_PNP, IRP_MN_START_DEVICE, [&] { return Start(); }, WaitFate::None,
         [&] {
             // Nothing was claimed: the device stays stopped until a start succeeds.
             EXPECT_EQ(Dc()->PnpState, ULONG(PNP_STOPPED));
             EXPECT_EQ(Dc()->InterruptObject, nullptr);
             plat::ResetBusStatus(pdo_);
             EXPECT_EQ(Start(), STATUS_SUCCESS);
             ExpectClaimed(PNP_STARTED);
         }},
        {"query-stop", [] {}, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE,
         [&] { return plat::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE); }, WaitFate::Kept,
         [&] {
             // The state moves before the query goes down; the manager then cancels it.
             ExpectClaimed(PNP_STOP_PENDING);
             EXPECT_EQ(Dc()->Running, 1);
             plat::ResetBusStatus(pdo_);
             Send(IRP_MN_CANCEL_STOP_DEVICE);
             ExpectClaimed(PNP_STARTED);
         }},
        {"cancel-stop", [&] { Send(IRP_MN_QUERY_STOP_DEVICE); }, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE,
         [&] { return plat::PnpSend(pdo_, IRP_MN_CANCEL_STOP_DEVICE); }, WaitFate::Kept,
         [&] {
             ExpectClaimed(PNP_STOP_PENDING);
             plat::ResetBusStatus(pdo_);
             Send(IRP_MN_CANCEL_STOP_DEVICE);
             ExpectClaimed(PNP_STARTED);
         }},
        {"stop", [&] { Send(IRP_MN_QUERY_STOP_DEVICE); }, IRP_MJ_PNP, IRP_MN_STOP_DEVICE,
         [&] { return plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE); }, WaitFate::Cancelled,
         [&] {
             // The driver's part is done before the request goes down.
             EXPECT_EQ(Dc()->PnpState, ULONG(PNP_STOPPED));
             ExpectReleased();
             plat::ResetBusStatus(pdo_);
             EXPECT_EQ(Start(), STATUS_SUCCESS);
             ExpectClaimed(PNP_STARTED);
         }},
        {"query-remove", [] {}, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE,
         [&] { return plat::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE); }, WaitFate::Kept,
         [&] {
             ExpectClaimed(PNP_REMOVE_PENDING);
             plat::ResetBusStatus(pdo_);
             Send(IRP_MN_CANCEL_REMOVE_DEVICE);
             ExpectClaimed(PNP_STARTED);
             EXPECT_EQ(Dc()->Running, 1);
         }},
        {"cancel-remove", [&] { Send(IRP_MN_QUERY_REMOVE_DEVICE); }, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE,
         [&] { return plat::PnpSend(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE); }, WaitFate::Kept,
         [&] {
             ExpectClaimed(PNP_REMOVE_PENDING);
             plat::ResetBusStatus(pdo_);
             Send(IRP_MN_CANCEL_REMOVE_DEVICE);
             ExpectClaimed(PNP_STARTED);
         }},
        {"surprise removal", [] {}, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL,
         [&] { return plat::PnpSurpriseRemoval(pdo_); }, WaitFate::Cancelled,
         [&] {
             EXPECT_EQ(Dc()->PnpState, ULONG(PNP_SURPRISE_REMOVED));
             ExpectReleased();
             // The removal that follows (at shutdown) still deletes everything.
         }},
        {"removal",
         [&] {
             // The removal waits for open handles: the client lets go first.
             Close(handle_);
             handle_ = nullptr;
         },
         IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [&] { return plat::PnpRemoveDevice(pdo_); }, WaitFate::None,
         [&] {
             EXPECT_EQ(Fdo(), nullptr);
             EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\Tq4815x"), nullptr);
         }},
        {"query-capabilities", [] {}, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
         [&] { return plat::PnpQueryCapabilities(pdo_, 1, nullptr); }, WaitFate::Kept,
         [&] {
             // The record of the earlier successful query stays.
             EXPECT_EQ(Dc()->Capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
             ExpectClaimed(PNP_STARTED);
         }},
        {"a request passed down untouched", [] {}, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
         [&] { return plat::PnpSend(pdo_, IRP_MN_QUERY_DEVICE_RELATIONS); }, WaitFate::Kept,
         [&] { ExpectClaimed(PNP_STARTED); }},
        // ---- Power -------------------------------------------------------------------------
        {"sleep", [] {}, IRP_MJ_POWER, IRP_MN_SET_POWER,
         [&] { return plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3); }, WaitFate::Cancelled,
         [&] {
             // The device request went first and failed: the system request was completed
             // with its failure and never forwarded. The device was recorded in D3 before
             // its request went down.
             EXPECT_EQ(PowerAtBus(false, IRP_MN_SET_POWER), 1u);
             EXPECT_EQ(PowerAtBus(true, IRP_MN_SET_POWER), 0u);
             EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
             EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
             plat::ResetBusStatus(pdo_);
             EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
             EXPECT_EQ(Dc()->RejectStatus, 0);
         }},
        {"wake", [&] { EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS); },
         IRP_MJ_POWER, IRP_MN_SET_POWER,
         [&] { return plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking); }, WaitFate::None,
         [&] {
             // The system request went first and failed: no device request, nothing raised.
             EXPECT_EQ(PowerAtBus(true, IRP_MN_SET_POWER), 1u);
             EXPECT_EQ(PowerAtBus(false, IRP_MN_SET_POWER), 0u);
             EXPECT_EQ(Dc()->SystemPower, PowerSystemSleeping3);
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
             EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
             plat::ResetBusStatus(pdo_);
             EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
             EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
             EXPECT_EQ(Dc()->RejectStatus, 0);
         }},
        {"query for sleep", [] {}, IRP_MJ_POWER, IRP_MN_QUERY_POWER,
         [&] { return plat::PowerSendSystem(pdo_, IRP_MN_QUERY_POWER, PowerSystemSleeping3); }, WaitFate::Kept,
         [&] {
             EXPECT_EQ(PowerAtBus(true, IRP_MN_QUERY_POWER), 0u);
             EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
             EXPECT_EQ(Dc()->RejectStatus, 0);
         }},
        {"device power-down", [] {}, IRP_MJ_POWER, IRP_MN_SET_POWER,
         [&] { return plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3); }, WaitFate::Cancelled,
         [&] {
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
             EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
             plat::ResetBusStatus(pdo_);
             EXPECT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
             EXPECT_EQ(Dc()->RejectStatus, 0);
         }},
        {"device power-up",
         [&] { EXPECT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS); },
         IRP_MJ_POWER, IRP_MN_SET_POWER,
         [&] { return plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD0); }, WaitFate::None,
         [&] {
             // Not raised, and waits stay refused until a power-up succeeds.
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
             EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
             EXPECT_EQ(WaitRefusal(handle_), STATUS_DEVICE_POWERED_OFF);
             plat::ResetBusStatus(pdo_);
             EXPECT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
             EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
             EXPECT_EQ(Dc()->RejectStatus, 0);
         }},
        {"wait-wake", [] {}, IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
         [&] { return plat::PowerSendDevice(pdo_, IRP_MN_WAIT_WAKE, PowerDeviceD0); }, WaitFate::Kept,
         [&] { EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0); }},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BootRunning();
        if (HasFatalFailure())
            return;
        c.before();
        std::unique_ptr<Waiter> w;
        if (c.wait != WaitFate::None)
            w = StartWait(handle_);
        plat::ClearBusRequestLog(pdo_);
        const size_t poolBefore = plat::PoolBlocksOutstanding(kWdmTag);

        plat::SetBusStatus(pdo_, c.major, c.minor, kFail);
        EXPECT_EQ(c.step(), kFail);
        plat::PowerWaitIdle();
        // The step's own allocations (the power transaction) are given back, and no request
        // kept a reference to the device.
        EXPECT_LE(plat::PoolBlocksOutstanding(kWdmTag), poolBefore);
        if (Dc() != nullptr) {
            EXPECT_EQ(Dc()->RemoveLock.Count, 1 + (handle_ != nullptr ? 1 : 0));
        }

        if (w) {
            if (c.wait == WaitFate::Cancelled) {
                EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
            } else {
                EXPECT_FALSE(w->done.load()) << "the failed step completed the waiting request";
                ULONG value = 0x600D;
                EXPECT_EQ(Ioctl(handle_, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
                EXPECT_EQ(FinishWait(w), STATUS_SUCCESS);
                EXPECT_EQ(w->value, value);
            }
        }
        c.after();
        Finish();
        EXPECT_EQ(ViolationCount(), 0u);
    }
}

}  // namespace
}  // namespace frame
