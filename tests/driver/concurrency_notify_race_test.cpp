// Races for one waiting IOCTL_WAIT_NOTIFY request, in real time: a post against a
// cancellation, against an abort, and against the cleanup of the waiter's handle (with a
// cancellation as well). Whoever wins, the request is completed exactly once: either with
// the posted value and STATUS_SUCCESS while the post succeeds, or with STATUS_CANCELLED
// while the post fails with STATUS_UNSUCCESSFUL. The verifier (which reports a request
// completed twice or with its cancel routine still set) must stay silent throughout.
#include "frame_fixture.h"

#include <functional>

namespace frame {
namespace {

constexpr int kDefaultRounds = 200;

class NotifyRace : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        Boot("default", 0x10, plat::ClockMode::RealTime);
    }

    struct Outcomes {
        int posted = 0;
        int cancelled = 0;
    };

    // One round: a request waits on `waiterHandle`; the post (on `poster`) and `rival` are
    // let go at the same moment. Checks that the outcome is one of the two allowed ones.
    void Round(HANDLE waiterHandle, HANDLE poster, const std::function<void()> &rival, ULONG value, Outcomes &out)
    {
        auto w = StartWait(waiterHandle);
        ASSERT_FALSE(w->done.load()) << "the wait was not queued";
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        NTSTATUS postStatus = STATUS_PENDING;
        std::thread postThread([&] {
            ready.fetch_add(1);
            while (!go.load()) {
            }
            postStatus = Ioctl(poster, IOCTL_POST_NOTIFY, &value, sizeof(value));
        });
        std::thread rivalThread([&] {
            ready.fetch_add(1);
            while (!go.load()) {
            }
            rival();
        });
        while (ready.load() < 2) {
        }
        go.store(true);
        postThread.join();
        rivalThread.join();
        const NTSTATUS waitStatus = FinishWait(w);

        if (waitStatus == STATUS_SUCCESS) {
            ++out.posted;
            EXPECT_EQ(postStatus, STATUS_SUCCESS);
            EXPECT_EQ(w->value, value);
            EXPECT_EQ(w->information, 4u);
        } else {
            ++out.cancelled;
            EXPECT_EQ(waitStatus, STATUS_CANCELLED);
            EXPECT_EQ(postStatus, STATUS_UNSUCCESSFUL);
        }
        EXPECT_EQ(Slot(), nullptr);
        EXPECT_TRUE(PendingListEmpty());
    }
};

TEST_F(NotifyRace, CancellationAgainstPostCompletesTheRequestOnce)
{
    HANDLE h = OpenOrFail(), poster = OpenOrFail();
    Outcomes out;
    const int rounds = TortureCycles(kDefaultRounds);
    for (int i = 0; i < rounds && !HasFailure(); ++i)
        Round(h, poster, [&] { plat::CancelFileIo(h, true); }, 0x1000u + i, out);
    EXPECT_EQ(out.posted + out.cancelled, rounds);
    RecordProperty("posted", out.posted);
    RecordProperty("cancelled", out.cancelled);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(NotifyRace, AbortAgainstPostCompletesTheRequestOnce)
{
    HANDLE h = OpenOrFail(), poster = OpenOrFail();
    Outcomes out;
    const int rounds = TortureCycles(kDefaultRounds);
    for (int i = 0; i < rounds && !HasFailure(); ++i)
        Round(h, poster, [&] { AbortPendingRequests(Dc(), nullptr); }, 0x2000u + i, out);
    EXPECT_EQ(out.posted + out.cancelled, rounds);
    RecordProperty("posted", out.posted);
    RecordProperty("cancelled", out.cancelled);
    EXPECT_EQ(Dc()->RejectStatus, 0);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(NotifyRace, CleanupAndCancellationAgainstPostCompleteTheRequestOnce)
{
    HANDLE poster = OpenOrFail();
    Outcomes out;
    const int rounds = TortureCycles(kDefaultRounds);
    for (int i = 0; i < rounds && !HasFailure(); ++i) {
        HANDLE h = OpenOverlappedOrFail();  // closed while its wait is pending
        Round(h, poster,
              [&] {
                  std::thread canceller([&] { plat::CancelFileIo(h, true); });
                  Close(h);
                  canceller.join();
              },
              0x3000u + i, out);
    }
    EXPECT_EQ(out.posted + out.cancelled, rounds);
    RecordProperty("posted", out.posted);
    RecordProperty("cancelled", out.cancelled);
    EXPECT_EQ(ViolationCount(), 0u);
}

}  // namespace
}  // namespace frame
