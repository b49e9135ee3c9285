// The simulated machine for test fixtures and the machine module: the clock, the card
// (configured like TQ4815_SIM), its resources on the simulated PCI bus, its PDO, and a
// driver loaded through the Plug and Play manager (DriverEntry, AddDevice, start-device);
// shut down by removing the device, deleting the PDO and unloading the driver with the
// verifier's unload checks.
//
//     sim::MachineOptions options;
//     options.driverEntry = DriverEntry;
//     std::string error;
//     auto machine = sim::Machine::Boot(options, error);   // null: error says why
//     ... machine->CardModel() for ground truth, machine->Pdo() for Plug and Play ...
//     machine.reset();                                      // or machine->Shutdown()
//
// One machine exists per process at a time.
#ifndef TQ_SIM_MACHINE_H
#define TQ_SIM_MACHINE_H

#include "sim/card_host.h"
#include "sim/config.h"
#include "sim/resource_layout.h"

#include <plat/hw.h>
#include <wdm.h>

#include <memory>
#include <optional>
#include <string>

namespace sim {

struct MachineOptions {
    plat::ClockMode clock = plat::ClockMode::Manual;
    double speed = 1.0;  // real-time mode: virtual seconds per host second
    SimConfig config;    // the card, the WDM version, the layout's name
    std::optional<ResourceLayout> layout;  // overrides config.layout when set
    PDRIVER_INITIALIZE driverEntry = nullptr;  // none: the PDO is created and left driverless
    std::string serviceName = "Tq4815x";
    bool addDevice = true;     // call AddDevice after a successful DriverEntry
    bool startDevice = true;   // send start-device after a successful AddDevice
    bool resetPlatform = true;  // return the kernel stand-in to its boot state first
};

class Machine {
public:
    // Boots a machine. Returns null with `error` when the configuration cannot be built
    // (unknown layout, unreadable EEPROM file) or a machine is already up. A driver that
    // fails to load, add or start does not make the boot fail: its statuses are kept.
    static std::unique_ptr<Machine> Boot(const MachineOptions &options, std::string &error);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // Removes the device (when it was added), deletes the PDO, unloads the driver (with the
    // verifier's unload checks), takes the card off the bus and, if the machine started the
    // real-time clock, returns it to manual mode. Idempotent.
    void Shutdown();

    CardHost &Host() { return *host_; }
    Card &CardModel() { return host_->CardModel(); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    const ResourceLayout &Layout() const { return layout_; }
    NTSTATUS LoadStatus() const { return loadStatus_; }
    NTSTATUS AddStatus() const { return addStatus_; }
    NTSTATUS StartStatus() const { return startStatus_; }
    bool Started() const { return NT_SUCCESS(startStatus_); }

    // Gives the card a new layout: its windows move, and the PDO's next start-device carries
    // the new lists (the caller sends the stop and start requests).
    void ChangeLayout(const ResourceLayout &layout);

    // The card leaves the machine while the driver runs: it stops answering at once (its
    // ranges read all ones, its line is low), then the Plug and Play manager, having
    // noticed, sends the stack a surprise removal; returns that request's status. To
    // leave the driver unaware (the moment before the manager notices), use
    // Host().SetPresent(false). The card is also powered down whenever a device set-power
    // D1-D3 reaches the bus (Host().SetPowerState), and powered up again by one for D0.
    NTSTATUS SurpriseRemove();

private:
    Machine() = default;

    std::unique_ptr<CardHost> host_;
    ResourceLayout layout_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS addStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS startStatus_ = STATUS_UNSUCCESSFUL;
    bool shutDown_ = false;
    bool realTime_ = false;  // the machine started the real-time clock (and stops it)
};

// The machine that is up, or null (for the command-line tool and tests that booted it
// through the machine module).
Machine *CurrentMachine();

}  // namespace sim

#endif
