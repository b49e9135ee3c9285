// Per-thread last error and the translation of kernel statuses into Win32 errors, as
// KERNEL32 does it with RtlNtStatusToDosError for the statuses that reach it here.
#include <iterator>

#include <winternl.h>

#include "win32_internal.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct StatusError {
    std::uint32_t status;
    DWORD error;
};

// The statuses the kernel stand-in, the I/O manager and the drivers complete requests
// with, and their Win32 errors as Windows translates them. Warnings (0x8…) translate too:
// DeviceIoControl fails with them, after it has copied the output.
constexpr StatusError kStatusErrors[] = {
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
    {0xC000000E, ERROR_NO_SUCH_DEVICE},       // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000016, ERROR_MORE_DATA},            // STATUS_MORE_PROCESSING_REQUIRED
    {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
    {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},       // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC0000043, ERROR_SHARING_VIOLATION},    // STATUS_SHARING_VIOLATION
    {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},  // STATUS_INSUFFICIENT_RESOURCES
    {0xC00000A3, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
    {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
    {0xC00000C0, ERROR_DEV_NOT_EXIST},        // STATUS_DEVICE_DOES_NOT_EXIST
    {0xC00000E8, ERROR_INVALID_USER_BUFFER},  // STATUS_INVALID_USER_BUFFER
    {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
    {0xC0000182, ERROR_INVALID_PARAMETER},    // STATUS_DEVICE_CONFIGURATION_ERROR
    {0xC0000184, ERROR_BAD_COMMAND},          // STATUS_INVALID_DEVICE_STATE
    {0xC0000185, ERROR_IO_DEVICE},            // STATUS_IO_DEVICE_ERROR
    {0xC0000225, ERROR_NOT_FOUND},            // STATUS_NOT_FOUND
    {0xC00002B6, ERROR_DEVICE_REMOVED},       // STATUS_DEVICE_REMOVED
    {0xC00002D3, ERROR_NOT_READY},            // STATUS_POWER_STATE_INVALID
};

// Statuses of the Win32 facility (0x?007xxxx) carry their Win32 error in the low word.
constexpr std::uint32_t kFacilityMask = 0x0FFF0000;
constexpr std::uint32_t kFacilityWin32 = 0x00070000;

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

extern "C" ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status) { return tqwin32::ErrorFromStatus(Status); }

namespace tqwin32 {

DWORD ErrorFromStatus(kernel::Status status)
{
    if (status == kernel::kSuccess)
        return ERROR_SUCCESS;
    const auto code = static_cast<std::uint32_t>(status);
    if ((code & kFacilityMask) == kFacilityWin32 && (code >> 30) != 0)
        return code & 0xFFFF;
    for (const StatusError &entry : kStatusErrors) {
        if (entry.status == code)
            return entry.error;
    }
    // A status with no Win32 equivalent, as RtlNtStatusToDosError reports it.
    return ERROR_MR_MID_NOT_FOUND;
}

BOOL FailWithStatus(kernel::Status status)
{
    SetLastError(ErrorFromStatus(status));
    return FALSE;
}

BOOL FailWithError(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

}  // namespace tqwin32
