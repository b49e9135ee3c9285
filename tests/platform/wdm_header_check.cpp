// Compiles the way driver code includes the kernel header, against the stand-in here and,
// in CI, against the real DDK header with the Windows cross compiler:
//   i686-w64-mingw32-g++ -std=c++20 -fsyntax-only -isystem /usr/i686-w64-mingw32/include/ddk
//     -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
//     -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset tests/platform/wdm_header_check.cpp
// It names every type, field and routine of the subset drivers use, so that a name or a
// signature the two headers disagree on breaks the build on one side.
#include <wdm.h>
#include <wchar.h>

namespace {

struct CheckExtension {
    KSPIN_LOCK Lock;
    KEVENT Event;
    LIST_ENTRY List;
    PKINTERRUPT Interrupt;
    WORK_QUEUE_ITEM Work;
    DEVICE_CAPABILITIES Capabilities;
    UNICODE_STRING Name;
};

static_assert(sizeof(DEVICE_CAPABILITIES) == 64);

extern "C" BOOLEAN NTAPI CheckIsr(PKINTERRUPT, PVOID) { return FALSE; }
extern "C" BOOLEAN NTAPI CheckSync(PVOID) { return TRUE; }
extern "C" VOID NTAPI CheckDpc(PKDPC, PVOID, PVOID, PVOID) {}
extern "C" VOID NTAPI CheckCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }
extern "C" VOID NTAPI CheckWork(PVOID) {}
extern "C" NTSTATUS NTAPI CheckCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
extern "C" VOID NTAPI CheckPowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}
extern "C" NTSTATUS NTAPI CheckDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
extern "C" NTSTATUS NTAPI CheckAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
extern "C" VOID NTAPI CheckUnload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI CheckEverything(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath, PIRP irp,
                                           PCM_RESOURCE_LIST resources)
{
    driver->MajorFunction[IRP_MJ_CREATE] = CheckDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = CheckDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CheckDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CheckDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = CheckDispatch;
    driver->MajorFunction[IRP_MJ_PNP] = CheckDispatch;
    driver->DriverExtension->AddDevice = CheckAddDevice;
    driver->DriverUnload = CheckUnload;
    if (!IoIsWdmVersionAvailable(1, 0x10)) return STATUS_UNSUCCESSFUL;

    UNICODE_STRING copy;
    copy.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, registryPath->Length + 2, 0x206D6457);
    if (copy.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    copy.Length = 0;
    copy.MaximumLength = (USHORT)(registryPath->Length + 2);
    RtlCopyUnicodeString(&copy, registryPath);
    ExFreePoolWithTag(copy.Buffer, 0x206D6457);

    PDEVICE_OBJECT device = NULL;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, L"\\Device\\Check");
    NTSTATUS status = IoCreateDevice(driver, sizeof(CheckExtension), &deviceName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    WCHAR linkBuffer[50];
    swprintf(linkBuffer, L"\\DosDevices\\Check");
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkBuffer);
    status = IoCreateSymbolicLink(&link, &deviceName);
    CheckExtension *ext = (CheckExtension *)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, device);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    LONG refs = device->ReferenceCount;
    (void)refs;
    POWER_STATE ps;
    ps.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, ps);
    KeInitializeDpc(&device->Dpc, CheckDpc, device);
    KeInsertQueueDpc(&device->Dpc, NULL, NULL);

    InitializeListHead(&ext->List);
    KeInitializeSpinLock(&ext->Lock);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    KeReleaseSpinLock(&ext->Lock, irql);
    irql = KfAcquireSpinLock(&ext->Lock);
    KfReleaseSpinLock(&ext->Lock, irql);
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    KefReleaseSpinLockFromDpcLevel(&ext->Lock);
    KeLowerIrql(irql);
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;

    KeInitializeEvent(&ext->Event, NotificationEvent, FALSE);
    KeSetEvent(&ext->Event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&ext->Event);
    KeResetEvent(&ext->Event);
    (void)KeReadStateEvent(&ext->Event);
    LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(-10000);
    KeWaitForSingleObject(&ext->Event, Executive, KernelMode, FALSE, &timeout);
    KeDelayExecutionThread(KernelMode, TRUE, &timeout);
    KeStallExecutionProcessor(10);

    PCM_PARTIAL_RESOURCE_LIST partial = &resources->List[0].PartialResourceList;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &partial->PartialDescriptors[0];
    if (d->Type == CmResourceTypePort && (d->Flags & CM_RESOURCE_PORT_IO) == 0) {
        PVOID mapped = MmMapIoSpace(d->u.Port.Start, d->u.Port.Length, MmNonCached);
        MmUnmapIoSpace(mapped, d->u.Port.Length);
    }
    if (d->Type == CmResourceTypeInterrupt) {
        KINTERRUPT_MODE mode = d->Flags == CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive;
        BOOLEAN share = d->ShareDisposition == CmResourceShareShared;
        status = IoConnectInterrupt(&ext->Interrupt, CheckIsr, ext, NULL, d->u.Interrupt.Vector,
                                    (KIRQL)d->u.Interrupt.Level, (KIRQL)d->u.Interrupt.Level, mode, share,
                                    d->u.Interrupt.Affinity, FALSE);
        KeSynchronizeExecution(ext->Interrupt, CheckSync, ext);
        IoDisconnectInterrupt(ext->Interrupt);
    }
    if (d->Type == CmResourceTypeMemory) (void)d->u.Memory.Start.LowPart;

    ULONG port = 0x300;
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)port, 1);
    WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)port, 1);
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)port, 1);
    ULONG sum = READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)port) + READ_PORT_USHORT((PUSHORT)(ULONG_PTR)port) +
                READ_PORT_ULONG((PULONG)(ULONG_PTR)port);
    (void)sum;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLen = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLen = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID systemBuffer = irp->AssociatedIrp.SystemBuffer;
    (void)code; (void)inLen; (void)outLen; (void)systemBuffer;
    if (irp->MdlAddress != NULL) {
        PVOID va = (irp->MdlAddress->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                       ? irp->MdlAddress->MappedSystemVa
                       : MmMapLockedPages(irp->MdlAddress, KernelMode);
        (void)va;
        (void)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    PCM_RESOURCE_LIST raw = stack->Parameters.StartDevice.AllocatedResources;
    PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    (void)raw; (void)translated;
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    (void)caps;
    POWER_STATE state = stack->Parameters.Power.State;
    POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    (void)state; (void)type;
    PVOID arg = stack->Parameters.Others.Argument1;
    (void)arg;
    PFILE_OBJECT file = stack->FileObject;
    (void)file;
    (void)(stack->MinorFunction == IRP_MN_START_DEVICE || stack->MinorFunction == IRP_MN_SET_POWER);

    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CheckCompletion, ext, TRUE, TRUE, TRUE);
    status = IoCallDriver(lower, irp);
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(lower, irp);
    PoStartNextPowerIrp(irp);
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, ps, CheckPowerComplete, ext, NULL);
    IoSetNextIrpStackLocation(irp);
    IoMarkIrpPending(irp);
    if (IoSetCancelRoutine(irp, CheckCancel) == NULL && irp->Cancel) IoSetCancelRoutine(irp, NULL);
    irp->Tail.Overlay.DriverContext[0] = NULL;
    InsertTailList(&ext->List, &irp->Tail.Overlay.ListEntry);
    (void)RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    if (!IsListEmpty(&ext->List)) (void)RemoveHeadList(&ext->List);
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    IoCancelIrp(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    (void)IofCallDriver(lower, irp);

    PWORK_QUEUE_ITEM work = (PWORK_QUEUE_ITEM)&irp->Tail.Overlay.DriverContext[0];
    ExInitializeWorkItem(work, CheckWork, irp);
    ExQueueWorkItem(work, DelayedWorkQueue);

    PKEVENT userEvent = NULL;
    status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)4, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode,
                                       (PVOID *)&userEvent, NULL);
    if (NT_SUCCESS(status)) ObfDereferenceObject(userEvent);
    ObDereferenceObject(userEvent);

    LONG volatile counter = 0;
    InterlockedIncrement(&counter);
    InterlockedDecrement(&counter);
    InterlockedExchange(&counter, 3);
    InterlockedCompareExchange(&counter, 4, 3);

    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x206D6457);
    ExFreePool(block);
    PIRP own = IoAllocateIrp(device->StackSize, FALSE);
    IoFreeIrp(own);
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}
