// The buffer manager. Pool allocations only pop ready buffers; the system allocations that keep the
// pools full happen in each pool's refill work item. Freed buffers are released, never recycled into a
// pool: whether a buffer may go back cannot be told from its data, and the refill keeps the pools full.
#include "ccci_bm.h"

#define TAG "CCCI_BM"

struct bm_queue skb_pool_64k;
struct bm_queue skb_pool_3_5k;
struct bm_queue skb_pool_16;

namespace
{

struct bm_pool {
    struct bm_queue* queue;
    u32 buffer_size;
    u32 capacity;
    u32 tag;
};

// Large, medium, small: the order of initialisation and release.
const bm_pool g_pools[] = {
    {&skb_pool_64k, SKB_64K, BM_POOL_64K_CAPACITY, BM_POOL_64K_TAG},
    {&skb_pool_3_5k, SKB_3_5K, BM_POOL_3_5K_CAPACITY, BM_POOL_3_5K_TAG},
    {&skb_pool_16, SKB_16, BM_POOL_16_CAPACITY, BM_POOL_16_TAG},
};

u32 queue_count(struct bm_queue* queue)
{
    WdfSpinLockAcquire(queue->list.lock);
    u32 count = queue->list.qlen;
    WdfSpinLockRelease(queue->list.lock);
    return count;
}

// Fills the pool back to its fixed capacity. It stops at the first allocation that fails: the next pop
// that leaves the pool below a third of its capacity tries again, so a worker never spins on a system
// that has no memory to give.
void bm_refill_work(WDFWORKITEM work)
{
    PWWAN_OBJ_CONTEXT context = WdfObjectGet_WWAN_OBJ_CONTEXT(work);
    const bm_pool* pool = static_cast<const bm_pool*>(context->data);
    u32 tag = (u32)context->value;
    ccci_dbg(TAG, "refill of the %u-byte pool starts with %u buffers", pool->buffer_size,
             queue_count(pool->queue));
    while (queue_count(pool->queue) < pool->capacity) {
        struct sk_buff* skb = bm_alloc_sized((int)pool->buffer_size, tag);
        if (skb == NULL) {
            ccci_err(TAG, "refill of the %u-byte pool stopped at %u buffers", pool->buffer_size,
                     queue_count(pool->queue));
            return;
        }
        skb_queue_tail(&pool->queue->list, skb);
    }
}

struct bm_queue* pool_for_size(u32 size)
{
    if (size > SKB_3_5K)
        return &skb_pool_64k;
    if (size > SKB_16)
        return &skb_pool_3_5k;
    if (size > 0)
        return &skb_pool_16;
    return NULL;
}

} // namespace

void bm_queue_init(struct bm_queue* queue, u32 buffer_size, u32 capacity, bool fill, u32 tag)
{
    queue->head_magic = BM_HEAD_MAGIC;
    queue->tail_magic = BM_TAIL_MAGIC;
    skb_queue_head_init(&queue->list);
    queue->capacity = capacity;
    queue->peak_queued = 0;
    queue->prefilled = fill ? 1 : 0;
    if (!fill)
        return;
    for (u32 i = 0; i < capacity; i++) {
        struct sk_buff* skb = bm_alloc_sized((int)buffer_size, tag);
        if (skb != NULL)
            skb_queue_tail(&queue->list, skb);
    }
}

int ccci_bm_init(void)
{
    for (const bm_pool& pool : g_pools)
        bm_queue_init(pool.queue, pool.buffer_size, pool.capacity, true, pool.tag);
    for (const bm_pool& pool : g_pools) {
        NTSTATUS status = workitem_init(&pool.queue->refill_work, bm_refill_work, const_cast<bm_pool*>(&pool),
                                        (LONG)pool.tag);
        if (!NT_SUCCESS(status))
            ccci_err(TAG, "refill work of the %u-byte pool not created: %!STATUS!", pool.buffer_size, status);
    }
    return 0;
}

void ccci_bm_exit(void)
{
    KIRQL irql = KeGetCurrentIrql();
    for (const bm_pool& pool : g_pools) {
        if (irql == PASSIVE_LEVEL)
            workitem_destroy(&pool.queue->refill_work); // waits for a refill under way
        else
            DbgPrint("workitem is not allowed in IRQL[%d]\n", irql);
    }
    for (const bm_pool& pool : g_pools) {
        struct sk_buff* skb;
        while ((skb = skb_dequeue(&pool.queue->list)) != NULL)
            kfree_skb(skb, pool.tag);
        if (irql == PASSIVE_LEVEL)
            skb_queue_head_release(&pool.queue->list);
    }
}

struct sk_buff* bm_queue_pop(struct bm_queue* queue)
{
    WdfSpinLockAcquire(queue->list.lock);
    struct sk_buff* skb = __skb_dequeue(&queue->list);
    u32 count = queue->list.qlen;
    if (queue->capacity - count > queue->peak_deficit)
        queue->peak_deficit = queue->capacity - count;
    queue->pop_count++;
    if (queue->prefilled && count < queue->capacity / 3)
        WdfWorkItemEnqueue(queue->refill_work);
    WdfSpinLockRelease(queue->list.lock);
    return skb;
}

void bm_queue_push(struct bm_queue* queue, struct sk_buff* skb, u32 tag)
{
    WdfSpinLockAcquire(queue->list.lock);
    bool taken = queue->list.qlen < queue->capacity;
    if (taken) {
        queue->push_count++;
        __skb_queue_tail(&queue->list, skb);
        if (queue->list.qlen > queue->peak_queued)
            queue->peak_queued = queue->list.qlen;
    }
    WdfSpinLockRelease(queue->list.lock);
    if (!taken) {
        ccci_err(TAG, "queue full, %p releases %p", _ReturnAddress(), skb);
        kfree_skb(skb, tag);
    }
}

struct sk_buff* bm_alloc_sized(int size, u32 tag)
{
    u32 class_size;
    if (size > SKB_3_5K)
        class_size = SKB_64K;
    else if (size > SKB_1_5K)
        class_size = SKB_3_5K;
    else if (size > SKB_16)
        class_size = SKB_1_5K;
    else if (size > 0)
        class_size = SKB_16;
    else
        class_size = 0;
    struct sk_buff* skb = class_size != 0 ? alloc_skb(class_size, tag) : NULL;
    if (skb == NULL)
        ccci_err(TAG, "%p: no buffer of %d bytes", _ReturnAddress(), size);
    return skb;
}

struct sk_buff* bm_alloc_skb(int size, bool from_pool, bool blocking, u32 tag)
{
    if ((u32)size > SKB_64K)
        return NULL;
    if (!from_pool) {
        int attempts = blocking ? 1 : BM_ALLOC_ATTEMPTS;
        struct sk_buff* skb = NULL;
        for (int i = 0; i < attempts && skb == NULL; i++)
            skb = bm_alloc_sized(size, tag);
        return skb;
    }
    struct bm_queue* pool = pool_for_size((u32)size);
    if (pool == NULL)
        return NULL;
    struct sk_buff* skb = bm_queue_pop(pool);
    for (u32 retry = 1; skb == NULL && blocking; retry++) {
        ccci_warn(TAG, "pool empty for %d bytes, retry %u", size, retry);
        msleep(BM_POOL_RETRY_MS);
        skb = bm_queue_pop(pool);
    }
    return skb;
}

void bm_free_skb(struct sk_buff* skb, u32 tag)
{
    if (skb == NULL) {
        ccci_err(TAG, "%p frees no buffer", _ReturnAddress());
        return;
    }
    kfree_skb(skb, tag);
}
