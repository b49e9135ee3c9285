/* TAVLON.lib through another toolchain: compiled for the MSVC ABI (clang, target
 * i686-pc-windows-msvc) and linked by an MSVC-compatible linker (lld-link) against the
 * import library and nothing else but kernel32: no C run-time, so no MSVC headers or
 * libraries are needed. Calls two exports through TAVLON.h's dllimport declarations and
 * ends with exit status 0 when their results are the documented ones, 1 otherwise. */
#include "TAVLON.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

void __stdcall ProbeStart(void)
{
    char text[128];
    int ok = GetADPropStrSize() == 93 && GetADPropString(text) == 1 && text[51] == '\n' && text[93] == 0;
    ExitProcess(ok ? 0 : 1);
}
