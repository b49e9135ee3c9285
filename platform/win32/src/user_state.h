// USER32 state of the Win32 stand-in: window classes, the window handle table and the
// per-thread message queues, all under one lock (as USER serialises itself on Windows).
// Window procedures are always called with the lock released.
#ifndef TQ_WIN32_USER_STATE_H
#define TQ_WIN32_USER_STATE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "win32_internal.h"

namespace tqwin32::user {

using Clock = std::chrono::steady_clock;

// Posted messages one queue holds at most; PostMessageA fails beyond it, as Windows does
// at its default per-queue limit.
inline constexpr std::size_t kPostedMessageLimit = 10000;

struct WindowClass {
    ATOM atom = 0;
    std::string name;
    WNDPROC proc = nullptr;
    UINT style = 0;
    int classExtra = 0;
    int windowExtra = 0;
    HINSTANCE instance = nullptr;
    bool builtin = false;
    int windows = 0;  // windows of this class that exist
};

struct Window {
    HWND handle = nullptr;
    DWORD threadId = 0;  // the creating thread, whose queue receives the window's messages
    std::shared_ptr<WindowClass> windowClass;
    WNDPROC proc = nullptr;
    std::string text;
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;  // parent of a child window, owner of another window
    bool messageOnly = false;
    HINSTANCE instance = nullptr;
    LONG_PTR id = 0;
    LONG_PTR userData = 0;
    std::vector<unsigned char> extra;
    std::vector<HWND> children;
    bool destroying = false;
};

struct Queue;

// A SendMessageA to another thread's window, waiting in the receiver's queue. Lives on
// the sender's stack until `done`.
struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
    std::shared_ptr<Queue> sender;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT elapseMs;
    TIMERPROC proc;
    Clock::time_point due;
};

struct Queue {
    DWORD threadId = 0;
    std::deque<MSG> posted;
    std::deque<SentMessage *> sent;
    std::vector<Timer> timers;
    bool quitPending = false;  // set by PostQuitMessage; WM_QUIT is made when nothing else is posted
    int quitCode = 0;
    UINT changeBits = 0;  // QS_* kinds that arrived since the thread last looked
    DWORD lastMessageTime = 0;
    std::condition_variable wake;
};

struct Slot {
    std::shared_ptr<Window> window;
    WORD generation = 1;
};

struct State {
    std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<WindowClass>> classes;   // by lower-case name
    std::unordered_map<std::string, std::shared_ptr<WindowClass>> builtins;  // "static", "message"
    ATOM nextAtom = 0xC000;
    std::vector<Slot> slots;  // index 0 unused
    std::deque<std::uint32_t> freeSlots;
    std::unordered_map<DWORD, std::shared_ptr<Queue>> queues;
};

State &TheState();
std::string LowerCase(const char *name);

// The following take the lock as held by the caller.
std::shared_ptr<Window> FindWindowLocked(State &s, HWND hwnd);
std::shared_ptr<Queue> QueueOfThreadLocked(State &s, DWORD threadId);
std::shared_ptr<Queue> QueueForThreadLocked(State &s, DWORD threadId);  // creates it if absent
bool IsDescendantLocked(State &s, HWND ancestor, HWND hwnd);
// Removes a window (and its descendants) from the table without any message: handle
// invalidated, posted messages and timers for it dropped.
void RemoveWindowLocked(State &s, const std::shared_ptr<Window> &window);

}  // namespace tqwin32::user

#endif
