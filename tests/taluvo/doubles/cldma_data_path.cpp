// Stands in for the CLDMA engine's send path, interrupt handler, deferred handlers and dump until they
// land: nothing is sent (-16), the handlers do nothing.
#include "cldma.h"

int cldma_send_skb(u8, u8, u8, struct sk_buff*, int, int)
{
    return -16;
}

int cldma_dump_status(u8, u8, u32, u32, u32)
{
    return 0;
}

int cldma_isr(void*)
{
    return 0;
}

void cldma_tx_done_timer(WDFTIMER) {}

void cldma_rx_done_work(WDFWORKITEM) {}
