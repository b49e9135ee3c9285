/* TAVLON.dll as a C program linked against its import library meets it: the program
 * includes TAVLON.h as it stands (dllimport, stdcall) and names the functions directly,
 * so the link needs an import library whose symbols are the ones the compiler asks for
 * (__imp__StartIntr@28), and the loader must then find each one in the DLL under its
 * decorated export name (_StartIntr@28).
 *
 * Usage: tavlon_linked_test [--device]
 *   without --device  no Tq4815x device exists: the functions that need it fail with 2;
 *   with --device     the device exists but has no card resources (Wine's kernel, where
 *                     the start arrives without resources): Initial is refused by the
 *                     driver with 103.
 * Exit status 0 when every check held, 1 otherwise. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "TAVLON.h"

static int checks;
static int failures;

static void Check(int ok, const char *what, long long actual, long long expected, int line)
{
    checks++;
    if (!ok) {
        failures++;
        printf("tavlon_linked_test.c:%d: FAIL: %s (got %lld, expected %lld)\n", line, what, actual, expected);
    }
}
#define CHECK_EQ(actual, expected) \
    Check((long long)(actual) == (long long)(expected), #actual " == " #expected, (long long)(actual), \
          (long long)(expected), __LINE__)

/* An export as the import library resolved it. */
struct Linked {
    const char *decorated;
    FARPROC address;
};

/* The name the DLL exports: decorated on 32-bit Windows, plain on x64. */
#ifdef _WIN64
#define EXPORT_NAME(fn, bytes) #fn
#else
#define EXPORT_NAME(fn, bytes) "_" #fn "@" #bytes
#endif
/* Through void (*)(void), the one function type a cast may go through without a warning. */
#define LINKED(fn, bytes)                                                     \
    (linked[count].decorated = EXPORT_NAME(fn, bytes),                        \
     linked[count].address = (FARPROC)(void (*)(void))(fn), count++)

int main(int argc, char **argv)
{
    const int device = argc > 1 && strcmp(argv[1], "--device") == 0;
    HMODULE dll = GetModuleHandleA("TAVLON.dll");
    size_t i;
    char text[128];
    char name[16];
    int32_t v[5];
    float f[2];
    /* Filled by statements: the address of a dllimport function is then read from its
     * import entry, where the loader put the DLL's export. (An initialiser, even of a
     * local table, is folded into constant data that holds the import library's jump
     * stubs instead.) */
    struct Linked linked[32];
    size_t count = 0;
    LINKED(ADResult, 4);        LINKED(ADResultRecent, 4); LINKED(CardFrequency, 4);
    LINKED(ChannelFrq, 8);      LINKED(ConfigInfo, 32);    LINKED(GetADPropStrSize, 0);
    LINKED(GetADPropString, 4); LINKED(GetLastADError, 0); LINKED(GetSnapshot, 12);
    LINKED(IOCtl, 16);          LINKED(Initial, 16);       LINKED(QueryBuf, 0);
    LINKED(RegisterNotify, 20); LINKED(StartIntr, 28);     LINKED(StartSnapshot, 32);
    LINKED(StopIntr, 0);        LINKED(Zel_ADR1, 4);       LINKED(Zel_ADResult, 8);
    LINKED(Zel_CounterOut, 16); LINKED(Zel_DA, 8);         LINKED(Zel_DI, 8);
    LINKED(Zel_DO, 8);          LINKED(Zel_Init, 12);      LINKED(Zel_SetChn, 4);
    LINKED(Zel_SetPGA, 4);      LINKED(Zel_StartAD, 0);    LINKED(inport, 4);
    LINKED(inportb, 4);         LINKED(inportdw, 4);       LINKED(outport, 8);
    LINKED(outportb, 8);        LINKED(outportdw, 8);

    /* The loader bound every import to the export of the same decorated name. */
    CHECK_EQ(dll != NULL, 1);
    CHECK_EQ(count, 32);
    for (i = 0; dll != NULL && i < count; ++i) {
        FARPROC exported = GetProcAddress(dll, linked[i].decorated);
        if (exported == NULL || exported != linked[i].address)
            printf("  %s: linked %p, exported %p\n", linked[i].decorated, (void *)linked[i].address,
                   (void *)exported);
        CHECK_EQ(exported != NULL && exported == linked[i].address, 1);
    }

    /* The calls, through the imports. */
    CHECK_EQ(GetLastADError(), 0);
    CHECK_EQ(Initial(0, 0, 0, 0), 0);
    CHECK_EQ(GetLastADError(), device ? 103 : 2);
    CHECK_EQ(QueryBuf(), 0);
    CHECK_EQ(GetLastADError(), 3);
    CHECK_EQ(GetADPropStrSize(), 93);
    memset(text, 0xEE, sizeof text);
    CHECK_EQ(GetADPropString(text), 1);
    CHECK_EQ(memcmp(text, "Tq4815\xA3\xAD" "WDM: 12", 13), 0);
    CHECK_EQ((unsigned char)text[51], 0x0A);
    CHECK_EQ(text[93], 0);
    memset(name, 0xEE, sizeof name);
    ConfigInfo(name, &v[0], &v[1], &v[2], &v[3], &f[0], &f[1], &v[4]);
    CHECK_EQ(memcmp(name, "Tq4815x", 8), 0);
    CHECK_EQ(v[0], 32);
    CHECK_EQ(v[2], 100000);
    CHECK_EQ(v[3], 5);
    CHECK_EQ(f[0] == 32768.0f, 1);
    CHECK_EQ(ChannelFrq(4, 1000) == 250.0, 1);
    CHECK_EQ(GetLastADError(), 3); /* the calls without a request leave it */

    printf("tavlon_linked_test (%s): %d checks, %d failed\n", device ? "device present" : "no device", checks,
           failures);
    return failures == 0 ? 0 : 1;
}
