// Run-time loading of libTAVLON.so.
#include "library_api.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tool {
namespace {

std::string LibraryBesideTool()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    std::string path(self, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    std::string binDir = path.substr(0, slash);
    auto parent = binDir.rfind('/');
    return (parent == std::string::npos ? std::string(".") : binDir.substr(0, parent)) + "/lib/libTAVLON.so";
}

void *OpenLibrary()
{
    if (const char *explicitPath = std::getenv("TQ_TAVLON_LIBRARY"))
        return dlopen(explicitPath, RTLD_NOW);
    std::string beside = LibraryBesideTool();
    if (!beside.empty()) {
        if (void *handle = dlopen(beside.c_str(), RTLD_NOW))
            return handle;
    }
    return dlopen("libTAVLON.so", RTLD_NOW);
}

template <typename Fn>
void Resolve(void *library, const char *name, Fn &slot)
{
    void *symbol = dlsym(library, name);
    if (!symbol) {
        std::fprintf(stderr, "tq4815: libTAVLON.so has no export %s\n", name);
        std::exit(2);
    }
    slot = reinterpret_cast<Fn>(symbol);
}

}  // namespace

const Tavlon &LoadTavlon()
{
    static Tavlon api;
    static bool loaded = false;
    if (loaded)
        return api;
    void *library = OpenLibrary();
    if (!library) {
        std::fprintf(stderr, "tq4815: cannot load libTAVLON.so: %s\n", dlerror());
        std::exit(2);
    }
#define TQ_RESOLVE(name) Resolve(library, #name, api.name)
    TQ_RESOLVE(Initial);
    TQ_RESOLVE(StartIntr);
    TQ_RESOLVE(StartSnapshot);
    TQ_RESOLVE(StopIntr);
    TQ_RESOLVE(QueryBuf);
    TQ_RESOLVE(ADResult);
    TQ_RESOLVE(ADResultRecent);
    TQ_RESOLVE(GetSnapshot);
    TQ_RESOLVE(ChannelFrq);
    TQ_RESOLVE(CardFrequency);
    TQ_RESOLVE(RegisterNotify);
    TQ_RESOLVE(GetLastADError);
    TQ_RESOLVE(GetADPropStrSize);
    TQ_RESOLVE(GetADPropString);
    TQ_RESOLVE(ConfigInfo);
    TQ_RESOLVE(IOCtl);
    TQ_RESOLVE(inportb);
    TQ_RESOLVE(inport);
    TQ_RESOLVE(inportdw);
    TQ_RESOLVE(outportb);
    TQ_RESOLVE(outport);
    TQ_RESOLVE(outportdw);
    TQ_RESOLVE(Zel_Init);
    TQ_RESOLVE(Zel_DI);
    TQ_RESOLVE(Zel_DO);
    TQ_RESOLVE(Zel_SetPGA);
    TQ_RESOLVE(Zel_SetChn);
    TQ_RESOLVE(Zel_StartAD);
    TQ_RESOLVE(Zel_ADR1);
    TQ_RESOLVE(Zel_ADResult);
    TQ_RESOLVE(Zel_DA);
    TQ_RESOLVE(Zel_CounterOut);
#undef TQ_RESOLVE
    loaded = true;
    return api;
}

}  // namespace tool
