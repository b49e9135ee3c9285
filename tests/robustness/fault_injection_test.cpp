// Injected failures through the whole life of the device: every pool allocation the
// driver and the I/O manager make for it (its registry path copy, the device object, the
// interrupt object, request packets and memory descriptor lists, the buffer block, the
// power transaction) fails in turn, once each, and so do PoRequestPowerIrp and
// IoCreateSymbolicLink. Each failure must surface as the documented result of the step
// that met it, and the machine must shut down with nothing leaked (the verifier's unload
// checks: pool, devices, links, interrupts) and no verifier violation.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "driver.h"
#include "plat/hw.h"
#include "plat/kernel.h"
#include "plat/pnp.h"
#include "plat/user_io.h"
#include "plat/verifier.h"
#include "sim/machine.h"

namespace tqrobust {
namespace {

constexpr ULONG Tag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(a) | static_cast<ULONG>(b) << 8 | static_cast<ULONG>(c) << 16 |
           static_cast<ULONG>(d) << 24;
}

// What one run of the life cycle met.
struct Outcome {
    bool failedSomewhere = false;
    uint64_t injected = 0;  // pool failures the run met
    std::string firstInjectedStep;
    std::string trail;
};

// Boot, open, Initial, ring start, a read after a few scans, stop, sleep and wake, close,
// shutdown; each step accepts its success or the failure its injected fault documents.
class LifeCycle {
public:
    explicit LifeCycle(std::string label) : label_(std::move(label)) {}

    // `arm` runs once the machine (card and bus device) is up, just before the driver is
    // loaded, added and started; the life cycle then loads, adds and starts it by hand.
    template <typename Arm>
    Outcome Run(Arm arm)
    {
        sim::MachineOptions options;
        options.clock = plat::ClockMode::Manual;
        options.driverEntry = nullptr;
        std::string error;
        std::unique_ptr<sim::Machine> machine = sim::Machine::Boot(options, error);
        if (!machine) {
            ADD_FAILURE() << label_ << ": " << error;
            return outcome_;
        }
        arm();
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS add = STATUS_UNSUCCESSFUL;
        if (Booted(machine->Pdo(), driver, add))
            Use(machine->Pdo());
        outcome_.injected = plat::PoolFailuresInjected();
        plat::ClearPoolFailures();
        if (driver != nullptr) {
            if (NT_SUCCESS(add))
                plat::PnpRemoveDevice(machine->Pdo());
            plat::UnloadDriver(driver);  // with the verifier's unload checks
        }
        machine->Shutdown();
        EXPECT_EQ(plat::PoolBlocksOutstanding(TQ_POOL_TAG), 0u) << label_ << outcome_.trail;
        EXPECT_EQ(plat::VerifierViolationCount(), 0u) << label_ << outcome_.trail;
        EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\Tq4815x"), nullptr) << label_;
        machine.reset();
        plat::ResetMachine();
        return outcome_;
    }

private:
    void Note(const char *step, NTSTATUS status)
    {
        std::ostringstream s;
        s << " " << step << "=0x" << std::hex << static_cast<uint32_t>(status);
        if (plat::PoolFailuresInjected() != 0) {
            s << "(after injection)";
            if (outcome_.firstInjectedStep.empty())
                outcome_.firstInjectedStep = step;
        }
        outcome_.trail += s.str();
        if (!NT_SUCCESS(status))
            outcome_.failedSomewhere = true;
    }

    bool Booted(PDEVICE_OBJECT pdo, PDRIVER_OBJECT &driver, NTSTATUS &add)
    {
        NTSTATUS status = plat::LoadDriver("Tq4815x", DriverEntry, &driver);
        Note("load", status);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << label_;
            EXPECT_EQ(driver, nullptr) << label_;
            return false;
        }
        add = plat::PnpAddDevice(driver, pdo);
        Note("add", add);
        if (!NT_SUCCESS(add)) {
            // The device object's pool, a link name already taken, or no stack to attach to.
            EXPECT_TRUE(add == STATUS_INSUFFICIENT_RESOURCES || add == STATUS_OBJECT_NAME_COLLISION ||
                        add == STATUS_DEVICE_REMOVED)
                << label_ << outcome_.trail;
            EXPECT_EQ(plat::FindDeviceByName(L"\\Device\\Tq4815x"), nullptr) << label_ << ": device left behind";
            return false;
        }
        status = plat::PnpStartDevice(pdo);
        Note("start", status);
        if (!NT_SUCCESS(status)) {
            // The interrupt object's pool, or the start request's own packet.
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << label_ << outcome_.trail;
            return false;
        }
        return true;
    }

    NTSTATUS Control(HANDLE file, ULONG code, void *in, ULONG inLen, void *out, ULONG outLen)
    {
        ULONG_PTR information = 0;
        return plat::DeviceControl(file, code, in, inLen, out, outLen, &information);
    }

    void Use(PDEVICE_OBJECT pdo)
    {
        HANDLE file = nullptr;
        NTSTATUS status = plat::OpenDevicePath("\\\\.\\Tq4815x", &file);
        Note("open", status);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << label_;
            return;
        }
        HANDLE event = nullptr;
        EXPECT_EQ(plat::CreateEventObject(FALSE, FALSE, &event), STATUS_SUCCESS);
        DeviceContext *dc = ContextOf(plat::FindDeviceByName(L"\\Device\\Tq4815x"));

        // Request packets may fail in the I/O manager before the driver sees them.
        auto requestFailed = [&](NTSTATUS s) { return s == STATUS_INSUFFICIENT_RESOURCES; };

        TqInitialRecord initial{};
        status = Control(file, IOCTL_INITIAL, &initial, sizeof(initial), nullptr, 0);
        Note("initial", status);
        EXPECT_TRUE(status == STATUS_SUCCESS || requestFailed(status)) << label_;
        bool running = false;
        if (status == STATUS_SUCCESS) {
            TqStartRecord record{};
            record.ScansPerBuffer = 10;
            record.Rate = 1000;
            record.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
            record.BufferCount = 4;
            record.ChannelCount = 2;
            status = Control(file, IOCTL_START, &record, sizeof(record), nullptr, 0);
            Note("start-acq", status);
            if (status == STATUS_UNSUCCESSFUL) {
                EXPECT_EQ(dc->LastError, TQ_DRV_NO_MEMORY) << label_;
                EXPECT_EQ(dc->BufferTable, nullptr) << label_;
                EXPECT_EQ(dc->Running, 0) << label_;
            } else {
                EXPECT_TRUE(status == STATUS_SUCCESS || requestFailed(status)) << label_;
            }
            running = status == STATUS_SUCCESS;
        }
        if (running) {
            plat::AdvanceBy(50'000'000);  // 50 scans at 1 kHz: the ring has full buffers
            std::vector<uint8_t> out(TqBufferBytes(2, 10));
            status = Control(file, IOCTL_READ_OLDEST, nullptr, 0, out.data(), static_cast<ULONG>(out.size()));
            Note("read", status);
            EXPECT_TRUE(status == STATUS_SUCCESS || requestFailed(status)) << label_;
            status = Control(file, IOCTL_STOP, nullptr, 0, nullptr, 0);
            Note("stop", status);
            if (requestFailed(status))  // the stop never reached the driver: send it again
                status = Control(file, IOCTL_STOP, nullptr, 0, nullptr, 0);
            EXPECT_EQ(status, STATUS_SUCCESS) << label_;
        }

        // Sleep and wake: the power transaction's pool and the device power request.
        status = plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3);
        Note("sleep", status);
        EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL)
            << label_ << outcome_.trail;
        status = plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
        Note("wake", status);
        EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL)
            << label_ << outcome_.trail;
        plat::PowerWaitIdle();

        plat::CloseHandle(event);
        status = plat::CloseHandle(file);
        Note("close", status);
        EXPECT_EQ(status, STATUS_SUCCESS) << label_;
    }

    std::string label_;
    Outcome outcome_;
};

// Fails the nth allocation of each tag in turn, for n = 1, 2, … until the life cycle
// runs through without meeting the injected failure.
TEST(FaultInjection, EveryAllocationSiteFailsInTurnWithItsDocumentedResultAndNoLeak)
{
    struct Site {
        const char *name;
        ULONG tag;
        bool driverMakesIt;  // false: the I/O manager may build it without pool
    };
    const Site sites[] = {
        {"driver pool 'Wdm '", TQ_POOL_TAG, true},
        {"device object", Tag('D', 'e', 'v', 'i'), true},
        {"interrupt object", Tag('I', 'n', 't', 'O'), true},
        {"request packet", Tag('I', 'r', 'p', ' '), false},
        {"memory descriptor list", Tag('M', 'd', 'l', ' '), false},
    };
    for (const Site &site : sites) {
        unsigned injected = 0;
        for (uint64_t n = 1; n < 200; ++n) {
            std::ostringstream label;
            label << site.name << " attempt " << n;
            LifeCycle life(label.str());
            Outcome outcome = life.Run([&] { plat::InjectPoolFailureByTag(site.tag, n); });
            // A run whose nth attempt never came has met no failure: every site is covered.
            if (outcome.injected == 0)
                break;
            // On the way back to working state the system request has already come back from
            // the lower drivers; a device power request that cannot be sent then leaves the
            // system request's own status standing.
            if (outcome.firstInjectedStep != "wake") {
                EXPECT_TRUE(outcome.failedSomewhere) << label.str() << ": an allocation failed and every step succeeded"
                                                 << outcome.trail;
            }
            ++injected;
        }
        if (site.driverMakesIt) {
            EXPECT_GT(injected, 0u) << site.name << ": no allocation with this tag was ever made";
        }
        std::cout << "[ faults ] " << site.name << ": " << injected << " sites\n";
        if (HasFailure())
            return;
    }
}

TEST(FaultInjection, PoRequestPowerIrpFailingOnSleepAndWakeLeavesNothingBehind)
{
    for (unsigned count = 1; count <= 3; ++count) {
        LifeCycle life("PoRequestPowerIrp failing " + std::to_string(count) + " times");
        // The sleep's device power request fails, and with count > 1 the wake's as well.
        Outcome outcome = life.Run([&] { plat::FailPoRequestPowerIrp(STATUS_UNSUCCESSFUL, count); });
        // Going to sleep, the device power request could not be sent: the system request
        // is completed with that failure.
        EXPECT_NE(outcome.trail.find("sleep=0xc0000001"), std::string::npos) << outcome.trail;
    }
}

TEST(FaultInjection, ATakenLinkNameFailsAddDeviceAndDeletesTheDevice)
{
    LifeCycle life("link name taken");
    Outcome outcome = life.Run([] {
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, L"\\DosDevices\\Tq4815x");
        RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    });
    EXPECT_NE(outcome.trail.find("add=0xc0000035"), std::string::npos) << outcome.trail;
}

// The bus device's stack cannot be attached to (it is being torn down): AddDevice deletes
// its device and link again and reports the device removed; nothing is left at unload.
TEST(FaultInjection, AFailedAttachFailsAddDeviceAndLeavesNoDeviceOrLink)
{
    LifeCycle life("attach failing");
    Outcome outcome = life.Run([] { plat::FailDeviceAttach(1); });
    EXPECT_NE(outcome.trail.find("add=0xc00002b6"), std::string::npos) << outcome.trail;
}

}  // namespace
}  // namespace tqrobust
