// The test-only driver behind \\.\TqWin32Test (see test_device_driver.h): a legacy-style
// driver whose DriverEntry creates its device and link directly, so Win32 device I/O can
// be tested without the Plug and Play frame.
#include "test_device_driver.h"

#include <wdm.h>

#include <atomic>

#include <plat/hw.h>
#include <plat/kernel.h>
#include <plat/pnp.h>

namespace {

PDRIVER_OBJECT g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
PIRP g_pending = nullptr;  // guarded by the cancel spin lock
std::atomic<int> g_pendingCount{0};
std::atomic<int> g_openHandles{0};
PKEVENT g_event = nullptr;  // referenced event, between kReferenceEvent and kReleaseReferencedEvent

const wchar_t kDeviceName[] = L"\\Device\\TqWin32Test";
const wchar_t kLinkName[] = L"\\DosDevices\\TqWin32Test";

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CREATE)
        ++g_openHandles;
    else if (major == IRP_MJ_CLOSE)
        --g_openHandles;
    return Complete(irp, STATUS_SUCCESS, 0);
}

VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    if (g_pending == irp)
        g_pending = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    --g_pendingCount;
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);

    if (code == testdev::kInvert) {
        if (outLength < inLength)
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        for (ULONG i = 0; i < inLength; ++i)
            buffer[i] = static_cast<unsigned char>(~buffer[i]);
        return Complete(irp, STATUS_SUCCESS, inLength);
    }
    if (code == testdev::kCompleteWith) {
        if (inLength < sizeof(ULONG))
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        ULONG status;
        memcpy(&status, buffer, sizeof status);
        for (ULONG i = 0; i < outLength; ++i)
            buffer[i] = 0xA5;
        return Complete(irp, static_cast<NTSTATUS>(status), NT_ERROR(static_cast<NTSTATUS>(status)) ? 0 : outLength);
    }
    if (code == testdev::kPendUntilCancelled) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            return Complete(irp, STATUS_CANCELLED, 0);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        g_pending = irp;
        ++g_pendingCount;
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    if (code == testdev::kReferenceEvent) {
        if (inLength < sizeof(ULONG) || g_event != nullptr)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        ULONG handle;
        memcpy(&handle, buffer, sizeof handle);
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle)),
                                                    EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object,
                                                    nullptr);
        if (NT_SUCCESS(status))
            g_event = static_cast<PKEVENT>(object);
        return Complete(irp, status, 0);
    }
    if (code == testdev::kSetReferencedEvent) {
        if (g_event == nullptr)
            return Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        KeSetEvent(g_event, 0, FALSE);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (code == testdev::kReleaseReferencedEvent) {
        if (g_event == nullptr)
            return Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        ObDereferenceObject(g_event);
        g_event = nullptr;
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (code == testdev::kFillDirect) {
        if (irp->MdlAddress == nullptr)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        auto *out = static_cast<unsigned char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (out == nullptr)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        for (ULONG i = 0; i < outLength; ++i)
            out[i] = static_cast<unsigned char>(i * 7 + 1);
        return Complete(irp, STATUS_SUCCESS, outLength);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    if (g_event != nullptr) {
        ObDereferenceObject(g_event);
        g_event = nullptr;
    }
    IoDeleteDevice(g_device);
    g_device = nullptr;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDeviceName);
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags |= DO_BUFFERED_IO;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

namespace testdev {

std::int32_t Load()
{
    g_openHandles = 0;
    g_pendingCount = 0;
    return plat::LoadDriver("TqWin32Test", DriverEntry, &g_driver);
}

void Unload()
{
    if (g_driver != nullptr)
        plat::UnloadDriver(g_driver);
    g_driver = nullptr;
}

int PendingCount() { return g_pendingCount.load(); }
int OpenHandles() { return g_openHandles.load(); }

void ResetMachine() { plat::ResetMachine(); }

std::uint64_t VirtualNowNs() { return plat::Now(); }

}  // namespace testdev
