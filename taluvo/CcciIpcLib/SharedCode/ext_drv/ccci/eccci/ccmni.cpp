// The ccmni layer: network devices per data channel over the DPMAIF instance.
#include "ccmni.h"

#include <ntstrsafe.h>

#include "IpcNet.h"
#include "dpmaif.h"
#include "pcie_device.h"

namespace
{

// The configured number of network instances.
const u32 kConfiguredCount = CCMNI_INSTANCE_COUNT;

const u8 kIpProtoTcp = 6;
const u16 kEthPIp = 0x0800;
const u16 kEthPIpv6 = 0x86DD;
const u32 kIpv4HeaderMin = 20;
const u32 kIpv6Header = 40;
const u32 kTcpHeaderMin = 20;

const struct net_device_ops ccmni_ops = {ccmni_open, ccmni_close, ccmni_start_xmit};

u16 be16_at(const u8* p)
{
    return (u16)(p[0] << 8 | p[1]);
}

u16 to_network_order(u16 value)
{
    return (u16)(value >> 8 | value << 8);
}

struct ccmni_instance* instance_of(const struct net_device* dev)
{
    return dev != NULL ? static_cast<struct ccmni_instance*>(dev->priv) : NULL;
}

// URG, ECE and CWR: the top three bits of TCP byte 13.
bool tcp_flags_allow_ack(const u8* tcp)
{
    return (tcp[13] & 0xE0) == 0;
}

u32 tcp_header_length(const u8* tcp)
{
    return (u32)(tcp[12] >> 4) * 4;
}

void free_lock(struct ccmni_instance* inst)
{
    if (inst->lock == NULL)
        return;
    if (*inst->lock != NULL)
        WdfObjectDelete(*inst->lock);
    win_free(inst->lock, CCMNI_POOL_TAG);
    inst->lock = NULL;
}

// Frees the net device in slot i (taking it off the net links when it was registered) and clears the slot.
void drop_device(struct ccmni_ctl_block* ctl, u32 i, bool registered)
{
    struct ccmni_instance* inst = ctl->instances[i];
    ctl->instances[i] = NULL;
    if (inst == NULL)
        return;
    free_lock(inst);
    if (registered)
        IpcNetRemove(inst->dev);
    free_netdev(inst->dev, CCMNI_POOL_TAG);
}

void free_ctl(struct ccmni_ctl_block* ctl)
{
    ctl->dev->ccmni = NULL;
    win_free(ctl, CCMNI_POOL_TAG);
}

// Destroys the DPMAIF instance, then takes the first `made` devices off the net links in reverse order
// and frees them and the record. The instance goes first: its threads and its interrupt and power
// callbacks point into the record, and once started its runners hand packets to the devices.
void teardown(struct ccmni_ctl_block* ctl, u32 made)
{
    dpmaif_hif_exit((u8)ctl->md_id, ctl);
    for (u32 i = made; i-- > 0;) {
        struct ccmni_instance* inst = ctl->instances[i];
        if (inst == NULL || inst->dev == NULL)
            continue;
        ccmni_close(inst->dev);
        drop_device(ctl, i, true);
    }
    free_ctl(ctl);
}

int add_device(struct ccmni_ctl_block* ctl, u32 i)
{
    struct net_device* dev = alloc_netdev(CCMNI_PRIV_SIZE, "", 0, NULL, CCMNI_POOL_TAG);
    if (dev == NULL) {
        ccci_err(DATA_TAG, "ccmni%u: no net device", i);
        return -12;
    }
    dev->needed_headroom += CCMNI_TX_HEADROOM;
    dev->mtu = CCMNI_MTU;
    dev->index = i;
    dev->netdev_ops = &ccmni_ops;
    RtlStringCbPrintfA(dev->name, sizeof(dev->name), "ccmni%u", i);
    struct ccmni_instance* inst = instance_of(dev);
    inst->index = i;
    inst->md_id = ctl->md_id;
    inst->dev = dev;
    inst->ctl = ctl;
    InterlockedExchange(&inst->open_count, 0);
    ctl->instances[i] = inst;
    inst->lock = static_cast<WDFSPINLOCK*>(win_zalloc(sizeof(WDFSPINLOCK), 0, CCMNI_POOL_TAG));
    if (inst->lock == NULL || !NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, inst->lock))) {
        ccci_err(DATA_TAG, "%s: no lock", dev->name);
        drop_device(ctl, i, false);
        return -12;
    }
    int r = IpcNetAdd(dev);
    if (r != 0) {
        ccci_err(DATA_TAG, "%s: net link not added: %d", dev->name, r);
        drop_device(ctl, i, false);
        return r;
    }
    return 0;
}

void state_notice(u32 md_state, void* data)
{
    ccmni_modem_state_changed(md_state, static_cast<struct ccmni_ctl_block*>(data));
}

// Drops `first` and everything after it: completed as dropped and counted.
void drop_tail(struct sk_buff* first, struct net_device* dev, struct ccmni_tx_request* request)
{
    ULONG n = IpcNetCompleteTxChain(first);
    request->dropped += (s32)n;
    dev->stats.tx_dropped += n;
}

// A run of consecutive packets for one transmit queue, cut off from the rest of the chain.
struct tx_run {
    struct sk_buff* first;
    struct sk_buff* last;
    u8 queue;
    u64 bytes;
};

void send_run(struct ccmni_instance* inst, struct tx_run* run, struct ccmni_tx_request* request)
{
    struct net_device* dev = inst->dev;
    run->last->chain_next = NULL;
    for (struct sk_buff* p = run->first; p != NULL; p = p->chain_next) {
        // The data need not be aligned; bytes 10 and 11 keep whatever they held.
        u8* at = skb_push(p, CCMNI_TX_HEADROOM);
        struct ccmni_tx_header header;
        memcpy(&header, at, sizeof(header));
        header.index = inst->index;
        header.length = p->len;
        header.zero0 = 0;
        header.zero1 = 0;
        memcpy(at, &header, sizeof(header));
    }
    const u32 packets = request->packets;
    struct ccmni_ctl_block* ctl = inst->ctl;
    int r = dpmaif_tx_send_skb((u8)ctl->md_id, ctl->dpmaif, run->queue, run->first, 0, request);
    if (r == 0) {
        dev->stats.tx_packets += packets;
        dev->stats.tx_bytes += run->bytes;
    } else if (request->returned != NULL) {
        ccci_info(DATA_TAG, "%s: txq %u refused %u packets: %d", dev->name, run->queue, packets, r);
        drop_tail(request->returned, dev, request);
        request->returned = NULL;
    } else {
        ccci_err(DATA_TAG, "%s: txq %u send failed: %d", dev->name, run->queue, r);
    }
    run->first = run->last = NULL;
}

void start_run(struct tx_run* run, struct sk_buff* p, struct ccmni_tx_request* request)
{
    run->first = p;
    run->queue = p->tx_queue;
    run->bytes = 0;
    request->returned = NULL;
    request->packets = 0;
    request->fragments = 0;
}

void free_chain(struct sk_buff* first)
{
    if (first != NULL)
        skb_chain_recycle(first);
}

} // namespace

int ccmni_create_instances(u32 md_id, struct mdm_pci_dev* dev)
{
    if (dev == NULL) {
        ccci_err(DATA_TAG, "create: no device");
        return -22;
    }
    auto* ctl = static_cast<struct ccmni_ctl_block*>(win_zalloc(sizeof(struct ccmni_ctl_block), 0, CCMNI_POOL_TAG));
    if (ctl == NULL) {
        ccci_err(DATA_TAG, "create: no control record");
        return -12;
    }
    dev->ccmni = ctl;
    ctl->capabilities = CCMNI_CAPABILITIES;
    ctl->md_id = md_id;
    ctl->dev = dev;
    int r = dpmaif_hif_init((u8)md_id, ctl);
    if (r < 0) {
        ccci_err(DATA_TAG, "create: no DPMAIF instance: %d", r);
        free_ctl(ctl);
        return r;
    }
    if (kConfiguredCount > CCMNI_MAX_INSTANCES) {
        ccci_err(DATA_TAG, "create: %u instances configured", kConfiguredCount);
        teardown(ctl, 0);
        return -1;
    }
    ctl->count = kConfiguredCount;
    for (u32 i = 0; i < ctl->count; i++) {
        r = add_device(ctl, i);
        if (r != 0) {
            teardown(ctl, i);
            return r;
        }
    }
    ctl->state_node.callback = state_notice;
    ctl->state_node.data = ctl;
    r = fsm_register_notifier(md_id, &ctl->state_node);
    if (r != 0) {
        ccci_err(DATA_TAG, "create: state notifier not registered: %d", r);
        teardown(ctl, ctl->count);
        return r;
    }
    ccci_info(DATA_TAG, "md %u: %u network instances", md_id, ctl->count);
    return 0;
}

void ccmni_remove_instances(u32 md_id, struct mdm_pci_dev* dev)
{
    struct ccmni_ctl_block* ctl = dev != NULL ? dev->ccmni : NULL;
    if (ctl == NULL) {
        ccci_err(DATA_TAG, "remove: no %s", dev == NULL ? "device" : "control record");
        return;
    }
    int r = fsm_unregister_notifier(md_id, &ctl->state_node);
    if (r != 0)
        ccci_err(DATA_TAG, "remove: state notifier not unregistered: %d", r);
    teardown(ctl, ctl->count < CCMNI_MAX_INSTANCES ? ctl->count : CCMNI_MAX_INSTANCES);
}

int ccmni_open(struct net_device* dev)
{
    struct ccmni_instance* inst = instance_of(dev);
    if (inst == NULL || inst->ctl == NULL) {
        ccci_err(DATA_TAG, "open: no control record");
        return -1;
    }
    LONG count = InterlockedIncrement(&inst->open_count);
    ccci_info(DATA_TAG, "%s opened (%d)", dev->name, count);
    return 0;
}

int ccmni_close(struct net_device* dev)
{
    struct ccmni_instance* inst = instance_of(dev);
    if (inst == NULL || inst->ctl == NULL) {
        ccci_err(DATA_TAG, "close: no control record");
        return -1;
    }
    for (LONG count = ReadAcquire(&inst->open_count); count > 0;) {
        LONG seen = InterlockedCompareExchange(&inst->open_count, count - 1, count);
        if (seen == count) {
            ccci_info(DATA_TAG, "%s closed (%d)", dev->name, count - 1);
            break;
        }
        count = seen;
    }
    return 0;
}

bool ccmni_is_pure_ack(const struct sk_buff* skb)
{
    const u32 head = skb_headlen(skb);
    if (head == 0 || skb->data == NULL)
        return false;
    const u8* ip = skb->data;
    switch (ip[0] >> 4) {
    case 4: {
        if (head < kIpv4HeaderMin || ip[9] != kIpProtoTcp)
            return false;
        const u32 tcp_off = (u32)(ip[0] & 0x0F) * 4;
        if (tcp_off + kTcpHeaderMin > head)
            return false;
        const u8* tcp = ip + tcp_off;
        return tcp_flags_allow_ack(tcp) && be16_at(ip + 2) == tcp_off + tcp_header_length(tcp);
    }
    case 6: {
        if (head < kIpv6Header)
            return false;
        u8 next = ip[6];
        u16 frag_off = 0;
        int tcp_off = skb_skip_ipv6_exthdr(skb, (int)kIpv6Header, &next, &frag_off);
        if (tcp_off < 0 || next != kIpProtoTcp || (u32)tcp_off + kTcpHeaderMin > head)
            return false;
        const u8* tcp = ip + tcp_off;
        return tcp_flags_allow_ack(tcp) &&
               (s64)be16_at(ip + 4) + (s64)kIpv6Header - tcp_off == (s64)tcp_header_length(tcp);
    }
    default:
        return false;
    }
}

int ccmni_start_xmit(struct sk_buff* first, struct net_device* dev, struct ccmni_tx_request* request)
{
    struct ccmni_instance* inst = instance_of(dev);
    if (inst == NULL || inst->ctl == NULL || request == NULL) {
        ccci_err(DATA_TAG, "xmit: no %s", request == NULL ? "request" : "control record");
        if (first != NULL)
            IpcNetCompleteTxChain(first);
        return -2;
    }
    const bool ack_priority = (inst->ctl->capabilities & CCMNI_CAP_ACK_PRIORITY) != 0;
    struct tx_run run = {};
    request->returned = NULL;
    for (struct sk_buff* p = first; p != NULL;) {
        struct sk_buff* next = p->chain_next;
        ccmni_trace_skb(p, __func__, __LINE__);
        if (p->len > dev->mtu || p->data - p->head < CCMNI_TX_HEADROOM) {
            ccci_err(DATA_TAG, "%s: packet of %u bytes with %td bytes of headroom dropped with the rest", dev->name,
                     p->len, p->data - p->head);
            if (run.first == NULL) {
                drop_tail(p, dev, request);
                return -2;
            }
            drop_tail(p, dev, request);
            send_run(inst, &run, request);
            return 0;
        }
        const bool ack = ack_priority && ccmni_is_pure_ack(p);
        p->tx_flags = (u8)((p->tx_flags & ~CCMNI_TX_FLAG_ACK) | (ack ? CCMNI_TX_FLAG_ACK : 0));
        p->tx_queue = ack ? CCMNI_TXQ_ACK : CCMNI_TXQ_NORMAL;
        if (run.first != NULL && p->tx_queue != run.queue)
            send_run(inst, &run, request);
        if (run.first == NULL)
            start_run(&run, p, request);
        run.last = p;
        request->packets++;
        request->fragments += p->nr_frags;
        run.bytes += p->len;
        p = next;
    }
    if (run.first != NULL)
        send_run(inst, &run, request);
    return 0;
}

extern "C" int ccmni_rx_callback(struct ccmni_ctl_block* ctl, u32 channel, struct sk_buff* first, int, u32 count)
{
    if (ctl == NULL) {
        ccci_err(DATA_TAG, "rx: no control record");
        free_chain(first);
        return -1;
    }
    struct ccmni_instance* inst = channel < CCMNI_MAX_INSTANCES ? ctl->instances[channel] : NULL;
    if (inst == NULL) {
        ccci_err(DATA_TAG, "rx: no instance for channel %u", channel);
        free_chain(first);
        return 0;
    }
    struct net_device* dev = inst->dev;
    if (ReadAcquire(&inst->open_count) <= 0 || dev->link_record == NULL) {
        ccci_info(DATA_TAG, "rx: %s not open, %u packets dropped", dev->name, count);
        free_chain(first);
        return -1;
    }
    const u32 link_index = (u32)(s32)(s8)dev->link_record->LinkIndex;
    for (struct sk_buff* p = first; p != NULL; p = p->chain_next) {
        const u8 version = skb_headlen(p) > 0 ? (u8)(p->data[0] >> 4) : 0;
        if (version == 4)
            p->protocol = to_network_order(kEthPIp);
        else if (version == 6)
            p->protocol = to_network_order(kEthPIpv6);
        else
            ccci_info(DATA_TAG, "rx: %s: IP version %u, protocol kept", dev->name, version);
        ccmni_trace_skb(p, __func__, __LINE__);
        p->link_index = link_index;
        dev->stats.rx_packets++;
        dev->stats.rx_bytes += p->len;
    }
    WwanRx_IndicatePackets(first, count);
    return 0;
}

int ccmni_modem_state_changed(u32 md_state, struct ccmni_ctl_block* ctl)
{
    if (ctl == NULL) {
        ccci_err(DATA_TAG, "modem state %u: no control record", md_state);
        return -1;
    }
    ctl->last_md_state = md_state;
    switch (md_state) {
    case MD_STATE_BOOT_HS:
    case MD_STATE_EXCEPTION:
    case MD_STATE_STOPPING:
    case MD_STATE_STOPPED: {
        int r = dpmaif_hif_md_state((u8)ctl->md_id, ctl->dpmaif, md_state);
        if (r != 0)
            ccci_err(DATA_TAG, "modem state %u: DPMAIF answered %d", md_state, r);
        return r;
    }
    default:
        return 0;
    }
}

int ccmni_capabilities(struct ccmni_ctl_block* ctl)
{
    if (ctl == NULL) {
        ccci_err(DATA_TAG, "capabilities: no ccmni record");
        return -22;
    }
    return (int)ctl->capabilities;
}

void ccmni_queue_state_hook(struct ccmni_ctl_block*) {}

void ccmni_trace_skb(const struct sk_buff* skb, const char* caller, int line)
{
    ccci_dbg(DATA_TAG, "%s:%d skb %p head %p data %p tail %I64u end %I64u len %u frag len %u", caller, line, skb,
             skb->head, skb->data, skb->tail, skb->end, skb->len, skb->data_len);
}
