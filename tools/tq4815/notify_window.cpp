// Message-only window, ticker thread and interrupt handling.
#include "notify_window.h"

#include <chrono>
#include <csignal>
#include <stdexcept>

namespace tool {

std::atomic<bool> g_interrupted{false};
std::atomic<int> g_signal{0};

namespace {

void OnSignal(int signal)
{
    g_signal.store(signal);
    g_interrupted.store(true);
}

constexpr const char *kWindowClass = "tq4815-notify";

}  // namespace

void InstallInterruptHandler()
{
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
}

NotifyWindow::NotifyWindow()
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);  // a second registration fails harmlessly
    window_ = CreateWindowExA(0, kWindowClass, "tq4815", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!window_)
        throw std::runtime_error("cannot create the notification window");
    HWND target = window_;
    ticker_ = std::thread([this, target] {
        while (tickerRun_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            PostMessageA(target, kTickMessage, 0, 0);
        }
    });
}

NotifyWindow::~NotifyWindow()
{
    tickerRun_.store(false);
    ticker_.join();
    DestroyWindow(window_);
}

void NotifyWindow::Run(const std::function<bool()> &onData, const std::function<bool()> &onTick)
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        bool goOn = true;
        if (message.message == kDataMessage)
            goOn = onData();
        else if (message.message == kTickMessage)
            goOn = onTick();
        else
            DispatchMessageA(&message);
        if (!goOn)
            break;
    }
}

}  // namespace tool
