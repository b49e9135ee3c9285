// Driver loading and unloading: the driver object and registry path DriverEntry gets, the
// default dispatch routine, a failing DriverEntry, the unload checks after DriverUnload,
// and the WDM version the platform reports.
#include "pnp_test_driver.h"

namespace pnptest {
namespace {

std::wstring Text(const UNICODE_STRING &s) { return std::wstring(s.Buffer, s.Length / sizeof(WCHAR)); }

using DriverLoadingTest = PnpStackTest;

TEST_F(DriverLoadingTest, DriverEntryGetsItsObjectAndAnUnterminatedRegistryPath) {
    Build();
    EXPECT_EQ(seen.registryPath, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PnpTest");
    EXPECT_EQ(seen.registryPathMaximumLength, seen.registryPath.size() * sizeof(WCHAR));
    EXPECT_FALSE(seen.registryPathTerminated);
    EXPECT_EQ(Text(driver->DriverName), L"\\Driver\\PnpTest");
    ASSERT_NE(driver->DriverExtension, nullptr);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(Text(driver->DriverExtension->ServiceKeyName), L"PnpTest");
    EXPECT_EQ(driver->DriverInit, &DriverEntry);
    EXPECT_EQ(fdo->DriverObject, driver);
}

TEST_F(DriverLoadingTest, EntriesADriverLeavesAloneRefuseTheRequestAndReleasePowerRequests) {
    config.registerPnp = false;
    Build();
    PDRIVER_DISPATCH defaultRoutine = driver->MajorFunction[IRP_MJ_CREATE];
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (major != IRP_MJ_POWER) {
            EXPECT_EQ(driver->MajorFunction[major], defaultRoutine) << major;
        }
    }
    // The driver did not register for PnP: the request is refused by the default routine
    // and never reaches the bus.
    EXPECT_EQ(plat::PnpSend(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(plat::BusRequestLog(pdo).empty());

    // A power request that meets the default routine is released to the power manager, so
    // the verifier has nothing to say.
    ReportCapture reports;
    driver->MajorFunction[IRP_MJ_POWER] = defaultRoutine;
    EXPECT_EQ(plat::PowerSendDevice(pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(reports.Rules().empty());
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;  // so the fixture can remove the device
}

TEST_F(DriverLoadingTest, FailingDriverEntryLeavesNoDriverAndItsLeaksAreReported) {
    struct Case {
        bool leak;
        size_t reports;
    };
    for (const Case c : {Case{false, 0}, Case{true, 1}}) {
        SCOPED_TRACE(c.leak);
        Reset();
        config.entryStatus = STATUS_INSUFFICIENT_RESOURCES;
        config.leakInEntryFailure = c.leak;
        ReportCapture reports;
        PDRIVER_OBJECT failed = reinterpret_cast<PDRIVER_OBJECT>(1);
        EXPECT_EQ(plat::LoadDriver("PnpTest", DriverEntry, &failed), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(failed, nullptr);
        EXPECT_EQ(seen.unloadCalls, 0);  // a driver that failed to load is not unloaded
        EXPECT_EQ(reports.Rules().size(), c.reports);
        if (c.leak) {
            ExFreePool(entryBlock);
            entryBlock = nullptr;
        }
    }
}

TEST_F(DriverLoadingTest, UnloadRunsTheUnloadRoutineThenTheUnloadChecks) {
    struct Case {
        const char *name;
        bool freeInUnload;
        bool registerUnload;
        std::vector<std::string> rules;
    };
    const Case cases[] = {
        {"clean unload", true, true, {}},
        {"pool left by the unload routine", false, true, {"leak"}},
        {"no unload routine", true, false, {"UnloadWithoutRoutine", "leak"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        config.freeInUnload = c.freeInUnload;
        config.registerUnload = c.registerUnload;
        PDRIVER_OBJECT loaded = nullptr;
        ASSERT_EQ(plat::LoadDriver("PnpTest", DriverEntry, &loaded), STATUS_SUCCESS);
        PVOID block = entryBlock;
        ReportCapture reports;
        plat::UnloadDriver(loaded);
        EXPECT_EQ(seen.unloadCalls, c.registerUnload ? 1 : 0);
        const std::vector<std::string> rules = reports.Rules();
        ASSERT_EQ(rules.size(), c.rules.size());
        for (size_t i = 0; i < rules.size(); ++i) {
            if (c.rules[i] == "leak") {
                EXPECT_NE(rules[i].find("Pool"), std::string::npos) << rules[i];  // the unload checks ran
            } else {
                EXPECT_EQ(rules[i], c.rules[i]);
            }
        }
        if (!c.freeInUnload || !c.registerUnload) ExFreePool(block);
    }
}

TEST(WdmVersion, IoIsWdmVersionAvailableAnswersFromTheConfiguredVersion) {
    struct Case {
        UCHAR major, minor;     // the platform's version
        UCHAR askMajor, askMinor;
        bool available;
    };
    const Case cases[] = {
        {1, 0x10, 1, 0x00, true},  {1, 0x10, 1, 0x10, true}, {1, 0x10, 1, 0x20, false},
        {1, 0x05, 1, 0x10, false}, {1, 0x05, 1, 0x00, true}, {1, 0x00, 1, 0x00, true},
        {0, 0x90, 1, 0x00, false}, {6, 0x00, 1, 0x30, true}, {6, 0x00, 6, 0x01, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << std::hex << int(c.minor) << " asked "
                                        << int(c.askMajor) << "." << int(c.askMinor));
        plat::SetWdmVersion(c.major, c.minor);
        EXPECT_EQ(IoIsWdmVersionAvailable(c.askMajor, c.askMinor) != FALSE, c.available);
    }
    // A machine reset brings back the default, 1.10.
    plat::SetWdmVersion(1, 0x05);
    plat::ResetMachine();
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
}

TEST(PnpMachineReset, ResetForgetsLiveStacksAndLoadedDrivers) {
    // A test that stops half-way leaves a started stack, a pended request's PDO and a loaded
    // driver; the machine reset must leave the stand-in usable without touching freed objects.
    plat::ResetMachine();
    Reset();
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(plat::LoadDriver("PnpTest", DriverEntry, &driver), STATUS_SUCCESS);
    const plat::ResourceList raw = RawResources();
    PDEVICE_OBJECT pdo = plat::CreateBusPdo("PnpResetPdo", &raw, &raw);
    ASSERT_EQ(plat::PnpAddDevice(driver, pdo), STATUS_SUCCESS);
    plat::SetBusCompletion(pdo, IRP_MJ_PNP, plat::BusCompletion::Pended);
    ASSERT_EQ(plat::PnpStartDevice(pdo), STATUS_SUCCESS);
    plat::SetWdmVersion(1, 0x05);
    plat::FailPoRequestPowerIrp(STATUS_UNSUCCESSFUL, 5);
    plat::ResetMachine();
    entryBlock = nullptr;  // went with the pool

    Reset();
    ASSERT_EQ(plat::LoadDriver("PnpTest", DriverEntry, &driver), STATUS_SUCCESS);
    pdo = plat::CreateBusPdo("PnpResetPdo", &raw, &raw);  // the name is free again
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(plat::PnpAddDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(plat::PnpStartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemSleeping1), STATUS_SUCCESS);  // no failure left
    EXPECT_EQ(seen.completionFunctionState.DeviceState, PowerDeviceD3);
    EXPECT_EQ(plat::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    plat::DeleteBusPdo(pdo);
    plat::UnloadDriver(driver);
    plat::ResetMachine();
}

}  // namespace
}  // namespace pnptest
