// USER32 message queues: posting (PostMessageA, PostThreadMessageA, PostQuitMessage),
// sending (SendMessageA, across threads too), retrieval (GetMessageA, PeekMessageA,
// WaitMessage), TranslateMessage, DispatchMessageA and timers.
//
// Each thread that uses USER32 has one queue, created on its first USER32 call. A
// window's messages go to the queue of the thread that created it. Retrieval looks, in
// this order, at: messages sent from other threads (delivered at once to their window
// procedure), posted messages in posting order, a pending quit (WM_QUIT is made only
// when no posted message matches), and timers that came due.
#include <algorithm>

#include "user_state.h"

namespace tqwin32::user {
namespace {

// HWND filter value that selects only the thread's own messages (hwnd null).
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Messages whose parameters point into the sender's memory cannot be posted.
bool IsSyncOnly(UINT message)
{
    switch (message) {
    case WM_CREATE:
    case WM_NCCREATE:
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETMINMAXINFO:
    case WM_WINDOWPOSCHANGING:
    case WM_WINDOWPOSCHANGED:
    case WM_COPYDATA:
    case WM_NCCALCSIZE:
        return true;
    default:
        return false;
    }
}

bool InRange(UINT message, UINT first, UINT last)
{
    if (message == WM_QUIT || (first == 0 && last == 0))
        return true;  // WM_QUIT is retrieved whatever the range
    return message >= first && message <= last;  // an inverted range selects nothing
}

bool MatchesWindow(State &s, HWND messageWindow, HWND filter)
{
    if (filter == nullptr)
        return true;
    if (filter == kThreadMessagesOnly)
        return messageWindow == nullptr;
    return messageWindow == filter || IsDescendantLocked(s, filter, messageWindow);
}

MSG MakeMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    msg.pt = POINT{0, 0};  // no pointer device
    return msg;
}

BOOL PostLocked(State &s, Queue &queue, const MSG &msg)
{
    if (queue.posted.size() >= kPostedMessageLimit)
        return FailWithError(ERROR_NOT_ENOUGH_QUOTA);
    queue.posted.push_back(msg);
    queue.changeBits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    queue.wake.notify_all();
    (void)s;
    return TRUE;
}

// Runs the window procedures of messages other threads sent to this thread, one at a
// time, with the lock released during each call. Returns whether it ran any.
bool DeliverSentLocked(State &s, Queue &queue, std::unique_lock<std::mutex> &lock)
{
    bool any = false;
    while (!queue.sent.empty()) {
        SentMessage *sent = queue.sent.front();
        queue.sent.pop_front();
        auto window = FindWindowLocked(s, sent->hwnd);
        WNDPROC proc = window ? window->proc : nullptr;
        lock.unlock();
        LRESULT result = proc != nullptr ? proc(sent->hwnd, sent->message, sent->wParam, sent->lParam) : 0;
        lock.lock();
        auto sender = sent->sender;
        sent->result = result;
        sent->done = true;
        sender->wake.notify_all();
        any = true;
    }
    return any;
}

// Earliest due time of the timers that the filter would retrieve.
bool NextTimerDue(State &s, Queue &queue, HWND filter, UINT first, UINT last, Clock::time_point *due)
{
    bool found = false;
    if (!InRange(WM_TIMER, first, last))
        return false;
    for (const Timer &timer : queue.timers) {
        if (!MatchesWindow(s, timer.hwnd, filter))
            continue;
        if (!found || timer.due < *due)
            *due = timer.due;
        found = true;
    }
    return found;
}

// Looks for the next message the filter selects; removes it if asked. `kinds` is the
// QS_* mask of PeekMessageA's PM_QS_* flags (all kinds when 0).
bool TakeLocked(State &s, Queue &queue, std::unique_lock<std::mutex> &lock, HWND filter, UINT first, UINT last,
                UINT kinds, bool remove, MSG *out)
{
    if (kinds == 0)
        kinds = QS_ALLINPUT;
    if (kinds & QS_SENDMESSAGE)
        DeliverSentLocked(s, queue, lock);
    queue.changeBits = 0;
    if (kinds & QS_POSTMESSAGE) {
        for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
            if (MatchesWindow(s, it->hwnd, filter) && InRange(it->message, first, last)) {
                *out = *it;
                if (remove)
                    queue.posted.erase(it);
                return true;
            }
        }
        if (queue.quitPending) {
            *out = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0);
            if (remove)
                queue.quitPending = false;
            return true;
        }
    }
    if (kinds & QS_TIMER) {
        Clock::time_point due;
        const auto now = Clock::now();
        if (NextTimerDue(s, queue, filter, first, last, &due) && due <= now) {
            for (Timer &timer : queue.timers) {
                if (timer.due == due && MatchesWindow(s, timer.hwnd, filter)) {
                    *out = MakeMessage(timer.hwnd, WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.proc));
                    if (remove)
                        timer.due = now + std::chrono::milliseconds(timer.elapseMs);
                    return true;
                }
            }
        }
    }
    return false;
}

// Checks an HWND filter of GetMessageA/PeekMessageA: null, -1 or an existing window. A
// window of another thread is accepted and simply never matches: its messages are in
// its own thread's queue (GetMessageA then waits, as on Windows).
bool FilterValidLocked(State &s, HWND filter)
{
    if (filter == nullptr || filter == kThreadMessagesOnly)
        return true;
    return FindWindowLocked(s, filter) != nullptr;
}

LRESULT SendLocked(State &s, std::unique_lock<std::mutex> &lock, const std::shared_ptr<Window> &window,
                   UINT message, WPARAM wParam, LPARAM lParam, DWORD threadId)
{
    if (window->threadId == threadId) {
        WNDPROC proc = window->proc;
        HWND hwnd = window->handle;
        lock.unlock();
        LRESULT result = proc != nullptr ? proc(hwnd, message, wParam, lParam) : 0;
        lock.lock();
        return result;
    }
    auto target = QueueOfThreadLocked(s, window->threadId);
    if (!target)
        return 0;
    auto self = QueueForThreadLocked(s, threadId);
    SentMessage sent{window->handle, message, wParam, lParam, 0, false, self};
    target->sent.push_back(&sent);
    target->changeBits |= QS_SENDMESSAGE;
    target->wake.notify_all();
    // While waiting for the reply, this thread answers messages sent to it, so two
    // threads sending to each other do not deadlock.
    while (!sent.done) {
        if (!DeliverSentLocked(s, *self, lock) && !sent.done)
            self->wake.wait(lock);
    }
    return sent.result;
}

}  // namespace
}  // namespace tqwin32::user

using namespace tqwin32;
using namespace tqwin32::user;

extern "C" BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto queue = QueueOfThreadLocked(s, idThread);
    if (!queue)
        return FailWithError(ERROR_INVALID_THREAD_ID);  // no such thread, or it has no queue
    if (IsSyncOnly(Msg))
        return FailWithError(ERROR_MESSAGE_SYNC_ONLY);
    return PostLocked(s, *queue, MakeMessage(nullptr, Msg, wParam, lParam));
}

extern "C" BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    if (IsSyncOnly(Msg))
        return FailWithError(ERROR_MESSAGE_SYNC_ONLY);
    if (hWnd == nullptr) {
        // As PostThreadMessageA to the calling thread.
        return PostLocked(s, *QueueForThreadLocked(s, threadId), MakeMessage(nullptr, Msg, wParam, lParam));
    }
    if (hWnd == HWND_BROADCAST) {
        // Every top-level window; message-only windows are not reached by broadcasts.
        for (std::size_t i = 1; i < s.slots.size(); ++i) {
            auto window = s.slots[i].window;
            if (!window || window->messageOnly || (window->style & WS_CHILD))
                continue;
            if (auto queue = QueueOfThreadLocked(s, window->threadId))
                PostLocked(s, *queue, MakeMessage(window->handle, Msg, wParam, lParam));
        }
        return TRUE;
    }
    auto window = FindWindowLocked(s, hWnd);
    if (!window)
        return FailWithError(ERROR_INVALID_WINDOW_HANDLE);
    auto queue = QueueOfThreadLocked(s, window->threadId);
    if (!queue)
        return FailWithError(ERROR_INVALID_WINDOW_HANDLE);
    return PostLocked(s, *queue, MakeMessage(hWnd, Msg, wParam, lParam));
}

extern "C" LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    if (hWnd == HWND_BROADCAST) {
        std::vector<std::shared_ptr<Window>> targets;
        for (std::size_t i = 1; i < s.slots.size(); ++i) {
            auto window = s.slots[i].window;
            if (window && !window->messageOnly && !(window->style & WS_CHILD))
                targets.push_back(window);
        }
        for (const auto &window : targets)
            SendLocked(s, lock, window, Msg, wParam, lParam, threadId);
        return TRUE;
    }
    auto window = FindWindowLocked(s, hWnd);
    if (!window) {
        FailWithError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return SendLocked(s, lock, window, Msg, wParam, lParam, threadId);
}

extern "C" void WINAPI PostQuitMessage(int nExitCode)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto queue = QueueForThreadLocked(s, threadId);
    queue->quitPending = true;
    queue->quitCode = nExitCode;
    queue->changeBits |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    queue->wake.notify_all();
}

extern "C" BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    const DWORD threadId = CurrentThreadId();
    if (lpMsg == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    auto queue = QueueForThreadLocked(s, threadId);
    for (;;) {
        // Checked on every pass: a filter window destroyed while waiting ends the wait.
        if (!FilterValidLocked(s, hWnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        if (TakeLocked(s, *queue, lock, hWnd, wMsgFilterMin, wMsgFilterMax, 0, true, lpMsg))
            break;
        Clock::time_point due;
        if (NextTimerDue(s, *queue, hWnd, wMsgFilterMin, wMsgFilterMax, &due))
            queue->wake.wait_until(lock, due);
        else
            queue->wake.wait(lock);
    }
    queue->lastMessageTime = lpMsg->time;
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

extern "C" BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg)
{
    const DWORD threadId = CurrentThreadId();
    if (lpMsg == nullptr)
        return FailWithError(ERROR_NOACCESS);
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    auto queue = QueueForThreadLocked(s, threadId);
    if (!FilterValidLocked(s, hWnd))
        return FailWithError(ERROR_INVALID_WINDOW_HANDLE);
    const UINT kinds = HIWORD(wRemoveMsg);
    if (!TakeLocked(s, *queue, lock, hWnd, wMsgFilterMin, wMsgFilterMax, kinds, (wRemoveMsg & PM_REMOVE) != 0, lpMsg))
        return FALSE;
    queue->lastMessageTime = lpMsg->time;
    return TRUE;
}

extern "C" BOOL WINAPI WaitMessage(void)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    auto queue = QueueForThreadLocked(s, threadId);
    // Returns once something new arrived since the thread last looked at its queue.
    for (;;) {
        DeliverSentLocked(s, *queue, lock);
        if (queue->changeBits & (QS_POSTMESSAGE | QS_TIMER))
            return TRUE;
        Clock::time_point due;
        if (NextTimerDue(s, *queue, nullptr, 0, 0, &due)) {
            if (due <= Clock::now())
                return TRUE;
            queue->wake.wait_until(lock, due);
        } else {
            queue->wake.wait(lock);
        }
    }
}

extern "C" BOOL WINAPI TranslateMessage(const MSG *lpMsg)
{
    if (lpMsg == nullptr)
        return FALSE;
    const UINT message = lpMsg->message;
    if (message != WM_KEYDOWN && message != WM_KEYUP && message != WM_SYSKEYDOWN && message != WM_SYSKEYUP)
        return FALSE;
    if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
        // A keyboard without shift state: letters come out lower-case.
        const WPARAM key = lpMsg->wParam;
        int ch = -1;
        if (key >= 'A' && key <= 'Z')
            ch = static_cast<int>(key - 'A' + 'a');
        else if ((key >= '0' && key <= '9') || key == VK_SPACE || key == VK_RETURN || key == VK_BACK ||
                 key == VK_TAB || key == VK_ESCAPE)
            ch = static_cast<int>(key);
        if (ch >= 0) {
            const UINT charMessage = message == WM_KEYDOWN ? WM_CHAR : WM_SYSCHAR;
            if (lpMsg->hwnd != nullptr)
                PostMessageA(lpMsg->hwnd, charMessage, static_cast<WPARAM>(ch), lpMsg->lParam);
            else
                PostThreadMessageA(GetCurrentThreadId(), charMessage, static_cast<WPARAM>(ch), lpMsg->lParam);
        }
    }
    return TRUE;  // every key message counts as translated
}

extern "C" LRESULT WINAPI DispatchMessageA(const MSG *lpMsg)
{
    const DWORD threadId = CurrentThreadId();
    if (lpMsg == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return 0;
    }
    State &s = TheState();
    std::unique_lock lock(s.mutex);
    if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
        // A timer with a callback: the callback runs instead of the window procedure, if
        // the timer is one of this thread's (a forged lParam calls nothing).
        auto queue = QueueForThreadLocked(s, threadId);
        const auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        const bool known = std::any_of(queue->timers.begin(), queue->timers.end(), [&](const Timer &t) {
            return t.hwnd == lpMsg->hwnd && t.id == lpMsg->wParam && t.proc == proc;
        });
        lock.unlock();
        if (known)
            proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
        return 0;
    }
    if (lpMsg->hwnd == nullptr)
        return 0;  // thread messages have no window procedure
    auto window = FindWindowLocked(s, lpMsg->hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->threadId != threadId) {
        // Its procedure runs only in its own thread; the message would have to be sent.
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return 0;
    }
    WNDPROC proc = window->proc;
    lock.unlock();
    return proc != nullptr ? proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

extern "C" LONG WINAPI GetMessageTime(void)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return static_cast<LONG>(QueueForThreadLocked(s, threadId)->lastMessageTime);
}

extern "C" DWORD WINAPI GetMessagePos(void)
{
    return 0;  // every message's pt is (0, 0): there is no pointer
}

extern "C" DWORD WINAPI GetQueueStatus(UINT flags)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto queue = QueueForThreadLocked(s, threadId);
    UINT present = 0;
    if (!queue->posted.empty() || queue->quitPending)
        present |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    if (!queue->sent.empty())
        present |= QS_SENDMESSAGE;
    Clock::time_point due;
    if (NextTimerDue(s, *queue, nullptr, 0, 0, &due) && due <= Clock::now())
        present |= QS_TIMER;
    const UINT changed = queue->changeBits & flags;
    queue->changeBits &= ~flags;
    return MAKELONG(changed, present & flags);
}

extern "C" UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc)
{
    const DWORD threadId = CurrentThreadId();
    // Windows' limits: at least 10 ms, at most 0x7FFFFFFF ms.
    const UINT elapse = std::clamp<UINT>(uElapse, 10u, 0x7FFFFFFFu);
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    std::shared_ptr<Queue> queue;
    if (hWnd != nullptr) {
        auto window = FindWindowLocked(s, hWnd);
        if (!window) {
            FailWithError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        queue = QueueForThreadLocked(s, window->threadId);
    } else {
        queue = QueueForThreadLocked(s, threadId);
    }
    auto existing = std::find_if(queue->timers.begin(), queue->timers.end(),
                                 [&](const Timer &t) { return t.hwnd == hWnd && t.id == nIDEvent; });
    UINT_PTR id = nIDEvent;
    if (existing == queue->timers.end() && hWnd == nullptr) {
        // A thread timer gets an id of its own unless it replaces one of the thread's timers.
        id = 0x7FF0;
        while (std::any_of(queue->timers.begin(), queue->timers.end(),
                           [&](const Timer &t) { return t.hwnd == nullptr && t.id == id; }))
            ++id;
    }
    const Timer timer{hWnd, id, elapse, lpTimerFunc, Clock::now() + std::chrono::milliseconds(elapse)};
    if (existing != queue->timers.end())
        *existing = timer;
    else
        queue->timers.push_back(timer);
    queue->wake.notify_all();
    return id != 0 ? id : 1;
}

extern "C" BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    DWORD owner = threadId;
    if (hWnd != nullptr) {
        auto window = FindWindowLocked(s, hWnd);
        if (!window)
            return FailWithError(ERROR_INVALID_WINDOW_HANDLE);
        owner = window->threadId;
    }
    auto queue = QueueOfThreadLocked(s, owner);
    if (!queue)
        return FailWithError(ERROR_INVALID_PARAMETER);
    auto it = std::find_if(queue->timers.begin(), queue->timers.end(),
                           [&](const Timer &t) { return t.hwnd == hWnd && t.id == uIDEvent; });
    if (it == queue->timers.end())
        return FailWithError(ERROR_INVALID_PARAMETER);
    queue->timers.erase(it);
    return TRUE;
}
