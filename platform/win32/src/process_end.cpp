// The end of the process, for a machine that the stand-in booted itself (a program that
// sees only the Win32 API). When a Windows process ends, its DLLs are detached first and
// its handles are closed afterwards, which is when drivers see cleanup and close. Here
// the same order falls out of unloading: a library that uses the stand-in (TAVLON) is
// finalised before the stand-in, whose unload hook then shuts the machine down (every
// handle closed, the machine module's shutdown run) before the kernel stand-in goes.
// A process whose files live at a machine host ends its session there instead.
#include <atomic>

#include "host_client.h"
#include "win32_internal.h"

namespace tqwin32 {
namespace {

std::atomic<bool> g_bootedHere{false};

__attribute__((destructor)) void ShutDownMachineBootedHere()
{
    host::EndSessionAtExit();
    if (g_bootedHere.exchange(false))
        kernel::ShutdownMachine();
}

}  // namespace

void NoteMachineBootedHere() { g_bootedHere.store(true); }

}  // namespace tqwin32
