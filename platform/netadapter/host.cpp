// The host-side control of the network-adapter class extension (host/netadapter.h).
#include "internal.h"

#include <algorithm>

namespace netadapter
{
namespace
{

struct Registry {
    std::mutex lock;
    std::vector<DeviceBinding*> bindings;
};

Registry& Bound()
{
    static auto* registry = new Registry;
    return *registry;
}

template <typename Edit> void Change(NETADAPTER handle, const char* api, Edit change)
{
    if (Adapter* adapter = AdapterFrom(handle, api)) {
        std::lock_guard<std::mutex> guard(adapter->state);
        change(*adapter);
    }
}

template <typename Result, typename Reader> Result Read(NETADAPTER handle, const char* api, Result none, Reader read)
{
    Adapter* adapter = AdapterFrom(handle, api);
    if (adapter == nullptr)
        return none;
    std::lock_guard<std::mutex> guard(adapter->state);
    return read(*adapter);
}

} // namespace

void RegisterBinding(DeviceBinding* binding, bool bound)
{
    Registry& registry = Bound();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto& list = registry.bindings;
    list.erase(std::remove(list.begin(), list.end(), binding), list.end());
    if (bound)
        list.push_back(binding);
}

} // namespace netadapter

using namespace netadapter;

namespace host::net
{

std::vector<NETADAPTER> Adapters(std::u16string_view instanceId)
{
    std::vector<NETADAPTER> found;
    Registry& registry = Bound();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (DeviceBinding* binding : registry.bindings) {
        if (binding->device == nullptr || host::io::NodeInstanceId(binding->device->node) != instanceId)
            continue;
        std::lock_guard<std::mutex> adapters(binding->lock);
        for (Adapter* adapter : binding->adapters)
            found.push_back(adapter->Handle());
    }
    return found;
}

bool Started(NETADAPTER adapter)
{
    return netcx::Started(adapter);
}

bool DataPathRunning(NETADAPTER adapter)
{
    return Read(adapter, "host::net::DataPathRunning", false, [](Adapter& a) { return a.running; });
}

void RemoveAdapter(NETADAPTER adapter)
{
    netcx::RemoveAdapter(adapter);
}

void SetLinkState(NETADAPTER adapter, bool up)
{
    netcx::SetLinkState(adapter, up);
}

bool LinkUp(NETADAPTER adapter)
{
    return netcx::LinkUp(adapter);
}

NTSTATUS Transmit(NETADAPTER adapter, const void* data, size_t length)
{
    return netcx::Transmit(adapter, data, length);
}

void SetReceiveSink(NETADAPTER adapter, std::function<void(const UCHAR*, size_t)> sink)
{
    netcx::SetReceiveSink(adapter, std::move(sink));
}

void HoldReceiveBuffers(NETADAPTER adapter, bool hold)
{
    Change(adapter, "host::net::HoldReceiveBuffers", [hold](Adapter& a) { a.holdRx = hold; });
}

size_t HeldReceiveBufferCount(NETADAPTER adapter)
{
    return Read(adapter, "host::net::HeldReceiveBufferCount", size_t(0), [](Adapter& a) { return a.held.size(); });
}

const void* HeldReceiveBuffer(NETADAPTER adapter, size_t index)
{
    return Read(adapter, "host::net::HeldReceiveBuffer", static_cast<const void*>(nullptr),
                [index](Adapter& a) -> const void* { return index < a.held.size() ? a.held[index].buffer : nullptr; });
}

void ReleaseReceiveBuffer(NETADAPTER handle, size_t index)
{
    Adapter* adapter = AdapterFrom(handle, "host::net::ReleaseReceiveBuffer");
    if (adapter == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(adapter->state);
        if (index >= adapter->held.size())
            return;
        adapter->returning.push_back(adapter->held[index]);
        adapter->held.erase(adapter->held.begin() + ptrdiff_t(index));
    }
    KickWorker(adapter);
}

Counters Statistics(NETADAPTER handle)
{
    return Read(handle, "host::net::Statistics", Counters{}, [](Adapter& a) {
        ULONG64 unarmed = 0;
        for (PacketQueue* q : {a.txQueue, a.rxQueue})
            if (q != nullptr)
                unarmed += q->unarmedNotifies;
        return Counters{a.sent, a.received, a.dropped, a.creations, unarmed};
    });
}

void AddWakeBitmapPattern(NETADAPTER adapter, ULONG id, std::vector<UCHAR> pattern, std::vector<UCHAR> mask)
{
    Change(adapter, "host::net::AddWakeBitmapPattern", [&](Adapter& a) {
        a.wake.patterns.push_back(WakeRequests::Pattern{id, std::move(pattern), std::move(mask)});
    });
}

void SetWakeOnMediaChange(NETADAPTER adapter, bool enabled)
{
    Change(adapter, "host::net::SetWakeOnMediaChange", [enabled](Adapter& a) { a.wake.mediaChange = enabled; });
}

void SetWakeOnPacketFilterMatch(NETADAPTER adapter, bool enabled)
{
    Change(adapter, "host::net::SetWakeOnPacketFilterMatch", [enabled](Adapter& a) { a.wake.packetFilter = enabled; });
}

} // namespace host::net
