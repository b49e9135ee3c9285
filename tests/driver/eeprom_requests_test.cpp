// EEPROM requests of several callers at once: each request holds the device's EEPROM
// lock for its whole bit sequence, so writers, readers and card-frequency queries
// running in parallel threads all see and leave exactly their own words, and the chip
// never sees an interleaved command.
#include "support/driver_fixture.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace tqtest {
namespace {

class EepromRequestsTest : public DriverTest {
protected:
    std::vector<std::string> EepromMisuse() const
    {
        std::vector<std::string> notes;
        for (const sim::MisuseRecord &m : Card().Misuse().Entries())
            if (m.what.find("EEPROM") != std::string::npos)
                notes.push_back(m.what);
        return notes;
    }
};

TEST_F(EepromRequestsTest, ParallelWritersReadersAndFrequencyQueriesNeverInterleave)
{
    constexpr unsigned kWords = 12;
    auto pattern = [](unsigned writer, unsigned i) { return static_cast<uint16_t>(0x1000 * (writer + 1) + 0x0101 * i); };
    std::atomic<int> wrongReads{0}, failedRequests{0}, wrongFrequencies{0};
    const uint32_t frequencyBits = static_cast<uint32_t>(Card().EepromContents()[59]) << 16 | Card().EepromContents()[58];

    auto writer = [&](unsigned who, unsigned firstWord) {
        for (unsigned i = 0; i < kWords; ++i) {
            const uint8_t byteAddress = static_cast<uint8_t>(2 * (firstWord + i));
            const uint16_t value = pattern(who, i);
            uint8_t request[4] = {byteAddress, 1, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
            if (Ioctl(IOCTL_BOARD_COMMAND, request, 4, nullptr, 0) != STATUS_SUCCESS)
                ++failedRequests;
            uint8_t readRequest[2] = {byteAddress, 1};
            uint8_t reply[2] = {};
            std::memcpy(reply, readRequest, 2);
            if (Ioctl(IOCTL_BOARD_COMMAND, reply, 2, reply, 2) != STATUS_SUCCESS)
                ++failedRequests;
            if (static_cast<uint16_t>(reply[0] | reply[1] << 8) != value)
                ++wrongReads;
        }
    };
    auto frequencyReader = [&] {
        for (unsigned i = 0; i < 2 * kWords; ++i) {
            uint32_t value = 0;
            if (Ioctl(IOCTL_CARD_FREQUENCY, nullptr, 0, &value, 4) != STATUS_SUCCESS)
                ++failedRequests;
            else if (value != frequencyBits)
                ++wrongFrequencies;
        }
    };

    std::thread a(writer, 0, 0), b(writer, 1, 20), c(frequencyReader);
    a.join();
    b.join();
    c.join();

    EXPECT_EQ(failedRequests.load(), 0);
    EXPECT_EQ(wrongReads.load(), 0);
    EXPECT_EQ(wrongFrequencies.load(), 0);
    for (unsigned i = 0; i < kWords; ++i) {
        EXPECT_EQ(Card().EepromContents()[i], pattern(0, i)) << i;
        EXPECT_EQ(Card().EepromContents()[20 + i], pattern(1, i)) << i;
    }
    EXPECT_EQ(EepromMisuse(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tqtest
