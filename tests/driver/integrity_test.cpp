// A million scans through the ring, in manual time, against the card's ground truth:
// every stored sample is the conversion the card made for that slot's channel, sequence
// words advance by one per buffer, and a reader that falls behind loses only whole
// scans, each gap declared by its buffer's sequence word (1 + ceil(d / L) for d scans).
#include "support/driver_fixture.h"

#include <cstdlib>

namespace tqtest {
namespace {

constexpr uint16_t kChannels = 4;
constexpr uint32_t kScansPerBuffer = 250;
constexpr uint16_t kBuffers = 4;

// TQ_INTEGRITY_SCANS shortens (or lengthens) the run. A million by default; under a
// sanitizer, which checks every access rather than the count, a tenth of that keeps the
// instrumented suite within minutes.
uint64_t ScansToRun()
{
    const char *text = std::getenv("TQ_INTEGRITY_SCANS");
    if (text != nullptr)
        return std::strtoull(text, nullptr, 10);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 100000;
#else
    return 1000000;
#endif
}

class IntegrityTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Reboot(CountingConfig());
        // Ground truth without the bounded logs: every conversion's channel and code.
        Card().SetTraceCapacity(0);
        Card().SetConversionLogCapacity(0);
        Card().SetConversionObserver([this](const sim::ConversionRecord &r) {
            conversions_.push_back(static_cast<uint32_t>(r.channel) << 16 | r.word);
        });
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
        conversions_.clear();
        ASSERT_EQ(Start(StartRecord(kScansPerBuffer, 100000, kChannels, kBuffers, 0, 0, false, NewEvent())),
                  STATUS_SUCCESS);
        ASSERT_EQ(conversions_.size(), 1u) << "the start's own conversion";
        bytes_ = Dc()->BufferBytes;
        period_ = TimerPeriodNs();
        Ticks(2);  // the two discarding steps
    }

    // Checks one buffer read in fill order. Its first sample is conversion `next` of the
    // acquisition (0 = the start's) unless its sequence word declares a gap; returns the
    // conversion after its last sample. Scans dropped before it (whole scans only) are
    // counted in `dropped`. Codes are compared in their 12 bits.
    uint64_t CheckBuffer(const std::vector<uint8_t> &buffer, uint64_t next, uint16_t expectedSequence,
                         bool allowGap, uint64_t &dropped)
    {
        const uint16_t sequence = WordAt(buffer, 0);
        const uint16_t extra = static_cast<uint16_t>(sequence - expectedSequence);
        uint64_t first = next;
        if (!allowGap) {
            EXPECT_EQ(sequence, expectedSequence);
        } else if (extra != 0) {
            // d dropped scans step the sequence by ceil(d / L) beyond the buffer's own
            // step (L = SamplesPerBuffer): find the buffer's first scan in that window.
            const uint64_t L = kChannels * kScansPerBuffer;
            const uint16_t firstSample = WordAt(buffer, 2) & 0x0FFF;
            first = UINT64_MAX;
            for (uint64_t d = (extra - 1) * L + 1; d <= extra * L; ++d) {
                const uint64_t n = next + d * kChannels;
                if (n >= conversions_.size())
                    break;
                if ((conversions_[n] & 0x0FFF) == firstSample) {
                    first = n;
                    dropped += d;
                    break;
                }
            }
            if (first == UINT64_MAX) {
                ADD_FAILURE() << "buffer with sequence " << sequence << " (expected " << expectedSequence
                              << "): no gap of the length its sequence word declares";
                return next;
            }
        }
        const uint32_t samples = kChannels * kScansPerBuffer;
        for (uint32_t i = 0; i < samples; ++i) {
            const uint32_t truth = conversions_.at(first + i);
            const uint16_t sample = WordAt(buffer, 2 + 2 * i) & 0x0FFF;
            if ((truth >> 16) != i % kChannels || (truth & 0x0FFF) != sample) {
                ADD_FAILURE() << "sample " << i << " of buffer with sequence " << sequence << ": got " << sample
                              << ", the card converted channel " << (truth >> 16) << " code " << (truth & 0x0FFF)
                              << " (slot " << i % kChannels << ")";
                return first + samples;
            }
        }
        return first + samples;
    }

    std::vector<uint32_t> conversions_;
    ULONG bytes_ = 0;
    uint64_t period_ = 0;
};

TEST_F(IntegrityTest, ReaderThatKeepsUpReceivesEveryScanInOrder)
{
    const uint64_t buffers = ScansToRun() / kScansPerBuffer;
    const uint64_t stepsPerBuffer = kChannels * kScansPerBuffer;
    uint64_t next = 2;  // the conversions read at steps 3, 4, …
    uint16_t sequence = 0;
    uint64_t dropped = 0;
    std::vector<uint8_t> buffer;
    for (uint64_t b = 0; b < buffers; ++b) {
        AdvanceNs(stepsPerBuffer * period_);
        ASSERT_EQ(QueryBuf(), 1) << "buffer " << b;
        ASSERT_EQ(Read(IOCTL_READ_OLDEST, buffer, bytes_), STATUS_SUCCESS) << "buffer " << b;
        next = CheckBuffer(buffer, next, sequence++, false, dropped);
        if (HasFailure())
            return;
    }
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(Dc()->OverrunCount, 0);
}

TEST_F(IntegrityTest, ReaderThatFallsBehindLosesOnlyWholeScansAsTheSequenceAccountsForThem)
{
    const uint64_t scans = ScansToRun();
    const uint64_t stepsPerBuffer = kChannels * kScansPerBuffer;
    uint64_t next = 2;
    uint16_t sequence = 0;
    uint64_t dropped = 0, read = 0;
    std::vector<uint8_t> buffer;
    // Bursts of reading and of absence: the reader takes two buffers every seven, so the
    // ring runs full for longer and shorter stretches (gaps below and above L scans).
    uint64_t elapsedScans = 0;
    for (uint64_t round = 0; elapsedScans < scans; ++round) {
        const uint64_t buffersThisRound = 1 + round % 7;
        AdvanceNs(buffersThisRound * stepsPerBuffer * period_ + (round % 3) * 37 * period_);
        elapsedScans += buffersThisRound * kScansPerBuffer;
        for (int r = 0; r < 2 && QueryBuf() > 0; ++r) {
            ASSERT_EQ(Read(IOCTL_READ_OLDEST, buffer, bytes_), STATUS_SUCCESS);
            next = CheckBuffer(buffer, next, sequence, true, dropped);
            sequence = static_cast<uint16_t>(WordAt(buffer, 0) + 1);
            ++read;
            if (HasFailure())
                return;
        }
    }
    EXPECT_GT(dropped, 0u) << "the reader did fall behind";
    EXPECT_GT(read, 0u);
    EXPECT_LE(dropped, ScanCounters().Dropped) << "declared gaps the driver did not count";
}

}  // namespace
}  // namespace tqtest
