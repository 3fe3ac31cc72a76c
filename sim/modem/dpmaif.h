// The modem's DPMAIF engine: the data-path DMA engine that moves IP packets between the host and the
// modem through rings in host memory.
//
// Downlink: the host lends receive buffers through two buffer address tables (BAT: normal buffers and
// 128-byte fragment buffers, 8-byte entries holding the buffer's address) and gives each receive queue
// (0, 1) a packet information ring (PIT, 16-byte entries). For each downlink packet the engine takes a
// normal buffer at the BAT's read index (only while read != write), spills what does not fit into
// fragment buffers, writes the data, then a message entry and one payload entry per buffer into the
// queue's PIT, each with the queue's next sequence number (0..250), then a barrier, then moves the PIT
// write index and raises the queue's downlink-done status. A packet waits until the BATs hold its
// buffers and the PIT its entries (PIT space: the whole ring minus one at initialisation, plus every
// add-count).
//
// Uplink: each transmit queue (0-4) has a DRB ring (16-byte descriptors) latched at the uplink commit.
// The host's add-count (in 32-bit words) adds to the queue's backlog; a queue whose two enable bits are
// set walks whole packets of the backlog: a message descriptor then payload descriptors until one has
// continuation 0; it gathers the bytes, publishes its read index (in words), raises the queue's
// uplink-done status and hands {queue, channel, bytes} on (to the sink, the loopback and the record).
//
// Registers are reached by modem address (Read/Write) or through the three RegisterBlocks the modem
// window maps. Every command takes effect before its busy bit reads clear; unknown registers read 0 and
// keep what was written, so a dump reads whole regions. Interrupt source 0 is asserted while
// (DL status bit 13 and not DL mask bit 8) or (DL status bit 8 and not DL mask bit 10) or (UL status and
// not UL mask); source 5 while (bit 14 and not mask 9) or (bit 9 and not mask 11). Both are re-evaluated
// after every register write and every engine step, and told to the sink with no engine lock held.
//
// The engine reaches host memory only through its DmaPort, with its lock held (whoever reaches the
// register blocks must not hold a lock its DmaPort takes); a refused access is counted (DmaErrors) and
// the packet at hand is lost. Its work runs on its own scheduler: threaded, or stepped by the caller.
#pragma once

#include <ntdef.h>

#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "sim/modem/address_map.h"
#include "sim/modem/block.h"
#include "sim/modem/write_log.h"
#include "sim/pci/scheduler.h"

namespace sim::modem {

namespace dpmaif {

// Where the three register blocks sit (modem addresses) and how much of the window each covers.
inline constexpr ULONG kEngineBase = static_cast<ULONG>(kModemWindowBase + kDpmaifEngine); // 0x1022C000
inline constexpr ULONG kEngineSpan = 0x3000;
inline constexpr ULONG kControlBase = static_cast<ULONG>(kModemWindowBase + kDpmaifControl); // 0x10014000
inline constexpr ULONG kControlSpan = 0x1000;
inline constexpr ULONG kOutsideBase = static_cast<ULONG>(kModemWindowBase + kDpmaifOutside); // 0x10001140
inline constexpr ULONG kOutsideSpan = 0x18;

// Engine registers.
inline constexpr ULONG kUlIdle = 0x1022D088; // bit 11: no uplink backlog
inline constexpr ULONG kUlIdleBit = 1u << 11;
inline constexpr ULONG kDrbAddCount = 0x1022D0B0; // + 4q: bit 31 busy, bits 0-15 words
inline constexpr ULONG kBatCommand = 0x1022D100; // bit 31 busy, bit 16 fragment, bit 0 initialise
inline constexpr ULONG kBatAddCount = 0x1022D104; // bit 31 busy, bit 16 fragment, bits 0-15 count
inline constexpr ULONG kBatBaseLow = 0x1022D108;
inline constexpr ULONG kBatConfig = 0x1022D10C; // bits 0-15 length, bit 16 fragment select / enable
inline constexpr ULONG kBatBaseHigh = 0x1022D150;
inline constexpr ULONG kDlIdle = 0x1022D1B4; // bit 23
inline constexpr ULONG kDlIdleBit = 1u << 23;
inline constexpr ULONG kUlStatus = 0x1022D400; // write 1 to clear
inline constexpr ULONG kDlStatus = 0x1022D450; // write 1 to clear
inline constexpr ULONG kUlCommit = 0x1022D490; // bit 0, self-clearing: latches the DRB rings
inline constexpr ULONG kBaseCommit = 0x1022D494; // bit 0, self-clearing
inline constexpr ULONG kPitCommand = 0x1022D900; // bit 31 busy, bits 16-23 queue, bit 0 initialise
inline constexpr ULONG kPitAddCount = 0x1022D910; // bit 31 busy, bits 20-30 queue, bits 0-17 count
inline constexpr ULONG kPitBaseLow = 0x1022D914;
inline constexpr ULONG kPitLength = 0x1022D918; // bits 0-17
inline constexpr ULONG kPitBaseHigh = 0x1022D924;
inline constexpr ULONG kDlAccepted = 0x1022DC60; // bits 0-17 equal to kDlWritten when drained
inline constexpr ULONG kFragReadIndex = 0x1022DC78;
inline constexpr ULONG kPitWriteIndex = 0x1022DCA4; // + 32q
inline constexpr ULONG kBatReadIndex = 0x1022DCD8;
inline constexpr ULONG kBatWriteIndex = 0x1022DCDC;
inline constexpr ULONG kDlWritten = 0x1022DCEC;
inline constexpr ULONG kDrbBaseLow = 0x1022DD10; // + 16q
inline constexpr ULONG kDrbSize = 0x1022DD14;    // + 16q: bits 0-15 words
inline constexpr ULONG kDrbBaseHigh = 0x1022DD18; // + 16q
inline constexpr ULONG kDrbReadIndex = 0x1022DD70; // + 4q: bits 16-31 words, 0xFFFF invalid

// Control registers.
inline constexpr ULONG kQueueEnable = 0x1001401C; // bit q and run bit q + 8 per transmit queue
inline constexpr ULONG kUlMask = 0x10014080;      // state, 1 = masked
inline constexpr ULONG kUlUnmask = 0x10014084;
inline constexpr ULONG kUlMaskSet = 0x10014088;
inline constexpr ULONG kDlMask = 0x10014090;
inline constexpr ULONG kDlUnmask = 0x10014094;
inline constexpr ULONG kDlMaskSet = 0x10014098;

inline constexpr ULONG kBusy = 0x80000000;
inline constexpr ULONG kIndexBits = 0x3FFFF;

// Downlink status and mask bits.
inline constexpr ULONG DlDoneStatus(ULONG q) { return 1u << (13 + q); }
inline constexpr ULONG DlEventStatus(ULONG q) { return 1u << (8 + q); }
inline constexpr ULONG DlDoneMask(ULONG q) { return 1u << (8 + q); }
inline constexpr ULONG DlEventMask(ULONG q) { return 1u << (10 + q); }

inline constexpr ULONG kRxQueues = 2;
inline constexpr ULONG kTxQueues = 5;
inline constexpr ULONG kSequenceCount = 251; // sequence numbers run 0..250

// Entry layouts (little-endian u32 words).
inline constexpr SIZE_T kBatEntrySize = 8;
inline constexpr SIZE_T kPitEntrySize = 16;
inline constexpr SIZE_T kDrbEntrySize = 16;
inline constexpr ULONG kFragmentSize = 128;
inline constexpr ULONG kNormalSize = 3584;

} // namespace dpmaif

enum class DpmaifBlock { Engine, Control, Outside };

// One register write: the block and the offset in it. Address() is the modem address.
struct DpmaifWrite {
    DpmaifBlock block;
    ULONG offset;
    ULONG value;
    ULONG Address() const;
    bool operator==(const DpmaifWrite&) const = default;
};

// How one downlink packet is written; the defaults make a sound unfragmented packet.
struct DlPacketOptions {
    bool drop = false;      // message entry's drop flag
    ULONG checksum = 0;     // message entry's checksum result (2 bits)
    // Bytes put into the normal buffer at most (none: as many as fit); the rest go into fragments.
    std::optional<SIZE_T> normalBytes{};
    // Faults.
    std::optional<ULONG> badBufferId{};     // the normal payload entry names this buffer id
    std::optional<USHORT> reportedLength{}; // the normal payload entry reports this length
    bool fragmentFirst = false;            // the fragment entries come before the normal one
};

// A packet the engine took from a transmit queue.
struct DpmaifUplinkPacket {
    ULONG queue;
    ULONG channel;
    std::vector<UCHAR> bytes;
    bool operator==(const DpmaifUplinkPacket&) const = default;
};

// Generator mode: downlink packets on `queue`, as fast as the host lends buffers and PIT space,
// cycling through `channels` and `sizes`; `count` packets in all (0: no end). Packet n carries
// GeneratedPayload(n, size).
struct DpmaifGenerator {
    ULONG queue = 0;
    std::vector<ULONG> channels{0};
    std::vector<SIZE_T> sizes{1500};
    ULONG64 count = 0;
};

class DpmaifEngine {
public:
    // Interrupt sources at the MAC: 0 (receive queue 0 and uplink) and 5 (receive queue 1).
    static constexpr ULONG kSource0 = 0;
    static constexpr ULONG kSource1 = 5;

    DpmaifEngine(DmaPort& dma, InterruptSink& interrupts,
                 sim::pci::ExecutionMode mode = sim::pci::ExecutionMode::Threaded);
    ~DpmaifEngine() { Stop(); }
    DpmaifEngine(const DpmaifEngine&) = delete;
    DpmaifEngine& operator=(const DpmaifEngine&) = delete;

    // Ends the engine's work: pending work is dropped, nothing runs after. Not from a sink's call.
    void Stop() { scheduler_.Stop(); }

    RegisterBlock& Block(DpmaifBlock block);
    // By modem address; an address outside the three blocks reads 0 and is not logged.
    ULONG Read(ULONG address);
    void Write(ULONG address, ULONG value);
    // The value held for `address` with no side effect (what the host last programmed, or the engine's
    // own value for an index or status register).
    ULONG Peek(ULONG address) const;

    // Every register write in order (the latest kLogCapacity), whatever the engine made of it.
    static constexpr size_t kLogCapacity = 8192;
    std::vector<DpmaifWrite> Writes() const;
    void ClearWrites();

    // What the engine latched, for assertions.
    struct Ring {
        ULONG64 base = 0;
        ULONG length = 0; // entries
        ULONG read = 0, write = 0;
    };
    Ring Bat(bool fragment) const;
    Ring Pit(ULONG q) const;      // write: the PIT write index; read: entries of space left
    Ring Drb(ULONG q) const;      // length in descriptors; read: the engine's read slot; write: the backlog end
    bool BatEnabled() const;

    // Downlink. Queues a packet for receive queue q on `channel` (written when the rings allow).
    void Inject(ULONG q, ULONG channel, std::vector<UCHAR> bytes, const DlPacketOptions& options = {});
    size_t DownlinkPending(ULONG q) const;
    ULONG64 DownlinkWritten(ULONG q) const; // packets written to the PIT
    // Where the data starts in a lent normal buffer (0 to 3583; 64 by default).
    void SetRxDataOffset(ULONG offset);
    void StartGenerator(const DpmaifGenerator& generator);
    void StopGenerator();
    static std::vector<UCHAR> GeneratedPayload(ULONG64 n, SIZE_T size);

    // Uplink. `sink` hears each packet taken, on the engine's context with no engine lock held.
    void SetUplinkSink(std::function<void(const DpmaifUplinkPacket&)> sink);
    // Loopback: an uplink packet on channel c comes back as a downlink packet on channel c, on receive
    // queue `rxQueue` (none: receive queue 0).
    void SetLoopback(bool on, std::optional<ULONG> rxQueue = std::nullopt);
    // Taken packets are recorded (on by default; a benchmark turns it off).
    void SetUplinkRecording(bool on);
    std::vector<DpmaifUplinkPacket> UplinkPackets() const;
    ULONG64 UplinkCount(ULONG q) const;
    void ClearUplink();
    // Packets taken but not delivered: payload lengths that do not add up to the message length, or a
    // descriptor that is not a message where a packet starts (skipped alone).
    ULONG64 UplinkErrors() const;
    ULONG64 DmaErrors() const;

    // Step mode: runs the engine work due by now (Step) or all of it (Drain); returns actions run.
    size_t Step() { return scheduler_.Step(); }
    size_t Drain() { return scheduler_.Drain(); }
    // Runs the producer and consumers now, on the caller, outside any scheduling (a benchmark does this
    // outside its timed region): writes what the downlink rings allow (at most `packets` generated
    // packets, queued packets first) and walks every uplink backlog. Returns PIT entries written plus
    // descriptors walked.
    size_t RunNow(ULONG64 packets = ~0ull);

    bool SourceAsserted(ULONG source) const;

    // What the host cost the engine since its creation: register reads and writes (through the blocks
    // or by address, the gone engine's included), the writes among them that move a ring's index
    // (BAT, PIT and DRB add-counts), and the interrupt sources' rises to asserted.
    struct Counts {
        ULONG64 reads = 0;
        ULONG64 writes = 0;
        ULONG64 ringIndexWrites = 0;
        ULONG64 interrupts = 0;
    };
    Counts AccessCounts() const;

    // Fault injection.
    // Registers back to their power-on values (all 0, masks clear), rings and backlogs forgotten;
    // queued downlink packets stay queued.
    void LoseConfiguration();
    // The busy bit (bit 31, or bit 0 of a commit register) of the register at `address` stays set and
    // the command is not applied.
    void SetStuckBusy(ULONG address, bool stuck);
    // The normal BAT write index reads back `skew` off the real one.
    void SetBatWriteIndexSkew(LONG skew);
    // The next PIT entry of queue q carries a sequence number `gap` ahead; the numbering goes on from it.
    void SkipSequence(ULONG q, ULONG gap);
    // The next entry of queue q is written with a wrong sequence number, corrected `delay` host time
    // later (on the engine's scheduler).
    void SetLateSequence(ULONG q, LONGLONG delay);
    // The DRB read index of queue q stops moving (the queue takes nothing) / reads 0xFFFF.
    void FreezeDrbReadIndex(ULONG q, bool frozen);
    void SetDrbReadIndexInvalid(ULONG q, bool invalid);
    // Sets status bits as the engine would (a spurious done while masked, an error cause).
    void RaiseStatus(ULONG dlBits, ULONG ulBits);
    // The engine sees no PIT space / no lent buffers while set.
    void SetStarvation(bool pit, bool bat);
    // Gone: reads return 0xFFFFFFFF, writes do nothing, the engine stops and deasserts.
    void SetGone(bool gone);

private:
    struct BatRing {
        ULONG64 base = 0;
        ULONG length = 0;
        ULONG read = 0, write = 0;
    };
    struct PitRing {
        ULONG64 base = 0;
        ULONG length = 0;
        ULONG write = 0;
        ULONG space = 0;
        ULONG sequence = 0;
        ULONG skip = 0;
        std::optional<LONGLONG> late;
        ULONG64 written = 0;
    };
    struct DrbRing {
        ULONG64 base = 0;
        ULONG length = 0; // descriptors
        ULONG read = 0;
        ULONG backlog = 0; // descriptors added and not yet walked
        bool frozen = false;
        bool invalid = false;
    };
    struct DlPacket {
        ULONG channel;
        std::vector<UCHAR> bytes;
        DlPacketOptions options;
    };
    class RegisterView : public RegisterBlock {
    public:
        RegisterView(DpmaifEngine& engine, ULONG base) : engine_(engine), base_(base) {}
        ULONG Read(ULONG64 offset) override;
        void Write(ULONG64 offset, ULONG value) override;

    private:
        DpmaifEngine& engine_;
        ULONG base_;
    };
    // A sequence number to be rewritten later.
    struct LateSequence {
        ULONG64 address;
        UCHAR value;
        LONGLONG delay;
    };

    // The plain word behind `address`; none outside the three blocks.
    ULONG* PlainLocked(ULONG address);
    const ULONG* PlainLocked(ULONG address) const { return const_cast<DpmaifEngine*>(this)->PlainLocked(address); }
    ULONG ReadLocked(ULONG address) const;
    // True when the write gave the engine work.
    bool WriteLocked(ULONG address, ULONG value);
    bool BatCommandLocked(ULONG value);
    void LatchDrbsLocked();
    void LogLocked(ULONG address, ULONG value);
    bool LevelLocked(ULONG source) const;
    void PublishLevels();

    void RequestPass();
    void Pass();
    // Writes packets of queue q while the rings allow; returns entries written.
    size_t ProduceLocked(ULONG q, ULONG64* generated, std::vector<LateSequence>* late);
    bool NextPacketLocked(ULONG q, ULONG64* generated, DlPacket* packet);
    bool WritePacketLocked(ULONG q, const DlPacket& packet, size_t* entries, std::vector<LateSequence>* late);
    ULONG NextSequenceLocked(PitRing& pit);
    // Walks the backlog of transmit queue q; returns descriptors walked.
    size_t ConsumeLocked(ULONG q, std::vector<DpmaifUplinkPacket>* taken);
    void Deliver(std::vector<DpmaifUplinkPacket>& taken);
    size_t RunLocked(ULONG64* packets, std::vector<DpmaifUplinkPacket>* taken, std::vector<LateSequence>* late);
    void ScheduleLate(const std::vector<LateSequence>& late);

    DmaPort& dma_;
    InterruptSink& interrupts_;
    RegisterView engineBlock_{*this, dpmaif::kEngineBase};
    RegisterView controlBlock_{*this, dpmaif::kControlBase};
    RegisterView outsideBlock_{*this, dpmaif::kOutsideBase};

    mutable std::mutex lock_;
    std::vector<ULONG> engineRegs_, controlRegs_, outsideRegs_; // plain registers by word
    ULONG ulStatus_ = 0, dlStatus_ = 0, ulMask_ = 0, dlMask_ = 0;
    bool batEnabled_ = false;
    std::array<BatRing, 2> bats_{}; // normal, fragment
    std::array<PitRing, dpmaif::kRxQueues> pits_{};
    std::array<DrbRing, dpmaif::kTxQueues> drbs_{};
    std::array<std::deque<DlPacket>, dpmaif::kRxQueues> pending_;
    ULONG64 written_ = 0;
    ULONG rxDataOffset_ = 64;
    std::optional<DpmaifGenerator> generator_;
    ULONG64 generated_ = 0;
    std::function<void(const DpmaifUplinkPacket&)> sink_;
    bool loopback_ = false;
    ULONG loopbackQueue_ = 0;
    bool recording_ = true;
    std::vector<DpmaifUplinkPacket> uplink_;
    std::array<ULONG64, dpmaif::kTxQueues> uplinkCount_{};
    ULONG64 uplinkErrors_ = 0, dmaErrors_ = 0;
    std::set<ULONG> stuck_;
    LONG batSkew_ = 0;
    bool pitStarved_ = false, batStarved_ = false;
    bool gone_ = false;
    bool passScheduled_ = false;
    bool publishing_ = false;
    std::array<bool, 2> published_{};
    Counts counts_;
    WriteLog<DpmaifWrite> log_{kLogCapacity};

    sim::pci::Scheduler scheduler_;
};

} // namespace sim::modem
