// Threads: thread identifiers, CreateThread with waitable thread objects of the kernel's
// handle table, suspension at creation, exit codes, OpenThread, and the end-of-thread
// work (USER32 clean-up, signalling the thread object).
//
// Every thread that calls the stand-in gets a ThreadRecord on first use; the record of a
// thread started by CreateThread exists before it runs. A thread's record stays findable
// by its id while it runs, and by its kernel object while a handle of that object is open.
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>

#include <thread>
#include <unordered_map>

#include "win32_internal.h"

namespace tqwin32 {
namespace {

// Thread ids are multiples of 4 and never 0, as on Windows.
std::atomic<DWORD> g_nextThreadId{0x1000};

struct ObjectEntry {
    std::shared_ptr<ThreadRecord> record;
    int handles = 0;  // handles of the object opened through the stand-in
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<ThreadRecord>> byId;      // running threads
    std::unordered_map<void *, ObjectEntry> byObject;                   // threads with handles
    // Ending threads between taking their object and giving up its creation reference: a
    // machine reset waits for them, since a waiter on the object may wake (and reset the
    // machine) before the ending thread has let go of an object the reset frees.
    std::atomic<int> signalling{0};
};

Registry &TheRegistry()
{
    static Registry *registry = new Registry;  // outlives every thread's end-of-thread work
    return *registry;
}

// Runs the end-of-thread work once, in the ending thread.
void FinishThread(const std::shared_ptr<ThreadRecord> &record)
{
    DWORD stillActive = STILL_ACTIVE;
    if (!record->startedByCreateThread)  // no start routine returned a code, unless ExitThread gave one
        record->exitCode.compare_exchange_strong(stillActive, 0);
    user::ThreadExiting(record->id);
    Registry &reg = TheRegistry();
    void *object = nullptr;
    {
        // An ended thread stays known by id and object while a handle of it is open (as on
        // Windows, where the id lives as long as the thread object); otherwise it goes now.
        std::lock_guard lock(reg.mutex);
        record->finished = true;
        object = record->object;
        auto it = object != nullptr ? reg.byObject.find(object) : reg.byObject.end();
        if (it == reg.byObject.end() || it->second.handles == 0) {
            if (it != reg.byObject.end())
                reg.byObject.erase(it);
            reg.byId.erase(record->id);
            record->object = nullptr;
        }
        if (object != nullptr)
            reg.signalling.fetch_add(1);
    }
    if (object != nullptr) {
        kernel::SignalThreadObject(object);  // gives up the creation reference
        reg.signalling.fetch_sub(1);
    }
}

// The calling thread's record. t_record is a plain pointer so that it can be read at any
// time, also after the guard's destruction at thread end (a library's unload hook may
// still call the stand-in then).
thread_local ThreadRecord *t_record = nullptr;
thread_local bool t_ended = false;

// Owns the calling thread's record; its destruction at thread end does the end-of-thread
// work (for the main thread: at exit, before static objects go).
struct ThreadGuard {
    std::shared_ptr<ThreadRecord> record;
    ~ThreadGuard()
    {
        t_ended = true;
        t_record = nullptr;
        if (record)
            FinishThread(record);
    }
};

thread_local ThreadGuard t_guard;

std::shared_ptr<ThreadRecord> NewRecord()
{
    auto record = std::make_shared<ThreadRecord>();
    record->id = g_nextThreadId.fetch_add(4);
    return record;
}

void Register(const std::shared_ptr<ThreadRecord> &record)
{
    Registry &reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    reg.byId[record->id] = record;
}

// Forgets every kernel thread object: a machine reset has closed their handles and
// freed them.
void ForgetKernelObjects()
{
    Registry &reg = TheRegistry();
    std::unique_lock lock(reg.mutex);
    while (reg.signalling.load() != 0) {
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
    }
    for (auto &[object, entry] : reg.byObject)
        entry.record->object = nullptr;
    reg.byObject.clear();
    std::erase_if(reg.byId, [](const auto &item) { return item.second->finished; });
}

// Gives the record a kernel thread object with one handle for the caller. Called with
// the registry lock held.
kernel::Status AttachObject(Registry &reg, const std::shared_ptr<ThreadRecord> &record, HANDLE *handle)
{
    static std::once_flag hookInstalled;
    std::call_once(hookInstalled, [] { kernel::AddResetHook(ForgetKernelObjects); });
    void *object = nullptr;
    void *h = nullptr;
    kernel::Status status = kernel::CreateThreadObject(&object, &h);
    if (!kernel::Succeeded(status))
        return status;
    record->object = object;
    reg.byObject[object] = ObjectEntry{record, 1};
    *handle = h;
    return kernel::kSuccess;
}

struct StartInfo {
    std::shared_ptr<ThreadRecord> record;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

// Where ExitThread leaves a thread that CreateThread started: back in ThreadMain, without
// unwinding the frames between (as on Windows, which runs no destructors of them either,
// and whose frames may belong to a module that is being unloaded).
thread_local jmp_buf *t_exitJump = nullptr;
thread_local DWORD t_exitThreadCode = 0;

void *ThreadMain(void *argument)
{
    std::unique_ptr<StartInfo> info(static_cast<StartInfo *>(argument));
    t_guard.record = info->record;
    t_record = info->record.get();
    ThreadRecord &record = *info->record;
    {
        std::unique_lock lock(record.gateMutex);
        record.gate.wait(lock, [&] { return record.suspendCount == 0; });
    }
    jmp_buf exitJump;
    if (setjmp(exitJump) == 0) {
        t_exitJump = &exitJump;
        DWORD code = info->start(info->parameter);
        t_exitJump = nullptr;
        record.exitCode.store(code);
    } else {
        record.exitCode.store(t_exitThreadCode);  // ExitThread
    }
    return nullptr;  // t_guard's destructor finishes the thread
}

}  // namespace

ThreadRecord &CurrentThread()
{
    if (t_record == nullptr) {
        auto record = NewRecord();
        Register(record);
        // After the guard is gone (calls from other end-of-thread code), the record stays
        // registered for the rest of the process instead.
        if (!t_ended)
            t_guard.record = record;
        t_record = record.get();
    }
    return *t_record;
}

DWORD CurrentThreadId() { return CurrentThread().id; }

std::shared_ptr<ThreadRecord> ThreadFromHandle(HANDLE handle)
{
    if (handle == kCurrentThreadPseudo) {
        const DWORD id = CurrentThread().id;
        Registry &reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        return reg.byId[id];
    }
    void *object = nullptr;
    void *type = nullptr;
    kernel::Status status = kernel::ReferenceHandle(handle, &object, &type);
    if (!kernel::Succeeded(status)) {
        FailWithStatus(status);
        return nullptr;
    }
    std::shared_ptr<ThreadRecord> record;
    {
        Registry &reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.byObject.find(object);
        if (it != reg.byObject.end())
            record = it->second.record;
    }
    kernel::Dereference(object);
    if (!record)
        FailWithError(ERROR_INVALID_HANDLE);  // a handle, but not of a thread
    return record;
}

void ThreadHandleClosed(void *object)
{
    Registry &reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.byObject.find(object);
    if (it == reg.byObject.end())
        return;
    if (--it->second.handles == 0 && it->second.record->finished) {
        auto record = it->second.record;
        reg.byObject.erase(it);
        reg.byId.erase(record->id);
        record->object = nullptr;
    }
}

}  // namespace tqwin32

using namespace tqwin32;

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }

extern "C" HANDLE WINAPI GetCurrentThread(void) { return kCurrentThreadPseudo; }

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    // Security attributes and the stack size are accepted and not used: every thread
    // gets the host's default stack, which is larger than Windows' default.
    (void)lpThreadAttributes;
    (void)dwStackSize;
    if (lpStartAddress == nullptr) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto record = NewRecord();
    record->startedByCreateThread = true;
    record->suspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;

    Registry &reg = TheRegistry();
    HANDLE handle = nullptr;
    {
        std::lock_guard lock(reg.mutex);
        kernel::Status status = AttachObject(reg, record, &handle);
        if (!kernel::Succeeded(status)) {
            FailWithStatus(status);
            return nullptr;
        }
        reg.byId[record->id] = record;
    }

    auto *info = new StartInfo{record, lpStartAddress, lpParameter};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ThreadMain, info);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete info;
        void *object = nullptr;
        {
            std::lock_guard lock(reg.mutex);
            reg.byId.erase(record->id);
            reg.byObject.erase(record->object);
            object = record->object;
            record->object = nullptr;
            record->finished = true;
        }
        kernel::CloseHandle(handle);
        if (object != nullptr)
            kernel::Dereference(object);  // the creation reference
        FailWithError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr)
        *lpThreadId = record->id;
    return handle;
}

extern "C" HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId)
{
    (void)bInheritHandle;
    Registry &reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.byId.find(dwThreadId);
    if (it == reg.byId.end()) {
        FailWithError(ERROR_INVALID_PARAMETER);  // what Windows reports for an unknown id
        return nullptr;
    }
    const std::shared_ptr<ThreadRecord> &record = it->second;
    HANDLE handle = nullptr;
    kernel::Status status;
    if (record->object == nullptr) {
        status = AttachObject(reg, record, &handle);
    } else {
        void *h = nullptr;
        status = kernel::InsertHandle(record->object, nullptr, dwDesiredAccess, &h);
        if (kernel::Succeeded(status)) {
            handle = h;
            reg.byObject[record->object].handles++;
        }
    }
    if (!kernel::Succeeded(status)) {
        FailWithStatus(status);
        return nullptr;
    }
    return handle;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread)
{
    auto record = ThreadFromHandle(hThread);
    if (!record)
        return static_cast<DWORD>(-1);
    std::lock_guard lock(record->gateMutex);
    DWORD previous = record->suspendCount;
    if (previous > 0 && --record->suspendCount == 0)
        record->gate.notify_all();
    return previous;
}

extern "C" DWORD WINAPI GetThreadId(HANDLE Thread)
{
    auto record = ThreadFromHandle(Thread);
    return record ? record->id : 0;
}

// Ends the calling thread with an exit code. A thread that CreateThread started returns to
// the stand-in's thread routine without unwinding its frames; any other thread (the
// program's main thread, a std::thread) ends through pthread_exit.
extern "C" void WINAPI ExitThread(DWORD dwExitCode)
{
    jmp_buf *exitJump = t_exitJump;
    if (exitJump != nullptr) {
        t_exitJump = nullptr;
        t_exitThreadCode = dwExitCode;
        longjmp(*exitJump, 1);
    }
    CurrentThread().exitCode.store(dwExitCode);
    pthread_exit(nullptr);
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    auto record = ThreadFromHandle(hThread);
    if (!record)
        return FALSE;
    if (lpExitCode == nullptr)
        return FailWithError(ERROR_NOACCESS);
    *lpExitCode = record->exitCode.load();
    return TRUE;
}
