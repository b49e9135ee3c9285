// Booting and shutting down the simulated machine around the card.
#include "sim/machine.h"

#include "sim/resource_lists.h"

#include <plat/kernel.h>
#include <plat/machine.h>
#include <plat/pnp.h>

#include <atomic>

namespace sim {

namespace {

std::atomic<Machine *> gCurrent{nullptr};

constexpr const char *kPdoName = "Tq4815Pci";

void ShutdownCurrentMachine()
{
    if (Machine *m = gCurrent.load())
        m->Shutdown();
}

void BuildLists(const ResourceLayout &layout, plat::ResourceList &raw, plat::ResourceList &translated)
{
    BuildResourceLists(layout, raw, translated);
}

}  // namespace

Machine *CurrentMachine()
{
    return gCurrent.load();
}

std::unique_ptr<Machine> Machine::Boot(const MachineOptions &options, std::string &error)
{
    if (gCurrent.load() != nullptr) {
        error = "a simulated machine is already running";
        return nullptr;
    }
    std::optional<ResourceLayout> layout = options.layout;
    if (!layout)
        layout = ResourceLayout::Named(options.config.layout);
    if (!layout) {
        error = "unknown resource layout \"" + options.config.layout + "\"";
        return nullptr;
    }
    std::unique_ptr<Card> card = Card::Create(options.config.card, error);
    if (!card)
        return nullptr;

    if (options.resetPlatform)
        plat::ResetMachine();
    plat::SetClockMode(options.clock, options.speed);
    const bool realTime = options.clock == plat::ClockMode::RealTime;
    plat::SetWdmVersion(options.config.wdmMajor, options.config.wdmMinor);

    std::unique_ptr<Machine> m(new Machine());
    m->realTime_ = realTime;
    m->layout_ = *layout;
    // On the real-time clock the host's scheduling decides when an interrupt is taken: a
    // routine held up past a conversion time runs right before the next one, which then
    // reads a result early or restarts the converter. That would judge the host, not the
    // driver, so those two are logged and not reported there; the manual clock judges them.
    if (realTime) {
        card->ExpectMisuse(misuse::kEarlyRead);
        card->ExpectMisuse(misuse::kRestart);
    }
    m->host_ = std::make_unique<CardHost>(std::move(card));
    m->host_->Attach(m->layout_);

    plat::ResourceList raw, translated;
    BuildLists(m->layout_, raw, translated);
    m->pdo_ = plat::CreateBusPdo(kPdoName, m->layout_.hasRaw ? &raw : nullptr,
                                 m->layout_.hasTranslated ? &translated : nullptr);
    // The bus puts the card into the device power state each device set-power asks for.
    CardHost *host = m->host_.get();
    plat::SetBusPowerHandler(m->pdo_, [host](PDEVICE_OBJECT, DEVICE_POWER_STATE state) {
        host->SetPowerState(static_cast<int>(state));
    });
    gCurrent.store(m.get());
    plat::SetMachineBooted(&ShutdownCurrentMachine);

    if (options.driverEntry) {
        m->loadStatus_ = plat::LoadDriver(options.serviceName.c_str(), options.driverEntry, &m->driver_);
        if (NT_SUCCESS(m->loadStatus_) && options.addDevice) {
            m->addStatus_ = plat::PnpAddDevice(m->driver_, m->pdo_);
            if (NT_SUCCESS(m->addStatus_) && options.startDevice)
                m->startStatus_ = plat::PnpStartDevice(m->pdo_);
        }
    }
    return m;
}

Machine::~Machine()
{
    Shutdown();
}

void Machine::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    if (driver_ && NT_SUCCESS(addStatus_))
        plat::PnpRemoveDevice(pdo_);
    if (pdo_)
        plat::DeleteBusPdo(pdo_);
    pdo_ = nullptr;
    if (driver_)
        plat::UnloadDriver(driver_);
    driver_ = nullptr;
    if (host_)
        host_->Detach();
    if (realTime_)
        plat::SetClockMode(plat::ClockMode::Manual);  // stops the clock and DPC threads
    Machine *self = this;
    gCurrent.compare_exchange_strong(self, nullptr);
}

NTSTATUS Machine::SurpriseRemove()
{
    host_->SetPresent(false);
    return plat::PnpSurpriseRemoval(pdo_);
}

void Machine::ChangeLayout(const ResourceLayout &layout)
{
    layout_ = layout;
    host_->Attach(layout_);
    plat::ResourceList raw, translated;
    BuildLists(layout_, raw, translated);
    plat::SetPdoResources(pdo_, layout_.hasRaw ? &raw : nullptr, layout_.hasTranslated ? &translated : nullptr);
}

}  // namespace sim
