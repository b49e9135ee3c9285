// The interrupt side of the acquisition engine. Each tick of counter 0 raises the card's
// local interrupt 1; the interrupt routine acknowledges it at the bridge, counts the
// software divisor and runs one conversion step: read the finished conversion, start the
// next, select the channel of a later one. Complete scans go into the ring of buffers
// (ring mode) or the circular snapshot buffer (snapshot mode); a full ring buffer queues
// the device's DPC, which only signals the application's event.
//
// The card's results lag its channel selection: the result read at a step belongs to the
// channel selected three steps earlier. After a start the first results belong to
// whatever the converter held before the start; those are discarded, so that every
// stored sample, from the first scan on, sits in the slot of its own channel.
//
// Runs at device IRQL under the interrupt object's lock and takes no other lock; the
// readers share the ring indices and buffers with it as described in readers.cpp.
#include "driver.h"

// The conversion the card has finished: high byte << 8 | low byte, as read.
static USHORT ReadResult(DeviceContext *dc)
{
    UCHAR high = READ_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_AD_HIGH));
    UCHAR low = READ_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_AD_LOW));
    return static_cast<USHORT>((high << 8) | low);
}

static void StartConversion(DeviceContext *dc)
{
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_START_CONVERSION), 0);
}

// index mod channels, for an index at most a couple of channels past the last: a
// subtraction where a division would cost more than the rest of the step together.
static USHORT WrapChannel(ULONG index, USHORT channels)
{
    while (index >= channels)
        index -= channels;
    return static_cast<USHORT>(index);
}

// One conversion step; TRUE when it completed a scan (ScanValues then holds it).
//
// One channel: every step reads a result and starts the next conversion on the channel
// the start selected. The first step after a start reads what the converter held
// before the start, so it stores nothing.
//
// Several channels: the first two steps after a start read nothing; the first sample
// kept (step 3) is channel 0, which the start selected. The channel selected at a step is
// read three steps later into ScanValues[ScanIndex + 2], so the two discarding steps
// select channels 1 and 2 (mod the channel count) and every later step
// (ScanIndex + 2) mod the channel count. The channel count is the one the buffers were
// laid out with; the gain bits are taken as they stand, so a gain command takes effect
// at the next step, but the channel field is the sequencer's alone.
BOOLEAN ConversionStep(DeviceContext *dc)
{
    USHORT channels = dc->LayoutChannelCount;
    if (channels <= 1) {
        USHORT sample = ReadResult(dc);
        StartConversion(dc);
        dc->ScanIndex = 0;
        if (dc->DiscardCount > 0) {
            dc->DiscardCount = 0;
            return FALSE;
        }
        dc->ScanValues[0] = sample;
        return TRUE;
    }

    BOOLEAN stored = FALSE;
    if (dc->DiscardCount > 0) {
        dc->DiscardCount -= 1;
    } else {
        dc->ScanValues[dc->ScanIndex] = ReadResult(dc);
        dc->ScanIndex = WrapChannel(dc->ScanIndex + 1u, channels);
        stored = TRUE;
    }
    StartConversion(dc);
    USHORT channel = WrapChannel(dc->DiscardCount > 0 ? 1u : dc->ScanIndex + 2u, channels);
    UCHAR gain = static_cast<UCHAR>(LoadShared(&dc->CtrlGainBits) & ~CONTROL_CHANNEL_MASK & 0xFF);
    WRITE_PORT_UCHAR(PortAddress8(dc->BoardBase, BOARD_CONTROL), static_cast<UCHAR>(gain | channel));
    return stored && dc->ScanIndex == 0;
}

// Counts the software divisor; TRUE on the interrupt that performs a conversion step.
static BOOLEAN SoftDivisorDue(DeviceContext *dc)
{
    dc->SoftDivCount += 1;
    if (dc->SoftDivCount < dc->SoftDivisor)
        return FALSE;
    dc->SoftDivCount = 0;
    return TRUE;
}

// Appends the scan in ScanValues to CurrentBuffer, writing the sequence word first when
// the buffer is empty; returns the new fill count. Sample stores are single aligned
// accesses, since the snapshot reader copies the circular buffer while it is written.
static ULONG AppendScan(DeviceContext *dc)
{
    PUSHORT buffer = dc->CurrentBuffer;
    ULONG fill = dc->FillCount;
    if (fill == 0)
        StoreShared(&buffer[0], dc->SequenceNo);
    USHORT channels = dc->LayoutChannelCount;
    for (USHORT i = 0; i < channels; ++i)
        StoreShared(&buffer[1 + fill++], dc->ScanValues[i]);
    return fill;
}

// A scan dropped because every ring buffer holds unread data (OverrunCount non-zero).
// SequenceNo advances at the first scan dropped after the ring became full, and again for
// every L further ones (L = SamplesPerBuffer, at most 32767), so that the first buffer
// filled afterwards carries a sequence word 1 + ceil(d / L) above its predecessor's for d
// dropped scans: a jump of exactly 1 always means nothing was lost. OverrunCount is 1
// when the ring became full, and then 1 + the scans dropped since the last advance; a
// value that, sign-extended from 16 bits, exceeds L (so any of 0x8000 or more) has
// counted L of them.
static void DropScan(DeviceContext *dc, USHORT overrun)
{
    StoreShared(&dc->ScansDropped, dc->ScansDropped + 1);
    ULONG extended = static_cast<ULONG>(static_cast<LONG>(static_cast<SHORT>(overrun)));
    if (overrun == 1 || extended > dc->SamplesPerBuffer) {
        StoreShared(&dc->SequenceNo, dc->SequenceNo + 1);
        overrun = 2;
    } else {
        overrun = static_cast<USHORT>(overrun + 1);
    }
    StoreShared(&dc->OverrunCount, overrun);
}

// Ring mode: one interrupt's work. A full ring never overwrites unread data: the scan is
// dropped and declared in the sequence words (DropScan).
void RingStep(DeviceContext *dc)
{
    if (!SoftDivisorDue(dc) || !ConversionStep(dc))
        return;

    USHORT overrun = LoadShared(&dc->OverrunCount);
    if (overrun != 0) {
        DropScan(dc, overrun);
        return;
    }

    ULONG fill = AppendScan(dc);
    StoreShared(&dc->ScansStored, dc->ScansStored + 1);
    if (fill != dc->SamplesPerBuffer) {
        StoreShared(&dc->FillCount, fill);
        return;
    }

    // The buffer is full: hand it to the readers and move on to the next one.
    USHORT next = static_cast<USHORT>(dc->WriteIndex + 1);
    if (next >= dc->BufferCount)
        next = 0;
    dc->CurrentBuffer = dc->BufferTable[next];
    StoreShared(&dc->FillCount, 0);
    StoreShared(&dc->WriteIndex, next);
    if (next == LoadShared(&dc->ReadIndex)) {
        StoreShared(&dc->OverrunCount, 1);
        StoreShared(&dc->Overruns, dc->Overruns + 1);
    }
    StoreShared(&dc->SequenceNo, dc->SequenceNo + 1);
    PVOID generation = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(LoadShared(&dc->StartGeneration)));
    KeInsertQueueDpc(&dc->DeviceObject->Dpc, generation, dc);
}

// Snapshot mode: buffer 0 is a circular store of ScansPerBuffer scans, overwritten
// without end; SequenceNo counts completed passes and SnapWritePos marks the end of the
// newest scan. Nothing is signalled.
void SnapshotStep(DeviceContext *dc)
{
    if (!SoftDivisorDue(dc) || !ConversionStep(dc))
        return;
    ULONG fill = AppendScan(dc);
    StoreShared(&dc->ScansStored, dc->ScansStored + 1);
    if (fill >= dc->SamplesPerBuffer) {
        fill -= dc->SamplesPerBuffer;
        StoreShared(&dc->SequenceNo, dc->SequenceNo + 1);
    }
    StoreShared(&dc->FillCount, fill);
    StoreShared(&dc->SnapWritePos, fill);
}

// One acquisition interrupt: the mode's step, then the bridge re-armed (the acknowledge
// turned the PCI interrupt off, and masked local interrupt 1 if it is level-triggered).
void SequencerStep(DeviceContext *dc)
{
    switch (LoadShared(&dc->ActiveMode)) {
    case MODE_RING:
        RingStep(dc);
        break;
    case MODE_SNAPSHOT:
        SnapshotStep(dc);
        break;
    default:
        break;
    }
    EnableBridgeInterrupts(dc);
}

// The device's interrupt routine (IoConnectInterrupt; service context: the DeviceContext).
// FALSE when the interrupt is not the card's (the line may be shared): at once while the
// device is not in D0 (a powered-down card raises nothing, and its registers read all
// ones), and when IntCsr reads all ones (the card is gone). The card's interrupt outside
// an acquisition, or from local interrupt 2 alone, is acknowledged, counted as idle and
// never treated as a sample. Device IRQL.
extern "C" BOOLEAN NTAPI InterruptService(PKINTERRUPT interrupt, PVOID serviceContext)
{
    (void)interrupt;
    DeviceContext *dc = static_cast<DeviceContext *>(serviceContext);
    if (dc->BoardBase == 0 || dc->BridgeBase == 0)
        return FALSE;
    if (LoadShared(&dc->DevicePower) != PowerDeviceD0)
        return FALSE;
    if (!AckBridgeInterrupt(dc))
        return FALSE;
    if (LoadShared(&dc->Opened) && LoadShared(&dc->Running) && (dc->IntSource & INT_SOURCE_LINT1)) {
        SequencerStep(dc);
        StoreShared(&dc->IsrCount, dc->IsrCount + 1);
    } else {
        StoreShared(&dc->IdleIsrCount, dc->IdleIsrCount + 1);
        EnableBridgeInterrupts(dc);
    }
    return TRUE;
}

// The device object's DPC, queued when a ring buffer fills: signals the application's
// event. Queued at most once, so buffers that fill before it runs give one signal.
// SystemArgument1 carries the start generation of the acquisition whose buffer filled,
// SystemArgument2 the DeviceContext. DISPATCH_LEVEL; touches only UserEvent, under
// EventLock, so that a stop never lets go of the event while it is signalled, and only
// while its generation is current: a DPC that runs late, after a stop and a new start,
// leaves the new acquisition's event alone.
extern "C" VOID NTAPI BufferReadyDpc(PKDPC dpc, PVOID deferredContext, PVOID arg1, PVOID arg2)
{
    (void)dpc;
    (void)deferredContext;
    DeviceContext *dc = static_cast<DeviceContext *>(arg2);
    const ULONG generation = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(arg1));
    KeAcquireSpinLockAtDpcLevel(&dc->EventLock);
    if (dc->UserEvent != nullptr && generation == dc->StartGeneration)
        KeSetEvent(dc->UserEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLockFromDpcLevel(&dc->EventLock);
}
