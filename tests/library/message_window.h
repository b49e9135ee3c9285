// A message-only window owned by the test thread, the way an application receives the
// library's notifications, and helpers to collect what was posted to it.
#ifndef TQ_TESTS_LIBRARY_MESSAGE_WINDOW_H
#define TQ_TESTS_LIBRARY_MESSAGE_WINDOW_H

#include <windows.h>

#include <cstddef>
#include <vector>

namespace tavlon_test {

class MessageWindow {
public:
    MessageWindow();
    ~MessageWindow();
    MessageWindow(const MessageWindow &) = delete;
    MessageWindow &operator=(const MessageWindow &) = delete;

    HWND Handle() const { return window_; }
    // Removes and returns every message queued for this window now.
    std::vector<MSG> Drain();
    // Collects messages until `count` have arrived (host-time cap, generous: only a
    // broken library or a deadlock reaches it). Returns what arrived.
    std::vector<MSG> WaitFor(std::size_t count);

private:
    HWND window_ = nullptr;
};

// Collects messages of any window of the calling thread, in queue order, until `count`
// have arrived (same cap as MessageWindow::WaitFor).
std::vector<MSG> WaitForQueue(std::size_t count);

}  // namespace tavlon_test

#endif
