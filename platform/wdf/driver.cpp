// The framework driver object: one per image, deleted with everything parented to it at unload.
#include "fx.h"

#include <host/executive.h>

#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace fx
{
namespace
{

std::mutex g_driversLock;
std::unordered_map<PDRIVER_OBJECT, Driver*> g_byDriverObject;

void FxDriverUnload(PDRIVER_OBJECT DriverObject)
{
    Driver* driver = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_driversLock);
        auto it = g_byDriverObject.find(DriverObject);
        if (it == g_byDriverObject.end())
            return;
        driver = it->second;
        g_byDriverObject.erase(it);
    }
    if (driver->config.EvtDriverUnload != nullptr) {
        CallbackScope scope(driver, "EvtDriverUnload", false);
        driver->config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(ToHandle(driver)));
    }
    RunDeferredDeletions();
    Delete(driver);
}

} // namespace

Driver* DriverFromObject(PDRIVER_OBJECT driverObject)
{
    std::lock_guard<std::mutex> guard(g_driversLock);
    auto it = g_byDriverObject.find(driverObject);
    return it == g_byDriverObject.end() ? nullptr : it->second;
}

} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver)
{
    if (Driver != nullptr)
        *Driver = nullptr;
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        return STATUS_INVALID_PARAMETER;
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DriverOfCaller(_ReturnAddress()) != nullptr)
        return STATUS_INVALID_DEVICE_STATE; // one driver object per image
    auto* driver = new (std::nothrow) fx::Driver;
    if (driver == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    driver->driverObject = DriverObject;
    if (RegistryPath->Buffer != nullptr)
        driver->registryPath.assign(RegistryPath->Buffer, RegistryPath->Length / sizeof(WCHAR));
    driver->config = *DriverConfig;
    NTSTATUS status = Attach(driver, DriverAttributes, nullptr, _ReturnAddress());
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard<std::mutex> guard(g_driversLock);
        g_byDriverObject[DriverObject] = driver;
    }
    DriverObject->DriverUnload = FxDriverUnload;
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) == 0)
        DriverInstallAddDevice(DriverObject);
    if (Driver != nullptr)
        *Driver = reinterpret_cast<WDFDRIVER>(ToHandle(driver));
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver(void)
{
    return reinterpret_cast<WDFDRIVER>(DriverOfCaller(_ReturnAddress()));
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
{
    auto* driver = As<fx::Driver>(Driver, Kind::Driver, "WdfDriverGetRegistryPath");
    return driver == nullptr ? nullptr : driver->registryPath.data();
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    auto* driver = As<fx::Driver>(Driver, Kind::Driver, "WdfDriverWdmGetDriverObject");
    return driver == nullptr ? nullptr : driver->driverObject;
}

} // extern "C"
