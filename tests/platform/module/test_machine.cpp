// A machine module for the kernel stand-in's boot tests: its boot creates one device
// (\Device\MachineProbe) as a real machine module would create the card's stack, and fails
// with 3 when TQ_TEST_MACHINE_FAIL is set; its shutdown removes the device again.
#include <plat/kernel.h>
#include <wdm.h>

#include <cstdlib>

namespace {
PDRIVER_OBJECT gDriver = nullptr;
PDEVICE_OBJECT gDevice = nullptr;
}  // namespace

extern "C" __attribute__((visibility("default"))) int TqMachineBoot(void)
{
    if (std::getenv("TQ_TEST_MACHINE_FAIL") != nullptr) return 3;
    gDriver = plat::CreateDriverObject("MachineProbe");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\MachineProbe");
    plat::DriverScope scope(gDriver);
    return NT_SUCCESS(IoCreateDevice(gDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gDevice)) ? 0 : 1;
}

extern "C" __attribute__((visibility("default"))) void TqMachineShutdown(void)
{
    if (gDevice) IoDeleteDevice(gDevice);
    if (gDriver) plat::FreeDriverObject(gDriver);
    gDevice = nullptr;
    gDriver = nullptr;
}
