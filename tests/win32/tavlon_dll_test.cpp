// TAVLON.dll as a Windows application meets it, on a system without the Tq4815x device
// (a fresh Wine prefix, or a Windows machine without the card):
//  - the DLL loads with LoadLibraryA (its entry point opens nothing, fails nothing) and
//    unloads with FreeLibrary, also after threads came and went while it was loaded;
//  - all 32 decorated names resolve, and each function, called through its exact stdcall
//    prototype, removes exactly its own arguments from the stack and keeps the registers
//    the calling convention asks it to keep (x64: the 32 plain names resolve and the
//    decorated ones do not; its one calling convention leaves the stack to the caller);
//  - without the device every function gives the documented refusal (error number 2
//    where the device is needed, 3 where an accepted Initial is needed), touches none of
//    the caller's buffers, and the functions that need no device give their fixed
//    results: the description string, the configuration values, the per-channel rates.
//
// Usage: tavlon_dll_test [--exit-loaded] [path of TAVLON.dll]
// (default path: TAVLON.dll beside the program). With --exit-loaded the program leaves
// the DLL loaded when it returns, so the DLL sees the detach of a terminating process
// (other threads already ended) instead of FreeLibrary's; the process must still end.
// Exit status 0 when every check held, 1 otherwise, 77 when the device exists here (the
// checks are about its absence).
#include <windows.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <type_traits>

#include "TAVLON.h"
#include "conformance_check.h"

namespace {

const int kSkipped = 77;

// ---- Calling a function with the stack measured ---------------------------------------

#if defined(__i386__)
// What tq_probe_call saw after the call returned.
struct ProbeResult {
    uint32_t eax;
    uint32_t edx;
    int32_t espDelta;  // stack pointer after the call minus before the arguments were pushed
    uint32_t ebx;      // callee-saved registers, loaded with the sentinels below before
    uint32_t esi;      // the call
    uint32_t edi;
    double st0;  // the floating-point result, for functions that return one
};
static_assert(offsetof(ProbeResult, st0) == 24, "the assembly below stores by offset");

const uint32_t kSentinelEbx = 0x1BADB002u;
const uint32_t kSentinelEsi = 0x5CA1AB1Eu;
const uint32_t kSentinelEdi = 0xDEADBEEFu;

}  // namespace

// Pushes count 32-bit arguments (args[0] last, so it lies lowest, as a C call puts it),
// loads sentinels into the callee-saved registers and calls fn; then records the stack
// pointer's distance from where it was before the pushes (0 when fn removed exactly the
// arguments, as a stdcall function must), the result registers and the callee-saved
// registers, and pops the floating-point result when there is one. The thunk restores
// its own stack pointer from its frame, so an unbalanced callee is measured, not fatal.
extern "C" void tq_probe_call(const void *fn, const uint32_t *args, uint32_t count, int floatResult,
                              ProbeResult *out);
asm(R"(
    .text
    .globl _tq_probe_call
    .def _tq_probe_call; .scl 2; .type 32; .endef
_tq_probe_call:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl  $4, %esp
    movl  %esp, -16(%ebp)
    movl  16(%ebp), %ecx
    movl  12(%ebp), %esi
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  movl  $0x1BADB002, %ebx
    movl  $0x5CA1AB1E, %esi
    movl  $0xDEADBEEF, %edi
    call  *8(%ebp)
    movl  24(%ebp), %ecx
    movl  %eax, 0(%ecx)
    movl  %edx, 4(%ecx)
    movl  %esp, %eax
    subl  -16(%ebp), %eax
    movl  %eax, 8(%ecx)
    movl  %ebx, 12(%ecx)
    movl  %esi, 16(%ecx)
    movl  %edi, 20(%ecx)
    cmpl  $0, 20(%ebp)
    je    3f
    fstpl 24(%ecx)
3:  leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

namespace {

template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R(__stdcall *)(A...)> {
    static constexpr uint32_t kArgumentBytes = 4 * sizeof...(A);
    static constexpr bool kFloatResult = std::is_floating_point_v<R>;
    static_assert(((sizeof(A) == 4) && ...), "every argument of the library is 32 bits wide");
};

template <typename T>
uint32_t AsWord(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    else
        return static_cast<uint32_t>(value);
}

// Calls fn through the probe with the given arguments and checks that the stack and the
// callee-saved registers come back as they were.
template <typename R, typename... A>
ProbeResult ProbeCall(const char *name, R(__stdcall *fn)(A...), A... args)
{
    const uint32_t words[sizeof...(A) + 1] = {AsWord(args)..., 0};
    ProbeResult r;
    memset(&r, 0, sizeof r);
    tq_probe_call(reinterpret_cast<const void *>(fn), words, sizeof...(A), Signature<R(__stdcall *)(A...)>::kFloatResult,
                  &r);
    if (!CHECK_EQ(r.espDelta, 0))
        printf("  %s left the stack pointer %d bytes off\n", name, static_cast<int>(r.espDelta));
    if (!(CHECK_EQ(r.ebx, kSentinelEbx) & CHECK_EQ(r.esi, kSentinelEsi) & CHECK_EQ(r.edi, kSentinelEdi)))
        printf("  %s did not keep a callee-saved register\n", name);
    return r;
}

#else

// x64: one calling convention, in which the caller removes the arguments and the
// compiler keeps the callee-saved registers on both sides, so there is nothing to
// measure: a probe call is the typed call, its result kept as the x86 probe keeps it.
struct ProbeResult {
    uint32_t eax;
    double st0;
};

template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R (*)(A...)> {
    static constexpr uint32_t kArgumentBytes = 4 * sizeof...(A);
    // Every argument is a 32-bit value or a pointer.
    static_assert(((sizeof(A) == 4 || std::is_pointer_v<A>) && ...), "every argument of the library is 32 bits wide");
};

template <typename R, typename... A>
ProbeResult ProbeCall(const char *, R (*fn)(A...), A... args)
{
    ProbeResult r;
    memset(&r, 0, sizeof r);
    if constexpr (std::is_void_v<R>)
        fn(args...);
    else if constexpr (std::is_floating_point_v<R>)
        r.st0 = fn(args...);
    else
        r.eax = static_cast<uint32_t>(fn(args...));
    return r;
}

#endif

// ---- The exports -------------------------------------------------------------------------

struct Exports {
    decltype(&::ADResult) ADResult;
    decltype(&::ADResultRecent) ADResultRecent;
    decltype(&::CardFrequency) CardFrequency;
    decltype(&::ChannelFrq) ChannelFrq;
    decltype(&::ConfigInfo) ConfigInfo;
    decltype(&::GetADPropStrSize) GetADPropStrSize;
    decltype(&::GetADPropString) GetADPropString;
    decltype(&::GetLastADError) GetLastADError;
    decltype(&::GetSnapshot) GetSnapshot;
    decltype(&::IOCtl) IOCtl;
    decltype(&::Initial) Initial;
    decltype(&::QueryBuf) QueryBuf;
    decltype(&::RegisterNotify) RegisterNotify;
    decltype(&::StartIntr) StartIntr;
    decltype(&::StartSnapshot) StartSnapshot;
    decltype(&::StopIntr) StopIntr;
    decltype(&::Zel_ADR1) Zel_ADR1;
    decltype(&::Zel_ADResult) Zel_ADResult;
    decltype(&::Zel_CounterOut) Zel_CounterOut;
    decltype(&::Zel_DA) Zel_DA;
    decltype(&::Zel_DI) Zel_DI;
    decltype(&::Zel_DO) Zel_DO;
    decltype(&::Zel_Init) Zel_Init;
    decltype(&::Zel_SetChn) Zel_SetChn;
    decltype(&::Zel_SetPGA) Zel_SetPGA;
    decltype(&::Zel_StartAD) Zel_StartAD;
    decltype(&::inport) inport;
    decltype(&::inportb) inportb;
    decltype(&::inportdw) inportdw;
    decltype(&::outport) outport;
    decltype(&::outportb) outportb;
    decltype(&::outportdw) outportdw;
};

int gResolved = 0;

// Resolves one decorated name into a pointer of the function's prototype, after checking
// that the name's argument bytes are those of the prototype.
template <typename F>
void Resolve(HMODULE dll, const char *decorated, F &slot)
{
    slot = nullptr;
    const char *at = strrchr(decorated, '@');
    const unsigned long bytes = at != nullptr ? strtoul(at + 1, nullptr, 10) : 0xFFFFFFFFul;
    if (!CHECK_EQ(bytes, Signature<F>::kArgumentBytes))
        printf("  %s: the prototype takes %u argument bytes\n", decorated,
               static_cast<unsigned>(Signature<F>::kArgumentBytes));
#if defined(__i386__)
    const char *name = decorated;
#else
    // x64 exports the plain name: without the leading underscore and the argument bytes.
    char name[64];
    const size_t length = static_cast<size_t>(at - decorated) - 1;
    memcpy(name, decorated + 1, length);
    name[length] = '\0';
    CHECK(GetProcAddress(dll, decorated) == nullptr);
#endif
    FARPROC address = GetProcAddress(dll, name);
    if (!CHECK(address != nullptr)) {
        printf("  %s is not exported\n", name);
        return;
    }
    slot = reinterpret_cast<F>(reinterpret_cast<void *>(address));
    gResolved++;
}

#define RESOLVE(decorated, member) Resolve(dll, decorated, e.member)

bool ResolveAll(HMODULE dll, Exports &e)
{
    gResolved = 0;
    RESOLVE("_ADResult@4", ADResult);
    RESOLVE("_ADResultRecent@4", ADResultRecent);
    RESOLVE("_CardFrequency@4", CardFrequency);
    RESOLVE("_ChannelFrq@8", ChannelFrq);
    RESOLVE("_ConfigInfo@32", ConfigInfo);
    RESOLVE("_GetADPropStrSize@0", GetADPropStrSize);
    RESOLVE("_GetADPropString@4", GetADPropString);
    RESOLVE("_GetLastADError@0", GetLastADError);
    RESOLVE("_GetSnapshot@12", GetSnapshot);
    RESOLVE("_IOCtl@16", IOCtl);
    RESOLVE("_Initial@16", Initial);
    RESOLVE("_QueryBuf@0", QueryBuf);
    RESOLVE("_RegisterNotify@20", RegisterNotify);
    RESOLVE("_StartIntr@28", StartIntr);
    RESOLVE("_StartSnapshot@32", StartSnapshot);
    RESOLVE("_StopIntr@0", StopIntr);
    RESOLVE("_Zel_ADR1@4", Zel_ADR1);
    RESOLVE("_Zel_ADResult@8", Zel_ADResult);
    RESOLVE("_Zel_CounterOut@16", Zel_CounterOut);
    RESOLVE("_Zel_DA@8", Zel_DA);
    RESOLVE("_Zel_DI@8", Zel_DI);
    RESOLVE("_Zel_DO@8", Zel_DO);
    RESOLVE("_Zel_Init@12", Zel_Init);
    RESOLVE("_Zel_SetChn@4", Zel_SetChn);
    RESOLVE("_Zel_SetPGA@4", Zel_SetPGA);
    RESOLVE("_Zel_StartAD@0", Zel_StartAD);
    RESOLVE("_inport@4", inport);
    RESOLVE("_inportb@4", inportb);
    RESOLVE("_inportdw@4", inportdw);
    RESOLVE("_outport@8", outport);
    RESOLVE("_outportb@8", outportb);
    RESOLVE("_outportdw@8", outportdw);
    CHECK_EQ(gResolved, 32);
    // Only the decorated names are exported (x64: only the plain ones).
#if defined(__i386__)
    const char *other[] = {"StartIntr", "GetLastADError", "ChannelFrq", "_StartIntr", "StartIntr@28"};
#else
    const char *other[] = {"_StartIntr@28", "_GetLastADError@0", "_StartIntr", "StartIntr@28"};
#endif
    for (const char *name : other)
        CHECK(GetProcAddress(dll, name) == nullptr);
    return gResolved == 32;
}

// ---- Checks ------------------------------------------------------------------------------

Exports e;
HMODULE gDll = nullptr;

#if defined(__i386__)
bool Balanced(const ProbeResult &r)
{
    return r.espDelta == 0 && r.ebx == kSentinelEbx && r.esi == kSentinelEsi && r.edi == kSentinelEdi;
}
#else
bool Balanced(const ProbeResult &) { return true; }
#endif

// Calls an export twice, through the stack probe and through its typed pointer, and
// expects the typed call's result and the error number it leaves. (Without the device
// every call is repeatable: the second call meets the state the first left.) A function
// the probe found unbalanced is not called through its pointer: that call would corrupt
// this program's own stack.
#define EXPECT_REFUSAL(expectedError, fn, ...)                                   \
    do {                                                                         \
        const ProbeResult probe = ProbeCall(#fn, e.fn __VA_OPT__(, ) __VA_ARGS__); \
        CHECK_EQ(e.GetLastADError(), (expectedError));                           \
        if (Balanced(probe)) {                                                   \
            CHECK_EQ(e.fn(__VA_ARGS__), 0);                                      \
            CHECK_EQ(e.GetLastADError(), (expectedError));                       \
        }                                                                        \
    } while (0)

#if defined(__i386__)
void TheProbeSeesAWrongArgumentSize()
{
    // Guards the guard: a function that removes too few or too many argument bytes is
    // seen, so a balanced result below means something.
    struct Local {
        static int32_t __cdecl TakesTwoRemovesNone(int32_t a, int32_t b) { return a + b; }
        static int32_t __stdcall TakesThree(int32_t a, int32_t b, int32_t c) { return a + b + c; }
    };
    uint32_t args[3] = {1, 2, 3};
    ProbeResult r;
    tq_probe_call(reinterpret_cast<const void *>(&Local::TakesTwoRemovesNone), args, 2, 0, &r);
    CHECK_EQ(r.espDelta, -8);
    CHECK_EQ(r.eax, 3u);
    tq_probe_call(reinterpret_cast<const void *>(&Local::TakesThree), args, 2, 0, &r);
    CHECK_EQ(r.espDelta, 4);
    tq_probe_call(reinterpret_cast<const void *>(&Local::TakesThree), args, 3, 0, &r);
    CHECK_EQ(r.espDelta, 0);
    CHECK_EQ(r.eax, 6u);
    CHECK_EQ(r.ebx, kSentinelEbx);
}

#endif

void TheErrorNumberStartsAtZero() { CHECK_EQ(ProbeCall("GetLastADError", e.GetLastADError).eax, 0u); }

void FunctionsThatNeedTheDeviceFailWithTwo()
{
    EXPECT_REFUSAL(2, Initial, 1u, 2u, 3u, 4u);

    float frequency = -1.0f;
    EXPECT_REFUSAL(2, CardFrequency, &frequency);
    CHECK(frequency == -1.0f);

    uint8_t in[100] = {116, 2};
    uint8_t out[100];
    memset(out, 0xEE, sizeof out);
    EXPECT_REFUSAL(2, IOCtl, 0u, static_cast<void *>(nullptr), 10u, static_cast<void *>(out));
    EXPECT_REFUSAL(2, IOCtl, 2u, static_cast<void *>(in), 4u, static_cast<void *>(out));
    for (uint8_t byte : out)
        CHECK_EQ(byte, 0xEEu);

    EXPECT_REFUSAL(2, inportb, 0x25Au);
    EXPECT_REFUSAL(2, inport, 0x300u);
    EXPECT_REFUSAL(2, inportdw, 0x10300u);

    // The output functions have no result: the error number tells.
    e.Initial(0, 0, 0, 0);
    ProbeCall("outportb", e.outportb, 0x300u, 0x5Au);
    CHECK_EQ(e.GetLastADError(), 2);
    e.outport(0x300u, 0x1234u);
    CHECK_EQ(e.GetLastADError(), 2);
    ProbeCall("outport", e.outport, 0x300u, 0x1234u);
    e.outportdw(0x300u, 0x12345678u);
    CHECK_EQ(e.GetLastADError(), 2);
    ProbeCall("outportdw", e.outportdw, 0x300u, 0x12345678u);
    CHECK_EQ(e.GetLastADError(), 2);

    uint16_t values[8];
    memset(values, 0xEE, sizeof values);
    EXPECT_REFUSAL(2, Zel_Init, 4u, 0u, 1u);
    EXPECT_REFUSAL(2, Zel_DI, 2u, values);
    EXPECT_REFUSAL(2, Zel_DO, 0u, 0xA5u);
    EXPECT_REFUSAL(2, Zel_SetPGA, 1u);
    EXPECT_REFUSAL(2, Zel_SetChn, 3u);
    EXPECT_REFUSAL(2, Zel_StartAD);
    EXPECT_REFUSAL(2, Zel_ADR1, values);
    EXPECT_REFUSAL(2, Zel_ADResult, 4u, values);
    EXPECT_REFUSAL(2, Zel_DA, 0x1234u, 0u);
    EXPECT_REFUSAL(2, Zel_CounterOut, 0x36u, 0x10u, 0x27u, 2u);
    for (uint16_t v : values)
        CHECK_EQ(v, 0xEEEEu);
}

void RegisterNotifyFailsWithTwoBeforeTheIndexIsTested()
{
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));
    const uint32_t indexes[] = {0, 3, 4, 0xFFFFFFFFu};
    for (uint32_t index : indexes)
        EXPECT_REFUSAL(2, RegisterNotify, index, static_cast<void *>(window), WM_USER + 1u, 7u, 9u);
}

void FunctionsThatNeedInitialFailWithThree()
{
    uint8_t buffer[64];
    memset(buffer, 0xEE, sizeof buffer);
    int32_t position = -7;
    EXPECT_REFUSAL(3, StartIntr, 2u, 100u, 0u, 4u, 1000, 0u, 0u);
    // Every argument bad as well: the missing Initial is reported first.
    EXPECT_REFUSAL(3, StartIntr, 0u, 0u, 0u, 0u, -200000, 0u, 0u);
    EXPECT_REFUSAL(3, StartSnapshot, 1u, 100u, 0u, 4u, 1000, 0u, 0u, 0u);
    EXPECT_REFUSAL(3, StartSnapshot, 0u, 4u, 0u, 33u, 200000, 0u, 0u, 0u);
    EXPECT_REFUSAL(3, StopIntr);
    EXPECT_REFUSAL(3, QueryBuf);
    EXPECT_REFUSAL(3, ADResult, static_cast<void *>(buffer));
    EXPECT_REFUSAL(3, ADResultRecent, static_cast<void *>(buffer));
    EXPECT_REFUSAL(3, GetSnapshot, static_cast<void *>(buffer), 10u, &position);
    for (uint8_t byte : buffer)
        CHECK_EQ(byte, 0xEEu);
    CHECK_EQ(position, -7);
}

void ThePropertyStringIsItsNinetyThreeBytesAndATerminator()
{
    static const char kExpected[] =
        "Tq4815\xA3\xADWDM: 12\xCE\xBB"
        "AD, IOBase,IRQ,Mem\xD3\xC9\xB2\xD9\xD7\xF7\xCF\xB5\xCD\xB3\xD6\xB8\xB6\xA8\xA3\xAC\n"
        "NumChn:1~32, SW:0, FrqSamp:-100000~100000";
    static_assert(sizeof kExpected == 94, "93 bytes and the terminator");

    CHECK_EQ(ProbeCall("GetADPropStrSize", e.GetADPropStrSize).eax, 93u);
    CHECK_EQ(e.GetADPropStrSize(), 93);

    unsigned char buffer[128];
    memset(buffer, 0xEE, sizeof buffer);
    CHECK_EQ(ProbeCall("GetADPropString", e.GetADPropString, reinterpret_cast<char *>(buffer)).eax, 1u);
    memset(buffer, 0xEE, sizeof buffer);
    CHECK_EQ(e.GetADPropString(reinterpret_cast<char *>(buffer)), 1);
    CHECK(memcmp(buffer, kExpected, sizeof kExpected) == 0);
    CHECK_EQ(buffer[51], 0x0Au);
    CHECK_EQ(buffer[93], 0u);
    CHECK_EQ(buffer[94], 0xEEu);  // nothing written past the terminator
    for (size_t i = 0; i < 93; ++i) {
        if (!CHECK_EQ(buffer[i], static_cast<unsigned char>(kExpected[i])))
            printf("  property string differs at byte %u\n", static_cast<unsigned>(i));
    }
}

void ConfigInfoGivesTheFixedValues()
{
    char name[16];
    int32_t out1 = -1, out2 = -1, out3 = -1, out4 = -1, out7 = -1;
    float out5 = -1.0f, out6 = -1.0f;
    memset(name, 0xEE, sizeof name);
    ProbeCall("ConfigInfo", e.ConfigInfo, name, &out1, &out2, &out3, &out4, &out5, &out6, &out7);
    out1 = out2 = out3 = out4 = out7 = -1;
    out5 = out6 = -1.0f;
    memset(name, 0xEE, sizeof name);
    e.ConfigInfo(name, &out1, &out2, &out3, &out4, &out5, &out6, &out7);
    CHECK(memcmp(name, "Tq4815x", 8) == 0);
    CHECK_EQ(static_cast<unsigned char>(name[8]), 0xEEu);  // 8 bytes, no more
    CHECK_EQ(out1, 32);
    CHECK_EQ(out2, 1);
    CHECK_EQ(out3, 100000);
    CHECK_EQ(out4, 5);
    uint32_t bits5 = 0, bits6 = 0;
    memcpy(&bits5, &out5, 4);
    memcpy(&bits6, &out6, 4);
    CHECK_EQ(bits5, 0x47000000u);
    CHECK_EQ(bits6, 0x477FFF00u);
    CHECK_EQ(out7, 0);
}

void ChannelFrqGivesTheRateOfEachChannel()
{
    struct Case {
        int32_t channels;
        int32_t rate;
        double expected;
    } cases[] = {
        {4, 1000, 250.0},
        {1, 100000, 100000.0},
        {1, 200000, 100000.0},           // above the largest rate: the largest
        {1, 7000, 6000000.0 / 857},      // the divisor truncates
        {1, 7, 6000000.0 / 61224 / 14},  // timer at 98, software divisor 14
        {1, 0, 6000000.0 / 65217 / 92},  // 0 counts as 1: timer at 92, divisor 92
        {1, 1, 6000000.0 / 65217 / 92},
        {1, -1, 6000000.0 / 60000 / 100},  // one conversion a second: timer 100, divisor 100
        {2, -3, 6000000.0 / 60000 / 300 / 2},
        {32, 100000, 100000.0 / 32},
        {0, 1000, HUGE_VAL},  // no channels: a division by zero, not a fault
    };
    for (const Case &c : cases) {
        const double typed = e.ChannelFrq(c.channels, c.rate);
        const ProbeResult r = ProbeCall("ChannelFrq", e.ChannelFrq, c.channels, c.rate);
        if (!(CHECK(typed == c.expected) & CHECK(r.st0 == c.expected)))
            printf("  ChannelFrq(%d, %d) = %.17g (probe %.17g), expected %.17g\n", static_cast<int>(c.channels),
                   static_cast<int>(c.rate), typed, r.st0, c.expected);
    }
}

void FunctionsWithoutARequestLeaveTheErrorNumberAlone()
{
    const int32_t codes[] = {2, 3};
    for (int32_t code : codes) {
        if (code == 2)
            e.Initial(0, 0, 0, 0);
        else
            e.StopIntr();
        CHECK_EQ(e.GetLastADError(), code);
        char text[128];
        char name[16];
        int32_t v[5];
        float f[2];
        e.GetADPropStrSize();
        e.GetADPropString(text);
        e.ConfigInfo(name, &v[0], &v[1], &v[2], &v[3], &f[0], &f[1], &v[4]);
        e.ChannelFrq(4, 1000);
        CHECK_EQ(e.GetLastADError(), code);
        CHECK_EQ(e.GetLastADError(), code);  // reading it does not clear it
    }
}

DWORD WINAPI Idle(LPVOID) { return 0; }

void ThreadsComingAndGoingWhileLoadedLeaveItWorking()
{
    for (int i = 0; i < 4; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
        CHECK(thread != nullptr);
        CHECK_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    CHECK_EQ(e.GetADPropStrSize(), 93);
    e.Initial(0, 0, 0, 0);
    CHECK_EQ(e.GetLastADError(), 2);
}

bool DevicePresent()
{
    HANDLE h = CreateFileA("\\\\.\\Tq4815x", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

// The DLL's path: the argument, or TAVLON.dll in the program's own folder (the build
// puts both in its bin folder), so that no other copy on the search path is taken.
void DllPath(int argc, char **argv, char *path, DWORD size)
{
    if (argc > 1) {
        snprintf(path, size, "%s", argv[1]);
        return;
    }
    DWORD n = GetModuleFileNameA(nullptr, path, size);
    char *slash = nullptr;
    for (DWORD i = 0; i < n; ++i) {
        if (path[i] == '\\' || path[i] == '/')
            slash = path + i;
    }
    snprintf(slash != nullptr ? slash + 1 : path, size - (slash != nullptr ? slash + 1 - path : 0), "TAVLON.dll");
}

// Loads the DLL, uses it a little, and returns with it still loaded.
int ExitWhileLoaded(const char *path)
{
    gDll = LoadLibraryA(path);
    if (CHECK(gDll != nullptr) && ResolveAll(gDll, e)) {
        CHECK_EQ(e.Initial(0, 0, 0, 0), 0);
        CHECK_EQ(e.GetLastADError(), 2);
        HANDLE thread = CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
        CHECK_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    return conformance::Finish("tavlon_dll_test --exit-loaded");
}

}  // namespace

int main(int argc, char **argv)
{
    if (DevicePresent()) {
        printf("\\\\.\\Tq4815x exists on this system: the checks of its absence do not apply\n");
        return kSkipped;
    }
    const bool exitLoaded = argc > 1 && strcmp(argv[1], "--exit-loaded") == 0;
    if (exitLoaded) {
        argc--;
        argv++;
    }
    char path[MAX_PATH + 16];
    DllPath(argc, argv, path, sizeof path);
    printf("loading %s\n", path);
    if (exitLoaded)
        return ExitWhileLoaded(path);

#if defined(__i386__)
    RUN_CASE(TheProbeSeesAWrongArgumentSize);
#endif

    // Two load cycles: the second meets a freshly initialised library again.
    for (int cycle = 0; cycle < 2; ++cycle) {
        gDll = LoadLibraryA(path);
        const DWORD loadError = GetLastError();
        if (!CHECK(gDll != nullptr)) {
            printf("LoadLibraryA failed with %lu\n", static_cast<unsigned long>(loadError));
            break;
        }
        if (!ResolveAll(gDll, e))
            break;
        RUN_CASE(TheErrorNumberStartsAtZero);
        RUN_CASE(FunctionsThatNeedTheDeviceFailWithTwo);
        RUN_CASE(RegisterNotifyFailsWithTwoBeforeTheIndexIsTested);
        RUN_CASE(FunctionsThatNeedInitialFailWithThree);
        RUN_CASE(ThePropertyStringIsItsNinetyThreeBytesAndATerminator);
        RUN_CASE(ConfigInfoGivesTheFixedValues);
        RUN_CASE(ChannelFrqGivesTheRateOfEachChannel);
        RUN_CASE(FunctionsWithoutARequestLeaveTheErrorNumberAlone);
        RUN_CASE(ThreadsComingAndGoingWhileLoadedLeaveItWorking);

        // Detach: FreeLibrary returns, and the module is gone from the process.
        CHECK_EQ(FreeLibrary(gDll), TRUE);
        CHECK(GetModuleHandleA("TAVLON.dll") == nullptr);
        gDll = nullptr;
        memset(&e, 0, sizeof e);
    }
    return conformance::Finish("tavlon_dll_test");
}
