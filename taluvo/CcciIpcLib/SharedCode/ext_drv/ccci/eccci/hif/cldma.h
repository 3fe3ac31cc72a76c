// The CLDMA engine's data side for one instance: descriptors (GPDs) shared with the engine, the host
// records beside them, rings per queue built from the queue configuration, and receive collection.
// Results are 0 or negative Linux-style codes.
#pragma once

#include "cldma_reg.h"

#define CLDMA_POOL_TAG 0x63444D41u // 'cDMA'

#define CLDMA_HIF_COUNT 2
#define CLDMA_QUEUE_COUNT (2 * CLDMA_QUEUES) // TX queues 0 to 7, then RX queues 0 to 7
#define CLDMA_VARIANT_NONE 255
#define CLDMA_VARIANT_MAX 3

#define CLDMA_GPD_HWO 0x01u
#define CLDMA_GPD_IOC 0x80u
#define CLDMA_GPD_TX_FLAGS CLDMA_GPD_IOC
#define CLDMA_GPD_RX_FLAGS (CLDMA_GPD_IOC | CLDMA_GPD_HWO)
#define CLDMA_IOC_OVERRIDE 0x80u // directive / ioc_override bit 7: the IOC bit is set per buffer
#define CLDMA_GPD_HANDED 1    // host state of a TX descriptor given to the engine
#define CLDMA_GPD_COLLECTED 2 // and after its completion was collected

// Port-layer answers to a delivered receive buffer.
#define CLDMA_RX_RELEASED (-317) // the buffer was released: replace it
#define CLDMA_RX_BUSY (-318)     // the port is busy: keep the buffer and offer it again later

// Collection results.
#define CLDMA_RX_ALL_DONE 1
#define CLDMA_RX_MORE 0
#define CLDMA_RX_NO_DESCRIPTOR (-1)

#define CLDMA_RX_BUSY_RETRIES 999
#define CLDMA_RX_HWO_POLLS 100

// cldma_dump_status: the flag that asks for the dump, and the queue number for all queues.
#define CLDMA_DUMP_FLAG 0x80000u
#define CLDMA_DUMP_ALL_QUEUES 0xFFFFFFFFu
// Consecutive full-ring sends, with the engine stopped and no completion, after which the status is dumped.
#define CLDMA_BUSY_STREAK_DUMP 1000

struct ccci_md;

// The descriptor, 24 bytes little-endian, each in its own coherent allocation.
struct cldma_gpd {
    u8 flags;       // HWO, IOC
    u8 host_state;  // TX: CLDMA_GPD_HANDED / CLDMA_GPD_COLLECTED
    u16 allow_len;  // RX: receive buffer size
    u32 next_hi;
    u32 next_lo;
    u32 data_hi;
    u32 data_lo;
    u16 data_len;   // TX: bytes to send; RX: bytes received (engine)
    u16 reserved;
};
static_assert(sizeof(struct cldma_gpd) == 24, "the engine's descriptor is 24 bytes");

struct cldma_request {
    struct cldma_gpd* gpd;
    u64 gpd_addr;
    struct sk_buff* skb;
    u64 data_addr;
    LIST_ENTRY link;
    LIST_ENTRY bd_list;
    u8 ioc_override; // bit 7: IOC changed for this buffer; bit 0: the IOC value to put back
};

struct cldma_queue;
typedef int (*cldma_tx_fill_fn)(struct cldma_queue* queue, struct cldma_request* request, struct sk_buff* skb,
                                u8 directive);
typedef int (*cldma_rx_collect_fn)(struct cldma_queue* queue, int budget, bool blocking);
typedef int (*cldma_tx_collect_fn)(struct cldma_queue* queue);

struct cldma_ring {
    LIST_ENTRY requests; // circular, in descriptor order
    s32 length;
    u32 buf_size;
    u32 type;
    cldma_tx_fill_fn tx_fill;
    cldma_rx_collect_fn rx_collect;
    cldma_tx_collect_fn tx_collect;
};

struct cldma_queue {
    u8 qno;
    struct ccci_md* md;
    struct cldma_ring* ring;
    union {
        struct cldma_request* tx_done; // TX: oldest descriptor not yet collected
        struct cldma_request* rx_next; // RX: next descriptor to collect
    };
    s32 budget; // TX: free descriptors; RX: the ring length
    struct cldma_request* rx_refill;
    struct cldma_request* tx_xmit;
    u32 rx_delivery; // 0 by channel, 1 to the queue's owner port
    KEVENT wait_event;
    WDFSPINLOCK lock;
    WDFWORKITEM rx_work;
    WDFTIMER tx_timer;
    u8 hif_id;
    u32 is_tx;
    u32 busy_count;
    volatile LONG rx_busy;
};

struct cldma_ctrl {
    struct cldma_queue queues[CLDMA_QUEUE_COUNT];
    u16 tx_active;
    u16 rx_active;
    u16 tx_started;
    volatile LONG irq_enabled;
    WDFSPINLOCK lock;
    u8 md_id;
    u8 hif_id;
    u8 variant;
    u32 rx_counters[CLDMA_QUEUE_COUNT];
    u32 tx_counters[CLDMA_QUEUE_COUNT];
    u64 irq_time;
    u64 rx_irq_time[CLDMA_QUEUES];
    u64 rx_work_time[CLDMA_QUEUES];
    s32 busy_streak;
    struct cldma_ring tx_rings[CLDMA_QUEUES];
    struct cldma_ring rx_rings[CLDMA_QUEUES];
    void* pm_entity;
    const void* ops;
    struct cldma_hw_instance* hw;
    u8 rings_ready;
    struct ccci_md* md;
    struct device_node* dev; // owner of the descriptors' coherent memory
};

// Ring sizes and delivery per queue, shared by both instances and set per variant.
struct cldma_queue_config {
    u32 tx_buf_size[CLDMA_QUEUES];
    u32 rx_buf_size[CLDMA_QUEUES];
    s32 rx_ring_len[CLDMA_QUEUES];
    s32 tx_ring_len[CLDMA_QUEUES];
    u32 rx_delivery[CLDMA_QUEUES];
    u8 tx_qmap[2][CLDMA_QUEUES];
    u8 rx_qmap[2][CLDMA_QUEUES];
};

extern struct cldma_queue_config cldma_queue_config;

// Resets the configuration to the defaults, then applies `variant`; -1 (nothing changed) above 3.
int cldma_apply_queue_variant(u8 variant);

// The controller of (md, hif), as the HIF dispatch's controller table holds it (ccci_hif_set_ctrl):
// modem 0, HIF ids 0 and 1 only.
struct cldma_ctrl* cldma_get_ctrl(u8 md_id, u8 hif_id);

// Fills the controller's identity and its queues' fixed fields and locks; the rings stay absent.
int cldma_ctrl_setup(struct cldma_ctrl* ctrl, struct ccci_md* md, u8 md_id, u8 hif_id,
                     struct cldma_hw_instance* hw, struct device_node* dev);
// Puts every queue back to no ring (ids, direction, counters kept as for a fresh controller).
void cldma_queue_reset(struct cldma_ctrl* ctrl, struct cldma_queue* queue, u8 index);
// Releases what cldma_ctrl_setup made; the rings must be freed first.
void cldma_ctrl_teardown(struct cldma_ctrl* ctrl);

int cldma_build_rings(struct cldma_ctrl* ctrl);
void cldma_free_rings(struct cldma_ctrl* ctrl);
int cldma_set_queue_variant(u8 md_id, u8 hif_id, u8 variant);
// dir 1: every TX ring back to empty; dir 0: every RX ring re-armed with buffers.
int cldma_clear_rings(u8 md_id, u8 hif_id, int dir);
// RX queue back to its first descriptor, every descriptor that has a buffer handed to the engine again;
// returns that descriptor's address, 0 when the queue has no ring.
u64 cldma_rx_rearm(struct cldma_ctrl* ctrl, struct cldma_queue* queue);

s32 cldma_tx_budget(u8 md_id, u8 hif_id, u8 qno);
s32 cldma_write_room(u8 md_id, u8 hif_id, u8 qno);

// Collects up to `budget` received descriptors of an RX queue (blocking: no budget limit) and hands the
// buffers to the port layer.
int cldma_rx_collect(struct cldma_queue* queue, int budget, bool blocking);

// Fills a TX descriptor with `skb` (queue lock held) and hands it to the engine while the queue is
// active; -16 with nothing attached otherwise (the caller steps its ring pointers back).
int cldma_tx_fill(struct cldma_queue* queue, struct cldma_request* request, struct sk_buff* skb, u8 directive);
// Releases the buffers of the TX descriptors the engine has finished, from tx_done on; wakes senders
// when any were collected. Returns the count.
int cldma_tx_collect(struct cldma_queue* queue);

// The DMA address TX queue `queue` (re)starts at: the first descriptor from tx_done on that the engine
// still owns, else tx_xmit (the same one when the queue is idle); 0 without a ring. Queue lock held.
u64 cldma_tx_restart_addr(const struct cldma_queue* queue);
// Starts TX queue `queue` (or resumes it when it ran since its last stop) unless the engine reports it
// running, reprogramming an engine that lost its configuration; nothing while the queue is inactive.
// The queue lock, then the controller lock, held; after the sleep-lock grant.
void cldma_tx_kick(struct cldma_ctrl* ctrl, struct cldma_queue* queue);
// Wakes the senders blocked on the TX queues of `queues` (bit q: TX queue q), which then re-check
// whether their queue is still active: for whoever clears bits of tx_active (stop, suspend, reset).
void cldma_tx_wake_senders(struct cldma_ctrl* ctrl, u16 queues);
// The engine reports that TX queue `queue` stopped at a descriptor it does not own: resumes it when it
// stopped just before the last filled descriptor, else treats it as a transfer error during a handshake.
void cldma_tx_empty(struct cldma_queue* queue);

// Sends `skb` on TX queue qno: 0, -22, -321 (qno above 7), -16 (inactive, or full and not blocking),
// -4 (wait interrupted).
int cldma_send_skb(u8 md_id, u8 hif_id, u8 qno, struct sk_buff* skb, int from_pool, int blocking);
// With flag 0x80000 and rings present: registers, queues and rings to the trace. 0.
int cldma_dump_status(u8 md_id, u8 hif_id, u32 flags, u32 ignored, u32 qno);
// The instance's interrupt handler (argument: the controller), registered by cldma_init.
int cldma_isr(void* ctrl);
// The queues' deferred handlers; their framework context data is the queue.
EVT_WDF_TIMER cldma_tx_done_timer;
EVT_WDF_WORKITEM cldma_rx_done_work;

// Instance control: start and stop of the instance and of single queues, reset, exception stages and
// the power hooks; the HIF slots they fill are noted in ccci_hif.h.
int cldma_start_queue(u8 md_id, u8 hif_id, u8 qno, int dir);
int cldma_stop_queue(u8 md_id, u8 hif_id, u8 qno, int dir);
int cldma_start(u8 md_id, u8 hif_id);
int cldma_stop(u8 md_id, u8 hif_id);
int cldma_stop_tx_and_rx_low(u8 md_id, u8 hif_id);
int cldma_reset(u8 md_id, u8 hif_id, int what);
int cldma_reset_and_start(u8 md_id, u8 hif_id);

// The request after `request` in its ring (the ring wraps).
struct cldma_request* cldma_ring_next(const struct cldma_ring* ring, const struct cldma_request* request);
struct cldma_request* cldma_ring_first(const struct cldma_ring* ring);

// Provided by the port layer: hand a received buffer up (>= 0 taken, CLDMA_RX_RELEASED, CLDMA_RX_BUSY).
// C names, so that a test can put a stand-in in their place at link time.
extern "C" int ccci_port_recv_skb(struct ccci_md* md, u8 hif_id, struct sk_buff* skb);
extern "C" int ccci_port_recv_queue_skb(struct ccci_md* md, u8 hif_id, u8 qno, struct sk_buff* skb);
// Provided by the port layer: a TX (dir 1) queue became full (state 3) or has room again (state 2).
#define CLDMA_DEBUG_QUEUE_STATE 0x2u // bit of the modem's debug flags that asks for these
#define CLDMA_QUEUE_STATE_ROOM 2
#define CLDMA_QUEUE_STATE_FULL 3
extern "C" void ccci_port_queue_state_notify(u32 md, u8 hif_id, u8 qno, int dir, u32 state);
