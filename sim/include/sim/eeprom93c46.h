// The bridge's serial configuration EEPROM: 64 words of 16 bits behind a Microwire
// interface (chip select, clock, data in, data out), organised and commanded like the
// 93C46 family in its 16-bit organisation.
//
// Protocol, as the chip sees its pins:
//  - Deselecting resets the interface; if a complete WRITE, ERASE, WRAL or ERAL with
//    writes enabled preceded it, the falling select starts the programming cycle.
//  - While selected, data in is sampled on each rising clock edge, at the level it had
//    before the edge: the chip needs it stable ahead of the edge, so a write that changes
//    data in and raises the clock together is a slip, and the old level is shifted in.
//    Zeros before the start bit (a 1) are ignored. Then come two opcode bits and six address bits, MSB first.
//      READ  10 aaaaaa: data out goes low (the dummy 0) with the last address bit; each
//            further rising edge puts out the next bit, bit 15 first; after bit 0 the next
//            word follows (sequential read).
//      WRITE 01 aaaaaa + 16 data bits; ERASE 11 aaaaaa;
//      EWEN  00 11xxxx, EWDS 00 00xxxx, WRAL 00 01xxxx + 16 data bits, ERAL 00 10xxxx.
//  - Writes are ignored unless enabled (EWEN); power-up is disabled.
//  - During a programming cycle the chip ignores commands (a start bit then is a slip).
//    Once a programming cycle has started, data out shows busy (0) or ready (1) while the
//    chip is selected and waiting for a start bit, until the next start bit; at any other
//    time outside a read it is not driven and reads 0, as it does deselected.
//  - Each command begins with the chip freshly selected: a start bit clocked in after a
//    complete command without a deselect between them is a slip (ignored).
#ifndef TQ_SIM_EEPROM93C46_H
#define TQ_SIM_EEPROM93C46_H

#include "sim/registers.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

inline constexpr unsigned kEepromWords = 64;
using EepromImage = std::array<std::uint16_t, kEepromWords>;

class Eeprom93C46 {
public:
    enum class Op { Read, Write, Erase, Ewen, Ewds, Wral, Eral };
    // One decoded command (ground truth).
    struct Command {
        VTime time;            // rising clock edge of the last address bit
        Op op;
        unsigned address;      // word address (0 for the 00-group commands)
        std::uint16_t data;    // data word of WRITE and WRAL
        bool programmed;       // a programming command that changed the contents
    };

    Eeprom93C46(const EepromImage &contents, VTime programTime);

    // The pins as the bridge drives them at time t. Returns a misuse note or "".
    std::string SetPins(VTime t, bool select, bool clock, bool dataIn);
    bool DataOut(VTime t) const;

    const EepromImage &Contents() const { return words_; }
    void SetWord(unsigned address, std::uint16_t value) { words_[address % kEepromWords] = value; }
    bool WriteEnabled() const { return writeEnabled_; }
    bool Busy(VTime t) const { return t < busyUntil_; }
    const std::vector<Command> &Commands() const { return commands_; }
    // Called after each programming cycle starts, with the new contents (for persistence).
    void OnProgrammed(std::function<void(const EepromImage &)> callback) { onProgrammed_ = std::move(callback); }

private:
    enum class State { Deselected, WaitStart, Command, ReadOut, WriteData, Complete };

    std::string RisingEdge(VTime t, bool dataIn);
    std::string Deselect(VTime t);
    void DecodeCommand(VTime t);

    EepromImage words_;
    VTime programTime_;
    VTime busyUntil_ = 0;
    bool writeEnabled_ = false;
    bool select_ = false, clock_ = false, dataIn_ = false;
    bool showStatus_ = false;  // a programming cycle started since the last start bit
    State state_ = State::Deselected;
    unsigned bits_ = 0;       // bits collected in the current field
    std::uint32_t shift_ = 0;  // the field being collected
    unsigned opcode_ = 0, address_ = 0;
    int readBit_ = -1;        // -1 = dummy 0 on the line, else the bit of readWord_ on the line
    std::uint16_t readWord_ = 0;
    bool pending_ = false;    // a complete programming command waits for the deselect
    Command pendingCommand_{};
    std::vector<Command> commands_;
    std::function<void(const EepromImage &)> onProgrammed_;
};

}  // namespace sim

#endif
