// Executive pool: tagged blocks, tracked by owner driver, with failure injection. Memory
// handed out is filled with a non-zero pattern (the real pool is not zeroed); freed blocks
// are kept in a quarantine for a while (filled, and poisoned under AddressSanitizer) so
// that a double free is recognised as such and a use after free does not silently work.
#include "kernel_internal.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TQ_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define TQ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define TQ_POISON(p, n) ((void)(p), (void)(n))
#define TQ_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace plat {
namespace {

constexpr unsigned char kFreshFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;
constexpr std::size_t kQuarantineBlocks = 4096;

struct Block {
    ULONG tag;
    std::size_t size;
    POOL_TYPE type;
    PDRIVER_OBJECT owner;
};

std::mutex gPoolLock;
std::unordered_map<void *, Block> &gBlocks = *new std::unordered_map<void *, Block>;
std::deque<std::pair<void *, std::size_t>> &gQuarantine = *new std::deque<std::pair<void *, std::size_t>>;
std::unordered_set<void *> &gFreed = *new std::unordered_set<void *>;
std::uint64_t gAttempts = 0;
std::uint64_t gFailures = 0;
std::uint64_t gFailAt = 0;                 // absolute attempt number that fails; 0 = none
std::map<ULONG, std::uint64_t> &gFailByTag = *new std::map<ULONG, std::uint64_t>; // tag -> attempts with that tag until the failing one
std::set<ULONG> &gFailAllTags = *new std::set<ULONG>;

bool IsPaged(POOL_TYPE type)
{
    return (static_cast<int>(type) & 1) == PagedPool;  // the base pool type is the low bit
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return "'" + text + "'";
}

bool AttemptSucceedsLocked(ULONG tag)
{
    ++gAttempts;
    bool fail = false;
    if (gFailAt != 0 && gAttempts == gFailAt) {
        fail = true;
        gFailAt = 0;
    }
    auto it = gFailByTag.find(tag);
    if (it != gFailByTag.end() && --it->second == 0) {
        fail = true;
        gFailByTag.erase(it);
    }
    if (gFailAllTags.count(tag)) fail = true;
    if (fail) ++gFailures;
    return !fail;
}

void Quarantine(void *p, std::size_t size)
{
    std::memset(p, kFreedFill, size);
    TQ_POISON(p, size);
    gQuarantine.emplace_back(p, size);
    gFreed.insert(p);
    while (gQuarantine.size() > kQuarantineBlocks) {
        auto [old, oldSize] = gQuarantine.front();
        gQuarantine.pop_front();
        gFreed.erase(old);
        TQ_UNPOISON(old, oldSize);
        std::free(old);
    }
}

void FreeBlock(PVOID P, ULONG tag, bool checkTag, const char *routine)
{
    if (detail::Thread().irql > DISPATCH_LEVEL)
        detail::Report(rule::PoolAboveLimit, routine, "called at " + detail::IrqlName(detail::Thread().irql));
    std::string problem;
    const char *ruleName = nullptr;
    {
        std::lock_guard<std::mutex> guard(gPoolLock);
        auto it = gBlocks.find(P);
        if (it != gBlocks.end()) {
            if (checkTag && tag != it->second.tag) {
                ruleName = rule::PoolTagMismatch;
                problem = "block " + detail::Hex(reinterpret_cast<ULONG_PTR>(P)) + " has tag " +
                          TagText(it->second.tag) + ", freed with " + TagText(tag);
            }
            std::size_t size = it->second.size;
            gBlocks.erase(it);
            Quarantine(P, size);
        } else if (gFreed.count(P)) {
            ruleName = rule::PoolDoubleFree;
            problem = "block " + detail::Hex(reinterpret_cast<ULONG_PTR>(P)) + " was freed already";
        } else {
            ruleName = rule::PoolFreeUnknown;
            problem = "address " + detail::Hex(reinterpret_cast<ULONG_PTR>(P)) + " is not a pool block";
        }
    }
    if (ruleName) detail::Report(ruleName, routine, problem);
}

}  // namespace

namespace detail {

// RtlFreeUnicodeString's release of a string buffer. It frees only strings that the Rtl
// conversion routines allocated for their caller, from the run-time library's own heap;
// the stand-in has none of those routines, so every buffer reaching here was allocated
// some other way. A pool block is the usual mistake (a real kernel stops the machine on
// it): it is reported and returned to pool, so that the report is the only trace.
void FreeRtlStringBuffer(PVOID buffer)
{
    const char *ruleName = rule::PoolFreeUnknown;
    std::string problem = "address " + Hex(reinterpret_cast<ULONG_PTR>(buffer)) +
                          " was not allocated by a run-time library string routine";
    {
        std::lock_guard<std::mutex> guard(gPoolLock);
        auto it = gBlocks.find(buffer);
        if (it != gBlocks.end()) {
            ruleName = rule::PoolFreeWrongRoutine;
            problem = "pool block " + Hex(reinterpret_cast<ULONG_PTR>(buffer)) + " with tag " +
                      TagText(it->second.tag) +
                      " freed as a run-time library string; pool is freed with ExFreePoolWithTag";
            std::size_t size = it->second.size;
            gBlocks.erase(it);
            Quarantine(buffer, size);
        } else if (gFreed.count(buffer)) {
            ruleName = rule::PoolDoubleFree;
            problem = "block " + Hex(reinterpret_cast<ULONG_PTR>(buffer)) + " was freed already";
        }
    }
    Report(ruleName, "RtlFreeUnicodeString", problem);
}

}  // namespace detail

void InjectPoolFailure(std::uint64_t nth)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    gFailAt = nth == 0 ? 0 : gAttempts + nth;
}

void InjectPoolFailureByTag(ULONG tag, std::uint64_t nth)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    if (nth == 0)
        gFailByTag.erase(tag);
    else
        gFailByTag[tag] = nth;
}

void FailAllPoolAllocationsByTag(ULONG tag, bool fail)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    if (fail)
        gFailAllTags.insert(tag);
    else
        gFailAllTags.erase(tag);
}

namespace {
std::mutex gPoolHookLock;
PoolAllocationHook &gPoolHook = *new PoolAllocationHook;
}  // namespace

void SetPoolAllocationHook(PoolAllocationHook hook)
{
    std::lock_guard<std::mutex> guard(gPoolHookLock);
    gPoolHook = std::move(hook);
}

namespace detail {
// Runs the test's hook, if any, outside every pool lock (it may do anything a thread may).
void RunPoolHook(ULONG tag)
{
    PoolAllocationHook hook;
    {
        std::lock_guard<std::mutex> guard(gPoolHookLock);
        if (!gPoolHook)
            return;
        hook = gPoolHook;
    }
    hook(tag);
}
}  // namespace detail

void ClearPoolFailures()
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    gFailAt = 0;
    gFailByTag.clear();
    gFailAllTags.clear();
}

std::uint64_t PoolAllocationAttempts()
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    return gAttempts;
}

std::uint64_t PoolFailuresInjected()
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    return gFailures;
}

std::size_t PoolBlocksOutstanding(ULONG tag)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    std::size_t n = 0;
    for (auto &[p, b] : gBlocks)
        if (tag == 0 || b.tag == tag) ++n;
    return n;
}

std::size_t PoolBytesOutstanding(ULONG tag)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    std::size_t n = 0;
    for (auto &[p, b] : gBlocks)
        if (tag == 0 || b.tag == tag) n += b.size;
    return n;
}

namespace detail {

bool PoolAttemptSucceeds(ULONG tag)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    return AttemptSucceedsLocked(tag);
}

std::size_t PoolBlocksOwnedBy(PDRIVER_OBJECT driver, std::string *detail)
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    std::size_t n = 0;
    for (auto &[p, b] : gBlocks) {
        if (b.owner != driver) continue;
        ++n;
        if (detail) detail->append(" ").append(TagText(b.tag)).append(" ").append(std::to_string(b.size)).append(" bytes at ").append(Hex(reinterpret_cast<ULONG_PTR>(p))).append(";");
    }
    return n;
}

void ResetPool()
{
    std::lock_guard<std::mutex> guard(gPoolLock);
    for (auto &[p, b] : gBlocks) std::free(p);
    gBlocks.clear();
    for (auto &[p, size] : gQuarantine) {
        TQ_UNPOISON(p, size);
        std::free(p);
    }
    gQuarantine.clear();
    gFreed.clear();
    gAttempts = gFailures = gFailAt = 0;
    gFailByTag.clear();
    gFailAllTags.clear();
    std::lock_guard<std::mutex> hookGuard(gPoolHookLock);
    gPoolHook = nullptr;
}

}  // namespace detail
}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

// Allocates NumberOfBytes of pool charged to the current driver; null when the failure
// injection says so. Paged pool needs IRQL at or below APC_LEVEL, non-paged pool at or
// below DISPATCH_LEVEL.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = Thread().irql;
    if (IsPaged(PoolType) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL)
        Report(rule::PoolAboveLimit, "ExAllocatePoolWithTag",
               std::string(IsPaged(PoolType) ? "paged" : "non-paged") + " pool requested at " + IrqlName(irql));
    RunPoolHook(Tag);
    std::lock_guard<std::mutex> guard(gPoolLock);
    if (!AttemptSucceedsLocked(Tag)) return nullptr;
    std::size_t size = NumberOfBytes == 0 ? 1 : NumberOfBytes;
    void *p = std::malloc((size + 15) & ~static_cast<std::size_t>(15));
    if (p == nullptr) return nullptr;
    std::memset(p, kFreshFill, size);
    gBlocks[p] = Block{Tag, size, PoolType, CurrentDriver()};
    return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, PoolTag("None"));
}

VOID NTAPI ExFreePool(PVOID P) { FreeBlock(P, 0, false, "ExFreePool"); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, Tag, Tag != 0, "ExFreePoolWithTag"); }

}  // extern "C"
