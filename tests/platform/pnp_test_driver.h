// A small test-only WDM function driver ("\Driver\PnpTest") for the Plug and Play and power
// stand-in's tests. It is written as a real function driver would be (send-and-wait with a
// completion routine returning STATUS_MORE_PROCESSING_REQUIRED, skip-and-pass-down, a power
// policy owner that turns each system power request into a device power request with
// PoRequestPowerIrp), records what reached it, and can be told to misbehave in the ways the
// verifier must catch. It is not the card's driver.
#ifndef TQ_TESTS_PNP_TEST_DRIVER_H
#define TQ_TESTS_PNP_TEST_DRIVER_H

#include <gtest/gtest.h>
#include <plat/kernel.h>
#include <plat/pnp.h>
#include <plat/verifier.h>
#include <wdm.h>

#include <mutex>
#include <string>
#include <vector>

namespace pnptest {

// How the driver behaves; a fixture resets it before loading the driver.
struct Config {
    NTSTATUS entryStatus = STATUS_SUCCESS;  // DriverEntry's result
    bool leakInEntryFailure = false;        // allocate pool and fail DriverEntry without freeing it
    bool freeInUnload = true;               // DriverUnload frees the block DriverEntry allocated
    bool registerUnload = true;
    bool registerPnp = true;
    bool clearInitializing = true;          // AddDevice clears DO_DEVICE_INITIALIZING
    bool detachOnRemove = true;             // removal detaches and deletes the device
    bool pageable = true;                   // DO_POWER_PAGABLE on the device
    NTSTATUS startResult = STATUS_SUCCESS;  // start outcome after the lower drivers succeeded
    bool skipStartNextOnDeviceIrp = false;  // forget PoStartNextPowerIrp on device power requests
    bool passPowerWithIoCallDriver = false; // forward device power requests with IoCallDriver
};

// What the driver saw.
struct Seen {
    std::wstring registryPath;
    USHORT registryPathMaximumLength = 0;
    bool registryPathTerminated = false;  // a NUL found right after Length (it must not be relied on)
    std::vector<UCHAR> pnpMinors;
    std::vector<NTSTATUS> pnpStatusOnArrival;
    std::vector<CCHAR> pnpStackCounts;
    bool hadRaw = false;
    bool hadTranslated = false;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
    NTSTATUS startLowerStatus = STATUS_PENDING;
    bool capsCopied = false;
    DEVICE_CAPABILITIES caps{};
    std::vector<std::string> powerEvents;  // ordered: what arrived, what completed
    std::vector<KIRQL> powerDispatchIrqls;
    KIRQL completionFunctionIrql = PASSIVE_LEVEL;
    PDEVICE_OBJECT completionFunctionDevice = nullptr;
    UCHAR completionFunctionMinor = 0xFF;
    POWER_STATE completionFunctionState{};
    NTSTATUS completionFunctionStatus = STATUS_PENDING;
    NTSTATUS poRequestStatus = STATUS_PENDING;
    int unloadCalls = 0;
};

inline constexpr ULONG kTestTag = 0x74736554;  // pool tag "Test" as it reads in memory

inline Config config;
inline Seen seen;
inline std::mutex seenLock;  // power routines may run in the power manager's worker thread
inline PVOID entryBlock = nullptr;

struct Extension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
};

inline Extension *Ext(PDEVICE_OBJECT fdo) { return static_cast<Extension *>(fdo->DeviceExtension); }

inline void Note(const std::string &event) {
    std::lock_guard<std::mutex> g(seenLock);
    seen.powerEvents.push_back(event);
}

inline std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Descriptors(PCM_RESOURCE_LIST list) {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> out;
    const CM_PARTIAL_RESOURCE_LIST &partial = list->List[0].PartialResourceList;
    for (ULONG i = 0; i < partial.Count; ++i) out.push_back(partial.PartialDescriptors[i]);
    return out;
}

// Completion routine of SendDownAndWait: wake the waiter, keep the request.
inline NTSTATUS NTAPI OnLowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS SendDownAndWait(PDEVICE_OBJECT fdo, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext(fdo)->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard<std::mutex> g(seenLock);
        seen.pnpMinors.push_back(sp->MinorFunction);
        seen.pnpStatusOnArrival.push_back(irp->IoStatus.Status);
        seen.pnpStackCounts.push_back(irp->StackCount);
    }
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        PCM_RESOURCE_LIST raw = sp->Parameters.StartDevice.AllocatedResources;
        PCM_RESOURCE_LIST translated = sp->Parameters.StartDevice.AllocatedResourcesTranslated;
        NTSTATUS status = SendDownAndWait(fdo, irp);
        std::lock_guard<std::mutex> g(seenLock);
        seen.startLowerStatus = status;
        seen.hadRaw = raw != nullptr;
        seen.hadTranslated = translated != nullptr;
        seen.raw = raw != nullptr ? Descriptors(raw) : std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{};
        seen.translated = translated != nullptr ? Descriptors(translated) : std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>{};
        if (NT_SUCCESS(status)) status = config.startResult;
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = SendDownAndWait(fdo, irp);
        if (NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> g(seenLock);
            seen.caps = *sp->Parameters.DeviceCapabilities.Capabilities;
            seen.capsCopied = true;
        }
        return Complete(irp, status);
    }
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = Ext(fdo)->lower;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (config.detachOnRemove) {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Ext(fdo)->lower, irp);
    }
}

// Device power request done: finish the system request it was asked for, with its status.
inline VOID NTAPI OnDevicePowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                    PIO_STATUS_BLOCK ioStatus) {
    {
        std::lock_guard<std::mutex> g(seenLock);
        seen.completionFunctionIrql = KeGetCurrentIrql();
        seen.completionFunctionDevice = device;
        seen.completionFunctionMinor = minor;
        seen.completionFunctionState = state;
        seen.completionFunctionStatus = ioStatus->Status;
        seen.powerEvents.push_back("D done " + std::to_string(state.DeviceState));
    }
    PIRP systemIrp = static_cast<PIRP>(context);
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Status = ioStatus->Status;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

// System power request back from below: ask for the matching device power request and
// hold the system request until it has completed.
inline NTSTATUS NTAPI OnSystemPowerBack(PDEVICE_OBJECT fdo, PIRP irp, PVOID) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const SYSTEM_POWER_STATE s = sp->Parameters.Power.State.SystemState;
    Note("S back " + std::to_string(s));
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }
    POWER_STATE d;
    d.DeviceState = s == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    {
        std::lock_guard<std::mutex> g(seenLock);
        if (seen.capsCopied && s != PowerSystemWorking && seen.caps.DeviceState[s] != PowerDeviceUnspecified) {
            d.DeviceState = seen.caps.DeviceState[s];
        }
    }
    NTSTATUS status = PoRequestPowerIrp(Ext(fdo)->pdo, sp->MinorFunction, d, OnDevicePowerDone, irp, nullptr);
    {
        std::lock_guard<std::mutex> g(seenLock);
        seen.poRequestStatus = status;
    }
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const bool setOrQuery = sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER;
    {
        std::lock_guard<std::mutex> g(seenLock);
        seen.powerDispatchIrqls.push_back(KeGetCurrentIrql());
        if (setOrQuery) {
            seen.powerEvents.push_back(std::string(sp->Parameters.Power.Type == SystemPowerState ? "S " : "D ") +
                                       (sp->MinorFunction == IRP_MN_SET_POWER ? "set " : "query ") +
                                       std::to_string(sp->Parameters.Power.State.SystemState));
        } else {
            seen.powerEvents.push_back("other " + std::to_string(sp->MinorFunction));
        }
    }
    if (setOrQuery && sp->Parameters.Power.Type == SystemPowerState) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnSystemPowerBack, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(Ext(fdo)->lower, irp);
        return STATUS_PENDING;
    }
    if (!config.skipStartNextOnDeviceIrp) PoStartNextPowerIrp(irp);
    if (setOrQuery && sp->MinorFunction == IRP_MN_SET_POWER) {
        PoSetPowerState(fdo, DevicePowerState, sp->Parameters.Power.State);
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (config.passPowerWithIoCallDriver) return IoCallDriver(Ext(fdo)->lower, irp);
    return PoCallDriver(Ext(fdo)->lower, irp);
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    Extension *ext = Ext(fdo);
    ext->self = fdo;
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    if (config.pageable) fdo->Flags |= DO_POWER_PAGABLE;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(fdo, DevicePowerState, d0);
    if (config.clearInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline VOID NTAPI DriverUnload(PDRIVER_OBJECT) {
    ++seen.unloadCalls;
    if (config.freeInUnload && entryBlock != nullptr) ExFreePool(entryBlock);
    entryBlock = nullptr;
}

inline NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    seen.registryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    seen.registryPathMaximumLength = registryPath->MaximumLength;
    seen.registryPathTerminated =
        registryPath->MaximumLength > registryPath->Length && registryPath->Buffer[registryPath->Length / sizeof(WCHAR)] == 0;
    if (!NT_SUCCESS(config.entryStatus)) {
        if (config.leakInEntryFailure) entryBlock = ExAllocatePoolWithTag(PagedPool, 32, kTestTag);
        return config.entryStatus;
    }
    entryBlock = ExAllocatePoolWithTag(PagedPool, 32, kTestTag);
    if (config.registerUnload) driver->DriverUnload = DriverUnload;
    if (config.registerPnp) driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// Collects the verifier's reports while it lives, instead of letting them stop the test,
// so that a test can prove that a rule fires (and that nothing else does).
class ReportCapture {
public:
    ReportCapture() {
        previous_ = plat::SetVerifierHandler([this](const plat::VerifierViolation &v) {
            std::lock_guard<std::mutex> g(lock_);
            rules_.push_back(v.rule);
            routines_.push_back(v.routine);
        });
    }
    ~ReportCapture() { plat::SetVerifierHandler(std::move(previous_)); }
    ReportCapture(const ReportCapture &) = delete;
    ReportCapture &operator=(const ReportCapture &) = delete;

    std::vector<std::string> Rules() {
        std::lock_guard<std::mutex> g(lock_);
        return rules_;
    }
    std::vector<std::string> Routines() {
        std::lock_guard<std::mutex> g(lock_);
        return routines_;
    }
    size_t Count(const std::string &rule) {
        std::lock_guard<std::mutex> g(lock_);
        size_t n = 0;
        for (const std::string &r : rules_) n += r == rule;
        return n;
    }

private:
    plat::VerifierHandler previous_;
    std::mutex lock_;
    std::vector<std::string> rules_;
    std::vector<std::string> routines_;
};

inline void Reset() {
    config = Config{};
    std::lock_guard<std::mutex> g(seenLock);
    seen = Seen{};
    entryBlock = nullptr;
}

// The resources of the test device: a bridge-like port range, a 16-byte port range, a
// memory range and an interrupt whose translated vector differs from the raw line.
inline plat::ResourceList RawResources() {
    return {{plat::PortDescriptor(0xD000, 0x80), plat::PortDescriptor(0xD400, 16), plat::MemoryDescriptor(0xFEB00000, 0x80),
             plat::InterruptDescriptor(11, 11)}};
}
inline plat::ResourceList TranslatedResources() {
    return {{plat::PortDescriptor(0xD000, 0x80), plat::PortDescriptor(0xD400, 16), plat::MemoryDescriptor(0xFEB00000, 0x80),
             plat::InterruptDescriptor(11, 0x3B)}};
}

// A loaded test driver with its device added above a fresh PDO of the simulated bus; torn
// down by removal, PDO deletion and unload (with the unload checks).
class PnpStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::ResetMachine();
        Reset();
    }

    void Build() {
        const plat::ResourceList raw = RawResources();
        const plat::ResourceList translated = TranslatedResources();
        ASSERT_EQ(plat::LoadDriver("PnpTest", DriverEntry, &driver), STATUS_SUCCESS);
        pdo = plat::CreateBusPdo(nullptr, &raw, &translated);
        ASSERT_NE(pdo, nullptr);
        ASSERT_EQ(plat::PnpAddDevice(driver, pdo), STATUS_SUCCESS);
        fdo = pdo->AttachedDevice;
        ASSERT_NE(fdo, nullptr);
    }

    void TearDown() override {
        if (pdo != nullptr) {
            if (pdo->AttachedDevice != nullptr) plat::PnpRemoveDevice(pdo);
            plat::DeleteBusPdo(pdo);
        }
        if (driver != nullptr) plat::UnloadDriver(driver);
        plat::ResetMachine();
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

}  // namespace pnptest

#endif
