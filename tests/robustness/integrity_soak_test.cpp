// Integrity soak: a ring acquisition on a manual clock, every channel a `count` source,
// read by a reader whose pace varies at random: sometimes keeping up, sometimes reading
// in bursts, sometimes away long enough for the ring to run full for more than a
// buffer's worth of scans. Every sample the sequencer kept is accounted for against the
// card's own record of its conversions: it is either delivered, equal to that conversion
// and in its channel's slot, or inside a gap that the sequence words declare (ceil(d / L)
// steps beyond the buffer's own for d scans dropped, L = SamplesPerBuffer, so that every
// gap shows) and the driver's dropped counter counts, or, at the end, still in the buffer
// being filled. Nothing may be lost, duplicated, reordered or moved to another slot.
//
// TQ_SOAK_SAMPLES sets the samples per configuration (10^6 by default, 10^5 under a
// sanitizer); TQ_ROBUST_LONG=1 runs 10^8. TQ_SOAK_SEED replays a reader's pace.
#include "run_switches.h"
#include "support/driver_fixture.h"

#include <chrono>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <random>

namespace tqtest {
namespace {

using runswitch::EnvNumber;

uint64_t SamplesToRun()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const uint64_t fallback = 100000;
#else
    const uint64_t fallback = 1000000;
#endif
    return EnvNumber("TQ_SOAK_SAMPLES", runswitch::LongRun() ? 100000000ull : fallback);
}

struct Shape {
    uint16_t channels;
    uint32_t scansPerBuffer;
    uint16_t buffers;
};

void PrintTo(const Shape &shape, std::ostream *out)
{
    *out << shape.channels << " channels, " << shape.scansPerBuffer << " scans a buffer, " << shape.buffers << " buffers";
}

class IntegritySoak : public DriverTest, public ::testing::WithParamInterface<Shape> {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Reboot(CountingConfig());
        // Ground truth without the bounded logs, kept only from the oldest conversion not
        // yet accounted for: every conversion's channel and code.
        Card().SetTraceCapacity(0);
        Card().SetConversionLogCapacity(0);
        Card().SetConversionObserver([this](const sim::ConversionRecord &r) {
            truth_.push_back(static_cast<uint32_t>(r.channel) << 16 | r.word);
        });
    }

    // The conversion with index n of the acquisition (0 = the start's own).
    uint32_t Truth(uint64_t n) const { return truth_.at(static_cast<size_t>(n - truthBase_)); }
    uint64_t TruthEnd() const { return truthBase_ + truth_.size(); }
    void ForgetTruthBefore(uint64_t n)
    {
        while (truthBase_ < n && !truth_.empty()) {
            truth_.pop_front();
            ++truthBase_;
        }
    }

    std::deque<uint32_t> truth_;
    uint64_t truthBase_ = 0;
};

TEST_P(IntegritySoak, EverySampleIsDeliveredInItsSlotOrInsideAGapTheSequenceWordsDeclare)
{
    const Shape shape = GetParam();
    const uint64_t samples = SamplesToRun();
    const uint64_t seed = EnvNumber("TQ_SOAK_SEED", 4815);
    const uint32_t perBuffer = shape.channels * shape.scansPerBuffer;  // L, samples in a buffer
    // A `count` channel repeats its code every 4096 of its conversions; a gap is located
    // by its first scan's code within a window of L scans, so L must stay below that.
    ASSERT_LT(perBuffer, 4096u);

    ASSERT_EQ(Initial(), STATUS_SUCCESS);
    truth_.clear();
    truthBase_ = 0;
    ASSERT_EQ(Start(StartRecord(shape.scansPerBuffer, 100000, shape.channels, shape.buffers, 0, 0, false, NewEvent())),
              STATUS_SUCCESS);
    ASSERT_EQ(truth_.size(), 1u) << "the start's own conversion";
    const ULONG bytes = Dc()->BufferBytes;
    ASSERT_EQ(bytes, 2 + 2 * perBuffer);
    const uint64_t period = TimerPeriodNs();
    const uint64_t bufferTime = uint64_t{perBuffer} * period;

    // The first kept sample is conversion 2: the two steps after a start only discard.
    const uint64_t firstKept = 2;
    uint64_t next = firstKept;  // conversion the next delivered sample should be
    uint16_t expectedSequence = 0;
    uint64_t delivered = 0, dropped = 0, buffersRead = 0, gaps = 0, longestGap = 0;
    std::mt19937_64 random(seed + shape.channels);
    std::vector<uint8_t> buffer;
    const auto began = std::chrono::steady_clock::now();

    // The scans a buffer's sequence word says were dropped before it are located in the
    // card's record by the code of the buffer's first sample (12 bits compared); a gap the
    // sequence words do not declare, or declare with another length, fails at once, as
    // does a total the driver's dropped counter does not match.
    auto readOne = [&]() -> bool {
        const TqScanCounters before = ScanCounters();
        if (Read(IOCTL_READ_OLDEST, buffer, bytes) != STATUS_SUCCESS) {
            ADD_FAILURE() << "a read refused while QueryBuf showed a full buffer";
            return false;
        }
        const uint16_t sequence = WordAt(buffer, 0);
        const uint16_t extra = static_cast<uint16_t>(sequence - expectedSequence);
        const uint16_t firstSample = WordAt(buffer, 2) & 0x0FFF;
        uint64_t first = next;
        if (extra != 0) {
            // d scans dropped step the sequence by ceil(d / L) beyond the buffer's own
            // step: 1 + (extra − 1)·L ≤ d ≤ extra·L.
            first = UINT64_MAX;
            for (uint64_t d = uint64_t{extra - 1u} * perBuffer + 1; d <= uint64_t{extra} * perBuffer; ++d) {
                const uint64_t n = next + d * shape.channels;
                if (n >= TruthEnd())
                    break;
                if ((Truth(n) & 0x0FFF) == firstSample) {
                    first = n;
                    break;
                }
            }
            if (first == UINT64_MAX) {
                ADD_FAILURE() << "buffer with sequence " << sequence << " (expected " << expectedSequence
                              << "): its first sample " << firstSample
                              << " is not where the sequence word puts the end of the gap";
                return false;
            }
            const uint64_t gap = (first - next) / shape.channels;
            ++gaps;
            dropped += gap * shape.channels;
            longestGap = std::max(longestGap, gap);
            if (dropped > uint64_t{before.Dropped} * shape.channels) {
                ADD_FAILURE() << "gaps of " << dropped / shape.channels << " scans declared, the driver counted "
                              << before.Dropped;
                return false;
            }
        }
        for (uint32_t i = 0; i < perBuffer; ++i) {
            const uint32_t truth = Truth(first + i);
            const uint16_t sample = WordAt(buffer, 2 + 2 * i) & 0x0FFF;
            if ((truth >> 16) != i % shape.channels || (truth & 0x0FFF) != sample) {
                ADD_FAILURE() << "buffer with sequence " << sequence << ", sample " << i << ": got " << sample
                              << ", the card converted channel " << (truth >> 16) << " code " << (truth & 0x0FFF)
                              << " for slot " << i % shape.channels
                              << (extra == 0 ? " (a jump of 1: nothing may be missing)" : "");
                return false;
            }
        }
        next = first + perBuffer;
        delivered += perBuffer;
        expectedSequence = static_cast<uint16_t>(sequence + 1);
        ++buffersRead;
        ForgetTruthBefore(next);
        return true;
    };

    // Kept samples so far: every conversion after the discarding ones (the last one started
    // is not read yet, so is not counted).
    auto kept = [&] { return TruthEnd() > firstKept + 1 ? TruthEnd() - 1 - firstKept : 0; };
    while (kept() < samples && !HasFailure()) {
        // The reader's pace for this round: mostly about a buffer's time, now and then
        // bursts, and sometimes an absence of up to three rings' worth.
        const unsigned mood = static_cast<unsigned>(random() % 32);
        uint64_t away;
        if (mood < 22)
            away = bufferTime / 2 + random() % bufferTime;
        else if (mood < 30)
            away = random() % (bufferTime * shape.buffers);
        else  // the ring runs full for up to twice L scans
            away = bufferTime * shape.buffers + random() % (2 * bufferTime * shape.channels);
        AdvanceNs(away + period);
        unsigned toRead = mood < 22 ? 1 + random() % 2 : static_cast<unsigned>(random() % (shape.buffers + 1));
        for (; toRead > 0; --toRead) {
            const int ready = QueryBuf();
            ASSERT_GE(ready, 0);
            if (ready == 0)
                break;
            if (!readOne())
                return;
        }
    }

    // Drain the ring; then one more buffer's time read at once, so that scans dropped just
    // before the drain are declared by a buffer's sequence word too.
    int ready;
    while ((ready = QueryBuf()) > 0)
        if (!readOne())
            return;
    AdvanceNs(bufferTime + period);
    while ((ready = QueryBuf()) > 0)
        if (!readOne())
            return;
    ASSERT_EQ(ready, 0);
    ASSERT_EQ(Dc()->OverrunCount, 0);
    const uint64_t inFill = static_cast<uint64_t>(Dc()->FillCount);
    const uint64_t keptAtEnd = kept();
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    // The driver's counters: every dropped scan declared, every stored one delivered or in
    // the fill, and at least one overrun behind every gap.
    const TqScanCounters counters = ScanCounters();
    EXPECT_EQ(uint64_t{counters.Dropped} * shape.channels, dropped);
    EXPECT_EQ(uint64_t{counters.Stored} * shape.channels, delivered + inFill);
    EXPECT_GE(counters.Overruns, gaps);
    // After the last sample delivered: the buffer being filled, and the samples of the scan
    // being assembled, which no buffer holds yet.
    const uint64_t tail = keptAtEnd - (next - firstKept);
    EXPECT_GE(tail, inFill) << "samples neither delivered, declared dropped nor in the fill";
    EXPECT_LT(tail, inFill + shape.channels) << "samples neither delivered, declared dropped nor in the fill";
    EXPECT_EQ(delivered + dropped + tail, keptAtEnd);

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << "[ soak ] " << shape.channels << " channels: " << keptAtEnd << " samples in " << seconds << " s; "
              << delivered << " delivered in " << buffersRead << " buffers, " << dropped << " dropped in " << gaps
              << " gaps (longest " << longestGap << " scans; " << counters.Overruns << " overruns), " << inFill
              << " in the fill; seed " << seed << "\n";
    EXPECT_GE(keptAtEnd, samples);
    // The default pace (seed) of a full-length run does fall behind, by more than L scans.
    if (samples >= 1000000) {
        EXPECT_GT(gaps, 0u) << "the reader never fell behind";
        EXPECT_GE(longestGap, uint64_t{perBuffer}) << "no gap long enough to move the sequence by more than one";
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, IntegritySoak,
                         ::testing::Values(Shape{4, 250, 4}, Shape{32, 100, 8}),
                         [](const ::testing::TestParamInfo<Shape> &info) {
                             return std::to_string(info.param.channels) + "Channels";
                         });

}  // namespace
}  // namespace tqtest
