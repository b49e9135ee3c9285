// Window notification: RegisterNotify, the notification thread that turns the driver's
// buffer-full signal into posted window messages, and the bookkeeping that lets unload
// end every such thread before the event and the code go away.
//
// Each accepted StartIntr starts one thread. It waits on the auto-reset event that the
// driver signals once per filled buffer and, at each wake-up, posts the message of every
// active slot; it ends at its first wake-up after the run flag is cleared. A thread left
// waiting by a stop keeps serving if another start sets the flag again, so several
// threads may wait on the event; each signal releases exactly one of them.
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
// wake-up at unload ends the thread without a pass; the thread then only counts itself
// out and returns, with no further platform call (see EndNotifyThreads).
DWORD WINAPI NotifyThread(LPVOID parameter)
{
    (void)parameter;
    HANDLE event = g_Library.NotifyEvent.load();
    if (g_Library.NotifyRun.load() == 0 || g_Library.Unloading.load() != 0) {
        LeaveThread();
        return 0;
    }
    for (;;) {
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0)
            break;
        if (g_Library.Unloading.load() != 0) {
            g_Library.NotifyUnloadWakeUps.fetch_add(1);
            break;
        }
        PostingPass();
        if (g_Library.NotifyRun.load() == 0)
            break;
    }
    LeaveThread();
    return 0;
}

// Starts one notification thread after an accepted StartIntr and keeps its handle.
void StartNotifyThread()
{
    ForgetEndedThreads();
    g_Library.NotifyThreadsInLoop.fetch_add(1);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, NotifyThread, nullptr, 0, &id);
    g_Library.NotifyThreadId.store(id);
    if (thread == nullptr) {
        g_Library.NotifyThreadsInLoop.fetch_sub(1);
        return;
    }
    if (!KeepThreadHandle(thread)) {
        // Only reachable with more live threads than a 32-bit process can hold; such a
        // thread is still woken at unload but its handle cannot be waited for.
        CloseHandle(thread);
    }
}

namespace {

// Lets another thread run while unload waits for a notification thread to react.
void YieldToOtherThreads()
{
#ifdef _WIN32
    Sleep(0);
#else
    std::this_thread::yield();
#endif
}

}  // namespace

// Ends every notification thread still alive, including those left from earlier runs.
// The run flag is cleared and the unload flag set; then the unloading thread itself
// signals the event once per thread still in its loop, each time waiting until the
// signal has been taken (a thread counted a wake-up) or a thread has left without it, so
// signals never collapse in the auto-reset event. The woken threads make no platform
// call of their own: unload runs under the loader's lock (DllMain on Windows, dlclose on
// Linux), and a platform call in another thread may need that lock.
//
// Afterwards the handles are waited for and closed. On Windows under the loader lock a
// thread cannot finish ending (that needs the lock), so there the library stops at the
// count: every thread has passed its last access to library state. When the process is
// terminating the system has already ended the other threads.
void EndNotifyThreads(bool loaderLockHeld, bool processTerminating)
{
    g_Library.Unloading.store(1);
    g_Library.NotifyRun.store(0);
    HANDLE event = g_Library.NotifyEvent.load();
    if (!processTerminating) {
        for (;;) {
            // Read once per round: the count compared below must be the one tested here.
            const int32_t inLoop = g_Library.NotifyThreadsInLoop.load();
            if (inLoop <= 0)
                break;
            const uint32_t wakeUps = g_Library.NotifyUnloadWakeUps.load();
            if (event == nullptr || !SetEvent(event)) {
                // No event to signal: no thread waits on one (its wait failed and it ends).
                while (g_Library.NotifyThreadsInLoop.load() == inLoop)
                    YieldToOtherThreads();
                continue;
            }
            while (g_Library.NotifyThreadsInLoop.load() == inLoop &&
                   g_Library.NotifyUnloadWakeUps.load() == wakeUps)
                YieldToOtherThreads();
        }
    }
#ifdef _WIN32
    if (loaderLockHeld || processTerminating) {
        for (std::atomic<HANDLE> &place : g_Library.NotifyThreads) {
            HANDLE thread = place.exchange(nullptr);
            if (thread != nullptr)
                CloseHandle(thread);
        }
        return;
    }
#else
    (void)loaderLockHeld;
#endif
    for (std::atomic<HANDLE> &place : g_Library.NotifyThreads) {
        HANDLE thread = place.exchange(nullptr);
        if (thread == nullptr)
            continue;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
