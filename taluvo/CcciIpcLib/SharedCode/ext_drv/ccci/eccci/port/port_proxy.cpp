// The port layer: the per-modem proxy with its active table and lookups, receive dispatch by channel and
// by queue with sequence checks, the numbered sends, message and control frames, the modem's port
// enumeration, and table switches.
#include "ccci_port.h"

#include <ntstrsafe.h>
#include <string.h>

#include "ccci_bm.h"
#include "ccci_fsm.h"
#include "ccci_hif.h"
#include "ccci_md.h"
#include "CurrentDevice.h"

namespace
{

struct ccci_port_proxy* g_proxies[CCCI_PORT_MAX_MD];

// Runs `body` for each port of the proxy's active table, in table order.
template <typename Body>
void for_each_port(struct ccci_port_proxy* proxy, Body body)
{
    for (s32 i = 0; i < proxy->port_count; i++)
        body(&proxy->ports[i]);
}

struct ccci_port_proxy* proxy_or_trace(u32 md, const char* what)
{
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md);
    if (proxy == NULL)
        ccci_err(CCCI_PORT_TAG_TEXT, "%s: modem %u has no port proxy", what, md);
    return proxy;
}

// The proxy whose table mode changes to `mode`, the new mode stored; none when there is nothing to do.
struct ccci_port_proxy* switching_proxy(u32 md, u8 mode, const char* what)
{
    struct ccci_port_proxy* proxy = proxy_or_trace(md, what);
    if (proxy == NULL || proxy->table_mode == mode)
        return NULL;
    ccci_info(CCCI_PORT_TAG_TEXT, "%s: %u -> %u", what, proxy->table_mode, mode);
    proxy->table_mode = mode;
    return proxy;
}

// The lock, queue and event of a port are made once and survive table reloads: a message thread may be
// waiting on the event, and re-initialising an event with waiters corrupts its wait list.
void port_objects_create(struct ccci_port* port)
{
    if (port->objects_ready)
        return;
    skb_queue_head_init(&port->rx_queue);
    KeInitializeEvent(&port->rx_event, NotificationEvent, FALSE);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = IpcGetCurrentDevice(NULL);
    port->enable_lock = NULL;
    NTSTATUS status = WdfSpinLockCreate(&attributes, &port->enable_lock);
    if (!NT_SUCCESS(status))
        ccci_err(CCCI_PORT_TAG_TEXT, "%s: enable lock not created: %!STATUS!", port->name, status);
    port->tx_lock = NULL;
    status = WdfWaitLockCreate(&attributes, &port->tx_lock);
    if (!NT_SUCCESS(status))
        ccci_err(CCCI_PORT_TAG_TEXT, "%s: send lock not created: %!STATUS!", port->name, status);
    port->objects_ready = 1;
}

void port_objects_release(struct ccci_port* port)
{
    if (!port->objects_ready)
        return;
    for (struct sk_buff* skb = skb_dequeue(&port->rx_queue); skb != NULL; skb = skb_dequeue(&port->rx_queue))
        bm_free_skb(skb, CCCI_PORT_TAG);
    skb_queue_head_release(&port->rx_queue);
    if (port->enable_lock != NULL)
        WdfObjectDelete(port->enable_lock);
    port->enable_lock = NULL;
    if (port->tx_lock != NULL)
        WdfObjectDelete(port->tx_lock);
    port->tx_lock = NULL;
    port->objects_ready = 0;
    port->proxy = NULL;
}

void set_enabled(struct ccci_port* port, u8 enabled)
{
    if (port->enable_lock != NULL)
        WdfSpinLockAcquire(port->enable_lock);
    port->enabled = enabled;
    if (port->enable_lock != NULL)
        WdfSpinLockRelease(port->enable_lock);
}

void port_uninit(struct ccci_port* port)
{
    if (port->ops != NULL && port->ops->uninit != NULL)
        port->ops->uninit(port);
}

void uninit_ports(struct ccci_port_proxy* proxy)
{
    for_each_port(proxy, port_uninit);
}

bool load_table(struct ccci_port_proxy* proxy, u8 mode)
{
    struct ccci_port* table = NULL;
    s32 count = ccci_get_port_table(proxy->md_id, &table, mode);
    if (table == NULL || count <= 0) {
        ccci_err(CCCI_PORT_TAG_TEXT, "modem %u: no port table for mode %u", proxy->md_id, mode);
        return false;
    }
    proxy->ports = table;
    proxy->port_count = count;
    return true;
}

void init_port(struct ccci_port_proxy* proxy, struct ccci_port* port)
{
    InitializeListHead(&port->hash_link);
    InitializeListHead(&port->exp_link);
    InitializeListHead(&port->queue_link);
    port_objects_create(port);
    port->tx_seq = 0;
    port->rx_seq = -1;
    InterlockedExchange(&port->usage_cnt, 0);
    port->proxy = proxy;
    port->md_id = proxy->md_id;
    struct ccci_md* md = ccci_md_get(proxy->md_id);
    if (port->tx_ch == CCCI_SYSTEM_TX)
        proxy->sys_port = port;
    if (port->tx_ch == CCCI_CONTROL_TX) {
        proxy->ctrl_port = port;
        if (md != NULL)
            ccci_md_set_ctrl_port(md, CCCI_CORE_MD, port);
    }
    if (port->tx_ch == CCCI_SAP_CONTROL_TX && md != NULL)
        ccci_md_set_ctrl_port(md, CCCI_CORE_SAP, port);
    port->major = proxy->major;
    port->minor_base = proxy->minor_base;
    if (port->enable_lock != NULL)
        WdfSpinLockAcquire(port->enable_lock);
    port->enabled = (port->flags & PORT_F_ENABLED) != 0;
    port->node_created = 0;
    if (port->enable_lock != NULL)
        WdfSpinLockRelease(port->enable_lock);
    if (port->ops != NULL && port->ops->init != NULL)
        port->ops->init(port);
    u32 hif = ccci_port_hif(port);
    if ((port->flags & PORT_F_RAW) != 0 && hif < CCCI_PORT_HIFS && port->rxq < CCCI_PORT_QUEUES)
        proxy->queue_owner[hif][port->rxq] = port;
}

// The lookups by receive channel, queue and exception queue; built for the normal table only.
void build_lookups(struct ccci_port_proxy* proxy)
{
    for (LIST_ENTRY& bucket : proxy->rx_hash)
        InitializeListHead(&bucket);
    for (auto& lists : proxy->queue_lists)
        for (LIST_ENTRY& list : lists)
            InitializeListHead(&list);
    InitializeListHead(&proxy->exp_list);
    for_each_port(proxy, [proxy](struct ccci_port* port) {
        InsertTailList(&proxy->rx_hash[port->rx_ch & CCCI_PORT_HASH_MASK], &port->hash_link);
        if (port->txq == CCCI_NO_QUEUE || port->rxq == CCCI_NO_QUEUE)
            return;
        u32 hif = ccci_port_hif(port);
        if (hif < CCCI_PORT_HIFS && port->rxq < CCCI_PORT_QUEUES)
            InsertTailList(&proxy->queue_lists[hif][port->rxq], &port->queue_link);
        if (port->txq_exp < CCCI_PORT_QUEUES || port->rxq_exp < CCCI_PORT_QUEUES)
            InsertTailList(&proxy->exp_list, &port->exp_link);
    });
}

void init_ports(struct ccci_port_proxy* proxy)
{
    for_each_port(proxy, [proxy](struct ccci_port* port) { init_port(proxy, port); });
    if (proxy->table_mode == CCCI_TABLE_NORMAL)
        build_lookups(proxy);
}

struct ccci_port_proxy* proxy_alloc(u32 md, u8 mode)
{
    auto* proxy = static_cast<struct ccci_port_proxy*>(win_zalloc(sizeof(struct ccci_port_proxy), 0, CCCI_PORT_TAG));
    if (proxy == NULL) {
        ccci_err(CCCI_PORT_TAG_TEXT, "modem %u: no memory for the port proxy", md);
        return NULL;
    }
    proxy->md_id = md;
    proxy->table_mode = mode;
    RtlStringCbPrintfA(proxy->name, sizeof(proxy->name), "CCCI_PORT%d", (int)md);
    s32 number = 0;
    alloc_chrdev_region(&number, proxy->minor_base, CCCI_PORT_MINORS, proxy->name);
    proxy->major = (u32)number >> 16;
    if (!load_table(proxy, mode)) {
        win_free(proxy, CCCI_PORT_TAG);
        return NULL;
    }
    init_ports(proxy);
    return proxy;
}

u8 port_txq(const struct ccci_port* port)
{
    return ccci_fsm_get_md_state(port->md_id) == MD_STATE_EXCEPTION ? port->txq_exp : port->txq;
}

int drop(struct sk_buff* skb, u32 channel, const char* reason)
{
    ccci_warn(CCCI_PORT_TAG_TEXT, "frame on channel 0x%X dropped: %s", channel, reason);
    bm_free_skb(skb, CCCI_PORT_TAG);
    return CCCI_RX_DROPPED;
}

bool port_matches(struct ccci_port* port, u32 channel)
{
    if (port->ops != NULL && port->ops->recv_match != NULL)
        return port->ops->recv_match(port, channel);
    return port->rx_ch == channel;
}

int open_flag_bit(u32 rx_ch)
{
    switch (rx_ch) {
    case 14:
        return CCCI_OPEN_CH14;
    case 0x200A:
        return CCCI_OPEN_TTYC0;
    case 0x202A:
        return CCCI_OPEN_MD_LOG;
    case 0x2006:
        return CCCI_OPEN_MD_META;
    default:
        return -1;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Proxy life cycle.

struct ccci_port_proxy* ccci_port_get_proxy(u32 md)
{
    return md < CCCI_PORT_MAX_MD ? g_proxies[md] : NULL;
}

int ccci_port_proxy_create(u32 md, u8 mode)
{
    if (md >= CCCI_PORT_MAX_MD || ccci_md_get(md) == NULL) {
        ccci_err(CCCI_PORT_TAG_TEXT, "modem %u: no modem object for the port proxy", md);
        return -1;
    }
    if (g_proxies[md] != NULL) {
        ccci_err(CCCI_PORT_TAG_TEXT, "modem %u: port proxy exists already", md);
        return -1;
    }
    struct ccci_port_proxy* proxy = proxy_alloc(md, mode);
    if (proxy == NULL)
        return -1;
    g_proxies[md] = proxy;
    return 0;
}

int ccci_port_proxy_destroy(u32 md)
{
    struct ccci_port_proxy* proxy = proxy_or_trace(md, "destroy");
    if (proxy == NULL)
        return -1;
    uninit_ports(proxy);
    // Ports of the table left earlier keep their objects until now.
    for (struct ccci_port& port : ccci_port_table)
        port_objects_release(&port);
    for (struct ccci_port& port : ccci_boot_port_table)
        port_objects_release(&port);
    g_proxies[md] = NULL;
    win_free(proxy, CCCI_PORT_TAG);
    return 0;
}

void ccci_port_switch_table(u32 md, u8 mode)
{
    struct ccci_port_proxy* proxy = switching_proxy(md, mode, "switch table");
    if (proxy == NULL)
        return;
    uninit_ports(proxy);
    if (load_table(proxy, mode))
        init_ports(proxy);
}

void ccci_port_switch_table_resume(u32 md, u8 mode)
{
    struct ccci_port_proxy* proxy = switching_proxy(md, mode, "switch table on resume");
    if (proxy == NULL)
        return;
    if (mode == CCCI_TABLE_BOOT) {
        // The normal ports stay as they are for the return to mode 0.
        if (load_table(proxy, mode))
            init_ports(proxy);
    } else if (mode == CCCI_TABLE_NORMAL) {
        uninit_ports(proxy);
        load_table(proxy, mode);
    }
}

void ccci_port_reset_seq(u32 md)
{
    struct ccci_port_proxy* proxy = proxy_or_trace(md, "reset sequence numbers");
    if (proxy == NULL)
        return;
    for_each_port(proxy, [](struct ccci_port* port) {
        port->rx_seq = -1;
        port->tx_seq = 0;
    });
}

void ccci_port_md_state_notify(u32 md, u32 state)
{
    struct ccci_port_proxy* proxy = proxy_or_trace(md, "modem state");
    if (proxy == NULL)
        return;
    for_each_port(proxy, [state](struct ccci_port* port) {
        if ((state == MD_STATE_INIT || state == MD_STATE_STOPPED) && (port->flags & PORT_F_DUMP) != 0)
            port->rx_count = port->drop_count = port->tx_count = 0;
        if (port->ops != NULL && port->ops->md_state_notify != NULL)
            port->ops->md_state_notify(port, state);
    });
}

int ccci_port_proxy_test_flag(u32 md, u32 bit)
{
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md);
    if (proxy == NULL || bit >= 32)
        return 0;
    return ((u32)ReadNoFence(&proxy->open_flags) >> bit) & 1;
}

void ccci_port_set_open_flag(struct ccci_port* port)
{
    int bit = open_flag_bit(port->rx_ch);
    if (port->proxy == NULL || bit < 0)
        return;
    InterlockedOr(&port->proxy->open_flags, (LONG)(1u << bit));
}

void ccci_port_clear_open_flag(struct ccci_port* port)
{
    int bit = open_flag_bit(port->rx_ch);
    if (port->proxy == NULL) {
        ccci_warn(CCCI_PORT_TAG_TEXT, "%s: no proxy for its open flag", port->name);
        return;
    }
    if (bit >= 0)
        InterlockedAnd(&port->proxy->open_flags, (LONG) ~(1u << bit));
}

// ---------------------------------------------------------------------------------------------
// Lookups.

struct ccci_port* ccci_port_get_by_channel(u32 md, u32 channel)
{
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md);
    if (proxy == NULL || channel == 0xFFFFFFFFu)
        return NULL;
    for (s32 i = 0; i < proxy->port_count; i++)
        if (proxy->ports[i].rx_ch == channel || proxy->ports[i].tx_ch == channel)
            return &proxy->ports[i];
    return NULL;
}

struct ccci_port* ccci_port_get_by_name(u32 md, const char* name)
{
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md);
    if (proxy == NULL || name == NULL)
        return NULL;
    for (s32 i = 0; i < proxy->port_count; i++)
        if (strncmp(proxy->ports[i].name, name, strlen(proxy->ports[i].name)) == 0)
            return &proxy->ports[i];
    return NULL;
}

struct ccci_port* ccci_port_get_by_devt(u32 major, u32 minor)
{
    for (struct ccci_port_proxy* proxy : g_proxies) {
        if (proxy == NULL || proxy->major != major)
            continue;
        for (s32 i = 0; i < proxy->port_count; i++)
            if (proxy->ports[i].minor == minor)
                return &proxy->ports[i];
        return NULL;
    }
    return NULL;
}

// ---------------------------------------------------------------------------------------------
// Receive.

u16 ccci_port_check_rx_seq(u32 md, struct ccci_port* port, const struct ccci_header* header)
{
    u16 seq = header->seq & CCCI_SEQ_MASK;
    if ((header->seq & CCCI_SEQ_VALID) == 0)
        return seq;
    s16 last = port->rx_seq;
    if (last == 0 || ((seq - last) & CCCI_SEQ_MASK) == 1)
        return seq;
    ccci_warn(CCCI_PORT_TAG_TEXT, "channel 0x%X: sequence %u after %d (data0 0x%X, data1 0x%X)", header->channel,
              seq, last, header->data0, header->data1);
    ccci_md_hif_flags(md, CCCI_HIF_FLAG_DUMP_SAP, NULL, port->rxq);
    return seq;
}

int ccci_port_recv_skb(struct ccci_md* md, u8 hif_id, struct sk_buff* skb)
{
    if (skb == NULL)
        return 0;
    u32 md_id = md != NULL ? ccci_md_get_id(md) : CCCI_PORT_MAX_MD;
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md_id);
    if (proxy == NULL)
        return drop(skb, 0, "no port proxy");
    // Shorter than a header: a header-stripping port would wrap the length.
    if (skb->len < CCCI_HEADER_SIZE)
        return drop(skb, 0, "shorter than the header");
    struct ccci_header header = ccci_header_read(skb);
    u32 channel = header.channel;
    if (channel > CCCI_MAX_CHANNEL)
        return drop(skb, channel, "channel out of range");
    if (ccci_fsm_get_md_state(md_id) == MD_STATE_INIT)
        return drop(skb, channel, "modem not started");
    LIST_ENTRY* bucket = &proxy->rx_hash[channel & CCCI_PORT_HASH_MASK];
    if (bucket->Flink == NULL)
        return drop(skb, channel, "no lookups");
    for (LIST_ENTRY* link = bucket->Flink; link != bucket; link = link->Flink) {
        struct ccci_port* port = CONTAINING_RECORD(link, struct ccci_port, hash_link);
        if (ccci_port_hif(port) != hif_id || !port_matches(port, channel))
            continue;
        if (port->ops == NULL || port->ops->recv_skb == NULL)
            return drop(skb, channel, "port cannot receive");
        u16 seq = ccci_port_check_rx_seq(md_id, port, &header);
        int r = port->ops->recv_skb(port, skb);
        if (r != CCCI_RX_BUSY)
            port->rx_seq = (s16)seq;
        if (r >= 0)
            return r;
        if (r == CCCI_RX_BUSY) {
            ccci_dbg(CCCI_PORT_TAG_TEXT, "%s busy", port->name);
            port->rx_busy_count++;
            return CCCI_RX_BUSY;
        }
        return drop(skb, channel, "refused by the port");
    }
    return drop(skb, channel, "no port");
}

int ccci_port_recv_queue_skb(struct ccci_md* md, u8 hif_id, u8 qno, struct sk_buff* skb)
{
    if (skb == NULL)
        return 0;
    u32 md_id = md != NULL ? ccci_md_get_id(md) : CCCI_PORT_MAX_MD;
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md_id);
    if (proxy == NULL)
        return drop(skb, CCCI_NO_CHANNEL, "no port proxy");
    struct ccci_port* owner = hif_id < CCCI_PORT_HIFS && qno < CCCI_PORT_QUEUES ? proxy->queue_owner[hif_id][qno] : NULL;
    if (owner == NULL || owner->ops == NULL || owner->ops->recv_skb == NULL)
        return drop(skb, CCCI_NO_CHANNEL, "queue without an owner");
    int r = owner->ops->recv_skb(owner, skb);
    if (r >= 0 || r == CCCI_RX_BUSY)
        return r;
    return drop(skb, CCCI_NO_CHANNEL, "refused by the queue's owner");
}

void ccci_port_queue_state_notify(u32 md, u8 hif_id, u8 qno, int dir, u32 state)
{
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md);
    if (proxy == NULL || hif_id >= CCCI_PORT_HIFS || qno >= CCCI_PORT_QUEUES || proxy->exp_list.Flink == NULL)
        return;
    bool exception = ccci_fsm_get_md_state(md) == MD_STATE_EXCEPTION;
    LIST_ENTRY* list = exception ? &proxy->exp_list : &proxy->queue_lists[hif_id][qno];
    for (LIST_ENTRY* link = list->Flink; link != list; link = link->Flink) {
        struct ccci_port* port = exception ? CONTAINING_RECORD(link, struct ccci_port, exp_link)
                                           : CONTAINING_RECORD(link, struct ccci_port, queue_link);
        bool picked;
        if (exception)
            picked = (dir == 1 ? port->txq_exp : port->rxq_exp) == qno;
        else if (dir == 1)
            picked = port->txq == qno || (port->txq_exp & 0xF) == qno;
        else
            picked = port->rxq == qno;
        if (picked && port->ops != NULL && port->ops->queue_state_notify != NULL)
            port->ops->queue_state_notify(port, dir, qno, state);
    }
}

// ---------------------------------------------------------------------------------------------
// Send.

int ccci_port_send_skb(struct ccci_port* port, struct sk_buff* skb, int from_pool, int blocking)
{
    // A port has several senders (its writer, both control threads answering enumerations on the MD
    // control channel, the handshake): each frame must get its own number, used up only once sent.
    if (port->tx_lock != NULL)
        WdfWaitLockAcquire(port->tx_lock, NULL);
    u8 queue = port_txq(port);
    ccci_header_set_seq(skb, port->tx_seq);
    int r = ccci_hif_send_skb((u8)port->md_id, 1u << port->hif_path, queue, skb, from_pool, blocking);
    if (r == 0)
        port->tx_seq++;
    if (port->tx_lock != NULL)
        WdfWaitLockRelease(port->tx_lock);
    if (r != 0)
        ccci_err(CCCI_PORT_TAG_TEXT, "%s: send on queue %u failed: %d", port->name, queue, r);
    return r;
}

int ccci_port_write_skb(struct ccci_port* port, struct sk_buff* skb, int blocking)
{
    u32 md_state = ccci_fsm_get_md_state(port->md_id);
    if (fsm_get_state(port->md_id) != FSM_STATE_STARTING) {
        switch (md_state) {
        case MD_STATE_INIT:
        case MD_STATE_BOOT_HS:
        case MD_STATE_CORE_HS:
        case MD_STATE_STOPPING:
        case MD_STATE_STOPPED:
            ccci_warn(CCCI_PORT_TAG_TEXT, "%s: no writes in modem state %u", port->name, md_state);
            return -19;
        case MD_STATE_EXCEPTION:
            if (port->tx_ch != CCCI_MD_LOG_TX && port->tx_ch != CCCI_MD_META_TX) {
                ccci_warn(CCCI_PORT_TAG_TEXT, "%s: no writes during an exception", port->name);
                return -16;
            }
            break;
        default:
            break;
        }
    }
    u8 queue = port_txq(port);
    int r = ccci_hif_send_skb((u8)port->md_id, 1u << port->hif_path, queue, skb, port->from_pool, blocking);
    if (r == 0) {
        port->tx_count++;
        return 0;
    }
    ccci_err(CCCI_PORT_TAG_TEXT, "%s: write on channel 0x%X failed in modem state %u: %d", port->name, port->tx_ch,
             md_state, r);
    return r;
}

int ccci_port_send_msg_to_md(struct ccci_port_proxy* proxy, u32 channel, u32 id, u32 arg, int blocking)
{
    if (proxy == NULL) {
        ccci_err(CCCI_PORT_TAG_TEXT, "message 0x%X to channel 0x%X: no port proxy", id, channel);
        return CCCI_ERR_NO_PROXY;
    }
    struct ccci_port* port = ccci_port_get_by_channel(proxy->md_id, channel);
    if (port == NULL)
        return CCCI_ERR_SEND;
    struct sk_buff* skb = bm_alloc_skb(SKB_16, port->from_pool, blocking, CCCI_PORT_TAG);
    if (skb == NULL)
        return CCCI_ERR_NO_BUFFER;
    if (channel == CCCI_CONTROL_TX || channel == CCCI_SAP_CONTROL_TX) {
        ccci_header_put(skb, CCCI_MSG_MARK, CCCI_CTRL_FRAME_SIZE, channel, 0);
        auto* ctrl = reinterpret_cast<struct ccci_ctrl_header*>(skb_put(skb, sizeof(struct ccci_ctrl_header)));
        ctrl->id = id;
        ctrl->arg = arg;
        ctrl->data_len = 0;
    } else {
        ccci_header_put(skb, CCCI_MSG_MARK, id, channel, arg);
    }
    if (ccci_port_send_skb(port, skb, port->from_pool, blocking) == 0)
        return 0;
    ccci_err(CCCI_PORT_TAG_TEXT, "message 0x%X to channel 0x%X not sent", id, channel);
    bm_free_skb(skb, CCCI_PORT_TAG);
    return CCCI_ERR_SEND;
}

int ccci_send_msg_to_md(u32 md, u32 channel, u32 id, u32 arg, int blocking)
{
    return ccci_port_send_msg_to_md(ccci_port_get_proxy(md), channel, id, arg, blocking);
}

int ccci_port_send_msg(struct ccci_port* port, u32 id, u32 arg, int blocking)
{
    return ccci_port_send_msg_to_md(port->proxy, port->tx_ch, id, arg, blocking);
}

int ccci_port_write_room(struct ccci_port* port)
{
    return ccci_hif_write_room((u8)port->md_id, port->hif_path, port_txq(port));
}

// ---------------------------------------------------------------------------------------------
// Port enumeration.

int ccci_port_enum(u32 md, const void* message, u32 length)
{
    struct ccci_port_enum_head head = {};
    if (message == NULL || length < sizeof(head)) {
        ccci_err(CCCI_PORT_TAG_TEXT, "port enumeration of %u bytes", length);
        return -1;
    }
    memcpy(&head, message, sizeof(head));
    ccci_info(CCCI_PORT_TAG_TEXT, "port enumeration: head 0x%X, %u entries, tail 0x%X", head.head, head.count,
              head.tail);
    if (head.head != CCCI_ENUM_HEAD || head.tail != CCCI_ENUM_TAIL) {
        ccci_err(CCCI_PORT_TAG_TEXT, "port enumeration: bad patterns");
        return -1;
    }
    if (head.version != 0) {
        ccci_err(CCCI_PORT_TAG_TEXT, "port enumeration: version %u", head.version);
        return -2;
    }
    if (sizeof(head) + 4u * head.count > length) {
        ccci_err(CCCI_PORT_TAG_TEXT, "port enumeration: %u entries in %u bytes", head.count, length);
        return -1;
    }
    bool ready = ccci_fsm_get_md_state(md) == MD_STATE_READY;
    const u8* entries = static_cast<const u8*>(message) + sizeof(head);
    for (u32 i = 0; i < head.count; i++) {
        u32 entry;
        memcpy(&entry, entries + 4 * i, sizeof(entry));
        u32 channel = entry & CCCI_SEQ_MASK;
        bool enable = (entry & CCCI_ENUM_ENABLE) != 0;
        struct ccci_port* port = ccci_port_get_by_channel(md, channel);
        if (port == NULL) {
            ccci_warn(CCCI_PORT_TAG_TEXT, "port enumeration: no port for channel 0x%X", channel);
            continue;
        }
        if (!ready) {
            set_enabled(port, enable); // applied when the modem becomes ready
            continue;
        }
        int (*apply)(struct ccci_port*) = port->ops == NULL ? NULL
                                          : enable          ? port->ops->enable_channel
                                                            : port->ops->disable_channel;
        if (apply != NULL)
            apply(port);
    }
    return 0;
}
