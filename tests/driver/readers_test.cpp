// IOCTL_QUERY_BUF, IOCTL_READ_OLDEST, IOCTL_READ_LATEST and IOCTL_READ_SNAPSHOT on a
// running acquisition of the simulated card, in manual time: counts with wrapped indices
// and overrun, the order and contents of the buffers handed out, the length rules, and
// the snapshot reply's window over the circular buffer.
#include "support/driver_fixture.h"

#include <algorithm>
#include <cstring>

#include "plat/kernel.h"

namespace tqtest {
namespace {

class ReaderTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
    }
    // Ring of `buffers`, one channel, one scan per buffer at 1000 Hz: after the first
    // (discarding) step every step fills one buffer.
    void StartSmallRing(uint16_t buffers)
    {
        ASSERT_EQ(Start(StartRecord(1, 1000, 1, buffers, 0, 0, false, NewEvent())), STATUS_SUCCESS);
        Ticks(1);
    }
    uint16_t SequenceWordOf(NTSTATUS expected, ULONG code)
    {
        std::vector<uint8_t> out;
        EXPECT_EQ(Read(code, out, Dc()->BufferBytes), expected);
        return WordAt(out, 0);
    }
};

TEST_F(ReaderTest, EveryReaderRefusesWhenNotOpenedNotRunningOrInTheOtherMode)
{
    const ULONG ring[] = {IOCTL_QUERY_BUF, IOCTL_READ_OLDEST, IOCTL_READ_LATEST};
    std::vector<uint8_t> out;
    // Running, but the last start was a snapshot: the ring readers refuse with 111.
    ASSERT_EQ(Start(StartRecord(4, 1000, 2, 1, 0, 0, true)), STATUS_SUCCESS);
    for (ULONG code : ring) {
        EXPECT_EQ(Read(code, out, 64), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), TQ_DRV_NOT_RING_MODE);
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0xA5)) << "nothing written";
    }
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    ASSERT_EQ(Start(StartRecord(4, 1000, 2, 2, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    EXPECT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 22), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_NOT_SNAPSHOT_MODE);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    // Stopped: the block is still there, but every reader refuses with 110.
    for (ULONG code : {IOCTL_QUERY_BUF, IOCTL_READ_OLDEST, IOCTL_READ_LATEST, IOCTL_READ_SNAPSHOT}) {
        EXPECT_EQ(Read(code, out, 64), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), TQ_DRV_NOT_RUNNING);
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0xA5));
    }
    Reboot(DistinctLevelsConfig());
    for (ULONG code : {IOCTL_QUERY_BUF, IOCTL_READ_OLDEST, IOCTL_READ_LATEST, IOCTL_READ_SNAPSHOT}) {
        EXPECT_EQ(Read(code, out, 64), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), TQ_DRV_NOT_INITIALISED);
    }
}

TEST_F(ReaderTest, QueryCountsUnreadBuffersAcrossTheWrapAndDuringOverrun)
{
    StartSmallRing(4);
    EXPECT_EQ(QueryBuf(), 0);
    Ticks(3);
    EXPECT_EQ(QueryBuf(), 3);  // WriteIndex 3, ReadIndex 0
    for (int i = 0; i < 3; ++i)
        SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST);
    EXPECT_EQ(QueryBuf(), 0);  // equal indices
    Ticks(2);
    ASSERT_EQ(Dc()->WriteIndex, 1);
    ASSERT_EQ(Dc()->ReadIndex, 3);
    EXPECT_EQ(QueryBuf(), 2);  // wrapped: 1 − 3 + 4
    Ticks(2);
    EXPECT_EQ(Dc()->WriteIndex, 3);
    EXPECT_EQ(Dc()->OverrunCount, 1);
    EXPECT_EQ(QueryBuf(), 4);  // equal indices in overrun
}

TEST_F(ReaderTest, QueryWithAnOutputBelowTwoBytesIsRefusedUnwritten)
{
    StartSmallRing(4);
    Ticks(2);
    uint8_t out[2] = {0xA5, 0xA5};
    EXPECT_EQ(Ioctl(IOCTL_QUERY_BUF, nullptr, 0, out, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LastError(), TQ_DRV_BUFFER_TOO_SHORT);
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(Ioctl(IOCTL_QUERY_BUF, nullptr, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QueryBuf(), 2);
}

TEST_F(ReaderTest, OldestHandsOutBuffersInOrderUntilNoneIsLeft)
{
    StartSmallRing(4);
    EXPECT_EQ(SequenceWordOf(STATUS_UNSUCCESSFUL, IOCTL_READ_OLDEST), 0xA5A5);
    EXPECT_EQ(LastError(), TQ_NO_DATA);
    Ticks(3);
    for (uint16_t expected = 0; expected < 3; ++expected)
        EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST), expected);
    SequenceWordOf(STATUS_UNSUCCESSFUL, IOCTL_READ_OLDEST);
    EXPECT_EQ(LastError(), TQ_NO_DATA);
    Ticks(3);  // on across the end of the ring: buffers 3, 0 and 1
    for (uint16_t expected = 3; expected < 6; ++expected)
        EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST), expected);
    EXPECT_EQ(Dc()->ReadIndex, 2);
}

TEST_F(ReaderTest, LatestHandsOutTheNewestAndConsumesAll)
{
    StartSmallRing(4);
    Ticks(3);
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_LATEST), 2);
    EXPECT_EQ(QueryBuf(), 0);
    SequenceWordOf(STATUS_UNSUCCESSFUL, IOCTL_READ_LATEST);
    EXPECT_EQ(LastError(), TQ_NO_DATA);
    Ticks(2);  // WriteIndex wraps past 0: the newest is buffer 0
    ASSERT_EQ(Dc()->WriteIndex, 1);
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_LATEST), 4);
}

TEST_F(ReaderTest, DuringOverrunOldestTakesOneAndLatestTakesTheBufferAtWriteIndex)
{
    StartSmallRing(4);
    Ticks(4 + 2);  // full ring, then two dropped scans (L = 1: each one moves the sequence)
    ASSERT_EQ(Dc()->OverrunCount, 2);
    ASSERT_EQ(Dc()->SequenceNo, 6);
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST), 0);
    EXPECT_EQ(QueryBuf(), 3);
    EXPECT_EQ(Dc()->OverrunCount, 0);

    Ticks(1);  // buffer 0 refilled: the ring is full again
    ASSERT_NE(Dc()->OverrunCount, 0);
    ASSERT_EQ(Dc()->WriteIndex, Dc()->ReadIndex);
    const USHORT at = Dc()->WriteIndex;
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_LATEST), Dc()->BufferTable[at][0]);
    EXPECT_EQ(QueryBuf(), 0);
}

TEST_F(ReaderTest, RingReadLengthRules)
{
    ASSERT_EQ(Start(StartRecord(3, 1000, 2, 4, 0, 0, false, NewEvent())), STATUS_SUCCESS);
    Ticks(2 + 6);
    ASSERT_EQ(QueryBuf(), 1);
    const ULONG bytes = Dc()->BufferBytes;  // 14
    std::vector<uint8_t> out;
    for (ULONG code : {IOCTL_READ_OLDEST, IOCTL_READ_LATEST}) {
        EXPECT_EQ(Read(code, out, bytes - 1), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), TQ_DRV_OUTPUT_LENGTH);
        EXPECT_EQ(out, std::vector<uint8_t>(bytes - 1, 0xA5));
        EXPECT_EQ(Read(code, out, 0), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(LastError(), TQ_DRV_OUTPUT_LENGTH);
    }
    EXPECT_EQ(QueryBuf(), 1) << "refusals change no ring state";
    ULONG_PTR information = 0;
    out.assign(bytes + 10, 0xA5);
    ASSERT_EQ(Ioctl(IOCTL_READ_OLDEST, nullptr, 0, out.data(), bytes + 10, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, bytes + 10);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + bytes, out.end()), std::vector<uint8_t>(10, 0xA5));
    // The copy is the driver's buffer exactly: sequence word, then the scans in channel order.
    EXPECT_EQ(memcmp(out.data(), Dc()->BufferTable[0], bytes), 0);
    for (unsigned s = 0; s < 3; ++s)
        for (unsigned c = 0; c < 2; ++c)
            EXPECT_NEAR(WordAt(out, 2 + 2 * (2 * s + c)) & 0x0FFF, 100 + 100 * c, 2);
}

TEST_F(ReaderTest, BuffersAlreadyMappedToSystemSpaceAreWrittenThroughTheirMapping)
{
    plat::SetDirectIoMdlMapped(true);
    StartSmallRing(4);
    Ticks(2);
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST), 0);
    plat::SetDirectIoMdlMapped(false);
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST), 1);
}

TEST_F(ReaderTest, CallersPagesAreMappedAfterTheChecksAndAFailedMappingIsRefusedWith109)
{
    StartSmallRing(4);
    std::vector<uint8_t> out;
    const ULONG bytes = Dc()->BufferBytes;
    // Nothing unread: refused before any system address space is taken.
    plat::InjectPoolFailureByTag(plat::PoolTag("PTE "), 1);
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, bytes), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_NO_DATA);
    EXPECT_EQ(plat::PoolFailuresInjected(), 0u);
    // A buffer to copy, but its mapping fails: refused, unwritten, the buffer still unread.
    Ticks(1);
    EXPECT_EQ(Read(IOCTL_READ_OLDEST, out, bytes), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(LastError(), TQ_DRV_NO_MEMORY);
    EXPECT_EQ(out, std::vector<uint8_t>(bytes, 0xA5));
    EXPECT_EQ(QueryBuf(), 1);
    EXPECT_EQ(SequenceWordOf(STATUS_SUCCESS, IOCTL_READ_OLDEST), 0);
}

// A reader takes the ring's state and commits its read under the interrupt's lock, so that
// an interrupt routine running on another processor can come only before or after each of
// those steps. Here the card interrupts each time the reader reaches for the lock (and
// fills a buffer, or drops a scan once the ring is full): the buffer handed out must be
// the one the ring's rules name for a state the reader saw under the lock, the read index
// and the overrun mark must change only under it, and the ring must stay consistent.
TEST_F(ReaderTest, InterruptsAtEveryStepOfARingReadLeaveTheRingConsistent)
{
    struct Ring {
        USHORT write, read, overrun;
    };
    const auto ringNow = [this] { return Ring{Dc()->WriteIndex, Dc()->ReadIndex, Dc()->OverrunCount}; };
    for (ULONG code : {IOCTL_READ_OLDEST, IOCTL_READ_LATEST}) {
        for (int filled : {1, 3, 4}) {  // one unread; one short of full; full
            SCOPED_TRACE(testing::Message() << (code == IOCTL_READ_OLDEST ? "oldest" : "latest") << " after "
                                            << filled << " buffers");
            StartSmallRing(4);
            Ticks(filled);
            std::vector<uint16_t> namedWords;  // the buffer the rules name, at each lock
            Ring lastOutside = ringNow();
            const auto expectUnchangedOutsideTheLock = [&] {
                Ring now = ringNow();
                EXPECT_TRUE(now.read == lastOutside.read && now.overrun == lastOutside.overrun)
                    << "read index or overrun mark changed outside the interrupt's lock";
            };
            plat::SetSynchronizeHook([&](PKINTERRUPT, bool entering) {
                if (!entering) {
                    lastOutside = ringNow();  // what the routine under the lock left
                    return;
                }
                expectUnchangedOutsideTheLock();
                Ticks(1);
                Ring now = ringNow();
                USHORT named = code == IOCTL_READ_OLDEST ? now.read
                               : now.overrun != 0       ? now.write
                                                        : static_cast<USHORT>((now.write + 3) % 4);
                namedWords.push_back(Dc()->BufferTable[named][0]);
            });
            std::vector<uint8_t> out;
            out.assign(Dc()->BufferBytes, 0xA5);
            NTSTATUS status = Ioctl(code, nullptr, 0, out.data(), Dc()->BufferBytes);
            plat::SetSynchronizeHook(nullptr);
            expectUnchangedOutsideTheLock();
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_FALSE(namedWords.empty()) << "the read never took the interrupt's lock";
            EXPECT_NE(std::find(namedWords.begin(), namedWords.end(), WordAt(out, 0)), namedWords.end())
                << "handed out buffer with sequence word " << WordAt(out, 0);
            Ring after = ringNow();
            EXPECT_TRUE(after.overrun == 0 || after.write == after.read) << "overrun mark on a ring with room";
            ASSERT_EQ(Stop(), STATUS_SUCCESS);
        }
    }
}

// ---- Snapshot ------------------------------------------------------------------------------

class SnapshotReaderTest : public ReaderTest {
protected:
    // Counting channels: every scan's samples are the next counts, so a reply shows the
    // time order of the scans it holds. Two channels, ten scans.
    void SetUp() override
    {
        ReaderTest::SetUp();
        Reboot(CountingConfig());
        ASSERT_EQ(Initial(), STATUS_SUCCESS);
        MarkConversions();
        ASSERT_EQ(Start(StartRecord(10, 1000, 2, 1, 0, 0, true)), STATUS_SUCCESS);
        Ticks(2);
    }
    void Scans(unsigned n) { Ticks(2 * n); }
    // Sample k of the circular buffer.
    uint16_t Sample(unsigned k) const { return Dc()->BufferTable[0][1 + k]; }
};

TEST_F(SnapshotReaderTest, FiveScansWrapAroundTheEndOfTheBuffer)
{
    Scans(13);  // one pass and three scans: SnapWritePos 6
    ASSERT_EQ(Dc()->SnapWritePos, 6u);
    std::vector<uint8_t> out;
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 26), STATUS_SUCCESS);
    EXPECT_EQ(WordAt(out, 0), 1) << "passes completed";
    const unsigned samples[] = {16, 17, 18, 19, 0, 1, 2, 3, 4, 5};
    for (unsigned i = 0; i < 10; ++i)
        EXPECT_EQ(WordAt(out, 2 + 2 * i), Sample(samples[i])) << i;
    EXPECT_EQ(LongAt(out, 22), 2);
    // Time order, from the card's counts: each channel's samples are consecutive, and the
    // newest is the last conversion of that channel that the sequencer read.
    for (unsigned i = 2; i < 10; ++i)
        EXPECT_EQ(WordAt(out, 2 + 2 * i) & 0x0FFF, (WordAt(out, 2 + 2 * (i - 2)) + 1) & 0x0FFF) << i;
}

TEST_F(SnapshotReaderTest, AtAPassBoundaryTheNewestScansEndAtTheBuffersEnd)
{
    Scans(10);
    ASSERT_EQ(Dc()->SnapWritePos, 0u);
    std::vector<uint8_t> out;
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 2 * 3 * 2 + 6), STATUS_SUCCESS);
    for (unsigned i = 0; i < 6; ++i)
        EXPECT_EQ(WordAt(out, 2 + 2 * i), Sample(14 + i));
    EXPECT_EQ(LongAt(out, 14), 9) << "ScansPerBuffer − 1";
}

TEST_F(SnapshotReaderTest, WholeBufferComesInTimeOrderAndMoreIsRefused)
{
    Scans(14);
    std::vector<uint8_t> out;
    const ULONG whole = 2 * 20 + 6;
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, out, whole), STATUS_SUCCESS);
    for (unsigned i = 2; i < 20; ++i)
        EXPECT_EQ(WordAt(out, 2 + 2 * i) & 0x0FFF, (WordAt(out, 2 + 2 * (i - 2)) + 1) & 0x0FFF) << "time order at " << i;
    EXPECT_EQ(LongAt(out, 42), 3);

    EXPECT_EQ(Read(IOCTL_READ_SNAPSHOT, out, whole + 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastError(), TQ_DRV_OUTPUT_LENGTH);
    EXPECT_EQ(out, std::vector<uint8_t>(whole + 2, 0xA5));
}

TEST_F(SnapshotReaderTest, OddLengthsCountOneByteLessAndPartialScansAreNotCopied)
{
    Scans(13);
    std::vector<uint8_t> even, odd, partial;
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, even, 26), STATUS_SUCCESS);
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, odd, 27), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(odd.begin(), odd.begin() + 26), even);
    EXPECT_EQ(odd[26], 0xA5);
    // 28 and 29 bytes hold five whole scans and half of a sixth: five are copied.
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, partial, 29), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(partial.begin(), partial.begin() + 26), even);
    EXPECT_EQ(std::vector<uint8_t>(partial.begin() + 26, partial.end()), std::vector<uint8_t>(3, 0xA5));
}

// The snapshot reader takes the end of the newest scan and the pass count together under
// the interrupt's lock: a scan completed as it reaches for the lock is in the reply, and
// the pass count is the one of that moment.
TEST_F(SnapshotReaderTest, AScanCompletedAsTheReaderReachesForTheLockIsInTheReply)
{
    Scans(9);  // the next scan completes the first pass
    unsigned taken = 0;
    plat::SetSynchronizeHook([&](PKINTERRUPT, bool entering) {
        if (entering && taken++ == 0)
            Scans(1);
    });
    std::vector<uint8_t> out;
    NTSTATUS status = Read(IOCTL_READ_SNAPSHOT, out, 2 * 2 + 6);
    plat::SetSynchronizeHook(nullptr);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(WordAt(out, 0), 1) << "the pass the scan completed";
    EXPECT_EQ(WordAt(out, 2), Sample(18));
    EXPECT_EQ(LongAt(out, 6), 9);
}

TEST_F(SnapshotReaderTest, OutputsBelowSixBytesAreRefusedUnwritten)
{
    Scans(3);
    std::vector<uint8_t> out;
    for (ULONG length : {0u, 1u, 5u}) {
        EXPECT_EQ(Read(IOCTL_READ_SNAPSHOT, out, length), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(LastError(), TQ_DRV_BUFFER_TOO_SHORT);
        EXPECT_EQ(out, std::vector<uint8_t>(length, 0xA5));
    }
    // Six bytes: no scan fits, only the sequence word and the newest-scan index.
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 6), STATUS_SUCCESS);
    EXPECT_EQ(WordAt(out, 0), 0);
    EXPECT_EQ(LongAt(out, 2), 2);
}

TEST_F(SnapshotReaderTest, EarlySnapshotIsPaddedWithZerosOnItsOldestSide)
{
    Scans(2);
    std::vector<uint8_t> out;
    ASSERT_EQ(Read(IOCTL_READ_SNAPSHOT, out, 2 * 20 + 6), STATUS_SUCCESS);
    for (unsigned i = 0; i < 16; ++i)
        EXPECT_EQ(WordAt(out, 2 + 2 * i), 0) << i;
    EXPECT_EQ(WordAt(out, 2 + 2 * 16), Sample(0));
    EXPECT_EQ(LongAt(out, 42), 1);
}

}  // namespace
}  // namespace tqtest
