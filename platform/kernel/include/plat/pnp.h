// The Plug and Play and power managers of the simulated machine, and the bus driver
// stand-in below every function driver. Implemented by platform/kernel (pnp_manager.cpp,
// power_manager.cpp, bus_driver.cpp, driver_loader.cpp); used by sim/ (which creates the
// card's PDO with its resources), by test fixtures, and by the machine module.
//
// Everything here runs at PASSIVE_LEVEL in the calling thread, which plays the role of
// the system's Plug and Play thread: requests to one device are serialised by the caller.
#ifndef TQ_PLATFORM_PNP_H
#define TQ_PLATFORM_PNP_H

#include <wdm.h>

#include <cstdint>
#include <vector>

namespace plat {

// A whole resource list (CM_RESOURCE_LIST with one full descriptor) held as bytes, so that
// a test can build any layout, including malformed ones.
struct ResourceList {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
    PCM_RESOURCE_LIST Build(std::vector<unsigned char> &storage) const;  // null if empty
};

// ---- Bus driver stand-in -------------------------------------------------------------
// Creates a PDO of the simulated bus. raw/translated may be absent (hasRaw false …).
PDEVICE_OBJECT CreateBusPdo(const char *name, const ResourceList *raw, const ResourceList *translated);
void DeleteBusPdo(PDEVICE_OBJECT pdo);
void SetPdoResources(PDEVICE_OBJECT pdo, const ResourceList *raw, const ResourceList *translated);
// Status with which the bus driver completes a PnP (IRP_MJ_PNP) or power (IRP_MJ_POWER)
// request of a given minor code; STATUS_SUCCESS by default. For query-capabilities the bus
// fills the DEVICE_CAPABILITIES record from SetPdoCapabilities first.
void SetBusStatus(PDEVICE_OBJECT pdo, UCHAR majorFunction, UCHAR minorFunction, NTSTATUS status);
void SetPdoCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES &caps);

// ---- Driver loading ----------------------------------------------------------------------
// Creates the driver object and calls DriverEntry with a registry path
// (\Registry\Machine\System\CurrentControlSet\Services\NAME).
NTSTATUS LoadDriver(const char *serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT *driver);
// Calls DriverUnload and runs the verifier's unload checks (pool, devices, links, DPCs,
// work items left behind), then frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

// ---- Plug and Play requests, sent to the top of the PDO's stack -------------------------
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);  // calls AddDevice
NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo);        // with the PDO's raw and translated lists
NTSTATUS PnpSend(PDEVICE_OBJECT pdo, UCHAR minorFunction);  // any minor code, no parameters
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, USHORT version, DEVICE_CAPABILITIES *caps);
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo);       // IRP_MN_REMOVE_DEVICE
NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo);

// ---- Power requests -----------------------------------------------------------------------
// Sends a system set-power or query-power to the top of the stack and waits for it (and
// for the device power requests it causes) to finish. Returns the request's final status.
NTSTATUS PowerSendSystem(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state);
NTSTATUS PowerSendDevice(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE state);
// WDM version reported by IoIsWdmVersionAvailable (default 1.10; 0x10 minor = 1.10).
void SetWdmVersion(UCHAR major, UCHAR minor);

}  // namespace plat

#endif
