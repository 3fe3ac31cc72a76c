// What the driver's fuzz targets share: a set-up check that stops the run, and a framework device made
// the current device (as the modem device is) for the driver's locks, work items and timers to hang off.
#pragma once

#include <host/host.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <wdf.h>

#include "CurrentDevice.h"

namespace taluvofuzz
{

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Set before StartDevice by targets whose code allocates common buffers: the device gets a DMA enabler.
inline bool g_with_dma = false;
inline WDFDMAENABLER g_dma_enabler = NULL;

inline NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    IpcGetCurrentDevice(device);
    if (!g_with_dma)
        return status;
    WDF_DMA_ENABLER_CONFIG config;
    WDF_DMA_ENABLER_CONFIG_INIT(&config, WdfDmaProfileScatterGather64, 0x10000);
    return WdfDmaEnablerCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_dma_enabler);
}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// Starts the host and brings the device up (with a DMA enabler when asked); stops the run when that fails.
inline void StartDevice(bool with_dma = false)
{
    g_with_dma = with_dma;
    host::Start(host::Config{});
    host::DriverRegisterBuiltin(u"TaluvoFuzz", DriverEntry);
    Check(host::PnpInstallDriver(u"TEST\\TALUVO", u"TaluvoFuzz") == STATUS_SUCCESS);
    Check(host::PnpAddDevice({u"TEST\\TALUVO\\0", {u"TEST\\TALUVO"}, {}}) == STATUS_SUCCESS);
    Check(IpcGetCurrentDevice(NULL) != NULL);
}

} // namespace taluvofuzz
