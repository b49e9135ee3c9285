// The Win32 stand-in's calls into the kernel stand-in (see kernel_bridge.h): a thin
// translation between plain types and the kernel's DDK types, with nothing added.
#include "kernel_bridge.h"

#include <plat/kernel.h>
#include <plat/machine.h>
#include <plat/user_io.h>

#include <cstddef>

namespace tqwin32::kernel {

Status InsertHandle(void *object, void *type, std::uint32_t access, void **handle)
{
    HANDLE h = nullptr;
    NTSTATUS status = plat::InsertHandle(object, static_cast<POBJECT_TYPE>(type), access, &h);
    *handle = h;
    return status;
}

Status CloseHandle(void *handle) { return plat::CloseHandle(handle); }

Status ReferenceHandle(void *handle, void **object, void **type)
{
    PVOID obj = nullptr;
    POBJECT_TYPE actual = nullptr;
    NTSTATUS status = plat::ReferenceHandle(handle, nullptr, &obj, &actual);
    *object = obj;
    *type = actual;
    return status;
}

void Dereference(void *object) { ObfDereferenceObject(object); }

Status CheckFileHandle(void *handle)
{
    PVOID obj = nullptr;
    NTSTATUS status = plat::ReferenceHandle(handle, *IoFileObjectType, &obj, nullptr);
    if (NT_SUCCESS(status))
        ObfDereferenceObject(obj);
    return status;
}

Status CreateEventObject(bool manualReset, bool initialState, void **handle)
{
    HANDLE h = nullptr;
    NTSTATUS status = plat::CreateEventObject(manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, &h);
    *handle = h;
    return status;
}

Status SetEvent(void *handle) { return plat::SetEventHandle(handle); }
Status ResetEvent(void *handle) { return plat::ResetEventHandle(handle); }

Status CreateThreadObject(void **object, void **handle)
{
    PVOID obj = nullptr;
    HANDLE h = nullptr;
    NTSTATUS status = plat::CreateThreadObject(&obj, &h);
    *object = obj;
    *handle = h;
    return status;
}

void SignalThreadObject(void *object) { plat::SignalThreadObject(object); }

Status Wait(void *handle, std::uint32_t timeoutMs) { return plat::WaitForHandle(handle, timeoutMs); }

bool EnsureMachineBooted() { return plat::EnsureMachineBooted(); }
bool MachineBooted() { return plat::MachineBooted(); }
void ShutdownMachine() { plat::ShutdownMachine(); }
void ResetMachine() { plat::ResetMachine(); }

bool BootCollectingMessages(std::string *text)
{
    plat::SetThreadMessageSink(text);
    bool booted = plat::EnsureMachineBooted();
    plat::SetThreadMessageSink(nullptr);
    return booted;
}

void SetMessageSink(std::string *sink) { plat::SetThreadMessageSink(sink); }

bool HandleIsEvent(void *handle)
{
    PVOID obj = nullptr;
    if (!NT_SUCCESS(plat::ReferenceHandle(handle, *ExEventObjectType, &obj, nullptr)))
        return false;
    ObfDereferenceObject(obj);
    return true;
}

void AddResetHook(void (*hook)()) { plat::AddResetHook(hook); }

Status OpenDevicePath(const char *path, bool overlapped, void **fileHandle)
{
    HANDLE h = nullptr;
    NTSTATUS status =
        plat::OpenDevicePath(path, &h, overlapped ? plat::FileIo::Overlapped : plat::FileIo::Synchronous);
    *fileHandle = h;
    return status;
}

Status FileIsSynchronous(void *fileHandle, bool *synchronous) { return plat::FileIsSynchronous(fileHandle, synchronous); }

static_assert(sizeof(IO_STATUS_BLOCK) == sizeof(IoStatusWords) && offsetof(IO_STATUS_BLOCK, Information) ==
                  offsetof(IoStatusWords, information),
              "an OVERLAPPED's first two words are the I/O status block");

Status DeviceControl(void *fileHandle, void *event, IoStatusWords *ioStatus, bool wait, std::uint32_t code,
                     void *input, std::uint32_t inputLength, void *output, std::uint32_t outputLength)
{
    return plat::DeviceControlRequest(fileHandle, event, reinterpret_cast<PIO_STATUS_BLOCK>(ioStatus), wait, code,
                                      input, inputLength, output, outputLength);
}

Status CancelFileIo(void *fileHandle, bool anyThread, const IoStatusWords *ioStatus)
{
    return plat::CancelFileIo(fileHandle, anyThread, ioStatus);
}

}  // namespace tqwin32::kernel
