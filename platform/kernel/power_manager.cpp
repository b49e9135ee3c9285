// The power manager stand-in: PoCallDriver, PoStartNextPowerIrp, PoRequestPowerIrp,
// PoSetPowerState and IoIsWdmVersionAvailable, the test-facing ways to send system and
// device power requests and wait for the whole cascade they cause, and the verifier rule
// that every driver that received a power request calls PoStartNextPowerIrp for it.
//
// Power requests follow WDM: the bus driver completes them, completion routines run up the
// stack, and each driver starts the next request. A request to a DO_POWER_PAGABLE device
// that PoCallDriver is asked to deliver above PASSIVE_LEVEL is delivered from the power
// manager's worker thread at PASSIVE_LEVEL (from WDM 1.10 on), as the real power manager
// does for pageable drivers; PoCallDriver then returns STATUS_PENDING with the target's stack
// location marked pending. Unlike the real one, this power manager does not hold back a
// second request of the same kind for a device until PoStartNextPowerIrp; a missing call is
// reported when the request completes instead of stalling the next one.
#include <plat/kernel.h>
#include <plat/pnp.h>
#include <plat/verifier.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace plat {
namespace {

using pnp_detail::Report;

// What the power manager knows of one power request it allocated.
struct PowerIrpRecord {
    PDEVICE_OBJECT requestTarget = nullptr;        // PoRequestPowerIrp's DeviceObject
    UCHAR minor = 0;
    POWER_STATE state{};
    PREQUEST_POWER_COMPLETE completion = nullptr;  // PoRequestPowerIrp's function
    PVOID context = nullptr;
    PDRIVER_OBJECT requester = nullptr;            // driver that called PoRequestPowerIrp
    PDEVICE_OBJECT stack = nullptr;                // the PDO whose stack the request belongs to
    std::vector<PDEVICE_OBJECT> delivered;  // devices the request was delivered to
    std::vector<PDEVICE_OBJECT> started;    // devices that called PoStartNextPowerIrp for it
    PDEVICE_OBJECT lastPoCallTarget = nullptr;
};

// A request sent by PowerSendSystem/PowerSendDevice, waited for by the sender.
struct SentRequest {
    pnp_detail::CompletionWait done;
    NTSTATUS status = STATUS_PENDING;
};

struct PowerManager {
    std::mutex lock;  // guards everything below
    std::unordered_map<PIRP, PowerIrpRecord> records;
    std::map<PDEVICE_OBJECT, std::pair<SYSTEM_POWER_STATE, DEVICE_POWER_STATE>> recorded;
    // Requests allocated and not completed, plus worker items: in all, and per device stack
    // (keyed by the PDO) so that a sender waits for its own cascade only.
    unsigned outstanding = 0;
    std::map<PDEVICE_OBJECT, unsigned> perStack;
    std::condition_variable idle;
    NTSTATUS failStatus = STATUS_SUCCESS;
    unsigned failCount = 0;

    // The worker thread delivering requests at PASSIVE_LEVEL.
    struct WorkerItem {
        PDEVICE_OBJECT device;
        PIRP irp;
        PDEVICE_OBJECT stack;
    };
    std::deque<WorkerItem> queue;
    std::condition_variable queueReady;
    bool stop = false;
    std::thread worker;

    ~PowerManager() {
        {
            std::lock_guard<std::mutex> g(lock);
            stop = true;
        }
        queueReady.notify_all();
        if (worker.joinable()) worker.join();
    }
};

PowerManager &Pm() {
    // Never destroyed: the machine may still be shut down from unload code at process exit,
    // after static destructors have run (see kernel_internal.h).
    static PowerManager &pm = *new PowerManager;
    return pm;
}

// WDM version as (major << 8 | minor); 1.10 unless a test chose another.
std::atomic<unsigned> g_wdmVersion{(1u << 8) | 0x10u};

bool WdmAtLeast(unsigned major, unsigned minor) { return g_wdmVersion.load() >= ((major << 8) | minor); }

bool Contains(const std::vector<PDEVICE_OBJECT> &v, PDEVICE_OBJECT d) { return std::find(v.begin(), v.end(), d) != v.end(); }

// Counts one more piece of outstanding work (caller holds pm.lock).
void Begin(PowerManager &pm, PDEVICE_OBJECT stack) {
    ++pm.outstanding;
    if (stack != nullptr) ++pm.perStack[stack];
}

void Finished(PowerManager &pm, PDEVICE_OBJECT stack) {
    std::lock_guard<std::mutex> g(pm.lock);
    --pm.outstanding;
    if (stack != nullptr) {
        auto it = pm.perStack.find(stack);
        if (it != pm.perStack.end() && --it->second == 0) pm.perStack.erase(it);
    }
    pm.idle.notify_all();
}

// Waits until nothing is outstanding (stack null) or nothing for that stack.
void WaitIdle(PDEVICE_OBJECT stack) {
    PowerManager &pm = Pm();
    auto idle = [&] { return stack == nullptr ? pm.outstanding == 0 : pm.perStack.count(stack) == 0; };
    std::unique_lock<std::mutex> g(pm.lock);
    if (!pm.idle.wait_for(g, std::chrono::seconds(60), idle)) {
        g.unlock();
        Report("RequestNeverCompleted", "PowerWaitIdle", "a power request was not completed within 60 s");
        g.lock();
        pm.idle.wait(g, idle);
    }
}

// Worker thread body: delivers queued requests with IoCallDriver at PASSIVE_LEVEL, in order.
void WorkerMain() {
    PowerManager &pm = Pm();
    for (;;) {
        PowerManager::WorkerItem item;
        {
            std::unique_lock<std::mutex> g(pm.lock);
            pm.queueReady.wait(g, [&] { return pm.stop || !pm.queue.empty(); });
            if (pm.queue.empty()) return;
            item = pm.queue.front();
            pm.queue.pop_front();
        }
        IoCallDriver(item.device, item.irp);
        Finished(pm, item.stack);
    }
}

// Hands a request to the worker thread for delivery at PASSIVE_LEVEL.
void DeliverFromWorker(PDEVICE_OBJECT device, PIRP irp) {
    PowerManager &pm = Pm();
    {
        std::lock_guard<std::mutex> g(pm.lock);
        auto it = pm.records.find(irp);
        PDEVICE_OBJECT stack = it != pm.records.end() ? it->second.stack : nullptr;
        Begin(pm, stack);
        if (!pm.worker.joinable()) pm.worker = std::thread(WorkerMain);
        pm.queue.push_back({device, irp, stack});
    }
    pm.queueReady.notify_all();
}

// The verifier rule checked when a request of the power manager completes: every device it
// was delivered to must have called PoStartNextPowerIrp for it.
void CheckStartNext(const PowerIrpRecord &record) {
    for (PDEVICE_OBJECT d : record.delivered) {
        // The I/O manager's default routine refuses the request on the driver's behalf; the
        // power manager takes that as the end of the request for that device.
        if (d->DriverObject->MajorFunction[IRP_MJ_POWER] == IopInvalidDeviceRequest) continue;
        if (!Contains(record.started, d)) {
            char name[128];
            Report("PowerIrpWithoutStartNextPowerIrp", pnp_detail::DriverNameOf(d, name, sizeof name),
                   "a driver finished with a power request without calling PoStartNextPowerIrp for it");
        }
    }
}

// Removes and returns the record of a completing request.
PowerIrpRecord TakeRecord(PIRP irp) {
    PowerManager &pm = Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    auto it = pm.records.find(irp);
    if (it == pm.records.end()) return {};
    PowerIrpRecord record = std::move(it->second);
    pm.records.erase(it);
    return record;
}

// Allocates a power request for the top of `target`'s stack, with IoStatus preset to
// STATUS_NOT_SUPPORTED and the next stack location filled in; records and counts it.
PIRP AllocatePowerIrp(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                      PowerIrpRecord record) {
    PDEVICE_OBJECT top = pnp_detail::TopOfStack(target);
    PIRP irp;
    {
        DriverScope system(nullptr);  // the power manager's own request, charged to no driver
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    if (irp == nullptr) return nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        sp->Parameters.Power.SystemContext = 0;
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        POWER_ACTION action = PowerActionNone;
        if (type == SystemPowerState) {
            if (state.SystemState >= PowerSystemSleeping1 && state.SystemState <= PowerSystemSleeping3) {
                action = PowerActionSleep;
            } else if (state.SystemState == PowerSystemHibernate) {
                action = PowerActionHibernate;
            } else if (state.SystemState == PowerSystemShutdown) {
                action = PowerActionShutdown;
            }
        }
        sp->Parameters.Power.ShutdownType = action;
    }
    record.stack = pnp_detail::BottomOfStack(target);
    PowerManager &pm = Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    Begin(pm, record.stack);
    pm.records[irp] = std::move(record);
    return irp;
}

// Completion routine of a request PoRequestPowerIrp allocated: calls the requester's
// completion function with the request's final status, then frees the request. Runs at
// the IRQL of whoever completed it (up to DISPATCH_LEVEL).
NTSTATUS NTAPI OnRequestedPowerIrpComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
    PowerIrpRecord record = TakeRecord(irp);
    CheckStartNext(record);
    if (record.completion != nullptr) {
        DriverScope scope(record.requester);
        record.completion(record.requestTarget, record.minor, record.state, record.context, &irp->IoStatus);
    }
    IoFreeIrp(irp);
    Finished(Pm(), record.stack);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Completion routine of a request PowerSendSystem/PowerSendDevice sent.
NTSTATUS NTAPI OnSentPowerIrpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *sent = static_cast<SentRequest *>(context);
    PowerIrpRecord record = TakeRecord(irp);
    CheckStartNext(record);
    sent->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    Finished(Pm(), record.stack);
    sent->done.Signal();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, const char *routine) {
    if (!pnp_detail::IsBusPdo(pdo)) {
        Report("BusPdoExpected", routine, "power requests go to a PDO of the simulated bus");
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Report("PnpCallerIrql", routine, "the power manager sends requests at PASSIVE_LEVEL");
        return STATUS_INVALID_PARAMETER;
    }
    pnp_detail::LockPdoRequests(pdo);
    SentRequest sent;
    PIRP irp = AllocatePowerIrp(pdo, minor, type, state, PowerIrpRecord{});
    if (irp == nullptr) {
        pnp_detail::UnlockPdoRequests(pdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(irp, OnSentPowerIrpComplete, &sent, TRUE, TRUE, TRUE);
    PoCallDriver(pnp_detail::TopOfStack(pdo), irp);
    sent.done.Wait(routine);
    WaitIdle(pdo);  // the device requests it caused, and their deferred deliveries
    pnp_detail::UnlockPdoRequests(pdo);
    return sent.status;
}

}  // namespace

void PowerWaitIdle() { WaitIdle(nullptr); }

NTSTATUS PowerSendSystem(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return SendAndWait(pdo, minorFunction, SystemPowerState, s, "PowerSendSystem");
}

NTSTATUS PowerSendDevice(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return SendAndWait(pdo, minorFunction, DevicePowerState, s, "PowerSendDevice");
}

void FailPoRequestPowerIrp(NTSTATUS status, unsigned count) {
    PowerManager &pm = Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    pm.failStatus = status;
    pm.failCount = count;
}

DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device) {
    PowerManager &pm = Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    auto it = pm.recorded.find(device);
    return it == pm.recorded.end() ? PowerDeviceUnspecified : it->second.second;
}

SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device) {
    PowerManager &pm = Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    auto it = pm.recorded.find(device);
    return it == pm.recorded.end() ? PowerSystemUnspecified : it->second.first;
}

void ResetPnpPower() {
    PowerWaitIdle();
    pnp_detail::ResetBusDriver();
    pnp_detail::ForgetLoadedDrivers();
    PowerManager &pm = Pm();
    {
        std::lock_guard<std::mutex> g(pm.lock);
        pm.records.clear();
        pm.recorded.clear();
        pm.failCount = 0;
        pm.failStatus = STATUS_SUCCESS;
    }
    SetWdmVersion(1, 0x10);
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
    AddResetHook(ResetPnpPower);  // the reset sets the version back
    g_wdmVersion.store((unsigned{major} << 8) | minor);
}

namespace pnp_detail {

void NotePowerIrpAtBus(PDEVICE_OBJECT pdo, PIRP irp) {
    PowerManager &pm = Pm();
    bool bypassed = false;
    {
        std::lock_guard<std::mutex> g(pm.lock);
        auto it = pm.records.find(irp);
        if (it == pm.records.end()) return;
        PowerIrpRecord &record = it->second;
        if (record.lastPoCallTarget != pdo) {
            bypassed = true;
            record.delivered.push_back(pdo);
        }
    }
    // Before Windows Vista (WDM 6.0) a power request must travel with PoCallDriver, which is
    // what lets the power manager pace power requests; IoCallDriver bypasses it.
    if (bypassed && !WdmAtLeast(6, 0)) {
        char name[128];
        PDEVICE_OBJECT culprit = pdo->AttachedDevice != nullptr ? pdo->AttachedDevice : pdo;
        Report("PowerIrpPassedWithIoCallDriver", DriverNameOf(culprit, name, sizeof name),
               "a power request reached the bus driver through IoCallDriver instead of PoCallDriver");
    }
}

void ForgetPowerRecords(PDEVICE_OBJECT device) {
    PowerManager &pm = Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    pm.recorded.erase(device);
}

}  // namespace pnp_detail
}  // namespace plat

using plat::pnp_detail::Report;

// Delivers a power request to a driver. Callable at IRQL <= DISPATCH_LEVEL.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        Report(plat::rule::CallDriverAboveDispatch, "PoCallDriver", "PoCallDriver called above DISPATCH_LEVEL");
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER) {
        Report("PoCallDriverNotPower", "PoCallDriver", "PoCallDriver was given a request that is not IRP_MJ_POWER");
        return IoCallDriver(DeviceObject, Irp);
    }
    plat::PowerManager &pm = plat::Pm();
    {
        std::lock_guard<std::mutex> g(pm.lock);
        auto it = pm.records.find(Irp);
        if (it != pm.records.end()) {
            it->second.lastPoCallTarget = DeviceObject;
            if (!plat::Contains(it->second.delivered, DeviceObject)) it->second.delivered.push_back(DeviceObject);
        }
    }
    if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0 && irql > PASSIVE_LEVEL) {
        if (plat::WdmAtLeast(1, 0x10)) {
            // To the caller this looks as if the target had pended the request: its stack
            // location is marked, so PendingReturned reaches the completion routines above.
            next->Control |= SL_PENDING_RETURNED;
            plat::DeliverFromWorker(DeviceObject, Irp);
            return STATUS_PENDING;
        }
        char name[128];
        Report("PagablePowerDispatchAbovePassive", plat::pnp_detail::DriverNameOf(DeviceObject, name, sizeof name),
               "a power request was passed to a DO_POWER_PAGABLE device above PASSIVE_LEVEL on a platform "
               "older than WDM 1.10, which delivers it at once");
    }
    return IoCallDriver(DeviceObject, Irp);
}

// Records that the driver whose stack location is current is ready for its next power
// request. Callable at IRQL <= DISPATCH_LEVEL, from dispatch or completion routines.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        Report("PoStartNextPowerIrpIrql", "PoStartNextPowerIrp", "called above DISPATCH_LEVEL");
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Report("PoStartNextPowerIrpMisuse", "PoStartNextPowerIrp", "called for a request no driver holds");
        return;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->MajorFunction != IRP_MJ_POWER) {
        Report("PoStartNextPowerIrpMisuse", "PoStartNextPowerIrp", "called for a request that is not IRP_MJ_POWER");
        return;
    }
    PDEVICE_OBJECT device = sp->DeviceObject;
    bool twice = false;
    {
        plat::PowerManager &pm = plat::Pm();
        std::lock_guard<std::mutex> g(pm.lock);
        auto it = pm.records.find(Irp);
        if (it == pm.records.end()) return;
        if (plat::Contains(it->second.started, device)) {
            twice = true;
        } else {
            it->second.started.push_back(device);
        }
    }
    if (twice) {
        char name[128];
        Report("PoStartNextPowerIrpTwice", plat::pnp_detail::DriverNameOf(device, name, sizeof name),
               "a driver called PoStartNextPowerIrp twice for the same power request");
    }
}

// Allocates a power request, sends it to the top of the stack DeviceObject belongs to and,
// when it has completed, calls CompletionFunction. Returns STATUS_PENDING once the request
// is on its way (the completion function may already have run when the call returns).
// Callable at IRQL <= DISPATCH_LEVEL; above PASSIVE_LEVEL the request is sent from the
// power manager's worker thread.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        Report("PoRequestPowerIrpIrql", "PoRequestPowerIrp", "called above DISPATCH_LEVEL");
    }
    if (Irp != nullptr) *Irp = nullptr;
    plat::PowerManager &pm = plat::Pm();
    {
        std::lock_guard<std::mutex> g(pm.lock);
        if (pm.failCount > 0) {
            --pm.failCount;
            return pm.failStatus;
        }
    }
    if (DeviceObject == nullptr) return STATUS_INVALID_PARAMETER_1;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    plat::PowerIrpRecord record;
    record.requestTarget = DeviceObject;
    record.minor = MinorFunction;
    record.state = PowerState;
    record.completion = CompletionFunction;
    record.context = Context;
    record.requester = plat::CurrentDriver();
    PIRP irp = plat::AllocatePowerIrp(DeviceObject, MinorFunction, DevicePowerState, PowerState, std::move(record));
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoSetCompletionRoutine(irp, plat::OnRequestedPowerIrpComplete, nullptr, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    PDEVICE_OBJECT top = plat::pnp_detail::TopOfStack(DeviceObject);
    if (irql == PASSIVE_LEVEL) {
        PoCallDriver(top, irp);
    } else {
        {
            std::lock_guard<std::mutex> g(pm.lock);
            auto it = pm.records.find(irp);
            if (it != pm.records.end()) {
                it->second.lastPoCallTarget = top;
                it->second.delivered.push_back(top);
            }
        }
        plat::DeliverFromWorker(top, irp);
    }
    return STATUS_PENDING;
}

// Records the power state a driver reports for its device; returns the previous one.
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    plat::PowerManager &pm = plat::Pm();
    std::lock_guard<std::mutex> g(pm.lock);
    auto &entry = pm.recorded.try_emplace(DeviceObject, PowerSystemUnspecified, PowerDeviceUnspecified).first->second;
    POWER_STATE previous;
    if (Type == SystemPowerState) {
        previous.SystemState = entry.first;
        entry.first = State.SystemState;
    } else {
        previous.DeviceState = entry.second;
        entry.second = State.DeviceState;
    }
    return previous;
}

// Answers whether the platform offers at least the given WDM version (SetWdmVersion).
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    return plat::WdmAtLeast(MajorVersion, MinorVersion) ? TRUE : FALSE;
}
