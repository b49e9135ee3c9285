// LibraryState: the one process-wide record of the TAVLON library, and the helpers its
// export files share (device check, synchronous request, the error-number protocol).
//
// Fields that application threads and notification threads touch concurrently are
// atomics, each read and written whole, so "the last store wins" without a data race.
// Two locks serialise what single stores cannot: StartStopLock the start and stop exports
// with the notification threads' set-up and end (a stop racing a start must not leave a
// running acquisition unserved or a thread waiting for ever), and BoardLock the Zel_
// family's use of the shared request and reply blocks for the whole call (request, device
// call, reply copy), so that no thread reads another's reply. Both are SRW locks: all
// zero in static storage is a free lock, so they need no set-up or clean-up.
#ifndef TAVLON_LIBRARY_STATE_H
#define TAVLON_LIBRARY_STATE_H

#include <windows.h>

#include <atomic>
#include <stdint.h>

#include "TAVLON.h"
#include "tq4815_ioctl.h"

inline constexpr int TqNotifySlotCount = 4;
inline constexpr int TqBoardBlockBytes = 100;
// Notification threads whose handles the library keeps so that a stop or the unload can
// end them. An accepted stop ends them all; more than one lives only when an acquisition
// ended without the library's stop (Initial while running, the device's removal) and
// another started.
inline constexpr int TqMaxNotifyThreads = 64;

// One window-notification slot: active when both Window and Message are non-zero.
struct NotifySlot {
    std::atomic<HWND> Window;
    std::atomic<uint32_t> Message;
    std::atomic<uint32_t> WParam;
    std::atomic<uint32_t> LParam;
};

struct LibraryState {
    std::atomic<HANDLE> DeviceHandle;   // INVALID_HANDLE_VALUE when the open at load failed
    std::atomic<HANDLE> NotifyEvent;    // auto-reset; null when its creation failed
    std::atomic<int32_t> Initialised;   // 1 after an accepted Initial
    std::atomic<int32_t> LastError;     // the process-wide error number
    std::atomic<uint32_t> BytesReturned; // returned byte count of the last request; never read
    std::atomic<uint32_t> BufferBytes;  // bytes of one data buffer of the last start attempt
    std::atomic<uint16_t> ChannelCount; // channel count of the last start attempt
    std::atomic<int32_t> NotifyRun;     // run flag of the notification threads
    std::atomic<uint32_t> NotifyThreadId; // identifier of the last notification thread
    NotifySlot NotifySlots[TqNotifySlotCount];
    unsigned char BoardRequest[TqBoardBlockBytes];
    unsigned char BoardReply[TqBoardBlockBytes];

    // Bookkeeping (not part of the observable state). Never reset: the locks may be held
    // by another thread while a test re-runs the attach.
    SRWLOCK StartStopLock;
    SRWLOCK BoardLock;
    // Set while the library ends its notification threads: a wake-up then ends a thread
    // without a posting pass. The handles of the threads that may still run.
    std::atomic<int32_t> NotifyEnding;
    std::atomic<int32_t> Attached;
    std::atomic<HANDLE> NotifyThreads[TqMaxNotifyThreads];
    std::atomic<int32_t> NotifyThreadsInLoop;  // threads not yet past their last access
    std::atomic<uint32_t> NotifyEndWakeUps;    // wake-ups taken by threads being ended
};


extern LibraryState g_Library;

// True when the device was opened at load.
bool DeviceOpen();
// The error-number protocol: step 1 (clear) and step 2 (store a library code).
void ClearError();
void SetError(int32_t code);
// One synchronous DeviceIoControl on the device handle; returns true when the driver
// completed the request with success. The returned byte count goes to BytesReturned.
bool SendRequest(DWORD code, void *input, DWORD inputLength, void *output, DWORD outputLength);
// After a refused request: the driver's LastError becomes the library's error number.
// When the system refused the request before the driver saw it (a bad buffer, the device
// being removed), the driver's number is stale or 0; the library's 19 is stored instead,
// so that a failure never leaves 0. Reads the thread's Win32 error of the refused request,
// so call it right after SendRequest.
void FetchDriverError();

// Process attach and detach (also run by the loader hooks in entry.cpp). Attach resets
// LibraryState to its load-time values, opens the device and creates the event. Detach
// stops any acquisition, ends every notification thread, then closes the event and the
// device; it does nothing when the library is not attached. loaderLockHeld (the loader's
// unload: DllMain, the shared object's destructor) means thread handles cannot be waited
// for, because an ending thread needs the loader lock to leave; the threads' own leave
// count is waited for instead.
extern "C" TAVLON_API void TavlonProcessAttach(void);
extern "C" TAVLON_API void TavlonProcessDetach(void);
void ProcessDetach(bool loaderLockHeld, bool processTerminating);

// The stop: IOCTL_STOP and, when accepted, the end of every notification thread (see
// EndNotifyThreads for the two flags). Returns 1 or 0 as StopIntr does. Takes
// StartStopLock, except when the process is terminating: the system may have ended
// another thread while it held the lock.
int32_t StopAcquisition(bool loaderLockHeld, bool processTerminating);

// Notification threads (notification.cpp); the caller holds StartStopLock.
DWORD WINAPI NotifyThread(LPVOID parameter);
// Starts one notification thread and keeps its handle; called after an accepted start.
void StartNotifyThread();
// Wakes every notification thread still alive and waits until none will run library code
// again; then closes their handles, first waiting for the threads to end unless
// loaderLockHeld. With processTerminating (the system has ended the other threads
// already) only the handles are closed.
void EndNotifyThreads(bool loaderLockHeld, bool processTerminating);

#endif
