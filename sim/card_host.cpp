// The card's place on the simulated machine's bus, clock and interrupt lines.
#include "sim/card_host.h"

#include "card_bus.h"

#include <plat/verifier.h>

#include <string>

namespace sim {

// The card's misuse is a fault of whoever drove the bus (the driver, or a test on
// purpose), and the machine treats it like a broken kernel rule: every misuse no test
// declared is reported through the verifier at the access that made it.
CardHost::CardHost(std::unique_ptr<Card> card) : card_(std::move(card))
{
    card_->SetMisuseObserver([](const MisuseRecord &m) {
        plat::VerifierReport(kCardMisuseRule, m.access.c_str(), m.what + " (at " + std::to_string(m.time) + " ns)");
    });
}

CardHost::~CardHost()
{
    Detach();
}

void CardHost::Attach(const ResourceLayout &layout)
{
    Detach();
    // Under the device lock: a bus access on another thread may reach a window as soon as
    // it is claimed, and reads the line's state below when it does.
    plat::DeviceGuard guard;
    for (const ResourceItem &item : layout.items) {
        if (item.kind != ResourceItem::Kind::Port && item.kind != ResourceItem::Kind::Memory)
            continue;
        windows_.push_back(std::make_unique<WindowDevice>(*this, item.window));
        bool memory = item.kind == ResourceItem::Kind::Memory || item.translatedToMemory;
        plat::ClaimRange(memory ? plat::Space::Memory : plat::Space::Port, item.translatedStart, item.length,
                         windows_.back().get());
    }
    vector_ = layout.InterruptVector();
    reported_ = false;
    attached_ = true;
    plat::AddTimedDevice(this);
}

void CardHost::Detach()
{
    std::optional<std::uint32_t> lower;
    {
        // Under the device lock, as Attach; the line is lowered after it is dropped, since
        // that may run an interrupt routine right here.
        plat::DeviceGuard guard;
        if (!attached_)
            return;
        attached_ = false;
        plat::RemoveTimedDevice(this);
        for (const auto &w : windows_)
            plat::ReleaseAllRanges(w.get());
        if (vector_ && reported_)
            lower = vector_;
        reported_ = false;
    }
    if (lower)
        plat::SetInterruptLine(*lower, false);
    // The window objects stay until the host goes: a bus access already under way on
    // another thread may still be inside one.
}

void CardHost::ReportLineLocked()
{
    bool line = !silenced_ && Answers() && card_->InterruptAsserted();
    if (line == reported_ || !vector_ || !attached_)
        return;
    reported_ = line;
    plat::SetInterruptLine(*vector_, line);
}

// The clock calls these two with its device lock held. A card that does not answer
// stands still.
VTime CardHost::NextEventTime(VTime now)
{
    return Answers() ? card_->NextEventTime(now) : kNever;
}

void CardHost::AdvanceTo(VTime t)
{
    if (!Answers())
        return;
    card_->AdvanceTo(t);
    ReportLineLocked();
}

void CardHost::SetPowerState(int deviceState)
{
    ChangeAnswering([&] {
        if (deviceState == 4)
            cycled_ = true;  // D3: the card's power is gone, not only its clocks
        powerState_ = deviceState;
    });
}

void CardHost::SetPresent(bool present)
{
    ChangeAnswering([&] {
        if (!present)
            cycled_ = true;
        present_ = present;
    });
}

void CardHost::ChangeAnswering(const std::function<void()> &apply)
{
    // First the line drops, while the card still answers: at no moment is an interrupt
    // pending from a card whose registers read all ones (a routine that took it could not
    // dismiss it). Silenced, the card raises nothing, and a bus access meanwhile lowers
    // the line itself; the line is driven outside the device lock, as that may run
    // routines, and counts as low only once it is.
    bool lower = false;
    {
        plat::DeviceGuard guard;
        silenced_ = true;
        lower = reported_ && vector_ && attached_;
    }
    if (lower) {
        plat::SetInterruptLine(*vector_, false);
        plat::DeviceGuard guard;
        reported_ = false;
    }
    // Then the change. A card that answers again has been through a power cycle if it
    // lost its power (its line is then low); its next bus access or clock step drives
    // the line as it stands.
    plat::DeviceGuard guard;
    const bool wasDark = !Answers();
    apply();
    if (Answers() && wasDark && cycled_) {
        card_->PowerCycle(plat::Now());
        cycled_ = false;
    }
    silenced_ = false;
}

void CardHost::SetLocalInterrupt2(bool asserted)
{
    // Called from a test's thread, outside the bus: the line is driven after the device
    // lock is dropped, since driving it may run the driver's interrupt routine right here.
    bool line, change = false;
    {
        plat::DeviceGuard guard;
        card_->SetLocalInterrupt2(plat::Now(), asserted);
        line = !silenced_ && Answers() && card_->InterruptAsserted();
        if (line != reported_ && vector_ && attached_) {
            reported_ = line;
            change = true;
        }
    }
    if (change)
        plat::SetInterruptLine(*vector_, line);
}

// The bus calls these two with its device lock held. A card that does not answer leaves
// the bus floating: all ones, and writes go nowhere.
std::uint32_t CardHost::WindowDevice::BusRead(plat::Space, std::uint64_t offset, unsigned width)
{
    if (!host_.Answers())
        return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    std::uint32_t value = host_.card_->ReadInline(plat::Now(), window_, static_cast<std::uint32_t>(offset), width);
    host_.ReportLineLocked();
    return value;
}

void CardHost::WindowDevice::BusWrite(plat::Space, std::uint64_t offset, unsigned width, std::uint32_t value)
{
    if (!host_.Answers())
        return;
    const VTime now = plat::Now();
    Card &card = *host_.card_;
    // Most of the interrupt routine's writes (the channel, a conversion start) leave the
    // card's next event where it was. The clock needs to ask again only when one brought
    // it earlier: an event that moved later leaves the clock's horizon early, which only
    // makes its next step ask.
    if (!Card::WriteMayMoveEvents(window_, static_cast<std::uint32_t>(offset), width)) {
        card.WriteInline(now, window_, static_cast<std::uint32_t>(offset), width, value);
        host_.ReportLineLocked();
        return;
    }
    const VTime before = card.NextEventTime(now);
    card.WriteInline(now, window_, static_cast<std::uint32_t>(offset), width, value);
    host_.ReportLineLocked();
    const VTime after = card.NextEventTime(now);
    if (after < before)
        plat::RescheduleTimedDevice(&host_, after);
}

}  // namespace sim
