// Plug and Play state: start, query-stop/stop/cancel-stop and query-remove/cancel-remove
// from every state, on systems with and without WDM 1.10; what is passed down and what is
// completed by the driver; capabilities; codes past the table.
#include "frame_fixture.h"

namespace frame {
namespace {

// The states a test can bring the device to.
enum class From { NeverStarted, Started, StopPending, Stopped, RemovePendingFromStarted, RemovePendingFromStopped };

const char *Name(From f)
{
    switch (f) {
    case From::NeverStarted: return "never started";
    case From::Started: return "started";
    case From::StopPending: return "stop pending";
    case From::Stopped: return "stopped";
    case From::RemovePendingFromStarted: return "remove pending (from started)";
    case From::RemovePendingFromStopped: return "remove pending (from stopped)";
    }
    return "?";
}

class PnpStates : public FrameTest {
protected:
    void BringTo(From f, UCHAR wdmMinor)
    {
        Plug(Layout("default"), wdmMinor);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        if (f != From::NeverStarted && f != From::RemovePendingFromStopped) {
            ASSERT_EQ(Start(), STATUS_SUCCESS);
        }
        if (f == From::StopPending || f == From::Stopped) {
            ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        }
        if (f == From::Stopped) {
            ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        }
        if (f == From::RemovePendingFromStarted || f == From::RemovePendingFromStopped) {
            ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        }
        plat::ClearBusRequestLog(pdo_);
    }

    bool ReachedBus(UCHAR minor)
    {
        for (const plat::BusRequest &r : BusLog(IRP_MJ_PNP)) {
            if (r.minorFunction == minor)
                return true;
        }
        return false;
    }
};

TEST_F(PnpStates, QueriesAndCancellationsMoveTheStateAsTheLowerDriversAllow)
{
    struct Case {
        From from;
        UCHAR minor;
        NTSTATUS bus;      // what the bus completes the request with
        NTSTATUS result;
        ULONG state;
    };
    const NTSTATUS kFail = STATUS_INSUFFICIENT_RESOURCES;
    const Case cases[] = {
        {From::NeverStarted, IRP_MN_QUERY_STOP_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STOPPED},
        {From::Started, IRP_MN_QUERY_STOP_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STOP_PENDING},
        {From::Started, IRP_MN_QUERY_STOP_DEVICE, kFail, kFail, PNP_STOP_PENDING},  // never refused here
        {From::StopPending, IRP_MN_CANCEL_STOP_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STARTED},
        {From::StopPending, IRP_MN_CANCEL_STOP_DEVICE, kFail, kFail, PNP_STOP_PENDING},
        {From::Started, IRP_MN_CANCEL_STOP_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STARTED},
        {From::NeverStarted, IRP_MN_CANCEL_STOP_DEVICE, kFail, kFail, PNP_STOPPED},
        {From::StopPending, IRP_MN_STOP_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STOPPED},
        {From::Started, IRP_MN_STOP_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STOPPED},
        {From::Stopped, IRP_MN_START_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STARTED},
        {From::Started, IRP_MN_QUERY_REMOVE_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_REMOVE_PENDING},
        {From::NeverStarted, IRP_MN_QUERY_REMOVE_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_REMOVE_PENDING},
        {From::StopPending, IRP_MN_QUERY_REMOVE_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_REMOVE_PENDING},
        {From::RemovePendingFromStarted, IRP_MN_CANCEL_REMOVE_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STARTED},
        {From::RemovePendingFromStopped, IRP_MN_CANCEL_REMOVE_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STOPPED},
        {From::RemovePendingFromStarted, IRP_MN_CANCEL_REMOVE_DEVICE, kFail, kFail, PNP_REMOVE_PENDING},
        {From::Started, IRP_MN_CANCEL_REMOVE_DEVICE, kBusDefault, STATUS_SUCCESS, PNP_STARTED},
        {From::Stopped, IRP_MN_CANCEL_REMOVE_DEVICE, kFail, kFail, PNP_STOPPED},
    };
    for (UCHAR wdmMinor : {UCHAR(0x10), UCHAR(0x00)}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "OldWdm " << (wdmMinor < 0x10) << ", from " << Name(c.from)
                                            << ", minor 0x" << std::hex << int(c.minor));
            BringTo(c.from, wdmMinor);
            if (c.bus != kBusDefault)
                plat::SetBusStatus(pdo_, IRP_MJ_PNP, c.minor, c.bus);
            EXPECT_EQ(plat::PnpSend(pdo_, c.minor), c.result);
            EXPECT_EQ(Dc()->PnpState, c.state);
            EXPECT_TRUE(ReachedBus(c.minor));
            EXPECT_EQ(Dc()->RemoveLock.Count, 1);
            plat::ResetBusStatus(pdo_);
            Shutdown();
        }
    }
}

TEST_F(PnpStates, OldWdmRefusesQueryRemoveOnlyForAStartedDeviceWithAnOpenHandle)
{
    struct Case {
        UCHAR wdmMinor;
        bool started, handleOpen;
        NTSTATUS result;
        ULONG state;
    };
    const Case cases[] = {
        {0x00, true, true, STATUS_DEVICE_BUSY, PNP_STARTED},
        {0x00, true, false, STATUS_SUCCESS, PNP_REMOVE_PENDING},
        {0x00, false, true, STATUS_SUCCESS, PNP_REMOVE_PENDING},
        {0x10, true, true, STATUS_SUCCESS, PNP_REMOVE_PENDING},  // the removal will wait instead
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "WDM minor " << int(c.wdmMinor) << (c.started ? " started" : " stopped")
                                        << (c.handleOpen ? " with a handle" : ""));
        BringTo(c.started ? From::Started : From::NeverStarted, c.wdmMinor);
        HANDLE h = c.handleOpen ? OpenOrFail() : nullptr;
        EXPECT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE), c.result);
        EXPECT_EQ(Dc()->PnpState, c.state);
        EXPECT_EQ(ReachedBus(IRP_MN_QUERY_REMOVE_DEVICE), c.result == STATUS_SUCCESS);
        // A refused query is followed by nothing; an accepted one is cancelled.
        if (c.result == STATUS_SUCCESS) {
            EXPECT_EQ(plat::PnpSend(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
            EXPECT_EQ(Dc()->PnpState, c.started ? ULONG(PNP_STARTED) : ULONG(PNP_STOPPED));
        }
        if (h != nullptr)
            Close(h);
        Shutdown();
    }
}

TEST_F(PnpStates, StopAbortsWaitingRequestsAndLaterWaitsAreCancelledUntilRestartOrPowerUp)
{
    for (bool announced : {true, false}) {
        SCOPED_TRACE(announced ? "query-stop, then stop" : "stop without query-stop");
        BringTo(From::Started, 0x10);
        HANDLE h = OpenOverlappedOrFail();  // posts on the handle its own wait is pending on
        auto w = StartWait(h);
        if (announced) {
            ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        }
        ASSERT_EQ(plat::PnpSend(pdo_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);  // always cancelled, whatever the reject status
        EXPECT_EQ(Dc()->RejectStatus, STATUS_CANCELLED);
        EXPECT_EQ(WaitRefusal(h), STATUS_CANCELLED);

        // A new start clears the refusal, and so does a device power-up.
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        EXPECT_EQ(Dc()->RejectStatus, 0);
        ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
        EXPECT_EQ(WaitRefusal(h), STATUS_DEVICE_POWERED_OFF);
        ASSERT_EQ(plat::PowerSendDevice(pdo_, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_EQ(Dc()->RejectStatus, 0);
        auto again = StartWait(h);
        ULONG value = 0x12345678;
        EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
        EXPECT_EQ(FinishWait(again), STATUS_SUCCESS);
        EXPECT_EQ(again->value, 0x12345678u);
        Close(h);
        Shutdown();
    }
}

TEST_F(PnpStates, CodesPastTheTableAndPassDownCodesGoDownUntouched)
{
    BringTo(From::Started, 0x10);
    struct Case {
        UCHAR minor;
        NTSTATUS result;  // the bus's default: success for defined codes, "not supported" else
    };
    const Case cases[] = {
        {0x18, STATUS_NOT_SUPPORTED}, {0x19, STATUS_NOT_SUPPORTED}, {0xFF, STATUS_NOT_SUPPORTED},
        {0x0E, STATUS_NOT_SUPPORTED}, {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_SUCCESS},
        {IRP_MN_QUERY_ID, STATUS_SUCCESS}, {IRP_MN_DEVICE_USAGE_NOTIFICATION, STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "minor 0x" << std::hex << int(c.minor));
        plat::ClearBusRequestLog(pdo_);
        EXPECT_EQ(plat::PnpSend(pdo_, c.minor), c.result);
        EXPECT_TRUE(ReachedBus(c.minor));
        EXPECT_EQ(Dc()->RemoveLock.Count, 1);
        EXPECT_EQ(Dc()->PnpState, ULONG(PNP_STARTED));
    }
}

TEST_F(PnpStates, CapabilitiesAreKeptOnlyFromASuccessfulVersionedQuery)
{
    BringTo(From::Started, 0x10);
    DEVICE_CAPABILITIES caps = plat::DefaultPdoCapabilities();
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.D2Latency = 1234;
    plat::SetPdoCapabilities(pdo_, caps);

    // Version 0: passed down, nothing recorded.
    DEVICE_CAPABILITIES seen{};
    EXPECT_EQ(plat::PnpQueryCapabilities(pdo_, 0, &seen), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->Capabilities.Size, 0);
    EXPECT_EQ(Dc()->Capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceUnspecified);

    // Version 1, failed below: nothing recorded.
    plat::SetBusStatus(pdo_, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::PnpQueryCapabilities(pdo_, 1, &seen), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Dc()->Capabilities.Size, 0);
    plat::ResetBusStatus(pdo_);

    // Version 1: the whole record as the bus filled it, unchanged on its way up.
    EXPECT_EQ(plat::PnpQueryCapabilities(pdo_, 1, &seen), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&Dc()->Capabilities, &seen, sizeof(seen)), 0);
    EXPECT_EQ(seen.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(seen.D2Latency, 1234u);
    EXPECT_EQ(Dc()->RemoveLock.Count, 1);
}

}  // namespace
}  // namespace frame
