// The port layer over fake port kinds and a fake HIF that captures sends: proxy life cycle and table
// switches, receive dispatch by channel and by queue, sequence checks, numbered sends, message and
// control frames, the write gate and the modem's port enumeration.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/pool.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "ccci_bm.h"
#include "ccci_hif.h"
#include "ccci_port.h"
#include "device_fixture.h"
#include "fsm.h"
#include "host_test.h"
#include "modem_object.h"

namespace
{

using Calls = std::vector<std::string>;

constexpr u8 kSap = CLDMA_HIF_SAP;
constexpr u8 kMd = CLDMA_HIF_MD;

// ---- A fake HIF engine: captures every frame sent and answers with `result`.
struct Sent {
    u8 hif;
    u8 qno;
    std::vector<u8> bytes;
    int from_pool;
    int blocking;
};
std::vector<Sent> g_sent;
int g_send_result = 0;

int FakeSend(u8, u8 hif, u8 qno, struct sk_buff* skb, int from_pool, int blocking)
{
    g_sent.push_back({hif, qno, std::vector<u8>(skb->data, skb->data + skb->len), from_pool, blocking});
    if (g_send_result == 0)
        bm_free_skb(skb, 0x46414B45u);
    return g_send_result;
}
const struct ccci_hif_ops kFakeHif = [] {
    struct ccci_hif_ops ops = {};
    ops.send_skb = FakeSend;
    return ops;
}();
int g_fake_ctrl;

// ---- A fake port kind: records what the port layer asks of it; receive answers with `recv_result`
// and takes the buffer when that is 0 or more.
Calls g_calls;
int g_recv_result = 0;

std::string Named(const char* what, const struct ccci_port* port)
{
    return std::string(what) + " " + port->name;
}
int FakeInit(struct ccci_port* port)
{
    g_calls.push_back(Named("init", port));
    return 0;
}
void FakeUninit(struct ccci_port* port)
{
    g_calls.push_back(Named("uninit", port));
}
int FakeRecv(struct ccci_port* port, struct sk_buff* skb)
{
    g_calls.push_back(Named("recv", port));
    if (g_recv_result >= 0)
        bm_free_skb(skb, CCCI_PORT_TAG);
    return g_recv_result;
}
void FakeState(struct ccci_port* port, u32 state)
{
    g_calls.push_back(Named("state", port) + " " + std::to_string(state));
}
int FakeEnable(struct ccci_port* port)
{
    g_calls.push_back(Named("enable", port));
    return 0;
}
int FakeDisable(struct ccci_port* port)
{
    g_calls.push_back(Named("disable", port));
    return 0;
}
const struct ccci_port_ops kFakeKind = [] {
    struct ccci_port_ops ops = {};
    ops.init = FakeInit;
    ops.recv_skb = FakeRecv;
    ops.md_state_notify = FakeState;
    ops.uninit = FakeUninit;
    ops.enable_channel = FakeEnable;
    ops.disable_channel = FakeDisable;
    return ops;
}();

class PortLayer : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        doubles::FsmState() = {};
        doubles::Modem() = {};
        const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
        memcpy(hif_path_map[0], map, sizeof(map));
        ccci_hif_set_ctrl(0, kSap, &g_fake_ctrl, &kFakeHif);
        ccci_hif_set_ctrl(0, kMd, &g_fake_ctrl, &kFakeHif);
        g_sent.clear();
        g_calls.clear();
        g_send_result = 0;
        g_recv_result = 0;
        memcpy(saved_normal_, ccci_port_table, sizeof(saved_normal_));
        memcpy(saved_boot_, ccci_boot_port_table, sizeof(saved_boot_));
        for (struct ccci_port& port : ccci_port_table)
            port.ops = &kFakeKind;
        for (struct ccci_port& port : ccci_boot_port_table)
            port.ops = &kFakeKind;
    }

    void TearDown() override
    {
        if (ccci_port_get_proxy(0) != nullptr) {
            EXPECT_EQ(0, ccci_port_proxy_destroy(0));
        }
        memcpy(ccci_port_table, saved_normal_, sizeof(saved_normal_));
        memcpy(ccci_boot_port_table, saved_boot_, sizeof(saved_boot_));
        ccci_hif_set_ctrl(0, kSap, nullptr, nullptr);
        ccci_hif_set_ctrl(0, kMd, nullptr, nullptr);
        DeviceTest::TearDown();
    }

    void Create(u8 mode = CCCI_TABLE_NORMAL)
    {
        ASSERT_EQ(0, ccci_port_proxy_create(0, mode));
        g_calls.clear();
    }

    static struct ccci_port* Port(const char* name) { return ccci_port_get_by_name(0, name); }

    static struct sk_buff* Frame(u32 channel, u16 seq, u32 length = CCCI_HEADER_SIZE, u32 data0 = 0)
    {
        struct sk_buff* skb = bm_alloc_skb(SKB_3_5K, false, true, CCCI_PORT_TAG);
        u32 header_bytes = length < CCCI_HEADER_SIZE ? length : CCCI_HEADER_SIZE;
        struct ccci_header header = {data0, length, (u16)channel, seq, 0};
        memcpy(skb_put(skb, header_bytes), &header, header_bytes);
        if (length > CCCI_HEADER_SIZE)
            memset(skb_put(skb, length - CCCI_HEADER_SIZE), 0x5A, length - CCCI_HEADER_SIZE);
        return skb;
    }

    static int Recv(u8 hif, struct sk_buff* skb) { return ccci_port_recv_skb(ccci_md_get(0), hif, skb); }

    static Calls Take()
    {
        Calls calls = g_calls;
        g_calls.clear();
        return calls;
    }

    static struct ccci_header SentHeader(size_t i)
    {
        struct ccci_header header = {};
        memcpy(&header, g_sent.at(i).bytes.data(), sizeof(header));
        return header;
    }

    struct ccci_port saved_normal_[CCCI_PORT_COUNT];
    struct ccci_port saved_boot_[CCCI_BOOT_PORT_COUNT];
};

// ---------------------------------------------------------------------------------------------
// Proxy and tables.

TEST_F(PortLayer, CreateLoadsTheNormalTableAndDestroyUninitsIt)
{
    doubles::Modem().exists = false;
    EXPECT_EQ(-1, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
    doubles::Modem().exists = true;
    EXPECT_EQ(-1, ccci_port_proxy_destroy(0));

    ASSERT_EQ(0, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
    EXPECT_EQ(-1, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(0);
    ASSERT_NE(nullptr, proxy);
    EXPECT_EQ(CCCI_PORT_COUNT, proxy->port_count);
    EXPECT_STREQ("CCCI_PORT0", proxy->name);
    EXPECT_EQ(Port("ccci_sys"), proxy->sys_port);
    EXPECT_EQ(Port("ccci_ctrl"), proxy->ctrl_port);
    EXPECT_EQ(Port("ccci_ctrl"), doubles::Modem().ctrl_port[CCCI_CORE_MD]);
    EXPECT_EQ(Port("ccci_sap_ctrl"), doubles::Modem().ctrl_port[CCCI_CORE_SAP]);
    Calls expected;
    for (const struct ccci_port& port : ccci_port_table) {
        expected.push_back(Named("init", &port));
        EXPECT_EQ(-1, port.rx_seq);
        EXPECT_EQ(proxy, port.proxy);
        EXPECT_EQ((port.flags & PORT_F_ENABLED) != 0, port.enabled != 0) << port.name;
    }
    EXPECT_EQ(expected, Take());

    EXPECT_EQ(0, ccci_port_proxy_destroy(0));
    EXPECT_EQ(nullptr, ccci_port_get_proxy(0));
    ASSERT_EQ(size_t(CCCI_PORT_COUNT), g_calls.size());
    EXPECT_EQ("uninit ttyC0", g_calls.front());
    EXPECT_EQ("uninit ccci_sap_ctrl", g_calls.back());
}

TEST_F(PortLayer, TableSwitchesInitAndUninitInOrder)
{
    Create();
    auto names = [](const char* what, const struct ccci_port* table, int count) {
        Calls calls;
        for (int i = 0; i < count; i++)
            calls.push_back(Named(what, &table[i]));
        return calls;
    };
    Calls uninit_normal = names("uninit", ccci_port_table, CCCI_PORT_COUNT);
    Calls init_normal = names("init", ccci_port_table, CCCI_PORT_COUNT);
    Calls uninit_boot = names("uninit", ccci_boot_port_table, CCCI_BOOT_PORT_COUNT);
    Calls init_boot = names("init", ccci_boot_port_table, CCCI_BOOT_PORT_COUNT);
    auto join = [](Calls a, const Calls& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    ccci_port_switch_table(0, CCCI_TABLE_NORMAL);
    EXPECT_EQ(Calls{}, Take());
    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    EXPECT_EQ(join(uninit_normal, init_boot), Take());
    // The raw boot ports own their SAP receive queues.
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(0);
    EXPECT_EQ(&ccci_boot_port_table[0], proxy->queue_owner[kSap][0]);
    EXPECT_EQ(&ccci_boot_port_table[1], proxy->queue_owner[kSap][1]);
    ccci_port_switch_table(0, CCCI_TABLE_NORMAL);
    EXPECT_EQ(join(uninit_boot, init_normal), Take());

    // On resume the normal ports stay initialised under the boot table, and are not initialised again.
    ccci_port_switch_table_resume(0, CCCI_TABLE_BOOT);
    EXPECT_EQ(init_boot, Take());
    ccci_port_switch_table_resume(0, CCCI_TABLE_BOOT);
    EXPECT_EQ(Calls{}, Take());
    ccci_port_switch_table_resume(0, CCCI_TABLE_NORMAL);
    EXPECT_EQ(uninit_boot, Take());
    EXPECT_EQ(CCCI_TABLE_NORMAL, proxy->table_mode);
    EXPECT_EQ(ccci_port_table, proxy->ports);
}

TEST_F(PortLayer, LookupsAreBuiltOnlyForTheNormalTable)
{
    Create(CCCI_TABLE_BOOT);
    EXPECT_EQ(CCCI_RX_DROPPED, Recv(kMd, Frame(CCCI_SYSTEM_RX, 0)));
    EXPECT_EQ(Calls{}, Take());
    ccci_port_switch_table(0, CCCI_TABLE_NORMAL);
    g_calls.clear();
    EXPECT_EQ(0, Recv(kMd, Frame(CCCI_SYSTEM_RX, 0)));
    EXPECT_EQ(Calls{"recv ccci_sys"}, Take());
    // Under the boot table the normal ports are still found by channel: only mode 0 rebuilds the hash.
    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    g_calls.clear();
    EXPECT_EQ(0, Recv(kMd, Frame(CCCI_SYSTEM_RX, 0)));
    EXPECT_EQ(Calls{"recv ccci_sys"}, Take());
}

// A message thread may wait on its port's event while the table is loaded again: the event and the
// queue's lock are made once and kept.
TEST_F(PortLayer, ReloadingATableKeepsTheEventsAndLocksThatThreadsWaitOn)
{
    Create();
    struct ccci_port* sys = Port("ccci_sys");
    WDFSPINLOCK queue_lock = sys->rx_queue.lock;
    WDFSPINLOCK enable_lock = sys->enable_lock;
    std::atomic<bool> waiting{false}, woken{false};
    HANDLE thread = hosttest::StartThread([&] {
        waiting = true;
        woken = win_wait_interruptible(&sys->rx_event) == 0;
    });
    ASSERT_TRUE(hosttest::WaitUntil([&] { return waiting.load(); }, 10000000, 10000));
    host::ClockAdvance(0); // the thread is in its wait now
    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    ccci_port_switch_table(0, CCCI_TABLE_NORMAL);
    EXPECT_EQ(queue_lock, sys->rx_queue.lock);
    EXPECT_EQ(enable_lock, sys->enable_lock);
    KeSetEvent(&sys->rx_event, IO_NO_INCREMENT, FALSE);
    hosttest::JoinThread(thread);
    EXPECT_TRUE(woken);
}

TEST_F(PortLayer, LookupsByNameChannelAndDeviceNumber)
{
    EXPECT_EQ(nullptr, Port("ttyC0"));
    Create();
    struct ccci_port* mbim = &ccci_port_table[9];
    EXPECT_EQ(mbim, Port("ttyCMBIM0"));
    EXPECT_EQ(&ccci_port_table[12], Port("ttyCMBIMDSS0"));
    EXPECT_EQ(nullptr, Port("ttyX"));
    EXPECT_EQ(nullptr, Port(nullptr));
    EXPECT_EQ(mbim, ccci_port_get_by_channel(0, 0x20D0));
    EXPECT_EQ(mbim, ccci_port_get_by_channel(0, 0x20D1));
    EXPECT_EQ(nullptr, ccci_port_get_by_channel(0, 0xFFFFFFFFu));
    EXPECT_EQ(nullptr, ccci_port_get_by_channel(1, 0x20D0));
    EXPECT_EQ(mbim, ccci_port_get_by_devt(0, 10));
    EXPECT_EQ(nullptr, ccci_port_get_by_devt(1, 10));
    EXPECT_EQ(nullptr, ccci_port_get_by_devt(0, 99));
}

TEST_F(PortLayer, OpenFlagsFollowTheOpenPortsChannels)
{
    Create();
    struct {
        const char* port;
        int bit;
    } const cases[] = {{"ttyC0", CCCI_OPEN_TTYC0}, {"ttyCMdLog", CCCI_OPEN_MD_LOG}, {"ttyCMdMeta", CCCI_OPEN_MD_META}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        ccci_port_set_open_flag(Port(c.port));
        EXPECT_EQ(1, ccci_port_proxy_test_flag(0, c.bit));
        EXPECT_EQ(LONG(1) << c.bit, ccci_port_get_proxy(0)->open_flags);
        ccci_port_clear_open_flag(Port(c.port));
        EXPECT_EQ(0, ccci_port_proxy_test_flag(0, c.bit));
    }
    ccci_port_set_open_flag(Port("ttyCMBIM0"));
    EXPECT_EQ(0, ccci_port_get_proxy(0)->open_flags);
    EXPECT_EQ(0, ccci_port_proxy_test_flag(1, CCCI_OPEN_MD_LOG));
}

TEST_F(PortLayer, ModemStateReachesEveryPortAndClearsTheDumpedPortsCounters)
{
    Create();
    struct ccci_port* tty = Port("ttyC0");
    tty->flags |= PORT_F_DUMP;
    for (u32 state : {MD_STATE_READY, MD_STATE_STOPPED}) {
        SCOPED_TRACE(state);
        tty->rx_count = tty->drop_count = tty->tx_count = 3;
        ccci_port_md_state_notify(0, state);
        Calls calls = Take();
        ASSERT_EQ(size_t(CCCI_PORT_COUNT), calls.size());
        EXPECT_EQ("state ttyC0 " + std::to_string(state), calls.front());
        EXPECT_EQ("state ccci_sap_ctrl " + std::to_string(state), calls.back());
        u32 expected = state == MD_STATE_READY ? 3 : 0;
        EXPECT_EQ(expected, tty->rx_count);
        EXPECT_EQ(expected, tty->drop_count);
        EXPECT_EQ(expected, tty->tx_count);
    }
    Port("ttyCMBIM0")->tx_count = 5;
    ccci_port_md_state_notify(0, MD_STATE_INIT);
    EXPECT_EQ(5u, Port("ttyCMBIM0")->tx_count);
}

// ---------------------------------------------------------------------------------------------
// Receive.

TEST_F(PortLayer, FramesReachThePortOfTheirChannelAndHif)
{
    Create();
    struct {
        u8 hif;
        u32 channel;
        const char* port; // none: released with -317
    } const cases[] = {
        {kMd, 0x2002, "ccci_sys"},      {kSap, 0x2002, nullptr},    {kSap, 0x1002, "ccci_sap_lb_it"},
        {kMd, 0x200A, "ttyC0"},         {kSap, 0x100A, "ccci_sap_adb"}, {kMd, 0x20E0, "ttyCMBIMDSS7"},
        {kMd, 0x20E2, nullptr},         {kMd, 0x0FFF, nullptr},     {kMd, 0x2001, nullptr},
        {kMd, 0xFFFF, nullptr},         {kSap, 0x1000, "ccci_sap_ctrl"}, {kMd, 0x2043, "ccci_poll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "hif " << unsigned(c.hif) << " channel 0x" << std::hex << c.channel);
        EXPECT_EQ(c.port != nullptr ? 0 : CCCI_RX_DROPPED, Recv(c.hif, Frame(c.channel, 0)));
        EXPECT_EQ(c.port != nullptr ? Calls{Named("recv", Port(c.port))} : Calls{}, Take());
    }

    doubles::FsmState().md_state = MD_STATE_INIT;
    EXPECT_EQ(CCCI_RX_DROPPED, Recv(kMd, Frame(0x2002, 0)));
    EXPECT_EQ(Calls{}, Take());
    EXPECT_EQ(0, Recv(kMd, nullptr));
}

// Frames shorter than the header carry no channel and would wrap a header-stripping port's length.
TEST_F(PortLayer, FramesShorterThanTheHeaderAreReleased)
{
    Create();
    for (u32 length : {0u, 8u, 10u, 15u}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(CCCI_RX_DROPPED, Recv(kMd, Frame(CCCI_SYSTEM_RX, 0, length)));
    }
    EXPECT_EQ(Calls{}, Take());
    EXPECT_EQ(0, Recv(kMd, Frame(CCCI_SYSTEM_RX, 0, CCCI_HEADER_SIZE)));
    EXPECT_EQ(Calls{"recv ccci_sys"}, Take());
}

TEST_F(PortLayer, ABusyPortKeepsTheFrameWithTheCallerAndOtherRefusalsRelease)
{
    Create();
    struct ccci_port* sys = Port("ccci_sys");
    sys->rx_seq = 3;
    g_recv_result = CCCI_RX_BUSY;
    struct sk_buff* skb = Frame(CCCI_SYSTEM_RX, CCCI_SEQ_VALID | 4);
    EXPECT_EQ(CCCI_RX_BUSY, Recv(kMd, skb));
    EXPECT_EQ(1u, sys->rx_busy_count);
    EXPECT_EQ(3, sys->rx_seq);
    g_recv_result = 0;
    EXPECT_EQ(0, Recv(kMd, skb)); // offered again, now taken
    EXPECT_EQ(4, sys->rx_seq);

    for (int refusal : {CCCI_RX_DROPPED, -22}) {
        g_recv_result = refusal;
        EXPECT_EQ(CCCI_RX_DROPPED, Recv(kMd, Frame(CCCI_SYSTEM_RX, CCCI_SEQ_VALID | 5)));
    }
    EXPECT_EQ(5, sys->rx_seq);
    EXPECT_EQ(1u, sys->rx_busy_count);
}

TEST_F(PortLayer, SequenceGapsAreReportedAndTheFramesStillDelivered)
{
    Create();
    struct ccci_port* sys = Port("ccci_sys");
    struct {
        s16 last;
        u16 seq;
        bool gap;
        s16 after;
    } const cases[] = {
        {-1, CCCI_SEQ_VALID | 0, false, 0},   {3, CCCI_SEQ_VALID | 4, false, 4},
        {3, CCCI_SEQ_VALID | 5, true, 5},     {-1, CCCI_SEQ_VALID | 3, true, 3},
        {0x7FFF, CCCI_SEQ_VALID | 0, false, 0}, {3, 9, false, 9},
        {0, CCCI_SEQ_VALID | 7, false, 7}, // the frame after number 0 is not checked
        {3, CCCI_SEQ_VALID | 3, true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "last " << c.last << " seq 0x" << std::hex << c.seq);
        doubles::Modem().hif_flags.clear();
        sys->rx_seq = c.last;
        EXPECT_EQ(0, Recv(kMd, Frame(CCCI_SYSTEM_RX, c.seq)));
        EXPECT_EQ(Calls{"recv ccci_sys"}, Take());
        EXPECT_EQ(c.after, sys->rx_seq);
        ASSERT_EQ(c.gap ? 1u : 0u, doubles::Modem().hif_flags.size());
        if (c.gap) {
            EXPECT_EQ(CCCI_HIF_FLAG_DUMP_SAP, doubles::Modem().hif_flags[0].flags);
            EXPECT_EQ(sys->rxq, doubles::Modem().hif_flags[0].length);
        }
    }
}

TEST_F(PortLayer, QueueOwnersTakeEveryFrameOfTheirQueue)
{
    Create(CCCI_TABLE_BOOT);
    const u8 raw[] = {0xA0, 0x0A, 0x50};
    auto bytes = [&] {
        struct sk_buff* skb = bm_alloc_skb(SKB_16, false, true, CCCI_PORT_TAG);
        memcpy(skb_put(skb, sizeof(raw)), raw, sizeof(raw));
        return skb;
    };
    struct ccci_md* md = ccci_md_get(0);
    EXPECT_EQ(0, ccci_port_recv_queue_skb(md, kSap, 0, bytes()));
    EXPECT_EQ(0, ccci_port_recv_queue_skb(md, kSap, 1, bytes()));
    EXPECT_EQ((Calls{"recv brom_download", "recv ttyDUMP"}), Take());
    EXPECT_EQ(CCCI_RX_DROPPED, ccci_port_recv_queue_skb(md, kSap, 2, bytes()));
    EXPECT_EQ(CCCI_RX_DROPPED, ccci_port_recv_queue_skb(md, kMd, 0, bytes()));
    EXPECT_EQ(CCCI_RX_DROPPED, ccci_port_recv_queue_skb(md, kSap, 16, bytes()));
    EXPECT_EQ(CCCI_RX_DROPPED, ccci_port_recv_queue_skb(md, 7, 0, bytes()));
    EXPECT_EQ(Calls{}, Take());
    g_recv_result = CCCI_RX_BUSY;
    struct sk_buff* kept = bytes();
    EXPECT_EQ(CCCI_RX_BUSY, ccci_port_recv_queue_skb(md, kSap, 0, kept));
    g_recv_result = -22;
    EXPECT_EQ(CCCI_RX_DROPPED, ccci_port_recv_queue_skb(md, kSap, 0, kept));
    EXPECT_EQ(0, ccci_port_recv_queue_skb(md, kSap, 0, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Send.

TEST_F(PortLayer, SendsAreNumberedPerPortFromZero)
{
    Create();
    struct ccci_port* sys = Port("ccci_sys");
    EXPECT_EQ(0, ccci_port_send_msg(sys, 0x115, 7, 1));
    EXPECT_EQ(0, ccci_port_send_msg(sys, 0x117, 8, 1));
    EXPECT_EQ(0, ccci_send_msg_to_md(0, CCCI_CONTROL_TX, 9, 0, 1));
    ccci_port_reset_seq(0);
    EXPECT_EQ(-1, sys->rx_seq);
    EXPECT_EQ(0, ccci_port_send_msg(sys, 0x115, 9, 0));
    ASSERT_EQ(4u, g_sent.size());
    const u16 expected[] = {0x8000, 0x8001, 0x8000, 0x8000};
    for (size_t i = 0; i < g_sent.size(); i++)
        EXPECT_EQ(expected[i], SentHeader(i).seq) << i;
    // A failed send keeps the number for the next frame.
    g_send_result = -16;
    EXPECT_EQ(CCCI_ERR_SEND, ccci_port_send_msg(sys, 0x115, 1, 0));
    g_send_result = 0;
    EXPECT_EQ(0, ccci_port_send_msg(sys, 0x115, 1, 0));
    EXPECT_EQ(0x8001, SentHeader(5).seq);
}

TEST_F(PortLayer, MessageAndControlFramesOnTheWire)
{
    Create();
    ASSERT_EQ(0, ccci_send_msg_to_md(0, CCCI_CONTROL_TX, 9, 0x00657272, 1));
    ASSERT_EQ(0, ccci_send_msg_to_md(0, CCCI_SYSTEM_TX, 0x115, 7, 0));
    ASSERT_EQ(0, ccci_send_msg_to_md(0, CCCI_SAP_CONTROL_TX, 1, 2, 1));
    ASSERT_EQ(3u, g_sent.size());
    const u8 control[28] = {0xFF, 0xFF, 0xFF, 0xFF, 28, 0, 0, 0, 0x01, 0x20, 0x00, 0x80, 0, 0, 0, 0,
                            9,    0,    0,    0,    0x72, 0x72, 0x65, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<u8>(control, control + 28), g_sent[0].bytes);
    EXPECT_EQ(kMd, g_sent[0].hif);
    EXPECT_EQ(1, g_sent[0].blocking);
    const u8 message[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0x15, 0x01, 0, 0, 0x03, 0x20, 0x00, 0x80, 7, 0, 0, 0};
    EXPECT_EQ(std::vector<u8>(message, message + 16), g_sent[1].bytes);
    EXPECT_EQ(0, g_sent[1].blocking);
    EXPECT_EQ(28u, g_sent[2].bytes.size());
    EXPECT_EQ(kSap, g_sent[2].hif);
    EXPECT_EQ(CCCI_SAP_CONTROL_TX, SentHeader(2).channel);
}

TEST_F(PortLayer, MessageSendFailures)
{
    EXPECT_EQ(CCCI_ERR_NO_PROXY, ccci_send_msg_to_md(0, CCCI_SYSTEM_TX, 0x115, 0, 1));
    EXPECT_EQ(CCCI_ERR_NO_PROXY, ccci_port_send_msg_to_md(nullptr, CCCI_SYSTEM_TX, 0x115, 0, 1));
    Create();
    EXPECT_EQ(CCCI_ERR_SEND, ccci_send_msg_to_md(0, 0x3000, 0x115, 0, 1));
    // A failed send releases the buffer (the fixture's tear-down finds no pool left).
    g_send_result = -321;
    EXPECT_EQ(CCCI_ERR_SEND, ccci_send_msg_to_md(0, CCCI_SYSTEM_TX, 0x115, 0, 1));
    g_send_result = 0;
    host::PoolFailTag(CCCI_PORT_TAG, host::kFailAlways);
    EXPECT_EQ(CCCI_ERR_NO_BUFFER, ccci_send_msg_to_md(0, CCCI_SYSTEM_TX, 0x115, 0, 0));
    host::PoolFailTagClear(CCCI_PORT_TAG);
    EXPECT_EQ(1u, g_sent.size());
}

TEST_F(PortLayer, WritesAreGatedByTheModemState)
{
    Create();
    struct {
        u32 fsm_state;
        u32 md_state;
        const char* port;
        int result;
        u8 queue; // of an accepted write
    } const cases[] = {
        {FSM_STATE_READY, MD_STATE_READY, "ttyC0", 0, 5},
        {FSM_STATE_STARTING, MD_STATE_BOOT_HS, "ttyC0", 0, 5},
        {FSM_STATE_STARTING, MD_STATE_INIT, "ttyCMBIM0", 0, 2},
        {FSM_STATE_READY, MD_STATE_INIT, "ttyC0", -19, 0},
        {FSM_STATE_HANDSHAKE, MD_STATE_BOOT_HS, "ttyC0", -19, 0},
        {FSM_STATE_HANDSHAKE, MD_STATE_CORE_HS, "ttyCMBIM0", -19, 0},
        {FSM_STATE_STOPPING, MD_STATE_STOPPING, "ttyC0", -19, 0},
        {FSM_STATE_STOPPED, MD_STATE_STOPPED, "ttyC0", -19, 0},
        {FSM_STATE_EXCEPTION, MD_STATE_EXCEPTION, "ttyCMdLog", 0, 7},
        {FSM_STATE_EXCEPTION, MD_STATE_EXCEPTION, "ttyCMdMeta", 0, 1},
        {FSM_STATE_EXCEPTION, MD_STATE_EXCEPTION, "ttyCMBIM0", -16, 0},
        {FSM_STATE_STARTING, MD_STATE_EXCEPTION, "ttyCMIPC0", 0, 0}, // the exception queue
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.port << " fsm " << c.fsm_state << " md " << c.md_state);
        doubles::FsmState().state = c.fsm_state;
        doubles::FsmState().md_state = c.md_state;
        g_sent.clear();
        struct ccci_port* port = Port(c.port);
        u32 before = port->tx_count;
        struct sk_buff* skb = Frame(port->tx_ch, 0, 40);
        EXPECT_EQ(c.result, ccci_port_write_skb(port, skb, 0));
        if (c.result != 0) {
            bm_free_skb(skb, CCCI_PORT_TAG);
            EXPECT_EQ(0u, g_sent.size());
            EXPECT_EQ(before, port->tx_count);
            continue;
        }
        ASSERT_EQ(1u, g_sent.size());
        EXPECT_EQ(c.queue, g_sent[0].qno);
        EXPECT_EQ(before + 1, port->tx_count);
        EXPECT_EQ(0u, SentHeader(0).seq) << "the header is the writer's";
    }
    // The HIF's refusal comes back as it is.
    doubles::FsmState() = {};
    g_send_result = -16;
    struct sk_buff* skb = Frame(0x20D1, 0, 40);
    EXPECT_EQ(-16, ccci_port_write_skb(Port("ttyCMBIM0"), skb, 1));
    bm_free_skb(skb, CCCI_PORT_TAG);
}

// ---------------------------------------------------------------------------------------------
// Port enumeration.

std::vector<u8> Enumeration(std::vector<u32> entries, u32 head = CCCI_ENUM_HEAD, u32 tail = CCCI_ENUM_TAIL,
                            u16 version = 0, u16 count = 0xFFFF)
{
    struct ccci_port_enum_head h = {head, count != 0xFFFF ? count : (u16)entries.size(), version, tail};
    std::vector<u8> bytes(sizeof(h) + 4 * entries.size());
    memcpy(bytes.data(), &h, sizeof(h));
    if (!entries.empty())
        memcpy(bytes.data() + sizeof(h), entries.data(), 4 * entries.size());
    return bytes;
}

TEST_F(PortLayer, EnumerationRefusesBadMessagesAndChangesNothing)
{
    Create();
    const std::vector<u32> entries = {0x20D0, 0xA0D2};
    struct {
        const char* what;
        std::vector<u8> message;
        int result;
    } const cases[] = {
        {"bad head", Enumeration(entries, 0x5A5A5A5B), -1},
        {"bad tail", Enumeration(entries, CCCI_ENUM_HEAD, 0), -1},
        {"version 1", Enumeration(entries, CCCI_ENUM_HEAD, CCCI_ENUM_TAIL, 1), -2},
        {"more entries than bytes", Enumeration(entries, CCCI_ENUM_HEAD, CCCI_ENUM_TAIL, 0, 3), -1},
        {"entries beyond 65535 bytes", Enumeration({}, CCCI_ENUM_HEAD, CCCI_ENUM_TAIL, 0, 0xFFFE), -1},
        {"shorter than its head", std::vector<u8>(11, 0x5A), -1},
    };
    doubles::FsmState().md_state = MD_STATE_CORE_HS;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.result, ccci_port_enum(0, c.message.data(), (u32)c.message.size()));
        EXPECT_EQ(0, Port("ttyCMBIM0")->enabled);
        EXPECT_EQ(0, Port("ttyCMBIMDSS0")->enabled);
    }
    EXPECT_EQ(-1, ccci_port_enum(0, nullptr, 12));
    doubles::FsmState().md_state = MD_STATE_READY;
    for (const auto& c : cases)
        ccci_port_enum(0, c.message.data(), (u32)c.message.size());
    EXPECT_EQ(Calls{}, Take());
}

TEST_F(PortLayer, EnumerationBeforeReadySetsEnabledAndWhenReadyActsAtOnce)
{
    Create();
    Port("ttyCMBIMDSS0")->enabled = 1;
    doubles::FsmState().md_state = MD_STATE_CORE_HS;
    std::vector<u8> message = Enumeration({0xA0D0, 0x20D2, 0x8FFF});
    EXPECT_EQ(0, ccci_port_enum(0, message.data(), (u32)message.size()));
    EXPECT_EQ(1, Port("ttyCMBIM0")->enabled);
    EXPECT_EQ(0, Port("ttyCMBIMDSS0")->enabled);
    EXPECT_EQ(Calls{}, Take());

    doubles::FsmState().md_state = MD_STATE_READY;
    message = Enumeration({0x20D0, 0xA0D3, 0x8FFF});
    EXPECT_EQ(0, ccci_port_enum(0, message.data(), (u32)message.size()));
    EXPECT_EQ((Calls{"disable ttyCMBIM0", "enable ttyCMBIMDSS0"}), Take());
    EXPECT_EQ(1, Port("ttyCMBIM0")->enabled) << "left to the kind";
}

} // namespace

namespace
{

// The kinds change `enabled` under the port's enable lock; the enumeration before ready does the same
// (a ThreadSanitizer build reports the race otherwise).
TEST_F(PortLayer, EnumerationWritesEnabledUnderTheEnableLock)
{
    Create();
    doubles::FsmState().md_state = MD_STATE_CORE_HS;
    struct ccci_port* mbim = Port("ttyCMBIM0");
    std::atomic<bool> stop{false};
    HANDLE kind = hosttest::StartThread([&] {
        while (!stop) {
            WdfSpinLockAcquire(mbim->enable_lock);
            mbim->enabled = !mbim->enabled;
            WdfSpinLockRelease(mbim->enable_lock);
        }
    });
    std::vector<u8> message = Enumeration({0xA0D0});
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(0, ccci_port_enum(0, message.data(), (u32)message.size()));
    }
    stop = true;
    hosttest::JoinThread(kind);
}

} // namespace

namespace
{

Calls g_queue_events;
void FakeQueueState(struct ccci_port* port, int dir, u8 qno, u32 state)
{
    g_queue_events.push_back(Named("queue", port) + " " + std::to_string(dir) + "/" + std::to_string(qno) + " " +
                             std::to_string(state));
}

// Queue-state events reach the ports of that queue; during an exception, the ports whose exception
// queue it is, on either core.
TEST_F(PortLayer, QueueStateReachesThePortsOfTheQueue)
{
    static struct ccci_port_ops kind = kFakeKind; // the tear-down still calls it
    kind.queue_state_notify = FakeQueueState;
    for (struct ccci_port& port : ccci_port_table)
        port.ops = &kind;
    Create();
    struct {
        u32 md_state;
        u8 hif;
        u8 qno;
        int dir;
        Calls ports;
    } const cases[] = {
        {MD_STATE_READY, kMd, 2, 0, {"ttyCMIPC0", "ttyCMBIM0"}},
        {MD_STATE_READY, kMd, 0, 1, {"ccci_lb_it", "ccci_sys", "ccci_ctrl", "ccci_poll"}},
        {MD_STATE_READY, kSap, 3, 1, {"ccci_sap_adb"}},
        {MD_STATE_READY, kMd, 9, 1, {}},
        {MD_STATE_EXCEPTION, kMd, 7, 1, {"ttyCMdLog"}},
        {MD_STATE_EXCEPTION, kSap, 1, 0, {"ttyCMdMeta"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "md " << c.md_state << " hif " << unsigned(c.hif) << " queue "
                                        << unsigned(c.qno) << " dir " << c.dir);
        doubles::FsmState().md_state = c.md_state;
        g_queue_events.clear();
        ccci_port_queue_state_notify(0, c.hif, c.qno, c.dir, 3);
        Calls expected;
        for (const std::string& name : c.ports)
            expected.push_back("queue " + name + " " + std::to_string(c.dir) + "/" + std::to_string(c.qno) + " 3");
        EXPECT_EQ(expected, g_queue_events);
    }
    ccci_port_queue_state_notify(0, 5, 0, 1, 3);
    ccci_port_queue_state_notify(1, kMd, 0, 1, 3);
}

} // namespace
