// The ccmni network instances over stand-ins for the DPMAIF instance, the IPC glue's net links, the
// state machine's notifiers and the adapters' queues: creation and removal with their failure paths,
// transmit runs and drops, the acknowledgement classifier, receive and the modem states.
#include <gtest/gtest.h>

#include <host/image.h>
#include <host/pool.h>

#include <cstring>
#include <string>
#include <vector>

#include "ccmni.h"
#include "device_fixture.h"
#include "dpmaif_life.h"
#include "dpmaif_send.h"
#include "fsm_notifier.h"
#include "net_links.h"
#include "pcie_device.h"
#include "rx_indications.h"
#include "tx_completions.h"

namespace
{

constexpr u32 kTag = host::PoolTag("cmnT");

// Packet bytes.
using Bytes = std::vector<u8>;

constexpr u8 kFin = 0x01, kSyn = 0x02, kAck = 0x10, kUrg = 0x20, kEce = 0x40, kCwr = 0x80;

void PutBe16(Bytes& b, size_t at, u32 value)
{
    b[at] = (u8)(value >> 8);
    b[at + 1] = (u8)value;
}

// An IPv4 packet with `options` 4-byte words of IP options carrying a TCP header (or another protocol)
// and `payload` bytes; `total` overrides the total length field.
Bytes Ipv4(u8 flags, u32 payload = 0, u8 protocol = 6, u32 options = 0, int total = -1)
{
    const u32 ip = 20 + 4 * options;
    Bytes b(ip + 20 + payload, 0);
    b[0] = (u8)(0x40 | (5 + options));
    PutBe16(b, 2, total >= 0 ? (u32)total : (u32)b.size());
    b[9] = protocol;
    b[ip + 12] = 5 << 4;
    b[ip + 13] = flags;
    return b;
}

// An IPv6 packet carrying TCP (or another protocol), optionally behind an 8-byte hop-by-hop header.
Bytes Ipv6(u8 flags, u32 payload = 0, u8 protocol = 6, bool hop_by_hop = false)
{
    const u32 ext = hop_by_hop ? 8 : 0;
    Bytes b(40 + ext + 20 + payload, 0);
    b[0] = 0x60;
    PutBe16(b, 4, ext + 20 + payload);
    b[6] = hop_by_hop ? 0 : protocol;
    if (hop_by_hop)
        b[40] = protocol; // next header; length 0: 8 bytes
    b[40 + ext + 12] = 5 << 4;
    b[40 + ext + 13] = flags;
    return b;
}

Bytes Truncated(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

Bytes Data(u32 n, u8 seed = 0)
{
    Bytes b = Ipv4(kAck | 0x08, n > 40 ? n - 40 : 0);
    b.resize(n);
    for (size_t i = 40; i < n; i++)
        b[i] = (u8)(seed + i);
    return b;
}

class CcmniTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        doubles::DpmaifLifeState() = {};
        doubles::DpmaifSendState() = {};
        doubles::FsmNotifiersState() = {};
        doubles::NetLinksState() = {};
        doubles::ClearRxIndications();
        completed_ = doubles::TxCompletions().size();
        skb_queue_head_init(&pool_);
    }

    void TearDown() override
    {
        if (dev_.ccmni != nullptr)
            ccmni_remove_instances(0, &dev_);
        host::PoolFailTagClear(CCMNI_POOL_TAG);
        for (struct sk_buff* skb : skbs_)
            kfree_skb(skb, kTag);
        skb_queue_head_release(&pool_);
        DeviceTest::TearDown();
    }

    void Create()
    {
        ASSERT_EQ(0, ccmni_create_instances(0, &dev_));
        ASSERT_NE(nullptr, dev_.ccmni);
    }

    struct net_device* Net(u32 i) { return dev_.ccmni->instances[i]->dev; }

    // A packet whose bytes end where its buffer ends (a read past it is a read past the allocation),
    // with at least 16 bytes in front; or with exactly `headroom` bytes in front.
    struct sk_buff* Packet(const Bytes& bytes, int headroom = -1, bool pooled = false)
    {
        const u32 n = (u32)bytes.size();
        struct sk_buff* skb = alloc_skb(n + CCMNI_TX_HEADROOM, kTag);
        skb_reserve(skb, headroom >= 0 ? (u32)headroom : (u32)skb->end - n);
        if (n > 0)
            memcpy(skb_put(skb, n), bytes.data(), n);
        if (pooled)
            skb->pool = &pool_;
        skbs_.push_back(skb);
        return skb;
    }

    static struct sk_buff* Chain(const std::vector<struct sk_buff*>& skbs)
    {
        for (size_t i = 0; i + 1 < skbs.size(); i++)
            skbs[i]->chain_next = skbs[i + 1];
        return skbs.empty() ? nullptr : skbs[0];
    }

    std::vector<struct sk_buff*> Completed() const
    {
        auto all = doubles::TxCompletions();
        return {all.begin() + (ptrdiff_t)completed_, all.end()};
    }

    static u32 ChainLength(struct sk_buff* skb)
    {
        u32 n = 0;
        for (; skb != nullptr; skb = skb->chain_next)
            n++;
        return n;
    }

    struct mdm_pci_dev dev_ = {};
    struct sk_buff_head pool_ = {};
    std::vector<struct sk_buff*> skbs_;
    size_t completed_ = 0;
};

// ---- creation and removal

TEST_F(CcmniTest, CreationMakesEightRegisteredDevicesAndRemovalDestroysTheInstanceFirst)
{
    Create();
    struct ccmni_ctl_block* ctl = dev_.ccmni;
    EXPECT_EQ(&dev_, ctl->dev);
    EXPECT_EQ(doubles::DummyDpmaifInstance(), ctl->dpmaif);
    EXPECT_EQ(0x0F, ccmni_capabilities(ctl));
    ASSERT_EQ(8u, ctl->count);
    for (u32 i = 0; i < CCMNI_MAX_INSTANCES; i++) {
        SCOPED_TRACE(i);
        struct ccmni_instance* inst = ctl->instances[i];
        if (i >= 8) {
            EXPECT_EQ(nullptr, inst);
            continue;
        }
        ASSERT_NE(nullptr, inst);
        struct net_device* net = inst->dev;
        EXPECT_EQ(inst, net->priv);
        EXPECT_EQ("ccmni" + std::to_string(i), net->name);
        EXPECT_EQ(1500u, net->mtu);
        EXPECT_EQ(16u, net->needed_headroom);
        EXPECT_EQ(i, net->index);
        EXPECT_EQ(i, inst->index);
        EXPECT_EQ(ctl, inst->ctl);
        EXPECT_EQ(0, inst->open_count);
        ASSERT_NE(nullptr, net->netdev_ops);
        EXPECT_EQ(&ccmni_open, net->netdev_ops->ndo_open);
        EXPECT_EQ(&ccmni_close, net->netdev_ops->ndo_stop);
        EXPECT_EQ(&ccmni_start_xmit, net->netdev_ops->ndo_start_xmit);
        ASSERT_NE(nullptr, net->link_record);
        EXPECT_EQ(i, net->link_record->LinkIndex);
    }
    ASSERT_EQ(1u, doubles::FsmNotifiersState().registered.size());
    EXPECT_EQ(&ctl->state_node, doubles::FsmNotifiersState().registered[0]);
    EXPECT_EQ(8u, doubles::NetLinkCount());

    EXPECT_EQ(0, ccmni_open(Net(3)));
    doubles::NetLinksState().calls.clear();
    // The DPMAIF instance is gone before the first device leaves the net links, and every device is
    // closed by then.
    std::vector<std::pair<struct dpmaif_hif*, LONG>> seen;
    doubles::NetLinksState().on_remove = [&](struct net_device* net) {
        auto* inst = static_cast<struct ccmni_instance*>(net->priv);
        seen.emplace_back(inst->ctl->dpmaif, inst->open_count);
    };
    ccmni_remove_instances(0, &dev_);
    EXPECT_EQ(nullptr, dev_.ccmni);
    EXPECT_EQ(0u, doubles::NetLinkCount());
    EXPECT_EQ(1, doubles::FsmNotifiersState().unregistered);
    EXPECT_EQ((std::vector<std::string>{"init", "exit"}), doubles::DpmaifLifeState().calls);
    EXPECT_EQ(8u, doubles::NetLinksState().calls.size());
    const std::vector<std::pair<struct dpmaif_hif*, LONG>> closed(8, {nullptr, 0});
    EXPECT_EQ(closed, seen);
}

TEST_F(CcmniTest, RemovalWithoutARecordOnlyTraces)
{
    ccmni_remove_instances(0, nullptr);
    ccmni_remove_instances(0, &dev_);
    EXPECT_TRUE(doubles::DpmaifLifeState().calls.empty());
    EXPECT_TRUE(doubles::NetLinksState().calls.empty());
}

// Every failure undoes what was made: the devices before the failing one leave the net links in
// reverse order, the DPMAIF instance is destroyed once it exists, the record goes and its pointer too.
TEST_F(CcmniTest, AFailedCreationUndoesEverythingMadeBeforeIt)
{
    enum Failure { kRecord, kDpmaif, kNetDevice, kLock, kNetAdd, kNotifier };
    struct Case {
        Failure failure;
        u32 k; // the failing device
        int result;
    };
    const Case cases[] = {
        {kRecord, 0, -12},   {kDpmaif, 0, -5},    {kNetDevice, 0, -12}, {kNetDevice, 5, -12},
        {kLock, 0, -12},     {kLock, 7, -12},     {kNetAdd, 0, -22},    {kNetAdd, 3, -22},
        {kNetAdd, 7, -12},   {kNotifier, 8, -22},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "failure " << c.failure << " at " << c.k);
        doubles::DpmaifLifeState() = {};
        doubles::NetLinksState() = {};
        doubles::FsmNotifiersState() = {};
        switch (c.failure) {
        case kRecord:
            host::PoolFailTag(CCMNI_POOL_TAG, 1);
            break;
        case kDpmaif:
            doubles::DpmaifLifeState().init_result = c.result;
            break;
        case kNetDevice: // the record, then a device and its lock holder per instance
            host::PoolFailTag(CCMNI_POOL_TAG, 1, 1 + 2 * c.k);
            break;
        case kLock:
            host::PoolFailTag(CCMNI_POOL_TAG, 1, 2 + 2 * c.k);
            break;
        case kNetAdd:
            doubles::NetLinksState().fail_add_at = (int)c.k;
            doubles::NetLinksState().add_error = c.result;
            break;
        case kNotifier:
            doubles::FsmNotifiersState().register_result = c.result;
            break;
        }
        EXPECT_EQ(c.result, ccmni_create_instances(0, &dev_));
        host::PoolFailTagClear(CCMNI_POOL_TAG);
        EXPECT_EQ(nullptr, dev_.ccmni);
        EXPECT_EQ(0u, doubles::NetLinkCount());
        EXPECT_TRUE(doubles::FsmNotifiersState().registered.empty());

        std::vector<std::string> life;
        if (c.failure != kRecord)
            life.push_back("init");
        if (c.failure >= kNetDevice)
            life.push_back("exit");
        EXPECT_EQ(life, doubles::DpmaifLifeState().calls);

        std::vector<std::string> links;
        const u32 added = c.failure == kNetAdd ? c.k + 1 : c.k;
        for (u32 i = 0; c.failure >= kNetDevice && i < added; i++)
            links.push_back("add ccmni" + std::to_string(i));
        for (u32 i = c.k; i-- > 0;)
            links.push_back("remove ccmni" + std::to_string(i));
        EXPECT_EQ(links, doubles::NetLinksState().calls);
        for (const host::PoolAllocation& a : host::PoolLiveAllocations(host::ImageMain()))
            EXPECT_NE(CCMNI_POOL_TAG, a.tag);
    }
}

// ---- transmit

TEST_F(CcmniTest, RunsOfOneQueueAreSentCutFromTheRestWithTheirOwnCounts)
{
    Create();
    struct net_device* net = Net(2);
    // d: data (queue 0), a: pure acknowledgement (queue 1), f: data with fragments.
    struct Case {
        std::string packets;
        std::vector<std::pair<u8, u32>> runs; // queue, packets
    };
    const Case cases[] = {
        {"dad", {{0, 1}, {1, 1}, {0, 1}}},
        {"ddaaf", {{0, 2}, {1, 2}, {0, 1}}},
        {"aaa", {{1, 3}}},
        {"fdf", {{0, 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packets);
        doubles::DpmaifSendState() = {};
        const struct net_device_stats before = net->stats;
        std::vector<struct sk_buff*> chain;
        u64 bytes = 0;
        for (char kind : c.packets) {
            struct sk_buff* skb = Packet(kind == 'a' ? Ipv4(kAck) : Data(100));
            skb->nr_frags = kind == 'f' ? 2 : 0;
            bytes += skb->len;
            chain.push_back(skb);
        }
        struct ccmni_tx_request request = {1, 0, 0, 0, 0, 0, nullptr};
        EXPECT_EQ(0, ccmni_start_xmit(Chain(chain), net, &request));

        const auto& runs = doubles::DpmaifSendState().runs;
        ASSERT_EQ(c.runs.size(), runs.size());
        size_t at = 0;
        for (size_t r = 0; r < runs.size(); r++) {
            SCOPED_TRACE(r);
            EXPECT_EQ(c.runs[r].first, runs[r].queue);
            ASSERT_EQ(c.runs[r].second, runs[r].skbs.size());
            EXPECT_EQ(c.runs[r].second, runs[r].packets);
            u32 fragments = 0;
            for (struct sk_buff* skb : runs[r].skbs) {
                EXPECT_EQ(chain[at++], skb);
                EXPECT_EQ(runs[r].queue, skb->tx_queue);
                EXPECT_EQ(runs[r].queue == 1 ? 1u : 0u, skb->tx_flags & CCMNI_TX_FLAG_ACK);
                fragments += skb->nr_frags;
            }
            EXPECT_EQ(fragments, runs[r].fragments);
        }
        EXPECT_EQ(0, request.dropped);
        EXPECT_EQ(nullptr, request.returned);
        EXPECT_EQ(before.tx_packets + chain.size(), net->stats.tx_packets);
        EXPECT_EQ(before.tx_bytes + bytes, net->stats.tx_bytes);
        EXPECT_TRUE(Completed().empty());
    }
}

TEST_F(CcmniTest, EveryPacketGetsTheTransmitHeader)
{
    Create();
    struct sk_buff* skb = Packet(Data(100));
    memset(skb->data - 16, 0xEE, 16);
    struct ccmni_tx_request request = {1, 0, 0, 0, 0, 0, nullptr};
    ASSERT_EQ(0, ccmni_start_xmit(skb, Net(5), &request));
    ASSERT_EQ(1u, doubles::DpmaifSendState().runs.size());
    const Bytes& sent = doubles::DpmaifSendState().runs[0].bytes[0];
    ASSERT_EQ(116u, sent.size());
    const Bytes header = {5, 0, 0, 0, 116, 0, 0, 0, 0, 0, 0xEE, 0xEE, 0, 0, 0, 0};
    EXPECT_EQ(header, Bytes(sent.begin(), sent.begin() + 16));
    EXPECT_EQ(Data(100), Bytes(sent.begin() + 16, sent.end()));
}

TEST_F(CcmniTest, WithoutTheAcknowledgementPriorityEverythingGoesToQueueZero)
{
    Create();
    dev_.ccmni->capabilities &= ~CCMNI_CAP_ACK_PRIORITY;
    struct ccmni_tx_request request = {1, 0, 0, 0, 0, 0, nullptr};
    ASSERT_EQ(0, ccmni_start_xmit(Chain({Packet(Data(60)), Packet(Ipv4(kAck)), Packet(Data(60))}), Net(0), &request));
    ASSERT_EQ(1u, doubles::DpmaifSendState().runs.size());
    EXPECT_EQ(0, doubles::DpmaifSendState().runs[0].queue);
    EXPECT_EQ(3u, doubles::DpmaifSendState().runs[0].packets);
}

// A packet over the MTU or without room for the header drops itself and everything after it; what
// came before it is still sent, and without the dropped packets on its chain.
TEST_F(CcmniTest, AnUnsendablePacketDropsTheRestOfTheChain)
{
    Create();
    struct net_device* net = Net(1);
    struct Case {
        const char* name;
        size_t bad;     // index of the bad packet in a chain of four
        bool oversize;  // else 15 bytes of headroom
        int result;
        std::vector<u32> runs; // packets per sent run
    };
    const Case cases[] = {
        {"oversize first", 0, true, -2, {}},
        {"oversize third", 2, true, 0, {2}},
        {"short headroom first", 0, false, -2, {}},
        {"short headroom second after an acknowledgement run", 2, false, 0, {1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        doubles::DpmaifSendState() = {};
        completed_ = doubles::TxCompletions().size();
        const u64 drops = net->stats.tx_dropped;
        std::vector<struct sk_buff*> chain;
        for (size_t i = 0; i < 4; i++) {
            const bool ack = c.runs.size() == 2 && i == 1;
            if (i != c.bad)
                chain.push_back(Packet(ack ? Ipv4(kAck) : Data(200)));
            else if (c.oversize)
                chain.push_back(Packet(Data(1501)));
            else
                chain.push_back(Packet(Data(200), 15));
        }
        struct ccmni_tx_request request = {1, 0, 0, 0, 0, 0, nullptr};
        EXPECT_EQ(c.result, ccmni_start_xmit(Chain(chain), net, &request));

        const u32 dropped = (u32)(chain.size() - c.bad);
        EXPECT_EQ((s32)dropped, request.dropped);
        EXPECT_EQ(drops + dropped, net->stats.tx_dropped);
        ASSERT_EQ((std::vector<struct sk_buff*>{chain[c.bad]}), Completed());
        EXPECT_EQ(dropped, ChainLength(chain[c.bad]));

        const auto& runs = doubles::DpmaifSendState().runs;
        ASSERT_EQ(c.runs.size(), runs.size());
        u32 sent = 0;
        for (size_t r = 0; r < runs.size(); r++) {
            EXPECT_EQ(c.runs[r], runs[r].skbs.size());
            EXPECT_EQ(c.runs[r], runs[r].packets);
            sent += c.runs[r];
        }
        EXPECT_EQ(c.bad, sent);
        if (sent > 0) {
            EXPECT_EQ(nullptr, chain[c.bad - 1]->chain_next);
        }
    }
}

TEST_F(CcmniTest, ARefusedRunIsCompletedAsDropped)
{
    Create();
    struct net_device* net = Net(0);
    doubles::DpmaifSendState().refuse_at = 1;
    std::vector<struct sk_buff*> chain = {Packet(Data(80)), Packet(Ipv4(kAck)), Packet(Ipv6(kAck)), Packet(Data(90))};
    struct ccmni_tx_request request = {1, 0, 0, 0, 0, 0, nullptr};
    EXPECT_EQ(0, ccmni_start_xmit(Chain(chain), net, &request));

    ASSERT_EQ(3u, doubles::DpmaifSendState().runs.size());
    EXPECT_EQ((std::vector<struct sk_buff*>{chain[1]}), Completed());
    EXPECT_EQ(2u, ChainLength(chain[1]));
    EXPECT_EQ(2, request.dropped);
    EXPECT_EQ(2u, net->stats.tx_dropped);
    EXPECT_EQ(2u, net->stats.tx_packets);
    EXPECT_EQ(nullptr, request.returned);
}

// ---- the acknowledgement classifier

TEST_F(CcmniTest, PureAcknowledgementsAreTcpSegmentsWithoutPayloadOrUrgentCongestionFlags)
{
    struct Case {
        const char* name;
        Bytes packet;
        bool ack;
    };
    const Bytes hop6 = Ipv6(kAck, 0, 6, true);
    const Case cases[] = {
        {"v4 ack, total 40", Ipv4(kAck), true},
        {"v4 one payload byte", Ipv4(kAck, 1), false},
        {"v4 total says 41 with 40 present", Ipv4(kAck, 0, 6, 0, 41), false},
        {"v4 urg", Ipv4(kAck | kUrg), false},
        {"v4 ece", Ipv4(kAck | kEce), false},
        {"v4 cwr", Ipv4(kAck | kCwr), false},
        {"v4 fin without payload", Ipv4(kFin | kAck), true},
        {"v4 bare syn", Ipv4(kSyn), true},
        {"v4 with ip options", Ipv4(kAck, 0, 6, 1), true},
        {"v4 udp", Ipv4(0, 0, 17), false},
        {"v6 ack", Ipv6(kAck), true},
        {"v6 behind hop-by-hop", hop6, true},
        {"v6 payload", Ipv6(kAck, 10), false},
        {"v6 udp behind hop-by-hop", Ipv6(0, 0, 17, true), false},
        {"v6 no next header", [] { Bytes b = Ipv6(kAck); b[6] = 59; return b; }(), false},
        {"version 5", [] { Bytes b = Ipv4(kAck); b[0] = 0x55; return b; }(), false},
        {"empty", Bytes{}, false},
        {"v4 one byte", Bytes{0x45}, false},
        {"v4 ip header only", Truncated(Ipv4(kAck), 20), false},
        {"v4 tcp cut short", Truncated(Ipv4(kAck), 39), false},
        {"v4 header length past the packet", [] { Bytes b = Ipv4(kAck); b[0] = 0x4F; return b; }(), false},
        {"v6 fixed header cut short", Truncated(Ipv6(kAck), 39), false},
        {"v6 tcp cut short", Truncated(Ipv6(kAck), 59), false},
        {"v6 inside the extension header", Truncated(hop6, 41), false},
        {"v6 tcp after the extension cut short", Truncated(hop6, 67), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.ack, ccmni_is_pure_ack(Packet(c.packet)));
    }
}

// ---- receive

TEST_F(CcmniTest, ReceivedPacketsOfAnOpenDeviceGoUpWithProtocolAndLinkIndex)
{
    Create();
    struct net_device* net = Net(3);
    ASSERT_EQ(0, ccmni_open(net));
    std::vector<struct sk_buff*> chain = {Packet(Data(60), -1, true), Packet(Ipv6(kAck, 5), -1, true),
                                          Packet(Bytes{0x50, 1, 2, 3}, -1, true)};
    chain[2]->protocol = 0x1234;
    const u64 bytes = chain[0]->len + chain[1]->len + chain[2]->len;
    EXPECT_EQ(0, ccmni_rx_callback(dev_.ccmni, 3, Chain(chain), 0, 3));

    const auto indications = doubles::RxIndications();
    ASSERT_EQ(1u, indications.size());
    EXPECT_EQ(3u, indications[0].count);
    ASSERT_EQ(3u, indications[0].packets.size());
    const u16 expected[] = {0x0008, 0xDD86, 0x1234}; // 0x0800 and 0x86DD in network order; kept
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i], indications[0].packets[i].protocol);
        EXPECT_EQ(3u, indications[0].packets[i].link_index);
    }
    EXPECT_EQ(Data(60), indications[0].packets[0].bytes);
    EXPECT_EQ(3u, net->stats.rx_packets);
    EXPECT_EQ(bytes, net->stats.rx_bytes);
    EXPECT_EQ(3u, pool_.qlen); // the stand-in gave them back
}

TEST_F(CcmniTest, ReceivedChainsWithoutAnOpenDeviceGoBackToTheirPool)
{
    Create();
    struct net_device* net = Net(3);
    struct Case {
        const char* name;
        bool record;
        u32 channel;
        int opens, closes;
        int result;
    };
    const Case cases[] = {
        {"no record", false, 3, 1, 0, -1},
        {"channel 21", true, 21, 1, 0, 0},
        {"channel without an instance", true, 8, 1, 0, 0},
        {"never opened", true, 3, 0, 0, -1},
        {"closed again", true, 3, 1, 1, -1},
        {"closed more often than opened", true, 3, 1, 3, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.opens; i++)
            ASSERT_EQ(0, ccmni_open(net));
        for (int i = 0; i < c.closes; i++)
            ASSERT_EQ(0, ccmni_close(net));
        const u32 pooled = pool_.qlen;
        struct sk_buff* first = Chain({Packet(Data(50), -1, true), Packet(Data(50), -1, true)});
        EXPECT_EQ(c.result, ccmni_rx_callback(c.record ? dev_.ccmni : nullptr, c.channel, first, 0, 2));
        EXPECT_EQ(pooled + 2, pool_.qlen);
        EXPECT_TRUE(doubles::RxIndications().empty());
        EXPECT_EQ(0u, net->stats.rx_packets);
        while (dev_.ccmni->instances[3]->open_count > 0)
            ccmni_close(net);
    }
    // Opening again after the extra closes takes one open, not several.
    ASSERT_EQ(0, ccmni_open(net));
    EXPECT_EQ(0, ccmni_rx_callback(dev_.ccmni, 3, Packet(Data(50), -1, true), 0, 1));
    EXPECT_EQ(1u, doubles::RxIndications().size());
}

TEST_F(CcmniTest, DeviceOperationsWithoutAControlRecordFail)
{
    struct net_device net = {};
    struct ccmni_instance inst = {};
    net.priv = &inst;
    EXPECT_EQ(-1, ccmni_open(&net));
    EXPECT_EQ(-1, ccmni_close(&net));
    EXPECT_EQ(-1, ccmni_open(nullptr));
    EXPECT_EQ(-22, ccmni_capabilities(nullptr));
}

// ---- modem states

TEST_F(CcmniTest, BootStartExceptionStoppingAndStoppedReachTheDpmaifInstance)
{
    Create();
    struct fsm_notifier* node = doubles::FsmNotifiersState().registered.at(0);
    std::vector<std::string> forwarded;
    for (u32 state = 0; state <= 9; state++) {
        node->callback(state, node->data);
        EXPECT_EQ(state, dev_.ccmni->last_md_state);
        if (state == 2 || state == 5 || state == 7 || state == 8)
            forwarded.push_back("state " + std::to_string(state));
    }
    const auto& life = doubles::DpmaifLifeState();
    EXPECT_EQ(forwarded, std::vector<std::string>(life.calls.begin() + 1, life.calls.end()));
    for (struct dpmaif_hif* instance : life.state_instances)
        EXPECT_EQ(doubles::DummyDpmaifInstance(), instance);

    doubles::DpmaifLifeState().state_result = -1;
    EXPECT_EQ(-1, ccmni_modem_state_changed(MD_STATE_BOOT_HS, dev_.ccmni));
    EXPECT_EQ(0, ccmni_modem_state_changed(MD_STATE_READY, dev_.ccmni));
    EXPECT_EQ(-1, ccmni_modem_state_changed(MD_STATE_READY, nullptr));
}

} // namespace
