// What the CLDMA engine's tests share: DMA through the host's checked accessors, an interrupt sink that
// records the level, descriptor rings in non-paged pool, and an engine with a scripted peer.
#pragma once

#include <gtest/gtest.h>

#include <host/dma.h>
#include <wdm.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "sim/modem/address_map.h"
#include "sim/modem/cldma.h"

namespace cldmatest {

using namespace sim::modem;
using namespace sim::modem::cldma;
using sim::pci::ExecutionMode;

inline constexpr ULONG kTag = 0x616D6443; // "Cdma" read as little-endian text
inline constexpr UCHAR kArmed = kGpdHwo | kGpdIoc;

class HostDma : public DmaPort {
public:
    bool DmaRead(ULONG64 address, void* buffer, SIZE_T length) override
    {
        return host::DmaRead(address, buffer, length);
    }
    bool DmaWrite(ULONG64 address, const void* data, SIZE_T length) override
    {
        return host::DmaWrite(address, data, length);
    }
};

class RecordingSink : public InterruptSink {
public:
    RecordingSink() { KeInitializeEvent(&raised_, SynchronizationEvent, FALSE); }

    void SetSourceLevel(ULONG source, bool asserted) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            levels_.emplace_back(source, asserted);
        }
        if (asserted)
            KeSetEvent(&raised_, IO_NO_INCREMENT, FALSE);
    }

    std::vector<std::pair<ULONG, bool>> Levels() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return levels_;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        levels_.clear();
    }
    // A host wait for the next assertion; false when `timeout` (100 ns units) passed first.
    bool WaitRaised(LONGLONG timeout)
    {
        LARGE_INTEGER due;
        due.QuadPart = -timeout;
        return KeWaitForSingleObject(&raised_, Executive, KernelMode, FALSE, &due) == STATUS_SUCCESS;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::pair<ULONG, bool>> levels_;
    KEVENT raised_;
};

// `count` descriptors linked in a circle in one non-paged block, each with a buffer of `bufferSize`.
class Ring {
public:
    Ring(ULONG count, USHORT bufferSize) : count_(count), bufferSize_(bufferSize)
    {
        gpds_ = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, count * kGpdSize, kTag));
        for (ULONG i = 0; i < count; i++) {
            buffers_.push_back(static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bufferSize, kTag)));
            PutAddress(i, kGpdNext, Address((i + 1) % count));
            PutAddress(i, kGpdData, reinterpret_cast<ULONG64>(buffers_[i]));
        }
    }
    ~Ring()
    {
        for (UCHAR* buffer : buffers_)
            ExFreePoolWithTag(buffer, kTag);
        ExFreePoolWithTag(gpds_, kTag);
    }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    ULONG Count() const { return count_; }
    ULONG64 Address(ULONG i) const { return reinterpret_cast<ULONG64>(gpds_ + i * kGpdSize); }
    UCHAR* Gpd(ULONG i) { return gpds_ + i * kGpdSize; }
    UCHAR Flags(ULONG i) const { return gpds_[i * kGpdSize + kGpdFlags]; }
    USHORT Length(ULONG i) const { return U16(i, kGpdLength); }
    ULONG64 Data(ULONG i) const { return reinterpret_cast<ULONG64>(buffers_[i]); }
    std::vector<UCHAR> Received(ULONG i, SIZE_T length) const { return {buffers_[i], buffers_[i] + length}; }
    std::vector<UCHAR> Received(ULONG i) const { return Received(i, Length(i)); }

    void SetFlags(ULONG i, UCHAR flags) { gpds_[i * kGpdSize + kGpdFlags] = flags; }
    // A transmit descriptor holding `bytes`, handed to the engine with `flags`.
    void Fill(ULONG i, const std::vector<UCHAR>& bytes, UCHAR flags = kArmed)
    {
        std::copy(bytes.begin(), bytes.end(), buffers_[i]);
        PutU16(i, kGpdLength, static_cast<USHORT>(bytes.size()));
        SetFlags(i, flags);
    }
    // A receive descriptor with an empty buffer of `allow` bytes (the whole buffer by default).
    void Arm(ULONG i, UCHAR flags = kArmed, int allow = -1)
    {
        PutU16(i, kGpdAllowLength, static_cast<USHORT>(allow < 0 ? bufferSize_ : allow));
        PutU16(i, kGpdLength, 0);
        SetFlags(i, flags);
    }
    void PutAddress(ULONG i, ULONG offset, ULONG64 address)
    {
        PutU32(i, offset, static_cast<ULONG>(address >> 32));
        PutU32(i, offset + 4, static_cast<ULONG>(address));
    }

private:
    USHORT U16(ULONG i, ULONG offset) const
    {
        const UCHAR* p = gpds_ + i * kGpdSize + offset;
        return static_cast<USHORT>(p[0] | p[1] << 8);
    }
    void PutU16(ULONG i, ULONG offset, USHORT value)
    {
        UCHAR* p = gpds_ + i * kGpdSize + offset;
        p[0] = static_cast<UCHAR>(value);
        p[1] = static_cast<UCHAR>(value >> 8);
    }
    void PutU32(ULONG i, ULONG offset, ULONG value)
    {
        for (int b = 0; b < 4; b++)
            gpds_[i * kGpdSize + offset + b] = static_cast<UCHAR>(value >> (8 * b));
    }

    ULONG count_;
    USHORT bufferSize_;
    UCHAR* gpds_;
    std::vector<UCHAR*> buffers_;
};

inline std::vector<UCHAR> Pattern(SIZE_T length, UCHAR seed)
{
    std::vector<UCHAR> bytes(length);
    for (SIZE_T i = 0; i < length; i++)
        bytes[i] = static_cast<UCHAR>(seed + i * 7);
    return bytes;
}

// One engine with its DMA, recorded interrupt level and scripted peer; stepped unless threaded.
struct Rig {
    explicit Rig(ExecutionMode mode = ExecutionMode::Step, ULONG source = kSourceCldmaSap)
        : engine(dma, sink, source, mode), peer(engine)
    {
        engine.SetPeer(&peer);
    }
    ~Rig() { engine.Stop(); }

    ULONG A(ULONG offset) { return engine.BlockA().Read(offset); }
    ULONG B(ULONG offset) { return engine.BlockB().Read(offset); }
    void A(ULONG offset, ULONG value) { engine.BlockA().Write(offset, value); }
    void B(ULONG offset, ULONG value) { engine.BlockB().Write(offset, value); }

    ULONG64 Current(CldmaDirection direction, ULONG q)
    {
        bool tx = direction == CldmaDirection::Tx;
        RegisterBlock& block = tx ? engine.BlockB() : engine.BlockA();
        ULONG at = (tx ? kTxCurrentAddress : kRxCurrentAddress) + 8 * q;
        return block.Read(at) | static_cast<ULONG64>(block.Read(at + 4)) << 32;
    }
    // Programs the start address of queue q and starts it, as the host driver does.
    void Start(CldmaDirection direction, ULONG q, ULONG64 address)
    {
        bool tx = direction == CldmaDirection::Tx;
        RegisterBlock& block = tx ? engine.BlockB() : engine.BlockA();
        ULONG at = (tx ? kTxStartAddress : kRxStartAddress) + 8 * q;
        block.Write(at, static_cast<ULONG>(address));
        block.Write(at + 4, static_cast<ULONG>(address >> 32));
        B(tx ? kTxStart : kRxStart, 1u << q);
    }

    HostDma dma;
    RecordingSink sink;
    CldmaEngine engine;
    CldmaScriptedPeer peer;
};

} // namespace cldmatest
