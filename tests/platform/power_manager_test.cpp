// The power manager stand-in, driven through the test function driver acting as power
// policy owner: system power requests turning into device power requests through
// PoRequestPowerIrp, the order of forwarding and completion, statuses chosen at the bus,
// a failing PoRequestPowerIrp, completion at DISPATCH_LEVEL and from another thread,
// delivery to pageable drivers, and the PoStartNextPowerIrp rules.
#include "pnp_test_driver.h"

namespace pnptest {
namespace {

using PowerManagerTest = PnpStackTest;

std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(seenLock);
    return seen.powerEvents;
}

TEST_F(PowerManagerTest, SystemPowerRequestsCascadeIntoDevicePowerRequests) {
    Build();
    struct Case {
        UCHAR minor;
        SYSTEM_POWER_STATE s;
        DEVICE_POWER_STATE d;
    };
    const Case cases[] = {
        {IRP_MN_QUERY_POWER, PowerSystemSleeping3, PowerDeviceD3},
        {IRP_MN_SET_POWER, PowerSystemSleeping3, PowerDeviceD3},
        {IRP_MN_SET_POWER, PowerSystemWorking, PowerDeviceD0},
        {IRP_MN_SET_POWER, PowerSystemHibernate, PowerDeviceD3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "minor " << int(c.minor) << " S" << c.s);
        seen = Seen{};
        plat::ClearBusRequestLog(pdo);
        const std::string m = c.minor == IRP_MN_SET_POWER ? "set " : "query ";
        EXPECT_EQ(plat::PowerSendSystem(pdo, c.minor, c.s), STATUS_SUCCESS);
        // Returned only after the whole cascade: the system request went down, came back,
        // the device request went down and completed, then the system request completed.
        const std::vector<std::string> expected = {"S " + m + std::to_string(c.s), "S back " + std::to_string(c.s),
                                                   "D " + m + std::to_string(c.d), "D done " + std::to_string(c.d)};
        EXPECT_EQ(Events(), expected);
        const std::vector<plat::BusRequest> log = plat::BusRequestLog(pdo);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].powerType, SystemPowerState);
        EXPECT_EQ(log[0].powerState.SystemState, c.s);
        EXPECT_EQ(log[1].powerType, DevicePowerState);
        EXPECT_EQ(log[1].minorFunction, c.minor);
        EXPECT_EQ(log[1].powerState.DeviceState, c.d);
        // The completion function gets what PoRequestPowerIrp was given and the final status.
        EXPECT_EQ(seen.poRequestStatus, STATUS_PENDING);
        EXPECT_EQ(seen.completionFunctionDevice, pdo);
        EXPECT_EQ(seen.completionFunctionMinor, c.minor);
        EXPECT_EQ(seen.completionFunctionState.DeviceState, c.d);
        EXPECT_EQ(seen.completionFunctionStatus, STATUS_SUCCESS);
        if (c.minor == IRP_MN_SET_POWER) {
            EXPECT_EQ(plat::RecordedDevicePowerState(fdo), c.d);
        }
    }
}

TEST_F(PowerManagerTest, StatusesChosenAtTheBusAndFailingRequestsReachTheSystemRequest) {
    Build();
    struct Case {
        const char *name;
        NTSTATUS systemAtBus;   // bus status for the system request
        NTSTATUS deviceAtBus;   // bus status for the device request (same minor)
        NTSTATUS poRequestFails;
        NTSTATUS expected;
        size_t busRequests;
    };
    const Case cases[] = {
        {"device request fails below", STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, 2},
        {"system request fails below", STATUS_DEVICE_BUSY, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_DEVICE_BUSY, 1},
        {"PoRequestPowerIrp fails", STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        seen = Seen{};
        plat::ClearBusRequestLog(pdo);
        // System and device requests share the minor code; the bus tells them apart by order.
        int n = 0;
        plat::SetBusRequestHook(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
            irp->IoStatus.Status = n++ == 0 ? c.systemAtBus : c.deviceAtBus;
        });
        plat::SetBusStatus(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, plat::kBusLeavesStatus);
        if (c.poRequestFails != STATUS_SUCCESS) plat::FailPoRequestPowerIrp(c.poRequestFails);
        EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemSleeping1), c.expected);
        EXPECT_EQ(plat::BusRequestLog(pdo).size(), c.busRequests);
        if (c.busRequests == 2) {
            EXPECT_EQ(seen.completionFunctionStatus, c.deviceAtBus);
        }
        if (c.poRequestFails != STATUS_SUCCESS) {
            EXPECT_EQ(seen.poRequestStatus, c.poRequestFails);
        }
    }
    plat::SetBusRequestHook(pdo, nullptr);
    plat::ResetBusStatus(pdo);
    // The injected failure was used up: the next cascade runs normally.
    EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    plat::SetBusStatus(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_NOT_IMPLEMENTED);
    // Wait-wake and power-sequence requests are left at "not supported" unless chosen.
    EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_POWER_SEQUENCE, PowerDeviceD0), STATUS_NOT_SUPPORTED);
    plat::SetBusStatus(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE, STATUS_SUCCESS);
    EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_WAIT_WAKE, PowerDeviceD0), STATUS_SUCCESS);
}

TEST_F(PowerManagerTest, DeviceStateForASleepStateComesFromTheBusCapabilities) {
    Build();
    DEVICE_CAPABILITIES caps = plat::DefaultPdoCapabilities();
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    plat::SetPdoCapabilities(pdo, caps);
    ASSERT_EQ(plat::PnpQueryCapabilities(pdo, 1, nullptr), STATUS_SUCCESS);
    plat::ClearBusRequestLog(pdo);
    EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    const std::vector<plat::BusRequest> log = plat::BusRequestLog(pdo);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].powerState.DeviceState, PowerDeviceD2);
}

TEST_F(PowerManagerTest, PageableDriversGetPowerRequestsAtPassiveLevelWhoeverCompletesBelow) {
    Build();
    for (plat::BusCompletion how : {plat::BusCompletion::AtDispatchLevel, plat::BusCompletion::Pended}) {
        SCOPED_TRACE(int(how));
        seen = Seen{};
        plat::ClearBusRequestLog(pdo);
        plat::SetBusCompletion(pdo, IRP_MJ_POWER, how);
        EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        // The system request came back at DISPATCH_LEVEL, where PoRequestPowerIrp was called;
        // the device request still reached the pageable driver at PASSIVE_LEVEL.
        ASSERT_EQ(seen.powerDispatchIrqls.size(), 2u);
        EXPECT_EQ(seen.powerDispatchIrqls[0], PASSIVE_LEVEL);
        EXPECT_EQ(seen.powerDispatchIrqls[1], PASSIVE_LEVEL);
        EXPECT_EQ(seen.completionFunctionIrql, DISPATCH_LEVEL);
        EXPECT_EQ(seen.completionFunctionStatus, STATUS_SUCCESS);
        const std::vector<plat::BusRequest> log = plat::BusRequestLog(pdo);
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1].powerState.DeviceState, PowerDeviceD3);
        EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(plat::RecordedDevicePowerState(fdo), PowerDeviceD0);
    }
}

// Calls PoCallDriver with a device set-power request at DISPATCH_LEVEL, as a completion
// routine would, and returns what it returned; the request is freed once it completed.
struct RaisedCall {
    NTSTATUS returned = STATUS_SUCCESS;
    NTSTATUS final = STATUS_PENDING;
    bool pendingReturned = false;
};

NTSTATUS NTAPI OnRaisedDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<RaisedCall *>(context)->final = irp->IoStatus.Status;
    static_cast<RaisedCall *>(context)->pendingReturned = irp->PendingReturned != FALSE;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

RaisedCall PoCallDriverAtDispatchLevel(PDEVICE_OBJECT fdo) {
    RaisedCall call;
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = IRP_MN_SET_POWER;
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State.DeviceState = PowerDeviceD0;
    IoSetCompletionRoutine(irp, OnRaisedDone, &call, TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    call.returned = PoCallDriver(fdo, irp);
    KeLowerIrql(old);
    plat::PowerWaitIdle();
    IoFreeIrp(irp);
    return call;
}

TEST_F(PowerManagerTest, PoCallDriverAbovePassiveDefersFromWdm110AndIsReportedBefore) {
    Build();
    struct Case {
        UCHAR minor;
        NTSTATUS returned;
        KIRQL dispatchIrql;
        size_t reports;
    };
    for (const Case c : {Case{0x10, STATUS_PENDING, PASSIVE_LEVEL, 0}, Case{0x05, STATUS_SUCCESS, DISPATCH_LEVEL, 1}}) {
        SCOPED_TRACE(int(c.minor));
        plat::SetWdmVersion(1, c.minor);
        seen = Seen{};
        ReportCapture reports;
        RaisedCall call = PoCallDriverAtDispatchLevel(fdo);
        EXPECT_EQ(call.returned, c.returned);
        EXPECT_EQ(call.final, STATUS_SUCCESS);
        EXPECT_EQ(call.pendingReturned, c.returned == STATUS_PENDING);  // seen as pended by the target
        ASSERT_EQ(seen.powerDispatchIrqls.size(), 1u);
        EXPECT_EQ(seen.powerDispatchIrqls[0], c.dispatchIrql);
        EXPECT_EQ(reports.Count("PagablePowerDispatchAbovePassive"), c.reports);
        EXPECT_EQ(reports.Rules().size(), c.reports);
    }
    // A driver that is not pageable takes the request at once, at the caller's IRQL.
    plat::SetWdmVersion(1, 0x10);
    fdo->Flags &= ~DO_POWER_PAGABLE;
    seen = Seen{};
    RaisedCall call = PoCallDriverAtDispatchLevel(fdo);
    EXPECT_EQ(call.returned, STATUS_SUCCESS);
    ASSERT_EQ(seen.powerDispatchIrqls.size(), 1u);
    EXPECT_EQ(seen.powerDispatchIrqls[0], DISPATCH_LEVEL);
}

TEST_F(PowerManagerTest, VerifierCatchesPowerRequestsLeftWithoutPoStartNextPowerIrpOrPoCallDriver) {
    struct Case {
        const char *name;
        bool skipStartNext;
        bool ioCallDriver;
        UCHAR wdmMajor;
        std::string rule;
    };
    const Case cases[] = {
        {"well-behaved driver", false, false, 1, ""},
        {"no PoStartNextPowerIrp", true, false, 1, "PowerIrpWithoutStartNextPowerIrp"},
        {"IoCallDriver before WDM 6.0", false, true, 1, "PowerIrpPassedWithIoCallDriver"},
        {"IoCallDriver from WDM 6.0", false, true, 6, ""},
    };
    Build();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        config.skipStartNextOnDeviceIrp = c.skipStartNext;
        config.passPowerWithIoCallDriver = c.ioCallDriver;
        plat::SetWdmVersion(c.wdmMajor, c.wdmMajor == 1 ? 0x10 : 0);
        ReportCapture reports;
        // Both a device request the test sends and one the driver asks for are checked.
        EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
        EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        const std::vector<std::string> rules = reports.Rules();
        if (c.rule.empty()) {
            EXPECT_TRUE(rules.empty());
        } else {
            ASSERT_EQ(rules.size(), 2u);
            EXPECT_EQ(rules[0], c.rule);
            EXPECT_EQ(rules[1], c.rule);
            EXPECT_EQ(reports.Routines()[0], "\\Driver\\PnpTest");
        }
    }
}

TEST(PowerManagerRules, PoStartNextPowerIrpTwiceIsReported) {
    Reset();
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(plat::LoadDriver("PnpTest", DriverEntry, &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = plat::CreateBusPdo(nullptr, nullptr, nullptr);
    ASSERT_EQ(plat::PnpAddDevice(driver, pdo), STATUS_SUCCESS);
    // A driver whose dispatch routine starts the next request twice.
    driver->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT fdo, PIRP irp) -> NTSTATUS {
        PoStartNextPowerIrp(irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Ext(fdo)->lower, irp);
    };
    {
        ReportCapture reports;
        EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
        EXPECT_EQ(reports.Count("PoStartNextPowerIrpTwice"), 1u);
        EXPECT_EQ(reports.Rules().size(), 1u);
    }
    EXPECT_EQ(plat::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    plat::DeleteBusPdo(pdo);
    plat::UnloadDriver(driver);
}

}  // namespace
}  // namespace pnptest
