// The port kinds: character ports (write planning, receive and back-pressure, reads, open rules, poll
// masks, enabling channels), the message ports and their threads, and the trace dump's format. The
// ports run in the real port layer over CLDMA controllers whose sends a fake engine captures.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/trace.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "IpcContext.h"
#include "ccci_bm.h"
#include "doubles/core_start.h"
#include "ccci_hif.h"
#include "cldma.h"
#include "device_fixture.h"
#include "fsm.h"
#include "modem_object.h"
#include "host_test.h"
#include "modem_events.h"
#include "port_kinds.h"
#include "sio_recorder.h"

namespace
{

struct Sent {
    u8 hif;
    u8 qno;
    std::vector<u8> bytes;
};

std::mutex g_sent_lock;
std::vector<Sent> g_sent;
std::deque<int> g_send_results; // scripted answers of the engine, 0 once used up

int CaptureSend(u8, u8 hif, u8 qno, struct sk_buff* skb, int, int)
{
    std::lock_guard<std::mutex> hold(g_sent_lock);
    int r = 0;
    if (!g_send_results.empty()) {
        r = g_send_results.front();
        g_send_results.pop_front();
    }
    if (r != 0)
        return r;
    g_sent.push_back({hif, qno, std::vector<u8>(skb->data, skb->data + skb->len)});
    bm_free_skb(skb, CLDMA_POOL_TAG);
    return 0;
}

struct ccci_hif_ops CaptureOps()
{
    struct ccci_hif_ops ops = {};
    ops.send_skb = CaptureSend;
    return ops;
}
const struct ccci_hif_ops kCaptureOps = CaptureOps();

std::vector<Sent> SentFrames()
{
    std::lock_guard<std::mutex> hold(g_sent_lock);
    return g_sent;
}

struct ccci_header Header(const std::vector<u8>& bytes)
{
    struct ccci_header header = {};
    std::memcpy(&header, bytes.data(), std::min(bytes.size(), sizeof(header)));
    return header;
}

std::vector<u8> Pattern(size_t length, u8 seed = 1)
{
    std::vector<u8> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (u8)(seed + i * 7 + i / 251);
    return bytes;
}

// A data frame as the modem sends it on `channel`.
std::vector<u8> DataFrame(u32 channel, const std::vector<u8>& payload, u16 seq = 0)
{
    std::vector<u8> frame(sizeof(struct ccci_header));
    struct ccci_header header = {0, (u32)(payload.size() + frame.size()), (u16)channel, seq, 0};
    std::memcpy(frame.data(), &header, sizeof(header));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<u8> MessageFrame(u32 channel, u32 id, u32 argument)
{
    std::vector<u8> frame(sizeof(struct ccci_header));
    struct ccci_header header = {CCCI_MSG_MARK, id, (u16)channel, 0, argument};
    std::memcpy(frame.data(), &header, sizeof(header));
    return frame;
}

std::vector<u8> ControlFrame(u32 channel, u32 id, u32 argument, const std::vector<u8>& data, u32 claimed_length)
{
    std::vector<u8> frame(CCCI_CTRL_FRAME_SIZE);
    struct ccci_header header = {CCCI_MSG_MARK, (u32)(frame.size() + data.size()), (u16)channel, 0, 0};
    struct ccci_ctrl_header ctrl = {id, argument, claimed_length};
    std::memcpy(frame.data(), &header, sizeof(header));
    std::memcpy(frame.data() + sizeof(header), &ctrl, sizeof(ctrl));
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

std::vector<u8> Enumeration(u32 head, u16 version, const std::vector<u32>& entries)
{
    std::vector<u8> data(12 + 4 * entries.size());
    u16 count = (u16)entries.size();
    u32 tail = CCCI_ENUM_TAIL;
    std::memcpy(&data[0], &head, 4);
    std::memcpy(&data[4], &count, 2);
    std::memcpy(&data[6], &version, 2);
    std::memcpy(&data[8], &tail, 4);
    if (!entries.empty())
        std::memcpy(data.data() + 12, entries.data(), 4 * entries.size());
    return data;
}

struct sk_buff* Buffer(const std::vector<u8>& bytes)
{
    struct sk_buff* skb = bm_alloc_skb((int)std::max<size_t>(bytes.size(), 1), false, true, CCCI_PORT_TAG);
    std::memcpy(skb_put(skb, (u32)bytes.size()), bytes.data(), bytes.size());
    return skb;
}

class PortKindsTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        ASSERT_EQ(0, ccci_bm_init());
        const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
        std::copy(std::begin(map), std::end(map), hif_path_map[0]);
        for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD}) {
            ASSERT_EQ(0, cldma_ctrl_setup(&ctrl_[hif], nullptr, 0, hif, &hw_, &node_));
            for (u8 q = 0; q < CLDMA_QUEUES; q++)
                ctrl_[hif].queues[q].budget = 16;
            ccci_hif_set_ctrl(0, hif, &ctrl_[hif], &kCaptureOps);
        }
        doubles::FsmState() = {};
        doubles::SioState() = {};
        doubles::Nodes() = {};
        doubles::Indications().clear();
        g_sent.clear();
        g_send_results.clear();
        UCHAR run = 0;
        IpcInitTerminiateThreadsEvent();
        IpcShouldTerminateThreads(&run);
        ASSERT_EQ(0, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
    }
    void TearDown() override
    {
        if (ccci_port_get_proxy(0) != nullptr)
            ccci_port_proxy_destroy(0);
        for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD}) {
            ccci_hif_set_ctrl(0, hif, nullptr, nullptr);
            cldma_ctrl_teardown(&ctrl_[hif]);
        }
        host::Quiesce();
        cldma_apply_queue_variant(0);
        ccci_bm_exit();
        DeviceTest::TearDown();
    }

    static struct ccci_port* Port(const char* name)
    {
        struct ccci_port* port = ccci_port_get_by_name(0, name);
        EXPECT_NE(nullptr, port) << name;
        return port;
    }
    static int Open(struct ccci_port* port) { return port->sio->fops->open(&port->sio->inode, &port->sio->file); }
    static int Release(struct ccci_port* port)
    {
        return port->sio->fops->release(&port->sio->inode, &port->sio->file);
    }
    static SSIZE_T Write(struct ccci_port* port, const std::vector<u8>& data)
    {
        return port->sio->fops->write(&port->sio->file, data.data(), data.size());
    }
    static SSIZE_T Read(struct ccci_port* port, std::vector<u8>& out, size_t length)
    {
        out.assign(length, 0);
        SSIZE_T n = port->sio->fops->read(&port->sio->file, out.data(), length);
        out.resize(n > 0 ? (size_t)n : 0);
        return n;
    }
    // Offers a frame to the port's kind as the port layer does; a refused buffer goes back to the pool.
    static int Receive(struct ccci_port* port, const std::vector<u8>& frame)
    {
        struct sk_buff* skb = Buffer(frame);
        int r = port->ops->recv_skb(port, skb);
        if (r < 0)
            bm_free_skb(skb, CCCI_PORT_TAG);
        return r;
    }
    static u32 Queued(struct ccci_port* port) { return port->rx_queue.qlen; }
    // Host time passes only once every registered thread is blocked.
    static void LetTimePass()
    {
        ULONGLONG start = KeQueryInterruptTime();
        ASSERT_TRUE(hosttest::WaitUntil([start] { return KeQueryInterruptTime() - start >= 1'000'000; }, 2'000'000,
                                        100'000));
    }
    // Waits in host time for the message threads to send `count` frames.
    static bool WaitSent(size_t count)
    {
        return hosttest::WaitUntil([count] { return SentFrames().size() >= count; }, 10'000'000, 10'000);
    }

    struct device_node node_ = {};
    cldma_hw_instance hw_ = {};
    struct cldma_ctrl ctrl_[2] = {};
};

// ---- writes

struct WriteCase {
    const char* port;
    size_t length;
    std::vector<u32> chunks; // data bytes of each frame
    SSIZE_T result;
};

TEST_F(PortKindsTest, WritesArePlannedIntoFramesWithinTheLimit)
{
    const WriteCase cases[] = {
        {"ttyC0", 10, {10}, 10},
        {"ttyC0", 3456, {3456}, 3456},
        {"ttyC0", 4000, {3456}, 3456},
        {"ttyCMBIM0", 4000, {3456, 544}, 4000},
        {"ttyCMBIM0", 6912, {3456, 3456}, 6912},
        {"ttyCMBIMDSS7", 3457, {3456, 1}, 3457},
        {"ccci_sap_gnss", 3500, {3456}, 3456},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(std::string(c.port) + " " + std::to_string(c.length));
        g_sent.clear();
        struct ccci_port* port = Port(c.port);
        ASSERT_EQ(0, Open(port));
        u16 first_seq = port->tx_seq;
        std::vector<u8> data = Pattern(c.length, (u8)c.length);
        ASSERT_EQ(c.result, Write(port, data));
        std::vector<Sent> sent = SentFrames();
        ASSERT_EQ(c.chunks.size(), sent.size());
        size_t offset = 0;
        for (size_t i = 0; i < sent.size(); i++) {
            struct ccci_header header = Header(sent[i].bytes);
            EXPECT_EQ(0u, header.data0);
            EXPECT_EQ(c.chunks[i] + 16, header.data1);
            EXPECT_EQ(port->tx_ch, header.channel);
            EXPECT_EQ(0x8000u | (u16)(first_seq + i), header.seq);
            EXPECT_EQ(0u, header.reserved);
            ASSERT_EQ(c.chunks[i] + 16, sent[i].bytes.size());
            EXPECT_TRUE(std::equal(sent[i].bytes.begin() + 16, sent[i].bytes.end(), data.begin() + offset));
            EXPECT_EQ(port->txq, sent[i].qno);
            offset += c.chunks[i];
        }
        ASSERT_EQ(0, Release(port));
    }
}

TEST_F(PortKindsTest, RawBootPortWritesOneFrameWithoutHeaderUpToTheLimit)
{
    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    ASSERT_EQ(0, cldma_apply_queue_variant(2)); // the boot-ROM variant: 2048-byte writes on SAP queue 0
    struct ccci_port* port = Port("brom_download");
    ASSERT_EQ(0, port_char_enable_channel(port));
    ASSERT_EQ(0, Open(port));
    std::vector<u8> data = Pattern(3000);
    EXPECT_EQ(2048, Write(port, data));
    std::vector<Sent> sent = SentFrames();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(CLDMA_HIF_SAP, sent[0].hif);
    EXPECT_EQ(std::vector<u8>(data.begin(), data.begin() + 2048), sent[0].bytes);
}

TEST_F(PortKindsTest, WriteErrors)
{
    struct ccci_port* port = Port("ttyC0");
    std::vector<u8> data = Pattern(100);
    EXPECT_EQ(-19, Write(port, data)); // not open
    ASSERT_EQ(0, Open(port));
    EXPECT_EQ(-22, port->sio->fops->write(&port->sio->file, data.data(), 0));
    for (u32 state : {MD_STATE_BOOT_HS, MD_STATE_CORE_HS}) {
        doubles::FsmState().md_state = state;
        EXPECT_EQ(-19, Write(port, data)) << state;
    }
    doubles::FsmState().md_state = MD_STATE_READY;
    ctrl_[CLDMA_HIF_MD].queues[port->txq].budget = 0;
    EXPECT_EQ(-35, Write(port, data));
    ctrl_[CLDMA_HIF_MD].queues[port->txq].budget = 16;
    g_send_results = {-16};
    EXPECT_EQ(-35, Write(port, data)); // the engine's "busy" to a non-blocking writer
    g_send_results = {-5};
    EXPECT_EQ(-5, Write(port, data));
    EXPECT_TRUE(SentFrames().empty());
    EXPECT_EQ(0u, port->tx_seq); // no frame went out
}

// A write that fails after its first frames reports the bytes sent, so a writer resuming from the
// reported count sends every byte once.
TEST_F(PortKindsTest, APartlySentWriteReportsTheFramesThatWentOut)
{
    struct ccci_port* port = Port("ttyCMBIM0");
    ASSERT_EQ(0, Open(port));
    std::vector<u8> data = Pattern(8000);
    g_send_results = {0, -16};
    EXPECT_EQ(3456, Write(port, data));
    g_sent.clear();
    g_send_results = {0, -16, 0};
    EXPECT_EQ(data.size(), doubles::SioWriteAll(port->sio, data.data(), data.size(), 3));
    std::vector<u8> delivered;
    for (const Sent& frame : SentFrames())
        delivered.insert(delivered.end(), frame.bytes.begin() + 16, frame.bytes.end());
    EXPECT_EQ(data, delivered);
}

// ---- receive and reads

TEST_F(PortKindsTest, ReceiveQueuesForAnOpenPortWithBackPressureOrDrops)
{
    struct ccci_port* port = Port("ttyCMIPC0");
    std::vector<u8> frame = DataFrame(port->rx_ch, Pattern(20));
    EXPECT_EQ(CCCI_RX_DROPPED, Receive(port, frame)); // closed
    ASSERT_EQ(0, Open(port));
    for (int i = 0; i < PORT_CHAR_RX_LIMIT; i++)
        ASSERT_EQ(0, Receive(port, frame)) << i;
    EXPECT_EQ(CCCI_RX_BUSY, Receive(port, frame)); // enabled: the engine keeps the frame
    EXPECT_NE(0u, port->flags & PORT_F_RX_FULL);
    EXPECT_EQ(0u, port->drop_count);
    port_char_disable_channel(port); // no node yet: nothing to remove, but the drop rule holds
    port_char_apply(port);
    EXPECT_EQ(CCCI_RX_DROPPED, Receive(port, frame));
    EXPECT_EQ(1u, port->drop_count);
    EXPECT_EQ((u32)PORT_CHAR_RX_LIMIT, Queued(port));
    EXPECT_EQ(PORT_CHAR_RX_LIMIT, doubles::SioCallbacks(port->sio));

    std::vector<u8> out;
    ASSERT_EQ(20, Read(port, out, 100));
    EXPECT_EQ(Pattern(20), out); // the header was stripped
    EXPECT_EQ(0, Receive(port, frame));
    EXPECT_EQ(0u, port->flags & PORT_F_RX_FULL);
    ASSERT_EQ(0, Release(port));
    EXPECT_EQ(1u + PORT_CHAR_RX_LIMIT, port->drop_count); // the release purged what was queued
    EXPECT_EQ(0u, Queued(port));
}

TEST_F(PortKindsTest, TheDataCallbackRunsOutsideTheQueueLockAndCanRead)
{
    doubles::SioState().drain = true;
    struct ccci_port* port = Port("ttyCMBIM0");
    ASSERT_EQ(0, Open(port));
    EXPECT_EQ(0, Receive(port, DataFrame(port->rx_ch, Pattern(300))));
    EXPECT_EQ(Pattern(300), doubles::SioReceived(port->sio));
    EXPECT_EQ(0u, Queued(port));
}

TEST_F(PortKindsTest, ReadsConsumeABufferPartlyAndWaitWhenBlocking)
{
    struct ccci_port* port = Port("ttyC0");
    ASSERT_EQ(0, Open(port));
    std::vector<u8> out;
    EXPECT_EQ(-35, Read(port, out, 10));
    std::vector<u8> payload = Pattern(100);
    ASSERT_EQ(0, Receive(port, DataFrame(port->rx_ch, payload)));
    ASSERT_EQ(10, Read(port, out, 10));
    EXPECT_EQ(std::vector<u8>(payload.begin(), payload.begin() + 10), out);
    EXPECT_EQ(1u, Queued(port));
    ASSERT_EQ(90, Read(port, out, 1000));
    EXPECT_EQ(std::vector<u8>(payload.begin() + 10, payload.end()), out);
    EXPECT_EQ(0u, Queued(port));
    EXPECT_FALSE(host::TraceFind("PORT_CHAR: ").empty()); // "ttyC0" dumps its frames

    port->sio->file.f_flags &= ~SIO_F_NONBLOCK;
    SSIZE_T blocked = 0;
    HANDLE reader = hosttest::StartThread([&] { blocked = Read(port, out, 1000); });
    LetTimePass(); // the reader is waiting by now
    ASSERT_EQ(0, Receive(port, DataFrame(port->rx_ch, Pattern(5))));
    hosttest::JoinThread(reader);
    EXPECT_EQ(5, blocked);
    EXPECT_EQ(Pattern(5), out);
}

// Two readers of the multi-open boot port never get the same bytes.
TEST_F(PortKindsTest, ConcurrentReadersShareTheQueueWithoutDuplicates)
{
    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    struct ccci_port* port = Port("brom_download");
    ASSERT_EQ(0, port_char_enable_channel(port));
    ASSERT_EQ(0, Open(port));
    ASSERT_EQ(0, Open(port));
    std::vector<u8> all(256);
    for (size_t i = 0; i < all.size(); i++)
        all[i] = (u8)i;
    for (size_t f = 0; f < all.size(); f += 16)
        ASSERT_EQ(0, Receive(port, std::vector<u8>(all.begin() + f, all.begin() + f + 16)));
    std::vector<u8> got[2];
    auto reader = [&](std::vector<u8>& mine) {
        std::vector<u8> out;
        while (Read(port, out, 3) > 0)
            mine.insert(mine.end(), out.begin(), out.end());
    };
    HANDLE a = hosttest::StartThread([&] { reader(got[0]); });
    HANDLE b = hosttest::StartThread([&] { reader(got[1]); });
    hosttest::JoinThread(a);
    hosttest::JoinThread(b);
    std::vector<u8> merged = got[0];
    merged.insert(merged.end(), got[1].begin(), got[1].end());
    std::sort(merged.begin(), merged.end());
    EXPECT_EQ(all, merged);
}

// ---- open and release

TEST_F(PortKindsTest, OpenRules)
{
    struct ccci_port* mbim = Port("ttyCMBIM0");
    ASSERT_EQ(0, Open(mbim));
    EXPECT_EQ(-16, Open(mbim));
    EXPECT_EQ(1, port_char_get_usage(mbim));
    ASSERT_EQ(0, Release(mbim));
    EXPECT_EQ(0, Open(mbim));

    struct ccci_port* at = Port("ttyC0");
    ASSERT_EQ(0, Open(at));
    EXPECT_EQ(1, ccci_port_proxy_test_flag(0, CCCI_OPEN_TTYC0));
    ASSERT_EQ(0, Release(at));
    EXPECT_EQ(0, ccci_port_proxy_test_flag(0, CCCI_OPEN_TTYC0));

    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    struct ccci_port* brom = Port("brom_download");
    EXPECT_EQ(-19, Open(brom)); // no node yet
    ASSERT_EQ(0, port_char_enable_channel(brom));
    EXPECT_EQ(0, Open(brom));
    EXPECT_EQ(0, Open(brom));
    EXPECT_EQ(2, port_char_get_usage(brom));
}

// Single-open ports stay single-open when two callers race.
TEST_F(PortKindsTest, RacingOpensLetOnlyOneIn)
{
    struct ccci_port* port = Port("ttyCMdLog");
    for (int round = 0; round < 20; round++) {
        int results[2] = {1, 1};
        struct sio_file files[2] = {port->sio->file, port->sio->file};
        HANDLE a = hosttest::StartThread([&] { results[0] = port->sio->fops->open(&port->sio->inode, &files[0]); });
        HANDLE b = hosttest::StartThread([&] { results[1] = port->sio->fops->open(&port->sio->inode, &files[1]); });
        hosttest::JoinThread(a);
        hosttest::JoinThread(b);
        EXPECT_EQ(1, (results[0] == 0) + (results[1] == 0));
        EXPECT_EQ(-16, std::min(results[0], results[1]));
        ASSERT_EQ(0, port->sio->fops->release(&port->sio->inode, &files[results[0] == 0 ? 0 : 1]));
    }
}

// ---- poll

struct PollCase {
    const char* port;
    bool queued;
    bool room;
    u32 md_state;
    u32 mask;
};

TEST_F(PortKindsTest, PollMasks)
{
    const PollCase cases[] = {
        {"ttyC0", false, true, MD_STATE_READY, 0x104},      {"ttyC0", true, true, MD_STATE_READY, 0x145},
        {"ttyC0", false, false, MD_STATE_READY, 0x0},       {"ttyC0", true, false, MD_STATE_READY, 0x41},
        {"ttyCMdMeta", false, true, MD_STATE_CORE_HS, 0x10C}, {"ttyCMdMeta", true, false, MD_STATE_INIT, 0x49},
        {"ttyCMdMeta", false, true, MD_STATE_EXCEPTION, 0x104},
    };
    for (const PollCase& c : cases) {
        SCOPED_TRACE(std::string(c.port) + " state " + std::to_string(c.md_state));
        struct ccci_port* port = Port(c.port);
        ASSERT_EQ(0, Open(port));
        doubles::FsmState().md_state = MD_STATE_READY;
        if (c.queued) {
            ASSERT_EQ(0, Receive(port, DataFrame(port->rx_ch, Pattern(4))));
        }
        doubles::FsmState().md_state = c.md_state;
        ctrl_[CLDMA_HIF_MD].queues[port->txq].budget = c.room ? 16 : 0;
        EXPECT_EQ(c.mask, port->sio->fops->poll(&port->sio->file, nullptr));
        ASSERT_EQ(0, Release(port));
    }
}

// ---- enabling channels

TEST_F(PortKindsTest, NodesFollowTheEnumerationOnceTheModemIsReadyAndAreNeverDuplicated)
{
    struct ccci_port* mbim = Port("ttyCMBIM0");
    struct ccci_port* dss = Port("ttyCMBIMDSS0");
    struct ccci_port* gnss = Port("ccci_sap_test_gnss");
    doubles::FsmState().md_state = MD_STATE_CORE_HS;
    std::vector<u8> enumeration = Enumeration(CCCI_ENUM_HEAD, 0, {0x8000u | mbim->rx_ch, dss->rx_ch});
    ASSERT_EQ(0, ccci_port_enum(0, enumeration.data(), (u32)enumeration.size()));
    EXPECT_TRUE(doubles::Nodes().nodes.empty());

    doubles::FsmState().md_state = MD_STATE_READY;
    ccci_port_md_state_notify(0, MD_STATE_READY);
    ccci_port_md_state_notify(0, MD_STATE_READY);
    std::multimap<u32, std::string> expected = {{(u32)mbim->minor, "ttyCMBIM0"},
                                                {(u32)gnss->minor, "ccci_sap_test_gnss"}};
    EXPECT_EQ(expected, doubles::Nodes().nodes);
    EXPECT_EQ(0u, mbim->flags & PORT_F_RX_DROP);
    EXPECT_NE(0u, dss->flags & PORT_F_RX_DROP);

    // While ready, an enumeration acts at once.
    enumeration = Enumeration(CCCI_ENUM_HEAD, 0, {mbim->rx_ch, 0x8000u | dss->rx_ch});
    ASSERT_EQ(0, ccci_port_enum(0, enumeration.data(), (u32)enumeration.size()));
    expected = {{(u32)dss->minor, "ttyCMBIMDSS0"}, {(u32)gnss->minor, "ccci_sap_test_gnss"}};
    EXPECT_EQ(expected, doubles::Nodes().nodes);
    EXPECT_NE(0u, mbim->flags & PORT_F_RX_DROP);
    EXPECT_EQ(0, port_char_enable_channel(dss));
    EXPECT_EQ(3, doubles::Nodes().creates);

    ccci_port_proxy_destroy(0);
    EXPECT_TRUE(doubles::Nodes().nodes.empty());
    EXPECT_EQ(doubles::SioState().added.size(), doubles::SioState().deleted.size());
}

// ---- message ports

TEST_F(PortKindsTest, SystemMessagesAreAnsweredDispatchedOrDropped)
{
    static u32 seen = 0;
    ASSERT_EQ(0, ccci_sys_msg_register(0, 0x0123, [](u32, u32 argument) { seen = argument; }));
    struct ccci_port* sys = Port("ccci_sys");
    EXPECT_EQ(0, Receive(sys, MessageFrame(sys->rx_ch, 0x102, 0x55)));
    EXPECT_EQ(0, Receive(sys, MessageFrame(sys->rx_ch, 0x999, 1)));
    EXPECT_EQ(0, Receive(sys, MessageFrame(sys->rx_ch, 0x114, 7)));
    ASSERT_TRUE(WaitSent(1));
    std::vector<Sent> sent = SentFrames();
    ASSERT_EQ(1u, sent.size());
    ASSERT_EQ(16u, sent[0].bytes.size());
    struct ccci_header header = Header(sent[0].bytes);
    EXPECT_EQ(CCCI_MSG_MARK, header.data0);
    EXPECT_EQ(0x115u, header.data1);
    EXPECT_EQ(0x2003u, header.channel);
    EXPECT_EQ(7u, header.reserved);
    EXPECT_EQ(0x55u, seen); // 0x102 went out as 0x123, which table B holds at its low byte
    EXPECT_EQ(0u, Queued(sys));
    ccci_sys_msg_register(0, 0x0123, nullptr);
}

TEST_F(PortKindsTest, SystemMessageRegistryTables)
{
    EXPECT_EQ(0, ccci_sys_msg_register(0, 0x1005, nullptr));
    EXPECT_EQ(0, ccci_sys_msg_register(0, 0x0105, nullptr));
    EXPECT_EQ(-22, ccci_sys_msg_register(0, 0x1105, nullptr));
    EXPECT_EQ(-22, ccci_sys_msg_register(0, 0x0005, nullptr));
    EXPECT_EQ(-22, ccci_sys_msg_register(0, 0x1040, nullptr));
    EXPECT_EQ(-22, ccci_sys_msg_register(1, 0x1005, nullptr));
}

TEST_F(PortKindsTest, ControlMessagesReachTheStateMachineAndThePortLayer)
{
    struct ccci_port* md_ctrl = Port("ccci_ctrl");
    struct ccci_port* sap_ctrl = Port("ccci_sap_ctrl");
    std::vector<u8> hs = Pattern(24);
    EXPECT_EQ(0, Receive(sap_ctrl, ControlFrame(sap_ctrl->rx_ch, 1, 0, hs, 24)));
    // A data length beyond the frame is cut to what the frame holds.
    EXPECT_EQ(0, Receive(md_ctrl, ControlFrame(md_ctrl->rx_ch, 1, 0, hs, 4000)));
    EXPECT_EQ(0, Receive(md_ctrl, ControlFrame(md_ctrl->rx_ch, 5, 0, {}, 0)));
    EXPECT_EQ(0, Receive(md_ctrl, ControlFrame(md_ctrl->rx_ch, 77, 0, {}, 0)));
    std::vector<u8> short_frame = ControlFrame(md_ctrl->rx_ch, 1, 0, {}, 0);
    short_frame.resize(20);
    EXPECT_EQ(0, Receive(md_ctrl, short_frame));
    // Enumerations: a valid one, one with a bad head, and one whose entries run past the frame; all
    // answered on the MD core's control channel, whichever core asked.
    EXPECT_EQ(0, Receive(sap_ctrl, ControlFrame(sap_ctrl->rx_ch, 9, 0, Enumeration(CCCI_ENUM_HEAD, 0, {0x1004}), 16)));
    EXPECT_EQ(0, Receive(md_ctrl, ControlFrame(md_ctrl->rx_ch, 9, 0, Enumeration(0x5A5A5A5B, 0, {}), 12)));
    std::vector<u8> overlong = Enumeration(CCCI_ENUM_HEAD, 0, {0x80D0});
    overlong[4] = 200; // claims 200 entries
    EXPECT_EQ(0, Receive(md_ctrl, ControlFrame(md_ctrl->rx_ch, 9, 0, overlong, 812)));
    ASSERT_TRUE(WaitSent(3));
    ASSERT_TRUE(hosttest::WaitUntil([] { return doubles::FsmState().events.size() >= 2; }, 10'000'000, 10'000));

    std::vector<doubles::Fsm::Event> events = doubles::FsmState().events;
    ASSERT_EQ(2u, events.size());
    // The two ports have threads of their own: order between them is not fixed.
    std::sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    EXPECT_EQ(1u, events[0].id);
    EXPECT_EQ(hs, events[0].data);
    EXPECT_EQ(2u, events[1].id);
    EXPECT_EQ(hs, events[1].data);
    EXPECT_EQ(std::vector<u32>{5}, doubles::FsmState().ctrl_msgs);

    std::vector<u32> answers;
    for (const Sent& frame : SentFrames()) {
        ASSERT_EQ(CCCI_CTRL_FRAME_SIZE, frame.bytes.size());
        EXPECT_EQ(CCCI_CONTROL_TX, Header(frame.bytes).channel);
        struct ccci_ctrl_header ctrl;
        std::memcpy(&ctrl, frame.bytes.data() + 16, sizeof(ctrl));
        EXPECT_EQ(9u, ctrl.id);
        answers.push_back(ctrl.arg);
    }
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ((std::vector<u32>{0, CCCI_ENUM_REFUSED, CCCI_ENUM_REFUSED}), answers);
}

TEST_F(PortKindsTest, PollRepliesAndMinidumpNoticesAreHandledInTheReceivePath)
{
    struct ccci_port* poll = Port("ccci_poll");
    EXPECT_EQ(0, Receive(poll, MessageFrame(poll->rx_ch, 0, 0)));
    EXPECT_EQ(1, doubles::FsmState().poll_replies);
    EXPECT_EQ(0u, Queued(poll));

    struct ccci_port* minidump = Port("minidump_notify");
    EXPECT_EQ(0, Receive(minidump, DataFrame(minidump->rx_ch, Pattern(8))));
    EXPECT_EQ(std::vector<std::string>{"MINIDUMP"}, doubles::Indications());
    EXPECT_EQ(0u, Queued(minidump));
}

// The message threads end with the port's uninit, and a table loaded again does not add threads.
TEST_F(PortKindsTest, MessageThreadsEndAtUninitAndOnTerminate)
{
    auto thread_objects = [] {
        std::vector<PVOID> objects;
        for (const char* name : {"ccci_sys", "ccci_ctrl", "ccci_sap_ctrl"}) {
            PVOID object = nullptr;
            EXPECT_NE(nullptr, Port(name)->thread) << name;
            EXPECT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(Port(name)->thread, SYNCHRONIZE, *PsThreadType,
                                                                KernelMode, &object, nullptr));
            objects.push_back(object);
        }
        return objects;
    };
    auto all_ended = [](const std::vector<PVOID>& objects) {
        LARGE_INTEGER now = {};
        bool ended = true;
        for (PVOID object : objects) {
            ended = ended && KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
            ObDereferenceObject(object);
        }
        return ended;
    };
    std::vector<PVOID> first = thread_objects();
    ccci_port_switch_table(0, CCCI_TABLE_BOOT);
    EXPECT_TRUE(all_ended(first));
    ccci_port_switch_table(0, CCCI_TABLE_NORMAL);

    // The driver's terminate flag ends them too; uninit then only collects them.
    std::vector<PVOID> second = thread_objects();
    UCHAR terminate = 1;
    IpcShouldTerminateThreads(&terminate);
    ASSERT_TRUE(hosttest::WaitUntil(
        [&] {
            LARGE_INTEGER now = {};
            return std::all_of(second.begin(), second.end(), [&](PVOID object) {
                return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
            });
        },
        10'000'000, 10'000));
    ccci_port_proxy_destroy(0);
    EXPECT_TRUE(all_ended(second));
    terminate = 0;
    IpcShouldTerminateThreads(&terminate);
}

// ---- trace dumps

struct DumpCase {
    std::vector<u8> bytes;
    bool hex;
    const char* text;
};

TEST(PortDumpTest, TextAndHexForms)
{
    auto text = [](const char* s) { return std::vector<u8>(s, s + std::strlen(s)); };
    const DumpCase cases[] = {
        {text("AT+CGMI\r\n"), false, "AT+CGMI\\r\\n"},
        {{0x41, 0x00, 0x7F, 0x09, 0x20}, false, "A[00][7F]\\t "},
        {text("0123456789abcdefghijklmnopqrstuvwxyz"), false, "0123456789abcdefghijklmnopqr"},
        {text("0123456789abcdefghijklmnopq\x01zz"), false, "0123456789abcdefghijklmnopq[01]"},
        {{}, false, ""},
        {{0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD, 9, 9, 9, 9, 0, 0, 0, 0x80, 0xFF}, true,
         "04030201 DDCCBBAA 09090909 80000000"},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, true, "04030201 00000005 00000000 00000000"},
    };
    for (const DumpCase& c : cases) {
        char out[160];
        u32 n = port_dump_format(c.bytes.data(), (u32)c.bytes.size(), c.hex, out, sizeof(out));
        EXPECT_STREQ(c.text, out);
        EXPECT_EQ(std::strlen(c.text), n);
    }
    char small[6];
    port_dump_format(reinterpret_cast<const u8*>("abcdefgh"), 8, false, small, sizeof(small));
    EXPECT_STREQ("abcde", small);
}

} // namespace
