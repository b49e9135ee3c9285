// Board commands: IOCTL_BOARD_COMMAND, IOCTL_GET_LAST_ERROR and IOCTL_CARD_FREQUENCY.
//
// IOCTL_BOARD_COMMAND is one buffered request whose meaning is chosen by the pair
// (input length, output length), and for the 100/100 CommandBlock by its first byte:
//
//   in 0,   out 10    BoardStatus      in 2,   out 2·n   EepromRead (n = byte 1)
//   in 0,   out 16    ScanCounters     in ≥3,  out 0     EepromWrite (in = 2·n + 2)
//   in 0,   out 80    ResourceReport   in 100, out 100   CommandBlock, sub-command 0…12
//   in 1,   out 4     BridgeRead
//   in 4,   out 4     RegisterRead
//   in 8,   out 1     RegisterWrite    any other pair    refused, 114
//
// The system buffer holds the request and receives the reply; every request field is
// taken before the first reply byte is written, and reply bytes a form does not write
// keep what the request put there. Signed offset bytes are sign-extended and added to
// BoardBase or BridgeBase. For a range in I/O space the port is the low 16 bits of the
// sum (port space is 16 bits wide); for a range translated to memory space the base is a
// mapped address and the sum is used whole. A form reaches the port only when the whole
// access lies inside a port range the card claimed at its current start: any program may
// open the device, and none may reach another device's ports through it.
//
// Refusals: STATUS_UNSUCCESSFUL with LastError 114 (malformed: lengths, width codes,
// sub-command, and counts or EEPROM words out of bounds), 103 (device not started, or no
// bridge range for the EEPROM and bridge forms), 102 (a sub-command that would corrupt a
// running acquisition), 120 (a polled scan's conversion never completed);
// STATUS_ACCESS_DENIED with 121 (a port outside the card's ranges); a request without a
// system buffer for its lengths gets STATUS_INVALID_PARAMETER with 119. Every bound is
// tested before any port or EEPROM access. BoardStatus and ResourceReport touch no port
// and answer in every state, from the stored fields.
//
// Serialisation. EEPROM requests and IOCTL_CARD_FREQUENCY hold the device's EepromLock
// for the whole request, so two callers never interleave their bit sequences. The forms
// that reach ports hold RequestLock, the lock of start, stop and IOCTL_INITIAL, so the
// CommandBlock's test of Running and the sub-command's effect happen with no start or
// stop in between. Releasing the resources takes both locks, so no request is at a port
// or in the EEPROM while the ranges go. All three handlers run at PASSIVE_LEVEL in the
// requesting thread.

#include "driver.h"

namespace {

// Reply and request sizes of the forms.
constexpr ULONG BOARD_STATUS_BYTES = 10;
constexpr ULONG RESOURCE_REPORT_BYTES = 80;
constexpr ULONG RESOURCE_REPORT_TAIL = 76;     // bytes 76…79: written as zero
constexpr ULONG BRIDGE_READ_REQUEST = 1;
constexpr ULONG BRIDGE_READ_REPLY = 4;
constexpr ULONG EEPROM_READ_REQUEST = 2;
constexpr ULONG REGISTER_READ_BYTES = 4;
constexpr ULONG REGISTER_WRITE_REQUEST = 8;
constexpr ULONG REGISTER_WRITE_REPLY = 1;
constexpr ULONG COMMAND_BLOCK_BYTES = 100;
constexpr ULONG LAST_ERROR_REPLY = 4;
constexpr ULONG CARD_FREQUENCY_REPLY = 4;

// RegisterRead / RegisterWrite width codes.
constexpr LONG WIDTH_8 = 1;
constexpr LONG WIDTH_16 = 2;
constexpr LONG WIDTH_32 = 3;

// CommandBlock sub-commands (request byte 0).
enum BoardSubCommand : UCHAR {
    CMD_READ_BYTES = 0,
    CMD_WRITE_BYTES = 1,
    CMD_SETUP = 2,
    CMD_SCAN = 3,
    CMD_READ_AND_START = 4,
    CMD_SET_GAIN = 5,
    CMD_SET_CHANNEL = 6,
    CMD_START = 7,
    CMD_READ_AD = 8,
    CMD_READ_DI = 9,
    CMD_WRITE_DO = 10,
    CMD_WRITE_DA = 11,
    CMD_LOAD_COUNTER = 12,
    CMD_LAST = CMD_LOAD_COUNTER,
};

// Bounds of the CommandBlock: the reply holds 100 bytes, the data of CMD_WRITE_BYTES
// starts at byte 3, the acquisition handles at most MAX_CHANNELS channels, and a scan's
// reply holds at most 50 results.
constexpr LONG MAX_READ_BYTES = 100;
constexpr ULONG WRITE_BYTES_DATA = 3;
constexpr LONG MAX_WRITE_BYTES = COMMAND_BLOCK_BYTES - WRITE_BYTES_DATA;
constexpr LONG MAX_SCAN_RESULTS = COMMAND_BLOCK_BYTES / 2;

// A conversion takes microseconds; this many status reads (milliseconds of port
// cycles) means the converter is not answering.
constexpr ULONG SCAN_DONE_POLLS = 10000;

// 8254 control word: bits 6–7 select the counter the word programs (0, 1, 2), or make it
// a read-back command (3), which programs no counter.
constexpr UCHAR TIMER_SELECT_SHIFT = 6;
constexpr UCHAR TIMER_SELECT_COUNTER1 = 1;
constexpr UCHAR TIMER_SELECT_COUNTER2 = 2;
constexpr UCHAR COUNTER_REGISTER_MASK = 0x0F;

// Request fields: the two-bit gain code, the high four bits of an analog output value,
// and the bits of the control-register copy that are not the channel (gain, and bit 7).
constexpr UCHAR GAIN_CODE_MASK = 0x03;
constexpr UCHAR DA_HIGH_MASK = 0x0F;
constexpr UCHAR CONTROL_NOT_CHANNEL = static_cast<UCHAR>(~CONTROL_CHANNEL_MASK);

// The board commands drive the 9-bit (64-word) configuration EEPROM of the bridge.
constexpr LONG BOARD_EEPROM_CHIP = 0;
constexpr LONG BOARD_EEPROM_LAST_BYTE = 127;

// The card's frequency: an IEEE single in EEPROM words 58 (low half) and 59.
constexpr USHORT FREQUENCY_LOW_BYTE_ADDRESS = 116;
constexpr USHORT FREQUENCY_HIGH_BYTE_ADDRESS = 118;
constexpr ULONG FREQUENCY_ERASED = 0xFFFFFFFF;

// ---- Small helpers --------------------------------------------------------------------

// Refuses the request: LastError = code, STATUS_UNSUCCESSFUL.
NTSTATUS Refuse(DeviceContext *dc, LONG code)
{
    StoreShared(&dc->LastError, code);
    return STATUS_UNSUCCESSFUL;
}

// A request byte taken as an 8-bit two's-complement number.
LONG SignedByte(UCHAR value)
{
    return static_cast<signed char>(value);
}

// Little-endian fields of the system buffer, byte by byte (no alignment assumed).
USHORT GetU16(const UCHAR *buffer, ULONG offset)
{
    return static_cast<USHORT>(buffer[offset] | (buffer[offset + 1] << 8));
}

ULONG GetU32(const UCHAR *buffer, ULONG offset)
{
    return static_cast<ULONG>(buffer[offset]) | (static_cast<ULONG>(buffer[offset + 1]) << 8) |
           (static_cast<ULONG>(buffer[offset + 2]) << 16) | (static_cast<ULONG>(buffer[offset + 3]) << 24);
}

void PutU16(UCHAR *buffer, ULONG offset, USHORT value)
{
    buffer[offset] = static_cast<UCHAR>(value);
    buffer[offset + 1] = static_cast<UCHAR>(value >> 8);
}

void PutU32(UCHAR *buffer, ULONG offset, ULONG value)
{
    for (ULONG i = 0; i < 4; ++i) {
        buffer[offset + i] = static_cast<UCHAR>(value >> (8 * i));
    }
}

// Whether `base` (BoardBase or BridgeBase) is the mapped address of a range translated to
// memory space rather than a port number.
bool BaseIsMapped(const DeviceContext *dc, ULONG base)
{
    for (ULONG i = 0; i < dc->PortCount && i < MAX_PORT_RANGES; ++i) {
        if (dc->PortBase[i] == base) {
            return dc->PortIsMapped[i] != 0;
        }
    }
    return false;
}

// The port at an offset from a base: the low 16 bits of the sum in I/O space, the whole
// sum past a mapped base (cutting a mapped address to 16 bits would name some unrelated
// port). Tested with PortSpanClaimed before use.
LONGLONG PortAt(const DeviceContext *dc, ULONG base, LONG offset)
{
    const LONGLONG sum = static_cast<LONGLONG>(base) + offset;
    return BaseIsMapped(dc, base) ? sum : (sum & 0xFFFF);
}

// One byte read or written at a port that PortSpanClaimed accepted.
UCHAR In8(LONGLONG port)
{
    return READ_PORT_UCHAR(PortAddress8(static_cast<ULONG>(port), 0));
}

void Out8(LONGLONG port, UCHAR value)
{
    WRITE_PORT_UCHAR(PortAddress8(static_cast<ULONG>(port), 0), value);
}

// One byte written to or read from a board register: a fixed offset inside the 16-byte
// board range, claimed whenever the device is started.
void OutBoard(DeviceContext *dc, ULONG offset, UCHAR value)
{
    Out8(PortAt(dc, dc->BoardBase, static_cast<LONG>(offset)), value);
}

UCHAR InBoard(DeviceContext *dc, ULONG offset)
{
    return In8(PortAt(dc, dc->BoardBase, static_cast<LONG>(offset)));
}

// Bytes of a RegisterRead/RegisterWrite access by its (valid) width code.
ULONG WidthBytes(LONG widthCode)
{
    return widthCode == WIDTH_8 ? 1 : widthCode == WIDTH_16 ? 2 : 4;
}

// The refusal of a port form for a device that is not started (103) or an access outside
// the card's claimed ranges (121, STATUS_ACCESS_DENIED); STATUS_SUCCESS when the access
// may go ahead. RequestLock held.
NTSTATUS CheckPortSpan(DeviceContext *dc, LONGLONG port, ULONG bytes)
{
    if (!dc->HardwareStarted) {
        return Refuse(dc, TQ_DRV_NO_BOARD);
    }
    if (!PortSpanClaimed(dc, port, bytes)) {
        StoreShared(&dc->LastError, TQ_DRV_PORT_OUT_OF_RANGE);
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

// True when the `count` words starting at byte address `start`, two bytes apart, all lie
// in the chip (bytes 0…127). No words (count ≤ 0) is always in range.
bool EepromWordsInChip(LONG start, LONG count)
{
    if (count <= 0) {
        return true;
    }
    return start >= 0 && start + 2 * (count - 1) <= BOARD_EEPROM_LAST_BYTE;
}

// ---- Length-selected forms --------------------------------------------------------------

// BoardStatus reply: BoardBase, interrupt line, interrupt counts (which the interrupt
// routine moves while this runs).
void FillBoardStatus(DeviceContext *dc, UCHAR *reply)
{
    PutU32(reply, 0, dc->BoardBase);
    PutU16(reply, 4, dc->IrqLevel);
    PutU16(reply, 6, LoadShared(&dc->IsrCount));
    PutU16(reply, 8, LoadShared(&dc->IdleIsrCount));
}

// The acquisition's counters as taken at one moment.
struct CounterSnapshot {
    DeviceContext *Dc;
    ULONG Stored;
    ULONG Dropped;
    ULONG Overruns;
};

// Takes the three counters together, so that they describe one moment. Device IRQL,
// under the interrupt lock.
BOOLEAN NTAPI TakeScanCounters(PVOID context)
{
    CounterSnapshot *snapshot = static_cast<CounterSnapshot *>(context);
    snapshot->Stored = LoadShared(&snapshot->Dc->ScansStored);
    snapshot->Dropped = LoadShared(&snapshot->Dc->ScansDropped);
    snapshot->Overruns = LoadShared(&snapshot->Dc->Overruns);
    return TRUE;
}

// ScanCounters reply: scans stored, scans dropped, overruns since the last accepted start,
// then a zero word; in every state. RequestLock keeps the interrupt connected (or not)
// while the counters are taken under its lock.
void FillScanCounters(DeviceContext *dc, UCHAR *reply)
{
    CounterSnapshot snapshot{dc, 0, 0, 0};
    AcquireDeviceLock(&dc->RequestLock);
    if (dc->InterruptObject != nullptr) {
        KeSynchronizeExecution(dc->InterruptObject, TakeScanCounters, &snapshot);
    } else {
        TakeScanCounters(&snapshot);
    }
    ReleaseDeviceLock(&dc->RequestLock);
    PutU32(reply, offsetof(TqScanCounters, Stored), snapshot.Stored);
    PutU32(reply, offsetof(TqScanCounters, Dropped), snapshot.Dropped);
    PutU32(reply, offsetof(TqScanCounters, Overruns), snapshot.Overruns);
    PutU32(reply, offsetof(TqScanCounters, Zero), 0);
}

// All six port entries, whatever PortCount says; the tail is zero rather than stale.
void FillResourceReport(DeviceContext *dc, UCHAR *reply)
{
    PutU16(reply, 0, dc->PortCount);
    PutU16(reply, 2, dc->MemCount);
    for (ULONG i = 0; i < MAX_PORT_RANGES; ++i) {
        PutU32(reply, 4 + 12 * i, dc->PortBase[i]);
        PutU32(reply, 8 + 12 * i, dc->PortLength[i]);
        PutU32(reply, 12 + 12 * i, dc->PortIsMapped[i] != 0 ? 1 : 0);
    }
    PutU32(reply, RESOURCE_REPORT_TAIL, 0);
}

// RegisterWrite: the value at offset 4, in the width of the width code, to BoardBase +
// the u16 offset; reply byte 0 says whether the write was made. RequestLock held.
NTSTATUS RegisterWrite(DeviceContext *dc, UCHAR *buffer)
{
    const LONG width = SignedByte(buffer[0]);
    if (buffer[1] != 0 || width < WIDTH_8 || width > WIDTH_32) {
        buffer[0] = 0;
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
    const LONGLONG portAt = PortAt(dc, dc->BoardBase, GetU16(buffer, 2));
    const NTSTATUS allowed = CheckPortSpan(dc, portAt, WidthBytes(width));
    if (!NT_SUCCESS(allowed)) {
        buffer[0] = 0;
        return allowed;
    }
    const ULONG port = static_cast<ULONG>(portAt);
    if (width == WIDTH_8) {
        WRITE_PORT_UCHAR(PortAddress8(port, 0), buffer[4]);
    } else if (width == WIDTH_16) {
        WRITE_PORT_USHORT(PortAddress16(port, 0), GetU16(buffer, 4));
    } else {
        WRITE_PORT_ULONG(PortAddress32(port, 0), GetU32(buffer, 4));
    }
    buffer[0] = 1;
    return STATUS_SUCCESS;
}

// RegisterRead: BoardBase + the u16 offset read in the width of the width code, into a
// cleared 4-byte reply. RequestLock held.
NTSTATUS RegisterRead(DeviceContext *dc, UCHAR *buffer)
{
    const LONG width = SignedByte(buffer[0]);
    if (buffer[1] != 0 || width < WIDTH_8 || width > WIDTH_32) {
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
    const LONGLONG portAt = PortAt(dc, dc->BoardBase, GetU16(buffer, 2));
    const NTSTATUS allowed = CheckPortSpan(dc, portAt, WidthBytes(width));
    if (!NT_SUCCESS(allowed)) {
        return allowed;
    }
    const ULONG port = static_cast<ULONG>(portAt);
    PutU32(buffer, 0, 0);
    if (width == WIDTH_8) {
        buffer[0] = READ_PORT_UCHAR(PortAddress8(port, 0));
    } else if (width == WIDTH_16) {
        PutU16(buffer, 0, READ_PORT_USHORT(PortAddress16(port, 0)));
    } else {
        PutU32(buffer, 0, READ_PORT_ULONG(PortAddress32(port, 0)));
    }
    return STATUS_SUCCESS;
}

// BridgeRead: the 32-bit bridge register at a signed offset from BridgeBase. RequestLock
// held.
NTSTATUS BridgeRead(DeviceContext *dc, UCHAR *buffer)
{
    if (dc->BridgeBase == 0) {
        return Refuse(dc, TQ_DRV_NO_BOARD);
    }
    const LONGLONG port = PortAt(dc, dc->BridgeBase, SignedByte(buffer[0]));
    const NTSTATUS allowed = CheckPortSpan(dc, port, sizeof(ULONG));
    if (!NT_SUCCESS(allowed)) {
        return allowed;
    }
    PutU32(buffer, 0, READ_PORT_ULONG(PortAddress32(static_cast<ULONG>(port), 0)));
    return STATUS_SUCCESS;
}

// The EEPROM is on the bridge: reachable only through a started device's bridge range.
// EepromLock held.
bool EepromReachable(DeviceContext *dc)
{
    return dc->BridgeBase != 0 && dc->HardwareStarted;
}

// n words from byte address (byte 0) on, into reply words 0…n−1. EepromLock held.
NTSTATUS EepromRead(DeviceContext *dc, UCHAR *buffer, ULONG outputLength)
{
    if (!EepromReachable(dc)) {
        return Refuse(dc, TQ_DRV_NO_BOARD);
    }
    const LONG start = SignedByte(buffer[0]);
    const LONG count = SignedByte(buffer[1]);
    if (static_cast<LONGLONG>(outputLength) != 2LL * count || !EepromWordsInChip(start, count)) {
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
    for (LONG i = 0; i < count; ++i) {
        USHORT word;
        EepromReadWord(dc, BOARD_EEPROM_CHIP, static_cast<USHORT>(start + 2 * i), &word);
        PutU16(buffer, 2 * i, word);
    }
    return STATUS_SUCCESS;
}

// n words (request bytes 2…2·n+1) written at byte address (byte 0) on, in ascending order.
// EepromLock held.
NTSTATUS EepromWrite(DeviceContext *dc, UCHAR *buffer, ULONG inputLength)
{
    if (!EepromReachable(dc)) {
        return Refuse(dc, TQ_DRV_NO_BOARD);
    }
    const LONG start = SignedByte(buffer[0]);
    const LONG count = SignedByte(buffer[1]);
    if (static_cast<LONGLONG>(inputLength) != 2LL * count + 2 || !EepromWordsInChip(start, count)) {
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
    for (LONG i = 0; i < count; ++i) {
        EepromWriteWord(dc, BOARD_EEPROM_CHIP, static_cast<USHORT>(start + 2 * i), GetU16(buffer, 2 + 2 * i));
    }
    return STATUS_SUCCESS;
}

// ---- CommandBlock sub-commands ------------------------------------------------------------

// Applies a live gain change under the interrupt lock: the sequencer's next write of
// the control register takes the new gain bits. Device IRQL.
struct LiveGain {
    DeviceContext *Dc;
    UCHAR GainBits;
};

BOOLEAN NTAPI ApplyLiveGain(PVOID context)
{
    LiveGain *change = static_cast<LiveGain *>(context);
    DeviceContext *dc = change->Dc;
    dc->CtrlGainBits = static_cast<USHORT>(change->GainBits | (dc->CtrlGainBits & CONTROL_CHANNEL_MASK));
    return TRUE;
}

// CMD_SET_GAIN: replaces the gain bits of the control-register copy and writes it; while
// an acquisition runs only the copy changes, for the sequencer to apply.
void SetGain(DeviceContext *dc, UCHAR gainByte)
{
    const UCHAR gainBits = static_cast<UCHAR>((gainByte & GAIN_CODE_MASK) << CONTROL_GAIN_SHIFT);
    if (dc->Running != 0) {
        // Gain only: a control-register write here would select channel 0 under the
        // sequencer and corrupt a sample.
        LiveGain change{dc, gainBits};
        if (dc->InterruptObject != nullptr) {
            KeSynchronizeExecution(dc->InterruptObject, ApplyLiveGain, &change);
        } else {
            ApplyLiveGain(&change);
        }
        return;
    }
    dc->CtrlGainBits = static_cast<USHORT>(gainBits | (dc->CtrlGainBits & CONTROL_CHANNEL_MASK));
    OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(dc->CtrlGainBits));
}

// Polled scan of channels 0 … ChannelCount − 1 (the count as it stands, read again each
// pass; FirstChannel is not used). A conversion start converts the channel latched at the
// previous start and latches the one selected now, so channel 0 is selected before the
// first start: whatever an earlier Zel_SetChn, set-up or acquisition left selected then
// goes only into the first conversion, whose result is thrown away. Pass i starts a
// conversion, selects channel i + 1 for a later one, waits for the done bit and (from
// pass 1 on) stores the finished result, channel i − 1, as reply word i − 1. The control
// register ends at the gain bits with channel 0, also when a conversion never completes
// (LastError 120).
NTSTATUS Scan(DeviceContext *dc, UCHAR *reply)
{
    // A conversion still running (an acquisition just stopped, CMD_START) finishes first.
    (void)WaitConversionDone(dc);
    OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(dc->CtrlGainBits & CONTROL_NOT_CHANNEL));
    for (LONG i = 0; i < static_cast<SHORT>(dc->ChannelCount) + 1 && i <= MAX_SCAN_RESULTS; ++i) {
        // Only the gain bits of the copy go with the scan's channel: channel bits left by
        // CMD_SET_CHANNEL, or a channel number above 31, would otherwise mix channels or
        // spill into the gain field.
        const UCHAR gainBits = static_cast<UCHAR>(dc->CtrlGainBits & CONTROL_NOT_CHANNEL);
        OutBoard(dc, BOARD_START_CONVERSION, 0);
        OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(((i + 1) & CONTROL_CHANNEL_MASK) | gainBits));

        if (!WaitConversionDone(dc)) {
            OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(dc->CtrlGainBits & CONTROL_NOT_CHANNEL));
            return Refuse(dc, TQ_DRV_CONVERSION_TIMEOUT);
        }
        if (i >= 1) {
            reply[2 * (i - 1)] = InBoard(dc, BOARD_AD_LOW);
            reply[2 * (i - 1) + 1] = InBoard(dc, BOARD_AD_HIGH);
        }
    }
    OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(dc->CtrlGainBits & CONTROL_NOT_CHANNEL));
    return STATUS_SUCCESS;
}

// CMD_LOAD_COUNTER while an acquisition runs: only the general-purpose counters 1 and 2
// may be loaded. The count bytes must go to counter 1's or counter 2's register, and the
// control word (written to the 8254 first) must program counter 1 or 2. Any other
// control word would stop the acquisition silently: one that selects counter 0 halts the
// pacing counter until a count is loaded; a read-back command (select 3) programs no
// counter, may latch counter 0 and cannot be read on this card, so it has no place in a
// counter load. Any other register (0 = counter 0's count, 3 = the control word itself,
// 12 = the control register, 15 = start conversion, …) would reprogram counter 0 or
// write the sequencer's registers under it.
bool LoadsOnlyCounter1Or2(const UCHAR *request)
{
    const ULONG target = request[1] & COUNTER_REGISTER_MASK;
    const UCHAR select = static_cast<UCHAR>(request[2] >> TIMER_SELECT_SHIFT);
    const bool countToCounter1Or2 = target == BOARD_COUNTER1 || target == BOARD_COUNTER2;
    const bool wordForCounter1Or2 = select == TIMER_SELECT_COUNTER1 || select == TIMER_SELECT_COUNTER2;
    return countToCounter1Or2 && wordForCounter1Or2;
}

// True when a sub-command would disturb a running acquisition: it changes the channel
// count under the sequencer, starts conversions the sequencer does not expect, puts its
// channel into the control register, or is a counter load other than of counter 1 or 2.
bool DisturbsAcquisition(const UCHAR *request)
{
    switch (request[0]) {
    case CMD_SETUP:
    case CMD_SCAN:
    case CMD_READ_AND_START:
    case CMD_START:
    case CMD_SET_CHANNEL:
        return true;
    case CMD_LOAD_COUNTER:
        return !LoadsOnlyCounter1Or2(request);
    default:
        return false;
    }
}

// Bounds the CommandBlock table leaves to the implementation: counts that would run past
// the block, and channel counts the acquisition cannot handle.
bool CommandBlockInBounds(const UCHAR *request)
{
    switch (request[0]) {
    case CMD_READ_BYTES:
        return SignedByte(request[1]) <= MAX_READ_BYTES;
    case CMD_WRITE_BYTES:
        return SignedByte(request[1]) <= MAX_WRITE_BYTES;
    case CMD_SETUP:
        return request[2] >= 1 && request[2] <= MAX_CHANNELS;
    default:
        return true;
    }
}

// The byte runs of CMD_READ_BYTES and CMD_WRITE_BYTES (BoardBase + the signed offset, one
// port per byte) are reached only when every port of the run lies in the card's claimed
// ranges; STATUS_SUCCESS for every other sub-command, whose registers are fixed offsets
// inside the board range. Tested before the first access, so a refused run touches no
// port at all. RequestLock held, device started.
NTSTATUS CheckByteRun(DeviceContext *dc, const UCHAR *request)
{
    if (request[0] != CMD_READ_BYTES && request[0] != CMD_WRITE_BYTES) {
        return STATUS_SUCCESS;
    }
    const LONG offset = SignedByte(request[2]);
    for (LONG i = 0; i < SignedByte(request[1]); ++i) {
        const NTSTATUS allowed = CheckPortSpan(dc, PortAt(dc, dc->BoardBase, offset + i), 1);
        if (!NT_SUCCESS(allowed)) {
            return allowed;
        }
    }
    return STATUS_SUCCESS;
}

// Runs one sub-command 0…12; `block` is the request and receives the reply.
NTSTATUS RunSubCommand(DeviceContext *dc, UCHAR *block)
{
    switch (block[0]) {
    case CMD_READ_BYTES: {
        const LONG count = SignedByte(block[1]);
        const LONG offset = SignedByte(block[2]);
        for (LONG i = 0; i < count; ++i) {
            block[i] = In8(PortAt(dc, dc->BoardBase, offset + i));
        }
        return STATUS_SUCCESS;
    }
    case CMD_WRITE_BYTES: {
        const LONG count = SignedByte(block[1]);
        const LONG offset = SignedByte(block[2]);
        for (LONG i = 0; i < count; ++i) {
            Out8(PortAt(dc, dc->BoardBase, offset + i), block[WRITE_BYTES_DATA + i]);
        }
        return STATUS_SUCCESS;
    }
    case CMD_SETUP:
        dc->GainCode = static_cast<USHORT>(block[1] & GAIN_CODE_MASK);
        dc->CtrlGainBits = static_cast<USHORT>(dc->GainCode << CONTROL_GAIN_SHIFT);
        dc->ChannelCount = block[2];
        dc->FirstChannel = static_cast<USHORT>(block[3] & CONTROL_CHANNEL_MASK);
        OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(dc->FirstChannel | dc->CtrlGainBits));
        return STATUS_SUCCESS;
    case CMD_SCAN:
        return Scan(dc, block);
    case CMD_READ_AND_START:
        block[0] = InBoard(dc, BOARD_AD_LOW);
        block[1] = InBoard(dc, BOARD_AD_HIGH);
        OutBoard(dc, BOARD_START_CONVERSION, 0);
        return STATUS_SUCCESS;
    case CMD_SET_GAIN:
        SetGain(dc, block[1]);
        return STATUS_SUCCESS;
    case CMD_SET_CHANNEL:
        dc->CtrlGainBits = static_cast<USHORT>((dc->CtrlGainBits & CONTROL_NOT_CHANNEL) | (block[1] & CONTROL_CHANNEL_MASK));
        OutBoard(dc, BOARD_CONTROL, static_cast<UCHAR>(dc->CtrlGainBits));
        return STATUS_SUCCESS;
    case CMD_START:
        OutBoard(dc, BOARD_START_CONVERSION, 0);
        return STATUS_SUCCESS;
    case CMD_READ_AD:
        block[0] = InBoard(dc, BOARD_AD_LOW);
        block[1] = InBoard(dc, BOARD_AD_HIGH);
        return STATUS_SUCCESS;
    case CMD_READ_DI:
        block[0] = InBoard(dc, BOARD_DI_LOW);
        block[1] = InBoard(dc, BOARD_DI_HIGH);
        return STATUS_SUCCESS;
    case CMD_WRITE_DO:
        if (block[1] == 0) {
            OutBoard(dc, BOARD_DO_LOW, block[2]);
        } else if (block[1] == 1) {
            OutBoard(dc, BOARD_DO_HIGH, block[2]);
        }
        return STATUS_SUCCESS;
    case CMD_WRITE_DA: {
        const UCHAR low = block[2];
        const UCHAR high = static_cast<UCHAR>(block[3] & DA_HIGH_MASK);
        if ((block[1] & 1) == 0) {
            OutBoard(dc, BOARD_DA0_LOW, low);
            OutBoard(dc, BOARD_DA0_HIGH, high);
        } else {
            OutBoard(dc, BOARD_DA1_LOW, low);
            OutBoard(dc, BOARD_DA1_HIGH, high);
        }
        OutBoard(dc, BOARD_DA_LATCH, 0);
        return STATUS_SUCCESS;
    }
    case CMD_LOAD_COUNTER: {
        const ULONG counter = block[1] & COUNTER_REGISTER_MASK;
        OutBoard(dc, BOARD_TIMER_CONTROL, block[2]);
        OutBoard(dc, counter, block[3]);
        OutBoard(dc, counter, block[4]);
        return STATUS_SUCCESS;
    }
    default:
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
}

// The 100/100 CommandBlock: sub-command and bounds checked first, then, under RequestLock,
// refused with 103 on a device that is not started, with 102 if it would disturb a
// running acquisition, with 121 if a byte run leaves the card's ranges; else run.
NTSTATUS CommandBlock(DeviceContext *dc, UCHAR *block)
{
    if (block[0] > CMD_LAST || !CommandBlockInBounds(block)) {
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
    AcquireDeviceLock(&dc->RequestLock);
    NTSTATUS status;
    if (!dc->HardwareStarted) {
        status = Refuse(dc, TQ_DRV_NO_BOARD);
    } else if (dc->Running != 0 && DisturbsAcquisition(block)) {
        status = Refuse(dc, TQ_DRV_RUNNING);
    } else {
        status = CheckByteRun(dc, block);
        if (NT_SUCCESS(status)) {
            status = RunSubCommand(dc, block);
        }
    }
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// Runs a port form holding RequestLock, so that the ranges it was checked against stay
// claimed until its access is made.
NTSTATUS UnderRequestLock(DeviceContext *dc, UCHAR *buffer, NTSTATUS (*form)(DeviceContext *, UCHAR *))
{
    AcquireDeviceLock(&dc->RequestLock);
    const NTSTATUS status = form(dc, buffer);
    ReleaseDeviceLock(&dc->RequestLock);
    return status;
}

// Runs an EEPROM form holding EepromLock: its bit sequence is not interleaved with
// another's, and the bridge range stays claimed until it is done.
NTSTATUS UnderEepromLock(DeviceContext *dc, UCHAR *buffer, ULONG length,
                         NTSTATUS (*form)(DeviceContext *, UCHAR *, ULONG))
{
    AcquireDeviceLock(&dc->EepromLock);
    const NTSTATUS status = form(dc, buffer, length);
    ReleaseDeviceLock(&dc->EepromLock);
    return status;
}

}  // namespace

// Waits until the converter shows no conversion in progress (the status register's done
// bit), at most SCAN_DONE_POLLS reads; FALSE when it never does. A conversion started
// while another is still converting loses the other's result, and a result read before
// its conversion is done is the one before it. PASSIVE_LEVEL.
BOOLEAN WaitConversionDone(DeviceContext *dc)
{
    for (ULONG polls = 0; polls < SCAN_DONE_POLLS; ++polls) {
        if ((InBoard(dc, BOARD_STATUS) & STATUS_CONVERSION_DONE) != 0)
            return TRUE;
    }
    return FALSE;
}

// IOCTL_BOARD_COMMAND: selects the form by the two lengths (table at the top of this
// file) and runs it. STATUS_SUCCESS, or STATUS_UNSUCCESSFUL with LastError 114, 103, 102
// or 120, or STATUS_INVALID_PARAMETER with 119 when lengths come without a buffer.
// PASSIVE_LEVEL.
NTSTATUS BoardCommandHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)out;  // buffered: the reply goes back in the system buffer
    StoreShared(&dc->LastError, TQ_OK);
    UCHAR *buffer = static_cast<UCHAR *>(sysBuf);
    if (buffer == nullptr && (inLen != 0 || outLen != 0)) {
        StoreShared(&dc->LastError, TQ_DRV_BUFFER_TOO_SHORT);
        return STATUS_INVALID_PARAMETER;
    }

    if (inLen == 0) {
        if (outLen == BOARD_STATUS_BYTES) {
            FillBoardStatus(dc, buffer);
            return STATUS_SUCCESS;
        }
        if (outLen == RESOURCE_REPORT_BYTES) {
            FillResourceReport(dc, buffer);
            return STATUS_SUCCESS;
        }
        if (outLen == TqScanCountersBytes) {
            FillScanCounters(dc, buffer);
            return STATUS_SUCCESS;
        }
        return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
    }
    if (inLen == REGISTER_WRITE_REQUEST && outLen == REGISTER_WRITE_REPLY) {
        return UnderRequestLock(dc, buffer, RegisterWrite);
    }
    if (inLen == REGISTER_READ_BYTES && outLen == REGISTER_READ_BYTES) {
        return UnderRequestLock(dc, buffer, RegisterRead);
    }
    if (inLen == BRIDGE_READ_REQUEST) {
        if (outLen != BRIDGE_READ_REPLY) {
            return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
        }
        return UnderRequestLock(dc, buffer, BridgeRead);
    }
    if (inLen == EEPROM_READ_REQUEST) {
        return UnderEepromLock(dc, buffer, outLen, EepromRead);
    }
    if (outLen == 0) {
        return UnderEepromLock(dc, buffer, inLen, EepromWrite);
    }
    if (inLen == COMMAND_BLOCK_BYTES && outLen == COMMAND_BLOCK_BYTES) {
        return CommandBlock(dc, buffer);
    }
    return Refuse(dc, TQ_DRV_BAD_BOARD_COMMAND);
}

// IOCTL_GET_LAST_ERROR: the device's LastError as a 32-bit value. Never changes LastError,
// so the code of the request that just failed can be fetched. PASSIVE_LEVEL.
NTSTATUS GetLastErrorHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)out;
    if (inLen != 0 || outLen != LAST_ERROR_REPLY || sysBuf == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    PutU32(static_cast<UCHAR *>(sysBuf), 0, static_cast<ULONG>(LoadShared(&dc->LastError)));
    return STATUS_SUCCESS;
}

// IOCTL_CARD_FREQUENCY's work, EepromLock held: refused with 103 unless the EEPROM can be
// reached, with 116 for other lengths; the two words read into *value.
static NTSTATUS ReadCardFrequency(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, ULONG *value)
{
    if (!EepromReachable(dc)) {
        return Refuse(dc, TQ_DRV_NO_BOARD);
    }
    if (inLen != 0 || outLen != CARD_FREQUENCY_REPLY) {
        return Refuse(dc, TQ_DRV_BAD_FREQUENCY_REQUEST);
    }
    if (sysBuf == nullptr) {
        StoreShared(&dc->LastError, TQ_DRV_BUFFER_TOO_SHORT);
        return STATUS_INVALID_PARAMETER;
    }
    USHORT low;
    USHORT high;
    EepromReadWord(dc, BOARD_EEPROM_CHIP, FREQUENCY_LOW_BYTE_ADDRESS, &low);
    EepromReadWord(dc, BOARD_EEPROM_CHIP, FREQUENCY_HIGH_BYTE_ADDRESS, &high);
    *value = (static_cast<ULONG>(high) << 16) | low;
    return STATUS_SUCCESS;
}

// IOCTL_CARD_FREQUENCY: EEPROM words 58 (low) and 59 (high) as one 32-bit value, which
// the library reads as an IEEE single. The value is stored even when both words are
// erased; that case fails with LastError 1000. Refused with 103 unless the device is
// started. PASSIVE_LEVEL: sleeps about 2 ms.
NTSTATUS CardFrequencyHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out)
{
    (void)out;
    StoreShared(&dc->LastError, TQ_OK);
    ULONG value = 0;
    AcquireDeviceLock(&dc->EepromLock);
    const NTSTATUS status = ReadCardFrequency(dc, inLen, sysBuf, outLen, &value);
    ReleaseDeviceLock(&dc->EepromLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PutU32(static_cast<UCHAR *>(sysBuf), 0, value);
    if (value == FREQUENCY_ERASED) {
        return Refuse(dc, TQ_DRV_FREQUENCY_ERASED);
    }
    return STATUS_SUCCESS;
}
