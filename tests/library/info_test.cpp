// The exports that need no device: the description string, the configuration values,
// the error number, and ChannelFrq, through the loaded library on the booted machine.
#include "library_fixture.h"

#include <cstring>
#include <limits>

namespace tavlon_test {
namespace {

using InfoTest = LibraryFixture;

const unsigned char kExpectedPropertyString[94] = {
    0x54, 0x71, 0x34, 0x38, 0x31, 0x35, 0xA3, 0xAD, 0x57, 0x44, 0x4D, 0x3A, 0x20, 0x31, 0x32,
    0xCE, 0xBB, 0x41, 0x44, 0x2C, 0x20, 0x49, 0x4F, 0x42, 0x61, 0x73, 0x65, 0x2C, 0x49, 0x52,
    0x51, 0x2C, 0x4D, 0x65, 0x6D, 0xD3, 0xC9, 0xB2, 0xD9, 0xD7, 0xF7, 0xCF, 0xB5, 0xCD, 0xB3,
    0xD6, 0xB8, 0xB6, 0xA8, 0xA3, 0xAC, 0x0A, 0x4E, 0x75, 0x6D, 0x43, 0x68, 0x6E, 0x3A, 0x31,
    0x7E, 0x33, 0x32, 0x2C, 0x20, 0x53, 0x57, 0x3A, 0x30, 0x2C, 0x20, 0x46, 0x72, 0x71, 0x53,
    0x61, 0x6D, 0x70, 0x3A, 0x2D, 0x31, 0x30, 0x30, 0x30, 0x30, 0x30, 0x7E, 0x31, 0x30, 0x30,
    0x30, 0x30, 0x30, 0x00};

TEST_F(InfoTest, PropertyStringIsTheGbkDescriptionWithLineFeedAt51AndTerminatorAt93)
{
    ASSERT_TRUE(BootAndLoad());
    EXPECT_EQ(lib.GetADPropStrSize(), 93);
    unsigned char buffer[128];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(lib.GetADPropString(reinterpret_cast<char *>(buffer)), 1);
    EXPECT_EQ(0, std::memcmp(buffer, kExpectedPropertyString, sizeof kExpectedPropertyString));
    EXPECT_EQ(buffer[51], 0x0A);
    EXPECT_EQ(buffer[93], 0x00);
    EXPECT_EQ(buffer[94], 0xEE) << "exactly 94 bytes are written";
}

TEST_F(InfoTest, ConfigInfoWritesNameAndSevenValuesWithExactFloatBits)
{
    ASSERT_TRUE(BootAndLoad());
    char name[16];
    std::memset(name, 'x', sizeof name);
    int32_t out1 = -1, out2 = -1, out3 = -1, out4 = -1, out7 = -1;
    float out5 = -1, out6 = -1;
    lib.ConfigInfo(name, &out1, &out2, &out3, &out4, &out5, &out6, &out7);
    EXPECT_EQ(0, std::memcmp(name, "Tq4815x\0", 8));
    EXPECT_EQ(name[8], 'x') << "exactly 8 bytes of name";
    EXPECT_EQ(out1, 32);
    EXPECT_EQ(out2, 1);
    EXPECT_EQ(out3, 100000);
    EXPECT_EQ(out4, 5);
    uint32_t bits5, bits6;
    std::memcpy(&bits5, &out5, 4);
    std::memcpy(&bits6, &out6, 4);
    EXPECT_EQ(bits5, 0x47000000u);
    EXPECT_EQ(bits6, 0x477FFF00u);
    EXPECT_EQ(out7, 0);
}

// Every rate the per-channel formula distinguishes: timer rates, truncated divisors, the
// software divisors of slow and negative codes, and channels 0 (infinity). Each is the
// rate the card runs at; every code names its rate within 0.01 %.
TEST_F(InfoTest, ChannelFrqGivesEachRateExactly)
{
    ASSERT_TRUE(BootAndLoad());
    struct Case {
        int32_t channels, rate;
        double expected;
    } cases[] = {
        {4, 1000, 250.0},
        {1, 100000, 100000.0},
        {1, 200000, 100000.0},
        {1, 7000, 6000000.0 / 857.0},
        {1, 7, 6000000.0 / 61224.0 / 14.0},     // timer at 98 Hz, divisor 14
        {1, 0, 6000000.0 / 65217.0 / 92.0},     // 0 is 1: timer at 92 Hz, divisor 92
        {1, 1, 6000000.0 / 65217.0 / 92.0},
        {1, -1, 6000000.0 / 60000.0 / 100.0},   // timer at 100 Hz, divisor 100
        {1, 3, 6000000.0 / 64516.0 / 31.0},     // timer at 93 Hz, divisor 31
        {2, 8, 6000000.0 / 62500.0 / 12.0 / 2.0},
        {1, 91, 6000000.0 / 32967.0 / 2.0},     // timer at 182 Hz, divisor 2
        {1, 100, 6000000.0 / 60000.0},
        {3, 99999, 6000000.0 / 60.0 / 3.0},     // 6000000 / 99999 = 60
        {1, -5, 6000000.0 / 60000.0 / 500.0},
        {1, -100000, 6000000.0 / 60000.0 / 10000000.0},
        {32, 100000, 6000000.0 / 60.0 / 32.0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(lib.ChannelFrq(c.channels, c.rate), c.expected)
            << "channels " << c.channels << " rate " << c.rate;
    EXPECT_EQ(lib.ChannelFrq(0, 1000), std::numeric_limits<double>::infinity());
    for (int32_t rate : {-100000, -3, -1, 0, 1, 7, 10, 50, 91, 92, 1000, 100000}) {
        const double named = rate < 0 ? -1.0 / rate : rate == 0 ? 1.0 : rate;
        EXPECT_NEAR(lib.ChannelFrq(1, rate), named, named * 1e-4) << "rate code " << rate;
    }
}

// The informational exports neither clear nor set the error number; a successful export
// that sends a request clears it.
TEST_F(InfoTest, InformationalExportsKeepTheErrorNumberAndSuccessClearsIt)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.StopIntr(), 0);
    ASSERT_EQ(lib.GetLastADError(), 3);
    char buffer[94];
    int32_t i[5];
    float f[2];
    lib.GetADPropString(buffer);
    lib.GetADPropStrSize();
    lib.ConfigInfo(buffer, &i[0], &i[1], &i[2], &i[3], &f[0], &f[1], &i[4]);
    lib.ChannelFrq(4, 1000);
    EXPECT_EQ(lib.GetLastADError(), 3);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    EXPECT_EQ(lib.GetLastADError(), 0);
}

}  // namespace
}  // namespace tavlon_test
