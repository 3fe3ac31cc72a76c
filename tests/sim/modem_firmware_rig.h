// The host side of the firmware's tests: per CLDMA engine a transmit and a receive ring on every queue,
// driven through the engines' register blocks as the host driver drives them (no driver exists yet),
// over engines of the rig's own with the firmware as their peer, or over a modem's. The host numbers its
// frames per channel.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "modem_cldma_rig.h"
#include "sim/modem/firmware.h"

namespace fwtest {

using namespace sim::modem;
using namespace sim::modem::ccci;
using cldmatest::HostDma;
using cldmatest::RecordingSink;
using cldmatest::Ring;
using sim::pci::ExecutionMode;

inline constexpr ULONG kSlots = 16;
inline constexpr USHORT kBufferSize = 3584;

// A frame the host took from a receive ring: the bytes stored and the length the descriptor reports.
struct Received {
    std::vector<UCHAR> bytes;
    USHORT length = 0;
    Header header() const { return ParseHeader(bytes.data()); }
    std::vector<UCHAR> data() const { return {bytes.begin() + kHeaderSize, bytes.end()}; }
};

// The host's side of both CLDMA engines: per engine a transmit and a receive ring on every queue, every
// receive descriptor armed, driven through the engines' register blocks as the host driver drives them.
// `run` makes stepped engines and their firmware do what is due (none when threaded).
class HostCldma {
public:
    HostCldma(CldmaEngine& sap, CldmaEngine& md, std::function<void()> run) : sap_(sap), md_(md), run_(std::move(run))
    {
        for (Core core : {Core::Md, Core::Sap})
            for (ULONG q = 0; q < kCldmaQueues; q++) {
                Queue& queue = At(core, q);
                queue.tx = std::make_unique<Ring>(kSlots, kBufferSize);
                queue.rx = std::make_unique<Ring>(kSlots, kBufferSize);
                for (ULONG i = 0; i < kSlots; i++)
                    queue.rx->Arm(i);
                Start(core, CldmaDirection::Rx, q, queue.rx->Address(0));
            }
    }

    CldmaEngine& Engine(Core core) { return core == Core::Sap ? sap_ : md_; }

    // Step mode: runs the engines and the firmware's due sends until nothing is left.
    void Run()
    {
        if (run_)
            run_();
    }

    // Sends `frames` as they stand from transmit queue q, every descriptor filled before the engine is
    // told (a threaded engine may walk the ring at once).
    void Send(Core core, ULONG q, const std::vector<std::vector<UCHAR>>& frames)
    {
        Queue& queue = At(core, q);
        for (const auto& frame : frames) {
            queue.tx->Fill(queue.txNext, frame);
            queue.txNext = (queue.txNext + 1) % kSlots;
        }
        if (!queue.txStarted) {
            Start(core, CldmaDirection::Tx, q, queue.tx->Address(0));
            queue.txStarted = true;
        } else {
            Engine(core).BlockB().Write(cldma::kTxResume, 1u << q);
        }
        Run();
    }
    void Send(Core core, ULONG q, const std::vector<UCHAR>& frame) { Send(core, q, std::vector<std::vector<UCHAR>>{frame}); }

    // `frame` numbered as the host numbers its channel's frames.
    std::vector<UCHAR> Numbered(std::vector<UCHAR> frame)
    {
        USHORT channel = LoadU16(frame.data() + 8);
        StoreU16(frame.data() + 10, static_cast<USHORT>(kSeqNumbered | seq_[channel]++));
        return frame;
    }

    // A frame on host transmit channel `channel`, numbered as the host numbers it, on its row's queue.
    void SendFrame(std::vector<UCHAR> frame)
    {
        const Port* port = PortByHostTx(LoadU16(frame.data() + 8));
        Send(port->core, port->txq, Numbered(std::move(frame)));
    }
    void SendData(USHORT channel, const std::vector<UCHAR>& payload) { SendFrame(DataFrame(channel, payload)); }
    void SendMessage(USHORT channel, ULONG id, ULONG argument) { SendFrame(MessageFrame(channel, id, argument)); }
    void SendControl(USHORT channel, ULONG id, ULONG argument) { SendFrame(ControlFrame(channel, id, argument)); }

    // The frames receive queue q has filled since the last call, its descriptors armed again.
    std::vector<Received> Take(Core core, ULONG q)
    {
        Queue& queue = At(core, q);
        std::vector<Received> frames;
        for (bool more = true; more;) {
            Run();
            more = false;
            while (!(queue.rx->Flags(queue.rxNext) & cldma::kGpdHwo)) {
                USHORT length = queue.rx->Length(queue.rxNext);
                frames.push_back({queue.rx->Received(queue.rxNext, std::min(length, kBufferSize)), length});
                queue.rx->Arm(queue.rxNext);
                queue.rxNext = (queue.rxNext + 1) % kSlots;
                more = true;
            }
            Engine(core).BlockB().Write(cldma::kRxResume, 1u << q);
        }
        return frames;
    }
    // The frames on host receive channel `channel`, from its row's queue.
    std::vector<Received> Take(USHORT channel)
    {
        const Port* port = PortByHostRx(channel);
        return Take(port->core, port->rxq);
    }

protected:
    struct Queue {
        std::unique_ptr<Ring> tx, rx;
        ULONG txNext = 0, rxNext = 0;
        bool txStarted = false;
    };
    Queue& At(Core core, ULONG q) { return queues_[(core == Core::Sap ? kCldmaQueues : 0) + q]; }

private:
    void Start(Core core, CldmaDirection direction, ULONG q, ULONG64 address)
    {
        bool tx = direction == CldmaDirection::Tx;
        RegisterBlock& block = tx ? Engine(core).BlockB() : Engine(core).BlockA();
        ULONG at = (tx ? cldma::kTxStartAddress : cldma::kRxStartAddress) + 8 * q;
        block.Write(at, static_cast<ULONG>(address));
        block.Write(at + 4, static_cast<ULONG>(address >> 32));
        Engine(core).BlockB().Write(tx ? cldma::kTxStart : cldma::kRxStart, 1u << q);
    }

    CldmaEngine& sap_;
    CldmaEngine& md_;
    std::function<void()> run_;
    std::array<Queue, 2 * kCldmaQueues> queues_;
    std::map<USHORT, USHORT> seq_;
};

// Both engines of their own, before the host's rings on them.
struct RigEngines {
    explicit RigEngines(ExecutionMode mode)
        : ownMode_(mode), ownSap_(ownDma_, ownSapSink_, kSourceCldmaSap, mode), ownMd_(ownDma_, ownMdSink_, kSourceCldmaMd, mode)
    {
    }

    ExecutionMode ownMode_;
    HostDma ownDma_;
    RecordingSink ownSapSink_, ownMdSink_;
    CldmaEngine ownSap_, ownMd_;
};

// The firmware on bare engines, with the host's rings on them.
class FirmwareRig : private RigEngines, public HostCldma {
public:
    explicit FirmwareRig(ExecutionMode mode = ExecutionMode::Step)
        : RigEngines(mode), HostCldma(ownSap_, ownMd_, [this] { Drain(); }), scheduler(mode), firmware(ownSap_, ownMd_, scheduler)
    {
    }
    ~FirmwareRig()
    {
        ownSap_.Stop();
        ownMd_.Stop();
        scheduler.Stop();
    }

    // Threaded: waits on the host clock until receive queue q has filled `count` more descriptors, then
    // takes them; none when `timeout` passes without an interrupt. The current address, read under the
    // engine's lock, says how far the engine got, so the ring is read only where it has finished.
    std::vector<Received> TakeWhenFilled(Core core, ULONG q, ULONG count, LONGLONG timeout)
    {
        Queue& queue = At(core, q);
        const ULONG64 target = queue.rx->Address((queue.rxNext + count) % kSlots);
        RegisterBlock& b = Engine(core).BlockB();
        RegisterBlock& a = Engine(core).BlockA();
        for (;;) {
            b.Write(cldma::kTxStatus, 0xFFFFFFFF);
            b.Write(cldma::kRxStatus, 0xFFFFFFFF);
            ULONG at = cldma::kRxCurrentAddress + 8 * q;
            if ((a.Read(at) | static_cast<ULONG64>(a.Read(at + 4)) << 32) == target)
                return Take(core, q);
            if (!Engine(core).InterruptAsserted() && !Sink(core).WaitRaised(timeout))
                return {};
        }
    }

private:
    void Drain()
    {
        if (ownMode_ == ExecutionMode::Step)
            while (ownSap_.Drain() + ownMd_.Drain() + scheduler.Drain() != 0) {
            }
    }
    // One sink per engine: a host thread waiting for one engine's interrupt must not take the other's.
    RecordingSink& Sink(Core core) { return core == Core::Sap ? ownSapSink_ : ownMdSink_; }

public:
    sim::pci::Scheduler scheduler;
    Firmware firmware;
};

} // namespace fwtest
