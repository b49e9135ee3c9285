// The device's remove lock: the one gate between Plug and Play removal and everything
// else. Every dispatched request and (on WDM 1.10 and later) every open handle holds a
// reference; removal sets Removing, drops the device's own reference and waits until the
// count reaches zero, after which every new acquire fails with STATUS_DELETE_PENDING.
// Any IRQL up to DISPATCH_LEVEL, except RemoveLockReleaseAndWait (PASSIVE_LEVEL).
#include "driver.h"

// Removing is set once by the removal and read by every acquire on other threads.
static BOOLEAN RemovalBegun(const TQ_REMOVE_LOCK *lock)
{
    return __atomic_load_n(&lock->Removing, __ATOMIC_SEQ_CST) != 0;
}

// Initial state: the device's own reference, not removing, event not signalled.
void RemoveLockInit(TQ_REMOVE_LOCK *lock)
{
    KeInitializeEvent(&lock->Event, NotificationEvent, FALSE);
    lock->Removing = 0;
    lock->Count = 1;
}

// Takes a reference for a request or handle. The increment comes before the test of
// Removing, so a removal that has not yet been seen will wait for this reference.
// The tag (request or file object) is accepted for symmetry and not recorded.
NTSTATUS RemoveLockAcquire(TQ_REMOVE_LOCK *lock, PVOID tag)
{
    InterlockedIncrement(&lock->Count);
    if (RemovalBegun(lock)) {
        RemoveLockRelease(lock, tag);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

// Drops a reference; the last one wakes the removal waiting in RemoveLockReleaseAndWait.
void RemoveLockRelease(TQ_REMOVE_LOCK *lock, PVOID tag)
{
    (void)tag;
    if (InterlockedDecrement(&lock->Count) == 0)
        KeSetEvent(&lock->Event, IO_NO_INCREMENT, FALSE);
}

// Removal: refuse new references, drop the caller's reference and the device's own, and
// wait until every holder has released. PASSIVE_LEVEL.
void RemoveLockReleaseAndWait(TQ_REMOVE_LOCK *lock, PVOID tag)
{
    __atomic_store_n(&lock->Removing, static_cast<UCHAR>(1), __ATOMIC_SEQ_CST);
    RemoveLockRelease(lock, tag);
    RemoveLockRelease(lock, tag);
    KeWaitForSingleObject(&lock->Event, Executive, KernelMode, FALSE, nullptr);
}
