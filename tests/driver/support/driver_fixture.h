// The Tq4815x driver on the simulated machine, for the driver's tests: a manual virtual
// clock, the simulated card on its bus with the default resources, the driver loaded,
// added and started by the Plug and Play manager, and one handle open on \\.\Tq4815x,
// overlapped: tests send requests on it from several threads at once, a pending wait among
// them, which a Windows program can do only on an overlapped handle (each request here is
// still waited for, as DeviceIoControl followed by GetOverlappedResult does).
// Requests go as real IRPs through the I/O manager stand-in; data is checked against the
// card's ground truth (its conversion log and register trace).
#ifndef TQ_TESTS_DRIVER_FIXTURE_H
#define TQ_TESTS_DRIVER_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "driver.h"
#include "sim/card.h"

namespace tqtest {

// A StartRecord with the given shape; ring mode unless `snapshot`.
TqStartRecord StartRecord(uint32_t scansPerBuffer, int32_t rate, uint16_t channels, uint16_t buffers,
                          uint16_t firstChannel = 0, uint16_t gain = 0, bool snapshot = false,
                          HANDLE event = nullptr);

// The card's configuration with a distinct dc level on every channel (channel c at a code
// of about 100 + 100·c), so that a sample shows which channel it came from.
sim::CardConfig DistinctLevelsConfig();
// Every channel a `count` source: each conversion of a channel gives its next code.
sim::CardConfig CountingConfig();

class DriverTest : public ::testing::Test {
protected:
    DriverTest();
    ~DriverTest() override;
    void SetUp() override;
    void TearDown() override;

    // Boots the machine with this card (SetUp boots with DistinctLevelsConfig unless a
    // test calls Reboot).
    void Boot(const sim::CardConfig &config, uint8_t wdmMinor = 0x10);
    void Shutdown();
    void Reboot(const sim::CardConfig &config, uint8_t wdmMinor = 0x10)
    {
        Shutdown();
        Boot(config, wdmMinor);
    }

    // One device-control request on the open handle, as DeviceIoControl sends it.
    NTSTATUS Ioctl(ULONG code, const void *in, ULONG inLen, void *out, ULONG outLen,
                   ULONG_PTR *information = nullptr);
    LONG LastError();  // IOCTL_GET_LAST_ERROR
    NTSTATUS Initial();
    NTSTATUS Start(const TqStartRecord &record);
    NTSTATUS Stop();
    // Reads into a vector of the given byte length (filled with 0xA5 first).
    NTSTATUS Read(ULONG code, std::vector<uint8_t> &out, ULONG length);
    int QueryBuf();  // -1 when refused
    // The scan counters (IOCTL_BOARD_COMMAND, input 0, output 16); the last word is
    // expected to be 0.
    TqScanCounters ScanCounters();

    // A fresh auto-reset event handle in the simulated process (closed at tear-down).
    HANDLE NewEvent();
    bool EventSignalled(HANDLE event);  // waits 0 ms (an auto-reset event is then reset)
    // Raises or lowers the card's local interrupt 2 at the current virtual time.
    void SetLocalInterrupt2(bool asserted);

    DeviceContext *Dc() const { return dc_; }
    sim::Card &Card() const { return *card_; }
    PDEVICE_OBJECT Fdo() const { return fdo_; }

    // Virtual time. One period of counter 0 at the timer rate of the running acquisition;
    // Ticks(n) advances by n periods, so the card raises n interrupts.
    uint64_t TimerPeriodNs() const;
    void Ticks(uint64_t n);
    void AdvanceNs(uint64_t ns);

    // Ground truth: conversions the card has started since the latest MarkConversions.
    void MarkConversions();
    std::vector<sim::ConversionRecord> ConversionsSinceMark() const;
    // Register accesses since the latest ClearTrace, in the board or bridge window.
    std::vector<sim::RegisterAccess> Trace(sim::Window window) const;

    unsigned ViolationsAtStart() const { return violationsAtStart_; }

private:
    struct Machine;
    std::unique_ptr<Machine> machine_;
    sim::Card *card_ = nullptr;
    DeviceContext *dc_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    HANDLE file_ = nullptr;
    std::vector<HANDLE> events_;
    uint64_t conversionMark_ = 0;
    unsigned violationsAtStart_ = 0;
};

// Little-endian words of a byte vector.
inline uint16_t WordAt(const std::vector<uint8_t> &bytes, size_t byteOffset)
{
    return static_cast<uint16_t>(bytes.at(byteOffset) | bytes.at(byteOffset + 1) << 8);
}
inline int32_t LongAt(const std::vector<uint8_t> &bytes, size_t byteOffset)
{
    return static_cast<int32_t>(bytes.at(byteOffset) | bytes.at(byteOffset + 1) << 8 |
                                bytes.at(byteOffset + 2) << 16 | static_cast<uint32_t>(bytes.at(byteOffset + 3)) << 24);
}

}  // namespace tqtest

#endif
