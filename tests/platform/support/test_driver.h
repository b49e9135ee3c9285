// A small WDM driver for the kernel stand-in's tests (not the card's driver), written as
// driver code is: against <wdm.h> only. It creates \Device\TestDev (link \DosDevices\TestDev)
// on top of a PDO of a minimal test bus driver, and offers:
//   - create/cleanup/close that count, device control with buffered, out-direct and pending
//     requests (with a cancel routine), and a forward to the bus with a completion routine;
//   - an interrupt service routine for TestDevice that acknowledges ticks and queues the
//     device's DPC, which counts and signals an event.
// The bus driver completes every request with TdBusStatus (STATUS_SUCCESS by default).
#ifndef TQ_TESTS_PLATFORM_TEST_DRIVER_H
#define TQ_TESTS_PLATFORM_TEST_DRIVER_H

#include <wdm.h>

#define TD_IOCTL(function, method) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), (method), FILE_ANY_ACCESS)
#define TD_IOCTL_ECHO TD_IOCTL(0x900, METHOD_BUFFERED)
#define TD_IOCTL_DIRECT TD_IOCTL(0x901, METHOD_OUT_DIRECT)
#define TD_IOCTL_PEND TD_IOCTL(0x902, METHOD_BUFFERED)
#define TD_IOCTL_RELEASE TD_IOCTL(0x903, METHOD_BUFFERED)
#define TD_IOCTL_FORWARD TD_IOCTL(0x904, METHOD_BUFFERED)
#define TD_IOCTL_NEITHER TD_IOCTL(0x905, METHOD_NEITHER)
#define TD_IOCTL_IN_DIRECT TD_IOCTL(0x906, METHOD_IN_DIRECT)

// Input of TD_IOCTL_ECHO: the request is completed with Status and Information; every output
// byte i is set to Fill + i, except the last Unwritten bytes, left as they arrived.
struct TdEchoInput {
    NTSTATUS Status;
    ULONG Information;
    UCHAR Fill;
    UCHAR Unwritten;
    UCHAR Pad[2];
};

struct TdExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    KSPIN_LOCK QueueLock;
    LIST_ENTRY Queue;          // pending TD_IOCTL_PEND requests
    PKINTERRUPT Interrupt;
    ULONG PortBase;
    KEVENT DpcEvent;           // synchronization event set by each DPC run
    volatile LONG IsrCalls;
    volatile LONG IsrClaims;
    volatile LONG DpcRuns;
    volatile LONG DpcInserted;
    KIRQL IsrIrql;
    KIRQL DpcIrql;
    volatile LONG Opens;
    volatile LONG Cleanups;
    volatile LONG Closes;
    PFILE_OBJECT LastCleanupFile;
    LONG FilledPastInput;      // TD_IOCTL_ECHO: 1 if no byte after the input arrived zero
    LONG DirectPathMapped;     // TD_IOCTL_DIRECT: 1 = MDL came mapped, 0 = MmGetSystemAddressForMdlSafe mapped it
    NTSTATUS ForwardLowerStatus;
    BOOLEAN ClaimInterrupts;   // FALSE: the ISR reports every interrupt as not its own
};

extern "C" {
NTSTATUS NTAPI TdDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI TdBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI TdAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
VOID NTAPI TdUnload(PDRIVER_OBJECT driver);
BOOLEAN NTAPI TdInterruptService(PKINTERRUPT interrupt, PVOID context);
VOID NTAPI TdDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
}

extern NTSTATUS TdBusStatus;
extern volatile LONG TdCloseCalls;  // every close the driver received, on any device

// Connects the ISR to a TestDevice at portBase (PASSIVE_LEVEL); enables its interrupt.
NTSTATUS TdConnect(TdExtension *ext, ULONG portBase, ULONG vector, KIRQL irql, KINTERRUPT_MODE mode, BOOLEAN shared);
VOID TdDisconnect(TdExtension *ext);
// Removes the device: link, detach, delete.
VOID TdRemoveDevice(TdExtension *ext);

#endif
