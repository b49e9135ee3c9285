// Device files: CreateFileA on a device path, DeviceIoControl through the kernel's I/O
// manager on synchronous and overlapped handles, GetOverlappedResult, and cancelling
// requests in flight.
//
// Only device paths ("\\.\NAME", resolved through the kernel's symbolic links) exist:
// there is no disk. A handle opened without FILE_FLAG_OVERLAPPED is synchronous: the
// kernel serialises its requests and each caller waits for its own, also when it passes
// an OVERLAPPED (which is then filled as well). On an overlapped handle a request the
// driver keeps pending gives FALSE with ERROR_IO_PENDING; the kernel fills the
// OVERLAPPED's status words and sets its event when the request completes.
//
// When a machine host listens (host_client.h), the device files live there: these calls
// forward what is done with them.
#include <string>

#include "host_client.h"
#include "win32_internal.h"

namespace {

using namespace tqwin32;

bool IsDevicePath(const std::string &path) { return path.size() > 4 && path.compare(0, 4, "\\\\.\\") == 0; }

// The error for a device path whose device does not exist: the name after "\\.\" is
// looked up as one name, so a path that goes on below it ("\\.\NAME\more") misses an
// intermediate component, which Windows reports as a missing path, not a missing file.
DWORD MissingDeviceError(const std::string &path)
{
    return path.find('\\', 4) != std::string::npos ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

// Marks the calling thread's synchronous request for CancelSynchronousIo while the thread
// waits for it (nothing for a request on an overlapped handle).
struct InFlight {
    ThreadRecord &record;
    InFlight(ThreadRecord &r, bool synchronous, const kernel::IoStatusWords *ioStatus) : record(r)
    {
        if (synchronous)
            record.inflightIoStatus.store(ioStatus);
    }
    ~InFlight() { record.inflightIoStatus.store(nullptr); }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;
};

// The status word the kernel writes last, read as a poller of the record reads it.
kernel::Status LoadStatusWord(const OVERLAPPED *overlapped)
{
    return static_cast<kernel::Status>(
        static_cast<std::uint32_t>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
}

// The event of an OVERLAPPED: its low bit only asks that no completion-port packet be
// queued, and is not part of the handle.
HANDLE OverlappedEvent(const OVERLAPPED *overlapped)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~static_cast<ULONG_PTR>(1));
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    // Access and share modes are the driver's business: the I/O manager enforces no share
    // access on a device unless its driver asks for it.
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr) {
        FailWithError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path(lpFileName);
    for (char &c : path) {
        if (c == '/')
            c = '\\';  // Win32 accepts either separator
    }
    if (path.empty()) {
        FailWithError(ERROR_PATH_NOT_FOUND);  // an empty name is no path at all
        return INVALID_HANDLE_VALUE;
    }
    if (!IsDevicePath(path)) {
        FailWithError(ERROR_FILE_NOT_FOUND);  // no file system behind the stand-in
        return INVALID_HANDLE_VALUE;
    }
    // A machine host, when one listens, holds the machine this process's files live on.
    switch (host::ChooseRoute()) {
    case host::Route::Host:
        return host::OpenRemote(path, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    case host::Route::Refused:
        FailWithError(MissingDeviceError(path));  // the reason is on stderr
        return INVALID_HANDLE_VALUE;
    case host::Route::InProcess:
        break;
    }
    const bool wasBooted = kernel::MachineBooted();
    if (!kernel::EnsureMachineBooted()) {
        FailWithError(MissingDeviceError(path));  // no machine, so no device of that name
        return INVALID_HANDLE_VALUE;
    }
    if (!wasBooted)
        NoteMachineBootedHere();
    void *handle = nullptr;
    kernel::Status status = kernel::OpenDevicePath(path.c_str(), (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, &handle);
    if (status == kernel::kObjectNameNotFound) {
        FailWithError(MissingDeviceError(path));
        return INVALID_HANDLE_VALUE;
    }
    if (!kernel::Succeeded(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    // The record tells the request's state: pending until the kernel writes the final
    // status, which it never does for a request that fails with an error at once (nor for
    // one refused before it was sent).
    if (lpOverlapped != nullptr)
        __atomic_store_n(&lpOverlapped->Internal, static_cast<ULONG_PTR>(kernel::kPending), __ATOMIC_RELAXED);
    if (hDevice == nullptr || hDevice == kCurrentProcessPseudo || hDevice == kCurrentThreadPseudo)
        return FailWithError(ERROR_INVALID_HANDLE);
    if (host::IsRemote(hDevice)) {
        // The same refusals as below, before anything travels to the host.
        if (lpBytesReturned == nullptr && lpOverlapped == nullptr)
            return FailWithError(ERROR_INVALID_PARAMETER);
        if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0))
            return FailWithStatus(kernel::kAccessViolation);
        return host::RemoteDeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                           nOutBufferSize, lpBytesReturned, lpOverlapped);
    }
    // Without an OVERLAPPED record the byte count has nowhere else to go; Windows would
    // fault writing it after the request ran. Refused before anything is sent, once the
    // handle is known to exist (a bad handle is reported as such first, as on Windows).
    if (lpBytesReturned == nullptr && lpOverlapped == nullptr) {
        kernel::Status status = kernel::CheckFileHandle(hDevice);
        return !kernel::Succeeded(status) ? FailWithStatus(status) : FailWithError(ERROR_INVALID_PARAMETER);
    }
    // A buffer length without a buffer fails the I/O manager's probe of the caller's memory.
    if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0))
        return FailWithStatus(kernel::kAccessViolation);

    bool synchronous = false;
    kernel::Status status = kernel::FileIsSynchronous(hDevice, &synchronous);
    if (!kernel::Succeeded(status))
        return FailWithStatus(status);
    if (lpOverlapped != nullptr) {
        auto *words = reinterpret_cast<kernel::IoStatusWords *>(lpOverlapped);
        lpOverlapped->InternalHigh = 0;
        {
            InFlight inFlight(CurrentThread(), synchronous, words);
            status = kernel::DeviceControl(hDevice, OverlappedEvent(lpOverlapped), words, false, dwIoControlCode,
                                           lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
        }
        if (status == kernel::kPending)
            return FailWithError(ERROR_IO_PENDING);
        if (lpBytesReturned != nullptr && !kernel::IsError(status))
            *lpBytesReturned = static_cast<DWORD>(lpOverlapped->InternalHigh);
    } else {
        // Without a record the caller waits for the request, also on an overlapped handle.
        kernel::IoStatusWords words{};
        {
            InFlight inFlight(CurrentThread(), synchronous, &words);
            status = kernel::DeviceControl(hDevice, nullptr, &words, true, dwIoControlCode, lpInBuffer,
                                           nInBufferSize, lpOutBuffer, nOutBufferSize);
        }
        // Errors transfer nothing; success and warnings report what the I/O manager copied.
        *lpBytesReturned = kernel::IsError(status) ? 0 : static_cast<DWORD>(words.information);
        RunDeviceIoControlDoneHook(dwIoControlCode, kernel::Succeeded(status));
    }
    if (!kernel::Succeeded(status))
        return FailWithStatus(status);
    return TRUE;
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return FailWithError(ERROR_NOACCESS);
    kernel::Status status = LoadStatusWord(lpOverlapped);
    if (status == kernel::kPending) {
        if (!bWait)
            return FailWithError(ERROR_IO_INCOMPLETE);
        // The request's event, or the file itself, which a request without an event sets.
        HANDLE event = OverlappedEvent(lpOverlapped);
        kernel::Status waited = kernel::Wait(event != nullptr ? event : hFile, INFINITE);
        if (!kernel::Succeeded(waited))
            return FailWithStatus(waited);
        status = LoadStatusWord(lpOverlapped);
        // Woken by another request of the file (whose event any of them sets): this one is
        // still in flight, and is reported so rather than with a made-up result.
        if (status == kernel::kPending)
            return FailWithError(ERROR_IO_INCOMPLETE);
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (!kernel::Succeeded(status))
        return FailWithStatus(status);
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    // The caller's own requests on the file; a synchronous caller has none in flight, so
    // this succeeds with nothing to do unless the handle is bad.
    if (host::IsRemote(hFile))
        return host::RemoteCancel(hFile, nullptr, true);
    kernel::Status status = kernel::CancelFileIo(hFile, false, nullptr);
    if (status == kernel::kNotFound)
        return TRUE;
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    // With a record: only the request made with that record; without: every request of
    // the process on the file. ERROR_NOT_FOUND when there is none.
    if (hFile == nullptr)
        return FailWithError(ERROR_INVALID_HANDLE);  // no handle, whatever the record
    if (host::IsRemote(hFile))
        return host::RemoteCancel(hFile, lpOverlapped, false);
    kernel::Status status =
        kernel::CancelFileIo(hFile, true, reinterpret_cast<const kernel::IoStatusWords *>(lpOverlapped));
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}

extern "C" BOOL WINAPI CancelSynchronousIo(HANDLE hThread)
{
    auto record = ThreadFromHandle(hThread);
    if (!record)
        return FALSE;
    // The request the thread waits for on a synchronous handle, found by its status block
    // (its handle may have been closed meanwhile); a thread still waiting for the file's
    // lock has none in flight yet.
    if (BOOL remote = FALSE; host::RemoteCancelSynchronous(*record, &remote))
        return remote;
    const kernel::IoStatusWords *ioStatus = record->inflightIoStatus.load();
    if (ioStatus == nullptr)
        return FailWithError(ERROR_NOT_FOUND);
    kernel::Status status = kernel::CancelFileIo(nullptr, true, ioStatus);
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}
