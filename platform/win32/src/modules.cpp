// Module references: GetModuleHandleExA (counted or not, by name or by an address inside
// the module), FreeLibrary and FreeLibraryAndExitThread. A module handle is the host
// loader's handle of the shared object; a counted reference is one dlopen of it, so the
// module stays in the process while any reference is held, as on Windows.
//
// The stand-in counts the references it handed out per module and refuses to free one it
// never gave (Windows would take it from another holder's count, unloading the module
// under it).
#include <dlfcn.h>
#include <errno.h>

#include <map>
#include <string>

#include "win32_internal.h"

namespace {

// References handed out by GetModuleHandleExA and not yet freed, per module handle.
// Never destroyed: a thread may free its reference while the process runs its exit
// handlers.
struct References {
    std::mutex mutex;
    std::map<void *, unsigned> counts;
};

References &TheReferences()
{
    static References *references = new References;
    return *references;
}

// The file name of the shared object that `address` lies in, or the name given. An
// address in the program itself sets `program` instead.
bool ModuleFileName(DWORD flags, LPCSTR nameOrAddress, std::string &file, bool &program)
{
    program = false;
    if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info{};
        if (dladdr(nameOrAddress, &info) == 0 || info.dli_fname == nullptr)
            return false;
        // The host loader names the program by its argv[0].
        program = info.dli_fname == program_invocation_name;
        file = info.dli_fname;
        return true;
    }
    file = nameOrAddress;
    if (file.size() > 4 && (file.compare(file.size() - 4, 4, ".dll") == 0 || file.compare(file.size() - 4, 4, ".DLL") == 0))
        file = "lib" + file.substr(0, file.size() - 4) + ".so";
    return true;
}

}  // namespace

using namespace tqwin32;

extern "C" BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE *phModule)
{
    constexpr DWORD kKnownFlags = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                                  GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (phModule == nullptr)
        return FailWithError(ERROR_INVALID_PARAMETER);
    *phModule = nullptr;
    if ((dwFlags & ~kKnownFlags) != 0 ||
        ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)))
        return FailWithError(ERROR_INVALID_PARAMETER);
    std::string file;
    bool program = lpModuleName == nullptr;
    if (!program && !ModuleFileName(dwFlags, lpModuleName, file, program))
        return FailWithError(ERROR_MOD_NOT_FOUND);
    if (program) {
        *phModule = GetModuleHandleA(nullptr);  // the program, which is never unloaded
        return TRUE;
    }
    const int mode = RTLD_LAZY | RTLD_NOLOAD | ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) ? RTLD_NODELETE : 0);
    void *handle = dlopen(file.c_str(), mode);
    if (handle == nullptr)
        return FailWithError(ERROR_MOD_NOT_FOUND);
    if (dwFlags & (GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_PIN)) {
        dlclose(handle);  // no reference for the caller (a pinned module stays anyway)
    } else {
        References &refs = TheReferences();
        std::lock_guard lock(refs.mutex);
        ++refs.counts[handle];
    }
    *phModule = reinterpret_cast<HMODULE>(handle);
    return TRUE;
}

// Gives up one counted reference; the module leaves the process with its last one.
extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (hLibModule != nullptr && hLibModule == GetModuleHandleA(nullptr))
        return TRUE;  // the program's references are not counted: it never leaves
    void *handle = reinterpret_cast<void *>(hLibModule);
    {
        References &refs = TheReferences();
        std::lock_guard lock(refs.mutex);
        auto it = refs.counts.find(handle);
        if (it == refs.counts.end())
            return FailWithError(ERROR_MOD_NOT_FOUND);
        if (--it->second == 0)
            refs.counts.erase(it);
    }
    dlclose(handle);
    return TRUE;
}

// Gives up the reference and ends the thread without returning to the caller, whose code
// may leave the process with that reference.
extern "C" void WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode)
{
    FreeLibrary(hLibModule);
    ExitThread(dwExitCode);
}
