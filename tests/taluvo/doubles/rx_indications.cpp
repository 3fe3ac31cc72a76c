#include "rx_indications.h"

#include <mutex>

namespace
{

std::mutex g_lock;
std::vector<doubles::RxIndication> g_indications;

} // namespace

void WwanRx_IndicatePackets(struct sk_buff* First, ULONG Count)
{
    doubles::RxIndication indication = {Count, {}};
    for (struct sk_buff* skb = First; skb != NULL; skb = skb->chain_next)
        indication.packets.push_back({{skb->data, skb->data + skb->len}, skb->protocol, skb->link_index});
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_indications.push_back(std::move(indication));
    }
    if (First != NULL)
        skb_chain_recycle(First);
}

std::vector<doubles::RxIndication> doubles::RxIndications()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_indications;
}

void doubles::ClearRxIndications()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_indications.clear();
}
