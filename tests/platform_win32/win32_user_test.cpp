// USER32 behaviour on one thread: window creation and destruction messages, classes,
// posting order and MSG fields, PeekMessageA flags and filters, WM_QUIT, dispatch, the
// posted-message limit, window longs and timers.
#include <gtest/gtest.h>

#include <string>

#include "recording_window.h"

namespace {

class UserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DrainQueue();
        TakeReceived();
        g_createResult = 0;
        g_messageResult = 0;
    }
    void TearDown() override
    {
        for (HWND hwnd : windows_) {
            if (IsWindow(hwnd))
                DestroyWindow(hwnd);
        }
        DrainQueue();
    }
    HWND NewWindow(LPVOID params = nullptr)
    {
        HWND hwnd = CreateMessageWindow(params);
        EXPECT_NE(hwnd, nullptr) << "CreateWindowExA failed with " << GetLastError();
        windows_.push_back(hwnd);
        return hwnd;
    }
    std::vector<HWND> windows_;
};

TEST_F(UserTest, CreationAndDestructionSendTheirMessagesInOrder)
{
    int params = 0;
    HWND hwnd = NewWindow(&params);
    ASSERT_TRUE(IsWindow(hwnd));
    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    auto received = TakeReceived();
    EXPECT_EQ(MessagesOf(received), (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
    for (const auto &r : received) {
        EXPECT_EQ(r.hwnd, hwnd);
        EXPECT_EQ(r.threadId, GetCurrentThreadId());  // sent, not posted: run in the caller
    }
    EXPECT_EQ(received[0].createParams, &params);
    EXPECT_EQ(received[1].createParams, &params);
}

TEST_F(UserTest, CreateReturningMinusOneRefusesTheWindow)
{
    g_createResult = -1;
    HWND hwnd = CreateMessageWindow();
    EXPECT_EQ(hwnd, nullptr);
    auto received = TakeReceived();
    // Never fully created, so never destroyed: no WM_DESTROY.
    EXPECT_EQ(MessagesOf(received), (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_NCDESTROY}));
    ASSERT_FALSE(received.empty());
    EXPECT_FALSE(IsWindow(received[0].hwnd));
}

TEST_F(UserTest, ClassRegistrationRules)
{
    const char *name = RecordingClass();
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = "TQRECORDINGWINDOW";  // class names ignore case
    EXPECT_EQ(RegisterClassA(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    WNDCLASSEXA wcx{};
    wcx.cbSize = sizeof wcx - 1;
    wcx.lpfnWndProc = RecordingProc;
    wcx.lpszClassName = "TqOtherClass";
    EXPECT_EQ(RegisterClassExA(&wcx), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    wcx.cbSize = sizeof wcx;
    const ATOM atom = RegisterClassExA(&wcx);
    ASSERT_NE(atom, 0);

    // A class can be named by its atom; it cannot go while it has windows.
    HWND hwnd = CreateWindowExA(0, MAKEINTATOM(atom), nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(UnregisterClassA("TqOtherClass", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    DestroyWindow(hwnd);
    EXPECT_TRUE(UnregisterClassA("TqOtherClass", nullptr));
    EXPECT_FALSE(UnregisterClassA("TqOtherClass", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));

    EXPECT_EQ(CreateWindowExA(0, "TqNoSuchClass", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    (void)name;
}

TEST_F(UserTest, BuiltInClassesMakeMessageOnlyWindows)
{
    for (const char *cls : {"STATIC", "Message", "static"}) {
        SCOPED_TRACE(cls);
        HWND hwnd = CreateWindowExA(0, cls, "x", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 1, 2, 3));
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
        EXPECT_EQ(DispatchMessageA(&msg), 0);  // DefWindowProcA
        char text[8] = {};
        EXPECT_EQ(SendMessageA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)), 1);
        EXPECT_STREQ(text, "x");
        EXPECT_TRUE(DestroyWindow(hwnd));
    }
}

TEST_F(UserTest, PostedMessagesKeepPostingOrderAcrossWindowsAndThreadMessages)
{
    HWND a = NewWindow();
    HWND b = NewWindow();
    const DWORD before = GetTickCount();
    struct Post {
        HWND hwnd;
        UINT message;
    } posts[] = {{a, WM_USER}, {b, WM_USER + 1}, {nullptr, WM_APP}, {a, WM_APP + 7}, {b, WM_USER}};
    WPARAM serial = 100;
    for (const Post &p : posts) {
        if (p.hwnd != nullptr)
            ASSERT_TRUE(PostMessageA(p.hwnd, p.message, serial, -static_cast<LPARAM>(serial)));
        else
            ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), p.message, serial, -static_cast<LPARAM>(serial)));
        ++serial;
    }
    const DWORD after = GetTickCount();
    serial = 100;
    for (const Post &p : posts) {
        MSG msg{};
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.hwnd, p.hwnd);
        EXPECT_EQ(msg.message, p.message);
        EXPECT_EQ(msg.wParam, serial);
        EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(serial));
        EXPECT_GE(msg.time - before, 0u);
        EXPECT_LE(msg.time - before, after - before);
        EXPECT_EQ(msg.pt.x, 0);
        EXPECT_EQ(msg.pt.y, 0);
        ++serial;
    }
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, PostToUnknownOrDestroyedWindowFails)
{
    HWND destroyed = NewWindow();
    ASSERT_TRUE(DestroyWindow(destroyed));
    HWND never = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FFE1234));
    for (HWND hwnd : {destroyed, never, HWND_MESSAGE}) {
        SetLastError(0);
        EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        EXPECT_EQ(SendMessageA(hwnd, WM_USER, 0, 0), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        EXPECT_FALSE(DestroyWindow(hwnd));
    }
    // A new window must not inherit a destroyed window's handle value.
    HWND fresh = NewWindow();
    EXPECT_NE(fresh, destroyed);
    EXPECT_FALSE(PostMessageA(destroyed, WM_USER, 0, 0));
}

TEST_F(UserTest, DestroyWindowDropsOnlyItsOwnPendingMessages)
{
    HWND a = NewWindow();
    HWND b = NewWindow();
    ASSERT_TRUE(PostMessageA(a, WM_USER, 1, 0));
    ASSERT_TRUE(PostMessageA(b, WM_USER, 2, 0));
    ASSERT_TRUE(PostMessageA(a, WM_USER, 3, 0));
    ASSERT_TRUE(DestroyWindow(a));
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, b);
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, PeekMessageRemovesOnlyWithPmRemove)
{
    HWND hwnd = NewWindow();
    MSG msg{};
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 1, 0));
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 2, 0));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.wParam, 1u);
    }
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD));
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, FiltersSelectByWindowAndMessageRange)
{
    HWND a = NewWindow();
    HWND b = NewWindow();
    ASSERT_TRUE(PostMessageA(a, WM_USER + 5, 0, 0));
    ASSERT_TRUE(PostMessageA(b, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP, 0, 0));
    const HWND threadOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
    struct Case {
        const char *what;
        HWND filter;
        UINT first, last;
        HWND expectHwnd;
        UINT expectMessage;
    } cases[] = {
        {"window b only", b, 0, 0, b, WM_USER + 1},
        {"range picks a later message", nullptr, WM_USER + 2, WM_USER + 9, a, WM_USER + 5},
        {"thread messages only", threadOnly, 0, 0, nullptr, WM_APP},
        {"window and range", a, WM_USER, WM_USER + 5, a, WM_USER + 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, c.filter, c.first, c.last, PM_NOREMOVE));
        EXPECT_EQ(msg.hwnd, c.expectHwnd);
        EXPECT_EQ(msg.message, c.expectMessage);
    }
    MSG msg{};
    EXPECT_FALSE(PeekMessageA(&msg, a, WM_USER, WM_USER + 4, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 9, WM_USER, PM_REMOVE));  // inverted: nothing
    // A filter window that does not exist is an error, not an empty queue.
    HWND gone = NewWindow();
    DestroyWindow(gone);
    EXPECT_FALSE(PeekMessageA(&msg, gone, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetMessageA(&msg, gone, 0, 0), -1);
    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
}

TEST_F(UserTest, QuitComesAfterEveryPostedMessageAndEndsTheLoop)
{
    HWND hwnd = NewWindow();
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 1, 0));
    PostQuitMessage(42);
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 2, 0));  // posted after the quit, still delivered first
    MSG msg{};
    // PM_NOREMOVE does not consume the quit.
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    std::vector<WPARAM> seen;
    BOOL result;
    while ((result = GetMessageA(&msg, nullptr, WM_USER, WM_USER)) > 0)  // the range does not hide WM_QUIT
        seen.push_back(msg.wParam);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, 42u);
    EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2}));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // one quit, one WM_QUIT
}

TEST_F(UserTest, DispatchCallsTheWindowProcedureWithTheMessage)
{
    HWND hwnd = NewWindow();
    TakeReceived();
    g_messageResult = 0x1234;
    ASSERT_TRUE(PostMessageA(hwnd, WM_APP + 3, 7, 9));
    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_FALSE(TranslateMessage(&msg));  // not a key message
    EXPECT_EQ(DispatchMessageA(&msg), 0x1234);
    auto received = TakeReceived();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].hwnd, hwnd);
    EXPECT_EQ(received[0].message, static_cast<UINT>(WM_APP + 3));
    EXPECT_EQ(received[0].wParam, 7u);
    EXPECT_EQ(received[0].lParam, 9);
    // Thread messages have no procedure to go to.
    MSG threadMsg{nullptr, WM_APP, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageA(&threadMsg), 0);
    EXPECT_TRUE(TakeReceived().empty());
}

TEST_F(UserTest, TranslateMessageTurnsKeyDownIntoCharacters)
{
    HWND hwnd = NewWindow();
    MSG key{hwnd, WM_KEYDOWN, 'Q', 1, 0, {0, 0}};
    EXPECT_TRUE(TranslateMessage(&key));
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_CHAR));
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>('q'));
    MSG up{hwnd, WM_KEYUP, 'Q', 1, 0, {0, 0}};
    EXPECT_TRUE(TranslateMessage(&up));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, PostedMessageLimitRefusesTheExtraMessage)
{
    HWND hwnd = NewWindow();
    int posted = 0;
    while (PostMessageA(hwnd, WM_USER, static_cast<WPARAM>(posted), 0))
        ++posted;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    EXPECT_EQ(posted, 10000);
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));  // room again
    DrainQueue();
}

TEST_F(UserTest, MessagesCarryingPointersCannotBePosted)
{
    HWND hwnd = NewWindow();
    for (UINT message : {WM_SETTEXT, WM_GETTEXT, WM_COPYDATA, WM_CREATE}) {
        EXPECT_FALSE(PostMessageA(hwnd, message, 0, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    }
}

TEST_F(UserTest, WindowLongsHoldValuesWithinTheirBounds)
{
    HWND hwnd = NewWindow();
    EXPECT_EQ(SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0x5555), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_USERDATA), 0x5555);
    // cbWndExtra is 16: a value fits at every offset up to 16 minus its width.
    const int lastPtr = 16 - static_cast<int>(sizeof(LONG_PTR));
    EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, -7), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), -7);
    EXPECT_EQ(SetWindowLongPtrA(hwnd, lastPtr, 9), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, lastPtr), 9);
    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, lastPtr + 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(SetWindowLongA(hwnd, 12, 5), sizeof(LONG_PTR) == 8 ? 0 : 9);
    EXPECT_EQ(GetWindowLongA(hwnd, 12), 5);
    SetLastError(0);
    EXPECT_EQ(GetWindowLongA(hwnd, 13), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_WNDPROC)), RecordingProc);
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());
}

TEST_F(UserTest, TimersArriveAsLowPriorityMessages)
{
    HWND hwnd = NewWindow();
    ASSERT_EQ(SetTimer(hwnd, 5, 10, nullptr), 5u);
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));
    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER));
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));  // blocks until the timer is due
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.hwnd, hwnd);
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_TRUE(KillTimer(hwnd, 5));
    EXPECT_FALSE(KillTimer(hwnd, 5));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, DestroyingAParentTakesItsChildrenWithIt)
{
    HWND top = NewWindow();
    HWND child = CreateWindowExA(0, RecordingClass(), "child", WS_CHILD, 0, 0, 10, 10, top,
                                 reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(42)), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetParent(child), top);
    EXPECT_EQ(GetWindowLongPtrA(child, GWLP_ID), 42);
    EXPECT_EQ(GetParent(top), nullptr);  // a message-only window has no parent to report
    EXPECT_EQ(CreateWindowExA(0, RecordingClass(), nullptr, WS_CHILD, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));

    // A child's messages are its parent's too for the window filter.
    ASSERT_TRUE(PostMessageA(child, WM_USER, 0, 0));
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, top, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, child);

    TakeReceived();
    ASSERT_TRUE(DestroyWindow(top));
    EXPECT_FALSE(IsWindow(child));
    std::vector<std::pair<HWND, UINT>> order;
    for (const auto &r : TakeReceived())
        order.emplace_back(r.hwnd, r.message);
    EXPECT_EQ(order, (std::vector<std::pair<HWND, UINT>>{
                         {top, WM_DESTROY}, {child, WM_DESTROY}, {child, WM_NCDESTROY}, {top, WM_NCDESTROY}}));
}

TEST_F(UserTest, BroadcastReachesTopLevelWindowsButNotMessageOnlyOnes)
{
    HWND messageOnly = NewWindow();
    HWND top = CreateWindowExA(0, RecordingClass(), "top", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(top, nullptr);
    windows_.push_back(top);
    ASSERT_TRUE(PostMessageA(HWND_BROADCAST, WM_APP + 1, 0, 0));
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, top);
    EXPECT_FALSE(PeekMessageA(&msg, messageOnly, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, QueueStatusReportsWhatArrivedSinceTheLastLook)
{
    HWND hwnd = NewWindow();
    EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), 0u);
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));
    EXPECT_TRUE(WaitMessage());  // returns at once: a message arrived since the thread last looked
    DWORD status = GetQueueStatus(QS_POSTMESSAGE);
    EXPECT_EQ(HIWORD(status), QS_POSTMESSAGE);  // present
    EXPECT_EQ(LOWORD(status), QS_POSTMESSAGE);  // and new
    status = GetQueueStatus(QS_POSTMESSAGE);
    EXPECT_EQ(HIWORD(status), QS_POSTMESSAGE);
    EXPECT_EQ(LOWORD(status), 0u);  // no longer new
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetMessageTime(), static_cast<LONG>(msg.time));
    EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), 0u);
}

TEST(Win32Modules, ModuleHandles)
{
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    EXPECT_EQ(GetModuleHandleA("TqNoSuchModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(GetModuleHandleA("tqwin32.dll"), nullptr);  // libtqwin32.so under its Windows-style name
}

int g_timerCalls = 0;
void CALLBACK CountingTimerProc(HWND, UINT message, UINT_PTR, DWORD)
{
    if (message == WM_TIMER)
        ++g_timerCalls;
}

TEST_F(UserTest, TimerCallbackRunsFromDispatchInsteadOfTheWindowProcedure)
{
    g_timerCalls = 0;
    const UINT_PTR id = SetTimer(nullptr, 0, 10, CountingTimerProc);
    ASSERT_NE(id, 0u);
    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    ASSERT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.wParam, id);
    DispatchMessageA(&msg);
    EXPECT_EQ(g_timerCalls, 1);
    KillTimer(nullptr, id);
    // A WM_TIMER whose lParam names no live timer calls nothing.
    DispatchMessageA(&msg);
    EXPECT_EQ(g_timerCalls, 1);
}

}  // namespace
