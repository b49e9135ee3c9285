// Pending notification requests: the one-place rendezvous of IOCTL_WAIT_NOTIFY and
// IOCTL_POST_NOTIFY, and the cleanup dispatch routine that aborts a closing handle's
// waiting request.
//
// One client's IOCTL_WAIT_NOTIFY stays pending in the driver (EventIrpSlot names it, and
// it sits on PendingList) until another client's IOCTL_POST_NOTIFY takes it and hands it
// a 32-bit value (the dispatcher copies the value and completes it). A waiting request
// also ends by cancellation (its client cancels the I/O or its thread ends), by the
// cleanup of its handle, or by an abort of all waiting requests at stop, removal,
// release of the resources or power-down (RejectPendingRequests), after which new waits
// are refused with a status until the next device power-up clears it.
//
// Ownership. A queued request's cancel-routine field is its ownership token: whoever
// exchanges it for null and gets the previous non-null value owns the request and
// completes it (a post, an abort, or the I/O manager's cancellation, which takes the
// field before it calls NotifyWaitCancel). Whoever gets null leaves the request alone.
// So a post, a cancellation and an abort racing for one request complete it once.
//
// Locks. PendingLock guards PendingList and EventIrpSlot. The I/O manager's cancel spin
// lock and PendingLock are never held together, and no request is completed while
// PendingLock is held: each queued request carries NotifyWaitComplete as a completion
// routine (in a stack location the driver pushes below its own), and that routine takes
// PendingLock to clear EventIrpSlot.

#include "driver.h"

// Queues an IOCTL_WAIT_NOTIFY request as the one waiting request. `slot` is the address
// of EventIrpSlot, remembered in the request's own stack location so that its completion
// can clear it. Returns STATUS_PENDING when queued; STATUS_UNSUCCESSFUL while another
// request waits; RejectStatus while waits are refused; STATUS_CANCELLED when the request
// was cancelled before its cancel routine could take effect. Any status but
// STATUS_PENDING leaves the request to the caller to complete. PASSIVE_LEVEL.
NTSTATUS QueueNotifyWait(DeviceContext *dc, PIRP irp, PIRP *slot)
{
    NTSTATUS result;
    KIRQL oldIrql;
    KeAcquireSpinLock(&dc->PendingLock, &oldIrql);

    // RejectStatus is set by an interlocked exchange outside PendingLock, so it is read
    // with an interlocked operation too.
    const NTSTATUS rejectStatus = InterlockedCompareExchange(&dc->RejectStatus, 0, 0);
    if (*slot != nullptr) {
        result = STATUS_UNSUCCESSFUL;
    } else if (rejectStatus != 0) {
        result = rejectStatus;
    } else if (irp->CurrentLocation <= 1) {
        // The completion routine lives in a stack location below the driver's own; a
        // request built without one cannot be queued (a device attached to its stack
        // always gets one).
        result = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        // Everything the cancellation and the completion read is put in place before the
        // cancel routine is armed. From that moment the I/O manager may cancel the request
        // on another processor, and it takes the device object it hands to the cancel
        // routine from the request's current stack location: that location must already
        // be the pushed one, whole, and must not move under it.
        PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
        own->Parameters.Others.Argument1 = slot;
        IoMarkIrpPending(irp);
        IoSetCompletionRoutine(irp, NotifyWaitComplete, dc, TRUE, TRUE, TRUE);
        PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(irp);
        below->DeviceObject = dc->DeviceObject;
        below->FileObject = own->FileObject;
        IoSetNextIrpStackLocation(irp);

        IoSetCancelRoutine(irp, NotifyWaitCancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            // Cancelled before we armed it; we still own it. It goes back to its own
            // location, unmarked, for the caller to complete as it arrived.
            IoSkipCurrentIrpStackLocation(irp);
            own->Control &= ~SL_PENDING_RETURNED;
            result = STATUS_CANCELLED;
        } else {
            // Either not cancelled, or the I/O manager already took the cancel routine
            // and is calling it: queue it anyway, the cancel routine completes it as soon
            // as PendingLock is free.
            // Interlocked although PendingLock is held: observers outside the driver (a
            // debugger, a test) may look at the slot without the lock.
            InterlockedExchangePointer(reinterpret_cast<PVOID *>(slot), irp);
            InsertTailList(&dc->PendingList, &irp->Tail.Overlay.ListEntry);
            result = STATUS_PENDING;
        }
    }

    KeReleaseSpinLock(&dc->PendingLock, oldIrql);
    return result;
}

// Takes the waiting request for a post: empties EventIrpSlot and, if the request's
// cancel routine can still be taken, removes it from PendingList and returns it; the
// caller then owns it and completes it (after this routine has released PendingLock).
// Returns null when nothing waits or the waiting request is being cancelled.
// PASSIVE_LEVEL.
PIRP TakeNotifyWait(DeviceContext *dc, PIRP *slot)
{
    PIRP taken = nullptr;
    KIRQL oldIrql;
    KeAcquireSpinLock(&dc->PendingLock, &oldIrql);

    PIRP waiting = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID *>(slot), nullptr));
    if (waiting != nullptr && IoSetCancelRoutine(waiting, nullptr) != nullptr) {
        RemoveEntryList(&waiting->Tail.Overlay.ListEntry);
        taken = waiting;
    }
    // Otherwise the cancellation under way owns it and removes it from the list.

    KeReleaseSpinLock(&dc->PendingLock, oldIrql);
    return taken;
}

// Cancel routine of a waiting request. The I/O manager calls it with its cancel spin
// lock held, at DISPATCH_LEVEL, from any thread; it already owns the request (it took
// the cancel-routine field). The cancel spin lock is dropped before PendingLock is taken,
// and the request is completed only after PendingLock is released.
extern "C" VOID NTAPI NotifyWaitCancel(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    const KIRQL cancelIrql = irp->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);

    DeviceContext *dc = ContextOf(deviceObject);
    KeAcquireSpinLockAtDpcLevel(&dc->PendingLock);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&dc->PendingLock, cancelIrql);

    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completion routine of every queued request, whichever path completes it (post,
// cancellation, abort). Clears EventIrpSlot when it still names this request, under
// PendingLock; a slot that a post already emptied, or that names a newer waiting request,
// is left alone. Runs at up to DISPATCH_LEVEL; `context` is the DeviceContext.
extern "C" NTSTATUS NTAPI NotifyWaitComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    (void)deviceObject;
    DeviceContext *dc = static_cast<DeviceContext *>(context);
    KIRQL oldIrql;
    KeAcquireSpinLock(&dc->PendingLock, &oldIrql);

    // The driver's own stack location is current again during completion.
    PIRP *slot = static_cast<PIRP *>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID *>(slot), nullptr, irp);

    KeReleaseSpinLock(&dc->PendingLock, oldIrql);
    return STATUS_SUCCESS;
}

// Aborts every waiting request and refuses new ones with `status` until the next
// device power-up. The aborted requests themselves end with STATUS_CANCELLED, whatever
// `status` is. Called at stop, surprise removal, removal, release of the resources and
// device power-down; IRQL at most DISPATCH_LEVEL.
void RejectPendingRequests(DeviceContext *dc, NTSTATUS status)
{
    InterlockedExchange(&dc->RejectStatus, status);
    AbortPendingRequests(dc, nullptr);
}

// Completes with STATUS_CANCELLED (information unchanged) every waiting request of file
// object `fileObject`, or every waiting request when it is null. Requests whose
// cancellation is already under way are left to their cancel routine. The requests are
// gathered on a private list under PendingLock and completed after it is released.
// IRQL at most DISPATCH_LEVEL.
void AbortPendingRequests(DeviceContext *dc, PFILE_OBJECT fileObject)
{
    LIST_ENTRY aborted;
    InitializeListHead(&aborted);

    KIRQL oldIrql;
    KeAcquireSpinLock(&dc->PendingLock, &oldIrql);
    PLIST_ENTRY entry = dc->PendingList.Flink;
    while (entry != &dc->PendingList) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        // The file object was copied into the stack location the driver pushed, which
        // is the current one while the request waits.
        const bool chosen = fileObject == nullptr || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject;
        if (chosen && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            InsertTailList(&aborted, entry);
        }
        entry = next;
    }
    KeReleaseSpinLock(&dc->PendingLock, oldIrql);

    while (!IsListEmpty(&aborted)) {
        PLIST_ENTRY head = RemoveHeadList(&aborted);
        PIRP irp = CONTAINING_RECORD(head, IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// IRP_MJ_CLEANUP: the last handle of a file object is being closed. Aborts that file
// object's waiting request; other handles' requests keep waiting. Takes no remove-lock
// reference and leaves RejectStatus alone. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    // A cleanup always names its file object; a null one must not turn into "abort
    // every handle's request".
    if (fileObject != nullptr) {
        AbortPendingRequests(ContextOf(deviceObject), fileObject);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}
