// File objects and the requests of the simulated process: opening a device by its Win32
// path (IRP_MJ_CREATE), synchronous device control, cancelling requests in flight, and
// IRP_MJ_CLEANUP / IRP_MJ_CLOSE as handles and references to a file object go away.
//
// Cleanup is sent when the last handle of a file object is closed (also when the machine
// is shut down with handles still open); close when the last reference is dropped, after
// which the device's ReferenceCount (open file objects) goes down by one.
#include "kernel_internal.h"

#include <plat/user_io.h>

#include <algorithm>
#include <map>
#include <set>

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

struct InFlight {
    PIRP irp;
    PETHREAD thread;
};

std::mutex gFileLock;
std::set<PFILE_OBJECT> &gOpened = *new std::set<PFILE_OBJECT>;                       // create succeeded: cleanup and close due
std::map<PFILE_OBJECT, std::vector<InFlight>> &gInFlight = *new std::map<PFILE_OBJECT, std::vector<InFlight>>;

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

PIRP NewRequest(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major)
{
    PIRP irp = AllocateIrp(top->StackSize, IrpKind::UserRequest);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = CurrentThreadToken();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags = IRP_SYNCHRONOUS_API;
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

void OnLastHandle(PVOID body)
{
    auto file = static_cast<PFILE_OBJECT>(body);
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        if (!gOpened.count(file)) return;
    }
    SendFileRequest(file, IRP_MJ_CLEANUP);
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

}  // namespace

namespace detail {

void ResetFileIo()
{
    std::lock_guard<std::mutex> guard(gFileLock);
    gOpened.clear();
    gInFlight.clear();
}

}  // namespace detail

NTSTATUS OpenDevicePath(const char *win32Path, HANDLE *fileHandle)
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

NTSTATUS DeviceControl(HANDLE fileHandle, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                       ULONG outputLength, ULONG_PTR *information)
{
    *information = 0;
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0))
        return STATUS_ACCESS_VIOLATION;
    PVOID body;
    NTSTATUS status = ReferenceHandle(fileHandle, FileType, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto file = static_cast<PFILE_OBJECT>(body);
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = NewRequest(file, top, IRP_MJ_DEVICE_CONTROL);
    SetUpDeviceControlBuffers(irp, code, input, inputLength, output, outputLength, false);
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        gInFlight[file].push_back(InFlight{irp, CurrentThreadToken()});
    }
    bool completed = SendAndWait(top, irp);
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        auto &list = gInFlight[file];
        list.erase(std::remove_if(list.begin(), list.end(), [&](const InFlight &f) { return f.irp == irp; }),
                   list.end());
    }
    if (!completed) {
        ObfDereferenceObject(file);
        return STATUS_UNSUCCESSFUL;
    }
    status = irp->IoStatus.Status;
    FinishDeviceControlBuffers(irp, output);
    *information = irp->IoStatus.Information;
    FreeIrpInternal(irp);
    ObfDereferenceObject(file);
    return status;
}

NTSTATUS CancelFileIo(HANDLE fileHandle, bool anyThread)
{
    PVOID body;
    NTSTATUS status = ReferenceHandle(fileHandle, FileType, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto file = static_cast<PFILE_OBJECT>(body);
    PETHREAD me = CurrentThreadToken();
    bool found = false;
    {
        // Held while cancelling: the issuing thread cannot free a request before it has
        // taken it off this list.
        std::lock_guard<std::mutex> guard(gFileLock);
        auto it = gInFlight.find(file);
        if (it != gInFlight.end()) {
            for (const InFlight &f : it->second) {
                if (!anyThread && f.thread != me) continue;
                found = true;
                IoCancelIrp(f.irp);
            }
        }
    }
    ObfDereferenceObject(file);
    return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

}  // namespace plat
