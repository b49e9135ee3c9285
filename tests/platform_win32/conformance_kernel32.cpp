// Conformance of the KERNEL32 subset the library relies on: opening a device that is not
// there, device control and closing on handles that are not open device handles, the
// Win32 error of every status a driver completes a request with, the state an OVERLAPPED
// record tells GetOverlappedResult, cancelling where nothing is in flight, events
// (auto-reset and manual-reset, set, reset, waits with and without time-out, across
// threads) and threads (start, parameter, identifier, suspended start, exit code).
//
// Written only against the Win32 API, it is built for Linux against the Win32 stand-in
// and for Windows with mingw-w64 (run under Wine): both must pass, so the stand-in keeps
// the behaviour the library would meet on the real platform.
#include <windows.h>
#include <winternl.h>

#include <string.h>

#include <atomic>
#include <initializer_list>
#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "conformance_check.h"

namespace {

// A device name nothing registers, here or on any Windows system.
const char kAbsentDevice[] = "\\\\.\\Tq4815Absent";
// A control code of the device-control range the library uses.
const DWORD kSomeControlCode = 0x222048;

// Generous bound for an event that another thread is about to signal: reaching it means
// the thread never got there, never that the machine is slow.
const DWORD kLiveness = 10000;

// A handle value that was open and has been closed since.
HANDLE ClosedHandle()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(event);
    return event;
}

void CreateFileOnAnAbsentDeviceFailsWithFileNotFound()
{
    struct Case {
        DWORD access;
        DWORD share;
        DWORD disposition;
    } cases[] = {
        {GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING},  // what the library asks for
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING},
        {0, 0, OPEN_EXISTING},
    };
    for (const Case &c : cases) {
        SetLastError(0xDEADu);
        HANDLE h = CreateFileA(kAbsentDevice, c.access, c.share, nullptr, c.disposition, 0, nullptr);
        CHECK_EQ(h, INVALID_HANDLE_VALUE);
        CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

void CreateFileTellsAMissingDeviceFromAMissingPathAndABadRequest()
{
    struct Case {
        const char *path;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {"//./Tq4815Absent", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},  // either separator
        {"\\\\.\\Tq4815Absent\\more", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {"\\\\.\\Tq4815Absent\\", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {kAbsentDevice, 99, ERROR_INVALID_PARAMETER},  // no such disposition
        {kAbsentDevice, 0, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SetLastError(0xDEADu);
        HANDLE h = CreateFileA(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition, 0, nullptr);
        printf("  CreateFileA(\"%s\", disposition %u)\n", c.path, static_cast<unsigned>(c.disposition));
        CHECK_EQ(h, INVALID_HANDLE_VALUE);
        CHECK_EQ(GetLastError(), c.error);
    }
}

void DeviceIoControlOnAHandleThatIsNoOpenDeviceFailsWithInvalidHandle()
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    struct Case {
        const char *what;
        HANDLE handle;
    } cases[] = {
        {"invalid-handle value (what a failed open leaves)", INVALID_HANDLE_VALUE},
        {"null handle", nullptr},
        {"closed handle", ClosedHandle()},
        {"event handle", event},
        {"current-thread pseudo handle", GetCurrentThread()},
    };
    for (const Case &c : cases) {
        DWORD out = 0x5A5A5A5Au;
        DWORD returned = 0;
        SetLastError(0xDEADu);
        BOOL ok = DeviceIoControl(c.handle, kSomeControlCode, nullptr, 0, &out, sizeof out, &returned, nullptr);
        printf("  DeviceIoControl on %s\n", c.what);
        CHECK_EQ(ok, FALSE);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        CHECK_EQ(out, 0x5A5A5A5Au);  // nothing was written to the output buffer
    }
    CloseHandle(event);
}

// The NTSTATUS values a driver, the I/O manager and the system complete device requests
// with, and the Win32 error DeviceIoControl and GetOverlappedResult report for each.
void EveryRequestStatusTranslatesToItsWin32Error()
{
    struct Case {
        uint32_t status;
        DWORD error;
    } cases[] = {
        {0x00000000, ERROR_SUCCESS},
        {0x00000102, ERROR_TIMEOUT},              // STATUS_TIMEOUT
        {0x00000103, ERROR_IO_PENDING},           // STATUS_PENDING
        {0x80000005, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
        {0x8000000F, ERROR_NOT_READY},            // STATUS_DEVICE_POWERED_OFF
        {0x80000011, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
        {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
        {0xC0000002, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
        {0xC0000005, ERROR_NOACCESS},             // STATUS_ACCESS_VIOLATION
        {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
        {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
        {0xC000000E, 433},                        // STATUS_NO_SUCH_DEVICE: ERROR_NO_SUCH_DEVICE
        {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
        {0xC0000016, ERROR_MORE_DATA},            // STATUS_MORE_PROCESSING_REQUIRED
        {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
        {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
        {0xC0000024, ERROR_INVALID_HANDLE},       // STATUS_OBJECT_TYPE_MISMATCH
        {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
        {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
        {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
        {0xC00000A3, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
        {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
        {0xC00000C0, ERROR_DEV_NOT_EXIST},        // STATUS_DEVICE_DOES_NOT_EXIST
        {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
        {0xC0000182, ERROR_INVALID_PARAMETER},    // STATUS_DEVICE_CONFIGURATION_ERROR
        {0xC0000184, ERROR_BAD_COMMAND},          // STATUS_INVALID_DEVICE_STATE
        {0xC0000185, ERROR_IO_DEVICE},            // STATUS_IO_DEVICE_ERROR
        {0xC0000225, ERROR_NOT_FOUND},            // STATUS_NOT_FOUND
        {0xC00002B6, ERROR_DEVICE_REMOVED},       // STATUS_DEVICE_REMOVED
        {0xC00002D3, ERROR_NOT_READY},            // STATUS_POWER_STATE_INVALID
        {0xC0070015, ERROR_NOT_READY},            // a Win32 error carried as a status
        {0xC0DE0001, ERROR_MR_MID_NOT_FOUND},     // no Win32 equivalent
    };
    for (const Case &c : cases) {
        printf("  status 0x%08lx\n", static_cast<unsigned long>(c.status));
        CHECK_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(c.status)), c.error);
    }
}

// GetOverlappedResult reads the record: pending until the status word changes, then the
// byte count and the status's Win32 error (warnings fail too, with their data counted).
void GetOverlappedResultReportsTheRecordsState()
{
    struct Case {
        uint32_t status;
        DWORD bytes;
        BOOL result;
        DWORD error;
    } cases[] = {
        {0x00000103, 7, FALSE, ERROR_IO_INCOMPLETE},  // still pending, not waited for
        {0x00000000, 7, TRUE, 0xDEADu},
        {0x80000005, 7, FALSE, ERROR_MORE_DATA},
        {0x8000000F, 7, FALSE, ERROR_NOT_READY},
        {0xC0000120, 0, FALSE, ERROR_OPERATION_ABORTED},
        {0xC000000D, 0, FALSE, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        OVERLAPPED ov;
        memset(&ov, 0, sizeof ov);
        ov.Internal = c.status;
        ov.InternalHigh = c.bytes;
        DWORD bytes = 0x5A5Au;
        SetLastError(0xDEADu);
        printf("  record status 0x%08lx\n", static_cast<unsigned long>(c.status));
        CHECK_EQ(GetOverlappedResult(nullptr, &ov, &bytes, FALSE), c.result);
        CHECK_EQ(GetLastError(), c.error);
        CHECK_EQ(bytes, c.status == 0x00000103 ? 0x5A5Au : c.bytes);
        // A completed record is not waited for, whatever its handle and event.
        if (c.status != 0x00000103)
            CHECK_EQ(GetOverlappedResult(nullptr, &ov, &bytes, TRUE), c.result);
    }
}

// A request refused before it reached a driver leaves its record pending (DeviceIoControl
// marks it so first); with nothing in flight, cancelling finds nothing.
void RefusedOverlappedRequestsAndCancellingWithNothingInFlight()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Case {
        HANDLE bad;
        bool cancelAcceptedOnWine;  // Wine's cancel does not look the handle up first
    } cases[] = {{INVALID_HANDLE_VALUE, true}, {nullptr, false}, {ClosedHandle(), true}};
    for (const Case &c : cases) {
        OVERLAPPED ov;
        memset(&ov, 0, sizeof ov);
        ov.hEvent = event;
        DWORD out = 0;
        printf("  handle %p\n", c.bad);
        SetLastError(0xDEADu);
        CHECK_EQ(DeviceIoControl(c.bad, kSomeControlCode, nullptr, 0, &out, sizeof out, nullptr, &ov), FALSE);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        CHECK_EQ(ov.Internal, 0x00000103u);
        CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

        SetLastError(0xDEADu);
        KNOWN_DIVERGENCE(c.cancelAcceptedOnWine ? conformance::kOnWine : 0,
                         "Wine's CancelIoEx reports success for a handle that names no file")
        {
            CHECK_EQ(CancelIoEx(c.bad, nullptr), FALSE);
            CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        }
    }
    SetLastError(0xDEADu);
    CHECK_EQ(CancelSynchronousIo(GetCurrentThread()), FALSE);
    CHECK_EQ(GetLastError(), ERROR_NOT_FOUND);
    CloseHandle(event);
}

void CloseHandleClosesOnceAndRefusesWhatIsNotOpen()
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CHECK(event != nullptr);
    CHECK_EQ(CloseHandle(event), TRUE);

    SetLastError(0xDEADu);
    CHECK_EQ(CloseHandle(event), FALSE);  // the second close of the same value
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    SetLastError(0xDEADu);
    CHECK_EQ(CloseHandle(nullptr), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // The library closes the device handle only when the open succeeded; closing the
    // invalid-handle value (the current-process pseudo handle) has no effect either way.
    CHECK_EQ(CloseHandle(INVALID_HANDLE_VALUE), TRUE);
    CHECK_EQ(CloseHandle(GetCurrentProcess()), TRUE);
}

void AutoResetEventReleasesOneWaitAndResetsItself()
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CHECK(event != nullptr);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // created not signalled

    CHECK_EQ(SetEvent(event), TRUE);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the wait consumed the signal

    // Signals do not count: two sets before a wait release one wait.
    CHECK_EQ(SetEvent(event), TRUE);
    CHECK_EQ(SetEvent(event), TRUE);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    // ResetEvent takes back a signal nobody consumed, and is harmless on a reset event.
    CHECK_EQ(SetEvent(event), TRUE);
    CHECK_EQ(ResetEvent(event), TRUE);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CHECK_EQ(ResetEvent(event), TRUE);
    CHECK_EQ(CloseHandle(event), TRUE);

    HANDLE initiallySet = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    CHECK_EQ(WaitForSingleObject(initiallySet, INFINITE), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(initiallySet, 0), WAIT_TIMEOUT);
    CloseHandle(initiallySet);
}

void ManualResetEventStaysSignalledUntilReset()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CHECK(event != nullptr);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CHECK_EQ(SetEvent(event), TRUE);
    for (int i = 0; i < 3; ++i)
        CHECK_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    CHECK_EQ(ResetEvent(event), TRUE);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);

    HANDLE initiallySet = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CHECK_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
    CloseHandle(initiallySet);
}

void TimedWaitOnAnUnsignalledEventTimesOutNoEarlier()
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // The tick count advances in steps of up to 16 ms on Windows: allow one step.
    const DWORD timeouts[] = {1, 30, 120};
    for (DWORD timeout : timeouts) {
        const DWORD start = GetTickCount();
        CHECK_EQ(WaitForSingleObject(event, timeout), WAIT_TIMEOUT);
        const DWORD elapsed = GetTickCount() - start;
        CHECK(elapsed + 16 >= timeout);
    }
    CloseHandle(event);
}

struct DelayedSet {
    HANDLE event;
    DWORD delayMs;
};

DWORD WINAPI SetAfterDelay(LPVOID parameter)
{
    auto *d = static_cast<DelayedSet *>(parameter);
    Sleep(d->delayMs);
    SetEvent(d->event);
    return 0;
}

void ATimedWaitEndsWhenAnotherThreadSetsTheEvent()
{
    // A wait with a time-out is released by the set, not by the time-out, and takes the
    // signal of an auto-reset event with it.
    const BOOL manualReset[] = {FALSE, TRUE};
    for (BOOL manual : manualReset) {
        HANDLE event = CreateEventA(nullptr, manual, FALSE, nullptr);
        DelayedSet set{event, 50};
        HANDLE thread = CreateThread(nullptr, 0, SetAfterDelay, &set, 0, nullptr);
        CHECK_EQ(WaitForSingleObject(event, kLiveness), WAIT_OBJECT_0);
        CHECK_EQ(WaitForSingleObject(event, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(event);
    }
}

struct ThreadProbe {
    DWORD seenId = 0;
    LPVOID seenParameter = nullptr;
    std::atomic<int> ran{0};
};

DWORD WINAPI ProbeMain(LPVOID parameter)
{
    auto *probe = static_cast<ThreadProbe *>(parameter);
    probe->seenId = GetCurrentThreadId();
    probe->seenParameter = parameter;
    probe->ran.store(1);
    return 0x1234u;
}

void EventOperationsOnHandlesThatAreNoEventFail()
{
    HANDLE closed = ClosedHandle();
    HANDLE handles[] = {nullptr, closed};
    for (HANDLE h : handles) {
        SetLastError(0xDEADu);
        CHECK_EQ(SetEvent(h), FALSE);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0xDEADu);
        CHECK_EQ(ResetEvent(h), FALSE);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0xDEADu);
        CHECK_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0xDEADu);
        CHECK_EQ(WaitForSingleObject(h, 50), WAIT_FAILED);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    // A thread can be waited on but not set or reset.
    ThreadProbe probe;
    HANDLE thread = CreateThread(nullptr, 0, ProbeMain, &probe, CREATE_SUSPENDED, nullptr);
    SetLastError(0xDEADu);
    CHECK_EQ(SetEvent(thread), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0xDEADu);
    CHECK_EQ(ResetEvent(thread), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CHECK_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    ResumeThread(thread);
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CloseHandle(thread);
}

// A thread that announces it is about to wait, waits on an event without time-out and
// counts its release.
struct Waiter {
    HANDLE event = nullptr;
    HANDLE ready = nullptr;     // manual-reset: set just before the wait
    HANDLE released = nullptr;  // auto-reset: set after the wait returned
    std::atomic<int> *count = nullptr;
    DWORD waitResult = 0xFFFFu;
};

DWORD WINAPI WaiterMain(LPVOID parameter)
{
    auto *w = static_cast<Waiter *>(parameter);
    SetEvent(w->ready);
    w->waitResult = WaitForSingleObject(w->event, INFINITE);
    w->count->fetch_add(1);
    SetEvent(w->released);
    return 0;
}

void EachSignalOfAnAutoResetEventReleasesExactlyOneWaitingThread()
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> count{0};
    Waiter waiters[2];
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        waiters[i].event = event;
        waiters[i].ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        waiters[i].released = released;
        waiters[i].count = &count;
        threads[i] = CreateThread(nullptr, 0, WaiterMain, &waiters[i], 0, nullptr);
        CHECK(threads[i] != nullptr);
        CHECK_EQ(WaitForSingleObject(waiters[i].ready, kLiveness), WAIT_OBJECT_0);
    }
    Sleep(50);  // let both reach their wait (if one has not, the signal waits for it)
    CHECK_EQ(count.load(), 0);

    CHECK_EQ(SetEvent(event), TRUE);
    CHECK_EQ(WaitForSingleObject(released, kLiveness), WAIT_OBJECT_0);
    Sleep(100);
    CHECK_EQ(count.load(), 1);  // the other thread still waits
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // and the signal is spent

    CHECK_EQ(SetEvent(event), TRUE);
    CHECK_EQ(WaitForSingleObject(released, kLiveness), WAIT_OBJECT_0);
    for (int i = 0; i < 2; ++i) {
        CHECK_EQ(WaitForSingleObject(threads[i], kLiveness), WAIT_OBJECT_0);
        CHECK_EQ(waiters[i].waitResult, WAIT_OBJECT_0);
        CloseHandle(threads[i]);
        CloseHandle(waiters[i].ready);
    }
    CHECK_EQ(count.load(), 2);
    CloseHandle(released);
    CloseHandle(event);
}

void OneSignalOfAManualResetEventReleasesEveryWaitingThread()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> count{0};
    Waiter waiters[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        waiters[i].event = event;
        waiters[i].ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        waiters[i].released = released;
        waiters[i].count = &count;
        threads[i] = CreateThread(nullptr, 0, WaiterMain, &waiters[i], 0, nullptr);
        CHECK_EQ(WaitForSingleObject(waiters[i].ready, kLiveness), WAIT_OBJECT_0);
    }
    CHECK_EQ(SetEvent(event), TRUE);
    for (int i = 0; i < 3; ++i) {
        CHECK_EQ(WaitForSingleObject(threads[i], kLiveness), WAIT_OBJECT_0);
        CHECK_EQ(waiters[i].waitResult, WAIT_OBJECT_0);
        CloseHandle(threads[i]);
        CloseHandle(waiters[i].ready);
    }
    CHECK_EQ(count.load(), 3);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // still signalled
    CloseHandle(released);
    CloseHandle(event);
}

void CreateThreadRunsTheRoutineWithItsParameterAndReportsItsIdentity()
{
    ThreadProbe probe;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ProbeMain, &probe, 0, &id);
    CHECK(thread != nullptr);
    CHECK(id != 0);
    CHECK(id != GetCurrentThreadId());
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CHECK_EQ(probe.seenId, id);
    CHECK_EQ(probe.seenParameter, &probe);
    DWORD exitCode = 0;
    CHECK_EQ(GetExitCodeThread(thread, &exitCode), TRUE);
    CHECK_EQ(exitCode, 0x1234u);
    // An ended thread stays signalled.
    CHECK_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CHECK_EQ(CloseHandle(thread), TRUE);

    // The identifier is optional (the library keeps it, others need not).
    ThreadProbe second;
    HANDLE anonymous = CreateThread(nullptr, 0, ProbeMain, &second, 0, nullptr);
    CHECK(anonymous != nullptr);
    CHECK_EQ(WaitForSingleObject(anonymous, kLiveness), WAIT_OBJECT_0);
    CHECK_EQ(second.ran.load(), 1);
    CloseHandle(anonymous);
}

void ASuspendedThreadRunsOnlyOnceResumed()
{
    ThreadProbe probe;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ProbeMain, &probe, CREATE_SUSPENDED, &id);
    CHECK(thread != nullptr);
    Sleep(50);
    CHECK_EQ(probe.ran.load(), 0);
    CHECK_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    DWORD exitCode = 0;
    CHECK_EQ(GetExitCodeThread(thread, &exitCode), TRUE);
    CHECK_EQ(exitCode, STILL_ACTIVE);
    CHECK_EQ(ResumeThread(thread), 1u);  // the previous suspend count
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CHECK_EQ(ResumeThread(thread), 0u);  // not suspended (any more)
    CHECK_EQ(probe.ran.load(), 1);
    CHECK_EQ(probe.seenId, id);
    CloseHandle(thread);
}

DWORD WINAPI ExitThreadMain(LPVOID parameter)
{
    static_cast<std::atomic<int> *>(parameter)->store(1);
    ExitThread(0x77);
}

DWORD WINAPI FreeLibraryAndExitThreadMain(LPVOID parameter)
{
    FreeLibraryAndExitThread(static_cast<HMODULE>(parameter), 0x78);
}

// ExitThread ends the calling thread with its code; FreeLibraryAndExitThread first gives
// up a module reference the thread holds (here one of the program, taken from an address
// in it) and ends the thread the same way.
void ExitThreadAndFreeLibraryAndExitThreadEndTheThreadWithTheirCode()
{
    std::atomic<int> ran{0};
    HANDLE thread = CreateThread(nullptr, 0, ExitThreadMain, &ran, 0, nullptr);
    CHECK(thread != nullptr);
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    CHECK_EQ(GetExitCodeThread(thread, &exitCode), TRUE);
    CHECK_EQ(exitCode, 0x77u);
    CHECK_EQ(ran.load(), 1);
    CloseHandle(thread);

    HMODULE module = nullptr;
    CHECK_EQ(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCSTR>(&FreeLibraryAndExitThreadMain), &module),
             TRUE);
    CHECK_EQ(module, GetModuleHandleA(nullptr));
    thread = CreateThread(nullptr, 0, FreeLibraryAndExitThreadMain, module, 0, nullptr);
    CHECK(thread != nullptr);
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CHECK_EQ(GetExitCodeThread(thread, &exitCode), TRUE);
    CHECK_EQ(exitCode, 0x78u);
    CloseHandle(thread);

    // Pinning and leaving the count unchanged at once is refused.
    module = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(1));
    SetLastError(0);
    CHECK_EQ(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                nullptr, &module),
             FALSE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CHECK(module == nullptr);
}

struct LockedCounter {
    SRWLOCK lock = SRWLOCK_INIT;
    long count = 0;  // plain: only the lock keeps the increments whole
};

DWORD WINAPI CountUnderLock(LPVOID parameter)
{
    LockedCounter *counter = static_cast<LockedCounter *>(parameter);
    for (int i = 0; i < 20000; ++i) {
        AcquireSRWLockExclusive(&counter->lock);
        long seen = counter->count;
        if ((i & 63) == 0)
            Sleep(0);  // let the other thread try while the lock is held
        counter->count = seen + 1;
        ReleaseSRWLockExclusive(&counter->lock);
    }
    return 0;
}

// An SRW lock from static-style zero initialisation excludes: two threads' increments
// under it all arrive.
void AnSrwLockHeldExclusivelyExcludesTheOtherThread()
{
    LockedCounter counter;
    HANDLE threads[2];
    for (HANDLE &thread : threads) {
        thread = CreateThread(nullptr, 0, CountUnderLock, &counter, 0, nullptr);
        CHECK(thread != nullptr);
    }
    for (HANDLE thread : threads) {
        CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    CHECK_EQ(counter.count, 40000L);
}

DWORD WINAPI WaitForever(LPVOID parameter)
{
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 0;
}

const char kLeaveWaitingThread[] = "--leave-waiting-thread";
const int kLeftWaitingStatus = 42;

// The second process: leaves a thread waiting without time-out on an event nobody sets,
// as the library's notification thread waits, and returns from main.
int LeaveAThreadWaitingAndReturn()
{
    HANDLE never = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitForever, never, 0, nullptr);
    if (thread == nullptr || WaitForSingleObject(thread, 50) != WAIT_TIMEOUT)
        return 1;
    return kLeftWaitingStatus;
}

// Runs this program again with one argument; returns whether it ended within the bound,
// and its exit status. A process that does not end is killed.
bool RunSelf(const char *argument, DWORD boundMs, int *status)
{
#ifdef _WIN32
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    char commandLine[2 * MAX_PATH];
    snprintf(commandLine, sizeof commandLine, "\"%s\" %s", path, argument);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    const bool ended = WaitForSingleObject(process.hProcess, boundMs) == WAIT_OBJECT_0;
    DWORD code = 0;
    if (ended)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 1);
    *status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ended;
#else
    char self[] = "/proc/self/exe";
    char *args[] = {self, const_cast<char *>(argument), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, self, nullptr, nullptr, args, environ) != 0)
        return false;
    int raw = 0;
    for (DWORD waited = 0; waited < boundMs; waited += 10) {
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return true;
        }
        Sleep(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &raw, 0);
    return false;
#endif
}

void AProcessEndsWhileOneOfItsThreadsStillWaits()
{
    // Ending a process ends its other threads first, whatever they wait for: the
    // library's notification thread is never joined. The bound only decides when to
    // stop waiting for a process that does not end at all.
    int status = -1;
    bool ended = RunSelf(kLeaveWaitingThread, 30000, &status);
    CHECK(ended);
    if (ended)
        CHECK_EQ(status, kLeftWaitingStatus);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], kLeaveWaitingThread) == 0)
        return LeaveAThreadWaitingAndReturn();

    RUN_CASE(CreateFileOnAnAbsentDeviceFailsWithFileNotFound);
    RUN_CASE(CreateFileTellsAMissingDeviceFromAMissingPathAndABadRequest);
    RUN_CASE(DeviceIoControlOnAHandleThatIsNoOpenDeviceFailsWithInvalidHandle);
    RUN_CASE(EveryRequestStatusTranslatesToItsWin32Error);
    RUN_CASE(GetOverlappedResultReportsTheRecordsState);
    RUN_CASE(RefusedOverlappedRequestsAndCancellingWithNothingInFlight);
    RUN_CASE(CloseHandleClosesOnceAndRefusesWhatIsNotOpen);
    RUN_CASE(AutoResetEventReleasesOneWaitAndResetsItself);
    RUN_CASE(ManualResetEventStaysSignalledUntilReset);
    RUN_CASE(TimedWaitOnAnUnsignalledEventTimesOutNoEarlier);
    RUN_CASE(ATimedWaitEndsWhenAnotherThreadSetsTheEvent);
    RUN_CASE(EventOperationsOnHandlesThatAreNoEventFail);
    RUN_CASE(EachSignalOfAnAutoResetEventReleasesExactlyOneWaitingThread);
    RUN_CASE(OneSignalOfAManualResetEventReleasesEveryWaitingThread);
    RUN_CASE(CreateThreadRunsTheRoutineWithItsParameterAndReportsItsIdentity);
    RUN_CASE(ASuspendedThreadRunsOnlyOnceResumed);
    RUN_CASE(ExitThreadAndFreeLibraryAndExitThreadEndTheThreadWithTheirCode);
    RUN_CASE(AnSrwLockHeldExclusivelyExcludesTheOtherThread);
    RUN_CASE(AProcessEndsWhileOneOfItsThreadsStillWaits);
    return conformance::Finish("conformance_kernel32");
}
