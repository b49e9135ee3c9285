/* The NT layer's status translation, as <winternl.h> declares it on Windows (exported by
 * NTDLL there, by the Win32 stand-in here). Include <windows.h> first. */
#ifndef TQ_WIN32_WINTERNL_H
#define TQ_WIN32_WINTERNL_H

#include <windef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG NTSTATUS;

/* The Win32 error for an NTSTATUS: ERROR_MR_MID_NOT_FOUND for one without an equivalent. */
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

#ifdef __cplusplus
}
#endif

#endif
