// Booting the simulated machine. Exactly one machine exists per process at a time. A test
// fixture boots it directly; a program that sees only the Win32 API (the tq4815 tool, a
// Python script through ctypes) gets it booted by the Win32 stand-in on its first
// CreateFileA, which loads the machine module — $TQ_MACHINE_MODULE, or
// libtq4815machine.so beside the Win32 stand-in — and calls its exported
//   extern "C" int TqMachineBoot(void);      // 0 on success
//   extern "C" void TqMachineShutdown(void);
// The module reads TQ4815_SIM, builds the simulated card and its bus, loads the driver
// through the Plug and Play manager and starts the device.
#ifndef TQ_PLATFORM_MACHINE_H
#define TQ_PLATFORM_MACHINE_H

#include <string>

namespace plat {

using MachineBootFn = int (*)();
using MachineShutdownFn = void (*)();

// Ensures a machine is booted, loading the machine module if nobody booted one yet.
// Returns false (with a message on stderr) when the module is missing or its boot failed.
bool EnsureMachineBooted();
// For fixtures and the machine module: record that a machine is up, and how to stop it.
void SetMachineBooted(MachineShutdownFn shutdown);
// As a process exit: the requests in flight cancelled, every handle closed, then the recorded
// shutdown run, if any; idempotent.
void ShutdownMachine();
bool MachineBooted();

// What the simulated machine says to its user (a boot failure, a note about the card): printed
// on stderr, and appended to the calling thread's sink if it set one. The machine host sets a
// sink around each request it runs for a client, which then shows the text as its own.
void MachineMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
void SetThreadMessageSink(std::string *sink);

}  // namespace plat

#endif
