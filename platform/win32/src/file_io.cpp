// Device files: CreateFileA on a device path, synchronous DeviceIoControl through the
// kernel's I/O manager, and cancelling a request in flight.
//
// Only device paths ("\\.\NAME", resolved through the kernel's symbolic links) exist:
// there is no disk. Every request completes before DeviceIoControl returns, also when
// the caller passes an OVERLAPPED record (the record is then filled and its event set,
// as for a request that the driver completed at once).
#include <string>

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

// Marks the calling thread's request in flight for CancelSynchronousIo / CancelIoEx.
struct InFlight {
    ThreadRecord &record;
    InFlight(ThreadRecord &r, HANDLE file, LPOVERLAPPED overlapped) : record(r)
    {
        record.inflightOverlapped.store(overlapped);
        record.inflightFile.store(file);
    }
    ~InFlight()
    {
        record.inflightFile.store(nullptr);
        record.inflightOverlapped.store(nullptr);
    }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;
};

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
    (void)dwFlagsAndAttributes;
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
    const bool wasBooted = kernel::MachineBooted();
    if (!kernel::EnsureMachineBooted()) {
        FailWithError(MissingDeviceError(path));  // no machine, so no device of that name
        return INVALID_HANDLE_VALUE;
    }
    if (!wasBooted)
        NoteMachineBootedHere();
    void *handle = nullptr;
    kernel::Status status = kernel::OpenDevicePath(path.c_str(), &handle);
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
    if (hDevice == nullptr || hDevice == kCurrentProcessPseudo || hDevice == kCurrentThreadPseudo)
        return FailWithError(ERROR_INVALID_HANDLE);
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

    std::uintptr_t information = 0;
    kernel::Status status;
    {
        InFlight inFlight(CurrentThread(), hDevice, lpOverlapped);
        status = kernel::DeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                       nOutBufferSize, &information);
    }
    // Errors transfer nothing; success and warnings report what the I/O manager copied.
    const DWORD transferred = kernel::IsError(status) ? 0 : static_cast<DWORD>(information);
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = transferred;
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<std::uint32_t>(status));
        lpOverlapped->InternalHigh = transferred;
        if (lpOverlapped->hEvent != nullptr)
            kernel::SetEvent(lpOverlapped->hEvent);
    }
    if (!kernel::Succeeded(status) || status == kernel::kPending)
        return FailWithStatus(status);
    return TRUE;
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    (void)hFile;
    (void)bWait;  // every request has completed when DeviceIoControl returned
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return FailWithError(ERROR_NOACCESS);
    auto status = static_cast<kernel::Status>(static_cast<std::uint32_t>(lpOverlapped->Internal));
    if (status == kernel::kPending)
        return FailWithError(ERROR_IO_INCOMPLETE);
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (!kernel::Succeeded(status))
        return FailWithStatus(status);
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    // The caller's own requests on the file; a synchronous caller has none in flight, so
    // this succeeds with nothing to do unless the handle is bad.
    kernel::Status status = kernel::CancelFileIo(hFile, false);
    if (status == kernel::kNotFound)
        return TRUE;
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    // With a record: only a request made with that record; without: every request of
    // the process on the file.
    if (lpOverlapped != nullptr && !OverlappedInFlight(hFile, lpOverlapped))
        return FailWithError(ERROR_NOT_FOUND);
    kernel::Status status = kernel::CancelFileIo(hFile, true);
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}

extern "C" BOOL WINAPI CancelSynchronousIo(HANDLE hThread)
{
    auto record = ThreadFromHandle(hThread);
    if (!record)
        return FALSE;
    HANDLE file = record->inflightFile.load();
    if (file == nullptr)
        return FailWithError(ERROR_NOT_FOUND);
    kernel::Status status = kernel::CancelFileIo(file, true);
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}
