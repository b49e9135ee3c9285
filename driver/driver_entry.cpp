// Driver entry and device creation: the routine the system calls when it loads the
// driver, the unload routine, the creation of the one device object per card (name,
// symbolic link, DeviceContext, attachment to the device stack) and its deletion.
// The hardware resources of a started device are in resources.cpp; the requests that
// start, stop and remove the device are in pnp.cpp.
//
// Everything here runs at PASSIVE_LEVEL in a system thread, serialised by the Plug and
// Play manager; nothing here is reached from an application's request.
#include "driver.h"

#ifdef __MINGW32__
// The kernel exports swprintf (the form without a count); the DDK headers leave it
// undeclared.
extern "C" int __cdecl swprintf(wchar_t *buffer, const wchar_t *format, ...);
#endif

// Driver-wide globals.
UCHAR OldWdm;                     // 1 when the system's WDM version is older than 1.10
UNICODE_STRING RegistryPathCopy;  // the service's registry path, kept until unload

namespace {

// Both names are fixed: the driver serves one card per system.
const WCHAR kDeviceName[] = L"\\Device\\Tq4815x";
const WCHAR kLinkName[] = L"\\DosDevices\\Tq4815x";
constexpr ULONG kLinkBufferChars = 50;

// WDM versions: 1.0 is required, below 1.10 a few paths behave differently.
constexpr UCHAR kWdmMajor = 1;
constexpr UCHAR kWdmMinorRequired = 0x00;
constexpr UCHAR kWdmMinorCurrent = 0x10;

// Builds the symbolic link's name in `buffer` (kLinkBufferChars characters) and the
// counted string over it. The name is fixed; it is formatted into a buffer of its own so
// that the counted string never points into read-only data the kernel might keep.
void BuildLinkName(WCHAR *buffer, UNICODE_STRING *link)
{
    swprintf(buffer, kLinkName);
    RtlInitUnicodeString(link, buffer);
}

}  // namespace

// The driver's load entry. Requires WDM 1.0, records whether the system is older than
// WDM 1.10, copies the registry path and fills the dispatch table. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    if (!IoIsWdmVersionAvailable(kWdmMajor, kWdmMinorRequired))
        return STATUS_UNSUCCESSFUL;
    OldWdm = IoIsWdmVersionAvailable(kWdmMajor, kWdmMinorCurrent) ? 0 : 1;

    // Room for the path and a terminating null character. The size is computed in 32 bits:
    // a path too long to carry its terminator within the 16-bit MaximumLength gets the
    // largest whole number of characters instead of a size that wraps to almost nothing.
    constexpr ULONG kLargestSize = 0xFFFF & ~static_cast<ULONG>(sizeof(WCHAR) - 1);
    ULONG size = static_cast<ULONG>(registryPath->Length) + sizeof(WCHAR);
    if (size > kLargestSize)
        size = kLargestSize;
    RegistryPathCopy.Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, size, TQ_POOL_TAG));
    if (RegistryPathCopy.Buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = static_cast<USHORT>(size);
    RtlCopyUnicodeString(&RegistryPathCopy, registryPath);

    driverObject->DriverUnload = DriverUnload;
    driverObject->DriverExtension->AddDevice = AddDevice;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

// Unload routine: frees the registry-path copy with the routine that matches its
// allocation (ExFreePoolWithTag: RtlFreeUnicodeString frees only strings the Rtl
// conversion routines allocated, and a real kernel stops the machine on a pool block).
// Device objects are not touched: each one has been deleted by its removal before the
// system unloads the driver. PASSIVE_LEVEL.
extern "C" VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject)
{
    UNREFERENCED_PARAMETER(driverObject);
    if (RegistryPathCopy.Buffer != nullptr)
        ExFreePoolWithTag(RegistryPathCopy.Buffer, TQ_POOL_TAG);
    RegistryPathCopy.Buffer = nullptr;
    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = 0;
}

// Creates the device object for a card found by the Plug and Play manager: the device
// `\Device\Tq4815x` with its link `\DosDevices\Tq4815x`, a zero-filled DeviceContext
// with its remove lock, locks and pending-request list, attached on top of the card's
// physical device object, in D0. A failure leaves nothing behind: the device object and
// the link (when this call created it) are deleted again. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, kDeviceName);

    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(DeviceContext), &deviceName,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                     &deviceObject);
    if (!NT_SUCCESS(status))
        return status;

    // The link's failure does not stop the set-up below; it is acted on at the end.
    WCHAR linkBuffer[kLinkBufferChars];
    UNICODE_STRING linkName;
    BuildLinkName(linkBuffer, &linkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    const bool linkCreated = NT_SUCCESS(status);

    DeviceContext *dc = ContextOf(deviceObject);
    RtlZeroMemory(dc, sizeof(DeviceContext));
    dc->DeviceObject = deviceObject;
    dc->Pdo = physicalDeviceObject;
    RemoveLockInit(&dc->RemoveLock);
    dc->PnpState = PNP_STOPPED;

    dc->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, physicalDeviceObject);
    if (dc->LowerDevice == nullptr) {
        status = STATUS_DEVICE_REMOVED;
    } else {
        deviceObject->Flags |= DO_POWER_PAGABLE;
        dc->SystemPower = PowerSystemWorking;
        dc->DevicePower = PowerDeviceD0;
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoSetPowerState(deviceObject, DevicePowerState, d0);
        InitializeListHead(&dc->PendingList);
        KeInitializeSpinLock(&dc->PendingLock);
        InitializeDeviceLocks(dc);
        deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    if (!NT_SUCCESS(status)) {
        if (dc->LowerDevice != nullptr)
            IoDetachDevice(dc->LowerDevice);
        if (linkCreated)
            IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(deviceObject);
        return status;
    }

    KeInitializeDpc(&deviceObject->Dpc, BufferReadyDpc, deviceObject);
    return STATUS_SUCCESS;
}

// Deletes the device at the end of its removal: its symbolic link (so that a card added
// again gets the link anew), the attachment to the lower device, then the device object
// with its DeviceContext. The caller must not touch either afterwards. PASSIVE_LEVEL.
void DeleteDevice(PDEVICE_OBJECT deviceObject)
{
    DeviceContext *dc = ContextOf(deviceObject);

    WCHAR linkBuffer[kLinkBufferChars];
    UNICODE_STRING linkName;
    BuildLinkName(linkBuffer, &linkName);
    IoDeleteSymbolicLink(&linkName);

    if (dc->LowerDevice != nullptr)
        IoDetachDevice(dc->LowerDevice);
    IoDeleteDevice(deviceObject);
}
