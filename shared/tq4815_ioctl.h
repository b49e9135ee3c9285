// The contract between the Tq4815x driver and the TAVLON library: device-control codes,
// the fixed-layout records that travel in them, and the error numbers both sides report.
// Plain data and constants only, with no platform header, so that the driver (kernel
// mode), the library (user mode) and the tests all build against the one definition.
#ifndef TQ4815_SHARED_IOCTL_H
#define TQ4815_SHARED_IOCTL_H

#include <stddef.h>
#include <stdint.h>

// Device type FILE_DEVICE_UNKNOWN, any access: code = (0x22 << 16) | (function << 2) | method.
inline constexpr uint32_t TqDeviceType = 0x22;
inline constexpr uint32_t TqMethodBuffered = 0;
inline constexpr uint32_t TqMethodInDirect = 1;
inline constexpr uint32_t TqMethodOutDirect = 2;
inline constexpr uint32_t TqMethodNeither = 3;

constexpr uint32_t TqControlCode(uint32_t function, uint32_t method)
{
    return (TqDeviceType << 16) | (function << 2) | method;
}
constexpr uint32_t TqControlFunction(uint32_t code) { return (code >> 2) & 0xFFF; }
constexpr uint32_t TqControlMethod(uint32_t code) { return code & 3; }

inline constexpr uint32_t IOCTL_WAIT_NOTIFY = TqControlCode(0x800, TqMethodBuffered);
inline constexpr uint32_t IOCTL_POST_NOTIFY = TqControlCode(0x801, TqMethodBuffered);
inline constexpr uint32_t IOCTL_INITIAL = TqControlCode(0x802, TqMethodBuffered);
inline constexpr uint32_t IOCTL_QUERY_BUF = TqControlCode(0x804, TqMethodBuffered);
inline constexpr uint32_t IOCTL_START = TqControlCode(0x805, TqMethodBuffered);
inline constexpr uint32_t IOCTL_STOP = TqControlCode(0x806, TqMethodBuffered);
inline constexpr uint32_t IOCTL_READ_OLDEST = TqControlCode(0x807, TqMethodOutDirect);
inline constexpr uint32_t IOCTL_READ_LATEST = TqControlCode(0x808, TqMethodOutDirect);
inline constexpr uint32_t IOCTL_READ_SNAPSHOT = TqControlCode(0x80A, TqMethodOutDirect);
inline constexpr uint32_t IOCTL_BOARD_COMMAND = TqControlCode(0x80B, TqMethodBuffered);
inline constexpr uint32_t IOCTL_IN_BYTE = TqControlCode(0x80C, TqMethodBuffered);
inline constexpr uint32_t IOCTL_IN_WORD = TqControlCode(0x80D, TqMethodBuffered);
inline constexpr uint32_t IOCTL_IN_DWORD = TqControlCode(0x80E, TqMethodBuffered);
inline constexpr uint32_t IOCTL_OUT_BYTE = TqControlCode(0x80F, TqMethodBuffered);
inline constexpr uint32_t IOCTL_OUT_WORD = TqControlCode(0x810, TqMethodBuffered);
inline constexpr uint32_t IOCTL_OUT_DWORD = TqControlCode(0x811, TqMethodBuffered);
inline constexpr uint32_t IOCTL_GET_LAST_ERROR = TqControlCode(0x812, TqMethodBuffered);
inline constexpr uint32_t IOCTL_CARD_FREQUENCY = TqControlCode(0x813, TqMethodBuffered);

static_assert(IOCTL_WAIT_NOTIFY == 0x222000);
static_assert(IOCTL_INITIAL == 0x222008);
static_assert(IOCTL_READ_OLDEST == 0x22201E);
static_assert(IOCTL_READ_LATEST == 0x222022);
static_assert(IOCTL_READ_SNAPSHOT == 0x22202A);
static_assert(IOCTL_BOARD_COMMAND == 0x22202C);
static_assert(IOCTL_CARD_FREQUENCY == 0x22204C);

// Every record below is built of fixed-width fields only, none pointer-sized: a 32-bit
// process and a 64-bit driver (or a 64-bit process) lay it out alike, which the size,
// offset and alignment checks prove in each build of both widths. The one handle that
// crosses, EventHandle, travels in 32 bits, as 64-bit Windows guarantees suffices for a
// handle a 32-bit process can use.

// Input of IOCTL_START: exactly 32 bytes, little-endian.
struct TqStartRecord {
    uint32_t ScansPerBuffer; // scans per data buffer
    int32_t Rate;            // rate code (see RateSplit)
    uint32_t Reserved8;      // stored by the driver, not used
    uint32_t Reserved12;     // 0 from StartIntr, StartSnapshot's last argument; not read
    uint32_t EventHandle;    // user-mode event handle, referenced in ring mode only
    uint16_t GainCode;
    uint16_t BufferCount;    // ring size; the driver forces 1 in snapshot mode
    uint16_t FirstChannel;
    uint16_t ChannelCount;   // 1…32
    uint16_t SnapshotFlag;   // 0 ring mode, 1 snapshot mode
    uint16_t Unused30;
};
static_assert(sizeof(TqStartRecord) == 32 && alignof(TqStartRecord) == 4);
static_assert(offsetof(TqStartRecord, Rate) == 4);
static_assert(offsetof(TqStartRecord, Reserved8) == 8);
static_assert(offsetof(TqStartRecord, Reserved12) == 12);
static_assert(offsetof(TqStartRecord, EventHandle) == 16);
static_assert(offsetof(TqStartRecord, GainCode) == 20);
static_assert(offsetof(TqStartRecord, BufferCount) == 22);
static_assert(offsetof(TqStartRecord, FirstChannel) == 24);
static_assert(offsetof(TqStartRecord, ChannelCount) == 26);
static_assert(offsetof(TqStartRecord, SnapshotFlag) == 28);

// Input of IOCTL_INITIAL: exactly 16 bytes. The driver checks only the length.
struct TqInitialRecord {
    uint16_t Arg2;    // second argument of Initial
    uint16_t Arg1;    // first argument
    uint32_t Arg3;    // third argument
    uint32_t Unset8;
    uint16_t Arg4;    // fourth argument
    uint16_t Unset14;
};
static_assert(sizeof(TqInitialRecord) == 16 && alignof(TqInitialRecord) == 4);
static_assert(offsetof(TqInitialRecord, Arg1) == 2);
static_assert(offsetof(TqInitialRecord, Arg3) == 4);
static_assert(offsetof(TqInitialRecord, Arg4) == 12);

// System buffer of the direct port codes: the port number, then (writes) the value.
// A read leaves the value at offset 0 with the width of the request.
struct TqPortRecord {
    uint16_t Port;
    uint16_t Unused2;
    union {
        uint8_t Byte;
        uint16_t Word;
        uint32_t Dword;
    } Value;
};
static_assert(sizeof(TqPortRecord) == 8 && alignof(TqPortRecord) == 4);
static_assert(offsetof(TqPortRecord, Value) == 4);
inline constexpr uint32_t TqPortReadInputBytes = 2;   // port number only
inline constexpr uint32_t TqPortWriteInputBytes = 8;  // port number and value

// Error numbers. The driver keeps one LastError per device; the library one number per
// process; both share this number space. Codes 117 to 121 and library codes 15 and 19 are this
// project's additions for refusals the original contract left open.
enum TqError : int32_t {
    TQ_OK = 0,
    // library codes
    TQ_LIB_DEVICE_NOT_OPEN = 2,
    TQ_LIB_NOT_INITIALISED = 3,
    TQ_LIB_BUFFER_COUNT_ZERO = 10,
    TQ_LIB_SCANS_BELOW_5 = 11,
    TQ_LIB_CHANNEL_COUNT_ZERO = 12,
    TQ_LIB_SLOT_INDEX = 13,
    TQ_LIB_CHANNEL_COUNT_ABOVE_32 = 14,
    TQ_LIB_COUNT_OUT_OF_RANGE = 15,  // added: Zel_DI above 100 / Zel_ADResult above 50
    TQ_LIB_RATE_TOO_LOW = 16,
    TQ_LIB_RATE_TOO_HIGH = 17,
    TQ_NO_DATA = 18,                 // both sides: no unread buffer
    TQ_LIB_SYSTEM_REFUSED = 19,      // added: the system refused the request before the driver saw it
    // driver codes
    TQ_DRV_INITIAL_LENGTH = 101,
    TQ_DRV_RUNNING = 102,
    TQ_DRV_NO_BOARD = 103,
    TQ_DRV_NO_INTERRUPT = 105,
    TQ_DRV_NOT_INITIALISED = 107,
    TQ_DRV_START_LENGTH = 108,
    TQ_DRV_NO_MEMORY = 109,
    TQ_DRV_NOT_RUNNING = 110,
    TQ_DRV_NOT_RING_MODE = 111,
    TQ_DRV_OUTPUT_LENGTH = 112,
    TQ_DRV_NOT_SNAPSHOT_MODE = 113,
    TQ_DRV_BAD_BOARD_COMMAND = 114,
    TQ_DRV_BAD_FREQUENCY_REQUEST = 116,
    TQ_DRV_EVENT_REFERENCE = 117,    // added: notification event cannot be referenced
    TQ_DRV_START_FIELD = 118,        // added: StartRecord field out of range
    TQ_DRV_BUFFER_TOO_SHORT = 119,   // added: request buffer too short for its record
    TQ_DRV_CONVERSION_TIMEOUT = 120, // added: conversion did not complete
    TQ_DRV_PORT_OUT_OF_RANGE = 121,  // added: port access outside the card's claimed ranges
    TQ_DRV_FREQUENCY_ERASED = 1000,
};

// Data formats that cross from driver to library.
// A data buffer: one sequence word, then ScansPerBuffer scans of ChannelCount samples.
constexpr uint32_t TqBufferBytes(uint32_t channelCount, uint32_t scansPerBuffer)
{
    return 2u * (channelCount * scansPerBuffer) + 2u;
}
// Snapshot reply for n scans: sequence word, n × ChannelCount samples, i32 newest-scan index.
constexpr uint32_t TqSnapshotBytes(uint32_t channelCount, uint32_t scans)
{
    return 2u * (channelCount * scans) + 6u;
}

// Reply of IOCTL_BOARD_COMMAND with input length 0 and output length 16: the scans of
// the acquisition since the last IOCTL_START, in every state (zeros before the first).
// Each counter is 32 bits and wraps; in ring mode Stored + Dropped are the scans the
// card completed, and a jump of 1 + ceil(d / L) between successive buffers' sequence
// words declares d dropped scans (L = samples per buffer, at most 32767).
struct TqScanCounters {
    uint32_t Stored;    // scans placed in a buffer (ring or snapshot)
    uint32_t Dropped;   // scans dropped because every ring buffer held unread data
    uint32_t Overruns;  // times the ring became full
    uint32_t Zero;      // always 0
};
static_assert(sizeof(TqScanCounters) == 16 && alignof(TqScanCounters) == 4);
inline constexpr uint32_t TqScanCountersBytes = sizeof(TqScanCounters);

#endif
