// The card taken away from a running driver, in manual time: a device power-down stops the
// acquisition and silences the bridge before the card loses power; a card that is gone or
// powered down reads all ones and the interrupt routine leaves a shared line it did not
// raise to the device that did; the requests that follow fail cleanly.
#include "support/driver_fixture.h"
#include "support/shared_line_neighbour.h"

#include <atomic>
#include <functional>
#include <thread>

#include "plat/hw.h"
#include "plat/pnp.h"
#include "sim/machine.h"
#include "sim/resource_layout.h"

namespace tqtest {
namespace {

class CardGoneTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
        event_ = NewEvent();
        ASSERT_EQ(Start(StartRecord(4, 1000, 2, 4, 0, 0, false, event_)), STATUS_SUCCESS);
        Ticks(12);  // the first buffer is full
        ASSERT_EQ(QueryBuf(), 1);
    }
    void TearDown() override
    {
        if (neighbour_ != nullptr)
            IoDisconnectInterrupt(neighbour_);
        DriverTest::TearDown();
    }

    PDEVICE_OBJECT Pdo() const { return Dc()->LowerDevice; }
    sim::CardHost &Host() { return sim::CurrentMachine()->Host(); }

    void ConnectNeighbour()
    {
        gNeighbourServed.store(0);
        gNeighbourRaised.store(false);
        ASSERT_EQ(IoConnectInterrupt(&neighbour_, NeighbourService, nullptr, nullptr, sim::kDefaultInterruptVector,
                                     static_cast<KIRQL>(sim::kDefaultInterruptIrql),
                                     static_cast<KIRQL>(sim::kDefaultInterruptIrql), LevelSensitive, TRUE, 1, FALSE),
                  STATUS_SUCCESS);
    }
    // The neighbour raises the shared line; its interrupt is taken at once.
    void NeighbourRaises()
    {
        gNeighbourRaised.store(true);
        plat::SetInterruptLine(sim::kDefaultInterruptVector, true);
    }
    ULONG ReadPort(ULONG code, ULONG offset, ULONG base)
    {
        ULONG record[2] = {base + offset, 0};
        EXPECT_EQ(Ioctl(code, record, 2, record, 4), STATUS_SUCCESS);
        return record[0];
    }

    HANDLE event_ = nullptr;
    PKINTERRUPT neighbour_ = nullptr;
};

TEST_F(CardGoneTest, PowerDownStopsTheAcquisitionAndSilencesTheBridgeBeforeTheCardLosesPower)
{
    std::vector<uint8_t> out;
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 22), STATUS_UNSUCCESSFUL);  // LastError 113, kept
    // What the card shows when the power-down reaches the bus, before the bus takes its power.
    std::uint32_t intCsrAtBus = 0;
    bool counterRunning = true, runningAtBus = true;
    plat::SetBusRequestHook(Pdo(), [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_POWER || sp->Parameters.Power.Type != DevicePowerState)
            return;
        intCsrAtBus = Card().PeekIntCsr(plat::Now());
        counterRunning = Card().Counter(0).Running();
        runningAtBus = Dc()->Running != 0;
    });
    ASSERT_EQ(plat::PowerSendDevice(Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    plat::SetBusRequestHook(Pdo(), nullptr);
    EXPECT_FALSE(runningAtBus);
    EXPECT_FALSE(counterRunning) << "counter 0 halted as by IOCTL_STOP";
    EXPECT_EQ(intCsrAtBus & (INTCSR_PCI_ENABLE | INTCSR_LINT1_ENABLE | INTCSR_LINT2_ENABLE), 0u);
    EXPECT_EQ(Dc()->UserEvent, nullptr);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_SNAPSHOT_MODE);
    EXPECT_EQ(Dc()->DevicePower, PowerDeviceD3);

    // Powered down, the card answers nothing.
    EXPECT_EQ(ReadPort(IOCTL_IN_DWORD, BRIDGE_INTCSR, Dc()->BridgeBase), 0xFFFFFFFFu);
    EXPECT_EQ(ReadPort(IOCTL_IN_BYTE, BOARD_STATUS, Dc()->BoardBase) & 0xFF, 0xFFu);

    // After the wake the application finds its acquisition stopped, and may start another.
    ASSERT_EQ(plat::PowerSendDevice(Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_RUNNING);
    EXPECT_EQ(Stop(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_RUNNING);
    ASSERT_EQ(Start(StartRecord(4, 1000, 2, 4, 0, 0, false, event_)), STATUS_SUCCESS);
    Ticks(12);
    EXPECT_EQ(QueryBuf(), 1);
    EXPECT_EQ(Stop(), STATUS_SUCCESS);
}

// A waiting request of our own whose completion runs `then`: the power-down completes it in
// its own thread once the acquisition is stopped and before the request goes down, which is
// where a start from another processor may come in.
NTSTATUS NTAPI RunOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    (*static_cast<std::function<void()> *>(context))();
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

TEST_F(CardGoneTest, AStartWhileThePowerGoesOrIsGoneIsRefusedAndTheCardTakesNothingOfIt)
{
    const TqStartRecord record = StartRecord(4, 1000, 2, 4, 0, 0, false, event_);
    NTSTATUS inWindow = STATUS_PENDING;
    LONG inWindowError = -1;
    std::function<void()> startFromAnotherThread = [&] {
        std::thread other([&] {
            inWindow = Start(record);
            inWindowError = LastError();
        });
        other.join();
    };
    ULONG value = 0;
    PIRP wait = IoAllocateIrp(Fdo()->StackSize, FALSE);
    ASSERT_NE(wait, nullptr);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(wait);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_WAIT_NOTIFY;
    sp->Parameters.DeviceIoControl.OutputBufferLength = sizeof(value);
    wait->AssociatedIrp.SystemBuffer = &value;
    IoSetCompletionRoutine(wait, RunOnCompletion, &startFromAnotherThread, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(Fdo(), wait), STATUS_PENDING);

    bool runningAtBus = true;
    plat::SetBusRequestHook(Pdo(), [&](PDEVICE_OBJECT, PIRP) { runningAtBus = Dc()->Running != 0; });
    ASSERT_EQ(plat::PowerSendDevice(Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    plat::SetBusRequestHook(Pdo(), nullptr);
    EXPECT_EQ(wait->IoStatus.Status, STATUS_CANCELLED);
    IoFreeIrp(wait);
    EXPECT_EQ(inWindow, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(inWindowError, TQ_DRV_NO_BOARD);
    EXPECT_FALSE(runningAtBus);

    // Powered down: refused as well.
    EXPECT_EQ(Start(record), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NO_BOARD);
    EXPECT_EQ(Dc()->Running, 0);

    // After the wake, which has reset the card, a start programs it whole.
    ASSERT_EQ(plat::PowerSendDevice(Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    ASSERT_EQ(Start(record), STATUS_SUCCESS);
    Ticks(12);
    EXPECT_EQ(QueryBuf(), 1);
    EXPECT_EQ(Stop(), STATUS_SUCCESS);
}

TEST_F(CardGoneTest, ASharedLineRaisedWhileTheCardIsGoneOrPoweredDownIsLeftToItsDevice)
{
    ConnectNeighbour();
    const USHORT isr = Dc()->IsrCount, idle = Dc()->IdleIsrCount;

    // The card leaves the machine; the Plug and Play manager has not noticed yet. Its
    // IntCsr reads all ones: not the card's interrupt.
    Host().SetPresent(false);
    AdvanceNs(5'000'000);  // the card's timer would have ticked five times
    NeighbourRaises();
    EXPECT_EQ(gNeighbourServed.load(), 1);
    EXPECT_EQ(Dc()->LastIntCsr, INTCSR_CARD_ABSENT);
    EXPECT_EQ(Dc()->IsrCount, isr);
    EXPECT_EQ(Dc()->IdleIsrCount, idle);
    // Requests meanwhile fail cleanly or read the floating bus; none waits for the card.
    std::vector<uint8_t> out;
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_SUCCESS);  // filled before
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_NO_DATA);
    EXPECT_EQ(ReadPort(IOCTL_IN_BYTE, BOARD_STATUS, Dc()->BoardBase) & 0xFF, 0xFFu);

    // Back, and powered down by a device set-power: the routine claims nothing and does
    // not even read the card.
    Host().SetPresent(true);
    ASSERT_EQ(plat::PowerSendDevice(Pdo(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    Dc()->LastIntCsr = 0x5A5A;
    NeighbourRaises();
    EXPECT_EQ(gNeighbourServed.load(), 2);
    EXPECT_EQ(Dc()->LastIntCsr, 0x5A5Au);
    ASSERT_EQ(plat::PowerSendDevice(Pdo(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);

    // Surprise removal: the driver lets go of the card; requests keep failing cleanly.
    ASSERT_EQ(sim::CurrentMachine()->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(Dc()->PnpState, ULONG(PNP_SURPRISE_REMOVED));
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, Dc()->BufferBytes), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_RUNNING);
    EXPECT_EQ(Start(StartRecord(4, 1000, 2, 4, 0, 0, false, event_)), STATUS_UNSUCCESSFUL);
    NeighbourRaises();
    EXPECT_EQ(gNeighbourServed.load(), 3);
}

}  // namespace
}  // namespace tqtest
