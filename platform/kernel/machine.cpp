// The simulated machine's life: booting it (by loading the machine module when nobody
// booted one), shutting it down as a process exit would (every open handle closed, so
// drivers see cleanup and close), and resetting the whole kernel stand-in for the next test.
#include "kernel_internal.h"

#include <plat/machine.h>
#include <plat/user_io.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace plat {
namespace {

std::mutex gBootLock;   // serialises EnsureMachineBooted
std::mutex gStateLock;  // gBooted, gShutdown
bool gBooted = false;
MachineShutdownFn gShutdown = nullptr;
// Function-local so that parts registering from their static initialisers find them ready.
std::mutex &HookLock()
{
    static std::mutex &lock = *new std::mutex;
    return lock;
}
std::vector<void (*)()> &ResetHooks()
{
    static std::vector<void (*)()> &hooks = *new std::vector<void (*)()>;
    return hooks;
}

std::string ModulePath()
{
    if (const char *env = std::getenv("TQ_MACHINE_MODULE"); env != nullptr && *env != '\0') return env;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&EnsureMachineBooted), &info) != 0 && info.dli_fname != nullptr) {
        std::string self = info.dli_fname;
        auto slash = self.rfind('/');
        if (slash != std::string::npos) return self.substr(0, slash + 1) + "libtq4815machine.so";
    }
    return "libtq4815machine.so";
}

}  // namespace

bool EnsureMachineBooted()
{
    std::lock_guard<std::mutex> boot(gBootLock);
    if (MachineBooted()) return true;
    std::string path = ModulePath();
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (module == nullptr) {
        MachineMessage("tq machine: cannot load %s: %s\n", path.c_str(), dlerror());
        return false;
    }
    auto bootFn = reinterpret_cast<MachineBootFn>(dlsym(module, "TqMachineBoot"));
    auto shutdownFn = reinterpret_cast<MachineShutdownFn>(dlsym(module, "TqMachineShutdown"));
    if (bootFn == nullptr) {
        MachineMessage("tq machine: %s exports no TqMachineBoot\n", path.c_str());
        return false;
    }
    int result = bootFn();
    if (result != 0) {
        MachineMessage("tq machine: boot from %s failed (%d)\n", path.c_str(), result);
        return false;
    }
    if (!MachineBooted()) SetMachineBooted(shutdownFn);
    return true;
}

void SetMachineBooted(MachineShutdownFn shutdown)
{
    std::lock_guard<std::mutex> guard(gStateLock);
    gBooted = true;
    gShutdown = shutdown;
}

void ShutdownMachine()
{
    MachineShutdownFn shutdown;
    {
        std::lock_guard<std::mutex> guard(gStateLock);
        if (!gBooted) return;
        gBooted = false;
        shutdown = gShutdown;
        gShutdown = nullptr;
    }
    // As a process exit does: the threads' requests are cancelled as the threads end, then
    // the handles are closed (a synchronous handle's close waits for its request).
    detail::CancelAllFileIo();
    detail::CloseAllHandles();
    FlushWorkItems();  // closes owed from completions above PASSIVE_LEVEL reach the drivers now
    if (shutdown) shutdown();
}

namespace {
thread_local std::string *tSink = nullptr;
}  // namespace

void SetThreadMessageSink(std::string *sink) { tSink = sink; }

void MachineMessage(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fputs(text, stderr);
    if (tSink != nullptr)
        tSink->append(text);
}

bool MachineBooted()
{
    std::lock_guard<std::mutex> guard(gStateLock);
    return gBooted;
}

void AddResetHook(void (*hook)())
{
    std::lock_guard<std::mutex> guard(HookLock());
    std::vector<void (*)()> &hooks = ResetHooks();
    if (std::find(hooks.begin(), hooks.end(), hook) == hooks.end()) hooks.push_back(hook);
}

void ResetMachine()
{
    ShutdownMachine();
    detail::CloseAllHandles();
    std::vector<void (*)()> hooks;
    {
        std::lock_guard<std::mutex> guard(HookLock());
        hooks = ResetHooks();
    }
    for (auto hook : hooks) hook();
    detail::ResetClock();  // back to manual mode: clock and DPC threads stopped
    detail::ResetWorkQueue();
    detail::ResetDpcs();
    detail::ResetInterrupts();
    detail::ResetBus();
    detail::ResetMemoryMappings();
    detail::ResetFileIo();
    detail::ResetIo();
    detail::ResetObjects();
    detail::ResetPool();
    detail::ResetVerifierCount();
    detail::ForgetLocksOutsideRegion();
    detail::ThreadState &t = detail::Thread();
    t.criticalRegion = 0;
    t.irql = PASSIVE_LEVEL;
    t.heldLocks.clear();
    t.currentDriver = nullptr;
    t.busDepth = 0;
    t.drainingDpcs = false;
    __atomic_store_n(detail::CancelSpinLock(), static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

}  // namespace plat
