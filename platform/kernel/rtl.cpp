// Run-time library routines of the kernel stand-in: counted wide strings, the kernel's
// swprintf and DbgPrint. They run at any IRQL and touch only the memory they are given
// (RtlFreeUnicodeString releases only what the Rtl string routines allocated).
#include <wdm.h>

#include "kernel_internal.h"

#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace {
// The longest string a UNICODE_STRING can count, in bytes, keeping room for a terminator.
constexpr size_t kMaxStringBytes = USHRT_MAX - sizeof(WCHAR) + 1 - (USHRT_MAX + 1) % sizeof(WCHAR);
// The kernel's swprintf has no count; the formatted text is limited to what a counted
// string can hold.
constexpr size_t kSwprintfLimit = 32767;
}  // namespace

extern "C" {

// Makes DestinationString describe SourceString (not copied); a null source gives an
// empty string with no buffer.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxStringBytes - sizeof(WCHAR)) bytes = kMaxStringBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// Copies as much of SourceString as DestinationString's buffer holds; terminates the
// copy only when a whole character of room is left after it, as the real routine does.
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
    bytes = static_cast<USHORT>(bytes - bytes % sizeof(WCHAR));
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (static_cast<size_t>(bytes) + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = L'\0';
}

// Releases a string buffer that an Rtl conversion routine allocated and empties the
// string. A buffer from pool (or from anywhere else) is the caller's mistake and is
// reported: pool goes back with ExFreePoolWithTag.
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) plat::detail::FreeRtlStringBuffer(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) return FALSE;
    size_t n = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; ++i) {
        wchar_t a = String1->Buffer[i];
        wchar_t b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = static_cast<wchar_t>(towupper(static_cast<wint_t>(a)));
            b = static_cast<wchar_t>(towupper(static_cast<wint_t>(b)));
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}

// Appends Source; STATUS_BUFFER_TOO_SMALL (and nothing appended) when it does not fit.
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Source->Length == 0) return STATUS_SUCCESS;
    size_t total = static_cast<size_t>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = L'\0';
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

// Debug output goes to stderr.
ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    vfprintf(stderr, Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

}  // extern "C"

// The kernel's count-less swprintf. The host's wide printf reads %s as a narrow string
// where the real one reads a wide string; formats with %ls, %d, %x and plain text behave
// alike on both.
int swprintf(wchar_t *Buffer, const wchar_t *Format, ...)
{
    va_list args;
    va_start(args, Format);
    int written = vswprintf(Buffer, kSwprintfLimit, Format, args);
    va_end(args);
    return written;
}
