// Fixtures for the card on the simulated machine: a machine booted in manual time with the
// card on the bus, and a small recording function driver (not the card's driver) that
// keeps the resource lists its start-device request carried.
#ifndef TQ_TESTS_SIM_MACHINE_FIXTURE_H
#define TQ_TESTS_SIM_MACHINE_FIXTURE_H

#include "sim/machine.h"

#include <gtest/gtest.h>
#include <plat/kernel.h>
#include <plat/verifier.h>
#include <wdm.h>

#include <vector>

namespace simtest {

// What the recording driver saw at its start-device.
struct RecordedStart {
    bool started = false;
    bool hadRaw = false, hadTranslated = false;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;
};
RecordedStart &Recorded();
extern "C" NTSTATUS NTAPI RecorderDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A booted machine in manual time; the verifier counts every violation.
class MachineTest : public ::testing::Test {
protected:
    void Boot(sim::MachineOptions options = {})
    {
        std::string error;
        machine_ = sim::Machine::Boot(options, error);
        ASSERT_TRUE(machine_) << error;
    }
    void TearDown() override
    {
        machine_.reset();
        EXPECT_EQ(plat::VerifierViolationCount(), 0u);
        plat::ResetMachine();
    }
    sim::Card &Card() { return machine_->CardModel(); }

    std::unique_ptr<sim::Machine> machine_;
};

}  // namespace simtest

#endif
