// DriverEntry: the framework driver with its context, and the driver-wide values.
#include "Driver.h"

#include "Trace.h"

PDRIVER_CONTEXT_MBB g_DriverContextMbb;
ULONG RxPerfOn;
volatile LONG DumpFlags;

namespace
{

// Shown in the load banner.
constexpr const char* kDriverVersion = "2.200.358.0";

void TraceProcessors()
{
    KAFFINITY active = 0;
    ULONG legacyActive = KeQueryActiveProcessorCount(&active);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "processors: active %u in all groups; legacy %u, mask 0x%I64x",
                KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), legacyActive, (ULONG64)active);
}

} // namespace

BOOLEAN IsAnyDumpConfigEnabled(void)
{
    return ReadAcquire(&DumpFlags) != 0;
}

ULONG MbbDeviceCountAdd(PDRIVER_CONTEXT_MBB Context)
{
    return (ULONG)InterlockedIncrement(&Context->DeviceCount);
}

ULONG MbbDeviceCountRelease(PDRIVER_CONTEXT_MBB Context)
{
    LONG count = ReadAcquire(&Context->DeviceCount);
    while (count != 0) {
        LONG seen = InterlockedCompareExchange(&Context->DeviceCount, count - 1, count);
        if (seen == count)
            return (ULONG)(count - 1);
        count = seen;
    }
    return 0;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "driver version %s, built %s %s", kDriverVersion,
                __DATE__, __TIME__);
    TraceProcessors();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DRIVER_CONTEXT_MBB);
    attributes.EvtCleanupCallback = Mbb_EvtDriverContextCleanup;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, Mbb_EvtDeviceAdd);
    config.EvtDriverUnload = Mbb_EvtDriverUnload;
    WDFDRIVER driver;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WdfDriverCreate failed: %!STATUS!", status);
        WPP_CLEANUP(DriverObject);
        return status;
    }
    PDRIVER_CONTEXT_MBB context = GetDriverContextMbb(driver);
    context->Driver = driver;
    g_DriverContextMbb = context;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "driver created");
    return STATUS_SUCCESS;
}

void Mbb_EvtDriverUnload(WDFDRIVER Driver)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "unload");
    WPP_CLEANUP(WdfDriverWdmGetDriverObject(Driver));
}

void Mbb_EvtDriverContextCleanup(WDFOBJECT Object)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "driver context cleanup");
    // A later load starts from a clean driver.
    if (g_DriverContextMbb == GetDriverContextMbb(Object))
        g_DriverContextMbb = NULL;
}
