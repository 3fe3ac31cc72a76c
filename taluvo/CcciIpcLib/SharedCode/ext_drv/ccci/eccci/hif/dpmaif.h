// The DPMAIF data engine's host records: the instance, its receive and transmit queues, the buffer
// address tables (normal and fragment BAT) with the receive buffer cache, and the ring entries the
// engine reads and writes. Results are 0 or negative Linux-style codes.
#pragma once

#include "ccci_bm.h"
#include "dpmaif_reg.h"
#include "pcie_device.h"

#define DPMAIF_POOL_TAG 0x64504D41u // 'dPMA'
#define HIF_DPMAIF_TAG "HIF-DPMAIF"
#define DATA_TAG "DATA"

#define DPMAIF_BAT_LENGTH 8192
#define DPMAIF_FRAG_LENGTH 4814
#define DPMAIF_BAT_BUF_SIZE 3584
#define DPMAIF_FRAG_BUF_SIZE 128
#define DPMAIF_PIT_LENGTH 16384
#define DPMAIF_DRB_LENGTH 6144

#define DPMAIF_BAT_NORMAL 0
#define DPMAIF_BAT_FRAG 1

// Consumed slots go back to the engine in batches of at least this many.
#define DPMAIF_BAT_REFILL_MIN 30

// The cache of ready receive buffers: target = this many bytes over (buffer size + 64).
#define DPMAIF_RX_CACHE_BYTES 0x1C80000u

// Instance states.
#define DPMAIF_STATE_STOPPED 1
#define DPMAIF_STATE_STARTED 2

// The instance's resource-lock user id.
#define DPMAIF_LOCK_USER 2

// The doorbell that tells the modem of a host-side exception.
#define DPMAIF_EXCEPTION_DOORBELL 8

// One BAT entry, as the engine reads it: the lent buffer's DMA address.
struct dpmaif_bat {
    u32 addr_lo;
    u32 addr_hi;
};
static_assert(sizeof(struct dpmaif_bat) == 8, "a BAT entry is 8 bytes");

// What a BAT slot lends, host-only. Normal ring: the receive skb and room (end of buffer minus data);
// fragment ring: 128 bytes of fragment memory, its offset (0) and size.
struct dpmaif_bat_shadow {
    union {
        struct sk_buff* skb;
        void* memory;
    };
    u64 dma;
    u32 room; // normal: room; fragment: offset
    u32 size; // fragment only
};
static_assert(sizeof(struct dpmaif_bat_shadow) == 24, "a shadow slot is 24 bytes");

struct dpmaif_bat_table {
    struct dpmaif_bat* ring;
    u64 ring_dma;
    u32 length;
    u16 wr_idx;
    u16 hw_rd_idx;
    u16 rel_idx;
    struct dpmaif_bat_shadow* shadow;
    u32 shadow_count;
    u32 buf_size;
    u8* consumed;
    volatile LONG users;
};

// One entry of the receive buffer cache: the free buffers (linked through their pool_link, so that
// skb_chain_recycle puts them back here) with the size and count it keeps.
struct dpmaif_rx_cache_entry {
    struct sk_buff_head list;
    u32 buf_size;
    u32 target;
    u32 failed_takes;
};

struct dpmaif_rx_cache {
    struct dpmaif_rx_cache_entry* entries;
    u32 count;
    WDFWORKITEM refill_work;
    volatile LONG refill_running;
};

// One PIT entry, as the engine writes it (message or payload, word 0 bit 0).
struct dpmaif_pit {
    u32 word[4];
};
static_assert(sizeof(struct dpmaif_pit) == 16, "a PIT entry is 16 bytes");

// One DRB entry, as the engine reads it (message or payload descriptor).
struct dpmaif_drb {
    u32 word[4];
};
static_assert(sizeof(struct dpmaif_drb) == 16, "a DRB entry is 16 bytes");

struct dpmaif_drb_shadow {
    struct sk_buff* skb;
    u64 dma;
    u16 length;
    u16 flags; // bits 0-12 slot, bit 13 message, bit 14 fragment piece, bit 15 last piece
};

// The packet a receive queue is assembling from its PIT entries.
struct dpmaif_rx_assembly {
    u32 message_seen;
    struct sk_buff* skb;
    u32 channel;
    u32 csum;
    u32 drop;
    u32 error;
};

struct dpmaif_hif;
struct ccmni_ctl_block;

// The last packets a receive queue delivered, for diagnostics only.
#define DPMAIF_HISTORY 16
struct dpmaif_rx_record {
    u8 data[16]; // the packet's first bytes
    u64 tick;
    u32 channel;
    u32 zero;
};
struct dpmaif_rx_history {
    struct dpmaif_rx_record records[DPMAIF_HISTORY];
    u32 next;
};

struct dpmaif_rxq {
    u8 index;
    volatile LONG enabled;
    u16 budget;
    struct dpmaif_pit* pit;
    u64 pit_dma;
    u32 pit_length;
    u16 rd_idx;
    u16 hw_wr_idx;
    u16 rel_idx;
    struct dpmaif_bat_table* bat;
    struct dpmaif_bat_table* frag_bat;
    KEVENT push_event;
    HANDLE push_thread;
    struct bm_queue push_queue;
    WDFDPC tasklet;
    WDFWORKITEM work;
    volatile LONG running;
    u32 bid_errors;
    struct dpmaif_hif* instance;
    u32 expected_seq;
    u32 to_release;
    s32 irq_cpu;
    s32 push_cpu;
    u32 seq_failures;
    struct dpmaif_rx_assembly assembly;
};

struct dpmaif_txq {
    u8 index;
    volatile LONG enabled;
    volatile LONG drb_free;
    struct dpmaif_drb* drb;
    u64 drb_dma;
    u32 drb_length;
    u16 wr_idx;
    u16 hw_rd_idx;
    u16 rel_idx;
    u16 last_channel;
    struct dpmaif_drb_shadow* shadow;
    KEVENT event;
    WDFTIMER done_timer;
    WDFSPINLOCK drb_lock;
    volatile LONG filling;
    struct dpmaif_hif* instance;
    WDFSPINLOCK list_lock;
    LIST_ENTRY pending;
    u32 pending_count;
    u32 pending_max;
    volatile LONG send_count;
    u32 busy;
};

// The push thread's stall watch of one queue: the read index it saw last, the rounds it stayed there,
// and when (and at which wr_idx) it was first seen unchanged. Kept per queue: a value shared by the
// served queues would change on every alternation and never show a stall.
struct dpmaif_tx_watch {
    u16 hw_rd_idx;
    u16 wr_idx;
    u32 rounds;
    ULONGLONG since;
};

// What the interrupt dispatch hands the callback of a receive queue's source.
struct dpmaif_irq_rec {
    struct dpmaif_hif* instance;
    u8 source;
    u8 queue;
};

struct dpmaif_hif {
    struct mdm_pci_dev* dev;
    struct ccmni_ctl_block* ccmni;
    u32 work_mode;
    u32 state;
    struct dpmaif_txq txq[DPMAIF_TXQ_NUM];
    struct dpmaif_rxq rxq[DPMAIF_RXQ_NUM];
    u8 irq_source[DPMAIF_RXQ_NUM];
    struct dpmaif_irq_rec irq_rec[DPMAIF_RXQ_NUM];
    WDFSPINLOCK bat_lock;
    struct dpmaif_bat_table bat;
    WDFSPINLOCK frag_lock;
    struct dpmaif_bat_table frag_bat;
    WDFWORKITEM bat_refill_work;
    u8 hif_id;
    struct dpmaif_rx_history rx_history[DPMAIF_RXQ_NUM];
    // Statistics, traced only.
    u32 rx_tasklet_runs;
    u32 rx_empty_runs;
    u32 irq_errors;
    u64 rx_last_run[DPMAIF_RXQ_NUM];
    volatile LONG dl_irq_enabled;
    struct device_node* dma_dev;
    u64 window_modem_addr;
    volatile u8* window_va;
    struct dpmaif_hw_info hw;
    struct dpmaif_rx_cache rx_cache;
    u32 initialised;
    u32 lock_user;
    struct mdm_pci_pm_entity pm_entity;
    KEVENT tx_push_event;
    HANDLE tx_push_thread;
    u8 tx_round_robin;
    struct dpmaif_tx_watch tx_watch[DPMAIF_TXQ_NUM];
    u32 tx_stalled;
    u32 tx_lock_waited;
};

// The process-wide exception flag: while set the runners and refills leave the hardware alone and no
// second exception is raised.
extern volatile LONG dpmaif_exception_raised;
bool dpmaif_exception_is_raised(void);

// `state` as the interrupt callback and the push thread read it while start and stop change it.
bool dpmaif_is_started(const struct dpmaif_hif* instance);
// The rings the engine is given at start: every queue's own ring, both receive queues naming the same
// two BAT rings.
void dpmaif_ring_params_of(const struct dpmaif_hif* instance, struct dpmaif_ring_params* params);

// The instance's life cycle, driven by the ccmni layer that owns it: creation stores the instance in
// the control record (0 or negative); exit stops and destroys it and clears that pointer; the modem
// states 2, 5, 7 and 8 start, dump and stop, stop the engine, and stop it; start gives 0, -1 (refused)
// or 2 (a ring could not be filled); stop 0 or -1.
extern "C" int dpmaif_hif_init(u8 hif_id, struct ccmni_ctl_block* ccmni);
extern "C" void dpmaif_hif_exit(u8 hif_id, struct ccmni_ctl_block* ccmni);
extern "C" int dpmaif_hif_md_state(u8 hif_id, struct dpmaif_hif* instance, u32 md_state);
int dpmaif_hif_start(u8 hif_id, struct dpmaif_hif* instance);
int dpmaif_hif_stop(u8 hif_id, struct dpmaif_hif* instance);

// The power entity's steps (key 3, data: the instance): suspend quiesces both directions and the
// engine; resume re-enables the queues of a started instance (the engine comes back through the
// downlink gating). Both 0.
int dpmaif_suspend(struct mdm_pci_dev* dev, void* instance);
int dpmaif_resume(struct mdm_pci_dev* dev, void* instance);

// Flow-control notices of the data paths: kind 1 receive waits, 2 transmit resumes, 3 transmit full.
#define DPMAIF_FLOW_RX_WAIT 1
#define DPMAIF_FLOW_TX_RESUME 2
#define DPMAIF_FLOW_TX_FULL 3
#define DPMAIF_FLOW_RX 0
#define DPMAIF_FLOW_TX 1
void dpmaif_flow_ctrl_notify(struct dpmaif_hif* instance, u32 kind, u32 direction, u32 queue);

// Flushes a work item at passive level; above it the flush is skipped and traced.
void dpmaif_flush_work(WDFWORKITEM work);

// Failure reports. The exception dumps the instance once and rings the exception doorbell; the
// assertion report dumps and processing goes on.
void dpmaif_raise_exception(struct dpmaif_hif* instance, const char* file, const char* function, int line);
void dpmaif_assert_report(struct dpmaif_hif* instance, const char* file, const char* function, int line);
#define DPMAIF_EXCEPTION(instance) dpmaif_raise_exception((instance), __FILE__, __func__, __LINE__)
#define DPMAIF_ASSERT(instance) dpmaif_assert_report((instance), __FILE__, __func__, __LINE__)
// Flags bit 2: the register dump. Queue -1: the tables and queues as well. 0.
#define DPMAIF_DUMP_REGS 0x4u
int dpmaif_dump_all(struct dpmaif_hif* instance, u32 flags, int queue);

// ---------------------------------------------------------------------------------------------
// Buffer rings (normal and fragment BAT) and the receive buffer cache.

// Builds a table of `kind` (DPMAIF_BAT_NORMAL or DPMAIF_BAT_FRAG): 0, or -13 with nothing kept.
int dpmaif_bat_init(struct dpmaif_hif* instance, struct dpmaif_bat_table* table, int kind);
// Releases what dpmaif_bat_init made and every buffer the shadow still lends; the table is left zeroed.
void dpmaif_bat_exit(struct dpmaif_hif* instance, struct dpmaif_bat_table* table);
// Free slots between wr_idx and rel_idx; one slot always stays empty.
u32 dpmaif_bat_free_space(const struct dpmaif_bat_table* table);

// The receive buffer cache: one entry of DPMAIF_BAT_BUF_SIZE buffers, filled once; 0 or -12.
int dpmaif_rx_cache_init(struct dpmaif_hif* instance);
void dpmaif_rx_cache_exit(struct dpmaif_hif* instance);
EVT_WDF_WORKITEM dpmaif_rx_cache_fill_work;
void dpmaif_rx_cache_fill(struct dpmaif_hif* instance);
// A receive buffer of at least `size` bytes, from the cache when it can; none when none can be made.
struct sk_buff* dpmaif_get_rx_buf(struct dpmaif_hif* instance, u32 size);
// Fills the skb's cache fields (DMA address of its data, room) and its owning entry (may be none).
struct sk_buff* dpmaif_rx_buf_link(struct dpmaif_hif* instance, struct sk_buff* skb,
                                   struct dpmaif_rx_cache_entry* entry);

int dpmaif_alloc_rx_buf(struct dpmaif_hif* instance, struct dpmaif_bat_table* table, u8 q, u32 count, u32 flags,
                        bool initial);
int dpmaif_alloc_rx_frag(struct dpmaif_hif* instance, struct dpmaif_bat_table* table, u8 q, u32 count, u32 flags,
                         bool initial);
int dpmaif_bat_add_wr(struct dpmaif_hif* instance, u8 q, u32 count);

u32 dpmaif_chk_avail_pkt_bat_cnt(struct dpmaif_rxq* rxq);
u32 dpmaif_chk_avail_frag_bat_cnt(struct dpmaif_rxq* rxq);
void dpmaif_set_pkt_bat_mask(struct dpmaif_rxq* rxq, u32 bid);
void dpmaif_set_frag_bat_mask(struct dpmaif_rxq* rxq, u32 bid);

// Downlink interrupt gating around idle: the two downlink-queue interrupts, and the engine's
// downlink-done interrupts of both receive queues.
void dpmaif_mask_dl_irqs(struct dpmaif_hif* instance);
void dpmaif_unmask_dl_irqs(struct dpmaif_hif* instance);
void dpmaif_unmask_dl_done_irqs(struct dpmaif_hif* instance);
int dpmaif_rel_dl_bat_entry(struct dpmaif_rxq* rxq, u32 count);
int dpmaif_rel_dl_frag_bat_entry(struct dpmaif_rxq* rxq, u32 count);
int dpmaif_pkt_bat_refill(struct dpmaif_rxq* rxq, u32 flags);
int dpmaif_frag_bat_refill(struct dpmaif_rxq* rxq, u32 flags);
EVT_WDF_WORKITEM dpmaif_bat_refill_work;

// The rings' part of the instance's life cycle. Set-up: both tables with their locks, the cache and
// the refill work item (0, or -1 with everything released). Start: both rings filled with length - 1
// buffers without telling the engine (0, or 2 when a ring could not be filled). Stop: the refill work
// flushed (passive level only), the normal ring zeroed and both tables back to their first slot with no
// slot marked consumed; the shadows keep their buffers for the next start.
int dpmaif_bat_setup(struct dpmaif_hif* instance);
int dpmaif_bat_start(struct dpmaif_hif* instance);
void dpmaif_bat_stop(struct dpmaif_hif* instance);
void dpmaif_bat_teardown(struct dpmaif_hif* instance);

// ---------------------------------------------------------------------------------------------
// Receive path.

#define DPMAIF_RX_BUDGET (DPMAIF_BAT_LENGTH - 1)

// A receive queue's own pieces: its PIT, runners, push event and queue, and links to the BAT tables
// (0 or -1 with nothing kept); exit releases them (its push thread has ended by then: the instance's
// teardown ends its threads first); reset puts the queue back to its first PIT entry (passive level
// flushes its work item first).
int dpmaif_rxq_init(struct dpmaif_hif* instance, u8 q);
void dpmaif_rxq_exit(struct dpmaif_hif* instance, u8 q);
void dpmaif_rxq_reset(struct dpmaif_rxq* rxq);
// The receive push thread of a queue (argument: its dpmaif_rxq): hands what is put on push_queue, each
// buffer behind a 4-byte prefix whose byte 3 holds the channel, to the ccmni layer; ends on termination.
KSTART_ROUTINE dpmaif_rx_push_thread;

// The source callback the instance registers for sources 0 and 5 (argument: its dpmaif_irq_rec) and
// its body.
int dpmaif_irq_wrapper(void* arg);
void dpmaif_irq_cb(struct dpmaif_irq_rec* rec);
EVT_WDF_DPC dpmaif_rxq_tasklet;
EVT_WDF_WORKITEM dpmaif_rxq_work;

// 0 budget used up with entries left, 1 all done, 2 or 3 failure (3: reported).
int dpmaif_rx_run(struct dpmaif_hif* instance, u8 q, u32 budget, bool take_all);
// Entries read, or a failure of the last payload entry or release; 0 when an entry is not written yet.
int dpmaif_rx_start(struct dpmaif_rxq* rxq, u32 count, u32 flags, LONGLONG time);
int dpmaif_check_pit_seq(struct dpmaif_rxq* rxq, const struct dpmaif_pit* pit);
int bat_cur_bid_check(struct dpmaif_rxq* rxq, u32 flags, const struct dpmaif_pit* pit,
                      struct dpmaif_rx_assembly* assembly);
int dpmaif_rx_frag(struct dpmaif_rxq* rxq, u32 flags, const struct dpmaif_pit* pit, struct dpmaif_rx_assembly* assembly);
int dpmaif_rx_set_data_to_skb(struct dpmaif_rxq* rxq, const struct dpmaif_pit* pit,
                              struct dpmaif_rx_assembly* assembly);
int dpmaif_rx_skb_done(struct dpmaif_rxq* rxq, struct dpmaif_rx_assembly* assembly);
int dpmaif_pit_release(struct dpmaif_rxq* rxq, u32 flags);
int dpmaif_pit_add_rel(struct dpmaif_rxq* rxq, u32 count);

// Provided by the ccmni layer: takes a chain of `count` received packets of network instance `channel`
// (linked through chain_next).
extern "C" int ccmni_rx_callback(struct ccmni_ctl_block* ccmni, u32 channel, struct sk_buff* first, int reserved,
                                 u32 count);

// ---------------------------------------------------------------------------------------------
// Transmit path.

#define DPMAIF_TX_PENDING_MAX 3072
#define DPMAIF_TX_HEADER_SIZE 16
// tx_flags bit 1: the ccmni header has been removed from the buffer.
#define DPMAIF_TX_HEADER_REMOVED 0x2u

// The ccmni layer's transmit request, handed through with every chain.
struct ccmni_tx_request {
    u32 header_word;
    u32 zero;
    s32 dropped;
    u32 packets;
    u32 fragments;
    u32 spare;
    struct sk_buff* returned;
};
static_assert(sizeof(struct ccmni_tx_request) == 32, "the transmit request is 32 bytes");

// The control block a queued chain carries in its first skb (csum_state up to cache_dma).
struct dpmaif_tx_cb {
    LIST_ENTRY links;
    u32 queue;
    u32 needed;
    struct sk_buff* skb;
    struct ccmni_tx_request request;
};
static_assert(sizeof(struct dpmaif_tx_cb) == SKB_TX_CB_SIZE, "the control block fills the skb's space");
struct dpmaif_tx_cb* dpmaif_tx_cb_of(struct sk_buff* skb);

// A transmit queue's own pieces: ring, shadow, locks, list and done timer (0, or -1 with nothing
// kept); exit completes what it still holds as dropped and releases them.
int dpmaif_txq_init(struct dpmaif_hif* instance, u8 q);
void dpmaif_txq_exit(struct dpmaif_hif* instance, u8 q);
// The transmit side of the instance's stop: queues disabled and their fills waited for, done timers
// stopped (passive level), packets held by the ring and chains still pending completed as dropped
// (only let go while a device reset is in progress), rings zeroed, indexes back to 0.
void dpmaif_tx_stop(struct dpmaif_hif* instance);
// Its first step, also the suspend's: every queue disabled and its fill waited for.
void dpmaif_tx_disable(struct dpmaif_hif* instance);

extern "C" int dpmaif_tx_send_skb(u8 hif_id, struct dpmaif_hif* instance, u8 q, struct sk_buff* skb, int spare,
                                  struct ccmni_tx_request* request);
KSTART_ROUTINE dpmaif_tx_hw_push_thread;
// One session of the push thread with the resource lock held, until nothing is pending, the instance
// stops or termination is asked: true when the thread must end (termination or a device reset).
bool dpmaif_tx_push_serve(struct dpmaif_hif* instance);
int dpmaif_tx_fill(struct dpmaif_txq* txq);
int dpmaif_tx_fill_drb(struct dpmaif_hif* instance, struct dpmaif_tx_cb* cb, struct ccmni_tx_request* request);
void dpmaif_tx_set_drb_skb(struct dpmaif_hif* instance, u8 q, u16 slot, struct sk_buff* skb, bool message,
                           bool fragment, bool last, u64 address, u16 length);
u32 dpmaif_tx_free_drb(struct dpmaif_txq* txq);
EVT_WDF_TIMER dpmaif_tx_done;
int dpmaif_tx_release(struct dpmaif_hif* instance, u8 q, u32 budget);
u32 dpmaif_tx_update_rd(struct dpmaif_hif* instance, u8 q);
u32 dpmaif_release_tx_buffer(struct dpmaif_hif* instance, u8 q, u32 count);
