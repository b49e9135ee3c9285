// The object manager: reference-counted objects with a type, the one handle table of the
// simulated process, ObReferenceObjectByHandle, and the Win32-facing dispatcher objects
// (events and thread objects) of plat/user_io.h.
//
// An object whose last pointer reference is dropped is deleted (its type's delete action
// runs) but its memory is kept in a quarantine for a while, so that a driver that signals
// an event it no longer references is caught (KeSetEvent reports it) instead of writing
// into freed memory.
#include "kernel_internal.h"

#include <plat/user_io.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_map>

struct _OBJECT_TYPE {
    const char *Name;
};

namespace plat {
namespace {

_OBJECT_TYPE gEventTypeObject{"Event"};
_OBJECT_TYPE gFileTypeObject{"File"};
_OBJECT_TYPE gThreadTypeObject{"Thread"};

constexpr std::size_t kBodyOffset = 64;
constexpr std::size_t kDeletedKept = 1024;
constexpr ACCESS_MASK kThreadAllAccess = 0x1FFFFF;

struct Header {
    long pointers = 1;
    long handles = 0;
    POBJECT_TYPE type = nullptr;
    void (*onLastHandle)(PVOID) = nullptr;
    void (*onDelete)(PVOID) = nullptr;
    bool deleted = false;
    void *raw = nullptr;
};

struct HandleEntry {
    PVOID body;
    ACCESS_MASK granted;
};

std::mutex gObjectLock;
std::unordered_map<PVOID, Header> &gObjects = *new std::unordered_map<PVOID, Header>;  // by body address, live and recently deleted
std::deque<PVOID> &gDeleted = *new std::deque<PVOID>;
std::map<std::uintptr_t, HandleEntry> &gHandles = *new std::map<std::uintptr_t, HandleEntry>;
std::uintptr_t gNextHandle = 4;
// Kernel handles, as on 32-bit Windows, have the top bit of their 32-bit value set; only a
// kernel-mode lookup resolves them.
constexpr std::uintptr_t kKernelHandleBit = 0x80000000u;
std::uintptr_t gNextKernelHandle = kKernelHandleBit | 4;


// Drops one pointer reference; runs the delete action outside the lock.
LONG_PTR Dereference(PVOID body, const char *routine)
{
    void (*onDelete)(PVOID) = nullptr;
    LONG_PTR remaining;
    {
        std::lock_guard<std::mutex> guard(gObjectLock);
        auto it = gObjects.find(body);
        if (it == gObjects.end() || it->second.deleted) {
            remaining = -1;
        } else {
            remaining = --it->second.pointers;
            if (remaining == 0) {
                it->second.deleted = true;
                onDelete = it->second.onDelete;
                gDeleted.push_back(body);
                while (gDeleted.size() > kDeletedKept) {
                    PVOID old = gDeleted.front();
                    gDeleted.pop_front();
                    auto o = gObjects.find(old);
                    if (o != gObjects.end()) {
                        std::free(o->second.raw);
                        gObjects.erase(o);
                    }
                }
            }
        }
    }
    if (remaining < 0) {
        detail::Report(rule::UnknownObject, routine,
                       detail::Hex(reinterpret_cast<ULONG_PTR>(body)) + " is not a referenced object");
        return 0;
    }
    if (onDelete) onDelete(body);
    return remaining;
}

// Takes a pointer reference on the object behind a handle after type and access checks.
// A lookup on behalf of user mode (checkAccess) never resolves a kernel handle.
NTSTATUS ReferenceByHandle(HANDLE handle, POBJECT_TYPE type, ACCESS_MASK desired, bool checkAccess, PVOID *object,
                           POBJECT_TYPE *actualType, ACCESS_MASK *granted)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (checkAccess && (value & kKernelHandleBit) != 0) return STATUS_INVALID_HANDLE;
    std::lock_guard<std::mutex> guard(gObjectLock);
    auto h = gHandles.find(value);
    if (h == gHandles.end()) return STATUS_INVALID_HANDLE;
    Header &header = gObjects.at(h->second.body);
    if (type != nullptr && header.type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    if (checkAccess && (desired & ~h->second.granted) != 0) return STATUS_ACCESS_DENIED;
    ++header.pointers;
    *object = h->second.body;
    if (actualType) *actualType = header.type;
    if (granted) *granted = h->second.granted;
    return STATUS_SUCCESS;
}

}  // namespace

namespace detail {

POBJECT_TYPE EventType = &gEventTypeObject;
POBJECT_TYPE FileType = &gFileTypeObject;
POBJECT_TYPE ThreadType = &gThreadTypeObject;

PVOID CreateObject(POBJECT_TYPE type, std::size_t bodySize, void (*onLastHandle)(PVOID), void (*onDelete)(PVOID))
{
    void *raw = std::calloc(1, kBodyOffset + bodySize);
    if (raw == nullptr) return nullptr;
    PVOID body = static_cast<char *>(raw) + kBodyOffset;
    std::lock_guard<std::mutex> guard(gObjectLock);
    Header &h = gObjects[body];
    h = Header{};
    h.type = type;
    h.onLastHandle = onLastHandle;
    h.onDelete = onDelete;
    h.raw = raw;
    return body;
}

bool IsDeletedObject(PVOID body)
{
    std::lock_guard<std::mutex> guard(gObjectLock);
    auto it = gObjects.find(body);
    return it != gObjects.end() && it->second.deleted;
}

void CloseAllHandles()
{
    std::vector<std::uintptr_t> handles;
    {
        std::lock_guard<std::mutex> guard(gObjectLock);
        for (auto &[value, entry] : gHandles) handles.push_back(value);
    }
    for (std::uintptr_t h : handles) plat::CloseHandle(reinterpret_cast<HANDLE>(h));
}

void ResetObjects()
{
    std::lock_guard<std::mutex> guard(gObjectLock);
    for (auto &[body, header] : gObjects) std::free(header.raw);
    gObjects.clear();
    gDeleted.clear();
    gHandles.clear();
    gNextHandle = 4;
    gNextKernelHandle = kKernelHandleBit | 4;
}

}  // namespace detail

NTSTATUS InsertHandle(PVOID object, POBJECT_TYPE type, ACCESS_MASK granted, HANDLE *handle, bool kernelHandle)
{
    std::lock_guard<std::mutex> guard(gObjectLock);
    auto it = gObjects.find(object);
    if (it == gObjects.end() || it->second.deleted) return STATUS_INVALID_PARAMETER;
    if (type != nullptr && it->second.type != type) return STATUS_OBJECT_TYPE_MISMATCH;
    ++it->second.pointers;
    ++it->second.handles;
    std::uintptr_t &next = kernelHandle ? gNextKernelHandle : gNextHandle;
    std::uintptr_t value = next;
    next = (next & ~kKernelHandleBit) >= 0x7FFFFFF0 ? (next & kKernelHandleBit) | 4 : next + 4;
    gHandles[value] = HandleEntry{object, granted};
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle)
{
    PVOID body;
    void (*onLastHandle)(PVOID) = nullptr;
    {
        std::lock_guard<std::mutex> guard(gObjectLock);
        auto h = gHandles.find(reinterpret_cast<std::uintptr_t>(handle));
        if (h == gHandles.end()) return STATUS_INVALID_HANDLE;
        body = h->second.body;
        gHandles.erase(h);
        Header &header = gObjects.at(body);
        if (--header.handles == 0) onLastHandle = header.onLastHandle;
    }
    if (onLastHandle) onLastHandle(body);
    Dereference(body, "CloseHandle");
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceHandle(HANDLE handle, POBJECT_TYPE type, PVOID *object, POBJECT_TYPE *actualType)
{
    return ReferenceByHandle(handle, type, 0, false, object, actualType, nullptr);
}

NTSTATUS CreateEventObject(BOOLEAN manualReset, BOOLEAN initialState, HANDLE *handle)
{
    PVOID body = detail::CreateObject(detail::EventType, sizeof(KEVENT), nullptr, nullptr);
    if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(static_cast<PKEVENT>(body), manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState);
    NTSTATUS status = InsertHandle(body, detail::EventType, EVENT_ALL_ACCESS, handle);
    Dereference(body, "CreateEventObject");  // the handle holds the object now
    return status;
}

NTSTATUS CreateThreadObject(PVOID *object, HANDLE *handle)
{
    PVOID body = detail::CreateObject(detail::ThreadType, sizeof(KEVENT), nullptr, nullptr);
    if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(static_cast<PKEVENT>(body), NotificationEvent, FALSE);
    NTSTATUS status = InsertHandle(body, detail::ThreadType, kThreadAllAccess, handle);
    if (!NT_SUCCESS(status)) {
        Dereference(body, "CreateThreadObject");
        return status;
    }
    *object = body;  // the creation reference is the caller's until SignalThreadObject
    return STATUS_SUCCESS;
}

void SignalThreadObject(PVOID object)
{
    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    Dereference(object, "SignalThreadObject");
}

NTSTATUS WaitForHandle(HANDLE handle, std::uint32_t timeoutMs)
{
    PVOID body;
    POBJECT_TYPE type;
    NTSTATUS status = ReferenceHandle(handle, nullptr, &body, &type);
    if (!NT_SUCCESS(status)) return status;
    // A file object is waited on through its event, which a request of the file that had
    // no event of its own sets at completion.
    PVOID waitable = body;
    if (type == detail::FileType)
        waitable = &static_cast<PFILE_OBJECT>(body)->Event;
    else if (type != detail::EventType && type != detail::ThreadType) {
        Dereference(body, "WaitForHandle");
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    VTime deadline = kNever;
    if (timeoutMs != 0xFFFFFFFFu) deadline = Now() + static_cast<VTime>(timeoutMs) * 1'000'000;
    status = detail::WaitForObject(waitable, deadline);
    Dereference(body, "WaitForHandle");
    return status;
}

NTSTATUS SetEventHandle(HANDLE handle)
{
    PVOID body;
    NTSTATUS status = ReferenceByHandle(handle, detail::EventType, EVENT_MODIFY_STATE, true, &body, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    KeSetEvent(static_cast<PKEVENT>(body), IO_NO_INCREMENT, FALSE);
    Dereference(body, "SetEventHandle");
    return STATUS_SUCCESS;
}

NTSTATUS ResetEventHandle(HANDLE handle)
{
    PVOID body;
    NTSTATUS status = ReferenceByHandle(handle, detail::EventType, EVENT_MODIFY_STATE, true, &body, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    KeResetEvent(static_cast<PKEVENT>(body));
    Dereference(body, "ResetEventHandle");
    return STATUS_SUCCESS;
}

}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

POBJECT_TYPE *ExEventObjectType = &detail::EventType;
POBJECT_TYPE *IoFileObjectType = &detail::FileType;
POBJECT_TYPE *PsThreadType = &detail::ThreadType;

// References the object behind a handle of the (single) simulated process. With UserMode
// the handle's granted access must cover DesiredAccess and a kernel handle (top bit of
// its 32-bit value set) is not found; with KernelMode, as on the real platform, access is
// not checked and kernel handles resolve too. PASSIVE_LEVEL.
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    if (Thread().irql > PASSIVE_LEVEL)
        Report(rule::RoutineAboveLimit, "ObReferenceObjectByHandle", "called at " + IrqlName(Thread().irql));
    *Object = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceByHandle(Handle, ObjectType, DesiredAccess, AccessMode == UserMode, Object, nullptr,
                                        &granted);
    if (NT_SUCCESS(status) && HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    return status;
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode)
{
    (void)DesiredAccess;
    (void)AccessMode;
    {
        std::lock_guard<std::mutex> guard(gObjectLock);
        auto it = gObjects.find(Object);
        if (it != gObjects.end() && !it->second.deleted) {
            if (ObjectType != nullptr && it->second.type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
            ++it->second.pointers;
            return STATUS_SUCCESS;
        }
    }
    Report(rule::UnknownObject, "ObReferenceObjectByPointer",
           Hex(reinterpret_cast<ULONG_PTR>(Object)) + " is not a referenced object");
    return STATUS_INVALID_PARAMETER;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    {
        std::lock_guard<std::mutex> guard(gObjectLock);
        auto it = gObjects.find(Object);
        if (it != gObjects.end() && !it->second.deleted) return ++it->second.pointers;
    }
    Report(rule::UnknownObject, "ObfReferenceObject",
           Hex(reinterpret_cast<ULONG_PTR>(Object)) + " is not a referenced object");
    return 0;
}

// Drops a reference; the last one deletes the object. At or below DISPATCH_LEVEL.
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    if (Thread().irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "ObfDereferenceObject", "called at " + IrqlName(Thread().irql));
    return Dereference(Object, "ObfDereferenceObject");
}

}  // extern "C"
