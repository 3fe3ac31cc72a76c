// The network-adapter class extension's own records: the device binding, adapters and packet queues.
// Private to platform/netadapter.
#pragma once

#include <netadaptercx.h>

#include "netcx.h"
#include "wdf/fxio.h"

#include <host/netadapter.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace netadapter
{

struct Adapter;
struct PacketQueue;

// A lock held around driver callbacks, so its waiters wait through the host clock.
class HostLock
{
  public:
    HostLock() { KeInitializeEvent(&free_, SynchronizationEvent, TRUE); }
    void lock() { KeWaitForSingleObject(&free_, Executive, KernelMode, FALSE, nullptr); }
    void unlock() { KeSetEvent(&free_, IO_NO_INCREMENT, FALSE); }

  private:
    KEVENT free_;
};

// An armed wake source: what the system asked of one adapter, accepted by the driver.
struct WakeSource {
    NET_WAKE_SOURCE_TYPE type;
    Adapter* adapter;
    ULONG id;
    std::vector<UCHAR> pattern;
    std::vector<UCHAR> mask;
};

// The class extension bound to a device by NetDeviceInitConfig.
struct DeviceBinding : fx::ClassExtension {
    void Created(fx::Device* device) override;
    void D0Entered(fx::Device* device) override;
    void D0Leaving(fx::Device* device, WDF_POWER_DEVICE_STATE target) override;
    void Removing(fx::Device* device) override;

    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS policy{};
    fx::Device* device = nullptr;

    std::mutex lock; // guards what follows
    bool inD0 = false;
    std::vector<Adapter*> adapters;
    std::vector<std::unique_ptr<WakeSource>> armed; // from the arming until the device is back in D0
};

// What the system asks an adapter to wake on (host side).
struct WakeRequests {
    struct Pattern {
        ULONG id;
        std::vector<UCHAR> pattern;
        std::vector<UCHAR> mask;
    };
    std::vector<Pattern> patterns;
    bool mediaChange = false;
    bool packetFilter = false;
};

// A receive buffer the system is done with, on its way back to the driver.
struct RxReturn {
    void* buffer;
    NET_FRAGMENT_RETURN_CONTEXT_HANDLE context;
};

struct Adapter : fx::Object {
    explicit Adapter(fx::Device* device) : fx::Object(fx::Kind::NetAdapter), device(device)
    {
        KeInitializeEvent(&changed, SynchronizationEvent, FALSE);
        KeInitializeEvent(&workIdle, NotificationEvent, TRUE);
    }
    NETADAPTER Handle() { return reinterpret_cast<NETADAPTER>(fx::ToHandle(this)); }
    void Dispose() override;

    fx::Device* device;        // the parent: it outlives the adapter
    DeviceBinding* binding;    // nullptr when the device was not configured for adapters
    NTSTATUS (*startCheck)(NETADAPTER, void*) = nullptr;
    void* startContext = nullptr;

    // Set before the start, read-only afterwards.
    NET_ADAPTER_DATAPATH_CALLBACKS datapath{};
    bool hasDatapath = false;
    NET_ADAPTER_LINK_LAYER_CAPABILITIES link{};
    ULONG mtu = 0;
    NET_ADAPTER_TX_CAPABILITIES tx{};
    NET_ADAPTER_DMA_CAPABILITIES txDma{};
    NET_ADAPTER_RX_CAPABILITIES rx{};
    bool hasCapabilities = false;
    NET_ADAPTER_WAKE_BITMAP_CAPABILITIES wakeBitmap{};
    NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES wakeMedia{};
    NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES wakeFilter{};

    // Creation and teardown of the data path, one at a time.
    HostLock control;

    std::mutex state; // guards what follows
    bool started = false;
    bool removed = false;
    bool running = false; // both queues created and started
    NTSTATUS pathStatus = STATUS_SUCCESS; // why the last creation failed
    PacketQueue* txQueue = nullptr;
    PacketQueue* rxQueue = nullptr;
    WakeRequests wake;
    std::shared_ptr<std::function<void(const UCHAR*, size_t)>> sink;
    bool holdRx = false;
    std::vector<RxReturn> held;      // kept by the host until released
    std::vector<RxReturn> returning; // due back to the driver
    std::vector<RxReturn> returnBatch; // what the worker hands back now (worker only)
    bool createDue = false; // the worker creates the data path (after a start in D0)
    bool workQueued = false;
    KEVENT workIdle; // set while no worker runs or is due

    KEVENT changed; // data path up or down, room in the transmit ring, removal
    std::atomic<bool> linkUp{false};
    std::atomic<ULONG64> sent{0};
    std::atomic<ULONG64> received{0};
    std::atomic<ULONG64> dropped{0};
    std::atomic<ULONG64> creations{0};
    fx::OwnedWork<Adapter> work{};
};

struct PacketQueue : fx::Object {
    PacketQueue() : fx::Object(fx::Kind::NetPacketQueue)
    {
        KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    }
    ~PacketQueue() override;
    NETPACKETQUEUE Handle() { return reinterpret_cast<NETPACKETQUEUE>(fx::ToHandle(this)); }
    void Dispose() override;

    Adapter* adapter = nullptr;
    bool receive = false;
    NET_PACKET_QUEUE_CONFIG config{};

    NET_RING rings[2]{}; // packet, fragment
    NET_RING_COLLECTION collection{};
    std::vector<NET_PACKET> packets;
    std::vector<NET_FRAGMENT> fragments;
    std::vector<NET_FRAGMENT_VIRTUAL_ADDRESS> virtualAddresses;
    std::vector<NET_FRAGMENT_LOGICAL_ADDRESS> logicalAddresses;
    std::vector<NET_FRAGMENT_RETURN_CONTEXT> returnContexts;
    std::vector<NET_PACKET_CHECKSUM> checksums;
    UCHAR* txBuffers = nullptr; // one slot per fragment: backfill and frame
    size_t txSlot = 0;
    std::vector<UCHAR> frame; // a received packet's fragments put together

    // The execution context.
    PKTHREAD thread = nullptr;
    KEVENT wake;
    std::atomic<bool> armed{false};
    std::atomic<ULONG64> unarmedNotifies{0};
    UINT32 seenBegin[2]{}; // indexes after the last check (execution context only)
    UINT32 seenNext[2]{};
    bool broken = false;    // a contract violation was reported: the queue no longer moves
    bool cancelled = false; // EvtCancel ran

    std::mutex os; // guards what follows
    bool cancelRequested = false;
    UINT32 end[2]{};   // EndIndex of each ring as the system last set it
    UINT32 staged = 0; // transmit packets written past EndIndex, not yet posted
    UINT32 room = 0;   // transmit packets the system can still write
};

// Runs a driver callback for `object` with the host's checks (IRQL and locks on return, deletions
// deferred until it returned); a missing callback does nothing (and yields a default result).
template <typename Callback, typename... Args>
auto RunCallback(fx::Object* object, const char* what, Callback callback, Args... args)
{
    using Result = decltype(callback(args...));
    if constexpr (std::is_void_v<Result>) {
        if (callback == nullptr)
            return;
        {
            fx::CallbackScope scope(object, what, false);
            callback(args...);
        }
        fx::RunDeferredDeletions();
    } else {
        Result result{};
        if (callback == nullptr)
            return result;
        {
            fx::CallbackScope scope(object, what, false);
            result = callback(args...);
        }
        fx::RunDeferredDeletions();
        return result;
    }
}

// The failure a test injected into the next `call` (host::net::FailNext), or STATUS_SUCCESS.
NTSTATUS TakeInjected(host::net::Call call);

Adapter* AdapterFrom(NETADAPTER handle, const char* api);
DeviceBinding* BindingOf(fx::Device* device);

// The data path (queue.cpp). Both run with the adapter's control lock held.
NTSTATUS CreateDataPath(Adapter* adapter);
void TearDownDataPath(Adapter* adapter, bool deleteQueues);
// Queues the adapter's worker (creation after a start, receive buffer returns).
void KickWorker(Adapter* adapter);
void WorkerRoutine(host::WorkItem* item);
// Returns every held buffer to the driver and waits until the worker has handed all back.
void ReturnAllRxBuffers(Adapter* adapter);

// Adds the binding to (or takes it off) the host's list of bound devices (host.cpp).
void RegisterBinding(DeviceBinding* binding, bool bound);

// Wake sources (wake.cpp).
void ArmWakeSources(DeviceBinding* binding);
void DisarmWakeSources(DeviceBinding* binding);

} // namespace netadapter
