// The buffer manager: three pools of ready socket buffers (large, medium, small) that refill in the
// background, system allocation by size class, and the bounded buffer queue it is built on.
#pragma once

#include "kal.h"

#define BM_HEAD_MAGIC 0xF333F333u
#define BM_TAIL_MAGIC 0xF444F444u

#define SKB_64K 64528 // the largest size the manager serves
#define SKB_3_5K 3584
#define SKB_1_5K 1516
#define SKB_16 16

#define BM_POOL_64K_CAPACITY 50
#define BM_POOL_3_5K_CAPACITY 256
#define BM_POOL_16_CAPACITY 64

#define BM_POOL_64K_TAG 0x634F3634u  // 'cO64'
#define BM_POOL_3_5K_TAG 0x634F5234u // 'cOR4'
#define BM_POOL_16_TAG 0x634F3136u   // 'cO16'

// Non-blocking system allocation is tried this many times in all.
#define BM_ALLOC_ATTEMPTS 21
// A blocking pool allocation waits this long between tries.
#define BM_POOL_RETRY_MS 100

// The mark a pool buffer may carry in the 12 bytes that end BM_MARK_END bytes after its head (then
// where its data starts): `flags` is the sender's per-buffer directive.
#define BM_MARK_MAGIC 0xFECDBA89u
#define BM_MARK_END 64
struct bm_buffer_mark {
    u32 magic;
    u32 recycle;
    u8 flags;
    u8 reserved[3];
};
static_assert(sizeof(struct bm_buffer_mark) == 12, "the buffer mark is 12 bytes");

struct bm_queue {
    u32 head_magic;
    struct sk_buff_head list;
    u32 capacity;            // 0xFFFFFFFF: no practical limit
    WDFWORKITEM refill_work; // pools only
    u8 prefilled;            // only then does a pop trigger the refill
    u32 peak_queued;
    u32 peak_deficit;
    u32 push_count;
    u32 pop_count;
    u32 tail_magic;
};

extern struct bm_queue skb_pool_64k;
extern struct bm_queue skb_pool_3_5k;
extern struct bm_queue skb_pool_16;

int ccci_bm_init(void);
// At PASSIVE_LEVEL also deletes the refill work items and the pools' locks; above it they stay with
// the device and only the buffers are released.
void ccci_bm_exit(void);

struct sk_buff* bm_alloc_skb(int size, bool from_pool, bool blocking, u32 tag);
struct sk_buff* bm_alloc_sized(int size, u32 tag);
void bm_free_skb(struct sk_buff* skb, u32 tag);

void bm_queue_init(struct bm_queue* queue, u32 buffer_size, u32 capacity, bool fill, u32 tag);
struct sk_buff* bm_queue_pop(struct bm_queue* queue);
void bm_queue_push(struct bm_queue* queue, struct sk_buff* skb, u32 tag);
