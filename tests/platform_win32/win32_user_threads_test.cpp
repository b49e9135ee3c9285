// USER32 across threads: a window's messages go to the queue of its creating thread,
// GetMessageA blocks until another thread posts, SendMessageA runs the procedure in the
// owner thread, and a thread's windows and queue go when it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "recording_window.h"

namespace {

// A thread that owns one message-only window and runs a message loop until WM_QUIT.
class WindowThread {
public:
    WindowThread()
    {
        thread_ = std::thread([this] {
            HWND hwnd = CreateMessageWindow();
            threadId_ = GetCurrentThreadId();
            ready_.set_value(hwnd);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            exitCode_ = static_cast<int>(msg.wParam);
            DestroyWindow(hwnd);
        });
        hwnd_ = ready_.get_future().get();
    }
    ~WindowThread()
    {
        if (thread_.joinable()) {
            PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
            thread_.join();
        }
    }
    void Quit(int code)
    {
        ASSERT_TRUE(PostThreadMessageA(threadId_, WM_QUIT, static_cast<WPARAM>(code), 0));
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }
    DWORD threadId() const { return threadId_; }
    int exitCode() const { return exitCode_; }

private:
    std::thread thread_;
    std::promise<HWND> ready_;
    HWND hwnd_ = nullptr;
    DWORD threadId_ = 0;
    int exitCode_ = -1;
};

class UserThreadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DrainQueue();
        TakeReceived();
    }
};

TEST_F(UserThreadsTest, MessagesGoToTheCreatingThreadInPostingOrder)
{
    WindowThread owner;
    ASSERT_NE(owner.hwnd(), nullptr);
    ASSERT_NE(owner.threadId(), GetCurrentThreadId());
    // Two posting threads; each one's messages keep their order in the owner's queue.
    auto poster = [&](WPARAM base) {
        for (WPARAM i = 0; i < 200; ++i)
            ASSERT_TRUE(PostMessageA(owner.hwnd(), WM_USER, base + i, 0));
    };
    std::thread p1(poster, 0), p2(poster, 1000);
    p1.join();
    p2.join();
    // Nothing reached the posting threads' queues.
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    owner.Quit(3);
    EXPECT_EQ(owner.exitCode(), 3);

    auto received = TakeReceived();
    std::vector<WPARAM> first, second;
    for (const auto &r : received) {
        if (r.message != WM_USER)
            continue;
        EXPECT_EQ(r.threadId, owner.threadId());
        (r.wParam < 1000 ? first : second).push_back(r.wParam);
    }
    ASSERT_EQ(first.size(), 200u);
    ASSERT_EQ(second.size(), 200u);
    for (WPARAM i = 0; i < 200; ++i) {
        EXPECT_EQ(first[i], i);
        EXPECT_EQ(second[i], 1000 + i);
    }
}

TEST_F(UserThreadsTest, GetMessageBlocksUntilAnotherThreadPosts)
{
    HWND hwnd = CreateMessageWindow();
    ASSERT_NE(hwnd, nullptr);
    std::atomic<bool> posted{false};
    std::thread poster([&] {
        Sleep(30);  // let the receiver block first (if it is early, the test still holds)
        posted = true;
        PostMessageA(hwnd, WM_APP, 77, 0);
    });
    MSG msg{};
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_TRUE(posted.load());
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP));
    EXPECT_EQ(msg.wParam, 77u);
    poster.join();
    DestroyWindow(hwnd);
}

TEST_F(UserThreadsTest, PostThreadMessageWakesAReceiverBlockedInGetMessage)
{
    std::atomic<DWORD> id{0};
    std::promise<void> queueReady;
    std::thread receiver([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        id = GetCurrentThreadId();
        queueReady.set_value();
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 9));
        EXPECT_EQ(msg.hwnd, nullptr);
    });
    queueReady.get_future().wait();
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 9, 0, 0));
    receiver.join();
}

TEST_F(UserThreadsTest, PostThreadMessageNeedsAThreadWithAQueue)
{
    std::atomic<DWORD> id{0};
    std::promise<void> started;
    std::promise<void> release;
    std::thread plain([&] {
        id = GetCurrentThreadId();  // a Win32 thread id, but no USER32 call yet
        started.set_value();
        release.get_future().wait();
    });
    started.get_future().wait();
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    EXPECT_FALSE(PostThreadMessageA(0x7FFFFFF0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    release.set_value();
    plain.join();
}

TEST_F(UserThreadsTest, SendMessageRunsTheProcedureInTheOwnerThread)
{
    WindowThread owner;
    g_messageResult = 0xBEEF;
    EXPECT_EQ(SendMessageA(owner.hwnd(), WM_USER + 2, 5, 6), 0xBEEF);
    auto received = TakeReceived();
    ASSERT_FALSE(received.empty());
    const auto &last = received.back();
    EXPECT_EQ(last.message, static_cast<UINT>(WM_USER + 2));
    EXPECT_EQ(last.threadId, owner.threadId());
    g_messageResult = 0;
}

TEST_F(UserThreadsTest, OnlyTheOwnerMayDestroyOrDispatchToAWindow)
{
    WindowThread owner;
    EXPECT_FALSE(DestroyWindow(owner.hwnd()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    MSG msg{owner.hwnd(), WM_USER, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    // Its messages are in the owner's queue, never in this thread's.
    ASSERT_TRUE(PostMessageA(owner.hwnd(), WM_USER + 3, 0, 0));
    SetLastError(0);
    EXPECT_FALSE(PeekMessageA(&msg, owner.hwnd(), 0, 0, PM_NOREMOVE));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(IsWindow(owner.hwnd()));
}

TEST_F(UserThreadsTest, WindowsAndQueueEndWithTheirThread)
{
    HWND hwnd = nullptr;
    DWORD id = 0;
    std::thread creator([&] {
        hwnd = CreateMessageWindow();
        id = GetCurrentThreadId();
        PostMessageA(hwnd, WM_USER, 0, 0);  // left in the queue when the thread ends
    });
    creator.join();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST_F(UserThreadsTest, ThreadsSendingToEachOtherDoNotDeadlock)
{
    // A's procedure, handling a message sent by B, sends back to B's window while B is
    // itself waiting in SendMessageA for A.
    static HWND s_windowB = nullptr;
    static std::atomic<int> s_nested{0};
    struct Procs {
        static LRESULT CALLBACK A(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
        {
            if (message == WM_USER)
                return SendMessageA(s_windowB, WM_USER + 1, 0, 0) + 1;
            return DefWindowProcA(hwnd, message, wParam, lParam);
        }
        static LRESULT CALLBACK B(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
        {
            if (message == WM_USER + 1) {
                ++s_nested;
                return 10;
            }
            return DefWindowProcA(hwnd, message, wParam, lParam);
        }
    };
    WNDCLASSA a{};
    a.lpfnWndProc = Procs::A;
    a.lpszClassName = "TqSendA";
    WNDCLASSA b{};
    b.lpfnWndProc = Procs::B;
    b.lpszClassName = "TqSendB";
    RegisterClassA(&a);
    RegisterClassA(&b);

    std::promise<HWND> windowA;
    std::atomic<DWORD> idA{0};
    std::thread threadA([&] {
        HWND hwnd = CreateWindowExA(0, "TqSendA", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        idA = GetCurrentThreadId();
        windowA.set_value(hwnd);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
        DestroyWindow(hwnd);
    });
    HWND hwndA = windowA.get_future().get();
    s_windowB = CreateWindowExA(0, "TqSendB", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(s_windowB, nullptr);
    EXPECT_EQ(SendMessageA(hwndA, WM_USER, 0, 0), 11);
    EXPECT_EQ(s_nested.load(), 1);
    PostThreadMessageA(idA, WM_QUIT, 0, 0);
    threadA.join();
    DestroyWindow(s_windowB);
}

TEST_F(UserThreadsTest, SendToAThreadThatEndsReturnsZero)
{
    std::promise<HWND> created;
    std::promise<void> release;
    std::thread owner([&] {
        created.set_value(CreateMessageWindow());
        release.get_future().wait();  // never looks at its queue
    });
    HWND hwnd = created.get_future().get();
    std::thread ender([&] {
        Sleep(20);
        release.set_value();
    });
    g_messageResult = 99;
    EXPECT_EQ(SendMessageA(hwnd, WM_USER, 0, 0), 0);
    g_messageResult = 0;
    owner.join();
    ender.join();
}

}  // namespace
