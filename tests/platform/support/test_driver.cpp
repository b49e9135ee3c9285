// The kernel stand-in's test driver; see test_driver.h.
#include "test_driver.h"

#include "test_device.h"

NTSTATUS TdBusStatus = STATUS_SUCCESS;
volatile LONG TdCloseCalls = 0;

namespace {

UNICODE_STRING DeviceName()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\TestDev");
    return name;
}

UNICODE_STRING LinkName()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\DosDevices\\TestDev");
    return name;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS NTAPI TdBusDispatch(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = TdBusStatus;
    return Complete(irp, status, 0);
}

extern "C" NTSTATUS NTAPI TdCreate(PDEVICE_OBJECT device, PIRP irp)
{
    InterlockedIncrement(&static_cast<TdExtension *>(device->DeviceExtension)->Opens);
    return Complete(irp, STATUS_SUCCESS, 0);
}

extern "C" NTSTATUS NTAPI TdClose(PDEVICE_OBJECT device, PIRP irp)
{
    InterlockedIncrement(&static_cast<TdExtension *>(device->DeviceExtension)->Closes);
    InterlockedIncrement(&TdCloseCalls);
    return Complete(irp, STATUS_SUCCESS, 0);
}

// Cancel routine of a pending request: entered holding the cancel spin lock.
extern "C" VOID NTAPI TdCancel(PDEVICE_OBJECT device, PIRP irp)
{
    TdExtension *ext = static_cast<TdExtension *>(device->DeviceExtension);
    KIRQL irql = irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&ext->QueueLock);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->QueueLock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Completes every pending request of the file (or all, for null) with STATUS_CANCELLED.
void AbortPending(TdExtension *ext, PFILE_OBJECT file)
{
    LIST_ENTRY aborted;
    InitializeListHead(&aborted);
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    for (PLIST_ENTRY e = ext->Queue.Flink; e != &ext->Queue;) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
        if (IoSetCancelRoutine(irp, NULL) == NULL) continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(&aborted, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&ext->QueueLock, irql);
    while (!IsListEmpty(&aborted)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&aborted), IRP, Tail.Overlay.ListEntry);
        Complete(irp, STATUS_CANCELLED, 0);
    }
}

extern "C" NTSTATUS NTAPI TdCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    TdExtension *ext = static_cast<TdExtension *>(device->DeviceExtension);
    InterlockedIncrement(&ext->Cleanups);
    ext->LastCleanupFile = IoGetCurrentIrpStackLocation(irp)->FileObject;
    AbortPending(ext, ext->LastCleanupFile);
    return Complete(irp, STATUS_SUCCESS, 0);
}

extern "C" NTSTATUS NTAPI TdForwardDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    TdExtension *ext = static_cast<TdExtension *>(context);
    ext->ForwardLowerStatus = irp->IoStatus.Status;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS Queue(TdExtension *ext, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    IoSetCancelRoutine(irp, TdCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&ext->QueueLock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&ext->Queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->QueueLock, irql);
    return STATUS_PENDING;
}

NTSTATUS Release(TdExtension *ext, PIRP irp, ULONG inLen)
{
    if (inLen < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    ULONG value = *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
    PIRP waiting = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    if (!IsListEmpty(&ext->Queue)) {
        PIRP first = CONTAINING_RECORD(ext->Queue.Flink, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(first, NULL) != NULL) {
            RemoveEntryList(&first->Tail.Overlay.ListEntry);
            waiting = first;
        }
    }
    KeReleaseSpinLock(&ext->QueueLock, irql);
    if (waiting == NULL) return Complete(irp, STATUS_UNSUCCESSFUL, 0);
    ULONG outLen = IoGetCurrentIrpStackLocation(waiting)->Parameters.DeviceIoControl.OutputBufferLength;
    if (outLen >= sizeof(ULONG)) {
        *static_cast<ULONG *>(waiting->AssociatedIrp.SystemBuffer) = value;
        Complete(waiting, STATUS_SUCCESS, sizeof(ULONG));
    } else {
        Complete(waiting, STATUS_SUCCESS, 0);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

extern "C" NTSTATUS NTAPI TdDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    TdExtension *ext = static_cast<TdExtension *>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG inLen = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLen = sp->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case TD_IOCTL_ECHO: {
        if (inLen < sizeof(TdEchoInput)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        TdEchoInput in = *reinterpret_cast<TdEchoInput *>(buffer);
        ext->FilledPastInput = 1;
        for (ULONG i = inLen; i < outLen; ++i)
            if (buffer[i] == 0) ext->FilledPastInput = 0;
        for (ULONG i = 0; i + in.Unwritten < outLen; ++i) buffer[i] = static_cast<UCHAR>(in.Fill + i);
        return Complete(irp, in.Status, in.Information);
    }
    case TD_IOCTL_DIRECT:
    case TD_IOCTL_IN_DIRECT: {
        PMDL mdl = irp->MdlAddress;
        if (mdl == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        PUCHAR out;
        if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
            out = static_cast<PUCHAR>(mdl->MappedSystemVa);
            ext->DirectPathMapped = 1;
        } else {
            out = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
            ext->DirectPathMapped = 0;
        }
        if (out == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        for (ULONG i = 0; i < outLen; ++i) out[i] = static_cast<UCHAR>(0xC0 + i);
        return Complete(irp, STATUS_SUCCESS, outLen);
    }
    case TD_IOCTL_NEITHER: {
        PUCHAR out = static_cast<PUCHAR>(irp->UserBuffer);
        PUCHAR in = static_cast<PUCHAR>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
        for (ULONG i = 0; i < outLen && i < inLen; ++i) out[i] = in[i];
        return Complete(irp, STATUS_SUCCESS, outLen < inLen ? outLen : inLen);
    }
    case TD_IOCTL_PEND:
        return Queue(ext, irp);
    case TD_IOCTL_RELEASE:
        return Release(ext, irp, inLen);
    case TD_IOCTL_FORWARD:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, TdForwardDone, ext, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->Lower, irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // namespace

extern "C" {

NTSTATUS NTAPI TdDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = TdCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = TdClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TdCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TdDeviceControl;
    driver->DriverExtension->AddDevice = TdAddDevice;
    driver->DriverUnload = TdUnload;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TdBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = TdBusDispatch;
    return STATUS_SUCCESS;
}

VOID NTAPI TdUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI TdAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name = DeviceName();
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(TdExtension), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING link = LinkName();
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    TdExtension *ext = static_cast<TdExtension *>(device->DeviceExtension);
    ext->Self = device;
    ext->ClaimInterrupts = TRUE;
    KeInitializeSpinLock(&ext->QueueLock);
    InitializeListHead(&ext->Queue);
    KeInitializeEvent(&ext->DpcEvent, SynchronizationEvent, FALSE);
    ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext->Lower == NULL) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        return STATUS_DEVICE_REMOVED;
    }
    KeInitializeDpc(&device->Dpc, TdDpc, device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Runs at the device's IRQL under the interrupt lock: acknowledges a pending tick.
BOOLEAN NTAPI TdInterruptService(PKINTERRUPT, PVOID context)
{
    TdExtension *ext = static_cast<TdExtension *>(context);
    InterlockedIncrement(&ext->IsrCalls);
    ext->IsrIrql = KeGetCurrentIrql();
    if (!ext->ClaimInterrupts) return FALSE;
    UCHAR status = READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(ext->PortBase + tqtest::kRegStatus)));
    if (!(status & tqtest::kStatusTick)) return FALSE;
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(ext->PortBase + tqtest::kRegControl)),
                     tqtest::kControlEnable | tqtest::kControlAck);
    InterlockedIncrement(&ext->IsrClaims);
    if (KeInsertQueueDpc(&ext->Self->Dpc, NULL, NULL)) InterlockedIncrement(&ext->DpcInserted);
    return TRUE;
}

VOID NTAPI TdDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    TdExtension *ext = static_cast<TdExtension *>(static_cast<PDEVICE_OBJECT>(context)->DeviceExtension);
    ext->DpcIrql = KeGetCurrentIrql();
    InterlockedIncrement(&ext->DpcRuns);
    KeSetEvent(&ext->DpcEvent, IO_NO_INCREMENT, FALSE);
}

}  // extern "C"

NTSTATUS TdConnect(TdExtension *ext, ULONG portBase, ULONG vector, KIRQL irql, KINTERRUPT_MODE mode, BOOLEAN shared)
{
    ext->PortBase = portBase;
    NTSTATUS status = IoConnectInterrupt(&ext->Interrupt, TdInterruptService, ext, NULL, vector, irql, irql, mode,
                                         shared, 1, FALSE);
    if (NT_SUCCESS(status))
        WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(portBase + tqtest::kRegControl)),
                         tqtest::kControlEnable);
    return status;
}

VOID TdDisconnect(TdExtension *ext)
{
    if (ext->Interrupt) IoDisconnectInterrupt(ext->Interrupt);
    ext->Interrupt = NULL;
}

VOID TdRemoveDevice(TdExtension *ext)
{
    TdDisconnect(ext);
    AbortPending(ext, NULL);
    UNICODE_STRING link = LinkName();
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(ext->Lower);
    IoDeleteDevice(ext->Self);
}
