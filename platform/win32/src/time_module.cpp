// Host time as KERNEL32 presents it (tick counts, the performance counter, Sleep), and
// module handles. Time here is the host's: the simulated machine's virtual clock paces
// devices, not applications.
#include <dlfcn.h>

#include <chrono>
#include <string>
#include <thread>

#include "win32_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t MillisecondsSinceStart()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

// The image base that GetModuleHandleA(NULL) reports: the default load address of a
// 32-bit Windows program, a recognisable value that is never null.
char *const kProgramModule = reinterpret_cast<char *>(static_cast<std::uintptr_t>(0x00400000));

}  // namespace

using namespace tqwin32;

extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        std::this_thread::yield();  // gives up the rest of the time slice
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

extern "C" DWORD WINAPI GetTickCount(void)
{
    return static_cast<DWORD>(MillisecondsSinceStart());  // wraps after 49.7 days, as on Windows
}

extern "C" ULONGLONG WINAPI GetTickCount64(void) { return MillisecondsSinceStart(); }

extern "C" BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    if (lpFrequency == nullptr)
        return FailWithError(ERROR_NOACCESS);
    lpFrequency->QuadPart = 10000000;  // 100 ns units, as current Windows reports
    return TRUE;
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr)
        return FailWithError(ERROR_NOACCESS);
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() / 100;
    lpPerformanceCount->QuadPart = ticks;
    return TRUE;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName == nullptr)
        return reinterpret_cast<HMODULE>(kProgramModule);
    // A loaded shared object answers to its own file name, or to the Windows-style name
    // NAME.dll for libNAME.so. The handle is not counted, as on Windows.
    std::string name(lpModuleName);
    std::string candidates[2] = {name, name};
    if (name.size() > 4 && (name.compare(name.size() - 4, 4, ".dll") == 0 || name.compare(name.size() - 4, 4, ".DLL") == 0))
        candidates[1] = "lib" + name.substr(0, name.size() - 4) + ".so";
    for (const std::string &candidate : candidates) {
        void *handle = dlopen(candidate.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (handle != nullptr) {
            dlclose(handle);
            return reinterpret_cast<HMODULE>(handle);
        }
    }
    FailWithError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
