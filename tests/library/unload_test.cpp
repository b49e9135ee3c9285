// Process attach and detach: what unload ends and closes, what detach sends, and the
// pair of routines the loader hooks run, called directly.
#include "library_fixture.h"
#include "message_window.h"

#include <cstring>

namespace tavlon_test {
namespace {

using UnloadTest = LibraryFixture;

const char kCountSignals[] = "ch0=count;ch1=count";

// The process detach (what the unload hook runs) while an acquisition runs and a
// notification thread waits stops the acquisition, ends the thread, closes the library's
// handles (the device's open count returns to 0); the library then leaves the process
// and tear-down runs the verifier's checks.
TEST_F(UnloadTest, DetachWithRunningAcquisitionAndWaitingThreadLeavesNothingBehind)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    const int threads = baselineThreads_;
    EXPECT_EQ(Driver().OpenCount, 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartIntr(4, 10, 0, 2, 10000, 0, 0), 42);
    ASSERT_TRUE(AdvanceUntilUnread(1));
    EXPECT_EQ(ThreadCount(), threads + 1);
    EXPECT_TRUE(Driver().HasUserEvent);

    EXPECT_GT(LiveHandles().size(), baselineHandles_.size());
    lib.ProcessDetach();
    EXPECT_TRUE(WaitForThreadCount(threads)) << "a notification thread is still running";
    EXPECT_EQ(LiveHandles(), baselineHandles_) << "a handle was left open";
    EXPECT_EQ(Driver().Running, 0);
    EXPECT_FALSE(Driver().HasUserEvent);
    EXPECT_EQ(Driver().OpenCount, 0);
    EXPECT_TRUE(UnloadLibrary()) << "the library stayed in the process";
}

// Threads left serving by earlier runs that the library did not stop (Initial while
// running stops the acquisition in the driver) are ended as well.
TEST_F(UnloadTest, DetachEndsThreadsLeftFromEarlierRuns)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    const int threads = baselineThreads_;
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), WM_APP, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    for (int run = 0; run < 3; ++run) {
        // Each run's thread serves one signal (so it is in its loop), then waits on.
        ASSERT_EQ(lib.StartIntr(4, 10, 0, 2, 10000, 0, 0), 42);
        ASSERT_TRUE(AdvanceUntilUnread(1));
        ASSERT_EQ(window.WaitFor(1).size(), 1u);
        ASSERT_EQ(lib.Initial(0, 0, 0, 0), 0);
        ASSERT_EQ(lib.GetLastADError(), 102);
        ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    }
    EXPECT_EQ(ThreadCount(), threads + 3);
    lib.ProcessDetach();
    EXPECT_TRUE(WaitForThreadCount(threads)) << "a notification thread is still running";
    EXPECT_EQ(LiveHandles(), baselineHandles_) << "a handle was left open";
    EXPECT_EQ(Driver().OpenCount, 0);
}

// Detach without an accepted Initial sends nothing: the driver's LastError keeps the
// code of the test's own last request (a malformed board command: 114).
TEST_F(UnloadTest, DetachWithoutInitialSendsNoRequest)
{
    ASSERT_TRUE(BootAndLoad());
    EXPECT_EQ(lib.IOCtl(0, nullptr, 0, nullptr), 0);
    ASSERT_EQ(DriverLastError(), 114);
    EXPECT_TRUE(UnloadLibrary());
    EXPECT_EQ(DriverLastError(), 114);

    // With Initial accepted, detach stops: IOCTL_STOP with nothing running leaves 110.
    ASSERT_TRUE(LoadLibrary());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    EXPECT_TRUE(UnloadLibrary());
    EXPECT_EQ(DriverLastError(), 110);
}

// The unload hook itself (dlclose) with a snapshot acquisition running: it stops the
// acquisition and closes every handle the library opened.
TEST_F(UnloadTest, UnloadingTheLibraryStopsARunningAcquisitionAndClosesItsHandles)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartSnapshot(1, 20, 0, 2, 10000, 0, 0, 0), 82);
    Advance(5'000'000);
    ASSERT_EQ(Driver().Running, 1);
    ASSERT_EQ(Driver().OpenCount, 1);
    lib.ProcessDetach = nullptr;  // the tear-down must not run the detach first
    EXPECT_TRUE(UnloadLibrary()) << "the library stayed in the process";
    EXPECT_EQ(Driver().Running, 0);
    EXPECT_EQ(Driver().OpenCount, 0);
    EXPECT_EQ(LiveHandles(), baselineHandles_) << "a handle was left open";
}

// The routines the loader hooks run can be called directly: detach then attach gives a
// library as fresh as at load (error 0, uninitialised, slots empty, device reopened).
TEST_F(UnloadTest, DirectDetachThenAttachRestoresLoadTimeState)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartIntr(4, 10, 0, 2, 10000, 0, 0), 42);
    ASSERT_EQ(lib.RegisterNotify(4, nullptr, 0, 0, 0), 0);
    ASSERT_EQ(lib.GetLastADError(), 13);
    lib.ProcessDetach();
    EXPECT_EQ(Driver().Running, 0);
    EXPECT_EQ(Driver().OpenCount, 0);
    EXPECT_TRUE(WaitForThreadCount(baselineThreads_)) << "a notification thread is still running";
    EXPECT_EQ(lib.Initial(0, 0, 0, 0), 0) << "detached: no device";
    EXPECT_EQ(lib.GetLastADError(), 2);
    lib.ProcessDetach();  // a second detach does nothing

    lib.ProcessAttach();
    EXPECT_EQ(lib.GetLastADError(), 0) << "attach starts from a clear error number";
    EXPECT_EQ(Driver().OpenCount, 1);
    EXPECT_EQ(lib.StopIntr(), 0);
    EXPECT_EQ(lib.GetLastADError(), 3) << "uninitialised after attach";
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartIntr(4, 10, 0, 2, 10000, 0, 0), 42);
    EXPECT_EQ(ThreadCount(), baselineThreads_ + 1);
    ASSERT_EQ(lib.StopIntr(), 1);
}

}  // namespace
}  // namespace tavlon_test

namespace tavlon_test {
namespace {

// dlclose while a notification thread waits returns at once: the thread holds its own
// reference on the library, so the library stays (its code cannot go from under the
// thread) and the acquisition keeps running. Loaded again, its stop ends the thread, whose
// reference goes with it, and the next dlclose takes the library out of the process.
TEST_F(UnloadTest, DlcloseWhileAThreadWaitsKeepsTheLibraryUntilTheThreadEnds)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartIntr(4, 10, 0, 2, 10000, 0, 0), 42);
    ASSERT_TRUE(AdvanceUntilUnread(1));
    lib.ProcessDetach = nullptr;  // the tear-down must not run the detach first
    EXPECT_FALSE(UnloadLibrary()) << "unloaded under its waiting notification thread";
    EXPECT_EQ(Driver().Running, 1);
    ASSERT_TRUE(LoadLibrary());
    EXPECT_EQ(lib.StopIntr(), 1) << "the reloaded library is the one that started";
    EXPECT_TRUE(WaitForThreadCount(baselineThreads_));
    EXPECT_TRUE(UnloadLibrary()) << "the library stayed after its last thread ended";
    EXPECT_EQ(Driver().OpenCount, 0);
}

}  // namespace
}  // namespace tavlon_test
