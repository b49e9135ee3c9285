// The bus driver stand-in: PDOs of a simulated PCI bus and the bus driver that completes
// the Plug and Play and power requests that reach them. It holds, per PDO, the resource
// lists the next start-device carries, the capabilities it reports, the status it completes
// each request with, and how it completes them (in its dispatch routine, raised to
// DISPATCH_LEVEL, or pended and completed from its own thread). It does not enumerate: a
// test or the machine module creates and deletes PDOs explicitly.
#include <plat/kernel.h>
#include <plat/pnp.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

namespace plat {
namespace {

constexpr ULONG kPdoMagic = 0x4F445042;  // 'BPDO'

// Everything the bus keeps for one PDO; lives in the PDO's device extension.
struct PdoData {
    ULONG magic = kPdoMagic;
    std::mutex requestLock;  // serialises the managers' requests to this stack

    std::mutex lock;  // guards everything below
    bool hasRaw = false;
    bool hasTranslated = false;
    ResourceList raw;
    ResourceList translated;
    std::map<unsigned, NTSTATUS> statuses;  // (major << 8 | minor) -> chosen status
    DEVICE_CAPABILITIES caps{};
    BusCompletion pnpHow = BusCompletion::InDispatch;
    BusCompletion powerHow = BusCompletion::InDispatch;
    std::vector<BusRequest> log;
    BusRequestHook hook;
    BusPowerHandler powerHandler;
    unsigned pended = 0;  // requests handed to the completion thread, not yet completed
    std::condition_variable pendedDone;
};

// The bus driver object and its completion thread (for Pended completions).
struct BusDriver {
    std::mutex lock;
    std::atomic<PDRIVER_OBJECT> driver{nullptr};  // loaded with the first PDO, kept for good
    std::vector<PDEVICE_OBJECT> pdos;  // live PDOs
    unsigned nextPdoNumber = 0;

    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<std::pair<PDEVICE_OBJECT, PIRP>> queue;
    bool stop = false;
    std::thread completer;

    ~BusDriver() { StopCompleter(); }

    void StopCompleter() {
        {
            std::lock_guard<std::mutex> g(queueLock);
            stop = true;
        }
        queueReady.notify_all();
        if (completer.joinable()) completer.join();
        std::lock_guard<std::mutex> g(queueLock);
        stop = false;
    }
};

BusDriver &Bus() {
    // Never destroyed: the machine may still be shut down from unload code at process exit,
    // after static destructors have run (see kernel_internal.h).
    static BusDriver &bus = *new BusDriver;
    return bus;
}

PdoData *DataOf(PDEVICE_OBJECT pdo) {
    if (pdo == nullptr || pdo->DeviceExtension == nullptr) return nullptr;
    BusDriver &bus = Bus();
    PDRIVER_OBJECT driver = bus.driver.load();
    if (driver == nullptr || pdo->DriverObject != driver) return nullptr;
    auto *data = static_cast<PdoData *>(pdo->DeviceExtension);
    return data->magic == kPdoMagic ? data : nullptr;
}

// Looks the PDO's data up for a test-facing setter; reports a device that is not a PDO of
// this bus rather than writing into someone else's extension.
PdoData *RequireData(PDEVICE_OBJECT pdo, const char *routine) {
    PdoData *data = DataOf(pdo);
    if (data == nullptr) pnp_detail::Report("BusPdoExpected", routine, "the device object is not a PDO of the simulated bus");
    return data;
}

// Default status for a request the test has not chosen one for: success for what a PCI bus
// driver handles, the request's status left alone for the rest.
NTSTATUS DefaultStatus(UCHAR major, UCHAR minor) {
    if (major == IRP_MJ_PNP) {
        if (minor <= IRP_MN_SURPRISE_REMOVAL && minor != 0x0E) return STATUS_SUCCESS;
        return kBusLeavesStatus;
    }
    if (major == IRP_MJ_POWER) {
        if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) return STATUS_SUCCESS;
    }
    return kBusLeavesStatus;
}

// Completion thread body: completes pended requests in order at DISPATCH_LEVEL, as a bus
// driver's DPC would.
void CompleterMain() {
    BusDriver &bus = Bus();
    for (;;) {
        std::pair<PDEVICE_OBJECT, PIRP> item;
        {
            std::unique_lock<std::mutex> g(bus.queueLock);
            bus.queueReady.wait(g, [&] { return bus.stop || !bus.queue.empty(); });
            if (bus.queue.empty()) return;  // stop requested and nothing left
            item = bus.queue.front();
            bus.queue.pop_front();
        }
        PdoData *data = static_cast<PdoData *>(item.first->DeviceExtension);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(item.second, IO_NO_INCREMENT);
        KeLowerIrql(old);
        std::lock_guard<std::mutex> g(data->lock);
        --data->pended;
        data->pendedDone.notify_all();
    }
}

// Completes a request as the PDO is set to; returns what the dispatch routine returns.
// The request is not touched after it has been handed on.
NTSTATUS CompleteAs(PDEVICE_OBJECT pdo, PdoData *data, PIRP irp, BusCompletion how) {
    NTSTATUS status = irp->IoStatus.Status;
    switch (how) {
    case BusCompletion::InDispatch:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    case BusCompletion::AtDispatchLevel: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
        return status;
    }
    case BusCompletion::Pended:
        break;
    }
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> g(data->lock);
        ++data->pended;
    }
    BusDriver &bus = Bus();
    {
        std::lock_guard<std::mutex> g(bus.queueLock);
        if (!bus.completer.joinable()) bus.completer = std::thread(CompleterMain);
        bus.queue.emplace_back(pdo, irp);
    }
    bus.queueReady.notify_all();
    return STATUS_PENDING;
}

// Fills a query-capabilities record from the PDO's capabilities, keeping the sender's
// Size and Version and never writing past the Size it declared.
void FillCapabilities(PdoData *data, PIO_STACK_LOCATION sp) {
    PDEVICE_CAPABILITIES out = sp->Parameters.DeviceCapabilities.Capabilities;
    if (out == nullptr) return;
    const USHORT size = out->Size;
    const USHORT version = out->Version;
    DEVICE_CAPABILITIES caps;
    {
        std::lock_guard<std::mutex> g(data->lock);
        caps = data->caps;
    }
    const size_t header = offsetof(DEVICE_CAPABILITIES, Version) + sizeof(USHORT);
    size_t length = size < sizeof(DEVICE_CAPABILITIES) ? size : sizeof(DEVICE_CAPABILITIES);
    if (length > header) {
        std::memcpy(reinterpret_cast<unsigned char *>(out) + header,
                    reinterpret_cast<const unsigned char *>(&caps) + header, length - header);
    }
    out->Size = size;
    out->Version = version;
}

// The bus driver's IRP_MJ_PNP and IRP_MJ_POWER routine. Runs at the IRQL it is called at
// (PASSIVE_LEVEL for PnP; up to DISPATCH_LEVEL for power) and completes every request.
NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = sp->MajorFunction;
    const UCHAR minor = sp->MinorFunction;
    PdoData *data = DataOf(pdo);
    if (data == nullptr) {
        // A device of the bus driver that is not a PDO cannot exist; complete defensively.
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (major == IRP_MJ_POWER) pnp_detail::NotePowerIrpAtBus(pdo, irp);

    BusRequest entry{};
    entry.majorFunction = major;
    entry.minorFunction = minor;
    entry.irql = KeGetCurrentIrql();
    if (major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)) {
        entry.powerType = sp->Parameters.Power.Type;
        entry.powerState = sp->Parameters.Power.State;
    }

    NTSTATUS chosen;
    BusCompletion how;
    BusRequestHook hook;
    BusPowerHandler powerHandler;
    {
        std::lock_guard<std::mutex> g(data->lock);
        auto it = data->statuses.find(static_cast<unsigned>(major) << 8 | minor);
        chosen = it != data->statuses.end() ? it->second : DefaultStatus(major, minor);
        how = major == IRP_MJ_POWER ? data->powerHow : data->pnpHow;
        hook = data->hook;
        powerHandler = data->powerHandler;
    }
    if (hook) hook(pdo, irp);
    // A device set-power that succeeds moves the device to its state.
    if (powerHandler && major == IRP_MJ_POWER && minor == IRP_MN_SET_POWER &&
        sp->Parameters.Power.Type == DevicePowerState &&
        NT_SUCCESS(chosen != kBusLeavesStatus ? chosen : irp->IoStatus.Status)) {
        powerHandler(pdo, sp->Parameters.Power.State.DeviceState);
    }

    if (major == IRP_MJ_PNP && minor == IRP_MN_QUERY_CAPABILITIES && chosen != kBusLeavesStatus &&
        NT_SUCCESS(chosen)) {
        FillCapabilities(data, sp);
    }
    if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (chosen != kBusLeavesStatus) irp->IoStatus.Status = chosen;
    entry.completedWith = irp->IoStatus.Status;
    {
        std::lock_guard<std::mutex> g(data->lock);
        data->log.push_back(entry);
    }
    return CompleteAs(pdo, data, irp, how);
}

// The bus driver's unload routine: nothing of its own is left by the time it runs.
VOID NTAPI BusDriverUnload(PDRIVER_OBJECT) {}

// The bus driver's load entry: it serves PnP and power requests; everything else stays at
// the default routine (a PCI PDO without a function driver is not a raw device).
NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = BusDispatch;
    driver->DriverUnload = BusDriverUnload;
    return STATUS_SUCCESS;
}

// Unloads the bus driver once its last PDO is gone (its completion thread is already
// stopped by then); loaded again with the next PDO.
void UnloadBusDriver(BusDriver &bus) {
    PDRIVER_OBJECT driver = bus.driver.exchange(nullptr);
    if (driver != nullptr) UnloadDriver(driver);
}

void WaitForPended(PdoData *data) {
    std::unique_lock<std::mutex> g(data->lock);
    data->pendedDone.wait(g, [&] { return data->pended == 0; });
}

void CopyList(const ResourceList *from, bool &has, ResourceList &to) {
    has = from != nullptr;
    to.descriptors = from != nullptr ? from->descriptors : std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{};
}

}  // namespace

PCM_RESOURCE_LIST ResourceList::Build(std::vector<unsigned char> &storage) const {
    // One full descriptor whose partial list ends in a variable-length descriptor array.
    const size_t fixed = offsetof(CM_RESOURCE_LIST, List) + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                         offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);
    const size_t count = descriptors.size();
    storage.assign(fixed + (count == 0 ? 1 : count) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), 0);
    auto *list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
    list->Count = 1;
    CM_FULL_RESOURCE_DESCRIPTOR &full = list->List[0];
    full.InterfaceType = PCIBus;
    full.BusNumber = 0;
    full.PartialResourceList.Version = 1;
    full.PartialResourceList.Revision = 1;
    full.PartialResourceList.Count = static_cast<ULONG>(count);
    for (size_t i = 0; i < count; ++i) full.PartialResourceList.PartialDescriptors[i] = descriptors[i];
    return list;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR PortDescriptor(std::uint64_t start, ULONG length, bool ioSpace) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = ioSpace ? CM_RESOURCE_PORT_IO : CM_RESOURCE_PORT_MEMORY;
    d.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Port.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryDescriptor(std::uint64_t start, ULONG length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Memory.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptDescriptor(ULONG level, ULONG vector, bool latched, bool shared,
                                                   KAFFINITY affinity) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    d.Flags = latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = affinity;
    return d;
}

DEVICE_CAPABILITIES DefaultPdoCapabilities() {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0;
    caps.UINumber = 0;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps.DeviceState[s] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
    return caps;
}

PDEVICE_OBJECT CreateBusPdo(const char *name, const ResourceList *raw, const ResourceList *translated) {
    BusDriver &bus = Bus();
    std::lock_guard<std::mutex> g(bus.lock);
    if (bus.driver.load() == nullptr) {
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = LoadDriver("PciSim", BusDriverEntry, &driver);
        if (!NT_SUCCESS(status)) return nullptr;
        bus.driver.store(driver);
    }
    std::wstring wname;
    UNICODE_STRING uname{};
    if (name != nullptr) {
        wname = L"\\Device\\";
        for (const char *c = name; *c != '\0'; ++c) wname.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*c)));
        uname.Buffer = wname.data();
        uname.Length = static_cast<USHORT>(wname.size() * sizeof(WCHAR));
        uname.MaximumLength = uname.Length;
    }
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status;
    {
        DriverScope scope(bus.driver.load());
        status = IoCreateDevice(bus.driver.load(), sizeof(PdoData), name != nullptr ? &uname : nullptr,
                                FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    }
    if (!NT_SUCCESS(status)) {
        if (bus.pdos.empty()) UnloadBusDriver(bus);
        return nullptr;
    }
    auto *data = new (pdo->DeviceExtension) PdoData();
    data->caps = DefaultPdoCapabilities();
    data->caps.UINumber = bus.nextPdoNumber;
    data->caps.Address = bus.nextPdoNumber << 16;  // device number << 16 | function 0
    ++bus.nextPdoNumber;
    CopyList(raw, data->hasRaw, data->raw);
    CopyList(translated, data->hasTranslated, data->translated);
    // Not DO_POWER_PAGABLE: the bus takes power requests at any IRQL up to DISPATCH_LEVEL,
    // so drivers above may be pageable or not.
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    bus.pdos.push_back(pdo);
    return pdo;
}

void DeleteBusPdo(PDEVICE_OBJECT pdo) {
    PdoData *data = RequireData(pdo, "DeleteBusPdo");
    if (data == nullptr) return;
    if (pdo->AttachedDevice != nullptr) {
        pnp_detail::Report("BusPdoDeletedWithStack", "DeleteBusPdo",
                           "a device is still attached above the PDO (the stack was not removed)");
        return;
    }
    WaitForPended(data);
    pnp_detail::ForgetPowerRecords(pdo);
    data->magic = 0;
    data->~PdoData();
    BusDriver &bus = Bus();
    std::lock_guard<std::mutex> g(bus.lock);
    {
        DriverScope scope(bus.driver.load());
        IoDeleteDevice(pdo);
    }
    bus.pdos.erase(std::find(bus.pdos.begin(), bus.pdos.end(), pdo));
    if (bus.pdos.empty()) {
        bus.StopCompleter();  // no PDO left to complete for; restarted on demand
        UnloadBusDriver(bus);
    }
}

void SetPdoResources(PDEVICE_OBJECT pdo, const ResourceList *raw, const ResourceList *translated) {
    PdoData *data = RequireData(pdo, "SetPdoResources");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    CopyList(raw, data->hasRaw, data->raw);
    CopyList(translated, data->hasTranslated, data->translated);
}

void SetBusStatus(PDEVICE_OBJECT pdo, UCHAR majorFunction, UCHAR minorFunction, NTSTATUS status) {
    PdoData *data = RequireData(pdo, "SetBusStatus");
    if (data == nullptr) return;
    if (majorFunction != IRP_MJ_PNP && majorFunction != IRP_MJ_POWER) {
        pnp_detail::Report("BusStatusMajorCode", "SetBusStatus", "the bus completes only IRP_MJ_PNP and IRP_MJ_POWER");
        return;
    }
    std::lock_guard<std::mutex> g(data->lock);
    data->statuses[static_cast<unsigned>(majorFunction) << 8 | minorFunction] = status;
}

void ResetBusStatus(PDEVICE_OBJECT pdo) {
    PdoData *data = RequireData(pdo, "ResetBusStatus");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    data->statuses.clear();
}

void SetPdoCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES &caps) {
    PdoData *data = RequireData(pdo, "SetPdoCapabilities");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    data->caps = caps;
}

void SetBusCompletion(PDEVICE_OBJECT pdo, UCHAR majorFunction, BusCompletion how) {
    PdoData *data = RequireData(pdo, "SetBusCompletion");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    if (majorFunction == IRP_MJ_PNP) {
        data->pnpHow = how;
    } else if (majorFunction == IRP_MJ_POWER) {
        data->powerHow = how;
    } else {
        pnp_detail::Report("BusStatusMajorCode", "SetBusCompletion", "the bus completes only IRP_MJ_PNP and IRP_MJ_POWER");
    }
}

std::vector<BusRequest> BusRequestLog(PDEVICE_OBJECT pdo) {
    PdoData *data = RequireData(pdo, "BusRequestLog");
    if (data == nullptr) return {};
    std::lock_guard<std::mutex> g(data->lock);
    return data->log;
}

void ClearBusRequestLog(PDEVICE_OBJECT pdo) {
    PdoData *data = RequireData(pdo, "ClearBusRequestLog");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    data->log.clear();
}

void SetBusRequestHook(PDEVICE_OBJECT pdo, BusRequestHook hook) {
    PdoData *data = RequireData(pdo, "SetBusRequestHook");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    data->hook = std::move(hook);
}

void SetBusPowerHandler(PDEVICE_OBJECT pdo, BusPowerHandler handler) {
    PdoData *data = RequireData(pdo, "SetBusPowerHandler");
    if (data == nullptr) return;
    std::lock_guard<std::mutex> g(data->lock);
    data->powerHandler = std::move(handler);
}

namespace pnp_detail {

void ResetBusDriver() {
    BusDriver &bus = Bus();
    std::vector<PDEVICE_OBJECT> pdos;
    {
        std::lock_guard<std::mutex> g(bus.lock);
        pdos.swap(bus.pdos);
    }
    for (PDEVICE_OBJECT pdo : pdos) {
        PdoData *data = static_cast<PdoData *>(pdo->DeviceExtension);
        WaitForPended(data);
        data->magic = 0;
        data->~PdoData();  // the device objects themselves go with the I/O manager's reset
    }
    bus.StopCompleter();
    bus.driver.store(nullptr);  // so does the driver object
}

bool IsBusPdo(PDEVICE_OBJECT device) { return DataOf(device) != nullptr; }

void LockPdoRequests(PDEVICE_OBJECT pdo) { static_cast<PdoData *>(pdo->DeviceExtension)->requestLock.lock(); }

void UnlockPdoRequests(PDEVICE_OBJECT pdo) { static_cast<PdoData *>(pdo->DeviceExtension)->requestLock.unlock(); }

bool BuildPdoResources(PDEVICE_OBJECT pdo, bool translated, std::vector<unsigned char> &storage) {
    PdoData *data = DataOf(pdo);
    if (data == nullptr) return false;
    std::lock_guard<std::mutex> g(data->lock);
    if (translated ? !data->hasTranslated : !data->hasRaw) return false;
    (translated ? data->translated : data->raw).Build(storage);
    return true;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
    BusDriver &bus = Bus();
    std::lock_guard<std::mutex> g(bus.lock);
    // Drivers pass their PDO; only a device above one needs a walk up the stacks.
    if (std::find(bus.pdos.begin(), bus.pdos.end(), device) != bus.pdos.end()) return device;
    for (PDEVICE_OBJECT pdo : bus.pdos) {
        for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
            if (d == device) return pdo;
        }
    }
    return device;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) { return IoGetAttachedDevice(device); }

}  // namespace pnp_detail
}  // namespace plat
