// Character ports: the modem's data channels as character devices of the miniport's SIO layer. Each
// port queues received frames for one reader (the boot-ROM download port for any number), writes the
// caller's data as framed chunks within the HIF's limit, and keeps its device node in step with what
// the modem's port enumeration asked for.
#include "port_kinds.h"

#include "SioPort.h"
#include "ccci_bm.h"
#include "ccci_core.h"
#include "ccci_fsm.h"
#include "ccci_hif.h"

#include <ntstrsafe.h>
#include <string.h>

#define TAG PORT_CHAR_TAG_TEXT

#define ERR_NO_DEVICE (-19)
#define ERR_BUSY (-16)
#define ERR_WOULD_BLOCK (-35)
#define ERR_INTERRUPTED (-4)
#define ERR_COPY (-14)
#define ERR_INVALID (-22)
#define ERR_TOO_LONG (-12)

namespace
{

const char g_brom_port[] = "brom_download";

#define RX_CH_AT 0x200Au // "ttyC0": its frames are dumped to the trace
#define RX_CH_MD_META 0x2006u
// The MBIM channels split a long write into several frames; the others send one frame per write.
#define TX_CH_MBIM 0x20D1u
#define TX_CH_MBIM_DSS_FIRST 0x20D3u
#define TX_CH_MBIM_DSS_LAST 0x20E1u

bool is_brom_port(const struct ccci_port* port)
{
    return strcmp(port->name, g_brom_port) == 0;
}

bool splits_long_writes(const struct ccci_port* port)
{
    return port->tx_ch == TX_CH_MBIM || (port->tx_ch >= TX_CH_MBIM_DSS_FIRST && port->tx_ch <= TX_CH_MBIM_DSS_LAST);
}

u32 port_devt(const struct ccci_port* port)
{
    return (port->major << 16) | (u32)(port->minor_base + port->minor);
}

struct ccci_port* file_port(const struct sio_file* file)
{
    return file != NULL ? static_cast<struct ccci_port*>(file->private_data) : NULL;
}

bool nonblocking(const struct sio_file* file)
{
    return (file->f_flags & SIO_F_NONBLOCK) != 0;
}

u32 rx_queue_length(struct ccci_port* port)
{
    WdfSpinLockAcquire(port->rx_queue.lock);
    u32 length = port->rx_queue.qlen;
    WdfSpinLockRelease(port->rx_queue.lock);
    return length;
}

bool node_created(struct ccci_port* port)
{
    WdfSpinLockAcquire(port->enable_lock);
    bool created = port->node_created != 0;
    WdfSpinLockRelease(port->enable_lock);
    return created;
}

void set_node_created(struct ccci_port* port, u8 created)
{
    WdfSpinLockAcquire(port->enable_lock);
    port->node_created = created;
    WdfSpinLockRelease(port->enable_lock);
}

// Sets `enabled` and tells whether the node exists.
bool set_enabled(struct ccci_port* port, u8 enabled)
{
    WdfSpinLockAcquire(port->enable_lock);
    port->enabled = enabled;
    bool created = port->node_created != 0;
    WdfSpinLockRelease(port->enable_lock);
    return created;
}

enum dump_direction { DUMP_RX, DUMP_TX };

void dump_frame(struct ccci_port* port, enum dump_direction direction, const u8* data, u32 length)
{
    u32 flags = port_flags(port);
    if ((flags & PORT_F_DUMP) == 0)
        return;
    char text[4 * PORT_DUMP_TEXT_BYTES + 1];
    port_dump_format(data, length, (flags & PORT_F_DUMP_HEX) != 0, text, sizeof(text));
    ccci_info(TAG, "%llu %s flags 0x%x ch 0x%x queued %u rx %u drop %u tx %u len %u: %s", KeQueryInterruptTime(),
              direction == DUMP_RX ? "rx" : "tx", flags, direction == DUMP_RX ? port->rx_ch : port->tx_ch,
              port->rx_queue.qlen, port->rx_count, port->drop_count, port->tx_count, length, text);
}

// How a write is cut into frames.
struct write_plan {
    bool header;      // the host puts a CCCI header before each chunk
    bool user_header; // the caller's data starts with the header space
    u32 chunk;        // data bytes of every frame but a last, shorter one
    u32 count;
    SSIZE_T result; // bytes reported when every frame went out
};

int plan_write(const struct ccci_port* port, size_t length, u32 limit, struct write_plan* plan)
{
    u32 flags = port_flags(port);
    u32 room = limit - PORT_CHAR_TX_RESERVE;
    *plan = {};
    plan->count = 1;
    if ((flags & PORT_F_RAW) != 0) {
        plan->chunk = (u32)(length < limit ? length : limit);
    } else if ((flags & PORT_F_USER_HEADER) != 0) {
        if (length > limit || length < CCCI_HEADER_SIZE) {
            ccci_err(TAG, "%s: %zu bytes with their header do not fit in %u", port->name, length, limit);
            return ERR_TOO_LONG;
        }
        plan->user_header = true;
        plan->chunk = (u32)length;
    } else {
        plan->header = true;
        if (length + PORT_CHAR_TX_RESERVE <= limit) {
            plan->chunk = (u32)length;
        } else {
            plan->chunk = room;
            if (splits_long_writes(port)) {
                plan->count = (u32)((length + room - 1) / room);
                ccci_dbg(TAG, "%s: %zu bytes in %u frames", port->name, length, plan->count);
            }
        }
    }
    plan->result = plan->count > 1 ? (SSIZE_T)length : (SSIZE_T)plan->chunk;
    return 0;
}

// Builds and sends one frame; 0, or the write's error with the buffer released.
int send_frame(struct ccci_port* port, const struct write_plan* plan, const u8* data, u32 chunk, bool blocking)
{
    u32 size = plan->header ? chunk + PORT_CHAR_TX_RESERVE : chunk;
    struct sk_buff* skb = bm_alloc_skb((int)size, true, blocking, CCCI_PORT_TAG);
    if (skb == NULL) {
        ccci_err(TAG, "%s: no %u-byte buffer", port->name, size);
        return ERR_BUSY;
    }
    if (plan->header)
        ccci_header_put(skb, 0, chunk + CCCI_HEADER_SIZE, port->tx_ch, 0);
    u8* payload = skb_put(skb, chunk);
    if (copy_from_user(payload, data, chunk) != 0) {
        ccci_err(TAG, "%s: copy of %u bytes failed", port->name, chunk);
        bm_free_skb(skb, CCCI_PORT_TAG);
        return ERR_COPY;
    }
    if (plan->user_header) {
        auto* header = reinterpret_cast<struct ccci_header*>(payload);
        if (chunk == CCCI_HEADER_SIZE)
            header->data0 = CCCI_MSG_MARK;
        else
            header->data1 = chunk;
        header->channel = (u16)port->tx_ch;
    }
    dump_frame(port, DUMP_TX, payload, chunk);
    if (plan->header || plan->user_header)
        ccci_header_set_seq(skb, port->tx_seq);
    int r = ccci_port_write_skb(port, skb, blocking);
    if (r == 0) {
        port->tx_seq++;
        return 0;
    }
    if (r == ERR_BUSY && !blocking)
        r = ERR_WOULD_BLOCK;
    ccci_err(TAG, "%s: frame of %u bytes not sent: %d", port->name, chunk, r);
    bm_free_skb(skb, CCCI_PORT_TAG);
    return r;
}

} // namespace

const struct ccci_char_fops ccci_char_fops = {
    NULL, port_char_open, port_char_release, port_char_read, port_char_write, port_char_poll, port_char_ioctl,
};

const struct ccci_port_ops port_char_ops = {
    port_char_init,
    port_char_recv_skb,
    NULL,
    port_char_md_state_notify,
    NULL,
    port_char_get_usage,
    port_char_uninit,
    port_char_enable_channel,
    port_char_disable_channel,
};

int port_char_init(struct ccci_port* port)
{
    ccci_dbg(TAG, "%s: init", port->name);
    port->rx_limit = PORT_CHAR_RX_LIMIT;
    port->from_pool = 1;
    int r = 0;
    if ((port_flags(port) & PORT_F_CHAR_NODE) != 0 && port->sio == NULL) {
        auto* sio = static_cast<struct sio_device*>(win_zalloc(sizeof(struct sio_device), 0, CCCI_PORT_TAG));
        if (sio == NULL) {
            ccci_err(TAG, "%s: no SIO record", port->name);
            return -1;
        }
        sio->fops = &ccci_char_fops;
        sio->inode = sio;
        sio->devt = port_devt(port);
        r = sio_add(sio, sio->devt, 1);
        if ((port_flags(port) & PORT_F_RAW) == 0)
            port_flags_set(port, PORT_F_STRIP_HEADER);
        port->sio = sio;
    }
    if (port->rx_ch == RX_CH_AT)
        port_flags_set(port, PORT_F_DUMP);
    return r;
}

void port_char_uninit(struct ccci_port* port)
{
    struct sio_device* sio = port->sio;
    if ((port_flags(port) & PORT_F_CHAR_NODE) != 0 && sio != NULL) {
        if (node_created(port)) {
            ccci_device_destroy(port->major, port->minor_base + (u32)port->minor, CCCI_PORT_TAG);
            set_node_created(port, 0);
        }
        sio_delete(sio);
        win_free(sio, CCCI_PORT_TAG);
        port->sio = NULL;
    }
    port_purge_rx(port);
}

int port_char_recv_skb(struct ccci_port* port, struct sk_buff* skb)
{
    if ((port_flags(port) & PORT_F_CHAR_NODE) != 0 && ReadNoFence(&port->usage_cnt) == 0) {
        ccci_dbg(TAG, "%s: closed, frame dropped", port->name);
        return CCCI_RX_DROPPED;
    }
    return port_recv_skb(port, skb);
}

void port_char_md_state_notify(struct ccci_port* port, u32 md_state)
{
    if (md_state == MD_STATE_READY)
        port_char_apply(port);
}

int port_char_get_usage(struct ccci_port* port)
{
    return ReadNoFence(&port->usage_cnt);
}

int port_char_enable_channel(struct ccci_port* port)
{
    return set_enabled(port, 1) ? 0 : port_char_apply(port);
}

int port_char_disable_channel(struct ccci_port* port)
{
    if (set_enabled(port, 0))
        port_char_apply(port);
    return 0;
}

// The node is made or removed outside enable_lock (its class list has a lock of its own); a node that
// exists already is not made again.
int port_char_apply(struct ccci_port* port)
{
    if ((port_flags(port) & PORT_F_CHAR_NODE) == 0)
        return 0;
    WdfSpinLockAcquire(port->enable_lock);
    bool enabled = port->enabled != 0;
    bool created = port->node_created != 0;
    WdfSpinLockRelease(port->enable_lock);
    u32 minor = port->minor_base + (u32)port->minor;
    if (enabled) {
        ccci_info(TAG, "%s: channel enabled%s", port->name, created ? ", node exists" : "");
        port_flags_clear(port, PORT_F_RX_DROP);
        if (created)
            return 0;
        int r = ccci_device_create(port->name, port->major, minor, CCCI_PORT_TAG);
        if (r != 0)
            return r;
        set_node_created(port, 1);
        return 0;
    }
    ccci_info(TAG, "%s: channel disabled", port->name);
    port_flags_set(port, PORT_F_RX_DROP);
    if (created) {
        ccci_device_destroy(port->major, minor, CCCI_PORT_TAG);
        set_node_created(port, 0);
    }
    return 0;
}

int port_char_open(struct sio_device** inode, struct sio_file* file)
{
    struct ccci_port* port = NULL;
    if (inode != NULL && *inode != NULL)
        port = ccci_port_get_by_devt(0, (*inode)->devt & 0xFFFFu);
    if (port == NULL || file == NULL) {
        ccci_err(TAG, "open: no port for the device");
        return -1;
    }
    if (is_brom_port(port)) {
        if (!node_created(port)) {
            ccci_err(TAG, "%s: open refused, no device node", port->name);
            return ERR_NO_DEVICE;
        }
        InterlockedIncrement(&port->usage_cnt);
    } else if (InterlockedCompareExchange(&port->usage_cnt, 1, 0) != 0) {
        return ERR_BUSY;
    }
    ccci_info(TAG, "%s: open, %d user(s)", port->name, ReadNoFence(&port->usage_cnt));
    file->private_data = port;
    ccci_port_set_open_flag(port);
    return 0;
}

int port_char_release(struct sio_device**, struct sio_file* file)
{
    struct ccci_port* port = file_port(file);
    if (port == NULL)
        return 0;
    if (InterlockedDecrement(&port->usage_cnt) < 0) {
        InterlockedIncrement(&port->usage_cnt);
        ccci_err(TAG, "%s: release without open", port->name);
        return 0;
    }
    port->drop_count += port_purge_rx(port);
    ccci_info(TAG, "%s: released", port->name);
    ccci_port_clear_open_flag(port);
    return 0;
}

// One read returns the data of at most one buffer; the rest of a longer one stays at the head. The copy
// and the pull happen under the queue lock, so concurrent readers never share a buffer's bytes.
SSIZE_T port_char_read(struct sio_file* file, u8* buffer, size_t length)
{
    struct ccci_port* port = file_port(file);
    if (port == NULL)
        return ERR_NO_DEVICE;
    bool blocking = !nonblocking(file);
    for (;;) {
        if (rx_queue_length(port) == 0) {
            if (!blocking)
                return ERR_WOULD_BLOCK;
            if (win_wait_interruptible(&port->rx_event) != 0)
                return ERR_INTERRUPTED;
        }
        WdfSpinLockAcquire(port->rx_queue.lock);
        struct sk_buff* skb = skb_peek(&port->rx_queue);
        if (skb == NULL) {
            WdfSpinLockRelease(port->rx_queue.lock);
            if (!blocking)
                return ERR_WOULD_BLOCK;
            continue;
        }
        u32 n = length < skb->len ? (u32)length : skb->len;
        bool taken = n == skb->len;
        bool failed = copy_to_user(buffer, (unsigned long)length, skb->data, n) != 0;
        skb_pull(skb, n);
        if (taken)
            __skb_dequeue(&port->rx_queue);
        WdfSpinLockRelease(port->rx_queue.lock);
        if (failed)
            ccci_err(TAG, "%s: copy of %u bytes to the reader failed", port->name, n);
        else
            dump_frame(port, DUMP_RX, buffer, n);
        if (taken)
            bm_free_skb(skb, CCCI_PORT_TAG);
        return failed ? ERR_COPY : (SSIZE_T)n;
    }
}

// Frames go out in order; once one has gone, a later failure reports the bytes already sent, so that a
// writer that resumes from the reported count never sends a frame twice.
SSIZE_T port_char_write(struct sio_file* file, const u8* buffer, size_t length)
{
    struct ccci_port* port = file_port(file);
    if (port == NULL)
        return ERR_NO_DEVICE;
    if (length == 0)
        return ERR_INVALID;
    u32 state = ccci_fsm_get_md_state(port->md_id);
    ccci_dbg(TAG, "%s: write of %zu bytes in modem state %u", port->name, length, state);
    if (state == MD_STATE_BOOT_HS || state == MD_STATE_CORE_HS) {
        ccci_err(TAG, "%s: no writes during the handshake", port->name);
        return ERR_NO_DEVICE;
    }
    bool blocking = !nonblocking(file);
    if (!blocking && ccci_port_write_room(port) < 1)
        return ERR_WOULD_BLOCK;
    int limit = ccci_hif_get_tx_max_size((u8)port->md_id, port->hif_path, port->txq);
    if (limit <= (int)PORT_CHAR_TX_RESERVE) {
        ccci_err(TAG, "%s: write limit %d leaves no room", port->name, limit);
        return ERR_TOO_LONG;
    }
    struct write_plan plan;
    int r = plan_write(port, length, (u32)limit, &plan);
    if (r != 0)
        return r;
    for (u32 i = 0; i < plan.count; i++) {
        size_t offset = (size_t)i * plan.chunk;
        u32 chunk = (u32)(length - offset < plan.chunk ? length - offset : plan.chunk);
        r = send_frame(port, &plan, buffer + offset, chunk, blocking);
        if (r != 0)
            return i == 0 ? r : (SSIZE_T)offset;
    }
    return plan.result;
}

u32 port_char_poll(struct sio_file* file, void*)
{
    struct ccci_port* port = file_port(file);
    if (port == NULL)
        return SIO_POLL_ERR;
    bool room = ccci_port_write_room(port) >= 1;
    bool empty = rx_queue_length(port) == 0;
    u32 mask = empty ? 0 : SIO_POLL_IN | SIO_POLL_RDNORM;
    if (room)
        mask |= SIO_POLL_OUT | SIO_POLL_WRNORM;
    u32 state = ccci_fsm_get_md_state(port->md_id);
    if (port->rx_ch == RX_CH_MD_META && state != MD_STATE_READY && state != MD_STATE_EXCEPTION) {
        ccci_dbg(TAG, "%s: modem state %u", port->name, state);
        mask |= SIO_POLL_ERR;
    }
    return mask;
}

int port_char_ioctl(struct sio_file* file, u32 code, ULONG_PTR argument)
{
    struct ccci_port* port = file_port(file);
    if (port == NULL)
        return ERR_NO_DEVICE;
    return ccci_fsm_ioctl(port->md_id, code, argument);
}

u32 port_dump_format(const u8* data, u32 length, bool hex, char* out, u32 size)
{
    if (out == NULL || size == 0)
        return 0;
    out[0] = '\0';
    size_t used = 0;
    if (hex) {
        u8 bytes[PORT_DUMP_HEX_BYTES] = {};
        if (length > 0)
            memcpy(bytes, data, length < sizeof(bytes) ? length : sizeof(bytes));
        u32 words[PORT_DUMP_HEX_BYTES / 4];
        memcpy(words, bytes, sizeof(words));
        RtlStringCbPrintfA(out, size, "%08X %08X %08X %08X", words[0], words[1], words[2], words[3]);
        return (u32)strlen(out);
    }
    for (u32 i = 0; i < length && i < PORT_DUMP_TEXT_BYTES && used < PORT_DUMP_TEXT_CHARS; i++) {
        char piece[5];
        u8 c = data[i];
        if (c == '\t' || c == '\n' || c == '\r')
            RtlStringCbPrintfA(piece, sizeof(piece), "\\%c", c == '\t' ? 't' : c == '\n' ? 'n' : 'r');
        else if (c >= 0x20 && c <= 0x7E)
            RtlStringCbPrintfA(piece, sizeof(piece), "%c", c);
        else
            RtlStringCbPrintfA(piece, sizeof(piece), "[%02X]", c);
        size_t n = strlen(piece);
        if (used + n >= size)
            break;
        memcpy(out + used, piece, n + 1);
        used += n;
    }
    return (u32)used;
}
