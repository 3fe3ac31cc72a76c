// A function driver for a device on the simulated PCI bus. It maps BAR 0, creates an interrupt for
// each interrupt resource in EvtDevicePrepareHardware, and acknowledges in its ISR the status bit of
// the message it serves (every bit for a line) through the status register at 0x08 (write 1 to
// clear). DWORDs under its Parameters key: KeepAsserted leaves a line asserted for that many runs
// first; DmaLength makes it create a DMA enabler and a common buffer of that length, aligned to the
// mask in Alignment, into which its enabler has the device write a pattern (address at 0x10, length
// at 0x18, go at 0x1C), checked when message 0 comes. Its control codes query the bus's interfaces
// and use the reset and re-enumerate-self ones. Callbacks are traced as "cb <name> <arguments>".
#include <wdf.h>
#include <wdmguid.h>

#include "fxtest.h"

namespace
{

#define TRACE(...) DbgPrint(__VA_ARGS__)

constexpr ULONG kStatusRegister = 0x08;
constexpr ULONG kDmaAddress = 0x10, kDmaLength = 0x18, kDmaGo = 0x1C;

struct Settings {
    ULONG keepAsserted;
    ULONG dmaLength;
    ULONG alignment;
};
Settings g_settings;

struct DeviceContext {
    volatile ULONG* registers;
    SIZE_T length;
    WDFCOMMONBUFFER buffer;
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
    if (info.MessageSignaled || context->runs > g_settings.keepAsserted) {
        WRITE_REGISTER_ULONG(device->registers + kStatusRegister / 4, mine);
        WdfInterruptQueueDpcForIsr(Interrupt);
    }
    return TRUE;
}

// The device wrote i ^ 0x5A at offset i.
void CheckPattern(WDFCOMMONBUFFER buffer)
{
    const UCHAR* data = static_cast<const UCHAR*>(WdfCommonBufferGetAlignedVirtualAddress(buffer));
    size_t length = WdfCommonBufferGetLength(buffer);
    size_t good = 0;
    while (good < length && data[good] == UCHAR(good ^ 0x5A))
        good++;
    TRACE("cb Pattern %u of %u", (unsigned)good, (unsigned)length);
}

// Points the device's DMA engine at the common buffer and starts it.
NTSTATUS DmaEnablerEnable(WDFDMAENABLER Enabler)
{
    DeviceContext* device = GetDeviceContext(WdfDmaEnablerGetDevice(Enabler));
    PHYSICAL_ADDRESS logical = WdfCommonBufferGetAlignedLogicalAddress(device->buffer);
    TRACE("cb DmaEnablerEnable %#llx aligned=%u", (unsigned long long)logical.QuadPart,
          (unsigned)((logical.QuadPart & g_settings.alignment) == 0));
    WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(device->registers + kDmaAddress / 4),
                           (ULONG64)logical.QuadPart);
    WRITE_REGISTER_ULONG(device->registers + kDmaLength / 4, (ULONG)WdfCommonBufferGetLength(device->buffer));
    WRITE_REGISTER_ULONG(device->registers + kDmaGo / 4, 1);
    return STATUS_SUCCESS;
}

NTSTATUS DmaEnablerDisable(WDFDMAENABLER)
{
    TRACE("cb DmaEnablerDisable");
    return STATUS_SUCCESS;
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
    WDFCOMMONBUFFER buffer = GetDeviceContext(WdfInterruptGetDevice(Interrupt))->buffer;
    if (info.MessageNumber == 0 && buffer != nullptr)
        CheckPattern(buffer);
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

void SurpriseRemoval(WDFDEVICE)
{
    TRACE("cb SurpriseRemoval");
}

void ResetDone(NTSTATUS Status, PVOID)
{
    TRACE("cb ResetDone %x", (unsigned)Status);
}

// Runs `use` on the bus interface `guid` of the current version, then lets go of it.
template <typename Interface, typename Use>
NTSTATUS WithInterface(WDFDEVICE device, const GUID& guid, USHORT version, Use use)
{
    Interface bus;
    NTSTATUS status = WdfFdoQueryForInterface(device, &guid, reinterpret_cast<PINTERFACE>(&bus), sizeof(bus),
                                              version, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    status = use(bus);
    bus.InterfaceDereference(bus.Context);
    return status;
}

NTSTATUS Control(WDFDEVICE device, ULONG code, const void* input, size_t length)
{
    switch (code) {
    case IOCTL_FXPCI_QUERY: {
        if (length < sizeof(FXPCI_QUERY))
            return STATUS_BUFFER_TOO_SMALL;
        const auto* query = static_cast<const FXPCI_QUERY*>(input);
        UCHAR buffer[256];
        auto* bus = reinterpret_cast<PINTERFACE>(buffer);
        NTSTATUS status =
            WdfFdoQueryForInterface(device, &query->guid, bus, query->size, query->version, nullptr);
        if (NT_SUCCESS(status))
            bus->InterfaceDereference(bus->Context);
        return status;
    }
    case IOCTL_FXPCI_RESET: {
        if (length < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        auto type = static_cast<DEVICE_RESET_TYPE>(*static_cast<const ULONG*>(input));
        return WithInterface<DEVICE_RESET_INTERFACE_STANDARD>(
            device, GUID_DEVICE_RESET_INTERFACE_STANDARD, DEVICE_RESET_INTERFACE_VERSION,
            [type](DEVICE_RESET_INTERFACE_STANDARD& reset) {
                FUNCTION_LEVEL_DEVICE_RESET_PARAMETERS parameters = {sizeof(parameters), ResetDone, nullptr};
                return reset.DeviceReset(reset.Context, type, 0,
                                         type == FunctionLevelDeviceReset ? &parameters : nullptr);
            });
    }
    case IOCTL_FXPCI_REENUMERATE:
        return WithInterface<REENUMERATE_SELF_INTERFACE_STANDARD>(
            device, GUID_REENUMERATE_SELF_INTERFACE_STANDARD, REENUMERATE_SELF_INTERFACE_STANDARD_VERSION,
            [](REENUMERATE_SELF_INTERFACE_STANDARD& self) {
                self.SurpriseRemoveAndReenumerateSelf(self.Context);
                return STATUS_SUCCESS;
            });
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Answers with the status of what the control code did.
void IoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t, size_t, ULONG IoControlCode)
{
    PVOID input = nullptr;
    size_t length = 0;
    WdfRequestRetrieveInputBuffer(Request, 0, &input, &length);
    NTSTATUS result = Control(WdfIoQueueGetDevice(Queue), IoControlCode, input, length);
    PVOID output = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &output, nullptr);
    if (NT_SUCCESS(status))
        *static_cast<ULONG*>(output) = static_cast<ULONG>(result);
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
}

NTSTATUS DeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    FxTestReadSettings(Driver, {{u"KeepAsserted", &g_settings.keepAsserted},
                                {u"DmaLength", &g_settings.dmaLength},
                                {u"Alignment", &g_settings.alignment}});
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = PrepareHardware;
    pnp.EvtDeviceReleaseHardware = ReleaseHardware;
    pnp.EvtDeviceD0Entry = D0Entry;
    pnp.EvtDeviceD0EntryPostInterruptsEnabled = D0EntryPost;
    pnp.EvtDeviceD0ExitPreInterruptsDisabled = D0ExitPre;
    pnp.EvtDeviceD0Exit = D0Exit;
    pnp.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DeviceContext);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG queue;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
    queue.EvtIoDeviceControl = IoDeviceControl;
    status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (NT_SUCCESS(status))
        status = WdfDeviceCreateDeviceInterface(device, &GUID_FXPCI_INTERFACE, nullptr);
    if (!NT_SUCCESS(status) || g_settings.dmaLength == 0)
        return status;
    WdfDeviceSetAlignmentRequirement(device, g_settings.alignment);
    WDF_DMA_ENABLER_CONFIG config;
    WDF_DMA_ENABLER_CONFIG_INIT(&config, WdfDmaProfileScatterGather64, g_settings.dmaLength);
    config.EvtDmaEnablerEnable = DmaEnablerEnable;
    config.EvtDmaEnablerDisable = DmaEnablerDisable;
    WDFDMAENABLER enabler;
    status = WdfDmaEnablerCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &enabler);
    if (NT_SUCCESS(status))
        status = WdfCommonBufferCreate(enabler, g_settings.dmaLength, WDF_NO_OBJECT_ATTRIBUTES,
                                       &GetDeviceContext(device)->buffer);
    return status;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return FxTestDriverEntry(DriverObject, RegistryPath, DeviceAdd, nullptr);
}
