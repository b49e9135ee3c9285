// The Tq4815x driver's chief header: the DeviceContext (one per card, the device
// extension of the driver's device object), the card's register map and the bridge's
// register bits, and the driver-wide globals. Every other file of the driver works on
// these records; there is no other per-device storage.
#ifndef TQ4815X_DEVICE_CONTEXT_H
#define TQ4815X_DEVICE_CONTEXT_H

#include <wdm.h>

#include "tq4815_ioctl.h"

// ---- Register map (offsets from BoardBase, the 16-byte board range) -------------------
// Several offsets mean one register when read and another when written.
inline constexpr ULONG BOARD_COUNTER0 = 0;        // write: 8254 counter 0 count (LSB, MSB)
inline constexpr ULONG BOARD_COUNTER1 = 1;        // write: 8254 counter 1 count
inline constexpr ULONG BOARD_COUNTER2 = 2;        // write: 8254 counter 2 count
inline constexpr ULONG BOARD_AD_LOW = 0;          // read: A/D result, low byte
inline constexpr ULONG BOARD_AD_HIGH = 1;         // read: A/D result, high byte
inline constexpr ULONG BOARD_STATUS = 2;          // read: status
inline constexpr ULONG BOARD_TIMER_CONTROL = 3;   // write: 8254 control word
inline constexpr ULONG BOARD_DI_LOW = 3;          // read: digital inputs, byte 0
inline constexpr ULONG BOARD_DI_HIGH = 4;         // read: digital inputs, byte 1
inline constexpr ULONG BOARD_DA0_LOW = 4;         // write: analog output 0, low 8 bits
inline constexpr ULONG BOARD_DA0_HIGH = 5;        // write: analog output 0, high 4 bits
inline constexpr ULONG BOARD_DA1_LOW = 6;         // write: analog output 1, low 8 bits
inline constexpr ULONG BOARD_DA1_HIGH = 7;        // write: analog output 1, high 4 bits
inline constexpr ULONG BOARD_DA_LATCH = 8;        // write 0 after loading an analog output
inline constexpr ULONG BOARD_CONTROL = 12;        // write: channel bits 0–4, gain bits 5–6
inline constexpr ULONG BOARD_DO_LOW = 13;         // write: digital outputs, low byte
inline constexpr ULONG BOARD_DO_HIGH = 14;        // write: digital outputs, high byte
inline constexpr ULONG BOARD_START_CONVERSION = 15; // write any value: start one conversion
inline constexpr ULONG BOARD_RANGE_LENGTH = 16;

inline constexpr UCHAR STATUS_CONVERSION_DONE = 0x02;  // BOARD_STATUS bit 1
inline constexpr UCHAR CONTROL_CHANNEL_MASK = 0x1F;
inline constexpr UCHAR CONTROL_GAIN_MASK = 0x60;
inline constexpr UCHAR CONTROL_GAIN_SHIFT = 5;

// 8254 control words for counter 0: LSB then MSB, binary; mode 2 halts the counter
// until a count is loaded, mode 3 is the square wave that paces the acquisition.
inline constexpr UCHAR TIMER0_HALT_MODE2 = 0x34;
inline constexpr UCHAR TIMER0_SQUARE_MODE3 = 0x36;

// ---- Bridge local-configuration registers (offsets from BridgeBase) ------------------
inline constexpr ULONG BRIDGE_INTCSR = 0x4C;      // interrupt control/status, 32 bits
inline constexpr ULONG BRIDGE_CONTROL = 0x50;     // control; bits 24–27 wire the EEPROM

// IntCsr bits.
inline constexpr ULONG INTCSR_LINT1_ENABLE = 0x001;
inline constexpr ULONG INTCSR_LINT1_ACTIVE_HIGH = 0x002;
inline constexpr ULONG INTCSR_LINT1_STATUS = 0x004;   // read only
inline constexpr ULONG INTCSR_LINT2_ENABLE = 0x008;
inline constexpr ULONG INTCSR_LINT2_ACTIVE_HIGH = 0x010;
inline constexpr ULONG INTCSR_LINT2_STATUS = 0x020;   // read only
inline constexpr ULONG INTCSR_PCI_ENABLE = 0x040;
inline constexpr ULONG INTCSR_LINT1_EDGE = 0x100;
inline constexpr ULONG INTCSR_LINT2_EDGE = 0x200;
inline constexpr ULONG INTCSR_LINT1_CLEAR = 0x400;    // write 1: clear the latched edge
inline constexpr ULONG INTCSR_LINT2_CLEAR = 0x800;
// What every port of a card that is gone, or powered down, reads.
inline constexpr ULONG INTCSR_CARD_ABSENT = 0xFFFFFFFF;

// IntSource bits: which local interrupts the last acknowledge saw.
inline constexpr ULONG INT_SOURCE_LINT1 = 0x1;
inline constexpr ULONG INT_SOURCE_LINT2 = 0x2;

// Bridge control bits wired to the serial configuration EEPROM.
inline constexpr ULONG EE_CLOCK = 0x01000000;
inline constexpr ULONG EE_SELECT = 0x02000000;
inline constexpr ULONG EE_TO_CHIP = 0x04000000;
inline constexpr ULONG EE_FROM_CHIP = 0x08000000;

// ---- Resource table sizes, pool tag ------------------------------------------------------
inline constexpr ULONG MAX_PORT_RANGES = 6;
inline constexpr ULONG MAX_MEMORY_RANGES = 4;
inline constexpr ULONG MAX_CHANNELS = 32;
inline constexpr ULONG TQ_POOL_TAG = 0x206D6457;  // 'Wdm '

// PnpState values.
enum TqPnpState : ULONG {
    PNP_STOPPED = 0,
    PNP_STARTED = 1,
    PNP_STOP_PENDING = 2,
    PNP_REMOVE_PENDING = 3,
    PNP_SURPRISE_REMOVED = 4,
    PNP_REMOVED = 5,
};

// ActiveMode / LastMode values.
enum TqAcquisitionMode : USHORT {
    MODE_IDLE = 0,
    MODE_RING = 1,
    MODE_SNAPSHOT = 2,
};

// The device's remove lock: the one gate between Plug and Play and everything else.
struct TQ_REMOVE_LOCK {
    LONG Count;       // 1 = the device's own reference; +1 per request in flight / open handle
    UCHAR Removing;   // set once by RemoveLockReleaseAndWait
    KEVENT Event;     // notification event, signalled when Count reaches 0
};

// The per-card record. Field order and widths are fixed by the driver's design; groups:
// identity and stack, Plug and Play and power, pending notifications, hardware resources,
// acquisition state shared with the interrupt routine.
struct DeviceContext {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    TQ_REMOVE_LOCK RemoveLock;
    ULONG PnpState;
    ULONG PrevPnpState;
    LONG DevicePower;
    LONG SystemPower;
    DEVICE_CAPABILITIES Capabilities;
    LIST_ENTRY PendingList;
    KSPIN_LOCK PendingLock;
    LONG RejectStatus;
    LONG OpenCount;
    PKINTERRUPT InterruptObject;
    PIRP EventIrpSlot;

    // Hardware resources, filled at each start-device.
    USHORT PortCount;
    USHORT MemCount;
    // A base is a port number, or the address a range translated to memory space is
    // mapped at: pointer-sized, so that a 64-bit mapping is kept whole.
    ULONG_PTR PortBase[MAX_PORT_RANGES];
    ULONG PortLength[MAX_PORT_RANGES];
    UCHAR PortIsMapped[MAX_PORT_RANGES];
    PVOID MemBase[MAX_MEMORY_RANGES];
    ULONG MemLength[MAX_MEMORY_RANGES];
    USHORT Opened;
    USHORT Running;
    USHORT IrqLevel;
    ULONG_PTR BoardBase;
    ULONG_PTR BridgeBase;
    ULONG LastIntCsr;
    ULONG IntSource;
    LONG LastError;

    // Acquisition, rebuilt by each IOCTL_START.
    ULONG BufferBytes;
    ULONG ScansPerBuffer;
    LONG RequestedRate;
    ULONG StartReserved;
    LONG TimerRate;
    LONG SoftDivisor;
    LONG SoftDivCount;
    USHORT GainCode;
    USHORT CtrlGainBits;
    USHORT BufferCount;
    USHORT FirstChannel;
    USHORT ChannelCount;
    USHORT SnapshotFlag;
    ULONG SamplesPerBuffer;
    PKEVENT UserEvent;
    USHORT ActiveMode;
    USHORT LastMode;
    USHORT DiscardCount;
    USHORT ScanIndex;
    USHORT ScanValues[MAX_CHANNELS];
    USHORT IsrCount;
    USHORT IdleIsrCount;
    USHORT ReadIndex;
    USHORT OverrunCount;
    USHORT WriteIndex;
    PUSHORT *BufferTable;
    PUSHORT CurrentBuffer;
    USHORT SequenceNo;
    ULONG FillCount;
    ULONG SnapWritePos;

    // Beyond the fixed layout above: this driver's own serialisation (both are
    // synchronization events used as PASSIVE_LEVEL locks, initialised by AddDevice).
    KEVENT RequestLock;  // start, stop, IOCTL_INITIAL and the readers of one device
    KEVENT EepromLock;   // EEPROM requests and IOCTL_CARD_FREQUENCY of one device

    // The channel count the running acquisition's buffers were laid out with. The
    // sequencer and the readers use this, never ChannelCount, which a board set-up
    // command may rewrite at any time: a scan can then never run past CurrentBuffer
    // nor a reader divide by a channel count of 0. Set by each start, before Running.
    USHORT LayoutChannelCount;

    // Guards UserEvent between the DPC, which signals it, and the stop, which lets go of
    // it: once the stop has taken the event out under this lock, no DPC can signal it.
    // Initialised with the device locks.
    KSPIN_LOCK EventLock;

    // Scans since the last start: stored in a buffer, dropped while the ring was full,
    // and the times the ring became full. Only the interrupt routine writes them (the
    // start resets them before Running), each with one aligned 32-bit store; the
    // counters form of IOCTL_BOARD_COMMAND reads them as a triple under the interrupt
    // lock.
    ULONG ScansStored;
    ULONG ScansDropped;
    ULONG Overruns;

    // 1 from a successful claim at start-device until the resources are released (stop,
    // surprise removal, removal); 0 before, after a failed start, and after a release.
    // The card's ports and EEPROM are reached on a caller's request only while it is
    // set: the port base fields alone cannot say so, since a failed start leaves them
    // half filled and a release keeps the lengths. Written holding both RequestLock and
    // EepromLock, so a request that holds either sees it steady.
    UCHAR HardwareStarted;

    // Counts the starts; written under EventLock by each start, before Running. The
    // interrupt routine queues the DPC with the generation of the acquisition whose buffer
    // filled, and the DPC signals only while it is still the current one, so that a DPC
    // that ran late for one acquisition never signals the next one's event.
    ULONG StartGeneration;
};

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "Capabilities is a 64-byte record");

// Driver-wide globals (driver entry).
extern UCHAR OldWdm;
extern UNICODE_STRING RegistryPathCopy;

// The DeviceContext of a device object of this driver.
inline DeviceContext *ContextOf(PDEVICE_OBJECT deviceObject)
{
    return static_cast<DeviceContext *>(deviceObject->DeviceExtension);
}

// Fields shared with the interrupt routine without a lock (Running, Opened, the ring
// indices, SequenceNo, FillCount, SnapWritePos, CtrlGainBits, the ISR counters), and
// LastError, which requests of several threads set, are read and written as one aligned
// access each. These helpers say so to the compiler: on x86 they
// are plain moves, but the compiler may neither tear, merge nor reorder them, and a
// store publishes everything written before it (the samples of a buffer before the
// WriteIndex that hands the buffer over).
template <typename T>
inline T LoadShared(const T *field)
{
    return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}
template <typename T, typename V>
inline void StoreShared(T *field, V value)
{
    __atomic_store_n(field, static_cast<T>(value), __ATOMIC_RELEASE);
}

// Port helpers: the register at an offset from a base (a port number or a mapped
// address). The HAL takes the port as a pointer-typed address.
inline PUCHAR PortAddress8(ULONG_PTR base, ULONG offset) { return reinterpret_cast<PUCHAR>(base + offset); }
inline PUSHORT PortAddress16(ULONG_PTR base, ULONG offset) { return reinterpret_cast<PUSHORT>(base + offset); }
inline PULONG PortAddress32(ULONG_PTR base, ULONG offset) { return reinterpret_cast<PULONG>(base + offset); }

#endif
