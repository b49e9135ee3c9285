// The IOCTL_WAIT_NOTIFY / IOCTL_POST_NOTIFY rendezvous on a started device: what a post
// hands over, one waiting request at a time, cancellation, cleanup of one handle among
// several, aborts with a reject status, and the queueing routine's own refusals. Every
// test leaves the verifier silent and PendingList empty.
#include "frame_fixture.h"

#include <cstring>

namespace frame {
namespace {

class NotifyTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        Boot();
    }

    void TearDown() override
    {
        if (Dc() != nullptr) {
            EXPECT_TRUE(PendingListEmpty());
        }
        FrameTest::TearDown();
    }

    NTSTATUS Post(HANDLE h, uint32_t value)
    {
        return Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value));
    }
};

TEST_F(NotifyTest, PostHandsItsFourBytesUnchangedToTheWaiterAndOnlyFour)
{
    HANDLE waiterHandle = OpenOrFail(), poster = OpenOrFail();
    uint8_t received[8];
    std::memset(received, 0xA5, sizeof(received));
    NTSTATUS waitStatus = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::thread waiter([&] {
        waitStatus = Ioctl(waiterHandle, IOCTL_WAIT_NOTIFY, nullptr, 0, received, sizeof(received), &information);
    });
    ASSERT_TRUE(WaitUntil([&] { return Slot() != nullptr; }));

    const uint8_t posted[6] = {0x78, 0x56, 0x34, 0x12, 0xEE, 0xEE};  // only four are handed over
    EXPECT_EQ(Ioctl(poster, IOCTL_POST_NOTIFY, posted, sizeof(posted)), STATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(waitStatus, STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::memcmp(received, posted, 4), 0);
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(received[i], 0xA5) << i;
    EXPECT_EQ(Slot(), nullptr);

    // Nothing waits any more.
    EXPECT_EQ(Post(poster, 1), STATUS_UNSUCCESSFUL);
}

TEST_F(NotifyTest, ASecondWaitIsRefusedAndTheFirstKeepsWaiting)
{
    HANDLE a = OpenOverlappedOrFail(), b = OpenOrFail();
    auto first = StartWait(a);
    ASSERT_FALSE(first->done.load());
    PIRP waiting = Slot();
    EXPECT_EQ(WaitRefusal(b), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WaitRefusal(a), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Slot(), waiting);
    EXPECT_FALSE(first->done.load());

    EXPECT_EQ(Post(b, 0xCAFEF00D), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(first), STATUS_SUCCESS);
    EXPECT_EQ(first->value, 0xCAFEF00Du);
}

TEST_F(NotifyTest, ACancelledWaitEmptiesTheSlotAndANewWaitIsAccepted)
{
    HANDLE h = OpenOrFail(), poster = OpenOrFail();
    auto w = StartWait(h);
    ASSERT_EQ(plat::CancelFileIo(h, true), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(w->information, 0u);
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(PendingListEmpty());
    EXPECT_EQ(Post(poster, 5), STATUS_UNSUCCESSFUL);

    auto again = StartWait(h);
    ASSERT_FALSE(again->done.load());
    EXPECT_EQ(Post(poster, 6), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(again), STATUS_SUCCESS);
    EXPECT_EQ(again->value, 6u);
}

TEST_F(NotifyTest, ClosingAHandleAbortsOnlyItsOwnWait)
{
    HANDLE a = OpenOverlappedOrFail(), b = OpenOrFail(), poster = OpenOrFail();
    auto w = StartWait(a);
    PIRP waiting = Slot();

    // The handle without a waiting request goes: the other's request keeps waiting.
    Close(b);
    EXPECT_FALSE(WaitUntil([&] { return w->done.load(); }, 1));
    EXPECT_EQ(Slot(), waiting);

    // Its own handle goes: cancelled, and later waits are not refused (no reject status).
    Close(a);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_EQ(Dc()->RejectStatus, 0);
    HANDLE c = OpenOrFail();
    auto next = StartWait(c);
    EXPECT_EQ(Post(poster, 9), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(next), STATUS_SUCCESS);
}

TEST_F(NotifyTest, RejectCancelsTheWaitingRequestAndRefusesLaterOnesWithItsStatus)
{
    HANDLE h = OpenOrFail(), poster = OpenOrFail();
    for (NTSTATUS reject : {STATUS_DEVICE_POWERED_OFF, STATUS_DELETE_PENDING, STATUS_CANCELLED}) {
        SCOPED_TRACE(testing::Message() << std::hex << reject);
        auto w = StartWait(h);
        RejectPendingRequests(Dc(), reject);
        EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);  // the reject status only governs later waits
        EXPECT_EQ(Slot(), nullptr);
        EXPECT_EQ(WaitRefusal(h), reject);
        EXPECT_EQ(Post(poster, 1), STATUS_UNSUCCESSFUL);
        // What a device power-up does.
        InterlockedExchange(&Dc()->RejectStatus, 0);
    }
}

TEST_F(NotifyTest, AnOccupiedSlotIsTestedBeforeTheRejectStatus)
{
    HANDLE h = OpenOverlappedOrFail(), other = OpenOrFail();
    auto w = StartWait(h);
    InterlockedExchange(&Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(WaitRefusal(other), STATUS_UNSUCCESSFUL);
    // Setting the status alone aborts nothing; cleanup of the waiting handle does, and
    // leaves the status as it was.
    EXPECT_FALSE(w->done.load());
    Close(h);
    EXPECT_EQ(FinishWait(w), STATUS_CANCELLED);
    EXPECT_EQ(Dc()->RejectStatus, STATUS_DEVICE_POWERED_OFF);
    InterlockedExchange(&Dc()->RejectStatus, 0);
}

// ---- The queueing routine on requests the I/O manager would not normally deliver -------------

class NotifyQueueTest : public NotifyTest {
protected:
    // A device-control request with the driver's stack location current, as IoCallDriver
    // leaves it; `stackSize` locations in all.
    PIRP NewRequest(CCHAR stackSize)
    {
        PIRP irp = IoAllocateIrp(stackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        sp->DeviceObject = Fdo();
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_WAIT_NOTIFY;
        sp->Parameters.DeviceIoControl.OutputBufferLength = 4;
        return irp;
    }
    // Gives the request back its initial location and frees it (it was never sent).
    static void FreeRequest(PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        IoFreeIrp(irp);
    }
};

TEST_F(NotifyQueueTest, ARequestCancelledBeforeItArrivesIsRefusedWithCancelled)
{
    PIRP irp = NewRequest(Fdo()->StackSize);
    irp->Cancel = TRUE;
    const CCHAR location = irp->CurrentLocation;
    EXPECT_EQ(QueueNotifyWait(Dc(), irp, &Dc()->EventIrpSlot), STATUS_CANCELLED);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(irp->CurrentLocation, location);  // nothing pushed
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(PendingListEmpty());
    FreeRequest(irp);
}

TEST_F(NotifyQueueTest, ARequestWithNoLocationBelowTheDriversIsNotQueued)
{
    PIRP irp = NewRequest(1);
    EXPECT_EQ(QueueNotifyWait(Dc(), irp, &Dc()->EventIrpSlot), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(PendingListEmpty());
    FreeRequest(irp);
}

TEST_F(NotifyQueueTest, AQueuedRequestCarriesItsBookkeepingInTheStack)
{
    HANDLE h = OpenOverlappedOrFail();
    auto w = StartWait(h);
    PIRP irp = Slot();
    ASSERT_NE(irp, nullptr);
    KIRQL irql = KfAcquireSpinLock(&Dc()->PendingLock);
    PIO_STACK_LOCATION pushed = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION own = pushed + 1;
    EXPECT_EQ(own->Parameters.Others.Argument1, static_cast<PVOID>(&Dc()->EventIrpSlot));
    EXPECT_NE(own->Control & SL_PENDING_RETURNED, 0);
    EXPECT_EQ(pushed->DeviceObject, Fdo());
    EXPECT_EQ(pushed->FileObject, own->FileObject);
    EXPECT_NE(pushed->FileObject, nullptr);
    EXPECT_EQ(pushed->CompletionRoutine, NotifyWaitComplete);
    EXPECT_EQ(pushed->Context, static_cast<PVOID>(Dc()));
    EXPECT_EQ(pushed->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    EXPECT_EQ(irp->CancelRoutine, NotifyWaitCancel);
    EXPECT_EQ(Dc()->PendingList.Flink, &irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&Dc()->PendingLock, irql);

    // A waiting request holds no remove-lock reference beyond its handle's.
    EXPECT_EQ(__atomic_load_n(&Dc()->RemoveLock.Count, __ATOMIC_ACQUIRE), 1 + 1);
    ULONG value = 3;
    EXPECT_EQ(Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(FinishWait(w), STATUS_SUCCESS);
}

}  // namespace
}  // namespace frame
