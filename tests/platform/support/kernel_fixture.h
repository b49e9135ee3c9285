// The fixture of the kernel stand-in's tests: every test starts from a reset machine with a
// verifier handler that records violations instead of aborting; a test that provokes one
// takes it with Reported(rule), and any violation left untaken fails the test.
#ifndef TQ_TESTS_PLATFORM_KERNEL_FIXTURE_H
#define TQ_TESTS_PLATFORM_KERNEL_FIXTURE_H

#include <gtest/gtest.h>

#include <plat/kernel.h>
#include <plat/verifier.h>
#include <wdm.h>

#include <mutex>
#include <string>
#include <vector>

#include "test_driver.h"

namespace tqtest {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // True if a violation of `rule` was reported; takes every violation of that rule.
    bool Reported(const char *rule);
    std::size_t ViolationCount();

    // Loads the test bus driver (one PDO) and the test driver, and adds its device.
    void BuildStack();

    // Sends a request with the given major/minor function to the top of `device`'s stack
    // the way a kernel component does (its own IRP, a completion routine that takes it
    // back) and returns the final status.
    NTSTATUS SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0);

    PDRIVER_OBJECT busDriver = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    TdExtension *ext = nullptr;

private:
    std::mutex lock_;
    std::vector<plat::VerifierViolation> violations_;
};

// A driver object with one unnamed device whose every major function is `dispatch`.
struct OneDevice {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};
OneDevice MakeDevice(const char *name, PDRIVER_DISPATCH dispatch, ULONG extensionSize = 0);

}  // namespace tqtest

#endif
