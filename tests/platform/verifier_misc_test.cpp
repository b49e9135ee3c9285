// Proofs of the verifier rules not covered with the request rules: stack overflow, foreign
// IRPs, routines that return holding a spin lock, unlocked MDLs, work items and DPCs misused,
// interrupts left connected at unload, and routines called above their IRQL.
#include <plat/hw.h>

#include <thread>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

using VerifierMiscTest = KernelTest;

extern "C" NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device, irp);  // to itself: one location too many
}

TEST_F(VerifierMiscTest, PassingAnIrpWithNoStackLocationLeftIsReported)
{
    OneDevice d = MakeDevice("Loop", PassDown);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetNextIrpStackLocation(irp);  // the driver's mistake: it uses up the only location itself
    EXPECT_EQ(IoCallDriver(d.device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Reported(plat::rule::IrpStackOverflow));
    IoFreeIrp(irp);
    EXPECT_TRUE(Reported(plat::rule::IrpFreedInUse)) << "its location says a driver has it";
}

TEST_F(VerifierMiscTest, AnIrpTheIoManagerDidNotMakeIsReported)
{
    alignas(16) unsigned char fake[sizeof(IRP) + sizeof(IO_STACK_LOCATION)] = {};
    IoCompleteRequest(reinterpret_cast<PIRP>(fake), IO_NO_INCREMENT);
    EXPECT_TRUE(Reported(plat::rule::UnknownIrp));
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(Reported(plat::rule::IrpCompletedTwice)) << "a freed IRP";
}

TEST_F(VerifierMiscTest, ADpcOrWorkItemThatReturnsHoldingASpinLockIsReported)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(Reported(plat::rule::SpinLockHeldOnReturn));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);  // the DPC ran in this thread, which holds the lock now
    KeLowerIrql(old);
}

TEST_F(VerifierMiscTest, MappingAnUnlockedMdlIsReported)
{
    UCHAR buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr);
    EXPECT_TRUE(Reported(plat::rule::MdlNotLocked));
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), buffer);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
    IoFreeMdl(mdl);
}

TEST_F(VerifierMiscTest, MappingACallersPagesWithTheFormThatBugChecksIsReported)
{
    UCHAR buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;  // a caller's buffer, locked as the I/O manager locks it
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), buffer);
    EXPECT_TRUE(Reported(plat::rule::MapLockedPagesMayFail));
    MmUnmapLockedPages(buffer, mdl);
    // The form that may fail does, when the system page table entries run out.
    plat::InjectPoolFailureByTag(plat::PoolTag("PTE "), 1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
    EXPECT_EQ(ViolationCount(), 0u);
    IoFreeMdl(mdl);
}

TEST_F(VerifierMiscTest, ASynchronizationEventHeldAsALockOutsideACriticalRegionIsReported)
{
    KEVENT lock;
    KeInitializeEvent(&lock, SynchronizationEvent, TRUE);
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
    // Taken here and signalled by another thread: a hand-off, not a lock.
    KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr);
    std::thread([&] { KeSetEvent(&lock, IO_NO_INCREMENT, FALSE); }).join();
    EXPECT_EQ(ViolationCount(), 0u);

    KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&lock, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(Reported(plat::rule::LockOutsideCriticalRegion));
    KeLeaveCriticalRegion();
    EXPECT_TRUE(Reported(plat::rule::CriticalRegionUnbalanced));
}

TEST_F(VerifierMiscTest, QueueingAWorkItemTwiceOrAnUninitialisedDpcIsReported)
{
    static KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    static WORK_QUEUE_ITEM blocker, item;
    ExInitializeWorkItem(&blocker, [](PVOID) { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); },
                         nullptr);
    ExInitializeWorkItem(&item, [](PVOID) {}, nullptr);
    ExQueueWorkItem(&blocker, DelayedWorkQueue);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_TRUE(Reported(plat::rule::WorkItemRequeued));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    plat::FlushWorkItems();

    KDPC dpc = {};
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(Reported(plat::rule::DpcInvalid));
}

TEST_F(VerifierMiscTest, AnInterruptLeftConnectedAtUnloadIsReported)
{
    PDRIVER_OBJECT d = plat::CreateDriverObject("Connected");
    PKINTERRUPT interrupt;
    {
        plat::DriverScope scope(d);
        ASSERT_EQ(IoConnectInterrupt(&interrupt, [](PKINTERRUPT, PVOID) -> BOOLEAN { return FALSE; }, nullptr, nullptr,
                                     70, 5, 5, LevelSensitive, FALSE, 1, FALSE),
                  STATUS_SUCCESS);
    }
    plat::VerifierCheckUnload(d);
    EXPECT_TRUE(Reported(plat::rule::UnloadLeftInterrupts));
    IoDisconnectInterrupt(interrupt);
    plat::VerifierCheckUnload(d);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(VerifierMiscTest, PassiveLevelRoutinesCalledAtDispatchLevelAreReported)
{
    PDRIVER_OBJECT d = plat::CreateDriverObject("Raised");
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\Raised");
    RtlInitUnicodeString(&link, L"\\DosDevices\\Raised");
    PDEVICE_OBJECT device;
    HANDLE handle = reinterpret_cast<HANDLE>(4);
    PVOID object;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(IoCreateDevice(d, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_TRUE(Reported(plat::rule::RoutineAboveLimit));
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_TRUE(Reported(plat::rule::RoutineAboveLimit));
    ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr);
    EXPECT_TRUE(Reported(plat::rule::RoutineAboveLimit));
    KeLowerIrql(old);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
}

}  // namespace
}  // namespace tqtest
