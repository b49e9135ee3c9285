// Where an acquisition lost data, and how much. The driver drops whole scans while its
// ring is full, and shows each gap in the sequence word of the first buffer after it: a
// jump of 1 means nothing was lost; d dropped scans make the jump 1 + ceil(d / L), with L
// the samples per buffer. The jump alone bounds a gap; its exact size comes from the
// driver's counters (scans stored, scans dropped, both since the start), read after each
// buffer.
//
// The counters say how much was dropped, not where: a drop happens while the stored count
// stands still at a buffer boundary, so a reading whose stored count is inside a buffer
// (not a multiple of the scans per buffer) gives the exact number of scans dropped before
// that buffer. A gap is exact once such a reading lies between it and the next gap; two
// gaps with no such reading between them get an exact sum, each bounded by its jump.
#ifndef TQ4815_TOOL_GAP_LEDGER_H
#define TQ4815_TOOL_GAP_LEDGER_H

#include <cstdint>
#include <map>
#include <optional>

namespace tool {

struct GapRecord {
    uint64_t lostScans = 0;  // the figure written (exact, or chosen within the bounds)
    uint64_t leastScans = 0, mostScans = 0;  // what the sequence word allows
    bool exact = false;
};

class GapLedger {
public:
    GapLedger(uint64_t scansPerBuffer, uint64_t samplesPerBuffer);

    // The sequence word of the next buffer read (buffers are numbered from 0).
    void Buffer(uint16_t sequence);
    // Counters read after the latest buffer: cumulative, 32 bits that may wrap.
    void Counters(uint32_t stored, uint32_t dropped);
    // The driver has no counters: every gap is settled from its jump alone.
    void NoCounters();
    // Settles every gap still open, as well as the counters allow (at the end of a run,
    // or when too many buffers wait to be written).
    void SettleAll();

    // Buffers 0 … Settled()-1 have their gaps settled and may be written out.
    uint64_t Settled() const { return settled_; }
    // The gap before buffer k (k < Settled()), if there is one.
    std::optional<GapRecord> GapBefore(uint64_t k) const;
    uint64_t Buffers() const { return buffers_; }
    uint64_t TotalDropped() const { return dropped_; }
    bool HasCounters() const { return haveCounters_ && !noCounters_; }

private:
    struct Bound {
        uint64_t least, most;
    };
    void Settle(bool force);
    uint64_t SettleGroup(uint64_t first, uint64_t last, uint64_t total, bool exactTotal);

    uint64_t scansPerBuffer_, samplesPerBuffer_;
    uint64_t buffers_ = 0;
    std::optional<uint16_t> lastSequence_;
    std::map<uint64_t, Bound> jumps_;           // buffer index → bounds of the gap before it
    std::map<uint64_t, GapRecord> gaps_;        // settled gaps
    std::map<uint64_t, uint64_t> droppedUpTo_;  // buffer n → scans dropped before buffer n+1 began
    uint64_t settled_ = 0;
    uint64_t attributed_ = 0;       // drops assigned to settled gaps
    bool attributedExact_ = true;
    bool noCounters_ = false, haveCounters_ = false;
    uint32_t rawStored_ = 0, rawDropped_ = 0;
    uint64_t stored_ = 0, dropped_ = 0;
};

}  // namespace tool

#endif
