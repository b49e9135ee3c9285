// A cancellation landing at each point of a waiting IOCTL_WAIT_NOTIFY request's life, made
// deterministic by splitting the I/O manager's cancellation at its own seam: IoCancelIrp
// first marks the request cancelled and takes its cancel routine (from then on the
// cancellation owns the request), and only then calls the routine. Between the two halves
// the test lets a post, a second wait, an abort, a reject and a cleanup's abort run, which is
// exactly what another processor may do in that window. Whatever runs there, the request is
// completed once, by the cancel routine, with STATUS_CANCELLED; the slot and the pending
// list end empty and the verifier stays silent. The other orders (a cancellation before
// the request arrives, after it was queued) are in the notification tests; the random
// interleavings of all of them are in the race campaign.
#include "frame_fixture.h"

#include <functional>

namespace frame {
namespace {

class NotifyCancelPoints : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        Boot();
    }

    bool OnPendingList(PIRP irp)
    {
        KIRQL irql = KfAcquireSpinLock(&Dc()->PendingLock);
        bool found = false;
        for (PLIST_ENTRY e = Dc()->PendingList.Flink; e != &Dc()->PendingList; e = e->Flink)
            found = found || e == &irp->Tail.Overlay.ListEntry;
        KfReleaseSpinLock(&Dc()->PendingLock, irql);
        return found;
    }

    // First half of IoCancelIrp: under the cancel spin lock, mark the request cancelled and
    // take its cancel routine. Returns the routine (null: nobody had set one).
    static PDRIVER_CANCEL BeginCancel(PIRP irp)
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp->Cancel = TRUE;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        return routine;
    }
    // Second half: the routine is entered with the cancel spin lock held and CancelIrql set,
    // and must release the lock itself.
    static void FinishCancel(PIRP irp, PDRIVER_CANCEL routine)
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp->CancelIrql = irql;
        routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    }

    // Queues a wait on `h` and begins its cancellation; the wait must still be pending.
    PDRIVER_CANCEL QueueAndBeginCancel(HANDLE h, std::unique_ptr<Waiter> &w, PIRP &irp)
    {
        w = StartWait(h);
        irp = Slot();
        EXPECT_NE(irp, nullptr);
        if (irp == nullptr)
            return nullptr;
        PDRIVER_CANCEL routine = BeginCancel(irp);
        EXPECT_EQ(routine, NotifyWaitCancel);
        return routine;
    }

    // Waits a little host time and says whether the waiter is still blocked.
    static bool StillWaiting(Waiter &w)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !w.done.load();
    }
};

TEST_F(NotifyCancelPoints, APostMeetingACancellationUnderWayFailsAndLeavesTheRequestToItsCancelRoutine)
{
    HANDLE h = OpenOrFail(), other = OpenOrFail();
    std::unique_ptr<Waiter> w;
    PIRP irp = nullptr;
    PDRIVER_CANCEL routine = QueueAndBeginCancel(h, w, irp);
    ASSERT_NE(routine, nullptr);

    ULONG value = 0xC0FFEE;
    EXPECT_EQ(Ioctl(other, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_UNSUCCESSFUL);
    // The post emptied the slot but left the request on the list for its cancel routine.
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(OnPendingList(irp));
    EXPECT_TRUE(StillWaiting(*w));

    // The slot is free, so a new wait is queued while the old request is still listed;
    // the old one's completion must not empty the slot that now names the new one.
    auto second = StartWait(other);
    PIRP secondIrp = Slot();
    ASSERT_NE(secondIrp, nullptr);
    ASSERT_NE(secondIrp, irp);
    FinishCancel(irp, routine);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(Slot(), secondIrp);

    value = 0x5EC0D;
    EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(second), STATUS_SUCCESS);
    EXPECT_EQ(second->value, 0x5EC0Du);
    EXPECT_TRUE(PendingListEmpty());
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(NotifyCancelPoints, ASecondWaitDuringACancellationIsRefusedUntilTheCancelRoutineHasRun)
{
    HANDLE h = OpenOrFail(), other = OpenOrFail();
    std::unique_ptr<Waiter> w;
    PIRP irp = nullptr;
    PDRIVER_CANCEL routine = QueueAndBeginCancel(h, w, irp);
    ASSERT_NE(routine, nullptr);

    // The slot still names the request being cancelled: a second wait is refused and the
    // first is not disturbed.
    EXPECT_EQ(WaitRefusal(other), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Slot(), irp);
    EXPECT_TRUE(StillWaiting(*w));

    FinishCancel(irp, routine);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(PendingListEmpty());
    auto again = StartWait(other);
    ULONG value = 1;
    EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(again), STATUS_SUCCESS);
    EXPECT_EQ(ViolationCount(), 0u);
}

// Every abort path meets a request whose cancellation is under way: it must leave the
// request alone (the cancellation owns it) rather than complete it a second time.
TEST_F(NotifyCancelPoints, AbortsDuringACancellationLeaveTheRequestToItsCancelRoutine)
{
    struct Case {
        const char *name;
        std::function<void(DeviceContext *, PIRP)> abort;
        NTSTATUS rejectAfter;  // RejectStatus the abort leaves behind
    };
    const Case cases[] = {
        {"abort of every request", [](DeviceContext *dc, PIRP) { AbortPendingRequests(dc, nullptr); }, 0},
        // The cleanup of the request's own handle aborts by its file object.
        {"cleanup of its handle",
         [](DeviceContext *dc, PIRP irp) { AbortPendingRequests(dc, IoGetCurrentIrpStackLocation(irp)->FileObject); },
         0},
        {"device power-down", [](DeviceContext *dc, PIRP) { RejectPendingRequests(dc, STATUS_DEVICE_POWERED_OFF); },
         STATUS_DEVICE_POWERED_OFF},
        {"removal", [](DeviceContext *dc, PIRP) { RejectPendingRequests(dc, STATUS_DELETE_PENDING); },
         STATUS_DELETE_PENDING},
    };
    HANDLE h = OpenOrFail();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<Waiter> w;
        PIRP irp = nullptr;
        PDRIVER_CANCEL routine = QueueAndBeginCancel(h, w, irp);
        ASSERT_NE(routine, nullptr);

        c.abort(Dc(), irp);
        EXPECT_TRUE(StillWaiting(*w));
        EXPECT_TRUE(OnPendingList(irp));
        EXPECT_EQ(Slot(), irp);  // only the request's completion empties the slot
        EXPECT_EQ(Dc()->RejectStatus, c.rejectAfter);

        FinishCancel(irp, routine);
        EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
        EXPECT_EQ(Slot(), nullptr);
        EXPECT_TRUE(PendingListEmpty());
        InterlockedExchange(&Dc()->RejectStatus, 0);
        EXPECT_EQ(ViolationCount(), 0u);
    }
}

// The other order: the post has taken the request (its cancel routine is gone) when the
// cancellation arrives. The cancellation finds nothing to call, and the post's completion
// is the only one.
TEST_F(NotifyCancelPoints, ACancellationAfterThePostTookTheRequestLeavesThePostsCompletion)
{
    HANDLE h = OpenOrFail();
    auto w = StartWait(h);
    PIRP irp = TakeNotifyWait(Dc(), &Dc()->EventIrpSlot);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(PendingListEmpty());

    EXPECT_EQ(BeginCancel(irp), nullptr);  // IoCancelIrp would return FALSE here
    EXPECT_TRUE(StillWaiting(*w));

    // The rest of the post, as the dispatcher carries it out.
    const ULONG value = 0xFEEDF00D;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(value));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(value);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(FinishWait(w), STATUS_SUCCESS);
    EXPECT_EQ(w->value, value);
    EXPECT_EQ(ViolationCount(), 0u);
}

}  // namespace
}  // namespace frame
