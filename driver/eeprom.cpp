// Serial configuration EEPROM of the card's PCI bridge.
//
// The EEPROM is a 93C46-family part in its 16-bit organisation, wired to bits 24–27 of
// the bridge control register (BridgeBase + BRIDGE_CONTROL): clock, chip select, data to
// the chip and data from the chip. This file bit-bangs the Microwire protocol on those
// four bits: a command is a start bit, a two-bit opcode and the word address, shifted out
// most significant bit first, each bit taken by the chip on the rising clock edge.
//
// Every write of the control register is a read-modify-write: only bits 24–27 change,
// every other bit goes back as it was last read. Between operations all four lines are
// low and the chip is deselected.
//
// The routines run at PASSIVE_LEVEL in the requesting thread (they sleep), take no lock
// and keep no state; the board-command handlers serialise whole requests of one device
// with its EepromLock, so two bit sequences never interleave. Nothing else in the driver
// touches the bridge control register; the interrupt path uses IntCsr only.
//
// What this file leaves out: erase and write-all commands, and any report of a write
// whose ready poll timed out (the chip cannot tell us more than "not ready yet").

#include "driver.h"

namespace {

// Masks on the bridge control register.
constexpr ULONG EE_LINES_LOW = 0xF0FFFFFF;        // bits 24–27 clear: all low, deselected
constexpr ULONG EE_LINES_LOW_SELECTED = 0xF2FFFFFF; // clock, data low; keeps EE_SELECT
constexpr ULONG EE_DESELECT = 0xFDFFFFFF;         // clears EE_SELECT
constexpr ULONG EE_CLOCK_LOW = 0xFEFFFFFF;        // clears EE_CLOCK

// Command words of the 9-bit form (start bit, opcode, 6 address bits); the 11-bit form
// of the larger chips is the same word shifted left by two.
constexpr ULONG EE_CMD_READ = 0x180;
constexpr ULONG EE_CMD_EWEN = 0x130;   // erase/write enable
constexpr ULONG EE_CMD_WRITE = 0x140;
constexpr ULONG EE_CMD_EWDS = 0x100;   // erase/write disable

constexpr ULONG EE_WORD_BITS = 16;
constexpr ULONG EE_READY_POLLS = 10000;  // status reads after a write cycle starts
constexpr LONG EE_SETTLE_MS = 1;

// Command geometry of one chip type: how many bits a command has, how far the 9-bit
// command words are shifted, and how many words the address field can name.
struct EepromGeometry {
    CHAR BitCount;
    ULONG Shift;
    ULONG WordCount;
};

// The geometry of chipType; false for a chip type this driver does not support.
bool GeometryOf(LONG chipType, EepromGeometry *geometry)
{
    switch (chipType) {
    case 0:
        *geometry = EepromGeometry{9, 0, 64};
        return true;
    case 1:
    case 2:
        *geometry = EepromGeometry{11, 2, 256};
        return true;
    default:
        return false;
    }
}

// The bridge control register and its two 32-bit accesses.
PULONG ControlRegister(DeviceContext *dc)
{
    return PortAddress32(dc->BridgeBase, BRIDGE_CONTROL);
}

ULONG ReadControl(DeviceContext *dc)
{
    return READ_PORT_ULONG(ControlRegister(dc));
}

void WriteControl(DeviceContext *dc, ULONG value)
{
    WRITE_PORT_ULONG(ControlRegister(dc), value);
}

}  // namespace

// One clock pulse on the EEPROM: clock high, then low, the other bits as read.
// PASSIVE_LEVEL (any level would do: two port writes).
void EepromClock(DeviceContext *dc)
{
    ULONG v = ReadControl(dc);
    WriteControl(dc, v | EE_CLOCK);
    WriteControl(dc, v & EE_CLOCK_LOW);
}

// Starts a new command: deselects the chip (ending whatever cycle came before), selects
// it, and shifts out the low bitCount bits of `bits`, most significant first, setting
// the data line before each rising clock edge. Leaves the chip selected. A bitCount of
// 0 or a negative one (as a signed byte) shifts out nothing.
void EepromSendCommand(DeviceContext *dc, ULONG bits, CHAR bitCount)
{
    ULONG base = ReadControl(dc) & EE_LINES_LOW;
    WriteControl(dc, base);
    base |= EE_SELECT;
    WriteControl(dc, base);

    const signed char last = static_cast<signed char>(static_cast<signed char>(bitCount) - 1);
    for (int k = last; k >= 0; --k) {
        // Bits above the 32 of `bits` are zeros rather than a shift past the word.
        const bool one = k < 32 && ((bits >> k) & 1u) != 0;
        WriteControl(dc, one ? (base | EE_TO_CHIP) : base);
        EepromClock(dc);
    }
}

// Reads the 16-bit word that holds byteAddress (an odd address names the word of the
// even address below it). An unsupported chip type, or a word beyond the chip's address
// field (which would spill into the command's start and opcode bits), gives 0xFFFF, as
// an erased word reads, without touching the register. PASSIVE_LEVEL: sleeps 1 ms.
void EepromReadWord(DeviceContext *dc, LONG chipType, USHORT byteAddress, PUSHORT word)
{
    EepromGeometry geometry;
    const ULONG wordAddress = static_cast<ULONG>(byteAddress) >> 1;
    if (!GeometryOf(chipType, &geometry) || wordAddress >= geometry.WordCount) {
        *word = 0xFFFF;
        return;
    }

    EepromSendCommand(dc, (EE_CMD_READ << geometry.Shift) | wordAddress, geometry.BitCount);
    ULONG v = ReadControl(dc);
    WriteControl(dc, v | EE_TO_CHIP);
    DelayMs(EE_SETTLE_MS);

    USHORT value = 0;
    for (ULONG i = 0; i < EE_WORD_BITS; ++i) {
        EepromClock(dc);
        v = ReadControl(dc);
        value = static_cast<USHORT>((value << 1) | ((v & EE_FROM_CHIP) != 0 ? 1 : 0));
    }
    WriteControl(dc, v & EE_LINES_LOW);
    *word = value;
}

// Writes one 16-bit word at the word holding byteAddress: erase/write enable, the write
// command and sixteen data bits, deselect to start the programming cycle, reselect and
// poll the ready bit (at most EE_READY_POLLS reads; a chip that never reports ready is
// not reported), erase/write disable, lines low. An unsupported chip type or a word
// beyond the chip's address field writes nothing and touches no register.
// PASSIVE_LEVEL: sleeps 1 ms.
void EepromWriteWord(DeviceContext *dc, LONG chipType, USHORT byteAddress, USHORT word)
{
    EepromGeometry geometry;
    const ULONG wordAddress = static_cast<ULONG>(byteAddress) >> 1;
    if (!GeometryOf(chipType, &geometry) || wordAddress >= geometry.WordCount) {
        return;
    }

    EepromSendCommand(dc, EE_CMD_EWEN << geometry.Shift, geometry.BitCount);
    EepromSendCommand(dc, (EE_CMD_WRITE << geometry.Shift) | wordAddress, geometry.BitCount);

    const ULONG base = (ReadControl(dc) & EE_LINES_LOW_SELECTED) | EE_SELECT;
    for (int k = static_cast<int>(EE_WORD_BITS) - 1; k >= 0; --k) {
        const bool one = ((static_cast<ULONG>(word) >> k) & 1u) != 0;
        WriteControl(dc, one ? (base | EE_TO_CHIP) : base);
        EepromClock(dc);
    }
    WriteControl(dc, base & EE_DESELECT);  // the chip programs on this falling select
    WriteControl(dc, base | EE_SELECT);    // selected again, EE_FROM_CHIP shows ready

    ULONG p = 0;
    for (ULONG polls = 0; polls < EE_READY_POLLS; ++polls) {
        p = ReadControl(dc);
        if ((p & EE_FROM_CHIP) != 0) {
            break;
        }
    }

    EepromSendCommand(dc, EE_CMD_EWDS << geometry.Shift, geometry.BitCount);
    WriteControl(dc, p & EE_LINES_LOW);
    DelayMs(EE_SETTLE_MS);
}

// Puts the calling thread to sleep for `milliseconds` (a relative wait in 100 ns units).
// PASSIVE_LEVEL only. The wait is alertable and its status is not looked at: a wake-up
// that comes early only shortens a settling pause the chip does not strictly need.
// Negative values sleep 0 ms; values whose 100 ns count would not fit 32 bits are cut
// to the longest wait that does.
void DelayMs(LONG milliseconds)
{
    constexpr LONG MAX_MS = 0x7FFFFFFF / 10000;
    if (milliseconds < 0) {
        milliseconds = 0;
    } else if (milliseconds > MAX_MS) {
        milliseconds = MAX_MS;
    }
    LARGE_INTEGER interval = RtlConvertLongToLargeInteger(milliseconds * -10000);
    (void)KeDelayExecutionThread(KernelMode, TRUE, &interval);
}
