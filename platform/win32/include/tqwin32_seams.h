// Test seams of the Win32 stand-in (no Windows counterpart): points at which a test can
// make another thread act between two steps of an application's call, so that an
// interleaving a real machine produces only now and then happens on every run.
#ifndef TQ_WIN32_SEAMS_H
#define TQ_WIN32_SEAMS_H

#include <windows.h>

#include <functional>

namespace tqwin32 {

// Called in the issuing thread when a DeviceIoControl without an OVERLAPPED record has
// finished (the driver completed the request, the handle's lock is released), with the
// control code and whether the request succeeded, just before DeviceIoControl returns:
// what the caller does next (with the locks it holds) has not happened yet. Empty = none.
using DeviceIoControlDoneHook = std::function<void(DWORD code, bool succeeded)>;
void SetDeviceIoControlDoneHook(DeviceIoControlDoneHook hook);

// Threads waiting now in AcquireSRWLockExclusive for a lock another thread owns: a test
// that must know another thread is held at a lock polls this.
unsigned SrwLockWaiters();

}  // namespace tqwin32

#endif
