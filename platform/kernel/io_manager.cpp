// The I/O manager: driver and device objects, device stacks, symbolic links, IRPs and
// their stack locations, IoCallDriver, IoCompleteRequest, cancellation and MDLs.
//
// Every IRP carries a record of its own just before it (kind, completion state, and per
// stack location whether completion has passed it, with which status and whether it was
// marked pending). The verifier reads that record when a dispatch routine returns and
// while completion runs up the stack. A freed IRP is kept for a while (its record stays
// readable, the IRP itself poisoned under AddressSanitizer) so that a late use of it is
// reported instead of corrupting memory.
#include "kernel_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <deque>
#include <map>
#include <set>
#include <unordered_map>
#include <new>
#include <unordered_set>

#if defined(__SANITIZE_THREAD__)
// Races the real platform has by design, marked for ThreadSanitizer where they occur (the
// cancel flag of an IRP, the initialising flag of a device object).
extern "C" void AnnotateBenignRaceSized(const char *file, int line, const volatile void *address, long size,
                                        const char *description);
#define TQ_BENIGN_RACE(address, size, what) AnnotateBenignRaceSized(__FILE__, __LINE__, (address), (size), (what))
#else
#define TQ_BENIGN_RACE(address, size, what) ((void)(address), (void)(size), (void)(what))
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TQ_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define TQ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define TQ_POISON(p, n) ((void)(p), (void)(n))
#define TQ_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace plat {
namespace detail {

enum class IrpState : int { Active, Completing, InRoutine, Halted, Completed, Freed };

constexpr std::uint32_t kIrpMagic = 0x49525021;  // "!PRI"
constexpr int kMaxStack = 128;

struct IrpTrack {
    std::uint32_t magic;
    IrpKind kind;
    std::atomic<int> state;
    std::atomic<unsigned> generation;
    std::size_t bytes;
    bool passed[kMaxStack];
    bool pendingAt[kMaxStack];
    bool pendingClaim[kMaxStack];  // the dispatch returned STATUS_PENDING before its location was marked
    std::recursive_mutex lock;     // the completion walk and the checks of dispatch returns
    NTSTATUS statusAt[kMaxStack];
    KEVENT done;           // completion reached the top (user requests)
    PVOID systemBuffer;    // owned by the I/O manager
    PMDL mdl;              // owned by the I/O manager
    ULONG method;
    ULONG inputLength;
    ULONG outputLength;
    std::uint64_t fillSeed;  // METHOD_BUFFERED: the fill of the system buffer past the input
    // IofCallDriver calls under way for this IRP, which look at this record after their
    // dispatch routine returned, when the IRP may already be completed and freed; and
    // whether the quarantine let go of the block meanwhile, so that the last of those
    // calls frees it. Both guarded by gIrpLock.
    unsigned callsUnderWay;
    bool leftQuarantine;
};

struct alignas(16) IrpBlock {
    IrpTrack track;
    IRP irp;
    // stack locations follow
};

}  // namespace detail

namespace {

using namespace detail;

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeIrp = 6;
constexpr std::size_t kIrpQuarantine = 1024;

struct DeviceInfo {
    std::wstring name;  // upper-cased, empty if unnamed
    PDEVICE_OBJECT attachedTo = nullptr;
    bool deletePending = false;
    // The thread whose AddDevice created the device and has not returned yet, else null.
    // A driver clears DO_DEVICE_INITIALIZING with a plain store before AddDevice ends and
    // may still set things up after it; an open is let through only once AddDevice has
    // returned, so that it sees everything AddDevice did (the PnP manager publishes the
    // device under gIoLock, which the open takes too).
    PETHREAD addingThread = nullptr;
};

struct Link {
    std::wstring target;  // upper-cased device name
    PDRIVER_OBJECT owner;
    std::wstring original;
};

std::mutex gIoLock;
std::unordered_map<PDEVICE_OBJECT, DeviceInfo> &gDevices = *new std::unordered_map<PDEVICE_OBJECT, DeviceInfo>;
std::map<std::wstring, Link> &gLinks = *new std::map<std::wstring, Link>;
std::set<PDRIVER_OBJECT> &gDrivers = *new std::set<PDRIVER_OBJECT>;
std::set<PDRIVER_OBJECT> &gDriversUnloading = *new std::set<PDRIVER_OBJECT>;  // freed once their last device object is gone

std::mutex gIrpLock;
std::unordered_set<PIRP> &gIrps = *new std::unordered_set<PIRP>;          // live IRPs
std::deque<IrpBlock *> &gIrpQuarantine = *new std::deque<IrpBlock *>;   // freed IRPs kept for a while
std::unordered_set<PIRP> &gFreedIrps = *new std::unordered_set<PIRP>;

bool gMdlMapped = false;
unsigned gAttachFailures = 0;  // IoAttachDeviceToDeviceStack calls still to fail

std::wstring Upper(const std::wstring &s)
{
    std::wstring r = s;
    for (wchar_t &c : r) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return r;
}

std::wstring FromUnicode(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) return std::wstring();
    return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

// \DosDevices\X and \GLOBAL??\X are other spellings of \??\X.
std::wstring CanonicalLink(const std::wstring &name)
{
    std::wstring u = Upper(name);
    for (const std::wstring &prefix : {std::wstring(L"\\DOSDEVICES\\"), std::wstring(L"\\GLOBAL??\\")}) {
        if (u.compare(0, prefix.size(), prefix) == 0) return L"\\??\\" + u.substr(prefix.size());
    }
    return u;
}

std::string Narrow(const std::wstring &w)
{
    std::string s;
    for (wchar_t c : w) s += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    return s;
}

IrpBlock *BlockOf(PIRP irp)
{
    return reinterpret_cast<IrpBlock *>(reinterpret_cast<char *>(irp) - offsetof(IrpBlock, irp));
}

PIO_STACK_LOCATION StackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

// The record of an IRP this I/O manager made, or null (reported) for anything else.
IrpTrack *Track(PIRP irp, const char *routine)
{
    bool freed;
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        if (gIrps.count(irp)) return &BlockOf(irp)->track;
        freed = gFreedIrps.count(irp) != 0;
    }
    bool completing = std::string(routine) == "IofCompleteRequest";
    Report(freed && completing ? rule::IrpCompletedTwice : rule::UnknownIrp, routine,
           "IRP " + Hex(reinterpret_cast<ULONG_PTR>(irp)) + (freed ? " has been freed" : " is not an IRP"));
    return nullptr;
}

const char *MajorName(UCHAR major)
{
    static const char *names[] = {"IRP_MJ_CREATE",
                                  "IRP_MJ_CREATE_NAMED_PIPE",
                                  "IRP_MJ_CLOSE",
                                  "IRP_MJ_READ",
                                  "IRP_MJ_WRITE",
                                  "IRP_MJ_QUERY_INFORMATION",
                                  "IRP_MJ_SET_INFORMATION",
                                  "IRP_MJ_QUERY_EA",
                                  "IRP_MJ_SET_EA",
                                  "IRP_MJ_FLUSH_BUFFERS",
                                  "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                  "IRP_MJ_SET_VOLUME_INFORMATION",
                                  "IRP_MJ_DIRECTORY_CONTROL",
                                  "IRP_MJ_FILE_SYSTEM_CONTROL",
                                  "IRP_MJ_DEVICE_CONTROL",
                                  "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                  "IRP_MJ_SHUTDOWN",
                                  "IRP_MJ_LOCK_CONTROL",
                                  "IRP_MJ_CLEANUP",
                                  "IRP_MJ_CREATE_MAILSLOT",
                                  "IRP_MJ_QUERY_SECURITY",
                                  "IRP_MJ_SET_SECURITY",
                                  "IRP_MJ_POWER",
                                  "IRP_MJ_SYSTEM_CONTROL",
                                  "IRP_MJ_DEVICE_CHANGE",
                                  "IRP_MJ_QUERY_QUOTA",
                                  "IRP_MJ_SET_QUOTA",
                                  "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

std::string DispatchName(UCHAR major) { return std::string("dispatch routine (") + MajorName(major) + ")"; }

void ClearStackLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

void FreeDriverMemory(PDRIVER_OBJECT driver)
{
    std::free(driver->DriverName.Buffer);
    std::free(driver);
}

// Frees a deleted device object, and its driver object if the driver was unloaded while the
// device was still referenced (the image stays until its last device object is gone).
void FreeDeviceMemory(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    std::free(device);
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        if (!gDriversUnloading.count(driver)) return;
        for (auto &[other, info] : gDevices)
            if (other->DriverObject == driver) return;
        gDriversUnloading.erase(driver);
    }
    FreeDriverMemory(driver);
}

PMDL AllocateMdlInternal(PVOID va, ULONG length)
{
    auto *mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    auto address = reinterpret_cast<std::uintptr_t>(va);
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<std::uintptr_t>(4095));
    mdl->ByteOffset = static_cast<ULONG>(address & 4095);
    mdl->ByteCount = length;
    return mdl;
}

void FinishAtTop(PIRP irp, IrpTrack *track);

}  // namespace

namespace detail {

PIRP AllocateIrp(CCHAR stackSize, IrpKind kind)
{
    if (stackSize < 1) return nullptr;
    std::size_t bytes = sizeof(IrpBlock) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto *block = static_cast<IrpBlock *>(std::aligned_alloc(alignof(IrpBlock), (bytes + 15) & ~std::size_t{15}));
    std::memset(static_cast<void *>(block), 0, bytes);
    IrpTrack &t = *new (&block->track) IrpTrack{};
    t.magic = kIrpMagic;
    t.kind = kind;
    t.state.store(static_cast<int>(IrpState::Active));
    t.generation.store(0);
    t.bytes = bytes;
    KeInitializeEvent(&t.done, NotificationEvent, FALSE);
    PIRP irp = &block->irp;
    TQ_BENIGN_RACE(&irp->Cancel, sizeof irp->Cancel, "Irp->Cancel, read by drivers without the cancel spin lock");
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = StackBase(irp) + stackSize;
    irp->RequestorMode = KernelMode;
    InitializeListHead(&irp->ThreadListEntry);
    std::lock_guard<std::mutex> guard(gIrpLock);
    gIrps.insert(irp);
    return irp;
}

// Gives a block back to the heap for good. gIrpLock held.
void DestroyBlock(IrpBlock *block)
{
    TQ_UNPOISON(&block->irp, block->track.bytes - offsetof(IrpBlock, irp));
    block->track.~IrpTrack();
    std::free(block);
}

void FreeIrpInternal(PIRP irp)
{
    IrpBlock *block = BlockOf(irp);
    std::lock_guard<std::mutex> guard(gIrpLock);
    if (!gIrps.erase(irp)) return;
    if (block->track.systemBuffer) std::free(block->track.systemBuffer);
    if (block->track.mdl) std::free(block->track.mdl);
    block->track.systemBuffer = nullptr;
    block->track.mdl = nullptr;
    block->track.state.store(static_cast<int>(IrpState::Freed));
    std::size_t irpBytes = block->track.bytes - offsetof(IrpBlock, irp);
    std::memset(static_cast<void *>(irp), 0xDD, irpBytes);
    TQ_POISON(irp, irpBytes);
    gFreedIrps.insert(irp);
    gIrpQuarantine.push_back(block);
    while (gIrpQuarantine.size() > kIrpQuarantine) {
        IrpBlock *old = gIrpQuarantine.front();
        gIrpQuarantine.pop_front();
        gFreedIrps.erase(&old->irp);
        if (old->track.callsUnderWay > 0) {
            old->track.leftQuarantine = true;  // the last IofCallDriver still reading it frees it
            continue;
        }
        DestroyBlock(old);
    }
}

// Keeps an IRP's record alive across one IofCallDriver call, whose checks after the
// dispatch routine returned read it even when the IRP was completed and freed meanwhile
// (a power request completed by the bus driver at once, say) and a busy machine pushed
// it through the quarantine.
void HoldTrack(IrpTrack *t)
{
    std::lock_guard<std::mutex> guard(gIrpLock);
    ++t->callsUnderWay;
}

void ReleaseTrack(IrpTrack *t)
{
    std::lock_guard<std::mutex> guard(gIrpLock);
    if (--t->callsUnderWay == 0 && t->leftQuarantine)
        DestroyBlock(reinterpret_cast<IrpBlock *>(reinterpret_cast<char *>(t) - offsetof(IrpBlock, track)));
}

void WaitForIrpCompletion(PIRP irp)
{
    WaitForObject(&BlockOf(irp)->track.done, kNever);
}

bool IrpCompletedToTop(PIRP irp)
{
    return BlockOf(irp)->track.state.load() == static_cast<int>(IrpState::Completed);
}

namespace {

// A buffered request's system buffer comes from pool that the real I/O manager does not
// clear: past the input it holds whatever the pool held before. Here it holds a fill that
// is never zero and differs from request to request, so that no caller or device can
// produce it on purpose, and a driver that hands some of it back is found out.
std::atomic<std::uint64_t> gFillSerial{0};
constexpr std::size_t kFillRun = 4;  // returned fill bytes in a row that make a report

std::uint64_t Mix64(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Byte i of the fill of the request with this seed: 1…255.
std::uint8_t FillByte(std::uint64_t seed, std::size_t i)
{
    std::uint8_t b = static_cast<std::uint8_t>(Mix64(seed ^ (i / 8)) >> (8 * (i % 8)));
    return b != 0 ? b : 0xA5;
}

// Completion of a buffered request that returns bytes: a run of kFillRun or more returned
// bytes past the input still holding the fill is pool the driver never wrote, on its way
// to the caller. (A shorter run is not judged: four bytes a driver wrote match the fill
// by chance once in 2^32, one byte once in 255.)
void CheckReturnedFill(const IrpTrack &t, ULONG_PTR returned)
{
    const auto *buffer = static_cast<const std::uint8_t *>(t.systemBuffer);
    std::size_t run = 0;
    for (std::size_t i = t.inputLength; i < returned; ++i) {
        run = buffer[i] == FillByte(t.fillSeed, i) ? run + 1 : 0;
        if (run < kFillRun) continue;
        std::size_t first = i + 1 - run;
        while (i + 1 < returned && buffer[i + 1] == FillByte(t.fillSeed, i + 1)) ++i;
        Report(rule::BufferedReplyUninitialised, "IofCompleteRequest",
               "bytes " + std::to_string(first) + "…" + std::to_string(i) + " of the " + std::to_string(returned) +
                   " returned by a buffered request (input " + std::to_string(t.inputLength) +
                   " bytes) still hold the pool's old contents: the driver never wrote them");
        return;
    }
}

}  // namespace

// Sets up the buffers of a device-control request as the real I/O manager does.
// METHOD_BUFFERED: one system buffer of max(in, out) bytes, input copied in, the rest
// holding a fill that stands for uninitialised pool. METHOD_IN/OUT_DIRECT: the input in a
// system buffer, the output described by an MDL (mapped or not, per
// SetDirectIoMdlMapped). METHOD_NEITHER: raw pointers.
void SetUpDeviceControlBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength, bool kernelCaller)
{
    IrpTrack &t = BlockOf(irp)->track;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    t.method = METHOD_FROM_CTL_CODE(code);
    t.inputLength = inputLength;
    t.outputLength = outputLength;
    irp->UserBuffer = output;
    switch (t.method) {
    case METHOD_BUFFERED: {
        ULONG size = std::max(inputLength, outputLength);
        if (size != 0) {
            t.systemBuffer = std::malloc(size);
            t.fillSeed = Mix64(gFillSerial.fetch_add(1, std::memory_order_relaxed));
            auto *bytes = static_cast<std::uint8_t *>(t.systemBuffer);
            for (ULONG i = inputLength; i < size; ++i) bytes[i] = FillByte(t.fillSeed, i);
            if (inputLength) std::memcpy(t.systemBuffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = t.systemBuffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (outputLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputLength != 0) {
            t.systemBuffer = std::malloc(inputLength);
            std::memcpy(t.systemBuffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = t.systemBuffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength != 0) {
            t.mdl = AllocateMdlInternal(output, outputLength);
            t.mdl->MdlFlags = MDL_PAGES_LOCKED;
            if (t.method == METHOD_OUT_DIRECT) t.mdl->MdlFlags |= MDL_WRITE_OPERATION;
            if (gMdlMapped || kernelCaller) {
                t.mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
                t.mdl->MappedSystemVa = output;
            }
            irp->MdlAddress = t.mdl;
        }
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = input;
        break;
    }
}

// After completion: copies a buffered request's output back when the status is not an
// error (IoStatus.Information bytes, never more than the caller's output length), and
// reports returned bytes the driver never wrote.
void FinishDeviceControlBuffers(PIRP irp, PVOID output)
{
    IrpTrack &t = BlockOf(irp)->track;
    if (t.method != METHOD_BUFFERED || NT_ERROR(irp->IoStatus.Status) || t.outputLength == 0) return;
    ULONG_PTR info = irp->IoStatus.Information;
    if (info > t.outputLength) {
        Report(rule::InformationTooLarge, "IofCompleteRequest",
               "IoStatus.Information " + std::to_string(info) + " exceeds the output buffer of " +
                   std::to_string(t.outputLength) + " bytes; copied back " + std::to_string(t.outputLength));
        info = t.outputLength;
    }
    if (info == 0 || t.systemBuffer == nullptr) return;
    CheckReturnedFill(t, info);
    std::memcpy(output, t.systemBuffer, info);
}

std::size_t DevicesOwnedBy(PDRIVER_OBJECT driver, std::string *detail)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    std::size_t n = 0;
    for (auto &[device, info] : gDevices) {
        if (device->DriverObject != driver || info.deletePending) continue;
        ++n;
        if (detail) detail->append(" ").append(info.name.empty() ? Hex(reinterpret_cast<ULONG_PTR>(device)) : Narrow(info.name)).append(";");
    }
    return n;
}

std::size_t LinksOwnedBy(PDRIVER_OBJECT driver, std::string *detail)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    std::size_t n = 0;
    for (auto &[name, link] : gLinks) {
        if (link.owner != driver) continue;
        ++n;
        if (detail) detail->append(" ").append(Narrow(link.original)).append(";");
    }
    return n;
}

PDEVICE_OBJECT ResolveLink(const std::wstring &linkName)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    auto l = gLinks.find(CanonicalLink(linkName));
    if (l == gLinks.end()) return nullptr;
    for (auto &[device, info] : gDevices)
        if (!info.deletePending && info.name == l->second.target) return device;
    return nullptr;
}

bool DeviceOpenable(PDEVICE_OBJECT device, NTSTATUS *status)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    auto it = gDevices.find(device);
    if (it == gDevices.end() || it->second.deletePending) {
        *status = STATUS_DELETE_PENDING;
        return false;
    }
    if ((device->Flags & DO_DEVICE_INITIALIZING) || it->second.addingThread != nullptr) {
        *status = STATUS_NO_SUCH_DEVICE;
        return false;
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0) {
        *status = STATUS_ACCESS_DENIED;
        return false;
    }
    // The open in progress holds a reference from here on, as the object manager's parse of a
    // device name does: a concurrent IoDeleteDevice marks the device delete-pending but cannot
    // free it under the create request. The caller drops it again if the create fails.
    ++device->ReferenceCount;
    *status = STATUS_SUCCESS;
    return true;
}

void PublishDevicesAddedHere()
{
    const PETHREAD me = CurrentThreadToken();
    std::lock_guard<std::mutex> guard(gIoLock);
    for (auto &[device, info] : gDevices)
        if (info.addingThread == me) info.addingThread = nullptr;
}

void DeviceReferenceDropped(PDEVICE_OBJECT device)
{
    bool free = false;
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        if (--device->ReferenceCount == 0) {
            auto it = gDevices.find(device);
            if (it != gDevices.end() && it->second.deletePending) {
                gDevices.erase(it);
                free = true;
            }
        }
    }
    if (free) FreeDeviceMemory(device);
}

void ResetIo()
{
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        for (auto &[device, info] : gDevices) std::free(device);
        gDevices.clear();
        gLinks.clear();
        for (PDRIVER_OBJECT d : gDrivers) FreeDriverMemory(d);
        gDrivers.clear();
        for (PDRIVER_OBJECT d : gDriversUnloading) FreeDriverMemory(d);
        gDriversUnloading.clear();
        gMdlMapped = false;
        gAttachFailures = 0;
    }
    std::lock_guard<std::mutex> guard(gIrpLock);
    for (PIRP irp : gIrps) {
        IrpBlock *block = BlockOf(irp);
        std::free(block->track.systemBuffer);
        std::free(block->track.mdl);
        block->track.~IrpTrack();
        std::free(block);
    }
    gIrps.clear();
    for (IrpBlock *block : gIrpQuarantine) DestroyBlock(block);
    gIrpQuarantine.clear();
    gFreedIrps.clear();
}

}  // namespace detail

namespace {

// Completion has reached the top of the stack: the request goes back to whoever issued it.
void FinishAtTop(PIRP irp, IrpTrack *track)
{
    switch (track->kind) {
    case IrpKind::UserRequest:
        // A request its issuer has left is finished (and freed) here; otherwise the issuer
        // wakes to finish it.
        if (!UserRequestCompleted(irp)) KeSetEvent(&track->done, IO_NO_INCREMENT, FALSE);
        break;
    case IrpKind::BuiltIoctl: {
        FinishDeviceControlBuffers(irp, irp->UserBuffer);
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        FreeIrpInternal(irp);
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        break;
    }
    case IrpKind::Allocated:
        Report(rule::IrpCompletedWithoutOwner, "IofCompleteRequest",
               "IRP " + Hex(reinterpret_cast<ULONG_PTR>(irp)) +
                   " from IoAllocateIrp was completed to the top without a completion routine that takes it back "
                   "(STATUS_MORE_PROCESSING_REQUIRED)");
        break;
    }
}

// What the I/O manager checks when a dispatch routine returns.
void CheckDispatchReturn(PIRP irp, IrpTrack *t, int index, NTSTATUS status, UCHAR major)
{
    const std::string routine = DispatchName(major);
    std::unique_lock<std::recursive_mutex> guard(t->lock);
    if (status == STATUS_PENDING) {
        // The location may still be marked by a completion routine that propagates
        // PendingReturned; then the judgement waits until completion passes the location.
        bool marked = true;
        if (t->passed[index])
            marked = t->pendingAt[index];
        else if (t->state.load() != static_cast<int>(IrpState::Freed) &&
                 !(StackBase(irp)[index].Control & SL_PENDING_RETURNED))
            t->pendingClaim[index] = true;
        guard.unlock();
        if (!marked)
            Report(rule::PendingWithoutMark, routine.c_str(),
                   "returned STATUS_PENDING for IRP " + Hex(reinterpret_cast<ULONG_PTR>(irp)) +
                       " without IoMarkIrpPending in its stack location");
        return;
    }
    const bool passed = t->passed[index];
    const NTSTATUS completedWith = t->statusAt[index];
    guard.unlock();
    if (!passed) {
        Report(rule::IrpNotCompletedOnReturn, routine.c_str(),
               "returned " + Hex(static_cast<ULONG>(status)) + " but IRP " + Hex(reinterpret_cast<ULONG_PTR>(irp)) +
                   " (minor function " + Hex(StackBase(irp)[index].MinorFunction) + ")" +
                   " was neither completed nor passed to a driver that completed it, and STATUS_PENDING was not returned");
        return;
    }
    if (completedWith != status)
        Report(rule::ReturnStatusMismatch, routine.c_str(),
               "returned " + Hex(static_cast<ULONG>(status)) + " but completed IRP " +
                   Hex(reinterpret_cast<ULONG_PTR>(irp)) + " with " + Hex(static_cast<ULONG>(completedWith)));
}

}  // namespace

void SetDirectIoMdlMapped(bool mapped)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    gMdlMapped = mapped;
}

bool DirectIoMdlMapped()
{
    std::lock_guard<std::mutex> guard(gIoLock);
    return gMdlMapped;
}

void FailDeviceAttach(unsigned count)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    gAttachFailures = count;
}

PDRIVER_OBJECT CreateDriverObject(const char *name)
{
    std::size_t bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto *driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, bytes));
    driver->Type = kIoTypeDriver;
    driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    std::wstring full = L"\\Driver\\";
    for (const char *p = name; p && *p; ++p) full += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    auto *buffer = static_cast<PWSTR>(std::calloc(full.size() + 1, sizeof(WCHAR)));
    std::memcpy(buffer, full.c_str(), full.size() * sizeof(WCHAR));
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = static_cast<USHORT>(full.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>((full.size() + 1) * sizeof(WCHAR));
    for (auto &entry : driver->MajorFunction) entry = IopInvalidDeviceRequest;
    std::lock_guard<std::mutex> guard(gIoLock);
    gDrivers.insert(driver);
    return driver;
}

void FreeDriverObject(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        if (!gDrivers.erase(driver)) return;
        for (auto &[device, info] : gDevices) {
            if (device->DriverObject == driver) {
                gDriversUnloading.insert(driver);
                return;
            }
        }
    }
    FreeDriverMemory(driver);
}

PDEVICE_OBJECT FindDeviceByName(const wchar_t *name)
{
    std::wstring key = Upper(name);
    std::lock_guard<std::mutex> guard(gIoLock);
    for (auto &[device, info] : gDevices)
        if (!info.deletePending && info.name == key) return device;
    return nullptr;
}

}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

// The default dispatch entry of every driver object.
NTSTATUS NTAPI IopInvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Creates a device object with a zeroed extension, DO_DEVICE_INITIALIZING set, and links it
// into the driver's device list. A name already in use gives STATUS_OBJECT_NAME_COLLISION.
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "IoCreateDevice", "called at " + IrqlName(Thread().irql));
    *DeviceObject = nullptr;
    std::wstring name = Upper(FromUnicode(DeviceName));
    if (!name.empty() && name[0] != L'\\') return STATUS_OBJECT_NAME_INVALID;
    {
        std::lock_guard<std::mutex> guard(gIoLock);
        if (!name.empty())
            for (auto &[device, info] : gDevices)
                if (!info.deletePending && info.name == name) return STATUS_OBJECT_NAME_COLLISION;
    }
    if (!PoolAttemptSucceeds(PoolTag("Devi"))) return STATUS_INSUFFICIENT_RESOURCES;
    std::size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~std::size_t{15};
    auto *device = static_cast<PDEVICE_OBJECT>(std::calloc(1, head + DeviceExtensionSize));
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    // As on the real platform, the driver clears DO_DEVICE_INITIALIZING with a plain store
    // while an open on another thread may be testing it; either value is handled.
    TQ_BENIGN_RACE(&device->Flags, sizeof device->Flags, "DEVICE_OBJECT.Flags, cleared by AddDevice while an open tests it");
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char *>(device) + head : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    std::lock_guard<std::mutex> guard(gIoLock);
    for (auto &[other, info] : gDevices)  // checked again: another thread may have taken the name
        if (!name.empty() && !info.deletePending && info.name == name) {
            std::free(device);
            return STATUS_OBJECT_NAME_COLLISION;
        }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    DeviceInfo &info = gDevices[device];
    info.name = name;
    info.addingThread = Thread().addingDevice > 0 ? CurrentThreadToken() : nullptr;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// Deletes a device object (PASSIVE_LEVEL). Its name goes at once; its memory when the last
// file object opened on it is closed.
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::DeleteDeviceAboveLimit, "IoDeleteDevice", "called at " + IrqlName(Thread().irql));
    auto reportUnknown = [DeviceObject] {
        Report(rule::UnknownObject, "IoDeleteDevice",
               Hex(reinterpret_cast<ULONG_PTR>(DeviceObject)) + " is not a device object (or was deleted)");
    };
    bool known;
    {
        std::lock_guard<std::mutex> lock(gIoLock);
        auto it = gDevices.find(DeviceObject);
        known = it != gDevices.end() && !it->second.deletePending;
    }
    if (!known) {
        reportUnknown();
        return;
    }
    // The DPC is looked at while the device cannot go yet: once it is delete-pending, the
    // close of its last file object (on another thread) frees it.
    if (DpcQueued(&DeviceObject->Dpc)) {
        RemoveQueuedDpc(&DeviceObject->Dpc);
        Report(rule::DeviceDeletedDpcQueued, "IoDeleteDevice",
               "the device object's DPC is still queued; removed from the queue");
    }
    bool attached = false;
    bool free = false;
    {
        std::unique_lock<std::mutex> lock(gIoLock);
        auto it = gDevices.find(DeviceObject);
        if (it == gDevices.end() || it->second.deletePending) {
            lock.unlock();
            reportUnknown();
            return;
        }
        attached = it->second.attachedTo != nullptr;
        PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link) *link = DeviceObject->NextDevice;
        it->second.deletePending = true;
        it->second.name.clear();
        if (DeviceObject->ReferenceCount == 0) {
            gDevices.erase(it);
            free = true;
        }
    }
    if (attached)
        Report(rule::DeviceDeletedAttached, "IoDeleteDevice",
               "device " + Hex(reinterpret_cast<ULONG_PTR>(DeviceObject)) + " is still attached to a lower device");
    if (free) FreeDeviceMemory(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "IoCreateSymbolicLink", "called at " + IrqlName(Thread().irql));
    std::wstring original = FromUnicode(SymbolicLinkName);
    std::wstring link = CanonicalLink(original);
    std::wstring target = Upper(FromUnicode(DeviceName));
    if (link.empty() || link[0] != L'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(gIoLock);
    if (gLinks.count(link)) return STATUS_OBJECT_NAME_COLLISION;
    gLinks[link] = Link{target, CurrentDriver(), original};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "IoDeleteSymbolicLink", "called at " + IrqlName(Thread().irql));
    std::lock_guard<std::mutex> guard(gIoLock);
    return gLinks.erase(CanonicalLink(FromUnicode(SymbolicLinkName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

// Attaches SourceDevice on top of the stack that TargetDevice is in; returns the device it
// was attached to (the previous top), or null when that device is being deleted.
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    if (gAttachFailures > 0) {
        --gAttachFailures;
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    auto it = gDevices.find(top);
    auto source = gDevices.find(SourceDevice);
    if (it == gDevices.end() || it->second.deletePending || source == gDevices.end() || top == SourceDevice)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    source->second.attachedTo = top;
    return top;
}

// Detaches whatever device is attached on top of TargetDevice.
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::mutex> guard(gIoLock);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) return;
    auto it = gDevices.find(above);
    if (it != gDevices.end()) it->second.attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    if (Thread().irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "IoAllocateIrp", "called at " + IrqlName(Thread().irql));
    if (StackSize < 1 || !PoolAttemptSucceeds(PoolTag("Irp "))) return nullptr;
    return AllocateIrp(StackSize, IrpKind::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    IrpTrack *t = Track(Irp, "IoFreeIrp");
    if (t == nullptr) return;
    if (t->kind == IrpKind::UserRequest) {
        Report(rule::IrpFreedInUse, "IoFreeIrp", "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) +
                                                     " belongs to the I/O manager (a caller's request)");
        return;
    }
    int state = t->state.load();
    if ((state == static_cast<int>(IrpState::Active) && Irp->CurrentLocation <= Irp->StackCount) ||
        state == static_cast<int>(IrpState::Completing)) {
        Report(rule::IrpFreedInUse, "IoFreeIrp",
               "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) + " is still in a driver or being completed");
        return;
    }
    FreeIrpInternal(Irp);
}

// Makes a completed IRP ready to be sent again.
VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    IrpTrack *t = Track(Irp, "IoReuseIrp");
    if (t == nullptr) return;
    CCHAR stackSize = Irp->StackCount;
    std::memset(static_cast<void *>(Irp), 0, t->bytes - offsetof(IrpBlock, irp));
    Irp->Type = kIoTypeIrp;
    Irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = StackBase(Irp) + stackSize;
    Irp->IoStatus.Status = Iostatus;
    InitializeListHead(&Irp->ThreadListEntry);
    for (int i = 0; i < kMaxStack; ++i) t->passed[i] = t->pendingAt[i] = false;
    t->state.store(static_cast<int>(IrpState::Active));
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "IoBuildDeviceIoControlRequest", "called at " + IrqlName(Thread().irql));
    if (!PoolAttemptSucceeds(PoolTag("Irp "))) return nullptr;
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpKind::BuiltIoctl);
    if (irp == nullptr) return nullptr;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    SetUpDeviceControlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                              true);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = CurrentThreadToken();
    return irp;
}

// Passes an IRP to a driver: moves to the next stack location, records the device in it,
// and calls the driver's dispatch routine for the location's major function. Afterwards
// the verifier checks the routine kept the dispatch rules (IRQL restored, no spin lock
// held, STATUS_PENDING only with IoMarkIrpPending, otherwise the IRP completed with the
// status returned). At or below DISPATCH_LEVEL.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ThreadState &th = Thread();
    if (th.irql > DISPATCH_LEVEL)
        Report(rule::CallDriverAboveDispatch, "IofCallDriver", "called at " + IrqlName(th.irql));
    IrpTrack *t = Track(Irp, "IofCallDriver");
    if (t == nullptr) return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1) {
        Report(rule::IrpStackOverflow, "IofCallDriver",
               "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) + " has no stack location left for device " +
                   Hex(reinterpret_cast<ULONG_PTR>(DeviceObject)));
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    const int index = Irp->CurrentLocation - 1;
    sp->DeviceObject = DeviceObject;
    HoldTrack(t);
    {
        std::lock_guard<std::recursive_mutex> guard(t->lock);
        t->passed[index] = false;
        t->pendingAt[index] = false;
        t->pendingClaim[index] = false;
    }
    const UCHAR major = sp->MajorFunction;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major]
                                                                 : IopInvalidDeviceRequest;
    if (dispatch == nullptr) dispatch = IopInvalidDeviceRequest;
    const KIRQL before = th.irql;
    const std::size_t locks = th.heldLocks.size();
    NTSTATUS status;
    {
        DriverScope scope(DeviceObject->DriverObject);
        status = dispatch(DeviceObject, Irp);
    }
    if (th.irql != before) {
        Report(rule::IrqlNotRestored, DispatchName(major).c_str(),
               "entered at " + IrqlName(before) + ", returned at " + IrqlName(th.irql));
        th.irql = before;
    }
    if (th.heldLocks.size() != locks)
        Report(rule::SpinLockHeldOnReturn, DispatchName(major).c_str(), "returned holding a spin lock");
    CheckDispatchReturn(Irp, t, index, status, major);
    ReleaseTrack(t);
    return status;
}

// Completes an IRP: walks up the stack from the current location, calling each completion
// routine whose SL_INVOKE_ON_* flags match the outcome, propagating PendingReturned where
// no routine is called, and stopping at a routine that returns
// STATUS_MORE_PROCESSING_REQUIRED. At or below DISPATCH_LEVEL, holding no spin lock.
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    ThreadState &th = Thread();
    IrpTrack *t = Track(Irp, "IofCompleteRequest");
    if (t == nullptr) return;
    std::unique_lock<std::recursive_mutex> walk(t->lock);  // held through the routines: they must not block
    int state = t->state.load();
    // Halted at the top: a completion routine of the IRP's creator took it back; no driver
    // owns it any more, so completing it again is completing it twice.
    const bool backWithCreator =
        state == static_cast<int>(IrpState::Halted) && Irp->CurrentLocation > Irp->StackCount;
    if (state == static_cast<int>(IrpState::Completed) || state == static_cast<int>(IrpState::Freed) ||
        state == static_cast<int>(IrpState::Completing) || backWithCreator) {
        Report(rule::IrpCompletedTwice, "IofCompleteRequest",
               "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) + " has been completed already");
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        Report(rule::IrpCompletedWithCancelRoutine, "IofCompleteRequest",
               "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) + " still has a cancel routine");
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        Report(rule::IrpCompletedWithStatusPending, "IofCompleteRequest",
               "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) + " completed with STATUS_PENDING");
    if (!th.heldLocks.empty())
        Report(rule::IrpCompletedHoldingSpinLock, "IofCompleteRequest",
               "the completing thread holds " + std::to_string(th.heldLocks.size()) + " spin lock(s)");
    if (th.irql > DISPATCH_LEVEL)
        Report(rule::IrpCompletedAboveDispatch, "IofCompleteRequest", "called at " + IrqlName(th.irql));
    const unsigned generation = ++t->generation;
    t->state.store(static_cast<int>(IrpState::Completing));
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        const int index = Irp->CurrentLocation - 1;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        t->passed[index] = true;
        t->pendingAt[index] = Irp->PendingReturned;
        t->statusAt[index] = Irp->IoStatus.Status;
        if (t->pendingClaim[index] && !Irp->PendingReturned) {
            t->pendingClaim[index] = false;
            Report(rule::PendingWithoutMark, "dispatch routine",
                   "returned STATUS_PENDING for IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) +
                       " but its stack location was never marked with IoMarkIrpPending");
        }
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        const UCHAR control = sp->Control;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        ClearStackLocation(sp);
        if (!invoke) {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            continue;
        }
        PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                    ? nullptr
                                    : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        const KIRQL before = th.irql;
        const std::size_t locks = th.heldLocks.size();
        t->state.store(static_cast<int>(IrpState::InRoutine));
        NTSTATUS result;
        {
            DriverScope scope(device ? device->DriverObject : th.currentDriver);
            result = routine(device, Irp, context);
        }
        if (th.irql != before) {
            Report(rule::IrqlNotRestored, "completion routine",
                   "entered at " + IrqlName(before) + ", returned at " + IrqlName(th.irql));
            th.irql = before;
        }
        if (th.heldLocks.size() != locks)
            Report(rule::SpinLockHeldOnReturn, "completion routine", "returned holding a spin lock");
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            int expected = static_cast<int>(IrpState::InRoutine);
            if (t->generation.load() == generation)
                t->state.compare_exchange_strong(expected, static_cast<int>(IrpState::Halted));
            return;  // the IRP belongs to a driver again
        }
        if (t->generation.load() != generation || t->state.load() != static_cast<int>(IrpState::InRoutine)) {
            Report(rule::IrpCompletedTwice, "completion routine",
                   "let completion of IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) +
                       " go on although it was completed again or freed meanwhile");
            return;
        }
        t->state.store(static_cast<int>(IrpState::Completing));
        if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount &&
            !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED))
            Report(rule::PendingNotPropagated, "completion routine",
                   "IRP " + Hex(reinterpret_cast<ULONG_PTR>(Irp)) +
                       " had PendingReturned set; the routine neither called IoMarkIrpPending nor returned "
                       "STATUS_MORE_PROCESSING_REQUIRED");
    }
    t->state.store(static_cast<int>(IrpState::Completed));
    FinishAtTop(Irp, t);
}

// Cancels an IRP: sets Cancel and, if a cancel routine is set, takes it and calls it with
// the cancel spin lock held (the routine releases it). TRUE if a routine was called.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    ThreadState &th = Thread();
    if (th.irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "IoCancelIrp", "called at " + IrqlName(th.irql));
    if (Track(Irp, "IoCancelIrp") == nullptr) return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    {
        DriverScope scope(device ? device->DriverObject : th.currentDriver);
        routine(device, Irp);
    }
    if (__atomic_load_n(CancelSpinLock(), __ATOMIC_ACQUIRE) == reinterpret_cast<ULONG_PTR>(CurrentThreadToken())) {
        Report(rule::SpinLockHeldOnReturn, "cancel routine", "returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    if (th.irql != irql) {
        Report(rule::IrqlNotRestored, "cancel routine",
               "should return at the IRP's CancelIrql " + IrqlName(irql) + ", returned at " + IrqlName(th.irql));
        th.irql = irql;
    }
    return TRUE;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    if (!PoolAttemptSucceeds(PoolTag("Mdl "))) return nullptr;
    PMDL mdl = AllocateMdlInternal(VirtualAddress, Length);
    if (Irp != nullptr) {
        if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        } else if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) { std::free(Mdl); }

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

// Maps the pages an MDL describes into system space. The pages must be locked (or be
// non-paged pool). The system address is the buffer's own address here.
//
// Mapping a caller's locked pages needs system page table entries, which can run out: the
// form that asks for a bug check on failure (BugCheckOnFailure TRUE, which is what the
// plain MmMapLockedPages is) is reported for such an MDL, since on the real platform it
// would stop the machine; the other form takes part in pool failure injection with the
// tag 'PTE ' and then returns null.
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress, ULONG BugCheckOnFailure,
                                         MM_PAGE_PRIORITY Priority)
{
    (void)CacheType;
    (void)BaseAddress;
    (void)Priority;
    if (Thread().irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "MmMapLockedPages", "called at " + IrqlName(Thread().irql));
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        Report(rule::MdlNotLocked, "MmMapLockedPages",
               "MDL " + Hex(reinterpret_cast<ULONG_PTR>(mdl)) + " describes pages that are not locked");
        return nullptr;
    }
    if (AccessMode != KernelMode) return nullptr;
    const bool needsEntries = !(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL));
    if (needsEntries && BugCheckOnFailure) {
        Report(rule::MapLockedPagesMayFail, "MmMapLockedPages",
               "MDL " + Hex(reinterpret_cast<ULONG_PTR>(mdl)) +
                   " maps a caller's pages with the form that bug-checks when system page table entries "
                   "run out (use MmGetSystemAddressForMdlSafe)");
    } else if (needsEntries && !PoolAttemptSucceeds(PoolTag("PTE "))) {
        return nullptr;
    }
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
        mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return mdl->MappedSystemVa;
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                        NormalPagePriority);
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    (void)BaseAddress;
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

}  // extern "C"
