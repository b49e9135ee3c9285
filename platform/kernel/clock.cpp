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
#include <thread>

namespace plat {
namespace {

using HostClock = std::chrono::steady_clock;

std::recursive_mutex gBus;                      // device models: state, bus accesses, time steps
std::atomic<VTime> gNow{0};
std::atomic<int> gMode{static_cast<int>(ClockMode::Manual)};
std::atomic<VTime> gPortCost{200};
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
        gMode.store(static_cast<int>(ClockMode::Manual));
        gSpeed.store(speed);
        return;
    }
    StopClockThread();
    gSpeed.store(speed);
    gBaseVirtual.store(gNow.load());
    gBaseHost.store(std::chrono::duration_cast<std::chrono::nanoseconds>(HostClock::now().time_since_epoch()).count());
    gMode.store(static_cast<int>(ClockMode::RealTime));
    detail::StartDpcThread();
    gClockThread = std::thread(ClockThreadMain);
}

ClockMode GetClockMode() { return static_cast<ClockMode>(gMode.load()); }

VTime Now() { return gNow.load(); }

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
    std::lock_guard<std::recursive_mutex> guard(gBus);
    if (std::find(gDevices.begin(), gDevices.end(), device) == gDevices.end()) gDevices.push_back(device);
    detail::WakeClockThread();
}

void RemoveTimedDevice(TimedDevice *device)
{
    std::lock_guard<std::recursive_mutex> guard(gBus);
    gDevices.erase(std::remove(gDevices.begin(), gDevices.end(), device), gDevices.end());
}

void RescheduleTimedDevice(TimedDevice *) { detail::WakeClockThread(); }

namespace detail {

std::recursive_mutex &BusLock() { return gBus; }

bool ManualMode() { return gMode.load() == static_cast<int>(ClockMode::Manual); }

bool AdvanceUntil(VTime deadline, const std::function<bool()> &done)
{
    ThreadState &t = Thread();
    for (;;) {
        if (done && done()) return true;
        if (gNow.load() >= deadline) break;
        {
            std::lock_guard<std::recursive_mutex> guard(gBus);
            ++t.busDepth;
            VTime now = gNow.load();
            if (now < deadline) {
                std::vector<TimedDevice *> devices = gDevices;
                VTime next = deadline;
                for (TimedDevice *d : devices) {
                    VTime e = d->NextEventTime(now);
                    if (e > now && e < next) next = e;
                }
                for (TimedDevice *d : devices) d->AdvanceTo(next);
                gNow.store(next);
            }
            --t.busDepth;
        }
        DeliverInterrupts();
    }
    return done && done();
}

void SpendTime(VTime ns)
{
    if (ns == 0) return;
    if (ManualMode()) {
        if (Thread().busDepth > 0) return;  // device-model code does not move the clock
        VTime now = gNow.load();
        AdvanceUntil(ns > kNever - now ? kNever - 1 : now + ns, nullptr);
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

void WakeClockThread()
{
    if (ManualMode()) return;
    {
        std::lock_guard<std::mutex> lock(gWakeLock);
        gWake = true;
    }
    gWakeCv.notify_all();
}

void ResetClock()
{
    SetClockMode(ClockMode::Manual, 1.0);
    std::lock_guard<std::recursive_mutex> guard(gBus);
    gDevices.clear();
    gNow.store(0);
    gPortCost.store(200);
}

}  // namespace detail
}  // namespace plat
