// The modem driver as the library reaches it: the peer driver image on a simulated PCI function with
// the modem's ids. The awake and sleep notices it sends below it reach the library as the bridge passes
// them on (records of kinds 10 and 11 through the modem-side export) while relaying is on.
#pragma once

#include "bridge_double.h"
#include "mbim_core_misc.h"

#include "sim/peers/modem_peer.h"

#include <gtest/gtest.h>

#include <atomic>

namespace coretest {

class ModemDriver {
public:
    explicit ModemDriver(ModemPeerMode mode = ModemPeerWake) : peer_(WWAN_MODEM_PEER_IMAGE)
    {
        peer_.OnLowerRequest([this](ULONG code) {
            if (code == IOCTL_IHV_MODEM_AWAKE)
                awakeNotices_++;
            if (relay_)
                PowerEvent(code == IOCTL_IHV_MODEM_AWAKE);
        });
        peer_.SetMode(mode);
        EXPECT_EQ(peer_.Plug(), STATUS_SUCCESS);
        // The start's own awake notice stands for the first request; take it, so that from here on
        // every notification in the waking mode gives one notice.
        if (mode == ModemPeerWake)
            Mbim_Send_IoctlToDrv();
        awakeNotices_ = 0;
    }

    void SetMode(ModemPeerMode mode) { peer_.SetMode(mode); }
    void Relay(bool on) { relay_ = on; }
    int AwakeNotices() const { return awakeNotices_; }
    NTSTATUS Unplug() { return peer_.Unplug(); }

private:
    sim::peers::ModemPeer peer_;
    std::atomic<bool> relay_{false};
    std::atomic<int> awakeNotices_{0};
};

} // namespace coretest
