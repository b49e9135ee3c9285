// Start / read / stop / start cycles from several threads on a real-time clock, with
// another client reprogramming the board between acquisitions: no verifier violation,
// no access to a released block (AddressSanitizer, ThreadSanitizer), and every buffer
// handed out holds each channel's data in its own slot.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "plat/kernel.h"
#include "plat/user_io.h"
#include "plat/verifier.h"
#include "sim/machine.h"

namespace {

constexpr uint8_t kCmdSetup = 2;
// Every owner scans the same number of channels, so a buffer read by one owner of an
// acquisition another owner started still has its channels in known slots.
constexpr uint16_t kChannels = 3;

// Distinct dc levels: channel c converts to about code 100 + 100·c at gain index 0.
sim::CardConfig Levels()
{
    sim::CardConfig config;
    for (unsigned c = 0; c < sim::kChannels; ++c) {
        config.channels[c] = sim::SignalSpec{};
        config.channels[c].kind = sim::SignalKind::Dc;
        config.channels[c].offset = -5.0 + (100.0 + 100.0 * c) * 10.0 / 4096.0;
    }
    return config;
}

HANDLE Open()
{
    HANDLE file = nullptr;
    EXPECT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &file), STATUS_SUCCESS);
    return file;
}

NTSTATUS Control(HANDLE file, ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen)
{
    ULONG_PTR information = 0;
    return plat::DeviceControl(file, code, const_cast<void *>(in), inLen, out, outLen, &information);
}

// A ring buffer's samples must sit in their channels' slots. The buffer was filled with
// 0xFF first: a shorter buffer (of another owner's acquisition) ends at the first 0xFFFF,
// which no sample of these three channels can be (bits 12-15 show the channel).
int MisplacedSamples(const std::vector<uint8_t> &buffer, unsigned channels)
{
    int misplaced = 0;
    const size_t samples = (buffer.size() - 2) / 2;
    for (size_t i = 0; i < samples; ++i) {
        const int word = buffer[2 + 2 * i] | buffer[3 + 2 * i] << 8;
        if (word == 0xFFFF)
            break;
        const int value = word & 0x0FFF;  // bits 12-15 are not the code
        const int level = 100 + 100 * static_cast<int>(i % channels);
        if (value < level - 3 || value > level + 3)
            ++misplaced;
    }
    return misplaced;
}

TEST(DriverConcurrency, StartReadStopCyclesFromSeveralThreadsStayConsistent)
{
    sim::MachineOptions options;
    options.clock = plat::ClockMode::RealTime;
    options.speed = 1.0;
    options.config.card = Levels();
    options.driverEntry = DriverEntry;
    std::string error;
    std::unique_ptr<sim::Machine> machine = sim::Machine::Boot(options, error);
    ASSERT_TRUE(machine) << error;
    ASSERT_TRUE(machine->Started());

    const auto duration = std::chrono::milliseconds(std::getenv("TQ_STRESS_MS") ? std::atoi(std::getenv("TQ_STRESS_MS")) : 1500);
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::atomic<int> misplaced{0}, buffersChecked{0}, starts{0};

    // Acquisition owners: start with their own shape, read, stop; a start refused because
    // another thread's acquisition runs (102) is part of the game.
    auto owner = [&](unsigned seed) {
        std::mt19937 random(seed);
        HANDLE file = Open();
        HANDLE event = nullptr;
        EXPECT_EQ(plat::CreateEventObject(FALSE, FALSE, &event), STATUS_SUCCESS);
        TqInitialRecord initial{};
        std::vector<uint8_t> out;
        while (std::chrono::steady_clock::now() < deadline) {
            Control(file, IOCTL_INITIAL, &initial, sizeof(initial), nullptr, 0);
            TqStartRecord record{};
            record.ScansPerBuffer = 2 + random() % 20;
            record.Rate = 20000 + static_cast<int32_t>(random() % 80000);
            record.EventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
            record.BufferCount = static_cast<uint16_t>(1 + random() % 4);
            record.ChannelCount = kChannels;
            record.SnapshotFlag = random() % 4 == 0;
            if (Control(file, IOCTL_START, &record, sizeof(record), nullptr, 0) == STATUS_SUCCESS) {
                ++starts;
                const ULONG bytes = 2 * record.ChannelCount * record.ScansPerBuffer + 2;
                for (int r = 0; r < 20; ++r) {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
                    if (record.SnapshotFlag) {
                        out.assign(6 + 2 * record.ChannelCount * (1 + random() % record.ScansPerBuffer), 0);
                        Control(file, IOCTL_READ_SNAPSHOT, nullptr, 0, out.data(), static_cast<ULONG>(out.size()));
                    } else {
                        out.assign(bytes, 0xFF);
                        ULONG code = random() % 2 ? IOCTL_READ_OLDEST : IOCTL_READ_LATEST;
                        if (Control(file, code, nullptr, 0, out.data(), bytes) == STATUS_SUCCESS) {
                            misplaced += MisplacedSamples(out, kChannels);
                            ++buffersChecked;
                        }
                    }
                }
            }
            Control(file, IOCTL_STOP, nullptr, 0, nullptr, 0);
        }
        plat::CloseHandle(event);
        plat::CloseHandle(file);
    };

    // Readers on their own handles: any reader at any time, with any output length.
    auto reader = [&](unsigned seed) {
        std::mt19937 random(seed);
        HANDLE file = Open();
        std::vector<uint8_t> out;
        const ULONG codes[] = {IOCTL_QUERY_BUF, IOCTL_READ_OLDEST, IOCTL_READ_LATEST, IOCTL_READ_SNAPSHOT};
        while (std::chrono::steady_clock::now() < deadline) {
            out.assign(random() % 400, 0);
            Control(file, codes[random() % 4], nullptr, 0, out.data(), static_cast<ULONG>(out.size()));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 100));
        }
        plat::CloseHandle(file);
    };

    // Another client sets the board up between acquisitions, with channel counts the
    // running acquisition's buffers were not laid out for (gain 0, as the owners use).
    auto setup = [&](unsigned seed) {
        std::mt19937 random(seed);
        HANDLE file = Open();
        uint8_t block[100];
        while (std::chrono::steady_clock::now() < deadline) {
            memset(block, 0, sizeof(block));
            block[0] = kCmdSetup;
            block[2] = static_cast<uint8_t>(random() % 40);
            Control(file, IOCTL_BOARD_COMMAND, block, sizeof(block), block, sizeof(block));
            std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 500));
        }
        plat::CloseHandle(file);
    };

    std::vector<std::thread> threads;
    threads.emplace_back(owner, 1);
    threads.emplace_back(owner, 2);
    threads.emplace_back(reader, 3);
    threads.emplace_back(reader, 4);
    threads.emplace_back(setup, 5);
    for (std::thread &t : threads)
        t.join();

    EXPECT_GT(starts.load(), 0);
    EXPECT_EQ(misplaced.load(), 0) << "over " << buffersChecked.load() << " buffers";
    machine->Shutdown();
    EXPECT_EQ(plat::PoolBlocksOutstanding(TQ_POOL_TAG), 0u);
    EXPECT_EQ(plat::VerifierViolationCount(), 0u);
    machine.reset();
    plat::ResetMachine();
}

}  // namespace
