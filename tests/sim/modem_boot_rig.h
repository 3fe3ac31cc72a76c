// The host side of the boot firmware's tests: the modem with its firmware and boot firmware on a bus,
// its windows mapped and its translation programmed as the driver does, and the host's rings on the
// modem's own CLDMA engines. Stepped unless threaded: the modem's timed steps run when the test moves
// the host clock.
#pragma once

#include "modem_firmware_rig.h"
#include "modem_host.h"
#include "sim/modem/boot.h"

namespace boottest {

using namespace fwtest;
using namespace sim::modem::boot;

constexpr ULONG kHandshakeDoorbells = kDoorbellReady | kDoorbellSapHandshake | kDoorbellMdHandshake;

struct BootRig {
    explicit BootRig(const BootScript& script = {}, ExecutionMode mode = ExecutionMode::Step)
        : hw(modemtest::Config(sim::pci::InterruptMode::Message, kMaxMessages, mode), script), host(hw.board),
          translated((host.ProgramTranslation(), true)),
          rings(Modem().CldmaSap(), Modem().CldmaMd(), [this, mode] {
              if (mode == ExecutionMode::Step)
                  while (Modem().CldmaSap().Drain() + Modem().CldmaMd().Drain() + Modem().Scheduler().Step() != 0) {
                  }
          })
    {
    }
    // The engines stop before the rings they reach go.
    ~BootRig() { Modem().Stop(); }

    sim::modem::Modem& Modem() { return hw.board.modem; }
    BootFirmware& Boot() { return hw.boot; }

    // Step mode: the host clock moves on and the modem does what fell due.
    void Advance(LONGLONG delta)
    {
        host::ClockAdvance(delta);
        rings.Run();
    }

    ULONG Doorbells() const { return host.Doorbell(doorbell::kStatus); }
    void ClearDoorbells() { host.Doorbell(doorbell::kStatusClear, 0xFFFFFFFF); }
    // The host rings doorbell n and the modem takes it.
    void Ring(ULONG n)
    {
        host.Doorbell(doorbell::kRing, 1u << n);
        rings.Run();
    }

    // The host's frame of handshake step `id` on the core's control channel: data0 0.
    static std::vector<UCHAR> HandshakeFrame(Core core, ULONG id, const std::vector<UCHAR>& data)
    {
        std::vector<UCHAR> frame = ControlFrame(core == Core::Md ? kCtrlHostTx : kSapCtrlHostTx, id, 0, data);
        StoreU32(frame.data(), 0);
        return frame;
    }
    // The host's feature set (100 bytes) and runtime-feature reply (540 bytes) for `core`.
    static std::vector<UCHAR> FeatureSet(Core core)
    {
        std::vector<UCHAR> features(8 + kFeatureCount);
        StoreU32(features.data(), kHandshakeMarker);
        features[4 + CoreFeature(core)] = kLevelRequired;
        StoreU32(features.data() + 4 + kFeatureCount, kHandshakeMarker);
        return HandshakeFrame(core, kCtrlHostFeatures, features);
    }
    static std::vector<UCHAR> RuntimeReply(Core core)
    {
        return HandshakeFrame(core, kCtrlRuntimeReply, std::vector<UCHAR>(kRuntimeReplySize - kControlFrameSize));
    }

    BootBoard hw;
    modemtest::Host host;
    bool translated;
    HostCldma rings;
};

} // namespace boottest
