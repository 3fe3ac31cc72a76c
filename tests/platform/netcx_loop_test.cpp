// The packet adapter's data path end to end, through a driver image on the loop-back data path: packets
// cross both rings intact and in order, the queues go with D0 and come back, the driver's receive
// buffers stay with the system while it holds them, and wake sources are armed as the driver allows.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/netadapter.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/trace.h>
#include <host/utf.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host_test.h"
#include "netloop.h"

namespace
{

constexpr std::u16string_view kInstance = u"TEST\\NETLOOP\\0";
constexpr std::u16string_view kHardwareId = u"TEST\\NETLOOP";
constexpr LONGLONG kMs = 10000;

using Bytes = std::vector<UCHAR>;

// What the system received, as the sink saw it.
struct Received {
    std::mutex lock;
    std::vector<Bytes> packets;
    std::vector<const UCHAR*> buffers;

    std::function<void(const UCHAR*, size_t)> Sink()
    {
        return [this](const UCHAR* data, size_t length) {
            std::lock_guard<std::mutex> guard(lock);
            packets.emplace_back(data, data + length);
            buffers.push_back(data);
        };
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return packets.size();
    }
};

Bytes Pattern(size_t length, unsigned seed)
{
    Bytes bytes(length);
    for (size_t k = 0; k < length; k++)
        bytes[k] = UCHAR(seed * 131 + k * 7 + (k >> 8));
    return bytes;
}

class NetLoopTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::u16string key = std::u16string(host::kServicesKey) + u"\\NetLoopDrv";
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(key, u"ImagePath", host::utf::ToUtf16(WWAN_NETLOOP_IMAGE)));
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(kHardwareId, u"NetLoopDrv"));
        host::TraceClear();
    }

    void TearDown() override
    {
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
        }
        host::Quiesce();
        EXPECT_EQ(nullptr, host::DriverFind(u"NetLoopDrv"));
    }

    static void Set(std::u16string_view name, ULONG value)
    {
        std::u16string key = std::u16string(host::kServicesKey) + u"\\NetLoopDrv\\Parameters";
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(key, name, value));
    }

    // Adds the device and waits for its adapter's data path.
    NETADAPTER Start()
    {
        EXPECT_EQ(STATUS_SUCCESS, host::PnpAddDevice({std::u16string(kInstance), {std::u16string(kHardwareId)}, {}}));
        std::vector<NETADAPTER> adapters = host::net::Adapters(kInstance);
        EXPECT_EQ(1u, adapters.size());
        if (adapters.empty())
            return nullptr;
        NETADAPTER adapter = adapters[0];
        EXPECT_TRUE(host::net::Started(adapter));
        EXPECT_TRUE(hosttest::WaitUntil([&] { return host::net::DataPathRunning(adapter); }, 1000 * kMs, kMs));
        return adapter;
    }

    static bool WaitReceived(Received& received, size_t count)
    {
        return hosttest::WaitUntil([&] { return received.Count() >= count; }, 10000 * kMs, kMs);
    }

    // The driver's callbacks traced since the trace was last cleared, in order.
    static std::vector<std::string> Calls()
    {
        std::vector<std::string> calls;
        for (auto& line : host::TraceSnapshot())
            if (host::ImageName(line.image) == "NetLoopDrv" && line.text.rfind("cb ", 0) == 0)
                calls.push_back(line.text.substr(3));
        return calls;
    }

    // The same, clearing the trace: only where the driver is quiet.
    static std::vector<std::string> Take()
    {
        std::vector<std::string> calls = Calls();
        host::TraceClear();
        return calls;
    }

    static size_t Position(const std::vector<std::string>& calls, const std::string& call)
    {
        auto it = std::find(calls.begin(), calls.end(), call);
        EXPECT_NE(calls.end(), it) << call;
        return size_t(it - calls.begin());
    }

    static size_t Counted(const std::vector<std::string>& calls, const std::string& prefix)
    {
        return size_t(std::count_if(calls.begin(), calls.end(),
                                    [&](const std::string& call) { return call.rfind(prefix, 0) == 0; }));
    }
};

TEST_F(NetLoopTest, PacketsComeBackIntactAndInOrder)
{
    NETADAPTER adapter = Start();
    ASSERT_NE(nullptr, adapter);
    Received received;
    host::net::SetReceiveSink(adapter, received.Sink());
    // More packets than the rings and the driver's receive buffers hold, of every size up to the largest.
    std::vector<Bytes> sent;
    for (unsigned i = 0; i < 300; i++) {
        size_t length = i == 0 ? 1 : i == 1 ? NETLOOP_MAXIMUM_FRAME : 1 + (i * 977) % NETLOOP_MAXIMUM_FRAME;
        sent.push_back(Pattern(length, i));
        ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, sent.back().data(), length)) << i;
    }
    ASSERT_TRUE(WaitReceived(received, sent.size()));
    {
        std::lock_guard<std::mutex> guard(received.lock);
        EXPECT_TRUE(received.packets == sent);
    }
    host::net::Counters counters = host::net::Statistics(adapter);
    EXPECT_EQ(300u, counters.sent);
    EXPECT_EQ(300u, counters.received);
    EXPECT_EQ(1u, counters.creations);

    struct Case {
        size_t length;
        NTSTATUS status;
    };
    const Case refused[] = {{0, STATUS_INVALID_PARAMETER}, {NETLOOP_MAXIMUM_FRAME + 1, STATUS_INVALID_PARAMETER}};
    Bytes large(NETLOOP_MAXIMUM_FRAME + 1);
    for (const Case& c : refused)
        EXPECT_EQ(c.status, host::net::Transmit(adapter, large.data(), c.length)) << c.length;
}

TEST_F(NetLoopTest, IdleTearsTheQueuesDownAndATransmitBringsThemBack)
{
    NETADAPTER adapter = Start();
    ASSERT_NE(nullptr, adapter);
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(kInstance));
    EXPECT_EQ(PowerDeviceD3, host::PnpQueryPowerState(kInstance));
    EXPECT_FALSE(host::net::DataPathRunning(adapter));
    // Cancelled (both queues at once), stopped, deleted, all before the device's own D0 exit.
    auto calls = Take();
    size_t cancelled = std::max(Position(calls, "TxCancel"), Position(calls, "RxCancel"));
    EXPECT_LT(cancelled, Position(calls, "TxStop"));
    EXPECT_LT(Position(calls, "TxStop"), Position(calls, "RxStop"));
    EXPECT_LT(Position(calls, "RxStop"), Position(calls, "RxDestroy"));
    EXPECT_LT(Position(calls, "RxDestroy"), Position(calls, "TxDestroy"));
    EXPECT_LT(Position(calls, "TxDestroy"), Position(calls, "D0Exit 4"));

    // The transmit waits for D0 and for the queues created anew after the device's D0 entry.
    Received received;
    host::net::SetReceiveSink(adapter, received.Sink());
    Bytes packet = Pattern(60, 1);
    ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, packet.data(), packet.size()));
    EXPECT_EQ(PowerDeviceD0, host::PnpQueryPowerState(kInstance));
    ASSERT_TRUE(WaitReceived(received, 1));
    EXPECT_TRUE(received.packets[0] == packet);
    calls = Take();
    EXPECT_LT(Position(calls, "D0Entry 4"), Position(calls, "CreateTxQueue 0"));
    EXPECT_LT(Position(calls, "CreateTxQueue 0"), Position(calls, "CreateRxQueue 0"));
    EXPECT_LT(Position(calls, "CreateRxQueue 0"), Position(calls, "TxStart"));
    EXPECT_LT(Position(calls, "TxStart"), Position(calls, "RxStart"));
    EXPECT_EQ(2u, host::net::Statistics(adapter).creations);
}

TEST_F(NetLoopTest, ReceiveBuffersHeldByTheSystemComeBackLaterInAnyOrder)
{
    NETADAPTER adapter = Start();
    ASSERT_NE(nullptr, adapter);
    Received received;
    host::net::SetReceiveSink(adapter, received.Sink());
    host::net::HoldReceiveBuffers(adapter, true);
    std::vector<Bytes> sent;
    for (unsigned i = 0; i < 3; i++) {
        sent.push_back(Pattern(100, i));
        ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, sent.back().data(), 100));
    }
    ASSERT_TRUE(WaitReceived(received, 3));
    ASSERT_EQ(3u, host::net::HeldReceiveBufferCount(adapter));
    std::vector<const UCHAR*> held;
    for (size_t i = 0; i < 3; i++) {
        held.push_back(static_cast<const UCHAR*>(host::net::HeldReceiveBuffer(adapter, i)));
        EXPECT_EQ(received.buffers[i], held[i]) << "delivered in the driver's own buffer";
    }
    host::Quiesce();
    EXPECT_EQ(0u, Counted(Take(), "ReturnRxBuffer"));

    // More traffic, returned at once, never lands in a held buffer.
    host::net::HoldReceiveBuffers(adapter, false);
    for (unsigned i = 3; i < 5; i++) {
        sent.push_back(Pattern(100, i));
        ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, sent.back().data(), 100));
    }
    ASSERT_TRUE(WaitReceived(received, 5));
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(0, memcmp(held[i], sent[i].data(), 100)) << i;

    // Let go of the third, then the first: they go back in that order, later, and the driver's next
    // packet lands in the buffer it got back last.
    host::net::ReleaseReceiveBuffer(adapter, 2);
    host::net::ReleaseReceiveBuffer(adapter, 0);
    EXPECT_EQ(1u, host::net::HeldReceiveBufferCount(adapter));
    EXPECT_EQ(held[1], host::net::HeldReceiveBuffer(adapter, 0));
    ASSERT_TRUE(hosttest::WaitUntil([&] { return Counted(Calls(), "ReturnRxBuffer") == 4; }, 1000 * kMs, kMs));
    sent.push_back(Pattern(100, 5));
    ASSERT_EQ(STATUS_SUCCESS, host::net::Transmit(adapter, sent.back().data(), 100));
    ASSERT_TRUE(WaitReceived(received, 6));
    EXPECT_EQ(held[0], received.buffers[5]);
    EXPECT_TRUE(received.packets == sent);
}

TEST_F(NetLoopTest, BitmapPatternsTheDriverRefusesAreNotArmed)
{
    Set(u"RefusePattern", 7 + 1);
    NETADAPTER adapter = Start();
    ASSERT_NE(nullptr, adapter);
    host::net::AddWakeBitmapPattern(adapter, 5, Bytes(16, 0xAA), Bytes(2, 0xFF));
    host::net::AddWakeBitmapPattern(adapter, 7, Bytes(16, 0xBB), Bytes(2, 0xFF));
    host::net::AddWakeBitmapPattern(adapter, 9, Bytes(129, 0xCC), Bytes(17, 0xFF)); // above the maximum size
    host::net::SetWakeOnMediaChange(adapter, true);
    Take();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(kInstance));
    std::vector<std::string> wake;
    for (auto& call : Take())
        if (call.rfind("Preview", 0) == 0 || call.rfind("ArmWake", 0) == 0 || call.rfind("WakeSource", 0) == 0)
            wake.push_back(call);
    const std::vector<std::string> expected = {"Preview 5 16", "Preview 7 16", "ArmWake 2", "WakeSource 1 5",
                                               "WakeSource 3 0"};
    EXPECT_EQ(expected, wake);
}

} // namespace
