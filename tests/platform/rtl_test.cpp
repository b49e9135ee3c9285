// Counted strings and the kernel's swprintf, as a driver uses them to copy its registry
// path and to build its link name.
#include <cwchar>

#include "support/kernel_fixture.h"

namespace tqtest {
namespace {

using RtlTest = KernelTest;

TEST_F(RtlTest, InitDescribesTheStringWithoutCopyingIt)
{
    const wchar_t *text = L"\\Device\\Tq";
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    EXPECT_EQ(s.Buffer, text);
    EXPECT_EQ(s.Length, 10 * sizeof(WCHAR));
    EXPECT_EQ(s.MaximumLength, 11 * sizeof(WCHAR));
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

// A copy into a buffer of the source's length plus 2 bytes (the driver's registry-path copy):
// the whole string fits, and the terminator only where a whole character of room is left.
TEST_F(RtlTest, CopyTruncatesToTheDestinationAndTerminatesOnlyWithRoomToSpare)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"\\Registry\\Machine\\X");
    struct Case {
        USHORT maximum;
        USHORT copiedLength;
        bool terminated;
    };
    const Case cases[] = {
        {static_cast<USHORT>(source.Length + 2), source.Length, sizeof(WCHAR) <= 2},
        {static_cast<USHORT>(source.Length + sizeof(WCHAR)), source.Length, true},
        {static_cast<USHORT>(4 * sizeof(WCHAR)), static_cast<USHORT>(4 * sizeof(WCHAR)), false},
        {0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.maximum);
        UNICODE_STRING copy;
        copy.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, c.maximum + sizeof(WCHAR), plat::PoolTag("Wdm ")));
        copy.Length = 0;
        copy.MaximumLength = c.maximum;
        copy.Buffer[c.maximum / sizeof(WCHAR)] = L'#';
        RtlCopyUnicodeString(&copy, &source);
        EXPECT_EQ(copy.Length, c.copiedLength);
        EXPECT_EQ(std::wmemcmp(copy.Buffer, source.Buffer, c.copiedLength / sizeof(WCHAR)), 0);
        if (c.terminated) {
            EXPECT_EQ(copy.Buffer[c.copiedLength / sizeof(WCHAR)], L'\0');
        } else {
            EXPECT_EQ(copy.Buffer[c.maximum / sizeof(WCHAR)], L'#') << "nothing written past MaximumLength";
        }
        ExFreePoolWithTag(copy.Buffer, plat::PoolTag("Wdm "));
    }
    EXPECT_EQ(plat::PoolBlocksOutstanding(), 0u);
}

TEST_F(RtlTest, KernelSwprintfFormatsIntoAWideBufferWithoutACount)
{
    WCHAR buffer[50];
    EXPECT_EQ(swprintf(buffer, L"\\DosDevices\\Tq4815x"), 19);
    EXPECT_EQ(std::wcscmp(buffer, L"\\DosDevices\\Tq4815x"), 0);
    EXPECT_EQ(swprintf(buffer, L"%ls%d-%x", L"Card", 2, 0x1F), 8);
    EXPECT_EQ(std::wcscmp(buffer, L"Card2-1f"), 0);
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, L"\\DOSDEVICES\\X");
    RtlInitUnicodeString(&b, L"\\DosDevices\\x");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
}

}  // namespace
}  // namespace tqtest
