// Moving the acquisition engine between idle and running: IOCTL_INITIAL, IOCTL_START and
// IOCTL_STOP, the removal-time release of the buffer block, the pacing timer (8254
// counter 0) and the three operations on the bridge's interrupt control/status register.
//
// The three request handlers run at PASSIVE_LEVEL and hold the device's RequestLock for
// their whole run, as do the readers, so that no reader ever copies from a block that a
// start is releasing. The bridge operations run at device IRQL: from the interrupt
// routine directly, or through KeSynchronizeExecution from here, so that IntCsr's
// read-modify-writes never interleave.
#include "driver.h"
#include "rate_split.h"

// ---- Bridge interrupt control/status register ------------------------------------------

static ULONG ReadIntCsr(DeviceContext *dc)
{
    return READ_PORT_ULONG(PortAddress32(dc->BridgeBase, BRIDGE_INTCSR));
}

static void WriteIntCsr(DeviceContext *dc, ULONG value)
{
    WRITE_PORT_ULONG(PortAddress32(dc->BridgeBase, BRIDGE_INTCSR), value);
}

// Acknowledges an enabled, pending interrupt at the bridge: turns the PCI interrupt off
// (EnableBridgeInterrupts turns it on again) and clears or masks each local source that
// is pending, recording the sources in IntSource. FALSE, with nothing written, when the
// interrupt is not the card's, IntCsr reading all ones included (the card is gone or
// powered down). Device IRQL, under the interrupt lock.
extern "C" BOOLEAN NTAPI AckBridgeInterrupt(PVOID context)
{
    DeviceContext *dc = static_cast<DeviceContext *>(context);
    if (dc->BridgeBase == 0 || dc->BoardBase == 0)
        return FALSE;
    ULONG v = ReadIntCsr(dc);
    dc->LastIntCsr = v;
    // All ones: the card is gone or powered down, and what asserted the line is not it.
    // Writing back would only feed a shared line's storm.
    if (v == INTCSR_CARD_ABSENT)
        return FALSE;
    if (!(v & INTCSR_PCI_ENABLE) || !(v & (INTCSR_LINT1_STATUS | INTCSR_LINT2_STATUS)))
        return FALSE;
    WriteIntCsr(dc, v & ~INTCSR_PCI_ENABLE);

    dc->IntSource = 0;
    ULONG w = ReadIntCsr(dc);
    // An edge-triggered, active-high source is cleared by its edge-clear bit; any other
    // (level-triggered) source is masked until EnableBridgeInterrupts. Both writes start
    // from the same w.
    if (w & INTCSR_LINT1_STATUS) {
        dc->IntSource |= INT_SOURCE_LINT1;
        const ULONG edgeHigh = INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE;
        WriteIntCsr(dc, (w & edgeHigh) == edgeHigh ? w | INTCSR_LINT1_CLEAR : w & ~INTCSR_LINT1_ENABLE);
    }
    if (w & INTCSR_LINT2_STATUS) {
        dc->IntSource |= INT_SOURCE_LINT2;
        const ULONG edgeHigh = INTCSR_LINT2_ACTIVE_HIGH | INTCSR_LINT2_EDGE;
        WriteIntCsr(dc, (w & edgeHigh) == edgeHigh ? w | INTCSR_LINT2_CLEAR : w & ~INTCSR_LINT2_ENABLE);
    }
    return TRUE;
}

// Enables local interrupt 1 and the PCI interrupt (never local interrupt 2). Device IRQL
// (interrupt routine or KeSynchronizeExecution).
extern "C" BOOLEAN NTAPI EnableBridgeInterrupts(PVOID context)
{
    DeviceContext *dc = static_cast<DeviceContext *>(context);
    if (dc->BridgeBase == 0)
        return FALSE;
    ULONG v = ReadIntCsr(dc) | INTCSR_LINT1_ENABLE | INTCSR_PCI_ENABLE;
    dc->LastIntCsr = v;
    WriteIntCsr(dc, v);
    return TRUE;
}

// Prepares local interrupt 1 for pacing, whatever the bridge powered up with or was left
// with: edge-triggered and active high, so that counter 0's square wave gives one
// interrupt per period (level-triggered, its line would stay asserted for half of each
// period and the routine would run again and again), and any edge latched before the
// start forgotten (halting counter 0 raises its output, an edge of its own; a stale latch
// would run a sequencer step at once, starting a conversion on top of the start's).
// Enables nothing. Device IRQL through KeSynchronizeExecution.
extern "C" BOOLEAN NTAPI ArmBridgeInterrupts(PVOID context)
{
    DeviceContext *dc = static_cast<DeviceContext *>(context);
    if (dc->BridgeBase == 0)
        return FALSE;
    ULONG v = (ReadIntCsr(dc) & ~(INTCSR_LINT1_STATUS | INTCSR_LINT2_STATUS)) | INTCSR_LINT1_EDGE |
              INTCSR_LINT1_ACTIVE_HIGH;
    dc->LastIntCsr = v;
    WriteIntCsr(dc, v | INTCSR_LINT1_CLEAR);
    return TRUE;
}

// Disables both local interrupts and the PCI interrupt. Device IRQL through
// KeSynchronizeExecution, or PASSIVE_LEVEL before the interrupt is connected.
extern "C" BOOLEAN NTAPI DisableBridgeInterrupts(PVOID context)
{
    DeviceContext *dc = static_cast<DeviceContext *>(context);
    if (dc->BridgeBase == 0)
        return FALSE;
    ULONG v = ReadIntCsr(dc) & ~(INTCSR_LINT1_ENABLE | INTCSR_LINT2_ENABLE | INTCSR_PCI_ENABLE);
    dc->LastIntCsr = v;
    WriteIntCsr(dc, v);
    return TRUE;
}

// ---- Pacing timer -------------------------------------------------------------------------

// Loads counter 0 for TimerRate interrupts per second: square wave, divisor low byte then
// high byte. RateSplit never asks for less than 92 Hz, the slowest rate the 16-bit count
// reaches. PASSIVE_LEVEL.
void LoadTimer(DeviceContext *dc)
{
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_TIMER_CONTROL), TIMER0_SQUARE_MODE3);
    ULONG divisor = static_cast<ULONG>(TqTimerDivisor(dc->TimerRate));
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_COUNTER0), static_cast<UCHAR>(divisor & 0xFF));
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_COUNTER0), static_cast<UCHAR>((divisor >> 8) & 0xFF));
}

// ---- Helpers of the handlers ----------------------------------------------------------------

static NTSTATUS Refuse(DeviceContext *dc, LONG error, NTSTATUS status)
{
    StoreShared(&dc->LastError, error);
    return status;
}

// Gain code → 2-bit gain index: the binary factors 1, 2, 4, 8 and the decade factors
// 1, 10, 100, 1000 both map to indices 0 to 3.
static USHORT GainIndex(USHORT gainCode)
{
    if (gainCode <= 1)
        return 0;
    if (gainCode <= 3)
        return 1;
    if (gainCode <= 7)
        return 2;
    if (gainCode <= 9)
        return 3;
    if (gainCode <= 99)
        return 1;
    if (gainCode <= 999)
        return 2;
    return 3;
}

// Whether a StartRecord can be laid out: 1…32 channels, at least one scan per buffer, at
// least one buffer in ring mode, for a one-channel start a first channel that fits the
// control register's channel bits, and a buffer block (pointer table and buffers) whose
// size fits 32 bits. A scan of several channels always begins at channel 0 and never
// uses FirstChannel, so its value is no reason to refuse one. On success *blockBytes is
// that size.
static BOOLEAN StartRecordInRange(const TqStartRecord &record, ULONG *blockBytes)
{
    if (record.ChannelCount < 1 || record.ChannelCount > MAX_CHANNELS)
        return FALSE;
    if (record.ScansPerBuffer < 1)
        return FALSE;
    if (record.ChannelCount == 1 && record.FirstChannel > CONTROL_CHANNEL_MASK)
        return FALSE;
    ULONGLONG bufferCount = record.SnapshotFlag != 0 ? 1 : record.BufferCount;
    if (bufferCount < 1)
        return FALSE;
    ULONGLONG samples = static_cast<ULONGLONG>(record.ChannelCount) * record.ScansPerBuffer;
    ULONGLONG bufferBytes = 2 * samples + 2;
    ULONGLONG block = bufferCount * (bufferBytes + sizeof(PVOID));
    if (block > 0xFFFFFFFFull)
        return FALSE;
    *blockBytes = static_cast<ULONG>(block);
    return TRUE;
}

// Releases the buffer block of an earlier start. Only while no acquisition runs.
static void FreeBufferBlock(DeviceContext *dc)
{
    if (dc->BufferTable != nullptr)
        ExFreePool(dc->BufferTable);
    dc->BufferTable = nullptr;
    dc->CurrentBuffer = nullptr;
    StoreShared(&dc->ActiveMode, MODE_IDLE);
    dc->LastMode = MODE_IDLE;
}

// Sets the event that the DPC signals, under the lock the DPC signals it under. A start
// (newGeneration) also begins the next generation, which a DPC queued by an earlier
// acquisition does not match.
static PKEVENT ExchangeUserEvent(DeviceContext *dc, PKEVENT event, BOOLEAN newGeneration = FALSE)
{
    KIRQL irql;
    KeAcquireSpinLock(&dc->EventLock, &irql);
    PKEVENT previous = dc->UserEvent;
    dc->UserEvent = event;
    if (newGeneration)
        StoreShared(&dc->StartGeneration, dc->StartGeneration + 1);
    KeReleaseSpinLock(&dc->EventLock, irql);
    return previous;
}

// Halts a running acquisition: Running first (an interrupt that arrives now takes the
// idle path), then counter 0, then the bridge under the interrupt lock, after which no
// interrupt routine is inside the sequencer and none queues the DPC. A DPC still queued
// for the last full buffer is removed; one already running signals, if at all, before
// the event is taken out under EventLock, so nothing signals the event once it is let go.
// Without a connected interrupt (resources released) the bridge is left alone.
// RequestLock held, PASSIVE_LEVEL.
static void StopAcquisition(DeviceContext *dc)
{
    StoreShared(&dc->Running, 0);
    if (dc->BoardBase != 0)
        WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_TIMER_CONTROL), TIMER0_HALT_MODE2);
    if (dc->InterruptObject != nullptr)
        KeSynchronizeExecution(dc->InterruptObject, DisableBridgeInterrupts, dc);
    StoreShared(&dc->ActiveMode, MODE_IDLE);

    if (dc->DeviceObject != nullptr)
        KeRemoveQueueDpc(&dc->DeviceObject->Dpc);
    PKEVENT event = ExchangeUserEvent(dc, nullptr);
    if (event != nullptr)
        ObfDereferenceObject(event);
}

// ---- IOCTL_INITIAL ------------------------------------------------------------------------

static NTSTATUS Initial(DeviceContext *dc, ULONG inLen)
{
    StoreShared(&dc->LastError, TQ_OK);
    if (inLen != sizeof(TqInitialRecord))
        return Refuse(dc, TQ_DRV_INITIAL_LENGTH, STATUS_INVALID_PARAMETER);
    if (dc->Opened && LoadShared(&dc->Running)) {
        StopAcquisition(dc);
        return Refuse(dc, TQ_DRV_RUNNING, STATUS_UNSUCCESSFUL);
    }
    if (dc->Opened)
        return STATUS_SUCCESS;
    if (dc->BoardBase == 0 || dc->PortCount < 2)
        return Refuse(dc, TQ_DRV_NO_BOARD, STATUS_UNSUCCESSFUL);
    if (dc->IrqLevel == 0)
        return Refuse(dc, TQ_DRV_NO_INTERRUPT, STATUS_UNSUCCESSFUL);
    StoreShared(&dc->Opened, 1);
    return STATUS_SUCCESS;
}

// IOCTL_INITIAL: checks that start-device found the board's registers and an interrupt,
// and marks the device opened; an acquisition found running is stopped and reported
// (102). The 16-byte record is checked for its length only. PASSIVE_LEVEL.
NTSTATUS InitialHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)sysBuf;
    (void)outLen;
    (void)out;
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = Initial(dc, inLen);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// ---- IOCTL_START ----------------------------------------------------------------------------

static NTSTATUS Start(DeviceContext *dc, ULONG inLen, PVOID sysBuf, KPROCESSOR_MODE requestorMode)
{
    StoreShared(&dc->LastError, TQ_OK);
    if (!dc->Opened)
        return Refuse(dc, TQ_DRV_NOT_INITIALISED, STATUS_UNSUCCESSFUL);
    if (LoadShared(&dc->Running))
        return Refuse(dc, TQ_DRV_RUNNING, STATUS_UNSUCCESSFUL);
    if (inLen != sizeof(TqStartRecord) || sysBuf == nullptr)
        return Refuse(dc, TQ_DRV_START_LENGTH, STATUS_INVALID_PARAMETER);
    // The bridge is programmed under the interrupt's lock; without a connected interrupt
    // (resources released, or never claimed) there is nothing to pace the acquisition.
    if (dc->InterruptObject == nullptr)
        return Refuse(dc, TQ_DRV_NO_INTERRUPT, STATUS_UNSUCCESSFUL);
    // A card out of D0 answers nothing, and comes back from D3 reset: what a start wrote
    // to it would be lost, or half of it would reach the card after the wake. A power-down
    // records its state under this lock once it has stopped the acquisition, so a start
    // either ran wholly before it (and was stopped) or is refused here.
    if (LoadShared(&dc->DevicePower) != PowerDeviceD0)
        return Refuse(dc, TQ_DRV_NO_BOARD, STATUS_UNSUCCESSFUL);

    TqStartRecord record;
    RtlCopyMemory(&record, sysBuf, sizeof(record));
    ULONG blockBytes = 0;
    if (!StartRecordInRange(record, &blockBytes))
        return Refuse(dc, TQ_DRV_START_FIELD, STATUS_INVALID_PARAMETER);

    // Ring mode signals the caller's event from the DPC, so it must be referenced before
    // anything changes; a handle that is null, closed, not an event or without the right
    // to signal it refuses the start. It is looked up in the mode of the request's
    // sender: an application's value can name only its own handles, never a kernel
    // handle, and is held to the access its handle grants.
    PKEVENT event = nullptr;
    if (record.SnapshotFlag == 0) {
        // The record carries the handle in 32 bits; widened by sign extension, as 64-bit
        // Windows widens a handle a 32-bit process passes (kernel handles have the top bit).
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(record.EventHandle)));
        NTSTATUS ref = handle == nullptr
                           ? STATUS_INVALID_HANDLE
                           : ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                       requestorMode, reinterpret_cast<PVOID *>(&event), nullptr);
        if (!NT_SUCCESS(ref) || event == nullptr)
            return Refuse(dc, TQ_DRV_EVENT_REFERENCE, STATUS_UNSUCCESSFUL);
    }

    dc->ChannelCount = record.ChannelCount;
    dc->FirstChannel = record.FirstChannel;
    dc->ScansPerBuffer = record.ScansPerBuffer;
    dc->RequestedRate = record.Rate;
    dc->StartReserved = record.Reserved8;
    dc->SnapshotFlag = record.SnapshotFlag;
    dc->BufferCount = record.SnapshotFlag != 0 ? 1 : record.BufferCount;
    dc->GainCode = record.GainCode;
    dc->SamplesPerBuffer = static_cast<ULONG>(record.ChannelCount) * record.ScansPerBuffer;
    dc->BufferBytes = 2 * dc->SamplesPerBuffer + 2;
    ExchangeUserEvent(dc, event, TRUE);

    FreeBufferBlock(dc);
    PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, blockBytes, TQ_POOL_TAG));
    if (block == nullptr) {
        // Nothing stays referenced when the start fails.
        ExchangeUserEvent(dc, nullptr);
        if (event != nullptr)
            ObfDereferenceObject(event);
        return Refuse(dc, TQ_DRV_NO_MEMORY, STATUS_UNSUCCESSFUL);
    }

    // The block: BufferCount buffer pointers, then the buffers back to back.
    PUSHORT *table = reinterpret_cast<PUSHORT *>(block);
    PUCHAR firstBuffer = block + dc->BufferCount * sizeof(PUSHORT);
    for (ULONG i = 0; i < dc->BufferCount; ++i)
        table[i] = reinterpret_cast<PUSHORT>(firstBuffer + i * dc->BufferBytes);
    dc->BufferTable = table;

    dc->SequenceNo = 0;
    dc->WriteIndex = 0;
    dc->ReadIndex = 0;
    dc->OverrunCount = 0;
    dc->FillCount = 0;
    dc->CurrentBuffer = table[0];
    dc->SnapWritePos = 0;
    dc->LayoutChannelCount = record.ChannelCount;
    // The counters restart with each acquisition; no interrupt routine steps until Running.
    StoreShared(&dc->ScansStored, 0);
    StoreShared(&dc->ScansDropped, 0);
    StoreShared(&dc->Overruns, 0);
    // A snapshot taken before the sequencer has gone round once shows zeros, not pool.
    if (record.SnapshotFlag != 0)
        RtlZeroMemory(table[0] + 1, dc->SamplesPerBuffer * sizeof(USHORT));
    USHORT mode = record.SnapshotFlag != 0 ? MODE_SNAPSHOT : MODE_RING;
    StoreShared(&dc->ActiveMode, mode);
    dc->LastMode = mode;

    // Halt counter 0 while the card is set up; it is loaded last.
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_TIMER_CONTROL), TIMER0_HALT_MODE2);
    TqRateSplit split = RateSplit(dc->RequestedRate);
    dc->TimerRate = split.TimerRate;
    dc->SoftDivisor = split.SoftDivisor;
    dc->SoftDivCount = 0;
    dc->ScanIndex = 0;
    dc->DiscardCount = 2;
    StoreShared(&dc->CtrlGainBits, GainIndex(dc->GainCode) << CONTROL_GAIN_SHIFT);

    // A scan of several channels always begins at channel 0; only a one-channel
    // acquisition selects FirstChannel.
    UCHAR control = static_cast<UCHAR>(dc->CtrlGainBits & 0xFF);
    if (dc->LayoutChannelCount == 1)
        control |= static_cast<UCHAR>(dc->FirstChannel & 0xFF);
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_CONTROL), control);
    // The conversion of the previous acquisition's last step, or of a board command, may
    // still be running: starting another now would throw its result away half-way on the
    // card. A converter that never finishes does not stop the start; its data show it.
    (void)WaitConversionDone(dc);
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_START_CONVERSION), 0);

    KeSynchronizeExecution(dc->InterruptObject, AckBridgeInterrupt, dc);
    KeSynchronizeExecution(dc->InterruptObject, ArmBridgeInterrupts, dc);
    KeSynchronizeExecution(dc->InterruptObject, EnableBridgeInterrupts, dc);
    // Everything is in place before the first paced interrupt can find Running set.
    StoreShared(&dc->Running, 1);
    LoadTimer(dc);
    return STATUS_SUCCESS;
}

// IOCTL_START: validates the StartRecord, references the ring mode's event (looked up in
// requestorMode, the request's RequestorMode), lays out a fresh buffer block (releasing
// the previous one), programs gain, channel and one conversion, enables the bridge and
// loads counter 0. Every refusal before the block is released leaves the device as it
// was. PASSIVE_LEVEL, in the requesting process.
NTSTATUS StartAcquisition(DeviceContext *dc, ULONG inLen, PVOID sysBuf, KPROCESSOR_MODE requestorMode)
{
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = Start(dc, inLen, sysBuf, requestorMode);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// IOCTL_START in the handlers' calling form, which carries no request: the event handle
// is looked up as an application's (UserMode).
NTSTATUS StartHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)outLen;
    (void)out;
    return StartAcquisition(dc, inLen, sysBuf, UserMode);
}

// ---- IOCTL_STOP -------------------------------------------------------------------------------

// IOCTL_STOP: halts the running acquisition and lets go of its event. The buffer block,
// LastMode and the ring state stay until the next start. PASSIVE_LEVEL.
NTSTATUS StopHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)inLen;
    (void)sysBuf;
    (void)outLen;
    (void)out;
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status = STATUS_SUCCESS;
    StoreShared(&dc->LastError, TQ_OK);
    if (!dc->Opened) {
        status = Refuse(dc, TQ_DRV_NOT_INITIALISED, STATUS_UNSUCCESSFUL);
    } else if (!LoadShared(&dc->Running)) {
        status = Refuse(dc, TQ_DRV_NOT_RUNNING, STATUS_UNSUCCESSFUL);
    } else {
        StopAcquisition(dc);
    }
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// ---- Power-down -------------------------------------------------------------------------------

// A device power-down to deviceState (D1–D3), before the request goes down to take the
// card's power: a running acquisition stops as IOCTL_STOP stops it (counter halted, event
// let go; LastError untouched), and the bridge's interrupts are disabled whether or not one
// ran, so that the card raises nothing while it loses power. The application finds the
// acquisition stopped (110) after the wake. deviceState is recorded, when it has less power
// than DevicePower, before RequestLock is let go: a start waiting for the lock then finds
// the device leaving D0 and is refused, instead of programming a card about to lose its
// power (and its timer's programming with it). Recorded only once the bridge is silent,
// since from then on the interrupt routine claims nothing. Returns whether it was
// recorded. PASSIVE_LEVEL (the device is power-pageable).
BOOLEAN PowerDownAcquisition(DeviceContext *dc, LONG deviceState)
{
    AcquireDeviceLock(&dc->RequestLock);
    if (LoadShared(&dc->Running))
        StopAcquisition(dc);
    else if (dc->InterruptObject != nullptr)
        KeSynchronizeExecution(dc->InterruptObject, DisableBridgeInterrupts, dc);
    const BOOLEAN lowered = deviceState > LoadShared(&dc->DevicePower);
    if (lowered)
        StoreShared(&dc->DevicePower, deviceState);
    ReleaseDeviceLock(&dc->RequestLock);
    return lowered;
}

// ---- Removal ----------------------------------------------------------------------------------

// Called by the removal of the device: stops a running acquisition as IOCTL_STOP would
// and frees the last buffer block. PASSIVE_LEVEL.
void ReleaseAcquisition(DeviceContext *dc)
{
    AcquireDeviceLock(&dc->RequestLock);
    if (LoadShared(&dc->Running))
        StopAcquisition(dc);
    FreeBufferBlock(dc);
    ReleaseDeviceLock(&dc->RequestLock);
}
