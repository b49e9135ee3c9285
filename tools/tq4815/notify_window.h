// The tool's message-only window and message loop: the library posts one message per
// filled buffer (through RegisterNotify); a ticker thread posts a tick about every
// quarter second so the loop can refresh its status line and notice Ctrl-C.
#ifndef TQ4815_TOOL_NOTIFY_WINDOW_H
#define TQ4815_TOOL_NOTIFY_WINDOW_H

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

namespace tool {

inline constexpr UINT kDataMessage = WM_APP + 1;
inline constexpr UINT kTickMessage = WM_APP + 2;

// Set by SIGINT/SIGTERM (g_signal: which); the loop finishes the acquisition cleanly when
// it sees it. SIGPIPE is ignored, so that a closed pipe shows as EPIPE on the write.
extern std::atomic<bool> g_interrupted;
extern std::atomic<int> g_signal;
void InstallInterruptHandler();

class NotifyWindow {
public:
    NotifyWindow();  // throws std::runtime_error when the window cannot be created
    ~NotifyWindow();
    NotifyWindow(const NotifyWindow &) = delete;
    NotifyWindow &operator=(const NotifyWindow &) = delete;

    HWND Handle() const { return window_; }
    // Runs the message loop: onData for each data message, onTick for each tick; either
    // returns false to end the loop.
    void Run(const std::function<bool()> &onData, const std::function<bool()> &onTick);

private:
    HWND window_ = nullptr;
    std::atomic<bool> tickerRun_{true};
    std::thread ticker_;
};

}  // namespace tool

#endif
