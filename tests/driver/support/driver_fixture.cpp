// The simulated machine for the driver's tests (see driver_fixture.h).
#include "support/driver_fixture.h"

#include <cstring>
#include <string>

#include "driver.h"
#include "plat/hw.h"
#include "plat/kernel.h"
#include "plat/pnp.h"
#include "plat/user_io.h"
#include "plat/verifier.h"
#include "rate_split.h"
#include "support/kept_references.h"
#include "sim/card_host.h"
#include "sim/machine.h"

namespace tqtest {

TqStartRecord StartRecord(uint32_t scansPerBuffer, int32_t rate, uint16_t channels, uint16_t buffers,
                          uint16_t firstChannel, uint16_t gain, bool snapshot, HANDLE event)
{
    TqStartRecord record{};
    record.ScansPerBuffer = scansPerBuffer;
    record.Rate = rate;
    record.Reserved8 = 0x5A5A;
    record.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
    record.GainCode = gain;
    record.BufferCount = buffers;
    record.FirstChannel = firstChannel;
    record.ChannelCount = channels;
    record.SnapshotFlag = snapshot ? 1 : 0;
    return record;
}

sim::CardConfig DistinctLevelsConfig()
{
    sim::CardConfig config;
    // Range -5 … 5 V over 4096 codes: channel c at about code 100 + 100·c.
    for (unsigned c = 0; c < sim::kChannels; ++c) {
        config.channels[c] = sim::SignalSpec{};
        config.channels[c].kind = sim::SignalKind::Dc;
        config.channels[c].offset = -5.0 + (100.0 + 100.0 * c) * 10.0 / 4096.0;
    }
    return config;
}

sim::CardConfig CountingConfig()
{
    sim::CardConfig config;
    for (unsigned c = 0; c < sim::kChannels; ++c) {
        config.channels[c] = sim::SignalSpec{};
        config.channels[c].kind = sim::SignalKind::Count;
    }
    return config;
}

struct DriverTest::Machine {
    std::unique_ptr<sim::Machine> machine;
};

DriverTest::DriverTest() = default;
DriverTest::~DriverTest() = default;

void DriverTest::SetUp()
{
    Boot(DistinctLevelsConfig());
}

void DriverTest::TearDown()
{
    Shutdown();
}

void DriverTest::Boot(const sim::CardConfig &config, uint8_t wdmMinor)
{
    machine_ = std::make_unique<Machine>();
    sim::MachineOptions options;
    options.clock = plat::ClockMode::Manual;
    options.config.card = config;
    options.config.wdmMajor = 1;
    options.config.wdmMinor = wdmMinor;
    options.driverEntry = DriverEntry;
    std::string error;
    machine_->machine = sim::Machine::Boot(options, error);
    ASSERT_TRUE(machine_->machine) << error;
    ASSERT_TRUE(machine_->machine->Started()) << std::hex << machine_->machine->StartStatus();
    card_ = &machine_->machine->CardModel();
    fdo_ = plat::FindDeviceByName(L"\\Device\\Tq4815x");
    ASSERT_NE(fdo_, nullptr);
    dc_ = ContextOf(fdo_);
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &file_, plat::FileIo::Overlapped), STATUS_SUCCESS);
    card_->ClearTrace();
    violationsAtStart_ = static_cast<unsigned>(plat::VerifierViolationCount());
}

void DriverTest::Shutdown()
{
    if (!machine_)
        return;
    for (HANDLE event : events_)
        plat::CloseHandle(event);
    events_.clear();
    if (file_ != nullptr) {
        EXPECT_EQ(plat::CloseHandle(file_), STATUS_SUCCESS);
    }
    file_ = nullptr;
    if (machine_->machine && plat::FindDeviceByName(L"\\Device\\Tq4815x") == fdo_) {
        plat::PowerWaitIdle();
        if (dc_->RemoveLock.Removing == 0 && (OldWdm != 0 || fdo_->ReferenceCount == 0))
            ExpectNoKeptRemoveLockReferences(dc_);
    }
    if (machine_->machine)
        machine_->machine->Shutdown();  // removal, unload with the verifier's unload checks
    EXPECT_EQ(plat::PoolBlocksOutstanding(TQ_POOL_TAG), 0u);
    EXPECT_EQ(plat::VerifierViolationCount(), 0u);
    machine_.reset();
    card_ = nullptr;
    dc_ = nullptr;
    fdo_ = nullptr;
    plat::ResetMachine();  // what the stand-in still keeps (freed blocks it watches, …)
}

NTSTATUS DriverTest::Ioctl(ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen, ULONG_PTR *information)
{
    ULONG_PTR info = 0;
    NTSTATUS status = plat::DeviceControl(file_, code, const_cast<void *>(in), inLen, out, outLen, &info);
    if (information != nullptr)
        *information = info;
    return status;
}

LONG DriverTest::LastError()
{
    LONG error = -1;
    EXPECT_EQ(Ioctl(IOCTL_GET_LAST_ERROR, nullptr, 0, &error, sizeof(error)), STATUS_SUCCESS);
    return error;
}

NTSTATUS DriverTest::Initial()
{
    TqInitialRecord record{};
    return Ioctl(IOCTL_INITIAL, &record, sizeof(record), nullptr, 0);
}

NTSTATUS DriverTest::Start(const TqStartRecord &record)
{
    return Ioctl(IOCTL_START, &record, sizeof(record), nullptr, 0);
}

NTSTATUS DriverTest::Stop()
{
    return Ioctl(IOCTL_STOP, nullptr, 0, nullptr, 0);
}

NTSTATUS DriverTest::Read(ULONG code, std::vector<uint8_t> &out, ULONG length)
{
    out.assign(length, 0xA5);
    return Ioctl(code, nullptr, 0, out.data(), length);
}

int DriverTest::QueryBuf()
{
    uint16_t count = 0xFFFF;
    if (Ioctl(IOCTL_QUERY_BUF, nullptr, 0, &count, sizeof(count)) != STATUS_SUCCESS)
        return -1;
    return count;
}

TqScanCounters DriverTest::ScanCounters()
{
    TqScanCounters counters{~0u, ~0u, ~0u, ~0u};
    EXPECT_EQ(Ioctl(IOCTL_BOARD_COMMAND, nullptr, 0, &counters, sizeof(counters)), STATUS_SUCCESS);
    EXPECT_EQ(counters.Zero, 0u);
    return counters;
}

HANDLE DriverTest::NewEvent()
{
    HANDLE event = nullptr;
    EXPECT_EQ(plat::CreateEventObject(FALSE, FALSE, &event), STATUS_SUCCESS);
    events_.push_back(event);
    return event;
}

bool DriverTest::EventSignalled(HANDLE event)
{
    return plat::WaitForHandle(event, 0) == STATUS_SUCCESS;
}

void DriverTest::SetLocalInterrupt2(bool asserted)
{
    machine_->machine->Host().SetLocalInterrupt2(asserted);
}

uint64_t DriverTest::TimerPeriodNs() const
{
    uint64_t divisor = static_cast<uint64_t>(TqTimerDivisor(dc_->TimerRate));
    return divisor * 1000000000ull / sim::kTimerClockHz;
}

void DriverTest::Ticks(uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i) {
        sim::VTime edge = card_->Counter(0).NextEdge(plat::Now(), true, false);
        ASSERT_NE(edge, sim::kNever) << "counter 0 is not running";
        plat::AdvanceTo(edge);
    }
}

void DriverTest::AdvanceNs(uint64_t ns)
{
    plat::AdvanceBy(ns);
}

void DriverTest::MarkConversions()
{
    conversionMark_ = card_->Conversions().Total();
}

std::vector<sim::ConversionRecord> DriverTest::ConversionsSinceMark() const
{
    std::vector<sim::ConversionRecord> records;
    for (uint64_t n = conversionMark_; n < card_->Conversions().Total(); ++n) {
        const sim::ConversionRecord *record = card_->Conversions().At(n);
        if (record != nullptr)
            records.push_back(*record);
    }
    return records;
}

std::vector<sim::RegisterAccess> DriverTest::Trace(sim::Window window) const
{
    std::vector<sim::RegisterAccess> accesses;
    for (const sim::RegisterAccess &a : card_->Trace().Entries())
        if (a.window == window)
            accesses.push_back(a);
    return accesses;
}

}  // namespace tqtest
