// The library loaded where \\.\Tq4815x does not exist: the load succeeds, every export
// that needs the device fails with 2 (and sends nothing), every export that needs an
// accepted Initial with 3, and the informational exports work as with a device.
#include "library_fixture.h"

#include <cstring>

namespace tavlon_test {
namespace {

using NoDeviceTest = LibraryFixture;

TEST_F(NoDeviceTest, ErrorIsZeroAtLoadThenInitialGivesTwoAndStartGivesThree)
{
    ASSERT_TRUE(LoadWithoutDevice());
    EXPECT_EQ(lib.GetLastADError(), 0);
    EXPECT_EQ(lib.Initial(1, 2, 3, 4), 0);
    EXPECT_EQ(lib.GetLastADError(), 2);
    EXPECT_EQ(lib.StartIntr(2, 100, 0, 4, 1000, 0, 0), 0);
    EXPECT_EQ(lib.GetLastADError(), 3);
}

// Each export with its failure value and the code it leaves.
TEST_F(NoDeviceTest, EveryExportNeedingTheDeviceOrInitialFailsWithItsCode)
{
    ASSERT_TRUE(LoadWithoutDevice());
    uint16_t values[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    unsigned char buffer[256];
    int32_t position = 77;
    float frequency = -1.0f;
    struct Case {
        const char *what;
        int32_t result;
        int32_t code;
    };
    std::vector<Case> cases;
    auto add = [&](const char *what, int32_t result) {
        cases.push_back({what, result, lib.GetLastADError()});
    };
    add("StartSnapshot", lib.StartSnapshot(1, 100, 0, 4, 1000, 0, 0, 0));
    add("StopIntr", lib.StopIntr());
    add("QueryBuf", lib.QueryBuf());
    add("ADResult", lib.ADResult(buffer));
    add("ADResultRecent", lib.ADResultRecent(buffer));
    add("GetSnapshot", lib.GetSnapshot(buffer, 10, &position));
    add("CardFrequency", lib.CardFrequency(&frequency));
    add("RegisterNotify(0)", lib.RegisterNotify(0, nullptr, 1, 0, 0));
    add("RegisterNotify(4)", lib.RegisterNotify(4, nullptr, 1, 0, 0));
    add("IOCtl", lib.IOCtl(0, nullptr, 10, buffer));
    add("inportb", static_cast<int32_t>(lib.inportb(0x300)));
    add("inport", static_cast<int32_t>(lib.inport(0x300)));
    add("inportdw", static_cast<int32_t>(lib.inportdw(0x300)));
    lib.outportb(0x300, 1);
    add("outportb", 0);
    lib.outport(0x300, 1);
    add("outport", 0);
    lib.outportdw(0x300, 1);
    add("outportdw", 0);
    add("Zel_Init", lib.Zel_Init(4, 0, 1));
    add("Zel_DI", lib.Zel_DI(2, values));
    add("Zel_DO", lib.Zel_DO(0, 1));
    add("Zel_SetPGA", lib.Zel_SetPGA(1));
    add("Zel_SetChn", lib.Zel_SetChn(1));
    add("Zel_StartAD", lib.Zel_StartAD());
    add("Zel_ADR1", lib.Zel_ADR1(values));
    add("Zel_ADResult", lib.Zel_ADResult(4, values));
    add("Zel_DA", lib.Zel_DA(0x123, 0));
    add("Zel_CounterOut", lib.Zel_CounterOut(0xB6, 0x10, 0x00, 2));

    const char *needInitial[] = {"StartSnapshot", "StopIntr", "QueryBuf", "ADResult",
                                 "ADResultRecent", "GetSnapshot"};
    for (const Case &c : cases) {
        bool initialCase = false;
        for (const char *name : needInitial)
            initialCase = initialCase || std::strcmp(name, c.what) == 0;
        EXPECT_EQ(c.result, 0) << c.what;
        EXPECT_EQ(c.code, initialCase ? 3 : 2) << c.what;
    }
    EXPECT_EQ(position, 77);
    EXPECT_EQ(frequency, -1.0f);
    for (uint16_t v : values)
        EXPECT_EQ(v, 0xAAAA) << "failed reads leave the caller's buffer untouched";
}

TEST_F(NoDeviceTest, InformationalExportsWorkAndChannelFrqNeedsNothing)
{
    ASSERT_TRUE(LoadWithoutDevice());
    char text[94];
    EXPECT_EQ(lib.GetADPropStrSize(), 93);
    EXPECT_EQ(lib.GetADPropString(text), 1);
    EXPECT_EQ(text[51], '\n');
    EXPECT_EQ(text[93], '\0');
    char name[8];
    int32_t i[5] = {};
    float f[2] = {};
    lib.ConfigInfo(name, &i[0], &i[1], &i[2], &i[3], &f[0], &f[1], &i[4]);
    EXPECT_STREQ(name, "Tq4815x");
    EXPECT_EQ(i[0], 32);
    EXPECT_EQ(lib.ChannelFrq(4, 1000), 250.0);
    EXPECT_EQ(lib.GetLastADError(), 0);
}

}  // namespace
}  // namespace tavlon_test
