// The whole-stack fixture: machine boot and shutdown, the driver's record, the virtual
// clock, and the card's ground truth. Kernel side only (no Win32 header here).
#include "library_fixture.h"

#include "device_context.h"
#include "driver.h"
#include "sim/machine.h"

#include <plat/user_io.h>
#include <plat/verifier.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <memory>
#include <thread>

namespace tavlon_test {

namespace {

std::unique_ptr<sim::Machine> g_machine;

DeviceContext *StartedContext()
{
    if (!g_machine || g_machine->Driver() == nullptr)
        return nullptr;
    PDEVICE_OBJECT fdo = g_machine->Driver()->DeviceObject;
    return fdo != nullptr ? ContextOf(fdo) : nullptr;
}

bool BootMachine(const std::string &simConfig, bool realTime, bool withDriver)
{
    sim::MachineOptions options;
    std::string error;
    if (!sim::ParseSimConfig(simConfig, options.config, error)) {
        ADD_FAILURE() << "card configuration: " << error;
        return false;
    }
    options.clock = realTime ? plat::ClockMode::RealTime : plat::ClockMode::Manual;
    options.speed = 1.0;
    options.driverEntry = withDriver ? DriverEntry : nullptr;
    g_machine = sim::Machine::Boot(options, error);
    if (!g_machine) {
        ADD_FAILURE() << "machine boot: " << error;
        return false;
    }
    if (withDriver && !g_machine->Started()) {
        ADD_FAILURE() << "device did not start: 0x" << std::hex << g_machine->StartStatus();
        return false;
    }
    return true;
}

}  // namespace

bool LibraryFixture::BootAndLoad(const std::string &simConfig, bool realTime)
{
    if (!BootMachine(simConfig, realTime, true))
        return false;
    machineUp_ = true;
    return LoadLibrary();
}

bool LibraryFixture::LoadWithoutDevice()
{
    // A machine whose card has no driver: nothing answers \\.\Tq4815x.
    if (!BootMachine("", false, false))
        return false;
    machineUp_ = true;
    return LoadLibrary();
}

bool LibraryFixture::LoadLibrary()
{
    if (baselineThreads_ == 0) {
        // A sanitizer runtime may start a helper thread at the process's first thread
        // creation; have that happen before the baseline is taken.
        static const bool warmedUp = [] {
            std::thread([] {}).join();
            return true;
        }();
        (void)warmedUp;
        baselineThreads_ = ThreadCount();
        baselineHandles_ = LiveHandles();
    }
    std::string error;
    if (!LoadTavlon(lib, error)) {
        ADD_FAILURE() << "loading the library: " << error;
        return false;
    }
    return true;
}

bool LibraryFixture::UnloadLibrary()
{
    if (lib.handle == nullptr)
        return !TavlonInProcess();
    return UnloadTavlon(lib);
}

bool LibraryFixture::ShutdownMachine()
{
    if (heldEvent_ != nullptr)
        ReleaseHeldEvent();
    const uint64_t before = plat::VerifierViolationCount();
    if (g_machine) {
        plat::SetClockMode(plat::ClockMode::Manual);
        g_machine->Shutdown();
        g_machine.reset();
    }
    machineUp_ = false;
    return plat::VerifierViolationCount() == before;
}

void LibraryFixture::TearDown()
{
    // The process detach is run directly before the unload: a notification thread that
    // ends while dlclose holds the loader's lock blocks in the platform's end-of-thread
    // work (it registers thread-local state, which needs that lock), so joining it from
    // the unload hook itself would deadlock. UnloadTest covers the hook on its own.
    if (lib.ProcessDetach != nullptr)
        lib.ProcessDetach();
    bool unloaded = UnloadLibrary();
    EXPECT_TRUE(unloaded) << "libTAVLON.so stayed in the process after its unload";
    if (unloaded && baselineThreads_ != 0) {
        EXPECT_TRUE(WaitForThreadCount(baselineThreads_)) << "the library left a thread running";
    }
    // A handle left open after the unload would keep the device from being removed, and
    // the machine's shutdown would wait for it for ever: report it, then close it.
    if (unloaded && machineUp_) {
        for (uintptr_t handle : LiveHandles()) {
            if (std::find(baselineHandles_.begin(), baselineHandles_.end(), handle) != baselineHandles_.end())
                continue;
            ADD_FAILURE() << "the library left handle " << handle << " open";
            plat::CloseHandle(reinterpret_cast<HANDLE>(handle));
        }
    }
    if (machineUp_ || g_machine) {
        EXPECT_TRUE(ShutdownMachine()) << "the verifier reported a violation";
    }
}

sim::Card &LibraryFixture::Card() { return g_machine->CardModel(); }

void LibraryFixture::ExpectCardMisuse(const char *fragment)
{
    g_machine->Host().WithCard([fragment](sim::Card &card) { card.ExpectMisuse(fragment); });
}

LibraryFixture::DriverState LibraryFixture::Driver()
{
    DriverState s{};
    DeviceContext *dc = StartedContext();
    if (dc == nullptr) {
        ADD_FAILURE() << "no started device";
        return s;
    }
    s.Running = dc->Running;
    s.Opened = dc->Opened;
    s.BufferCount = dc->BufferCount;
    s.SnapshotFlag = dc->SnapshotFlag;
    s.FirstChannel = dc->FirstChannel;
    s.ChannelCount = dc->ChannelCount;
    s.StartReserved = dc->StartReserved;
    s.BoardBase = dc->BoardBase;
    s.BridgeBase = dc->BridgeBase;
    s.IrqLevel = dc->IrqLevel;
    s.IsrCount = dc->IsrCount;
    s.IdleIsrCount = dc->IdleIsrCount;
    s.OpenCount = dc->OpenCount;
    s.LastError = dc->LastError;
    s.HasUserEvent = dc->UserEvent != nullptr;
    return s;
}

bool LibraryFixture::HoldUserEvent()
{
    DeviceContext *dc = StartedContext();
    if (dc == nullptr || dc->UserEvent == nullptr)
        return false;
    heldEvent_ = dc->UserEvent;
    ObfReferenceObject(heldEvent_);
    return true;
}

void LibraryFixture::SignalHeldEvent()
{
    if (heldEvent_ != nullptr)
        KeSetEvent(static_cast<PRKEVENT>(heldEvent_), IO_NO_INCREMENT, FALSE);
}

bool LibraryFixture::WaitUntilHeldEventTaken()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (heldEvent_ != nullptr && KeReadStateEvent(static_cast<PRKEVENT>(heldEvent_)) != 0) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return heldEvent_ != nullptr;
}

void LibraryFixture::ReleaseHeldEvent()
{
    if (heldEvent_ != nullptr)
        ObfDereferenceObject(heldEvent_);
    heldEvent_ = nullptr;
}

uint64_t LibraryFixture::Now() { return plat::Now(); }

void LibraryFixture::Advance(uint64_t ns) { plat::AdvanceBy(ns); }

void LibraryFixture::StopRealTime() { plat::SetClockMode(plat::ClockMode::Manual); }

bool LibraryFixture::AdvanceUntilUnread(int count, uint64_t limitNs)
{
    const uint64_t step = 20'000;  // 20 µs: finer than any conversion period used here
    const uint64_t end = plat::Now() + limitNs;
    while (plat::Now() < end) {
        if (lib.QueryBuf() >= count)
            return true;
        plat::AdvanceBy(step);
    }
    return lib.QueryBuf() >= count;
}

std::vector<uintptr_t> LibraryFixture::LiveHandles()
{
    // Handles are small multiples of 4; a few thousand cover every test here.
    std::vector<uintptr_t> live;
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        PVOID object = nullptr;
        if (NT_SUCCESS(plat::ReferenceHandle(reinterpret_cast<HANDLE>(value), nullptr, &object,
                                             nullptr))) {
            ObfDereferenceObject(object);
            live.push_back(value);
        }
    }
    return live;
}

int LibraryFixture::ThreadCount()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

bool LibraryFixture::WaitForThreadCount(int count)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (ThreadCount() > count) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<TruthSample> CompletedConversions(const sim::Card &card)
{
    std::vector<TruthSample> truth;
    for (const sim::ConversionRecord &record : card.Conversions().Entries())
        if (!record.abandoned)
            truth.push_back({record.channel, record.word});  // samples are the words as read
    return truth;
}

long FindSamples(const std::vector<TruthSample> &truth, const uint16_t *samples, size_t count,
                 unsigned firstChannel, unsigned channelCount, size_t from)
{
    if (count == 0 || truth.size() < count)
        return -1;
    for (size_t start = from; start + count <= truth.size(); ++start) {
        size_t i = 0;
        for (; i < count; ++i) {
            const TruthSample &t = truth[start + i];
            if (t.code != samples[i] || t.channel != firstChannel + i % channelCount)
                break;
        }
        if (i == count)
            return static_cast<long>(start);
    }
    return -1;
}

}  // namespace tavlon_test
