// Power requests through the driver's power state machine: system sleep and wake with the
// device request each system request asks for (in the order the lower drivers see them),
// queries, set-power to the current state, the differences below WDM 1.10, failures of
// the lower drivers and of PoRequestPowerIrp, and what the dispatch routine returns.
#include "frame_fixture.h"

namespace frame {
namespace {

struct PowerSeen {
    bool system;  // system (true) or device power state
    UCHAR minor;
    LONG state;
    KIRQL irql;
};

class PowerTest : public FrameTest {
protected:
    // Boots, and has the driver record capabilities in which S3 maps to D2.
    void BootWithCapabilities(UCHAR wdmMinor = 0x10)
    {
        Boot("default", wdmMinor);
        DEVICE_CAPABILITIES caps = plat::DefaultPdoCapabilities();
        caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
        plat::SetPdoCapabilities(pdo_, caps);
        ASSERT_EQ(plat::PnpQueryCapabilities(pdo_, 1, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(Dc()->Capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
        plat::ClearBusRequestLog(pdo_);
    }

    // The set-power and query-power requests that reached the bus, in order.
    std::vector<PowerSeen> PowerLog()
    {
        std::vector<PowerSeen> out;
        for (const plat::BusRequest &r : BusLog(IRP_MJ_POWER)) {
            if (r.minorFunction != IRP_MN_SET_POWER && r.minorFunction != IRP_MN_QUERY_POWER)
                continue;
            const bool system = r.powerType == SystemPowerState;
            out.push_back({system, r.minorFunction,
                           system ? LONG(r.powerState.SystemState) : LONG(r.powerState.DeviceState), r.irql});
        }
        return out;
    }

    // The lower drivers fail device set-power requests with `status`; everything else succeeds.
    void FailDeviceSetPowerBelow(NTSTATUS status)
    {
        plat::SetBusStatus(pdo_, IRP_MJ_POWER, IRP_MN_SET_POWER, plat::kBusLeavesStatus);
        plat::SetBusRequestHook(pdo_, [status](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            if (sp->MajorFunction != IRP_MJ_POWER || sp->MinorFunction != IRP_MN_SET_POWER)
                return;
            irp->IoStatus.Status = sp->Parameters.Power.Type == DevicePowerState ? status : STATUS_SUCCESS;
        });
    }

    void ExpectIdle()
    {
        plat::PowerWaitIdle();
        EXPECT_EQ(Dc()->RemoveLock.Count, 1 + LONG(handles_.size()) * (OldWdm ? 0 : 1));
    }
};

void ExpectLog(const std::vector<PowerSeen> &seen, std::initializer_list<PowerSeen> expected)
{
    ASSERT_EQ(seen.size(), expected.size());
    size_t i = 0;
    for (const PowerSeen &e : expected) {
        SCOPED_TRACE(testing::Message() << "power request " << i);
        EXPECT_EQ(seen[i].system, e.system);
        EXPECT_EQ(seen[i].minor, e.minor);
        EXPECT_EQ(seen[i].state, e.state);
        ++i;
    }
}

constexpr bool kSys = true, kDev = false;

TEST_F(PowerTest, SleepAsksForD3FirstAndWakeForwardsTheSystemRequestFirst)
{
    BootWithCapabilities();
    HANDLE h = OpenOverlappedOrFail();  // posts on the handle its own wait is pending on
    auto w = StartWait(h);

    // S0 -> S3: D2 in the capabilities, raised to D3; the device request goes first, aborts
    // the waiting request and records D3 before it is forwarded; then the system request.
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kDev, IRP_MN_SET_POWER, PowerDeviceD3, 0}, {kSys, IRP_MN_SET_POWER, PowerSystemSleeping3, 0}});
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(plat::RecordedDevicePowerState(Fdo()), PowerDeviceD3);  // told to the power manager
    EXPECT_EQ(Dc()->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(WaitRefusal(h), STATUS_DEVICE_POWERED_OFF);
    ExpectIdle();

    // S3 -> S0: the system request goes down first, then the device request for D0, which
    // clears the refusal once the lower drivers have powered the device up.
    plat::ClearBusRequestLog(pdo_);
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kSys, IRP_MN_SET_POWER, PowerSystemWorking, 0}, {kDev, IRP_MN_SET_POWER, PowerDeviceD0, 0}});
    EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
    EXPECT_EQ(plat::RecordedDevicePowerState(Fdo()), PowerDeviceD0);
    EXPECT_EQ(Dc()->RejectStatus, 0);
    auto again = StartWait(h);
    ULONG value = 0xA5A5F00D;
    EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(again), STATUS_SUCCESS);
    EXPECT_EQ(again->value, value);
    ExpectIdle();
}

TEST_F(PowerTest, WakeCompletesWithTheDeviceRequestsStatus)
{
    BootWithCapabilities();
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    plat::ClearBusRequestLog(pdo_);
    FailDeviceSetPowerBelow(STATUS_UNSUCCESSFUL);

    EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_UNSUCCESSFUL);
    ExpectLog(PowerLog(), {{kSys, IRP_MN_SET_POWER, PowerSystemWorking, 0}, {kDev, IRP_MN_SET_POWER, PowerDeviceD0, 0}});
    EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);  // the system request succeeded below
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);       // the device request did not
    EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
    ExpectIdle();
}

TEST_F(PowerTest, SleepIsNotForwardedWhenItsDeviceRequestFails)
{
    BootWithCapabilities();
    FailDeviceSetPowerBelow(STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_IO_DEVICE_ERROR);
    ExpectLog(PowerLog(), {{kDev, IRP_MN_SET_POWER, PowerDeviceD3, 0}});
    EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
    // A power-down records D3 before forwarding, whatever the lower drivers say.
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
    ExpectIdle();
}

TEST_F(PowerTest, FailingPoRequestPowerIrpFinishesTheSystemRequest)
{
    BootWithCapabilities();
    // Power-down path: completed with the failure, never forwarded.
    plat::FailPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(PowerLog().empty());
    EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
    ExpectIdle();

    // Power-up path: the system request already came back; it goes on with the lower
    // drivers' status, and the device stays where it was.
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    plat::ClearBusRequestLog(pdo_);
    plat::FailPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kSys, IRP_MN_SET_POWER, PowerSystemWorking, 0}});
    EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
    ExpectIdle();
}

TEST_F(PowerTest, QueriesAskForADeviceQueryAndChangeNothing)
{
    BootWithCapabilities();
    HANDLE h = OpenOverlappedOrFail();  // posts on the handle its own wait is pending on
    auto w = StartWait(h);
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kDev, IRP_MN_QUERY_POWER, PowerDeviceD3, 0}, {kSys, IRP_MN_QUERY_POWER, PowerSystemSleeping3, 0}});
    EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
    EXPECT_EQ(Dc()->RejectStatus, 0);
    EXPECT_FALSE(w->done.load());  // a query aborts nothing

    // A refused device query refuses the system query, which then goes no further.
    plat::ClearBusRequestLog(pdo_);
    plat::SetBusStatus(pdo_, IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    ExpectLog(PowerLog(), {{kDev, IRP_MN_QUERY_POWER, PowerDeviceD3, 0}});
    plat::ResetBusStatus(pdo_);

    ULONG value = 7;
    EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_SUCCESS);
    ExpectIdle();
}

TEST_F(PowerTest, SetPowerToTheCurrentStateCountsAsAPowerDownExceptD0WhichAcceptsWaitsAgain)
{
    BootWithCapabilities();
    HANDLE h = OpenOrFail();

    // A vetoed sleep: the system query fails below, and the system stays in S0 with a
    // set-power S0 while working. Its device request, D0 while in D0, takes no power away:
    // the waiting request goes on waiting and waits stay accepted.
    auto w = StartWait(h);
    plat::SetBusStatus(pdo_, IRP_MJ_POWER, IRP_MN_QUERY_POWER, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    plat::ResetBusStatus(pdo_);
    plat::ClearBusRequestLog(pdo_);
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kDev, IRP_MN_SET_POWER, PowerDeviceD0, 0}, {kSys, IRP_MN_SET_POWER, PowerSystemWorking, 0}});
    EXPECT_FALSE(w->done.load());
    EXPECT_EQ(Dc()->RejectStatus, 0);
    ULONG value = 5;
    EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_SUCCESS);
    // A refusal left standing (a release of the resources) is cleared by D0 while in D0.
    InterlockedExchange(&Dc()->RejectStatus, STATUS_CANCELLED);
    ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->RejectStatus, 0);

    // Device D3 while in D3: a power-down again, which aborts and refuses.
    ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);  // power-up
    w = StartWait(h);
    ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    InterlockedExchange(&Dc()->RejectStatus, 0);
    w = StartWait(h);
    ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(WaitRefusal(h), STATUS_DEVICE_POWERED_OFF);
    ExpectIdle();
}

TEST_F(PowerTest, BelowWdm110NoDeviceRequestIsSentForTheStateTheDeviceIsIn)
{
    BootWithCapabilities(0x00);
    ASSERT_EQ(OldWdm, 1);
    HANDLE h = OpenOrFail();
    auto w = StartWait(h);
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kSys, IRP_MN_SET_POWER, PowerSystemWorking, 0}});
    EXPECT_FALSE(w->done.load());
    EXPECT_EQ(Dc()->RejectStatus, 0);

    // Asleep in D3, a second sleep request needs no device request either.
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    plat::ClearBusRequestLog(pdo_);
    ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemHibernate), STATUS_SUCCESS);
    ExpectLog(PowerLog(), {{kSys, IRP_MN_SET_POWER, PowerSystemHibernate, 0}});
    EXPECT_EQ(Dc()->SystemPower, PowerSystemHibernate);
    ExpectIdle();
}

TEST_F(PowerTest, BelowWdm110RequestsForwardedAtDispatchLevelGoDownFromAWorkItem)
{
    for (UCHAR wdmMinor : {UCHAR(0x00), UCHAR(0x10)}) {
        SCOPED_TRACE(testing::Message() << "WDM minor " << int(wdmMinor));
        BootWithCapabilities(wdmMinor);
        // Completions (and the power manager's completion functions) run at DISPATCH_LEVEL,
        // so the sleeping system request is forwarded from there.
        plat::SetBusCompletion(pdo_, IRP_MJ_POWER, plat::BusCompletion::AtDispatchLevel);
        ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        plat::SetBusCompletion(pdo_, IRP_MJ_POWER, plat::BusCompletion::Pended);
        ASSERT_EQ(plat::PowerSendSystem(pdo_, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        const std::vector<PowerSeen> seen = PowerLog();
        ASSERT_EQ(seen.size(), 4u);
        // Below WDM 1.10 the driver itself defers forwarding from DISPATCH_LEVEL to a work
        // item, so the lower drivers are entered at PASSIVE_LEVEL; from 1.10 on that is the
        // power manager's business (a bus driver that is not pageable may then be entered at
        // DISPATCH_LEVEL).
        if (wdmMinor < 0x10) {
            for (const PowerSeen &s : seen) {
                EXPECT_EQ(s.irql, PASSIVE_LEVEL);
            }
        }
        EXPECT_EQ(Dc()->SystemPower, PowerSystemWorking);
        EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
        plat::FlushWorkItems();
        ExpectIdle();
        EXPECT_EQ(ViolationCount(), 0u);
        Shutdown();
    }
}

TEST_F(PowerTest, DispatchReturnsPendingForEverySetAndQueryAndPassesOthersDown)
{
    BootWithCapabilities();
    struct Case {
        UCHAR minor;
        POWER_STATE_TYPE type;
        LONG state;
        NTSTATUS dispatchReturns;
        NTSTATUS completes;
    };
    const Case cases[] = {
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, STATUS_PENDING, STATUS_SUCCESS},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, STATUS_PENDING, STATUS_SUCCESS},
        {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, STATUS_PENDING, STATUS_SUCCESS},
        {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0, STATUS_PENDING, STATUS_SUCCESS},
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping1, STATUS_PENDING, STATUS_SUCCESS},
        // Not the machine's: straight down, the bus leaving the status as it was.
        {IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemWorking, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {IRP_MN_POWER_SEQUENCE, SystemPowerState, PowerSystemWorking, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "minor " << int(c.minor) << " state " << c.state);
        const size_t poolBefore = plat::PoolBlocksOutstanding(kWdmTag);
        DirectIrp record;
        EXPECT_EQ(SendDirect(Fdo(), IRP_MJ_POWER, c.minor, &record, c.type, c.state), c.dispatchReturns);
        plat::PowerWaitIdle();
        ASSERT_TRUE(WaitUntil([&] { return record.completed.load(); }));
        EXPECT_EQ(record.status, c.completes);
        EXPECT_EQ(plat::PoolBlocksOutstanding(kWdmTag), poolBefore);  // the transaction is freed
        ExpectIdle();
    }
}

TEST_F(PowerTest, ARequestThatMeetsARemovalBeginningIsFinishedAtOnceWithDeletePending)
{
    BootWithCapabilities();
    DeviceContext *dc = Dc();
    // The removal begins on another processor just as the dispatch routine, its own
    // remove-lock reference taken, allocates the request's transaction.
    std::thread removal;
    std::atomic<bool> armed{true};
    plat::SetPoolAllocationHook([&](ULONG tag) {
        if (tag != kWdmTag || !armed.exchange(false))
            return;
        removal = std::thread([this] { EXPECT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS); });
        EXPECT_TRUE(WaitUntil([&] { return __atomic_load_n(&dc->RemoveLock.Removing, __ATOMIC_ACQUIRE) != 0; }));
    });
    DirectIrp record;
    EXPECT_EQ(SendDirect(Fdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, &record, DevicePowerState, PowerDeviceD3),
              STATUS_PENDING);
    plat::SetPoolAllocationHook(nullptr);
    // Finished at once: never forwarded, so no completion routine of it can outlive the device.
    ASSERT_TRUE(WaitUntil([&] { return record.completed.load(); }));
    EXPECT_EQ(record.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(record.information, 0u);
    removal.join();
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_TRUE(PowerLog().empty());
}

TEST_F(PowerTest, NoPoolForTheTransactionRefusesTheRequest)
{
    BootWithCapabilities();
    plat::InjectPoolFailureByTag(kWdmTag, 1);
    EXPECT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(PowerLog().empty());
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD0);
    ExpectIdle();
}

}  // namespace
}  // namespace frame
