// The Win32 stand-in's side of the machine host (host_protocol.h): a process that finds a
// host listening opens its device files there instead of booting a machine of its own.
// A remote file's handle is a local event object (so that it is waitable, as a file is);
// the calls below recognise such handles and forward what is done with them.
#ifndef TQ_WIN32_HOST_CLIENT_H
#define TQ_WIN32_HOST_CLIENT_H

#include <windows.h>

#include <string>

namespace tqwin32 {
struct ThreadRecord;
}

namespace tqwin32::host {

enum class Route {
    InProcess,  // no host: boot the machine in this process
    Host,       // the process has a session with a host
    Refused,    // a host was named or found but refused or failed (the reason was printed)
};

// Where this process's device files live: decided at the first open, and again at each
// open while no session exists. A machine already booted in the process always wins.
Route ChooseRoute();

// At the process's end: the host ends this process's session (its files closed) before
// the process goes, so that the next program finds the machine as this one left it.
void EndSessionAtExit();

// CreateFileA of a device path through the host; INVALID_HANDLE_VALUE with the last error set.
HANDLE OpenRemote(const std::string &path, bool overlapped);
bool IsRemote(HANDLE handle);
// Whether the remote file does synchronous I/O (false for a handle that is not remote).
bool RemoteIsSynchronous(HANDLE handle);
BOOL RemoteDeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                           LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL RemoteClose(HANDLE handle);
// CancelIo (callerOnly), CancelIoEx (with or without a record).
BOOL RemoteCancel(HANDLE handle, LPOVERLAPPED overlapped, bool callerOnly);
// CancelSynchronousIo of a thread whose request in flight is remote; false if it has none.
bool RemoteCancelSynchronous(ThreadRecord &record, BOOL *result);

}  // namespace tqwin32::host

#endif
