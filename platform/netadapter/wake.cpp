// Wake sources: what the system arms on a device's adapters before the device leaves D0 for idle or
// sleep, as the adapters' wake capabilities allow and the driver's bitmap-pattern preview accepts.
#include "internal.h"

#include <host/verifier.h>

namespace netadapter
{
namespace
{

WakeSource* SourceFrom(NETWAKESOURCE handle)
{
    if (handle == nullptr)
        host::VerifierReport(host::Check::InvalidParameter, "a NULL wake source");
    return reinterpret_cast<WakeSource*>(handle);
}

void Add(DeviceBinding* binding, std::unique_ptr<WakeSource> source)
{
    std::lock_guard<std::mutex> guard(binding->lock);
    binding->armed.push_back(std::move(source));
}

} // namespace

void ArmWakeSources(DeviceBinding* binding)
{
    DisarmWakeSources(binding);
    std::vector<Adapter*> adapters;
    {
        std::lock_guard<std::mutex> guard(binding->lock);
        adapters = binding->adapters;
    }
    for (Adapter* adapter : adapters) {
        WakeRequests wanted;
        {
            std::lock_guard<std::mutex> guard(adapter->state);
            if (!adapter->started || adapter->removed)
                continue;
            wanted = adapter->wake;
        }
        const NET_ADAPTER_WAKE_BITMAP_CAPABILITIES& bitmap = adapter->wakeBitmap;
        ULONG64 patterns = 0;
        for (auto& request : wanted.patterns) {
            if (!bitmap.BitmapPattern || patterns >= bitmap.MaximumPatternCount ||
                request.pattern.size() > bitmap.MaximumPatternSize)
                continue;
            auto source = std::make_unique<WakeSource>(
                WakeSource{NetWakeSourceTypeBitmapPattern, adapter, request.id, request.pattern, request.mask});
            NTSTATUS status = RunCallback(binding->device, "EvtDevicePreviewBitmapPattern",
                                          binding->policy.EvtDevicePreviewBitmapPattern, binding->device->Handle(),
                                          reinterpret_cast<NETWAKESOURCE>(source.get()));
            if (!NT_SUCCESS(status))
                continue;
            Add(binding, std::move(source));
            patterns++;
        }
        if (wanted.mediaChange && (adapter->wakeMedia.MediaConnect || adapter->wakeMedia.MediaDisconnect))
            Add(binding, std::make_unique<WakeSource>(WakeSource{NetWakeSourceTypeMediaChange, adapter, 0, {}, {}}));
        if (wanted.packetFilter && adapter->wakeFilter.PacketFilterMatch)
            Add(binding,
                std::make_unique<WakeSource>(WakeSource{NetWakeSourceTypePacketFilterMatch, adapter, 0, {}, {}}));
    }
}

void DisarmWakeSources(DeviceBinding* binding)
{
    std::vector<std::unique_ptr<WakeSource>> gone;
    std::lock_guard<std::mutex> guard(binding->lock);
    gone.swap(binding->armed);
}

} // namespace netadapter

using namespace netadapter;

extern "C" {

void NetDeviceGetWakeSourceList(WDFDEVICE Device, NET_WAKE_SOURCE_LIST* List)
{
    auto* device = fx::As<fx::Device>(Device, fx::Kind::Device, "NetDeviceGetWakeSourceList");
    if (List == nullptr)
        return;
    List->Reserved[0] = device == nullptr ? nullptr : BindingOf(device);
}

SIZE_T NetWakeSourceListGetCount(const NET_WAKE_SOURCE_LIST* List)
{
    auto* binding = List == nullptr ? nullptr : static_cast<DeviceBinding*>(List->Reserved[0]);
    if (binding == nullptr)
        return 0;
    std::lock_guard<std::mutex> guard(binding->lock);
    return binding->armed.size();
}

NETWAKESOURCE NetWakeSourceListGetElement(const NET_WAKE_SOURCE_LIST* List, SIZE_T Index)
{
    auto* binding = List == nullptr ? nullptr : static_cast<DeviceBinding*>(List->Reserved[0]);
    if (binding == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(binding->lock);
    return Index < binding->armed.size() ? reinterpret_cast<NETWAKESOURCE>(binding->armed[Index].get()) : nullptr;
}

NET_WAKE_SOURCE_TYPE NetWakeSourceGetType(NETWAKESOURCE WakeSource)
{
    auto* source = SourceFrom(WakeSource);
    return source == nullptr ? NET_WAKE_SOURCE_TYPE(0) : source->type;
}

NETADAPTER NetWakeSourceGetAdapter(NETWAKESOURCE WakeSource)
{
    auto* source = SourceFrom(WakeSource);
    return source == nullptr ? nullptr : source->adapter->Handle();
}

void NetWakeSourceGetBitmapParameters(NETWAKESOURCE WakeSource, NET_WAKE_SOURCE_BITMAP_PARAMETERS* Parameters)
{
    auto* source = SourceFrom(WakeSource);
    if (source == nullptr || Parameters == nullptr || source->type != NetWakeSourceTypeBitmapPattern)
        return;
    Parameters->Id = source->id;
    Parameters->Pattern = source->pattern.data();
    Parameters->PatternSize = source->pattern.size();
    Parameters->Mask = source->mask.data();
    Parameters->MaskSize = source->mask.size();
}

} // extern "C"
