// The virtual clock of the simulated machine and the timed devices that live on it.
//
// Manual mode: time moves only when a thread advances it (a test's AdvanceBy/AdvanceTo, or
// a thread of the machine spending time in a port access, a delay or a timed wait). The
// advancing thread steps from one device event to the next; after each step it takes the
// interrupts that became deliverable and then the DPCs they queued, so the same test gives
// the same interleaving every time.
//
// Real-time mode: a clock thread keeps virtual time at (host time since the switch) x speed,
// waking at least every millisecond (sooner when a device reschedules or raises a line) and
// stepping through every device event that came due, in order, taking interrupts between
// the steps. A DPC thread runs the DPCs.
#include "kernel_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>

namespace plat {

namespace detail {

std::atomic<VTime> gNow{0};
std::atomic<VTime> gPortCost{200};
// The earliest device event after the clock's present, as the devices last gave it (kNever
// if none), or 0 when they must be asked again: after a device asked to be rescheduled,
// after a device came or went, and after a DeviceGuard was held. It may be early (a device
// moved its event later without saying so), never late. A port access's quiet step needs
// only this, and a step starts from it. Changed under gBus (atomic so that
// RescheduleTimedDevice may clear it from anywhere).
std::atomic<VTime> gHorizon{0};

}  // namespace detail

using detail::gBus;
using detail::gHorizon;
using detail::gNow;
using detail::gPortCost;

namespace {

using HostClock = std::chrono::steady_clock;

std::vector<TimedDevice *> &gDevices = *new std::vector<TimedDevice *>;            // guarded by gBus

std::mutex gModeLock;                           // serialises mode switches
// Real-time mapping, written only while no clock thread runs.
std::atomic<double> gSpeed{1.0};
std::atomic<VTime> gBaseVirtual{0};
std::atomic<HostClock::rep> gBaseHost{0};
std::thread &gClockThread = *new std::thread;
std::mutex gWakeLock;
std::condition_variable &gWakeCv = *new std::condition_variable;
bool gWake = false;
bool gStopClock = false;

// The timed devices of one clock step, copied under gBus so that a device added or
// removed by a device's own code during the step does not move the list underneath the
// loop. A machine has a handful of devices: the copy needs no allocation, which matters
// since the clock steps after every port access.
class DeviceList {
public:
    explicit DeviceList(const std::vector<TimedDevice *> &from) : count_(from.size())
    {
        if (count_ > kInline) spill_.reset(new TimedDevice *[count_]);
        std::copy(from.begin(), from.end(), count_ > kInline ? spill_.get() : inline_);
    }
    TimedDevice *const *begin() const { return count_ > kInline ? spill_.get() : inline_; }
    TimedDevice *const *end() const { return begin() + count_; }

private:
    static constexpr std::size_t kInline = 8;
    TimedDevice *inline_[kInline];
    std::unique_ptr<TimedDevice *[]> spill_;
    std::size_t count_;
};

VTime RealTimeTarget()
{
    auto host = std::chrono::duration_cast<std::chrono::nanoseconds>(HostClock::now().time_since_epoch()).count();
    auto elapsed = host - gBaseHost.load();
    if (elapsed < 0) elapsed = 0;
    return gBaseVirtual.load() + static_cast<VTime>(static_cast<double>(elapsed) * gSpeed.load());
}

void ClockThreadMain()
{
    detail::ThreadState &t = detail::Thread();
    t.machineThread = true;
    t.deliversInRealTime = true;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(gWakeLock);
            gWakeCv.wait_for(lock, std::chrono::milliseconds(1), [] { return gWake || gStopClock; });
            if (gStopClock) return;
            gWake = false;
        }
        detail::AdvanceUntil(RealTimeTarget(), nullptr);
        detail::DeliverInterrupts();  // lines raised by register writes of other threads
    }
}

void StopClockThread()
{
    if (!gClockThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(gWakeLock);
        gStopClock = true;
    }
    gWakeCv.notify_all();
    gClockThread.join();
    gStopClock = false;
}

}  // namespace

void SetClockMode(ClockMode mode, double speed)
{
    if (detail::Thread().machineThread) {
        detail::Report(rule::ClockMisuse, "SetClockMode", "called from a thread of the machine");
        return;
    }
    if (!(speed > 0.0)) {
        detail::Report(rule::ClockMisuse, "SetClockMode", "speed factor must be positive");
        return;
    }
    std::lock_guard<std::mutex> guard(gModeLock);
    if (mode == ClockMode::Manual) {
        StopClockThread();
        detail::StopDpcThread();
        detail::gClockMode.store(static_cast<int>(ClockMode::Manual));
        gSpeed.store(speed);
        return;
    }
    StopClockThread();
    gSpeed.store(speed);
    gBaseVirtual.store(gNow.load());
    gBaseHost.store(std::chrono::duration_cast<std::chrono::nanoseconds>(HostClock::now().time_since_epoch()).count());
    detail::gClockMode.store(static_cast<int>(ClockMode::RealTime));
    detail::StartDpcThread();
    gClockThread = std::thread(ClockThreadMain);
}

ClockMode GetClockMode() { return static_cast<ClockMode>(detail::gClockMode.load()); }

void AdvanceBy(VTime ns)
{
    VTime now = gNow.load();
    AdvanceTo(ns > kNever - now ? kNever - 1 : now + ns);
}

void AdvanceTo(VTime t)
{
    if (!detail::ManualMode()) {
        detail::Report(rule::ClockMisuse, "AdvanceTo", "the clock runs in real time; only manual mode is advanced");
        return;
    }
    if (detail::Thread().busDepth > 0) {
        detail::Report(rule::ClockMisuse, "AdvanceTo", "called from device-model code while the bus is busy");
        return;
    }
    detail::AdvanceUntil(t, nullptr);
}

void SetPortAccessCost(VTime ns) { gPortCost.store(ns); }
VTime PortAccessCost() { return gPortCost.load(); }

void AddTimedDevice(TimedDevice *device)
{
    std::lock_guard<detail::BusMutex> guard(gBus);
    if (std::find(gDevices.begin(), gDevices.end(), device) == gDevices.end()) gDevices.push_back(device);
    gHorizon.store(0);
    detail::WakeClockThread();
}

void RemoveTimedDevice(TimedDevice *device)
{
    std::lock_guard<detail::BusMutex> guard(gBus);
    gDevices.erase(std::remove(gDevices.begin(), gDevices.end(), device), gDevices.end());
    gHorizon.store(0);
}

void RescheduleTimedDevice(TimedDevice *)
{
    gHorizon.store(0, std::memory_order_relaxed);
    detail::WakeClockThread();
}

void RescheduleTimedDevice(TimedDevice *, VTime next)
{
    // The horizon only ever comes earlier here; one that must be asked afresh (0) stays so.
    // Another thread may clear it meanwhile (the overload above): that clear must stand.
    VTime horizon = gHorizon.load(std::memory_order_relaxed);
    if (detail::SingleThreaded()) {
        if (horizon != 0 && next < horizon) gHorizon.store(next, std::memory_order_relaxed);
    } else {
        while (horizon != 0 && next < horizon &&
               !gHorizon.compare_exchange_weak(horizon, next, std::memory_order_relaxed)) {
        }
    }
    detail::WakeClockThread();
}

DeviceGuard::DeviceGuard() { gBus.lock(); }

// Whoever held the guard may have changed a device in a way that moves its next event.
DeviceGuard::~DeviceGuard()
{
    gHorizon.store(0, std::memory_order_relaxed);
    gBus.unlock();
}

namespace detail {

std::atomic<int> gClockMode{static_cast<int>(ClockMode::Manual)};

BusMutex gBus;  // device models: state, bus accesses, time steps

void FastLock::LockContended()
{
    for (int i = 0; i < 64; ++i) {
        std::uint32_t expected = 0;
        if (state_.load(std::memory_order_relaxed) == 0 &&
            state_.compare_exchange_weak(expected, 1, std::memory_order_acquire))
            return;
    }
    while (state_.exchange(2, std::memory_order_acquire) != 0) state_.wait(2, std::memory_order_relaxed);
}

namespace {

VTime SaturatingAdd(VTime now, VTime ns) { return ns > kNever - now ? kNever - 1 : now + ns; }

// One step of the clock towards `deadline`, with gBus held and the thread's busDepth
// raised: to the first device event or to the deadline, whichever comes first, every
// device brought up to the end of the step. A quiet step (time a thread spends: a port
// access's cost, a stall, a delay) that ends before any device event moves the clock
// without calling the devices: nothing of theirs changes by itself before their next
// event, and a bus access brings a device up to its own time anyway. That step is taken
// after every port access, so it is worth not calling every device twice there.
void StepLocked(ThreadState &t, VTime deadline, bool quiet)
{
    VTime now = gNow.load(std::memory_order_relaxed);
    if (now >= deadline) return;
    DeviceList devices(gDevices);
    // The earliest event as last asked, if nothing was changed since; at worst it is early
    // (an event moved later unannounced), and the step to it merely finds nothing to do.
    VTime first = gHorizon.load(std::memory_order_relaxed);
    if (first == 0 || first <= now) {
        first = kNever;
        for (TimedDevice *d : devices) {
            VTime e = d->NextEventTime(now);
            if (e > now && e < first) first = e;
        }
    }
    if (quiet && first > deadline) {
        gHorizon.store(first, std::memory_order_relaxed);
        gNow.store(deadline, std::memory_order_release);
        return;
    }
    VTime next = first < deadline ? first : deadline;
    for (TimedDevice *d : devices) d->AdvanceTo(next);
    gNow.store(next, std::memory_order_release);
    // Asked at once: the interrupt routines this step makes due access the bus next, and
    // the next step starts from it.
    AskDevicesLocked(t, next);
}

// Manual mode: steps towards `deadline`, taking interrupts and DPCs between the steps.
bool Advance(VTime deadline, const std::function<bool()> *done, bool quiet)
{
    ThreadState &t = Thread();
    for (;;) {
        if (done != nullptr && (*done)()) return true;
        if (gNow.load() >= deadline) break;
        // The step and the interrupt routines it makes due, in one hold of the bus.
        const bool held = HoldBusForInterrupt(t);
        {
            std::lock_guard<detail::BusMutex> guard(gBus);
            ++t.busDepth;
            StepLocked(t, deadline, quiet);
            --t.busDepth;
        }
        DeliverInterrupts();
        if (held) LetGoOfBus(t);
    }
    return done != nullptr && (*done)();
}

}  // namespace

bool AdvanceUntil(VTime deadline, const std::function<bool()> &done)
{
    return Advance(deadline, done ? &done : nullptr, false);
}

VTime AskDevicesLocked(ThreadState &t, VTime now)
{
    // A question only: no device changes the list (or anything) in NextEventTime, so the
    // list needs no copy here.
    ++t.busDepth;
    VTime horizon = kNever;
    for (TimedDevice *d : gDevices) {
        VTime e = d->NextEventTime(now);
        if (e > now && e < horizon) horizon = e;
    }
    --t.busDepth;
    gHorizon.store(horizon, std::memory_order_relaxed);
    return horizon;
}

void SpendTime(VTime ns)
{
    if (ns == 0) return;
    if (ManualMode()) {
        if (Thread().busDepth > 0) return;  // device-model code does not move the clock
        Advance(SaturatingAdd(gNow.load(), ns), nullptr, true);
        return;
    }
    // Real time: sleep for the host time it stands for, then until the clock thread has
    // caught up, so that the time spent is also seen on the virtual clock.
    VTime until = gNow.load() + ns;
    std::this_thread::sleep_for(std::chrono::nanoseconds(HostNanosFor(ns)));
    while (gNow.load() < until && !ManualMode()) {
        WakeClockThread();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

std::uint64_t HostNanosFor(VTime ns)
{
    double host = static_cast<double>(ns) / gSpeed.load();
    return host > 1e18 ? static_cast<std::uint64_t>(1e18) : static_cast<std::uint64_t>(host);
}

void CatchUpRealTime()
{
    if (ManualMode() || Thread().busDepth > 0) return;
    AdvanceUntil(RealTimeTarget(), [] { return InterruptPending(); });
}

void SpinHost(std::uint64_t hostNanos)
{
    auto until = HostClock::now() + std::chrono::nanoseconds(hostNanos);
    while (HostClock::now() < until) {
    }
}

void WakeClockThreadNow()
{
    {
        std::lock_guard<std::mutex> lock(gWakeLock);
        gWake = true;
    }
    gWakeCv.notify_all();
}

void ResetClock()
{
    SetClockMode(ClockMode::Manual, 1.0);
    std::lock_guard<detail::BusMutex> guard(gBus);
    gDevices.clear();
    gHorizon.store(0);
    gNow.store(0);
    gPortCost.store(200);
}

}  // namespace detail
}  // namespace plat
