// The machine module as the Win32 stand-in uses it: TQ4815_SIM read at boot, the card and
// the Tq4815x driver started on a real-time clock, a malformed item or an unusable
// configuration refused with a message, and a clean shutdown.
#include "sim/machine.h"

#include <gtest/gtest.h>
#include <plat/kernel.h>
#include <plat/verifier.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

extern "C" int TqMachineBoot(void);
extern "C" void TqMachineShutdown(void);

namespace simtest {
namespace {

class MachineModule : public ::testing::Test {
protected:
    void SetUp() override { plat::ResetMachine(); }
    void TearDown() override
    {
        TqMachineShutdown();
        unsetenv("TQ4815_SIM");
        EXPECT_EQ(plat::VerifierViolationCount(), 0u);
        plat::ResetMachine();
    }
    // Boots with TQ4815_SIM = text; returns the status and what went to stderr.
    std::pair<int, std::string> BootWith(const char *text)
    {
        if (text)
            setenv("TQ4815_SIM", text, 1);
        else
            unsetenv("TQ4815_SIM");
        ::testing::internal::CaptureStderr();
        int status = TqMachineBoot();
        return {status, ::testing::internal::GetCapturedStderr()};
    }
};

TEST_F(MachineModule, BootsTheCardWithTheDriverOnARealTimeClock)
{
    auto [status, err] = BootWith("ch1=dc:1.25;speed=10;seed=7;wdm=1.0");
    ASSERT_EQ(status, 0) << err;
    sim::Machine *m = sim::CurrentMachine();
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->Started());
    EXPECT_EQ(plat::GetClockMode(), plat::ClockMode::RealTime);
    m->Host().WithCard([](sim::Card &card) {
        EXPECT_EQ(card.Config().channels[1].offset, 1.25);
        EXPECT_EQ(card.Config().seed, 7u);
        // The driver's start-device disabled the bridge's interrupt sources.
        EXPECT_EQ(card.PeekIntCsr(card.Now()) & 0x49, 0u);
        bool touchedIntCsr = false;
        for (const sim::RegisterAccess &a : card.Trace().Entries())
            touchedIntCsr |= a.window == sim::Window::Bridge && a.offset == 0x4C && a.write;
        EXPECT_TRUE(touchedIntCsr);
    });
    EXPECT_EQ(TqMachineBoot(), 0) << "a second boot finds the machine up";
    TqMachineShutdown();
    EXPECT_EQ(sim::CurrentMachine(), nullptr);
}

TEST_F(MachineModule, RefusesWhatItCannotBoot)
{
    std::string path = (std::filesystem::temp_directory_path() / ("tq4815-module-" + std::to_string(getpid()))).string();
    std::ofstream(path) << "not an eeprom\n";
    std::string eeprom = "eeprom=" + path;
    struct Case {
        std::string text;
        const char *message;
    } cases[] = {
        {"ch0=bogus", "\"ch0=bogus\""},
        {"speed=fast", "speed=FACTOR"},
        {eeprom, path.c_str()},
        {"layout=no-board", "0xC0000182"},  // the driver finds no board range
    };
    for (const Case &c : cases) {
        auto [status, err] = BootWith(c.text.c_str());
        EXPECT_NE(status, 0) << c.text;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(sim::CurrentMachine(), nullptr) << c.text;
        plat::ResetMachine();
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace simtest
