// Kernel-object handles seen from Win32: CloseHandle, WaitForSingleObject, events (with
// optional names), the process and its pseudo handles. Handles are those of the kernel
// stand-in's one handle table, so a kernel-mode driver can reference an event handle
// created here with ObReferenceObjectByHandle.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <unordered_map>

#include "host_client.h"
#include "win32_internal.h"

namespace tqwin32 {
namespace {

// Named events: a name lives while a handle of its event is open, as in the object
// manager's namespace.
struct NamedEvent {
    void *object = nullptr;
    void *type = nullptr;
    int handles = 0;
};

void ForgetNames();

struct EventNames {
    std::mutex mutex;
    std::unordered_map<std::string, NamedEvent> byName;
    std::unordered_map<void *, std::string> nameOf;
};

EventNames &Names()
{
    static EventNames *names = [] {
        kernel::AddResetHook(ForgetNames);
        return new EventNames;
    }();
    return *names;
}

// A machine reset closes every handle and frees every object: no name survives it.
void ForgetNames()
{
    EventNames &names = Names();
    std::lock_guard lock(names.mutex);
    for (auto &[name, named] : names.byName)
        kernel::Dereference(named.object);
    names.byName.clear();
    names.nameOf.clear();
}

bool IsPseudoHandle(HANDLE h) { return h == kCurrentProcessPseudo || h == kCurrentThreadPseudo; }

// A wait on the process or thread pseudo handle never ends early: neither object is
// signalled while the caller runs.
DWORD WaitNeverSignalled(DWORD ms)
{
    if (ms == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return WAIT_TIMEOUT;
}

// A wait with a finite time-out, measured in host time: application time-outs are the
// host's, whatever the simulated machine's clock mode. The kernel's own timed wait counts
// virtual time (and in manual clock mode would move the machine's clock from this
// thread), so the object is tested without waiting, between short host sleeps.
kernel::Status WaitHostTime(HANDLE handle, DWORD ms)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        kernel::Status status = kernel::Wait(handle, 0);
        if (status != kernel::kTimeout)
            return status;
        const auto now = Clock::now();
        if (now >= deadline)
            return kernel::kTimeout;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
}

}  // namespace

void EventHandleClosed(void *object)
{
    EventNames &names = Names();
    std::lock_guard lock(names.mutex);
    auto it = names.nameOf.find(object);
    if (it == names.nameOf.end())
        return;
    auto named = names.byName.find(it->second);
    if (--named->second.handles == 0) {
        names.byName.erase(named);
        names.nameOf.erase(it);
        kernel::Dereference(object);  // the name's own reference
    }
}

}  // namespace tqwin32

using namespace tqwin32;

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (IsPseudoHandle(hObject))
        return TRUE;  // closing a pseudo handle has no effect
    if (hObject == nullptr)
        return FailWithError(ERROR_INVALID_HANDLE);
    if (host::IsRemote(hObject))
        return host::RemoteClose(hObject);  // the file's close goes to the host
    void *object = nullptr;
    void *type = nullptr;
    kernel::Status status = kernel::ReferenceHandle(hObject, &object, &type);
    if (!kernel::Succeeded(status))
        return FailWithStatus(status);
    status = kernel::CloseHandle(hObject);
    if (kernel::Succeeded(status)) {
        ThreadHandleClosed(object);
        EventHandleClosed(object);
    }
    kernel::Dereference(object);
    if (!kernel::Succeeded(status))
        return FailWithStatus(status);
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (IsPseudoHandle(hHandle))
        return WaitNeverSignalled(dwMilliseconds);
    kernel::Status status = dwMilliseconds == 0 || dwMilliseconds == INFINITE ? kernel::Wait(hHandle, dwMilliseconds)
                                                                              : WaitHostTime(hHandle, dwMilliseconds);
    switch (status) {
    case kernel::kSuccess:
        return WAIT_OBJECT_0;
    case kernel::kTimeout:
        return WAIT_TIMEOUT;
    case kernel::kAbandoned:
        return WAIT_ABANDONED;
    default:
        FailWithStatus(status);
        return WAIT_FAILED;
    }
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName == nullptr || *lpName == '\0') {
        void *handle = nullptr;
        kernel::Status status = kernel::CreateEventObject(bManualReset != FALSE, bInitialState != FALSE, &handle);
        if (!kernel::Succeeded(status)) {
            FailWithStatus(status);
            return nullptr;
        }
        SetLastError(ERROR_SUCCESS);
        return handle;
    }
    if (std::string(lpName).find('\\') != std::string::npos) {
        // Only the session-local namespace exists; "Global\" and the like are not modelled.
        FailWithError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    EventNames &names = Names();
    std::lock_guard lock(names.mutex);
    auto it = names.byName.find(lpName);
    if (it != names.byName.end()) {
        // The existing event is opened; the reset mode and initial state asked for are
        // ignored, and the caller learns it through ERROR_ALREADY_EXISTS.
        void *handle = nullptr;
        kernel::Status status = kernel::InsertHandle(it->second.object, it->second.type, EVENT_ALL_ACCESS, &handle);
        if (kernel::Succeeded(status)) {
            it->second.handles++;
            SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
        // The machine was shut down under the name (every handle closed): a new event.
        kernel::Dereference(it->second.object);
        names.nameOf.erase(it->second.object);
        names.byName.erase(it);
    }
    void *handle = nullptr;
    kernel::Status status = kernel::CreateEventObject(bManualReset != FALSE, bInitialState != FALSE, &handle);
    if (!kernel::Succeeded(status)) {
        FailWithStatus(status);
        return nullptr;
    }
    void *object = nullptr;
    void *type = nullptr;
    status = kernel::ReferenceHandle(handle, &object, &type);
    if (!kernel::Succeeded(status)) {
        kernel::CloseHandle(handle);
        FailWithStatus(status);
        return nullptr;
    }
    // The name keeps a reference of its own, so the object it names cannot go while the
    // name exists; the last CloseHandle through the stand-in removes the name.
    names.byName[lpName] = NamedEvent{object, type, 1};
    names.nameOf[object] = lpName;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

extern "C" HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    (void)bInheritHandle;
    if (lpName == nullptr) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    EventNames &names = Names();
    std::lock_guard lock(names.mutex);
    auto it = names.byName.find(lpName);
    if (it == names.byName.end()) {
        FailWithError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    void *handle = nullptr;
    kernel::Status status = kernel::InsertHandle(it->second.object, it->second.type, dwDesiredAccess, &handle);
    if (!kernel::Succeeded(status)) {
        // The machine was shut down under the name: the event is gone.
        kernel::Dereference(it->second.object);
        names.nameOf.erase(it->second.object);
        names.byName.erase(it);
        FailWithError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    it->second.handles++;
    return handle;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    kernel::Status status = kernel::SetEvent(hEvent);
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    kernel::Status status = kernel::ResetEvent(hEvent);
    return kernel::Succeeded(status) ? TRUE : FailWithStatus(status);
}

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcessPseudo; }

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
