// What the DPMAIF engine's tests share: the engine alone (DMA through the host's checked accessors, a
// recording interrupt sink), its rings and buffers in non-paged pool, and the host's side of the rings
// written as a driver does: programming, lending buffers, reading packets off the PIT, returning PIT
// entries, writing DRB descriptors.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include <cstring>
#include <map>
#include <vector>

#include "modem_cldma_rig.h"
#include "sim/modem/dpmaif.h"

namespace dpmaiftest {

using namespace sim::modem;
using namespace sim::modem::dpmaif;
using cldmatest::HostDma;
using cldmatest::Pattern;
using cldmatest::RecordingSink;
using sim::pci::ExecutionMode;

inline constexpr ULONG kTag = 0x6D706444; // "Ddpm" read as little-endian text

inline ULONG U32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }
inline void PutU32(UCHAR* p, ULONG value)
{
    for (int b = 0; b < 4; b++)
        p[b] = static_cast<UCHAR>(value >> (8 * b));
}

// Zeroed non-paged memory the engine may reach.
class Memory {
public:
    explicit Memory(SIZE_T size) : size_(size)
    {
        bytes_ = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag));
        std::memset(bytes_, 0, size);
    }
    ~Memory() { ExFreePoolWithTag(bytes_, kTag); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;

    UCHAR* At(SIZE_T offset) { return bytes_ + offset; }
    ULONG64 Address(SIZE_T offset = 0) const { return reinterpret_cast<ULONG64>(bytes_ + offset); }
    SIZE_T Size() const { return size_; }

private:
    SIZE_T size_;
    UCHAR* bytes_;
};

// A table of `length` 8-byte entries, each lending one buffer of `bufferSize` from one block.
struct BatTable {
    BatTable(ULONG length, ULONG bufferSize)
        : length(length), bufferSize(bufferSize), ring(length * kBatEntrySize), buffers(length * bufferSize)
    {
        for (ULONG i = 0; i < length; i++) {
            ULONG64 address = buffers.Address(i * bufferSize);
            PutU32(ring.At(i * kBatEntrySize), static_cast<ULONG>(address));
            PutU32(ring.At(i * kBatEntrySize + 4), static_cast<ULONG>(address >> 32));
        }
    }
    ULONG64 Buffer(ULONG bid) const { return buffers.Address(bid * bufferSize); }

    ULONG length, bufferSize;
    Memory ring, buffers;
};

// One PIT entry as the host reads it.
struct PitEntry {
    ULONG w[4];
    bool Message() const { return w[0] & 1; }
    ULONG Channel() const { return (w[0] >> 16) & 0xFF; }
    ULONG Checksum() const { return (w[0] >> 2) & 3; }
    bool Drop() const { return (w[0] >> 31) != 0; }
    bool More() const { return (w[0] >> 1) & 1; }
    bool Fragment() const { return (w[0] >> 2) & 1; }
    ULONG Bid() const { return (w[3] & 0x700) << 5 | ((w[0] >> 3) & 0x1FFF); }
    ULONG Length() const { return w[0] >> 16; }
    ULONG64 Address() const { return w[1] | static_cast<ULONG64>(w[2]) << 32; }
    ULONG Seq() const { return w[3] & 0xFF; }
};

struct RxPacket {
    ULONG channel;
    std::vector<UCHAR> bytes;
    ULONG checksum;
    ULONG pieces;
};

// The engine with small rings. Receive queues share the two BATs, as a driver's do.
struct Rig {
    static constexpr ULONG kBatEntries = 64;
    static constexpr ULONG kFragEntries = 32;
    static constexpr ULONG kPitEntries = 128;
    static constexpr ULONG kDrbEntries = 64;

    explicit Rig(ExecutionMode mode = ExecutionMode::Step)
        : engine(dma, sink, mode), bat(kBatEntries, kNormalSize), frag(kFragEntries, kFragmentSize),
          pits{Memory(kPitEntries * kPitEntrySize), Memory(kPitEntries * kPitEntrySize)},
          drbs{Memory(kDrbEntries * kDrbEntrySize), Memory(kDrbEntries * kDrbEntrySize), Memory(kDrbEntries * kDrbEntrySize),
               Memory(kDrbEntries * kDrbEntrySize), Memory(kDrbEntries * kDrbEntrySize)}
    {
    }
    ~Rig() { engine.Stop(); }

    ULONG R(ULONG address) { return engine.Read(address); }
    void W(ULONG address, ULONG value) { engine.Write(address, value); }
    // A command as the driver issues it: wait for busy clear, write, wait again; false on a timeout.
    bool Command(ULONG address, ULONG value, ULONG busy = kBusy)
    {
        auto idle = [&] {
            for (int i = 0; i < 1000; i++)
                if (!(R(address) & busy))
                    return true;
            return false;
        };
        if (!idle())
            return false;
        W(address, value);
        return idle();
    }

    // The rings given to the engine and the buffers lent (length - 1 each), as a driver's start does.
    void Start()
    {
        ProgramBat(true, frag);
        ProgramBat(false, bat);
        for (ULONG q = 0; q < kRxQueues; q++) {
            W(kPitBaseLow, static_cast<ULONG>(pits[q].Address()));
            W(kPitBaseHigh, static_cast<ULONG>(pits[q].Address() >> 32));
            W(kPitLength, kPitEntries);
            ASSERT_TRUE(Command(kPitCommand, 0x80000001 | q << 16));
        }
        W(kBatConfig, R(kBatConfig) | 0x10000);
        ASSERT_TRUE(Command(kBatCommand, kBusy));
        ULONG enables = 0;
        for (ULONG q = 0; q < kTxQueues; q++) {
            W(kDrbBaseLow + 16 * q, static_cast<ULONG>(drbs[q].Address()));
            W(kDrbBaseHigh + 16 * q, static_cast<ULONG>(drbs[q].Address() >> 32));
            W(kDrbSize + 16 * q, kDrbEntries * 4);
            enables |= 0x101u << q;
        }
        W(kQueueEnable, enables);
        ASSERT_TRUE(Command(kUlCommit, 1, 1));
        ASSERT_TRUE(Command(kBatAddCount, kBusy | (kBatEntries - 1)));
        ASSERT_TRUE(Command(kBatAddCount, kBusy | 0x10000 | (kFragEntries - 1)));
        batWrite = kBatEntries - 1;
        fragWrite = kFragEntries - 1;
    }
    void ProgramBat(bool fragment, BatTable& table)
    {
        W(kBatBaseLow, static_cast<ULONG>(table.ring.Address()));
        W(kBatBaseHigh, static_cast<ULONG>(table.ring.Address() >> 32));
        W(kBatConfig, table.length | (fragment ? 0x10000 : 0));
        ASSERT_TRUE(Command(kBatCommand, fragment ? 0x80010001 : 0x80000001));
    }

    PitEntry Entry(ULONG q, ULONG i)
    {
        PitEntry entry;
        for (int w = 0; w < 4; w++)
            entry.w[w] = U32(pits[q].At(i * kPitEntrySize + 4 * w));
        return entry;
    }
    // Reads every packet the engine has published on queue q, checking the entries as it goes, returns
    // the PIT entries (add-count) and lends the buffers again (add-counts) as a driver's refill does.
    std::vector<RxPacket> Receive(ULONG q)
    {
        std::vector<RxPacket> packets;
        const ULONG write = R(kPitWriteIndex + 32 * q) & kIndexBits;
        ULONG taken = 0;
        RxPacket packet{};
        for (; pitRead[q] != write; pitRead[q] = (pitRead[q] + 1) % kPitEntries, taken++) {
            PitEntry entry = Entry(q, pitRead[q]);
            EXPECT_EQ(expectedSeq[q], entry.Seq());
            expectedSeq[q] = (expectedSeq[q] + 1) % kSequenceCount;
            if (entry.Message()) {
                packet = RxPacket{entry.Channel(), {}, entry.Checksum(), 0};
                continue;
            }
            BatTable& table = entry.Fragment() ? frag : bat;
            EXPECT_LT(entry.Bid(), table.length);
            const UCHAR* data = reinterpret_cast<const UCHAR*>(entry.Address());
            EXPECT_GE(entry.Address(), table.Buffer(entry.Bid()));
            EXPECT_LE(entry.Address() + entry.Length(), table.Buffer(entry.Bid()) + table.bufferSize);
            packet.bytes.insert(packet.bytes.end(), data, data + entry.Length());
            packet.pieces++;
            (entry.Fragment() ? fragConsumed : batConsumed).at(entry.Bid()) = true;
            if (!entry.More())
                packets.push_back(packet);
        }
        Return(q, taken, Release(batConsumed, batRelease), Release(fragConsumed, fragRelease));
        return packets;
    }
    // The slots from the release index on that the host has read, in ring order: both queues take
    // from the same tables, so a slot read on one queue may wait for an older one still unread on the
    // other.
    static ULONG Release(std::vector<bool>& consumed, ULONG& release)
    {
        ULONG n = 0;
        for (; consumed[release]; n++, release = (release + 1) % consumed.size())
            consumed[release] = false;
        return n;
    }
    void Return(ULONG q, ULONG entries, ULONG normal, ULONG fragments)
    {
        if (entries != 0) {
            EXPECT_TRUE(Command(kPitAddCount, ((q | 0x800) << 20) | entries));
        }
        if (normal != 0) {
            EXPECT_TRUE(Command(kBatAddCount, kBusy | normal));
            batWrite = (batWrite + normal) % kBatEntries;
            EXPECT_EQ(batWrite, R(kBatWriteIndex));
        }
        if (fragments != 0) {
            EXPECT_TRUE(Command(kBatAddCount, kBusy | 0x10000 | fragments));
        }
    }

    // Writes one packet into DRB ring q at its write slot: a message descriptor, then one payload
    // descriptor per piece; returns the descriptors used. The data stays alive in `payloads`.
    ULONG Send(ULONG q, ULONG channel, const std::vector<std::vector<UCHAR>>& pieces)
    {
        ULONG length = 0;
        for (const auto& piece : pieces)
            length += static_cast<ULONG>(piece.size());
        auto slot = [&](ULONG i) { return drbs[q].At(((drbWrite[q] + i) % kDrbEntries) * kDrbEntrySize); };
        PutU32(slot(0), 1 | 4 | length << 16);
        PutU32(slot(0) + 4, channel << 16 | 1u << 29);
        for (ULONG i = 0; i < pieces.size(); i++) {
            payloads.emplace_back(std::max<SIZE_T>(pieces[i].size(), 1));
            Memory& data = payloads.back();
            if (!pieces[i].empty())
                std::memcpy(data.At(0), pieces[i].data(), pieces[i].size());
            PutU32(slot(i + 1), (i + 1 < pieces.size() ? 4 : 0) | static_cast<ULONG>(pieces[i].size()) << 16);
            PutU32(slot(i + 1) + 4, static_cast<ULONG>(data.Address()));
            PutU32(slot(i + 1) + 8, static_cast<ULONG>(data.Address() >> 32));
        }
        const ULONG used = static_cast<ULONG>(pieces.size()) + 1;
        drbWrite[q] = (drbWrite[q] + used) % kDrbEntries;
        return used;
    }
    bool Announce(ULONG q, ULONG descriptors) { return Command(kDrbAddCount + 4 * q, kBusy | descriptors * 4); }
    ULONG DrbRead(ULONG q) { return (R(kDrbReadIndex + 4 * q) >> 16) / 4; }

    HostDma dma;
    RecordingSink sink;
    DpmaifEngine engine;
    BatTable bat, frag;
    std::array<Memory, kRxQueues> pits;
    std::array<Memory, kTxQueues> drbs;
    std::deque<Memory> payloads;
    std::array<ULONG, kRxQueues> pitRead{}, expectedSeq{};
    std::array<ULONG, kTxQueues> drbWrite{};
    ULONG batWrite = 0, fragWrite = 0;
    std::vector<bool> batConsumed = std::vector<bool>(kBatEntries), fragConsumed = std::vector<bool>(kFragEntries);
    ULONG batRelease = 0, fragRelease = 0;
};

} // namespace dpmaiftest
