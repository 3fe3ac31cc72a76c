// How the modem's blocks meet: the modem window routes register accesses to the block mapped at an
// offset, and a block reaches the MAC's interrupt status through a sink. Blocks act like hardware: their
// register handlers run on the driver's thread at its IRQL, so they never block or allocate.
#pragma once

#include <ntdef.h>

namespace sim::modem {

// A register block of 32-bit registers, reached at byte offsets from the block's start.
class RegisterBlock {
public:
    virtual ~RegisterBlock() = default;
    virtual ULONG Read(ULONG64 offset) = 0;
    virtual void Write(ULONG64 offset, ULONG value) = 0;
};

// The MAC's view of an interrupt source (source n is status bit 24 + n): a level a block holds while
// it wants service. The MAC's status bit follows it: set while the level is high (clearing it then sets
// it again), delivered per the MAC's masks.
class InterruptSink {
public:
    virtual ~InterruptSink() = default;
    virtual void SetSourceLevel(ULONG source, bool asserted) = 0;
};

// DMA to host memory, checked by the host against live allocations; false when refused.
class DmaPort {
public:
    virtual ~DmaPort() = default;
    virtual bool DmaRead(ULONG64 address, void* buffer, SIZE_T length) = 0;
    virtual bool DmaWrite(ULONG64 address, const void* data, SIZE_T length) = 0;
};

} // namespace sim::modem
