// The configuration EEPROM routines, clocked bit by bit against the card model: the
// bridge control register's trace is decoded back into the Microwire frames the chip saw
// (chip select high to low, data sampled at each rising clock edge), and the chip's own
// decoded commands and contents are the ground truth for what was read and written.
#include "support/driver_fixture.h"

#include "driver.h"
#include "plat/hw.h"

namespace tqtest {
namespace {

using sim::Window;

constexpr uint32_t kEepromLines = 0x0F000000;  // bits 24–27

// One chip-select period as the EEPROM saw it.
struct Frame {
    std::vector<int> bits;      // EE_TO_CHIP at each rising clock edge
    std::vector<uint64_t> bitTimes;
    std::vector<int> reads;     // EE_FROM_CHIP of each register read while selected

    // Bits [first, first + count) as a number, first bit most significant.
    uint32_t Value(size_t first, size_t count) const
    {
        uint32_t v = 0;
        for (size_t i = first; i < first + count; ++i)
            v = v << 1 | static_cast<uint32_t>(bits.at(i));
        return v;
    }
};

struct LineTrace {
    std::vector<Frame> frames;
    std::vector<uint32_t> writes;  // every value written to the control register
    size_t reads = 0;
};

// Decodes the control-register accesses of the bridge trace into frames.
LineTrace Decode(const std::vector<sim::RegisterAccess> &bridge)
{
    LineTrace out;
    uint32_t last = 0;
    bool selected = false;
    for (const sim::RegisterAccess &a : bridge) {
        if (a.offset != BRIDGE_CONTROL)
            continue;
        if (!a.write) {
            ++out.reads;
            if (selected)
                out.frames.back().reads.push_back((a.value & EE_FROM_CHIP) != 0);
            continue;
        }
        out.writes.push_back(a.value);
        const bool select = (a.value & EE_SELECT) != 0;
        if (select && !selected)
            out.frames.emplace_back();
        if (select && (a.value & EE_CLOCK) && !(last & EE_CLOCK)) {
            out.frames.back().bits.push_back((a.value & EE_TO_CHIP) != 0);
            out.frames.back().bitTimes.push_back(a.time);
        }
        selected = select;
        last = a.value;
    }
    return out;
}

class EepromBitsTest : public DriverTest {
protected:
    LineTrace Lines() const { return Decode(Trace(Window::Bridge)); }
    uint16_t ReadWord(LONG chip, USHORT byteAddress)
    {
        USHORT word = 0x5555;
        EepromReadWord(Dc(), chip, byteAddress, &word);
        return word;
    }
};

TEST_F(EepromBitsTest, ReadShiftsOutStartOpcodeAndWordAddressThenClocksInTheWord)
{
    // The worked example, and an odd byte address naming the same word.
    Card().SetEepromWord(58, 0xA55A);
    for (USHORT byteAddress : {116, 117}) {
        SCOPED_TRACE(byteAddress);
        Card().ClearTrace();
        EXPECT_EQ(ReadWord(0, byteAddress), 0xA55A);

        LineTrace lines = Lines();
        ASSERT_EQ(lines.frames.size(), 1u);
        const Frame &f = lines.frames[0];
        ASSERT_EQ(f.bits.size(), 9u + 16u);
        EXPECT_EQ(f.Value(0, 9), 0x1BAu);  // 1 10 111010: start, READ, word 58
        // The sixteen data clocks follow the 1 ms settling pause.
        EXPECT_GE(f.bitTimes[9] - f.bitTimes[8], 1000000u);
        ASSERT_FALSE(Card().Eeprom().Commands().empty());
        EXPECT_EQ(Card().Eeprom().Commands().back().op, sim::Eeprom93C46::Op::Read);
        EXPECT_EQ(Card().Eeprom().Commands().back().address, 58u);
        EXPECT_EQ(lines.writes.back() & kEepromLines, 0u);
    }
    Card().ClearTrace();
    EXPECT_EQ(ReadWord(0, 127), Card().EepromContents()[63]);  // last byte of the chip
    EXPECT_EQ(Lines().frames.at(0).Value(0, 9), 0x1BFu);
}

TEST_F(EepromBitsTest, LargerChipTypesSendElevenBitCommands)
{
    // The card's chip takes 9-bit commands: the two bits more run on after each command.
    Card().ExpectMisuse(sim::misuse::kEepromAfterCommand);
    for (LONG chip : {1, 2}) {
        SCOPED_TRACE(chip);
        Card().ClearTrace();
        ReadWord(chip, 2);
        LineTrace lines = Lines();
        ASSERT_EQ(lines.frames.size(), 1u);
        ASSERT_GE(lines.frames[0].bits.size(), 11u);
        EXPECT_EQ(lines.frames[0].Value(0, 11), 0x601u);

        Card().ClearTrace();
        EepromWriteWord(Dc(), chip, 6, 0x0F0F);
        lines = Lines();
        ASSERT_EQ(lines.frames.size(), 4u);
        EXPECT_EQ(lines.frames[0].Value(0, 11), 0x4C0u);  // EWEN
        EXPECT_EQ(lines.frames[1].Value(0, 11), 0x503u);  // WRITE word 3
        EXPECT_EQ(lines.frames[1].Value(11, 16), 0x0F0Fu);
        EXPECT_EQ(lines.frames[3].Value(0, 11), 0x400u);  // EWDS
    }
}

TEST_F(EepromBitsTest, UnsupportedChipTypeTouchesNothing)
{
    Card().SetEepromWord(0, 0x1234);
    Card().ClearTrace();
    EXPECT_EQ(ReadWord(3, 0), 0xFFFF);
    EepromWriteWord(Dc(), 3, 0, 0xBEEF);
    EXPECT_TRUE(Trace(Window::Bridge).empty());
    EXPECT_EQ(Card().EepromContents()[0], 0x1234);
}

TEST_F(EepromBitsTest, WordsBeyondTheChipNeverReachTheCommandBits)
{
    struct Case {
        LONG chip;
        USHORT byteAddress;
    };
    const sim::EepromImage before = Card().EepromContents();
    for (Case c : {Case{0, 128}, Case{0, 0x1FF}, Case{0, 0xFFFF}, Case{1, 512}, Case{2, 0x8000}}) {
        SCOPED_TRACE(c.byteAddress);
        Card().ClearTrace();
        EXPECT_EQ(ReadWord(c.chip, c.byteAddress), 0xFFFF);
        EepromWriteWord(Dc(), c.chip, c.byteAddress, 0);
        EXPECT_TRUE(Trace(Window::Bridge).empty());
    }
    EXPECT_EQ(Card().EepromContents(), before);
}

TEST_F(EepromBitsTest, WriteSendsEnableWriteDataThenPollsAndDisables)
{
    Card().ClearTrace();
    const uint64_t begin = plat::Now();
    EepromWriteWord(Dc(), 0, 0, 0xA5C3);
    const uint64_t end = plat::Now();

    EXPECT_EQ(Card().EepromContents()[0], 0xA5C3);
    LineTrace lines = Lines();
    ASSERT_EQ(lines.frames.size(), 4u);
    // EWEN, then WRITE with the data bits (bit 15 first) in the same frame.
    ASSERT_EQ(lines.frames[0].bits.size(), 9u);
    EXPECT_EQ(lines.frames[0].Value(0, 9), 0x130u);
    ASSERT_EQ(lines.frames[1].bits.size(), 9u + 16u);
    EXPECT_EQ(lines.frames[1].Value(0, 9), 0x140u);
    EXPECT_EQ(lines.frames[1].Value(9, 16), 0xA5C3u);
    // Deselect started programming; the reselected frame only polls, until ready. (Its
    // last read is the one the next command's deselect is built from.)
    const Frame &poll = lines.frames[2];
    EXPECT_TRUE(poll.bits.empty());
    ASSERT_GE(poll.reads.size(), 3u);
    const size_t polls = poll.reads.size() - 1;
    EXPECT_EQ(poll.reads[polls - 1], 1);
    for (size_t i = 0; i + 1 < polls; ++i)
        ASSERT_EQ(poll.reads[i], 0) << i;
    EXPECT_LT(polls, 10000u);
    ASSERT_EQ(lines.frames[3].bits.size(), 9u);
    EXPECT_EQ(lines.frames[3].Value(0, 9), 0x100u);
    EXPECT_EQ(lines.writes.back() & kEepromLines, 0u);

    // What the chip decoded: enable, one programmed write, disable.
    const auto &commands = Card().Eeprom().Commands();
    ASSERT_GE(commands.size(), 3u);
    const auto *c = &commands[commands.size() - 3];
    EXPECT_EQ(c[0].op, sim::Eeprom93C46::Op::Ewen);
    EXPECT_EQ(c[1].op, sim::Eeprom93C46::Op::Write);
    EXPECT_EQ(c[1].address, 0u);
    EXPECT_EQ(c[1].data, 0xA5C3);
    EXPECT_TRUE(c[1].programmed);
    EXPECT_EQ(c[2].op, sim::Eeprom93C46::Op::Ewds);
    EXPECT_FALSE(Card().Eeprom().WriteEnabled());
    // The final settling pause.
    EXPECT_GE(end - Trace(Window::Bridge).back().time, 1000000u);
    EXPECT_GT(end, begin);
}

TEST_F(EepromBitsTest, ReadyThatNeverRisesEndsAfterTenThousandReadsAndStillDisables)
{
    sim::CardConfig config = DistinctLevelsConfig();
    config.eepromProgramTime = 3600ull * 1000000000ull;  // an hour: never ready in this test
    Reboot(config);
    Card().ExpectMisuse(sim::misuse::kEepromBusy);  // the EWDS reaches a chip still busy

    EepromWriteWord(Dc(), 0, 10, 0x0001);
    LineTrace lines = Lines();
    ASSERT_EQ(lines.frames.size(), 4u);
    // Ten thousand polls, plus the read the EWDS command's deselect is built from.
    EXPECT_EQ(lines.frames[2].reads.size(), 10000u + 1u);
    for (int r : lines.frames[2].reads)
        ASSERT_EQ(r, 0);
    // EWDS is sent (the chip, still busy, ignores it) and the lines end low.
    EXPECT_EQ(lines.frames[3].Value(0, 9), 0x100u);
    EXPECT_EQ(lines.writes.back() & kEepromLines, 0u);
}

TEST_F(EepromBitsTest, EveryOperationKeepsTheOtherControlBitsAndEndsWithTheLinesLow)
{
    sim::CardConfig config = DistinctLevelsConfig();
    config.bridgeControlPowerUp = 0xA05A3CC3;  // bits 24–27 are forced low at power-up
    Reboot(config);
    const uint32_t others = 0xA05A3CC3 & ~kEepromLines;

    ReadWord(0, 116);
    EepromWriteWord(Dc(), 0, 20, 0x5AA5);
    ReadWord(0, 20);
    EepromClock(Dc());
    EepromSendCommand(Dc(), 0x130, 9);
    ReadWord(0, 0);  // after a command left the chip selected

    LineTrace lines = Lines();
    ASSERT_FALSE(lines.writes.empty());
    for (uint32_t v : lines.writes)
        ASSERT_EQ(v & ~kEepromLines, others) << std::hex << v;
    EXPECT_EQ(lines.writes.back() & kEepromLines, 0u);
    EXPECT_EQ(Card().PeekBridgeControl(plat::Now()), others);
}

TEST_F(EepromBitsTest, SendCommandShiftsNothingForCountsBelowOne)
{
    // The count is a signed byte: 0 and 0x81…0xFF leave nothing to shift.
    for (int count : {0, -1, -127}) {
        SCOPED_TRACE(count);
        Card().ClearTrace();
        EepromSendCommand(Dc(), 0xFFFFFFFF, static_cast<CHAR>(count));
        LineTrace lines = Lines();
        // Deselect, select, and nothing clocked.
        ASSERT_EQ(lines.writes.size(), 2u);
        EXPECT_EQ(lines.writes[0] & kEepromLines, 0u);
        EXPECT_EQ(lines.writes[1] & kEepromLines, EE_SELECT);
        ASSERT_EQ(lines.frames.size(), 1u);
        EXPECT_TRUE(lines.frames[0].bits.empty());
    }
    // A count beyond the 32 bits of the command shifts zeros first (and runs on past the
    // chip's nine bits).
    Card().ExpectMisuse(sim::misuse::kEepromAfterCommand);
    Card().ClearTrace();
    EepromSendCommand(Dc(), 0x80000001, 34);
    LineTrace lines = Lines();
    ASSERT_EQ(lines.frames.at(0).bits.size(), 34u);
    EXPECT_EQ(lines.frames[0].Value(0, 3), 0b001u);
    EXPECT_EQ(lines.frames[0].Value(31, 3), 0b001u);
}

TEST_F(EepromBitsTest, EveryWordSurvivesAWriteThenReadRoundTrip)
{
    auto pattern = [](unsigned w) { return static_cast<uint16_t>((w * 0x0401u) ^ (w & 1 ? 0xFFFF : 0x8000)); };
    for (unsigned w = 0; w < 64; ++w)
        EepromWriteWord(Dc(), 0, static_cast<USHORT>(2 * w), pattern(w));
    for (unsigned w = 0; w < 64; ++w) {
        EXPECT_EQ(Card().EepromContents()[w], pattern(w)) << w;
        EXPECT_EQ(ReadWord(0, static_cast<USHORT>(2 * w)), pattern(w)) << w;
    }
    // The chip saw no protocol slip in all of it.
    for (const sim::MisuseRecord &m : Card().Misuse().Entries())
        EXPECT_EQ(m.what.find("EEPROM"), std::string::npos) << m.what;
}

}  // namespace
}  // namespace tqtest
