#include "sim/modem/dpmaif.h"

#include <algorithm>
#include <cstring>

namespace sim::modem {

using namespace dpmaif;

namespace {

constexpr ULONG kAllOnes = 0xFFFFFFFF;
// Packets one queue writes (or walks) per lock hold: the host's register accesses get in between.
constexpr ULONG kBatch = 64;
constexpr ULONG kDropFlag = 0x80000000; // message entry, word 0

bool Within(ULONG address, ULONG base, ULONG span) { return address >= base && address - base < span; }

// Register `address` of a per-queue array at `base` with `stride`, for `count` queues.
bool QueueRegister(ULONG address, ULONG base, ULONG stride, ULONG count, ULONG* q)
{
    if (address < base || (address - base) % stride != 0 || (address - base) / stride >= count)
        return false;
    *q = (address - base) / stride;
    return true;
}

// The registers whose writes move a ring's index for the engine.
bool IsAddCount(ULONG address)
{
    ULONG q;
    return address == kBatAddCount || address == kPitAddCount || QueueRegister(address, kDrbAddCount, 4, kTxQueues, &q);
}

bool IsBusyRegister(ULONG address) { return address == kBatCommand || address == kPitCommand || IsAddCount(address); }

bool IsCommit(ULONG address) { return address == kUlCommit || address == kBaseCommit; }

ULONG LoadU32(const UCHAR* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

void StoreU32(UCHAR* p, ULONG value)
{
    for (int b = 0; b < 4; b++)
        p[b] = static_cast<UCHAR>(value >> (8 * b));
}

ULONG Available(ULONG read, ULONG write, ULONG length) { return length == 0 ? 0 : (write + length - read) % length; }

// A payload entry: continuation, buffer kind, buffer id, length, data address, sequence number.
void PayloadEntry(UCHAR* entry, bool more, bool fragment, ULONG bid, ULONG length, ULONG64 address, ULONG seq)
{
    StoreU32(entry, (more ? 2u : 0u) | (fragment ? 4u : 0u) | (bid & 0x1FFF) << 3 | (length & 0xFFFF) << 16);
    StoreU32(entry + 4, static_cast<ULONG>(address));
    StoreU32(entry + 8, static_cast<ULONG>(address >> 32));
    StoreU32(entry + 12, (seq & 0xFF) | ((bid >> 13) & 7) << 8);
}

} // namespace

ULONG DpmaifWrite::Address() const
{
    switch (block) {
    case DpmaifBlock::Engine: return kEngineBase + offset;
    case DpmaifBlock::Control: return kControlBase + offset;
    default: return kOutsideBase + offset;
    }
}

DpmaifEngine::DpmaifEngine(DmaPort& dma, InterruptSink& interrupts, sim::pci::ExecutionMode mode)
    : dma_(dma), interrupts_(interrupts), engineRegs_(kEngineSpan / 4), controlRegs_(kControlSpan / 4),
      outsideRegs_(kOutsideSpan / 4), scheduler_(mode)
{
    // A threaded scheduler starts its thread with its first action: start it here rather than from a
    // register handler.
    if (mode == sim::pci::ExecutionMode::Threaded)
        scheduler_.After(0, [] {});
}

// ---------------------------------------------------------------------------------------------
// Registers.
RegisterBlock& DpmaifEngine::Block(DpmaifBlock block)
{
    switch (block) {
    case DpmaifBlock::Engine: return engineBlock_;
    case DpmaifBlock::Control: return controlBlock_;
    default: return outsideBlock_;
    }
}

ULONG DpmaifEngine::RegisterView::Read(ULONG64 offset)
{
    return offset > 0xFFFF ? 0 : engine_.Read(base_ + static_cast<ULONG>(offset));
}

void DpmaifEngine::RegisterView::Write(ULONG64 offset, ULONG value)
{
    if (offset <= 0xFFFF)
        engine_.Write(base_ + static_cast<ULONG>(offset), value);
}

ULONG* DpmaifEngine::PlainLocked(ULONG address)
{
    address &= ~3u;
    if (Within(address, kEngineBase, kEngineSpan))
        return &engineRegs_[(address - kEngineBase) / 4];
    if (Within(address, kControlBase, kControlSpan))
        return &controlRegs_[(address - kControlBase) / 4];
    if (Within(address, kOutsideBase, kOutsideSpan))
        return &outsideRegs_[(address - kOutsideBase) / 4];
    return nullptr;
}

ULONG DpmaifEngine::ReadLocked(ULONG address) const
{
    const ULONG* plain = PlainLocked(address);
    if (plain == nullptr)
        return 0;
    ULONG q;
    if (IsBusyRegister(address))
        return *plain | (stuck_.count(address) ? kBusy : 0);
    if (IsCommit(address))
        return *plain | (stuck_.count(address) ? 1 : 0);
    if (QueueRegister(address, kPitWriteIndex, 32, kRxQueues, &q))
        return pits_[q].write & kIndexBits;
    if (QueueRegister(address, kDrbReadIndex, 4, kTxQueues, &q))
        return drbs_[q].invalid ? 0xFFFF0000 : (drbs_[q].read * 4) << 16;
    switch (address) {
    case kUlIdle: {
        bool idle = std::all_of(drbs_.begin(), drbs_.end(), [](const DrbRing& drb) { return drb.backlog == 0; });
        return *plain | (idle ? kUlIdleBit : 0);
    }
    case kDlIdle: return *plain | kDlIdleBit;
    case kUlStatus: return ulStatus_;
    case kDlStatus: return dlStatus_;
    case kDlAccepted: return static_cast<ULONG>(written_ + pending_[0].size() + pending_[1].size()) & kIndexBits;
    case kDlWritten: return static_cast<ULONG>(written_) & kIndexBits;
    case kFragReadIndex: return bats_[1].read & kIndexBits;
    case kBatReadIndex: return bats_[0].read & kIndexBits;
    case kBatWriteIndex: {
        const BatRing& bat = bats_[0];
        LONG skewed = static_cast<LONG>(bat.write) + batSkew_;
        if (bat.length != 0)
            skewed = (skewed % static_cast<LONG>(bat.length) + static_cast<LONG>(bat.length)) %
                     static_cast<LONG>(bat.length);
        return static_cast<ULONG>(skewed) & kIndexBits;
    }
    case kUlMask: return ulMask_;
    case kDlMask: return dlMask_;
    case kUlUnmask:
    case kUlMaskSet:
    case kDlUnmask:
    case kDlMaskSet: return 0;
    default: return *plain;
    }
}

ULONG DpmaifEngine::Read(ULONG address)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (PlainLocked(address) != nullptr)
        counts_.reads++;
    return gone_ ? kAllOnes : ReadLocked(address);
}

ULONG DpmaifEngine::Peek(ULONG address) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return ReadLocked(address);
}

void DpmaifEngine::Write(ULONG address, ULONG value)
{
    bool work;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (PlainLocked(address) == nullptr)
            return;
        counts_.writes++;
        if (IsAddCount(address & ~3u))
            counts_.ringIndexWrites++;
        LogLocked(address & ~3u, value);
        if (gone_)
            return;
        work = WriteLocked(address & ~3u, value);
    }
    if (work)
        RequestPass();
    PublishLevels();
}

bool DpmaifEngine::WriteLocked(ULONG address, ULONG value)
{
    ULONG* plain = PlainLocked(address);
    ULONG q = 0;
    if (IsBusyRegister(address) || IsCommit(address)) {
        // A stuck engine keeps the command busy and never applies it.
        if (stuck_.count(address))
            return false;
        *plain = value & ~(IsCommit(address) ? 1u : kBusy);
        if (IsCommit(address)) {
            if (address == kUlCommit && (value & 1)) {
                LatchDrbsLocked();
                return true;
            }
            return false;
        }
        if (address == kBatCommand)
            return BatCommandLocked(value);
        if (address == kBatAddCount) {
            BatRing& bat = bats_[(value & 0x10000) ? 1 : 0];
            if (bat.length != 0)
                bat.write = (bat.write + (value & 0xFFFF)) % bat.length;
            return true;
        }
        if (address == kPitCommand) {
            q = (value >> 16) & 0xFF;
            if ((value & 1) && q < kRxQueues) {
                PitRing& pit = pits_[q];
                std::optional<LONGLONG> late = pit.late;
                pit = PitRing{};
                pit.late = late;
                pit.base = *PlainLocked(kPitBaseLow) |
                           static_cast<ULONG64>(*PlainLocked(kPitBaseHigh)) << 32;
                pit.length = *PlainLocked(kPitLength) & kIndexBits;
                pit.space = pit.length == 0 ? 0 : pit.length - 1;
            }
            return true;
        }
        if (address == kPitAddCount) {
            q = (value >> 20) & 0x7FF;
            if (q < kRxQueues && pits_[q].length != 0)
                pits_[q].space = std::min(pits_[q].space + (value & kIndexBits), pits_[q].length - 1);
            return true;
        }
        QueueRegister(address, kDrbAddCount, 4, kTxQueues, &q);
        DrbRing& drb = drbs_[q];
        if (drb.length != 0)
            drb.backlog = std::min(drb.backlog + (value & 0xFFFF) / 4, drb.length - 1);
        return true;
    }
    switch (address) {
    case kUlStatus: ulStatus_ &= ~value; return false;
    case kDlStatus: dlStatus_ &= ~value; return false;
    case kUlUnmask: ulMask_ &= ~value; return false;
    case kUlMaskSet: ulMask_ |= value; return false;
    case kDlUnmask: dlMask_ &= ~value; return false;
    case kDlMaskSet: dlMask_ |= value; return false;
    case kQueueEnable: *plain = value; return true;
    default: *plain = value; return false;
    }
}

// Bit 0 initialises the ring that bit 16 selects from the base and length registers; bit 0 clear applies
// the enable bit (bit 16 of the configuration register) to both rings.
bool DpmaifEngine::BatCommandLocked(ULONG value)
{
    const ULONG config = *PlainLocked(kBatConfig);
    if (!(value & 1)) {
        batEnabled_ = (config & 0x10000) != 0;
        return true;
    }
    BatRing& bat = bats_[(value & 0x10000) ? 1 : 0];
    bat = BatRing{};
    bat.base = *PlainLocked(kBatBaseLow) |
               static_cast<ULONG64>(*PlainLocked(kBatBaseHigh)) << 32;
    bat.length = config & 0xFFFF;
    return true;
}

void DpmaifEngine::LatchDrbsLocked()
{
    for (ULONG q = 0; q < kTxQueues; q++) {
        DrbRing& drb = drbs_[q];
        drb.base = *PlainLocked(kDrbBaseLow + 16 * q) | static_cast<ULONG64>(*PlainLocked(kDrbBaseHigh + 16 * q)) << 32;
        drb.length = (*PlainLocked(kDrbSize + 16 * q) & 0xFFFF) / 4;
        drb.read = 0;
        drb.backlog = 0;
    }
}

void DpmaifEngine::LogLocked(ULONG address, ULONG value)
{
    DpmaifWrite write{DpmaifBlock::Outside, address - kOutsideBase, value};
    if (Within(address, kEngineBase, kEngineSpan))
        write = {DpmaifBlock::Engine, address - kEngineBase, value};
    else if (Within(address, kControlBase, kControlSpan))
        write = {DpmaifBlock::Control, address - kControlBase, value};
    log_.Add(write);
}

std::vector<DpmaifWrite> DpmaifEngine::Writes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return log_.Entries();
}

void DpmaifEngine::ClearWrites()
{
    std::lock_guard<std::mutex> guard(lock_);
    log_.Clear();
}

DpmaifEngine::Ring DpmaifEngine::Bat(bool fragment) const
{
    std::lock_guard<std::mutex> guard(lock_);
    const BatRing& bat = bats_[fragment ? 1 : 0];
    return {bat.base, bat.length, bat.read, bat.write};
}

DpmaifEngine::Ring DpmaifEngine::Pit(ULONG q) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (q >= kRxQueues)
        return {};
    const PitRing& pit = pits_[q];
    return {pit.base, pit.length, pit.space, pit.write};
}

DpmaifEngine::Ring DpmaifEngine::Drb(ULONG q) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (q >= kTxQueues)
        return {};
    const DrbRing& drb = drbs_[q];
    return {drb.base, drb.length, drb.read, drb.length == 0 ? 0 : (drb.read + drb.backlog) % drb.length};
}

bool DpmaifEngine::BatEnabled() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return batEnabled_;
}

// ---------------------------------------------------------------------------------------------
// Interrupt levels.
bool DpmaifEngine::LevelLocked(ULONG source) const
{
    if (gone_)
        return false;
    auto pending = [&](ULONG status, ULONG mask) { return (dlStatus_ & status) != 0 && (dlMask_ & mask) == 0; };
    const ULONG q = source == kSource0 ? 0 : 1;
    bool level = pending(DlDoneStatus(q), DlDoneMask(q)) || pending(DlEventStatus(q), DlEventMask(q));
    if (q == 0)
        level = level || (ulStatus_ & ~ulMask_) != 0;
    return level;
}

DpmaifEngine::Counts DpmaifEngine::AccessCounts() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return counts_;
}

bool DpmaifEngine::SourceAsserted(ULONG source) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return (source == kSource0 || source == kSource1) && LevelLocked(source);
}

// One publisher at a time tells the sink each change; it re-reads the levels after each call, so a
// change made meanwhile by another thread (which found a publisher at work and left it the job) is
// never lost.
void DpmaifEngine::PublishLevels()
{
    constexpr ULONG kSources[] = {kSource0, kSource1};
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (publishing_)
            return;
        publishing_ = true;
    }
    for (;;) {
        ULONG source = 0;
        bool level = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            size_t i = 0;
            while (i < 2 && LevelLocked(kSources[i]) == published_[i])
                i++;
            if (i == 2) {
                publishing_ = false;
                return;
            }
            published_[i] = !published_[i];
            source = kSources[i];
            level = published_[i];
            if (level)
                counts_.interrupts++;
        }
        interrupts_.SetSourceLevel(source, level);
    }
}

// ---------------------------------------------------------------------------------------------
// The engine's work.
void DpmaifEngine::RequestPass()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (passScheduled_)
            return;
        passScheduled_ = true;
    }
    scheduler_.After(0, [this] { Pass(); });
}

void DpmaifEngine::Pass()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        passScheduled_ = false;
    }
    RunNow();
}

size_t DpmaifEngine::RunNow(ULONG64 packets)
{
    size_t total = 0;
    for (;;) {
        std::vector<DpmaifUplinkPacket> taken;
        std::vector<LateSequence> late;
        size_t done;
        {
            std::lock_guard<std::mutex> guard(lock_);
            done = RunLocked(&packets, &taken, &late);
        }
        Deliver(taken);
        ScheduleLate(late);
        PublishLevels();
        if (done == 0)
            return total;
        total += done;
    }
}

// One batch per queue: the uplink first, so that looped packets are written in the same round.
size_t DpmaifEngine::RunLocked(ULONG64* packets, std::vector<DpmaifUplinkPacket>* taken,
                               std::vector<LateSequence>* late)
{
    if (gone_)
        return 0;
    size_t done = 0;
    for (ULONG q = 0; q < kTxQueues; q++)
        done += ConsumeLocked(q, taken);
    for (ULONG q = 0; q < kRxQueues; q++)
        done += ProduceLocked(q, packets, late);
    return done;
}

void DpmaifEngine::Deliver(std::vector<DpmaifUplinkPacket>& taken)
{
    std::function<void(const DpmaifUplinkPacket&)> sink;
    {
        std::lock_guard<std::mutex> guard(lock_);
        sink = sink_;
    }
    if (sink)
        for (const DpmaifUplinkPacket& packet : taken)
            sink(packet);
}

void DpmaifEngine::ScheduleLate(const std::vector<LateSequence>& late)
{
    for (const LateSequence& write : late)
        scheduler_.After(write.delay, [this, write] {
            std::lock_guard<std::mutex> guard(lock_);
            if (!gone_)
                dma_.DmaWrite(write.address, &write.value, 1);
        });
}

// ---------------------------------------------------------------------------------------------
// Downlink.
ULONG DpmaifEngine::NextSequenceLocked(PitRing& pit)
{
    ULONG seq = (pit.sequence + pit.skip) % kSequenceCount;
    pit.skip = 0;
    pit.sequence = (seq + 1) % kSequenceCount;
    return seq;
}

bool DpmaifEngine::NextPacketLocked(ULONG q, ULONG64* generated, DlPacket* packet)
{
    if (!pending_[q].empty()) {
        *packet = pending_[q].front();
        return true;
    }
    if (!generator_ || generator_->queue != q || *generated == 0 ||
        (generator_->count != 0 && generated_ >= generator_->count))
        return false;
    const ULONG64 n = generated_;
    const SIZE_T size = generator_->sizes.empty() ? 0 : generator_->sizes[n % generator_->sizes.size()];
    packet->channel = generator_->channels.empty() ? 0 : generator_->channels[n % generator_->channels.size()];
    packet->bytes = GeneratedPayload(n, size);
    packet->options = {};
    return true;
}

size_t DpmaifEngine::ProduceLocked(ULONG q, ULONG64* generated, std::vector<LateSequence>* late)
{
    size_t entries = 0;
    DlPacket packet;
    for (ULONG n = 0; n < kBatch && NextPacketLocked(q, generated, &packet); n++) {
        if (!WritePacketLocked(q, packet, &entries, late))
            break;
        if (!pending_[q].empty()) {
            pending_[q].pop_front();
        } else {
            generated_++;
            (*generated)--;
        }
    }
    return entries;
}

// False when the rings cannot take the packet yet. A refused DMA loses the packet (counted).
bool DpmaifEngine::WritePacketLocked(ULONG q, const DlPacket& packet, size_t* entries,
                                     std::vector<LateSequence>* late)
{
    PitRing& pit = pits_[q];
    BatRing& normal = bats_[0];
    BatRing& fragments = bats_[1];
    if (pit.length == 0 || !batEnabled_ || pitStarved_ || batStarved_)
        return false;
    const DlPacketOptions& options = packet.options;
    const SIZE_T room = kNormalSize - rxDataOffset_;
    const SIZE_T linear = std::min({packet.bytes.size(), room, options.normalBytes.value_or(room)});
    const SIZE_T rest = packet.bytes.size() - linear;
    const ULONG pieces = 1 + static_cast<ULONG>((rest + kFragmentSize - 1) / kFragmentSize);
    if (pit.space < pieces + 1 || Available(normal.read, normal.write, normal.length) < 1 ||
        Available(fragments.read, fragments.write, fragments.length) < pieces - 1)
        return false;

    // Buffers first: take each at the read index and write its data.
    struct Piece {
        bool fragment;
        ULONG bid;
        ULONG64 address;
        ULONG length;
    };
    std::vector<Piece> taken;
    bool ok = true;
    for (ULONG i = 0; i < pieces; i++) {
        BatRing& bat = i == 0 ? normal : fragments;
        UCHAR entry[kBatEntrySize];
        const SIZE_T from = i == 0 ? 0 : linear + (i - 1) * kFragmentSize;
        const SIZE_T length = i == 0 ? linear : std::min<SIZE_T>(kFragmentSize, rest - (i - 1) * kFragmentSize);
        ok = ok && dma_.DmaRead(bat.base + bat.read * kBatEntrySize, entry, sizeof(entry));
        const ULONG64 buffer = ok ? LoadU32(entry) | static_cast<ULONG64>(LoadU32(entry + 4)) << 32 : 0;
        const ULONG64 data = buffer + (i == 0 ? rxDataOffset_ : 0);
        ok = ok && (length == 0 || dma_.DmaWrite(data, packet.bytes.data() + from, length));
        taken.push_back({i != 0, bat.read, data, static_cast<ULONG>(length)});
        bat.read = (bat.read + 1) % bat.length;
    }
    if (options.badBufferId)
        taken[0].bid = *options.badBufferId;
    if (options.reportedLength)
        taken[0].length = *options.reportedLength;
    if (options.fragmentFirst)
        std::rotate(taken.begin(), taken.begin() + 1, taken.end());

    // Then the entries, one sequence number each, then the write index.
    UCHAR entry[kPitEntrySize] = {};
    ULONG write = pit.write;
    auto put = [&](ULONG seq) {
        ULONG64 at = pit.base + write * kPitEntrySize;
        if (pit.late) {
            late->push_back({at + 12, static_cast<UCHAR>(seq), *pit.late});
            pit.late.reset();
            entry[12] = static_cast<UCHAR>((seq + 1) % kSequenceCount);
        }
        ok = ok && dma_.DmaWrite(at, entry, sizeof(entry));
        write = (write + 1) % pit.length;
        pit.space--;
        (*entries)++;
    };
    StoreU32(entry, 1 | (options.checksum & 3) << 2 | (packet.channel & 0xFF) << 16 | (options.drop ? kDropFlag : 0));
    StoreU32(entry + 4, 0);
    StoreU32(entry + 8, 0);
    const ULONG messageSeq = NextSequenceLocked(pit);
    StoreU32(entry + 12, messageSeq);
    put(messageSeq);
    for (size_t i = 0; i < taken.size(); i++) {
        const Piece& piece = taken[i];
        const ULONG seq = NextSequenceLocked(pit);
        PayloadEntry(entry, i + 1 < taken.size(), piece.fragment, piece.bid, piece.length, piece.address, seq);
        put(seq);
    }
    // The barrier: the write index moves under the engine lock after the entries are written, so a host
    // that reads it through the register (the same lock) sees every entry before it.
    pit.write = write;
    if (!ok)
        dmaErrors_++;
    pit.written++;
    written_++;
    dlStatus_ |= DlDoneStatus(q);
    return true;
}

void DpmaifEngine::Inject(ULONG q, ULONG channel, std::vector<UCHAR> bytes, const DlPacketOptions& options)
{
    if (q >= kRxQueues)
        return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_[q].push_back({channel, std::move(bytes), options});
    }
    RequestPass();
}

size_t DpmaifEngine::DownlinkPending(ULONG q) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return q < kRxQueues ? pending_[q].size() : 0;
}

ULONG64 DpmaifEngine::DownlinkWritten(ULONG q) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return q < kRxQueues ? pits_[q].written : 0;
}

void DpmaifEngine::SetRxDataOffset(ULONG offset)
{
    std::lock_guard<std::mutex> guard(lock_);
    rxDataOffset_ = std::min(offset, kNormalSize - 1);
}

void DpmaifEngine::StartGenerator(const DpmaifGenerator& generator)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        generator_ = generator;
        generated_ = 0;
    }
    RequestPass();
}

void DpmaifEngine::StopGenerator()
{
    std::lock_guard<std::mutex> guard(lock_);
    generator_.reset();
}

std::vector<UCHAR> DpmaifEngine::GeneratedPayload(ULONG64 n, SIZE_T size)
{
    std::vector<UCHAR> bytes(size);
    for (SIZE_T i = 0; i < size; i++)
        bytes[i] = static_cast<UCHAR>(n * 13 + i * 7);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// Uplink.
size_t DpmaifEngine::ConsumeLocked(ULONG q, std::vector<DpmaifUplinkPacket>* taken)
{
    DrbRing& drb = drbs_[q];
    const ULONG enables = *PlainLocked(kQueueEnable);
    if (drb.length == 0 || drb.frozen || !(enables & (1u << q)) || !(enables & (0x100u << q)))
        return 0;
    size_t walked = 0;
    auto descriptor = [&](ULONG slot, UCHAR* words) {
        return dma_.DmaRead(drb.base + ((drb.read + slot) % drb.length) * kDrbEntrySize, words, kDrbEntrySize);
    };
    for (ULONG n = 0; n < kBatch && drb.backlog > 0; n++) {
        UCHAR words[kDrbEntrySize];
        if (!descriptor(0, words)) {
            dmaErrors_++;
            drb.frozen = true; // a refused ring stops the queue
            break;
        }
        const ULONG w0 = LoadU32(words);
        // A message descriptor: bit 0 set, bit 1 clear, bit 2 (payload follows) set.
        ULONG used = 1;
        bool good = (w0 & 7) == 5;
        DpmaifUplinkPacket packet{q, (LoadU32(words + 4) >> 16) & 0xFF, {}};
        if (good) {
            const ULONG length = w0 >> 16;
            bool more = true;
            bool whole = true;
            for (; more; used++) {
                if (used >= drb.backlog) {
                    whole = false;
                    break;
                }
                if (!descriptor(used, words)) {
                    dmaErrors_++;
                    good = false;
                    more = false;
                    continue;
                }
                const ULONG p0 = LoadU32(words);
                const ULONG64 address = LoadU32(words + 4) | static_cast<ULONG64>(LoadU32(words + 8)) << 32;
                const SIZE_T at = packet.bytes.size();
                more = (p0 & 4) != 0;
                good = good && (p0 & 3) == 0;
                packet.bytes.resize(at + (p0 >> 16));
                if (good && (p0 >> 16) != 0 && !dma_.DmaRead(address, packet.bytes.data() + at, p0 >> 16)) {
                    dmaErrors_++;
                    good = false;
                }
            }
            if (!whole)
                break; // the rest of the packet is not announced yet
            good = good && packet.bytes.size() == length;
        }
        drb.read = (drb.read + used) % drb.length;
        drb.backlog -= used;
        walked += used;
        ulStatus_ |= 1u << q;
        if (!good) {
            uplinkErrors_++;
            continue;
        }
        uplinkCount_[q]++;
        if (loopback_)
            pending_[loopbackQueue_].push_back({packet.channel, packet.bytes, {}});
        if (recording_)
            uplink_.push_back(packet);
        if (sink_)
            taken->push_back(std::move(packet));
    }
    return walked;
}

void DpmaifEngine::SetUplinkSink(std::function<void(const DpmaifUplinkPacket&)> sink)
{
    std::lock_guard<std::mutex> guard(lock_);
    sink_ = std::move(sink);
}

void DpmaifEngine::SetLoopback(bool on, std::optional<ULONG> rxQueue)
{
    std::lock_guard<std::mutex> guard(lock_);
    loopback_ = on;
    loopbackQueue_ = std::min(rxQueue.value_or(0), kRxQueues - 1);
}

void DpmaifEngine::SetUplinkRecording(bool on)
{
    std::lock_guard<std::mutex> guard(lock_);
    recording_ = on;
}

std::vector<DpmaifUplinkPacket> DpmaifEngine::UplinkPackets() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return uplink_;
}

ULONG64 DpmaifEngine::UplinkCount(ULONG q) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return q < kTxQueues ? uplinkCount_[q] : 0;
}

void DpmaifEngine::ClearUplink()
{
    std::lock_guard<std::mutex> guard(lock_);
    uplink_.clear();
}

ULONG64 DpmaifEngine::UplinkErrors() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return uplinkErrors_;
}

ULONG64 DpmaifEngine::DmaErrors() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return dmaErrors_;
}

// ---------------------------------------------------------------------------------------------
// Fault injection.
void DpmaifEngine::LoseConfiguration()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto* regs : {&engineRegs_, &controlRegs_, &outsideRegs_})
            std::fill(regs->begin(), regs->end(), 0);
        ulStatus_ = dlStatus_ = ulMask_ = dlMask_ = 0;
        batEnabled_ = false;
        bats_ = {};
        for (PitRing& pit : pits_) {
            std::optional<LONGLONG> late = pit.late;
            pit = PitRing{};
            pit.late = late;
        }
        for (DrbRing& drb : drbs_)
            drb = DrbRing{{}, {}, {}, {}, drb.frozen, drb.invalid};
        written_ = 0;
    }
    PublishLevels();
}

void DpmaifEngine::SetStuckBusy(ULONG address, bool stuck)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (stuck)
        stuck_.insert(address);
    else
        stuck_.erase(address);
}

void DpmaifEngine::SetBatWriteIndexSkew(LONG skew)
{
    std::lock_guard<std::mutex> guard(lock_);
    batSkew_ = skew;
}

void DpmaifEngine::SkipSequence(ULONG q, ULONG gap)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (q < kRxQueues)
        pits_[q].skip = gap;
}

void DpmaifEngine::SetLateSequence(ULONG q, LONGLONG delay)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (q < kRxQueues)
        pits_[q].late = delay;
}

void DpmaifEngine::FreezeDrbReadIndex(ULONG q, bool frozen)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (q >= kTxQueues)
            return;
        drbs_[q].frozen = frozen;
    }
    if (!frozen)
        RequestPass();
}

void DpmaifEngine::SetDrbReadIndexInvalid(ULONG q, bool invalid)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (q < kTxQueues)
        drbs_[q].invalid = invalid;
}

void DpmaifEngine::RaiseStatus(ULONG dlBits, ULONG ulBits)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        dlStatus_ |= dlBits;
        ulStatus_ |= ulBits;
    }
    PublishLevels();
}

void DpmaifEngine::SetStarvation(bool pit, bool bat)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        pitStarved_ = pit;
        batStarved_ = bat;
    }
    RequestPass();
}

void DpmaifEngine::SetGone(bool gone)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        gone_ = gone;
    }
    if (!gone)
        RequestPass();
    PublishLevels();
}

} // namespace sim::modem
