// Host-side control and observation of the mobile-broadband class extension: what the operating
// system's side (the MBIM host of the peers) and tests use to reach a bound device.
//
// A device is bound once MbbDeviceInitialize succeeded on it, until it is removed. One host side at a
// time may be connected to a bound device; it hands fragments down with MbbSend and gets every fragment
// the driver delivers through its receive callback.
#pragma once

#include <netadaptercx.h>
#include <wdf.h>

#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace host
{

// Failure injection: the next call of the kind, on any thread, fails with `status` (0 stops it).
enum class MbbCall { DeviceInitConfig, DeviceInitialize };
void MbbFailNext(MbbCall call, NTSTATUS status);

// The bound device of a device instance, or nullptr.
WDFDEVICE MbbFindDevice(std::u16string_view instanceId);

struct MbbParameters {
    ULONG version = 0;
    ULONG extendedVersion = 0;
    ULONG maximumFragmentSize = 0;
};
struct MbbWakeCapabilities {
    bool packetState = false;
    bool registerState = false;
    bool smsReceive = false;
    bool uiccChange = false;
    bool ussdReceive = false;
};
// What the driver set; nothing before it did (or for a device that is not bound).
std::optional<MbbParameters> MbbQueryParameters(WDFDEVICE device);
std::optional<MbbWakeCapabilities> MbbQueryWakeCapabilities(WDFDEVICE device);

struct MbbCounters {
    ULONG64 responsesAvailable = 0; // MbbDeviceResponseAvailable calls
    ULONG64 receives = 0;           // receive requests handed to the driver
    ULONG64 delivered = 0;          // fragments delivered to the host side
    ULONG64 emptyReceives = 0;      // receives completed with a failure or no bytes
    ULONG64 sends = 0;
};
MbbCounters MbbQueryCounters(WDFDEVICE device);

struct MbbHostSide {
    // Each fragment the driver delivers, on the class extension's receive thread, in order.
    std::function<void(std::span<const UCHAR> fragment)> received;
    // The device is being removed; what was outstanding has already failed.
    std::function<void()> removed;
};
// STATUS_NO_SUCH_DEVICE for a device that is not bound, STATUS_DEVICE_BUSY when a side is connected.
NTSTATUS MbbConnect(WDFDEVICE device, MbbHostSide side);
// Returns once no callback of the side runs any more.
void MbbDisconnect(WDFDEVICE device);

// The capacity of the next receive requests (0: the device's MaximumFragmentSize).
void MbbSetReceiveCapacity(WDFDEVICE device, size_t capacity);

// Hands one fragment to EvtMbbDeviceSendMbimFragment, on the calling thread (at PASSIVE_LEVEL), with
// the device in D0: the callback runs at `irql` (PASSIVE_LEVEL or DISPATCH_LEVEL). `done` runs once with
// the completion status, on the completing thread. Returns once the callback returned: success, or
// why the fragment never reached the driver (`done` then does not run).
using MbbDone = std::function<void(NTSTATUS status)>;
NTSTATUS MbbSend(WDFDEVICE device, std::span<const UCHAR> fragment, KIRQL irql, MbbDone done);

// Hands device-service session data to EvtMbbDeviceSendDeviceServiceSessionData, like MbbSend.
NTSTATUS MbbSendSessionData(WDFDEVICE device, ULONG sessionId, std::span<const UCHAR> data, MbbDone done);

// Has the driver create and start the adapter of a data session through EvtMbbDeviceCreateAdapter
// (under a power reference); an adapter the driver created but did not start is removed again, and
// the call fails with STATUS_UNSUCCESSFUL. A session's adapter exists at most once.
NTSTATUS MbbCreateAdapter(WDFDEVICE device, ULONG sessionId);
// The session's adapter, or nullptr.
NETADAPTER MbbFindAdapter(WDFDEVICE device, ULONG sessionId);
// At PASSIVE_LEVEL: its data path stops, then it is deleted.
void MbbRemoveAdapter(WDFDEVICE device, ULONG sessionId);

} // namespace host
