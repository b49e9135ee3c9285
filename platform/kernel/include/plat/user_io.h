// What the Win32 stand-in needs of the kernel stand-in: the one handle table of the
// simulated process, kernel dispatcher objects usable as Win32 event and thread handles,
// and the I/O manager's file operations (open by device path, device control, close,
// cancel). Implemented by platform/kernel; used by platform/win32 only.
#ifndef TQ_PLATFORM_USER_IO_H
#define TQ_PLATFORM_USER_IO_H

#include <wdm.h>

#include <cstdint>

namespace plat {

// Handles are small integers (multiples of 4, never 0), so that they fit the 32-bit
// handle fields of records crossing from user to kernel mode, as on 32-bit Windows.
// Inserting takes one reference on the object; closing the handle drops it.
NTSTATUS InsertHandle(PVOID object, POBJECT_TYPE type, ACCESS_MASK granted, HANDLE *handle);
NTSTATUS CloseHandle(HANDLE handle);
// Looks a handle up without access check; adds a reference the caller drops with
// ObfDereferenceObject. type may be null to accept any object type.
NTSTATUS ReferenceHandle(HANDLE handle, POBJECT_TYPE type, PVOID *object, POBJECT_TYPE *actualType);

// Dispatcher objects for Win32: an event (KEVENT inside an object with a header) and a
// thread object that becomes signalled when the thread ends.
NTSTATUS CreateEventObject(BOOLEAN manualReset, BOOLEAN initialState, HANDLE *handle);
NTSTATUS CreateThreadObject(PVOID *object, HANDLE *handle);  // signalled by SignalThreadObject
void SignalThreadObject(PVOID object);
// Waits as WaitForSingleObject does on any dispatcher object behind the handle;
// timeoutMs 0xFFFFFFFF = INFINITE. Returns STATUS_SUCCESS, STATUS_TIMEOUT or an error.
NTSTATUS WaitForHandle(HANDLE handle, std::uint32_t timeoutMs);
NTSTATUS SetEventHandle(HANDLE handle);
NTSTATUS ResetEventHandle(HANDLE handle);

// Opens "\\.\NAME": resolves \DosDevices\NAME through the symbolic links, sends
// IRP_MJ_CREATE to the top of the device's stack and, on success, returns a file handle.
NTSTATUS OpenDevicePath(const char *win32Path, HANDLE *fileHandle);
// Synchronous device control on a file handle, as NtDeviceIoControlFile followed by a
// wait: METHOD_BUFFERED through a system buffer, METHOD_*_DIRECT through an MDL.
// *information receives IoStatus.Information (bytes copied back for buffered codes).
NTSTATUS DeviceControl(HANDLE fileHandle, ULONG code, PVOID input, ULONG inputLength,
                       PVOID output, ULONG outputLength, ULONG_PTR *information);
// Cancels the requests that the calling thread (or, with `anyThread`, any thread) has in
// flight on the file, as CancelIoEx/CancelSynchronousIo do.
NTSTATUS CancelFileIo(HANDLE fileHandle, bool anyThread);

}  // namespace plat

#endif
