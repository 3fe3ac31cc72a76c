#include "sim/modem/cldma.h"

#include <algorithm>
#include <cstring>

namespace sim::modem {

using namespace cldma;

namespace {

constexpr ULONG kAllQueues = (1u << kCldmaQueues) - 1;
constexpr ULONG kAllOnes = 0xFFFFFFFF;

// A queue's 64-bit address register as two 32-bit words from `base`: low at base + 8q, high at + 4.
bool AddressWord(ULONG offset, ULONG base, ULONG* q, bool* high)
{
    if (offset < base || offset >= base + 8 * kCldmaQueues || (offset - base) % 4 != 0)
        return false;
    *q = (offset - base) / 8;
    *high = (offset - base) % 8 == 4;
    return true;
}

ULONG Word(ULONG64 value, bool high) { return static_cast<ULONG>(high ? value >> 32 : value); }

void SetWord(ULONG64& value, bool high, ULONG word)
{
    if (high)
        value = (value & 0xFFFFFFFFull) | static_cast<ULONG64>(word) << 32;
    else
        value = (value & ~0xFFFFFFFFull) | word;
}

ULONG GpdU32(const UCHAR* gpd, ULONG offset)
{
    return gpd[offset] | gpd[offset + 1] << 8 | gpd[offset + 2] << 16 | static_cast<ULONG>(gpd[offset + 3]) << 24;
}

USHORT GpdU16(const UCHAR* gpd, ULONG offset) { return static_cast<USHORT>(gpd[offset] | gpd[offset + 1] << 8); }

// Addresses are stored high word first.
ULONG64 GpdAddress(const UCHAR* gpd, ULONG offset)
{
    return static_cast<ULONG64>(GpdU32(gpd, offset)) << 32 | GpdU32(gpd, offset + 4);
}

} // namespace

CldmaEngine::CldmaEngine(DmaPort& dma, InterruptSink& interrupts, ULONG source, sim::pci::ExecutionMode mode)
    : dma_(dma), interrupts_(interrupts), source_(source), log_(kLogCapacity), scheduler_(mode)
{
    // A threaded scheduler starts its thread with its first action: start it here rather than from a
    // register handler.
    if (mode == sim::pci::ExecutionMode::Threaded)
        scheduler_.After(0, [] {});
}

// ---------------------------------------------------------------------------------------------
// Registers.
ULONG CldmaEngine::Read(CldmaBlock block, ULONG64 offset)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_)
        return kAllOnes;
    return offset > 0xFFFFFFFFull ? 0 : ReadLocked(block, static_cast<ULONG>(offset));
}

ULONG CldmaEngine::ReadLocked(CldmaBlock block, ULONG offset) const
{
    ULONG q;
    bool high;
    if (block == CldmaBlock::A) {
        if (AddressWord(offset, kRxStartAddress, &q, &high))
            return Word(rx_.start[q], high);
        if (AddressWord(offset, kRxCurrentAddress, &q, &high))
            return Word(rx_.current[q], high);
        switch (offset) {
        case kRxConfig: return rxConfig_;
        case kRxRunning: return rx_.running;
        case kRxMask: return rx_.mask;
        case kRxInit1: return rxInit1_;
        case kRxInit2: return rxInit2_;
        default: return 0;
        }
    }
    if (AddressWord(offset, kTxStartAddress, &q, &high))
        return Word(tx_.start[q], high);
    if (AddressWord(offset, kTxCurrentAddress, &q, &high))
        return Word(tx_.current[q], high);
    switch (offset) {
    case kTxRunning: return tx_.running;
    case kTxConfig: return txConfig_;
    case kTxInit1: return txInit1_;
    case kTxInit2: return txInit2_;
    case kTxStatus: return tx_.status;
    case kTxMask: return tx_.mask;
    case kTxError0: return tx_.errors[0];
    case kTxError1: return tx_.errors[1];
    case kRxStatus: return rx_.status;
    case kRxError0: return rx_.errors[0];
    case kRxError1: return rx_.errors[1];
    case kRearm: return rearm_;
    default: return 0;
    }
}

void CldmaEngine::Write(CldmaBlock block, ULONG64 offset, ULONG value)
{
    bool runQueues = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ULONG at = offset > 0xFFFFFFFFull ? kAllOnes : static_cast<ULONG>(offset);
        LogLocked(block, at, value);
        if (gone_)
            return;
        runQueues = WriteLocked(block, at, value);
    }
    if (runQueues)
        RequestPass();
    PublishLevel();
}

bool CldmaEngine::WriteLocked(CldmaBlock block, ULONG offset, ULONG value)
{
    ULONG q;
    bool high;
    if (block == CldmaBlock::A) {
        if (AddressWord(offset, kRxStartAddress, &q, &high)) {
            SetWord(rx_.start[q], high, value);
            return false;
        }
        switch (offset) {
        case kRxConfig: rxConfig_ = value; break;
        case kRxUnmask: rx_.mask &= ~value; break;
        case kRxMaskSet: rx_.mask |= value; break;
        case kRxInit1: rxInit1_ = value; break;
        case kRxInit2: rxInit2_ = value; break;
        default: break; // read-only or nothing there
        }
        return false;
    }
    if (AddressWord(offset, kTxStartAddress, &q, &high)) {
        SetWord(tx_.start[q], high, value);
        return false;
    }
    switch (offset) {
    case kTxStart:
    case kTxResume:
    case kTxStop: return Command(tx_, offset - kTxStart, value);
    case kRxStart:
    case kRxResume:
    case kRxStop: return Command(rx_, offset - kRxStart, value);
    case kTxConfig: txConfig_ = value; break;
    case kTxInit1: txInit1_ = value; break;
    case kTxInit2: txInit2_ = value; break;
    case kTxStatus: tx_.status &= ~value; break;
    case kTxUnmask: tx_.mask &= ~value; break;
    case kTxMaskSet: tx_.mask |= value; break;
    case kTxError0: tx_.errors[0] &= ~value; break;
    case kTxError1: tx_.errors[1] &= ~value; break;
    case kRxStatus: rx_.status &= ~value; break;
    case kRxError0: rx_.errors[0] &= ~value; break;
    case kRxError1: rx_.errors[1] &= ~value; break;
    case kRearm: rearm_ = value; break;
    default: break;
    }
    return false;
}

// `command` is the offset from the side's start command: 0 start, 4 resume, 8 stop.
bool CldmaEngine::Command(Side& side, ULONG command, ULONG value)
{
    ULONG queues = value & kAllQueues;
    switch (command) {
    case 0:
        for (ULONG q = 0; q < kCldmaQueues; q++)
            if (queues & (1u << q))
                side.current[q] = side.start[q];
        side.running |= queues;
        return queues != 0;
    case 4:
        side.running |= queues;
        return queues != 0;
    default:
        side.running &= ~(queues & ~side.stuck);
        return false;
    }
}

void CldmaEngine::LogLocked(CldmaBlock block, ULONG offset, ULONG value)
{
    log_.Add(CldmaWrite{block, offset, value});
}

std::vector<CldmaWrite> CldmaEngine::Writes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return log_.Entries();
}

void CldmaEngine::ClearWrites()
{
    std::lock_guard<std::mutex> guard(lock_);
    log_.Clear();
}

// ---------------------------------------------------------------------------------------------
// Interrupt level.
bool CldmaEngine::LevelLocked() const
{
    return !gone_ && ((tx_.status & ~tx_.mask) != 0 || (rx_.status & ~rx_.mask) != 0);
}

bool CldmaEngine::InterruptAsserted() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return LevelLocked();
}

// The publisher re-reads the level after each call into the sink, so a change made meanwhile by
// another thread (which found a publisher at work and left it the job) is never lost.
void CldmaEngine::PublishLevel()
{
    bool level;
    {
        std::lock_guard<std::mutex> guard(lock_);
        level = LevelLocked();
        if (publishing_ || level == published_)
            return;
        publishing_ = true;
        published_ = level;
    }
    for (;;) {
        interrupts_.SetSourceLevel(source_, level);
        std::lock_guard<std::mutex> guard(lock_);
        level = LevelLocked();
        if (level == published_) {
            publishing_ = false;
            return;
        }
        published_ = level;
    }
}

// ---------------------------------------------------------------------------------------------
// The queues.
void CldmaEngine::RequestPass()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (passScheduled_)
            return;
        passScheduled_ = true;
    }
    scheduler_.After(0, [this] { Pass(); });
}

void CldmaEngine::Pass()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        passScheduled_ = false;
    }
    for (bool progress = true; progress;) {
        progress = false;
        for (ULONG q = 0; q < kCldmaQueues; q++)
            progress |= StepTx(q);
        for (ULONG q = 0; q < kCldmaQueues; q++)
            progress |= StepRx(q);
    }
}

void CldmaEngine::FaultLocked(Side& side, ULONG q)
{
    side.running &= ~(1u << q);
    side.status |= ErrorBit(q);
    side.errors[0] |= 1u << q;
}

// One descriptor of transmit queue q; false when the queue does not run.
bool CldmaEngine::StepTx(ULONG q)
{
    std::vector<UCHAR> frame;
    bool sent = false;
    CldmaPeer* peer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const ULONG bit = 1u << q;
        if (gone_ || !(tx_.running & bit))
            return false;
        peer = peer_;
        ULONG64 at = tx_.current[q];
        UCHAR gpd[kGpdSize];
        if (!dma_.DmaRead(at, gpd, sizeof(gpd))) {
            FaultLocked(tx_, q);
        } else if (!(gpd[kGpdFlags] & kGpdHwo) || hiddenTx_[q] != 0) {
            if (gpd[kGpdFlags] & kGpdHwo)
                hiddenTx_[q]--;
            tx_.running &= ~bit;
            tx_.status |= EmptyBit(q);
        } else {
            frame.resize(GpdU16(gpd, kGpdLength));
            UCHAR flags = gpd[kGpdFlags] & ~kGpdHwo;
            if (!dma_.DmaRead(GpdAddress(gpd, kGpdData), frame.data(), frame.size()) ||
                !dma_.DmaWrite(at + kGpdFlags, &flags, 1)) {
                FaultLocked(tx_, q);
            } else {
                tx_.current[q] = GpdAddress(gpd, kGpdNext);
                if (flags & kGpdIoc)
                    tx_.status |= DoneBit(q);
                sent = true;
            }
        }
    }
    if (sent && peer)
        peer->FrameSent(q, frame.data(), frame.size());
    PublishLevel();
    return true;
}

// One waiting frame of receive queue q; false when the queue does not run or nothing waits.
bool CldmaEngine::StepRx(ULONG q)
{
    std::optional<LateWrite> late;
    LONGLONG delay = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const ULONG bit = 1u << q;
        if (gone_ || !(rx_.running & bit) || fifo_[q].empty())
            return false;
        ULONG64 at = rx_.current[q];
        UCHAR gpd[kGpdSize];
        if (!dma_.DmaRead(at, gpd, sizeof(gpd))) {
            FaultLocked(rx_, q);
        } else if (!(gpd[kGpdFlags] & kGpdHwo)) {
            rx_.running &= ~bit;
            rx_.status |= EmptyBit(q);
        } else {
            const Frame& frame = fifo_[q].front();
            USHORT stored = static_cast<USHORT>(std::min<SIZE_T>(frame.bytes.size(), GpdU16(gpd, kGpdAllowLength)));
            USHORT length = frame.reportedLength.value_or(stored);
            UCHAR lengthBytes[2] = {static_cast<UCHAR>(length), static_cast<UCHAR>(length >> 8)};
            UCHAR flags = gpd[kGpdFlags] & ~kGpdHwo;
            bool ok = dma_.DmaWrite(GpdAddress(gpd, kGpdData), frame.bytes.data(), stored) &&
                      dma_.DmaWrite(at + kGpdLength, lengthBytes, sizeof(lengthBytes));
            if (ok && rxOwnershipDelay_ != 0) {
                late = LateWrite{at + kGpdFlags, flags};
                delay = rxOwnershipDelay_;
            } else if (ok) {
                ok = dma_.DmaWrite(at + kGpdFlags, &flags, 1);
            }
            if (!ok) {
                FaultLocked(rx_, q);
            } else {
                fifo_[q].pop_front();
                rx_.current[q] = GpdAddress(gpd, kGpdNext);
                if (flags & kGpdIoc)
                    rx_.status |= DoneBit(q);
            }
        }
    }
    if (late)
        scheduler_.After(delay, [this, write = *late] {
            std::lock_guard<std::mutex> guard(lock_);
            if (!gone_)
                dma_.DmaWrite(write.address, &write.value, 1);
        });
    PublishLevel();
    return true;
}

// ---------------------------------------------------------------------------------------------
// The firmware side.
void CldmaEngine::SetPeer(CldmaPeer* peer)
{
    std::lock_guard<std::mutex> guard(lock_);
    peer_ = peer;
}

void CldmaEngine::Receive(ULONG queue, std::vector<UCHAR> frame, std::optional<USHORT> reportedLength)
{
    if (queue >= kCldmaQueues)
        return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        fifo_[queue].push_back(Frame{std::move(frame), reportedLength});
    }
    RequestPass();
}

size_t CldmaEngine::ReceivePending(ULONG queue) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return queue < kCldmaQueues ? fifo_[queue].size() : 0;
}

// ---------------------------------------------------------------------------------------------
// Fault injection.
void CldmaEngine::SetGone(bool gone)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        gone_ = gone;
    }
    if (!gone)
        RequestPass();
    PublishLevel();
}

void CldmaEngine::LoseConfiguration()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (Side* side : {&tx_, &rx_}) {
            ULONG stuck = side->stuck;
            *side = Side{};
            side->stuck = stuck;
        }
        rxConfig_ = rxInit1_ = rxInit2_ = 0;
        txConfig_ = txInit1_ = txInit2_ = rearm_ = 0;
    }
    PublishLevel();
}

void CldmaEngine::SetStuckStop(CldmaDirection direction, ULONG queueMask)
{
    std::lock_guard<std::mutex> guard(lock_);
    (direction == CldmaDirection::Tx ? tx_ : rx_).stuck = queueMask & kAllQueues;
}

void CldmaEngine::RaiseErrors(CldmaDirection direction, ULONG statusBits, ULONG error0, ULONG error1)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        Side& side = direction == CldmaDirection::Tx ? tx_ : rx_;
        side.status |= statusBits;
        side.errors[0] |= error0;
        side.errors[1] |= error1;
    }
    PublishLevel();
}

void CldmaEngine::HideTxOwnership(ULONG queue, ULONG count)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (queue < kCldmaQueues)
        hiddenTx_[queue] = count;
}

void CldmaEngine::SetRxOwnershipDelay(LONGLONG delay)
{
    std::lock_guard<std::mutex> guard(lock_);
    rxOwnershipDelay_ = delay;
}

void CldmaEngine::StopTxAt(ULONG queue, ULONG64 address)
{
    if (queue >= kCldmaQueues)
        return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        tx_.running &= ~(1u << queue);
        tx_.current[queue] = address;
        tx_.status |= EmptyBit(queue);
    }
    PublishLevel();
}

} // namespace sim::modem
