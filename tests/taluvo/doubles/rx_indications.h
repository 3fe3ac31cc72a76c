// Stands in for the network adapters' receive queues: records each chain handed up (the packets'
// bytes, protocol and link index) and gives the buffers back to their pool at once.
#pragma once

#include <vector>

#include "IpcNet.h"

namespace doubles
{

struct RxPacket {
    std::vector<u8> bytes;
    u16 protocol;
    u32 link_index;
};

struct RxIndication {
    ULONG count;
    std::vector<RxPacket> packets;
};

std::vector<RxIndication> RxIndications();
void ClearRxIndications();

} // namespace doubles
