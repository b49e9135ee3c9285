// The kernel stand-in's verifier: checks of the rules a WDM driver must keep, always on.
// A violation is reported with the rule's name, the routine that broke it and a detail
// line. By default a report prints the message on stderr and aborts the process (a real
// kernel would bug-check); a test that proves a rule fires installs its own handler, which
// may return, after which the stand-in carries on as safely as it can (the offending call
// is refused or ignored, as each routine's comment says).
#ifndef TQ_PLATFORM_VERIFIER_H
#define TQ_PLATFORM_VERIFIER_H

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>

namespace plat {

struct VerifierViolation {
    std::string rule;     // one of the names in plat::rule (or a rule of the PnP/power managers)
    std::string routine;  // the routine that broke it, e.g. "IofCompleteRequest"
    std::string detail;   // what was seen
};

using VerifierHandler = std::function<void(const VerifierViolation &)>;

// Installs a handler for every later violation; an empty handler restores the default
// (print and abort). Returns the previous handler. Process-wide.
VerifierHandler SetVerifierHandler(VerifierHandler handler);
// Reports a violation (also used by the Plug and Play and power managers).
void VerifierReport(const char *rule, const char *routine, const std::string &detail);
// Number of violations reported since the last ResetMachine.
std::uint64_t VerifierViolationCount();
// Run after a driver's DriverUnload: reports pool blocks, device objects, symbolic links,
// queued DPCs and queued or running work items that the driver left behind.
void VerifierCheckUnload(PDRIVER_OBJECT driver);

// The rules this stand-in checks.
namespace rule {
inline constexpr const char *IrpCompletedTwice = "IrpCompletedTwice";
inline constexpr const char *IrpCompletedWithCancelRoutine = "IrpCompletedWithCancelRoutine";
inline constexpr const char *IrpCompletedWithStatusPending = "IrpCompletedWithStatusPending";
inline constexpr const char *IrpCompletedHoldingSpinLock = "IrpCompletedHoldingSpinLock";
inline constexpr const char *IrpCompletedAboveDispatch = "IrpCompletedAboveDispatch";
inline constexpr const char *IrpCompletedWithoutOwner = "IrpCompletedWithoutOwner";
inline constexpr const char *PendingWithoutMark = "PendingReturnedWithoutIoMarkIrpPending";
inline constexpr const char *ReturnStatusMismatch = "DispatchReturnDiffersFromIrpStatus";
inline constexpr const char *IrpNotCompletedOnReturn = "IrpNeitherCompletedForwardedNorPending";
inline constexpr const char *PendingNotPropagated = "CompletionRoutineDidNotPropagatePending";
inline constexpr const char *CallDriverAboveDispatch = "CallDriverAboveDispatch";
inline constexpr const char *IrpStackOverflow = "IrpStackLocationOverflow";
inline constexpr const char *IrpFreedInUse = "IrpFreedWhileInUse";
inline constexpr const char *UnknownIrp = "UnknownIrp";
inline constexpr const char *InformationTooLarge = "InformationExceedsOutputBuffer";
inline constexpr const char *BufferedReplyUninitialised = "BufferedReplyReturnsUninitialisedPool";
inline constexpr const char *IrqlNotRestored = "IrqlNotRestored";
inline constexpr const char *IrqlRaiseToLower = "IrqlRaiseToLower";
inline constexpr const char *IrqlLowerToHigher = "IrqlLowerToHigher";
inline constexpr const char *WaitAboveLimit = "WaitAboveIrqlLimit";
inline constexpr const char *DelayAboveLimit = "DelayAboveIrqlLimit";
inline constexpr const char *PoolAboveLimit = "PoolAllocationAboveIrqlLimit";
inline constexpr const char *DeleteDeviceAboveLimit = "IoDeleteDeviceAboveIrqlLimit";
inline constexpr const char *RoutineAboveLimit = "RoutineAboveIrqlLimit";
inline constexpr const char *SpinLockAtDpcBelowDispatch = "SpinLockAtDpcLevelBelowDispatch";
inline constexpr const char *SpinLockNotHeld = "SpinLockReleasedNotHeld";
inline constexpr const char *SpinLockAcquiredTwice = "SpinLockAcquiredTwice";
inline constexpr const char *SpinLockHeldOnReturn = "SpinLockHeldOnReturn";
inline constexpr const char *EventObjectDeleted = "SetEventOnDeletedObject";
inline constexpr const char *UnknownObject = "UnknownObject";
inline constexpr const char *PoolFreeUnknown = "PoolFreeOfUnknownBlock";
inline constexpr const char *PoolDoubleFree = "PoolFreeOfFreedBlock";
inline constexpr const char *PoolTagMismatch = "PoolFreeWithWrongTag";
inline constexpr const char *PoolFreeWrongRoutine = "PoolFreeThroughWrongRoutine";
inline constexpr const char *UnloadLeftPool = "UnloadLeftPoolBlocks";
inline constexpr const char *UnloadLeftDevices = "UnloadLeftDeviceObjects";
inline constexpr const char *UnloadLeftLinks = "UnloadLeftSymbolicLinks";
inline constexpr const char *UnloadLeftDpcs = "UnloadLeftQueuedDpcs";
inline constexpr const char *UnloadLeftWorkItems = "UnloadLeftWorkItems";
inline constexpr const char *UnloadLeftInterrupts = "UnloadLeftConnectedInterrupts";
inline constexpr const char *DeviceDeletedAttached = "DeviceDeletedWhileAttached";
inline constexpr const char *DeviceDeletedDpcQueued = "DeviceDeletedWithDpcQueued";
inline constexpr const char *InterruptStorm = "InterruptStorm";
inline constexpr const char *UnknownInterrupt = "UnknownInterruptObject";
inline constexpr const char *MappingUnknown = "UnmapOfUnknownMapping";
inline constexpr const char *MdlNotLocked = "MdlNotLocked";
inline constexpr const char *PortAddressInvalid = "PortAddressInvalid";
inline constexpr const char *RangeConflict = "AddressRangeConflict";
inline constexpr const char *ClockMisuse = "ClockMisuse";
inline constexpr const char *WorkItemRequeued = "WorkItemQueuedTwice";
inline constexpr const char *DpcInvalid = "DpcNotInitialized";
inline constexpr const char *LockOutsideCriticalRegion = "LockTakenOutsideCriticalRegion";
inline constexpr const char *CriticalRegionUnbalanced = "CriticalRegionUnbalanced";
inline constexpr const char *MapLockedPagesMayFail = "MmMapLockedPagesMayBugCheck";
}  // namespace rule

}  // namespace plat

#endif
