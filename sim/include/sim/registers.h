// Register map of the Tq4815 as the card decodes it: offsets within the bridge's
// 128-byte local-configuration window and within the board's 16-byte window, and the
// bits of the bridge's interrupt control/status and control registers. The card model
// and its tests use these names; the driver has its own copy of the map.
#ifndef TQ_SIM_REGISTERS_H
#define TQ_SIM_REGISTERS_H

#include <cstdint>

namespace sim {

using VTime = std::uint64_t;  // virtual nanoseconds since the machine booted
inline constexpr VTime kNever = ~VTime{0};

// Address windows the card decodes. Spare windows belong to odd resource layouts: the card
// answers them like an empty bus (all ones, writes ignored) but still traces the access.
enum class Window { Bridge, Board, Spare };

inline constexpr std::uint32_t kBridgeWindowLength = 128;
inline constexpr std::uint32_t kBoardWindowLength = 16;

// ---- Board window (8-bit registers; reads and writes decode separately) --------------
namespace board {
inline constexpr std::uint32_t kAdLow = 0;          // read: latest result, bits 0-7
inline constexpr std::uint32_t kAdHigh = 1;         // read: latest result, bits 8-11, and 12-15 (`adhigh`)
inline constexpr std::uint32_t kStatus = 2;         // read: status
inline constexpr std::uint32_t kDiLow = 3;          // read: digital inputs 0-7
inline constexpr std::uint32_t kDiHigh = 4;         // read: digital inputs 8-15
inline constexpr std::uint32_t kCounter0 = 0;       // write: 8254 counter 0 count byte
inline constexpr std::uint32_t kCounter1 = 1;       // write: 8254 counter 1 count byte
inline constexpr std::uint32_t kCounter2 = 2;       // write: 8254 counter 2 count byte
inline constexpr std::uint32_t kTimerControl = 3;   // write: 8254 control word
inline constexpr std::uint32_t kDa0Low = 4;         // write: analog output 0 bits 0-7
inline constexpr std::uint32_t kDa0High = 5;        // write: analog output 0 bits 8-11
inline constexpr std::uint32_t kDa1Low = 6;         // write: analog output 1 bits 0-7
inline constexpr std::uint32_t kDa1High = 7;        // write: analog output 1 bits 8-11
inline constexpr std::uint32_t kDaLatch = 8;        // write: both analog outputs take their loaded values
inline constexpr std::uint32_t kControl = 12;       // write: channel bits 0-4, gain bits 5-6
inline constexpr std::uint32_t kDoLow = 13;         // write: digital outputs 0-7
inline constexpr std::uint32_t kDoHigh = 14;        // write: digital outputs 8-15
inline constexpr std::uint32_t kStartConversion = 15;  // write any value: start one conversion

inline constexpr std::uint8_t kStatusConversionDone = 0x02;
inline constexpr std::uint8_t kControlChannelMask = 0x1F;
inline constexpr std::uint8_t kControlGainMask = 0x60;
inline constexpr unsigned kControlGainShift = 5;

constexpr unsigned ChannelOf(std::uint8_t control) { return control & kControlChannelMask; }
constexpr unsigned GainOf(std::uint8_t control) { return (control & kControlGainMask) >> kControlGainShift; }
constexpr std::uint8_t ControlValue(unsigned channel, unsigned gain)
{
    return static_cast<std::uint8_t>((channel & kControlChannelMask) | ((gain << kControlGainShift) & kControlGainMask));
}
}  // namespace board

// ---- Bridge window (32-bit registers) ---------------------------------------------------
namespace bridge {
inline constexpr std::uint32_t kIntCsr = 0x4C;
inline constexpr std::uint32_t kControl = 0x50;

// IntCsr bits.
inline constexpr std::uint32_t kLint1Enable = 0x001;
inline constexpr std::uint32_t kLint1ActiveHigh = 0x002;
inline constexpr std::uint32_t kLint1Status = 0x004;  // read only
inline constexpr std::uint32_t kLint2Enable = 0x008;
inline constexpr std::uint32_t kLint2ActiveHigh = 0x010;
inline constexpr std::uint32_t kLint2Status = 0x020;  // read only
inline constexpr std::uint32_t kPciEnable = 0x040;
inline constexpr std::uint32_t kLint1Edge = 0x100;
inline constexpr std::uint32_t kLint2Edge = 0x200;
inline constexpr std::uint32_t kLint1Clear = 0x400;  // write 1: forget the latched edge; reads 0
inline constexpr std::uint32_t kLint2Clear = 0x800;
inline constexpr std::uint32_t kIntCsrReadOnly = kLint1Status | kLint2Status;
inline constexpr std::uint32_t kIntCsrStrobes = kLint1Clear | kLint2Clear;

// Control register bits wired to the serial EEPROM.
inline constexpr std::uint32_t kEeClock = 0x01000000;
inline constexpr std::uint32_t kEeSelect = 0x02000000;
inline constexpr std::uint32_t kEeToChip = 0x04000000;
inline constexpr std::uint32_t kEeFromChip = 0x08000000;  // read only
inline constexpr std::uint32_t kEeLines = 0x0F000000;
}  // namespace bridge

// ---- 8254 ----------------------------------------------------------------------------------
inline constexpr std::uint64_t kTimerClockHz = 6000000;

}  // namespace sim

#endif
