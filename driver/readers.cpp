// Result retrieval: IOCTL_QUERY_BUF, IOCTL_READ_OLDEST, IOCTL_READ_LATEST and
// IOCTL_READ_SNAPSHOT hand the acquired data to the caller by copy.
//
// A ring buffer crosses whole: word 0 is the sequence word, then the samples scan after
// scan. The snapshot reply is the sequence number of passes, the newest whole scans of
// the circular buffer oldest first, and the index of the newest scan.
//
// PASSIVE_LEVEL. Each reader holds the device's RequestLock for its whole run, so a stop
// and a start in other threads cannot release the block it copies from. The interrupt
// routine keeps running meanwhile and takes no lock: the reader takes the ring's state
// (WriteIndex, ReadIndex, OverrunCount) in one piece and commits its new ReadIndex with
// OverrunCount cleared in one piece, each under the interrupt's lock, so that the
// routine's increment of OverrunCount can never straddle the reader's clearing of it.
// The copy itself runs without that lock: a ring buffer that holds unread data is never
// written by the routine.
#include "driver.h"

namespace {

struct RingState {
    DeviceContext *dc;
    USHORT write;
    USHORT read;
    USHORT overrun;
};

struct SnapshotState {
    DeviceContext *dc;
    ULONG position;
    USHORT sequence;
};

}  // namespace

// Device IRQL, under the interrupt lock.
static BOOLEAN NTAPI TakeRingState(PVOID context)
{
    RingState *state = static_cast<RingState *>(context);
    state->write = LoadShared(&state->dc->WriteIndex);
    state->read = LoadShared(&state->dc->ReadIndex);
    state->overrun = LoadShared(&state->dc->OverrunCount);
    return TRUE;
}

// Device IRQL, under the interrupt lock: the new ReadIndex (in state->read) and the end
// of any overrun, together.
static BOOLEAN NTAPI CommitRead(PVOID context)
{
    RingState *state = static_cast<RingState *>(context);
    StoreShared(&state->dc->ReadIndex, state->read);
    StoreShared(&state->dc->OverrunCount, 0);
    return TRUE;
}

static BOOLEAN NTAPI TakeSnapshotState(PVOID context)
{
    SnapshotState *state = static_cast<SnapshotState *>(context);
    state->position = LoadShared(&state->dc->SnapWritePos);
    state->sequence = LoadShared(&state->dc->SequenceNo);
    return TRUE;
}

// Runs a routine under the interrupt's lock; with no interrupt connected (resources
// released) nothing can run the sequencer, and the routine runs directly.
static void WithInterruptLock(DeviceContext *dc, PKSYNCHRONIZE_ROUTINE routine, PVOID context)
{
    if (dc->InterruptObject != nullptr)
        KeSynchronizeExecution(dc->InterruptObject, routine, context);
    else
        routine(context);
}

static NTSTATUS Refuse(DeviceContext *dc, LONG error, NTSTATUS status)
{
    StoreShared(&dc->LastError, error);
    return status;
}

// The checks every reader begins with: opened, running, and the last start in the
// reader's mode. Nothing is written on refusal.
static NTSTATUS CheckReader(DeviceContext *dc, USHORT mode)
{
    StoreShared(&dc->LastError, TQ_OK);
    if (!dc->Opened)
        return Refuse(dc, TQ_DRV_NOT_INITIALISED, STATUS_UNSUCCESSFUL);
    if (!LoadShared(&dc->Running))
        return Refuse(dc, TQ_DRV_NOT_RUNNING, STATUS_UNSUCCESSFUL);
    if (dc->LastMode != mode)
        return Refuse(dc, mode == MODE_RING ? TQ_DRV_NOT_RING_MODE : TQ_DRV_NOT_SNAPSHOT_MODE,
                      STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
}

static NTSTATUS QueryBuf(DeviceContext *dc, ULONG outLen, PVOID out)
{
    NTSTATUS status = CheckReader(dc, MODE_RING);
    if (!NT_SUCCESS(status))
        return status;
    if (outLen < sizeof(USHORT) || out == nullptr)
        return Refuse(dc, TQ_DRV_BUFFER_TOO_SHORT, STATUS_INVALID_PARAMETER);
    RingState ring = {dc, 0, 0, 0};
    WithInterruptLock(dc, TakeRingState, &ring);
    LONG unread = static_cast<SHORT>(ring.write - ring.read);
    if (unread < 0)
        unread += dc->BufferCount;
    if (ring.overrun != 0)
        unread = dc->BufferCount;
    USHORT reply = static_cast<USHORT>(unread);
    RtlCopyMemory(out, &reply, sizeof(reply));
    return STATUS_SUCCESS;
}

// IOCTL_QUERY_BUF: the number of unread ring buffers (all of them during an overrun), as
// one u16. An output below 2 bytes is refused (119) without being written.
NTSTATUS QueryBufHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)inLen;
    (void)sysBuf;
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = QueryBuf(dc, outLen, out);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// The ring readers' refusals, before anything is copied: not opened, not running, not
// ring mode, an output below BufferBytes, no unread buffer. On success *ring holds the
// ring's state as taken under the interrupt's lock.
static NTSTATUS CheckRingRead(DeviceContext *dc, ULONG outLen, RingState *ring)
{
    NTSTATUS status = CheckReader(dc, MODE_RING);
    if (!NT_SUCCESS(status))
        return status;
    if (outLen < dc->BufferBytes)
        return Refuse(dc, TQ_DRV_OUTPUT_LENGTH, STATUS_UNSUCCESSFUL);
    WithInterruptLock(dc, TakeRingState, ring);
    if (ring->write == ring->read && ring->overrun == 0)
        return Refuse(dc, TQ_NO_DATA, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
}

// The snapshot reader's refusals: not opened, not running, not snapshot mode, an output
// below the reply's 6 fixed bytes (119) or above a whole buffer with them (112).
static NTSTATUS CheckSnapshotRead(DeviceContext *dc, ULONG outLen)
{
    NTSTATUS status = CheckReader(dc, MODE_SNAPSHOT);
    if (!NT_SUCCESS(status))
        return status;
    if (outLen < 6)
        return Refuse(dc, TQ_DRV_BUFFER_TOO_SHORT, STATUS_INVALID_PARAMETER);
    if (static_cast<ULONGLONG>(outLen) > static_cast<ULONGLONG>(dc->BufferBytes) + 4)
        return Refuse(dc, TQ_DRV_OUTPUT_LENGTH, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
}

// Whether a reader would copy now: the refusals of IOCTL_READ_OLDEST, IOCTL_READ_LATEST or
// IOCTL_READ_SNAPSHOT, each with its LastError, without copying anything. The dispatcher
// asks before it maps the caller's pages, so that a request refused anyway never takes
// system address space. PASSIVE_LEVEL.
NTSTATUS ReaderAccepts(DeviceContext *dc, ULONG code, ULONG outLen)
{
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status;
    if (code == IOCTL_READ_SNAPSHOT) {
        status = CheckSnapshotRead(dc, outLen);
    } else {
        RingState ring = {dc, 0, 0, 0};
        status = CheckRingRead(dc, outLen, &ring);
    }
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// The two ring readers. Oldest copies buffer ReadIndex and consumes it; latest copies the
// newest full buffer (during an overrun, the one at WriteIndex) and consumes them all.
static NTSTATUS ReadRing(DeviceContext *dc, ULONG outLen, PVOID out, BOOLEAN latest)
{
    RingState ring = {dc, 0, 0, 0};
    NTSTATUS status = CheckRingRead(dc, outLen, &ring);
    if (!NT_SUCCESS(status))
        return status;
    if (out == nullptr)
        return Refuse(dc, TQ_DRV_OUTPUT_LENGTH, STATUS_UNSUCCESSFUL);

    USHORT index;
    USHORT nextRead;
    if (latest) {
        if (ring.overrun != 0)
            index = ring.write;
        else
            index = ring.write == 0 ? static_cast<USHORT>(dc->BufferCount - 1)
                                    : static_cast<USHORT>(ring.write - 1);
        nextRead = ring.write;
    } else {
        index = ring.read;
        nextRead = static_cast<USHORT>(ring.read + 1 == dc->BufferCount ? 0 : ring.read + 1);
    }
    RtlCopyMemory(out, dc->BufferTable[index], dc->BufferBytes);

    ring.read = nextRead;
    WithInterruptLock(dc, CommitRead, &ring);
    return STATUS_SUCCESS;
}

// IOCTL_READ_OLDEST: the oldest unread ring buffer, BufferBytes bytes at the caller's
// locked pages (the rest of a larger output is left as it was).
NTSTATUS ReadOldestHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)inLen;
    (void)sysBuf;
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = ReadRing(dc, outLen, out, FALSE);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// IOCTL_READ_LATEST: the newest full ring buffer; every buffer filled so far counts as read.
NTSTATUS ReadLatestHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)inLen;
    (void)sysBuf;
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = ReadRing(dc, outLen, out, TRUE);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// Copies circular-buffer samples [first, first + count) to dest, one aligned load per
// sample: the sequencer may be writing the buffer at the same moment.
static PUCHAR CopySamples(PUCHAR dest, const USHORT *samples, ULONG first, ULONG count)
{
    for (ULONG k = 0; k < count; ++k) {
        USHORT value = LoadShared(&samples[first + k]);
        RtlCopyMemory(dest, &value, sizeof(value));
        dest += sizeof(value);
    }
    return dest;
}

static NTSTATUS ReadSnapshot(DeviceContext *dc, ULONG outLen, PVOID out)
{
    NTSTATUS status = CheckSnapshotRead(dc, outLen);
    if (!NT_SUCCESS(status))
        return status;
    if (out == nullptr)
        return Refuse(dc, TQ_DRV_BUFFER_TOO_SHORT, STATUS_INVALID_PARAMETER);

    SnapshotState snap = {dc, 0, 0};
    WithInterruptLock(dc, TakeSnapshotState, &snap);
    ULONG channels = dc->LayoutChannelCount;
    ULONG total = dc->SamplesPerBuffer;
    // P: samples from the start of the circular buffer to the end of the newest scan.
    ULONG p = snap.position != 0 ? snap.position : total;
    // W: the samples of whole scans that fit after the 6 bytes of overhead.
    ULONG w = ((outLen / 2) - 3) / channels * channels;

    PUCHAR dest = static_cast<PUCHAR>(out);
    RtlCopyMemory(dest, &snap.sequence, sizeof(snap.sequence));
    dest += sizeof(snap.sequence);
    const USHORT *samples = dc->BufferTable[0] + 1;
    if (p >= w) {
        dest = CopySamples(dest, samples, p - w, w);
    } else {
        dest = CopySamples(dest, samples, total - (w - p), w - p);
        dest = CopySamples(dest, samples, 0, p);
    }
    LONG newest = static_cast<LONG>(p / channels) - 1;
    RtlCopyMemory(dest, &newest, sizeof(newest));
    return STATUS_SUCCESS;
}

// IOCTL_READ_SNAPSHOT: the newest whole scans of the circular snapshot buffer, as many as
// fit the output. An output below 6 bytes (119) or above a whole buffer with its 6 bytes
// of overhead (112) is refused without being written; an odd length counts one byte less.
NTSTATUS ReadSnapshotHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)inLen;
    (void)sysBuf;
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = ReadSnapshot(dc, outLen, out);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}
