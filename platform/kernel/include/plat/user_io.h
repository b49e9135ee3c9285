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
// Inserting takes one reference on the object; closing the handle drops it. A kernel
// handle (`kernelHandle`: one a kernel component made, as with OBJ_KERNEL_HANDLE) has the
// top bit of its 32-bit value set; ObReferenceObjectByHandle resolves it only for
// KernelMode, so that a value an application passes can never name it.
NTSTATUS InsertHandle(PVOID object, POBJECT_TYPE type, ACCESS_MASK granted, HANDLE *handle,
                      bool kernelHandle = false);
NTSTATUS CloseHandle(HANDLE handle);
// Looks a handle up without access check; adds a reference the caller drops with
// ObfDereferenceObject. type may be null to accept any object type.
NTSTATUS ReferenceHandle(HANDLE handle, POBJECT_TYPE type, PVOID *object, POBJECT_TYPE *actualType);

// Dispatcher objects for Win32: an event (KEVENT inside an object with a header) and a
// thread object that becomes signalled when the thread ends.
NTSTATUS CreateEventObject(BOOLEAN manualReset, BOOLEAN initialState, HANDLE *handle);
// *object carries one reference of the caller's, which SignalThreadObject (called once, when
// the thread ends) signals the object with and drops.
NTSTATUS CreateThreadObject(PVOID *object, HANDLE *handle);
void SignalThreadObject(PVOID object);
// Waits as WaitForSingleObject does on the event or thread object behind the handle;
// timeoutMs 0xFFFFFFFF = INFINITE, otherwise virtual milliseconds (in manual clock mode the
// waiting thread advances the clock itself). Returns STATUS_SUCCESS, STATUS_TIMEOUT,
// STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH (not an event or thread).
// SetEventHandle/ResetEventHandle need EVENT_MODIFY_STATE access (STATUS_ACCESS_DENIED).
NTSTATUS WaitForHandle(HANDLE handle, std::uint32_t timeoutMs);
NTSTATUS SetEventHandle(HANDLE handle);
NTSTATUS ResetEventHandle(HANDLE handle);

// Opens "\\.\NAME": resolves \DosDevices\NAME through the symbolic links, sends
// IRP_MJ_CREATE to the top of the device's stack and, on success, returns a file handle.
// Failures: STATUS_OBJECT_PATH_NOT_FOUND (not a \\.\ path), STATUS_OBJECT_NAME_NOT_FOUND
// (no such link or device), STATUS_NO_SUCH_DEVICE (device still initialising),
// STATUS_DELETE_PENDING, STATUS_ACCESS_DENIED (exclusive device already open), or the
// status the driver completed the create with.
NTSTATUS OpenDevicePath(const char *win32Path, HANDLE *fileHandle);
// Synchronous device control on a file handle, as NtDeviceIoControlFile followed by a
// wait: METHOD_BUFFERED through a system buffer, METHOD_*_DIRECT through an MDL.
// *information receives IoStatus.Information (bytes copied back for buffered codes).
// A null buffer with a non-zero length gives STATUS_ACCESS_VIOLATION without a request.
NTSTATUS DeviceControl(HANDLE fileHandle, ULONG code, PVOID input, ULONG inputLength,
                       PVOID output, ULONG outputLength, ULONG_PTR *information);
// Cancels the requests that the calling thread (or, with `anyThread`, any thread) has in
// flight on the file, as CancelIoEx/CancelSynchronousIo do. STATUS_NOT_FOUND if none.
NTSTATUS CancelFileIo(HANDLE fileHandle, bool anyThread);

}  // namespace plat

#endif
