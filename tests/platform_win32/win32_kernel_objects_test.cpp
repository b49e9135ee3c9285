// KERNEL32 kernel objects: events (auto and manual reset, initial state, names), waits
// with time-outs, thread handles that are waitable and carry exit codes, CREATE_SUSPENDED,
// handle rules (bad and closed handles, pseudo handles) and the per-thread last error.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_device_driver.h"

namespace {

// Leaves the kernel stand-in as it found it: objects freed, handle table empty.
class KernelResetEnvironment : public ::testing::Environment {
public:
    void TearDown() override { testdev::ResetMachine(); }
};
const auto *const g_resetEnvironment = ::testing::AddGlobalTestEnvironment(new KernelResetEnvironment);

// Generous bound for waits that must end; reaching it means the wait hung.
constexpr DWORD kHangGuardMs = 30000;

TEST(Win32Events, ResetModesAndInitialStateGiveTheWindowsWaitResults)
{
    // Each row: reset mode, initial state, then the results of three zero-time-out waits,
    // and of three more after one SetEvent.
    struct Case {
        const char *what;
        BOOL manual;
        BOOL initial;
        DWORD before[3];
        DWORD afterSet[3];
    } cases[] = {
        {"auto, clear", FALSE, FALSE, {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT}, {WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT}},
        {"auto, set", FALSE, TRUE, {WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT}, {WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT}},
        {"manual, clear", TRUE, FALSE, {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_TIMEOUT}, {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {"manual, set", TRUE, TRUE, {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}, {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE event = CreateEventA(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(event, nullptr);
        ASSERT_NE(event, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(event) >> 32, 0u);  // fits a 32-bit handle field
        for (DWORD expected : c.before)
            EXPECT_EQ(WaitForSingleObject(event, 0), expected);
        ASSERT_TRUE(SetEvent(event));
        for (DWORD expected : c.afterSet)
            EXPECT_EQ(WaitForSingleObject(event, 0), expected);
        ASSERT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(Win32Events, TimedWaitOnAClearEventTimesOutAfterItsTime)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 40), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    CloseHandle(event);
}

TEST(Win32Events, SetFromAnotherThreadEndsAnInfiniteWait)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<bool> setCalled{false};
    std::thread setter([&] {
        Sleep(20);
        setCalled = true;
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(setCalled.load());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the wait consumed the signal
    setter.join();
    CloseHandle(event);
}

TEST(Win32Events, EachAutoResetSignalReleasesExactlyOneWaiter)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        EXPECT_EQ(WaitForSingleObject(event, kHangGuardMs), WAIT_OBJECT_0);
        ++woken;
    };
    std::thread a(waiter), b(waiter);
    Sleep(30);  // both waiting (if not, the signal is still kept for the late one)
    ASSERT_TRUE(SetEvent(event));
    while (woken.load() < 1)
        Sleep(1);
    Sleep(50);
    EXPECT_EQ(woken.load(), 1);
    ASSERT_TRUE(SetEvent(event));
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    CloseHandle(event);
}

TEST(Win32Events, NamedEventsShareOneObjectWhileAHandleIsOpen)
{
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "TqWin32TestEvent");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "TqWin32TestEvent");  // mode and state ignored
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first, second);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // manual reset, as created first
    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "TqWin32TestEvent");
    ASSERT_NE(opened, nullptr);
    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);  // still the same, still set
    CloseHandle(opened);
    // The last handle took the name with it.
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "TqWin32TestEvent"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE fresh = CreateEventA(nullptr, FALSE, FALSE, "TqWin32TestEvent");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    CloseHandle(fresh);
}

TEST(Win32Handles, BadHandlesAreRefusedWithInvalidHandle)
{
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    const HANDLE never = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF0));
    struct Case {
        const char *what;
        HANDLE handle;
    } cases[] = {{"null", nullptr}, {"closed", closed}, {"never issued", never}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(c.handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(c.handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(ResetEvent(c.handle));
        EXPECT_EQ(WaitForSingleObject(c.handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // Closing a pseudo handle does nothing and succeeds.
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), WAIT_TIMEOUT);  // never signalled while it runs
}

DWORD WINAPI WaitThenReturn(LPVOID parameter)
{
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 0x1234;
}

TEST(Win32Threads, ThreadHandleIsSignalledWhenTheThreadEnds)
{
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, release, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(thread), id);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    ASSERT_TRUE(SetEvent(release));
    EXPECT_EQ(WaitForSingleObject(thread, kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0x1234u);
    EXPECT_FALSE(SetEvent(thread));  // a thread is not an event
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(release);
}

std::atomic<DWORD> g_idSeenInside{0};
DWORD WINAPI RecordId(LPVOID)
{
    g_idSeenInside = GetCurrentThreadId();
    return 7;
}

TEST(Win32Threads, SuspendedThreadRunsOnlyAfterResume)
{
    g_idSeenInside = 0;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, RecordId, nullptr, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 30), WAIT_TIMEOUT);
    EXPECT_EQ(g_idSeenInside.load(), 0u);
    EXPECT_EQ(ResumeThread(thread), 1u);  // the previous suspend count
    EXPECT_EQ(WaitForSingleObject(thread, kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(g_idSeenInside.load(), id);
    EXPECT_EQ(ResumeThread(thread), 0u);
    CloseHandle(thread);
}

TEST(Win32Threads, ClosingTheHandleEarlyLetsTheThreadFinish)
{
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, release, 0, &id);
    ASSERT_NE(thread, nullptr);
    HANDLE second = OpenThread(SYNCHRONIZE, FALSE, id);  // a second handle of the same thread
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(second, kHangGuardMs), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(second, &code));
    EXPECT_EQ(code, 0x1234u);
    // An ended thread's id stays valid while a handle of it is open.
    HANDLE third = OpenThread(SYNCHRONIZE, FALSE, id);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(WaitForSingleObject(third, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(third));
    // Not once the last one is closed.
    EXPECT_EQ(OpenThread(SYNCHRONIZE, FALSE, id), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(release);
}

TEST(Win32Threads, ThreadsStartedElsewhereCanBeOpenedAndWaitedFor)
{
    std::atomic<DWORD> id{0};
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread plain([&] {
        id = GetCurrentThreadId();
        WaitForSingleObject(release, INFINITE);
    });
    while (id.load() == 0)
        Sleep(1);
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    SetEvent(release);
    plain.join();
    EXPECT_EQ(WaitForSingleObject(thread, kHangGuardMs), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(release);
}

TEST(Win32Threads, CreateThreadRefusesAMissingStartRoutine)
{
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Win32Threads, LastErrorBelongsToEachThread)
{
    SetLastError(111);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(222);
        EXPECT_EQ(GetLastError(), 222u);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 111u);
}

TEST(Win32Time, TickCountAndSleepAgree)
{
    const DWORD before = GetTickCount();
    const ULONGLONG before64 = GetTickCount64();
    Sleep(25);
    EXPECT_GE(GetTickCount() - before, 25u);
    EXPECT_GE(GetTickCount64() - before64, 25u);
    LARGE_INTEGER frequency, a, b;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    Sleep(5);
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE((b.QuadPart - a.QuadPart) * 1000 / frequency.QuadPart, 5);
}

}  // namespace
