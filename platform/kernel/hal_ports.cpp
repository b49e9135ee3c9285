// The HAL's view of the buses: address decoding of port and memory space onto simulated
// devices, the port access routines, and MmMapIoSpace.
//
// A port access goes to the device that claims the port (a floating bus otherwise: reads
// give all ones, writes vanish), with the clock brought up to the access; afterwards the
// accessing thread takes any interrupt the access raised (if its IRQL allows) and spends
// PortAccessCost(): of virtual time in manual mode, of host time (divided by the speed
// factor) in real-time mode, where it also wakes the clock thread to catch up, so that a
// driver's bounded busy-wait lasts about as long as on a real bus and sees the device move.
//
// MmMapIoSpace hands out addresses from a reserved, inaccessible region below 4 GiB (so a
// driver may keep them in 32-bit fields, as it could on 32-bit Windows). The port routines
// accept such an address too and route it to the memory-space range it maps.
#include "kernel_internal.h"

#include <sys/mman.h>

#include <algorithm>

namespace plat {
namespace {

struct Claim {
    Space space;
    std::uint64_t base;
    std::uint32_t length;
    BusDevice *device;
};

struct Mapping {
    std::uintptr_t va;     // address handed out (with the physical address's page offset)
    std::uintptr_t start;  // first page of the mapping
    std::size_t pages;
    std::uint64_t physical;
    std::size_t size;
};

constexpr std::uintptr_t kPortSpaceEnd = 0x10000;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kRegionPages = 16384;  // 64 MiB of mappable address space

std::vector<Claim> &gClaims = *new std::vector<Claim>;  // guarded by the bus lock
// The two claims hit last (an interrupt routine goes back and forth between a device's
// register windows), looked at before the list; emptied whenever the list changes.
// Guarded by the bus lock.
Claim gRecent[2] = {};
unsigned gRecentNext = 0;

// gBus held: the list changed.
void ForgetRecentClaims()
{
    gRecent[0] = gRecent[1] = Claim{};
}

// Accesses that no device decoded, since the bus was last reset.
std::atomic<std::uint64_t> gUnclaimedAccesses{0};

// An access to an address no device claims: counted (a test proves with the count that a
// request touched no port of any device).
[[gnu::noinline, gnu::cold]] void CountUnclaimedAccess()
{
    gUnclaimedAccesses.fetch_add(1, std::memory_order_relaxed);
}

std::mutex gMapLock;
std::vector<Mapping> &gMappings = *new std::vector<Mapping>;
std::uintptr_t gRegion = 0;
std::vector<bool> &gPageUsed = *new std::vector<bool>;

bool ReserveRegion()
{
    if (gRegion != 0) return true;
    void *p = mmap(nullptr, kRegionPages * kPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_32BIT,
                   -1, 0);
    if (p == MAP_FAILED || reinterpret_cast<std::uintptr_t>(p) + kRegionPages * kPageSize > 0xFFFFFFFFull) {
        if (p != MAP_FAILED) munmap(p, kRegionPages * kPageSize);
        return false;
    }
    gRegion = reinterpret_cast<std::uintptr_t>(p);
    gPageUsed.assign(kRegionPages, false);
    return true;
}

std::uint32_t Ones(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1); }

// Translates an address MmMapIoSpace returned into a memory-space bus address; false if
// it is none.
bool DecodeMapped(std::uintptr_t address, std::uint64_t *busAddress)
{
    std::lock_guard<std::mutex> guard(gMapLock);
    for (const Mapping &m : gMappings) {
        if (address >= m.va && address < m.va + m.size) {
            *busAddress = m.physical + (address - m.va);
            return true;
        }
    }
    return false;
}

// An address that is neither a port nor a mapped one: reported, and read as a floating bus.
[[gnu::noinline, gnu::cold]] std::uint32_t RefuseAddress(std::uintptr_t address, unsigned width, const char *routine)
{
    CountUnclaimedAccess();
    detail::Report(rule::PortAddressInvalid, routine,
                   detail::Hex(address) + " is neither a port number nor an address returned by MmMapIoSpace");
    return Ones(width);
}

// Real time, before an access from a thread other than the clock thread: the device is
// brought up to about now, but never past an interrupt the clock thread has yet to take
// (it takes them in order); the clock thread is woken to do so.
[[gnu::noinline]] void CatchUpBeforeAccess()
{
    detail::CatchUpRealTime();
    detail::WakeClockThread();
}

// The end of an access that raised an interrupt, left a DPC, met a device event within its
// cost, or runs in real time: the interrupts are taken and the cost spent the long way.
[[gnu::noinline]] void FinishAccess(detail::ThreadState &t, bool manual)
{
    detail::DeliverInterrupts();
    if (manual)
        detail::SpendTime(PortAccessCost());
    else if (t.busDepth == 0 && !t.deliversInRealTime)
        detail::SpinHost(detail::HostNanosFor(PortAccessCost()));
}

// Whether claim c decodes busAddress in space (an address below the base wraps round past
// any length).
bool Covers(const Claim &c, Space space, std::uint64_t busAddress)
{
    return busAddress - c.base < c.length && c.space == space;
}

// The device claiming `busAddress` found in the whole list, and remembered; null if none.
// gBus held.
[[gnu::noinline]] BusDevice *LookUpClaimant(Space space, std::uint64_t busAddress, std::uint64_t *offset)
{
    for (const Claim &c : gClaims) {
        if (Covers(c, space, busAddress)) {
            gRecent[gRecentNext] = c;
            gRecentNext ^= 1;
            *offset = busAddress - c.base;
            return c.device;
        }
    }
    return nullptr;
}

// The device claiming `busAddress` in `space`, or null (floating bus). gBus held.
inline BusDevice *ClaimantLocked(Space space, std::uint64_t busAddress, std::uint64_t *offset)
{
    for (const Claim &c : gRecent) {
        if (Covers(c, space, busAddress)) {
            *offset = busAddress - c.base;
            return c.device;
        }
    }
    return LookUpClaimant(space, busAddress, offset);
}

// One port access: the rare cases (a mapped address, real time, an access that leaves
// something to take or meets a device event) are out of line, so that the common one, an
// interrupt routine's access in manual time, stays short. Inlined into each port routine,
// whose direction and width are constants.
[[gnu::always_inline]] inline std::uint32_t Access(bool write, std::uintptr_t address, unsigned width, std::uint32_t value, const char *routine)
{
    Space space = Space::Port;
    std::uint64_t busAddress = address;
    if (address >= kPortSpaceEnd) {
        if (!DecodeMapped(address, &busAddress)) return RefuseAddress(address, width, routine);
        space = Space::Memory;
    }
    const std::uint32_t ones = Ones(width);
    std::uint32_t result = ones;
    detail::ThreadState &t = detail::Thread();
    const bool manual = detail::ManualMode();
    if (!manual && !t.deliversInRealTime) CatchUpBeforeAccess();
    // Another thread wants the bus: an interrupt routine's hold of it ends here.
    detail::BusMutex &bus = detail::BusLock();
    if (t.busHold && bus.Wanted()) detail::LetGoOfBus(t);
    // An interrupt routine's thread holds the bus already (and keeps it throughout: device
    // code takes no spin lock and delivers nothing); any other takes it for the access.
    const bool held = t.busHold;
    if (!held) bus.lock(&t);
    ++t.busDepth;
    std::uint64_t offset = 0;
    if (BusDevice *device = ClaimantLocked(space, busAddress, &offset)) {
        if (write)
            device->BusWrite(space, offset, width, value & ones);
        else
            result = device->BusRead(space, offset, width) & ones;
    } else {
        CountUnclaimedAccess();
    }
    --t.busDepth;
    // Manual mode, the common case: the access raised no interrupt and left no DPC, so
    // taking them would do nothing, and its cost is spent here, in the same hold of the
    // bus, when no device event falls within it. Otherwise as below.
    const bool spent = manual && (!detail::InterruptMayBePending() || !detail::InterruptPending()) &&
                       !detail::DpcsWaiting() && detail::SpendPortCostLocked(t);
    if (!held) bus.unlock();
    if (!spent) FinishAccess(t, manual);
    return result;
}

}  // namespace

void ClaimRange(Space space, std::uint64_t base, std::uint32_t length, BusDevice *device)
{
    std::lock_guard<detail::BusMutex> guard(detail::BusLock());
    for (const Claim &c : gClaims) {
        if (c.space == space && base < c.base + c.length && c.base < base + length) {
            detail::Report(rule::RangeConflict, "ClaimRange",
                           std::string(space == Space::Port ? "port" : "memory") + " range " + detail::Hex(base) + "+" +
                               std::to_string(length) + " overlaps " + detail::Hex(c.base) + "+" +
                               std::to_string(c.length));
            return;
        }
    }
    gClaims.push_back(Claim{space, base, length, device});
    ForgetRecentClaims();
}

void ReleaseRange(Space space, std::uint64_t base)
{
    std::lock_guard<detail::BusMutex> guard(detail::BusLock());
    gClaims.erase(std::remove_if(gClaims.begin(), gClaims.end(),
                                 [&](const Claim &c) { return c.space == space && c.base == base; }),
                  gClaims.end());
    ForgetRecentClaims();
}

std::uint64_t UnclaimedAccessCount()
{
    return gUnclaimedAccesses.load(std::memory_order_relaxed);
}

void ReleaseAllRanges(BusDevice *device)
{
    std::lock_guard<detail::BusMutex> guard(detail::BusLock());
    gClaims.erase(
        std::remove_if(gClaims.begin(), gClaims.end(), [&](const Claim &c) { return c.device == device; }),
        gClaims.end());
    ForgetRecentClaims();
}

namespace detail {

void ResetBus()
{
    std::lock_guard<BusMutex> guard(BusLock());
    gClaims.clear();
    gUnclaimedAccesses.store(0);
    ForgetRecentClaims();
}

void ResetMemoryMappings()
{
    std::lock_guard<std::mutex> guard(gMapLock);
    gMappings.clear();
    std::fill(gPageUsed.begin(), gPageUsed.end(), false);
}

}  // namespace detail
}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port)
{
    return static_cast<UCHAR>(Access(false, reinterpret_cast<std::uintptr_t>(Port), 1, 0, "READ_PORT_UCHAR"));
}

USHORT NTAPI READ_PORT_USHORT(PUSHORT Port)
{
    return static_cast<USHORT>(Access(false, reinterpret_cast<std::uintptr_t>(Port), 2, 0, "READ_PORT_USHORT"));
}

ULONG NTAPI READ_PORT_ULONG(PULONG Port)
{
    return Access(false, reinterpret_cast<std::uintptr_t>(Port), 4, 0, "READ_PORT_ULONG");
}

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    Access(true, reinterpret_cast<std::uintptr_t>(Port), 1, Value, "WRITE_PORT_UCHAR");
}

VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    Access(true, reinterpret_cast<std::uintptr_t>(Port), 2, Value, "WRITE_PORT_USHORT");
}

VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    Access(true, reinterpret_cast<std::uintptr_t>(Port), 4, Value, "WRITE_PORT_ULONG");
}

VOID NTAPI READ_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count)
{
    for (ULONG i = 0; i < Count; ++i) Buffer[i] = READ_PORT_UCHAR(Port);
}

VOID NTAPI WRITE_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count)
{
    for (ULONG i = 0; i < Count; ++i) WRITE_PORT_UCHAR(Port, Buffer[i]);
}

// Maps a physical range for the port routines (and nothing else: the address cannot be
// dereferenced). Null when the range is empty or the mappable space is used up.
PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType)
{
    (void)CacheType;
    if (Thread().irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "MmMapIoSpace", "called at " + IrqlName(Thread().irql));
    if (NumberOfBytes == 0) return nullptr;
    std::lock_guard<std::mutex> guard(gMapLock);
    if (!ReserveRegion()) return nullptr;
    std::uint64_t physical = static_cast<std::uint64_t>(PhysicalAddress.QuadPart);
    std::size_t offset = physical % kPageSize;
    std::size_t pages = (offset + NumberOfBytes + kPageSize - 1) / kPageSize;
    for (std::size_t first = 0; first + pages <= kRegionPages; ++first) {
        bool free = true;
        for (std::size_t i = 0; i < pages && free; ++i) free = !gPageUsed[first + i];
        if (!free) continue;
        for (std::size_t i = 0; i < pages; ++i) gPageUsed[first + i] = true;
        std::uintptr_t start = gRegion + first * kPageSize;
        gMappings.push_back(Mapping{start + offset, start, pages, physical, NumberOfBytes});
        return reinterpret_cast<PVOID>(start + offset);
    }
    return nullptr;
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    std::string problem;
    {
        std::lock_guard<std::mutex> guard(gMapLock);
        auto it = std::find_if(gMappings.begin(), gMappings.end(),
                               [&](const Mapping &m) { return m.va == reinterpret_cast<std::uintptr_t>(BaseAddress); });
        if (it == gMappings.end()) {
            problem = Hex(reinterpret_cast<ULONG_PTR>(BaseAddress)) + " is not an address MmMapIoSpace returned";
        } else if (it->size != NumberOfBytes) {
            problem = "mapping at " + Hex(reinterpret_cast<ULONG_PTR>(BaseAddress)) + " has " +
                      std::to_string(it->size) + " bytes, unmapped with " + std::to_string(NumberOfBytes);
        } else {
            std::size_t first = (it->start - gRegion) / kPageSize;
            for (std::size_t i = 0; i < it->pages; ++i) gPageUsed[first + i] = false;
            gMappings.erase(it);
        }
    }
    if (!problem.empty()) Report(rule::MappingUnknown, "MmUnmapIoSpace", problem);
}

}  // extern "C"
