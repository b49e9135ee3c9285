// Power requests (IRP_MJ_POWER) to the Tq4815x device. Set-power and query-power
// requests, for system and device power states, run through a table-driven state
// machine that forwards them to the lower drivers, asks the power manager for the device
// power request that follows each system power request, keeps SystemPower and
// DevicePower up to date (telling the power manager each new device state with
// PoSetPowerState), and at a device power-down stops a running acquisition, disables the
// bridge's interrupts and aborts the pending notification requests (refusing new ones
// until the next device power-up, or a set-power D0 while in D0). Every other power
// request goes straight down.
//
// Requests arrive at PASSIVE_LEVEL (the device is power-pageable). The machine also runs
// in the completion routine of a forwarded request and in the completion function of a
// requested device power request, possibly at DISPATCH_LEVEL. On systems older than
// WDM 1.10, a request forwarded from above PASSIVE_LEVEL is passed down from a system
// work item instead, so that it always reaches the lower drivers at PASSIVE_LEVEL.
#include "driver.h"

namespace {

// One set-power or query-power request on its way through the machine; from non-paged
// pool, zero-filled, freed by the run that finishes the request.
struct PowerTransaction {
    DeviceContext *Device;
    PIRP Irp;
    ULONG State;          // machine state, below
    NTSTATUS Status;      // status of the latest step that came back
    LONG DeviceState;     // device power state chosen for a system power request
    UCHAR MinorFunction;  // of the carried request, for the device power request
};

// Machine states.
enum MachineState : ULONG {
    PS_NEW = 0,               // not yet classified
    PS_SYS_UP_FORWARDED = 1,  // system power-up: system request forwarded
    PS_SYS_UP_DEVICE = 2,     // system power-up: device request outstanding
    PS_SYS_DOWN_DEVICE = 3,   // system power-down: device request outstanding
    PS_SYS_DOWN_FORWARDED = 4,// system power-down: system request forwarded
    PS_DEV_UP = 5,            // device set-power to more power: forwarded
    PS_DEV_DOWN = 6,          // device set-power to less or equal power: forwarded
    PS_DEV_QUERY_UP = 9,      // device query-power for more power: forwarded
    PS_DEV_QUERY_DOWN = 10,   // device query-power for less or equal power: forwarded
    PS_STATE_COUNT = 11,
};

// Machine events.
enum PowerEvent : ULONG {
    PE_ARRIVED = 0,           // DispatchPower: a new request
    PE_FORWARD_DONE = 1,      // the forwarded request came back from the lower drivers
    PE_DEVICE_DONE = 2,       // the requested device power request completed
    PE_EVENT_COUNT = 3,
};

// First action for each state and event; 0 marks a pair no valid run produces.
constexpr ULONG kLastAction = 18;
const UCHAR PowerActionTable[PS_STATE_COUNT][PE_EVENT_COUNT] = {
    {1, 0, 0},    // 0
    {0, 4, 0},    // 1
    {0, 0, 10},   // 2
    {0, 0, 11},   // 3
    {0, 5, 0},    // 4
    {0, 12, 0},   // 5
    {0, 8, 0},    // 6
    {0, 0, 0},    // 7 (unused)
    {0, 0, 0},    // 8 (unused)
    {0, 16, 0},   // 9
    {0, 18, 0},   // 10
};

NTSTATUS RunPowerMachine(PowerTransaction *t, ULONG event);

// Completion routine of a request the machine forwarded: records the lower drivers'
// status and lets the machine decide whether completion goes on. Any IRQL up to
// DISPATCH_LEVEL.
NTSTATUS NTAPI OnForwardedPowerComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(deviceObject);
    PowerTransaction *t = static_cast<PowerTransaction *>(context);
    t->Status = irp->IoStatus.Status;
    return RunPowerMachine(t, PE_FORWARD_DONE);
}

// Completion function of a device power request the machine asked the power manager
// for: records its status and continues the system request that asked for it. Any IRQL
// up to DISPATCH_LEVEL.
VOID NTAPI OnDevicePowerComplete(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                 POWER_STATE powerState, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(powerState);
    PowerTransaction *t = static_cast<PowerTransaction *>(context);
    t->Status = ioStatus->Status;
    RunPowerMachine(t, PE_DEVICE_DONE);
}

// Work-item routine of CallPowerDriver: passes the request down at PASSIVE_LEVEL to the
// device parked in its next stack location. System worker thread.
VOID NTAPI CallPowerDriverFromWorkItem(PVOID parameter)
{
    PIRP irp = static_cast<PIRP>(parameter);
    PDEVICE_OBJECT target = IoGetNextIrpStackLocation(irp)->DeviceObject;
    PoCallDriver(target, irp);
}

static_assert(sizeof(WORK_QUEUE_ITEM) <= sizeof(static_cast<IRP *>(nullptr)->Tail.Overlay.DriverContext),
              "the work item lives in the request's driver context");

// Passes a power request to targetDevice. On systems older than WDM 1.10 a request
// passed from above PASSIVE_LEVEL is marked pending and passed down from a system work
// item built inside the request itself (nothing is allocated), and STATUS_PENDING is
// returned; otherwise the lower driver's status. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS CallPowerDriver(PDEVICE_OBJECT targetDevice, PIRP irp)
{
    if (OldWdm == 1 && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        IoMarkIrpPending(irp);
        IoGetNextIrpStackLocation(irp)->DeviceObject = targetDevice;
        PWORK_QUEUE_ITEM item = reinterpret_cast<PWORK_QUEUE_ITEM>(irp->Tail.Overlay.DriverContext);
        ExInitializeWorkItem(item, CallPowerDriverFromWorkItem, irp);
        ExQueueWorkItem(item, DelayedWorkQueue);
        return STATUS_PENDING;
    }
    return PoCallDriver(targetDevice, irp);
}

// Device power state for system state s: D0 for the working state, otherwise the state
// the bus driver reported for s, but never one with more power than D3. A system state
// outside the capabilities' table (or a reported state that is no device state) gives D3.
LONG DeviceStateFor(const DeviceContext *dc, LONG s)
{
    if (s == PowerSystemWorking)
        return PowerDeviceD0;
    if (s < 0 || s >= PowerSystemMaximum)
        return PowerDeviceD3;
    const LONG d = dc->Capabilities.DeviceState[s];
    return d < PowerDeviceD3 || d >= PowerDeviceMaximum ? LONG(PowerDeviceD3) : d;
}

// Runs the machine for transaction t and an event: actions follow one another until one
// hands the request (or a device power request) on, or the transaction is finished and
// freed. For event 0 the result is DispatchPower's status; for event 1 the completion
// routine's (STATUS_MORE_PROCESSING_REQUIRED holds the request); for event 2 it is not
// used. Once a request has been handed on, t is not touched again: its completion may
// already have freed it on another path. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS RunPowerMachine(PowerTransaction *t, ULONG event)
{
    if (t->State >= PS_STATE_COUNT || event >= PE_EVENT_COUNT)
        return STATUS_UNSUCCESSFUL;
    ULONG action = PowerActionTable[t->State][event];
    if (action == 0 || action > kLastAction)
        return STATUS_UNSUCCESSFUL;

    DeviceContext *dc = t->Device;
    PIRP irp = t->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const LONG s = stack->Parameters.Power.State.SystemState;
    const LONG d = stack->Parameters.Power.State.DeviceState;
    NTSTATUS result = STATUS_SUCCESS;

    for (;;) {
        switch (action) {
        case 1:  // classify
            result = STATUS_PENDING;
            IoMarkIrpPending(irp);
            // The request's own reference, held until action 8. A removal that began since
            // the dispatch took its reference refuses it: the request goes no further and
            // is finished at once, so no completion routine of it can run once the
            // dispatch's reference is gone and the device with it.
            if (!NT_SUCCESS(RemoveLockAcquire(&dc->RemoveLock, irp))) {
                PoStartNextPowerIrp(irp);
                CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
                action = 9;
                break;
            }
            if (type == DevicePowerState) {
                action = 2;
            } else if (s >= dc->SystemPower) {
                t->State = PS_SYS_DOWN_DEVICE;
                action = 6;
            } else {
                t->State = PS_SYS_UP_FORWARDED;
                action = 3;
            }
            break;

        case 2:  // classify a device request
            if (minor == IRP_MN_SET_POWER) {
                if (d < dc->DevicePower) {
                    t->State = PS_DEV_UP;
                    action = 3;
                } else {
                    action = 13;
                }
            } else {
                if (d < dc->DevicePower) {
                    t->State = PS_DEV_QUERY_UP;
                    action = 3;
                } else {
                    action = 17;
                }
            }
            break;

        case 3: {  // forward
            PDEVICE_OBJECT lower = dc->LowerDevice;
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, OnForwardedPowerComplete, t, TRUE, TRUE, TRUE);
            CallPowerDriver(lower, irp);
            return result;
        }

        case 4:  // system power-up came back from the lower drivers
            if (!NT_SUCCESS(t->Status)) {
                action = 8;
                break;
            }
            if (minor == IRP_MN_SET_POWER)
                dc->SystemPower = s;
            t->State = PS_SYS_UP_DEVICE;
            result = STATUS_MORE_PROCESSING_REQUIRED;
            action = 6;
            break;

        case 5:  // system power-down came back from the lower drivers
            if (minor == IRP_MN_SET_POWER)
                dc->SystemPower = s;
            action = 8;
            break;

        case 6:  // choose the device state
            t->DeviceState = DeviceStateFor(dc, s);
            t->MinorFunction = minor;
            action = 7;
            break;

        case 7: {  // ask for device power
            if (OldWdm == 1 && t->DeviceState == dc->DevicePower) {
                t->Status = STATUS_SUCCESS;
                action = PowerActionTable[t->State][PE_DEVICE_DONE];
                if (action == 0)
                    return STATUS_UNSUCCESSFUL;
                break;
            }
            POWER_STATE wanted;
            wanted.DeviceState = static_cast<DEVICE_POWER_STATE>(t->DeviceState);
            NTSTATUS status = PoRequestPowerIrp(dc->Pdo, t->MinorFunction, wanted,
                                                OnDevicePowerComplete, t, nullptr);
            if (NT_SUCCESS(status))
                return result;
            t->Status = status;
            action = 8;
            break;
        }

        case 8:  // finish
            PoStartNextPowerIrp(irp);
            if (event == PE_FORWARD_DONE) {
                result = t->Status;
            } else {
                irp->IoStatus.Status = t->Status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            RemoveLockRelease(&dc->RemoveLock, irp);
            action = 9;
            break;

        case 9:  // free the transaction
            ExFreePool(t);
            return result;

        case 11:  // system power-down: device request came back
            if (!NT_SUCCESS(t->Status)) {
                action = 8;
                break;
            }
            t->State = PS_SYS_DOWN_FORWARDED;
            action = 3;
            break;

        case 12:  // device power-up came back from the lower drivers
            if (!NT_SUCCESS(t->Status) || minor != IRP_MN_SET_POWER) {
                action = 8;
                break;
            }
            InterlockedExchange(&dc->RejectStatus, 0);  // read under PendingLock elsewhere
            StoreShared(&dc->DevicePower, d);
            PoSetPowerState(dc->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
            action = 15;
            break;

        case 13:  // device set-power to less or equal power
            if (d == PowerDeviceD0) {
                // D0 while in D0 (the wake that follows a vetoed sleep, a system set-power
                // S0 while working) takes no power away: waits are accepted again.
                InterlockedExchange(&dc->RejectStatus, 0);
            } else {
                // A power-down: the acquisition stops and the bridge falls silent before
                // the card loses power, and no waiting request survives it.
                PowerDownAcquisition(dc);
                RejectPendingRequests(dc, STATUS_DEVICE_POWERED_OFF);
            }
            action = 14;
            break;

        case 14:
            t->State = PS_DEV_DOWN;
            if (d > dc->DevicePower) {
                // Recorded before the request goes down: from here on the interrupt
                // routine claims nothing.
                StoreShared(&dc->DevicePower, d);
                PoSetPowerState(dc->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
            }
            action = 3;
            break;

        case 17:
            t->State = PS_DEV_QUERY_DOWN;
            action = 3;
            break;

        case 10:
        case 15:
        case 16:
        case 18:
            action = 8;
            break;

        default:
            return STATUS_UNSUCCESSFUL;
        }
    }
}

}  // namespace

// Passes a power request the machine does not handle straight down, releasing the
// power manager to send the next one. PASSIVE_LEVEL.
NTSTATUS PassPowerDown(DeviceContext *dc, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(dc->LowerDevice, irp);
}

// The IRP_MJ_POWER entry. Set-power and query-power requests get a transaction and run
// through the machine (and return STATUS_PENDING); all others go straight down. A
// request arriving after the removal has begun completes at once with
// STATUS_DELETE_PENDING. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceContext *dc = ContextOf(deviceObject);
    NTSTATUS status = RemoveLockAcquire(&dc->RemoveLock, irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, status, 0);
    }

    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        PowerTransaction *t = static_cast<PowerTransaction *>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerTransaction), TQ_POOL_TAG));
        if (t == nullptr) {
            PoStartNextPowerIrp(irp);
            status = CompleteRequestStatus(irp, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            RtlZeroMemory(t, sizeof(PowerTransaction));
            t->Device = dc;
            t->Irp = irp;
            status = RunPowerMachine(t, PE_ARRIVED);
        }
    } else {
        status = PassPowerDown(dc, irp);
    }

    RemoveLockRelease(&dc->RemoveLock, irp);
    return status;
}
