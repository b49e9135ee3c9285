// Device control through a machine host (`tq4815 host` serving the test driver): every
// transfer method carries its buffers both ways, and statuses and byte counts arrive as the
// driver gave them, as in-process (win32_device_io_test.cpp checks the same answers there).
#include <gtest/gtest.h>

#include <windows.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_device_driver.h"

namespace {

class HostDeviceIo : public ::testing::Test {
protected:
    // One host for the test program, started before its first open.
    static void SetUpTestSuite()
    {
        socket_ = ::testing::TempDir() + "tq4815-testdev-" + std::to_string(getpid()) + ".sock";
        host_ = fork();
        if (host_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test killed (by a time-out) leaves no host behind
            setenv("TQ_MACHINE_MODULE", TQ_TEST_MACHINE_MODULE, 1);
            if (!freopen("/dev/null", "w", stderr))
                _exit(127);
            execl(TQ4815_TOOL_PATH, TQ4815_TOOL_PATH, "host", "--socket", socket_.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 3000 && access(socket_.c_str(), F_OK) != 0 && waitpid(host_, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        setenv("TQ4815_HOST", socket_.c_str(), 1);
    }

    static void TearDownTestSuite()
    {
        pid_t stopper = fork();
        if (stopper == 0) {
            execl(TQ4815_TOOL_PATH, TQ4815_TOOL_PATH, "host", "--stop", "--socket", socket_.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(stopper, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            kill(host_, SIGKILL);
        waitpid(host_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    static HANDLE Open(DWORD flags = 0)
    {
        return CreateFileA(testdev::kWin32Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    static inline std::string socket_;
    static inline pid_t host_ = -1;
};

struct Case {
    const char *what;
    std::uint32_t code;
    std::vector<unsigned char> in;
    std::vector<unsigned char> out;  // the output buffer before the request
    BOOL result;
    DWORD error;  // when the result is FALSE
    DWORD bytes;
    std::vector<unsigned char> outAfter;
};

std::vector<unsigned char> Status(std::uint32_t status)
{
    std::vector<unsigned char> bytes(4);
    std::memcpy(bytes.data(), &status, 4);
    return bytes;
}

TEST_F(HostDeviceIo, EveryTransferMethodCopiesBothWaysWithExactLengthsAndStatuses)
{
    const std::vector<unsigned char> five{1, 2, 3, 4, 5};
    const Case cases[] = {
        // Buffered: only Information bytes come back; the rest of the caller's buffer stays.
        {"buffered", testdev::kInvert, five, std::vector<unsigned char>(8, 0x11), TRUE, 0, 5,
         {0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0x11, 0x11, 0x11}},
        {"buffered, a warning", testdev::kCompleteWith, Status(0x80000005u), std::vector<unsigned char>(3, 0), FALSE,
         ERROR_MORE_DATA, 3, {0xA5, 0xA5, 0xA5}},
        {"buffered, an error", testdev::kCompleteWith, Status(0xC0000010u), std::vector<unsigned char>(3, 7), FALSE,
         ERROR_INVALID_FUNCTION, 0, {7, 7, 7}},
        {"out direct", testdev::kFillDirect, {}, std::vector<unsigned char>(4, 0), TRUE, 0, 4, {1, 8, 15, 22}},
        {"in direct", testdev::kAddInDirect, {3}, {10, 20, 30}, TRUE, 0, 3, {13, 23, 33}},
        {"neither", testdev::kReverseNeither, five, std::vector<unsigned char>(6, 9), TRUE, 0, 5, {5, 4, 3, 2, 1, 9}},
    };
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    for (const Case &c : cases) {
        std::vector<unsigned char> in = c.in, out = c.out;
        DWORD bytes = 12345;
        SetLastError(0);
        BOOL result = DeviceIoControl(device, c.code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                      out.data(), static_cast<DWORD>(out.size()), &bytes, nullptr);
        EXPECT_EQ(result, c.result) << c.what;
        if (!c.result) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
        EXPECT_EQ(bytes, c.bytes) << c.what;
        EXPECT_EQ(out, c.outAfter) << c.what;
    }
    // A buffer larger than the host forwards is refused before anything is sent.
    std::vector<unsigned char> huge((32u << 20) + 1);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(device, testdev::kFillDirect, nullptr, 0, huge.data(), static_cast<DWORD>(huge.size()),
                                 &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(CloseHandle(device));
}

// A request kept pending on an overlapped handle ends through the host's later message: the
// record's status words and event, and the output bytes, as the driver completed it.
TEST_F(HostDeviceIo, APendingRequestEndsIntoTheCallersRecord)
{
    HANDLE waiter = Open(FILE_FLAG_OVERLAPPED), other = Open();
    ASSERT_NE(waiter, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned char out[6] = {};
    DWORD bytes = 0;
    ASSERT_FALSE(DeviceIoControl(waiter, testdev::kPendUntilCancelled, nullptr, 0, out, sizeof out, &bytes, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(waiter, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    std::vector<unsigned char> success = Status(0);
    ASSERT_TRUE(DeviceIoControl(other, testdev::kCompletePending, success.data(), 4, nullptr, 0, &bytes, nullptr));
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(waiter, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, sizeof out);
    for (unsigned char byte : out)
        EXPECT_EQ(byte, 0xA5);
    EXPECT_TRUE(CloseHandle(waiter));
    EXPECT_TRUE(CloseHandle(other));
    EXPECT_TRUE(CloseHandle(overlapped.hEvent));
}

}  // namespace
