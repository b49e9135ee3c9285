// The TQ4815_SIM text form: every key accepted as documented, and every malformed item
// refused with a message that names the item and what was expected.
#include "sim/config.h"
#include "sim/resource_layout.h"

#include <gtest/gtest.h>

namespace simtest {
namespace {

sim::SimConfig Parse(const std::string &text)
{
    sim::SimConfig config;
    std::string error;
    EXPECT_TRUE(sim::ParseSimConfig(text, config, error)) << text << ": " << error;
    return config;
}

TEST(SimConfig, TheDocumentedExampleAndEveryKeyAreAccepted)
{
    sim::SimConfig c = Parse("ch0=count;ch1=dc:1.25;ch2=sine:2.0:50;frequency=erased;speed=10");
    EXPECT_EQ(c.card.channels[0].kind, sim::SignalKind::Count);
    EXPECT_EQ(c.card.channels[1].kind, sim::SignalKind::Dc);
    EXPECT_DOUBLE_EQ(c.card.channels[1].offset, 1.25);
    EXPECT_EQ(c.card.channels[2].kind, sim::SignalKind::Sine);
    EXPECT_DOUBLE_EQ(c.card.channels[2].amplitude, 2.0);
    EXPECT_DOUBLE_EQ(c.card.channels[2].frequency, 50.0);
    EXPECT_TRUE(c.card.frequencyErased);
    EXPECT_DOUBLE_EQ(c.speed, 10.0);

    c = Parse(" ch31 = square:1:2:-0.5 ; ch3=triangle:3:4 ;ch4=sawtooth:0.5:1000:1;ch5=noise:0.1;ch6=noise:0.2:1;"
              "ch7=ao0;ch8=ao1;di=0x5A,195;range=0:10;gains=1,10,100,1000;frequency=1e6;eeprom=/tmp/x y.ee;"
              "seed=0xFFFFFFFFFFFFFFFF;wdm=1.0;convtime=2.5;progtime=0;intcsr=0x100;bridgectl=0x12;layout=no-raw;");
    EXPECT_EQ(c.card.channels[31].kind, sim::SignalKind::Square);
    EXPECT_DOUBLE_EQ(c.card.channels[31].offset, -0.5);
    EXPECT_EQ(c.card.channels[3].kind, sim::SignalKind::Triangle);
    EXPECT_EQ(c.card.channels[4].kind, sim::SignalKind::Sawtooth);
    EXPECT_DOUBLE_EQ(c.card.channels[4].offset, 1.0);
    EXPECT_EQ(c.card.channels[5].kind, sim::SignalKind::Noise);
    EXPECT_DOUBLE_EQ(c.card.channels[5].amplitude, 0.1);
    EXPECT_DOUBLE_EQ(c.card.channels[6].offset, 1.0);
    EXPECT_EQ(c.card.channels[7].kind, sim::SignalKind::AnalogOut0);
    EXPECT_EQ(c.card.channels[8].kind, sim::SignalKind::AnalogOut1);
    EXPECT_FALSE(c.card.diLoopback);
    EXPECT_EQ(c.card.diLow, 0x5A);
    EXPECT_EQ(c.card.diHigh, 195);
    EXPECT_DOUBLE_EQ(c.card.rangeMin, 0.0);
    EXPECT_DOUBLE_EQ(c.card.rangeMax, 10.0);
    EXPECT_DOUBLE_EQ(c.card.gains[3], 1000.0);
    EXPECT_FALSE(c.card.frequencyErased);
    EXPECT_EQ(c.card.frequency, 1e6f);
    EXPECT_EQ(c.card.eepromPath, "/tmp/x y.ee");
    EXPECT_EQ(c.card.seed, ~std::uint64_t{0});
    EXPECT_EQ(c.wdmMajor, 1);
    EXPECT_EQ(c.wdmMinor, 0);
    EXPECT_EQ(c.card.conversionTime, 2500u);
    EXPECT_EQ(c.card.eepromProgramTime, 0u);
    EXPECT_EQ(c.card.intCsrPowerUp, 0x100u);
    EXPECT_EQ(c.card.bridgeControlPowerUp, 0x12u);
    EXPECT_EQ(c.layout, "no-raw");

    EXPECT_TRUE(Parse("di=loop").card.diLoopback);
    EXPECT_EQ(Parse("wdm=1.10").wdmMinor, 0x10);
    EXPECT_EQ(Parse("wdm=1.20").wdmMinor, 0x20);
    EXPECT_EQ(Parse("ch1=dc:1;ch1=dc:2").card.channels[1].offset, 2.0) << "a later item overrides";
}

TEST(SimConfig, DefaultsWithoutAnyItem)
{
    sim::SimConfig c = Parse("");
    EXPECT_EQ(c.wdmMajor, 1);
    EXPECT_EQ(c.wdmMinor, 0x10);
    EXPECT_DOUBLE_EQ(c.speed, 1.0);
    EXPECT_EQ(c.layout, "default");
    EXPECT_EQ(c.card.frequency, 6000000.0f);
    EXPECT_EQ(c.card.conversionTime, 5000u);
    EXPECT_EQ(c.card.intCsrPowerUp, 0x102u);
    EXPECT_EQ(c.card.gains, (std::array<double, 4>{1, 2, 4, 8}));
    // Channels 4-31: distinct dc levels.
    for (unsigned ch = 4; ch < sim::kChannels; ++ch) {
        EXPECT_EQ(c.card.channels[ch].kind, sim::SignalKind::Dc);
        EXPECT_DOUBLE_EQ(c.card.channels[ch].offset, (static_cast<double>(ch) - 16.0) * 0.25);
    }
}

TEST(SimConfig, MalformedItemsAreRefusedNamingTheItemAndWhatWasExpected)
{
    struct Case {
        const char *text;
        const char *item;      // quoted in the message
        const char *expected;  // part of what the message says was expected
    } cases[] = {
        {"ch0=bogus", "\"ch0=bogus\"", "dc:V"},
        {"ch32=dc:1", "\"ch32=dc:1\"", "ch0 ... ch31"},
        {"chx=dc:1", "\"chx=dc:1\"", "ch0 ... ch31"},
        {"ch0x1=dc:1", "\"ch0x1=dc:1\"", "ch0 ... ch31"},
        {"ch1=dc", "\"ch1=dc\"", "dc:VOLTS"},
        {"ch1=dc:1.2.3", "\"ch1=dc:1.2.3\"", "dc:VOLTS"},
        {"ch1=dc:nan", "\"ch1=dc:nan\"", "dc:VOLTS"},
        {"ch1=sine:2", "\"ch1=sine:2\"", "sine:AMPLITUDE:HZ"},
        {"ch1=sine:2:-50", "\"ch1=sine:2:-50\"", "HZ 0 or more"},
        {"ch1=square:1:2:3:4", "\"ch1=square:1:2:3:4\"", "square:AMPLITUDE:HZ"},
        {"ch1=noise:-1", "\"ch1=noise:-1\"", "noise:RMS"},
        {"ch1=count:3", "\"ch1=count:3\"", "count takes no parameters"},
        {"di=1", "\"di=1\"", "di=LOW,HIGH"},
        {"di=1,256", "\"di=1,256\"", "di=LOW,HIGH"},
        {"di=-1,2", "\"di=-1,2\"", "di=LOW,HIGH"},
        {"range=5:-5", "\"range=5:-5\"", "MIN below MAX"},
        {"range=1", "\"range=1\"", "range=MIN:MAX"},
        {"gains=1,2,4", "\"gains=1,2,4\"", "four positive"},
        {"gains=1,2,4,0", "\"gains=1,2,4,0\"", "four positive"},
        {"frequency=fast", "\"frequency=fast\"", "frequency=HZ"},
        {"frequency=0", "\"frequency=0\"", "frequency=HZ"},
        {"eeprom=", "\"eeprom=\"", "eeprom=PATH"},
        {"speed=0", "\"speed=0\"", "speed=FACTOR"},
        {"speed=abc", "\"speed=abc\"", "speed=FACTOR"},
        {"seed=-3", "\"seed=-3\"", "seed=N"},
        {"seed=18446744073709551616", "\"seed=18446744073709551616\"", "seed=N"},
        {"wdm=1", "\"wdm=1\"", "wdm=MAJOR.MINOR"},
        {"wdm=1.100", "\"wdm=1.100\"", "wdm=MAJOR.MINOR"},
        {"wdm=x.10", "\"wdm=x.10\"", "wdm=MAJOR.MINOR"},
        {"convtime=0", "\"convtime=0\"", "convtime=MICROSECONDS"},
        {"intcsr=0x100000000", "\"intcsr=0x100000000\"", "32-bit"},
        {"layout=sideways", "\"layout=sideways\"", "no-memory"},
        {"colour=blue", "\"colour=blue\"", "a known key"},
        {"ch1", "\"ch1\"", "key=value"},
    };
    for (const Case &c : cases) {
        sim::SimConfig config;
        std::string error;
        EXPECT_FALSE(sim::ParseSimConfig(c.text, config, error)) << c.text;
        EXPECT_NE(error.find("TQ4815_SIM"), std::string::npos) << error;
        EXPECT_NE(error.find(c.item), std::string::npos) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
    // The message numbers the item, so the right one of two alike is found.
    sim::SimConfig config;
    std::string error;
    EXPECT_FALSE(sim::ParseSimConfig("ch1=dc:1;;ch1=dc:x", config, error));
    EXPECT_NE(error.find("item 3"), std::string::npos) << error;
}

TEST(ResourceLayouts, EveryNamedLayoutExistsAndTheDefaultIsWhatTheBusAssigns)
{
    for (const char *name : {"default", "ports-first", "interrupt-first", "no-memory", "no-board", "board-first",
                             "two-boards", "bridge-in-memory", "board-in-memory", "latched", "exclusive",
                             "raw-vector-0", "two-interrupts", "no-raw", "no-translated", "no-interrupt", "no-ports",
                             "seven-ports", "five-memory", "other-descriptors"})
        EXPECT_TRUE(sim::ResourceLayout::Named(name)) << name;
    EXPECT_EQ(sim::ResourceLayout::Names().size(), 20u);

    sim::ResourceLayout d = sim::ResourceLayout::Default();
    ASSERT_EQ(d.items.size(), 4u);
    using K = sim::ResourceItem::Kind;
    EXPECT_EQ(d.items[0].kind, K::Memory);
    EXPECT_EQ(d.items[0].window, sim::Window::Bridge);
    EXPECT_EQ(d.items[1].kind, K::Port);
    EXPECT_EQ(d.items[1].length, 128u);
    EXPECT_EQ(d.items[2].kind, K::Port);
    EXPECT_EQ(d.items[2].length, 16u);
    EXPECT_EQ(d.items[3].kind, K::Interrupt);
    EXPECT_TRUE(d.items[3].shared);
    EXPECT_FALSE(d.items[3].latched);
    EXPECT_NE(d.items[3].rawVector, d.items[3].translatedVector);
    EXPECT_EQ(d.InterruptVector(), sim::kDefaultInterruptVector);
    EXPECT_FALSE(sim::ResourceLayout::Named("no-interrupt")->InterruptVector());
    EXPECT_EQ(sim::ResourceLayout::Named("two-interrupts")->InterruptVector(), sim::kDefaultInterruptVector)
        << "the last interrupt descriptor is the card's";
}

}  // namespace
}  // namespace simtest
