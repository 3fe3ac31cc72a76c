// The receive side every port kind shares: the bounded queue with its back-pressure rule, the wake-up
// of the reader and the minidump notice.
#include "port_kinds.h"

#include "ccci_fsm.h"
#include "ccci_bm.h"

#include <string.h>

namespace
{

const char g_minidump_port[] = "minidump_notify";

// A port without a device node that only relays the modem's minidump notice upward.
bool is_minidump_port(const struct ccci_port* port)
{
    return (port_flags(port) & PORT_F_CHAR_NODE) == 0 && strcmp(port->name, g_minidump_port) == 0;
}

} // namespace

u32 port_flags(const struct ccci_port* port)
{
    return ReadULongNoFence(&port->flags);
}

void port_flags_set(struct ccci_port* port, u32 bits)
{
    InterlockedOr(reinterpret_cast<volatile LONG*>(&port->flags), (LONG)bits);
}

void port_flags_clear(struct ccci_port* port, u32 bits)
{
    InterlockedAnd(reinterpret_cast<volatile LONG*>(&port->flags), (LONG)~bits);
}

u32 port_purge_rx(struct ccci_port* port)
{
    if (port->rx_queue.lock == NULL)
        return 0;
    u32 count = 0;
    WdfSpinLockAcquire(port->rx_queue.lock);
    for (struct sk_buff* skb = __skb_dequeue(&port->rx_queue); skb != NULL; skb = __skb_dequeue(&port->rx_queue)) {
        bm_free_skb(skb, CCCI_PORT_TAG);
        count++;
    }
    WdfSpinLockRelease(port->rx_queue.lock);
    return count;
}

int port_recv_skb(struct ccci_port* port, struct sk_buff* skb)
{
    u32 flags = port_flags(port);
    if (is_minidump_port(port)) {
        ccci_info(CCCI_PORT_TAG_TEXT, "%s: the modem reports a minidump (%u bytes)", port->name, skb->len);
        fsm_report("MINIDUMP");
        bm_free_skb(skb, CCCI_PORT_TAG);
        return 0;
    }
    bool framed = (flags & PORT_F_RAW) == 0;
    if (framed && skb->len < CCCI_HEADER_SIZE) {
        ccci_err(CCCI_PORT_TAG_TEXT, "%s: %u-byte frame is shorter than its header, dropped", port->name, skb->len);
        return CCCI_RX_DROPPED;
    }
    u16 channel = framed ? ccci_header_read(skb).channel : (u16)CCCI_NO_CHANNEL;

    WdfSpinLockAcquire(port->rx_queue.lock);
    if (port->rx_queue.qlen >= port->rx_limit) {
        port_flags_set(port, PORT_F_RX_FULL);
        WdfSpinLockRelease(port->rx_queue.lock);
        if ((flags & PORT_F_RX_DROP) == 0)
            return CCCI_RX_BUSY;
        ccci_warn(CCCI_PORT_TAG_TEXT, "%s: queue full, frame dropped", port->name);
        port->drop_count++;
        return CCCI_RX_DROPPED;
    }
    port_flags_clear(port, PORT_F_RX_FULL);
    if ((flags & PORT_F_STRIP_HEADER) != 0) {
        if ((flags & PORT_F_USER_HEADER) == 0) {
            skb_pull(skb, CCCI_HEADER_SIZE);
        } else if (skb->len > CCCI_HEADER_SIZE && ccci_header_read(skb).data0 == CCCI_MSG_MARK) {
            ccci_warn(CCCI_PORT_TAG_TEXT, "%s: message frame of %u bytes cut to its header", port->name, skb->len);
            skb_trim(skb, CCCI_HEADER_SIZE);
        }
    }
    if (!framed || channel != CCCI_POLL_RX)
        __skb_queue_tail(&port->rx_queue, skb);
    else if (port->rx_handler != NULL)
        port->rx_handler(port, skb);
    else
        bm_free_skb(skb, CCCI_PORT_TAG);
    port->rx_count++;
    WdfSpinLockRelease(port->rx_queue.lock);

    KeSetEvent(&port->rx_event, IO_NO_INCREMENT, FALSE);
    struct sio_device* sio = port->sio;
    if (sio != NULL && sio->data_callback != NULL)
        sio->data_callback(sio);
    return 0;
}
