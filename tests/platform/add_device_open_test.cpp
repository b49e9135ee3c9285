// A device that AddDevice creates is opened only once AddDevice has returned: a driver
// clears DO_DEVICE_INITIALIZING with a plain store and may go on setting the device up
// afterwards (a DPC, a lock), so an open from another thread in between would find it half
// made. Until AddDevice returns such an open is refused as for a device still initialising;
// afterwards it succeeds and sees everything AddDevice did.
#include <gtest/gtest.h>

#include <plat/kernel.h>
#include <plat/pnp.h>
#include <plat/user_io.h>
#include <wdm.h>

#include <thread>

namespace tqtest {
namespace {

const wchar_t kDeviceName[] = L"\\Device\\AddOpenTest";
const wchar_t kLinkName[] = L"\\DosDevices\\AddOpenTest";
const char kPath[] = "\\\\.\\AddOpenTest";

struct Extension {
    PDEVICE_OBJECT lower;
    ULONG madeAfterClearing;  // set by AddDevice after it cleared DO_DEVICE_INITIALIZING
};

// What the driver saw; written by AddDevice and the create routine, read by the test.
NTSTATUS gOpenDuringAddDevice = STATUS_SUCCESS;
ULONG gSeenByCreate = 0;

NTSTATUS NTAPI Complete(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
        gSeenByCreate = static_cast<Extension *>(device->DeviceExtension)->madeAfterClearing;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = static_cast<Extension *>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, kLinkName);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kDeviceName);
    RtlInitUnicodeString(&link, kLinkName);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoCreateSymbolicLink(&link, &name);
    Extension *ext = static_cast<Extension *>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    // Another thread tries to open the device now, while this AddDevice has yet to finish.
    std::thread opener([] {
        HANDLE handle = nullptr;
        gOpenDuringAddDevice = plat::OpenDevicePath(kPath, &handle);
        if (NT_SUCCESS(gOpenDuringAddDevice)) plat::CloseHandle(handle);
    });
    opener.join();
    ext->madeAfterClearing = 0x5EED;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = Complete;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Complete;
    driver->MajorFunction[IRP_MJ_CLOSE] = Complete;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

TEST(AddDeviceOpen, AnOpenBeforeAddDeviceReturnsIsRefusedEvenAfterTheInitialisingFlagIsCleared)
{
    plat::ResetMachine();
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(plat::LoadDriver("AddOpenTest", Entry, &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = plat::CreateBusPdo(nullptr, nullptr, nullptr);
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(plat::PnpAddDevice(driver, pdo), STATUS_SUCCESS);
    EXPECT_EQ(gOpenDuringAddDevice, STATUS_NO_SUCH_DEVICE);

    HANDLE handle = nullptr;
    ASSERT_EQ(plat::OpenDevicePath(kPath, &handle), STATUS_SUCCESS);
    EXPECT_EQ(gSeenByCreate, 0x5EEDu) << "the open saw the device as AddDevice left it";
    plat::CloseHandle(handle);

    EXPECT_EQ(plat::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    plat::DeleteBusPdo(pdo);
    plat::UnloadDriver(driver);
    plat::ResetMachine();
}

}  // namespace
}  // namespace tqtest
