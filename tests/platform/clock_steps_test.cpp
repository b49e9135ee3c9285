// The clock's short steps: the time a port access costs, or a stall, is spent without
// calling the devices when none of them has an event within it, from the earliest event
// the devices last gave. These tests prove that the remembered event is forgotten whenever
// a device may have moved its next event (a port write that reschedules it, a DeviceGuard
// held around a change, a device added), so that no event is ever stepped over, and that
// events still fall at their exact times in a run of port accesses.
#include <plat/hw.h>

#include <memory>
#include <vector>

#include "support/kernel_fixture.h"
#include "support/test_device.h"

namespace tqtest {
namespace {

constexpr ULONG kPort = 0x340;
constexpr ULONG kVector = 53;

PUCHAR Port8(ULONG port) { return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(port)); }
PUSHORT Port16(ULONG port) { return reinterpret_cast<PUSHORT>(static_cast<ULONG_PTR>(port)); }

// A device with one event at a time that the test sets, and the times it was brought to.
class Alarm : public plat::TimedDevice {
public:
    explicit Alarm(plat::VTime first = plat::kNever) : at(first) { plat::AddTimedDevice(this); }
    ~Alarm() override { plat::RemoveTimedDevice(this); }
    plat::VTime NextEventTime(plat::VTime now) override { return at > now ? at : plat::kNever; }
    void AdvanceTo(plat::VTime t) override
    {
        if (at <= t) {
            fired.push_back(t);
            at = plat::kNever;
        }
    }
    plat::VTime at = plat::kNever;
    std::vector<plat::VTime> fired;  // the clock's time when it brought the device past `at`
};

class ClockStepsTest : public KernelTest {
protected:
    void TearDown() override
    {
        device.reset();
        plat::SetPortAccessCost(200);
        KernelTest::TearDown();
    }
    // Reads the test device's status n times; returns the time before the first read.
    plat::VTime ReadStatus(int n)
    {
        plat::VTime start = plat::Now();
        for (int i = 0; i < n; ++i) READ_PORT_UCHAR(Port8(kPort + kRegStatus));
        return start;
    }
    std::unique_ptr<TestDevice> device;
};

TEST_F(ClockStepsTest, AnEventScheduledByAPortWriteWithinItsOwnCostIsTakenAtItsTime)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    ReadStatus(3);  // the clock now knows of no event at all
    plat::SetPortAccessCost(2 * kConversionTime);
    plat::VTime start = plat::Now();
    WRITE_PORT_UCHAR(Port8(kPort + kRegControl), kControlStart);
    // The conversion finished half-way through the write's own cost: the device was brought
    // to that moment before the write returned.
    EXPECT_EQ(plat::Now(), start + 2 * kConversionTime);
    EXPECT_EQ(device->conversions, 1u);
}

TEST_F(ClockStepsTest, TicksFallOnTheirExactTimesThroughARunOfPortAccesses)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    ReadStatus(2);
    WRITE_PORT_USHORT(Port16(kPort + kRegPeriod), 1);  // a tick every microsecond from now
    plat::VTime armed = device->accessTimes.back();
    ReadStatus(25);  // 5 us of accesses at 200 ns each
    ASSERT_GE(device->tickTimes.size(), 5u);
    for (std::size_t i = 0; i < device->tickTimes.size(); ++i)
        EXPECT_EQ(device->tickTimes[i], armed + 1000 * (i + 1)) << "tick " << i;
    // Each tick was seen by the first access after it.
    for (std::size_t i = 0; i < device->tickTimes.size(); ++i) {
        plat::VTime tick = device->tickTimes[i];
        for (plat::VTime at : device->accessTimes)
            if (at >= tick) {
                EXPECT_LT(at - tick, plat::PortAccessCost());
                break;
            }
    }
}

TEST_F(ClockStepsTest, AnEventMovedUnderADeviceGuardOrByARescheduleIsNotSteppedOver)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    Alarm alarm;
    ReadStatus(3);  // the clock now knows of no event at all
    const plat::VTime cost = plat::PortAccessCost();

    plat::VTime when;
    {
        plat::DeviceGuard guard;
        when = plat::Now() + cost + cost / 2;  // inside the second access's cost
        alarm.at = when;
    }
    ReadStatus(4);
    ASSERT_EQ(alarm.fired.size(), 1u);
    EXPECT_EQ(alarm.fired[0], when);

    // The same change made between clock steps without a guard (as a manual-mode test may)
    // and announced with RescheduleTimedDevice, then a run of accesses.
    when = plat::Now() + 3 * cost + 1;
    alarm.at = when;
    plat::RescheduleTimedDevice(&alarm);
    ReadStatus(6);
    ASSERT_EQ(alarm.fired.size(), 2u);
    EXPECT_EQ(alarm.fired[1], when);
}

// A device that announces the time its event came earlier to spares the clock a question;
// the event is still taken at that time, an announced time later than another device's
// event does not hide that event, and an announcement made while the clock knows nothing
// leaves it asking.
TEST_F(ClockStepsTest, AnEventAnnouncedWithItsTimeIsTakenThenAndHidesNoOther)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    Alarm early, late;
    ReadStatus(3);  // the clock now knows of no event at all
    const plat::VTime cost = plat::PortAccessCost();

    plat::VTime when = plat::Now() + 2 * cost + 7;
    early.at = when;
    plat::RescheduleTimedDevice(&early, when);
    ReadStatus(4);
    ASSERT_EQ(early.fired.size(), 1u);
    EXPECT_EQ(early.fired[0], when);

    // The clock knows of `early`'s event; `late` announces a later one of its own.
    plat::VTime first = plat::Now() + cost + 3, second = plat::Now() + 4 * cost + 9;
    {
        plat::DeviceGuard guard;
        early.at = first;
    }
    ReadStatus(1);  // the clock asks, and now knows `first`
    late.at = second;
    plat::RescheduleTimedDevice(&late, second);
    ReadStatus(6);
    ASSERT_EQ(early.fired.size(), 2u);
    EXPECT_EQ(early.fired[1], first);
    ASSERT_EQ(late.fired.size(), 1u);
    EXPECT_EQ(late.fired[0], second);

    // Announced while the clock must ask anyway (a guard was just held): still taken.
    {
        plat::DeviceGuard guard;
    }
    when = plat::Now() + cost / 2;
    late.at = when;
    plat::RescheduleTimedDevice(&late, when);
    ReadStatus(1);
    ASSERT_EQ(late.fired.size(), 2u);
    EXPECT_EQ(late.fired[1], when);
}

TEST_F(ClockStepsTest, ADeviceAddedBetweenAccessesHasItsFirstEventTaken)
{
    device = std::make_unique<TestDevice>(kVector, false, kPort);
    ReadStatus(3);
    plat::VTime expected = plat::Now() + 50;
    auto late = std::make_unique<Alarm>(expected);
    ReadStatus(1);
    ASSERT_EQ(late->fired.size(), 1u);
    EXPECT_EQ(late->fired[0], expected);
}

}  // namespace
}  // namespace tqtest
