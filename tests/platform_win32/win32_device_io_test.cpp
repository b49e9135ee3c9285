// KERNEL32 device I/O against the kernel stand-in: CreateFileA on device paths,
// DeviceIoControl's result, byte count and error translation, buffered and direct
// transfers, synchronous handles (requests serialised, a close waiting for the request in
// flight) and overlapped ones (ERROR_IO_PENDING, the record and its event, several
// requests outstanding), cancelling requests in flight, and an event created here being
// referenced and signalled by a kernel-mode driver.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <plat/machine.h>

#include "test_device_driver.h"

namespace {

constexpr DWORD kHangGuardMs = 30000;

class DeviceIoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testdev::ResetMachine();
        plat::SetMachineBooted([] {});  // the machine is this fixture: no module to load
        ASSERT_EQ(testdev::Load(), 0);
    }
    void TearDown() override
    {
        if (device_ != INVALID_HANDLE_VALUE)
            CloseHandle(device_);
        testdev::Unload();
        testdev::ResetMachine();
    }
    HANDLE Open(DWORD flags = 0)
    {
        device_ = CreateFileA(testdev::kWin32Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                              nullptr);
        EXPECT_NE(device_, INVALID_HANDLE_VALUE) << "CreateFileA failed with " << GetLastError();
        return device_;
    }
    HANDLE OpenOverlapped() { return Open(FILE_FLAG_OVERLAPPED); }
    // Waits (bounded) until `n` threads wait for the lock of the synchronous handle's file.
    static void AwaitLockWaiters(HANDLE device, int n)
    {
        for (DWORD waited = 0; testdev::FileLockWaiters(device) != n && waited < kHangGuardMs; ++waited)
            Sleep(1);
        ASSERT_EQ(testdev::FileLockWaiters(device), n);
    }
    // Starts a request that pends on an overlapped handle; the record's event is manual-reset.
    static void StartPending(HANDLE device, OVERLAPPED *ov, unsigned char *out, DWORD outLength)
    {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(device, testdev::kPendUntilCancelled, nullptr, 0, out, outLength, nullptr, ov));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    // Completes the driver's oldest pending request with `status`, from another handle.
    static void CompleteOldest(std::uint32_t status)
    {
        HANDLE other = CreateFileA(testdev::kWin32Path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD bytes = 0;
        EXPECT_TRUE(DeviceIoControl(other, testdev::kCompletePending, &status, sizeof status, nullptr, 0, &bytes,
                                    nullptr));
        CloseHandle(other);
    }
    // Waits (bounded) until the driver holds `n` pending requests.
    static void AwaitPending(int n)
    {
        for (DWORD waited = 0; testdev::PendingCount() != n && waited < kHangGuardMs; ++waited)
            Sleep(1);
        ASSERT_EQ(testdev::PendingCount(), n);
    }
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceIoTest, OpenAndCloseReachTheDriver)
{
    HANDLE device = Open();
    EXPECT_EQ(testdev::OpenHandles(), 1);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(device) >> 32, 0u);
    ASSERT_TRUE(CloseHandle(device));
    device_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(testdev::OpenHandles(), 0);
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceIoTest, MissingDevicesAndPathsAreNotFound)
{
    for (const char *path : {"\\\\.\\TqNoSuchDevice", "C:\\file.txt", "TqWin32Test"}) {
        SCOPED_TRACE(path);
        SetLastError(0);
        EXPECT_EQ(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(CreateFileA(testdev::kWin32Path, GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Either separator works, as in Win32 paths.
    HANDLE slashes = CreateFileA("//./TqWin32Test", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(slashes, INVALID_HANDLE_VALUE);
    CloseHandle(slashes);
}

TEST_F(DeviceIoTest, BufferedRequestReturnsDataAndByteCount)
{
    HANDLE device = Open();
    unsigned char in[5] = {0x00, 0x01, 0x80, 0xFE, 0x5A};
    unsigned char out[8];
    std::memset(out, 0xCC, sizeof out);
    DWORD bytes = 0xDEAD;
    ASSERT_TRUE(DeviceIoControl(device, testdev::kInvert, in, sizeof in, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(bytes, 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(out[i], static_cast<unsigned char>(~in[i]));
    for (int i = 5; i < 8; ++i)
        EXPECT_EQ(out[i], 0xCC) << "byte " << i << " beyond Information was written";
}

TEST_F(DeviceIoTest, DriverStatusesBecomeWin32Errors)
{
    HANDLE device = Open();
    struct Case {
        std::uint32_t status;
        DWORD error;
        bool dataCopied;  // warnings copy Information bytes back; errors copy nothing
    } cases[] = {
        {0xC000000D, ERROR_INVALID_PARAMETER, false},    // STATUS_INVALID_PARAMETER
        {0xC0000001, ERROR_GEN_FAILURE, false},          // STATUS_UNSUCCESSFUL
        {0xC0000010, ERROR_INVALID_FUNCTION, false},     // STATUS_INVALID_DEVICE_REQUEST
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER, false},  // STATUS_BUFFER_TOO_SMALL
        {0xC0000120, ERROR_OPERATION_ABORTED, false},    // STATUS_CANCELLED
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES, false},  // STATUS_INSUFFICIENT_RESOURCES
        {0xC0000184, ERROR_BAD_COMMAND, false},          // STATUS_INVALID_DEVICE_STATE
        {0xC00002B6, ERROR_DEVICE_REMOVED, false},       // STATUS_DEVICE_REMOVED
        {0xC0000056, ERROR_ACCESS_DENIED, false},        // STATUS_DELETE_PENDING
        {0xC0000182, ERROR_INVALID_PARAMETER, false},    // STATUS_DEVICE_CONFIGURATION_ERROR
        {0xC0000022, ERROR_ACCESS_DENIED, false},        // STATUS_ACCESS_DENIED
        {0xC0070015, ERROR_NOT_READY, false},            // a Win32 error as a status
        {0xC0DE0001, ERROR_MR_MID_NOT_FOUND, false},     // no Win32 equivalent
        {0x80000005, ERROR_MORE_DATA, true},             // STATUS_BUFFER_OVERFLOW
        {0x8000000F, ERROR_NOT_READY, true},             // STATUS_DEVICE_POWERED_OFF
        {0x80000011, ERROR_BUSY, true},                  // STATUS_DEVICE_BUSY
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        unsigned char out[4] = {0, 0, 0, 0};
        DWORD bytes = 0xDEAD;
        std::uint32_t status = c.status;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(device, testdev::kCompleteWith, &status, sizeof status, out, sizeof out, &bytes,
                                     nullptr));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(bytes, c.dataCopied ? 4u : 0u);
        EXPECT_EQ(out[0], c.dataCopied ? 0xA5 : 0);
    }
    std::uint32_t success = 0;
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, testdev::kCompleteWith, &success, sizeof success, nullptr, 0, &bytes, nullptr));
}

TEST_F(DeviceIoTest, DirectRequestWritesTheCallersBufferInPlace)
{
    HANDLE device = Open();
    std::vector<unsigned char> out(3000, 0);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, testdev::kFillDirect, nullptr, 0, out.data(), static_cast<DWORD>(out.size()),
                                &bytes, nullptr));
    EXPECT_EQ(bytes, out.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], static_cast<unsigned char>(i * 7 + 1)) << "at " << i;
}

TEST_F(DeviceIoTest, BadHandlesAndArgumentsAreRefusedBeforeTheDriver)
{
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE closed = CreateFileA(testdev::kWin32Path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    unsigned char buffer[4] = {};
    DWORD bytes = 0;
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event, closed}) {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(bad, testdev::kInvert, buffer, 1, buffer, 4, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        // The handle is judged before the missing byte count.
        EXPECT_FALSE(DeviceIoControl(bad, testdev::kInvert, buffer, 1, buffer, 4, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // Without OVERLAPPED the byte count is required; a length needs a buffer.
    EXPECT_FALSE(DeviceIoControl(device, testdev::kInvert, buffer, 1, buffer, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeviceIoControl(device, testdev::kInvert, nullptr, 4, buffer, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    CloseHandle(event);
}

TEST_F(DeviceIoTest, OverlappedRecordIsFilledAndItsEventSet)
{
    HANDLE device = Open();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned char in[3] = {1, 2, 3}, out[3] = {};
    ASSERT_TRUE(DeviceIoControl(device, testdev::kInvert, in, 3, out, 3, nullptr, &ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(device, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 3u);
    CloseHandle(ov.hEvent);
}

struct PendingCall {
    HANDLE device;
    std::atomic<int> result{-1};
    std::atomic<DWORD> error{0};
};

DWORD WINAPI SendPendingRequest(LPVOID parameter)
{
    auto *call = static_cast<PendingCall *>(parameter);
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(call->device, testdev::kPendUntilCancelled, nullptr, 0, nullptr, 0, &bytes, nullptr);
    call->error = GetLastError();
    call->result = ok;
    return 0;
}

TEST_F(DeviceIoTest, CancelSynchronousIoAbortsTheThreadsRequest)
{
    PendingCall call;
    call.device = Open();
    HANDLE thread = CreateThread(nullptr, 0, SendPendingRequest, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    AwaitPending(1);
    EXPECT_EQ(call.result.load(), -1);  // still blocked in DeviceIoControl
    EXPECT_TRUE(CancelSynchronousIo(thread));
    ASSERT_EQ(WaitForSingleObject(thread, kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(call.result.load(), FALSE);
    EXPECT_EQ(call.error.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(testdev::PendingCount(), 0);
    // Nothing left to cancel.
    EXPECT_FALSE(CancelSynchronousIo(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(thread);
}

TEST_F(DeviceIoTest, CancelIoExFromAnotherThreadAbortsTheRequestOnTheFile)
{
    PendingCall call;
    call.device = Open();
    HANDLE thread = CreateThread(nullptr, 0, SendPendingRequest, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    AwaitPending(1);
    EXPECT_TRUE(CancelIoEx(call.device, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread, kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(call.result.load(), FALSE);
    EXPECT_EQ(call.error.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelIoEx(call.device, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(thread);
}

TEST_F(DeviceIoTest, OverlappedRecordAndEventFollowTheOutcome)
{
    HANDLE device = OpenOverlapped();
    struct Case {
        std::uint32_t status;
        bool pendsFirst;
        BOOL result;
        DWORD error;
        DWORD bytes;
        bool reported;  // status written into the record and the event set
    } cases[] = {
        {0x00000000, true, TRUE, 0, 4, true},
        {0x80000005, true, FALSE, ERROR_MORE_DATA, 4, true},     // STATUS_BUFFER_OVERFLOW
        {0x8000000F, true, FALSE, ERROR_NOT_READY, 4, true},     // STATUS_DEVICE_POWERED_OFF
        {0xC0000120, true, FALSE, ERROR_OPERATION_ABORTED, 0, true},
        {0x00000000, false, TRUE, 0, 4, true},
        {0x80000005, false, FALSE, ERROR_MORE_DATA, 4, true},
        // An error at once is only DeviceIoControl's result: the record stays pending and
        // the event (reset when the request was issued) unsignalled.
        {0xC000000D, false, FALSE, ERROR_INVALID_PARAMETER, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << (c.pendsFirst ? " after pending" : " at once"));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        unsigned char out[4] = {};
        DWORD bytes = 0xDEAD;
        if (c.pendsFirst) {
            StartPending(device, &ov, out, sizeof out);
            EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
            EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
            CompleteOldest(c.status);
        } else {
            std::uint32_t status = c.status;
            SetLastError(0);
            EXPECT_EQ(DeviceIoControl(device, testdev::kCompleteWith, &status, sizeof status, out, sizeof out, &bytes,
                                      &ov),
                      c.result);
            if (!c.result) {
                EXPECT_EQ(GetLastError(), c.error);
            }
        }
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), c.reported ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_EQ(HasOverlappedIoCompleted(&ov), c.reported);
        if (c.reported) {
            SetLastError(0);
            EXPECT_EQ(GetOverlappedResult(device, &ov, &bytes, TRUE), c.result);
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(bytes, c.bytes);
            EXPECT_EQ(ov.Internal, c.status);
        }
        EXPECT_EQ(out[0], c.bytes != 0 ? 0xA5 : 0);
        CloseHandle(ov.hEvent);
    }
    EXPECT_EQ(testdev::PendingCount(), 0);
}

TEST_F(DeviceIoTest, OverlappedHandleKeepsSeveralRequestsOutstandingAndCancelsEachAlone)
{
    HANDLE device = OpenOverlapped();
    OVERLAPPED first{}, second{};  // no events: completion signals the file itself
    unsigned char out1[4] = {}, out2[4] = {};
    StartPending(device, &first, out1, sizeof out1);
    StartPending(device, &second, out2, sizeof out2);
    EXPECT_EQ(testdev::PendingCount(), 2);

    EXPECT_TRUE(CancelIoEx(device, &second));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &second, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));
    EXPECT_FALSE(CancelIoEx(device, &second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_FALSE(CancelIoEx(nullptr, &first));  // a record is looked for on its file only
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));

    // CancelIo takes the calling thread's requests: here the first.
    EXPECT_TRUE(CancelIo(device));
    EXPECT_FALSE(GetOverlappedResult(device, &first, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(testdev::PendingCount(), 0);
}

TEST_F(DeviceIoTest, ClosingAnOverlappedHandleSendsCleanupWhileARequestPends)
{
    HANDLE device = OpenOverlapped();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned char out[4] = {};
    StartPending(device, &ov, out, sizeof out);
    ASSERT_TRUE(CloseHandle(device));
    device_ = INVALID_HANDLE_VALUE;
    // The driver's cleanup cancelled the request; the close followed once it was finished.
    EXPECT_EQ(testdev::Cleanups(), 1);
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, kHangGuardMs), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(testdev::OpenHandles(), 0);
    CloseHandle(ov.hEvent);
}

struct SyncCall {
    HANDLE device;
    DWORD code;
    std::atomic<int> result{-1};
    std::atomic<DWORD> error{0};
};

DWORD WINAPI SendSyncRequest(LPVOID parameter)
{
    auto *call = static_cast<SyncCall *>(parameter);
    unsigned char buffer[1] = {0x0F};
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(call->device, call->code, buffer, 1, buffer, 1, &bytes, nullptr);
    call->error = GetLastError();
    call->result = ok;
    return 0;
}

DWORD WINAPI CloseTheHandle(LPVOID parameter) { return CloseHandle(static_cast<HANDLE>(parameter)); }

TEST_F(DeviceIoTest, SynchronousHandleSerialisesItsRequestsAndItsClose)
{
    HANDLE device = Open();
    SyncCall pending{device, testdev::kPendUntilCancelled}, behind{device, testdev::kInvert};
    HANDLE first = CreateThread(nullptr, 0, SendSyncRequest, &pending, 0, nullptr);
    AwaitPending(1);
    // A second request on the handle waits for the first: it has not reached the driver,
    // so there is nothing of its to cancel yet.
    HANDLE second = CreateThread(nullptr, 0, SendSyncRequest, &behind, 0, nullptr);
    AwaitLockWaiters(device, 1);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(CancelSynchronousIo(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    // Nor does closing the handle reach the driver while a request is in flight.
    HANDLE closer = CreateThread(nullptr, 0, CloseTheHandle, device, 0, nullptr);
    device_ = INVALID_HANDLE_VALUE;
    for (DWORD waited = 0; testdev::FileLockWaiters(device) != -1 && waited < kHangGuardMs; ++waited)
        Sleep(1);  // the handle goes at once; its close then waits for the lock
    EXPECT_EQ(WaitForSingleObject(closer, 20), WAIT_TIMEOUT);
    EXPECT_EQ(testdev::Cleanups(), 0);

    EXPECT_TRUE(CancelSynchronousIo(first));
    for (HANDLE t : {first, second, closer})
        ASSERT_EQ(WaitForSingleObject(t, kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_EQ(pending.result.load(), FALSE);
    EXPECT_EQ(pending.error.load(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // The request behind it had its file already: it goes, before or after the cleanup.
    EXPECT_EQ(behind.result.load(), TRUE) << behind.error.load();
    EXPECT_EQ(testdev::Cleanups(), 1);
    EXPECT_EQ(testdev::OpenHandles(), 0);
    for (HANDLE t : {first, second, closer})
        CloseHandle(t);
}

DWORD WINAPI WaitForEvent(LPVOID parameter)
{
    return WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
}

TEST_F(DeviceIoTest, KernelReferencedEventWakesAWin32Waiter)
{
    HANDLE device = Open();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    auto handle32 = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(event));
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, testdev::kReferenceEvent, &handle32, sizeof handle32, nullptr, 0, &bytes,
                                nullptr));
    HANDLE waiter = CreateThread(nullptr, 0, WaitForEvent, event, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, 20), WAIT_TIMEOUT);
    ASSERT_TRUE(DeviceIoControl(device, testdev::kSetReferencedEvent, nullptr, 0, nullptr, 0, &bytes, nullptr));
    ASSERT_EQ(WaitForSingleObject(waiter, kHangGuardMs), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(waiter, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // auto reset: the waiter took it
    CloseHandle(waiter);

    // The driver's reference keeps the event alive after the last handle is closed.
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_TRUE(DeviceIoControl(device, testdev::kSetReferencedEvent, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_TRUE(DeviceIoControl(device, testdev::kReleaseReferencedEvent, nullptr, 0, nullptr, 0, &bytes, nullptr));
}

TEST_F(DeviceIoTest, KernelRefusesHandlesThatAreNotEvents)
{
    HANDLE device = Open();
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, release, 0, nullptr);
    DWORD bytes = 0;
    for (HANDLE notEvent : {thread, device, static_cast<HANDLE>(nullptr)}) {
        auto handle32 = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(notEvent));
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(device, testdev::kReferenceEvent, &handle32, sizeof handle32, nullptr, 0, &bytes,
                                     nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    SetEvent(release);
    WaitForSingleObject(thread, kHangGuardMs);
    CloseHandle(thread);
    CloseHandle(release);
}

TEST_F(DeviceIoTest, ApplicationTimeOutsAreHostTimeAndLeaveTheMachineClockAlone)
{
    // After the reset the machine's clock is manual: only the test moves it. A Win32
    // time-out or Sleep must neither end early nor move it.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const std::uint64_t before = testdev::VirtualNowNs();
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    Sleep(10);
    EXPECT_GE(GetTickCount() - start, 60u);
    EXPECT_EQ(testdev::VirtualNowNs(), before);
    CloseHandle(event);
}

TEST(Win32DeviceNoMachine, CreateFileWithoutAMachineModuleFindsNoDevice)
{
    testdev::ResetMachine();
    setenv("TQ_MACHINE_MODULE", "/nonexistent/libtq-no-machine.so", 1);
    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\.\\Tq4815x", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(plat::MachineBooted());
    unsetenv("TQ_MACHINE_MODULE");
}

}  // namespace
