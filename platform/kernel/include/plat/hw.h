// The simulated machine as simulated devices see it: its virtual clock, its I/O-port and
// memory address spaces, and its interrupt lines. Implemented by the kernel stand-in;
// used by sim/ (the card) and by platform tests. Driver and library code never include
// this header: they reach devices only through the HAL port routines and interrupts.
//
// Time. One virtual clock (nanoseconds since the machine booted) runs in one of two modes:
//  - Manual: time moves only when a test calls AdvanceBy/AdvanceTo, or when a thread of
//    the simulated machine spends virtual time (a port access, KeDelayExecutionThread,
//    KeStallExecutionProcessor). While time moves, every device event that comes due is
//    run in order and every interrupt that becomes deliverable is taken at once in the
//    thread that moved the clock (if its IRQL allows), followed by the DPCs it queued.
//  - RealTime: a clock thread keeps virtual time in step with the host clock times a
//    speed factor and delivers interrupts in order; a DPC thread runs queued DPCs.
// Every port access costs PortAccessCost() of virtual time (a real PCI I/O cycle is
// about a microsecond); that is what lets a driver's busy-wait on a status bit see the
// device make progress in manual mode.
#ifndef TQ_PLATFORM_HW_H
#define TQ_PLATFORM_HW_H

#include <atomic>
#include <cstdint>
#include <limits>

namespace plat {

using VTime = std::uint64_t;  // virtual nanoseconds since boot
inline constexpr VTime kNever = std::numeric_limits<VTime>::max();

enum class ClockMode { Manual, RealTime };

void SetClockMode(ClockMode mode, double speed = 1.0);
ClockMode GetClockMode();
namespace detail {
extern std::atomic<VTime> gNow;  // the clock's present; moved by the clock alone
}
// The clock's present. Inline: every bus access of a device model asks it.
inline VTime Now() { return detail::gNow.load(); }
// Manual mode: move the clock forward, running due device events, interrupts and DPCs in
// the calling thread. Refused (verifier report) in real-time mode.
void AdvanceBy(VTime ns);
void AdvanceTo(VTime t);
void SetPortAccessCost(VTime ns);  // default 200 ns
VTime PortAccessCost();

// A device whose state changes with time. The clock asks it when it next changes, and
// brings it up to that time before anything at or after that time is observed.
//
// The clock brings every device up to each device event and to the end of every advance a
// test, a timed wait or the real-time clock asks for. The short steps a thread spends (a
// port access's cost, a stall, a delay) that end before any device event do not call the
// devices at all: the clock remembers the earliest event they last gave and moves on. So
// a device must not depend on being called at such times (it is brought up to date by its
// next event, the next full advance, or brings itself up to the time of a bus access), and
// whatever moves its next event other than its own AdvanceTo (a bus access, a change made
// under DeviceGuard) must be announced with RescheduleTimedDevice. DeviceGuard and adding
// or removing a device announce it by themselves.
class TimedDevice {
public:
    virtual ~TimedDevice() = default;
    // Earliest virtual time strictly after `now` at which the device changes state by
    // itself (an output edge, a conversion finishing), or kNever. A question only: it
    // changes nothing, and as long as the device is not changed, the answer holds for every
    // `now` up to it.
    virtual VTime NextEventTime(VTime now) = 0;
    // Bring the device's state up to time t (t never decreases). May change interrupt lines.
    virtual void AdvanceTo(VTime t) = 0;
};
void AddTimedDevice(TimedDevice *device);
void RemoveTimedDevice(TimedDevice *device);
// A device whose NextEventTime changed because of a bus access, or of anything other than
// its own AdvanceTo, calls this (under the bus, or between clock steps in manual mode). A
// change that only moves the event later may go unannounced: the clock then asks again at
// the old time, which costs a question but misses nothing.
void RescheduleTimedDevice(TimedDevice *device);
// The same, for a device whose next event came earlier, to `next` (after the present), as
// it knows it: the clock then need not ask it again.
void RescheduleTimedDevice(TimedDevice *device, VTime next);

// Holds the lock under which the platform runs every device model: bus accesses, clock
// steps (NextEventTime, AdvanceTo) and line changes made from them. Code outside those
// paths that reads or changes a device model's state (a test inspecting a card's ground
// truth while the clock runs in real time, a test driving a device input) holds a
// DeviceGuard meanwhile, so a device model needs no lock of its own. Recursive: a thread
// already inside a device may take it again. Never move the clock or wait for another
// thread of the machine while holding it.
class DeviceGuard {
public:
    DeviceGuard();
    ~DeviceGuard();
    DeviceGuard(const DeviceGuard &) = delete;
    DeviceGuard &operator=(const DeviceGuard &) = delete;
};

// Address decoding. A device claims ranges of port space or of physical memory space; the
// HAL routes each access to the device that claims its address. An unclaimed port reads as
// all ones and ignores writes, as a floating bus does.
enum class Space { Port, Memory };

class BusDevice {
public:
    virtual ~BusDevice() = default;
    // width 1, 2 or 4; offset from the claimed range's base. Called with the clock already
    // brought up to the time of the access.
    virtual std::uint32_t BusRead(Space space, std::uint64_t offset, unsigned width) = 0;
    virtual void BusWrite(Space space, std::uint64_t offset, unsigned width, std::uint32_t value) = 0;
};
void ClaimRange(Space space, std::uint64_t base, std::uint32_t length, BusDevice *device);
void ReleaseRange(Space space, std::uint64_t base);
void ReleaseAllRanges(BusDevice *device);
// Port and memory-space accesses that reached no device (the floating bus) since the
// machine was reset; an address that is neither a port nor a mapped one counts too.
std::uint64_t UnclaimedAccessCount();

// Interrupt lines, named by the system (translated) vector that IoConnectInterrupt uses.
// A device drives its line: asserted or not. A level-sensitive connection is interrupted
// while the line is asserted; a latched one on each rising edge.
void SetInterruptLine(std::uint32_t vector, bool asserted);
bool InterruptLineAsserted(std::uint32_t vector);

}  // namespace plat

#endif
