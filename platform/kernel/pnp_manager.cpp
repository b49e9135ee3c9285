// The Plug and Play manager stand-in: adds a driver's device above a bus PDO and sends it
// the Plug and Play requests of a device's life (start with its resource lists, the stop
// and removal queries and their cancellations, stop, surprise removal, removal, device
// capabilities, and any other minor code). Each request is a real IRP sent to the top of
// the PDO's stack, as the system's PnP thread sends it, and waited for. It keeps no device
// state of its own: a test may send any request in any order, including the sequences the
// real manager never produces, to see how a driver copes.
#include "kernel_internal.h"

#include <plat/kernel.h>
#include <plat/pnp.h>
#include <plat/verifier.h>

#include <chrono>
#include <cstdio>

namespace plat {
namespace pnp_detail {

void CompletionWait::Signal() {
    std::lock_guard<std::mutex> g(mutex_);
    signalled_ = true;
    done_.notify_all();
}

void CompletionWait::Wait(const char *routine) {
    std::unique_lock<std::mutex> g(mutex_);
    if (!done_.wait_for(g, std::chrono::seconds(60), [&] { return signalled_; })) {
        g.unlock();
        Report("RequestNeverCompleted", routine, "a request sent to the device stack was not completed within 60 s");
        g.lock();
        done_.wait(g, [&] { return signalled_; });
    }
}

}  // namespace pnp_detail

namespace {

using pnp_detail::Report;

// Holds the PDO's request lock for the duration of one manager operation.
class PdoRequestGuard {
public:
    explicit PdoRequestGuard(PDEVICE_OBJECT pdo) : pdo_(pdo) { pnp_detail::LockPdoRequests(pdo_); }
    ~PdoRequestGuard() { pnp_detail::UnlockPdoRequests(pdo_); }
    PdoRequestGuard(const PdoRequestGuard &) = delete;
    PdoRequestGuard &operator=(const PdoRequestGuard &) = delete;

private:
    PDEVICE_OBJECT pdo_;
};

// Checks what every entry point requires: a PDO of the simulated bus, and the caller at
// PASSIVE_LEVEL as the system's PnP thread is.
bool CheckCaller(PDEVICE_OBJECT pdo, const char *routine) {
    if (!pnp_detail::IsBusPdo(pdo)) {
        Report("BusPdoExpected", routine, "Plug and Play requests go to a PDO of the simulated bus");
        return false;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Report("PnpCallerIrql", routine, "the Plug and Play manager runs at PASSIVE_LEVEL");
        return false;
    }
    return true;
}

// Completion routine of every request the manager sends: the request stays with the
// manager (freed by the sender), which is woken here.
NTSTATUS NTAPI OnPnpRequestComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<pnp_detail::CompletionWait *>(context)->Signal();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one IRP_MJ_PNP request with the given minor code and parameters to the top of the
// PDO's stack and waits for it. Called with the PDO's request lock held.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const char *routine,
                 const std::function<void(PIO_STACK_LOCATION)> &parameters) {
    PDEVICE_OBJECT top = pnp_detail::TopOfStack(pdo);
    PIRP irp;
    {
        DriverScope system(nullptr);  // the manager's own request, charged to no driver
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what a driver that ignores the code passes on
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (parameters) parameters(sp);
    pnp_detail::CompletionWait done;
    IoSetCompletionRoutine(irp, OnPnpRequestComplete, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    done.Wait(routine);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS SendStart(PDEVICE_OBJECT pdo) {
    std::vector<unsigned char> raw;
    std::vector<unsigned char> translated;
    const bool hasRaw = pnp_detail::BuildPdoResources(pdo, false, raw);
    const bool hasTranslated = pnp_detail::BuildPdoResources(pdo, true, translated);
    // The lists live only while the request does: a driver must copy what it keeps.
    return SendPnp(pdo, IRP_MN_START_DEVICE, "PnpStartDevice", [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources =
            hasRaw ? reinterpret_cast<PCM_RESOURCE_LIST>(raw.data()) : nullptr;
        sp->Parameters.StartDevice.AllocatedResourcesTranslated =
            hasTranslated ? reinterpret_cast<PCM_RESOURCE_LIST>(translated.data()) : nullptr;
    });
}

NTSTATUS SendQueryCapabilities(PDEVICE_OBJECT pdo, USHORT version, DEVICE_CAPABILITIES *caps) {
    DEVICE_CAPABILITIES record{};
    record.Size = sizeof(DEVICE_CAPABILITIES);
    record.Version = version;
    record.Address = 0xFFFFFFFF;
    record.UINumber = 0xFFFFFFFF;
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, "PnpQueryCapabilities", [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &record;
    });
    if (caps != nullptr) *caps = record;
    return status;
}

// The devices stacked above a PDO, bottom first.
std::vector<PDEVICE_OBJECT> StackAbove(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) devices.push_back(d);
    return devices;
}

NTSTATUS SendRemove(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> before = StackAbove(pdo);
    NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE, "PnpRemoveDevice", nullptr);
    if (pdo->AttachedDevice != nullptr) {
        char name[128];
        Report("RemoveLeftDeviceAttached", pnp_detail::DriverNameOf(pdo->AttachedDevice, name, sizeof name),
               "a driver completed IRP_MN_REMOVE_DEVICE without detaching and deleting its device");
    } else {
        for (PDEVICE_OBJECT d : before) pnp_detail::ForgetPowerRecords(d);
    }
    return status;
}

}  // namespace

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (!CheckCaller(pdo, "PnpAddDevice")) return STATUS_INVALID_PARAMETER;
    if (driver == nullptr || driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a Plug and Play driver
    }
    PdoRequestGuard guard(pdo);
    std::vector<PDEVICE_OBJECT> before = StackAbove(pdo);
    NTSTATUS status;
    {
        DriverScope scope(driver);
        // Devices created meanwhile are not opened before AddDevice has returned.
        ++detail::Thread().addingDevice;
        status = driver->DriverExtension->AddDevice(driver, pdo);
        --detail::Thread().addingDevice;
    }
    if (detail::Thread().addingDevice == 0) detail::PublishDevicesAddedHere();
    char name[128];
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Report(rule::IrqlNotRestored, pnp_detail::NameOfDriver(driver, name, sizeof name),
               "AddDevice returned above PASSIVE_LEVEL");
    }
    if (NT_SUCCESS(status)) {
        for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
            if (d->DriverObject == driver && (d->Flags & DO_DEVICE_INITIALIZING) != 0) {
                Report("DeviceInitializingNotCleared", pnp_detail::DriverNameOf(d, name, sizeof name),
                       "AddDevice succeeded but left DO_DEVICE_INITIALIZING set on its device");
            }
        }
    } else if (StackAbove(pdo) != before) {
        Report("AddDeviceFailedButAttached", pnp_detail::DriverNameOf(pdo->AttachedDevice, name, sizeof name),
               "AddDevice failed but left a device attached to the PDO");
    }
    return status;
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo) {
    if (!CheckCaller(pdo, "PnpStartDevice")) return STATUS_INVALID_PARAMETER;
    PdoRequestGuard guard(pdo);
    return SendStart(pdo);
}

NTSTATUS PnpSend(PDEVICE_OBJECT pdo, UCHAR minorFunction) {
    if (!CheckCaller(pdo, "PnpSend")) return STATUS_INVALID_PARAMETER;
    PdoRequestGuard guard(pdo);
    switch (minorFunction) {
    case IRP_MN_START_DEVICE:
        return SendStart(pdo);
    case IRP_MN_QUERY_CAPABILITIES:
        return SendQueryCapabilities(pdo, 1, nullptr);
    case IRP_MN_REMOVE_DEVICE:
        return SendRemove(pdo);
    default:
        return SendPnp(pdo, minorFunction, "PnpSend", nullptr);
    }
}

NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, USHORT version, DEVICE_CAPABILITIES *caps) {
    if (!CheckCaller(pdo, "PnpQueryCapabilities")) return STATUS_INVALID_PARAMETER;
    PdoRequestGuard guard(pdo);
    return SendQueryCapabilities(pdo, version, caps);
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo) {
    if (!CheckCaller(pdo, "PnpRemoveDevice")) return STATUS_INVALID_PARAMETER;
    PdoRequestGuard guard(pdo);
    return SendRemove(pdo);
}

NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo) {
    if (!CheckCaller(pdo, "PnpSurpriseRemoval")) return STATUS_INVALID_PARAMETER;
    PdoRequestGuard guard(pdo);
    return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, "PnpSurpriseRemoval", nullptr);
}

}  // namespace plat
