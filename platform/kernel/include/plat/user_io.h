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
// Waits as WaitForSingleObject does on the event, thread or file object behind the handle
// (a file is signalled when a request of its that had no event completes);
// timeoutMs 0xFFFFFFFF = INFINITE, otherwise virtual milliseconds (in manual clock mode the
// waiting thread advances the clock itself). Returns STATUS_SUCCESS, STATUS_TIMEOUT,
// STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH (none of these).
// SetEventHandle/ResetEventHandle need EVENT_MODIFY_STATE access (STATUS_ACCESS_DENIED).
NTSTATUS WaitForHandle(HANDLE handle, std::uint32_t timeoutMs);
NTSTATUS SetEventHandle(HANDLE handle);
NTSTATUS ResetEventHandle(HANDLE handle);

// How a file handle does its I/O, as CreateFile's FILE_FLAG_OVERLAPPED chooses.
// Synchronous (FO_SYNCHRONOUS_IO): the file object's lock serialises its requests, each
// caller waits for its request, and closing the last handle waits for the request in flight
// before IRP_MJ_CLEANUP goes out. Overlapped: requests run side by side and a request the
// driver keeps pending returns STATUS_PENDING to its issuer.
enum class FileIo { Synchronous, Overlapped };

// Opens "\\.\NAME": resolves \DosDevices\NAME through the symbolic links, sends
// IRP_MJ_CREATE to the top of the device's stack and, on success, returns a file handle.
// Failures: STATUS_OBJECT_PATH_NOT_FOUND (not a \\.\ path), STATUS_OBJECT_NAME_NOT_FOUND
// (no such link or device), STATUS_NO_SUCH_DEVICE (device still initialising),
// STATUS_DELETE_PENDING, STATUS_ACCESS_DENIED (exclusive device already open), or the
// status the driver completed the create with.
NTSTATUS OpenDevicePath(const char *win32Path, HANDLE *fileHandle, FileIo mode = FileIo::Synchronous);
// Whether the handle's file object does synchronous I/O (STATUS_INVALID_HANDLE,
// STATUS_OBJECT_TYPE_MISMATCH when it names no file).
NTSTATUS FileIsSynchronous(HANDLE fileHandle, bool *synchronous);
// Device control as NtDeviceIoControlFile: METHOD_BUFFERED through a system buffer,
// METHOD_*_DIRECT through an MDL. The event (optional, EVENT_MODIFY_STATE) is reset first.
// On a synchronous file the caller waits for the file's lock and then for the request; on an
// overlapped file it waits only with `wait` (as DeviceIoControl + GetOverlappedResult do),
// otherwise a request the driver keeps pending gives STATUS_PENDING. At completion
// *ioStatus (Status written last, atomically, so that a poller may read it) and then the
// event, or the file object's own event when none is given, are set, unless the request
// failed with an error without pending: that error is only the result. `ioStatus` also
// identifies the request to CancelFileIo. A null buffer with a non-zero length gives
// STATUS_ACCESS_VIOLATION without a request.
NTSTATUS DeviceControlRequest(HANDLE fileHandle, HANDLE event, PIO_STATUS_BLOCK ioStatus, bool wait, ULONG code,
                              PVOID input, ULONG inputLength, PVOID output, ULONG outputLength);
// A device control whose caller waits for it (DeviceControlRequest with `wait`); the
// result is the final status, *information receives IoStatus.Information (bytes copied
// back for buffered codes).
NTSTATUS DeviceControl(HANDLE fileHandle, ULONG code, PVOID input, ULONG inputLength,
                       PVOID output, ULONG outputLength, ULONG_PTR *information);
// Cancels requests in flight on the file: with `ioStatus`, the ones issued with that status
// block (any thread; with a null handle, on any file); otherwise those of the calling thread
// or, with `anyThread`, of every thread; as CancelIoEx, CancelIo and CancelSynchronousIo do.
// STATUS_NOT_FOUND if none.
NTSTATUS CancelFileIo(HANDLE fileHandle, bool anyThread, const void *ioStatus = nullptr);

}  // namespace plat

#endif
