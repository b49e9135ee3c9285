// File objects and the requests of the simulated process: opening a device by its Win32
// path (IRP_MJ_CREATE), device control on synchronous and overlapped file objects,
// cancelling requests in flight, and IRP_MJ_CLEANUP / IRP_MJ_CLOSE as handles and
// references to a file object go away.
//
// A synchronous file object (FO_SYNCHRONOUS_IO, CreateFile without FILE_FLAG_OVERLAPPED)
// has a lock, as the real I/O manager keeps in the file object's Busy/Waiters/Lock: a
// request takes it before its IRP is built and keeps it until the caller has the result, so
// a synchronous handle never has two requests in a driver, and a request that pends blocks
// its caller. Closing the last handle of such a file takes the lock too, before cleanup, so
// it waits for the request in flight. An overlapped file object has no lock: a request that
// pends returns STATUS_PENDING and completion fills its status block and sets its event.
//
// Every request holds a reference to its file object until it is finished, so cleanup is
// sent when the last handle closes (also when the machine is shut down with handles still
// open) and close when the last reference is dropped, after which the device's
// ReferenceCount (open file objects) goes down by one.
#include "kernel_internal.h"

#include <plat/user_io.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <set>
#include <unordered_map>

namespace plat {
namespace detail {
void SetUpDeviceControlBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength, bool kernelCaller);
void FinishDeviceControlBuffers(PIRP irp, PVOID output);
}  // namespace detail

namespace {

using namespace detail;

constexpr CSHORT kIoTypeFile = 5;
constexpr ACCESS_MASK kFileAllAccess = 0x1F01FF;
constexpr ULONG kFileOpen = 1;  // create disposition: open an existing object

// A device-control request of the simulated process, from its issue until it is finished
// (result read or status block written) and its IRP freed.
struct Request {
    PIRP irp;
    PETHREAD thread;             // the issuing thread
    PFILE_OBJECT file;           // referenced until the request is destroyed
    PIO_STATUS_BLOCK ioStatus;   // the caller's status block, or null
    PKEVENT event;               // the caller's event, referenced, or null
    PVOID output;
    bool handedOff = false;      // the issuer returned STATUS_PENDING: completion finishes it
    bool completed = false;      // completed to the top of the stack
    bool finished = false;       // off the lists; the IRP waits only for `holds` to drop
    int holds = 0;               // cancellers using the IRP outside gFileLock
};

// Guards the lists below, every Request's flags and the synchronous file objects' Busy and
// Waiters. Never held while a driver runs.
std::mutex gFileLock;
std::condition_variable &gFileLockFreed = *new std::condition_variable;
std::set<PFILE_OBJECT> &gOpened = *new std::set<PFILE_OBJECT>;  // create succeeded: cleanup and close due
std::map<PFILE_OBJECT, std::vector<Request *>> &gInFlight = *new std::map<PFILE_OBJECT, std::vector<Request *>>;
std::unordered_map<PIRP, Request *> &gByIrp = *new std::unordered_map<PIRP, Request *>;

bool IsSynchronous(PFILE_OBJECT file) { return (file->Flags & FO_SYNCHRONOUS_IO) != 0; }

// Takes a synchronous file object's lock, waiting (not alertable, as for
// FILE_SYNCHRONOUS_IO_NONALERT) while another request or a close holds it. PASSIVE_LEVEL.
void LockFileObject(PFILE_OBJECT file)
{
    std::unique_lock<std::mutex> lock(gFileLock);
    if (file->Busy) {
        // Counted interlocked, as the real I/O manager does: others read it without the lock.
        __atomic_fetch_add(&file->Waiters, 1, __ATOMIC_RELAXED);
        gFileLockFreed.wait(lock, [file] { return !file->Busy; });
        __atomic_fetch_sub(&file->Waiters, 1, __ATOMIC_RELAXED);
    }
    file->Busy = TRUE;
}

void UnlockFileObject(PFILE_OBJECT file)
{
    bool waiters;
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        file->Busy = FALSE;
        waiters = file->Waiters != 0;
    }
    if (waiters) gFileLockFreed.notify_all();
}

void DereferenceFileWork(PVOID file) { ObfDereferenceObject(file); }

// Drops a request's file reference. The last one sends IRP_MJ_CLOSE, which a driver
// handles at PASSIVE_LEVEL: from a completion above it (a DPC, a cancel routine) the
// drop goes to the worker thread, as the object manager defers such a deletion.
void DropFileReference(PFILE_OBJECT file)
{
    if (Thread().irql == PASSIVE_LEVEL)
        ObfDereferenceObject(file);
    else
        QueueSystemWork(DereferenceFileWork, file);
}

void DestroyRequest(Request *r)
{
    FreeIrpInternal(r->irp);
    DropFileReference(r->file);
    delete r;
}

// Takes a finished request off the lists; destroys it unless a canceller still holds it.
void RetireRequest(Request *r)
{
    bool destroy;
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        auto &list = gInFlight[r->file];
        list.erase(std::remove(list.begin(), list.end(), r), list.end());
        gByIrp.erase(r->irp);
        r->finished = true;
        destroy = r->holds == 0;
    }
    if (destroy) DestroyRequest(r);
}

// Hands a completed request's outcome to its issuer, as the I/O manager's completion does:
// buffered output copied back unless the status is an error, then the status block
// (Information first, then Status, atomically) and the event, or the file object's event
// when the caller gave none. A request that failed with an error without pending reports
// nothing there: its issuer gets the error as the result. Returns the final status.
NTSTATUS FinishRequest(Request *r, ULONG_PTR *information)
{
    PIRP irp = r->irp;
    const NTSTATUS status = irp->IoStatus.Status;
    FinishDeviceControlBuffers(irp, r->output);
    *information = irp->IoStatus.Information;
    if (!NT_ERROR(status) || irp->PendingReturned) {
        if (r->ioStatus != nullptr) {
            __atomic_store_n(&r->ioStatus->Information, irp->IoStatus.Information, __ATOMIC_RELAXED);
            __atomic_store_n(&r->ioStatus->Pointer,
                             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(status))),
                             __ATOMIC_RELEASE);
        }
        KeSetEvent(r->event != nullptr ? r->event : &r->file->Event, IO_NO_INCREMENT, FALSE);
    }
    if (r->event != nullptr) ObfDereferenceObject(r->event);
    return status;
}

// Sends an IRP to a device and waits until it has been completed to the top. False when
// the dispatch routine returned a final status without completing the IRP (the verifier
// has reported it): the IRP then still belongs to the driver and must not be freed.
bool SendAndWait(PDEVICE_OBJECT device, PIRP irp)
{
    NTSTATUS status = IofCallDriver(device, irp);
    if (status != STATUS_PENDING && !IrpCompletedToTop(irp)) return false;
    WaitForIrpCompletion(irp);
    return true;
}

// An IRP of the simulated process. IRP_SYNCHRONOUS_API marks one whose issuer waits for it.
PIRP NewRequest(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major, bool issuerWaits = true)
{
    PIRP irp = AllocateIrp(top->StackSize, IrpKind::UserRequest);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = CurrentThreadToken();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags = issuerWaits ? IRP_SYNCHRONOUS_API : 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = file;
    return irp;
}

// Sends a cleanup or close for a file object to the top of its device's stack.
void SendFileRequest(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = NewRequest(file, top, major);
    irp->Flags |= major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0;
    if (SendAndWait(top, irp)) FreeIrpInternal(irp);
}

// The last handle of a file object closed: cleanup, after the synchronous request in
// flight (if any) has finished, since cleanup waits for the file object's lock.
void OnLastHandle(PVOID body)
{
    auto file = static_cast<PFILE_OBJECT>(body);
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        if (!gOpened.count(file)) return;
    }
    const bool synchronous = IsSynchronous(file);
    if (synchronous) LockFileObject(file);
    SendFileRequest(file, IRP_MJ_CLEANUP);
    if (synchronous) UnlockFileObject(file);
}

void OnDelete(PVOID body)
{
    auto file = static_cast<PFILE_OBJECT>(body);
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        if (!gOpened.erase(file)) return;
        gInFlight.erase(file);
    }
    SendFileRequest(file, IRP_MJ_CLOSE);
    DeviceReferenceDropped(file->DeviceObject);
}

bool ParseWin32DevicePath(const char *path, std::wstring *link)
{
    if (path == nullptr) return false;
    std::string p = path;
    if (p.size() <= 4 || p[0] != '\\' || p[1] != '\\' || (p[2] != '.' && p[2] != '?') || p[3] != '\\') return false;
    std::wstring name = L"\\??\\";
    for (std::size_t i = 4; i < p.size(); ++i) name += static_cast<wchar_t>(static_cast<unsigned char>(p[i]));
    *link = name;
    return true;
}

// Cancels the requests in flight that `match` selects; false if there were none.
template <typename Match>
bool CancelRequests(Match match)
{
    std::vector<Request *> chosen;
    {
        // Each chosen request is held, so its issuer or its completion cannot destroy it
        // while IoCancelIrp runs, which must not be under gFileLock (the cancel routine may
        // complete the request, and completion takes the lock).
        std::lock_guard<std::mutex> guard(gFileLock);
        for (auto &[file, list] : gInFlight) {
            for (Request *r : list) {
                if (!match(*r)) continue;
                ++r->holds;
                chosen.push_back(r);
            }
        }
    }
    for (Request *r : chosen) IoCancelIrp(r->irp);
    std::vector<Request *> destroy;
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        for (Request *r : chosen)
            if (--r->holds == 0 && r->finished) destroy.push_back(r);
    }
    for (Request *r : destroy) DestroyRequest(r);
    return !chosen.empty();
}

}  // namespace

namespace detail {

void ResetFileIo()
{
    std::lock_guard<std::mutex> guard(gFileLock);
    gOpened.clear();
    gInFlight.clear();
    for (auto &[irp, r] : gByIrp) delete r;  // their IRPs go with the I/O manager's reset
    gByIrp.clear();
}

bool UserRequestCompleted(PIRP irp)
{
    Request *r;
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        auto it = gByIrp.find(irp);
        if (it == gByIrp.end()) return false;
        r = it->second;
        r->completed = true;
        if (!r->handedOff) return false;  // its issuer finishes it
    }
    ULONG_PTR information;
    FinishRequest(r, &information);
    RetireRequest(r);
    return true;
}

void CancelAllFileIo()
{
    CancelRequests([](const Request &) { return true; });
}

}  // namespace detail

NTSTATUS OpenDevicePath(const char *win32Path, HANDLE *fileHandle, FileIo mode)
{
    *fileHandle = nullptr;
    std::wstring link;
    if (!ParseWin32DevicePath(win32Path, &link)) return STATUS_OBJECT_PATH_NOT_FOUND;
    PDEVICE_OBJECT device = ResolveLink(link);
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS status;
    if (!DeviceOpenable(device, &status)) return status;
    auto file = static_cast<PFILE_OBJECT>(CreateObject(FileType, sizeof(FILE_OBJECT), OnLastHandle, OnDelete));
    if (file == nullptr) {
        DeviceReferenceDropped(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->Type = kIoTypeFile;
    file->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    file->DeviceObject = device;
    file->ReadAccess = file->WriteAccess = TRUE;
    file->Flags = mode == FileIo::Synchronous ? FO_SYNCHRONOUS_IO : 0;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);

    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = NewRequest(file, top, IRP_MJ_CREATE);
    irp->Flags |= IRP_CREATE_OPERATION;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Create.Options = kFileOpen << 24;
    sp->Parameters.Create.ShareAccess = 3;  // FILE_SHARE_READ | FILE_SHARE_WRITE
    if (!SendAndWait(top, irp)) {
        ObfDereferenceObject(file);
        DeviceReferenceDropped(device);
        return STATUS_UNSUCCESSFUL;
    }
    status = irp->IoStatus.Status;
    FreeIrpInternal(irp);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(file);  // no cleanup or close for a failed create
        DeviceReferenceDropped(device);
        return status;
    }
    // The reference DeviceOpenable took now belongs to the open file object.
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        gOpened.insert(file);
    }
    status = InsertHandle(file, FileType, kFileAllAccess, fileHandle);
    ObfDereferenceObject(file);  // the handle holds the file object now
    return status;
}

NTSTATUS FileIsSynchronous(HANDLE fileHandle, bool *synchronous)
{
    PVOID body;
    NTSTATUS status = ReferenceHandle(fileHandle, FileType, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *synchronous = IsSynchronous(static_cast<PFILE_OBJECT>(body));
    ObfDereferenceObject(body);
    return STATUS_SUCCESS;
}

namespace {

// DeviceControlRequest; *information receives the IRP's IoStatus.Information for a request
// its issuer finished (also for an error, which writes no status block).
NTSTATUS IssueDeviceControl(HANDLE fileHandle, HANDLE eventHandle, PIO_STATUS_BLOCK ioStatus, bool wait, ULONG code,
                            PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                            ULONG_PTR *information)
{
    *information = 0;
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0))
        return STATUS_ACCESS_VIOLATION;
    PVOID body;
    NTSTATUS status = ReferenceHandle(fileHandle, FileType, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;  // this reference goes with the request
    auto file = static_cast<PFILE_OBJECT>(body);
    PVOID event = nullptr;
    if (eventHandle != nullptr) {
        status = ReferenceHandle(eventHandle, EventType, &event, nullptr);
        if (!NT_SUCCESS(status)) {
            ObfDereferenceObject(file);
            return status;
        }
        KeClearEvent(static_cast<PKEVENT>(event));
    }
    const bool synchronous = IsSynchronous(file);
    const bool issuerWaits = synchronous || wait;
    if (synchronous) LockFileObject(file);
    KeClearEvent(&file->Event);
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = NewRequest(file, top, IRP_MJ_DEVICE_CONTROL, issuerWaits);
    SetUpDeviceControlBuffers(irp, code, input, inputLength, output, outputLength, false);
    irp->UserIosb = ioStatus;
    irp->UserEvent = static_cast<PKEVENT>(event);
    auto *r = new Request{irp, CurrentThreadToken(), file, ioStatus, static_cast<PKEVENT>(event), output};
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        gInFlight[file].push_back(r);
        gByIrp[irp] = r;
    }
    const NTSTATUS returned = IofCallDriver(top, irp);
    if (returned != STATUS_PENDING && !IrpCompletedToTop(irp)) {
        // Neither completed nor pending (the verifier has reported it): the IRP still
        // belongs to the driver; if it ever completes, completion finishes it.
        bool completed;
        {
            std::lock_guard<std::mutex> guard(gFileLock);
            r->handedOff = !r->completed;
            completed = r->completed;
        }
        if (completed) {
            WaitForIrpCompletion(irp);  // completion is done with the IRP
            FinishRequest(r, information);
            RetireRequest(r);
        }
        if (synchronous) UnlockFileObject(file);
        *information = 0;
        return STATUS_UNSUCCESSFUL;
    }
    if (issuerWaits) {
        WaitForIrpCompletion(irp);
        status = FinishRequest(r, information);
        if (synchronous) UnlockFileObject(file);
        RetireRequest(r);
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        if (!r->completed) {
            r->handedOff = true;  // completion finishes it from here on
            return STATUS_PENDING;
        }
    }
    WaitForIrpCompletion(irp);  // completion is done with the IRP
    status = FinishRequest(r, information);
    RetireRequest(r);
    return returned == STATUS_PENDING ? STATUS_PENDING : status;
}

}  // namespace

NTSTATUS DeviceControlRequest(HANDLE fileHandle, HANDLE event, PIO_STATUS_BLOCK ioStatus, bool wait, ULONG code,
                              PVOID input, ULONG inputLength, PVOID output, ULONG outputLength)
{
    ULONG_PTR information;
    return IssueDeviceControl(fileHandle, event, ioStatus, wait, code, input, inputLength, output, outputLength,
                              &information);
}

NTSTATUS DeviceControl(HANDLE fileHandle, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                       ULONG outputLength, ULONG_PTR *information)
{
    IO_STATUS_BLOCK ioStatus{};
    return IssueDeviceControl(fileHandle, nullptr, &ioStatus, true, code, input, inputLength, output, outputLength,
                              information);
}

NTSTATUS CancelFileIo(HANDLE fileHandle, bool anyThread, const void *ioStatus)
{
    if (fileHandle == nullptr && ioStatus != nullptr) {
        // A thread's synchronous request, found by its status block whatever its file
        // (whose handle may be closed by now).
        bool found = CancelRequests([&](const Request &r) { return r.ioStatus == ioStatus; });
        return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    }
    PVOID body;
    NTSTATUS status = ReferenceHandle(fileHandle, FileType, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto file = static_cast<PFILE_OBJECT>(body);
    PETHREAD me = CurrentThreadToken();
    bool found = CancelRequests([&](const Request &r) {
        if (r.file != file) return false;
        if (ioStatus != nullptr) return r.ioStatus == ioStatus;
        return anyThread || r.thread == me;
    });
    ObfDereferenceObject(file);
    return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

}  // namespace plat
