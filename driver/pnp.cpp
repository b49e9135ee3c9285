// Plug and Play requests (IRP_MJ_PNP) to the Tq4815x device: start with the assigned
// resources, query-stop/stop/cancel-stop for rebalancing, query-remove/cancel-remove,
// surprise removal and removal, and the bus driver's device capabilities (kept for the
// power handling). The handler of each minor code comes from a 24-entry table; codes
// past the table are passed down untouched.
//
// PnpState moves as follows: AddDevice leaves Stopped; a successful start gives Started;
// query-stop from Started gives StopPending, cancel-stop (lower drivers succeeding) goes
// back; stop gives Stopped; query-remove gives RemovePending (the state before saved in
// PrevPnpState and restored by a successful cancel-remove); surprise removal gives
// SurpriseRemoved; removal gives Removed and deletes the device.
//
// Every request arrives at PASSIVE_LEVEL in a system thread, one at a time per device.
// They run concurrently with device-control, create, close, cleanup and power requests;
// the remove lock is the only gate between them.
#include "driver.h"

namespace {

// Completion routine of SendDownAndWait: wakes the waiting thread and keeps the request
// with this driver. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI OnSentDownComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The partial resource list of the first full descriptor of a resource list, or null
// when the list is absent or holds no full descriptor.
PCM_PARTIAL_RESOURCE_LIST FirstPartialList(PCM_RESOURCE_LIST list)
{
    if (list == nullptr || list->Count == 0)
        return nullptr;
    return &list->List[0].PartialResourceList;
}

}  // namespace

// Passes the request to the lower drivers untouched; it is theirs to complete.
// Returns what the lower driver returns. PASSIVE_LEVEL.
NTSTATUS PassDown(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(dc->LowerDevice, irp);
}

// Sends the request down and waits until the lower drivers have completed it; the
// request is then this driver's again, to be completed by the caller. Returns the
// status the lower drivers left. PASSIVE_LEVEL (it waits).
NTSTATUS SendDownAndWait(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnSentDownComplete, &done, TRUE, TRUE, TRUE);
    IoCallDriver(dc->LowerDevice, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

namespace {

// IRP_MN_START_DEVICE: the lower drivers start the card first, then the driver claims
// the resources it was given. Started only when both succeed (RejectStatus then cleared);
// a failure leaves PnpState as it was and completes the request with that failure.
NTSTATUS OnStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    if (!NT_SUCCESS(status))
        return CompleteRequestStatus(irp, status);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    status = ClaimResources(deviceObject,
                            FirstPartialList(stack->Parameters.StartDevice.AllocatedResources),
                            FirstPartialList(stack->Parameters.StartDevice.AllocatedResourcesTranslated));
    if (NT_SUCCESS(status)) {
        dc->PnpState = PNP_STARTED;
        // A started device accepts waiting notification requests again, whatever stop,
        // release or power-down refused them before.
        InterlockedExchange(&dc->RejectStatus, 0);
    }
    return CompleteRequestStatus(irp, status);
}

// IRP_MN_QUERY_STOP_DEVICE: never refused. A started device notes the pending stop.
NTSTATUS OnQueryStop(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (dc->PnpState == PNP_STARTED)
        dc->PnpState = PNP_STOP_PENDING;
    return PassDown(deviceObject, irp);
}

// IRP_MN_CANCEL_STOP_DEVICE: a pending stop returns to Started once the lower drivers
// have cancelled it with success; without a pending stop the request only goes down.
NTSTATUS OnCancelStop(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (dc->PnpState != PNP_STOP_PENDING)
        return PassDown(deviceObject, irp);
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    if (NT_SUCCESS(status))
        dc->PnpState = PNP_STARTED;
    return CompleteRequestStatus(irp, status);
}

// IRP_MN_STOP_DEVICE: releases the resources (stopping a running acquisition) and passes
// the stop down. A stop that no query-stop announced first aborts the pending
// notification requests with STATUS_DELETE_PENDING.
NTSTATUS OnStopDevice(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (dc->PnpState != PNP_STOP_PENDING)
        RejectPendingRequests(dc, STATUS_DELETE_PENDING);
    ReleaseResources(deviceObject);
    dc->PnpState = PNP_STOPPED;
    return PassDown(deviceObject, irp);
}

// IRP_MN_QUERY_REMOVE_DEVICE. On systems older than WDM 1.10 open handles hold no
// remove-lock reference, so a started device with an open handle refuses the removal
// (STATUS_DEVICE_BUSY) instead of having it wait; otherwise the removal is noted and the
// query goes down.
NTSTATUS OnQueryRemove(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (dc->PnpState == PNP_STARTED && OldWdm == 1 && deviceObject->ReferenceCount != 0)
        return CompleteRequestStatus(irp, STATUS_DEVICE_BUSY);
    dc->PrevPnpState = dc->PnpState;
    dc->PnpState = PNP_REMOVE_PENDING;
    return PassDown(deviceObject, irp);
}

// IRP_MN_CANCEL_REMOVE_DEVICE: a pending removal returns to the state before it once the
// lower drivers have cancelled it with success; otherwise the request only goes down.
NTSTATUS OnCancelRemove(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (dc->PnpState != PNP_REMOVE_PENDING)
        return PassDown(deviceObject, irp);
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    if (NT_SUCCESS(status))
        dc->PnpState = dc->PrevPnpState;
    return CompleteRequestStatus(irp, status);
}

// IRP_MN_SURPRISE_REMOVAL: the card is gone. Pending notification requests are aborted,
// the resources released, and the request passed down; the removal follows.
NTSTATUS OnSurpriseRemoval(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    RejectPendingRequests(dc, STATUS_DELETE_PENDING);
    dc->PnpState = PNP_SURPRISE_REMOVED;
    ReleaseResources(deviceObject);
    return PassDown(deviceObject, irp);
}

// IRP_MN_REMOVE_DEVICE: aborts pending requests, releases the resources, passes the
// removal down, then gives up the dispatch's and the device's own remove-lock
// references and waits until every other holder (requests in flight, and open handles
// on WDM 1.10 and later) has let go; then deletes the device. (Releasing the resources
// has already stopped any acquisition and freed its buffer block, and no start succeeds
// without a connected interrupt.) Returns the lower drivers' status. The device object is gone when
// this returns.
NTSTATUS OnRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    RejectPendingRequests(dc, STATUS_DELETE_PENDING);
    ReleaseResources(deviceObject);
    dc->PnpState = PNP_REMOVED;
    NTSTATUS status = PassDown(deviceObject, irp);
    RemoveLockReleaseAndWait(&dc->RemoveLock, irp);
    DeleteDevice(deviceObject);
    return status;
}

// IRP_MN_QUERY_CAPABILITIES: a request with a versioned record is sent down, and the
// record the bus driver filled in is kept for the power handling when it succeeded. The
// record is not changed. A record of version 0 (or none) is only passed down.
NTSTATUS OnQueryCapabilities(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version == 0)
        return PassDown(deviceObject, irp);
    NTSTATUS status = SendDownAndWait(deviceObject, irp);
    if (NT_SUCCESS(status))
        RtlCopyMemory(&dc->Capabilities, caps, sizeof(DEVICE_CAPABILITIES));
    return CompleteRequestStatus(irp, status);
}

typedef NTSTATUS (*PnpHandler)(PDEVICE_OBJECT deviceObject, PIRP irp);

// Handler of each minor code 0x00 to 0x17.
constexpr ULONG kPnpMinorCount = 0x18;
const PnpHandler PnpMinorTable[kPnpMinorCount] = {
    OnStartDevice,        // 0x00 IRP_MN_START_DEVICE
    OnQueryRemove,        // 0x01 IRP_MN_QUERY_REMOVE_DEVICE
    OnRemoveDevice,       // 0x02 IRP_MN_REMOVE_DEVICE
    OnCancelRemove,       // 0x03 IRP_MN_CANCEL_REMOVE_DEVICE
    OnStopDevice,         // 0x04 IRP_MN_STOP_DEVICE
    OnQueryStop,          // 0x05 IRP_MN_QUERY_STOP_DEVICE
    OnCancelStop,         // 0x06 IRP_MN_CANCEL_STOP_DEVICE
    PassDown,             // 0x07 IRP_MN_QUERY_DEVICE_RELATIONS
    PassDown,             // 0x08 IRP_MN_QUERY_INTERFACE
    OnQueryCapabilities,  // 0x09 IRP_MN_QUERY_CAPABILITIES
    PassDown,             // 0x0A IRP_MN_QUERY_RESOURCES
    PassDown,             // 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS
    PassDown,             // 0x0C IRP_MN_QUERY_DEVICE_TEXT
    PassDown,             // 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS
    PassDown,             // 0x0E (no request defined)
    PassDown,             // 0x0F IRP_MN_READ_CONFIG
    PassDown,             // 0x10 IRP_MN_WRITE_CONFIG
    PassDown,             // 0x11 IRP_MN_EJECT
    PassDown,             // 0x12 IRP_MN_SET_LOCK
    PassDown,             // 0x13 IRP_MN_QUERY_ID
    PassDown,             // 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE
    PassDown,             // 0x15 IRP_MN_QUERY_BUS_INFORMATION
    PassDown,             // 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION
    OnSurpriseRemoval,    // 0x17 IRP_MN_SURPRISE_REMOVAL
};

}  // namespace

// The IRP_MJ_PNP entry. Holds a remove-lock reference while the handler runs (the
// removal's handler gives its reference up itself); once a removal has begun, every
// request is completed at once with STATUS_DELETE_PENDING. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    NTSTATUS status = RemoveLockAcquire(&dc->RemoveLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteRequestStatus(irp, status);

    // Read before the handler: a request passed down may be completed and gone.
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor >= kPnpMinorCount)
        status = PassDown(deviceObject, irp);
    else
        status = PnpMinorTable[minor](deviceObject, irp);

    if (minor != IRP_MN_REMOVE_DEVICE)
        RemoveLockRelease(&dc->RemoveLock, irp);
    return status;
}
