#include "port_recv.h"

#include "ccci_bm.h"

namespace
{

doubles::PortRecvHandler g_handler;

int Offer(u8 hif_id, int qno, struct sk_buff* skb)
{
    doubles::PortRecv call{hif_id, qno, std::vector<u8>(skb->data, skb->data + skb->len)};
    doubles::PortRecvCalls().push_back(call);
    return g_handler ? g_handler(call, skb) : doubles::PortRecvTake(skb);
}

} // namespace

void doubles::SetPortRecvHandler(PortRecvHandler handler)
{
    g_handler = std::move(handler);
}

std::vector<doubles::PortRecv>& doubles::PortRecvCalls()
{
    static std::vector<PortRecv> calls;
    return calls;
}

int doubles::PortRecvTake(struct sk_buff* skb)
{
    bm_free_skb(skb, 0x706F5254u); // 'poRT'
    return 0;
}

extern "C" int __wrap_ccci_port_recv_skb(struct ccci_md*, u8 hif_id, struct sk_buff* skb)
{
    return Offer(hif_id, -1, skb);
}

extern "C" int __wrap_ccci_port_recv_queue_skb(struct ccci_md*, u8 hif_id, u8 qno, struct sk_buff* skb)
{
    return Offer(hif_id, qno, skb);
}
