// Adapters and packet queues against a probe driver whose queue callbacks the tests write: the start's
// requirements and every setter's failure, the transmit backfill rule, the checks of the driver's ring
// indexes, the teardown's wait for what the driver holds, and the seam another class extension uses.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/netadapter.h>
#include <host/pnp.h>
#include <netadaptercx.h>

#include "host_test.h"
#include "netadapter/netcx.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace
{

constexpr std::u16string_view kInstance = u"TEST\\NETPROBE\\0";
constexpr std::u16string_view kHardwareId = u"TEST\\NETPROBE";
constexpr LONGLONG kMs = 10000;
constexpr size_t kBackfill = 496;

// How the probe's transmit advance treats what the system posts.
enum class Tx {
    Complete,        // gives every packet back at once
    HoldUntilCancel, // keeps them until cancelled, then gives one back per advance
    Keep,            // never gives them back
    BeginPastNext,   // moves BeginIndex beyond NextIndex
};

struct TxPacket {
    UINT16 fragmentCount;
    UINT32 validLength;
    UINT32 capacity;
    UINT32 offset;
    void* virtualAddress;
    UINT64 logicalAddress;
    std::vector<UCHAR> payload; // behind the backfill
};

struct Probe {
    std::mutex lock;
    Tx mode = Tx::Complete;
    bool cancelled = false;
    std::vector<TxPacket> seen;
    std::vector<std::string> events;
    NET_EXTENSION virtualAddress{};
    NET_EXTENSION logicalAddress{};
    bool unknownExtensionEnabled = false; // an extension of an unknown name, version or kind was offered
    WDFDEVICE device = nullptr;
    NTSTATUS (*startCheck)(NETADAPTER, void*) = nullptr;
};
Probe* g_probe;

void Event(const std::string& text)
{
    std::lock_guard<std::mutex> guard(g_probe->lock);
    g_probe->events.push_back(text);
}

UINT32 Outstanding(const NET_RING* packets)
{
    return NetRingGetRangeCount(packets, packets->BeginIndex, packets->EndIndex);
}

void ReturnOne(NET_RING* packets, NET_RING* fragments)
{
    packets->BeginIndex = NetRingIncrementIndex(packets, packets->BeginIndex);
    fragments->BeginIndex = NetRingIncrementIndex(fragments, fragments->BeginIndex);
}

void TxAdvance(NETPACKETQUEUE queue)
{
    const NET_RING_COLLECTION* rings = NetTxQueueGetRingCollection(queue);
    NET_RING* packets = NetRingCollectionGetPacketRing(rings);
    NET_RING* fragments = NetRingCollectionGetFragmentRing(rings);
    std::lock_guard<std::mutex> guard(g_probe->lock);
    for (UINT32 i = packets->NextIndex; i != packets->EndIndex; i = NetRingIncrementIndex(packets, i)) {
        NET_PACKET* packet = NetRingGetPacketAtIndex(packets, i);
        NET_FRAGMENT* fragment = NetRingGetFragmentAtIndex(fragments, packet->FragmentIndex);
        auto* buffer = static_cast<UCHAR*>(
            NetExtensionGetFragmentVirtualAddress(&g_probe->virtualAddress, packet->FragmentIndex)->VirtualAddress);
        UCHAR* payload = buffer + fragment->Offset + kBackfill;
        g_probe->seen.push_back(
            TxPacket{packet->FragmentCount, UINT32(fragment->ValidLength), UINT32(fragment->Capacity),
                     UINT32(fragment->Offset), buffer,
                     NetExtensionGetFragmentLogicalAddress(&g_probe->logicalAddress, packet->FragmentIndex)
                         ->LogicalAddress,
                     std::vector<UCHAR>(payload, payload + fragment->ValidLength - kBackfill)});
    }
    packets->NextIndex = packets->EndIndex;
    fragments->NextIndex = fragments->EndIndex;
    switch (g_probe->mode) {
    case Tx::Complete:
        packets->BeginIndex = packets->NextIndex;
        fragments->BeginIndex = fragments->NextIndex;
        break;
    case Tx::HoldUntilCancel:
        if (g_probe->cancelled && Outstanding(packets) != 0)
            ReturnOne(packets, fragments);
        break;
    case Tx::Keep:
        break;
    case Tx::BeginPastNext:
        if (Outstanding(packets) != 0)
            packets->BeginIndex = NetRingIncrementIndex(packets, packets->NextIndex);
        break;
    }
}

void TxCancel(NETPACKETQUEUE queue)
{
    NET_RING* packets = NetRingCollectionGetPacketRing(NetTxQueueGetRingCollection(queue));
    std::lock_guard<std::mutex> guard(g_probe->lock);
    g_probe->cancelled = true;
    g_probe->events.push_back("cancel " + std::to_string(Outstanding(packets)));
}

void TxStop(NETPACKETQUEUE queue)
{
    Event("stop " + std::to_string(Outstanding(NetRingCollectionGetPacketRing(NetTxQueueGetRingCollection(queue)))));
}

// The receive queue takes what the system posts and gives it all back, Ignore, when cancelled.
void RxAdvance(NETPACKETQUEUE queue)
{
    const NET_RING_COLLECTION* rings = NetRxQueueGetRingCollection(queue);
    for (NET_RING* ring : {NetRingCollectionGetPacketRing(rings), NetRingCollectionGetFragmentRing(rings)})
        ring->NextIndex = ring->EndIndex;
}

void RxCancel(NETPACKETQUEUE queue)
{
    const NET_RING_COLLECTION* rings = NetRxQueueGetRingCollection(queue);
    NET_RING* packets = NetRingCollectionGetPacketRing(rings);
    for (UINT32 i = packets->BeginIndex; i != packets->EndIndex; i = NetRingIncrementIndex(packets, i))
        NetRingGetPacketAtIndex(packets, i)->Ignore = 1;
    for (NET_RING* ring : {packets, NetRingCollectionGetFragmentRing(rings)})
        ring->NextIndex = ring->BeginIndex = ring->EndIndex;
}

void SetNotification(NETPACKETQUEUE, BOOLEAN) {}

NTSTATUS CreateTxQueue(NETADAPTER, NETTXQUEUE_INIT* init)
{
    NET_PACKET_QUEUE_CONFIG config;
    NET_PACKET_QUEUE_CONFIG_INIT(&config, TxAdvance, SetNotification, TxCancel);
    config.EvtStop = TxStop;
    NETPACKETQUEUE queue;
    NTSTATUS status = NetTxQueueCreate(init, WDF_NO_OBJECT_ATTRIBUTES, &config, &queue);
    if (!NT_SUCCESS(status))
        return status;
    NET_EXTENSION_QUERY query;
    NET_EXTENSION_QUERY_INIT(&query, NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_NAME,
                             NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_VERSION_1, NetExtensionTypeFragment);
    NetTxQueueGetExtension(queue, &query, &g_probe->virtualAddress);
    NET_EXTENSION_QUERY_INIT(&query, NET_FRAGMENT_EXTENSION_LOGICAL_ADDRESS_NAME,
                             NET_FRAGMENT_EXTENSION_LOGICAL_ADDRESS_VERSION_1, NetExtensionTypeFragment);
    NetTxQueueGetExtension(queue, &query, &g_probe->logicalAddress);
    struct Unknown {
        PCWSTR name;
        ULONG version;
        NET_EXTENSION_TYPE type;
    };
    const Unknown unknown[] = {
        {u"ms_fragment_unknown", 1, NetExtensionTypeFragment},
        {NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_NAME, 2, NetExtensionTypeFragment},
        {NET_FRAGMENT_EXTENSION_VIRTUAL_ADDRESS_NAME, 1, NetExtensionTypePacket},
        {NET_FRAGMENT_EXTENSION_RETURN_CONTEXT_NAME, 1, NetExtensionTypeFragment}, // receive queues only
    };
    for (const Unknown& u : unknown) {
        NET_EXTENSION extension;
        NET_EXTENSION_QUERY_INIT(&query, u.name, u.version, u.type);
        NetTxQueueGetExtension(queue, &query, &extension);
        g_probe->unknownExtensionEnabled |= extension.Enabled != FALSE || extension.Base != nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CreateRxQueue(NETADAPTER, NETRXQUEUE_INIT* init)
{
    NET_PACKET_QUEUE_CONFIG config;
    NET_PACKET_QUEUE_CONFIG_INIT(&config, RxAdvance, SetNotification, RxCancel);
    NETPACKETQUEUE queue;
    return NetRxQueueCreate(init, WDF_NO_OBJECT_ATTRIBUTES, &config, &queue);
}

void ReturnRxBuffer(NETADAPTER, PVOID, NET_FRAGMENT_RETURN_CONTEXT_HANDLE) {}

void AdapterCleanup(WDFOBJECT)
{
    Event("cleanup");
}

void AdapterDestroy(WDFOBJECT)
{
    Event("destroy");
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    NTSTATUS status = NetDeviceInitConfig(init);
    if (!NT_SUCCESS(status))
        return status;
    if (!netcx::DeviceInitConfigured(init))
        return STATUS_INTERNAL_ERROR;
    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS net;
    NET_DEVICE_POWER_POLICY_EVENT_CALLBACKS_INIT(&net);
    status = NetDeviceInitSetPowerPolicyEventCallbacks(init, &net);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &g_probe->device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
    idle.IdleTimeout = 60000;
    return WdfDeviceAssignS0IdleSettings(g_probe->device, &idle);
}

NTSTATUS Entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

// What an adapter is given before its start; each step can be left out.
struct AdapterSetup {
    bool datapath = true;
    bool capabilities = true;
    NTSTATUS (*startCheck)(NETADAPTER, void*) = nullptr;
};

class NetAdapterProbeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_probe = &probe_;
        host::DriverRegisterBuiltin(u"NetProbe", Entry);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(kHardwareId, u"NetProbe"));
    }

    void TearDown() override
    {
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
        }
        host::Quiesce();
        g_probe = nullptr;
    }

    static NTSTATUS AddDevice()
    {
        return host::PnpAddDevice({std::u16string(kInstance), {std::u16string(kHardwareId)}, {}});
    }

    // An adapter of the probe device, configured as `setup` says.
    NETADAPTER Create(const AdapterSetup& setup, int* context = nullptr)
    {
        NETADAPTER_INIT* init = netcx::AllocateInit(probe_.device, setup.startCheck, context);
        EXPECT_NE(nullptr, init);
        if (init == nullptr)
            return nullptr;
        if (setup.datapath) {
            NET_ADAPTER_DATAPATH_CALLBACKS datapath;
            NET_ADAPTER_DATAPATH_CALLBACKS_INIT(&datapath, CreateTxQueue, CreateRxQueue);
            NetAdapterInitSetDatapathCallbacks(init, &datapath);
        }
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = AdapterCleanup;
        attributes.EvtDestroyCallback = AdapterDestroy;
        NETADAPTER adapter = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, NetAdapterCreate(init, &attributes, &adapter));
        NetAdapterInitFree(init);
        if (setup.capabilities) {
            EXPECT_EQ(STATUS_SUCCESS, SetCapabilities(adapter));
        }
        return adapter;
    }

    static NTSTATUS SetCapabilities(NETADAPTER adapter)
    {
        NET_ADAPTER_TX_CAPABILITIES tx;
        NET_ADAPTER_TX_CAPABILITIES_INIT(&tx, 1);
        tx.PayloadBackfill = kBackfill;
        tx.MaximumFrameSize = 4096;
        tx.MaximumNumberOfFragments = 1;
        tx.FragmentRingNumberOfElementsHint = 16;
        NET_ADAPTER_RX_CAPABILITIES rx;
        NET_ADAPTER_RX_CAPABILITIES_INIT_DRIVER_MANAGED(&rx, ReturnRxBuffer, 4096, 1);
        return NetAdapterSetDataPathCapabilities(adapter, &tx, &rx);
    }

    // A started adapter with its data path running, its transmit advance as `mode` says.
    NETADAPTER Running(Tx mode)
    {
        probe_.mode = mode;
        EXPECT_EQ(STATUS_SUCCESS, AddDevice());
        NETADAPTER adapter = Create(AdapterSetup{});
        EXPECT_EQ(STATUS_SUCCESS, NetAdapterStart(adapter));
        EXPECT_TRUE(hosttest::WaitUntil([&] { return host::net::DataPathRunning(adapter); }, 1000 * kMs, kMs));
        return adapter;
    }

    bool WaitSeen(size_t count)
    {
        return hosttest::WaitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(probe_.lock);
                return probe_.seen.size() >= count;
            },
            1000 * kMs, kMs);
    }

    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> guard(probe_.lock);
        return probe_.events;
    }

    Probe probe_;
};

// Drivers rely on the flag bits' and the fragment lengths' places in the records.
TEST(NetRecords, FlagsAndLengthsSitWhereDriversFindThem)
{
    auto byte11 = [](const NET_PACKET& packet) { return reinterpret_cast<const UCHAR*>(&packet)[11]; };
    NET_PACKET packet{};
    packet.Ignore = 1;
    EXPECT_EQ(0x01, byte11(packet));
    packet = NET_PACKET{};
    packet.Scratch = 1;
    EXPECT_EQ(0x02, byte11(packet));

    static_assert(sizeof(NET_FRAGMENT) == sizeof(UINT64));
    NET_FRAGMENT fragment{};
    fragment.ValidLength = 0x3FFFFFF;
    fragment.Offset = 0x201;
    UINT64 word;
    memcpy(&word, &fragment, sizeof(word));
    EXPECT_EQ((UINT64(0x201) << 52) | 0x3FFFFFF, word);
    fragment = NET_FRAGMENT{};
    fragment.Capacity = 0x3FFFFFF;
    memcpy(&word, &fragment, sizeof(word));
    EXPECT_EQ(UINT64(0x3FFFFFF) << 26, word);
}

NTSTATUS RefuseStart(NETADAPTER, void* context)
{
    ++*static_cast<int*>(context);
    return STATUS_DEVICE_NOT_READY;
}

TEST_F(NetAdapterProbeTest, StartNeedsCallbacksCapabilitiesAndTheStartCheck)
{
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    struct Case {
        const char* what;
        AdapterSetup setup;
        bool injected; // the start itself fails with kInjected
        NTSTATUS status;
    };
    constexpr NTSTATUS kInjected = STATUS_INSUFFICIENT_RESOURCES;
    const Case cases[] = {
        {"no datapath callbacks", {false, true, nullptr}, false, STATUS_INVALID_DEVICE_STATE},
        {"no capabilities", {true, false, nullptr}, false, STATUS_INVALID_DEVICE_STATE},
        {"the start check refuses", {true, true, RefuseStart}, false, STATUS_DEVICE_NOT_READY},
        {"the start fails", {true, true, nullptr}, true, kInjected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int checks = 0;
        NETADAPTER adapter = Create(c.setup, &checks);
        if (c.injected)
            host::net::FailNext(host::net::Call::AdapterStart, kInjected);
        EXPECT_EQ(c.status, NetAdapterStart(adapter));
        EXPECT_EQ(c.setup.startCheck != nullptr ? 1 : 0, checks);
        EXPECT_FALSE(netcx::Started(adapter));
        netcx::RemoveAdapter(adapter);
    }
    // A start that passes the check starts the adapter, once.
    NETADAPTER adapter = Create(AdapterSetup{});
    EXPECT_EQ(STATUS_SUCCESS, NetAdapterStart(adapter));
    EXPECT_TRUE(netcx::Started(adapter));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, NetAdapterStart(adapter));
}

TEST_F(NetAdapterProbeTest, EverySetterReportsItsInjectedFailure)
{
    ASSERT_EQ(STATUS_SUCCESS, AddDevice());
    NETADAPTER adapter = Create(AdapterSetup{true, false, nullptr});
    using Call = host::net::Call;
    struct Case {
        Call call;
        std::function<NTSTATUS()> set;
    };
    NET_ADAPTER_LINK_LAYER_CAPABILITIES link;
    NET_ADAPTER_LINK_LAYER_CAPABILITIES_INIT(&link, 1000, 1000);
    NET_ADAPTER_WAKE_BITMAP_CAPABILITIES bitmap;
    NET_ADAPTER_WAKE_BITMAP_CAPABILITIES_INIT(&bitmap);
    NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES media;
    NET_ADAPTER_WAKE_MEDIA_CHANGE_CAPABILITIES_INIT(&media);
    NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES filter;
    NET_ADAPTER_WAKE_PACKET_FILTER_CAPABILITIES_INIT(&filter);
    const Case cases[] = {
        {Call::SetLinkLayerCapabilities, [&] { return NetAdapterSetLinkLayerCapabilities(adapter, &link); }},
        {Call::SetLinkLayerMtuSize, [&] { return NetAdapterSetLinkLayerMtuSize(adapter, 1500); }},
        {Call::SetDataPathCapabilities, [&] { return SetCapabilities(adapter); }},
        {Call::WakeSetBitmapCapabilities, [&] { return NetAdapterWakeSetBitmapCapabilities(adapter, &bitmap); }},
        {Call::WakeSetMediaChangeCapabilities, [&] { return NetAdapterWakeSetMediaChangeCapabilities(adapter, &media); }},
        {Call::WakeSetPacketFilterCapabilities,
         [&] { return NetAdapterWakeSetPacketFilterCapabilities(adapter, &filter); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.call));
        host::net::FailNext(c.call, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, c.set());
        EXPECT_EQ(STATUS_SUCCESS, c.set());
    }
    EXPECT_EQ(STATUS_SUCCESS, NetAdapterStart(adapter));
}

TEST_F(NetAdapterProbeTest, DeviceInitFailuresFailTheDeviceAdd)
{
    for (auto call : {host::net::Call::DeviceInitConfig, host::net::Call::DeviceInitSetPowerPolicyEventCallbacks}) {
        SCOPED_TRACE(int(call));
        host::net::FailNext(call, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddDevice());
        EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    }
}

TEST_F(NetAdapterProbeTest, TransmitPacketsLieBehindTheBackfillInOneFragment)
{
    NETADAPTER adapter = Running(Tx::Complete);
    std::vector<std::vector<UCHAR>> sent = {std::vector<UCHAR>(104), std::vector<UCHAR>(4096)};
    for (size_t i = 0; i < sent.size(); i++) {
        for (size_t k = 0; k < sent[i].size(); k++)
            sent[i][k] = UCHAR(k * 3 + i);
        ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, sent[i].data(), sent[i].size()));
    }
    ASSERT_TRUE(WaitSeen(2));
    std::lock_guard<std::mutex> guard(probe_.lock);
    EXPECT_FALSE(probe_.unknownExtensionEnabled);
    for (size_t i = 0; i < sent.size(); i++) {
        const TxPacket& packet = probe_.seen[i];
        EXPECT_EQ(1u, packet.fragmentCount);
        EXPECT_EQ(kBackfill + sent[i].size(), packet.validLength); // 600 for the 104-byte packet
        EXPECT_LE(packet.validLength, packet.capacity);
        EXPECT_EQ(0u, packet.offset);
        EXPECT_EQ(UINT64(MmGetPhysicalAddress(packet.virtualAddress).QuadPart), packet.logicalAddress);
        EXPECT_TRUE(packet.payload == sent[i]);
    }
}

TEST_F(NetAdapterProbeTest, BeginIndexMovedPastNextIndexIsReported)
{
    NETADAPTER adapter = Running(Tx::BeginPastNext);
    hosttest::ExpectReport report(host::Check::NetDataPathViolation);
    UCHAR packet[20] = {};
    ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, packet, sizeof(packet)));
    EXPECT_TRUE(hosttest::WaitUntil([&] { return report.Count() > 0; }, 1000 * kMs, kMs));
    EXPECT_EQ(0u, host::net::Statistics(adapter).sent);
}

TEST_F(NetAdapterProbeTest, LeavingD0WaitsUntilTheDriverGaveEverythingBack)
{
    NETADAPTER adapter = Running(Tx::HoldUntilCancel);
    UCHAR packet[60] = {};
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, packet, sizeof(packet)));
    ASSERT_TRUE(WaitSeen(3));
    EXPECT_EQ(0u, host::net::Statistics(adapter).sent);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(kInstance));
    // Cancelled with three packets held, stopped with none: one advance per packet lay between.
    EXPECT_EQ((std::vector<std::string>{"cancel 3", "stop 0"}), Events());
    EXPECT_EQ(3u, host::net::Statistics(adapter).sent);
}

TEST_F(NetAdapterProbeTest, ADriverThatNeverGivesPacketsBackIsReportedAndStopped)
{
    NETADAPTER adapter = Running(Tx::Keep);
    UCHAR packet[60] = {};
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, packet, sizeof(packet)));
    ASSERT_TRUE(WaitSeen(2));
    {
        hosttest::ExpectReport report(host::Check::NetDataPathViolation);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(kInstance));
        EXPECT_EQ(1, report.Count());
    }
    EXPECT_EQ((std::vector<std::string>{"cancel 2", "stop 2"}), Events());
    EXPECT_EQ(PowerDeviceD3, host::PnpQueryPowerState(kInstance));
}

TEST_F(NetAdapterProbeTest, RemovingAnAdapterStopsItsDataPathBeforeItsCleanup)
{
    NETADAPTER adapter = Running(Tx::HoldUntilCancel);
    netcx::SetLinkState(adapter, true);
    EXPECT_TRUE(netcx::LinkUp(adapter));
    UCHAR packet[60] = {};
    ASSERT_EQ(STATUS_SUCCESS, netcx::Transmit(adapter, packet, sizeof(packet)));
    ASSERT_TRUE(WaitSeen(1));
    netcx::RemoveAdapter(adapter);
    EXPECT_EQ((std::vector<std::string>{"cancel 1", "stop 0", "cleanup", "destroy"}), Events());
    EXPECT_TRUE(host::net::Adapters(kInstance).empty());
}

} // namespace
