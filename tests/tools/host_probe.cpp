// A Win32 program for the machine host tests: raw device requests through the Win32
// stand-in, as a client of the host sees them (the library sends none of these).
//   host_probe wait        a synchronous wait-notify request that blocks (prints "waiting")
//   host_probe rendezvous  an overlapped wait, a post from a second handle, the value checked;
//                          then an overlapped wait cancelled with CancelIoEx and a
//                          synchronous one with CancelSynchronousIo
// Exit status 0 when every step gave what Windows gives.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "tq4815_ioctl.h"

namespace {

int Fail(const char *step)
{
    std::printf("%s: failed, error %lu\n", step, static_cast<unsigned long>(GetLastError()));
    return 1;
}

HANDLE OpenDevice(DWORD flags)
{
    return CreateFileA("\\\\.\\Tq4815x", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

int Wait()
{
    HANDLE device = OpenDevice(0);
    if (device == INVALID_HANDLE_VALUE)
        return Fail("open");
    std::printf("waiting\n");
    std::fflush(stdout);
    DWORD value = 0, bytes = 0;
    DeviceIoControl(device, IOCTL_WAIT_NOTIFY, nullptr, 0, &value, sizeof value, &bytes, nullptr);
    return Fail("wait ended");  // only a kill ends this process as it should
}

int Rendezvous()
{
    HANDLE waiter = OpenDevice(FILE_FLAG_OVERLAPPED);
    HANDLE poster = OpenDevice(0);
    if (waiter == INVALID_HANDLE_VALUE || poster == INVALID_HANDLE_VALUE)
        return Fail("open");
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD value = 0, bytes = 0;
    // A waiter left queued by a client that died would make this one fail at once.
    if (DeviceIoControl(waiter, IOCTL_WAIT_NOTIFY, nullptr, 0, &value, sizeof value, &bytes, &overlapped) ||
        GetLastError() != ERROR_IO_PENDING)
        return Fail("overlapped wait pending");
    DWORD posted = 0x12345678;
    if (!DeviceIoControl(poster, IOCTL_POST_NOTIFY, &posted, sizeof posted, nullptr, 0, &bytes, nullptr))
        return Fail("post");
    if (WaitForSingleObject(overlapped.hEvent, INFINITE) != WAIT_OBJECT_0 ||
        !GetOverlappedResult(waiter, &overlapped, &bytes, FALSE) || bytes != 4 || value != posted)
        return Fail("posted value received");

    if (DeviceIoControl(waiter, IOCTL_WAIT_NOTIFY, nullptr, 0, &value, sizeof value, &bytes, &overlapped) ||
        GetLastError() != ERROR_IO_PENDING || !CancelIoEx(waiter, &overlapped))
        return Fail("overlapped wait cancelled");
    if (GetOverlappedResult(waiter, &overlapped, &bytes, TRUE) || GetLastError() != ERROR_OPERATION_ABORTED)
        return Fail("cancelled wait ends aborted");

    HANDLE self = OpenThread(THREAD_ALL_ACCESS, FALSE, GetCurrentThreadId());
    std::thread canceller([&] {
        while (!CancelSynchronousIo(self))
            Sleep(1);  // until the request is in flight
    });
    BOOL done = DeviceIoControl(poster, IOCTL_WAIT_NOTIFY, nullptr, 0, &value, sizeof value, &bytes, nullptr);
    DWORD error = GetLastError();
    canceller.join();
    if (done || error != ERROR_OPERATION_ABORTED)
        return Fail("synchronous wait cancelled");
    CloseHandle(waiter);
    CloseHandle(poster);
    std::printf("rendezvous ok\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "wait") == 0)
        return Wait();
    if (argc == 2 && std::strcmp(argv[1], "rendezvous") == 0)
        return Rendezvous();
    std::fprintf(stderr, "usage: host_probe wait|rendezvous\n");
    return 2;
}
