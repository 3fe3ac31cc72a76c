#include "dpmaif_send.h"

doubles::DpmaifSend& doubles::DpmaifSendState()
{
    static DpmaifSend state;
    return state;
}

extern "C" int __wrap_dpmaif_tx_send_skb(u8, struct dpmaif_hif*, u8 q, struct sk_buff* skb, int,
                                         struct ccmni_tx_request* request)
{
    doubles::DpmaifSend& state = doubles::DpmaifSendState();
    doubles::TxRun run = {q, request->packets, request->fragments, {}, {}};
    for (struct sk_buff* p = skb; p != NULL; p = p->chain_next) {
        run.skbs.push_back(p);
        run.bytes.emplace_back(p->data, p->data + p->len);
    }
    const bool refuse = (int)state.runs.size() == state.refuse_at;
    state.runs.push_back(std::move(run));
    if (refuse) {
        request->returned = skb;
        return -16;
    }
    return 0;
}
