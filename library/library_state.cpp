// Library state, process attach and detach, the error-number protocol, and the four
// exports that need no device: GetLastADError, GetADPropStrSize, GetADPropString and
// ConfigInfo.
#include "library_state.h"

#include <string.h>

LibraryState g_Library;

namespace {

// The device the library opens once per load.
const char kDevicePath[] = "\\\\.\\Tq4815x";
// The device name ConfigInfo reports, with its terminator.
const char kDeviceName[] = "Tq4815x";

// The description string, code page 936 (GBK), 93 bytes and a terminator. Two lines:
//   "Tq4815－WDM: 12位AD, IOBase,IRQ,Mem由操作系统指定，"   (bytes 0-50)
//   line feed                                               (byte 51)
//   "NumChn:1~32, SW:0, FrqSamp:-100000~100000"             (bytes 52-92)
// Written as bytes so that no source or compiler character set can change them.
const unsigned char kPropertyString[] = {
    0x54, 0x71, 0x34, 0x38, 0x31, 0x35,                         // Tq4815
    0xA3, 0xAD,                                                 // full-width hyphen-minus
    0x57, 0x44, 0x4D, 0x3A, 0x20, 0x31, 0x32,                   // WDM: 12
    0xCE, 0xBB,                                                 // "bit"
    0x41, 0x44, 0x2C, 0x20, 0x49, 0x4F, 0x42, 0x61, 0x73, 0x65, // AD, IOBase
    0x2C, 0x49, 0x52, 0x51, 0x2C, 0x4D, 0x65, 0x6D,             // ,IRQ,Mem
    0xD3, 0xC9, 0xB2, 0xD9, 0xD7, 0xF7, 0xCF, 0xB5,             // "assigned by the
    0xCD, 0xB3, 0xD6, 0xB8, 0xB6, 0xA8,                         //  operating system"
    0xA3, 0xAC,                                                 // full-width comma
    0x0A,                                                       // line feed
    0x4E, 0x75, 0x6D, 0x43, 0x68, 0x6E, 0x3A, 0x31, 0x7E, 0x33, 0x32, // NumChn:1~32
    0x2C, 0x20, 0x53, 0x57, 0x3A, 0x30,                         // , SW:0
    0x2C, 0x20, 0x46, 0x72, 0x71, 0x53, 0x61, 0x6D, 0x70, 0x3A, // , FrqSamp:
    0x2D, 0x31, 0x30, 0x30, 0x30, 0x30, 0x30, 0x7E,             // -100000~
    0x31, 0x30, 0x30, 0x30, 0x30, 0x30,                         // 100000
    0x00,
};
constexpr int32_t kPropertyStringLength = sizeof(kPropertyString) - 1;
static_assert(kPropertyStringLength == 93);

// ConfigInfo's values: the limits StartIntr and StartSnapshot apply, and fixed values.
constexpr int32_t kConfigMaxChannels = 32;
constexpr int32_t kConfigOut2 = 1;
constexpr int32_t kConfigMaxRate = 100000;
constexpr int32_t kConfigMinScans = 5;
constexpr float kConfigOut5 = 32768.0f;  // bits 0x47000000
constexpr float kConfigOut6 = 65535.0f;  // bits 0x477FFF00
constexpr int32_t kConfigOut7 = 0;

// Puts every field back to its load-time value (all zero, no handles).
void ResetState()
{
    LibraryState &s = g_Library;
    s.DeviceHandle = INVALID_HANDLE_VALUE;
    s.NotifyEvent = nullptr;
    s.Initialised = 0;
    s.LastError = 0;
    s.BytesReturned = 0;
    s.BufferBytes = 0;
    s.ChannelCount = 0;
    s.NotifyRun = 0;
    s.NotifyThreadId = 0;
    for (NotifySlot &slot : s.NotifySlots) {
        slot.Window = nullptr;
        slot.Message = 0;
        slot.WParam = 0;
        slot.LParam = 0;
    }
    memset(s.BoardRequest, 0, sizeof s.BoardRequest);
    memset(s.BoardReply, 0, sizeof s.BoardReply);
    s.NotifyEnding = 0;
    for (std::atomic<HANDLE> &thread : s.NotifyThreads)
        thread = nullptr;
    s.NotifyThreadsInLoop = 0;
    s.NotifyEndWakeUps = 0;
}

}  // namespace

bool DeviceOpen()
{
    HANDLE device = g_Library.DeviceHandle.load();
    return device != INVALID_HANDLE_VALUE && device != nullptr;
}

void ClearError() { g_Library.LastError.store(0); }

void SetError(int32_t code) { g_Library.LastError.store(code); }

bool SendRequest(DWORD code, void *input, DWORD inputLength, void *output, DWORD outputLength)
{
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(g_Library.DeviceHandle.load(), code, input, inputLength, output,
                              outputLength, &returned, nullptr);
    g_Library.BytesReturned.store(returned);
    return ok != FALSE;
}

namespace {

// Win32 errors of a device request that the system refused before any driver routine saw
// it: the caller's buffer failed the I/O manager's probe, the handle is no open file, or
// the request could not be set up (no memory to lock or map the caller's pages). A driver
// refuses with STATUS_UNSUCCESSFUL or STATUS_INVALID_PARAMETER, reported as other errors.
bool RefusedBeforeTheDriver(DWORD win32Error)
{
    switch (win32Error) {
    case ERROR_NOACCESS:
    case ERROR_INVALID_USER_BUFFER:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return true;
    default:
        return false;
    }
}

}  // namespace

// The driver's LastError is fetched into a local and stored whole, so that a reader on
// another thread never sees a half-written number. A fetch that fails too (the device is
// being removed) or finds 0 (the driver's routine never ran) leaves 19, as does a refusal
// the system made before the driver (the driver's number is then stale).
void FetchDriverError()
{
    const DWORD refusal = GetLastError();
    int32_t driverError = 0;
    if (!RefusedBeforeTheDriver(refusal) &&
        !SendRequest(IOCTL_GET_LAST_ERROR, nullptr, 0, &driverError, sizeof driverError))
        driverError = 0;
    g_Library.LastError.store(driverError != 0 ? driverError : TQ_LIB_SYSTEM_REFUSED);
}

// Process attach: opens the device and creates the notification event. Neither failure
// is reported; the exports report them (2 for no device) when they are used.
extern "C" void TavlonProcessAttach(void)
{
    if (g_Library.Attached.load())
        return;
    ResetState();
    HANDLE device = CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    g_Library.DeviceHandle.store(device);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_Library.NotifyEvent.store(event);
    g_Library.Attached.store(1);
}

// Process detach: stop (its outcome ignored), end the notification threads, then close
// the event and the device, so that no thread waits on a closed event or runs code
// about to be unloaded.
void ProcessDetach(bool loaderLockHeld, bool processTerminating)
{
    if (!g_Library.Attached.load())
        return;
    StopAcquisition(loaderLockHeld, processTerminating);
    // Threads of a run the library did not stop (Initial while running, a removed device).
    if (processTerminating) {
        EndNotifyThreads(loaderLockHeld, processTerminating);
    } else {
        AcquireSRWLockExclusive(&g_Library.StartStopLock);
        EndNotifyThreads(loaderLockHeld, processTerminating);
        ReleaseSRWLockExclusive(&g_Library.StartStopLock);
    }
    HANDLE event = g_Library.NotifyEvent.exchange(nullptr);
    if (event != nullptr)
        CloseHandle(event);
    HANDLE device = g_Library.DeviceHandle.exchange(INVALID_HANDLE_VALUE);
    if (device != INVALID_HANDLE_VALUE && device != nullptr)
        CloseHandle(device);
    g_Library.Initialised = 0;
    g_Library.Attached.store(0);
}

extern "C" void TavlonProcessDetach(void) { ProcessDetach(false, false); }

// ---- Exports needing no device: they neither read nor write the error number --------

extern "C" int32_t TAVLON_CALL GetLastADError(void) { return g_Library.LastError.load(); }

extern "C" int32_t TAVLON_CALL GetADPropStrSize(void) { return kPropertyStringLength; }

// The caller supplies GetADPropStrSize() + 1 bytes; the copy is not limited otherwise.
extern "C" int32_t TAVLON_CALL GetADPropString(char *buffer)
{
    memcpy(buffer, kPropertyString, sizeof kPropertyString);
    return 1;
}

extern "C" void TAVLON_CALL ConfigInfo(char *name, int32_t *maxChannels, int32_t *out2,
                                       int32_t *maxRate, int32_t *minScans, float *out5,
                                       float *out6, int32_t *out7)
{
    memcpy(name, kDeviceName, sizeof kDeviceName);
    *maxChannels = kConfigMaxChannels;
    *out2 = kConfigOut2;
    *maxRate = kConfigMaxRate;
    *minScans = kConfigMinScans;
    *out5 = kConfigOut5;
    *out6 = kConfigOut6;
    *out7 = kConfigOut7;
}
