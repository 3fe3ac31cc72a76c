// Stands in for the DPMAIF transmit entry: records each chain handed to it (queue, the request's
// counts and every packet's bytes, header included) and accepts it, or refuses the run with the
// number the test names (-16, the chain handed back through the request).
// Wraps: dpmaif_tx_send_skb
#pragma once

#include <vector>

#include "dpmaif.h"

namespace doubles
{

struct TxRun {
    u8 queue;
    u32 packets;   // the request's count
    u32 fragments; // the request's count
    std::vector<struct sk_buff*> skbs;
    std::vector<std::vector<u8>> bytes;
};

struct DpmaifSend {
    std::vector<TxRun> runs;
    // The run with this number (0 = the first after the reset) is refused.
    int refuse_at = -1;
};

// Reset by each test that uses it.
DpmaifSend& DpmaifSendState();

} // namespace doubles
