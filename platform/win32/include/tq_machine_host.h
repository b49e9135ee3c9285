// The machine host: one simulated machine that several processes share, as processes share
// a real device (platform/win32/README.md, "The machine host"). `tq4815 host` runs it.
#ifndef TQ_MACHINE_HOST_H
#define TQ_MACHINE_HOST_H

#include <string>

namespace tqhost {

// The socket a host listens on and a client looks for: TQ4815_HOST, else
// $XDG_RUNTIME_DIR/tq4815-host.sock, else /tmp/tq4815-UID/tq4815-host.sock.
__attribute__((visibility("default"))) std::string DefaultSocketPath();

// Whether this process's device files would live at a host: TQ4815_HOST names one, or a
// host listens on the default socket.
__attribute__((visibility("default"))) bool HostServesThisProcess();

// Boots the machine (as TQ4815_SIM configures it), listens on `socketPath` and serves clients
// until StopMachineHost, SIGTERM or SIGINT; then shuts the machine down through the driver's
// removal path. Returns 0, or 1 with *error saying why it could not start.
__attribute__((visibility("default"))) int RunMachineHost(const std::string &socketPath, std::string &error);

// Asks the host at `socketPath` to end and waits until it has; 0, or 1 with *error.
__attribute__((visibility("default"))) int StopMachineHost(const std::string &socketPath, std::string &error);

}  // namespace tqhost

#endif
