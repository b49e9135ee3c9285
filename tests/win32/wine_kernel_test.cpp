// The real Tq4815x.sys on a second kernel: Wine's ntoskrnl, HAL, I/O manager and Plug and
// Play manager (hosted by winedevice.exe), driven from user mode as an installer and an
// application would:
//  1. install and load: the kernel-driver service, a root-enumerated device naming it, the
//     service started; AddDevice runs and \\.\Tq4815x opens. Wine starts the device
//     without resources, which the driver refuses as documented; the device stays
//     openable and says it has no card;
//  2. requests without hardware on the real 32-bit ABI: each with its status (from
//     NtDeviceIoControlFile), its Win32 error and returned length (from DeviceIoControl)
//     and the driver's LastError; the notification rendezvous;
//  3. the real TAVLON.dll against the real driver, loaded at run time and linked through
//     its import library (tavlon_linked_test.exe --device, run as a child);
//  4. removal with a handle open (the waiting request aborted, a request on the handle
//     refused with delete-pending, the removal finished by the close, the driver
//     unloaded) and, after loading the driver again, removal with no handle open.
// The stage's script (run_wine_kernel.sh) runs this program in its own prefix and then
// checks Wine's log; the Wine gaps the program steers around are listed in README.md here.
//
// The program builds for both widths. The x64 one, with the x64 driver, also runs the
// 32-bit build's program from the folder wow64 beside it (when that exists) with
// --attached, after step 3: a 32-bit process then sends steps 2 and 3 through the
// 32-bit TAVLON.dll to the x64 driver it did not install.
//
// Usage: wine_kernel_test [--attached]
// (Tq4815x.sys, TAVLON.dll and tavlon_linked_test.exe beside it; --attached: the driver
// is loaded already, run steps 2 and 3 only). Exit status 0 when every check held, 1
// otherwise.
#include <windows.h>
#include <setupapi.h>
#include <winternl.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "TAVLON.h"
#include "conformance_check.h"
#include "tq4815_ioctl.h"

namespace {

// ---- What the port codes answer ------------------------------------------------------------
// The driver's LastError for a direct port code on this device. The driver confines the
// port codes to the ranges the device claimed at its start, and refuses every port access
// of a device that is not started with 103 (STATUS_UNSUCCESSFUL) before it looks at the
// port: Wine starts the device without resources, so every port code is refused so. (A
// port outside the ranges of a started device gets 121, STATUS_ACCESS_DENIED; 0 here would
// mean a driver that hands any port number to the HAL.)
constexpr int32_t kPortCodeLastError = 103;
constexpr int32_t kPortOutsideRanges = 121;

// ---- Names and limits ----------------------------------------------------------------------
const char kService[] = "Tq4815x";
const wchar_t kServiceW[] = L"Tq4815x";
const wchar_t kDeviceId[] = L"ROOT\\TQ4815X\\0000";
const char kDevicePath[] = "\\\\.\\Tq4815x";
// The device's setup class: system devices.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// Room for a device instance id (cfgmgr32's MAX_DEVICE_ID_LEN).
const DWORD kIdChars = 200;
// Every wait is bounded: a hang becomes a failure, not a stuck stage.
const DWORD kWaitMs = 20000;

// NTSTATUS values the checks name.
constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kPending = 0x103;
constexpr NTSTATUS kUnsuccessful = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS kCancelled = static_cast<NTSTATUS>(0xC0000120);

// The folder of this program, with a trailing backslash.
char gFolder[MAX_PATH];

void FindFolder()
{
    DWORD n = GetModuleFileNameA(nullptr, gFolder, sizeof gFolder);
    while (n > 0 && gFolder[n - 1] != '\\' && gFolder[n - 1] != '/')
        --n;
    gFolder[n] = '\0';
}

void Beside(const char *file, char *path, size_t size) { snprintf(path, size, "%s%s", gFolder, file); }

HANDLE OpenDevice(DWORD flags)
{
    return CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// ---- Service and device set-up -------------------------------------------------------------

SC_HANDLE OpenManager() { return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

// Waits until the service reaches `state`; false on time-out.
bool WaitForServiceState(SC_HANDLE service, DWORD state)
{
    SERVICE_STATUS status;
    for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state)
            return true;
        Sleep(50);
    }
    return false;
}

// Runs DIF_REMOVE on every root device of this program's id; the number removed.
int RemoveDevices()
{
    int removed = 0;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t id[kIdChars];
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, kIdChars, nullptr) && lstrcmpiW(id, kDeviceId) == 0 &&
            SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            ++removed;
    }
    SetupDiDestroyDeviceInfoList(set);
    return removed;
}

// Stops the service (its devices must be gone first: Wine refuses the stop while a Plug
// and Play device of the driver exists); true when it reached SERVICE_STOPPED.
bool StopService()
{
    SC_HANDLE manager = OpenManager();
    SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, kService, SERVICE_ALL_ACCESS) : nullptr;
    bool stopped = false;
    if (service != nullptr) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        stopped = WaitForServiceState(service, SERVICE_STOPPED);
        CloseServiceHandle(service);
    }
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return stopped;
}

// Leaves the prefix as a fresh one: no device of this id, no service of this name (a
// run that failed half-way may have left either).
void RemoveLeftovers()
{
    RemoveDevices();
    SC_HANDLE manager = OpenManager();
    if (manager == nullptr)
        return;
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status;
        if (ControlService(service, SERVICE_CONTROL_STOP, &status))
            WaitForServiceState(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

// Registers the root-enumerated device that names the driver as its function driver.
bool CreateDevice()
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (!CHECK(set != INVALID_HANDLE_VALUE))
        return false;
    SP_DEVINFO_DATA device = {sizeof device, {}, 0, 0};
    const bool made =
        CHECK(SetupDiCreateDeviceInfoW(set, kDeviceId, &kSystemClass, nullptr, nullptr, 0, &device)) &&
        CHECK(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) &&
        CHECK(SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, reinterpret_cast<const BYTE *>(kServiceW),
                                                sizeof kServiceW));
    SetupDiDestroyDeviceInfoList(set);
    return made;
}

// Starts the driver's service: Wine's kernel loads the driver, runs DriverEntry, finds the
// root device and runs AddDevice and the start. True when the service runs.
bool StartDriver()
{
    SC_HANDLE manager = OpenManager();
    SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, kService, SERVICE_ALL_ACCESS) : nullptr;
    const bool running = CHECK(service != nullptr) && CHECK(StartServiceA(service, 0, nullptr)) &&
                         CHECK(WaitForServiceState(service, SERVICE_RUNNING));
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return running;
}

bool gLoaded = false;

// ---- 1. Install and load -------------------------------------------------------------------

void InstallAndLoad()
{
    RemoveLeftovers();
    char image[MAX_PATH];
    // An absolute image path: Wine 8 does not resolve a relative one.
    Beside("Tq4815x.sys", image, sizeof image);
    CHECK(GetFileAttributesA(image) != INVALID_FILE_ATTRIBUTES);
    SC_HANDLE manager = OpenManager();
    if (!CHECK(manager != nullptr))
        return;
    SC_HANDLE service = CreateServiceA(manager, kService, kService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
    CHECK(service != nullptr);
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (service == nullptr || !CreateDevice() || !StartDriver())
        return;

    HANDLE device = OpenDevice(0);
    if (!CHECK(device != INVALID_HANDLE_VALUE))
        return;
    CloseHandle(device);
    gLoaded = true;
}

// ---- 2. Requests ---------------------------------------------------------------------------

// LastError values a row can expect besides a number: unchanged from the row before.
constexpr int32_t kUnchanged = -1;

struct Request {
    const char *what;
    uint32_t code;
    uint32_t inLength;
    uint32_t outLength;
    NTSTATUS status;
    DWORD win32Error;  // GetLastError after DeviceIoControl; 0 when it succeeds
    int32_t lastError; // the driver's LastError afterwards, or kUnchanged
};

// The driver's LastError, through IOCTL_GET_LAST_ERROR (which succeeds with 4 bytes).
int32_t DriverLastError(HANDLE device)
{
    int32_t value = -12345;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_GET_LAST_ERROR, nullptr, 0, &value, sizeof value, &returned, nullptr);
    CHECK(ok);
    CHECK_EQ(returned, 4u);
    return value;
}

// Sends one row twice, through ntdll and through kernel32, and checks what each returns.
// Returns the output of the kernel32 call (prefilled with 0xEE) for row-specific checks.
std::vector<uint8_t> Send(HANDLE device, const Request &r)
{
    printf("  %s\n", r.what);
    // Every input is a port record (port 0x300, value 0x5A) cut to the row's length; the
    // other codes do not read what they are given.
    std::vector<uint8_t> in(r.inLength + 8, 0);
    in[1] = 0x03;
    in[4] = 0x5A;
    const int32_t before = DriverLastError(device);

    IO_STATUS_BLOCK iosb;
    iosb.Status = -1;
    iosb.Information = 0xEEEE;
    std::vector<uint8_t> out(r.outLength + 1, 0xEE);
    const NTSTATUS status = NtDeviceIoControlFile(device, nullptr, nullptr, nullptr, &iosb, r.code, in.data(),
                                                  r.inLength, out.data(), r.outLength);
    CHECK_EQ(static_cast<uint32_t>(status), static_cast<uint32_t>(r.status));
    if (status >= 0)
        CHECK_EQ(iosb.Information, r.outLength);  // the driver reports the whole output length
    const int32_t expectedLast = r.lastError == kUnchanged ? before : r.lastError;
    CHECK_EQ(DriverLastError(device), expectedLast);

    DWORD returned = 0xEEEE;
    std::fill(out.begin(), out.end(), 0xEE);
    SetLastError(0);
    const BOOL ok = DeviceIoControl(device, r.code, r.inLength != 0 ? in.data() : nullptr, r.inLength,
                                    r.outLength != 0 ? out.data() : nullptr, r.outLength, &returned, nullptr);
    CHECK_EQ(ok, r.status >= 0);
    if (ok) {
        CHECK_EQ(returned, r.outLength);
    } else {
        CHECK_EQ(GetLastError(), r.win32Error);
        // A refused request hands nothing back.
        for (uint32_t i = 0; i < r.outLength; ++i)
            CHECK_EQ(out[i], 0xEEu);
    }
    CHECK_EQ(out[r.outLength], 0xEEu);  // nothing past the output
    CHECK_EQ(DriverLastError(device), expectedLast);
    return out;
}

// True when the driver is the x64 one: this program is, or runs under WoW64 (where a
// 32-bit driver cannot load).
bool KernelIs64Bit()
{
    BOOL wow64 = FALSE;
    return sizeof(void *) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

void RequestsWithoutHardware()
{
    HANDLE device = OpenDevice(0);
    if (!CHECK(device != INVALID_HANDLE_VALUE))
        return;
    const Request rows[] = {
        {"GET_LAST_ERROR", IOCTL_GET_LAST_ERROR, 0, 4, kSuccess, 0, kUnchanged},
        {"INITIAL, 16 bytes: no card", IOCTL_INITIAL, 16, 0, kUnsuccessful, ERROR_GEN_FAILURE, TQ_DRV_NO_BOARD},
        {"INITIAL, 15 bytes", IOCTL_INITIAL, 15, 0, kInvalidParameter, ERROR_INVALID_PARAMETER, TQ_DRV_INITIAL_LENGTH},
        {"QUERY_BUF before an accepted INITIAL", IOCTL_QUERY_BUF, 0, 2, kUnsuccessful, ERROR_GEN_FAILURE,
         TQ_DRV_NOT_INITIALISED},
        {"STOP before an accepted INITIAL", IOCTL_STOP, 0, 0, kUnsuccessful, ERROR_GEN_FAILURE,
         TQ_DRV_NOT_INITIALISED},
        {"CARD_FREQUENCY: no card", IOCTL_CARD_FREQUENCY, 0, 4, kUnsuccessful, ERROR_GEN_FAILURE, TQ_DRV_NO_BOARD},
        {"BOARD_COMMAND status form", IOCTL_BOARD_COMMAND, 0, 10, kSuccess, 0, TQ_OK},
        {"BOARD_COMMAND counters form", IOCTL_BOARD_COMMAND, 0, TqScanCountersBytes, kSuccess, 0, TQ_OK},
        {"BOARD_COMMAND resource form", IOCTL_BOARD_COMMAND, 0, 80, kSuccess, 0, TQ_OK},
        {"IN_BYTE with a 1-byte input", IOCTL_IN_BYTE, 1, 2, kInvalidParameter, ERROR_INVALID_PARAMETER,
         TQ_DRV_BUFFER_TOO_SHORT},
        {"unassigned function 0x803", TqControlCode(0x803, TqMethodBuffered), 0, 4, kInvalidDeviceRequest,
         ERROR_INVALID_FUNCTION, kUnchanged},
        {"unassigned function 0x809", TqControlCode(0x809, TqMethodBuffered), 4, 4, kInvalidDeviceRequest,
         ERROR_INVALID_FUNCTION, kUnchanged},
        {"WAIT_NOTIFY with a 2-byte output", IOCTL_WAIT_NOTIFY, 0, 2, kInvalidParameter, ERROR_INVALID_PARAMETER,
         kUnchanged},
        {"POST_NOTIFY with a 2-byte input", IOCTL_POST_NOTIFY, 2, 0, kInvalidParameter, ERROR_INVALID_PARAMETER,
         kUnchanged},
        {"POST_NOTIFY with nobody waiting", IOCTL_POST_NOTIFY, 4, 0, kUnsuccessful, ERROR_GEN_FAILURE, kUnchanged},
    };
    for (const Request &r : rows) {
        std::vector<uint8_t> out = Send(device, r);
        if (r.code == IOCTL_BOARD_COMMAND) {
            // No resources and no acquisition: board base, interrupt line and counts
            // (status form), the scan counters, port and memory counts and the six port
            // entries (resource form) are all zero.
            const uint32_t written = r.outLength == 80 ? 76 : r.outLength;
            for (uint32_t i = 0; i < written; ++i)
                CHECK_EQ(out[i], 0u);
        }
    }

    // The direct port codes: the port number at offset 0, the value at offset 4.
    const bool confined = kPortCodeLastError != TQ_OK;
    const NTSTATUS portStatus = !confined                                  ? kSuccess
                                : kPortCodeLastError == kPortOutsideRanges ? kAccessDenied
                                                                           : kUnsuccessful;
    const DWORD portError = !confined                                  ? ERROR_SUCCESS
                            : kPortCodeLastError == kPortOutsideRanges ? ERROR_ACCESS_DENIED
                                                                       : ERROR_GEN_FAILURE;
    const Request ports[] = {
        {"IN_BYTE", IOCTL_IN_BYTE, 2, 2, portStatus, portError, kPortCodeLastError},
        {"IN_DWORD", IOCTL_IN_DWORD, 2, 4, portStatus, portError, kPortCodeLastError},
        {"OUT_BYTE", IOCTL_OUT_BYTE, 8, 0, portStatus, portError, kPortCodeLastError},
        {"OUT_DWORD", IOCTL_OUT_DWORD, 8, 0, portStatus, portError, kPortCodeLastError},
        // Wine's HAL has no 16-bit port routines: only a refusal may be asked for.
        {"IN_WORD", IOCTL_IN_WORD, 2, 2, portStatus, portError, kPortCodeLastError},
        {"OUT_WORD", IOCTL_OUT_WORD, 8, 0, portStatus, portError, kPortCodeLastError},
    };
    // The x64 driver's port routines are the in and out instructions themselves (the x64
    // headers compile READ_PORT_* inline); Wine's 64-bit kernel does not emulate them and
    // its driver host dies of the first. Only a refusal may be asked for there.
    for (const Request &r : ports) {
        if (!confined && (KernelIs64Bit() || r.code == IOCTL_IN_WORD || r.code == IOCTL_OUT_WORD))
            continue;
        Send(device, r);
    }
    CloseHandle(device);
}

// A waiting request is completed by a post, with the post's value; a second post finds
// nobody waiting.
void NotificationRendezvous()
{
    HANDLE waiter = OpenDevice(FILE_FLAG_OVERLAPPED);
    HANDLE poster = OpenDevice(0);
    if (!CHECK(waiter != INVALID_HANDLE_VALUE) || !CHECK(poster != INVALID_HANDLE_VALUE))
        return;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint32_t value = 0xEEEEEEEE;
    DWORD returned = 0;
    CHECK(!DeviceIoControl(waiter, IOCTL_WAIT_NOTIFY, nullptr, 0, &value, sizeof value, nullptr, &ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 200), WAIT_TIMEOUT);  // still waiting

    const uint32_t posted = 0x12345678;
    CHECK(DeviceIoControl(poster, IOCTL_POST_NOTIFY, const_cast<uint32_t *>(&posted), sizeof posted, nullptr, 0,
                          &returned, nullptr));
    CHECK_EQ(WaitForSingleObject(ov.hEvent, kWaitMs), WAIT_OBJECT_0);
    CHECK(GetOverlappedResult(waiter, &ov, &returned, FALSE));
    CHECK_EQ(static_cast<uint32_t>(ov.Internal), static_cast<uint32_t>(kSuccess));
    CHECK_EQ(returned, 4u);
    CHECK_EQ(value, posted);

    CHECK(!DeviceIoControl(poster, IOCTL_POST_NOTIFY, const_cast<uint32_t *>(&posted), sizeof posted, nullptr, 0,
                           &returned, nullptr));
    CHECK_EQ(GetLastError(), ERROR_GEN_FAILURE);
    CloseHandle(ov.hEvent);
    CloseHandle(poster);
    CloseHandle(waiter);
}

// ---- 3. The real library -------------------------------------------------------------------

// An export of the library by its decorated name (x64: by the plain name within it), as
// a pointer of the prototype F.
template <typename F>
F Export(HMODULE dll, const char *decorated)
{
    char name[64];
    const char *plain = decorated;
    if (sizeof(void *) == 8) {
        snprintf(name, sizeof name, "%s", decorated + 1);
        *strchr(name, '@') = '\0';
        plain = name;
    }
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(dll, plain)));
}

void LibraryAgainstTheDriver()
{
    char path[MAX_PATH];
    Beside("TAVLON.dll", path, sizeof path);
    HMODULE dll = LoadLibraryA(path);
    if (!CHECK(dll != nullptr))
        return;
    auto getLastError = Export<decltype(&::GetLastADError)>(dll, "_GetLastADError@0");
    auto initial = Export<decltype(&::Initial)>(dll, "_Initial@16");
    auto queryBuf = Export<decltype(&::QueryBuf)>(dll, "_QueryBuf@0");
    auto configInfo = Export<decltype(&::ConfigInfo)>(dll, "_ConfigInfo@32");
    auto propSize = Export<decltype(&::GetADPropStrSize)>(dll, "_GetADPropStrSize@0");
    auto propString = Export<decltype(&::GetADPropString)>(dll, "_GetADPropString@4");
    if (CHECK(getLastError && initial && queryBuf && configInfo && propSize && propString)) {
        CHECK_EQ(getLastError(), 0);
        // The device opened at load; the driver refuses Initial: no card.
        CHECK_EQ(initial(1, 2, 3, 4), 0);
        CHECK_EQ(getLastError(), TQ_DRV_NO_BOARD);
        CHECK_EQ(queryBuf(), 0);
        CHECK_EQ(getLastError(), TQ_LIB_NOT_INITIALISED);

        char name[16];
        int32_t v[5];
        float f[2];
        memset(name, 0xEE, sizeof name);
        configInfo(name, &v[0], &v[1], &v[2], &v[3], &f[0], &f[1], &v[4]);
        CHECK(memcmp(name, "Tq4815x", 8) == 0);
        CHECK_EQ(v[0], 32);
        CHECK_EQ(v[1], 1);
        CHECK_EQ(v[2], 100000);
        CHECK_EQ(v[3], 5);
        CHECK(f[0] == 32768.0f && f[1] == 65535.0f);
        CHECK_EQ(v[4], 0);

        char text[128];
        memset(text, 0xEE, sizeof text);
        CHECK_EQ(propSize(), 93);
        CHECK_EQ(propString(text), 1);
        CHECK(memcmp(text, "Tq4815\xA3\xADWDM: 12", 13) == 0);
        CHECK(memcmp(text + 52, "NumChn:1~32, SW:0, FrqSamp:-100000~100000", 42) == 0);
        CHECK_EQ(static_cast<uint8_t>(text[94]), 0xEEu);
    }
    CHECK(FreeLibrary(dll));
    CHECK(GetModuleHandleA("TAVLON.dll") == nullptr);
    // The library closed its handle at detach: the device opens, and nothing is left open
    // that a removal would wait for (checked by the removal with no handle below).
    HANDLE device = OpenDevice(0);
    CHECK(device != INVALID_HANDLE_VALUE);
    CloseHandle(device);
}

// Runs a program of this stage (a path relative to this program's folder) with one
// argument, and expects exit status 0.
void RunChild(const char *file, const char *argument)
{
    char program[MAX_PATH];
    char command[MAX_PATH + 32];
    Beside(file, program, sizeof program);
    snprintf(command, sizeof command, "\"%s\" %s", program, argument);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    fflush(stdout);
    if (!CHECK(CreateProcessA(program, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)))
        return;
    CHECK_EQ(WaitForSingleObject(process.hProcess, kWaitMs), WAIT_OBJECT_0);
    DWORD exitCode = 0xEEEE;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CHECK_EQ(exitCode, 0u);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// The same calls from a C program linked against the import library.
void LinkedProgramAgainstTheDriver() { RunChild("tavlon_linked_test.exe", "--device"); }

// The 32-bit build's program, attached to this x64 driver: requests, rendezvous and
// library from a 32-bit process, through Wine's WoW64.
void ThirtyTwoBitProgramAgainstTheDriver() { RunChild("wow64\\wine_kernel_test.exe", "--attached"); }

// ---- 4. Removal ----------------------------------------------------------------------------

DWORD WINAPI RemoveDevicesThread(LPVOID result)
{
    *static_cast<int *>(result) = RemoveDevices();
    return 0;
}

// The status a request on `device` gets, through ntdll (synchronously on an overlapped
// handle: the driver completes it at once).
NTSTATUS ProbeStatus(HANDLE device)
{
    IO_STATUS_BLOCK iosb;
    int32_t value = 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    NTSTATUS status = NtDeviceIoControlFile(device, event, nullptr, nullptr, &iosb, IOCTL_GET_LAST_ERROR, nullptr, 0,
                                            &value, sizeof value);
    if (status == kPending) {
        WaitForSingleObject(event, kWaitMs);
        status = iosb.Status;
    }
    CloseHandle(event);
    return status;
}

// With a handle open and a request waiting on it: the removal aborts the waiting
// request, refuses the handle's requests (and new opens) with delete-pending while it
// waits, and finishes when the handle is closed; then the driver unloads.
void RemovalWithAHandleOpen()
{
    HANDLE device = OpenDevice(FILE_FLAG_OVERLAPPED);
    if (!CHECK(device != INVALID_HANDLE_VALUE))
        return;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint32_t value = 0;
    CHECK(!DeviceIoControl(device, IOCTL_WAIT_NOTIFY, nullptr, 0, &value, sizeof value, nullptr, &ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);

    // The removal runs in a thread of its own: it returns only once the handle is closed.
    int removed = -1;
    HANDLE remover = CreateThread(nullptr, 0, RemoveDevicesThread, &removed, 0, nullptr);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, kWaitMs), WAIT_OBJECT_0);
    DWORD returned = 0;
    CHECK(!GetOverlappedResult(device, &ov, &returned, FALSE));
    CHECK_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CHECK_EQ(static_cast<uint32_t>(ov.Internal), static_cast<uint32_t>(kCancelled));

    // The surprise removal comes first; the removal then closes the gate.
    NTSTATUS status = kSuccess;
    for (DWORD waited = 0; waited < kWaitMs && (status = ProbeStatus(device)) == kSuccess; waited += 20)
        Sleep(20);
    CHECK_EQ(static_cast<uint32_t>(status), static_cast<uint32_t>(kDeletePending));
    int32_t last = 0;
    CHECK(!DeviceIoControl(device, IOCTL_GET_LAST_ERROR, nullptr, 0, &last, sizeof last, &returned, &ov) &&
          GetLastError() == ERROR_ACCESS_DENIED);
    // A new open is refused with delete-pending by the driver. Wine's I/O manager opens
    // the file before the driver answers the create and keeps it when the driver refuses;
    // the requests on that handle are refused, and its close must not end the removal.
    HANDLE late = OpenDevice(FILE_FLAG_OVERLAPPED);
    const DWORD lateError = GetLastError();
    KNOWN_DIVERGENCE(conformance::kOnWine, "Wine keeps the handle of a create the driver refused")
    {
        CHECK_EQ(late, INVALID_HANDLE_VALUE);
    }
    if (late != INVALID_HANDLE_VALUE) {
        CHECK_EQ(static_cast<uint32_t>(ProbeStatus(late)), static_cast<uint32_t>(kDeletePending));
        CloseHandle(late);
    } else {
        CHECK_EQ(lateError, ERROR_ACCESS_DENIED);
    }
    CHECK_EQ(WaitForSingleObject(remover, 300), WAIT_TIMEOUT);  // still waiting for the handle

    CloseHandle(device);
    CHECK_EQ(WaitForSingleObject(remover, kWaitMs), WAIT_OBJECT_0);
    CHECK_EQ(removed, 1);
    CloseHandle(remover);
    CloseHandle(ov.hEvent);
    CHECK_EQ(OpenDevice(0), INVALID_HANDLE_VALUE);  // the device and its link are gone
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CHECK(StopService());
}

// The driver loads again for a new device, which is then removed with no handle open;
// the driver unloads a second time.
void RemovalWithNoHandleOpen()
{
    if (!CreateDevice() || !StartDriver())
        return;
    HANDLE device = OpenDevice(0);
    CHECK(device != INVALID_HANDLE_VALUE);
    CloseHandle(device);
    CHECK_EQ(RemoveDevices(), 1);
    CHECK_EQ(OpenDevice(0), INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CHECK(StopService());
}

}  // namespace

int main(int argc, char **argv)
{
    FindFolder();
    if (argc > 1 && strcmp(argv[1], "--attached") == 0) {
        RUN_CASE(RequestsWithoutHardware);
        RUN_CASE(NotificationRendezvous);
        RUN_CASE(LibraryAgainstTheDriver);
        RUN_CASE(LinkedProgramAgainstTheDriver);
        return conformance::Finish("wine_kernel_test --attached");
    }
    RUN_CASE(InstallAndLoad);
    if (gLoaded) {
        RUN_CASE(RequestsWithoutHardware);
        RUN_CASE(NotificationRendezvous);
        RUN_CASE(LibraryAgainstTheDriver);
        RUN_CASE(LinkedProgramAgainstTheDriver);
        char wow64[MAX_PATH];
        Beside("wow64\\wine_kernel_test.exe", wow64, sizeof wow64);
        if (sizeof(void *) == 8 && GetFileAttributesA(wow64) != INVALID_FILE_ATTRIBUTES)
            RUN_CASE(ThirtyTwoBitProgramAgainstTheDriver);
        else if (sizeof(void *) == 8)
            printf("[skip] ThirtyTwoBitProgramAgainstTheDriver: no %s (TQ_WOW64_PROGRAMS)\n", wow64);
        RUN_CASE(RemovalWithAHandleOpen);
        RUN_CASE(RemovalWithNoHandleOpen);
    }
    RemoveLeftovers();
    return conformance::Finish("wine_kernel_test");
}
