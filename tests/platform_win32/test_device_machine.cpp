// A machine module (plat/machine.h) whose machine is the test driver behind \\.\TqWin32Test:
// a machine host started with TQ_MACHINE_MODULE naming it serves that driver, so that the
// host's forwarding of every transfer method can be checked against a driver's known answers.
#include <plat/machine.h>

#include "test_device_driver.h"

extern "C" __attribute__((visibility("default"))) void TqMachineShutdown(void) { testdev::Unload(); }

extern "C" __attribute__((visibility("default"))) int TqMachineBoot(void)
{
    if (testdev::Load() != 0)
        return 1;
    plat::SetMachineBooted(&TqMachineShutdown);
    return 0;
}
