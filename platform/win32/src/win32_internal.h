// Shared internals of the Win32 stand-in: last-error helpers, the status-to-error table,
// the per-thread record every thread that calls the stand-in gets, and the hooks by which
// KERNEL32 parts tell USER32 parts about thread ends and handle closes.
#ifndef TQ_WIN32_INTERNAL_H
#define TQ_WIN32_INTERNAL_H

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kernel_bridge.h"

namespace tqwin32 {

// The Win32 error that RtlNtStatusToDosError gives for an NTSTATUS.
DWORD ErrorFromStatus(kernel::Status status);
// Sets the thread's last error from a failed status and returns FALSE, for one-line
// failure paths.
BOOL FailWithStatus(kernel::Status status);
BOOL FailWithError(DWORD error);

inline const HANDLE kCurrentProcessPseudo = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
inline const HANDLE kCurrentThreadPseudo = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// One per thread that has called into the stand-in (created on first use), and one per
// thread created by CreateThread (created before the thread starts).
struct ThreadRecord {
    DWORD id = 0;
    // Kernel thread object, signalled when the thread ends. Created by CreateThread, or
    // on demand by OpenThread for a thread the stand-in did not start. The record holds
    // the object's creation reference, which signalling it at thread end gives up.
    // Guarded by the thread registry's lock.
    void *object = nullptr;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    // Status block of the synchronous request this thread waits for, if any, so that
    // CancelSynchronousIo can find it.
    std::atomic<const kernel::IoStatusWords *> inflightIoStatus{nullptr};
    // Its request in flight through a machine host, by the request's tag (0: none).
    std::atomic<std::uint64_t> inflightRemoteTag{0};
    // CREATE_SUSPENDED gate.
    std::mutex gateMutex;
    std::condition_variable gate;
    DWORD suspendCount = 0;
    bool finished = false;  // guarded by the thread registry's lock
    bool startedByCreateThread = false;
};

ThreadRecord &CurrentThread();
DWORD CurrentThreadId();
// Thread behind a thread handle (including the pseudo handle); null if the handle is
// not one of a thread. Sets the last error on failure.
std::shared_ptr<ThreadRecord> ThreadFromHandle(HANDLE handle);
// Called by CloseHandle after the kernel closed a handle of `object`.
void ThreadHandleClosed(void *object);
void EventHandleClosed(void *object);

// The machine was booted by CreateFileA; the process's end shuts it down (process_end.cpp).
void NoteMachineBootedHere();

// Test seams (test_seams.cpp, tqwin32_seams.h): the hook a finished DeviceIoControl runs,
// and the count of threads waiting for an SRW lock (delta +1 before a wait, -1 after).
void RunDeviceIoControlDoneHook(DWORD code, bool succeeded);
void NoteSrwLockWait(int delta);

namespace user {
// The thread `threadId` is ending: its windows are destroyed (without messages, as the
// system does when a thread ends), its queue removed, senders waiting on it released.
void ThreadExiting(DWORD threadId);
}  // namespace user

}  // namespace tqwin32

#endif
