// Driver loading: the driver object a driver is loaded into, DriverEntry with its registry
// path, and unloading with the verifier's unload checks. Also the small helpers the
// Plug and Play and power stand-in use to name drivers in verifier reports.
#include <plat/kernel.h>
#include <plat/pnp.h>
#include <plat/verifier.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#ifndef DRVO_UNLOAD_INVOKED
#define DRVO_UNLOAD_INVOKED 0x00000001  // DRIVER_OBJECT.Flags: the unload routine was called
#endif

namespace plat {
namespace {

// What the loader keeps for a driver it loaded: the service name its extension points at.
struct LoadedDriver {
    std::wstring serviceName;
};

std::mutex g_lock;
// Never destroyed: a machine may be shut down (its drivers unloaded) from a library's
// unload hook at process exit, after the exit handlers destroyed ordinary statics.
std::map<PDRIVER_OBJECT, std::unique_ptr<LoadedDriver>> &g_drivers =
    *new std::map<PDRIVER_OBJECT, std::unique_ptr<LoadedDriver>>;

std::wstring Widen(const char *s) {
    std::wstring w;
    for (; *s != '\0'; ++s) w.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*s)));
    return w;
}

void CheckPassive(PDRIVER_OBJECT driver, const char *what) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        char name[128];
        std::string detail = std::string(what) + " returned above PASSIVE_LEVEL";
        pnp_detail::Report(rule::IrqlNotRestored, pnp_detail::NameOfDriver(driver, name, sizeof name), detail.c_str());
    }
}

}  // namespace

NTSTATUS LoadDriver(const char *serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT *driver) {
    if (driver != nullptr) *driver = nullptr;
    if (serviceName == nullptr || *serviceName == '\0' || entry == nullptr || driver == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        pnp_detail::Report("PnpCallerIrql", "LoadDriver", "drivers are loaded at PASSIVE_LEVEL");
        return STATUS_INVALID_PARAMETER;
    }
    AddResetHook(ResetPnpPower);  // once loaded drivers exist, a machine reset must forget them
    // The I/O manager makes the object: \Driver\NAME, its extension, every dispatch entry at
    // the default routine that refuses the request with STATUS_INVALID_DEVICE_REQUEST.
    PDRIVER_OBJECT object = CreateDriverObject(serviceName);
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto loaded = std::make_unique<LoadedDriver>();
    loaded->serviceName = Widen(serviceName);
    object->DriverInit = entry;
    UNICODE_STRING &service = object->DriverExtension->ServiceKeyName;
    if (service.Buffer == nullptr) {
        service.Buffer = loaded->serviceName.data();
        service.Length = static_cast<USHORT>(loaded->serviceName.size() * sizeof(WCHAR));
        service.MaximumLength = service.Length;
    }
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_drivers.emplace(object, std::move(loaded));
    }

    // The registry path lives only during DriverEntry and carries no terminating NUL, so a
    // driver that keeps the pointer or reads past Length is caught.
    std::wstring path = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(serviceName);
    auto buffer = std::make_unique<WCHAR[]>(path.size());
    std::copy(path.begin(), path.end(), buffer.get());
    UNICODE_STRING registryPath;
    registryPath.Buffer = buffer.get();
    registryPath.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;

    NTSTATUS status;
    {
        DriverScope scope(object);
        status = entry(object, &registryPath);
    }
    buffer.reset();
    CheckPassive(object, "DriverEntry");
    if (!NT_SUCCESS(status)) {
        // A driver whose entry fails is unloaded without its unload routine; whatever it
        // left behind is a leak.
        VerifierCheckUnload(object);
        FreeDriverObject(object);
        std::lock_guard<std::mutex> g(g_lock);
        g_drivers.erase(object);
        return status;
    }
    *driver = object;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (driver == nullptr || g_drivers.find(driver) == g_drivers.end()) {
            pnp_detail::Report("UnloadUnknownDriver", "UnloadDriver", "the driver object was not loaded by LoadDriver");
            return;
        }
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        pnp_detail::Report("PnpCallerIrql", "UnloadDriver", "drivers are unloaded at PASSIVE_LEVEL");
    }
    driver->Flags |= DRVO_UNLOAD_INVOKED;
    if (driver->DriverUnload != nullptr) {
        {
            DriverScope scope(driver);
            driver->DriverUnload(driver);
        }
        CheckPassive(driver, "DriverUnload");
    } else {
        char name[128];
        pnp_detail::Report("UnloadWithoutRoutine", pnp_detail::NameOfDriver(driver, name, sizeof name),
                           "a WDM driver without an unload routine cannot be unloaded");
    }
    VerifierCheckUnload(driver);
    FreeDriverObject(driver);
    std::lock_guard<std::mutex> g(g_lock);
    g_drivers.erase(driver);
}

namespace pnp_detail {

void ForgetLoadedDrivers() {
    std::lock_guard<std::mutex> g(g_lock);
    g_drivers.clear();
}

void Report(const char *rule, const char *routine, const char *detail) { VerifierReport(rule, routine, detail); }

const char *NameOfDriver(PDRIVER_OBJECT driver, char *buffer, size_t size) {
    if (size == 0) return "";
    size_t n = 0;
    if (driver != nullptr && driver->DriverName.Buffer != nullptr) {
        const size_t chars = driver->DriverName.Length / sizeof(WCHAR);
        for (size_t i = 0; i < chars && n + 1 < size; ++i) {
            const WCHAR c = driver->DriverName.Buffer[i];
            buffer[n++] = c < 0x80 ? static_cast<char>(c) : '?';
        }
    } else {
        std::snprintf(buffer, size, "(unknown driver)");
        return buffer;
    }
    buffer[n] = '\0';
    return buffer;
}

const char *DriverNameOf(PDEVICE_OBJECT device, char *buffer, size_t size) {
    return NameOfDriver(device != nullptr ? device->DriverObject : nullptr, buffer, size);
}

}  // namespace pnp_detail
}  // namespace plat
