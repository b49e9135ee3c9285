// IRQL and spin locks. Each host thread has its own IRQL (a processor's, on the real
// platform: here every thread is a processor of its own). A spin lock really excludes:
// it holds the owning thread's token while taken, and the verifier checks that it is
// neither taken twice by its owner nor released by a thread that does not hold it.
#include "kernel_internal.h"

#include <map>
#include <mutex>
#include <thread>

namespace plat::detail {
namespace {

KSPIN_LOCK gCancelSpinLock = 0;

// Threads spinning for a lock that another holds, by lock: only the contended path
// touches it.
std::mutex gWaitersLock;
std::map<PKSPIN_LOCK, std::size_t> &gWaiters = *new std::map<PKSPIN_LOCK, std::size_t>;

void CountWaiter(PKSPIN_LOCK lock, bool waiting)
{
    std::lock_guard<std::mutex> guard(gWaitersLock);
    if (waiting)
        ++gWaiters[lock];
    else if (--gWaiters[lock] == 0)
        gWaiters.erase(lock);
}

}  // namespace

PKSPIN_LOCK CancelSpinLock() { return &gCancelSpinLock; }

bool AcquireSpinLockRaw(PKSPIN_LOCK lock, const char *routine)
{
    ThreadState &t = Thread();
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&t.token);
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == me) {
        Report(rule::SpinLockAcquiredTwice, routine,
               "spin lock " + Hex(reinterpret_cast<ULONG_PTR>(lock)) + " is already held by this thread (deadlock)");
        return false;
    }
    unsigned spins = 0;
    if (SingleThreaded() && __atomic_load_n(lock, __ATOMIC_RELAXED) == 0) {
        __atomic_store_n(lock, me, __ATOMIC_RELAXED);
        t.heldLocks.push_back(lock);
        return true;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        // Never wait for a spin lock while keeping an interrupt routine's hold of the bus:
        // its holder may be waiting for the bus.
        if (spins == 0) {
            LetGoOfBus(t);
            CountWaiter(lock, true);
        }
        if (++spins > 64) std::this_thread::yield();
    }
    if (spins != 0) CountWaiter(lock, false);
    t.heldLocks.push_back(lock);
    return true;
}

bool ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char *routine)
{
    ThreadState &t = Thread();
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&t.token);
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) != me) {
        Report(rule::SpinLockNotHeld, routine,
               "spin lock " + Hex(reinterpret_cast<ULONG_PTR>(lock)) + " is not held by this thread");
        return false;
    }
    t.heldLocks.remove(lock);
    __atomic_store_n(lock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
    return true;
}

void OnIrqlLowered() { DeliverInterrupts(); }

}  // namespace plat::detail

namespace plat {

std::size_t SpinLockWaiters(PKSPIN_LOCK lock)
{
    std::lock_guard<std::mutex> guard(detail::gWaitersLock);
    auto it = detail::gWaiters.find(lock);
    return it == detail::gWaiters.end() ? 0 : it->second;
}

}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Thread().irql; }

// Raises the calling thread's IRQL; a "raise" to a lower level is a fault.
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    ThreadState &t = Thread();
    KIRQL old = t.irql;
    if (NewIrql < old) {
        Report(rule::IrqlRaiseToLower, "KfRaiseIrql", "from " + IrqlName(old) + " to " + IrqlName(NewIrql));
        return old;
    }
    t.irql = NewIrql;
    return old;
}

// Lowers the calling thread's IRQL; interrupts and DPCs held off by the old level may run.
VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    ThreadState &t = Thread();
    if (NewIrql > t.irql) {
        Report(rule::IrqlLowerToHigher, "KfLowerIrql", "from " + IrqlName(t.irql) + " to " + IrqlName(NewIrql));
        return;
    }
    t.irql = NewIrql;
    OnIrqlLowered();
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

// Raises to DISPATCH_LEVEL and takes the lock; callable at or below DISPATCH_LEVEL.
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    ThreadState &t = Thread();
    KIRQL old = t.irql;
    if (old > DISPATCH_LEVEL) {
        Report(rule::RoutineAboveLimit, "KfAcquireSpinLock", "called at " + IrqlName(old));
    } else {
        t.irql = DISPATCH_LEVEL;
    }
    AcquireSpinLockRaw(SpinLock, "KfAcquireSpinLock");
    return old;
}

// Releases the lock and returns to NewIrql (normally the level KfAcquireSpinLock returned).
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseSpinLockRaw(SpinLock, "KfReleaseSpinLock");
    ThreadState &t = Thread();
    if (NewIrql > t.irql) {
        Report(rule::IrqlLowerToHigher, "KfReleaseSpinLock",
               "asked to return to " + IrqlName(NewIrql) + " from " + IrqlName(t.irql));
        return;
    }
    t.irql = NewIrql;
    OnIrqlLowered();
}

// Takes the lock without raising: the caller must already run at DISPATCH_LEVEL.
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (Thread().irql < DISPATCH_LEVEL)
        Report(rule::SpinLockAtDpcBelowDispatch, "KefAcquireSpinLockAtDpcLevel",
               "called at " + IrqlName(Thread().irql));
    AcquireSpinLockRaw(SpinLock, "KefAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (Thread().irql < DISPATCH_LEVEL)
        Report(rule::SpinLockAtDpcBelowDispatch, "KefReleaseSpinLockFromDpcLevel",
               "called at " + IrqlName(Thread().irql));
    ReleaseSpinLockRaw(SpinLock, "KefReleaseSpinLockFromDpcLevel");
}

// The I/O manager's cancel spin lock, guarding every IRP's cancel routine and Cancel flag.
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(CancelSpinLock()); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(CancelSpinLock(), Irql); }

}  // extern "C"
