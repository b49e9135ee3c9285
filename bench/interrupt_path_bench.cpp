// Interrupts per second of host CPU through the driver's acquisition path.
//
//  BM_SimulatedCard: the whole simulated path in manual virtual time: the card's 8254
//    raises local interrupt 1 at 100 kHz, the clock delivers it, the driver's interrupt
//    routine acknowledges the bridge, runs the sequencer and re-arms, the card model
//    converts; a reader takes each full buffer through IOCTL_READ_OLDEST.
//  BM_ArrayPorts: the same driver routines (interrupt routine, sequencer, bridge
//    operations, reader) against a plain array standing in for the card's registers,
//    with IntCsr always showing local interrupt 1 pending: the cost of the driver's
//    logic and the HAL port calls alone, as the baseline.
//
// items_per_second is interrupts per second; "x_realtime" is how many times faster
// than a real 100 kHz acquisition the path runs. Target: 5,000,000 interrupts per
// second on one core (50x real time) for BM_SimulatedCard.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"
#include "plat/hw.h"
#include "plat/kernel.h"
#include "plat/user_io.h"
#include "sim/machine.h"

namespace {

constexpr uint16_t kChannels = 4;
constexpr uint32_t kScansPerBuffer = 250;
constexpr uint64_t kInterruptsPerBuffer = kChannels * kScansPerBuffer;
constexpr int32_t kRate = 100000;
constexpr uint64_t kPeriodNs = 10000;  // counter 0 at 100 kHz

TqStartRecord Record(HANDLE event)
{
    TqStartRecord record{};
    record.ScansPerBuffer = kScansPerBuffer;
    record.Rate = kRate;
    record.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
    record.BufferCount = 4;
    record.ChannelCount = kChannels;
    return record;
}

void BM_SimulatedCard(benchmark::State &state)
{
    sim::MachineOptions options;
    options.clock = plat::ClockMode::Manual;
    for (unsigned c = 0; c < sim::kChannels; ++c)
        options.config.card.channels[c].kind = sim::SignalKind::Count;
    options.driverEntry = DriverEntry;
    std::string error;
    std::unique_ptr<sim::Machine> machine = sim::Machine::Boot(options, error);
    if (!machine || !machine->Started()) {
        state.SkipWithError(("machine did not boot: " + error).c_str());
        return;
    }
    machine->CardModel().SetTraceCapacity(0);
    machine->CardModel().SetConversionLogCapacity(0);
    HANDLE file = nullptr, event = nullptr;
    plat::OpenDevicePath("\\\\.\\Tq4815x", &file);
    plat::CreateEventObject(FALSE, FALSE, &event);
    ULONG_PTR information = 0;
    TqInitialRecord initial{};
    TqStartRecord record = Record(event);
    if (plat::DeviceControl(file, IOCTL_INITIAL, &initial, sizeof(initial), nullptr, 0, &information) != STATUS_SUCCESS ||
        plat::DeviceControl(file, IOCTL_START, &record, sizeof(record), nullptr, 0, &information) != STATUS_SUCCESS) {
        state.SkipWithError("the acquisition did not start");
        return;
    }
    std::vector<uint8_t> buffer(2 * kInterruptsPerBuffer + 2);
    uint64_t buffersRead = 0;
    for (auto _ : state) {
        plat::AdvanceBy(kInterruptsPerBuffer * kPeriodNs);
        if (plat::DeviceControl(file, IOCTL_READ_OLDEST, nullptr, 0, buffer.data(),
                                static_cast<ULONG>(buffer.size()), &information) == STATUS_SUCCESS)
            ++buffersRead;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kInterruptsPerBuffer));
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations() * kInterruptsPerBuffer) / kRate,
                                                      benchmark::Counter::kIsRate);
    state.counters["buffers_read"] = static_cast<double>(buffersRead);
    plat::DeviceControl(file, IOCTL_STOP, nullptr, 0, nullptr, 0, &information);
    plat::CloseHandle(event);
    plat::CloseHandle(file);
    machine->Shutdown();
    plat::ResetMachine();
}
BENCHMARK(BM_SimulatedCard)->Unit(benchmark::kMillisecond);

// A plain array standing in for the bridge and board windows. IntCsr keeps what is
// written (less the edge-clear strobes) and always shows local interrupt 1 pending.
class ArrayPorts : public plat::BusDevice {
public:
    std::uint32_t BusRead(plat::Space, std::uint64_t offset, unsigned width) override
    {
        if (offset >= kBridgeBase && offset < kBridgeBase + 128) {
            if (offset - kBridgeBase == BRIDGE_INTCSR)
                return intCsr_ | INTCSR_LINT1_STATUS;
            return 0;
        }
        (void)width;
        return board_[(offset - kBoardBase) & 15];
    }
    void BusWrite(plat::Space, std::uint64_t offset, unsigned, std::uint32_t value) override
    {
        if (offset >= kBridgeBase && offset < kBridgeBase + 128) {
            if (offset - kBridgeBase == BRIDGE_INTCSR)
                intCsr_ = value & ~(INTCSR_LINT1_CLEAR | INTCSR_LINT2_CLEAR);
            return;
        }
        board_[(offset - kBoardBase) & 15] = static_cast<std::uint8_t>(value);
        if (offset - kBoardBase == BOARD_START_CONVERSION)
            board_[BOARD_AD_LOW] = static_cast<std::uint8_t>(board_[BOARD_AD_LOW] + 1);
    }

    static constexpr std::uint64_t kBridgeBase = 0xC000;
    static constexpr std::uint64_t kBoardBase = 0xC100;

private:
    std::uint32_t intCsr_ = INTCSR_LINT1_ACTIVE_HIGH | INTCSR_LINT1_EDGE;
    std::array<std::uint8_t, 16> board_{};
};

// The interrupt routine as the platform calls it: under the interrupt's lock.
BOOLEAN NTAPI RunIsr(PVOID context)
{
    DeviceContext *dc = static_cast<DeviceContext *>(context);
    return InterruptService(dc->InterruptObject, dc);
}
BOOLEAN NTAPI NoService(PKINTERRUPT, PVOID) { return FALSE; }

void BM_ArrayPorts(benchmark::State &state)
{
    plat::ResetMachine();
    plat::SetClockMode(plat::ClockMode::Manual);
    ArrayPorts ports;
    plat::ClaimRange(plat::Space::Port, ArrayPorts::kBridgeBase, 128, &ports);
    plat::ClaimRange(plat::Space::Port, ArrayPorts::kBoardBase, 16, &ports);
    PDRIVER_OBJECT driver = plat::CreateDriverObject("ArrayBench");
    PDEVICE_OBJECT device = nullptr;
    {
        plat::DriverScope scope(driver);
        IoCreateDevice(driver, sizeof(DeviceContext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    DeviceContext *dc = ContextOf(device);
    std::memset(dc, 0, sizeof(*dc));
    dc->DeviceObject = device;
    RemoveLockInit(&dc->RemoveLock);
    InitializeDeviceLocks(dc);
    KeInitializeDpc(&device->Dpc, BufferReadyDpc, device);
    dc->PortCount = 2;
    dc->BridgeBase = ArrayPorts::kBridgeBase;
    dc->BoardBase = ArrayPorts::kBoardBase;
    dc->IrqLevel = 9;
    dc->DevicePower = PowerDeviceD0;  // a powered card: the interrupt routine claims nothing otherwise
    // An interrupt object on a line nobody drives, for KeSynchronizeExecution.
    IoConnectInterrupt(&dc->InterruptObject, NoService, dc, nullptr, 0x99, 9, 9, Latched, TRUE, 1, FALSE);

    HANDLE event = nullptr;
    plat::CreateEventObject(FALSE, FALSE, &event);
    TqInitialRecord initial{};
    TqStartRecord record = Record(event);
    NTSTATUS status = InitialHandler(dc, sizeof(initial), &initial, 0, nullptr);
    if (NT_SUCCESS(status))
        status = StartHandler(dc, sizeof(record), &record, 0, nullptr);
    if (!NT_SUCCESS(status)) {
        state.SkipWithError("the acquisition did not start");
        return;
    }
    std::vector<uint8_t> buffer(2 * kInterruptsPerBuffer + 2);
    for (auto _ : state) {
        for (uint64_t i = 0; i < kInterruptsPerBuffer; ++i)
            KeSynchronizeExecution(dc->InterruptObject, RunIsr, dc);
        ReadOldestHandler(dc, 0, nullptr, static_cast<ULONG>(buffer.size()), buffer.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kInterruptsPerBuffer));
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations() * kInterruptsPerBuffer) / kRate,
                                                      benchmark::Counter::kIsRate);
    StopHandler(dc, 0, nullptr, 0, nullptr);
    ReleaseAcquisition(dc);
    IoDisconnectInterrupt(dc->InterruptObject);
    plat::CloseHandle(event);
    IoDeleteDevice(device);
    plat::ReleaseAllRanges(&ports);
    plat::FreeDriverObject(driver);
    plat::ResetMachine();
}
BENCHMARK(BM_ArrayPorts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
