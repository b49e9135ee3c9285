#include "test_device.h"

namespace tqtest {

TestDevice::TestDevice(std::uint32_t vector, bool latchedPulse, std::uint64_t portBase, std::uint64_t memoryBase)
    : vector_(vector), latched_(latchedPulse), portBase_(portBase), memoryBase_(memoryBase)
{
    plat::ClaimRange(plat::Space::Port, portBase, kRangeLength, this);
    if (memoryBase != 0) plat::ClaimRange(plat::Space::Memory, memoryBase, kRangeLength, this);
    plat::AddTimedDevice(this);
}

TestDevice::~TestDevice()
{
    plat::RemoveTimedDevice(this);
    plat::ReleaseAllRanges(this);
    plat::SetInterruptLine(vector_, false);
}

plat::VTime TestDevice::NextEventTime(plat::VTime now)
{
    plat::VTime next = nextTick_ > now ? nextTick_ : plat::kNever;
    if (conversionAt_ > now && conversionAt_ < next) next = conversionAt_;
    return next;
}

void TestDevice::AdvanceTo(plat::VTime t)
{
    if (conversionAt_ <= t) {
        conversionAt_ = plat::kNever;
        done_ = true;
        ++conversions;
    }
    while (nextTick_ <= t) {
        tickTimes.push_back(nextTick_);
        pending_ = true;
        nextTick_ += period_;
        if (latched_ && enabled_) {
            plat::SetInterruptLine(vector_, true);
            plat::SetInterruptLine(vector_, false);
        }
    }
    UpdateLine();
}

void TestDevice::UpdateLine()
{
    if (latched_) return;
    plat::SetInterruptLine(vector_, holdLine || (enabled_ && pending_));
}

std::uint32_t TestDevice::BusRead(plat::Space space, std::uint64_t offset, unsigned width)
{
    accessTimes.push_back(plat::Now());
    accessSpaces.push_back(space);
    switch (offset) {
    case kRegStatus: return (pending_ ? kStatusTick : 0) | (done_ ? kStatusDone : 0);
    case kRegConversions: return conversions & 0xFF;
    case kRegScratch: return width == 4 ? scratch : scratch & 0xFFFF;
    default: return 0;
    }
}

void TestDevice::BusWrite(plat::Space space, std::uint64_t offset, unsigned, std::uint32_t value)
{
    accessTimes.push_back(plat::Now());
    accessSpaces.push_back(space);
    switch (offset) {
    case kRegControl:
        enabled_ = (value & kControlEnable) != 0;
        if (value & kControlAck) {
            pending_ = false;
            ++acks;
        }
        if (value & kControlStart) {
            done_ = false;
            conversionAt_ = plat::Now() + kConversionTime;
            plat::RescheduleTimedDevice(this);
        }
        break;
    case kRegPeriod:
        period_ = static_cast<plat::VTime>(value & 0xFFFF) * 1000;
        nextTick_ = period_ ? plat::Now() + period_ : plat::kNever;
        plat::RescheduleTimedDevice(this);
        break;
    case kRegScratch: scratch = value; break;
    default: break;
    }
    UpdateLine();
}

}  // namespace tqtest
