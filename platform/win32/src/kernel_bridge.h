// The Win32 stand-in's one path into the kernel stand-in. The kernel's headers (wdm.h)
// and the Win32 headers declare some of the same names, so only kernel_bridge.cpp sees
// the kernel's; everything here is plain C++ types. Statuses are NTSTATUS values.
#ifndef TQ_WIN32_KERNEL_BRIDGE_H
#define TQ_WIN32_KERNEL_BRIDGE_H

#include <cstdint>
#include <string>

namespace tqwin32::kernel {

using Status = std::int32_t;

// NTSTATUS values the stand-in itself tests for or produces.
inline constexpr Status kSuccess = 0x00000000;
inline constexpr Status kAbandoned = 0x00000080;
inline constexpr Status kTimeout = 0x00000102;
inline constexpr Status kPending = 0x00000103;
inline constexpr Status kBufferOverflow = static_cast<Status>(0x80000005u);
inline constexpr Status kUnsuccessful = static_cast<Status>(0xC0000001u);
inline constexpr Status kInvalidHandle = static_cast<Status>(0xC0000008u);
inline constexpr Status kInvalidParameter = static_cast<Status>(0xC000000Du);
inline constexpr Status kAccessViolation = static_cast<Status>(0xC0000005u);
inline constexpr Status kNoMemory = static_cast<Status>(0xC0000017u);
inline constexpr Status kObjectNameNotFound = static_cast<Status>(0xC0000034u);
inline constexpr Status kCancelled = static_cast<Status>(0xC0000120u);
inline constexpr Status kNotFound = static_cast<Status>(0xC0000225u);
inline constexpr Status kDeviceDoesNotExist = static_cast<Status>(0xC00000C0u);
inline constexpr Status kMoreProcessingRequired = static_cast<Status>(0xC0000016u);

constexpr bool Succeeded(Status s) { return s >= 0; }
constexpr bool IsError(Status s) { return (static_cast<std::uint32_t>(s) >> 30) == 3; }

Status InsertHandle(void *object, void *type, std::uint32_t access, void **handle);
Status CloseHandle(void *handle);
// Adds a reference (dropped with Dereference) to the object behind any handle.
Status ReferenceHandle(void *handle, void **object, void **type);
void Dereference(void *object);
// Whether the handle is one of a file (device) object: success, or the status that says why not.
Status CheckFileHandle(void *handle);

Status CreateEventObject(bool manualReset, bool initialState, void **handle);
Status SetEvent(void *handle);
Status ResetEvent(void *handle);
Status CreateThreadObject(void **object, void **handle);
void SignalThreadObject(void *object);
Status Wait(void *handle, std::uint32_t timeoutMs);

bool EnsureMachineBooted();
bool MachineBooted();
void ShutdownMachine();
// Shuts the machine down and returns the whole kernel stand-in to its boot state (the
// machine host, before it boots another configuration).
void ResetMachine();
// Boots the machine if none runs; what the machine says to its user meanwhile is also
// appended to *text.
bool BootCollectingMessages(std::string *text);
// What the machine says to its user from this thread is also appended to *sink (null: not).
void SetMessageSink(std::string *sink);
// Whether the handle names an event object.
bool HandleIsEvent(void *handle);
// Registers a function the kernel calls when a test resets the whole machine: every
// handle is closed and every object freed then, so the stand-in must forget its own
// references to kernel objects.
void AddResetHook(void (*hook)());
// `overlapped`: FILE_FLAG_OVERLAPPED, otherwise a synchronous file.
Status OpenDevicePath(const char *path, bool overlapped, void **fileHandle);
Status FileIsSynchronous(void *fileHandle, bool *synchronous);
// An I/O status block as the kernel fills it: the first two words of an OVERLAPPED.
struct IoStatusWords {
    std::uintptr_t status;
    std::uintptr_t information;
};
// Device control as NtDeviceIoControlFile (see plat/user_io.h: DeviceControlRequest).
Status DeviceControl(void *fileHandle, void *event, IoStatusWords *ioStatus, bool wait, std::uint32_t code,
                     void *input, std::uint32_t inputLength, void *output, std::uint32_t outputLength);
// ioStatus non-null: the requests issued with that status block; otherwise the caller's
// (or, with anyThread, every thread's) requests on the file.
Status CancelFileIo(void *fileHandle, bool anyThread, const IoStatusWords *ioStatus);

}  // namespace tqwin32::kernel

#endif
