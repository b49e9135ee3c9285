// The card on the simulated machine: its windows claimed on the bus (port or memory space,
// as the resource layout puts them), its clock events registered with the virtual clock,
// and its PCI interrupt request driven onto the layout's interrupt vector.
//
// The platform calls the card through its bus and clock with its device lock held, so
// those calls are serialised and the card needs no lock of its own on that path, which
// every port access and clock step takes. Anything else that touches the card (a test
// reading its ground truth from another thread while the clock runs in real time, a test
// driving local interrupt 2) holds the same lock, plat::DeviceGuard: WithCard takes it.
// In manual mode a test may use Card() directly between clock steps.
#ifndef TQ_SIM_CARD_HOST_H
#define TQ_SIM_CARD_HOST_H

#include "sim/card.h"
#include "sim/resource_layout.h"

#include <plat/hw.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sim {

// The verifier rule under which the machine reports the card's misuse.
inline constexpr const char *kCardMisuseRule = "CardMisuse";

class CardHost : public plat::TimedDevice {
public:
    explicit CardHost(std::unique_ptr<Card> card);
    ~CardHost() override;
    CardHost(const CardHost &) = delete;
    CardHost &operator=(const CardHost &) = delete;

    // Claims the ranges of `layout` and takes its (last) interrupt vector as the card's line.
    void Attach(const ResourceLayout &layout);
    // Releases every range, lowers the line and leaves the clock. Idempotent.
    void Detach();

    Card &CardModel() { return *card_; }
    template <typename F>
    auto WithCard(F &&f)
    {
        plat::DeviceGuard guard;
        return f(*card_);
    }
    // Asserts or deasserts local interrupt 2 at the current virtual time.
    void SetLocalInterrupt2(bool asserted);

    // Power and presence. A card that is powered down (a device power state other than
    // D0, set by the bus when a device set-power reaches it) or taken out of the machine
    // (surprise removal) answers no bus cycle: its ranges read all ones and ignore
    // writes, its interrupt line is low, and it stands still. Back in D0 after D3, or put
    // back, it has been through a power cycle (Card::PowerCycle). States are numbered as
    // DEVICE_POWER_STATE: 1 = D0 … 4 = D3.
    void SetPowerState(int deviceState);
    void SetPresent(bool present);
    int PowerState() const { return powerState_; }
    bool Present() const { return present_; }
    std::optional<std::uint32_t> Vector() const { return vector_; }

    // plat::TimedDevice
    VTime NextEventTime(VTime now) override;
    void AdvanceTo(VTime t) override;

private:
    class WindowDevice : public plat::BusDevice {
    public:
        WindowDevice(CardHost &host, Window window) : host_(host), window_(window) {}
        std::uint32_t BusRead(plat::Space space, std::uint64_t offset, unsigned width) override;
        void BusWrite(plat::Space space, std::uint64_t offset, unsigned width, std::uint32_t value) override;

    private:
        CardHost &host_;
        Window window_;
    };

    // Inside a bus access or clock step: drive the vector if the card's request changed
    // (interrupts are not taken there, so the line may be driven at once).
    void ReportLineLocked();
    // Whether the card answers the bus: present and in D0.
    bool Answers() const { return present_ && powerState_ == 1; }
    // Applies a change of power or presence (`apply`, run under the device lock).
    void ChangeAnswering(const std::function<void()> &apply);

    std::unique_ptr<Card> card_;
    std::vector<std::unique_ptr<WindowDevice>> windows_;
    std::optional<std::uint32_t> vector_;
    bool reported_ = false;
    bool attached_ = false;
    int powerState_ = 1;
    bool present_ = true;
    bool cycled_ = false;   // lost power since it last answered (D3, or taken out)
    bool silenced_ = false; // its line held low while its power or presence changes
};

}  // namespace sim

#endif
