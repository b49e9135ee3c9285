// Dispatcher objects and waits: notification and synchronization events, waits with
// time-outs, delays and stalls, and the system time, all on the virtual clock.
//
// A timed wait measures virtual time. In manual clock mode a thread that waits with a
// time-out on an object that is not signalled spends virtual time itself, stepping the
// clock event by event (and taking the interrupts and DPCs that come due) until the object
// is signalled or the time-out has passed, exactly as a delay does; an untimed wait just
// blocks until another thread signals the object. In real-time mode waits block on the
// host for the host time the virtual time-out stands for.
#include "kernel_internal.h"

#include <chrono>
#include <condition_variable>
#include <thread>
#include <unordered_map>

namespace plat::detail {
namespace {

std::mutex gDispatcherLock;
std::condition_variable &gDispatcherCv = *new std::condition_variable;

// Synchronization events that a thread took with a kernel-mode wait at PASSIVE_LEVEL
// outside a critical region, by the thread that took them (under gDispatcherLock). When the
// same thread sets such an event again, the event was a lock: held by a thread that an
// application could suspend meanwhile, freezing every other request that waits for it.
std::unordered_map<PVOID, PETHREAD> &gLocksOutsideRegion = *new std::unordered_map<PVOID, PETHREAD>;

// System time (100 ns units since 1601) at which the machine booted: 2026-01-01 00:00 UTC.
constexpr LONGLONG kBootSystemTime = 134116992000000000LL;

// Takes the object if it is signalled (a synchronization event is reset by the take).
bool TryTake(DISPATCHER_HEADER *header)
{
    if (header->SignalState <= 0) return false;
    if (header->Type == SynchronizationEvent) header->SignalState = 0;
    return true;
}

}  // namespace

void NotifyDispatcherWaiters() { gDispatcherCv.notify_all(); }

void ForgetLocksOutsideRegion()
{
    std::lock_guard<std::mutex> guard(gDispatcherLock);
    gLocksOutsideRegion.clear();
}

VTime DeadlineFromTimeout(const LARGE_INTEGER *timeout)
{
    if (timeout == nullptr) return kNever;
    VTime now = Now();
    LONGLONG q = timeout->QuadPart;
    if (q == 0) return now;
    if (q < 0) {
        unsigned long long ns = static_cast<unsigned long long>(-(q + 1)) + 1;  // |q| without overflow
        if (ns > (kNever - 1 - now) / 100) return kNever - 1;
        return now + ns * 100;
    }
    if (q <= kBootSystemTime) return now;
    unsigned long long ns100 = static_cast<unsigned long long>(q - kBootSystemTime);
    if (ns100 > (kNever - 1) / 100) return kNever - 1;
    VTime at = ns100 * 100;
    return at < now ? now : at;
}

NTSTATUS WaitForObject(PVOID object, VTime deadline)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    {
        std::unique_lock<std::mutex> lock(gDispatcherLock);
        if (TryTake(header)) return STATUS_SUCCESS;
        if (deadline == kNever) {
            gDispatcherCv.wait(lock, [&] { return TryTake(header); });
            return STATUS_SUCCESS;
        }
        if (deadline <= Now()) return STATUS_TIMEOUT;
    }
    if (ManualMode()) {
        bool taken = AdvanceUntil(deadline, [&] {
            std::lock_guard<std::mutex> guard(gDispatcherLock);
            return TryTake(header);
        });
        return taken ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    std::unique_lock<std::mutex> lock(gDispatcherLock);
    for (;;) {
        if (TryTake(header)) return STATUS_SUCCESS;
        VTime now = Now();
        if (now >= deadline) return STATUS_TIMEOUT;
        std::uint64_t host = HostNanosFor(deadline - now);
        if (host > 2'000'000) host = 2'000'000;
        gDispatcherCv.wait_for(lock, std::chrono::nanoseconds(host + 1000));
    }
}

}  // namespace plat::detail

using namespace plat;
using namespace plat::detail;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    {
        // A new event at the address of an old one (a stack event) is not that lock.
        std::lock_guard<std::mutex> guard(gDispatcherLock);
        gLocksOutsideRegion.erase(Event);
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

// Signals the event; returns its previous state. At or below DISPATCH_LEVEL.
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    if (Thread().irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "KeSetEvent", "called at " + IrqlName(Thread().irql));
    if (IsDeletedObject(Event)) {
        Report(rule::EventObjectDeleted, "KeSetEvent",
               "event " + Hex(reinterpret_cast<ULONG_PTR>(Event)) + " belongs to an object whose last reference is gone");
        return 0;
    }
    LONG previous;
    bool lockOutsideRegion = false;
    {
        std::lock_guard<std::mutex> guard(gDispatcherLock);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        auto taken = gLocksOutsideRegion.find(Event);
        if (taken != gLocksOutsideRegion.end()) {
            lockOutsideRegion = taken->second == CurrentThreadToken();
            gLocksOutsideRegion.erase(taken);
        }
    }
    gDispatcherCv.notify_all();
    if (lockOutsideRegion)
        Report(rule::LockOutsideCriticalRegion, "KeWaitForSingleObject",
               "synchronization event " + Hex(reinterpret_cast<ULONG_PTR>(Event)) +
                   " was held as a lock (taken and given back by one thread) outside "
                   "KeEnterCriticalRegion/KeLeaveCriticalRegion: a suspended thread would keep it");
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(gDispatcherLock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(gDispatcherLock);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(gDispatcherLock);
    return Event->Header.SignalState;
}

// Waits for an event (or a thread object). A time-out other than zero needs IRQL at or
// below APC_LEVEL; a zero time-out polls and is allowed up to DISPATCH_LEVEL. A wait that
// breaks the rule is reported and turned into a poll.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)Alertable;
    KIRQL irql = Thread().irql;
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
        Report(rule::WaitAboveLimit, "KeWaitForSingleObject",
               "called at " + IrqlName(irql) + (poll ? std::string() : " with a non-zero or infinite time-out"));
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        return WaitForObject(Object, DeadlineFromTimeout(&zero));
    }
    auto *header = static_cast<DISPATCHER_HEADER *>(Object);
    if (header->Type != NotificationEvent && header->Type != SynchronizationEvent) {
        Report(rule::UnknownObject, "KeWaitForSingleObject",
               "object " + Hex(reinterpret_cast<ULONG_PTR>(Object)) + " is not a waitable dispatcher object");
        return STATUS_INVALID_PARAMETER;
    }
    if (IsDeletedObject(Object)) {
        Report(rule::EventObjectDeleted, "KeWaitForSingleObject",
               "object " + Hex(reinterpret_cast<ULONG_PTR>(Object)) + " has lost its last reference");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = WaitForObject(Object, DeadlineFromTimeout(Timeout));
    // A kernel-mode wait that takes a synchronization event at PASSIVE_LEVEL outside a
    // critical region is remembered: if the same thread sets the event again, it held a
    // lock (KeSetEvent reports it).
    if (status == STATUS_SUCCESS && header->Type == SynchronizationEvent && WaitMode == KernelMode &&
        irql == PASSIVE_LEVEL && Thread().criticalRegion == 0) {
        std::lock_guard<std::mutex> guard(gDispatcherLock);
        gLocksOutsideRegion[Object] = CurrentThreadToken();
    }
    return status;
}

// Holds off normal kernel APCs, and with them the suspension of the calling thread, until
// the matching KeLeaveCriticalRegion. At or below APC_LEVEL.
VOID NTAPI KeEnterCriticalRegion(VOID)
{
    if (Thread().irql > APC_LEVEL)
        Report(rule::RoutineAboveLimit, "KeEnterCriticalRegion", "called at " + IrqlName(Thread().irql));
    ++Thread().criticalRegion;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    if (Thread().irql > APC_LEVEL)
        Report(rule::RoutineAboveLimit, "KeLeaveCriticalRegion", "called at " + IrqlName(Thread().irql));
    if (Thread().criticalRegion == 0) {
        Report(rule::CriticalRegionUnbalanced, "KeLeaveCriticalRegion", "the thread is not in a critical region");
        return;
    }
    --Thread().criticalRegion;
}

// Lets the calling thread sleep for Interval (negative: relative, 100 ns units; positive:
// absolute system time). At or below APC_LEVEL. In manual mode the thread advances the
// virtual clock by the interval itself.
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (Thread().irql > APC_LEVEL) {
        Report(rule::DelayAboveLimit, "KeDelayExecutionThread", "called at " + IrqlName(Thread().irql));
        return STATUS_SUCCESS;
    }
    VTime now = Now();
    VTime until = DeadlineFromTimeout(Interval);
    if (until == kNever || until <= now) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    SpendTime(until - now);
    return STATUS_SUCCESS;
}

// Busy-waits MicroSeconds at any IRQL.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds)
{
    VTime ns = static_cast<VTime>(MicroSeconds) * 1000;
    if (ManualMode()) {
        SpendTime(ns);
        return;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(HostNanosFor(ns));
    while (std::chrono::steady_clock::now() < until) {
    }
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = kBootSystemTime + static_cast<LONGLONG>(Now() / 100);
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return Now() / 100; }

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return CurrentThreadToken(); }

}  // extern "C"
