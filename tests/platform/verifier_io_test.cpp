// Each request-handling rule of the verifier, proved by a deliberately faulty routine.
#include <functional>

#include "support/kernel_fixture.h"

#include <plat/user_io.h>

namespace tqtest {
namespace {

std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gFaulty;
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gBelow;
extern "C" NTSTATUS NTAPI FaultyDispatch(PDEVICE_OBJECT d, PIRP irp) { return gFaulty(d, irp); }
extern "C" NTSTATUS NTAPI BelowDispatch(PDEVICE_OBJECT d, PIRP irp) { return gBelow(d, irp); }
extern "C" VOID NTAPI NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS NTAPI SwallowingCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;  // neither IoMarkIrpPending nor STATUS_MORE_PROCESSING_REQUIRED
}

extern "C" NTSTATUS NTAPI RaisingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

class VerifierIoTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        faulty = MakeDevice("Faulty", FaultyDispatch);
    }
    OneDevice faulty;
};

// The completion rules: what IoCompleteRequest refuses to let pass.
TEST_F(VerifierIoTest, CompletingTwiceIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(SendIrp(faulty.device, IRP_MJ_CREATE), STATUS_SUCCESS);
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedTwice));
}

TEST_F(VerifierIoTest, CompletingWithACancelRoutineStillSetIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, NeverCalledCancel);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedWithCancelRoutine));
}

TEST_F(VerifierIoTest, CompletingWithStatusPendingIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedWithStatusPending));
    Reported(plat::rule::ReturnStatusMismatch);  // it also returned something else than it completed with
}

TEST_F(VerifierIoTest, CompletingWhileHoldingASpinLockIsReported)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        CompleteWith(irp, STATUS_SUCCESS);
        KeReleaseSpinLock(&lock, irql);
        return STATUS_SUCCESS;
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedHoldingSpinLock));
}

TEST_F(VerifierIoTest, CompletingAboveDispatchLevelIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(static_cast<KIRQL>(DISPATCH_LEVEL + 3), &old);
        CompleteWith(irp, STATUS_SUCCESS);
        KeLowerIrql(old);
        return STATUS_SUCCESS;
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedAboveDispatch));
    EXPECT_TRUE(Reported(plat::rule::RoutineAboveLimit)) << "the sender's routine signalled an event there too";
}

// The dispatch rules: what the I/O manager checks when a dispatch routine returns.
TEST_F(VerifierIoTest, ReturningPendingWithoutMarkingIsReported)
{
    PIRP held = nullptr;
    gFaulty = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IoCallDriver(faulty.device, irp), STATUS_PENDING);
    // A completion routine could still mark the location; the verdict comes at completion.
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_TRUE(Reported(plat::rule::PendingWithoutMark));
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedWithoutOwner));  // no routine of the sender took it back
    IoFreeIrp(irp);
}

TEST_F(VerifierIoTest, ReturningAStatusOtherThanTheCompletedOneIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::ReturnStatusMismatch));
}

TEST_F(VerifierIoTest, ReturningWithoutCompletingForwardingOrPendingIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;  // forgot IoCompleteRequest
        return STATUS_SUCCESS;
    };
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IoCallDriver(faulty.device, irp), STATUS_SUCCESS);
    EXPECT_TRUE(Reported(plat::rule::IrpNotCompletedOnReturn));
    IoFreeIrp(irp);
    EXPECT_TRUE(Reported(plat::rule::IrpFreedInUse)) << "the IRP is still with the driver";
}

TEST_F(VerifierIoTest, CompletionRoutineThatDropsPendingReturnedIsReported)
{
    OneDevice below = MakeDevice("Below", BelowDispatch);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(faulty.device, below.device), below.device);
    PIRP held = nullptr;
    gBelow = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    gFaulty = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SwallowingCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(below.device, irp);
    };
    PIRP irp = IoAllocateIrp(faulty.device->StackSize + 1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IoCallDriver(faulty.device, irp), STATUS_PENDING);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_TRUE(Reported(plat::rule::PendingNotPropagated));
    EXPECT_TRUE(Reported(plat::rule::PendingWithoutMark)) << "so the upper layer returned pending unmarked";
    Reported(plat::rule::IrpCompletedWithoutOwner);
    IoFreeIrp(irp);
}

extern "C" NTSTATUS NTAPI FreeingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request its owner frees from its completion routine while the dispatch routine that
// completed it is still running (as the power manager's requests are), and that a busy
// machine pushes out of the freed-IRP quarantine before that routine returns: the checks
// made on the return still find the request's record and find nothing wrong.
TEST_F(VerifierIoTest, ARequestFreedAndForgottenBeforeItsDispatchReturnsIsJudgedSoundly)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        for (int i = 0; i < 1100; ++i) IoFreeIrp(IoAllocateIrp(1, FALSE));
        return STATUS_SUCCESS;
    };
    PIRP irp = IoAllocateIrp(faulty.device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
    IoSetCompletionRoutine(irp, FreeingCompletion, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(faulty.device, irp), STATUS_SUCCESS);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(VerifierIoTest, CallingADriverAboveDispatchLevelIsReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    KIRQL old;
    KeRaiseIrql(static_cast<KIRQL>(DISPATCH_LEVEL + 1), &old);
    IoCallDriver(faulty.device, irp);
    KeLowerIrql(old);
    EXPECT_TRUE(Reported(plat::rule::CallDriverAboveDispatch));
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedAboveDispatch));
    Reported(plat::rule::IrpCompletedWithoutOwner);
}

TEST_F(VerifierIoTest, DispatchAndCompletionRoutinesThatKeepARaisedIrqlAreReported)
{
    gFaulty = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::IrqlNotRestored));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the stand-in restores the level after reporting";

    OneDevice below = MakeDevice("Below", BelowDispatch);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(faulty.device, below.device), below.device);
    gBelow = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    gFaulty = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RaisingCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(below.device, irp);
    };
    SendIrp(faulty.device, IRP_MJ_CREATE);
    EXPECT_TRUE(Reported(plat::rule::IrqlNotRestored));
}

TEST_F(VerifierIoTest, BufferedInformationBeyondTheOutputBufferIsReportedAndClamped)
{
    BuildStack();
    PIRP irp = nullptr;
    (void)irp;
    UCHAR output[8];
    memset(output, 0, sizeof output);
    TdEchoInput in{STATUS_SUCCESS, 64, 0x10, 0, {}};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP built = IoBuildDeviceIoControlRequest(TD_IOCTL_ECHO, fdo, &in, sizeof in, output, sizeof output, FALSE,
                                               &event, &iosb);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(IoCallDriver(fdo, built), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Information, 64u);
    EXPECT_EQ(output[7], 0x17);
    EXPECT_TRUE(Reported(plat::rule::InformationTooLarge));
}

// A buffered request's system buffer past the input is uninitialised pool: returning four
// or more bytes of it that the driver never wrote is reported; bytes the driver wrote, a
// shorter run, an error status or an Information that stops short are not.
TEST_F(VerifierIoTest, BufferedReplyHoldingUnwrittenPoolIsReported)
{
    BuildStack();
    HANDLE file = nullptr;
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &file), STATUS_SUCCESS);
    struct Case {
        NTSTATUS status;
        ULONG information;
        UCHAR unwritten;
        bool reported;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, 32, 8, true},   {STATUS_BUFFER_OVERFLOW, 32, 4, true}, {STATUS_SUCCESS, 32, 3, false},
        {STATUS_SUCCESS, 32, 0, false},  {STATUS_UNSUCCESSFUL, 32, 8, false},   {STATUS_SUCCESS, 24, 8, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << std::dec << " info " << c.information << " unwritten "
                                        << int(c.unwritten));
        UCHAR output[32];
        TdEchoInput in{c.status, c.information, 0x10, c.unwritten, {}};
        ULONG_PTR information = 0;
        EXPECT_EQ(plat::DeviceControl(file, TD_IOCTL_ECHO, &in, sizeof in, output, sizeof output, &information),
                  c.status);
        EXPECT_EQ(ext->FilledPastInput, 1);
        EXPECT_EQ(Reported(plat::rule::BufferedReplyUninitialised), c.reported);
    }
    EXPECT_EQ(plat::CloseHandle(file), STATUS_SUCCESS);
}

TEST_F(VerifierIoTest, DeletingADeviceAbovePassiveLevelIsReported)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoDeleteDevice(faulty.device);
    KeLowerIrql(old);
    EXPECT_TRUE(Reported(plat::rule::DeleteDeviceAboveLimit));
}

TEST_F(VerifierIoTest, DeletingADeviceStillAttachedOrWithItsDpcQueuedIsReported)
{
    static int runs = 0;
    runs = 0;
    OneDevice below = MakeDevice("Below", BelowDispatch);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(faulty.device, below.device), below.device);
    KeInitializeDpc(&faulty.device->Dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++runs; }, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&faulty.device->Dpc, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(runs, 1);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&faulty.device->Dpc, nullptr, nullptr);
    IoDeleteDevice(faulty.device);  // faulty twice over (and above its level)
    KeLowerIrql(old);
    EXPECT_EQ(runs, 1) << "the DPC of a deleted device must not run";
    EXPECT_TRUE(Reported(plat::rule::DeviceDeletedAttached));
    EXPECT_TRUE(Reported(plat::rule::DeviceDeletedDpcQueued));
    EXPECT_TRUE(Reported(plat::rule::DeleteDeviceAboveLimit));
}

TEST_F(VerifierIoTest, UnloadCheckNamesEverythingADriverLeftBehind)
{
    static KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    static WORK_QUEUE_ITEM blocker, queued;
    PDRIVER_OBJECT leaky = plat::CreateDriverObject("Leaky");
    {
        plat::DriverScope scope(leaky);
        ASSERT_NE(ExAllocatePoolWithTag(NonPagedPool, 24, plat::PoolTag("Leak")), nullptr);
        PDEVICE_OBJECT device;
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, L"\\Device\\Leaky");
        RtlInitUnicodeString(&link, L"\\DosDevices\\Leaky");
        ASSERT_EQ(IoCreateDevice(leaky, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        KeInitializeDpc(&device->Dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeInsertQueueDpc(&device->Dpc, nullptr, nullptr);
        ExInitializeWorkItem(&blocker, [](PVOID) { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); },
                             nullptr);
        ExInitializeWorkItem(&queued, [](PVOID) {}, nullptr);
        ExQueueWorkItem(&blocker, DelayedWorkQueue);
        ExQueueWorkItem(&queued, DelayedWorkQueue);
        plat::VerifierCheckUnload(leaky);
        KeLowerIrql(old);  // lets the DPC run
    }
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftPool));
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftDevices));
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftLinks));
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftDpcs));
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftWorkItems));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    plat::FlushWorkItems();
    plat::VerifierCheckUnload(leaky);  // the DPC and the work items are gone now
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftPool));
    EXPECT_FALSE(Reported(plat::rule::UnloadLeftDpcs));
    EXPECT_FALSE(Reported(plat::rule::UnloadLeftWorkItems));
    Reported(plat::rule::UnloadLeftDevices);
    Reported(plat::rule::UnloadLeftLinks);
}

TEST_F(VerifierIoTest, AWellBehavedDriverUnloadsClean)
{
    BuildStack();
    TdRemoveDevice(ext);
    plat::VerifierCheckUnload(driver);
    EXPECT_EQ(ViolationCount(), 0u);
}

}  // namespace
}  // namespace tqtest
