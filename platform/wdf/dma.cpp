// Framework DMA: enablers in the device's D0 sequence, and common buffers, which the host's DMA
// registry makes visible to the device until they are deleted. Logical addresses are host addresses.
#include "fxio.h"

#include <host/dma.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace fx
{

struct DmaEnabler : Object {
    DmaEnabler(Device* device, const WDF_DMA_ENABLER_CONFIG& config)
        : Object(Kind::DmaEnabler), device(device), config(config)
    {
    }
    WDFDMAENABLER Handle() { return reinterpret_cast<WDFDMAENABLER>(ToHandle(this)); }
    void Dispose() override
    {
        auto& list = device->dmaEnablers;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    // Runs one of the enabler's callbacks: an absent callback succeeds.
    bool Run(const char* what, NTSTATUS (*callback)(WDFDMAENABLER))
    {
        if (callback == nullptr)
            return true;
        NTSTATUS result;
        {
            CallbackScope scope(this, what, false);
            result = callback(Handle());
        }
        RunDeferredDeletions();
        return NT_SUCCESS(result);
    }
    void Leave()
    {
        Run("EvtDmaEnablerSelfManagedIoStop", config.EvtDmaEnablerSelfManagedIoStop);
        Run("EvtDmaEnablerDisable", config.EvtDmaEnablerDisable);
        Run("EvtDmaEnablerFlush", config.EvtDmaEnablerFlush);
    }

    Device* const device;
    const WDF_DMA_ENABLER_CONFIG config;
    bool entered = false;
};

struct CommonBuffer : Object {
    CommonBuffer() : Object(Kind::CommonBuffer) {}
    ~CommonBuffer() override
    {
        if (block != nullptr) {
            host::DmaUnregister(block);
            std::free(block);
        }
    }
    void* block = nullptr;
    size_t length = 0;
};

bool DmaEnablersEnter(Device* device)
{
    std::vector<DmaEnabler*> enablers = device->dmaEnablers;
    for (size_t i = 0; i < enablers.size(); i++) {
        DmaEnabler* enabler = enablers[i];
        const WDF_DMA_ENABLER_CONFIG& config = enabler->config;
        if (!enabler->Run("EvtDmaEnablerFill", config.EvtDmaEnablerFill) ||
            !enabler->Run("EvtDmaEnablerEnable", config.EvtDmaEnablerEnable) ||
            !enabler->Run("EvtDmaEnablerSelfManagedIoStart", config.EvtDmaEnablerSelfManagedIoStart)) {
            DmaEnablersLeave(device);
            return false;
        }
        enabler->entered = true;
    }
    return true;
}

void DmaEnablersLeave(Device* device)
{
    std::vector<DmaEnabler*> enablers = device->dmaEnablers;
    for (auto it = enablers.rbegin(); it != enablers.rend(); ++it)
        if ((*it)->entered) {
            (*it)->entered = false;
            (*it)->Leave();
        }
}

} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfDmaEnablerCreate(WDFDEVICE Device, PWDF_DMA_ENABLER_CONFIG Config,
                             PWDF_OBJECT_ATTRIBUTES Attributes, WDFDMAENABLER* DmaEnablerHandle)
{
    if (DmaEnablerHandle != nullptr)
        *DmaEnablerHandle = nullptr;
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDmaEnablerCreate");
    if (device == nullptr || Config == nullptr || DmaEnablerHandle == nullptr ||
        Config->Size != sizeof(WDF_DMA_ENABLER_CONFIG) || Config->Profile <= WdfDmaProfileInvalid ||
        Config->Profile > WdfDmaProfileScatterGather64Duplex || Config->MaximumLength == 0)
        return STATUS_INVALID_PARAMETER;
    if (OtherParent(Attributes, device))
        return STATUS_INVALID_PARAMETER;
    auto* enabler = new (std::nothrow) fx::DmaEnabler(device, *Config);
    WDFDMAENABLER created = nullptr;
    NTSTATUS status = Publish(enabler, Attributes, device, _ReturnAddress(), &created);
    if (!NT_SUCCESS(status))
        return status;
    device->dmaEnablers.push_back(enabler);
    *DmaEnablerHandle = created;
    return STATUS_SUCCESS;
}

size_t WdfDmaEnablerGetMaximumLength(WDFDMAENABLER DmaEnabler)
{
    auto* enabler = As<fx::DmaEnabler>(DmaEnabler, Kind::DmaEnabler, "WdfDmaEnablerGetMaximumLength");
    return enabler == nullptr ? 0 : enabler->config.MaximumLength;
}

WDFDEVICE WdfDmaEnablerGetDevice(WDFDMAENABLER DmaEnabler)
{
    auto* enabler = As<fx::DmaEnabler>(DmaEnabler, Kind::DmaEnabler, "WdfDmaEnablerGetDevice");
    return enabler == nullptr ? nullptr : enabler->device->Handle();
}

// Page-aligned, or aligned to the device's requirement when that is coarser; zeroed. Only the
// requested length is DMA-visible, so a device overrunning the buffer is reported.
NTSTATUS WdfCommonBufferCreate(WDFDMAENABLER DmaEnabler, size_t Length, PWDF_OBJECT_ATTRIBUTES Attributes,
                               WDFCOMMONBUFFER* CommonBuffer)
{
    if (CommonBuffer != nullptr)
        *CommonBuffer = nullptr;
    auto* enabler = As<fx::DmaEnabler>(DmaEnabler, Kind::DmaEnabler, "WdfCommonBufferCreate");
    if (enabler == nullptr || CommonBuffer == nullptr || Length == 0)
        return STATUS_INVALID_PARAMETER;
    size_t alignment = std::max<size_t>(PAGE_SIZE, size_t(enabler->device->alignment) + 1);
    void* block = std::aligned_alloc(alignment, ALIGN_UP_BY(Length, alignment));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(block, 0, Length);
    auto* buffer = new (std::nothrow) fx::CommonBuffer;
    if (buffer == nullptr || !host::DmaRegister(block, Length, buffer)) {
        delete buffer;
        std::free(block);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    buffer->block = block;
    buffer->length = Length;
    return Publish(buffer, Attributes, enabler, _ReturnAddress(), CommonBuffer);
}

PVOID WdfCommonBufferGetAlignedVirtualAddress(WDFCOMMONBUFFER CommonBuffer)
{
    auto* buffer =
        As<fx::CommonBuffer>(CommonBuffer, Kind::CommonBuffer, "WdfCommonBufferGetAlignedVirtualAddress");
    return buffer == nullptr ? nullptr : buffer->block;
}

PHYSICAL_ADDRESS WdfCommonBufferGetAlignedLogicalAddress(WDFCOMMONBUFFER CommonBuffer)
{
    auto* buffer =
        As<fx::CommonBuffer>(CommonBuffer, Kind::CommonBuffer, "WdfCommonBufferGetAlignedLogicalAddress");
    PHYSICAL_ADDRESS address;
    address.QuadPart =
        buffer == nullptr ? 0 : static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(buffer->block));
    return address;
}

size_t WdfCommonBufferGetLength(WDFCOMMONBUFFER CommonBuffer)
{
    auto* buffer = As<fx::CommonBuffer>(CommonBuffer, Kind::CommonBuffer, "WdfCommonBufferGetLength");
    return buffer == nullptr ? 0 : buffer->length;
}

void WdfDeviceSetAlignmentRequirement(WDFDEVICE Device, ULONG AlignmentRequirement)
{
    // A mask: one less than a power of two.
    if (auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceSetAlignmentRequirement"))
        if ((AlignmentRequirement & (AlignmentRequirement + 1)) == 0)
            device->alignment = AlignmentRequirement;
}

ULONG WdfDeviceGetAlignmentRequirement(WDFDEVICE Device)
{
    auto* device = As<fx::Device>(Device, Kind::Device, "WdfDeviceGetAlignmentRequirement");
    return device == nullptr ? 0 : device->alignment;
}

} // extern "C"
