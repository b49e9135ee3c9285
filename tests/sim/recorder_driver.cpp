// The recording function driver of machine_fixture.h: attaches above the card's PDO, copies
// the raw and translated resource lists of each start-device, passes everything down, and
// detaches and deletes itself at removal.
#include "machine_fixture.h"

namespace simtest {
namespace {

struct Extension {
    PDEVICE_OBJECT lower;
};

void Copy(PCM_RESOURCE_LIST list, bool &had, std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &out)
{
    had = list != nullptr;
    out.clear();
    if (!list || list->Count == 0)
        return;
    const CM_PARTIAL_RESOURCE_LIST &partial = list->List[0].PartialResourceList;
    for (ULONG i = 0; i < partial.Count; ++i)
        out.push_back(partial.PartialDescriptors[i]);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = ext->lower;
    const UCHAR minor = stack->MinorFunction;  // the request is gone once passed down
    if (minor == IRP_MN_START_DEVICE) {
        RecordedStart &r = Recorded();
        r.started = true;
        Copy(stack->Parameters.StartDevice.AllocatedResources, r.hadRaw, r.raw);
        Copy(stack->Parameters.StartDevice.AllocatedResourcesTranslated, r.hadTranslated, r.translated);
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *ext = static_cast<Extension *>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

RecordedStart &Recorded()
{
    static RecordedStart recorded;
    return recorded;
}

extern "C" NTSTATUS NTAPI RecorderDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    Recorded() = {};
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace simtest
