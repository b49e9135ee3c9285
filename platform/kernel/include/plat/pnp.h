// The Plug and Play and power managers of the simulated machine, and the bus driver
// stand-in below every function driver. Implemented by platform/kernel (pnp_manager.cpp,
// power_manager.cpp, bus_driver.cpp, driver_loader.cpp); used by sim/ (which creates the
// card's PDO with its resources), by test fixtures, and by the machine module.
//
// The calling thread plays the role of the system's Plug and Play (or power) thread: every
// routine here is called at PASSIVE_LEVEL, and requests to one device stack are serialised
// by a lock per PDO, so two threads may call in at once without the requests overlapping.
// Requests go to the top of the PDO's device stack as real IRPs (IoAllocateIrp with the
// stack's StackSize, IoStatus.Status preset to STATUS_NOT_SUPPORTED) and the caller waits
// for their completion, whatever thread completes them.
#ifndef TQ_PLATFORM_PNP_H
#define TQ_PLATFORM_PNP_H

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace plat {

// A resource list as the Plug and Play manager hands it to a start-device: a CM_RESOURCE_LIST
// with one full descriptor (PCI bus 0) whose partial list holds `descriptors` in order.
// Any descriptor contents are allowed, so that a test can build malformed layouts; an empty
// vector gives a list whose Count is 0. An absent list is a null ResourceList pointer.
struct ResourceList {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
    // Lays the list out in `storage` (resized as needed) and returns it; the pointer is valid
    // as long as `storage` is neither changed nor destroyed.
    PCM_RESOURCE_LIST Build(std::vector<unsigned char> &storage) const;
};

// Descriptor helpers for building lists (ShareDisposition and Flags as a PCI bus gives them).
CM_PARTIAL_RESOURCE_DESCRIPTOR PortDescriptor(std::uint64_t start, ULONG length, bool ioSpace = true);
CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryDescriptor(std::uint64_t start, ULONG length);
CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptDescriptor(ULONG level, ULONG vector, bool latched = false,
                                                   bool shared = true, KAFFINITY affinity = 1);

// ---- Bus driver stand-in ------------------------------------------------------------------
// PDOs of a simulated PCI bus, owned by one bus driver object ("\Driver\PciSim") that exists
// while any PDO does. The bus driver completes every PnP and power request sent to a PDO:
//  - with the status a test chose for that major/minor code (SetBusStatus), or by default
//    with STATUS_SUCCESS for the Plug and Play codes 0x00-0x17 (except 0x0E) and for
//    IRP_MN_SET_POWER / IRP_MN_QUERY_POWER, and with the request's status left as it is
//    (STATUS_NOT_SUPPORTED as preset, unless an upper driver changed it) for every other
//    code, as a real bus driver treats a code it does not handle;
//  - for query-capabilities with a success status it first fills the DEVICE_CAPABILITIES
//    record (everything but Size and Version, which stay as the sender set them) from the
//    PDO's capabilities (SetPdoCapabilities; defaults: D0 in S0, D3 in S1-S5);
//  - for power requests it calls PoStartNextPowerIrp before completing.
// `name` (may be null) becomes the PDO's device name \Device\NAME.
PDEVICE_OBJECT CreateBusPdo(const char *name, const ResourceList *raw, const ResourceList *translated);
// Deletes a PDO whose stack has been removed (no device attached any more); waits for the
// requests the bus still holds pended. A PDO with a device still attached is refused with a
// verifier report and left alone.
void DeleteBusPdo(PDEVICE_OBJECT pdo);
// Replaces the lists the next start-device carries (rebalance); null = absent.
void SetPdoResources(PDEVICE_OBJECT pdo, const ResourceList *raw, const ResourceList *translated);

inline constexpr NTSTATUS kBusLeavesStatus = static_cast<NTSTATUS>(0x7FFFFFFF);
// Status with which the bus completes a PnP (IRP_MJ_PNP) or power (IRP_MJ_POWER) request of
// the given minor code; kBusLeavesStatus completes it without touching IoStatus.Status.
void SetBusStatus(PDEVICE_OBJECT pdo, UCHAR majorFunction, UCHAR minorFunction, NTSTATUS status);
void ResetBusStatus(PDEVICE_OBJECT pdo);  // back to the defaults above
void SetPdoCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES &caps);
DEVICE_CAPABILITIES DefaultPdoCapabilities();

// How the bus completes requests of one major code:
//  - InDispatch: in its dispatch routine, at the IRQL it was called at (the default);
//  - AtDispatchLevel: in its dispatch routine, with the IRQL raised to DISPATCH_LEVEL around
//    IoCompleteRequest, so that completion routines and PoRequestPowerIrp completion
//    functions run at DISPATCH_LEVEL as they may on the real platform;
//  - Pended: marks the request pending, returns STATUS_PENDING and completes it later from
//    the bus's own thread at DISPATCH_LEVEL.
enum class BusCompletion { InDispatch, AtDispatchLevel, Pended };
void SetBusCompletion(PDEVICE_OBJECT pdo, UCHAR majorFunction, BusCompletion how);

// What reached the bus driver, in order: one record per PnP or power request.
struct BusRequest {
    UCHAR majorFunction;
    UCHAR minorFunction;
    POWER_STATE_TYPE powerType;  // power set/query requests only
    POWER_STATE powerState;      // power set/query requests only
    KIRQL irql;                  // IRQL at which the bus's dispatch routine was entered
    NTSTATUS completedWith;      // IoStatus.Status the bus completed the request with
};
std::vector<BusRequest> BusRequestLog(PDEVICE_OBJECT pdo);
void ClearBusRequestLog(PDEVICE_OBJECT pdo);
// Called by the bus's dispatch routine for each request before it completes it (in the
// dispatching thread, at its IRQL), so a test can look at the stack mid-flight. Empty = none.
using BusRequestHook = std::function<void(PDEVICE_OBJECT pdo, PIRP irp)>;
void SetBusRequestHook(PDEVICE_OBJECT pdo, BusRequestHook hook);
// What the bus does to the device behind a PDO when a device set-power reaches it and is
// about to succeed: a PCI bus moves the function to that power state (a simulated device
// stops answering in D1-D3). Called in the bus's dispatch routine, at its IRQL (up to
// DISPATCH_LEVEL), before the request completes. Empty = none.
using BusPowerHandler = std::function<void(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)>;
void SetBusPowerHandler(PDEVICE_OBJECT pdo, BusPowerHandler handler);

// ---- Driver loading ----------------------------------------------------------------------
// Creates the driver object (\Driver\NAME, its driver extension with ServiceKeyName, every
// MajorFunction entry at a routine that completes with STATUS_INVALID_DEVICE_REQUEST) and
// calls DriverEntry at PASSIVE_LEVEL with the registry path
// \Registry\Machine\System\CurrentControlSet\Services\NAME (not NUL-terminated, freed when
// DriverEntry returns, as the driver must copy what it keeps). On failure the driver object
// is checked by the unload verifier, freed, and *driver is set to null.
NTSTATUS LoadDriver(const char *serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT *driver);
// Calls DriverUnload at PASSIVE_LEVEL, then the verifier's unload checks (pool, devices,
// links, DPCs, work items left behind), then frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

// ---- Plug and Play requests, sent to the top of the PDO's stack -------------------------
// Calls the driver's AddDevice with the PDO. A device that AddDevice attached and left with
// DO_DEVICE_INITIALIZING set is reported to the verifier.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// IRP_MN_START_DEVICE with the PDO's raw and translated lists (each absent when not set) in
// Parameters.StartDevice; the lists are freed when the request completes.
NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo);
// Any minor code. Start-device and query-capabilities get their parameters as
// PnpStartDevice and PnpQueryCapabilities(Version 1) give them; other codes get none.
NTSTATUS PnpSend(PDEVICE_OBJECT pdo, UCHAR minorFunction);
// IRP_MN_QUERY_CAPABILITIES with a record prepared as the real PnP manager does (Size, the
// given Version, Address and UINumber 0xFFFFFFFF, the rest 0); *caps (may be null) receives
// the record as the request completed with it.
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, USHORT version, DEVICE_CAPABILITIES *caps);
// IRP_MN_REMOVE_DEVICE. Every driver above the PDO must have detached and deleted its device
// by the time the request completes; one still attached is reported to the verifier.
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo);
NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo);   // IRP_MN_SURPRISE_REMOVAL

// ---- Power requests -----------------------------------------------------------------------
// Sends a system set-power or query-power (Parameters.Power: Type SystemPowerState, the
// state, ShutdownType from it) to the top of the stack and waits until it and every power
// request the power manager still carries for that stack (PoRequestPowerIrp requests,
// deferred deliveries) have finished; other stacks' requests are not waited for. Returns
// the request's final status.
NTSTATUS PowerSendSystem(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state);
// The same for a device power request of any minor code (set, query, wait-wake, sequence).
NTSTATUS PowerSendDevice(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE state);
// Waits until no power request of the power manager is outstanding, on any stack.
void PowerWaitIdle();
// The next `count` calls of PoRequestPowerIrp fail with `status` without sending anything.
void FailPoRequestPowerIrp(NTSTATUS status, unsigned count = 1);
// The state last recorded for a device object by PoSetPowerState (Unspecified if none).
DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device);

// WDM version reported by IoIsWdmVersionAvailable (default 1.10, that is major 1, minor
// 0x10). From 1.10 on, PoCallDriver delivers a request to a DO_POWER_PAGABLE device called
// above PASSIVE_LEVEL from the power manager's worker thread at PASSIVE_LEVEL (returning
// STATUS_PENDING); below 1.10 it delivers it at once, and the verifier reports the pageable
// routine entered above PASSIVE_LEVEL.
void SetWdmVersion(UCHAR major, UCHAR minor);

// Returns the Plug and Play / power stand-in to its boot state; a hook of ResetMachine
// (registered by the first LoadDriver or SetWdmVersion), run before the I/O manager's own
// reset: waits for requests the bus holds pended and for the power manager's outstanding
// requests, forgets every PDO and loaded driver (their objects go with the I/O manager's
// reset), recorded power states and failure injection, and sets the WDM version back to 1.10.
void ResetPnpPower();

// ---- Internal to the Plug and Play / power stand-in (between its four files) -------------
namespace pnp_detail {
bool IsBusPdo(PDEVICE_OBJECT device);
// Machine reset: forget PDOs and loaded drivers (the I/O manager frees their objects).
void ResetBusDriver();
void ForgetLoadedDrivers();
// The lock that serialises the managers' requests to one PDO's stack.
void LockPdoRequests(PDEVICE_OBJECT pdo);
void UnlockPdoRequests(PDEVICE_OBJECT pdo);
// The PDO's lists as a start-device carries them; false when the list is absent.
bool BuildPdoResources(PDEVICE_OBJECT pdo, bool translated, std::vector<unsigned char> &storage);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// The bus PDO at the bottom of the stack a device belongs to (the device itself if none).
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
// The bus driver tells the power manager that a power request reached a PDO.
void NotePowerIrpAtBus(PDEVICE_OBJECT pdo, PIRP irp);
// The PnP manager tells the power manager that these device objects are gone.
void ForgetPowerRecords(PDEVICE_OBJECT device);
// Reports a verifier violation (rule, routine or object at fault, details).
void Report(const char *rule, const char *routine, const char *detail);
// "\Driver\NAME" of the driver that owns a device object, for reports.
const char *DriverNameOf(PDEVICE_OBJECT device, char *buffer, size_t size);
const char *NameOfDriver(PDRIVER_OBJECT driver, char *buffer, size_t size);
// What a manager waits on until a request it sent has completed: set by the request's
// completion routine in whatever thread and at whatever IRQL completes it. A request still
// outstanding after a minute of host time is reported once (a driver that lost it), and
// the wait goes on.
class CompletionWait {
public:
    void Signal();
    void Wait(const char *routine);

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool signalled_ = false;
};
}  // namespace pnp_detail

}  // namespace plat

#endif
