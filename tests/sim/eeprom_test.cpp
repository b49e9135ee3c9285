// The serial EEPROM behind the bridge control register, clocked bit by bit: the read
// command of word 58 (bits 1 10 111010), the dummy 0 and sixteen data bits, writes gated by
// EWEN/EWDS, busy/ready on data-out during the programming cycle, the default contents,
// and persistence in a file across card restarts.
#include "card_rig.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace simtest {
namespace {

using namespace sim::bridge;

// A Microwire master on the bridge control register, as a driver bit-bangs it: every
// write is a read-modify-write, data is set before the clock rises.
struct Wire : CardRig {
    using CardRig::CardRig;
    static constexpr std::uint32_t kOtherBits = 0x00C0FFEE;  // must survive every sequence

    std::uint32_t R() { return In32(kControl); }
    void W(std::uint32_t v) { Out32(kControl, v); }
    void Clock()
    {
        std::uint32_t v = R();
        W(v | kEeClock);
        W(v & ~kEeClock);
    }
    // Deselect, select, then shift `count` bits of `bits` out, MSB first.
    void Send(std::uint32_t bits, int count)
    {
        std::uint32_t base = R() & ~kEeLines;
        W(base);
        base |= kEeSelect;
        W(base);
        for (int k = count - 1; k >= 0; --k) {
            W(((bits >> k) & 1) ? base | kEeToChip : base);
            Clock();
        }
    }
    bool DataOut() { return (R() & kEeFromChip) != 0; }
    std::uint16_t ReadWord(unsigned word)
    {
        Send(0x180 | word, 9);
        W(R() | kEeToChip);
        Step(1000000);  // the 1 ms a driver sleeps
        std::uint16_t value = 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 16; ++i) {
            Clock();
            v = R();
            value = static_cast<std::uint16_t>(value << 1 | ((v & kEeFromChip) ? 1 : 0));
        }
        W(v & ~kEeLines);
        return value;
    }
    // Returns the number of status reads until ready (0 = never within `polls`).
    int WriteWord(unsigned word, std::uint16_t value, bool enable = true, int polls = 10000)
    {
        if (enable)
            Send(0x130, 9);
        Send(0x140 | word, 9);
        std::uint32_t base = (R() & 0xF2FFFFFF) | kEeSelect;
        for (int k = 15; k >= 0; --k) {
            W(((value >> k) & 1) ? base | kEeToChip : base);
            Clock();
        }
        W(base & ~kEeSelect);
        W(base | kEeSelect);
        int reads = 0, ready = 0;
        std::uint32_t p = 0;
        while (reads < polls) {
            p = R();
            ++reads;
            if (p & kEeFromChip) {
                ready = reads;
                break;
            }
        }
        if (enable)
            Send(0x100, 9);
        W(p & ~kEeLines);
        Step(1000000);
        return ready;
    }
};

TEST(Eeprom, DefaultContentsAreErasedExceptTheCardFrequencyLowWordFirst)
{
    Wire wire;
    wire.W(Wire::kOtherBits);
    EXPECT_EQ(wire.ReadWord(58), 0x1B00);  // 6000000.0f = 0x4AB71B00
    EXPECT_EQ(wire.ReadWord(59), 0x4AB7);
    for (unsigned w : {0u, 1u, 57u, 60u, 63u})
        EXPECT_EQ(wire.ReadWord(w), 0xFFFF) << "word " << w;
    EXPECT_EQ(wire.R(), Wire::kOtherBits) << "lines low and every other bit as written";

    sim::CardConfig erased;
    erased.frequencyErased = true;
    EXPECT_EQ(sim::DefaultEepromImage(erased)[58], 0xFFFF);
    EXPECT_EQ(sim::DefaultEepromImage(erased)[59], 0xFFFF);
    sim::CardConfig other;
    other.frequency = 1.5f;  // 0x3FC00000
    EXPECT_EQ(sim::DefaultEepromImage(other)[58], 0x0000);
    EXPECT_EQ(sim::DefaultEepromImage(other)[59], 0x3FC0);
}

TEST(Eeprom, ReadOfWord58ClockedBitByBit)
{
    Wire wire;
    // Start bit, READ (10), address 111010: the nine bits 1 10 111010 (0x1BA).
    const int bits[9] = {1, 1, 0, 1, 1, 1, 0, 1, 0};
    std::uint32_t base = wire.R() & ~kEeLines;
    wire.W(base);
    wire.W(base | kEeSelect);
    EXPECT_FALSE(wire.DataOut()) << "no programming cycle started: data out not driven";
    for (int i = 0; i < 9; ++i) {
        EXPECT_TRUE(wire.card.Eeprom().Commands().empty()) << "no command before the ninth bit";
        wire.W(base | kEeSelect | (bits[i] ? kEeToChip : 0));
        wire.W(base | kEeSelect | (bits[i] ? kEeToChip : 0) | kEeClock);
        if (i == 0) {
            EXPECT_FALSE(wire.DataOut()) << "after the start bit the chip's output is off";
        }
        wire.W(base | kEeSelect | (bits[i] ? kEeToChip : 0));
    }
    ASSERT_EQ(wire.card.Eeprom().Commands().size(), 1u);
    const auto &cmd = wire.card.Eeprom().Commands()[0];
    EXPECT_EQ(cmd.op, sim::Eeprom93C46::Op::Read);
    EXPECT_EQ(cmd.address, 58u);
    EXPECT_FALSE(wire.DataOut()) << "the dummy 0 follows the last address bit";

    std::uint16_t word = 0;
    for (int i = 0; i < 16; ++i) {
        wire.W(base | kEeSelect | kEeClock);  // data changes on the rising edge
        wire.W(base | kEeSelect);
        word = static_cast<std::uint16_t>(word << 1 | (wire.DataOut() ? 1 : 0));
    }
    EXPECT_EQ(word, 0x1B00);
    // Sequential read: clocking on gives word 59 without a dummy bit.
    std::uint16_t next = 0;
    for (int i = 0; i < 16; ++i) {
        wire.W(base | kEeSelect | kEeClock);
        wire.W(base | kEeSelect);
        next = static_cast<std::uint16_t>(next << 1 | (wire.DataOut() ? 1 : 0));
    }
    EXPECT_EQ(next, 0x4AB7);
    wire.W(base);
    EXPECT_FALSE(wire.DataOut()) << "deselected: data-out reads 0";
    EXPECT_TRUE(wire.card.Misuse().Entries().empty());
}

TEST(Eeprom, WriteProgramsOnDeselectThenShowsBusyUntilReady)
{
    sim::CardConfig config;
    config.eepromProgramTime = 1500000;
    Wire wire(config);
    wire.Send(0x130, 9);  // EWEN
    EXPECT_TRUE(wire.card.Eeprom().WriteEnabled());
    wire.Send(0x140 | 0, 9);  // WRITE word 0
    std::uint32_t base = (wire.R() & 0xF2FFFFFF) | kEeSelect;
    for (int k = 15; k >= 0; --k) {
        wire.W(((0xA5C3 >> k) & 1) ? base | kEeToChip : base);
        wire.Clock();
    }
    EXPECT_EQ(wire.card.EepromContents()[0], 0xFFFF) << "nothing programmed while still selected";
    wire.W(base & ~kEeSelect);
    VTime programmingStarted = wire.t;
    EXPECT_EQ(wire.card.EepromContents()[0], 0xA5C3);
    wire.W(base | kEeSelect);
    EXPECT_FALSE(wire.DataOut()) << "busy";
    wire.AdvanceTo(programmingStarted + 1500000 - 1000);
    EXPECT_FALSE(wire.DataOut());
    wire.AdvanceTo(programmingStarted + 1500000);
    EXPECT_TRUE(wire.DataOut()) << "ready once the programming time has passed";
    wire.Send(0x100, 9);  // EWDS
    EXPECT_FALSE(wire.card.Eeprom().WriteEnabled());
    wire.W(wire.R() & ~kEeLines);
    EXPECT_EQ(wire.ReadWord(0), 0xA5C3);

    const auto &cmds = wire.card.Eeprom().Commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].op, sim::Eeprom93C46::Op::Ewen);
    EXPECT_EQ(cmds[1].op, sim::Eeprom93C46::Op::Write);
    EXPECT_EQ(cmds[1].data, 0xA5C3);
    EXPECT_TRUE(cmds[1].programmed);
    EXPECT_EQ(cmds[2].op, sim::Eeprom93C46::Op::Ewds);
    EXPECT_EQ(cmds[3].op, sim::Eeprom93C46::Op::Read);
}

TEST(Eeprom, WritesAreIgnoredUnlessEnabled)
{
    Wire wire;
    EXPECT_EQ(wire.WriteWord(5, 0x1234, /*enable=*/false, 100), 0) << "no cycle: no ready/busy shown";
    EXPECT_EQ(wire.ReadWord(5), 0xFFFF);
    ASSERT_EQ(wire.card.Misuse().Entries().size(), 1u);
    EXPECT_NE(wire.card.Misuse().Entries()[0].what.find("disabled"), std::string::npos);

    EXPECT_GT(wire.WriteWord(5, 0x1234), 1) << "a real cycle polls busy first";
    EXPECT_EQ(wire.ReadWord(5), 0x1234);
    // The driver-style write ends with EWDS, so a later bare WRITE is ignored again.
    wire.WriteWord(5, 0x9999, /*enable=*/false);
    EXPECT_EQ(wire.ReadWord(5), 0x1234);
}

TEST(Eeprom, ProgrammingCycleLastsAboutOneAndAHalfMillisecondsOfPolling)
{
    Wire wire;
    int reads = wire.WriteWord(7, 0x0F0F);
    // 1.5 ms of 200 ns status reads.
    EXPECT_GE(reads, 7000);
    EXPECT_LE(reads, 7600);
    sim::CardConfig slow;
    slow.eepromProgramTime = 5000000;
    Wire never(slow);
    EXPECT_EQ(never.WriteWord(7, 0x0F0F, true, 10000), 0) << "10000 reads of 200 ns never see ready";
    EXPECT_EQ(never.card.EepromContents()[7], 0x0F0F);
    EXPECT_NE(never.card.Misuse().Entries().back().what.find("programming cycle"), std::string::npos)
        << "the EWDS sent while busy is ignored, and noted";
}

TEST(Eeprom, EraseWriteAllAndEraseAllAndAbandonedWrites)
{
    Wire wire;
    wire.WriteWord(1, 0x0000);
    wire.Send(0x130, 9);
    wire.Send(0x1C0 | 1, 9);  // ERASE word 1
    wire.W(wire.R() & ~kEeSelect);
    wire.Step(2000000);
    EXPECT_EQ(wire.card.EepromContents()[1], 0xFFFF);

    wire.Send(0x110, 9);  // WRAL
    std::uint32_t base = (wire.R() & 0xF2FFFFFF) | kEeSelect;
    for (int k = 15; k >= 0; --k) {
        wire.W(((0x5555 >> k) & 1) ? base | kEeToChip : base);
        wire.Clock();
    }
    wire.W(base & ~kEeSelect);
    wire.Step(2000000);
    for (std::uint16_t w : wire.card.EepromContents())
        ASSERT_EQ(w, 0x5555);

    wire.Send(0x140 | 3, 9);  // WRITE, deselected after 4 data bits
    for (int k = 0; k < 4; ++k) {
        wire.W(base);
        wire.Clock();
    }
    wire.W(wire.R() & ~kEeSelect);
    EXPECT_EQ(wire.card.EepromContents()[3], 0x5555);
    EXPECT_NE(wire.card.Misuse().Entries().back().what.find("abandoned"), std::string::npos);

    wire.Send(0x120, 9);  // ERAL
    wire.W(wire.R() & ~kEeSelect);
    wire.Step(2000000);
    for (std::uint16_t w : wire.card.EepromContents())
        ASSERT_EQ(w, 0xFFFF);
}

// The chip is as strict as a real one: data in is taken as it stood before the write that
// raises the clock, ready/busy shows only once a programming cycle has started, and a
// command needs the chip freshly selected. Each slip is logged and the chip does what a
// real one would.
TEST(Eeprom, SlipsAreLoggedAndTheChipActsOnThePinsAsARealOneDoes)
{
    // READ word 58 with its bits set up in the same write that raises the clock: each bit
    // is taken at the level before, so the chip sees the command one bit late (0 11011101).
    Wire late;
    std::uint32_t base = (late.R() & ~kEeLines) | kEeSelect;
    late.W(base & ~kEeSelect);
    late.W(base);
    for (int k = 8; k >= 0; --k) {
        std::uint32_t data = ((0x1BA >> k) & 1) ? kEeToChip : 0;
        late.W(base | data | kEeClock);
        late.W(base | data);
    }
    ASSERT_EQ(late.card.Eeprom().Commands().size(), 0u) << "the late start bit leaves the command one bit short";
    EXPECT_EQ(late.card.MisuseMatching("data in changed in the write that raises the clock"), 6u)
        << "one slip per change of level";

    // Ready/busy: not driven before any programming cycle, busy then ready after one, and
    // off again from the next start bit.
    Wire status;
    status.Send(0x130, 9);
    status.W(status.R() & ~kEeSelect);
    status.W(status.R() | kEeSelect);
    EXPECT_FALSE(status.DataOut()) << "EWEN programs nothing";
    EXPECT_GT(status.WriteWord(3, 0x0303, false), 1) << "busy, then ready";
    status.W(status.R() | kEeSelect);
    EXPECT_TRUE(status.DataOut()) << "still shown while waiting for a start bit";
    status.Send(0x180 | 3, 9);
    EXPECT_FALSE(status.DataOut()) << "the dummy 0 of the read";

    // A second command clocked in without a deselect is ignored.
    Wire again;
    again.Send(0x130, 9);
    std::uint32_t selected = again.R();
    for (int k = 8; k >= 0; --k) {
        again.W(((0x100 >> k) & 1) ? selected | kEeToChip : selected & ~kEeToChip);
        again.Clock();
    }
    EXPECT_TRUE(again.card.Eeprom().WriteEnabled()) << "the EWDS never reached the chip";
    EXPECT_EQ(again.card.MisuseMatching("without the chip deselected"), 1u);
}

class EepromFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = (std::filesystem::temp_directory_path() /
                 ("tq4815-eeprom-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                    .string();
        std::filesystem::remove(path_);
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::string path_;
};

TEST_F(EepromFile, AWrittenWordSurvivesARestartOfTheCard)
{
    sim::CardConfig config;
    config.eepromPath = path_;
    std::string error;
    {
        std::unique_ptr<sim::Card> first = sim::Card::Create(config, error);
        ASSERT_TRUE(first) << error;
        EXPECT_FALSE(std::filesystem::exists(path_)) << "nothing written, nothing saved";
        Wire wire(config);  // same configuration: a card whose writes reach the file
        wire.WriteWord(12, 0xBEEF);
        EXPECT_TRUE(std::filesystem::exists(path_));
    }
    config.frequencyErased = true;  // the file, once there, holds the contents
    std::unique_ptr<sim::Card> second = sim::Card::Create(config, error);
    ASSERT_TRUE(second) << error;
    EXPECT_EQ(second->EepromContents()[12], 0xBEEF);
    EXPECT_EQ(second->EepromContents()[58], 0x1B00);
}

TEST_F(EepromFile, AMalformedFileIsRefusedWithItsName)
{
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"FFFF FFFF\n", "2 words, expected 64"},
        {"FFFF XYZ\n", "XYZ"},
        {"12345\n", "12345"},
    };
    for (const Case &c : cases) {
        std::ofstream(path_) << c.text;
        sim::CardConfig config;
        config.eepromPath = path_;
        std::string error;
        EXPECT_FALSE(sim::Card::Create(config, error));
        EXPECT_NE(error.find(path_), std::string::npos) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    std::string full;
    for (int i = 0; i < 64; ++i)
        full += "# word\n" + std::to_string(1000 + i) + "\n";
    std::ofstream(path_) << full;
    sim::CardConfig config;
    config.eepromPath = path_;
    std::string error;
    auto card = sim::Card::Create(config, error);
    ASSERT_TRUE(card) << error;
    EXPECT_EQ(card->EepromContents()[63], 0x1063);
}

}  // namespace
}  // namespace simtest
