// The driver's front door: create, close and device-control dispatch, request
// completion, the direct port codes, and the per-device PASSIVE_LEVEL locks. Every
// device-control request holds a remove-lock reference while it is being handled; the
// handlers of the acquisition, reader and board-command files are called in one form,
// handler(DeviceContext, InputLength, SystemBuffer, OutputLength, OutputAddress).
// Cleanup and the notification rendezvous live in pending_notify.cpp.
#include "driver.h"

// ---- Request completion ---------------------------------------------------------------

// Stores status and information in the request, completes it without priority boost and
// returns the status. The request must not be touched afterwards. IRQL <= DISPATCH_LEVEL.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// As CompleteRequest, leaving the information field as it stands.
NTSTATUS CompleteRequestStatus(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- Per-device locks -------------------------------------------------------------------
// Synchronization events, signalled while free: a wait takes the lock, a set gives it
// back. They are held only at PASSIVE_LEVEL and never inside the interrupt path.

// Called by AddDevice, before any request can reach the device. Also initialises the
// spin lock that hands the acquisition's event between the stop and the DPC.
void InitializeDeviceLocks(DeviceContext *dc)
{
    KeInitializeEvent(&dc->RequestLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&dc->EepromLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&dc->EventLock);
}

// PASSIVE_LEVEL; waits as long as another request of the device holds the lock. The
// lock is held inside a critical region: an application that suspends the requesting
// thread cannot leave the lock taken and freeze every other request of the device.
void AcquireDeviceLock(PKEVENT lock)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, nullptr);
}

// Gives the lock back and leaves the critical region AcquireDeviceLock entered.
void ReleaseDeviceLock(PKEVENT lock)
{
    KeSetEvent(lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

// ---- Create and close -----------------------------------------------------------------

// An accepted open marks its file object (in FsContext2, the field the I/O manager leaves
// to the device's driver) so that its close undoes exactly what the create did. Windows
// sends no close for a refused create; Wine's I/O manager hands out the handle of a
// refused create all the same and sends its close, which without the mark would drop a
// remove-lock reference that another handle holds, letting a removal delete the device
// under that handle.
static PVOID OpenMark(DeviceContext *dc) { return dc; }

// IRP_MJ_CREATE, PASSIVE_LEVEL. On WDM 1.10 and later an open handle keeps a remove-lock
// reference (tagged with its file object) until it is closed.
extern "C" NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!OldWdm) {
        NTSTATUS status = RemoveLockAcquire(&dc->RemoveLock, file);
        if (!NT_SUCCESS(status))
            return CompleteRequest(irp, status, 0);
    }
    InterlockedIncrement(&dc->OpenCount);
    if (file != nullptr)
        file->FsContext2 = OpenMark(dc);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_CLOSE, PASSIVE_LEVEL: drops what DispatchCreate took for this file object, and
// nothing when it took nothing.
extern "C" NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr || file->FsContext2 == OpenMark(dc)) {
        if (file != nullptr)
            file->FsContext2 = nullptr;
        InterlockedDecrement(&dc->OpenCount);
        if (!OldWdm)
            RemoveLockRelease(&dc->RemoveLock, file);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

// ---- Direct port codes ------------------------------------------------------------------

static ULONG PortWidth(ULONG code)
{
    switch (code) {
    case IOCTL_IN_BYTE:
    case IOCTL_OUT_BYTE:
        return 1;
    case IOCTL_IN_WORD:
    case IOCTL_OUT_WORD:
        return 2;
    default:
        return 4;
    }
}

// One port access at the port number in the record's first word, made holding RequestLock
// (so the ranges cannot be released under it). Refused before any port is touched: a
// buffer too short for the record (reads: the port number in, the value's width out;
// writes: the whole 8-byte record) with LastError 119; a device not started with 103; an
// access not wholly inside a port range the card claimed with 121 and
// STATUS_ACCESS_DENIED, so that no caller reaches another device's ports.
static NTSTATUS PortAccess(DeviceContext *dc, ULONG code, PUCHAR record)
{
    ULONG width = PortWidth(code);
    BOOLEAN isWrite = code == IOCTL_OUT_BYTE || code == IOCTL_OUT_WORD || code == IOCTL_OUT_DWORD;
    USHORT port;
    RtlCopyMemory(&port, record, sizeof(port));
    if (!dc->HardwareStarted) {
        StoreShared(&dc->LastError, TQ_DRV_NO_BOARD);
        return STATUS_UNSUCCESSFUL;
    }
    if (!PortSpanClaimed(dc, port, width)) {
        StoreShared(&dc->LastError, TQ_DRV_PORT_OUT_OF_RANGE);
        return STATUS_ACCESS_DENIED;
    }
    if (isWrite) {
        PUCHAR value = record + offsetof(TqPortRecord, Value);
        if (width == 1) {
            WRITE_PORT_UCHAR(PortAddress8(port, 0), value[0]);
        } else if (width == 2) {
            USHORT word;
            RtlCopyMemory(&word, value, sizeof(word));
            WRITE_PORT_USHORT(PortAddress16(port, 0), word);
        } else {
            ULONG dword;
            RtlCopyMemory(&dword, value, sizeof(dword));
            WRITE_PORT_ULONG(PortAddress32(port, 0), dword);
        }
    } else if (width == 1) {
        record[0] = READ_PORT_UCHAR(PortAddress8(port, 0));
    } else if (width == 2) {
        USHORT word = READ_PORT_USHORT(PortAddress16(port, 0));
        RtlCopyMemory(record, &word, sizeof(word));
    } else {
        ULONG dword = READ_PORT_ULONG(PortAddress32(port, 0));
        RtlCopyMemory(record, &dword, sizeof(dword));
    }
    return STATUS_SUCCESS;
}

// IOCTL_IN_* and IOCTL_OUT_*: the lengths checked, then PortAccess. PASSIVE_LEVEL.
static NTSTATUS PortRequest(DeviceContext *dc, ULONG code, ULONG inLen, PVOID sysBuf, ULONG outLen)
{
    StoreShared(&dc->LastError, TQ_OK);
    ULONG width = PortWidth(code);
    BOOLEAN isWrite = code == IOCTL_OUT_BYTE || code == IOCTL_OUT_WORD || code == IOCTL_OUT_DWORD;
    BOOLEAN tooShort = isWrite ? inLen < TqPortWriteInputBytes
                               : (inLen < TqPortReadInputBytes || outLen < width);
    if (tooShort || sysBuf == nullptr) {
        StoreShared(&dc->LastError, TQ_DRV_BUFFER_TOO_SHORT);
        return STATUS_INVALID_PARAMETER;
    }
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = PortAccess(dc, code, static_cast<PUCHAR>(sysBuf));
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// ---- Notification rendezvous -----------------------------------------------------------

// IOCTL_POST_NOTIFY: hands the post's first 4 bytes to the waiting IOCTL_WAIT_NOTIFY
// request and completes it. The waiting request is completed only after TakeNotifyWait
// has let go of PendingLock.
static NTSTATUS PostNotify(DeviceContext *dc, ULONG inLen, PVOID sysBuf)
{
    if (inLen < sizeof(ULONG) || sysBuf == nullptr)
        return STATUS_INVALID_PARAMETER;
    PIRP waiting = TakeNotifyWait(dc, &dc->EventIrpSlot);
    if (waiting == nullptr)
        return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(waiting->AssociatedIrp.SystemBuffer, sysBuf, sizeof(ULONG));
    CompleteRequest(waiting, STATUS_SUCCESS, sizeof(ULONG));
    return STATUS_SUCCESS;
}

// ---- Device control -----------------------------------------------------------------------

// The kernel address of an out-direct request's buffer: the MDL's system mapping when it
// already has one (or describes non-paged pool), else a kernel mapping of the locked
// pages. Null when there is no buffer or it cannot be mapped: mapping takes system page
// table entries, which can run out, so it uses the form that fails instead of stopping
// the machine.
static PVOID OutDirectAddress(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    if (mdl == nullptr)
        return nullptr;
    return MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
}

static TqHandler HandlerFor(ULONG code);

// An out-direct reader: its refusals first, then the caller's pages mapped, then the copy.
// A mapping that fails refuses the request with STATUS_INSUFFICIENT_RESOURCES and
// LastError 109. PASSIVE_LEVEL.
static NTSTATUS OutDirectRead(DeviceContext *dc, PIRP irp, ULONG code, ULONG inLen, PVOID sysBuf, ULONG outLen)
{
    NTSTATUS status = ReaderAccepts(dc, code, outLen);
    if (!NT_SUCCESS(status))
        return status;
    PVOID out = OutDirectAddress(irp);
    if (out == nullptr) {
        StoreShared(&dc->LastError, TQ_DRV_NO_MEMORY);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return HandlerFor(code)(dc, inLen, sysBuf, outLen, out);
}

// The handler of a code whose work lives in another file, or null.
static TqHandler HandlerFor(ULONG code)
{
    switch (code) {
    case IOCTL_INITIAL:
        return InitialHandler;
    case IOCTL_QUERY_BUF:
        return QueryBufHandler;
    case IOCTL_START:
        return StartHandler;
    case IOCTL_STOP:
        return StopHandler;
    case IOCTL_READ_OLDEST:
        return ReadOldestHandler;
    case IOCTL_READ_LATEST:
        return ReadLatestHandler;
    case IOCTL_READ_SNAPSHOT:
        return ReadSnapshotHandler;
    case IOCTL_BOARD_COMMAND:
        return BoardCommandHandler;
    case IOCTL_GET_LAST_ERROR:
        return GetLastErrorHandler;
    case IOCTL_CARD_FREQUENCY:
        return CardFrequencyHandler;
    default:
        return nullptr;
    }
}

// A buffered request's system buffer is pool that the I/O manager filled with the input
// only; every byte of it up to the output length goes back to the caller, since the
// information is always the output length. The part past the input is zeroed before a
// handler runs, so that what a handler does not write returns as zero, never as what
// the pool held before (another caller's data, kernel pointers), and what it writes
// stands. Direct and neither methods return nothing from the system buffer.
static void ClearBufferedReply(ULONG code, PVOID sysBuf, ULONG inLen, ULONG outLen)
{
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && sysBuf != nullptr && outLen > inLen)
        RtlZeroMemory(static_cast<PUCHAR>(sysBuf) + inLen, outLen - inLen);
}

// IRP_MJ_DEVICE_CONTROL, PASSIVE_LEVEL in the caller's thread. Every request that is not
// left pending is completed here, on success and failure alike, with information equal
// to the output length the caller supplied.
extern "C" NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    NTSTATUS status = RemoveLockAcquire(&dc->RemoveLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(irp, status, 0);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLen = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLen = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID sysBuf = irp->AssociatedIrp.SystemBuffer;
    ClearBufferedReply(code, sysBuf, inLen, outLen);

    switch (code) {
    case IOCTL_WAIT_NOTIFY:
        status = outLen < sizeof(ULONG) ? STATUS_INVALID_PARAMETER
                                        : QueueNotifyWait(dc, irp, &dc->EventIrpSlot);
        break;
    case IOCTL_POST_NOTIFY:
        status = PostNotify(dc, inLen, sysBuf);
        break;
    case IOCTL_IN_BYTE:
    case IOCTL_IN_WORD:
    case IOCTL_IN_DWORD:
    case IOCTL_OUT_BYTE:
    case IOCTL_OUT_WORD:
    case IOCTL_OUT_DWORD:
        status = PortRequest(dc, code, inLen, sysBuf, outLen);
        break;
    case IOCTL_READ_OLDEST:
    case IOCTL_READ_LATEST:
    case IOCTL_READ_SNAPSHOT:
        status = OutDirectRead(dc, irp, code, inLen, sysBuf, outLen);
        break;
    case IOCTL_START:
        status = StartAcquisition(dc, inLen, sysBuf, irp->RequestorMode);
        break;
    default: {
        TqHandler handler = HandlerFor(code);
        status = handler != nullptr ? handler(dc, inLen, sysBuf, outLen, sysBuf)
                                    : STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    }

    // A request left pending holds no remove-lock reference and is not touched again:
    // another thread may complete it at any moment.
    RemoveLockRelease(&dc->RemoveLock, irp);
    if (status != STATUS_PENDING)
        CompleteRequest(irp, status, outLen);
    return status;
}
