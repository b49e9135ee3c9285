// The Plug and Play manager and the bus driver stand-in, driven through the test function
// driver: resources reaching a start, every minor code completing with the status the bus
// was given, send-and-wait completion paths, capabilities, removal, and the checks the
// manager makes on AddDevice and removal.
#include "pnp_test_driver.h"

#include <cstring>

namespace pnptest {
namespace {

bool SameDescriptors(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &a,
                     const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR)) == 0);
}

using PnpManagerTest = PnpStackTest;

TEST_F(PnpManagerTest, StartHandsTheDriverThePdoListsAsARealIrpWould) {
    Build();
    const plat::ResourceList full = RawResources();
    const plat::ResourceList translated = TranslatedResources();
    const plat::ResourceList empty{};
    const plat::ResourceList unusual{{plat::PortDescriptor(0xE000, 16, false), plat::MemoryDescriptor(0xF0000000, 0x1000),
                                      plat::InterruptDescriptor(5, 0x35, true, false, 3), plat::PortDescriptor(0xE100, 8)}};
    struct Case {
        const char *name;
        const plat::ResourceList *raw;
        const plat::ResourceList *translated;
    };
    const Case cases[] = {
        {"both lists", &full, &translated},
        {"raw absent", nullptr, &translated},
        {"translated absent", &full, nullptr},
        {"both absent", nullptr, nullptr},
        {"translated empty", &full, &empty},
        {"memory-space port, latched exclusive interrupt", &unusual, &unusual},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        plat::SetPdoResources(pdo, c.raw, c.translated);
        seen = Seen{};
        ASSERT_EQ(plat::PnpStartDevice(pdo), STATUS_SUCCESS);
        EXPECT_EQ(seen.hadRaw, c.raw != nullptr);
        EXPECT_EQ(seen.hadTranslated, c.translated != nullptr);
        if (c.raw != nullptr) {
            EXPECT_TRUE(SameDescriptors(seen.raw, c.raw->descriptors));
        }
        if (c.translated != nullptr) {
            EXPECT_TRUE(SameDescriptors(seen.translated, c.translated->descriptors));
        }
        // The request arrives as the real manager sends it: preset to "not supported", with
        // as many stack locations as the stack is deep.
        ASSERT_EQ(seen.pnpStatusOnArrival.size(), 1u);
        EXPECT_EQ(seen.pnpStatusOnArrival[0], STATUS_NOT_SUPPORTED);
        EXPECT_EQ(seen.pnpStackCounts[0], fdo->StackSize);
        EXPECT_EQ(seen.pnpStackCounts[0], pdo->StackSize + 1);
    }
}

TEST_F(PnpManagerTest, EveryMinorCodeCompletesWithTheStatusTheBusWasGiven) {
    Build();
    constexpr NTSTATUS kDefault = 0x7FFFFFFE;  // leave the bus at its default for the code
    struct Case {
        UCHAR minor;
        NTSTATUS busStatus;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {IRP_MN_QUERY_STOP_DEVICE, kDefault, STATUS_SUCCESS},
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
        {IRP_MN_CANCEL_STOP_DEVICE, kDefault, STATUS_SUCCESS},
        {IRP_MN_STOP_DEVICE, STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY},
        {IRP_MN_QUERY_REMOVE_DEVICE, kDefault, STATUS_SUCCESS},
        {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY, STATUS_DEVICE_BUSY},
        {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {IRP_MN_SURPRISE_REMOVAL, kDefault, STATUS_SUCCESS},
        {IRP_MN_QUERY_DEVICE_RELATIONS, kDefault, STATUS_SUCCESS},
        {0x0E, kDefault, STATUS_NOT_SUPPORTED},                     // no request of that code exists
        {IRP_MN_QUERY_LEGACY_BUS_INFORMATION, kDefault, STATUS_NOT_SUPPORTED},  // unknown to the bus
        {0x40, kDefault, STATUS_NOT_SUPPORTED},
        {0x40, STATUS_SUCCESS, STATUS_SUCCESS},
        {IRP_MN_START_DEVICE, STATUS_DEVICE_CONFIGURATION_ERROR, STATUS_DEVICE_CONFIGURATION_ERROR},
        {IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "minor 0x" << std::hex << int(c.minor) << " bus 0x" << c.busStatus);
        plat::ResetBusStatus(pdo);
        if (c.busStatus != kDefault) plat::SetBusStatus(pdo, IRP_MJ_PNP, c.minor, c.busStatus);
        plat::ClearBusRequestLog(pdo);
        seen = Seen{};
        EXPECT_EQ(plat::PnpSend(pdo, c.minor), c.expected);
        ASSERT_EQ(seen.pnpMinors.size(), 1u);
        EXPECT_EQ(seen.pnpMinors[0], c.minor);
        const std::vector<plat::BusRequest> log = plat::BusRequestLog(pdo);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].majorFunction, IRP_MJ_PNP);
        EXPECT_EQ(log[0].minorFunction, c.minor);
        EXPECT_EQ(log[0].completedWith, c.expected);
        EXPECT_EQ(log[0].irql, PASSIVE_LEVEL);
    }
}

TEST_F(PnpManagerTest, SendAndWaitPathsFinishWithTheDriversStatusWhateverThreadCompletes) {
    Build();
    struct Case {
        const char *name;
        plat::BusCompletion how;
        NTSTATUS busStatus;
        NTSTATUS driverResult;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"in dispatch, success", plat::BusCompletion::InDispatch, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        {"in dispatch, lower failure", plat::BusCompletion::InDispatch, STATUS_UNSUCCESSFUL, STATUS_SUCCESS,
         STATUS_UNSUCCESSFUL},
        {"in dispatch, driver refuses after lower success", plat::BusCompletion::InDispatch, STATUS_SUCCESS,
         STATUS_DEVICE_CONFIGURATION_ERROR, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"raised IRQL", plat::BusCompletion::AtDispatchLevel, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        {"pended, success", plat::BusCompletion::Pended, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        {"pended, lower failure", plat::BusCompletion::Pended, STATUS_NO_SUCH_DEVICE, STATUS_SUCCESS,
         STATUS_NO_SUCH_DEVICE},
        {"pended, driver refuses", plat::BusCompletion::Pended, STATUS_SUCCESS, STATUS_UNSUCCESSFUL,
         STATUS_UNSUCCESSFUL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        plat::SetBusCompletion(pdo, IRP_MJ_PNP, c.how);
        plat::SetBusStatus(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, c.busStatus);
        config.startResult = c.driverResult;
        seen = Seen{};
        EXPECT_EQ(plat::PnpStartDevice(pdo), c.expected);
        EXPECT_EQ(seen.startLowerStatus, c.busStatus);  // the driver ran on after the lower drivers
        // A pass-down request completes the same way with the bus's status.
        plat::SetBusStatus(pdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, c.busStatus);
        EXPECT_EQ(plat::PnpSend(pdo, IRP_MN_QUERY_STOP_DEVICE), c.busStatus);
    }
}

TEST_F(PnpManagerTest, QueryCapabilitiesCarriesTheVersionAndTheBusFillsTheRecord) {
    Build();
    DEVICE_CAPABILITIES busCaps = plat::DefaultPdoCapabilities();
    busCaps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    busCaps.DeviceD2 = 1;
    busCaps.Address = 0x00050000;
    busCaps.UINumber = 7;
    plat::SetPdoCapabilities(pdo, busCaps);
    USHORT versionAtBus = 0xFFFF;
    plat::SetBusRequestHook(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MinorFunction == IRP_MN_QUERY_CAPABILITIES) versionAtBus = sp->Parameters.DeviceCapabilities.Capabilities->Version;
    });
    for (USHORT version : {USHORT{0}, USHORT{1}}) {
        SCOPED_TRACE(version);
        DEVICE_CAPABILITIES caps{};
        ASSERT_EQ(plat::PnpQueryCapabilities(pdo, version, &caps), STATUS_SUCCESS);
        EXPECT_EQ(versionAtBus, version);
        EXPECT_EQ(caps.Version, version);  // the bus keeps what the sender set
        EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
        EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceD2, 1u);
        EXPECT_EQ(caps.Address, 0x00050000u);
        EXPECT_EQ(caps.UINumber, 7u);
    }
    // A failing bus leaves the record as the manager prepared it.
    plat::SetBusStatus(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);
    DEVICE_CAPABILITIES caps{};
    seen = Seen{};
    EXPECT_EQ(plat::PnpQueryCapabilities(pdo, 1, &caps), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
    EXPECT_FALSE(seen.capsCopied);
}

TEST_F(PnpManagerTest, SurpriseRemovalThenRemovalTakeTheStackDownAndLaterRequestsReachTheBusAlone) {
    Build();
    ASSERT_EQ(plat::PnpStartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(plat::RecordedDevicePowerState(fdo), PowerDeviceD0);
    EXPECT_EQ(plat::PnpSurpriseRemoval(pdo), STATUS_SUCCESS);
    EXPECT_EQ(seen.pnpMinors.back(), IRP_MN_SURPRISE_REMOVAL);
    plat::SetBusStatus(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(plat::PnpRemoveDevice(pdo), STATUS_UNSUCCESSFUL);  // the lower drivers' status
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    fdo = nullptr;
    seen = Seen{};
    plat::ClearBusRequestLog(pdo);
    EXPECT_EQ(plat::PnpSend(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(seen.pnpMinors.empty());
    EXPECT_EQ(plat::BusRequestLog(pdo).size(), 1u);
}

TEST_F(PnpManagerTest, ManagerReportsDriversThatLeaveTheStackInconsistent) {
    ReportCapture reports;
    config.clearInitializing = false;
    Build();
    EXPECT_EQ(reports.Count("DeviceInitializingNotCleared"), 1u);

    config.detachOnRemove = false;
    EXPECT_EQ(plat::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(reports.Count("RemoveLeftDeviceAttached"), 1u);
    // The faulty driver left its device behind; take it down as it should have.
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    fdo = nullptr;

    // The bus refuses to delete a PDO that still has a device above it.
    config.clearInitializing = true;
    PDEVICE_OBJECT other = plat::CreateBusPdo(nullptr, nullptr, nullptr);
    ASSERT_EQ(plat::PnpAddDevice(driver, other), STATUS_SUCCESS);
    plat::DeleteBusPdo(other);
    EXPECT_EQ(reports.Count("BusPdoDeletedWithStack"), 1u);
    EXPECT_EQ(other->AttachedDevice->DriverObject, driver);
    config.detachOnRemove = true;
    EXPECT_EQ(plat::PnpRemoveDevice(other), STATUS_SUCCESS);
    plat::DeleteBusPdo(other);
    EXPECT_EQ(reports.Rules().size(), 3u);
}

}  // namespace
}  // namespace pnptest
