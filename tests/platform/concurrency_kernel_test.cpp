// Races the kernel stand-in must get right: spin locks between threads, synchronized
// routines against a service routine taken on the real-time clock thread, a cancellation
// racing the completion of the same request, and events handed between threads.
#include <plat/hw.h>
#include <plat/user_io.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/kernel_fixture.h"
#include "support/test_device.h"

namespace tqtest {
namespace {

constexpr ULONG kPort = 0x340;
constexpr ULONG kVector = 52;
constexpr KIRQL kIrql = 7;

using ConcurrencyTest = KernelTest;

TEST_F(ConcurrencyTest, SpinLocksExcludeEachOtherAcrossThreads)
{
    static KSPIN_LOCK lock;
    static long counter;
    KeInitializeSpinLock(&lock);
    counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 5000; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                long seen = counter;
                counter = seen + 1;
                KeReleaseSpinLock(&lock, irql);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, 20000);
}

// The service routine runs on the clock thread; a synchronized routine of another thread
// shares a plain (non-atomic) counter with it. The interrupt lock must keep them apart.
TEST_F(ConcurrencyTest, SynchronizedRoutinesAndTheServiceRoutineNeverOverlap)
{
    struct Shared {
        long counter = 0;
        long isrClaims = 0;
    };
    static Shared shared;
    static std::atomic<long> progress;
    shared = Shared{};
    progress = 0;
    auto device = std::make_unique<TestDevice>(kVector, false, kPort);
    PKINTERRUPT interrupt;
    ASSERT_EQ(IoConnectInterrupt(
                  &interrupt,
                  [](PKINTERRUPT, PVOID) -> BOOLEAN {
                      if (!(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(kPort + kRegStatus)) & kStatusTick)) return FALSE;
                      WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(kPort + kRegControl), kControlEnable | kControlAck);
                      shared.counter = shared.counter + 1;
                      ++shared.isrClaims;
                      ++progress;
                      return TRUE;
                  },
                  nullptr, nullptr, kVector, kIrql, kIrql, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(kPort + kRegControl), kControlEnable);
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(kPort + kRegPeriod), 20);
    plat::SetClockMode(plat::ClockMode::RealTime, 1.0);
    const long syncCalls = 3000;
    for (long i = 0; i < syncCalls; ++i)
        KeSynchronizeExecution(
            interrupt,
            [](PVOID) -> BOOLEAN {
                shared.counter = shared.counter + 1;
                return TRUE;
            },
            nullptr);
    while (progress == 0) std::this_thread::yield();
    plat::SetClockMode(plat::ClockMode::Manual);
    IoDisconnectInterrupt(interrupt);
    EXPECT_EQ(shared.counter, syncCalls + shared.isrClaims);
    EXPECT_EQ(static_cast<unsigned>(shared.isrClaims), device->acks);
}

// A post and a cancellation race for the same waiting request: it completes exactly once,
// and the post succeeds exactly when the waiter received its value.
TEST_F(ConcurrencyTest, ACancellationRacingACompletionCompletesTheRequestOnce)
{
    BuildStack();
    HANDLE waiter, poster;
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &waiter), STATUS_SUCCESS);
    ASSERT_EQ(plat::OpenDevicePath("\\\\.\\TestDev", &poster), STATUS_SUCCESS);
    int posted = 0, cancelled = 0;
    for (int round = 0; round < 200; ++round) {
        ULONG value = 0;
        ULONG_PTR info = 0;
        NTSTATUS waitStatus = STATUS_PENDING;
        std::atomic<bool> started{false};
        std::thread wait([&] {
            started = true;
            waitStatus = plat::DeviceControl(waiter, TD_IOCTL_PEND, nullptr, 0, &value, sizeof value, &info);
        });
        while (!started) std::this_thread::yield();
        for (;;) {  // until the request is queued
            KIRQL irql;
            KeAcquireSpinLock(&ext->QueueLock, &irql);
            bool queued = !IsListEmpty(&ext->Queue);
            KeReleaseSpinLock(&ext->QueueLock, irql);
            if (queued) break;
            std::this_thread::yield();
        }
        NTSTATUS postStatus = STATUS_PENDING;
        std::thread post([&] {
            ULONG v = 0x5A5A0000u + static_cast<ULONG>(round);
            ULONG_PTR i;
            postStatus = plat::DeviceControl(poster, TD_IOCTL_RELEASE, &v, sizeof v, nullptr, 0, &i);
        });
        plat::CancelFileIo(waiter, true);
        post.join();
        wait.join();
        if (waitStatus == STATUS_SUCCESS) {
            ++posted;
            EXPECT_EQ(postStatus, STATUS_SUCCESS);
            EXPECT_EQ(value, 0x5A5A0000u + static_cast<ULONG>(round));
        } else {
            ++cancelled;
            EXPECT_EQ(waitStatus, STATUS_CANCELLED);
            EXPECT_EQ(postStatus, STATUS_UNSUCCESSFUL);
        }
    }
    EXPECT_EQ(posted + cancelled, 200);
    EXPECT_EQ(ViolationCount(), 0u);
}

TEST_F(ConcurrencyTest, SynchronizationEventsHandEachSignalToOneWaiter)
{
    static KEVENT ready;
    KeInitializeEvent(&ready, SynchronizationEvent, FALSE);
    std::atomic<int> received{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < 3; ++t)
        waiters.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
                ++received;
            }
        });
    int sent = 0;
    while (received < 300) {
        if (KeReadStateEvent(&ready) == 0 && sent < 300 + 10) {
            KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
            ++sent;
        }
        std::this_thread::yield();
    }
    for (auto &t : waiters) t.join();
    EXPECT_EQ(received, 300);
}

}  // namespace
}  // namespace tqtest
