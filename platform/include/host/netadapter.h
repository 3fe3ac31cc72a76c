// Host-side control of the network-adapter class extension, for tests and the simulator: the system's
// end of each adapter's data path (packets sent, packets received and the driver's receive buffers the
// system keeps), the wake sources the system arms, and injected failures of the driver-facing calls.
#pragma once

#include <netadaptercx.h>

#include <functional>
#include <string_view>
#include <vector>

namespace host::net
{

// The adapters of the device instance's stack, in creation order (removed ones left out).
std::vector<NETADAPTER> Adapters(std::u16string_view instanceId);

bool Started(NETADAPTER adapter);
// Whether both packet queues exist and run (they exist only while the device is in D0).
bool DataPathRunning(NETADAPTER adapter);
void RemoveAdapter(NETADAPTER adapter);
void SetLinkState(NETADAPTER adapter, bool up);
bool LinkUp(NETADAPTER adapter);

// One packet to the driver's transmit queue (see netcx::Transmit): a device idling in D3 comes back to
// D0 first. STATUS_INVALID_DEVICE_STATE for an adapter not started or removed, STATUS_INVALID_PARAMETER
// for an empty frame or one above the adapter's MaximumFrameSize.
NTSTATUS Transmit(NETADAPTER adapter, const void* data, size_t length);
// Received packets, whole, on the receive queue's thread.
void SetReceiveSink(NETADAPTER adapter, std::function<void(const UCHAR*, size_t)> sink);

// While holding, the driver's receive buffers stay with the system after delivery until released, in
// any order; otherwise each goes back to the driver right after its packet was delivered. Buffers go
// back on the class extension's thread (EvtAdapterReturnRxBuffer), never inside the release call.
void HoldReceiveBuffers(NETADAPTER adapter, bool hold);
size_t HeldReceiveBufferCount(NETADAPTER adapter);
// The driver's buffer of the held entry `index` (in delivery order), or nullptr.
const void* HeldReceiveBuffer(NETADAPTER adapter, size_t index);
void ReleaseReceiveBuffer(NETADAPTER adapter, size_t index);

struct Counters {
    ULONG64 sent;      // transmit packets the driver gave back
    ULONG64 received;  // packets delivered to the sink
    ULONG64 dropped;   // transmit packets left unposted when the data path went down
    ULONG64 creations; // times the data path was created
    ULONG64 unarmedNotifies; // notify calls while the queue did not ask for them (both queues, current path)
};
Counters Statistics(NETADAPTER adapter);

// Wake requests of the system, armed on the device before it leaves D0 for idle or sleep when the
// adapter's wake capabilities allow them; a bitmap pattern is offered to the driver's
// EvtDevicePreviewBitmapPattern first.
void AddWakeBitmapPattern(NETADAPTER adapter, ULONG id, std::vector<UCHAR> pattern, std::vector<UCHAR> mask);
void SetWakeOnMediaChange(NETADAPTER adapter, bool enabled);
void SetWakeOnPacketFilterMatch(NETADAPTER adapter, bool enabled);

// The driver-facing calls a test can make fail: the next call of the kind (from any thread) returns
// `status` and does nothing else.
enum class Call {
    DeviceInitConfig,
    DeviceInitSetPowerPolicyEventCallbacks,
    SetLinkLayerCapabilities,
    SetLinkLayerMtuSize,
    SetDataPathCapabilities,
    WakeSetBitmapCapabilities,
    WakeSetMediaChangeCapabilities,
    WakeSetPacketFilterCapabilities,
    AdapterStart,
    TxQueueCreate,
    RxQueueCreate,
};
void FailNext(Call call, NTSTATUS status);

} // namespace host::net
