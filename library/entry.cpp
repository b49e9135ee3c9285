// The loader's entry into the library: process attach and detach run from DllMain on
// Windows and from the shared object's load and unload hooks elsewhere. Both call the
// same pair of routines that tests may also call directly.
#include "library_state.h"

#ifdef _WIN32

// Returns TRUE for every reason. At process detach `reserved` is null for FreeLibrary
// (other threads still run, the loader lock is held) and non-null when the process is
// terminating (the system has already ended the other threads). FreeLibrary cannot reach
// the detach while a notification thread lives: each holds a reference on the module.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    (void)module;
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        TavlonProcessAttach();
        break;
    case DLL_PROCESS_DETACH:
        ProcessDetach(true, reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}

#else

__attribute__((constructor)) static void TavlonLoaded(void) { TavlonProcessAttach(); }

// Runs under the loader's lock (dlclose), or from the exit handlers of a process that
// never unloaded the library, whose other threads still run.
__attribute__((destructor)) static void TavlonUnloaded(void) { ProcessDetach(true, false); }

#endif
