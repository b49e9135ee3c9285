#!/bin/sh
# Checks the import table of the Tq4815x kernel driver image.
#   check_driver_imports.sh OBJDUMP Tq4815x.sys [x86|x64]
# The image must be a native-subsystem image of the machine named (default x86) that
# imports only from ntoskrnl.exe and HAL.dll, and only routines on the lists below: the
# kernel and HAL interfaces the driver is built on, plus the few that this project's own
# decisions need (marked). Prints every offending import and exits 1 when there is one.
set -u
objdump=$1
image=$2
machine=${3:-x86}

# ntoskrnl.exe: the I/O manager, memory manager, executive, kernel (events, spin locks,
# DPCs, interrupts, waits, interlocked operations), object manager, power manager and
# run-time library routines the driver is built on. RtlFreeUnicodeString is left out on
# purpose: the driver has no string that an Rtl routine allocated, and freeing a pool
# block with it stops a real kernel.
kernel_allowed="
IoCreateDevice IoCreateSymbolicLink IoAttachDeviceToDeviceStack IoDetachDevice
IoDeleteDevice IoIsWdmVersionAvailable IofCallDriver IofCompleteRequest
IoConnectInterrupt IoDisconnectInterrupt IoReleaseCancelSpinLock
MmMapIoSpace MmUnmapIoSpace MmMapLockedPagesSpecifyCache
ExAllocatePoolWithTag ExFreePool ExQueueWorkItem
KeInitializeEvent KeSetEvent KeResetEvent KeClearEvent
KeInitializeSpinLock KefAcquireSpinLockAtDpcLevel KefReleaseSpinLockFromDpcLevel
KeInitializeDpc KeInsertQueueDpc KeSynchronizeExecution KeDelayExecutionThread
KeWaitForSingleObject
InterlockedIncrement InterlockedDecrement InterlockedExchange InterlockedCompareExchange
InterlockedExchangeAdd
ObReferenceObjectByHandle ExEventObjectType ObfDereferenceObject
PoCallDriver PoStartNextPowerIrp PoRequestPowerIrp PoSetPowerState
RtlInitUnicodeString RtlCopyUnicodeString
RtlConvertLongToLargeInteger swprintf
IoDeleteSymbolicLink
KeRemoveQueueDpc
ExFreePoolWithTag
KeEnterCriticalRegion KeLeaveCriticalRegion
memset memcpy
"
# The decisions' imports: IoDeleteSymbolicLink (the link goes with the device object, so
# a card added again gets it anew), KeRemoveQueueDpc (a stopped acquisition leaves no DPC
# queued to signal its released event), ExFreePoolWithTag (the unload frees the
# registry-path copy with the routine matching its allocation; RtlFreeUnicodeString
# frees only what the Rtl conversion routines allocated), MmMapLockedPagesSpecifyCache
# (what MmGetSystemAddressForMdlSafe expands to: a reader's pages are mapped with the
# form that fails rather than bug-checks), KeEnterCriticalRegion/KeLeaveCriticalRegion
# (the device's request and EEPROM locks are held where a suspended thread cannot keep
# them), memset/memcpy (the DDK's RtlZeroMemory, RtlCopyMemory and
# IoCopyCurrentIrpStackLocationToNext expand to them).

# HAL.dll: port access, spin locks, IRQL.
hal_allowed="
READ_PORT_UCHAR READ_PORT_USHORT READ_PORT_ULONG
WRITE_PORT_UCHAR WRITE_PORT_USHORT WRITE_PORT_ULONG
KfAcquireSpinLock KfReleaseSpinLock KeGetCurrentIrql
"

# x64: the same routines, but the spin locks are the kernel's (KeAcquireSpinLock is
# KeAcquireSpinLockRaiseToDpc there, the DPC-level forms are not renamed to Kef*), and
# the IRQL read and the interlocked operations are compiled inline, imported from nowhere.
x64_gone="KefAcquireSpinLockAtDpcLevel KefReleaseSpinLockFromDpcLevel KfAcquireSpinLock
KfReleaseSpinLock KeGetCurrentIrql InterlockedIncrement InterlockedDecrement
InterlockedExchange InterlockedCompareExchange InterlockedExchangeAdd"
x64_kernel_added="KeAcquireSpinLockRaiseToDpc KeReleaseSpinLock KeAcquireSpinLockAtDpcLevel
KeReleaseSpinLockFromDpcLevel"
case $machine in
x86) format=pei-i386 ;;
x64)
    format=pei-x86-64
    without() {
        for name in $1; do
            case " $(echo $2) " in *" $name "*) ;; *) echo "$name" ;; esac
        done
    }
    kernel_allowed="$(without "$kernel_allowed" "$x64_gone") $x64_kernel_added"
    hal_allowed=$(without "$hal_allowed" "$x64_gone") ;;
*)
    echo "check_driver_imports: unknown machine $machine" >&2
    exit 1 ;;
esac

if ! dump=$("$objdump" -p "$image"); then
    echo "check_driver_imports: cannot read $image" >&2
    exit 1
fi

status=0
if ! printf '%s\n' "$dump" | grep -q "file format $format\$"; then
    echo "check_driver_imports: $image is not a $machine image ($format)" >&2
    status=1
fi
if ! printf '%s\n' "$dump" | grep -q 'Subsystem.*(NT native)'; then
    echo "check_driver_imports: $image is not a native-subsystem image" >&2
    status=1
fi

# Lines "DLL Name: X" open a DLL's imports; entries are "vma hint name" lines.
imports=$(printf '%s\n' "$dump" | awk '
    /^[ \t]*DLL Name:/ { dll = tolower($3); next }
    /^[ \t]*$/          { if (dll != "") dll = ""; next }
    dll != "" && NF == 3 && $1 ~ /^[0-9a-fA-F]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }
    dll != "" && NF == 2 && $1 ~ /^[0-9a-fA-F]+$/ && $2 ~ /^[0-9]+$/ { print dll, "#" $2 }
')
if [ -z "$imports" ]; then
    echo "check_driver_imports: no imports found in $image" >&2
    exit 1
fi

in_list() {
    for allowed in $2; do
        [ "$1" = "$allowed" ] && return 0
    done
    return 1
}

count=0
while read -r dll name; do
    count=$((count + 1))
    case $dll in
    ntoskrnl.exe) list=$kernel_allowed ;;
    hal.dll)      list=$hal_allowed ;;
    *)
        echo "check_driver_imports: import from $dll is not allowed: $name" >&2
        status=1
        continue ;;
    esac
    if ! in_list "$name" "$list"; then
        echo "check_driver_imports: $dll!$name is not an allowed import" >&2
        status=1
    fi
done <<LIST
$imports
LIST

if [ $status -eq 0 ]; then
    echo "check_driver_imports: $image imports $count allowed routines from ntoskrnl.exe and HAL.dll"
fi
exit $status
