// Base types of the kernel stand-in, under the real platform's names. On this (LP64)
// host LONG and ULONG stay 32 bits wide (int), pointers and the *_PTR types are 64 bits,
// and WCHAR is the host's wchar_t (4 bytes; see platform/README.md). Calling-convention
// markers (NTAPI, FASTCALL, ...) are empty: there is one convention here.
#ifndef TQ_PLATFORM_NTDEF_H
#define TQ_PLATFORM_NTDEF_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#define NTAPI
#define NTAPI_INLINE
#define FASTCALL
#define DDKAPI
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define POINTER_ALIGNMENT
#define RESTRICTED_POINTER
#define VOID void
#define CONST const
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef void *PVOID, **PPVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char *PCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG;
typedef long long LONGLONG, *PLONGLONG;
typedef unsigned long long ULONGLONG, *PULONGLONG;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef wchar_t WCHAR, *PWCHAR, *PWCH, *PWSTR;
typedef const WCHAR *PCWSTR, *PCWCH;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LONG and ULONG are 32 bits");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR holds a pointer");

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

// Counted wide string; Length and MaximumLength are in bytes.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address) - offsetof(type, field)))
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR *)((ULONG_PTR)(ArgumentPointer)) != (CHAR *)NULL)

#endif
