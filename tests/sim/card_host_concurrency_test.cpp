// The card on a real-time clock: the clock thread steps the card and takes its interrupts
// while a test thread reads its ground truth and raises local interrupt 2; the host's lock
// keeps the two apart (run under ThreadSanitizer in CI).
#include "sim/machine.h"
#include "sim/registers.h"

#include <gtest/gtest.h>
#include <plat/kernel.h>
#include <plat/verifier.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace simtest {
namespace {

constexpr std::uintptr_t kIntCsr = sim::kDefaultBridgePort + sim::bridge::kIntCsr;

std::atomic<unsigned> gTicks{0};

BOOLEAN NTAPI Service(PKINTERRUPT, PVOID)
{
    ULONG v = READ_PORT_ULONG(reinterpret_cast<PULONG>(kIntCsr));
    if (!(v & sim::bridge::kPciEnable) || !(v & (sim::bridge::kLint1Status | sim::bridge::kLint2Status)))
        return FALSE;
    // Edge-latched local interrupt 1 is cleared; local interrupt 2 (level) is disabled.
    ULONG next = v | sim::bridge::kLint1Clear;
    if (v & sim::bridge::kLint2Status)
        next &= ~sim::bridge::kLint2Enable;
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(kIntCsr), next);
    if (v & sim::bridge::kLint1Status)
        gTicks.fetch_add(1);
    return TRUE;
}

TEST(CardHostRealTime, GroundTruthIsReadableWhileTheClockRunsTheCard)
{
    plat::ResetMachine();
    sim::MachineOptions options;
    options.clock = plat::ClockMode::RealTime;
    options.speed = 1.0;
    std::string error;
    auto machine = sim::Machine::Boot(options, error);
    ASSERT_TRUE(machine) << error;
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, Service, nullptr, nullptr, sim::kDefaultInterruptVector,
                                 static_cast<KIRQL>(sim::kDefaultInterruptIrql),
                                 static_cast<KIRQL>(sim::kDefaultInterruptIrql), LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    gTicks = 0;
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(kIntCsr), 0x102 | sim::bridge::kLint1Enable | sim::bridge::kPciEnable);
    auto board = [](unsigned offset) {
        return reinterpret_cast<PUCHAR>(static_cast<std::uintptr_t>(sim::kDefaultBoardPort + offset));
    };
    WRITE_PORT_UCHAR(board(sim::board::kTimerControl), 0x36);
    WRITE_PORT_UCHAR(board(sim::board::kCounter0), 0x70);  // 6000 = 0x1770: 1 kHz
    WRITE_PORT_UCHAR(board(sim::board::kCounter0), 0x17);

    const sim::VTime loaded = plat::Now();
    // Until twenty ticks have been taken (a generous bound for slow or sanitized hosts).
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    unsigned reads = 0;
    while (gTicks.load() < 20 && std::chrono::steady_clock::now() < until) {
        machine->Host().WithCard([&](sim::Card &card) {
            EXPECT_DOUBLE_EQ(card.Counter(0).OutputFrequency(), 1000.0);
            reads += card.Trace().Entries().empty() ? 0 : 1;
        });
        WRITE_PORT_ULONG(reinterpret_cast<PULONG>(kIntCsr),
                         READ_PORT_ULONG(reinterpret_cast<PULONG>(kIntCsr)) | sim::bridge::kLint2Enable);
        machine->Host().SetLocalInterrupt2(reads % 2 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    machine->Host().SetLocalInterrupt2(false);
    WRITE_PORT_UCHAR(board(sim::board::kTimerControl), 0x34);
    IoDisconnectInterrupt(interrupt);
    const sim::VTime stopped = plat::Now();
    EXPECT_GT(reads, 0u);
    EXPECT_GE(gTicks.load(), 20u);
    // Never more ticks than whole milliseconds of virtual time ran.
    EXPECT_LE(gTicks.load(), (stopped - loaded) / 1000000 + 1);
    machine.reset();
    EXPECT_EQ(plat::VerifierViolationCount(), 0u);
    plat::ResetMachine();
}

}  // namespace
}  // namespace simtest
