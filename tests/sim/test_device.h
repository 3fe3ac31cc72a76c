// A small device for the bus's tests: an id register, a scratch register, an interrupt status register
// (write 1 to clear, which lowers the source), a doorbell answered by an interrupt 2 ms later, and a DMA
// engine that writes a pattern to host memory. Its MSI-X table and pending bits sit in BAR 0.
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>
#include <wdm.h>

#include <mutex>
#include <vector>

#include "sim/pci/bus.h"

namespace pcitest {

using sim::pci::Function;
using sim::pci::PowerState;

constexpr LONGLONG Ms(LONGLONG ms) { return ms * 10000; }

class TestDevice : public sim::pci::DeviceModel {
public:
    static constexpr ULONG kId = 0x00, kScratch = 0x04, kStatus = 0x08, kDoorbell = 0x0C;
    static constexpr ULONG kDmaAddress = 0x10, kDmaLength = 0x18, kDmaGo = 0x1C;
    static constexpr ULONG kIdValue = 0x5A17C0DE;
    static constexpr LONGLONG kDoorbellDelay = Ms(2);
    static constexpr ULONG kTable = 0x2000, kPba = 0x3000;

    explicit TestDevice(sim::pci::ExecutionMode mode = sim::pci::ExecutionMode::Threaded) : scheduler(mode) {}

    static sim::pci::FunctionConfig Config(sim::pci::InterruptMode mode, ULONG messages = 4)
    {
        sim::pci::FunctionConfig config;
        config.vendorId = 0x5A5A;
        config.deviceId = 0x7A01;
        config.revisionId = 2;
        config.classCode = 0x0D8000;
        config.subsystemVendorId = 0x5A5A;
        config.subsystemId = 0x0042;
        config.bars[0] = {0x4000, true, false};
        config.bars[2] = {0x1000, false, true};
        config.interrupts = mode;
        config.messages = messages;
        config.msixBar = 0;
        config.msixTableOffset = kTable;
        config.msixPbaOffset = kPba;
        return config;
    }

    void Attach(Function& f) override { function = &f; }

    ULONG64 ReadRegister(ULONG bar, ULONG64 offset, ULONG width) override
    {
        (void)width;
        std::lock_guard<std::mutex> guard(lock);
        if (bar != 0)
            return 0;
        switch (offset) {
        case kId: return kIdValue;
        case kScratch: return scratch;
        case kStatus: return status;
        default: return 0;
        }
    }

    void WriteRegister(ULONG bar, ULONG64 offset, ULONG width, ULONG64 value) override
    {
        (void)width;
        if (bar != 0)
            return;
        ULONG cleared = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            switch (offset) {
            case kScratch: scratch = static_cast<ULONG>(value); break;
            case kStatus:
                cleared = status & static_cast<ULONG>(value);
                status &= ~cleared;
                break;
            case kDoorbell:
                scheduler.After(kDoorbellDelay, [this, value] { Interrupt(static_cast<ULONG>(value)); });
                break;
            case kDmaAddress: dmaAddress = value; break;
            case kDmaLength: dmaLength = static_cast<ULONG>(value); break;
            case kDmaGo: scheduler.After(0, [this] { RunDma(); }); break;
            }
        }
        for (ULONG source = 0; cleared != 0; source++, cleared >>= 1)
            if (cleared & 1)
                function->Lower(source);
    }

    void Reset(sim::pci::ResetKind) override
    {
        std::lock_guard<std::mutex> guard(lock);
        scratch = status = 0;
        resets++;
    }

    void PowerChanged(PowerState, PowerState state) override
    {
        std::lock_guard<std::mutex> guard(lock);
        if (state == PowerState::D3Cold)
            scratch = status = 0;
        powerStates.push_back(state);
    }

    // Raises source `source`, as the device's own logic does: status bit, then the interrupt.
    void Interrupt(ULONG source)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            status |= 1u << source;
            raisedAt = host::ClockNow();
        }
        function->Raise(source);
    }

    void RunDma()
    {
        ULONG64 address;
        ULONG length;
        {
            std::lock_guard<std::mutex> guard(lock);
            address = dmaAddress;
            length = dmaLength;
        }
        std::vector<UCHAR> pattern(length);
        for (ULONG i = 0; i < length; i++)
            pattern[i] = static_cast<UCHAR>(i ^ 0x5A);
        bool ok = function->DmaWrite(address, pattern.data(), length);
        {
            std::lock_guard<std::mutex> guard(lock);
            dmaDone++;
            dmaOk = ok;
        }
        if (ok)
            Interrupt(0);
    }

    sim::pci::Scheduler scheduler;
    Function* function = nullptr;
    std::mutex lock;
    ULONG scratch = 0;
    ULONG status = 0;
    ULONG64 dmaAddress = 0;
    ULONG dmaLength = 0;
    int dmaDone = 0;
    bool dmaOk = false;
    int resets = 0;
    LONGLONG raisedAt = 0;
    std::vector<PowerState> powerStates;
};

// A bus with the test device plugged in; the device's thread stops before the bus goes.
struct Rig {
    explicit Rig(sim::pci::InterruptMode mode, ULONG messages = 4,
                 sim::pci::ExecutionMode execution = sim::pci::ExecutionMode::Threaded)
        : device(execution), function(bus.Plug(TestDevice::Config(mode, messages), device))
    {
    }
    ~Rig() { device.scheduler.Stop(); }

    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Descriptors(bool translated) const
    {
        std::vector<UCHAR> list = translated ? function.TranslatedResources() : function.RawResources();
        CM_RESOURCE_LIST header;
        memcpy(&header, list.data(), std::min(list.size(), sizeof(header)));
        EXPECT_EQ(1u, header.Count);
        std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> out(header.List[0].PartialResourceList.Count);
        memcpy(out.data(), list.data() + offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors),
               out.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        return out;
    }

    TestDevice device;
    sim::pci::Bus bus;
    Function& function;
};

} // namespace pcitest
