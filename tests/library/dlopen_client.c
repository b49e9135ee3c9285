/* A C program that uses the library the way a plain C application on Linux does: loaded
 * at run time with dlopen, every function looked up by name, the simulated machine booted
 * by the library's own open of the device. It exits from main while an acquisition still
 * runs and its notification thread waits, either leaving the library loaded ("exit") or
 * unloading it first with dlclose ("dlclose"), or after stopping it and unloading the
 * library, which must then leave the process ("stop-dlclose"). Every way the process must
 * exit with status 0: the exit handlers and the unload must neither crash nor hang.
 *
 *   dlopen_client LIBRARY exit|dlclose|stop-dlclose
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

typedef int32_t (*InitialFn)(uint32_t, uint32_t, uint32_t, uint32_t);
typedef int32_t (*StartIntrFn)(uint32_t, uint32_t, uint32_t, uint32_t, int32_t, uint32_t, uint32_t);
typedef int32_t (*NoArgFn)(void);
typedef int32_t (*ADResultFn)(void *);

struct Tavlon {
    void *handle;
    InitialFn Initial;
    StartIntrFn StartIntr;
    NoArgFn StopIntr, QueryBuf, GetLastADError;
    ADResultFn ADResult;
};

static int Fail(const char *what, const struct Tavlon *t)
{
    fprintf(stderr, "dlopen_client: %s failed (error %d)\n", what,
            t->GetLastADError != NULL ? (int)t->GetLastADError() : -1);
    return 1;
}

static int Load(const char *path, struct Tavlon *t)
{
    memset(t, 0, sizeof *t);
    t->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (t->handle == NULL) {
        fprintf(stderr, "dlopen_client: %s\n", dlerror());
        return 1;
    }
    /* POSIX allows converting dlsym's result to a function pointer. */
    *(void **)&t->Initial = dlsym(t->handle, "Initial");
    *(void **)&t->StartIntr = dlsym(t->handle, "StartIntr");
    *(void **)&t->StopIntr = dlsym(t->handle, "StopIntr");
    *(void **)&t->QueryBuf = dlsym(t->handle, "QueryBuf");
    *(void **)&t->GetLastADError = dlsym(t->handle, "GetLastADError");
    *(void **)&t->ADResult = dlsym(t->handle, "ADResult");
    if (!t->Initial || !t->StartIntr || !t->StopIntr || !t->QueryBuf || !t->GetLastADError || !t->ADResult) {
        fprintf(stderr, "dlopen_client: an export is missing\n");
        return 1;
    }
    return 0;
}

/* Starts a two-channel ring at 1000 conversions per second and reads its first buffer
 * (20 ms of the card's time later). */
static int StartAndRead(struct Tavlon *t)
{
    uint16_t buffer[21];
    const struct timespec pause = {0, 1000000};
    int waited;
    if (t->StartIntr(4, 10, 0, 2, 1000, 0, 0) != 42)
        return Fail("StartIntr", t);
    for (waited = 0; t->QueryBuf() == 0; ++waited) {
        if (waited > 10000)
            return Fail("waiting for a buffer", t);
        nanosleep(&pause, NULL);
    }
    if (t->ADResult(buffer) != 1)
        return Fail("ADResult", t);
    return 0;
}

int main(int argc, char **argv)
{
    struct Tavlon t;
    if (argc != 3 || (strcmp(argv[2], "exit") != 0 && strcmp(argv[2], "dlclose") != 0 &&
                      strcmp(argv[2], "stop-dlclose") != 0)) {
        fprintf(stderr, "usage: dlopen_client LIBRARY exit|dlclose|stop-dlclose\n");
        return 2;
    }
    if (Load(argv[1], &t) != 0)
        return 1;
    if (t.Initial(0, 0, 0, 0) != 1)
        return Fail("Initial", &t);
    /* One whole run, then a second left running. */
    if (StartAndRead(&t) != 0)
        return 1;
    if (t.StopIntr() != 1)
        return Fail("StopIntr", &t);
    if (StartAndRead(&t) != 0)
        return 1;
    if (strcmp(argv[2], "stop-dlclose") == 0 && t.StopIntr() != 1)
        return Fail("the second StopIntr", &t);
    if (strcmp(argv[2], "exit") != 0 && dlclose(t.handle) != 0) {
        fprintf(stderr, "dlopen_client: dlclose: %s\n", dlerror());
        return 1;
    }
    if (strcmp(argv[2], "stop-dlclose") == 0 && dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != NULL) {
        fprintf(stderr, "dlopen_client: the library stayed in the process after its stop and dlclose\n");
        return 1;
    }
    return 0;
}
