// tq4815 host: runs the machine host (tq_machine_host.h) in the foreground, or stops one.
#include <cstdio>
#include <cstdlib>

#include <tq_machine_host.h>

#include "subcommands.h"

namespace tool {

int RunHost(const HostOptions &o)
{
    const std::string path = o.socket ? *o.socket : tqhost::DefaultSocketPath();
    std::string error;
    if (o.stop) {
        if (tqhost::StopMachineHost(path, error) != 0) {
            std::fprintf(stderr, "tq4815 host --stop: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (o.card.sim)
        setenv("TQ4815_SIM", o.card.sim->c_str(), 1);
    if (tqhost::RunMachineHost(path, error) != 0) {
        std::fprintf(stderr, "tq4815 host: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace tool
