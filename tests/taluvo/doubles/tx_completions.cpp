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

std::vector<struct sk_buff*> doubles::TxCompletions()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_chains;
}
