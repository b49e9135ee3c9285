// Configuration of the simulated card and machine, and the parser of its one text form.
//
// The form serves the TQ4815_SIM environment variable and the command-line tool: items
// `key=value` separated by `;`. Every item is checked; a malformed one is refused with a
// message that names the item and says what was expected (see sim/README.md for the keys).
#ifndef TQ_SIM_CONFIG_H
#define TQ_SIM_CONFIG_H

#include "sim/registers.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

inline constexpr unsigned kChannels = 32;

// What drives one analog input, in volts at the connector (before the gain).
enum class SignalKind { Dc, Sine, Square, Triangle, Sawtooth, Noise, AnalogOut0, AnalogOut1, Count };

struct SignalSpec {
    SignalKind kind = SignalKind::Dc;
    double amplitude = 0.0;  // peak for periodic waves; RMS for noise
    double frequency = 0.0;  // Hz, periodic waves only
    double offset = 0.0;     // added to every wave; the level of a dc source
};

// What the A/D high byte shows above the 12-bit code (bits 12-15 of the result).
enum class AdHighBits {
    Zero,     // nothing: bits 12-15 read 0
    Channel,  // the low four bits of the converted channel, as many such cards do
    Noise,    // bits that depend only on the seed and the conversion
};

struct CardConfig {
    std::array<SignalSpec, kChannels> channels = DefaultChannels();
    bool diLoopback = false;            // digital inputs follow the digital outputs
    std::uint8_t diLow = 0, diHigh = 0;  // otherwise: the fixed input bytes
    double rangeMin = -5.0, rangeMax = 5.0;  // input range (also the analog outputs' range)
    std::array<double, 4> gains{1.0, 2.0, 4.0, 8.0};  // factor of gain index 0..3
    bool frequencyErased = false;       // EEPROM words 58/59 erased instead of `frequency`
    float frequency = 6000000.0f;       // card frequency in EEPROM words 58/59
    std::string eepromPath;             // contents persisted here when not empty
    std::uint64_t seed = 1;             // noise seed
    VTime conversionTime = 5000;        // ns from a start to the result
    VTime eepromProgramTime = 1500000;  // ns of an EEPROM programming cycle
    std::uint32_t intCsrPowerUp = 0x102;  // local interrupt 1 edge-triggered, active high
    std::uint32_t bridgeControlPowerUp = 0;  // bits 24-27 are forced low at power-up
    bool counterOutputsHigh = true;     // the 8254's outputs before it is programmed
    AdHighBits adHigh = AdHighBits::Channel;

    static std::array<SignalSpec, kChannels> DefaultChannels();
};

// Everything TQ4815_SIM can say: the card, and how the machine around it runs.
struct SimConfig {
    CardConfig card;
    double speed = 1.0;             // real-time clock: virtual seconds per host second
    std::uint8_t wdmMajor = 1;      // version the kernel stand-in reports
    std::uint8_t wdmMinor = 0x10;   // "1.10": minor written as in the version name
    std::string layout = "default";  // resource layout by name (sim/resource_layout.h)
};

// Parses `text` item by item onto `config` (later items override earlier ones). Returns
// false with `error` naming the first malformed item and what was expected.
bool ParseSimConfig(std::string_view text, SimConfig &config, std::string &error);

}  // namespace sim

#endif
