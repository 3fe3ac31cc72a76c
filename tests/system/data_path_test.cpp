// Packets through the booted modem: sent into the ccmni instances of several channels, written to the
// DPMAIF rings by the push thread, turned round by the modem's loopback and received through the
// interrupt, the receive runner and the ccmni layer into the adapters' receive queues. The same across
// an idle suspend and resume, and across a modem exception followed by the reset that recovers it.
#include "system_rig.h"

#include <map>
#include <tuple>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "ccmni.h"
#include "doubles/modem_events.h"
#include "doubles/rx_indications.h"
#include "doubles/tx_completions.h"
#include "dpmaif.h"
#include "pcie_device.h"
#include "pcie_mac.h"

namespace systemtest
{
namespace
{

using sim::modem::Milliseconds;
using Bytes = std::vector<u8>;

constexpr LONGLONG kSecond = Milliseconds(1000);
constexpr ULONG kD3 = 4;
constexpr u32 kChannels[] = {0, 1, 3, 7};
constexpr u16 kIpv4 = 0x0008; // 0x0800 as stored: network byte order

// An IPv4 packet: a UDP datagram of `payload` bytes (ordinary queue) or, with `ack`, a bare TCP
// acknowledgement (the priority queue). Bytes 8-11 of the payload area name the channel and the
// packet's place in its channel's sequence of that kind.
Bytes Packet(u32 channel, u32 seq, bool ack, size_t payload)
{
    const size_t transport = ack ? 20 : 8;
    Bytes bytes(20 + transport + (ack ? 0 : payload));
    bytes[0] = 0x45;
    bytes[2] = (u8)(bytes.size() >> 8);
    bytes[3] = (u8)bytes.size();
    bytes[8] = 64;
    bytes[9] = ack ? 6 : 17;
    // Source address: channel and sequence, so every packet is distinct.
    bytes[12] = (u8)channel;
    bytes[13] = (u8)(seq >> 8);
    bytes[14] = (u8)seq;
    bytes[15] = ack ? 1 : 0;
    if (ack) {
        bytes[20 + 12] = 5 << 4; // data offset: 20 bytes
        bytes[20 + 13] = 0x10;   // ACK only
    }
    for (size_t i = 20 + transport; i < bytes.size(); i++)
        bytes[i] = (u8)(seq * 31 + i);
    return bytes;
}

class DataPathTest : public SystemRig
{
  protected:
    void SetUp() override
    {
        SystemRig::SetUp();
        doubles::ClearRxIndications();
        doubles::ClearTxCompletions();
    }
    void TearDown() override
    {
        // Sent packets go before the pool check once all are completed; otherwise the ring may still
        // hold some, and they go after the stop has completed them.
        const bool done = Completed() == total_;
        if (done)
            FreeSent();
        Stop();
        FreeSent();
        doubles::ClearRxIndications();
        doubles::ClearTxCompletions();
        SystemRig::TearDown();
    }

    // Boots to ready with the modem's DPMAIF engine looping every packet back and the tested channels'
    // devices open, as a bound data session leaves them.
    void BootToReady(size_t readyCount = 1)
    {
        ASSERT_TRUE(WaitReport("MDM_READY", 30 * kSecond, readyCount));
        Modem().Dpmaif().SetLoopback(true);
        struct ccmni_ctl_block* ctl = Ctl();
        ASSERT_NE(nullptr, ctl);
        ASSERT_NE(nullptr, ctl->dpmaif);
        ASSERT_TRUE(dpmaif_is_started(ctl->dpmaif));
        for (u32 channel : kChannels)
            ASSERT_EQ(0, ccmni_open(ctl->instances[channel]->dev));
    }

    struct ccmni_ctl_block* Ctl()
    {
        IPC_PCI_DEVICE* pdev = Driver().Pdev();
        return pdev != nullptr && pdev->MdmDevice != nullptr ? pdev->MdmDevice->ccmni : nullptr;
    }

    // Sends `count` packets per channel, chains of one to three, a pure acknowledgement every fourth
    // packet; what each (channel, kind) must receive is added to `expected_`.
    void SendRound(u32 count)
    {
        struct ccmni_ctl_block* ctl = Ctl();
        for (u32 n = 0; n < count;) {
            for (u32 channel : kChannels) {
                struct sk_buff* first = nullptr;
                struct sk_buff** tail = &first;
                u32 packets = 1 + n % 3;
                for (u32 k = 0; k < packets; k++) {
                    const bool ack = (n + k) % 4 == 3;
                    u32& seq = next_[{channel, ack}];
                    const Bytes bytes = Packet(channel, seq++, ack, 1 + ((n + k) * 277 + channel * 61) % 1400);
                    expected_[{channel, ack}].push_back(bytes);
                    struct sk_buff* skb = alloc_skb((u32)bytes.size() + CCMNI_TX_HEADROOM, 0);
                    ASSERT_NE(nullptr, skb);
                    skb_reserve(skb, CCMNI_TX_HEADROOM);
                    memcpy(skb_put(skb, (u32)bytes.size()), bytes.data(), bytes.size());
                    sent_.push_back(skb);
                    *tail = skb;
                    tail = &skb->chain_next;
                }
                struct ccmni_tx_request request = {};
                request.header_word = 1;
                ASSERT_EQ(0, ccmni_start_xmit(first, ctl->instances[channel]->dev, &request));
                ASSERT_EQ(0, request.dropped);
                total_ += packets;
            }
            n += 1 + n % 3;
        }
    }

    void FreeSent()
    {
        for (struct sk_buff* skb : sent_)
            kfree_skb(skb, 0);
        sent_.clear();
    }

    static size_t Received()
    {
        size_t n = 0;
        for (const doubles::RxIndication& indication : doubles::RxIndications())
            n += indication.packets.size();
        return n;
    }
    static size_t Completed()
    {
        size_t n = 0;
        for (struct sk_buff* chain : doubles::TxCompletions())
            for (struct sk_buff* skb = chain; skb != nullptr; skb = skb->chain_next)
                n++;
        return n;
    }

    // Everything sent came back once, intact and in order per channel and kind, on the right link;
    // every send was completed.
    void ExpectLoopedBack()
    {
        ASSERT_TRUE(WaitFor([&] { return Received() >= total_ && Completed() >= total_; }, 30 * kSecond))
            << Received() << " received, " << Completed() << " completed of " << total_;
        std::map<std::pair<u32, bool>, std::vector<Bytes>> received;
        for (const doubles::RxIndication& indication : doubles::RxIndications())
            for (const doubles::RxPacket& packet : indication.packets) {
                EXPECT_EQ(kIpv4, packet.protocol);
                EXPECT_EQ((u32)packet.bytes[12], packet.link_index);
                received[{packet.bytes[12], packet.bytes[15] != 0}].push_back(packet.bytes);
            }
        EXPECT_EQ(expected_, received);
        EXPECT_EQ(total_, Received());
        EXPECT_EQ(total_, Completed());
        ExpectRingsBalanced();
    }

    // Transmit rings empty, nothing pending, every PIT entry read, the BAT lent out in full but for
    // less than a batch waiting to go back.
    void ExpectRingsBalanced()
    {
        struct dpmaif_hif* instance = Ctl()->dpmaif;
        EXPECT_TRUE(WaitFor(
            [&] {
                for (const struct dpmaif_txq& txq : instance->txq)
                    if (txq.drb_free != (LONG)txq.drb_length || txq.pending_count != 0)
                        return false;
                return true;
            },
            kSecond));
        for (const struct dpmaif_rxq& rxq : instance->rxq)
            EXPECT_EQ(rxq.rd_idx, rxq.hw_wr_idx);
        const struct dpmaif_bat_table& bat = instance->bat;
        EXPECT_EQ(bat.length - 1, (bat.wr_idx + bat.length - bat.rel_idx) % bat.length);
    }

    // Starts a new round of sends: what came before is forgotten.
    void NextRound()
    {
        const bool done = Completed() == total_;
        ASSERT_TRUE(done);
        FreeSent();
        doubles::ClearRxIndications();
        doubles::ClearTxCompletions();
        expected_.clear();
        total_ = 0;
    }

    std::map<std::pair<u32, bool>, u32> next_;
    std::map<std::pair<u32, bool>, std::vector<Bytes>> expected_;
    std::vector<struct sk_buff*> sent_;
    size_t total_ = 0;
};

TEST_F(DataPathTest, PacketsLoopThroughTheModemOncePerChannelInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    BootToReady();
    SendRound(200);
    ExpectLoopedBack();
}

TEST_F(DataPathTest, AnIdleSuspendAndResumeKeepsTheDataPath)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    BootToReady();
    SendRound(20);
    ExpectLoopedBack();
    NextRound();

    WDFDEVICE device = Driver().device;
    ASSERT_EQ(STATUS_SUCCESS, IpcEvtSuspendHandler(device, kD3, TRUE));
    for (const struct dpmaif_rxq& rxq : Ctl()->dpmaif->rxq)
        EXPECT_EQ(0, rxq.enabled);
    Modem().SetMacRegister(MAC_RESUME_STATE, 1); // slept with its context kept
    ASSERT_EQ(STATUS_SUCCESS, IpcEvtResumeNoIrq(device));
    ASSERT_EQ(STATUS_SUCCESS, IpcEvtResumeHandler(device, kD3));
    IpcDpmaifDLQMask(FALSE); // as the adapter's receive queue does when it starts again

    SendRound(100);
    ExpectLoopedBack();
}

TEST_F(DataPathTest, AModemExceptionStopsTheDataPathAndTheResetBringsItBack)
{
    ASSERT_EQ(STATUS_SUCCESS, Start());
    BootToReady();
    SendRound(20);
    ExpectLoopedBack();
    NextRound();

    Boot().RaiseException(std::vector<UCHAR>(100, 0x5A));
    ASSERT_TRUE(WaitReport("CRASH", 60 * kSecond));
    EXPECT_TRUE(WaitFor([&] { return !dpmaif_is_started(Ctl()->dpmaif); }, 10 * kSecond));

    Boot().RaiseReset(2);
    ASSERT_TRUE(WaitReport("WARM_RESET", 5 * kSecond));
    ASSERT_EQ(STATUS_SUCCESS, Replug());
    BootToReady(2);
    SendRound(100);
    ExpectLoopedBack();
}

} // namespace
} // namespace systemtest
