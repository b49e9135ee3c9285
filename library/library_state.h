// LibraryState: the one process-wide record of the TAVLON library, and the helpers its
// export files share (device check, synchronous request, the error-number protocol).
//
// Fields that application threads and notification threads touch concurrently are
// atomics, each read and written whole, so "the last store wins" without a data race.
// No field is guarded by a lock. The two board blocks are the exception: they are byte
// buffers that the driver's reply is copied into, shared by the Zel_ functions, and
// two threads using those functions at the same time mix their requests (as documented
// in TAVLON.h).
#ifndef TAVLON_LIBRARY_STATE_H
#define TAVLON_LIBRARY_STATE_H

#include <windows.h>

#include <atomic>
#include <stdint.h>

#include "TAVLON.h"
#include "tq4815_ioctl.h"

inline constexpr int TqNotifySlotCount = 4;
inline constexpr int TqBoardBlockBytes = 100;
// Notification threads whose handles the library keeps so that unload can end them.
// Each accepted StartIntr adds one that lives until its first wake-up after a stop; a
// thousand live ones would already have exhausted a 32-bit process's address space.
inline constexpr int TqMaxNotifyThreads = 1024;

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

    // Bookkeeping for unload (not part of the observable state): set while the library
    // ends its notification threads; the handles of the threads that may still run.
    std::atomic<int32_t> Unloading;
    std::atomic<int32_t> Attached;
    std::atomic<HANDLE> NotifyThreads[TqMaxNotifyThreads];
    std::atomic<int32_t> NotifyThreadsInLoop;  // threads not yet past their last access
    std::atomic<uint32_t> NotifyUnloadWakeUps; // wake-ups taken by threads during unload
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
// If the fetch itself fails the number keeps the 0 stored at the export's entry.
void FetchDriverError();

// Process attach and detach (also run by the loader hooks in entry.cpp). Attach resets
// LibraryState to its load-time values, opens the device and creates the event. Detach
// stops any acquisition, ends every notification thread, then closes the event and the
// device; it does nothing when the library is not attached. loaderLockHeld (Windows,
// FreeLibrary) means thread handles cannot be waited for, because an ending thread needs
// the loader lock to leave; the threads' own leave count is waited for instead.
extern "C" TAVLON_API void TavlonProcessAttach(void);
extern "C" TAVLON_API void TavlonProcessDetach(void);
void ProcessDetach(bool loaderLockHeld, bool processTerminating);

// Notification threads (notification.cpp).
DWORD WINAPI NotifyThread(LPVOID parameter);
// Starts one notification thread and keeps its handle; called after an accepted start.
void StartNotifyThread();
// Wakes every notification thread still alive and waits until none runs library code.
void EndNotifyThreads(bool loaderLockHeld, bool processTerminating);

#endif
