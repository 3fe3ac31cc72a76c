// Socket buffers (an skb: struct sk_buff) and their queues (struct sk_buff_head), the currency of the
// host-interface code and of the adapter's packet queues. Apart from the queue operations nothing here
// checks room or lengths: callers keep within the buffer.
#pragma once

#include "kal_types.h"

#include <stddef.h>

#define MAX_SKB_FRAGS 17

// Data buffers up to this size come from pool memory, larger ones from physically contiguous memory.
#define SKB_POOL_DATA_MAX 4096
#define SKB_DATA_ALIGN 64

// owner_marker of a record that wraps a packet of the network adapter: releasing it completes the packet.
#define SKB_ADAPTER_PACKET_MARKER 0x600DF00Du

// Returned by skb_skip_ipv6_exthdr when no upper-layer header can be reached.
#define SKB_NO_UPPER_HEADER (-1)

struct sk_buff_head;

typedef struct skb_frag {
    void* page;
    u32 page_offset;
    u32 size;
} skb_frag_t;

struct sk_buff {
    struct sk_buff* next;
    struct sk_buff* prev;
    u32 owner_marker;
    u8 nr_frags;
    volatile LONG dataref;
    skb_frag_t frags[MAX_SKB_FRAGS];
    struct sk_buff* chain_next;
    // On the first skb of a transmit chain, csum_state up to cache_dma hold the transmit control block.
    u8 csum_state;
    u32 link_index;
    u32 buf_size;
    struct sk_buff_head* pool;
    LIST_ENTRY pool_link;
    struct sk_buff* cache_self;
    u32 cache_room;
    u64 cache_dma;
    u8 tx_flags;
    u8 tx_queue;
    u32 len;
    u32 data_len;
    u32 priority;
    u16 protocol;
    u64 tail;
    u64 end;
    u8* head;
    u8* data;
    u64 truesize;
    volatile LONG users;
};

#define SKB_TX_CB_SIZE 64
static_assert(offsetof(struct sk_buff, cache_dma) + sizeof(u64) - offsetof(struct sk_buff, csum_state) ==
                  SKB_TX_CB_SIZE,
              "the transmit control block spans csum_state to cache_dma");

// A circular list: empty when next and prev point at the queue itself. As the free list of a recycling
// pool its members are linked through their pool_link instead.
struct sk_buff_head {
    struct sk_buff* next;
    struct sk_buff* prev;
    u32 qlen;
    WDFSPINLOCK lock;
};

struct sk_buff* alloc_skb(u32 size, u32 tag);
void kfree_skb(struct sk_buff* skb, u32 tag);
void kfree_skb_contiguous(struct sk_buff* skb, u32 tag);
void* alloc_skb_data(u32 size, u32 tag);
void skb_reinit(struct sk_buff* skb, u32 size);

u8* skb_put(struct sk_buff* skb, u32 n);
u8* skb_push(struct sk_buff* skb, u32 n);
u8* skb_pull(struct sk_buff* skb, u32 n);
void skb_reserve(struct sk_buff* skb, u32 n);
u8* skb_trim(struct sk_buff* skb, u32 n);
void skb_set_tail_pointer(struct sk_buff* skb, u32 offset);
u32 skb_headlen(const struct sk_buff* skb);
void skb_add_rx_frag(struct sk_buff* skb, int i, void* page, u32 offset, u32 size, u32 truesize);
u32 skb_frag_size(const skb_frag_t* frag);
int skb_skip_ipv6_exthdr(const struct sk_buff* skb, int start, u8* nexthdrp, u16* frag_offp);
u32 skb_chain_recycle(struct sk_buff* first);

// The queue's lock is a child of the current modem device when one exists, so it goes with the device;
// skb_queue_head_release lets it go earlier, before the queue is initialised again. A queue whose lock
// was never made takes nothing (the buffer stays the caller's) and gives nothing; both are traced.
void skb_queue_head_init(struct sk_buff_head* list);
void skb_queue_head_release(struct sk_buff_head* list);
void skb_queue_tail(struct sk_buff_head* list, struct sk_buff* skb);
struct sk_buff* skb_dequeue(struct sk_buff_head* list);
void __skb_queue_tail(struct sk_buff_head* list, struct sk_buff* skb);
struct sk_buff* __skb_dequeue(struct sk_buff_head* list);
struct sk_buff* skb_peek(const struct sk_buff_head* list);
bool skb_queue_empty(const struct sk_buff_head* list);

// Released through the adapter's transmit-completion path: a record with SKB_ADAPTER_PACKET_MARKER.
extern "C" void WwanTx_IndicateCompletions(struct sk_buff* chain);
