// Gap accounting from sequence words and the driver's counters.
#include "gap_ledger.h"

#include <algorithm>

namespace tool {

GapLedger::GapLedger(uint64_t scansPerBuffer, uint64_t samplesPerBuffer)
    : scansPerBuffer_(scansPerBuffer), samplesPerBuffer_(samplesPerBuffer)
{
}

void GapLedger::Buffer(uint16_t sequence)
{
    uint64_t k = buffers_++;
    if (lastSequence_) {
        uint64_t jump = static_cast<uint16_t>(sequence - *lastSequence_);
        if (jump == 0)
            jump = 0x10000;  // a whole turn of the 16-bit word
        if (jump != 1)
            jumps_[k] = {(jump - 2) * samplesPerBuffer_ + 1, (jump - 1) * samplesPerBuffer_};
    }
    lastSequence_ = sequence;
    Settle(false);
}

void GapLedger::Counters(uint32_t stored, uint32_t dropped)
{
    stored_ += static_cast<uint32_t>(stored - rawStored_);
    dropped_ += static_cast<uint32_t>(dropped - rawDropped_);
    rawStored_ = stored;
    rawDropped_ = dropped;
    haveCounters_ = true;
    // Storing is under way inside buffer n: every drop before it is counted, none after.
    if (stored_ % scansPerBuffer_ != 0)
        droppedUpTo_[stored_ / scansPerBuffer_] = dropped_;
    Settle(false);
}

void GapLedger::NoCounters()
{
    noCounters_ = true;
    Settle(false);
}

void GapLedger::SettleAll()
{
    Settle(true);
}

std::optional<GapRecord> GapLedger::GapBefore(uint64_t k) const
{
    auto it = gaps_.find(k);
    if (it == gaps_.end() || k >= settled_)
        return std::nullopt;
    return it->second;
}

// Shares `total` dropped scans among the gaps before buffers first…last: each gets at
// least its least, then up to its most in order; with an exact total, anything beyond
// the bounds goes to the last gap (the counters count what the driver dropped, the
// bounds only what its sequence word can say). Returns the scans assigned.
uint64_t GapLedger::SettleGroup(uint64_t first, uint64_t last, uint64_t total, bool exactTotal)
{
    auto begin = jumps_.lower_bound(first), end = jumps_.upper_bound(last);
    size_t count = static_cast<size_t>(std::distance(begin, end));
    uint64_t least = 0;
    for (auto it = begin; it != end; ++it)
        least += it->second.least;
    uint64_t spare = total > least ? total - least : 0;
    if (count == 1 && exactTotal) {
        gaps_[begin->first] = {total, begin->second.least, begin->second.most, true};
        return total;
    }
    uint64_t assigned = 0;
    for (auto it = begin; it != end; ++it) {
        uint64_t extra = std::min(spare, it->second.most - it->second.least);
        if (exactTotal && std::next(it) == end)
            extra = spare;
        spare -= extra;
        GapRecord record{it->second.least + extra, it->second.least, it->second.most, false};
        assigned += record.lostScans;
        gaps_[it->first] = record;
    }
    return assigned;
}

void GapLedger::Settle(bool force)
{
    while (settled_ < buffers_) {
        auto gap = jumps_.lower_bound(settled_);
        if (gap == jumps_.end()) {
            settled_ = buffers_;
            break;
        }
        uint64_t k = gap->first;
        settled_ = k;  // the buffers before it have no gap
        if (noCounters_) {
            SettleGroup(k, k, 0, false);
            attributedExact_ = false;
            settled_ = k + 1;
            continue;
        }
        auto reading = droppedUpTo_.lower_bound(k);
        if (reading != droppedUpTo_.end() && reading->first < buffers_) {
            uint64_t total = reading->second > attributed_ ? reading->second - attributed_ : 0;
            SettleGroup(k, reading->first, total, attributedExact_);
            attributed_ = reading->second;
            attributedExact_ = true;
            settled_ = reading->first + 1;
            droppedUpTo_.erase(droppedUpTo_.begin(), droppedUpTo_.lower_bound(settled_));
            continue;
        }
        if (!force)
            break;
        // No reading settles them: the latest count bounds what is left (it may include
        // drops after the last buffer read), each gap within its own bounds.
        uint64_t total = haveCounters_ && dropped_ > attributed_ ? dropped_ - attributed_ : 0;
        attributed_ += SettleGroup(k, buffers_ - 1, total, false);
        attributedExact_ = false;
        settled_ = buffers_;
    }
}

}  // namespace tool
