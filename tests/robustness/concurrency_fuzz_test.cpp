// Seeded random requests from several threads, each on its own handle, on a real-time
// clock: random codes (mostly assigned ones), random lengths and contents, mixed with
// well-formed Initial/start/read/stop sequences. Every request must come back with one of
// the documented statuses, leave LastError at a documented code, write nothing outside
// the caller's buffers and raise no verifier violation; the machine shuts down without a
// leak. A failure prints the seed: TQ_FUZZ_SEED=<seed> replays the same request streams
// (TQ_FUZZ_THREADS=1 also replays their order); TQ_FUZZ_REQUESTS sets the total.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "guarded_buffer.h"
#include "plat/kernel.h"
#include "plat/user_io.h"
#include "plat/verifier.h"
#include "request_model.h"
#include "run_switches.h"
#include "sim/machine.h"

namespace tqrobust {
namespace {

using runswitch::EnvNumber;

const uint32_t kLengths[] = {0, 1, 2, 3, 4, 7, 8, 10, 16, 31, 32, 33, 80, 99, 100, 101};

struct Shared {
    DeviceContext *dc = nullptr;
    uint16_t boardBase = 0;
    std::atomic<uint64_t> requests{0}, violations{0}, successes{0}, starts{0};
    std::atomic<bool> stop{false};
    std::mutex reportLock;
    std::vector<std::string> reports;

    void Report(const std::string &line)
    {
        std::lock_guard<std::mutex> hold(reportLock);
        if (reports.size() < 20)
            reports.push_back(line);
        stop = true;
    }
};

class Fuzzer {
public:
    Fuzzer(Shared &shared, uint64_t seed, unsigned index) : shared_(shared), random_(seed * 7919 + index), index_(index)
    {
        EXPECT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &file_), STATUS_SUCCESS);
        EXPECT_EQ(plat::CreateEventObject(FALSE, FALSE, &event_), STATUS_SUCCESS);
    }
    ~Fuzzer()
    {
        plat::CloseHandle(event_);
        plat::CloseHandle(file_);
    }

    void Run(uint64_t count)
    {
        for (uint64_t n = 0; n < count && !shared_.stop; ++n) {
            if (Pick(40) == 0)
                ValidSequence(n);
            else
                RandomRequest(n);
        }
    }

private:
    uint32_t Pick(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

    uint32_t RandomCode()
    {
        const std::vector<uint32_t> &assigned = AssignedCodes();
        uint32_t roll = Pick(10);
        uint32_t code = 0;
        if (roll < 7)
            code = assigned[Pick(static_cast<uint32_t>(assigned.size()))];
        else if (roll < 9)  // an assigned function with another method, or a neighbour
            code = TqControlCode(0x800 + Pick(0x20), Pick(4));
        else
            code = TqControlCode(0x800 + Pick(0x800), Pick(4));
        // A wait would pend until a post: the rendezvous is left to the notification tests.
        return code == IOCTL_WAIT_NOTIFY ? IOCTL_POST_NOTIFY : code;
    }

    uint32_t RandomLength()
    {
        if (Pick(4) == 0)
            return Pick(300);
        return kLengths[Pick(sizeof(kLengths) / sizeof(kLengths[0]))];
    }

    // Contents are random; half the port addresses (direct port codes, register forms)
    // are aimed into the card's board window so that the accesses that are let through
    // get exercised too. The rest name any port: the driver refuses those outside the
    // card's ranges (121).
    void Fill(uint32_t code, GuardedBuffer &in)
    {
        for (size_t i = 0; i < in.Length(); ++i)
            in.Data()[i] = static_cast<uint8_t>(random_());
        if (Pick(2) == 0)
            return;
        bool port = code >= IOCTL_IN_BYTE && code <= IOCTL_OUT_DWORD;
        if (port && in.Length() >= 2) {
            uint16_t address = static_cast<uint16_t>(shared_.boardBase + Pick(16));
            in.Data()[0] = static_cast<uint8_t>(address);
            in.Data()[1] = static_cast<uint8_t>(address >> 8);
        }
        if (code == IOCTL_BOARD_COMMAND && in.Length() >= 4 && in.Length() <= 8)
            in.Data()[2] = static_cast<uint8_t>(Pick(16)), in.Data()[3] = 0;  // register offset
        if (code == IOCTL_BOARD_COMMAND && in.Length() == 100 && in.Data()[0] <= 1)
            in.Data()[1] = static_cast<uint8_t>(Pick(8)), in.Data()[2] = static_cast<uint8_t>(Pick(8));
    }

    void Send(uint32_t code, GuardedBuffer *in, GuardedBuffer *out, uint64_t n, const char *kind)
    {
        uint32_t inLen = in ? static_cast<uint32_t>(in->Length()) : 0;
        uint32_t outLen = out ? static_cast<uint32_t>(out->Length()) : 0;
        ULONG_PTR information = 0;
        NTSTATUS status = plat::DeviceControl(file_, code, in ? in->Data() : nullptr, inLen,
                                              out ? out->Data() : nullptr, outLen, &information);
        ++shared_.requests;
        if (status == STATUS_SUCCESS)
            ++shared_.successes;
        LONG error = LoadShared(&shared_.dc->LastError);
        std::ostringstream what;
        what << "thread " << index_ << " request " << n << " (" << kind << ") code 0x" << std::hex << code
             << std::dec << " in " << inLen << " out " << outLen << ": ";
        if (!IsDocumentedStatus(status))
            Fail(what.str() + "undocumented status " + std::to_string(static_cast<uint32_t>(status)));
        if (!IsDocumentedDriverError(error))
            Fail(what.str() + "undocumented LastError " + std::to_string(error));
        if ((in && !in->GuardsIntact()) || (out && !out->GuardsIntact()))
            Fail(what.str() + "write outside the caller's buffers");
        if (status != STATUS_ACCESS_VIOLATION && information != outLen)
            Fail(what.str() + "information " + std::to_string(information));
        if (!IsAssigned(code) && status != STATUS_INVALID_DEVICE_REQUEST && status != STATUS_ACCESS_VIOLATION)
            Fail(what.str() + "unassigned code not refused");
        if (plat::VerifierViolationCount() != 0)
            Fail(what.str() + "verifier violation");
    }

    void Fail(const std::string &line)
    {
        ++shared_.violations;
        shared_.Report(line);
    }

    void RandomRequest(uint64_t n)
    {
        uint32_t code = RandomCode();
        GuardedBuffer in(RandomLength());
        GuardedBuffer out(RandomLength(), 0xA5);
        Fill(code, in);
        bool nullIn = in.Length() != 0 && Pick(50) == 0;
        bool nullOut = out.Length() != 0 && Pick(50) == 0;
        Send(code, nullIn ? nullptr : &in, nullOut ? nullptr : &out, n, "random");
    }

    // Initial, a start of a sound shape, a few reads of the right kind, a stop; another
    // thread may have its own acquisition running, which makes refusals part of the game.
    void ValidSequence(uint64_t n)
    {
        GuardedBuffer initial(sizeof(TqInitialRecord));
        Send(IOCTL_INITIAL, &initial, nullptr, n, "initial");
        TqStartRecord record{};
        record.ScansPerBuffer = 1 + Pick(40);
        record.Rate = static_cast<int32_t>(1000 + Pick(99000));
        record.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event_));
        record.BufferCount = static_cast<uint16_t>(1 + Pick(8));
        record.ChannelCount = static_cast<uint16_t>(1 + Pick(32));
        record.FirstChannel = static_cast<uint16_t>(Pick(32));
        record.GainCode = static_cast<uint16_t>(Pick(4));
        record.SnapshotFlag = Pick(4) == 0;
        GuardedBuffer start(sizeof(record));
        memcpy(start.Data(), &record, sizeof(record));
        Send(IOCTL_START, &start, nullptr, n, "start");
        ++shared_.starts;
        const uint32_t bytes = TqBufferBytes(record.ChannelCount, record.ScansPerBuffer);
        for (unsigned r = 0; r < 1 + Pick(6); ++r) {
            std::this_thread::sleep_for(std::chrono::microseconds(Pick(200)));
            if (record.SnapshotFlag) {
                GuardedBuffer out(TqSnapshotBytes(record.ChannelCount, 1 + Pick(record.ScansPerBuffer)));
                Send(IOCTL_READ_SNAPSHOT, nullptr, &out, n, "snapshot");
            } else {
                GuardedBuffer out(bytes + Pick(3) * 2);
                Send(Pick(2) ? IOCTL_READ_OLDEST : IOCTL_READ_LATEST, nullptr, &out, n, "read");
            }
        }
        Send(IOCTL_STOP, nullptr, nullptr, n, "stop");
    }

    Shared &shared_;
    std::mt19937_64 random_;
    unsigned index_;
    HANDLE file_ = nullptr;
    HANDLE event_ = nullptr;
};

// Boots the simulated machine with the driver started, its clock in real time, as the
// several threads of these tests need.
void BootRealTime(std::unique_ptr<sim::Machine> &machine)
{
    sim::MachineOptions options;
    options.clock = plat::ClockMode::RealTime;
    options.driverEntry = DriverEntry;
    std::string error;
    machine = sim::Machine::Boot(options, error);
    ASSERT_TRUE(machine) << error;
    ASSERT_TRUE(machine->Started());
}

TEST(RobustnessFuzz, RandomRequestsFromSeveralThreadsGetOnlyDocumentedAnswers)
{
    const uint64_t seed = EnvNumber("TQ_FUZZ_SEED", static_cast<uint64_t>(std::random_device{}()));
    const uint64_t total = EnvNumber("TQ_FUZZ_REQUESTS", 20000);
    const unsigned threads = static_cast<unsigned>(EnvNumber("TQ_FUZZ_THREADS", 4));
    ASSERT_GE(threads, 1u);
    SCOPED_TRACE("TQ_FUZZ_SEED=" + std::to_string(seed));
    std::cout << "[ fuzz ] TQ_FUZZ_SEED=" << seed << " requests " << total << " threads " << threads << "\n";

    std::unique_ptr<sim::Machine> machine;
    ASSERT_NO_FATAL_FAILURE(BootRealTime(machine));
    // Random requests reach the card's registers with any value: whatever it makes of them
    // is the requests' doing.
    machine->Host().WithCard([](sim::Card &card) { card.ExpectMisuse(sim::misuse::kAny); });
    PDEVICE_OBJECT fdo = plat::FindDeviceByName(L"\\Device\\Tq4815x");
    ASSERT_NE(fdo, nullptr);
    Shared shared;
    shared.dc = ContextOf(fdo);
    shared.boardBase = static_cast<uint16_t>(shared.dc->BoardBase);

    const auto began = std::chrono::steady_clock::now();
    {
        std::vector<std::unique_ptr<Fuzzer>> fuzzers;
        for (unsigned t = 0; t < threads; ++t)
            fuzzers.push_back(std::make_unique<Fuzzer>(shared, seed, t));
        std::vector<std::thread> running;
        for (unsigned t = 0; t < threads; ++t)
            running.emplace_back([&, t] { fuzzers[t]->Run(total / threads); });
        for (std::thread &thread : running)
            thread.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << "[ fuzz ] " << shared.requests << " requests (" << shared.successes << " succeeded, "
              << shared.starts << " start sequences) in " << seconds << " s\n";
    for (const std::string &line : shared.reports)
        ADD_FAILURE() << "TQ_FUZZ_SEED=" << seed << " " << line;
    EXPECT_EQ(shared.violations.load(), 0u);

    machine->Shutdown();
    EXPECT_EQ(plat::PoolBlocksOutstanding(TQ_POOL_TAG), 0u) << "TQ_FUZZ_SEED=" << seed;
    EXPECT_EQ(plat::VerifierViolationCount(), 0u) << "TQ_FUZZ_SEED=" << seed;
}

// LastError is set by every request of every thread and read back by IOCTL_GET_LAST_ERROR
// while others run: each access is one whole aligned access (ThreadSanitizer checks), so
// the value read is always a code some request set.
TEST(RobustnessFuzz, LastErrorIsReadWhileOtherThreadsSetIt)
{
    std::unique_ptr<sim::Machine> machine;
    ASSERT_NO_FATAL_FAILURE(BootRealTime(machine));
    const uint16_t port = static_cast<uint16_t>(ContextOf(plat::FindDeviceByName(L"\\Device\\Tq4815x"))->BoardBase + 3);
    std::atomic<int> odd{0};
    auto worker = [&](bool reader) {
        HANDLE file = nullptr;
        ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &file), STATUS_SUCCESS);
        for (int n = 0; n < 2000; ++n) {
            ULONG_PTR information = 0;
            if (reader) {
                LONG value = -1;
                if (plat::DeviceControl(file, IOCTL_GET_LAST_ERROR, nullptr, 0, &value, sizeof(value), &information) !=
                        STATUS_SUCCESS ||
                    (value != 0 && value != TQ_DRV_BUFFER_TOO_SHORT && value != TQ_DRV_BAD_BOARD_COMMAND))
                    ++odd;
            } else {
                uint8_t record[8] = {static_cast<uint8_t>(port), static_cast<uint8_t>(port >> 8)};
                // A sound port read (LastError 0), a short one (119), a malformed board command (114).
                plat::DeviceControl(file, IOCTL_IN_BYTE, record, 2, record, 2, &information);
                plat::DeviceControl(file, IOCTL_IN_BYTE, record, 1, record, 2, &information);
                plat::DeviceControl(file, IOCTL_BOARD_COMMAND, record, 3, record, 3, &information);
            }
        }
        plat::CloseHandle(file);
    };
    std::thread a(worker, false), b(worker, true), c(worker, false), d(worker, true);
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(odd.load(), 0);
    machine->Shutdown();
    EXPECT_EQ(plat::VerifierViolationCount(), 0u);
}

}  // namespace
}  // namespace tqrobust
