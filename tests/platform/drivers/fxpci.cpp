// A function driver for a device on the simulated PCI bus. It maps BAR 0, creates an interrupt for
// each interrupt resource in EvtDevicePrepareHardware, and acknowledges in its ISR the status bit of
// the message it serves (every bit for a line) through the status register at 0x08 (write 1 to
// clear); with the DWORD KeepAsserted under its Parameters key it leaves a line asserted for that
// many runs first. Callbacks are traced as "cb <name> <arguments>".
#include <wdf.h>

#include "fxtest.h"

namespace
{

#define TRACE(...) DbgPrint(__VA_ARGS__)

constexpr ULONG kStatusRegister = 0x08;

ULONG g_keepAsserted = 0;

struct DeviceContext {
    volatile ULONG* registers;
    SIZE_T length;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext)

struct InterruptContext {
    ULONG runs;
    ULONG processor;
    KIRQL irql;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(InterruptContext, GetInterruptContext)

BOOLEAN Isr(WDFINTERRUPT Interrupt, ULONG MessageID)
{
    DeviceContext* device = GetDeviceContext(WdfInterruptGetDevice(Interrupt));
    InterruptContext* context = GetInterruptContext(Interrupt);
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(Interrupt, &info);
    ULONG status = READ_REGISTER_ULONG(device->registers + kStatusRegister / 4);
    ULONG mine = info.MessageSignaled ? status & (1u << MessageID) : status;
    if (mine == 0)
        return FALSE;
    context->runs++;
    context->processor = KeGetCurrentProcessorNumber();
    context->irql = KeGetCurrentIrql();
    if (info.MessageSignaled || context->runs > g_keepAsserted) {
        WRITE_REGISTER_ULONG(device->registers + kStatusRegister / 4, mine);
        WdfInterruptQueueDpcForIsr(Interrupt);
    }
    return TRUE;
}

void Dpc(WDFINTERRUPT Interrupt, WDFOBJECT)
{
    InterruptContext* context = GetInterruptContext(Interrupt);
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(Interrupt, &info);
    KIRQL dpcIrql = KeGetCurrentIrql();
    WdfInterruptAcquireLock(Interrupt);
    KIRQL lockIrql = KeGetCurrentIrql();
    ULONG runs = context->runs;
    context->runs = 0;
    WdfInterruptReleaseLock(Interrupt);
    TRACE("cb Dpc %u runs=%u isr=%u/%u dpc=%u/%u lock=%u", info.MessageNumber, runs, context->processor,
          (unsigned)context->irql, KeGetCurrentProcessorNumber(), (unsigned)dpcIrql, (unsigned)lockIrql);
}

NTSTATUS InterruptEnable(WDFINTERRUPT Interrupt, WDFDEVICE)
{
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(Interrupt, &info);
    TRACE("cb InterruptEnable %u %u", info.MessageNumber, (unsigned)(KeGetCurrentIrql() == info.Irql));
    return STATUS_SUCCESS;
}

NTSTATUS InterruptDisable(WDFINTERRUPT Interrupt, WDFDEVICE)
{
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(Interrupt, &info);
    TRACE("cb InterruptDisable %u", info.MessageNumber);
    return STATUS_SUCCESS;
}

NTSTATUS PrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated)
{
    DeviceContext* device = GetDeviceContext(Device);
    ULONG count = WdfCmResourceListGetCount(Translated);
    TRACE("cb PrepareHardware %u %u", WdfCmResourceListGetCount(Raw), count);
    for (ULONG i = 0; i < count; i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = WdfCmResourceListGetDescriptor(Translated, i);
        if (descriptor->Type == CmResourceTypeMemory && device->registers == nullptr) {
            device->length = descriptor->u.Memory.Length;
            device->registers = static_cast<volatile ULONG*>(
                MmMapIoSpaceEx(descriptor->u.Memory.Start, device->length, PAGE_READWRITE | PAGE_NOCACHE));
            if (device->registers == nullptr)
                return STATUS_INSUFFICIENT_RESOURCES;
        } else if (descriptor->Type == CmResourceTypeInterrupt) {
            WDF_INTERRUPT_CONFIG config;
            WDF_INTERRUPT_CONFIG_INIT(&config, Isr, Dpc);
            config.EvtInterruptEnable = InterruptEnable;
            config.EvtInterruptDisable = InterruptDisable;
            config.InterruptRaw = WdfCmResourceListGetDescriptor(Raw, i);
            config.InterruptTranslated = descriptor;
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, InterruptContext);
            WDFINTERRUPT interrupt;
            NTSTATUS status = WdfInterruptCreate(Device, &config, &attributes, &interrupt);
            if (!NT_SUCCESS(status))
                return status;
            WDF_INTERRUPT_INFO info;
            WDF_INTERRUPT_INFO_INIT(&info);
            WdfInterruptGetInfo(interrupt, &info);
            TRACE("cb Interrupt %u message=%u vector=%#x irql=%u", i, (unsigned)info.MessageSignaled,
                  info.Vector, (unsigned)info.Irql);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReleaseHardware(WDFDEVICE Device, WDFCMRESLIST)
{
    TRACE("cb ReleaseHardware");
    DeviceContext* device = GetDeviceContext(Device);
    if (device->registers != nullptr)
        MmUnmapIoSpace(const_cast<ULONG*>(device->registers), device->length);
    device->registers = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE PreviousState)
{
    TRACE("cb D0Entry %d", (int)PreviousState);
    return STATUS_SUCCESS;
}

NTSTATUS D0EntryPost(WDFDEVICE, WDF_POWER_DEVICE_STATE)
{
    TRACE("cb D0EntryPostInterruptsEnabled");
    return STATUS_SUCCESS;
}

NTSTATUS D0ExitPre(WDFDEVICE, WDF_POWER_DEVICE_STATE)
{
    TRACE("cb D0ExitPreInterruptsDisabled");
    return STATUS_SUCCESS;
}

NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE TargetState)
{
    TRACE("cb D0Exit %d", (int)TargetState);
    return STATUS_SUCCESS;
}

void ReadSettings(WDFDRIVER driver)
{
    WDFKEY key;
    g_keepAsserted = 0;
    if (!NT_SUCCESS(WdfDriverOpenParametersRegistryKey(driver, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key)))
        return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"KeepAsserted");
    WdfRegistryQueryULong(key, &name, &g_keepAsserted);
    WdfRegistryClose(key);
}

NTSTATUS DeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    ReadSettings(Driver);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0EntryPostInterruptsEnabled = D0EntryPost;
    pnp.EvtDeviceD0ExitPreInterruptsDisabled = D0ExitPre;
    pnp.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DeviceContext);
    WDFDEVICE device;
    return WdfDeviceCreate(&DeviceInit, &attributes, &device);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return FxTestDriverEntry(DriverObject, RegistryPath, DeviceAdd, nullptr);
}
