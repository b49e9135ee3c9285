// libtq4815machine.so: the machine module the Win32 stand-in loads on a program's first
// CreateFileA. It reads TQ4815_SIM, boots the simulated machine in real time (speed from
// the configuration) with the card and the Tq4815x driver, and starts the device.
#include "sim/machine.h"

#include <plat/machine.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// The driver's load entry (libTq4815x.so).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

extern "C" __attribute__((visibility("default"))) int TqMachineBoot(void);
extern "C" __attribute__((visibility("default"))) void TqMachineShutdown(void);

namespace {

// Deliberately not a smart pointer: a machine nobody shut down is left alone at process
// exit rather than torn down after the kernel stand-in's own statics are gone.
sim::Machine *gMachine = nullptr;

void Fail(const char *what, NTSTATUS status)
{
    plat::MachineMessage("tq4815 simulated machine: %s failed with status 0x%08lX\n", what,
                 static_cast<unsigned long>(static_cast<ULONG>(status)));
}

// eeprom=PATH keeps the EEPROM in a file, saved through a temporary file beside it: a
// folder that cannot take it is refused at boot rather than at the first write.
bool EepromFileWritable(const std::string &path, std::string &error)
{
    if (path.empty())
        return true;
    std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
    if (access(folder.c_str(), W_OK | X_OK) != 0 || (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0)) {
        error = "eeprom=" + path + ": cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int TqMachineBoot(void)
{
    if (gMachine)
        return 0;
    sim::MachineOptions options;
    std::string error;
    if (const char *text = std::getenv("TQ4815_SIM")) {
        if (!sim::ParseSimConfig(text, options.config, error)) {
            plat::MachineMessage("tq4815 simulated machine: %s\n", error.c_str());
            return 1;
        }
    }
    if (!EepromFileWritable(options.config.card.eepromPath, error)) {
        plat::MachineMessage("tq4815 simulated machine: %s\n", error.c_str());
        return 1;
    }
    options.clock = plat::ClockMode::RealTime;
    options.speed = options.config.speed;
    options.driverEntry = DriverEntry;
    options.resetPlatform = false;  // the Win32 stand-in is already in use in this process
    std::unique_ptr<sim::Machine> machine = sim::Machine::Boot(options, error);
    if (!machine) {
        plat::MachineMessage("tq4815 simulated machine: %s\n", error.c_str());
        return 1;
    }
    if (!NT_SUCCESS(machine->LoadStatus())) {
        Fail("loading the Tq4815x driver", machine->LoadStatus());
        return 1;
    }
    if (!NT_SUCCESS(machine->AddStatus())) {
        Fail("adding the card's device", machine->AddStatus());
        return 1;
    }
    if (!NT_SUCCESS(machine->StartStatus())) {
        Fail("starting the card's device", machine->StartStatus());
        return 1;
    }
    gMachine = machine.release();
    // The platform's shutdown (which closes every open handle first) now runs ours, which
    // also frees the machine; and a program that never shuts the machine down gets it shut
    // down at exit, before the kernel stand-in's threads and statics go away.
    // The platform's shutdown (which closes every open handle first) runs ours, which also
    // frees the machine. Shutting down at process exit is the platform's to order: it must
    // come after the library's own detach, which still talks to the driver.
    plat::SetMachineBooted(&TqMachineShutdown);
    return 0;
}

extern "C" __attribute__((visibility("default"))) void TqMachineShutdown(void)
{
    sim::Machine *machine = gMachine;
    gMachine = nullptr;
    delete machine;  // removes the device, unloads the driver, takes the card off the bus
}
