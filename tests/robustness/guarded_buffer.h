// A caller's buffer with guard bytes on both sides, so that a write outside it (by the
// I/O manager copying back, or by a handler through an out-direct mapping) is seen.
#ifndef TQ_TESTS_ROBUSTNESS_GUARDED_BUFFER_H
#define TQ_TESTS_ROBUSTNESS_GUARDED_BUFFER_H

#include <cstdint>
#include <cstring>
#include <vector>

namespace tqrobust {

class GuardedBuffer {
public:
    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kGuardByte = 0xCD;

    explicit GuardedBuffer(size_t length, uint8_t fill = 0) : length_(length), bytes_(length + 2 * kGuard, kGuardByte)
    {
        memset(Data(), fill, length);
    }
    uint8_t *Data() { return bytes_.data() + kGuard; }
    size_t Length() const { return length_; }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kGuardByte || bytes_[kGuard + length_ + i] != kGuardByte)
                return false;
        return true;
    }
    bool Unchanged(uint8_t fill) const
    {
        for (size_t i = 0; i < length_; ++i)
            if (bytes_[kGuard + i] != fill)
                return false;
        return true;
    }

private:
    size_t length_;
    std::vector<uint8_t> bytes_;
};

}  // namespace tqrobust

#endif
