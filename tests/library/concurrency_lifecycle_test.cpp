// The library under a long-running application and several threads: many start/stop
// cycles, a start and a stop racing each other, and the Zel_ family from two threads.
// Each runs short in the default suite; TQ_ROBUST_LONG=1 gives the long versions, and
// TQ_LIFECYCLE_CYCLES, TQ_RACE_ROUNDS and TQ_BOARD_CALLS size one run.
#include "library_fixture.h"
#include "message_window.h"
#include "run_switches.h"
#include "sim/card.h"
#include "tqwin32_seams.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

namespace tavlon_test {
namespace {

using LifecycleTest = LibraryFixture;

const char kCountSignals[] = "ch0=count;ch1=count;ch2=count;ch3=count";
constexpr UINT kMsg = WM_APP + 5;

uint64_t RunSize(const char *name, uint64_t shortRun, uint64_t longRun)
{
    return runswitch::EnvNumber(name, runswitch::LongRun() ? longRun : shortRun);
}

// Every accepted stop ends the run's notification thread: over many cycles the process's
// thread count stays where it was, and every run's buffers are still announced.
TEST_F(LifecycleTest, StartStopCyclesLeaveNoThreadAndEveryRunIsServed)
{
    const uint64_t cycles = RunSize("TQ_LIFECYCLE_CYCLES", 1'000, 100'000);
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), kMsg, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    for (uint64_t cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_EQ(lib.StartIntr(4, 5, 0, 4, 100000, 0, 0), 42) << "cycle " << cycle;
        ASSERT_TRUE(AdvanceUntilUnread(2)) << "cycle " << cycle;
        // Two buffers may collapse into one pass; at least one message per run.
        ASSERT_FALSE(window.WaitFor(1).empty()) << "cycle " << cycle << " was not served";
        ASSERT_EQ(lib.StopIntr(), 1) << "cycle " << cycle;
        ASSERT_TRUE(WaitForThreadCount(threads)) << "cycle " << cycle << ": the stop left a thread";
        window.Drain();
    }
    std::printf("%llu start/stop cycles, %d threads before and after\n",
                static_cast<unsigned long long>(cycles), ThreadCount());
}

// A stop racing a start from another thread: whatever the order, a running acquisition
// is served buffer after buffer (its run flag set), and a stopped one leaves no thread.
TEST_F(LifecycleTest, StartAndStopFromTwoThreadsNeverLoseNotifications)
{
    const uint64_t rounds = RunSize("TQ_RACE_ROUNDS", 1'000, 20'000);
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), kMsg, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    uint64_t running = 0;
    for (uint64_t round = 0; round < rounds; ++round) {
        // Both calls leave together: the stopper spins until the starter is ready.
        std::atomic<int> ready{0};
        std::thread stopper([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            lib.StopIntr();
        });
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        lib.StartIntr(8, 5, 0, 4, 100000, 0, 0);
        stopper.join();
        if (Driver().Running) {
            ++running;
            for (int unread = 1; unread <= 3; ++unread) {
                ASSERT_TRUE(AdvanceUntilUnread(unread));
                ASSERT_EQ(window.WaitFor(1).size(), 1u)
                    << "round " << round << ": buffer " << unread << " of a running acquisition was not announced";
            }
            ASSERT_EQ(lib.StopIntr(), 1);
        }
        ASSERT_TRUE(WaitForThreadCount(threads)) << "round " << round << " left a thread waiting";
        window.Drain();
    }
    std::printf("%llu rounds, %llu left running after the race\n", static_cast<unsigned long long>(rounds),
                static_cast<unsigned long long>(running));
}

// Runs `other` on a thread of its own the moment the driver has completed the first
// successful request with `code`, before the calling export has seen the reply, and holds
// that export there until `other` has run to its end or waits for a lock (the export's).
class InterleaveAfterRequest {
public:
    InterleaveAfterRequest(DWORD code, std::function<void()> other) : other_(std::move(other))
    {
        tqwin32::SetDeviceIoControlDoneHook([this, code](DWORD done, bool succeeded) {
            if (done != code || !succeeded || fired_.exchange(true))
                return;
            thread_ = std::thread([this] {
                other_();
                finished_ = true;
            });
            while (!finished_.load() && tqwin32::SrwLockWaiters() == 0)
                std::this_thread::yield();
        });
    }
    ~InterleaveAfterRequest() { Join(); }
    // Removes the hook and waits for `other`; false if the request never came.
    bool Join()
    {
        tqwin32::SetDeviceIoControlDoneHook(nullptr);
        if (thread_.joinable())
            thread_.join();
        return fired_.load();
    }

private:
    std::function<void()> other_;
    std::atomic<bool> fired_{false}, finished_{false};
    std::thread thread_;
};

// The same race made to happen on every run: a stop that comes the moment the driver has
// accepted a start, before StartIntr has set up the run's notification thread, waits until
// StartIntr is done; it then stops the run and ends that thread, so no thread is left
// waiting on an event the driver no longer signals.
TEST_F(LifecycleTest, StopComingAsTheDriverAcceptsAStartEndsThatStartsThread)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int threads = ThreadCount();
    std::atomic<int32_t> stopResult{-1};
    InterleaveAfterRequest stop(IOCTL_START, [&] { stopResult = lib.StopIntr(); });
    EXPECT_EQ(lib.StartIntr(4, 10, 0, 4, 10000, 0, 0), 82);
    ASSERT_TRUE(stop.Join());
    EXPECT_EQ(stopResult.load(), 1);
    EXPECT_EQ(Driver().Running, 0);
    EXPECT_TRUE(WaitForThreadCount(threads)) << "the start's notification thread was left waiting";
}

// A Zel_ call from another thread that comes while a Zel_DI request is under way (the
// driver has answered, Zel_DI has not yet copied the reply) waits for Zel_DI to finish:
// Zel_DI returns the card's inputs, not the other call's request echoed back.
TEST_F(LifecycleTest, ZelCallComingDuringAnothersRequestWaitsForItsReply)
{
    ASSERT_TRUE(BootAndLoad("di=0x5A,0xC3"));
    std::atomic<int32_t> written{-1};
    InterleaveAfterRequest write(IOCTL_BOARD_COMMAND, [&] { written = lib.Zel_DA(0x123, 0); });
    uint16_t values[2] = {0xEEEE, 0xEEEE};
    EXPECT_EQ(lib.Zel_DI(2, values), 1);
    ASSERT_TRUE(write.Join());
    EXPECT_EQ(written.load(), 1);
    EXPECT_EQ(values[0], 0x5A);
    EXPECT_EQ(values[1], 0xC3);
    EXPECT_EQ(Card().AnalogOutput(0), 0x123);
}

// Zel_DI on one thread and Zel_DA on another share the library's request and reply
// blocks: every Zel_DI still returns the card's two digital-input bytes, never the other
// thread's request echoed back.
TEST_F(LifecycleTest, ZelFunctionsFromTwoThreadsNeverReadTheOthersReply)
{
    const uint64_t calls = RunSize("TQ_BOARD_CALLS", 100'000, 5'000'000);
    ASSERT_TRUE(BootAndLoad("di=0x5A,0xC3"));
    std::atomic<bool> done{false};
    std::atomic<uint64_t> failedDa{0};
    std::thread writer([&] {
        for (uint32_t n = 0; !done.load(); ++n)
            if (lib.Zel_DA(n & 0xFFF, n & 1) != 1)
                ++failedDa;
    });
    uint64_t wrong = 0, failedDi = 0;
    for (uint64_t n = 0; n < calls; ++n) {
        uint16_t values[2] = {0xEEEE, 0xEEEE};
        if (lib.Zel_DI(2, values) != 1)
            ++failedDi;
        else if (values[0] != 0x5A || values[1] != 0xC3)
            ++wrong;
    }
    done.store(true);
    writer.join();
    EXPECT_EQ(wrong, 0u) << "of " << calls << " Zel_DI calls returned another request's bytes";
    EXPECT_EQ(failedDi, 0u);
    EXPECT_EQ(failedDa.load(), 0u);
}

}  // namespace
}  // namespace tavlon_test
