// The interrupt controller: lines that simulated devices drive, interrupt objects that
// drivers connect to them, and delivery. An interrupt is taken by a thread whose IRQL is
// below the connection's level (in manual mode any thread of the machine or the test that
// moves the clock, touches a port or lowers its IRQL; in real-time mode the clock thread):
// the thread's IRQL goes up to the synchronisation level, the interrupt object's spin lock
// is taken, and the service routines on the vector are called in connection order until
// one claims the interrupt. A level-sensitive line is taken again as long as it stays
// asserted; a line that keeps interrupting without ever dropping is reported as a storm
// and masked until it drops. A latched line interrupts once per rising edge.
#include "kernel_internal.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

struct _KINTERRUPT {
    ULONG Vector;
    KIRQL Irql;
    KIRQL SynchronizeIrql;
    KINTERRUPT_MODE Mode;
    bool Shared;
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    PKSPIN_LOCK ActualLock;
    KSPIN_LOCK OwnLock;
    PDRIVER_OBJECT Owner;
};

namespace plat {
namespace {

// Deliveries in a row of a level-sensitive line that never dropped, before it counts as a storm.
constexpr unsigned kStormLimit = 1000;

struct Line {
    bool asserted = false;
    bool latched = false;     // an edge waits to be taken (latched connections)
    bool inService = false;   // a thread is running the line's service routines
    bool masked = false;      // storm: not delivered until the line drops
    unsigned consecutive = 0; // deliveries since the line last dropped
    std::vector<PKINTERRUPT> connections;
    // Of the connections, kept with them: the highest device level, and whether the vector
    // is level-sensitive (all connections agree on the mode).
    KIRQL irql = 0;
    bool level = false;
    ULONG vector = 0;  // the line's own
};

detail::FastLock gIntLock;
std::map<ULONG, Line> &gLines = *new std::map<ULONG, Line>;
// The same lines in the same order (by vector), for delivery's look at every line.
std::vector<Line *> &gLineOrder = *new std::vector<Line *>;
// The line last looked up by vector (a card drives one line, up and down, per interrupt).
// Map nodes stay put until the map is cleared. Guarded by gIntLock.
ULONG gLastVector = 0;
Line *gLastLine = nullptr;

// A vector's line from the map, made (and placed in gLineOrder) on first use, and
// remembered as the last looked up. gIntLock held.
[[gnu::noinline]] Line &LookUpLine(ULONG vector)
{
    auto [it, made] = gLines.try_emplace(vector);
    Line &l = it->second;
    if (made) {
        l.vector = vector;
        gLineOrder.insert(std::upper_bound(gLineOrder.begin(), gLineOrder.end(), vector,
                                           [](ULONG v, const Line *other) { return v < other->vector; }),
                          &l);
    }
    gLastVector = vector;
    gLastLine = &l;
    return l;
}

// The line of a vector, made on first use. gIntLock held.
inline Line &LineOf(ULONG vector)
{
    if (gLastLine != nullptr && gLastVector == vector) return *gLastLine;
    return LookUpLine(vector);
}

// After a connection came or went. gIntLock held.
void Reconnected(Line &l)
{
    l.irql = 0;
    for (PKINTERRUPT i : l.connections) l.irql = std::max(l.irql, i->Irql);
    l.level = !l.connections.empty() && l.connections.front()->Mode == LevelSensitive;
}

std::set<PKINTERRUPT> &gInterrupts = *new std::set<PKINTERRUPT>;

// Marks that a line may have become pending. gIntLock held.
void MayBePending() { detail::gInterruptMayBePending.store(true, std::memory_order_release); }

// The connections of a line, copied while gIntLock is held so that the service routines
// run without it (a connection made meanwhile must not move them underneath). A vector
// rarely has more than a few, so the copy needs no allocation.
class ConnectionList {
public:
    void Assign(const std::vector<PKINTERRUPT> &from)
    {
        count_ = from.size();
        if (count_ <= kInline) {
            std::copy(from.begin(), from.end(), inline_);
            spill_.clear();
        } else {
            spill_ = from;
        }
    }
    PKINTERRUPT const *begin() const { return count_ <= kInline ? inline_ : spill_.data(); }
    PKINTERRUPT const *end() const { return begin() + count_; }

private:
    static constexpr std::size_t kInline = 8;
    PKINTERRUPT inline_[kInline];
    std::vector<PKINTERRUPT> spill_;
    std::size_t count_ = 0;
};

bool Pending(const Line &l)
{
    if (l.connections.empty() || l.masked || l.inService) return false;
    return l.level ? l.asserted : l.latched;
}

std::mutex gSyncHookLock;
SynchronizeHook &gSyncHook = *new SynchronizeHook;

// Runs the test's synchronise hook, if any, with no lock of the stand-in held.
void RunSynchronizeHook(PKINTERRUPT interrupt, bool entering)
{
    SynchronizeHook hook;
    {
        std::lock_guard<std::mutex> guard(gSyncHookLock);
        if (!gSyncHook) return;
        hook = gSyncHook;
    }
    hook(interrupt, entering);
}

bool KnownInterrupt(PKINTERRUPT interrupt)
{
    std::lock_guard<detail::FastLock> guard(gIntLock);
    return gInterrupts.count(interrupt) != 0;
}

}  // namespace

void SetSynchronizeHook(SynchronizeHook hook)
{
    std::lock_guard<std::mutex> guard(gSyncHookLock);
    gSyncHook = std::move(hook);
}

void SetInterruptLine(std::uint32_t vector, bool asserted)
{
    {
        std::lock_guard<detail::FastLock> guard(gIntLock);
        Line &l = LineOf(vector);
        bool rising = asserted && !l.asserted;
        l.asserted = asserted;
        if (!asserted) {
            l.consecutive = 0;
            l.masked = false;
        }
        if (rising && !l.connections.empty() && !l.level) l.latched = true;
        if (asserted) MayBePending();
    }
    detail::WakeClockThread();
    detail::DeliverInterrupts();  // no-op while device-model code holds the bus
}

bool InterruptLineAsserted(std::uint32_t vector)
{
    std::lock_guard<detail::FastLock> guard(gIntLock);
    auto it = gLines.find(vector);
    return it != gLines.end() && it->second.asserted;
}

namespace detail {

// False only when no line was pending as of the last look under gIntLock: every change
// that may make a line pending sets it (under the lock), and only a full scan that found
// nothing pending clears it. Delivery runs after every port access and clock step, so the
// common case (nothing to take) reads this flag instead of taking the lock and walking
// the lines. A reader that misses a line raised a moment ago by another thread is no
// worse off than one that took the lock just before it: that thread delivers itself in
// manual mode, and wakes the clock thread in real time.
std::atomic<bool> gInterruptMayBePending{false};

namespace {

// The verifier's reports on an interrupt routine, out of line: building their text would
// otherwise weigh on every delivery.
[[gnu::noinline, gnu::cold]] void ReportIrqlNotRestored(ULONG vector, KIRQL running, KIRQL returned)
{
    Report(rule::IrqlNotRestored, "interrupt service routine",
           "vector " + std::to_string(vector) + ": entered at " + IrqlName(running) + ", returned at " +
               IrqlName(returned));
}

[[gnu::noinline, gnu::cold]] void ReportLockHeld(ULONG vector)
{
    Report(rule::SpinLockHeldOnReturn, "interrupt service routine",
           "vector " + std::to_string(vector) + " returned holding a spin lock");
}

[[gnu::noinline, gnu::cold]] void ReportStorm(ULONG vector)
{
    Report(rule::InterruptStorm, "interrupt service routine",
           "level-sensitive vector " + std::to_string(vector) + " stayed asserted through " +
               std::to_string(kStormLimit) + " deliveries (no service routine dismissed it); masked until it drops");
}

}  // namespace

void DeliverInterruptsFor(ThreadState &t)
{
    const bool manual = ManualMode();
    if (manual || t.deliversInRealTime) {
        ConnectionList connections;
        // gIntLock is held from the look that ends one delivery to the look that starts the
        // next, so that taking an interrupt costs two holds of it rather than three.
        std::unique_lock<detail::FastLock> lock(gIntLock, std::defer_lock);
        for (;;) {
            if (!detail::gInterruptMayBePending.load(std::memory_order_acquire)) break;
            if (!lock.owns_lock()) lock.lock();
            ULONG vector = 0;
            bool level = false;
            Line *best = nullptr;
            KIRQL bestIrql = 0;
            unsigned pending = 0;
            for (Line *l : gLineOrder) {
                if (!Pending(*l)) continue;
                ++pending;
                KIRQL irql = l->irql;
                if (irql <= t.irql) continue;
                if (best == nullptr || irql > bestIrql) {
                    best = l;
                    bestIrql = irql;
                    vector = l->vector;
                }
            }
            // Nothing pending once `best` is in service: the routine's own port accesses
            // then find the flag clear instead of looking again under the lock. The end of
            // the service sets it again.
            if (pending == 0 || (best != nullptr && pending == 1))
                detail::gInterruptMayBePending.store(false, std::memory_order_relaxed);
            if (best == nullptr) break;
            best->inService = true;
            level = best->level;
            if (!level) best->latched = false;
            connections.Assign(best->connections);
            lock.unlock();
            for (PKINTERRUPT i : connections) {
                KIRQL saved = t.irql;
                t.irql = std::max(saved, i->SynchronizeIrql);
                KIRQL running = t.irql;
                AcquireSpinLockRaw(i->ActualLock, "interrupt dispatch");
                const bool held = HoldBusForInterrupt(t);
                PDRIVER_OBJECT savedDriver = t.currentDriver;
                t.currentDriver = i->Owner;
                std::size_t locks = t.heldLocks.size();
                BOOLEAN claimed = i->ServiceRoutine(i, i->ServiceContext);
                t.currentDriver = savedDriver;
                if (held) LetGoOfBus(t);
                if (t.irql != running) {
                    ReportIrqlNotRestored(vector, running, t.irql);
                    t.irql = running;
                }
                if (t.heldLocks.size() != locks) ReportLockHeld(vector);
                ReleaseSpinLockRaw(i->ActualLock, "interrupt dispatch");
                t.irql = saved;
                if (claimed) break;
            }
            lock.lock();
            Line &l = LineOf(vector);
            l.inService = false;
            // Out of service, its line may be pending again. Any other line that became
            // pending meanwhile, or was pending besides it, left the flag set.
            if (Pending(l)) MayBePending();
            if (level && l.asserted && ++l.consecutive >= kStormLimit) {
                l.masked = true;
                lock.unlock();
                ReportStorm(vector);
            }
        }
    }
    if (manual && t.irql < DISPATCH_LEVEL && !t.drainingDpcs) {
        LetGoOfBus(t);  // DPCs run as they would on any thread, not inside a hold of the bus
        DrainDpcs();
    }
}

bool InterruptPending()
{
    if (!detail::gInterruptMayBePending.load(std::memory_order_acquire)) return false;
    std::lock_guard<detail::FastLock> guard(gIntLock);
    for (const Line *l : gLineOrder)
        if (Pending(*l)) return true;
    detail::gInterruptMayBePending.store(false, std::memory_order_relaxed);
    return false;
}

std::size_t InterruptsConnectedBy(PDRIVER_OBJECT driver)
{
    std::lock_guard<detail::FastLock> guard(gIntLock);
    return static_cast<std::size_t>(
        std::count_if(gInterrupts.begin(), gInterrupts.end(), [&](PKINTERRUPT i) { return i->Owner == driver; }));
}

void ResetInterrupts()
{
    std::lock_guard<detail::FastLock> guard(gIntLock);
    for (PKINTERRUPT i : gInterrupts) delete i;
    gInterrupts.clear();
    gLines.clear();
    gLineOrder.clear();
    gLastLine = nullptr;
    detail::gInterruptMayBePending.store(false);
    std::lock_guard<std::mutex> hookGuard(gSyncHookLock);
    gSyncHook = nullptr;
}

}  // namespace detail
}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

// Connects ServiceRoutine to a vector. Refuses (STATUS_INVALID_PARAMETER) a level at or
// below DISPATCH_LEVEL, a synchronisation level below the device level, an empty processor
// mask, and a vector whose existing connections disagree on sharing or mode.
NTSTATUS NTAPI IoConnectInterrupt(PKINTERRUPT *InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                                  PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                                  KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector,
                                  KAFFINITY ProcessorEnableMask, BOOLEAN FloatingSave)
{
    (void)FloatingSave;
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "IoConnectInterrupt", "called at " + IrqlName(Thread().irql));
    *InterruptObject = nullptr;
    if (ServiceRoutine == nullptr || Irql <= DISPATCH_LEVEL || Irql > PROFILE_LEVEL || SynchronizeIrql < Irql ||
        SynchronizeIrql > PROFILE_LEVEL || ProcessorEnableMask == 0 ||
        (InterruptMode != LevelSensitive && InterruptMode != Latched))
        return STATUS_INVALID_PARAMETER;
    if (!PoolAttemptSucceeds(PoolTag("IntO"))) return STATUS_INSUFFICIENT_RESOURCES;
    auto *interrupt = new _KINTERRUPT{Vector,         Irql, SynchronizeIrql, InterruptMode, ShareVector != FALSE,
                                      ServiceRoutine, ServiceContext, nullptr, 0, CurrentDriver()};
    interrupt->ActualLock = SpinLock != nullptr ? SpinLock : &interrupt->OwnLock;
    {
        std::lock_guard<detail::FastLock> guard(gIntLock);
        Line &l = LineOf(Vector);
        for (PKINTERRUPT other : l.connections) {
            if (!other->Shared || !interrupt->Shared || other->Mode != InterruptMode) {
                delete interrupt;
                return STATUS_INVALID_PARAMETER;
            }
        }
        l.connections.push_back(interrupt);
        Reconnected(l);
        gInterrupts.insert(interrupt);
        MayBePending();  // a level-sensitive line may be asserted already
    }
    *InterruptObject = interrupt;
    WakeClockThread();
    DeliverInterrupts();  // a level-sensitive line may be asserted already
    return STATUS_SUCCESS;
}

// Disconnects an interrupt object; waits until no thread runs its vector's service routines.
VOID NTAPI IoDisconnectInterrupt(PKINTERRUPT InterruptObject)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "IoDisconnectInterrupt", "called at " + IrqlName(Thread().irql));
    for (;;) {
        {
            std::lock_guard<detail::FastLock> guard(gIntLock);
            if (gInterrupts.count(InterruptObject) == 0) {
                Report(rule::UnknownInterrupt, "IoDisconnectInterrupt",
                       "interrupt object " + Hex(reinterpret_cast<ULONG_PTR>(InterruptObject)) + " is not connected");
                return;
            }
            if (Thread().irql >= InterruptObject->Irql) return;  // from its own level: would wait forever
            Line &l = LineOf(InterruptObject->Vector);
            if (!l.inService) {
                l.connections.erase(std::remove(l.connections.begin(), l.connections.end(), InterruptObject),
                                    l.connections.end());
                Reconnected(l);
                gInterrupts.erase(InterruptObject);
                break;
            }
        }
        std::this_thread::yield();
    }
    delete InterruptObject;
}

// Runs SynchronizeRoutine at the interrupt's synchronisation level holding its spin lock,
// so that it never overlaps the service routine.
BOOLEAN NTAPI KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                     PVOID SynchronizeContext)
{
    if (!KnownInterrupt(Interrupt)) {
        Report(rule::UnknownInterrupt, "KeSynchronizeExecution",
               "interrupt object " + Hex(reinterpret_cast<ULONG_PTR>(Interrupt)) + " is not connected");
        return FALSE;
    }
    RunSynchronizeHook(Interrupt, true);
    ThreadState &t = Thread();
    KIRQL saved = t.irql;
    if (saved > Interrupt->SynchronizeIrql)
        Report(rule::RoutineAboveLimit, "KeSynchronizeExecution",
               "called at " + IrqlName(saved) + ", above the interrupt's " + IrqlName(Interrupt->SynchronizeIrql));
    t.irql = std::max(saved, Interrupt->SynchronizeIrql);
    KIRQL running = t.irql;
    if (!AcquireSpinLockRaw(Interrupt->ActualLock, "KeSynchronizeExecution")) {
        t.irql = saved;
        return FALSE;
    }
    BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
    if (t.irql != running) {
        Report(rule::IrqlNotRestored, "synchronize routine",
               "entered at " + IrqlName(running) + ", returned at " + IrqlName(t.irql));
        t.irql = running;
    }
    ReleaseSpinLockRaw(Interrupt->ActualLock, "KeSynchronizeExecution");
    t.irql = saved;
    OnIrqlLowered();
    RunSynchronizeHook(Interrupt, false);
    return result;
}

}  // extern "C"
