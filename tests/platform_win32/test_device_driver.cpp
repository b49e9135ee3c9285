// The test-only driver behind \\.\TqWin32Test (see test_device_driver.h): a legacy-style
// driver whose DriverEntry creates its device and link directly, so Win32 device I/O can
// be tested without the Plug and Play frame.
#include "test_device_driver.h"

#include <wdm.h>

#include <atomic>
#include <utility>

#include <plat/hw.h>
#include <plat/kernel.h>
#include <plat/pnp.h>

namespace {

PDRIVER_OBJECT g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
constexpr int kMaxPending = 4;
PIRP g_pending[kMaxPending] = {};  // oldest first; guarded by the cancel spin lock
std::atomic<int> g_pendingCount{0};
std::atomic<int> g_openHandles{0};
std::atomic<int> g_cleanups{0};
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

// Takes a request off the pending list. Cancel spin lock held.
void Unlist(PIRP irp)
{
    for (int i = 0; i < kMaxPending; ++i) {
        if (g_pending[i] != irp)
            continue;
        for (int j = i + 1; j < kMaxPending; ++j)
            g_pending[j - 1] = g_pending[j];
        g_pending[kMaxPending - 1] = nullptr;
        --g_pendingCount;
        return;
    }
}

// Takes the pending requests `match` selects off the list, each only if its cancel routine
// could still be taken back (otherwise its cancellation completes it). Cancel spin lock held.
template <typename Match>
int TakePending(Match match, PIRP *taken)
{
    int n = 0;
    for (int i = 0; i < kMaxPending;) {
        PIRP irp = g_pending[i];
        if (irp == nullptr || !match(irp) || IoSetCancelRoutine(irp, nullptr) == nullptr) {
            ++i;
            continue;
        }
        Unlist(irp);
        taken[n++] = irp;
    }
    return n;
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

// Cleanup cancels the pending requests of the file whose last handle closed.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    ++g_cleanups;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PIRP taken[kMaxPending];
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    int n = TakePending([file](PIRP p) { return IoGetCurrentIrpStackLocation(p)->FileObject == file; }, taken);
    IoReleaseCancelSpinLock(irql);
    for (int i = 0; i < n; ++i)
        Complete(taken[i], STATUS_CANCELLED, 0);
    return Complete(irp, STATUS_SUCCESS, 0);
}

VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    Unlist(irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Completes a request with `status` as kCompleteWith does.
NTSTATUS CompleteWithStatus(PIRP irp, NTSTATUS status)
{
    const ULONG outLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < outLength; ++i)
        buffer[i] = 0xA5;
    return Complete(irp, status, NT_ERROR(status) ? 0 : outLength);
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
    if (code == testdev::kCompleteWith || code == testdev::kCompletePending) {
        if (inLength < sizeof(ULONG))
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        ULONG status;
        memcpy(&status, buffer, sizeof status);
        if (code == testdev::kCompleteWith)
            return CompleteWithStatus(irp, static_cast<NTSTATUS>(status));
        PIRP oldest[kMaxPending];
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        bool first = true;
        int n = TakePending([&first](PIRP) { return std::exchange(first, false); }, oldest);
        IoReleaseCancelSpinLock(irql);
        if (n == 0)
            return Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        CompleteWithStatus(oldest[0], static_cast<NTSTATUS>(status));
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (code == testdev::kPendUntilCancelled) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (irp->Cancel || g_pending[kMaxPending - 1] != nullptr) {
            IoReleaseCancelSpinLock(irql);
            return Complete(irp, irp->Cancel ? STATUS_CANCELLED : STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPending);
        int slot = 0;
        while (g_pending[slot] != nullptr)
            ++slot;
        g_pending[slot] = irp;
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
    if (code == testdev::kAddInDirect) {
        auto *pages = irp->MdlAddress == nullptr ? nullptr
                                                 : static_cast<unsigned char *>(MmGetSystemAddressForMdlSafe(
                                                       irp->MdlAddress, NormalPagePriority));
        if (pages == nullptr)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        const unsigned char step = inLength > 0 ? buffer[0] : 1;
        for (ULONG i = 0; i < outLength; ++i)
            pages[i] = static_cast<unsigned char>(pages[i] + step);
        return Complete(irp, STATUS_SUCCESS, outLength);
    }
    if (code == testdev::kReverseNeither) {
        auto *in = static_cast<const unsigned char *>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
        auto *out = static_cast<unsigned char *>(irp->UserBuffer);
        const ULONG n = inLength < outLength ? inLength : outLength;
        if (n > 0 && (in == nullptr || out == nullptr))
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        for (ULONG i = 0; i < n; ++i)
            out[i] = in[inLength - 1 - i];
        return Complete(irp, STATUS_SUCCESS, n);
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
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
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
    g_cleanups = 0;
    for (PIRP &slot : g_pending)
        slot = nullptr;
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
int Cleanups() { return g_cleanups.load(); }

int FileLockWaiters(void *handle)
{
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr)))
        return -1;
    const int waiters = static_cast<int>(__atomic_load_n(&static_cast<PFILE_OBJECT>(object)->Waiters, __ATOMIC_ACQUIRE));
    ObDereferenceObject(object);
    return waiters;
}

void ResetMachine() { plat::ResetMachine(); }

std::uint64_t VirtualNowNs() { return plat::Now(); }

}  // namespace testdev
