// Control of the kernel stand-in for test fixtures, the machine module and the Plug and
// Play manager: resetting the simulated machine to a known state, pool failure injection
// and accounting, the switch that decides how direct-I/O buffers reach a driver, and the
// driver attribution that lets the verifier charge resources to the driver that took them.
#ifndef TQ_PLATFORM_KERNEL_H
#define TQ_PLATFORM_KERNEL_H

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace plat {

// A pool tag from its four characters as they appear in memory: PoolTag("Wdm ") == 0x206D6457.
constexpr ULONG PoolTag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// Shuts the machine down (ShutdownMachine: requests in flight cancelled, open handles closed,
// recorded shutdown run) and returns every part of the stand-in to its boot state: manual
// clock at time 0, no timed devices, address claims or interrupt lines, no connections, no
// queued DPCs or work items, empty pool, handle table, device and link namespaces, no failure
// injection, verifier count 0. The verifier handler stays as installed. Call at PASSIVE_LEVEL from a thread
// that is not part of the machine (a test's main thread).
void ResetMachine();

// Registers a routine that ResetMachine runs (after the machine is shut down, before the
// kernel's own state is cleared), for parts with state of their own (PnP and power managers,
// bus driver). Registering the same routine twice has no effect.
void AddResetHook(void (*hook)());

// ---- Pool accounting and failure injection ---------------------------------------------------
// Allocations that can fail: ExAllocatePool*, and the pool the I/O manager takes for a
// driver: IoCreateDevice (tag 'Devi'), IoAllocateIrp ('Irp '), IoAllocateMdl ('Mdl '),
// IoConnectInterrupt ('IntO'), and the system page table entries that
// MmGetSystemAddressForMdlSafe (MmMapLockedPagesSpecifyCache without bug check) takes to map
// a caller's locked pages ('PTE '). Each such attempt is counted.
//
// Makes the nth allocation attempt from now (1 = the next) fail; 0 cancels.
void InjectPoolFailure(std::uint64_t nth);
// Makes the nth attempt from now with this tag fail (1 = the next); 0 cancels.
void InjectPoolFailureByTag(ULONG tag, std::uint64_t nth = 1);
// Makes every attempt with this tag fail until cleared.
void FailAllPoolAllocationsByTag(ULONG tag, bool fail = true);
void ClearPoolFailures();
// Called with the tag at each ExAllocatePoolWithTag, in the allocating thread before the
// allocation, so that a test can make something happen at that very point (a removal
// beginning on another processor while a request is half-way through a dispatch
// routine). Empty = none; ResetMachine clears it.
using PoolAllocationHook = std::function<void(ULONG tag)>;
void SetPoolAllocationHook(PoolAllocationHook hook);
std::uint64_t PoolAllocationAttempts();  // attempts since the last reset
std::uint64_t PoolFailuresInjected();
// Blocks currently allocated (tag 0 = any tag) and their bytes.
std::size_t PoolBlocksOutstanding(ULONG tag = 0);
std::size_t PoolBytesOutstanding(ULONG tag = 0);

// ---- Direct I/O ---------------------------------------------------------------------------------
// For METHOD_IN_DIRECT / METHOD_OUT_DIRECT requests the I/O manager describes the caller's
// output buffer with an MDL. By default (`mapped` false), as on the real platform, the MDL
// arrives locked (MDL_PAGES_LOCKED) but not mapped, so the driver must map it with
// MmMapLockedPages(SpecifyCache); when true it arrives with MDL_MAPPED_TO_SYSTEM_VA set and
// MappedSystemVa valid, so the dispatcher's other path can be exercised.
void SetDirectIoMdlMapped(bool mapped);
bool DirectIoMdlMapped();

// The next `count` calls of IoAttachDeviceToDeviceStack return null without attaching, as
// the real platform does when the target stack is being torn down (0 cancels).
// ResetMachine clears it.
void FailDeviceAttach(unsigned count = 1);

// ---- Driver attribution -------------------------------------------------------------------------
// The driver on whose behalf the calling thread runs. The I/O manager sets it around every
// dispatch, completion, cancel, ISR, DPC and work-item call; the driver loader sets it around
// DriverEntry, AddDevice and DriverUnload. Pool blocks, links, DPCs and work items are
// charged to it, so that the unload check can name what a driver left behind.
PDRIVER_OBJECT CurrentDriver();
class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope &) = delete;
    DriverScope &operator=(const DriverScope &) = delete;

private:
    PDRIVER_OBJECT previous_;
};

// ---- Driver objects -----------------------------------------------------------------------------
// Creates a driver object named \Driver\NAME with its extension, every MajorFunction entry
// set to the I/O manager's default (complete with STATUS_INVALID_DEVICE_REQUEST), and frees
// one. Used by the driver loader. A driver object whose devices are deleted but still open
// (file objects not yet closed) is freed when the last of them goes, as the real kernel keeps
// a driver image until its last device object is gone.
PDRIVER_OBJECT CreateDriverObject(const char *name);
void FreeDriverObject(PDRIVER_OBJECT driver);

// ---- Interrupt lock and spin locks -------------------------------------------------------------
// Called at each KeSynchronizeExecution in the calling thread: before the interrupt's
// lock is taken (entering true) and after it is released (entering false), so that a test
// can make the card interrupt just as a driver reaches for the lock (as another
// processor's interrupt routine would get in first) and see what the driver changed
// outside it. Empty = none; ResetMachine clears it.
using SynchronizeHook = std::function<void(PKINTERRUPT interrupt, bool entering)>;
void SetSynchronizeHook(SynchronizeHook hook);
// Threads spinning now for this lock, which another holds: a test that holds a lock on one
// thread (as a DPC on another processor would) learns that a second has reached it.
std::size_t SpinLockWaiters(PKSPIN_LOCK lock);

// ---- Work items and DPCs ------------------------------------------------------------------------
// Waits until the work queue is empty and its worker idle (PASSIVE_LEVEL).
void FlushWorkItems();
// Number of DPCs queued and not yet run.
std::size_t QueuedDpcCount();
// While held, queued DPCs stay queued, as on a processor busy elsewhere, so that a test can
// see what a driver does about a DPC it queued that has not run yet; released, they run in
// the first thread that can (in manual mode the releasing one). ResetMachine releases.
void HoldDpcs(bool hold);

// Device objects (with their names) the I/O manager knows; for tests and the machine module.
PDEVICE_OBJECT FindDeviceByName(const wchar_t *name);  // e.g. L"\\Device\\Tq4815x"; null if none

}  // namespace plat

// The I/O manager's default dispatch routine: completes with STATUS_INVALID_DEVICE_REQUEST.
extern "C" NTSTATUS NTAPI IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

#endif
