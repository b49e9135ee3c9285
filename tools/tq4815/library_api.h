// The TAVLON exports the tool uses, loaded at run time the way an application loads a
// DLL (LoadLibrary/GetProcAddress): the tool first reads its options — among them the
// simulated card's configuration, which must be in the environment before the library
// opens the device at load — and only then loads libTAVLON.so.
#ifndef TQ4815_TOOL_LIBRARY_API_H
#define TQ4815_TOOL_LIBRARY_API_H

#include "TAVLON.h"

namespace tool {

struct Tavlon {
    decltype(&::Initial) Initial;
    decltype(&::StartIntr) StartIntr;
    decltype(&::StartSnapshot) StartSnapshot;
    decltype(&::StopIntr) StopIntr;
    decltype(&::QueryBuf) QueryBuf;
    decltype(&::ADResult) ADResult;
    decltype(&::ADResultRecent) ADResultRecent;
    decltype(&::GetSnapshot) GetSnapshot;
    decltype(&::ChannelFrq) ChannelFrq;
    decltype(&::CardFrequency) CardFrequency;
    decltype(&::RegisterNotify) RegisterNotify;
    decltype(&::GetLastADError) GetLastADError;
    decltype(&::GetADPropStrSize) GetADPropStrSize;
    decltype(&::GetADPropString) GetADPropString;
    decltype(&::ConfigInfo) ConfigInfo;
    decltype(&::IOCtl) IOCtl;
    decltype(&::inportb) inportb;
    decltype(&::inport) inport;
    decltype(&::inportdw) inportdw;
    decltype(&::outportb) outportb;
    decltype(&::outport) outport;
    decltype(&::outportdw) outportdw;
    decltype(&::Zel_Init) Zel_Init;
    decltype(&::Zel_DI) Zel_DI;
    decltype(&::Zel_DO) Zel_DO;
    decltype(&::Zel_SetPGA) Zel_SetPGA;
    decltype(&::Zel_SetChn) Zel_SetChn;
    decltype(&::Zel_StartAD) Zel_StartAD;
    decltype(&::Zel_ADR1) Zel_ADR1;
    decltype(&::Zel_ADResult) Zel_ADResult;
    decltype(&::Zel_DA) Zel_DA;
    decltype(&::Zel_CounterOut) Zel_CounterOut;
};

// Loads the library ($TQ_TAVLON_LIBRARY, or libTAVLON.so from the lib folder beside the
// tool's bin folder, or the loader's search path) and resolves every export. On failure
// prints why and exits with status 2.
const Tavlon &LoadTavlon();

}  // namespace tool

#endif
