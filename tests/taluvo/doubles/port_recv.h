// Stands in for the port layer's receive entries in the tests of the engines: hands each buffer to a
// handler the test sets; without one, the buffer is taken (its bytes recorded, the buffer released) and 0
// returned. The stand-ins replace the real entries at link time (--wrap) in every test whose source
// includes this header.
// Wraps: ccci_port_recv_skb ccci_port_recv_queue_skb
#pragma once

#include "cldma.h"

#include <functional>
#include <vector>

namespace doubles
{

struct PortRecv {
    u8 hif_id;
    int qno; // -1: delivered by channel
    std::vector<u8> bytes;
};

using PortRecvHandler = std::function<int(const PortRecv& call, struct sk_buff* skb)>;

void SetPortRecvHandler(PortRecvHandler handler);
// Every buffer offered, in order, whatever the answer.
std::vector<PortRecv>& PortRecvCalls();
// The default handling: record as taken and release the buffer; returns 0.
int PortRecvTake(struct sk_buff* skb);

} // namespace doubles
