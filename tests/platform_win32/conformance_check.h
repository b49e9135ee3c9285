// A tiny check harness for the Win32 conformance programs. The same program is built
// twice: for Linux against the Win32 stand-in, and with mingw-w64 for Windows, where it
// runs under Wine (or on Windows itself). It needs nothing but the C library, so both
// builds use it unchanged.
//
//   CHECK(cond)                  a condition that must hold
//   CHECK_EQ(actual, expected)   two integral values (or handles) that must be equal
//   KNOWN_DIVERGENCE(where, why) { ... }
//       the checks inside the block are known to fail on `where` (kOnStandIn, kOnWine):
//       there a failure is counted as a known divergence and printed with the reason,
//       and a check that passes after all is itself a failure (the mark is stale and must
//       go). Elsewhere the checks inside are ordinary checks.
//
// Each program groups its checks in named cases (RUN_CASE) and exits with 0 when every
// check held, 1 otherwise.
#ifndef TQ_CONFORMANCE_CHECK_H
#define TQ_CONFORMANCE_CHECK_H

#include <stdint.h>
#include <stdio.h>

#include <type_traits>

#ifdef _WIN32
#include <windows.h>
#endif

namespace conformance {

enum Platform { kOnStandIn = 1, kOnWine = 2 };

// Where the program runs: the stand-in, Wine, or (neither bit) Windows itself. Wine's
// ntdll carries an export of its own that Windows' lacks.
inline int CurrentPlatform()
{
#ifdef _WIN32
    static const int platform = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr ? kOnWine : 0;
    }();
    return platform;
#else
    return kOnStandIn;
#endif
}

inline const char *PlatformName()
{
    switch (CurrentPlatform()) {
    case kOnStandIn:
        return "Win32 stand-in";
    case kOnWine:
        return "Wine";
    default:
        return "Windows";
    }
}

#ifdef _WIN32
// A fault ends the program at once with status 3 and a line saying where, rather than
// through the system's crash handling (a debugger under Wine), whose exit status is not
// reliably a failure.
inline LONG WINAPI ReportFault(EXCEPTION_POINTERS *info)
{
    printf("FAIL: exception 0x%08lx at %p\n", static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
           info->ExceptionRecord->ExceptionAddress);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
inline const bool kFaultReporterInstalled = (SetUnhandledExceptionFilter(ReportFault), true);
#endif

struct Tally {
    int checks = 0;
    int failures = 0;
    int divergences = 0;
    const char *caseName = "-";  // "-" outside a case
    // Innermost KNOWN_DIVERGENCE block, if it applies to this platform.
    const char *divergenceReason = nullptr;
};

inline Tally &Counts()
{
    static Tally tally;
    return tally;
}

inline bool Record(bool ok, const char *file, int line, const char *what)
{
    Tally &t = Counts();
    t.checks++;
    if (t.divergenceReason != nullptr) {
        if (ok) {
            t.failures++;
            printf("%s:%d: [%s] FAIL: marked as a known divergence on %s but holds: %s\n", file, line,
                   t.caseName, PlatformName(), what);
        } else {
            t.divergences++;
            printf("%s:%d: [%s] known divergence on %s: %s (%s)\n", file, line, t.caseName, PlatformName(), what,
                   t.divergenceReason);
        }
    } else if (!ok) {
        t.failures++;
        printf("%s:%d: [%s] FAIL on %s: %s\n", file, line, t.caseName, PlatformName(), what);
    }
    fflush(stdout);
    return ok;
}

inline bool CheckTrue(bool ok, const char *file, int line, const char *expr)
{
    return Record(ok, file, line, expr);
}

inline bool CheckEqual(unsigned long long actual, unsigned long long expected, const char *file, int line,
                       const char *actualExpr, const char *expectedExpr)
{
    char what[512];
    // Values are compared as 64-bit patterns; shown unsigned, in hex, and signed.
    snprintf(what, sizeof what, "%s == %s (got %llu = 0x%llx = %lld, expected %llu = 0x%llx)", actualExpr,
             expectedExpr, actual, actual, static_cast<long long>(actual), expected, expected);
    return Record(actual == expected, file, line, what);
}

template <typename T>
unsigned long long AsNumber(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value));
    else
        return static_cast<unsigned long long>(value);
}

// Scope of a KNOWN_DIVERGENCE block; nests by saving the outer reason.
struct DivergenceScope {
    const char *saved;
    bool done = false;
    DivergenceScope(int where, const char *reason) : saved(Counts().divergenceReason)
    {
        if ((CurrentPlatform() & where) != 0)
            Counts().divergenceReason = reason;
    }
    ~DivergenceScope() { Counts().divergenceReason = saved; }
    DivergenceScope(const DivergenceScope &) = delete;
    DivergenceScope &operator=(const DivergenceScope &) = delete;
    bool Once()
    {
        bool first = !done;
        done = true;
        return first;
    }
};

inline void RunCase(const char *name, void (*body)())
{
    Tally &t = Counts();
    const int failuresBefore = t.failures;
    t.caseName = name;
    body();
    t.caseName = "-";
    printf("%s %s\n", t.failures == failuresBefore ? "[ ok ]" : "[FAIL]", name);
    fflush(stdout);
}

// Prints the summary; the program's exit status.
inline int Finish(const char *program)
{
    const Tally &t = Counts();
    printf("%s on %s: %d checks, %d failed, %d known divergences\n", program, PlatformName(), t.checks,
           t.failures, t.divergences);
    return t.failures == 0 && t.checks > 0 ? 0 : 1;
}

}  // namespace conformance

#define CHECK(cond) ::conformance::CheckTrue(static_cast<bool>(cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ(actual, expected)                                                                         \
    ::conformance::CheckEqual(::conformance::AsNumber(actual), ::conformance::AsNumber(expected), __FILE__, \
                              __LINE__, #actual, #expected)
#define TQ_CONFORMANCE_CAT2(a, b) a##b
#define TQ_CONFORMANCE_CAT(a, b) TQ_CONFORMANCE_CAT2(a, b)
#define KNOWN_DIVERGENCE(where, reason)                                                                      \
    for (::conformance::DivergenceScope TQ_CONFORMANCE_CAT(divergence_, __LINE__)((where), (reason));        \
         TQ_CONFORMANCE_CAT(divergence_, __LINE__).Once();)
#define RUN_CASE(name) ::conformance::RunCase(#name, name)

#endif
