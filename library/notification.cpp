// Window notification: RegisterNotify, the notification thread that turns the driver's
// buffer-full signal into posted window messages, and the bookkeeping that lets a stop
// and the unload end every such thread before the event and the code go away.
//
// Each accepted StartIntr starts one thread. It waits on the auto-reset event that the
// driver signals once per filled buffer and, at each wake-up, posts the message of every
// active slot. An accepted StopIntr ends it (the driver signals nothing after a stop, so
// a thread left waiting would wait for ever). A thread of a run that ended otherwise
// (Initial while running, the device's removal) keeps serving if another start sets the
// flag again, so several threads may wait on the event; each signal releases exactly one
// of them, and the next accepted stop ends them all.
#include "library_state.h"

#ifndef _WIN32
#include <thread>
#endif

namespace {

// One posting pass: the message of each active slot (window and message both non-zero),
// in slot order, with the slot's values as they are now. Posts are never retried; a
// failed one (window gone, queue full) is dropped and the slot stays registered.
void PostingPass()
{
    for (NotifySlot &slot : g_Library.NotifySlots) {
        HWND window = slot.Window.load();
        if (window == nullptr)
            continue;
        uint32_t message = slot.Message.load();
        if (message == 0)
            continue;
        WPARAM wParam = static_cast<WPARAM>(slot.WParam.load());
        LPARAM lParam = static_cast<LPARAM>(slot.LParam.load());
        PostMessageA(window, message, wParam, lParam);
    }
}

// Keeps a thread handle for unload. Returns false when every place is taken.
bool KeepThreadHandle(HANDLE thread)
{
    for (std::atomic<HANDLE> &place : g_Library.NotifyThreads) {
        HANDLE expected = nullptr;
        if (place.compare_exchange_strong(expected, thread))
            return true;
    }
    return false;
}

// Closes the handles of threads that have ended, so the table holds live threads only.
void ForgetEndedThreads()
{
    for (std::atomic<HANDLE> &place : g_Library.NotifyThreads) {
        HANDLE thread = place.load();
        if (thread == nullptr || WaitForSingleObject(thread, 0) != WAIT_OBJECT_0)
            continue;
        if (place.compare_exchange_strong(thread, nullptr))
            CloseHandle(thread);
    }
}

// The thread's last touch of library state. After this it runs no library code but
// its return.
void LeaveThread() { g_Library.NotifyThreadsInLoop.fetch_sub(1); }

}  // namespace

// Fills one notification slot. Needs the device open (2 before the index is tested) and
// an index below 4 (13); the values are stored unchecked, window first. A null window or
// message 0 makes the slot inactive.
extern "C" int32_t TAVLON_CALL RegisterNotify(uint32_t index, void *window, uint32_t message,
                                              uint32_t wParam, uint32_t lParam)
{
    ClearError();
    if (!DeviceOpen()) {
        SetError(TQ_LIB_DEVICE_NOT_OPEN);
        return 0;
    }
    if (index >= static_cast<uint32_t>(TqNotifySlotCount)) {
        SetError(TQ_LIB_SLOT_INDEX);
        return 0;
    }
    NotifySlot &slot = g_Library.NotifySlots[index];
    slot.Window.store(static_cast<HWND>(window));
    slot.Message.store(message);
    slot.WParam.store(wParam);
    slot.LParam.store(lParam);
    return 1;
}

// The notification thread. The run flag is read afresh after every pass and the slots
// in every pass. A wait that fails (no event) ends the thread instead of spinning. A
// wake-up while the library ends its threads (a stop, the unload) ends the thread without
// a pass. The thread holds a reference on the library's module, taken by its creator, and
// gives it up as it ends with FreeLibraryAndExitThread, whose code is the system's: no
// instruction of the library runs after the reference is gone, so the library cannot be
// unmapped under the thread (nor, while the thread lives, by an unload at all).
DWORD WINAPI NotifyThread(LPVOID parameter)
{
    HMODULE module = static_cast<HMODULE>(parameter);
    HANDLE event = g_Library.NotifyEvent.load();
    bool serve = g_Library.NotifyRun.load() != 0 && g_Library.NotifyEnding.load() == 0;
    while (serve) {
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0)
            break;
        if (g_Library.NotifyEnding.load() != 0) {
            g_Library.NotifyEndWakeUps.fetch_add(1);
            break;
        }
        PostingPass();
        serve = g_Library.NotifyRun.load() != 0;
    }
    LeaveThread();
    FreeLibraryAndExitThread(module, 0);
}

// Starts one notification thread after an accepted StartIntr and keeps its handle. The
// thread's module reference is taken here, before the thread exists, so that an unload
// requested the moment after cannot find the thread without it.
void StartNotifyThread()
{
    ForgetEndedThreads();
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&NotifyThread), &module))
        return;  // no reference, no thread: as if CreateThread had failed
    g_Library.NotifyThreadsInLoop.fetch_add(1);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, NotifyThread, module, 0, &id);
    g_Library.NotifyThreadId.store(id);
    if (thread == nullptr) {
        g_Library.NotifyThreadsInLoop.fetch_sub(1);
        FreeLibrary(module);
        return;
    }
    if (!KeepThreadHandle(thread)) {
        // Only reachable with more live threads than the table holds; such a thread is
        // still woken when threads are ended, but its handle cannot be waited for.
        CloseHandle(thread);
    }
}

namespace {

// Lets another thread run while a stop or the unload waits for a notification thread.
void YieldToOtherThreads()
{
#ifdef _WIN32
    Sleep(0);
#else
    std::this_thread::yield();
#endif
}

// Whether `thread` is the calling thread (which cannot wait for its own end).
bool IsCallingThread(HANDLE thread) { return GetThreadId(thread) == GetCurrentThreadId(); }

}  // namespace

// Ends every notification thread still alive, including those left from earlier runs.
// The run flag is cleared and the ending flag set; then the calling thread signals the
// event once per thread still in its loop, each time waiting until the signal has been
// taken (a thread counted a wake-up) or a thread has left without it, so signals never
// collapse in the auto-reset event. The woken threads make no platform call before they
// count themselves out: unload runs under the loader's lock (DllMain on Windows, dlclose
// on Linux), and a platform call in another thread may need that lock. A signal left over
// is cleared, so that the next run's thread does not start with a pass for nothing.
//
// Afterwards the handles are waited for and closed. Under the loader lock a thread
// cannot finish ending (that needs the lock), so there the library stops at the count:
// every thread has passed its last access to library state and holds its own module
// reference until the system's FreeLibraryAndExitThread drops it. When the process is
// terminating the system has already ended the other threads.
void EndNotifyThreads(bool loaderLockHeld, bool processTerminating)
{
    g_Library.NotifyEnding.store(1);
    g_Library.NotifyRun.store(0);
    HANDLE event = g_Library.NotifyEvent.load();
    if (!processTerminating) {
        for (;;) {
            // Read once per round: the count compared below must be the one tested here.
            const int32_t inLoop = g_Library.NotifyThreadsInLoop.load();
            if (inLoop <= 0)
                break;
            const uint32_t wakeUps = g_Library.NotifyEndWakeUps.load();
            if (event == nullptr || !SetEvent(event)) {
                // No event to signal: no thread waits on one (its wait failed and it ends).
                while (g_Library.NotifyThreadsInLoop.load() == inLoop)
                    YieldToOtherThreads();
                continue;
            }
            while (g_Library.NotifyThreadsInLoop.load() == inLoop &&
                   g_Library.NotifyEndWakeUps.load() == wakeUps)
                YieldToOtherThreads();
        }
        if (event != nullptr)
            ResetEvent(event);
    }
    const bool join = !loaderLockHeld && !processTerminating;
    for (std::atomic<HANDLE> &place : g_Library.NotifyThreads) {
        HANDLE thread = place.exchange(nullptr);
        if (thread == nullptr)
            continue;
        if (join && !IsCallingThread(thread))
            WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    g_Library.NotifyEnding.store(0);
}
