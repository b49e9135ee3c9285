#include "kernel_fixture.h"

#include <algorithm>

namespace tqtest {
namespace {

extern "C" NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void KernelTest::SetUp()
{
    plat::ResetMachine();
    TdBusStatus = STATUS_SUCCESS;
    plat::SetVerifierHandler([this](const plat::VerifierViolation &v) {
        std::lock_guard<std::mutex> guard(lock_);
        violations_.push_back(v);
    });
}

void KernelTest::TearDown()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto &v : violations_)
            ADD_FAILURE() << "unexpected verifier report: " << v.rule << " by " << v.routine << ": " << v.detail;
        violations_.clear();
    }
    plat::ResetMachine();
    plat::SetVerifierHandler({});
}

bool KernelTest::Reported(const char *rule)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto end = std::remove_if(violations_.begin(), violations_.end(),
                              [&](const plat::VerifierViolation &v) { return v.rule == rule; });
    bool found = end != violations_.end();
    violations_.erase(end, violations_.end());
    return found;
}

std::size_t KernelTest::ViolationCount()
{
    std::lock_guard<std::mutex> guard(lock_);
    return violations_.size();
}

void KernelTest::BuildStack()
{
    busDriver = plat::CreateDriverObject("TdBus");
    ASSERT_EQ(TdBusDriverEntry(busDriver, nullptr), STATUS_SUCCESS);
    {
        plat::DriverScope scope(busDriver);
        ASSERT_EQ(IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    driver = plat::CreateDriverObject("TestDrv");
    plat::DriverScope scope(driver);
    ASSERT_EQ(TdDriverEntry(driver, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(driver->DriverExtension->AddDevice(driver, pdo), STATUS_SUCCESS);
    fdo = driver->DeviceObject;
    ext = static_cast<TdExtension *>(fdo->DeviceExtension);
}

NTSTATUS KernelTest::SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    IoSetCompletionRoutine(irp, TakeBack, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

OneDevice MakeDevice(const char *name, PDRIVER_DISPATCH dispatch, ULONG extensionSize)
{
    OneDevice d;
    d.driver = plat::CreateDriverObject(name);
    for (auto &entry : d.driver->MajorFunction) entry = dispatch;
    plat::DriverScope scope(d.driver);
    IoCreateDevice(d.driver, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d.device);
    d.device->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
}

}  // namespace tqtest
