// The test seams of tqwin32_seams.h: the device-control hook and the count of threads
// waiting for an SRW lock. Kept apart from the Win32 routines they sit in.
#include "tqwin32_seams.h"

#include <atomic>
#include <mutex>

#include "win32_internal.h"

namespace tqwin32 {

namespace {

// Never destroyed: requests may run while the process's exit handlers run.
std::mutex &gHookLock = *new std::mutex;
DeviceIoControlDoneHook &gDoneHook = *new DeviceIoControlDoneHook;
std::atomic<unsigned> gSrwWaiters{0};

}  // namespace

void SetDeviceIoControlDoneHook(DeviceIoControlDoneHook hook)
{
    std::lock_guard<std::mutex> guard(gHookLock);
    gDoneHook = std::move(hook);
}

// Runs a copy of the hook outside the lock, so that the hook may itself issue requests
// or replace the hook.
void RunDeviceIoControlDoneHook(DWORD code, bool succeeded)
{
    DeviceIoControlDoneHook hook;
    {
        std::lock_guard<std::mutex> guard(gHookLock);
        if (!gDoneHook)
            return;
        hook = gDoneHook;
    }
    hook(code, succeeded);
}

unsigned SrwLockWaiters() { return gSrwWaiters.load(); }

void NoteSrwLockWait(int delta) { gSrwWaiters.fetch_add(static_cast<unsigned>(delta)); }

}  // namespace tqwin32
