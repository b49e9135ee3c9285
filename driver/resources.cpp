// The card's hardware resources: claiming them when the device is started (port ranges,
// memory ranges, the interrupt; finding the bridge and board register ranges among the
// ports) and releasing them when it is stopped, surprise-removed or removed.
//
// The first port range is always the bridge's local-configuration block (BridgeBase);
// the board's own registers are the first later port range of exactly 16 bytes
// (BoardBase). The card needs at least two port ranges, a memory range and an
// interrupt. Memory ranges are mapped while the device is started but never accessed.
//
// Both routines run at PASSIVE_LEVEL from the Plug and Play handlers, serialised by the
// Plug and Play manager. A third, PortSpanClaimed, tells the request handlers whether a
// caller's port access lies inside what the current start claimed.
#include "driver.h"

namespace {

// Interrupt parameters kept from the translated descriptor for the connection.
struct InterruptParameters {
    ULONG Vector;
    KIRQL Irql;
    KAFFINITY Affinity;
    KINTERRUPT_MODE Mode;
    BOOLEAN ShareVector;
};

// Undoes the connection and the mappings of a claim, leaving the counts, lengths,
// IrqLevel, BoardBase and BridgeBase for the next claim to replace. The interrupt goes
// first, so the interrupt routine never runs on an unmapped range. A range in I/O space
// is never unmapped: its base is a port number, not a mapping.
void FreeClaimedHardware(DeviceContext *dc)
{
    dc->HardwareStarted = 0;
    if (dc->InterruptObject != nullptr) {
        IoDisconnectInterrupt(dc->InterruptObject);
        dc->InterruptObject = nullptr;
    }
    for (ULONG i = 0; i < dc->PortCount && i < MAX_PORT_RANGES; ++i) {
        if (dc->PortBase[i] != 0 && dc->PortIsMapped[i] == 1) {
            MmUnmapIoSpace(reinterpret_cast<PVOID>(dc->PortBase[i]),
                           dc->PortLength[i]);
        }
        dc->PortBase[i] = 0;
    }
    for (ULONG i = 0; i < dc->MemCount && i < MAX_MEMORY_RANGES; ++i) {
        if (dc->MemBase[i] != nullptr)
            MmUnmapIoSpace(dc->MemBase[i], dc->MemLength[i]);
        dc->MemBase[i] = nullptr;
    }
}

// Takes one translated port descriptor into the next port slot. A range translated to
// memory space is mapped, and its base is the mapped address.
NTSTATUS TakePortRange(DeviceContext *dc, const CM_PARTIAL_RESOURCE_DESCRIPTOR &d)
{
    if (dc->PortCount >= MAX_PORT_RANGES)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const ULONG n = dc->PortCount;
    const bool mapped = (d.Flags & CM_RESOURCE_PORT_IO) == 0;
    dc->PortIsMapped[n] = mapped ? 1 : 0;
    dc->PortLength[n] = d.u.Port.Length;
    if (mapped) {
        PVOID base = MmMapIoSpace(d.u.Port.Start, d.u.Port.Length, MmNonCached);
        if (base == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        dc->PortBase[n] = reinterpret_cast<ULONG_PTR>(base);
    } else {
        dc->PortBase[n] = d.u.Port.Start.LowPart;
    }
    dc->PortCount = static_cast<USHORT>(n + 1);
    return STATUS_SUCCESS;
}

// Takes one translated memory descriptor into the next memory slot, mapped uncached.
NTSTATUS TakeMemoryRange(DeviceContext *dc, const CM_PARTIAL_RESOURCE_DESCRIPTOR &d)
{
    if (dc->MemCount >= MAX_MEMORY_RANGES)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const ULONG m = dc->MemCount;
    PVOID base = MmMapIoSpace(d.u.Memory.Start, d.u.Memory.Length, MmNonCached);
    if (base == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    dc->MemBase[m] = base;
    dc->MemLength[m] = d.u.Memory.Length;
    dc->MemCount = static_cast<USHORT>(m + 1);
    return STATUS_SUCCESS;
}

// Takes one translated interrupt descriptor: its connection parameters, and the
// interrupt line from the raw descriptor at the same index. The raw list is read only
// within its Count and only when that descriptor is an interrupt; without one the line
// is unknown and IrqLevel is 0.
void TakeInterrupt(DeviceContext *dc, const CM_PARTIAL_RESOURCE_DESCRIPTOR &d,
                   PCM_PARTIAL_RESOURCE_LIST rawList, ULONG index, InterruptParameters *irq)
{
    irq->Vector = d.u.Interrupt.Vector;
    irq->Irql = static_cast<KIRQL>(d.u.Interrupt.Level & 0xFF);
    irq->Affinity = d.u.Interrupt.Affinity;
    irq->Mode = d.Flags == CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive;
    irq->ShareVector = d.ShareDisposition == CmResourceShareShared ? TRUE : FALSE;

    dc->IrqLevel = 0;
    if (rawList != nullptr && index < rawList->Count) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR &raw = rawList->PartialDescriptors[index];
        if (raw.Type == CmResourceTypeInterrupt)
            dc->IrqLevel = static_cast<USHORT>(raw.u.Interrupt.Vector & 0xFFFF);
    }
}

// Stops a running acquisition (as IOCTL_STOP would, while the interrupt and the ranges
// are still there; its last buffer block goes with it), then undoes the connection and
// the mappings. Returns holding RequestLock with no acquisition running, so that no
// start can find the interrupt connected while it is being disconnected: a start that
// slipped in between the stop and the lock is stopped again. It also holds EepromLock:
// the port and EEPROM requests test HardwareStarted under one of the two locks and
// touch the card before they let go of it, so none is at a port while the ranges go.
// ReleaseHardwareLocks lets go of both.
void StopAndFreeHardware(DeviceContext *dc)
{
    for (;;) {
        ReleaseAcquisition(dc);
        AcquireDeviceLock(&dc->RequestLock);
        if (!LoadShared(&dc->Running))
            break;
        ReleaseDeviceLock(&dc->RequestLock);
    }
    AcquireDeviceLock(&dc->EepromLock);
    FreeClaimedHardware(dc);
}

void ReleaseHardwareLocks(DeviceContext *dc)
{
    ReleaseDeviceLock(&dc->EepromLock);
    ReleaseDeviceLock(&dc->RequestLock);
}

// ClaimResources' work, RequestLock and EepromLock held (see there).
NTSTATUS ClaimLocked(DeviceContext *dc, PCM_PARTIAL_RESOURCE_LIST rawList,
                     PCM_PARTIAL_RESOURCE_LIST translatedList)
{
    dc->PortCount = 0;
    dc->MemCount = 0;
    dc->BoardBase = 0;
    StoreShared(&dc->Running, 0);
    if (translatedList->Count == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    InterruptParameters irq = {};
    bool sawPort = false;
    bool sawInterrupt = false;
    for (ULONG i = 0; i < translatedList->Count; ++i) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR &d = translatedList->PartialDescriptors[i];
        NTSTATUS status = STATUS_SUCCESS;
        switch (d.Type) {
        case CmResourceTypePort:
            status = TakePortRange(dc, d);
            sawPort = true;
            break;
        case CmResourceTypeInterrupt:
            TakeInterrupt(dc, d, rawList, i, &irq);
            sawInterrupt = true;
            break;
        case CmResourceTypeMemory:
            status = TakeMemoryRange(dc, d);
            break;
        default:
            break;
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    if (!sawPort || !sawInterrupt)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    dc->BoardBase = 0;
    dc->BridgeBase = 0;
    if (dc->PortCount >= 2 && dc->MemCount >= 1) {
        for (ULONG i = 1; i < dc->PortCount; ++i) {
            if (dc->PortLength[i] == BOARD_RANGE_LENGTH) {
                dc->BoardBase = dc->PortBase[i];
                dc->BridgeBase = dc->PortBase[0];
                break;
            }
        }
    }
    if (dc->BridgeBase == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    // No interrupt through the bridge until an acquisition enables one; the line may be
    // shared, so the interrupt routine can still be entered for other devices.
    DisableBridgeInterrupts(dc);
    PKINTERRUPT interrupt = nullptr;
    NTSTATUS status = IoConnectInterrupt(&interrupt, InterruptService, dc, nullptr,
                                         irq.Vector, irq.Irql, irq.Irql, irq.Mode,
                                         irq.ShareVector, irq.Affinity, FALSE);
    if (NT_SUCCESS(status)) {
        dc->InterruptObject = interrupt;
        dc->HardwareStarted = 1;
        return STATUS_SUCCESS;
    }

    FreeClaimedHardware(dc);
    dc->PortCount = 0;
    dc->MemCount = 0;
    return status;
}

}  // namespace

// Claims the resources the start-device request assigns: walks the translated list,
// fills the port and memory slots (mapping what lies in memory space), picks BridgeBase
// and BoardBase, disables the bridge's interrupt sources and connects the interrupt.
// rawList and translatedList are the partial lists of the first full descriptor of the
// raw and translated resources; either may be null.
//
// Refusals (STATUS_DEVICE_CONFIGURATION_ERROR): no translated list or an empty one; no
// port range or no interrupt; fewer than two port ranges or no memory range; no 16-byte
// port range after the first; more than six port ranges or four memory ranges. After
// such a refusal the ranges already taken stay mapped and counted until the removal that
// follows releases them. A failed mapping refuses the start with
// STATUS_INSUFFICIENT_RESOURCES the same way. A failed connection undoes every mapping
// and returns the connection's status.
//
// A claim that finds the connection or mappings of an earlier claim still in place (a
// second start without a stop, or a start after a failed one) stops and frees them
// first, so that nothing of the earlier claim is leaked. Runs under RequestLock, so an
// IOCTL_START sees either no interrupt or a fully claimed device. PASSIVE_LEVEL.
NTSTATUS ClaimResources(PDEVICE_OBJECT deviceObject, PCM_PARTIAL_RESOURCE_LIST rawList,
                        PCM_PARTIAL_RESOURCE_LIST translatedList)
{
    DeviceContext *dc = ContextOf(deviceObject);
    if (translatedList == nullptr)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    StopAndFreeHardware(dc);
    NTSTATUS status = ClaimLocked(dc, rawList, translatedList);
    ReleaseHardwareLocks(dc);
    return status;
}

// Releases the resources of a started (or half-started) device: an acquisition still
// running is stopped first, as IOCTL_STOP would stop it, while its interrupt and ranges
// are still there (and its buffer block is freed: no reader works without a running
// acquisition, and the next start lays out a new one); then the interrupt is
// disconnected, the port and memory mappings are undone, and every pending notification
// request is aborted, later ones being refused with STATUS_CANCELLED until the next
// device power-up. Counts, lengths, IrqLevel, BoardBase and BridgeBase stay until the
// next claim. Running it a second time finds nothing to release and only aborts pending
// requests again. PASSIVE_LEVEL.
void ReleaseResources(PDEVICE_OBJECT deviceObject)
{
    DeviceContext *dc = ContextOf(deviceObject);
    StopAndFreeHardware(dc);
    ReleaseHardwareLocks(dc);
    RejectPendingRequests(dc, STATUS_CANCELLED);
}

// Whether `bytes` consecutive ports from `address` (one access of that width, or a run of
// byte accesses) all lie inside one port range the current start claimed. `address` is
// what the port routines are given: a port number for a range in I/O space, the mapped
// address plus the offset for a range translated to memory space (never cut to 16 bits,
// which would name some unrelated port). Mapped addresses lie far above port space, so a
// 16-bit port number can only ever match a range in I/O space. FALSE while the device is
// not started. The caller holds RequestLock or EepromLock. PASSIVE_LEVEL.
BOOLEAN PortSpanClaimed(DeviceContext *dc, LONGLONG address, ULONG bytes)
{
    if (!dc->HardwareStarted || bytes == 0)
        return FALSE;
    for (ULONG i = 0; i < dc->PortCount && i < MAX_PORT_RANGES; ++i) {
        const LONGLONG base = dc->PortBase[i];
        if (base != 0 && address >= base && address + bytes <= base + dc->PortLength[i])
            return TRUE;
    }
    return FALSE;
}
