// What the parts of the kernel stand-in share among themselves and nobody else sees:
// per-thread state (IRQL, spin locks held, the driver being run), and the hooks one
// manager calls in another (the clock in the interrupt controller, the object manager in
// the I/O manager, the verifier everywhere).
//
// Lock order, outermost first: the bus/clock lock (device models), then the interrupt
// controller's lock, the DPC queue lock, the dispatcher lock, pool and object tables.
// No host lock is held while driver code (dispatch, completion, ISR, DPC, work item) runs,
// except spin locks the driver itself asked for.
//
// Global state is never destroyed (containers are allocated once and kept, per-thread state
// is trivially destructible): at process exit the Win32 stand-in and the library still close
// handles and shut the machine down from their unload code, after static destructors ran,
// and the machine's threads may still be running.
#ifndef TQ_PLATFORM_KERNEL_INTERNAL_H
#define TQ_PLATFORM_KERNEL_INTERNAL_H

#include <wdm.h>

#include <plat/hw.h>
#include <plat/kernel.h>
#include <plat/verifier.h>

#include <sys/single_threaded.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Nothing in plat::detail is seen outside this library: hidden, so that the calls between
// its files, made on every port access and clock step, go direct rather than through the
// PLT.
namespace plat {
namespace __attribute__((visibility("hidden"))) detail {

// ---- Per-thread state -----------------------------------------------------------------------
// The spin locks a thread holds, in acquisition order. A fixed array, so that the per-thread
// state needs no destructor and stays usable while the process exits (a library's detach
// code may still close handles then, after thread-local destructors have run).
struct HeldLocks {
    static constexpr std::size_t kMax = 32;
    PKSPIN_LOCK items[kMax];
    std::size_t count = 0;
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    void clear() { count = 0; }
    void push_back(PKSPIN_LOCK lock)
    {
        if (count < kMax) items[count++] = lock;
    }
    void remove(PKSPIN_LOCK lock)
    {
        for (std::size_t i = count; i > 0; --i) {
            if (items[i - 1] == lock) {
                for (std::size_t j = i; j < count; ++j) items[j - 1] = items[j];
                --count;
                return;
            }
        }
    }
};

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    HeldLocks heldLocks;                     // spin locks this thread holds
    PDRIVER_OBJECT currentDriver = nullptr;  // driver being run (attribution)
    int busDepth = 0;                        // > 0 while device-model code runs under the bus lock
    bool machineThread = false;              // clock, DPC or worker thread
    bool deliversInRealTime = false;         // the clock thread: takes interrupts in real-time mode
    bool drainingDpcs = false;
    // The bus lock is held for the interrupt routine this thread runs (see HoldBusForInterrupt).
    bool busHold = false;
    int addingDevice = 0;                    // > 0 while the PnP manager runs a driver's AddDevice
    int criticalRegion = 0;                  // KeEnterCriticalRegion depth
    char token = 0;                          // its address identifies the thread
};
// The calling thread's state. Every port access, clock step and interrupt asks for it
// several times, so the common case is one load of a pointer kept in the static TLS block
// (initial-exec: no __tls_get_addr call across the shared-library boundary); the state
// itself lives in ordinary thread-local storage and is found once per thread by
// ThreadSlow. Eight bytes of static TLS fit even when the library is loaded with dlopen.
// Declared __thread, not thread_local: a pointer has no dynamic initialisation, and an
// extern thread_local would make every use first test for a TLS init routine.
extern __thread ThreadState *tThreadState __attribute__((tls_model("initial-exec")));
ThreadState &ThreadSlow();
inline ThreadState &Thread()
{
    ThreadState *state = tThreadState;
    return state != nullptr ? *state : ThreadSlow();
}
inline PETHREAD CurrentThreadToken() { return reinterpret_cast<PETHREAD>(&Thread().token); }

std::string Hex(std::uint64_t value);
std::string IrqlName(KIRQL irql);
void Report(const char *rule, const char *routine, const std::string &detail);
void ResetVerifierCount();

// ---- IRQL and spin locks (irql_spinlock.cpp) -------------------------------------------------
// Acquire/release without changing IRQL, with the verifier's checks; false if refused.
bool AcquireSpinLockRaw(PKSPIN_LOCK lock, const char *routine);
bool ReleaseSpinLockRaw(PKSPIN_LOCK lock, const char *routine);
// Called whenever a thread's IRQL goes down: in manual clock mode takes the interrupts and
// DPCs that the new IRQL lets in.
void OnIrqlLowered();
PKSPIN_LOCK CancelSpinLock();

// ---- Dispatcher objects (dispatcher.cpp) ------------------------------------------------------
// Virtual deadline for a KeWaitForSingleObject-style time-out: kNever for none (infinite).
VTime DeadlineFromTimeout(const LARGE_INTEGER *timeout);
// Waits for a dispatcher object (event-like header) until `deadline` (kNever = forever).
NTSTATUS WaitForObject(PVOID object, VTime deadline);
void NotifyDispatcherWaiters();

// ---- Virtual clock (clock.cpp) ----------------------------------------------------------------
// True while the process has a single thread (a test or a benchmark driving a machine in
// manual time): then no other thread can see a lock word change, and the platform's locks
// skip their atomic operations, as glibc's own mutexes do. The C library clears it for
// good when the process makes its second thread, which only the one thread can do.
inline bool SingleThreaded() { return __libc_single_threaded != 0; }

// A plain (non-recursive) lock for the platform's own short critical sections that run
// on every interrupt: a futex word (0 free, 1 held, 2 held with sleepers), with no atomic
// operation while the process has one thread.
class FastLock {
public:
    void lock()
    {
        if (!TryLock()) LockContended();
    }
    // The uncontended case alone: true if the lock was free and is now held.
    bool TryLock()
    {
        if (SingleThreaded() && state_.load(std::memory_order_relaxed) == 0) {
            state_.store(1, std::memory_order_relaxed);
            return true;
        }
        std::uint32_t expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire);
    }
    // Spins briefly (holders keep it for a few instructions), then sleeps on the word.
    void LockContended();
    void unlock()
    {
        if (SingleThreaded())
            state_.store(0, std::memory_order_relaxed);  // no thread to sleep on it
        else if (state_.exchange(0, std::memory_order_release) == 2)
            state_.notify_one();
    }

private:
    std::atomic<std::uint32_t> state_{0};
};

// The bus lock: serialises the device models (bus accesses, clock steps, DeviceGuard).
// Recursive, since device-model code may reach the bus again (a line change, a guard taken
// inside an access). Taken on every port access, so it is kept to one atomic operation
// each way when nobody waits (none while the process has one thread): a FastLock, the
// owner's identity for recursion, and a depth only the holder touches. A thread that has
// to wait for it counts itself in `waiters_` meanwhile, so that a holder keeping the lock
// across several accesses (an interrupt routine's) can see it is wanted and let it go.
class BusMutex {
public:
    void lock() { lock(&Thread()); }
    // For a caller that has the thread's state at hand already.
    void lock(ThreadState *me)
    {
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        if (!word_.TryLock()) {
            waiters_.fetch_add(1, std::memory_order_relaxed);
            word_.LockContended();
            waiters_.fetch_sub(1, std::memory_order_relaxed);
        }
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock()
    {
        if (--depth_ > 0) return;
        owner_.store(nullptr, std::memory_order_relaxed);
        word_.unlock();
    }
    // Some other thread waits for the lock (or is about to).
    bool Wanted() const { return waiters_.load(std::memory_order_relaxed) != 0; }

private:
    FastLock word_;
    std::atomic<ThreadState *> owner_{nullptr};
    std::atomic<std::uint32_t> waiters_{0};
    unsigned depth_ = 0;
};
extern BusMutex gBus;
inline BusMutex &BusLock() { return gBus; }

// The interrupt routine's hold of the bus. An interrupt routine makes a handful of port
// accesses in a row; the thread that steps the clock and delivers the interrupts the step
// made due (or, delivering from elsewhere, the thread running the routine, after the
// interrupt's spin lock) takes the bus lock once around the step and the routines, so that
// each access is a recursive acquisition without an atomic operation. The hold is an
// economy, never a change in what the machine does: it is let go, for the rest of the
// routine, as soon as another thread wants the bus (at the routine's next access); before
// its thread waits for any spin lock (a synchronise routine on another thread holds the
// interrupt's spin lock while it reaches the bus); and before DPCs run. So no thread ever
// waits for the bus behind a hold whose thread waits itself, and accesses of other
// processors interleave with the routine's as they did without the hold.
inline bool HoldBusForInterrupt(ThreadState &t)
{
    if (t.busHold) return false;
    gBus.lock();
    t.busHold = true;
    return true;
}
inline void LetGoOfBus(ThreadState &t)
{
    if (!t.busHold) return;
    t.busHold = false;
    gBus.unlock();
}
// The clock's mode (a ClockMode value); read on every port access and clock step, hence
// inline.
extern std::atomic<int> gClockMode;
inline bool ManualMode() { return gClockMode.load() == static_cast<int>(ClockMode::Manual); }
// The calling thread spends virtual time: in manual mode the clock advances by `ns` in this
// thread; in real-time mode the thread sleeps for the host time it stands for.
void SpendTime(VTime ns);
// Manual mode: advance towards `deadline` event by event, stopping early once `done` holds.
// Returns true if `done` held.
bool AdvanceUntil(VTime deadline, const std::function<bool()> &done);
// The cost of a port access, and the earliest device event after the clock's present as
// last asked (0: ask again; see clock.cpp). The present itself, gNow, is in plat/hw.h.
extern std::atomic<VTime> gPortCost;
extern std::atomic<VTime> gHorizon;
// gBus held: asks the devices for their next event after `now` and remembers the answer.
VTime AskDevicesLocked(ThreadState &t, VTime now);
// Manual mode, gBus held by the caller right after its port access, which raised no
// interrupt and left no DPC to run: spends PortAccessCost() at once if no device event
// falls within it (true); false, with the clock unmoved, if one does (the caller then
// spends it with SpendTime, event by event) or if the caller is device-model code. Inline:
// every port access ends here.
inline bool SpendPortCostLocked(ThreadState &t)
{
    if (t.busDepth > 0) return false;
    const VTime now = gNow.load(std::memory_order_relaxed);
    const VTime cost = gPortCost.load(std::memory_order_relaxed);
    const VTime deadline = cost > kNever - now ? kNever - 1 : now + cost;
    if (now >= deadline) return true;
    VTime horizon = gHorizon.load(std::memory_order_relaxed);
    if (horizon == 0) horizon = AskDevicesLocked(t, now);
    if (horizon <= deadline) return false;
    gNow.store(deadline, std::memory_order_release);
    return true;
}
// Real-time mode: host nanoseconds that `ns` of virtual time take.
std::uint64_t HostNanosFor(VTime ns);
// Real-time mode, a thread other than the clock thread: steps the devices towards the
// host-derived present, but never past a pending interrupt (the clock thread takes those,
// in order), so that a port access sees the device as of about now.
void CatchUpRealTime();
void SpinHost(std::uint64_t hostNanos);  // busy-waits, as a port cycle on the bus does
// Real-time mode: wakes the clock thread to look at the devices again (a device
// rescheduled, a line was raised). Nothing in manual mode, where it is asked on every
// line change, hence inline.
void WakeClockThreadNow();
inline void WakeClockThread()
{
    if (!ManualMode()) WakeClockThreadNow();
}
void ResetClock();
// Machine reset: forgets which synchronization events threads hold as locks (dispatcher.cpp).
void ForgetLocksOutsideRegion();

// ---- Interrupt controller (interrupt.cpp) -----------------------------------------------------
// Takes, in this thread, every pending interrupt its IRQL lets in (manual mode, or the clock
// thread in real-time mode), then the DPCs they queued if the IRQL is below DISPATCH_LEVEL.
void DeliverInterruptsFor(ThreadState &t);
// Inline: called after every line change and clock step, most often from device-model
// code, where it has nothing to do.
inline void DeliverInterrupts()
{
    ThreadState &t = Thread();
    if (t.busDepth == 0) DeliverInterruptsFor(t);
}
bool InterruptPending();  // an interrupt waits to be taken (by any thread whose IRQL allows)
// False only when no line was pending as of the controller's last look (see interrupt.cpp).
extern std::atomic<bool> gInterruptMayBePending;
inline bool InterruptMayBePending() { return gInterruptMayBePending.load(std::memory_order_acquire); }
std::size_t InterruptsConnectedBy(PDRIVER_OBJECT driver);
void ResetInterrupts();

// ---- DPCs (dpc.cpp) -----------------------------------------------------------------------------
void DrainDpcs();  // runs queued DPCs in this thread (its IRQL must be below DISPATCH_LEVEL)
// The DPC queue's length as of its last change (see dpc.cpp).
extern std::atomic<std::size_t> gDpcQueueLength;
inline bool DpcsWaiting() { return gDpcQueueLength.load(std::memory_order_acquire) != 0; }
std::size_t DpcsQueuedBy(PDRIVER_OBJECT driver, std::string *detail);
bool DpcQueued(PKDPC dpc);
void RemoveQueuedDpc(PKDPC dpc);
void ResetDpcs();
void StartDpcThread();
void StopDpcThread();

// ---- Pool (pool.cpp) ---------------------------------------------------------------------------
// Counts an allocation attempt of the I/O manager on a driver's behalf; false if the
// failure injection says this one fails.
bool PoolAttemptSucceeds(ULONG tag);
// Runs the test's pool allocation hook (plat/kernel.h), if any.
void RunPoolHook(ULONG tag);
std::size_t PoolBlocksOwnedBy(PDRIVER_OBJECT driver, std::string *detail);
void ResetPool();
// RtlFreeUnicodeString's release of a buffer: reports any buffer that is not a string
// the run-time library allocated (a pool block above all).
void FreeRtlStringBuffer(PVOID buffer);

// ---- Work items (work_queue.cpp) ---------------------------------------------------------------
std::size_t WorkItemsOwnedBy(PDRIVER_OBJECT driver);
void ResetWorkQueue();
// Queues a routine of the platform's own (no driver's) for the worker thread, at any IRQL up
// to DISPATCH_LEVEL: work that must run at PASSIVE_LEVEL, found above it.
void QueueSystemWork(PWORKER_THREAD_ROUTINE routine, PVOID parameter);

// ---- Object manager (object_manager.cpp) -------------------------------------------------------
extern POBJECT_TYPE EventType;
extern POBJECT_TYPE FileType;
extern POBJECT_TYPE ThreadType;
// Creates an object with one pointer reference; onLastHandle runs when its handle count
// drops to 0, onDelete when its pointer count does (both may be null).
PVOID CreateObject(POBJECT_TYPE type, std::size_t bodySize, void (*onLastHandle)(PVOID body),
                   void (*onDelete)(PVOID body));
bool IsDeletedObject(PVOID body);
void CloseAllHandles();
void ResetObjects();

// ---- I/O manager (io_manager.cpp, file_io.cpp) ----------------------------------------------
std::size_t DevicesOwnedBy(PDRIVER_OBJECT driver, std::string *detail);
std::size_t LinksOwnedBy(PDRIVER_OBJECT driver, std::string *detail);
// Resolves a link name (\??\NAME or \DosDevices\NAME) to the device it names, or null.
PDEVICE_OBJECT ResolveLink(const std::wstring &linkName);
// Kinds of IRP, by who issued it and who takes it back when it is completed to the top.
enum class IrpKind { Allocated, UserRequest, BuiltIoctl };
PIRP AllocateIrp(CCHAR stackSize, IrpKind kind);
// Waits until an IRP of kind UserRequest has been completed to the top.
void WaitForIrpCompletion(PIRP irp);
bool IrpCompletedToTop(PIRP irp);
void FreeIrpInternal(PIRP irp);
void DeviceReferenceDropped(PDEVICE_OBJECT device);  // may free a deleted device
bool DeviceOpenable(PDEVICE_OBJECT device, NTSTATUS *status);  // on success takes a reference
// After a driver's AddDevice returned on this thread: the devices it created may be opened.
void PublishDevicesAddedHere();
void ResetIo();
void ResetFileIo();
// Completion of a request of the simulated process reached the top of its stack (called by
// IofCompleteRequest): finishes it when its issuer has left (true: the IRP is freed);
// otherwise (false) its issuer's wait is to end.
bool UserRequestCompleted(PIRP irp);
// Cancels every request of the simulated process in flight, as the end of its threads does.
void CancelAllFileIo();
void ResetMemoryMappings();
void ResetBus();

}  // namespace detail
}  // namespace plat

#endif
