#include "tx_completions.h"

#include <mutex>

namespace
{

std::mutex g_lock;
std::vector<struct sk_buff*> g_chains;

} // namespace

void WwanTx_IndicateCompletions(struct sk_buff* chain)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_chains.push_back(chain);
}

ULONG IpcNetCompleteTxChain(struct sk_buff* First)
{
    ULONG count = 0;
    for (struct sk_buff* skb = First; skb != NULL; skb = skb->chain_next)
        count++;
    WwanTx_IndicateCompletions(First);
    return count;
}

std::vector<struct sk_buff*> doubles::TxCompletions()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_chains;
}

void doubles::ClearTxCompletions()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_chains.clear();
}
