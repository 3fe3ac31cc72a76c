#include "sim/pci/pnp.h"

#include <host/utf.h>

#include <cstdio>

#include "sim/pci/bus.h"
#include "sim/pci/interfaces.h"

namespace sim::pci {

std::vector<std::u16string> HardwareIds(const FunctionConfig& config)
{
    char base[64];
    snprintf(base, sizeof(base), "PCI\\VEN_%04X&DEV_%04X", config.vendorId, config.deviceId);
    char subsys[32];
    snprintf(subsys, sizeof(subsys), "&SUBSYS_%04X%04X", config.subsystemId, config.subsystemVendorId);
    char revision[16];
    snprintf(revision, sizeof(revision), "&REV_%02X", config.revisionId);
    std::string full = std::string(base) + subsys;
    return {host::utf::ToUtf16(full + revision), host::utf::ToUtf16(full), host::utf::ToUtf16(base)};
}

host::PnpBusDevice PnpDevice(Function& function, std::u16string instanceId)
{
    host::PnpBusDevice device;
    device.instanceId = std::move(instanceId);
    device.hardwareIds = HardwareIds(function.Config());
    device.rawResources = function.RawResources();
    device.translatedResources = function.TranslatedResources();
    Function* f = &function;
    device.powerChanged = [f](DEVICE_POWER_STATE state, SYSTEM_POWER_STATE system) {
        if (state == PowerDeviceD0)
            f->SetPowerState(PowerState::D0);
        else
            f->SetPowerState(system == PowerSystemWorking ? PowerState::D3Hot : PowerState::D3Cold);
    };
    device.queryInterface = [f](const GUID& guid, USHORT size, USHORT version, PINTERFACE interface) {
        return QueryInterface(*f, guid, size, version, interface);
    };
    std::u16string id = device.instanceId;
    PnpHooks hooks;
    hooks.reenumerate = [id](Function&) { host::PnpRequestReenumeration(id); };
    // A platform-level reset asks for re-enumeration itself.
    hooks.resetDone = [id](Function&, ResetKind kind, NTSTATUS status) {
        if (kind == ResetKind::FunctionLevel && NT_SUCCESS(status))
            host::PnpRequestReenumeration(id);
    };
    function.SetPnpHooks(std::move(hooks));
    return device;
}

} // namespace sim::pci
