// Message-only windows for the notification tests.
#include "message_window.h"

#include <chrono>
#include <thread>

namespace tavlon_test {

namespace {

const char kClassName[] = "TavlonTestWindow";

void RegisterTestClass()
{
    static const bool registered = [] {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.lpszClassName = kClassName;
        return RegisterClassA(&windowClass) != 0;
    }();
    (void)registered;
}

}  // namespace

MessageWindow::MessageWindow()
{
    RegisterTestClass();
    window_ = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                              nullptr);
}

MessageWindow::~MessageWindow()
{
    if (window_ != nullptr)
        DestroyWindow(window_);
}

std::vector<MSG> MessageWindow::Drain()
{
    std::vector<MSG> messages;
    MSG msg;
    while (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE))
        messages.push_back(msg);
    return messages;
}

namespace {

std::vector<MSG> Collect(HWND window, std::size_t count)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::vector<MSG> messages;
    MSG msg;
    while (messages.size() < count && Clock::now() < deadline) {
        if (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
            messages.push_back(msg);
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return messages;
}

}  // namespace

std::vector<MSG> MessageWindow::WaitFor(std::size_t count) { return Collect(window_, count); }

std::vector<MSG> WaitForQueue(std::size_t count) { return Collect(nullptr, count); }

}  // namespace tavlon_test
