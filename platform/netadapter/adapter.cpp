// Network adapters of framework devices: the device binding, adapter creation, capabilities and start,
// and the seam the mobile-broadband class extension uses.
#include "internal.h"

#include <host/verifier.h>

#include <algorithm>
#include <array>
#include <new>

struct NETADAPTER_INIT {
    fx::Device* device;
    NET_ADAPTER_DATAPATH_CALLBACKS datapath;
    bool hasDatapath;
    NTSTATUS (*startCheck)(NETADAPTER, void*);
    void* startContext;
};

namespace netadapter
{
namespace
{

constexpr size_t kCalls = size_t(host::net::Call::RxQueueCreate) + 1;
std::array<std::atomic<NTSTATUS>, kCalls> g_injected{};

// The setters run before the start.
Adapter* Configurable(NETADAPTER handle, const char* api)
{
    Adapter* adapter = AdapterFrom(handle, api);
    if (adapter == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(adapter->state);
    return adapter->started || adapter->removed ? nullptr : adapter;
}

// The common shape of the capability setters: a record of the right size, then the injected failure.
template <typename Record>
NTSTATUS SetRecord(NETADAPTER handle, const Record* record, host::net::Call call, const char* api,
                   Record Adapter::*field)
{
    Adapter* adapter = Configurable(handle, api);
    if (adapter == nullptr || record == nullptr || record->Size != sizeof(Record))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS injected = TakeInjected(call);
    if (NT_SUCCESS(injected))
        adapter->*field = *record;
    return injected;
}

} // namespace

NTSTATUS TakeInjected(host::net::Call call)
{
    return g_injected[size_t(call)].exchange(STATUS_SUCCESS);
}

Adapter* AdapterFrom(NETADAPTER handle, const char* api)
{
    return fx::As<Adapter>(handle, fx::Kind::NetAdapter, api);
}

DeviceBinding* BindingOf(fx::Device* device)
{
    return fx::FindExtension<DeviceBinding>(device->extensions);
}

void DeviceBinding::Created(fx::Device* created)
{
    device = created;
    RegisterBinding(this, true);
}

// A data path stays down while its device is out of D0. It is created again, for every started
// adapter, once D0 entry completed and before the stack counts as in D0, so that a power reference
// taken with a wait finds the queues running.
void DeviceBinding::D0Entered(fx::Device*)
{
    std::vector<Adapter*> current;
    {
        std::lock_guard<std::mutex> guard(lock);
        inD0 = true;
        current = adapters;
    }
    DisarmWakeSources(this);
    for (Adapter* adapter : current) {
        std::lock_guard<HostLock> control(adapter->control);
        bool create;
        {
            std::lock_guard<std::mutex> guard(adapter->state);
            create = adapter->started && !adapter->removed && !adapter->running;
        }
        if (create)
            CreateDataPath(adapter);
    }
}

void DeviceBinding::D0Leaving(fx::Device*, WDF_POWER_DEVICE_STATE target)
{
    std::vector<Adapter*> current;
    {
        std::lock_guard<std::mutex> guard(lock);
        inD0 = false;
        current = adapters;
    }
    for (Adapter* adapter : current) {
        std::lock_guard<HostLock> control(adapter->control);
        TearDownDataPath(adapter, true);
    }
    if (target != WdfPowerDeviceD3Final)
        ArmWakeSources(this);
}

void DeviceBinding::Removing(fx::Device*)
{
    for (;;) {
        Adapter* adapter;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (adapters.empty())
                break;
            adapter = adapters.back();
        }
        netcx::RemoveAdapter(adapter->Handle());
        std::lock_guard<std::mutex> guard(lock);
        if (!adapters.empty() && adapters.back() == adapter)
            break; // its deletion is deferred: the device's deletion finishes it
    }
    DisarmWakeSources(this);
    RegisterBinding(this, false);
}

// Whatever deletes an adapter (a removal, its driver, its device going) first stops its data path and
// hands the driver its receive buffers back; the queues, its children, are deleted before this runs,
// and their own disposal stops the data path while it still runs.
void Adapter::Dispose()
{
    {
        std::lock_guard<HostLock> guard(control);
        {
            std::lock_guard<std::mutex> stateGuard(state);
            removed = true;
        }
        TearDownDataPath(this, false);
    }
    ReturnAllRxBuffers(this);
    if (binding != nullptr) {
        std::lock_guard<std::mutex> guard(binding->lock);
        auto& list = binding->adapters;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    KeSetEvent(&changed, IO_NO_INCREMENT, FALSE);
}

} // namespace netadapter

using namespace netadapter;

namespace netcx
{

NETADAPTER_INIT* AllocateInit(WDFDEVICE device, NTSTATUS (*startCheck)(NETADAPTER, void*), void* context)
{
    NETADAPTER_INIT* init = NetAdapterInitAllocate(device);
    if (init != nullptr) {
        init->startCheck = startCheck;
        init->startContext = context;
    }
    return init;
}

bool DeviceInitConfigured(PWDFDEVICE_INIT init)
{
    return init != nullptr && fx::FindExtension<DeviceBinding>(fx::DeviceInitExtensions(init)) != nullptr;
}

void* StartContext(NETADAPTER handle)
{
    Adapter* adapter = AdapterFrom(handle, "netcx::StartContext");
    return adapter == nullptr ? nullptr : adapter->startContext;
}

bool Started(NETADAPTER handle)
{
    Adapter* adapter = AdapterFrom(handle, "netcx::Started");
    if (adapter == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(adapter->state);
    return adapter->started && !adapter->removed;
}

void RemoveAdapter(NETADAPTER handle)
{
    Adapter* adapter = AdapterFrom(handle, "netcx::RemoveAdapter");
    if (adapter == nullptr)
        return;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::VerifierReport(host::Check::InvalidIrql, "an adapter removed at IRQL %u", KeGetCurrentIrql());
    // Under the control lock, so that a data path its worker is creating right now is finished and
    // torn down here, rather than created from queues the adapter's deletion already took.
    {
        std::lock_guard<HostLock> control(adapter->control);
        {
            std::lock_guard<std::mutex> guard(adapter->state);
            adapter->removed = true;
        }
        TearDownDataPath(adapter, true);
    }
    fx::Delete(adapter);
}

void SetLinkState(NETADAPTER handle, bool up)
{
    if (Adapter* adapter = AdapterFrom(handle, "netcx::SetLinkState"))
        adapter->linkUp = up;
}

bool LinkUp(NETADAPTER handle)
{
    Adapter* adapter = AdapterFrom(handle, "netcx::LinkUp");
    return adapter != nullptr && adapter->linkUp;
}

} // namespace netcx

namespace host::net
{

void FailNext(Call call, NTSTATUS status)
{
    g_injected[size_t(call)] = status;
}

} // namespace host::net

extern "C" {

NTSTATUS NetDeviceInitConfig(PWDFDEVICE_INIT DeviceInit)
{
    if (DeviceInit == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS injected = TakeInjected(host::net::Call::DeviceInitConfig);
    if (!NT_SUCCESS(injected))
        return injected;
    auto& extensions = fx::DeviceInitExtensions(DeviceInit);
    if (fx::FindExtension<DeviceBinding>(extensions) != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    auto binding = std::make_shared<DeviceBinding>();
    extensions.push_back(binding);
    return STATUS_SUCCESS;
}

NTSTATUS NetDeviceInitSetPowerPolicyEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                   const NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS* Callbacks)
{
    if (DeviceInit == nullptr || Callbacks == nullptr || Callbacks->Size != sizeof(*Callbacks))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS injected = TakeInjected(host::net::Call::DeviceInitSetPowerPolicyEventCallbacks);
    if (!NT_SUCCESS(injected))
        return injected;
    auto* binding = fx::FindExtension<DeviceBinding>(fx::DeviceInitExtensions(DeviceInit));
    if (binding == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    binding->policy = *Callbacks;
    return STATUS_SUCCESS;
}

// What the adapter is created for; freed by the driver with NetAdapterInitFree after NetAdapterCreate,
// whatever its result. NULL when it cannot be allocated.
NETADAPTER_INIT* NetAdapterInitAllocate(WDFDEVICE Device)
{
    auto* device = fx::As<fx::Device>(Device, fx::Kind::Device, "NetAdapterInitAllocate");
    if (device == nullptr)
        return nullptr;
    return new (std::nothrow) NETADAPTER_INIT{device, {}, false, nullptr, nullptr};
}

void NetAdapterInitFree(NETADAPTER_INIT* AdapterInit)
{
    delete AdapterInit;
}

void NetAdapterInitSetDatapathCallbacks(NETADAPTER_INIT* AdapterInit,
                                        const NET_ADAPTER_DATAPATH_CALLBACKS* DatapathCallbacks)
{
    if (AdapterInit == nullptr || DatapathCallbacks == nullptr ||
        DatapathCallbacks->Size != sizeof(*DatapathCallbacks))
        return;
    AdapterInit->datapath = *DatapathCallbacks;
    AdapterInit->hasDatapath = DatapathCallbacks->EvtAdapterCreateTxQueue != nullptr &&
                               DatapathCallbacks->EvtAdapterCreateRxQueue != nullptr;
}

NTSTATUS NetAdapterCreate(NETADAPTER_INIT* AdapterInit, PWDF_OBJECT_ATTRIBUTES AdapterAttributes,
                          NETADAPTER* Adapter)
{
    if (AdapterInit == nullptr || Adapter == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Adapter = nullptr;
    auto* adapter = new (std::nothrow) netadapter::Adapter(AdapterInit->device);
    if (adapter == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    adapter->binding = BindingOf(AdapterInit->device);
    adapter->datapath = AdapterInit->datapath;
    adapter->hasDatapath = AdapterInit->hasDatapath;
    adapter->startCheck = AdapterInit->startCheck;
    adapter->startContext = AdapterInit->startContext;
    adapter->work.owner = adapter;
    adapter->work.item.routine = WorkerRoutine;
    adapter->work.item.owner = reinterpret_cast<const void*>(WorkerRoutine);
    NTSTATUS status = fx::Publish(adapter, AdapterAttributes, AdapterInit->device, _ReturnAddress(), Adapter);
    if (NT_SUCCESS(status) && adapter->binding != nullptr) {
        std::lock_guard<std::mutex> guard(adapter->binding->lock);
        adapter->binding->adapters.push_back(adapter);
    }
    return status;
}

NTSTATUS NetAdapterSetLinkLayerCapabilities(NETADAPTER Adapter,
                                            const NET_ADAPTER_LINK_LAYER_CAPABILITIES* LinkLayerCapabilities)
{
    return SetRecord(Adapter, LinkLayerCapabilities, host::net::Call::SetLinkLayerCapabilities,
                     "NetAdapterSetLinkLayerCapabilities", &Adapter::link);
}

NTSTATUS NetAdapterSetLinkLayerMtuSize(NETADAPTER Adapter, ULONG MtuSize)
{
    auto* adapter = Configurable(Adapter, "NetAdapterSetLinkLayerMtuSize");
    if (adapter == nullptr || MtuSize == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS injected = TakeInjected(host::net::Call::SetLinkLayerMtuSize);
    if (NT_SUCCESS(injected))
        adapter->mtu = MtuSize;
    return injected;
}

// Only driver-allocated, driver-attached receive buffers are served. A transmit slot (backfill and
// frame) and a received frame must fit the fragments' 26-bit lengths.
NTSTATUS NetAdapterSetDataPathCapabilities(NETADAPTER Adapter, const NET_ADAPTER_TX_CAPABILITIES* TxCapabilities,
                                           const NET_ADAPTER_RX_CAPABILITIES* RxCapabilities)
{
    auto* adapter = Configurable(Adapter, "NetAdapterSetDataPathCapabilities");
    if (adapter == nullptr || TxCapabilities == nullptr || RxCapabilities == nullptr ||
        TxCapabilities->Size != sizeof(*TxCapabilities) || RxCapabilities->Size != sizeof(*RxCapabilities))
        return STATUS_INVALID_PARAMETER;
    const NET_ADAPTER_TX_CAPABILITIES& tx = *TxCapabilities;
    const NET_ADAPTER_RX_CAPABILITIES& rx = *RxCapabilities;
    constexpr SIZE_T kMaximumLength = (SIZE_T(1) << 26) - 1;
    if (tx.MaximumFrameSize == 0 || tx.MaximumNumberOfFragments == 0 || tx.MaximumNumberOfQueues == 0 ||
        tx.PayloadBackfill + tx.MaximumFrameSize > kMaximumLength || rx.MaximumFrameSize == 0 ||
        rx.MaximumFrameSize > kMaximumLength || rx.MaximumNumberOfQueues == 0)
        return STATUS_INVALID_PARAMETER;
    if (tx.MappingRequirement == NetMemoryMappingRequirementDmaMapped &&
        (tx.DmaCapabilities == nullptr || tx.DmaCapabilities->Size != sizeof(NET_ADAPTER_DMA_CAPABILITIES)))
        return STATUS_INVALID_PARAMETER;
    if (rx.AllocationMode != NetRxFragmentBufferAllocationModeDriver ||
        rx.AttachmentMode != NetRxFragmentBufferAttachmentModeDriver || rx.EvtAdapterReturnRxBuffer == nullptr)
        return STATUS_NOT_SUPPORTED;
    NTSTATUS injected = TakeInjected(host::net::Call::SetDataPathCapabilities);
    if (!NT_SUCCESS(injected))
        return injected;
    adapter->tx = tx;
    if (tx.DmaCapabilities != nullptr) {
        adapter->txDma = *tx.DmaCapabilities;
        adapter->tx.DmaCapabilities = &adapter->txDma;
    }
    adapter->rx = rx;
    adapter->hasCapabilities = true;
    return STATUS_SUCCESS;
}

NTSTATUS NetAdapterWakeSetBitmapCapabilities(NETADAPTER Adapter,
                                             const NET_ADAPTER_WAKE_BITMAP_CAPABILITIES* BitmapCapabilities)
{
    return SetRecord(Adapter, BitmapCapabilities, host::net::Call::WakeSetBitmapCapabilities,
                     "NetAdapterWakeSetBitmapCapabilities", &Adapter::wakeBitmap);
}

NTSTATUS NetAdapterWakeSetMediaChangeCapabilities(NETADAPTER Adapter,
                                                  const NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES* Capabilities)
{
    return SetRecord(Adapter, Capabilities, host::net::Call::WakeSetMediaChangeCapabilities,
                     "NetAdapterWakeSetMediaChangeCapabilities", &Adapter::wakeMedia);
}

NTSTATUS NetAdapterWakeSetPacketFilterCapabilities(NETADAPTER Adapter,
                                                   const NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES* Capabilities)
{
    return SetRecord(Adapter, Capabilities, host::net::Call::WakeSetPacketFilterCapabilities,
                     "NetAdapterWakeSetPacketFilterCapabilities", &Adapter::wakeFilter);
}

// The data path comes up afterwards: on the adapter's worker when the device is in D0, else at its
// next D0 entry.
NTSTATUS NetAdapterStart(NETADAPTER Adapter)
{
    auto* adapter = AdapterFrom(Adapter, "NetAdapterStart");
    if (adapter == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (adapter->startCheck != nullptr) {
        NTSTATUS status = adapter->startCheck(Adapter, adapter->startContext);
        if (!NT_SUCCESS(status))
            return status;
    }
    NTSTATUS injected = TakeInjected(host::net::Call::AdapterStart);
    if (!NT_SUCCESS(injected))
        return injected;
    if (adapter->binding == nullptr || !adapter->hasDatapath || !adapter->hasCapabilities)
        return STATUS_INVALID_DEVICE_STATE;
    bool inD0;
    {
        // Under the binding's lock, so that a D0 entry either sees the adapter started or is seen here.
        std::lock_guard<std::mutex> guard(adapter->binding->lock);
        inD0 = adapter->binding->inD0;
        std::lock_guard<std::mutex> stateGuard(adapter->state);
        if (adapter->started || adapter->removed)
            return STATUS_INVALID_DEVICE_STATE;
        adapter->started = true;
        adapter->createDue = inD0;
    }
    if (inD0)
        KickWorker(adapter);
    return STATUS_SUCCESS;
}

} // extern "C"
