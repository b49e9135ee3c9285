// The acquisition exports through the whole stack: argument checks and their order,
// the sizes the library computes and asks for, the error protocol with the driver's
// codes, and the data read back compared with what the card converted.
#include "library_fixture.h"
#include "message_window.h"

#include "sim/card.h"

#include <cstring>
#include <vector>

namespace tavlon_test {
namespace {

using AcquisitionTest = LibraryFixture;

// Four channels whose codes tell channel and time apart.
const char kCountSignals[] = "ch0=count;ch1=count;ch2=count;ch3=count";

struct StartArgs {
    uint32_t bufferCount, scans, first, channels;
    int32_t rate;
};

// Each check in order, with arguments only the low 16 bits of which are tested, against
// both start functions. A passing case starts (and is stopped again); a refused one
// sends nothing, which shows as the driver's LastError left at the marker 110.
TEST_F(AcquisitionTest, StartChecksRunInOrderOnLow16BitArguments)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    struct Case {
        const char *what;
        StartArgs args;
        int32_t code;       // 0: accepted
        int32_t bytes;      // BufferBytes when accepted
    } cases[] = {
        {"buffer count 0x10000 is 0", {0x10000, 100, 0, 4, 1000}, 10, 0},
        {"buffer count 0 before scans 4", {0, 4, 0, 0, -200000}, 10, 0},
        {"scans 4", {2, 4, 0, 4, 1000}, 11, 0},
        {"scans 4 before channels 0", {2, 4, 0, 0, 200000}, 11, 0},
        {"scans 5 pass", {2, 5, 0, 4, 1000}, 0, 42},
        {"channels 0", {2, 100, 0, 0, 1000}, 12, 0},
        {"channels 0x10000 is 0", {2, 100, 0, 0x10000, 1000}, 12, 0},
        {"channels 0 before rate", {2, 100, 0, 0, -100001}, 12, 0},
        {"channels 33", {2, 100, 0, 33, 1000}, 14, 0},
        {"channels 33 before rate", {2, 100, 0, 33, 100001}, 14, 0},
        {"channels 32+65536 pass as 32", {2, 10, 0, 32 + 65536, 1000}, 0, 642},
        {"buffer count 0x10002 passes as 2", {0x10002, 10, 0, 1, 1000}, 0, 22},
        {"rate -100001", {2, 100, 0, 4, -100001}, 16, 0},
        {"rate 100001", {2, 100, 0, 4, 100001}, 17, 0},
        {"rate -100000 passes", {2, 100, 0, 4, -100000}, 0, 802},
        {"rate 100000 passes", {2, 100, 0, 4, 100000}, 0, 802},
        {"first channel 40 of a 4-channel scan passes (not used)", {2, 100, 40, 4, 1000}, 0, 802},
    };
    for (bool snapshot : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(snapshot ? "StartSnapshot: " : "StartIntr: ") + c.what);
            ASSERT_EQ(lib.StopIntr(), 0);  // marker: the driver's LastError is 110
            ASSERT_EQ(DriverLastError(), 110);
            const StartArgs &a = c.args;
            int32_t result = snapshot
                                 ? lib.StartSnapshot(a.bufferCount, a.scans, a.first, a.channels,
                                                     a.rate, 0, 0, 0)
                                 : lib.StartIntr(a.bufferCount, a.scans, a.first, a.channels,
                                                 a.rate, 0, 0);
            EXPECT_EQ(lib.GetLastADError(), c.code);
            if (c.code != 0) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(DriverLastError(), 110) << "a refused start sends nothing";
            } else {
                EXPECT_EQ(result, c.bytes);
                EXPECT_EQ(Driver().Running, 1);
                EXPECT_EQ(lib.StopIntr(), 1);
            }
        }
    }
}

TEST_F(AcquisitionTest, UninitialisedLibraryRefusesWithThreeWhateverTheArguments)
{
    ASSERT_TRUE(BootAndLoad());
    EXPECT_EQ(lib.StartIntr(0, 0, 0, 0, -200000, 0, 0), 0);
    EXPECT_EQ(lib.GetLastADError(), 3);
    EXPECT_EQ(lib.StartSnapshot(0, 0, 0, 99, 200000, 0, 0, 0), 0);
    EXPECT_EQ(lib.GetLastADError(), 3);
    EXPECT_EQ(lib.QueryBuf(), 0);
    EXPECT_EQ(lib.GetLastADError(), 3);
    // Initial refused after acceptance: the library is uninitialised again.
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_GT(lib.StartIntr(2, 100, 0, 4, 1000, 0, 0), 0);
    EXPECT_EQ(lib.Initial(0, 0, 0, 0), 0);
    EXPECT_EQ(lib.GetLastADError(), 102);
    EXPECT_EQ(Driver().Running, 0) << "the refused Initial stopped the acquisition";
    EXPECT_EQ(lib.StartIntr(2, 100, 0, 4, 1000, 0, 0), 0);
    EXPECT_EQ(lib.GetLastADError(), 3);
    EXPECT_EQ(lib.Initial(0, 0, 0, 0), 1);
    EXPECT_EQ(lib.GetLastADError(), 0);
}

TEST_F(AcquisitionTest, StartsReturnBufferBytesAndSnapshotSendsOneBuffer)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    EXPECT_EQ(lib.StartIntr(2, 100, 0, 4, 1000, 0, 0), 802);
    EXPECT_EQ(Driver().BufferCount, 2);
    EXPECT_EQ(Driver().SnapshotFlag, 0);
    ASSERT_EQ(lib.StopIntr(), 1);
    EXPECT_EQ(lib.StartSnapshot(7, 100, 3, 4, 1000, 0x55, 2, 0x1234), 802);
    EXPECT_EQ(Driver().BufferCount, 1);
    EXPECT_EQ(Driver().SnapshotFlag, 1);
    EXPECT_EQ(Driver().FirstChannel, 3);
    EXPECT_EQ(Driver().StartReserved, 0x55u);
    ASSERT_EQ(lib.StopIntr(), 1);
}

TEST_F(AcquisitionTest, StopWithNothingRunningGivesDriverCode110AndSuccessClearsIt)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    EXPECT_EQ(lib.StopIntr(), 0);
    EXPECT_EQ(lib.GetLastADError(), 110);
    float frequency = 0;
    EXPECT_EQ(lib.CardFrequency(&frequency), 1);
    EXPECT_EQ(lib.GetLastADError(), 0);
}

TEST_F(AcquisitionTest, SecondStartIsRefusedWith102AndCreatesNoThread)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    int before = ThreadCount();
    ASSERT_EQ(lib.StartIntr(2, 100, 0, 4, 1000, 0, 0), 802);
    int withOne = ThreadCount();
    EXPECT_EQ(withOne, before + 1);
    EXPECT_EQ(lib.StartIntr(2, 100, 0, 4, 1000, 0, 0), 0);
    EXPECT_EQ(lib.GetLastADError(), 102);
    EXPECT_EQ(ThreadCount(), withOne);
    EXPECT_EQ(lib.StopIntr(), 1);
}

// Starts the driver refuses (102: one runs already), in either mode, leave the running
// acquisition as it was: the ring's next ADResult still asks for its own buffer size and
// gets the card's samples, and its buffers are still announced; the snapshot's
// GetSnapshot still frames its scans and takes the position from the reply's last four
// bytes.
TEST_F(AcquisitionTest, RefusedStartLeavesTheRunningAcquisitionsReadsAsTheyWere)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    MessageWindow window;
    ASSERT_EQ(lib.RegisterNotify(0, window.Handle(), WM_APP, 0, 0), 1);
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    for (bool snapshot : {false, true}) {
        SCOPED_TRACE(snapshot ? "snapshot" : "ring");
        // Two channels, ten scans a buffer: 42 bytes. The refused starts ask for less (one
        // channel, five scans): a read sized by them is too short for the running one's.
        ASSERT_EQ(snapshot ? lib.StartSnapshot(1, 20, 0, 2, 10000, 0, 0, 0)
                           : lib.StartIntr(4, 10, 0, 2, 10000, 0, 0),
                  snapshot ? 82 : 42);
        ASSERT_TRUE(snapshot ? (Advance(5'000'000), true) : AdvanceUntilUnread(1));
        EXPECT_EQ(lib.StartIntr(4, 5, 0, 1, 10000, 0, 0), 0);
        EXPECT_EQ(lib.GetLastADError(), 102);
        EXPECT_EQ(lib.StartSnapshot(1, 5, 0, 1, 10000, 0, 0, 0), 0);
        EXPECT_EQ(lib.GetLastADError(), 102);
        std::vector<uint16_t> buffer(100, 0xEEEE);
        int32_t position = static_cast<int32_t>(0xEEEEEEEE);
        ASSERT_EQ(snapshot ? lib.GetSnapshot(buffer.data(), 10, &position) : lib.ADResult(buffer.data()), 1)
            << lib.GetLastADError();
        // Ring: a sequence word and 20 samples; snapshot: a word, 20 samples, the position.
        const size_t words = snapshot ? 23 : 21;
        EXPECT_EQ(buffer[words], 0xEEEE) << "more than the running acquisition's reply was asked for";
        EXPECT_GE(FindSamples(CompletedConversions(Card()), buffer.data() + 1, 20, 0, 2), 0)
            << "the samples are not framed as two channels";
        if (snapshot) {
            EXPECT_EQ(static_cast<uint32_t>(position), buffer[21] | static_cast<uint32_t>(buffer[22]) << 16);
            EXPECT_GE(position, 0);
            EXPECT_LT(position, 20);
        } else {
            ASSERT_FALSE(window.WaitFor(1).empty()) << "the buffer before the refused starts";
            for (int unread = 1; unread <= 2; ++unread) {
                ASSERT_TRUE(AdvanceUntilUnread(unread));
                ASSERT_EQ(window.WaitFor(1).size(), 1u) << "buffer " << unread << " after the refused starts";
            }
        }
        EXPECT_EQ(lib.StopIntr(), 1);
    }
}

// A request the system refuses before the driver sees it (a buffer that fails the I/O
// manager's probe) fails with the library's 19, whatever the driver's LastError holds
// from its previous request: 0, or a stale code of another refusal.
TEST_F(AcquisitionTest, RequestRefusedBeforeTheDriverFailsWith19)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartIntr(4, 10, 0, 2, 10000, 0, 0), 42);
    ASSERT_TRUE(AdvanceUntilUnread(2));
    uint8_t reply[12];
    for (bool stale : {false, true}) {
        SCOPED_TRACE(stale ? "driver holds 114" : "driver holds 0");
        if (stale) {
            ASSERT_EQ(lib.IOCtl(0, nullptr, sizeof reply, reply), 0);  // malformed: 114
        }
        ASSERT_EQ(DriverLastError(), stale ? 114 : 0);
        EXPECT_EQ(lib.ADResult(nullptr), 0);
        EXPECT_EQ(lib.GetLastADError(), 19) << "ADResult";
        EXPECT_EQ(lib.ADResultRecent(nullptr), 0);
        EXPECT_EQ(lib.GetLastADError(), 19) << "ADResultRecent";
        EXPECT_EQ(lib.IOCtl(4, nullptr, 0, nullptr), 0);
        EXPECT_EQ(lib.GetLastADError(), 19) << "IOCtl";
    }
    EXPECT_EQ(lib.QueryBuf(), 2) << "the refused reads took no buffer";
    EXPECT_EQ(lib.StopIntr(), 1);
}

// Ring buffers read with ADResult hold consecutive sequence words and, scan after scan,
// exactly the codes the card converted on the four channels.
TEST_F(AcquisitionTest, RingBuffersHoldTheCardsConversionsWithConsecutiveSequenceWords)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const uint32_t scans = 20, channels = 4;
    const int32_t bytes = lib.StartIntr(8, scans, 0, channels, 20000, 0, 0);
    ASSERT_EQ(bytes, 2 * 4 * 20 + 2);
    ASSERT_TRUE(AdvanceUntilUnread(3));
    EXPECT_EQ(lib.QueryBuf(), 3);
    EXPECT_EQ(lib.GetLastADError(), 0);

    std::vector<TruthSample> truth = CompletedConversions(Card());
    long at = 0;
    int previousSequence = -1;
    for (int b = 0; b < 3; ++b) {
        std::vector<uint16_t> buffer(bytes / 2 + 8, 0xEEEE);
        ASSERT_EQ(lib.ADResult(buffer.data()), 1);
        EXPECT_EQ(buffer[bytes / 2], 0xEEEE) << "exactly BufferBytes written";
        if (previousSequence >= 0) {
            EXPECT_EQ(buffer[0], static_cast<uint16_t>(previousSequence + 1));
        }
        previousSequence = buffer[0];
        long found = FindSamples(truth, buffer.data() + 1, scans * channels, 0, channels, at);
        ASSERT_GE(found, 0) << "buffer " << b << " is not what the card converted";
        if (b > 0) {
            EXPECT_EQ(found, at) << "buffer " << b << " continues the previous one";
        }
        at = found + scans * channels;
    }
    EXPECT_EQ(lib.QueryBuf(), 0);
    std::vector<unsigned char> rest(bytes, 0);
    EXPECT_EQ(lib.ADResult(rest.data()), 0);
    EXPECT_EQ(lib.GetLastADError(), 18);
    EXPECT_EQ(lib.StopIntr(), 1);
}

// A reader that falls behind sees every lost scan: the counters board command (IOCtl
// with sizes 0 and 16) gives the scans stored and dropped, which add up to the scans the
// card converted, and the first buffer filled after the overrun carries a sequence word
// 1 + ceil(d / L) above its predecessor's for d dropped scans (L = samples per buffer).
TEST_F(AcquisitionTest, EveryDroppedScanIsCountedAndDeclaredInTheSequenceWords)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const uint32_t scans = 5, channels = 2, buffers = 4, L = scans * channels;
    const uint64_t conversionsBefore = Card().Conversions().Total();
    const int32_t bytes = lib.StartIntr(buffers, scans, 0, channels, 1000, 0, 0);
    ASSERT_EQ(bytes, static_cast<int32_t>(2 * L + 2));
    Advance(200'000'000);  // 100 scans at 500 a second: the ring of 20 runs full
    ASSERT_EQ(lib.QueryBuf(), 4);

    uint32_t counters[4] = {~0u, ~0u, ~0u, ~0u};
    ASSERT_EQ(lib.IOCtl(0, nullptr, sizeof counters, counters), 1);
    // Every step after the start's own conversion starts one; the first two only discard.
    const uint64_t steps = Card().Conversions().Total() - conversionsBefore - 1;
    EXPECT_EQ(counters[0], buffers * scans);
    EXPECT_EQ(counters[0] + counters[1], (steps - 2) / channels);
    EXPECT_GT(counters[1], 2 * L) << "more than two buffers' worth dropped";
    EXPECT_EQ(counters[2], 1u);
    EXPECT_EQ(counters[3], 0u);

    std::vector<uint16_t> buffer(bytes / 2);
    std::vector<uint16_t> sequence;
    ASSERT_EQ(lib.ADResult(buffer.data()), 1);  // the ring has room again
    sequence.push_back(buffer[0]);
    ASSERT_TRUE(AdvanceUntilUnread(4));
    while (lib.QueryBuf() > 0) {
        ASSERT_EQ(lib.ADResult(buffer.data()), 1);
        sequence.push_back(buffer[0]);
    }
    ASSERT_EQ(sequence.size(), 5u);
    for (size_t b = 1; b < 4; ++b)
        EXPECT_EQ(sequence[b], sequence[b - 1] + 1) << "buffer " << b << ": nothing lost before it";
    EXPECT_EQ(sequence[4] - sequence[3], 1 + (counters[1] + L - 1) / L) << counters[1] << " scans dropped";
    EXPECT_EQ(lib.StopIntr(), 1);
}

// Every rate code makes the card step at the rate ChannelFrq reports, measured from the
// card's conversion starts over 20 steps, and within 0.01 % of the rate the code names.
// The slowest code is measured by its timer (100 Hz), its steps being 10^5 s apart.
TEST_F(AcquisitionTest, CardStepsAtTheRateChannelFrqReports)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    for (int32_t rate : {-3, -1, 0, 1, 7, 10, 50, 91, 92, 1000, 100000}) {
        SCOPED_TRACE(testing::Message() << "rate code " << rate);
        const double reported = lib.ChannelFrq(1, rate);
        const uint64_t first = Card().Conversions().Total() + 1;  // after the start's own
        ASSERT_GT(lib.StartIntr(2, 5, 0, 1, rate, 0, 0), 0);
        Advance(static_cast<uint64_t>(22e9 / reported));
        ASSERT_GE(Card().Conversions().Total(), first + 21);
        const double span = static_cast<double>(Card().Conversions().At(first + 20)->start -
                                                Card().Conversions().At(first)->start);
        EXPECT_NEAR(20e9 / span, reported, reported * 1e-5);
        const double named = rate < 0 ? -1.0 / rate : rate == 0 ? 1.0 : rate;
        EXPECT_NEAR(reported, named, named * 1e-4);
        ASSERT_EQ(lib.StopIntr(), 1);
    }
    EXPECT_EQ(lib.ChannelFrq(1, -100000), 1e-5);
    const uint64_t conversions = Card().Conversions().Total();
    const int isr = Driver().IsrCount;
    ASSERT_GT(lib.StartIntr(2, 5, 0, 1, -100000, 0, 0), 0);
    Advance(100'000'000'000ull);
    EXPECT_EQ((Driver().IsrCount - isr) & 0xFFFF, 10000) << "100 interrupts a second";
    EXPECT_EQ(Card().Conversions().Total(), conversions + 1) << "no step within 100 s";
    ASSERT_EQ(lib.StopIntr(), 1);
}

// With nothing unread, ADResultRecent answers 18 from QueryBuf's count alone: the driver
// saw only the query (its LastError 0), not a read of the newest buffer (which would
// leave 18 there).
TEST_F(AcquisitionTest, RecentWithNothingReadyGives18AndSendsNoRead)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    const int32_t bytes = lib.StartIntr(4, 10, 0, 4, 10000, 0, 0);
    ASSERT_EQ(bytes, 82);
    std::vector<unsigned char> buffer(bytes, 0xEE);
    EXPECT_EQ(lib.ADResultRecent(buffer.data()), 0);
    EXPECT_EQ(lib.GetLastADError(), 18);
    EXPECT_EQ(DriverLastError(), 0);
    EXPECT_EQ(buffer[0], 0xEE);

    ASSERT_TRUE(AdvanceUntilUnread(2));
    EXPECT_EQ(lib.ADResultRecent(buffer.data()), 1);
    EXPECT_EQ(lib.GetLastADError(), 0);
    uint16_t newest;
    std::memcpy(&newest, buffer.data(), 2);
    EXPECT_EQ(lib.QueryBuf(), 0) << "reading the newest consumes every filled buffer";
    ASSERT_TRUE(AdvanceUntilUnread(1));
    ASSERT_EQ(lib.ADResult(buffer.data()), 1);
    uint16_t next;
    std::memcpy(&next, buffer.data(), 2);
    EXPECT_EQ(next, static_cast<uint16_t>(newest + 1));
    EXPECT_EQ(lib.StopIntr(), 1);
}

// After an accepted stop the driver refuses every read with 110; ADResultRecent reports
// 18 because its QueryBuf failed (the driver's code stays 110).
TEST_F(AcquisitionTest, ReadsAfterStopAreRefusedWith110)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartIntr(4, 10, 0, 4, 10000, 0, 0), 82);
    ASSERT_TRUE(AdvanceUntilUnread(1));
    ASSERT_EQ(lib.StopIntr(), 1);
    std::vector<unsigned char> buffer(200, 0xEE);
    EXPECT_EQ(lib.ADResult(buffer.data()), 0);
    EXPECT_EQ(lib.GetLastADError(), 110);
    EXPECT_EQ(lib.QueryBuf(), 0);
    EXPECT_EQ(lib.GetLastADError(), 110);
    EXPECT_EQ(lib.ADResultRecent(buffer.data()), 0);
    EXPECT_EQ(lib.GetLastADError(), 18);
    EXPECT_EQ(DriverLastError(), 110);

    ASSERT_EQ(lib.StartSnapshot(1, 50, 0, 4, 10000, 0, 0, 0), 402);
    Advance(10'000'000);
    ASSERT_EQ(lib.StopIntr(), 1);
    int32_t position = -7;
    EXPECT_EQ(lib.GetSnapshot(buffer.data(), 10, &position), 0);
    EXPECT_EQ(lib.GetLastADError(), 110);
    EXPECT_EQ(position, -7);
    EXPECT_EQ(buffer[0], 0xEE);
}

// A 10-scan snapshot of 4 channels is 86 bytes: a word, 40 samples, and the newest-scan
// index in bytes 82 to 85, which is also handed back through position.
TEST_F(AcquisitionTest, SnapshotAsksForItsLengthAndTakesPositionFromTheLastFourBytes)
{
    ASSERT_TRUE(BootAndLoad(kCountSignals));
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartSnapshot(1, 50, 0, 4, 10000, 0, 0, 0), 402);
    Advance(30'000'000);  // 300 conversions: the circular buffer has wrapped
    std::vector<unsigned char> buffer(120, 0xEE);
    int32_t position = -7;
    ASSERT_EQ(lib.GetSnapshot(buffer.data(), 10, &position), 1);
    EXPECT_EQ(lib.GetLastADError(), 0);
    int32_t tail;
    std::memcpy(&tail, buffer.data() + 82, 4);
    EXPECT_EQ(position, tail);
    EXPECT_GE(position, 0);
    EXPECT_LT(position, 50);
    for (size_t i = 86; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " is beyond the 86 asked for";
    std::vector<uint16_t> samples(40);
    std::memcpy(samples.data(), buffer.data() + 2, 80);
    EXPECT_GE(FindSamples(CompletedConversions(Card()), samples.data(), 40, 0, 4), 0)
        << "the snapshot's scans are the card's conversions";
    // More scans than the buffer holds: the driver refuses with 112.
    std::vector<unsigned char> large(2 * 4 * 60 + 6);
    EXPECT_EQ(lib.GetSnapshot(large.data(), 60, &position), 0);
    EXPECT_EQ(lib.GetLastADError(), 112);
    EXPECT_EQ(lib.StopIntr(), 1);
}

// A scan count whose reply length wraps 32 bits (to 2 bytes here, shorter than the
// position itself) is refused with 15 before anything is sent; position is untouched.
TEST_F(AcquisitionTest, SnapshotWhoseLengthWouldWrapIsRefusedWith15)
{
    ASSERT_TRUE(BootAndLoad());
    ASSERT_EQ(lib.Initial(0, 0, 0, 0), 1);
    ASSERT_EQ(lib.StartSnapshot(1, 50, 0, 1, 10000, 0, 0, 0), 102);
    ASSERT_EQ(lib.StopIntr(), 1);
    ASSERT_EQ(lib.StopIntr(), 0);  // marker: the driver's LastError is 110
    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    int32_t position = -7;
    for (uint32_t scans : {0x7FFFFFFEu, 0xFFFFFFFFu}) {
        EXPECT_EQ(lib.GetSnapshot(buffer, scans, &position), 0);
        EXPECT_EQ(lib.GetLastADError(), 15);
        EXPECT_EQ(DriverLastError(), 110) << "nothing was sent";
        EXPECT_EQ(position, -7);
    }
}

TEST_F(AcquisitionTest, CardFrequencyNeedsNoInitialAndFailsWith1000WhenErased)
{
    ASSERT_TRUE(BootAndLoad());
    float frequency = 0.0f;
    EXPECT_EQ(lib.CardFrequency(&frequency), 1);
    EXPECT_EQ(frequency, 6000000.0f);
    EXPECT_EQ(lib.GetLastADError(), 0);
    ASSERT_TRUE(UnloadLibrary());
    ASSERT_TRUE(ShutdownMachine());

    ASSERT_TRUE(BootAndLoad("frequency=erased"));
    frequency = -1.0f;
    EXPECT_EQ(lib.CardFrequency(&frequency), 0);
    EXPECT_EQ(lib.GetLastADError(), 1000);
    EXPECT_EQ(frequency, -1.0f);
}

}  // namespace
}  // namespace tavlon_test
