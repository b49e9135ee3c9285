// Routines of the Tq4815x driver that one file of the driver calls in another: the
// request handlers (one calling form), the remove lock, request completion, the bridge
// interrupt operations, the EEPROM routines, the pending-notification operations and the
// frame's entry points. Each routine's own comment is at its definition.
#ifndef TQ4815X_DRIVER_H
#define TQ4815X_DRIVER_H

#include "device_context.h"

// ---- Request handlers (dispatch.cpp routes to them; PASSIVE_LEVEL) -------------------
// handler(DeviceContext, InputLength, SystemBuffer, OutputLength, OutputAddress)
typedef NTSTATUS (*TqHandler)(DeviceContext *dc, ULONG inputLength, PVOID systemBuffer,
                              ULONG outputLength, PVOID outputAddress);

NTSTATUS InitialHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS StartHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
// IOCTL_START with the mode its event handle is looked up in (the request's RequestorMode).
NTSTATUS StartAcquisition(DeviceContext *dc, ULONG inLen, PVOID sysBuf, KPROCESSOR_MODE requestorMode);
NTSTATUS StopHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS QueryBufHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS ReadOldestHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS ReadLatestHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS ReadSnapshotHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
// The readers' refusals for an out-direct code, checked before the caller's pages are mapped.
NTSTATUS ReaderAccepts(DeviceContext *dc, ULONG code, ULONG outLen);
NTSTATUS BoardCommandHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS GetLastErrorHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);
NTSTATUS CardFrequencyHandler(DeviceContext *dc, ULONG inLen, PVOID sysBuf, ULONG outLen, PVOID out);

// ---- Dispatch routines and request completion (dispatch.cpp) -------------------------
extern "C" {
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp);   // pending_notify.cpp
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);       // pnp.cpp
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp);     // power.cpp
}
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS CompleteRequestStatus(PIRP irp, NTSTATUS status);

// ---- Device locks (dispatch.cpp): initialise RequestLock and EepromLock (AddDevice),
// take and drop one at PASSIVE_LEVEL.
void InitializeDeviceLocks(DeviceContext *dc);
void AcquireDeviceLock(PKEVENT lock);
void ReleaseDeviceLock(PKEVENT lock);

// ---- Remove lock (remove_lock.cpp) ------------------------------------------------------
void RemoveLockInit(TQ_REMOVE_LOCK *lock);
NTSTATUS RemoveLockAcquire(TQ_REMOVE_LOCK *lock, PVOID tag);
void RemoveLockRelease(TQ_REMOVE_LOCK *lock, PVOID tag);
void RemoveLockReleaseAndWait(TQ_REMOVE_LOCK *lock, PVOID tag);

// ---- Acquisition start/stop and the bridge interrupt register (acquisition.cpp) ---------
void LoadTimer(DeviceContext *dc);
// Removal of the device: stops a running acquisition as IOCTL_STOP would and frees the
// last buffer block, so that no pool outlives the device. PASSIVE_LEVEL.
void ReleaseAcquisition(DeviceContext *dc);
// A device power-down to deviceState (D1–D3): stops a running acquisition as IOCTL_STOP
// would, disables the bridge's interrupts and records deviceState when it has less power
// than DevicePower (TRUE then), all under the lock a start holds. PASSIVE_LEVEL.
BOOLEAN PowerDownAcquisition(DeviceContext *dc, LONG deviceState);
extern "C" {
BOOLEAN NTAPI AckBridgeInterrupt(PVOID context);        // context: DeviceContext*
BOOLEAN NTAPI EnableBridgeInterrupts(PVOID context);
BOOLEAN NTAPI ArmBridgeInterrupts(PVOID context);
BOOLEAN NTAPI DisableBridgeInterrupts(PVOID context);
}

// ---- Interrupt service and sequencer (interrupt.cpp) -----------------------------------
extern "C" {
BOOLEAN NTAPI InterruptService(PKINTERRUPT interrupt, PVOID serviceContext);
VOID NTAPI BufferReadyDpc(PKDPC dpc, PVOID deferredContext, PVOID arg1, PVOID arg2);
}
// One timer interrupt's work while an acquisition runs, and its parts (device IRQL).
void SequencerStep(DeviceContext *dc);
BOOLEAN ConversionStep(DeviceContext *dc);  // TRUE when the step completed a scan
void RingStep(DeviceContext *dc);
void SnapshotStep(DeviceContext *dc);

// ---- Board commands (board_commands.cpp) -------------------------------------------------
BOOLEAN WaitConversionDone(DeviceContext *dc);

// ---- Configuration EEPROM (eeprom.cpp) ---------------------------------------------------
void EepromReadWord(DeviceContext *dc, LONG chipType, USHORT byteAddress, PUSHORT word);
void EepromWriteWord(DeviceContext *dc, LONG chipType, USHORT byteAddress, USHORT word);
void EepromSendCommand(DeviceContext *dc, ULONG bits, CHAR bitCount);
void EepromClock(DeviceContext *dc);
void DelayMs(LONG milliseconds);

// ---- Pending notification requests (pending_notify.cpp) --------------------------------
NTSTATUS QueueNotifyWait(DeviceContext *dc, PIRP irp, PIRP *slot);
PIRP TakeNotifyWait(DeviceContext *dc, PIRP *slot);
void RejectPendingRequests(DeviceContext *dc, NTSTATUS status);
void AbortPendingRequests(DeviceContext *dc, PFILE_OBJECT fileObject);
extern "C" {
VOID NTAPI NotifyWaitCancel(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI NotifyWaitComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
}

// ---- Frame: entry, device, resources (driver_entry.cpp, resources.cpp) ---------------
extern "C" {
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
}
NTSTATUS ClaimResources(PDEVICE_OBJECT deviceObject, PCM_PARTIAL_RESOURCE_LIST rawList,
                        PCM_PARTIAL_RESOURCE_LIST translatedList);
void ReleaseResources(PDEVICE_OBJECT deviceObject);
BOOLEAN PortSpanClaimed(DeviceContext *dc, LONGLONG address, ULONG bytes);
void DeleteDevice(PDEVICE_OBJECT deviceObject);

#endif
