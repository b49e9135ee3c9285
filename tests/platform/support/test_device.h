// A small simulated device for the kernel stand-in's tests (not the card): a periodic tick
// that raises an interrupt, a "conversion" that finishes a fixed time after it is started,
// and a scratch register. It keeps its ground truth (ticks, acknowledgements, accesses) for
// the tests to compare against.
//
// Registers (offsets from its port base; the same registers appear at its memory base):
//   0 read:  status, bit 0 tick pending, bit 1 conversion done
//   0 write: control, bit 0 interrupt enable, bit 1 start conversion, bit 7 acknowledge tick
//   1 read:  number of conversions finished (low byte)
//   2 write: tick period in microseconds, 16 bits (0 stops the tick)
//   4 read/write: 32-bit scratch
#ifndef TQ_TESTS_PLATFORM_TEST_DEVICE_H
#define TQ_TESTS_PLATFORM_TEST_DEVICE_H

#include <plat/hw.h>

#include <cstdint>
#include <vector>

namespace tqtest {

inline constexpr unsigned kRegStatus = 0;
inline constexpr unsigned kRegControl = 0;
inline constexpr unsigned kRegConversions = 1;
inline constexpr unsigned kRegPeriod = 2;
inline constexpr unsigned kRegScratch = 4;
inline constexpr std::uint32_t kRangeLength = 8;

inline constexpr std::uint8_t kStatusTick = 0x01;
inline constexpr std::uint8_t kStatusDone = 0x02;
inline constexpr std::uint8_t kControlEnable = 0x01;
inline constexpr std::uint8_t kControlStart = 0x02;
inline constexpr std::uint8_t kControlAck = 0x80;

inline constexpr plat::VTime kConversionTime = 5000;  // ns

class TestDevice : public plat::TimedDevice, public plat::BusDevice {
public:
    // latchedPulse: the line pulses once per tick (for latched connections) instead of
    // staying asserted while a tick is pending and interrupts are enabled (level).
    TestDevice(std::uint32_t vector, bool latchedPulse, std::uint64_t portBase, std::uint64_t memoryBase = 0);
    ~TestDevice() override;

    plat::VTime NextEventTime(plat::VTime now) override;
    void AdvanceTo(plat::VTime t) override;
    std::uint32_t BusRead(plat::Space space, std::uint64_t offset, unsigned width) override;
    void BusWrite(plat::Space space, std::uint64_t offset, unsigned width, std::uint32_t value) override;

    // Ground truth.
    std::vector<plat::VTime> tickTimes;
    std::vector<plat::VTime> accessTimes;
    unsigned acks = 0;
    unsigned conversions = 0;
    std::uint32_t scratch = 0;
    std::vector<plat::Space> accessSpaces;
    bool holdLine = false;  // a faulty device: the line stays asserted whatever is acknowledged

private:
    void UpdateLine();

    std::uint32_t vector_;
    bool latched_;
    std::uint64_t portBase_;
    std::uint64_t memoryBase_;
    bool enabled_ = false;
    bool pending_ = false;
    plat::VTime period_ = 0;
    plat::VTime nextTick_ = plat::kNever;
    plat::VTime conversionAt_ = plat::kNever;
    bool done_ = false;
};

}  // namespace tqtest

#endif
