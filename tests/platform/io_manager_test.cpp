// The I/O manager: device and link namespaces, device stacks, and how completion runs up
// a stack (SL_INVOKE_ON_* flags, STATUS_MORE_PROCESSING_REQUIRED, PendingReturned).
#include <functional>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

UNICODE_STRING Name(const wchar_t *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// Per-test behaviour behind one dispatch entry point per layer.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gUpper;
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gLower;
extern "C" NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT d, PIRP irp) { return gUpper(d, irp); }
extern "C" NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT d, PIRP irp) { return gLower(d, irp); }

struct CompletionLog {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS result = STATUS_SUCCESS;
    KEVENT event;
};

extern "C" NTSTATUS NTAPI LoggingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *log = static_cast<CompletionLog *>(context);
    ++log->calls;
    log->device = device;
    log->pendingReturned = irp->PendingReturned;
    if (log->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) IoMarkIrpPending(irp);
    KeSetEvent(&log->event, IO_NO_INCREMENT, FALSE);
    return log->result;
}

class IoManagerTest : public KernelTest {
protected:
    void MakeTwoLayers()
    {
        lower = MakeDevice("Lower", LowerDispatch);
        upper = MakeDevice("Upper", UpperDispatch);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(upper.device, lower.device), lower.device);
    }
    OneDevice lower, upper;
};

TEST_F(IoManagerTest, DeviceNamesAreUniqueCaseInsensitiveAndFreedByDeletion)
{
    PDRIVER_OBJECT d = plat::CreateDriverObject("Names");
    UNICODE_STRING name = Name(L"\\Device\\Alpha");
    UNICODE_STRING other = Name(L"\\DEVICE\\alpha");
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(d, 32, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
    EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(d->DeviceObject, first);
    const UCHAR *extension = static_cast<const UCHAR *>(first->DeviceExtension);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(extension[i], 0) << "extension byte " << i;
    EXPECT_EQ(IoCreateDevice(d, 0, &other, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(first);
    EXPECT_EQ(d->DeviceObject, nullptr);
    ASSERT_EQ(IoCreateDevice(d, 0, &other, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\ALPHA"), second);
}

TEST_F(IoManagerTest, SymbolicLinksCollideAndDeleteOnce)
{
    UNICODE_STRING link = Name(L"\\DosDevices\\Beta");
    UNICODE_STRING sameLink = Name(L"\\??\\BETA");
    UNICODE_STRING target = Name(L"\\Device\\Beta");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&sameLink), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoManagerTest, AttachingStacksDevicesAndDetachingUnlinksThem)
{
    MakeTwoLayers();
    OneDevice third = MakeDevice("Third", UpperDispatch);
    EXPECT_EQ(upper.device->StackSize, 2);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(third.device, lower.device), upper.device);  // goes on the top
    EXPECT_EQ(third.device->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(lower.device), third.device);
    IoDetachDevice(upper.device);
    EXPECT_EQ(IoGetAttachedDevice(lower.device), upper.device);
    IoDetachDevice(lower.device);
    EXPECT_EQ(IoGetAttachedDevice(lower.device), lower.device);
}

// Whether a completion routine runs depends on the outcome and its SL_INVOKE_ON_* flags.
TEST_F(IoManagerTest, CompletionRoutineRunsOnlyForTheOutcomesItsFlagsName)
{
    struct Case {
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool invoked;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_DEVICE_POWERED_OFF, false, true, false, false, false},  // a warning is not NT_SUCCESS
        {STATUS_DEVICE_POWERED_OFF, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {STATUS_CANCELLED, true, false, false, true, true},
        {STATUS_CANCELLED, false, false, false, true, false},
        {STATUS_CANCELLED, true, true, false, false, false},
    };
    MakeTwoLayers();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "status " << std::hex << c.status << " cancel " << c.cancel);
        CompletionLog log;
        KeInitializeEvent(&log.event, NotificationEvent, FALSE);
        gLower = [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancel;
            irp->IoStatus.Status = c.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        };
        gUpper = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LoggingCompletion, &log, c.onSuccess, c.onError, c.onCancel);
            return IoCallDriver(lower.device, irp);
        };
        EXPECT_EQ(SendIrp(upper.device, IRP_MJ_DEVICE_CONTROL), c.status);
        EXPECT_EQ(log.calls, c.invoked ? 1 : 0);
        if (log.calls) {
            EXPECT_EQ(log.device, upper.device) << "the routine gets the device of its own layer";
        }
    }
}

// Send-down-and-wait: the upper layer takes the IRP back with STATUS_MORE_PROCESSING_REQUIRED,
// finishes it with a status of its own, and only then does completion reach the sender.
TEST_F(IoManagerTest, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    MakeTwoLayers();
    CompletionLog log;
    log.result = STATUS_MORE_PROCESSING_REQUIRED;
    KeInitializeEvent(&log.event, NotificationEvent, FALSE);
    NTSTATUS seenByUpper = 0;
    gLower = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    };
    gUpper = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower.device, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&log.event, Executive, KernelMode, FALSE, nullptr);
        seenByUpper = irp->IoStatus.Status;
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    };
    EXPECT_EQ(SendIrp(upper.device, IRP_MJ_PNP), STATUS_DEVICE_BUSY);
    EXPECT_EQ(seenByUpper, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.calls, 1);
}

// A lower driver pends the IRP and completes it later from another context; an upper layer
// that skipped its location has no routine, so the I/O manager carries PendingReturned up.
TEST_F(IoManagerTest, PendingReturnedReachesTheSenderThroughSkippedLayers)
{
    MakeTwoLayers();
    PIRP held = nullptr;
    gLower = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    gUpper = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower.device, irp);
    };
    PIRP irp = IoAllocateIrp(upper.device->StackSize + 1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);  // the sender's own location, for its completion routine
    CompletionLog log;
    KeInitializeEvent(&log.event, NotificationEvent, FALSE);
    log.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper.device, irp), STATUS_PENDING);
    EXPECT_EQ(log.calls, 0);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(log.pendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IoManagerTest, DefaultDispatchRefusesAnUnhandledMajorFunction)
{
    BuildStack();
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_WRITE), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IoManagerTest, CancelCallsTheRoutineOnceWithTheCancelLockHeld)
{
    BuildStack();
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = TD_IOCTL_PEND;
    CompletionLog log;
    log.result = STATUS_MORE_PROCESSING_REQUIRED;
    KeInitializeEvent(&log.event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine is left to call";
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace tqtest
