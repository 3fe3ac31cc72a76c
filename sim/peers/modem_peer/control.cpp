// The host side of the modem peer: its function on a bus of its own, the driver's installation, the
// mode value and the bus's answer to the notices the peer sends down.
#include "sim/peers/modem_peer.h"

#include <host/loader.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/utf.h>

#include <mutex>

#include "sim/pci/bus.h"
#include "sim/pci/pnp.h"

namespace sim::peers
{
namespace
{

// The modem as far as the peer needs it: a function with the modem's ids and nothing behind its
// registers.
class Silent : public pci::DeviceModel
{
  public:
    ULONG64 ReadRegister(ULONG, ULONG64, ULONG) override { return 0; }
    void WriteRegister(ULONG, ULONG64, ULONG, ULONG64) override {}
};

pci::FunctionConfig ModemConfig()
{
    pci::FunctionConfig config;
    config.vendorId = 0x14C3;
    config.deviceId = 0x4D75;
    config.revisionId = 0x01;
    config.classCode = 0x0D8000;
    config.subsystemVendorId = 0x14C3;
    config.subsystemId = 0x4D75;
    return config;
}

std::u16string ServiceKey()
{
    return std::u16string(host::kServicesKey) + u"\\" + MODEM_PEER_SERVICE;
}

} // namespace

struct ModemPeer::State {
    Silent model;
    pci::Bus bus;
    pci::Function& function;
    std::mutex lock;
    LowerRequest hook;

    State() : function(bus.Plug(ModemConfig(), model)) {}
};

ModemPeer::ModemPeer(const char* image) : state_(std::make_unique<State>())
{
    host::RegistrySetString(ServiceKey(), u"ImagePath", host::utf::ToUtf16(image));
    host::PnpInstallDriver(MODEM_PEER_HARDWARE_ID, MODEM_PEER_SERVICE);
    SetMode(ModemPeerSucceed); // the device's key outlives a device that was removed
}

ModemPeer::~ModemPeer()
{
    if (host::PnpQueryState(MODEM_PEER_INSTANCE) != host::PnpState::Removed)
        Unplug();
}

NTSTATUS ModemPeer::Plug()
{
    host::PnpBusDevice device = pci::PnpDevice(state_->function, MODEM_PEER_INSTANCE);
    State* state = state_.get();
    device.deviceControl = [state](ULONG code, void*, size_t, size_t, ULONG_PTR* information) {
        LowerRequest hook;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            hook = state->hook;
        }
        if (hook)
            hook(code);
        *information = 0;
        return STATUS_SUCCESS;
    };
    return host::PnpAddDevice(device);
}

NTSTATUS ModemPeer::Unplug()
{
    return host::PnpRemoveDevice(MODEM_PEER_INSTANCE);
}

void ModemPeer::SetMode(ModemPeerMode mode)
{
    std::u16string key =
        std::u16string(host::kEnumKey) + u"\\" + MODEM_PEER_INSTANCE + u"\\Device Parameters";
    host::RegistrySetDword(key, MODEM_PEER_MODE_VALUE, mode);
}

void ModemPeer::OnLowerRequest(LowerRequest hook)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->hook = std::move(hook);
}

} // namespace sim::peers
