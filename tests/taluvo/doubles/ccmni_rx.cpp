#include "ccmni_rx.h"

#include <mutex>

namespace
{

std::mutex g_lock;
std::vector<doubles::RxChain> g_chains;
size_t g_packets = 0;

} // namespace

extern "C" int __wrap_ccmni_rx_callback(struct ccmni_ctl_block*, u32 channel, struct sk_buff* first, int, u32 count)
{
    doubles::RxChain chain = {channel, count, {}, {}};
    for (struct sk_buff* skb = first; skb != NULL; skb = skb->chain_next) {
        chain.packets.emplace_back(skb->data, skb->data + skb->len);
        chain.csum.push_back(skb->csum_state);
    }
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_packets += chain.packets.size();
        g_chains.push_back(std::move(chain));
    }
    if (first != NULL)
        skb_chain_recycle(first);
    return 0;
}

std::vector<doubles::RxChain> doubles::RxChains()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_chains;
}

void doubles::ClearRxChains()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_chains.clear();
    g_packets = 0;
}

size_t doubles::RxPacketCount()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_packets;
}
