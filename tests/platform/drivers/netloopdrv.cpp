// A framework driver with one network adapter on the loop-back data path, for the tests of the
// network-adapter class extension. DWORD values under its service's Parameters key: RefusePattern (the
// bitmap pattern id + 1 its preview refuses) and IdleMs (its S0 idle time-out, default 60 s; idle can
// wake). Its callbacks are traced as "cb <name> <arguments>".
#include <wdf.h>

#include "fxtest.h"
#include "netloop.h"

namespace
{

struct Settings {
    ULONG refusePattern = 0;
    ULONG idleMs = 0;
};
Settings g_settings;

NTSTATUS PreviewBitmapPattern(WDFDEVICE, NETWAKESOURCE source)
{
    NET_WAKE_SOURCE_BITMAP_PARAMETERS parameters;
    NET_WAKE_SOURCE_BITMAP_PARAMETERS_INIT(&parameters);
    NetWakeSourceGetBitmapParameters(source, &parameters);
    DbgPrint("cb Preview %lu %u", parameters.Id, (unsigned)parameters.PatternSize);
    return g_settings.refusePattern == parameters.Id + 1 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
}

// Traces the count of armed wake sources, then each as "WakeSource <type> <id>" (bitmap patterns have
// an id).
NTSTATUS ArmWake(WDFDEVICE device)
{
    NET_WAKE_SOURCE_LIST list;
    NET_WAKE_SOURCE_LIST_INIT(&list);
    NetDeviceGetWakeSourceList(device, &list);
    SIZE_T count = NetWakeSourceListGetCount(&list);
    DbgPrint("cb ArmWake %u", (unsigned)count);
    for (SIZE_T i = 0; i < count; i++) {
        NETWAKESOURCE source = NetWakeSourceListGetElement(&list, i);
        ULONG id = 0;
        if (NetWakeSourceGetType(source) == NetWakeSourceTypeBitmapPattern) {
            NET_WAKE_SOURCE_BITMAP_PARAMETERS parameters;
            NET_WAKE_SOURCE_BITMAP_PARAMETERS_INIT(&parameters);
            NetWakeSourceGetBitmapParameters(source, &parameters);
            id = parameters.Id;
        }
        DbgPrint("cb WakeSource %d %lu", (int)NetWakeSourceGetType(source), id);
    }
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous)
{
    DbgPrint("cb D0Entry %d", (int)previous);
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target)
{
    DbgPrint("cb D0Exit %d", (int)target);
    return STATUS_SUCCESS;
}

void AdapterCleanup(WDFOBJECT)
{
    DbgPrint("cb AdapterCleanup");
}

NTSTATUS DeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT init)
{
    FxTestReadSettings(driver, {FxTestSetting{u"RefusePattern", &g_settings.refusePattern},
                                FxTestSetting{u"IdleMs", &g_settings.idleMs}});
    NTSTATUS status = NetDeviceInitConfig(init);
    if (!NT_SUCCESS(status))
        return status;
    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS net;
    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS_INIT(&net);
    net.EvtDevicePreviewBitmapPattern = PreviewBitmapPattern;
    status = NetDeviceInitSetPowerPolicyEventCallbacks(init, &net);
    if (!NT_SUCCESS(status))
        return status;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WDF_POWER_POLICY_EVENT_CALLBACKS policy;
    WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(&policy);
    policy.EvtDeviceArmWakeFromS0 = ArmWake;
    policy.EvtDeviceArmWakeFromSx = ArmWake;
    WdfDeviceInitSetPowerPolicyEventCallbacks(init, &policy);
    WDFDEVICE device;
    status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCanWakeFromS0);
    idle.IdleTimeout = g_settings.idleMs != 0 ? g_settings.idleMs : 60000;
    status = WdfDeviceAssignS0IdleSettings(device, &idle);
    if (!NT_SUCCESS(status))
        return status;
    NETADAPTER_INIT* adapterInit = NetAdapterInitAllocate(device);
    if (adapterInit == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NetLoopConfigureAdapterInit(adapterInit);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = AdapterCleanup;
    NETADAPTER adapter;
    status = NetAdapterCreate(adapterInit, &attributes, &adapter);
    NetAdapterInitFree(adapterInit);
    if (!NT_SUCCESS(status))
        return status;
    return NetLoopStartAdapter(adapter);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return FxTestDriverEntry(driverObject, registryPath, DeviceAdd, nullptr);
}
