// The serial configuration EEPROM's pin-level state machine (see the header).
#include "sim/eeprom93c46.h"

namespace sim {

namespace {

const char *OpName(Eeprom93C46::Op op)
{
    switch (op) {
    case Eeprom93C46::Op::Read: return "READ";
    case Eeprom93C46::Op::Write: return "WRITE";
    case Eeprom93C46::Op::Erase: return "ERASE";
    case Eeprom93C46::Op::Ewen: return "EWEN";
    case Eeprom93C46::Op::Ewds: return "EWDS";
    case Eeprom93C46::Op::Wral: return "WRAL";
    case Eeprom93C46::Op::Eral: return "ERAL";
    }
    return "?";
}

}  // namespace

Eeprom93C46::Eeprom93C46(const EepromImage &contents, VTime programTime) : words_(contents), programTime_(programTime) {}

std::string Eeprom93C46::SetPins(VTime t, bool select, bool clock, bool dataIn)
{
    std::string note;
    if (!select) {
        if (select_)
            note = Deselect(t);
        select_ = false;
        clock_ = clock;
        dataIn_ = dataIn;
        return note;
    }
    if (!select_) {
        select_ = true;
        state_ = State::WaitStart;
        bits_ = 0;
        if (clock && !clock_)
            note = "EEPROM clock raised together with chip select (edge ignored)";
        clock_ = clock;
        dataIn_ = dataIn;
        return note;
    }
    if (clock && !clock_) {
        // The level set up before the edge is the one taken.
        if (dataIn != dataIn_ && state_ != State::ReadOut)
            note = std::string("EEPROM data in changed in the write that raises the clock (the old level, ") +
                   (dataIn_ ? "1" : "0") + ", is taken)";
        std::string edge = RisingEdge(t, dataIn_);
        if (note.empty())
            note = std::move(edge);
    }
    clock_ = clock;
    dataIn_ = dataIn;
    return note;
}

std::string Eeprom93C46::RisingEdge(VTime t, bool dataIn)
{
    switch (state_) {
    case State::WaitStart:
        if (!dataIn)
            return {};  // leading zeros before the start bit
        if (Busy(t))
            return "EEPROM start bit during a programming cycle (ignored)";
        showStatus_ = false;
        state_ = State::Command;
        bits_ = 0;
        shift_ = 0;
        return {};
    case State::Command:
        shift_ = (shift_ << 1) | (dataIn ? 1u : 0u);
        if (++bits_ == 8) {
            opcode_ = shift_ >> 6;
            address_ = shift_ & 0x3F;
            DecodeCommand(t);
        }
        return {};
    case State::ReadOut:
        if (readBit_ > 0) {
            --readBit_;
        } else if (readBit_ == 0) {  // sequential read: the next word follows without a dummy bit
            address_ = (address_ + 1) % kEepromWords;
            readWord_ = words_[address_];
            readBit_ = 15;
        } else {
            readBit_ = 15;
        }
        return {};
    case State::WriteData:
        shift_ = (shift_ << 1) | (dataIn ? 1u : 0u);
        if (++bits_ == 16) {
            pendingCommand_.data = static_cast<std::uint16_t>(shift_);
            pending_ = true;
            state_ = State::Complete;
        }
        return {};
    case State::Complete:
        if (dataIn)
            return std::string("EEPROM command started after a complete ") + OpName(pendingCommand_.op) +
                   " without the chip deselected between them (ignored)";
        return std::string("EEPROM clock pulse after a complete ") + OpName(pendingCommand_.op) + " (ignored)";
    case State::Deselected:
        break;
    }
    return {};
}

void Eeprom93C46::DecodeCommand(VTime t)
{
    Command cmd{t, Op::Read, address_, 0, false};
    state_ = State::Complete;
    switch (opcode_) {
    case 2:
        cmd.op = Op::Read;
        state_ = State::ReadOut;
        readWord_ = words_[address_];
        readBit_ = -1;  // the dummy 0 is on the line now
        commands_.push_back(cmd);
        return;
    case 1:
        cmd.op = Op::Write;
        state_ = State::WriteData;
        bits_ = 0;
        shift_ = 0;
        pendingCommand_ = cmd;
        return;
    case 3:
        cmd.op = Op::Erase;
        pendingCommand_ = cmd;
        pending_ = true;
        return;
    default:
        break;
    }
    cmd.address = 0;
    switch (address_ >> 4) {
    case 3:
        cmd.op = Op::Ewen;
        writeEnabled_ = true;
        pendingCommand_ = cmd;
        commands_.push_back(cmd);
        return;
    case 0:
        cmd.op = Op::Ewds;
        writeEnabled_ = false;
        pendingCommand_ = cmd;
        commands_.push_back(cmd);
        return;
    case 1:
        cmd.op = Op::Wral;
        state_ = State::WriteData;
        bits_ = 0;
        shift_ = 0;
        pendingCommand_ = cmd;
        return;
    default:
        cmd.op = Op::Eral;
        pendingCommand_ = cmd;
        pending_ = true;
        return;
    }
}

std::string Eeprom93C46::Deselect(VTime t)
{
    std::string note;
    if (state_ == State::WriteData) {
        note = std::string("EEPROM ") + OpName(pendingCommand_.op) + " abandoned after " + std::to_string(bits_) +
               " of 16 data bits";
        commands_.push_back(pendingCommand_);
    }
    if (pending_) {
        pending_ = false;
        Command cmd = pendingCommand_;
        if (writeEnabled_) {
            switch (cmd.op) {
            case Op::Write: words_[cmd.address] = cmd.data; break;
            case Op::Erase: words_[cmd.address] = 0xFFFF; break;
            case Op::Wral: words_.fill(cmd.data); break;
            default: words_.fill(0xFFFF); break;
            }
            cmd.programmed = true;
            busyUntil_ = t + programTime_;
            showStatus_ = true;
        } else {
            note = std::string("EEPROM ") + OpName(cmd.op) + " while writes are disabled (ignored)";
        }
        commands_.push_back(cmd);
        if (cmd.programmed && onProgrammed_)
            onProgrammed_(words_);
    }
    state_ = State::Deselected;
    return note;
}

bool Eeprom93C46::DataOut(VTime t) const
{
    if (!select_)
        return false;
    switch (state_) {
    case State::WaitStart:
        return showStatus_ && !Busy(t);
    case State::ReadOut:
        return readBit_ >= 0 && ((readWord_ >> readBit_) & 1) != 0;
    default:
        return false;
    }
}

}  // namespace sim
