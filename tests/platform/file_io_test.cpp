// The simulated process's side of the I/O manager (plat/user_io.h): opening a device by
// its Win32 path, create/cleanup/close as handles come and go, device control with each
// buffering method, and cancelling a request in flight.
#include <plat/machine.h>
#include <plat/user_io.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

class FileIoTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        BuildStack();
    }
    HANDLE Open(plat::FileIo mode = plat::FileIo::Synchronous)
    {
        HANDLE h = nullptr;
        EXPECT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &h, mode), STATUS_SUCCESS);
        return h;
    }
    // Whether a request waits in the driver's queue.
    bool Queued()
    {
        KIRQL irql;
        KeAcquireSpinLock(&ext->QueueLock, &irql);
        bool queued = !IsListEmpty(&ext->Queue);
        KeReleaseSpinLock(&ext->QueueLock, irql);
        return queued;
    }
};

TEST_F(FileIoTest, OpeningResolvesTheLinkAndCountsOpenFileObjects)
{
    HANDLE a = Open();
    HANDLE b = Open();
    EXPECT_NE(a, b);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(a) % 4, 0u);
    EXPECT_EQ(ext->Opens, 2);
    EXPECT_EQ(fdo->ReferenceCount, 2);
    HANDLE none = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\NoSuchDevice", &none), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::OpenDevicePath("TestDev", &none), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(plat::CloseHandle(a), STATUS_SUCCESS);
    EXPECT_EQ(ext->Cleanups, 1);
    EXPECT_EQ(ext->Closes, 1);
    EXPECT_EQ(fdo->ReferenceCount, 1);
    EXPECT_EQ(plat::CloseHandle(a), STATUS_INVALID_HANDLE);
}

TEST_F(FileIoTest, CleanupComesWithTheLastHandleAndCloseWithTheLastReference)
{
    HANDLE h = Open();
    PVOID file;
    ASSERT_EQ(plat::ReferenceHandle(h, *IoFileObjectType, &file, nullptr), STATUS_SUCCESS);
    plat::CloseHandle(h);
    EXPECT_EQ(ext->Cleanups, 1);
    EXPECT_EQ(ext->LastCleanupFile, file);
    EXPECT_EQ(ext->Closes, 0) << "a kernel reference still holds the file object";
    ObfDereferenceObject(file);
    EXPECT_EQ(ext->Closes, 1);
    EXPECT_EQ(fdo->ReferenceCount, 0);
}

TEST_F(FileIoTest, AFailedCreateGetsNeitherCleanupNorCloseAndAnInitializingDeviceCannotBeOpened)
{
    fdo->Flags |= DO_DEVICE_INITIALIZING;
    HANDLE h = nullptr;
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &h), STATUS_NO_SUCH_DEVICE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = IopInvalidDeviceRequest;
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &h), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ext->Cleanups + ext->Closes, 0);
    EXPECT_EQ(fdo->ReferenceCount, 0);
}

// METHOD_BUFFERED: one system buffer of max(in, out), the input copied in and the rest
// holding a non-zero fill, as uninitialised pool would; Information bytes go back to the
// caller unless the status is an error.
TEST_F(FileIoTest, BufferedOutputIsCopiedBackUnlessTheStatusIsAnError)
{
    struct Case {
        NTSTATUS status;
        ULONG information;
        ULONG copied;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, 16, 16},
        {STATUS_SUCCESS, 5, 5},
        {STATUS_BUFFER_OVERFLOW, 16, 16},      // a warning still copies
        {STATUS_DEVICE_POWERED_OFF, 3, 3},
        {STATUS_UNSUCCESSFUL, 16, 0},          // an error copies nothing
        {STATUS_INVALID_PARAMETER, 16, 0},
    };
    HANDLE h = Open();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << " info " << std::dec << c.information);
        UCHAR out[16];
        std::memset(out, 0xEE, sizeof out);
        TdEchoInput in{c.status, c.information, 0x30, 0, {}};
        ULONG_PTR info = 99;
        EXPECT_EQ(plat::DeviceControl(h, TD_IOCTL_ECHO, &in, sizeof in, out, sizeof out, &info), c.status);
        EXPECT_EQ(info, c.information);
        EXPECT_EQ(ext->FilledPastInput, 1) << "bytes past the input must arrive as old pool, not zeroed";
        for (ULONG i = 0; i < sizeof out; ++i)
            EXPECT_EQ(out[i], i < c.copied ? 0x30 + i : 0xEE) << "byte " << i;
    }
    ULONG_PTR info;
    EXPECT_EQ(plat::DeviceControl(h, TD_IOCTL_ECHO, nullptr, 8, nullptr, 0, &info), STATUS_ACCESS_VIOLATION);
}

// METHOD_OUT_DIRECT: the caller's buffer is written in place through an MDL, which arrives
// either unmapped (the driver maps it) or already mapped.
TEST_F(FileIoTest, DirectOutputIsWrittenInPlaceThroughEitherMdlPath)
{
    HANDLE h = Open();
    for (bool mapped : {false, true}) {
        SCOPED_TRACE(mapped ? "MDL mapped" : "MDL unmapped");
        plat::SetDirectIoMdlMapped(mapped);
        UCHAR out[300];
        std::memset(out, 0, sizeof out);
        ULONG_PTR info = 0;
        EXPECT_EQ(plat::DeviceControl(h, TD_IOCTL_DIRECT, nullptr, 0, out + 1, 200, &info), STATUS_SUCCESS);
        EXPECT_EQ(ext->DirectPathMapped, mapped ? 1 : 0);
        EXPECT_EQ(info, 200u);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[1], 0xC0);
        EXPECT_EQ(out[200], static_cast<UCHAR>(0xC0 + 199));
        EXPECT_EQ(out[201], 0) << "nothing beyond the described buffer";
    }
    UCHAR in[4] = {1, 2, 3, 4}, out[4] = {};
    ULONG_PTR info = 0;
    EXPECT_EQ(plat::DeviceControl(h, TD_IOCTL_NEITHER, in, 4, out, 4, &info), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(in, out, 4), 0);
}

TEST_F(FileIoTest, APendingRequestWaitsUntilAnotherRequestCompletesIt)
{
    HANDLE waiter = Open();
    HANDLE poster = Open();
    ULONG result = 0;
    ULONG_PTR resultInfo = 0;
    NTSTATUS resultStatus = STATUS_PENDING;
    std::thread t([&] {
        resultStatus = plat::DeviceControl(waiter, TD_IOCTL_PEND, nullptr, 0, &result, sizeof result, &resultInfo);
    });
    ULONG value = 0xA1B2C3D4;
    ULONG_PTR info;
    NTSTATUS posted;
    do {  // until the waiting request has reached the driver
        std::this_thread::yield();
        posted = plat::DeviceControl(poster, TD_IOCTL_RELEASE, &value, sizeof value, nullptr, 0, &info);
    } while (posted == STATUS_UNSUCCESSFUL);
    t.join();
    EXPECT_EQ(posted, STATUS_SUCCESS);
    EXPECT_EQ(resultStatus, STATUS_SUCCESS);
    EXPECT_EQ(resultInfo, sizeof(ULONG));
    EXPECT_EQ(result, value);
}

TEST_F(FileIoTest, CancellingTheCallersRequestCompletesItCancelled)
{
    HANDLE h = Open();
    ULONG out = 0;
    ULONG_PTR info;
    NTSTATUS status = STATUS_PENDING;
    std::thread t([&] { status = plat::DeviceControl(h, TD_IOCTL_PEND, nullptr, 0, &out, sizeof out, &info); });
    while (plat::CancelFileIo(h, true) == STATUS_NOT_FOUND) std::this_thread::yield();
    t.join();
    EXPECT_EQ(status, STATUS_CANCELLED);
    EXPECT_EQ(plat::CancelFileIo(h, true), STATUS_NOT_FOUND);
    EXPECT_EQ(plat::CancelFileIo(h, false), STATUS_NOT_FOUND);
}

// Closing the last handle while a request pends: an overlapped file's cleanup goes at
// once and the driver aborts the request there; a synchronous file's close waits for the
// request in flight (its lock), so only cancelling the request lets the cleanup go.
TEST_F(FileIoTest, ClosingTheHandleDuringAPendingRequestAsItsFileDoesIo)
{
    for (plat::FileIo mode : {plat::FileIo::Overlapped, plat::FileIo::Synchronous}) {
        const bool synchronous = mode == plat::FileIo::Synchronous;
        SCOPED_TRACE(synchronous ? "synchronous" : "overlapped");
        const LONG cleanups = ext->Cleanups, closes = ext->Closes;
        HANDLE h = Open(mode);
        ULONG out = 0;
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status = STATUS_PENDING;
        std::thread t([&] {
            status = plat::DeviceControlRequest(h, nullptr, &ioStatus, true, TD_IOCTL_PEND, nullptr, 0, &out,
                                                sizeof out);
        });
        while (!Queued()) std::this_thread::yield();
        std::atomic<bool> closed{false};
        std::thread closer([&] {
            plat::CloseHandle(h);
            closed = true;
        });
        if (synchronous) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_FALSE(closed.load()) << "the close went past the request in flight";
            EXPECT_EQ(ext->Cleanups, cleanups);
            // The handle is gone, but the request's status block still finds it.
            EXPECT_EQ(plat::CancelFileIo(nullptr, true, &ioStatus), STATUS_SUCCESS);
        }
        closer.join();
        t.join();
        EXPECT_EQ(status, STATUS_CANCELLED);
        EXPECT_EQ(ext->Cleanups, cleanups + 1);
        EXPECT_EQ(ext->Closes, closes + 1) << "the request in flight held the file object until it finished";
    }
}

TEST_F(FileIoTest, ShuttingTheMachineDownClosesOpenHandlesLikeAProcessExit)
{
    static bool shutdownRan;
    shutdownRan = false;
    Open();
    Open();
    plat::SetMachineBooted([] { shutdownRan = true; });
    EXPECT_TRUE(plat::MachineBooted());
    plat::ShutdownMachine();
    EXPECT_TRUE(shutdownRan);
    EXPECT_FALSE(plat::MachineBooted());
    EXPECT_EQ(ext->Cleanups, 2);
    EXPECT_EQ(ext->Closes, 2);
    plat::ShutdownMachine();  // idempotent
}

// A device removed while a handle is open stays (nameless) until the handle closes; its
// driver object outlives an unload until then, so the close still reaches the driver.
TEST_F(FileIoTest, ADeletedDeviceAndItsDriverLastUntilTheLastFileObjectCloses)
{
    HANDLE h = Open();
    TdRemoveDevice(ext);
    EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\TestDev"), nullptr);
    HANDLE again;
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(fdo->ReferenceCount, 1);
    plat::VerifierCheckUnload(driver);  // nothing is charged to the driver: the device is deleted
    plat::FreeDriverObject(driver);
    LONG closes = TdCloseCalls;
    EXPECT_EQ(plat::CloseHandle(h), STATUS_SUCCESS);
    EXPECT_EQ(TdCloseCalls, closes + 1);
    ext = nullptr;
    fdo = nullptr;
}

TEST_F(FileIoTest, ForwardedRequestsComeBackThroughTheDriversCompletionRoutine)
{
    HANDLE h = Open();
    UCHAR out[4] = {};
    ULONG_PTR info;
    TdBusStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(plat::DeviceControl(h, TD_IOCTL_FORWARD, nullptr, 0, out, sizeof out, &info), STATUS_DEVICE_BUSY);
    EXPECT_EQ(ext->ForwardLowerStatus, STATUS_DEVICE_BUSY);
}

}  // namespace
}  // namespace tqtest
