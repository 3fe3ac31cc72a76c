// The message ports' handlers over an arbitrary frame from the modem: the first byte picks the port (MD
// control, SAP control, system), the rest is the frame, in a buffer of exactly its size so that a read
// past the frame is a read past the allocation. Every handler takes the buffer and ends.
#include <cstdint>
#include <cstring>

#include "port_kinds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    static struct ccci_port ports[3];
    ports[0].rx_ch = CCCI_CONTROL_RX;
    ports[0].name = "ccci_ctrl";
    ports[1].rx_ch = CCCI_SAP_CONTROL_RX;
    ports[1].name = "ccci_sap_ctrl";
    ports[2].rx_ch = CCCI_SYSTEM_RX;
    ports[2].tx_ch = CCCI_SYSTEM_TX;
    ports[2].name = "ccci_sys";
    struct ccci_port* port = &ports[data[0] % 3];
    const u32 length = static_cast<u32>(size - 1);
    struct sk_buff* skb = alloc_skb(length, CCCI_PORT_TAG);
    if (skb == NULL)
        return 0;
    memcpy(skb_put(skb, length), data + 1, length);
    if (port == &ports[2])
        port_sys_handler(port, skb);
    else
        port_ctrl_handler(port, skb);
    return 0;
}
