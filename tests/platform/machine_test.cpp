// Booting the simulated machine from its module, as the Win32 stand-in does for a program
// that only opens the device, and resetting the kernel stand-in between tests.
#include <plat/hw.h>
#include <plat/machine.h>
#include <plat/user_io.h>

#include <cstdio>
#include <cstdlib>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

// Set by the exit test: the process's unload code shuts the machine down, as the Win32
// stand-in does when a program exits with the machine up.
bool gShutDownAtUnload = false;
__attribute__((destructor)) void ShutDownAtUnload()
{
    if (gShutDownAtUnload) plat::ShutdownMachine();
}

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

// At process exit the machine is shut down from unload code, after static destructors and
// thread-local destructors have run: the kernel must still be intact, and the driver must
// see the cleanup and close of the handle left open.
TEST_F(MachineTest, AProcessThatExitsWithTheMachineUpShutsItDownCleanly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            BuildStack();
            HANDLE h;
            if (plat::OpenDevicePath("\\\\.\\TestDev", &h) != STATUS_SUCCESS) std::_Exit(2);
            static TdExtension *watched = ext;
            plat::SetMachineBooted([] {
                std::fprintf(stderr, "shutdown: cleanups %ld closes %ld\n", static_cast<long>(watched->Cleanups),
                             static_cast<long>(watched->Closes));
            });
            plat::SetClockMode(plat::ClockMode::RealTime);  // machine threads still running at exit
            gShutDownAtUnload = true;
            std::exit(0);
        },
        testing::ExitedWithCode(0), "shutdown: cleanups 1 closes 1");
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
