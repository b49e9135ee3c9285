// Loads libTAVLON.so the way an application loads the DLL: at run time, after the
// simulated machine is up, so that the library's process attach (run at load) opens the
// fixture's device; unloading it runs the process detach. Every export is resolved by
// name, so a missing or misnamed export fails the load.
#ifndef TQ_TESTS_LIBRARY_TAVLON_MODULE_H
#define TQ_TESTS_LIBRARY_TAVLON_MODULE_H

#include "TAVLON.h"

#include <string>

namespace tavlon_test {

struct TavlonModule {
    void *handle = nullptr;
    decltype(&::Initial) Initial = nullptr;
    decltype(&::StartIntr) StartIntr = nullptr;
    decltype(&::StartSnapshot) StartSnapshot = nullptr;
    decltype(&::StopIntr) StopIntr = nullptr;
    decltype(&::QueryBuf) QueryBuf = nullptr;
    decltype(&::ADResult) ADResult = nullptr;
    decltype(&::ADResultRecent) ADResultRecent = nullptr;
    decltype(&::GetSnapshot) GetSnapshot = nullptr;
    decltype(&::ChannelFrq) ChannelFrq = nullptr;
    decltype(&::CardFrequency) CardFrequency = nullptr;
    decltype(&::RegisterNotify) RegisterNotify = nullptr;
    decltype(&::GetLastADError) GetLastADError = nullptr;
    decltype(&::GetADPropStrSize) GetADPropStrSize = nullptr;
    decltype(&::GetADPropString) GetADPropString = nullptr;
    decltype(&::ConfigInfo) ConfigInfo = nullptr;
    decltype(&::IOCtl) IOCtl = nullptr;
    decltype(&::inportb) inportb = nullptr;
    decltype(&::inport) inport = nullptr;
    decltype(&::inportdw) inportdw = nullptr;
    decltype(&::outportb) outportb = nullptr;
    decltype(&::outport) outport = nullptr;
    decltype(&::outportdw) outportdw = nullptr;
    decltype(&::Zel_Init) Zel_Init = nullptr;
    decltype(&::Zel_DI) Zel_DI = nullptr;
    decltype(&::Zel_DO) Zel_DO = nullptr;
    decltype(&::Zel_SetPGA) Zel_SetPGA = nullptr;
    decltype(&::Zel_SetChn) Zel_SetChn = nullptr;
    decltype(&::Zel_StartAD) Zel_StartAD = nullptr;
    decltype(&::Zel_ADR1) Zel_ADR1 = nullptr;
    decltype(&::Zel_ADResult) Zel_ADResult = nullptr;
    decltype(&::Zel_DA) Zel_DA = nullptr;
    decltype(&::Zel_CounterOut) Zel_CounterOut = nullptr;
    // The process attach/detach pair the loader hooks run, callable directly.
    void (*ProcessAttach)() = nullptr;
    void (*ProcessDetach)() = nullptr;
};

// dlopen + dlsym of every export. False with a message when anything is missing.
bool LoadTavlon(TavlonModule &module, std::string &error);
// dlclose. Returns true when the library really left the process (its unload ran).
bool UnloadTavlon(TavlonModule &module);
// Whether libTAVLON.so is currently loaded in the process.
bool TavlonInProcess();

}  // namespace tavlon_test

#endif
