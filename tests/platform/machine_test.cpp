// Booting the simulated machine from its module, as the Win32 stand-in does for a program
// that only opens the device, and resetting the kernel stand-in between tests.
#include <plat/hw.h>
#include <plat/machine.h>
#include <plat/user_io.h>

#include <cstdlib>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

// Reads the test driver's cleanup count during a reset, while its device still exists.
TdExtension *gWatched = nullptr;
LONG gCleanupsAtReset = -1;
void RecordCleanups()
{
    if (gWatched != nullptr) gCleanupsAtReset = gWatched->Cleanups;
    gWatched = nullptr;
}

class MachineTest : public KernelTest {
protected:
    void TearDown() override
    {
        unsetenv("TQ_MACHINE_MODULE");
        unsetenv("TQ_TEST_MACHINE_FAIL");
        KernelTest::TearDown();
    }
};

TEST_F(MachineTest, TheModuleIsLoadedOnceAndShutDownWithTheMachine)
{
    setenv("TQ_MACHINE_MODULE", TQ_TEST_MACHINE_MODULE, 1);
    ASSERT_TRUE(plat::EnsureMachineBooted());
    EXPECT_TRUE(plat::MachineBooted());
    PDEVICE_OBJECT probe = plat::FindDeviceByName(L"\\Device\\MachineProbe");
    ASSERT_NE(probe, nullptr);
    EXPECT_TRUE(plat::EnsureMachineBooted());
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\MachineProbe"), probe) << "booted once";
    plat::ShutdownMachine();
    EXPECT_FALSE(plat::MachineBooted());
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\MachineProbe"), nullptr);
}

TEST_F(MachineTest, AMissingModuleOrAFailedBootLeavesNoMachine)
{
    setenv("TQ_MACHINE_MODULE", "/nonexistent/libtq4815machine.so", 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(plat::EnsureMachineBooted());
    setenv("TQ_MACHINE_MODULE", TQ_TEST_MACHINE_MODULE, 1);
    setenv("TQ_TEST_MACHINE_FAIL", "1", 1);
    EXPECT_FALSE(plat::EnsureMachineBooted());
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_NE(messages.find("cannot load"), std::string::npos);
    EXPECT_NE(messages.find("failed (3)"), std::string::npos);
    EXPECT_FALSE(plat::MachineBooted());
}

TEST_F(MachineTest, ResetReturnsEveryPartToItsBootState)
{
    BuildStack();
    HANDLE h;
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &h), STATUS_SUCCESS);
    ExAllocatePoolWithTag(NonPagedPool, 8, plat::PoolTag("Left"));
    plat::InjectPoolFailure(1);
    plat::SetDirectIoMdlMapped(true);
    plat::AdvanceBy(12345);
    plat::AddResetHook(RecordCleanups);
    gWatched = ext;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    plat::ResetMachine();
    EXPECT_EQ(gCleanupsAtReset, 1) << "open handles are closed first, as at a process exit";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(plat::Now(), 0u);
    EXPECT_EQ(plat::PoolBlocksOutstanding(), 0u);
    EXPECT_EQ(plat::PoolAllocationAttempts(), 0u);
    EXPECT_FALSE(plat::DirectIoMdlMapped());
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\TestDev"), nullptr);
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, plat::PoolTag("New "));
    EXPECT_NE(p, nullptr) << "no failure injection survives a reset";
    ExFreePool(p);
    ext = nullptr;
}

}  // namespace
}  // namespace tqtest
