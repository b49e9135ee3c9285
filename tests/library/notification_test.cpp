// Window notification through the whole stack: the driver's buffer-full signal wakes the
// library's notification thread, which posts to message-only windows of the test thread.
// Counts are taken after the library's detach has ended its threads, so no pass can
// still be on its way when the queue is counted.
#include "library_fixture.h"
#include "message_window.h"

#include <vector>

namespace tavlon_test {
namespace {

using NotificationTest = LibraryFixture;

const char kCountSignals[] = "ch0=count;ch1=count;ch2=count;ch3=count";
constexpr UINT kMsgA = WM_APP + 1;
constexpr UINT kMsgB = WM_APP + 2;
constexpr UINT kMsgC = WM_APP + 3;

// Starts a 4-channel ring whose buffers fill every 40 conversions.
int32_t StartRing(TavlonModule &lib) { return lib.StartIntr(8, 10, 0, 4, 10000, 0, 0); }

TEST_F(NotificationTest, RegisterNotifyAcceptsSlotsZeroToThreeAndRefusesFourWith13)
{
    ASSERT_TRUE(BootAndLoad());
    MessageWindow window;
    for (uint32_t index = 0; index < 4; ++index) {
        EXPECT_EQ(lib.RegisterNotify(index, window.Handle(), kMsgA, 1, 2), 1);
        EXPECT_EQ(lib.GetLastADError(), 0);
    }
    for (uint32_t index : {4u, 5u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(lib.RegisterNotify(index, window.Handle(), kMsgA, 1, 2), 0);
        EXPECT_EQ(lib.GetLastADError(), 13);
    }
}

// Each wake-up posts one message per active slot, in slot order, with the slot's
// parameters; slots with a null window or message 0 post nothing.
TEST_F(NotificationTest, EachWakeUpPostsOneMessagePerActiveSlotInSlotOrder)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow first, second;
    ASSERT_EQ(lib.RegisterNotify(3, second.Handle(), kMsgC, 31, 32), 1);
    ASSERT_EQ(lib.RegisterNotify(0, first.Handle(), kMsgA, 0xFFFFFFFFu, 2), 1);
    ASSERT_EQ(lib.RegisterNotify(1, first.Handle(), 0, 11, 12), 1);       // message 0
    ASSERT_EQ(lib.RegisterNotify(2, nullptr, kMsgB, 21, 22), 1);          // no window
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(StartRing(lib), 82);
    const int wakeUps = 3;
    std::vector<MSG> seen;
    for (int i = 1; i <= wakeUps; ++i) {
        ASSERT_TRUE(AdvanceUntilUnread(i));
        // Both messages of this pass, from the thread's one queue, in posting order.
        std::vector<MSG> pass = WaitForQueue(2);
        ASSERT_EQ(pass.size(), 2u);
        ASSERT_EQ(pass[0].hwnd, first.Handle());
        EXPECT_EQ(pass[0].message, kMsgA);
        EXPECT_EQ(static_cast<uint32_t>(pass[0].wParam), 0xFFFFFFFFu);
        EXPECT_EQ(pass[0].lParam, 2);
        ASSERT_EQ(pass[1].hwnd, second.Handle());
        EXPECT_EQ(pass[1].message, kMsgC);
        EXPECT_EQ(pass[1].wParam, 31u);
        EXPECT_EQ(pass[1].lParam, 32);
    }
    ASSERT_EQ(lib.StopIntr(), 1);
    lib.ProcessDetach();
    EXPECT_TRUE(first.Drain().empty());
    EXPECT_TRUE(second.Drain().empty());
}

// With no active slot (a window without message, a message without window) the thread
// still wakes on every signal and posts nothing: each buffer's signal is taken (the
// auto-reset event returns to not signalled while the clock stands still), the thread
// lives while the acquisition runs, and only the stop ends it.
TEST_F(NotificationTest, WithoutActiveSlotsTheThreadWakesAndPostsNothing)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(1, window.Handle(), 0, 5, 6), 1);
    ASSERT_EQ(lib.RegisterNotify(2, nullptr, kMsgA, 5, 6), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    ASSERT_EQ(StartRing(lib), 82);
    ASSERT_TRUE(HoldUserEvent());
    for (int unread = 1; unread <= 3; ++unread) {
        ASSERT_TRUE(AdvanceUntilUnread(unread));
        EXPECT_TRUE(WaitUntilHeldEventTaken()) << "signal " << unread << " was not taken";
    }
    EXPECT_EQ(ThreadCount(), threads + 1);
    ASSERT_EQ(lib.StopIntr(), 1);
    EXPECT_TRUE(WaitForThreadCount(threads)) << "the stop did not end the thread";
    ReleaseHeldEvent();
    lib.ProcessDetach();
    EXPECT_TRUE(window.Drain().empty());
}

// Snapshot mode creates no thread and posts nothing; the ring run after it is served.
TEST_F(NotificationTest, SnapshotModePostsNothing)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), kMsgA, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    ASSERT_EQ(lib.StartSnapshot(4, 10, 0, 4, 10000, 0, 0, 0), 82);
    EXPECT_EQ(ThreadCount(), threads) << "snapshot mode starts no thread";
    Advance(50'000'000);  // the circular buffer wraps many times
    ASSERT_EQ(lib.StopIntr(), 1);
    ASSERT_EQ(StartRing(lib), 82);
    ASSERT_TRUE(AdvanceUntilUnread(1));
    ASSERT_EQ(window.WaitFor(1).size(), 1u);
    ASSERT_EQ(lib.StopIntr(), 1);
    lib.ProcessDetach();
    EXPECT_TRUE(window.Drain().empty()) << "the snapshot run posted messages";
}

// An accepted stop ends the thread at once (the driver signals nothing after a stop, so
// a thread left waiting would wait for ever); a signal that still comes late finds no
// thread and posts nothing.
TEST_F(NotificationTest, StopEndsTheThreadAndALateSignalPostsNothing)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), kMsgA, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    ASSERT_EQ(StartRing(lib), 82);
    ASSERT_TRUE(AdvanceUntilUnread(1));
    ASSERT_EQ(window.WaitFor(1).size(), 1u);
    ASSERT_TRUE(HoldUserEvent());
    ASSERT_EQ(lib.StopIntr(), 1);
    EXPECT_TRUE(WaitForThreadCount(threads)) << "the stop did not end the thread";
    SignalHeldEvent();  // nobody serves this one
    ReleaseHeldEvent();
    EXPECT_EQ(ThreadCount(), threads);
    lib.ProcessDetach();
    EXPECT_TRUE(window.Drain().empty()) << "a pass after the stop";
}

// An acquisition that ends without the library's stop (Initial while running: the driver
// stops it and refuses with 102) leaves its thread serving; the next start adds another,
// every signal still gives exactly one pass, and the next stop ends both.
TEST_F(NotificationTest, TwoWaitingThreadsGiveExactlyOnePassPerSignal)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(2, window.Handle(), kMsgB, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    ASSERT_EQ(StartRing(lib), 82);
    ASSERT_TRUE(AdvanceUntilUnread(1));
    ASSERT_EQ(window.WaitFor(1).size(), 1u);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 0);
    ASSERT_EQ(lib.GetLastADError(), 102);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(StartRing(lib), 82);
    EXPECT_EQ(ThreadCount(), threads + 2);
    const int signals = 6;
    for (int i = 1; i <= signals; ++i) {
        ASSERT_TRUE(AdvanceUntilUnread(i));
        ASSERT_EQ(window.WaitFor(1).size(), 1u) << "signal " << i;
    }
    EXPECT_EQ(ThreadCount(), threads + 2) << "both threads keep serving while running";
    ASSERT_EQ(lib.StopIntr(), 1);
    EXPECT_TRUE(WaitForThreadCount(threads)) << "the stop left a notification thread";
    lib.ProcessDetach();
    EXPECT_TRUE(window.Drain().empty()) << "a signal gave more than one pass";
}

}  // namespace
}  // namespace tavlon_test
