// The whole stack for library tests: the simulated machine (card on its bus, driver
// loaded and started, manual virtual clock) booted first, then libTAVLON.so loaded so that
// its process attach opens the device. Tear-down unloads the library (its detach runs),
// checks that it left no thread behind, and shuts the machine down with the verifier's
// unload checks.
#ifndef TQ_TESTS_LIBRARY_LIBRARY_FIXTURE_H
#define TQ_TESTS_LIBRARY_LIBRARY_FIXTURE_H

#include "tavlon_module.h"
#include "tq4815_ioctl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
class Card;
}

namespace tavlon_test {

class LibraryFixture : public ::testing::Test {
protected:
    void TearDown() override;

    // Boots the machine with the card configured by `simConfig` (the TQ4815_SIM form),
    // then loads the library. False (with a test failure) if either step fails.
    bool BootAndLoad(const std::string &simConfig = "", bool realTime = false);
    // Loads the library with no device present: no machine module can be booted, so the
    // open at load fails.
    bool LoadWithoutDevice();
    bool LoadLibrary();
    // Unloads the library; false if it stayed in the process.
    bool UnloadLibrary();

    // Shuts the machine down (the verifier's unload checks run); the library must be
    // unloaded first. False if a check failed.
    bool ShutdownMachine();

    sim::Card &Card();
    // Declares card misuse the test provokes on purpose (see sim::Card::ExpectMisuse), under
    // the card's lock, so also while the clock runs in real time.
    void ExpectCardMisuse(const char *fragment);
    // What the driver's per-device record of the started device holds now (this header
    // stays free of kernel types so tests can use the Win32 API beside it).
    struct DriverState {
        int Running, Opened;
        int BufferCount, SnapshotFlag, FirstChannel, ChannelCount;
        uint32_t StartReserved;
        uint32_t BoardBase, BridgeBase;
        int IrqLevel, IsrCount, IdleIsrCount;
        int32_t OpenCount;
        int32_t LastError;
        bool HasUserEvent;
    };
    DriverState Driver();
    // A buffer-full signal that comes late: HoldUserEvent references the event the
    // running acquisition signals; SignalHeldEvent sets it (as the driver's DPC does)
    // even after a stop; ReleaseHeldEvent drops the reference.
    bool HoldUserEvent();
    void SignalHeldEvent();
    void ReleaseHeldEvent();
    // Waits (host time, generous cap) until the held event is no longer signalled: the
    // waiting notification thread took the signal. False if it stays signalled.
    bool WaitUntilHeldEventTaken();

    // Virtual time: nanoseconds since boot; moving it runs the card, interrupts and DPCs.
    uint64_t Now();
    void Advance(uint64_t ns);
    // Returns the clock to manual mode (the card can then be read directly).
    void StopRealTime();
    // Moves virtual time in small steps until the driver holds `count` unread buffers
    // (asked through the library's QueryBuf). False if that does not happen within
    // `limitNs` of virtual time.
    bool AdvanceUntilUnread(int count, uint64_t limitNs = 5'000'000'000ull);

    // The device's LastError as the driver holds it (the library's number not involved).
    int32_t DriverLastError() { return Driver().LastError; }

    // OS threads in the process now (the library's notification threads are host threads).
    static int ThreadCount();
    // Waits (host time, generous cap) until the process has at most `count` threads. A
    // thread whose end has been signalled may still be leaving the OS for a moment.
    static bool WaitForThreadCount(int count);

    // Handles open in the simulated process's one handle table now (probed by value).
    static std::vector<uintptr_t> LiveHandles();

    TavlonModule lib;
    std::vector<uintptr_t> baselineHandles_;  // before the first load
    int baselineThreads_ = 0;
    bool machineUp_ = false;
    void *heldEvent_ = nullptr;
};

// Conversion codes the card produced, in order, for matching the samples a reader returns.
struct TruthSample {
    unsigned channel;
    uint16_t code;  // the sample word as the card showed it
};
std::vector<TruthSample> CompletedConversions(const sim::Card &card);

// Index in `truth` at which `samples` (scan after scan over channels first...first+n-1)
// start, matched by code and channel; -1 if they appear nowhere.
long FindSamples(const std::vector<TruthSample> &truth, const uint16_t *samples, size_t count,
                 unsigned firstChannel, unsigned channelCount, size_t from = 0);

}  // namespace tavlon_test

#endif
