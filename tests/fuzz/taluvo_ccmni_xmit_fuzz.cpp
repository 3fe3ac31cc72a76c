// The ccmni transmit path over a chain of arbitrary packets: the acknowledgement test reads only inside
// each packet (its bytes end where its buffer ends), and every packet is either sent once, behind its
// header, or completed as dropped once, with the counts to match.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "ccmni.h"
#include "dpmaif.h"
#include "dpmaif_send.h"
#include "tx_completions.h"

namespace
{

const u32 kTag = 0x7A7A7546; // "Fuzz"

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Each packet: two bytes of length (big-endian, up to 1600), then that many bytes or what is left.
std::vector<struct sk_buff*> Packets(const uint8_t* data, size_t size, u32 count, u32 short_headroom)
{
    std::vector<struct sk_buff*> skbs;
    size_t at = 0;
    for (u32 i = 0; i < count && at + 2 <= size; i++) {
        u32 length = (u32)(data[at] << 8 | data[at + 1]) % 1601;
        at += 2;
        if (length > size - at)
            length = (u32)(size - at);
        struct sk_buff* skb = alloc_skb(length + CCMNI_TX_HEADROOM, kTag);
        if (skb == NULL)
            break;
        skb_reserve(skb, i == short_headroom ? CCMNI_TX_HEADROOM - 1 : (u32)skb->end - length);
        if (length > 0)
            memcpy(skb_put(skb, length), data + at, length);
        at += length;
        if (!skbs.empty())
            skbs.back()->chain_next = skb;
        skbs.push_back(skb);
    }
    return skbs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Byte 0: packets - 1 (bits 0-1), the run refused (bits 2-3), whether a refusal happens (bit 4),
    // the packet with 15 bytes of headroom (bits 5-6, when bit 7 is set).
    if (size < 1 || size > 8192)
        return 0;
    const u8 control = data[0];
    const u32 short_headroom = control & 0x80 ? (control >> 5) & 3 : ~0u;
    std::vector<struct sk_buff*> skbs = Packets(data + 1, size - 1, (control & 3) + 1, short_headroom);
    if (skbs.empty())
        return 0;

    static struct ccmni_ctl_block ctl = {};
    static struct ccmni_instance inst = {};
    static struct net_device dev = {};
    ctl.capabilities = CCMNI_CAPABILITIES;
    inst = {5, 0, 1, &dev, NULL, &ctl};
    dev = {};
    dev.priv = &inst;
    dev.mtu = CCMNI_MTU;
    doubles::DpmaifSendState() = {};
    doubles::DpmaifSendState().refuse_at = control & 0x10 ? (control >> 2) & 3 : -1;
    doubles::ClearTxCompletions();

    std::vector<u32> lengths;
    for (struct sk_buff* skb : skbs)
        lengths.push_back(skb->len);
    struct ccmni_tx_request request = {1, 0, 0, 0, 0, 0, NULL};
    const int result = ccmni_start_xmit(skbs[0], &dev, &request);

    std::map<struct sk_buff*, int> seen;
    u32 sent = 0;
    const auto& runs = doubles::DpmaifSendState().runs;
    for (size_t r = 0; r < runs.size(); r++) {
        Check(runs[r].packets == runs[r].skbs.size() && runs[r].queue <= CCMNI_TXQ_ACK);
        for (struct sk_buff* skb : runs[r].skbs) {
            struct ccmni_tx_header header;
            memcpy(&header, skb->data, sizeof(header));
            Check(header.index == 5 && header.length == skb->len && skb->tx_queue == runs[r].queue);
            if ((int)r != doubles::DpmaifSendState().refuse_at) {
                seen[skb]++;
                sent++;
            }
        }
    }
    u32 dropped = 0;
    for (struct sk_buff* chain : doubles::TxCompletions())
        for (struct sk_buff* skb = chain; skb != NULL; skb = skb->chain_next) {
            seen[skb]++;
            dropped++;
        }
    Check(seen.size() == skbs.size() && sent + dropped == skbs.size());
    for (const auto& entry : seen)
        Check(entry.second == 1);
    Check(request.dropped == (s32)dropped && dev.stats.tx_dropped == dropped && dev.stats.tx_packets == sent);
    const bool first_bad = lengths[0] > CCMNI_MTU || short_headroom == 0;
    Check((result == -2) == first_bad && (result == 0 || result == -2));

    for (struct sk_buff* skb : skbs)
        kfree_skb(skb, kTag);
    return 0;
}
