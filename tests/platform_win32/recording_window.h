// A window class for tests whose procedure records every message it receives, with the
// thread it ran on, so tests can check what reached a window procedure and in which order.
#ifndef TQ_TESTS_RECORDING_WINDOW_H
#define TQ_TESTS_RECORDING_WINDOW_H

#include <windows.h>

#include <mutex>
#include <vector>

struct ReceivedMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
    LPVOID createParams;  // lpCreateParams for WM_NCCREATE / WM_CREATE
};

// Everything the recording procedure saw, across all windows of the class.
inline std::mutex g_receivedMutex;
inline std::vector<ReceivedMessage> g_received;
// What WM_CREATE returns (-1 refuses creation) and what other messages return.
inline LRESULT g_createResult = 0;
inline LRESULT g_messageResult = 0;

inline LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LPVOID params = nullptr;
    if (message == WM_NCCREATE || message == WM_CREATE)
        params = reinterpret_cast<const CREATESTRUCTA *>(lParam)->lpCreateParams;
    {
        std::lock_guard lock(g_receivedMutex);
        g_received.push_back({hwnd, message, wParam, lParam, GetCurrentThreadId(), params});
    }
    if (message == WM_CREATE)
        return g_createResult;
    if (message == WM_NCCREATE || message == WM_DESTROY || message == WM_NCDESTROY)
        return DefWindowProcA(hwnd, message, wParam, lParam);
    return g_messageResult;
}

inline const char *RecordingClass()
{
    static const char *name = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.cbWndExtra = 16;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "TqRecordingWindow";
        RegisterClassA(&wc);
        return "TqRecordingWindow";
    }();
    return name;
}

inline HWND CreateMessageWindow(LPVOID params = nullptr)
{
    return CreateWindowExA(0, RecordingClass(), "recorder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), params);
}

inline std::vector<ReceivedMessage> TakeReceived()
{
    std::lock_guard lock(g_receivedMutex);
    std::vector<ReceivedMessage> all;
    all.swap(g_received);
    return all;
}

inline std::vector<UINT> MessagesOf(const std::vector<ReceivedMessage> &received)
{
    std::vector<UINT> out;
    for (const auto &r : received)
        out.push_back(r.message);
    return out;
}

// Removes whatever the calling thread's queue holds.
inline void DrainQueue()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

#endif
