// A framework driver linked into the test program whose devices have nothing but a WDFDEVICE: for the
// host's interfaces that only need a device of a framework driver.
#pragma once

#include <host/loader.h>
#include <host/pnp.h>
#include <wdf.h>

#include <string>

namespace plaindevice
{

inline WDFDEVICE g_added;

inline NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    return WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &g_added);
}

inline NTSTATUS Entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// Installs the driver as `service` for `hardwareId` and adds the device `instance` with it: its
// WDFDEVICE, or nullptr when it could not be added.
inline WDFDEVICE Add(std::u16string_view service, std::u16string_view hardwareId, std::u16string_view instance)
{
    g_added = nullptr;
    host::DriverRegisterBuiltin(service, Entry);
    if (!NT_SUCCESS(host::PnpInstallDriver(hardwareId, service)))
        return nullptr;
    if (!NT_SUCCESS(host::PnpAddDevice({std::u16string(instance), {std::u16string(hardwareId)}, {}})))
        return nullptr;
    return g_added;
}

} // namespace plaindevice
