// IRQL and spin-lock rules, pool (tags, accounting, failure injection, misuse), the object
// manager and its handles, Win32-facing events, thread objects and work items.
#include <plat/hw.h>
#include <plat/user_io.h>

#include <thread>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

using KernelObjectsTest = KernelTest;

TEST_F(KernelObjectsTest, SpinLocksRaiseToDispatchAndRestoreTheCallersLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u) << "a held lock records its owner";
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(KernelObjectsTest, SpinLockAndIrqlMisuseIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(Reported(plat::rule::SpinLockAtDpcBelowDispatch));
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_TRUE(Reported(plat::rule::SpinLockAtDpcBelowDispatch));

    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KIRQL again;
    KeAcquireSpinLock(&lock, &again);  // would deadlock on the real platform
    EXPECT_TRUE(Reported(plat::rule::SpinLockAcquiredTwice));
    KeReleaseSpinLock(&lock, old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(Reported(plat::rule::SpinLockNotHeld));

    KSPIN_LOCK other;
    KeInitializeSpinLock(&other);
    std::thread([&] {
        KIRQL irql;
        KeAcquireSpinLock(&other, &irql);
        KeReleaseSpinLock(&other, irql);
    }).join();
    KeReleaseSpinLock(&other, PASSIVE_LEVEL);
    EXPECT_TRUE(Reported(plat::rule::SpinLockNotHeld));

    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeRaiseIrql(PASSIVE_LEVEL, &again);
    EXPECT_TRUE(Reported(plat::rule::IrqlRaiseToLower));
    KeLowerIrql(HIGH_LEVEL);
    EXPECT_TRUE(Reported(plat::rule::IrqlLowerToHigher));
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KernelObjectsTest, PoolIsTaggedAccountedAndNotZeroed)
{
    const ULONG tag = plat::PoolTag("Wdm ");
    EXPECT_EQ(tag, 0x206D6457u);
    auto *a = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 100, tag));
    auto *b = static_cast<UCHAR *>(ExAllocatePoolWithTag(PagedPool, 28, plat::PoolTag("Othr")));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a[0] | a[99], 0) << "pool memory comes uninitialised, not zeroed";
    EXPECT_EQ(plat::PoolBlocksOutstanding(tag), 1u);
    EXPECT_EQ(plat::PoolBytesOutstanding(tag), 100u);
    EXPECT_EQ(plat::PoolBlocksOutstanding(), 2u);
    ExFreePoolWithTag(a, tag);
    ExFreePool(b);
    EXPECT_EQ(plat::PoolBlocksOutstanding(), 0u);
    EXPECT_EQ(plat::PoolAllocationAttempts(), 2u);
}

// Failure injection lets a test fail each allocation site of a driver in turn.
TEST_F(KernelObjectsTest, InjectedFailuresHitTheChosenAllocation)
{
    const ULONG tag = plat::PoolTag("Inj ");
    plat::InjectPoolFailure(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    plat::InjectPoolFailureByTag(plat::PoolTag("Only"), 2);
    EXPECT_NE(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
    PVOID onlyFirst = ExAllocatePoolWithTag(NonPagedPool, 8, plat::PoolTag("Only"));
    EXPECT_NE(onlyFirst, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, plat::PoolTag("Only")), nullptr);
    plat::FailAllPoolAllocationsByTag(tag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
    PDEVICE_OBJECT device;
    plat::ClearPoolFailures();
    plat::InjectPoolFailureByTag(plat::PoolTag("Devi"));
    PDRIVER_OBJECT d = plat::CreateDriverObject("Inj");
    EXPECT_EQ(IoCreateDevice(d, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_INSUFFICIENT_RESOURCES);
    plat::InjectPoolFailureByTag(plat::PoolTag("Irp "));
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    EXPECT_EQ(plat::PoolFailuresInjected(), 6u);
    ExFreePool(first);
    ExFreePool(third);
    ExFreePool(onlyFirst);
}

TEST_F(KernelObjectsTest, PoolMisuseIsReported)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, plat::PoolTag("Mine"));
    ExFreePoolWithTag(p, plat::PoolTag("Your"));
    EXPECT_TRUE(Reported(plat::rule::PoolTagMismatch));
    ExFreePool(p);
    EXPECT_TRUE(Reported(plat::rule::PoolDoubleFree));
    int local = 0;
    ExFreePool(&local);
    EXPECT_TRUE(Reported(plat::rule::PoolFreeUnknown));
    // A pool block is not a run-time library string: RtlFreeUnicodeString may not free it.
    UNICODE_STRING copy;
    copy.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, 8, plat::PoolTag("Wdm ")));
    copy.Length = 0;
    copy.MaximumLength = 8;
    RtlFreeUnicodeString(&copy);
    EXPECT_TRUE(Reported(plat::rule::PoolFreeWrongRoutine));
    EXPECT_EQ(copy.Buffer, nullptr);
    EXPECT_EQ(plat::PoolBlocksOutstanding(plat::PoolTag("Wdm ")), 0u);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, plat::PoolTag("Page"));
    PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, plat::PoolTag("NonP"));
    KeLowerIrql(old);
    EXPECT_TRUE(Reported(plat::rule::PoolAboveLimit));
    EXPECT_EQ(ViolationCount(), 0u) << "non-paged pool is fine at DISPATCH_LEVEL";
    ExFreePool(paged);
    ExFreePool(nonPaged);
}

TEST_F(KernelObjectsTest, EventsBehaveAsNotificationOrSynchronizationEvents)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero = RtlConvertLongToLargeInteger(0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    std::thread setter([&] { KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(ViolationCount(), 0u) << "polling is allowed at DISPATCH_LEVEL";
    LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-10000);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeLowerIrql(old);
    EXPECT_TRUE(Reported(plat::rule::WaitAboveLimit));
}

TEST_F(KernelObjectsTest, HandlesResolveToTheirObjectsWithTypeAndAccessChecks)
{
    HANDLE event;
    ASSERT_EQ(plat::CreateEventObject(FALSE, FALSE, &event), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(event) % 4, 0u);
    EXPECT_NE(event, nullptr);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7FF0), 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object, nullptr);
    // A handle that grants only SYNCHRONIZE: user-mode callers are held to it, kernel-mode ones not.
    HANDLE limited;
    ASSERT_EQ(plat::InsertHandle(object, *ExEventObjectType, SYNCHRONIZE, &limited), STATUS_SUCCESS);
    PVOID other;
    EXPECT_EQ(ObReferenceObjectByHandle(limited, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &other, nullptr),
              STATUS_ACCESS_DENIED);
    OBJECT_HANDLE_INFORMATION info;
    EXPECT_EQ(ObReferenceObjectByHandle(limited, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &other, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, static_cast<ACCESS_MASK>(SYNCHRONIZE));
    EXPECT_EQ(plat::SetEventHandle(limited), STATUS_ACCESS_DENIED);
    ObfDereferenceObject(other);
    // A kernel handle (top bit of its 32-bit value set) resolves only for kernel mode.
    HANDLE kernel;
    ASSERT_EQ(plat::InsertHandle(object, *ExEventObjectType, EVENT_ALL_ACCESS, &kernel, true), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(kernel) & 0xFFFFFFFFu, 0x80000004u);
    EXPECT_EQ(ObReferenceObjectByHandle(kernel, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &other, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(kernel, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &other, nullptr),
              STATUS_SUCCESS);
    ObfDereferenceObject(other);
    plat::CloseHandle(kernel);
    // The driver's reference keeps the event alive after the handles close, and signalling
    // it after the last reference went is caught.
    plat::CloseHandle(limited);
    plat::CloseHandle(event);
    EXPECT_EQ(KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE), 0);
    ObfDereferenceObject(object);
    EXPECT_EQ(ViolationCount(), 0u);
    ObfDereferenceObject(object);
    EXPECT_EQ(ViolationCount(), 0u);
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(Reported(plat::rule::EventObjectDeleted));
    ObfDereferenceObject(object);
    EXPECT_TRUE(Reported(plat::rule::UnknownObject));
}

TEST_F(KernelObjectsTest, Win32EventAndThreadHandlesWaitOnTheVirtualClock)
{
    HANDLE autoReset, manual;
    ASSERT_EQ(plat::CreateEventObject(FALSE, TRUE, &autoReset), STATUS_SUCCESS);
    ASSERT_EQ(plat::CreateEventObject(TRUE, FALSE, &manual), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(autoReset, 0), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(autoReset, 0), STATUS_TIMEOUT);
    plat::VTime start = plat::Now();
    EXPECT_EQ(plat::WaitForHandle(manual, 25), STATUS_TIMEOUT);
    EXPECT_EQ(plat::Now() - start, 25'000'000u) << "25 ms of virtual time went by";
    EXPECT_EQ(plat::SetEventHandle(manual), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(manual, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(manual, 0), STATUS_SUCCESS);
    EXPECT_EQ(plat::ResetEventHandle(manual), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(manual, 0), STATUS_TIMEOUT);

    PVOID threadObject;
    HANDLE thread;
    ASSERT_EQ(plat::CreateThreadObject(&threadObject, &thread), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(thread, 0), STATUS_TIMEOUT);
    EXPECT_EQ(plat::SetEventHandle(thread), STATUS_OBJECT_TYPE_MISMATCH);
    std::thread worker([&] { plat::SignalThreadObject(threadObject); });
    EXPECT_EQ(plat::WaitForHandle(thread, 0xFFFFFFFF), STATUS_SUCCESS);
    worker.join();
    EXPECT_EQ(plat::WaitForHandle(thread, 0), STATUS_SUCCESS) << "an ended thread stays signalled";
    EXPECT_EQ(plat::CloseHandle(thread), STATUS_SUCCESS);
    EXPECT_EQ(plat::WaitForHandle(thread, 0), STATUS_INVALID_HANDLE);
}

TEST_F(KernelObjectsTest, WorkItemsRunAtPassiveLevelOnTheWorkerForTheirDriver)
{
    struct Seen {
        KIRQL irql = 0xFF;
        PDRIVER_OBJECT driver = nullptr;
        std::thread::id thread;
        KEVENT done;
    } seen;
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    PDRIVER_OBJECT d = plat::CreateDriverObject("Worker");
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(
        &item,
        [](PVOID p) {
            auto *s = static_cast<Seen *>(p);
            s->irql = KeGetCurrentIrql();
            s->driver = plat::CurrentDriver();
            s->thread = std::this_thread::get_id();
            KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
        },
        &seen);
    {
        plat::DriverScope scope(d);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExQueueWorkItem(&item, DelayedWorkQueue);
        KeLowerIrql(old);
    }
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    plat::FlushWorkItems();
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.driver, d);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace tqtest
