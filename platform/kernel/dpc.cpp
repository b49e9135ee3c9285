// Deferred procedure calls. One system-wide FIFO queue; a DPC object is in it at most once
// (DpcData is non-null while it is queued). A queued DPC runs at DISPATCH_LEVEL:
//  - manual clock mode: in the first thread whose IRQL drops below DISPATCH_LEVEL, which
//    is the inserting thread itself when it inserts below DISPATCH_LEVEL, and the thread
//    that advanced the clock, right after the interrupts that queued it;
//  - real-time mode: in the DPC thread.
#include "kernel_internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

namespace plat {
namespace {

constexpr UCHAR kDpcObjectType = 0x13;

std::mutex gDpcLock;
std::condition_variable &gDpcCv = *new std::condition_variable;
std::deque<PKDPC> &gQueue = *new std::deque<PKDPC>;
std::map<PKDPC, PDRIVER_OBJECT> &gOwner = *new std::map<PKDPC, PDRIVER_OBJECT>;  // driver that initialised each DPC object
int gRunning = 0;                        // DPC routines executing now
std::thread &gDpcThread = *new std::thread;
bool gStopDpcThread = false;
// HoldDpcs: queued DPCs wait, as on a processor busy elsewhere. Guarded by gDpcLock;
// mirrored for DrainDpcs' look without the lock.
bool gHold = false;
std::atomic<bool> gHoldMirror{false};

// After every change of gQueue; gDpcLock held.
void PublishQueueLength() { detail::gDpcQueueLength.store(gQueue.size(), std::memory_order_release); }

PVOID QueuedMarker() { return &gQueue; }

void DpcThreadMain()
{
    detail::Thread().machineThread = true;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(gDpcLock);
            gDpcCv.wait(lock, [] { return gStopDpcThread || (!gQueue.empty() && !gHold); });
            if (gStopDpcThread) return;
        }
        detail::DrainDpcs();
    }
}

}  // namespace

void HoldDpcs(bool hold)
{
    {
        std::lock_guard<std::mutex> guard(gDpcLock);
        gHold = hold;
        gHoldMirror.store(hold, std::memory_order_release);
    }
    gDpcCv.notify_all();
    if (!hold && detail::ManualMode()) detail::DrainDpcs();  // the releasing thread runs them
}

std::size_t QueuedDpcCount()
{
    std::lock_guard<std::mutex> guard(gDpcLock);
    return gQueue.size();
}

namespace detail {

// gQueue's length as of its last change, published for DrainDpcs: delivery asks for the
// queue to be drained after every port access and clock step, and it is almost always
// empty, so the common case reads this instead of taking gDpcLock. A DPC queued a moment
// ago by another thread is no worse off than with the lock: that thread drains it itself
// (manual mode), or the DPC thread does (real time).
std::atomic<std::size_t> gDpcQueueLength{0};

void DrainDpcs()
{
    ThreadState &t = Thread();
    if (t.irql >= DISPATCH_LEVEL || t.drainingDpcs || t.busDepth > 0) return;
    if (gHoldMirror.load(std::memory_order_acquire)) return;
    if (detail::gDpcQueueLength.load(std::memory_order_acquire) == 0) return;
    t.drainingDpcs = true;
    for (;;) {
        PKDPC dpc;
        PKDEFERRED_ROUTINE routine;
        PVOID context, arg1, arg2;
        PDRIVER_OBJECT owner = nullptr;
        {
            std::lock_guard<std::mutex> guard(gDpcLock);
            if (gQueue.empty()) break;
            dpc = gQueue.front();
            gQueue.pop_front();
            PublishQueueLength();
            routine = dpc->DeferredRoutine;
            context = dpc->DeferredContext;
            arg1 = dpc->SystemArgument1;
            arg2 = dpc->SystemArgument2;
            __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_RELEASE);
            auto it = gOwner.find(dpc);
            if (it != gOwner.end()) owner = it->second;
            ++gRunning;
        }
        KIRQL saved = t.irql;
        t.irql = DISPATCH_LEVEL;
        std::size_t locks = t.heldLocks.size();
        {
            DriverScope scope(owner);
            routine(dpc, context, arg1, arg2);
        }
        if (t.irql != DISPATCH_LEVEL) {
            Report(rule::IrqlNotRestored, "DPC routine",
                   "entered at DISPATCH_LEVEL, returned at " + IrqlName(t.irql));
        }
        if (t.heldLocks.size() != locks)
            Report(rule::SpinLockHeldOnReturn, "DPC routine", "returned holding a spin lock");
        t.irql = saved;
        {
            std::lock_guard<std::mutex> guard(gDpcLock);
            --gRunning;
        }
        gDpcCv.notify_all();
    }
    t.drainingDpcs = false;
}

std::size_t DpcsQueuedBy(PDRIVER_OBJECT driver, std::string *detail)
{
    std::lock_guard<std::mutex> guard(gDpcLock);
    std::size_t n = 0;
    for (PKDPC dpc : gQueue) {
        auto it = gOwner.find(dpc);
        if (it != gOwner.end() && it->second == driver) {
            ++n;
            if (detail) *detail += " DPC " + Hex(reinterpret_cast<ULONG_PTR>(dpc));
        }
    }
    return n;
}

bool DpcQueued(PKDPC dpc)
{
    std::lock_guard<std::mutex> guard(gDpcLock);
    return __atomic_load_n(&dpc->DpcData, __ATOMIC_ACQUIRE) != nullptr;
}

void RemoveQueuedDpc(PKDPC dpc)
{
    std::lock_guard<std::mutex> guard(gDpcLock);
    for (auto it = gQueue.begin(); it != gQueue.end(); ++it) {
        if (*it == dpc) {
            gQueue.erase(it);
            PublishQueueLength();
            __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_RELEASE);
            break;
        }
    }
}

void StartDpcThread()
{
    std::lock_guard<std::mutex> guard(gDpcLock);
    if (gDpcThread.joinable()) return;
    gStopDpcThread = false;
    gDpcThread = std::thread(DpcThreadMain);
}

void StopDpcThread()
{
    {
        std::lock_guard<std::mutex> guard(gDpcLock);
        if (!gDpcThread.joinable()) return;
        gStopDpcThread = true;
    }
    gDpcCv.notify_all();
    gDpcThread.join();
    std::lock_guard<std::mutex> guard(gDpcLock);
    gStopDpcThread = false;
}

void ResetDpcs()
{
    StopDpcThread();
    std::lock_guard<std::mutex> guard(gDpcLock);
    gQueue.clear();  // the DPC objects may be gone with their devices: not touched
    PublishQueueLength();
    gOwner.clear();
    gRunning = 0;
    gHold = false;
    gHoldMirror.store(false);
}

}  // namespace detail
}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = kDpcObjectType;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
    std::lock_guard<std::mutex> guard(gDpcLock);
    gOwner[Dpc] = CurrentDriver();
}

// Queues the DPC unless it is queued already (then FALSE and the arguments are not changed).
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->Type != kDpcObjectType || Dpc->DeferredRoutine == nullptr) {
        Report(rule::DpcInvalid, "KeInsertQueueDpc",
               "DPC object " + Hex(reinterpret_cast<ULONG_PTR>(Dpc)) + " was not initialised with KeInitializeDpc");
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(gDpcLock);
        if (Dpc->DpcData != nullptr) return FALSE;
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        __atomic_store_n(&Dpc->DpcData, QueuedMarker(), __ATOMIC_RELEASE);
        gQueue.push_back(Dpc);
        PublishQueueLength();
        if (gOwner.find(Dpc) == gOwner.end()) gOwner[Dpc] = CurrentDriver();
    }
    if (ManualMode())
        DrainDpcs();  // runs now only if this thread is below DISPATCH_LEVEL
    else
        gDpcCv.notify_all();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    std::lock_guard<std::mutex> guard(gDpcLock);
    for (auto it = gQueue.begin(); it != gQueue.end(); ++it) {
        if (*it == Dpc) {
            gQueue.erase(it);
            PublishQueueLength();
            __atomic_store_n(&Dpc->DpcData, nullptr, __ATOMIC_RELEASE);
            return TRUE;
        }
    }
    return FALSE;
}

// Returns once every DPC queued before the call has run (PASSIVE_LEVEL).
VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "KeFlushQueuedDpcs", "called at " + IrqlName(Thread().irql));
    std::unique_lock<std::mutex> lock(gDpcLock);
    while (gRunning != 0 || !gQueue.empty()) {
        if (ManualMode()) {
            lock.unlock();
            DrainDpcs();
            lock.lock();
        } else {
            gDpcCv.notify_all();
        }
        gDpcCv.wait_for(lock, std::chrono::milliseconds(1));
    }
}

}  // extern "C"
