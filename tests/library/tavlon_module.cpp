// Run-time loading of the library under test (path given by the build).
#include "tavlon_module.h"

#include <dlfcn.h>

namespace tavlon_test {

namespace {

template <typename Fn>
bool Resolve(void *handle, const char *name, Fn &out, std::string &error)
{
    void *symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        error += std::string("missing export ") + name + "; ";
        return false;
    }
    out = reinterpret_cast<Fn>(symbol);
    return true;
}

}  // namespace

bool LoadTavlon(TavlonModule &m, std::string &error)
{
    m.handle = dlopen(TQ_TAVLON_PATH, RTLD_NOW | RTLD_LOCAL);
    if (m.handle == nullptr) {
        error = dlerror();
        return false;
    }
    bool ok = true;
#define TQ_RESOLVE(name) ok = Resolve(m.handle, #name, m.name, error) && ok
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
    ok = Resolve(m.handle, "TavlonProcessAttach", m.ProcessAttach, error) && ok;
    ok = Resolve(m.handle, "TavlonProcessDetach", m.ProcessDetach, error) && ok;
    if (!ok) {
        dlclose(m.handle);
        m = TavlonModule{};
    }
    return ok;
}

bool UnloadTavlon(TavlonModule &m)
{
    if (m.handle != nullptr)
        dlclose(m.handle);
    m = TavlonModule{};
    return !TavlonInProcess();
}

bool TavlonInProcess()
{
    void *handle = dlopen(TQ_TAVLON_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    dlclose(handle);
    return true;
}

}  // namespace tavlon_test
