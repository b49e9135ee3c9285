/* The Win32 stand-in's master header, as <windows.h> is on Windows: basic types, error
 * codes, the KERNEL32 subset and the USER32 subset. */
#ifndef TQ_WIN32_WINDOWS_H
#define TQ_WIN32_WINDOWS_H

#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winuser.h>
#ifndef WIN32_LEAN_AND_MEAN
#include <winioctl.h>
#endif

#endif
