// Stands in for the ccmni layer's receive entry: records each chain it is handed (channel, count, the
// packets' bytes and checksum results) and gives the buffers back to their cache at once.
// Wraps: ccmni_rx_callback
#pragma once

#include "skbuff.h"

#include <vector>

namespace doubles
{

struct RxChain {
    u32 channel;
    u32 count;
    std::vector<std::vector<u8>> packets;
    std::vector<u8> csum;
};

// The chains handed to ccmni_rx_callback, in order.
std::vector<RxChain> RxChains();
// The packets handed over so far, without copying them.
size_t RxPacketCount();
void ClearRxChains();

} // namespace doubles
