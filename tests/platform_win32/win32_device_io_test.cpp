// KERNEL32 device I/O against the kernel stand-in: CreateFileA on device paths,
// DeviceIoControl's result, byte count and error translation, buffered and direct
// transfers, cancelling a request in flight, and an event created here being referenced
// and signalled by a kernel-mode driver.
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
    HANDLE Open()
    {
        device_ = CreateFileA(testdev::kWin32Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(device_, INVALID_HANDLE_VALUE) << "CreateFileA failed with " << GetLastError();
        return device_;
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
        {0xC0DE0001, ERROR_MR_MID_NOT_FOUND, false},     // no Win32 equivalent
        {0x80000005, ERROR_MORE_DATA, true},             // STATUS_BUFFER_OVERFLOW
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
