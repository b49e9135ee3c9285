// Acquisition exports: Initial, StartIntr, StartSnapshot, StopIntr, QueryBuf, ADResult,
// ADResultRecent, GetSnapshot, ChannelFrq and CardFrequency. Each is a thin synchronous
// wrapper around one driver request: check the arguments, fill the record, send it, and
// on refusal take the driver's error number. All acquisition state lives in the driver;
// the library keeps only Initialised and the sizes of the last start attempt.
#include "library_state.h"
#include "rate_split.h"

#include <string.h>

namespace {

// Argument limits of the two start functions.
constexpr uint32_t kMinScansPerBuffer = 5;
constexpr uint16_t kMaxChannels = 32;
constexpr int32_t kMinRateCode = -100000;
constexpr int32_t kMaxRateCode = 100000;

inline uint16_t Low16(uint32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }

// The checks both start functions make, in this order, before anything is sent.
// Returns 0 when the arguments pass, otherwise the library error number.
int32_t CheckStartArguments(uint32_t bufferCount, uint32_t scansPerBuffer,
                            uint32_t channelCount, int32_t rate)
{
    if (g_Library.Initialised.load() == 0)
        return TQ_LIB_NOT_INITIALISED;
    if (Low16(bufferCount) == 0)
        return TQ_LIB_BUFFER_COUNT_ZERO;
    if (scansPerBuffer < kMinScansPerBuffer)
        return TQ_LIB_SCANS_BELOW_5;
    if (Low16(channelCount) == 0)
        return TQ_LIB_CHANNEL_COUNT_ZERO;
    if (Low16(channelCount) > kMaxChannels)
        return TQ_LIB_CHANNEL_COUNT_ABOVE_32;
    if (rate < kMinRateCode)
        return TQ_LIB_RATE_TOO_LOW;
    if (rate > kMaxRateCode)
        return TQ_LIB_RATE_TOO_HIGH;
    return TQ_OK;
}

// Common part of StartIntr and StartSnapshot: validate, send the record, and only when
// the driver accepted record the sizes and the mode's run flag, so that a refused start
// leaves the running acquisition's reads as they were. Returns the buffer size, or 0.
// The caller holds StartStopLock.
int32_t SendStart(uint32_t bufferCount, uint32_t scansPerBuffer, uint32_t firstChannel,
                  uint32_t channelCount, int32_t rate, uint32_t reserved, uint32_t gainCode,
                  uint32_t reserved12, bool snapshot)
{
    ClearError();
    int32_t refusal = CheckStartArguments(bufferCount, scansPerBuffer, channelCount, rate);
    if (refusal != TQ_OK) {
        SetError(refusal);
        return 0;
    }
    // 32-bit arithmetic that wraps, as the driver computes the same size.
    const uint32_t bufferBytes = TqBufferBytes(Low16(channelCount), scansPerBuffer);

    TqStartRecord record;
    memset(&record, 0, sizeof record);
    record.ScansPerBuffer = scansPerBuffer;
    record.Rate = rate;
    record.Reserved8 = reserved;
    record.Reserved12 = reserved12;
    // Handles are 32-bit values in the record, as on 32-bit Windows.
    record.EventHandle =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_Library.NotifyEvent.load()));
    record.GainCode = Low16(gainCode);
    record.BufferCount = snapshot ? 1 : Low16(bufferCount);
    record.FirstChannel = Low16(firstChannel);
    record.ChannelCount = Low16(channelCount);
    record.SnapshotFlag = snapshot ? 1 : 0;
    if (!SendRequest(IOCTL_START, &record, sizeof record, nullptr, 0)) {
        FetchDriverError();
        return 0;
    }
    g_Library.BufferBytes.store(bufferBytes);
    g_Library.ChannelCount.store(Low16(channelCount));
    if (snapshot) {
        // No signals in snapshot mode: a thread left from an earlier ring run ends at its
        // next wake-up, or at the next stop.
        g_Library.NotifyRun.store(0);
    } else {
        g_Library.NotifyRun.store(1);
        StartNotifyThread();
    }
    return static_cast<int32_t>(bufferBytes);
}

// Step 1 of every acquisition reader: clear the error, require an accepted Initial.
bool ReaderMayProceed()
{
    ClearError();
    if (g_Library.Initialised.load() == 0) {
        SetError(TQ_LIB_NOT_INITIALISED);
        return false;
    }
    return true;
}

}  // namespace

// The stop under StartStopLock (not taken while the process terminates: the system may
// have ended a thread that held it). An accepted stop ends every notification thread, so
// no thread is left waiting on an event the driver no longer signals.
int32_t StopAcquisition(bool loaderLockHeld, bool processTerminating)
{
    if (!processTerminating)
        AcquireSRWLockExclusive(&g_Library.StartStopLock);
    int32_t result = 0;
    if (ReaderMayProceed()) {
        if (SendRequest(IOCTL_STOP, nullptr, 0, nullptr, 0)) {
            g_Library.NotifyRun.store(0);
            EndNotifyThreads(loaderLockHeld, processTerminating);
            result = 1;
        } else {
            FetchDriverError();
        }
    }
    if (!processTerminating)
        ReleaseSRWLockExclusive(&g_Library.StartStopLock);
    return result;
}

// Readies the device (the driver checks that the card's resources are present). Any call
// clears Initialised first; only an accepted one sets it again.
extern "C" int32_t TAVLON_CALL Initial(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4)
{
    ClearError();
    g_Library.Initialised.store(0);
    TqInitialRecord record;
    memset(&record, 0, sizeof record);
    record.Arg2 = Low16(a2);
    record.Arg1 = Low16(a1);
    record.Arg3 = a3;
    record.Arg4 = Low16(a4);
    if (!DeviceOpen()) {
        SetError(TQ_LIB_DEVICE_NOT_OPEN);
        return 0;
    }
    if (!SendRequest(IOCTL_INITIAL, &record, sizeof record, nullptr, 0)) {
        FetchDriverError();
        return 0;
    }
    g_Library.Initialised.store(1);
    return 1;
}

// Ring-mode start. On acceptance the run flag is set and one notification thread is
// started to turn the driver's buffer-full signals into window messages.
extern "C" int32_t TAVLON_CALL StartIntr(uint32_t bufferCount, uint32_t scansPerBuffer,
                                         uint32_t firstChannel, uint32_t channelCount,
                                         int32_t rate, uint32_t reserved, uint32_t gainCode)
{
    AcquireSRWLockExclusive(&g_Library.StartStopLock);
    int32_t bytes = SendStart(bufferCount, scansPerBuffer, firstChannel, channelCount, rate,
                              reserved, gainCode, 0, false);
    ReleaseSRWLockExclusive(&g_Library.StartStopLock);
    return bytes;
}

// Snapshot-mode start: one circular buffer, no signals.
extern "C" int32_t TAVLON_CALL StartSnapshot(uint32_t bufferCount, uint32_t scansPerBuffer,
                                             uint32_t firstChannel, uint32_t channelCount,
                                             int32_t rate, uint32_t reserved,
                                             uint32_t gainCode, uint32_t extra)
{
    AcquireSRWLockExclusive(&g_Library.StartStopLock);
    int32_t bytes = SendStart(bufferCount, scansPerBuffer, firstChannel, channelCount, rate,
                              reserved, gainCode, extra, true);
    ReleaseSRWLockExclusive(&g_Library.StartStopLock);
    return bytes;
}

// Stops the running acquisition and ends its notification thread (a wake-up that makes
// no posting pass), waiting until the thread has gone.
extern "C" int32_t TAVLON_CALL StopIntr(void) { return StopAcquisition(false, false); }

// Number of filled ring buffers not yet read. 0 is also the failure value; the error
// number tells them apart.
extern "C" int32_t TAVLON_CALL QueryBuf(void)
{
    if (!ReaderMayProceed())
        return 0;
    uint16_t count = 0;
    if (!SendRequest(IOCTL_QUERY_BUF, nullptr, 0, &count, sizeof count)) {
        FetchDriverError();
        return 0;
    }
    return count;
}

// Copies the oldest unread buffer straight into the caller's memory (BufferBytes bytes).
extern "C" int32_t TAVLON_CALL ADResult(void *buffer)
{
    if (!ReaderMayProceed())
        return 0;
    if (!SendRequest(IOCTL_READ_OLDEST, nullptr, 0, buffer, g_Library.BufferBytes.load())) {
        FetchDriverError();
        return 0;
    }
    return 1;
}

// Copies the newest filled buffer. Asks QueryBuf first and sends nothing more when no
// buffer is unread (18, replacing whatever QueryBuf reported).
extern "C" int32_t TAVLON_CALL ADResultRecent(void *buffer)
{
    if (!ReaderMayProceed())
        return 0;
    if (QueryBuf() == 0) {
        SetError(TQ_NO_DATA);
        return 0;
    }
    if (!SendRequest(IOCTL_READ_LATEST, nullptr, 0, buffer, g_Library.BufferBytes.load())) {
        FetchDriverError();
        return 0;
    }
    return 1;
}

// Copies the newest `scans` scans of the snapshot buffer; the reply ends with the index
// of the newest scan (not 4-aligned in general), also handed back through position.
// A scan count whose reply length does not fit 32 bits is refused with 15 before anything
// is sent: the wrapped length could be shorter than the four position bytes, which would
// then be taken from before the caller's buffer.
extern "C" int32_t TAVLON_CALL GetSnapshot(void *buffer, uint32_t scans, int32_t *position)
{
    if (!ReaderMayProceed())
        return 0;
    const uint16_t channels = g_Library.ChannelCount.load();
    if (2ull * channels * scans + 6ull > 0xFFFFFFFFull) {
        SetError(TQ_LIB_COUNT_OUT_OF_RANGE);
        return 0;
    }
    uint32_t length = TqSnapshotBytes(channels, scans);
    if (!SendRequest(IOCTL_READ_SNAPSHOT, nullptr, 0, buffer, length)) {
        FetchDriverError();
        return 0;
    }
    int32_t newest;
    memcpy(&newest, static_cast<unsigned char *>(buffer) + (length - 4), sizeof newest);
    *position = newest;
    return 1;
}

// Per-channel sampling rate at a rate code: the timer's divisor of the 6 MHz clock,
// the software divisor, and the channels sharing the conversions, in double precision.
// Sends nothing; the error number is untouched. channels 0 gives positive infinity.
// Each quotient is stored as a double before the next division: the 32-bit x86 build
// divides on the x87 unit, which would otherwise carry the intermediates in extended
// precision and give some rates (7, for one) a last bit other than every other build's.
extern "C" double TAVLON_CALL ChannelFrq(int32_t channels, int32_t rate)
{
    TqRateSplit split = RateSplit(rate);
    int32_t divisor = TqTimerDivisor(split.TimerRate);
    volatile double frequency = static_cast<double>(TqTimerClockHz) / static_cast<double>(divisor);
    frequency = frequency / static_cast<double>(split.SoftDivisor);
    frequency = frequency / static_cast<double>(channels);
    return frequency;
}

// The card's frequency value (an IEEE single kept in its configuration memory).
// Needs the device but not Initial.
extern "C" int32_t TAVLON_CALL CardFrequency(float *frequency)
{
    ClearError();
    if (!DeviceOpen()) {
        SetError(TQ_LIB_DEVICE_NOT_OPEN);
        return 0;
    }
    float value = 0.0f;
    if (!SendRequest(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, sizeof value)) {
        FetchDriverError();
        return 0;
    }
    *frequency = value;
    return 1;
}
