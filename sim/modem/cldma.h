// One CLDMA engine of the modem (the SAP or the MD instance): the control-path DMA engine with eight
// transmit and eight receive queues, each walking a circular ring of 24-byte descriptors in host memory.
//
// Registers sit in two 4 KiB blocks, A (mostly receive) and B (transmit, commands and interrupt status),
// which the modem window maps as RegisterBlocks. Commands start, resume or stop queues; a started queue
// begins at its start address, a resumed one where it stopped. A transmit queue sends every descriptor
// it owns (HWO set) to the firmware peer, clears HWO, raises done when IOC is set, and stops at the first
// descriptor it does not own, raising empty with its current address on that descriptor. A receive queue
// fills one owned descriptor per frame the firmware queued (at most the descriptor's allow length),
// writes the length, clears HWO and raises done when IOC is set; with a frame waiting at a descriptor it
// does not own it stops and raises empty. The interrupt source is asserted while any status bit is set
// whose mask bit is clear.
//
// The engine reaches host memory only through its DmaPort; a refused access (the host reports it) stops
// the queue with its error bit (status bit 16 + q, error register bit q). Its work runs on its own
// scheduler: threaded, or stepped by the caller (Step, Drain). Register handlers only update state and
// schedule; the interrupt sink and the peer are called with no engine lock held. The DmaPort is called
// with the engine's lock held (a descriptor is read, its data moved and its write-back made as one step,
// so a stop command never lands in the middle): whoever reaches the register blocks must not hold a lock
// that its DmaPort takes.
#pragma once

#include <ntdef.h>

#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/modem/block.h"
#include "sim/modem/cldma_peer.h"
#include "sim/modem/write_log.h"
#include "sim/pci/scheduler.h"

namespace sim::modem {

namespace cldma {

// Block A.
inline constexpr ULONG kRxConfig = 0x404;         // bits 12-10 address mode, bit 2 initialised
inline constexpr ULONG kRxStartAddress = 0x478;   // + 8q low word, + 8q + 4 high word
inline constexpr ULONG kRxCurrentAddress = 0x4B8; // + 8q low word, + 8q + 4 high word
inline constexpr ULONG kRxRunning = 0x4F8;        // bit q: receive queue q runs
inline constexpr ULONG kRxMask = 0x858;
inline constexpr ULONG kRxUnmask = 0x860;
inline constexpr ULONG kRxMaskSet = 0x868;
inline constexpr ULONG kRxInit1 = 0x954;
inline constexpr ULONG kRxInit2 = 0x960;

// Block B.
inline constexpr ULONG kTxStartAddress = 0x004;
inline constexpr ULONG kTxCurrentAddress = 0x044;
inline constexpr ULONG kTxRunning = 0x084;
inline constexpr ULONG kTxStart = 0x088;
inline constexpr ULONG kTxResume = 0x08C;
inline constexpr ULONG kTxStop = 0x090;
inline constexpr ULONG kTxConfig = 0x098; // bits 7-5 address mode
inline constexpr ULONG kTxInit1 = 0x09C;
inline constexpr ULONG kTxInit2 = 0x508;
inline constexpr ULONG kRxStart = 0x5BC;
inline constexpr ULONG kRxResume = 0x5C0;
inline constexpr ULONG kRxStop = 0x5C4;
inline constexpr ULONG kTxStatus = 0x810; // write 1 to clear: done q, empty q + 8, errors 16-31
inline constexpr ULONG kTxMask = 0x818;
inline constexpr ULONG kTxUnmask = 0x820;
inline constexpr ULONG kTxMaskSet = 0x828;
inline constexpr ULONG kTxError0 = 0x830; // write the value read back to clear
inline constexpr ULONG kTxError1 = 0x834;
inline constexpr ULONG kRxStatus = 0x850;
inline constexpr ULONG kRxError0 = 0x870;
inline constexpr ULONG kRxError1 = 0x874;
inline constexpr ULONG kRearm = 0x8B4;

inline constexpr ULONG DoneBit(ULONG q) { return 1u << q; }
inline constexpr ULONG EmptyBit(ULONG q) { return 0x100u << q; }
inline constexpr ULONG ErrorBit(ULONG q) { return 0x10000u << q; }

// The descriptor, little-endian.
inline constexpr SIZE_T kGpdSize = 24;
inline constexpr ULONG kGpdFlags = 0;       // byte: bit 0 HWO, bit 7 IOC
inline constexpr ULONG kGpdAllowLength = 2; // u16, receive
inline constexpr ULONG kGpdNext = 4;        // u32 high word, then u32 low word
inline constexpr ULONG kGpdData = 12;       // u32 high word, then u32 low word
inline constexpr ULONG kGpdLength = 20;     // u16
inline constexpr UCHAR kGpdHwo = 0x01;
inline constexpr UCHAR kGpdIoc = 0x80;

} // namespace cldma

enum class CldmaBlock { A, B };
enum class CldmaDirection { Tx, Rx };

struct CldmaWrite {
    CldmaBlock block;
    ULONG offset;
    ULONG value;
    bool operator==(const CldmaWrite&) const = default;
};

class CldmaEngine {
public:
    // `source` is the engine's interrupt source at the MAC (1 SAP, 2 MD).
    CldmaEngine(DmaPort& dma, InterruptSink& interrupts, ULONG source,
                sim::pci::ExecutionMode mode = sim::pci::ExecutionMode::Threaded);
    ~CldmaEngine() { Stop(); }
    CldmaEngine(const CldmaEngine&) = delete;
    CldmaEngine& operator=(const CldmaEngine&) = delete;

    // Ends the engine's work: pending work is dropped and nothing runs after (its thread, if any, has
    // ended when this returns). Not from the peer's or the sink's call.
    void Stop() { scheduler_.Stop(); }

    RegisterBlock& BlockA() { return blockA_; }
    RegisterBlock& BlockB() { return blockB_; }
    ULONG Read(CldmaBlock block, ULONG64 offset);
    void Write(CldmaBlock block, ULONG64 offset, ULONG value);

    // The firmware side. The peer gets every frame sent (none: sent frames are dropped); set it before
    // traffic. Receive queues a frame for receive queue `queue`; `reportedLength`, when given, is written
    // as the received length instead of the bytes actually stored (an oversize or short frame).
    void SetPeer(CldmaPeer* peer);
    void Receive(ULONG queue, std::vector<UCHAR> frame, std::optional<USHORT> reportedLength = std::nullopt);
    size_t ReceivePending(ULONG queue) const;

    // Step mode: runs the engine work due by now (Step) or all of it, delayed writes included (Drain);
    // returns how many actions ran.
    size_t Step() { return scheduler_.Step(); }
    size_t Drain() { return scheduler_.Drain(); }

    // Every register write in order (the latest kLogCapacity), whatever the engine made of it.
    static constexpr size_t kLogCapacity = 4096;
    std::vector<CldmaWrite> Writes() const;
    void ClearWrites();

    // Whether the interrupt source is asserted now.
    bool InterruptAsserted() const;

    // Fault injection.
    // Gone: every read returns 0xFFFFFFFF, writes do nothing, the engine stops and deasserts.
    void SetGone(bool gone);
    // Registers back to their power-on values (all 0): start and current addresses, configuration, masks
    // and status; every queue stops. Frames the firmware queued stay queued.
    void LoseConfiguration();
    // Stop commands leave the queues of `queueMask` running.
    void SetStuckStop(CldmaDirection direction, ULONG queueMask);
    // Sets status bits and error register bits as the engine would on an internal error.
    void RaiseErrors(CldmaDirection direction, ULONG statusBits, ULONG error0, ULONG error1);
    // Transmit queue `queue` takes its next `count` owned descriptors for not owned: it stops there and
    // raises empty, as if the host's HWO store had not reached it yet.
    void HideTxOwnership(ULONG queue, ULONG count);
    // Receive queues clear HWO `delay` host time after they wrote the data, the length, the current
    // address and the done status (0: at once).
    void SetRxOwnershipDelay(LONGLONG delay);
    // Transmit queue `queue` stops now with its current address at `address` and raises empty.
    void StopTxAt(ULONG queue, ULONG64 address);

private:
    struct Frame {
        std::vector<UCHAR> bytes;
        std::optional<USHORT> reportedLength;
    };
    struct Side {
        std::array<ULONG64, kCldmaQueues> start{};
        std::array<ULONG64, kCldmaQueues> current{};
        ULONG running = 0;
        ULONG status = 0;
        ULONG mask = 0;
        std::array<ULONG, 2> errors{};
        ULONG stuck = 0;
    };
    class Block : public RegisterBlock {
    public:
        Block(CldmaEngine& engine, CldmaBlock which) : engine_(engine), which_(which) {}
        ULONG Read(ULONG64 offset) override { return engine_.Read(which_, offset); }
        void Write(ULONG64 offset, ULONG value) override { engine_.Write(which_, offset, value); }

    private:
        CldmaEngine& engine_;
        CldmaBlock which_;
    };
    // A write of one byte that lands later (a delayed HWO clear).
    struct LateWrite {
        ULONG64 address;
        UCHAR value;
    };

    ULONG ReadLocked(CldmaBlock block, ULONG offset) const;
    // True when the write started or resumed queues.
    bool WriteLocked(CldmaBlock block, ULONG offset, ULONG value);
    bool Command(Side& side, ULONG command, ULONG value);
    bool LevelLocked() const;
    void LogLocked(CldmaBlock block, ULONG offset, ULONG value);

    // Runs the queues until none can make progress.
    void Pass();
    bool StepTx(ULONG q);
    bool StepRx(ULONG q);
    void FaultLocked(Side& side, ULONG q);
    void RequestPass();
    // Tells the sink the level, outside the engine lock, one caller at a time, until it is current.
    void PublishLevel();

    DmaPort& dma_;
    InterruptSink& interrupts_;
    const ULONG source_;
    Block blockA_{*this, CldmaBlock::A};
    Block blockB_{*this, CldmaBlock::B};

    mutable std::mutex lock_;
    Side tx_, rx_;
    ULONG rxConfig_ = 0, rxInit1_ = 0, rxInit2_ = 0;
    ULONG txConfig_ = 0, txInit1_ = 0, txInit2_ = 0, rearm_ = 0;
    std::array<std::deque<Frame>, kCldmaQueues> fifo_;
    std::array<ULONG, kCldmaQueues> hiddenTx_{};
    LONGLONG rxOwnershipDelay_ = 0;
    bool gone_ = false;
    CldmaPeer* peer_ = nullptr;
    bool passScheduled_ = false;
    bool publishing_ = false;
    bool published_ = false;
    WriteLog<CldmaWrite> log_;

    sim::pci::Scheduler scheduler_;
};

} // namespace sim::modem
