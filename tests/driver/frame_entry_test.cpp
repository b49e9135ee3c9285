// Loading the driver and creating its device: the WDM version it requires and records,
// the registry-path copy, the dispatch table, the device object, its link and its
// DeviceContext, and the ways AddDevice fails without leaving anything behind.
#include "frame_fixture.h"

#include <string>

namespace frame {
namespace {

using FrameEntryTest = FrameTest;

const wchar_t kDeviceName[] = L"\\Device\\Tq4815x";

TEST_F(FrameEntryTest, WdmVersionDecidesLoadingAndOldWdm)
{
    struct Case {
        UCHAR major, minor;
        NTSTATUS load;
        UCHAR oldWdm;
    };
    const Case cases[] = {
        {0, 0x90, STATUS_UNSUCCESSFUL, 0},  // no WDM 1.0 at all
        {1, 0x00, STATUS_SUCCESS, 1},
        {1, 0x05, STATUS_SUCCESS, 1},
        {1, 0x10, STATUS_SUCCESS, 0},
        {1, 0x20, STATUS_SUCCESS, 0},
        {2, 0x00, STATUS_SUCCESS, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "WDM " << int(c.major) << "." << std::hex << int(c.minor));
        OldWdm = 0xEE;
        ASSERT_EQ(Load(c.major, c.minor), c.load);
        if (c.load == STATUS_SUCCESS) {
            EXPECT_EQ(OldWdm, c.oldWdm);
        } else {
            EXPECT_EQ(driver_, nullptr);
        }
        Shutdown();
    }
}

TEST_F(FrameEntryTest, WithoutWdm10DriverEntryRegistersNothing)
{
    plat::SetWdmVersion(0, 0x90);
    PDRIVER_OBJECT driver = plat::CreateDriverObject("Tq4815x");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tq4815x");
    NTSTATUS status;
    {
        plat::DriverScope scope(driver);
        status = DriverEntry(driver, &path);
    }
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver->DriverUnload, nullptr);
    EXPECT_EQ(driver->DriverExtension->AddDevice, nullptr);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_EQ(driver->MajorFunction[major], ::IopInvalidDeviceRequest) << "major " << major;
    }
    EXPECT_EQ(plat::PoolBlocksOutstanding(0), 0u);
    plat::FreeDriverObject(driver);
}

TEST_F(FrameEntryTest, RegistryPathIsCopiedWithRoomForATerminatorAndFreedAtUnload)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const std::wstring expected = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tq4815x";
    const USHORT length = static_cast<USHORT>(expected.size() * sizeof(WCHAR));
    EXPECT_EQ(RegistryPathCopy.Length, length);
    // Room for one terminating character: 2 bytes on the real platform.
    EXPECT_EQ(RegistryPathCopy.MaximumLength, length + sizeof(WCHAR));
    ASSERT_NE(RegistryPathCopy.Buffer, nullptr);
    EXPECT_EQ(std::wstring(RegistryPathCopy.Buffer, RegistryPathCopy.Length / sizeof(WCHAR)), expected);
    // The one block the loaded driver owns is the copy, from paged pool with the driver's tag.
    EXPECT_EQ(plat::PoolBlocksOutstanding(kWdmTag), 1u);
    EXPECT_EQ(plat::PoolBytesOutstanding(kWdmTag), size_t(length) + sizeof(WCHAR));

    Shutdown();
    EXPECT_EQ(plat::PoolBlocksOutstanding(kWdmTag), 0u);
}

TEST_F(FrameEntryTest, RegistryPathAllocationFailureRefusesTheLoad)
{
    plat::InjectPoolFailureByTag(kWdmTag, 1);
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(plat::LoadDriver("Tq4815x", DriverEntry, &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(plat::PoolBlocksOutstanding(kWdmTag), 0u);
}

TEST_F(FrameEntryTest, DispatchTableNamesTheDriversRoutinesAndLeavesTheRestAtTheDefault)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(driver_->DriverUnload, DriverUnload);
    EXPECT_EQ(driver_->DriverExtension->AddDevice, AddDevice);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = ::IopInvalidDeviceRequest;
        switch (major) {
        case IRP_MJ_CREATE: expected = DispatchCreate; break;
        case IRP_MJ_CLOSE: expected = DispatchClose; break;
        case IRP_MJ_DEVICE_CONTROL: expected = DispatchDeviceControl; break;
        case IRP_MJ_CLEANUP: expected = DispatchCleanup; break;
        case IRP_MJ_POWER: expected = DispatchPower; break;
        case IRP_MJ_PNP: expected = DispatchPnp; break;
        default: break;
        }
        EXPECT_EQ(driver_->MajorFunction[major], expected) << "major " << major;
    }
}

TEST_F(FrameEntryTest, AddDeviceCreatesAnAttachedDeviceInD0WithAFreshContext)
{
    Plug(Layout("default"));
    ASSERT_EQ(Add(), STATUS_SUCCESS);

    PDEVICE_OBJECT fdo = Fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(plat::FindDeviceByName(kDeviceName), fdo);
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_TRUE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(plat::RecordedDevicePowerState(fdo), PowerDeviceD0);

    const DeviceContext *dc = Dc();
    EXPECT_EQ(dc->DeviceObject, fdo);
    EXPECT_EQ(dc->Pdo, pdo_);
    EXPECT_EQ(dc->LowerDevice, pdo_);
    EXPECT_EQ(dc->RemoveLock.Count, 1);
    EXPECT_EQ(dc->RemoveLock.Removing, 0);
    EXPECT_EQ(dc->PnpState, ULONG(PNP_STOPPED));
    EXPECT_EQ(dc->SystemPower, PowerSystemWorking);
    EXPECT_EQ(dc->DevicePower, PowerDeviceD0);
    EXPECT_EQ(dc->PendingList.Flink, &dc->PendingList);
    EXPECT_EQ(dc->PendingList.Blink, &dc->PendingList);
    EXPECT_EQ(dc->RejectStatus, 0);
    EXPECT_EQ(dc->EventIrpSlot, nullptr);
    EXPECT_EQ(dc->InterruptObject, nullptr);
    EXPECT_EQ(dc->PortCount, 0);
    EXPECT_EQ(dc->BoardBase, 0u);
    EXPECT_EQ(dc->BridgeBase, 0u);
    EXPECT_EQ(dc->BufferTable, nullptr);

    // The link leads to the device: a handle opens before the device is even started.
    HANDLE h = OpenOrFail();
    ULONG lastError = 0xFFFF;
    EXPECT_EQ(Ioctl(h, IOCTL_GET_LAST_ERROR, nullptr, 0, &lastError, sizeof(lastError)), STATUS_SUCCESS);
    EXPECT_EQ(lastError, 0u);
}

TEST_F(FrameEntryTest, SecondCardFailsInAddDeviceWhileTheFirstKeepsWorking)
{
    Boot();
    HANDLE h = OpenOrFail();

    PDEVICE_OBJECT second = plat::CreateBusPdo("Tq4815xSecond", nullptr, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(plat::PnpAddDevice(driver_, second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second->AttachedDevice, nullptr);
    plat::DeleteBusPdo(second);

    EXPECT_EQ(plat::FindDeviceByName(kDeviceName), Fdo());
    EXPECT_EQ(Dc()->PnpState, ULONG(PNP_STARTED));
    UCHAR value = 0;
    EXPECT_EQ(ReadBoardPort(h, 3, &value), STATUS_SUCCESS);
    HANDLE again = OpenOrFail();
    ULONG lastError = 1;
    EXPECT_EQ(Ioctl(again, IOCTL_GET_LAST_ERROR, nullptr, 0, &lastError, sizeof(lastError)), STATUS_SUCCESS);
}

TEST_F(FrameEntryTest, AddDeviceFailuresLeaveNothingBehind)
{
    Plug(Layout("default"));

    // No pool for the device object.
    plat::InjectPoolFailureByTag(plat::PoolTag("Devi"), 1);
    EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(plat::FindDeviceByName(kDeviceName), nullptr);

    // The link's name is taken: the device is deleted again and the link left alone.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\Tq4815x");
    RtlInitUnicodeString(&target, L"\\Device\\SomethingElse");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(Add(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(plat::FindDeviceByName(kDeviceName), nullptr);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);

    // The bus device's stack cannot be attached to: device and link are deleted again, so
    // the link is free for the next attempt.
    plat::FailDeviceAttach(1);
    EXPECT_EQ(Add(), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(plat::FindDeviceByName(kDeviceName), nullptr);

    // With the name free again the card is added and works.
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    HANDLE h = OpenOrFail();
    UCHAR value = 0;
    EXPECT_EQ(ReadBoardPort(h, 3, &value), STATUS_SUCCESS);
}

TEST_F(FrameEntryTest, RemovalDeletesTheLinkSoACardAddedAgainGetsItAnew)
{
    Boot();
    ASSERT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_EQ(plat::FindDeviceByName(kDeviceName), nullptr);
    HANDLE h = nullptr;
    EXPECT_NE(plat::OpenDevicePath("\\\\.\\Tq4815x", &h), STATUS_SUCCESS);

    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    HANDLE again = OpenOrFail();
    UCHAR value = 0;
    EXPECT_EQ(ReadBoardPort(again, 3, &value), STATUS_SUCCESS);
}

}  // namespace
}  // namespace frame
