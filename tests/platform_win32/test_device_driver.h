// A small test-only kernel driver behind \\.\TqWin32Test, for exercising the Win32
// stand-in's device I/O against the kernel stand-in's I/O manager. This header is shared
// by the driver (built against <wdm.h>) and the tests (built against <windows.h>), so it
// uses neither.
#ifndef TQ_TESTS_TEST_DEVICE_DRIVER_H
#define TQ_TESTS_TEST_DEVICE_DRIVER_H

#include <cstdint>

namespace testdev {

inline constexpr const char *kWin32Path = "\\\\.\\TqWin32Test";

constexpr std::uint32_t Code(std::uint32_t function, std::uint32_t method)
{
    return (0x22u << 16) | (function << 2) | method;  // FILE_DEVICE_UNKNOWN, any access
}
inline constexpr std::uint32_t kMethodBuffered = 0;
inline constexpr std::uint32_t kMethodInDirect = 1;
inline constexpr std::uint32_t kMethodOutDirect = 2;
inline constexpr std::uint32_t kMethodNeither = 3;

// Output = input with every byte inverted; Information = input length (buffered).
inline constexpr std::uint32_t kInvert = Code(0x900, kMethodBuffered);
// Input: a u32 NTSTATUS. The request completes with it; output bytes are filled with 0xA5
// and Information = output length, so a warning status shows what is copied back.
inline constexpr std::uint32_t kCompleteWith = Code(0x901, kMethodBuffered);
// Left pending, cancellable, until cancelled, released (kCompletePending) or its file's
// cleanup (which cancels the file's pending requests). At most four pend at a time.
inline constexpr std::uint32_t kPendUntilCancelled = Code(0x902, kMethodBuffered);
// Input: a u32 NTSTATUS. Completes the oldest pending request with it, as kCompleteWith
// would have (output bytes 0xA5, Information = its output length unless an error).
inline constexpr std::uint32_t kCompletePending = Code(0x907, kMethodBuffered);
// Input: a u32 user handle. References it as an event (ObReferenceObjectByHandle with
// *ExEventObjectType, EVENT_MODIFY_STATE, UserMode) and keeps the reference.
inline constexpr std::uint32_t kReferenceEvent = Code(0x903, kMethodBuffered);
inline constexpr std::uint32_t kSetReferencedEvent = Code(0x904, kMethodBuffered);   // KeSetEvent
inline constexpr std::uint32_t kReleaseReferencedEvent = Code(0x905, kMethodBuffered);  // ObDereferenceObject
// METHOD_OUT_DIRECT: writes byte i = i * 7 + 1 (mod 256) to the whole output buffer.
inline constexpr std::uint32_t kFillDirect = Code(0x906, kMethodOutDirect);
// METHOD_IN_DIRECT: adds the input's first byte (1 without input) to every byte of the
// buffer the MDL describes, in place; Information = its length.
inline constexpr std::uint32_t kAddInDirect = Code(0x908, kMethodInDirect);
// METHOD_NEITHER: the caller's output gets its input reversed, through the raw pointers;
// Information = the bytes written (the shorter of the two lengths).
inline constexpr std::uint32_t kReverseNeither = Code(0x909, kMethodNeither);

// Loads the driver (DriverEntry creates the device and its link). Returns 0 on success or
// the NTSTATUS of the failure.
std::int32_t Load();
void Unload();  // DriverUnload, then the verifier's unload checks
// Requests now pending in the driver, and open handles (creates minus closes).
int PendingCount();
int OpenHandles();
int Cleanups();  // IRP_MJ_CLEANUP requests seen since Load
// Threads waiting for the lock of the synchronous file object behind a handle (-1: no file).
int FileLockWaiters(void *handle);
// plat::ResetMachine and the virtual clock, for test files that cannot include the
// kernel's headers.
void ResetMachine();
std::uint64_t VirtualNowNs();

}  // namespace testdev

#endif
