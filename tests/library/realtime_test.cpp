// End to end in real time: the virtual clock runs with the host clock, the card paces
// conversions with its timer, the driver fills ring buffers from its interrupt routine,
// and the application reads every buffer with ADResult when the library's window message
// arrives, as a real application does.
#include "library_fixture.h"
#include "message_window.h"

#include <vector>

namespace tavlon_test {
namespace {

using RealTimeTest = LibraryFixture;

constexpr UINT kDataMessage = WM_APP + 7;

// Four channels of `count` signals at 10000 conversions per second for 2 s of virtual
// time: every buffer read, in order (consecutive sequence words), and the samples, scan
// after scan, exactly the codes the card converted.
TEST_F(RealTimeTest, FourCountChannelsAt10kHzReadOnEachMessageMatchTheCard)
{
    ASSERT_TRUE(BootAndLoad("ch0=count;ch1=count;ch2=count;ch3=count", true));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), kDataMessage, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const uint32_t scans = 100, channels = 4;
    const int32_t bytes = lib.StartIntr(16, scans, 0, channels, 10000, 0, 0);
    ASSERT_EQ(bytes, static_cast<int32_t>(2 * scans * channels + 2));

    std::vector<std::vector<uint16_t>> buffers;
    while (Now() < 2'000'000'000ull) {
        std::vector<MSG> messages = window.WaitFor(1);
        ASSERT_EQ(messages.size(), 1u) << "no notification within the wait";
        ASSERT_EQ(messages[0].message, kDataMessage);
        for (int waiting = lib.QueryBuf(); waiting > 0; --waiting) {
            std::vector<uint16_t> buffer(bytes / 2);
            ASSERT_EQ(lib.ADResult(buffer.data()), 1) << lib.GetLastADError();
            buffers.push_back(std::move(buffer));
        }
        ASSERT_EQ(lib.GetLastADError(), 0);
    }
    ASSERT_EQ(lib.StopIntr(), 1);
    StopRealTime();

    // 2 s at 400 conversions per buffer is 50 buffers; the last may still be filling.
    ASSERT_GE(buffers.size(), 45u);
    std::vector<TruthSample> truth = CompletedConversions(Card());
    long at = FindSamples(truth, buffers[0].data() + 1, scans * channels, 0, channels);
    ASSERT_GE(at, 0) << "the first buffer is not what the card converted";
    for (size_t b = 0; b < buffers.size(); ++b) {
        if (b > 0) {
            ASSERT_EQ(buffers[b][0], static_cast<uint16_t>(buffers[b - 1][0] + 1))
                << "buffer " << b << " does not follow its predecessor";
        }
        long found = FindSamples(truth, buffers[b].data() + 1, scans * channels, 0, channels, at);
        ASSERT_EQ(found, at) << "buffer " << b << " differs from the card's conversions";
        at += scans * channels;
    }
}

}  // namespace
}  // namespace tavlon_test
