#include "sim/pci/interfaces.h"

#include <wdmguid.h>

#include "sim/pci/bus.h"

namespace sim::pci {
namespace {

Function& Of(PVOID context) { return *static_cast<Function*>(context); }

void Reference(PVOID context) { Of(context).InterfaceReference(); }
void Dereference(PVOID context) { Of(context).InterfaceDereference(); }

// Bus and processor addresses are the same here, and every BAR is memory space.
BOOLEAN TranslateBusAddress(PVOID, PHYSICAL_ADDRESS busAddress, ULONG, PULONG addressSpace,
                            PPHYSICAL_ADDRESS translatedAddress)
{
    if (addressSpace == nullptr || translatedAddress == nullptr)
        return FALSE;
    *addressSpace = 0;
    *translatedAddress = busAddress;
    return TRUE;
}

// DMA adapters come from the framework's DMA enablers, not from the bus.
struct _DMA_ADAPTER* GetDmaAdapter(PVOID, struct _DEVICE_DESCRIPTION*, PULONG) { return nullptr; }

ULONG GetBusData(PVOID context, ULONG dataType, PVOID buffer, ULONG offset, ULONG length)
{
    return dataType == PCI_WHICHSPACE_CONFIG ? Of(context).ReadConfig(offset, buffer, length) : 0;
}

ULONG SetBusData(PVOID context, ULONG dataType, PVOID buffer, ULONG offset, ULONG length)
{
    return dataType == PCI_WHICHSPACE_CONFIG ? Of(context).WriteConfig(offset, buffer, length) : 0;
}

ULONG ReadRootPort(PVOID context, PVOID buffer, ULONG offset, ULONG length)
{
    return Of(context).Port().ReadConfig(offset, buffer, length);
}

ULONG WriteRootPort(PVOID context, PVOID buffer, ULONG offset, ULONG length)
{
    return Of(context).Port().WriteConfig(offset, buffer, length);
}

NTSTATUS SetTableEntry(PVOID context, ULONG entry, ULONG message) { return Of(context).SetTableEntry(entry, message); }
NTSTATUS MaskTableEntry(PVOID context, ULONG entry) { return Of(context).MaskTableEntry(entry); }
NTSTATUS UnmaskTableEntry(PVOID context, ULONG entry) { return Of(context).UnmaskTableEntry(entry); }

NTSTATUS GetTableEntry(PVOID context, ULONG entry, PULONG message, PBOOLEAN masked)
{
    if (masked == nullptr)
        return STATUS_INVALID_PARAMETER;
    bool isMasked = false;
    NTSTATUS status = Of(context).GetTableEntry(entry, message, &isMasked);
    if (NT_SUCCESS(status))
        *masked = isMasked ? TRUE : FALSE;
    return status;
}

NTSTATUS GetTableSize(PVOID context, PULONG size)
{
    if (size == nullptr)
        return STATUS_INVALID_PARAMETER;
    *size = Of(context).TableSize();
    return STATUS_SUCCESS;
}

NTSTATUS DeviceReset(PVOID context, DEVICE_RESET_TYPE type, ULONG flags, PVOID parameters)
{
    UNREFERENCED_PARAMETER(flags);
    Function& function = Of(context);
    if (type == PlatformLevelDeviceReset)
        return function.PlatformLevelReset();
    if (type != FunctionLevelDeviceReset)
        return STATUS_NOT_SUPPORTED;
    if (parameters == nullptr)
        return function.FunctionLevelReset(nullptr);
    auto* reset = static_cast<PFUNCTION_LEVEL_DEVICE_RESET_PARAMETERS>(parameters);
    if (reset->Size < sizeof(FUNCTION_LEVEL_DEVICE_RESET_PARAMETERS) || reset->DeviceResetCompletion == nullptr)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_RESET_COMPLETION completion = reset->DeviceResetCompletion;
    PVOID completionContext = reset->CompletionContext;
    return function.FunctionLevelReset([completion, completionContext](NTSTATUS status) {
        completion(status, completionContext);
    });
}

void SurpriseRemoveAndReenumerateSelf(PVOID context) { Of(context).RequestReenumeration(); }

struct Offer {
    const GUID* guid;
    USHORT version;
    USHORT size;
    bool (*offered)(const Function& function);
    void (*fill)(const Function& function, PINTERFACE interface);
};

bool Always(const Function&) { return true; }

const Offer kOffers[] = {
    {&GUID_BUS_INTERFACE_STANDARD, PCI_BUS_INTERFACE_STANDARD_VERSION, sizeof(BUS_INTERFACE_STANDARD), Always,
     [](const Function&, PINTERFACE interface) {
         auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(interface);
         bus->TranslateBusAddress = TranslateBusAddress;
         bus->GetDmaAdapter = GetDmaAdapter;
         bus->SetBusData = SetBusData;
         bus->GetBusData = GetBusData;
     }},
    {&GUID_PCI_EXPRESS_ROOT_PORT_INTERFACE, PCI_EXPRESS_ROOT_PORT_INTERFACE_VERSION,
     sizeof(PCI_EXPRESS_ROOT_PORT_INTERFACE), Always,
     [](const Function&, PINTERFACE interface) {
         auto* port = reinterpret_cast<PPCI_EXPRESS_ROOT_PORT_INTERFACE>(interface);
         port->ReadConfigSpace = ReadRootPort;
         port->WriteConfigSpace = WriteRootPort;
     }},
    {&GUID_MSIX_TABLE_CONFIG_INTERFACE, PCI_MSIX_TABLE_CONFIG_INTERFACE_VERSION1,
     sizeof(PCI_MSIX_TABLE_CONFIG_INTERFACE), [](const Function& function) { return function.TableSize() != 0; },
     [](const Function&, PINTERFACE interface) {
         auto* table = reinterpret_cast<PPCI_MSIX_TABLE_CONFIG_INTERFACE>(interface);
         table->SetTableEntry = SetTableEntry;
         table->MaskTableEntry = MaskTableEntry;
         table->UnmaskTableEntry = UnmaskTableEntry;
         table->GetTableEntry = GetTableEntry;
         table->GetTableSize = GetTableSize;
     }},
    {&GUID_DEVICE_RESET_INTERFACE_STANDARD, DEVICE_RESET_INTERFACE_VERSION_1, sizeof(DEVICE_RESET_INTERFACE_STANDARD),
     Always,
     [](const Function& function, PINTERFACE interface) {
         auto* reset = reinterpret_cast<PDEVICE_RESET_INTERFACE_STANDARD>(interface);
         reset->DeviceReset = DeviceReset;
         reset->SupportedResetTypes =
             (function.Config().flr ? 1u << FunctionLevelDeviceReset : 0) | 1u << PlatformLevelDeviceReset;
     }},
    {&GUID_REENUMERATE_SELF_INTERFACE_STANDARD, REENUMERATE_SELF_INTERFACE_STANDARD_VERSION,
     sizeof(REENUMERATE_SELF_INTERFACE_STANDARD), Always,
     [](const Function&, PINTERFACE interface) {
         reinterpret_cast<PREENUMERATE_SELF_INTERFACE_STANDARD>(interface)->SurpriseRemoveAndReenumerateSelf =
             SurpriseRemoveAndReenumerateSelf;
     }},
};

} // namespace

NTSTATUS QueryInterface(Function& function, const GUID& guid, USHORT size, USHORT version, PINTERFACE interface)
{
    const Offer* offer = nullptr;
    for (const Offer& candidate : kOffers)
        if (IsEqualGUID(*candidate.guid, guid))
            offer = &candidate;
    if (offer == nullptr || !offer->offered(function) || version != offer->version)
        return STATUS_NOT_SUPPORTED;
    if (interface == nullptr || size < offer->size)
        return STATUS_INVALID_PARAMETER;
    if (!function.Present())
        return STATUS_INVALID_DEVICE_STATE;
    memset(interface, 0, offer->size);
    interface->Size = offer->size;
    interface->Version = version;
    interface->Context = &function;
    interface->InterfaceReference = Reference;
    interface->InterfaceDereference = Dereference;
    offer->fill(function, interface);
    function.InterfaceReference();
    return STATUS_SUCCESS;
}

} // namespace sim::pci
