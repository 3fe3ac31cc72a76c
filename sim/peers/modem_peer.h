// The modem driver's user-mode side, as a peer for tests of the code that talks to it: a small
// framework driver image (ModemPeer, built from sim/peers/modem_peer/) that the PnP manager loads on a
// simulated PCI function with the modem's ids.
//
// What the peer does:
// - Registers the interface GUID_MODEM_PEER_INTERFACE with the reference string
//   MODEM_PEER_REFERENCE, so its path reads
//   \\?\PCI#VEN_14C3&DEV_4D75&SUBSYS_...#<instance>#{c471d7f9-a744-45e8-b376-f9a01093009f}\GUID_DEVINTERFACE_WWAN_NETADAPTER
//   and accepts every create (and close).
// - Device control (one parallel, power-managed default queue): a request with an empty input or output
//   buffer completes with STATUS_INVALID_PARAMETER before its code is looked at; IOCTL_MODEM_PEER_NOTIFY
//   completes per the mode, with no output bytes; any other code with STATUS_INVALID_DEVICE_REQUEST.
//   Reads and writes complete at once with success and no bytes.
// - Idles in D3 after MODEM_PEER_IDLE_MS without requests (or at once with host::PnpIdleNow); a request
//   that arrives meanwhile is held by its queue while the device returns to D0.
//
// The mode is the DWORD MODEM_PEER_MODE_VALUE in the device's hardware key ("Device Parameters" under
// its instance key), read at each request and at each D0 transition; ModemPeer::SetMode writes it:
// - ModemPeerSucceed (0, also when absent): IOCTL_MODEM_PEER_NOTIFY completes with STATUS_SUCCESS.
// - ModemPeerFail (1): it completes with STATUS_UNSUCCESSFUL.
// - ModemPeerWake (2): the awake notice reaches the device's lower device before the request completes
//   with success. The peer sends IOCTL_IHV_MODEM_AWAKE (no buffers, synchronously) to its lower device
//   from its D0 entry and IOCTL_IHV_MODEM_SLEEP from its D0 exit, as the modem driver does toward the
//   bridge below it; a request that finds the device already in D0, with no awake notice sent since the
//   previous such request, sends IOCTL_IHV_MODEM_AWAKE itself before completing. The lower device is
//   the bus: ModemPeer::OnLowerRequest sees each of these requests on the sender's thread.
//
// A test plugs it like this:
//   sim::peers::ModemPeer modem(WWAN_MODEM_PEER_IMAGE); // installs the driver for the hardware id
//   modem.OnLowerRequest([&](ULONG code) { ... });      // optional: the awake and sleep notices
//   modem.SetMode(ModemPeerWake);
//   ASSERT_EQ(STATUS_SUCCESS, modem.Plug());             // the PnP manager loads and starts the peer
//   ... CM_Get_Device_Interface_List / CreateFile / DeviceIoControl ...
//   modem.Unplug();                                      // or let the destructor remove it
#pragma once

#include <ntdef.h>

#define MODEM_PEER_SERVICE u"ModemPeer"
#define MODEM_PEER_HARDWARE_ID u"PCI\\VEN_14C3&DEV_4D75"
#define MODEM_PEER_INSTANCE u"PCI\\VEN_14C3&DEV_4D75&SUBSYS_4D7514C3&REV_01\\4&1f0a7c2e&0&00E8"
#define MODEM_PEER_REFERENCE u"GUID_DEVINTERFACE_WWAN_NETADAPTER"
#define MODEM_PEER_MODE_VALUE u"PeerMode"
#define MODEM_PEER_IDLE_MS 5000

// The notice a user-mode client sends before it parks a message while modem I/O sleeps.
#define IOCTL_MODEM_PEER_NOTIFY 0x22180C
// What the modem driver tells the device below it when it enters and leaves D0.
#define IOCTL_IHV_MODEM_AWAKE 0x220CA4
#define IOCTL_IHV_MODEM_SLEEP 0x220CA8

enum ModemPeerMode : ULONG {
    ModemPeerSucceed = 0,
    ModemPeerFail = 1,
    ModemPeerWake = 2,
};

// {C471D7F9-A744-45E8-B376-F9A01093009F}
inline constexpr GUID GUID_MODEM_PEER_INTERFACE = {
    0xC471D7F9, 0xA744, 0x45E8, {0xB3, 0x76, 0xF9, 0xA0, 0x10, 0x93, 0x00, 0x9F}};

#ifndef MODEM_PEER_DRIVER

#include <functional>
#include <memory>

namespace sim::peers
{

// The modem function on a bus of its own, with the peer installed for its hardware id.
class ModemPeer
{
  public:
    // Installs the driver image at `image` as the service for the modem's hardware id; the mode is
    // ModemPeerSucceed.
    explicit ModemPeer(const char* image);
    // Removes the device when it is still present.
    ~ModemPeer();
    ModemPeer(const ModemPeer&) = delete;
    ModemPeer& operator=(const ModemPeer&) = delete;

    // The device appears: the PnP manager loads and starts the peer. Returns the start status.
    NTSTATUS Plug();
    // Removal of the device (the driver unloads with its last device).
    NTSTATUS Unplug();
    void SetMode(ModemPeerMode mode);

    // Each device-control request the peer sends to its lower device (the awake and sleep notices):
    // called on the sender's thread before the request completes, with success.
    using LowerRequest = std::function<void(ULONG code)>;
    void OnLowerRequest(LowerRequest hook);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace sim::peers

#endif
