// The DPMAIF buffer address tables: the normal BAT of 3584-byte receive buffers and the fragment BAT of
// 128-byte pieces, the cache the normal ring is filled from, and the return of consumed slots to the
// engine in batches.
#include "dpmaif.h"

#include "CurrentDevice.h"

#include <initializer_list>

namespace
{

struct bat_kind {
    u32 length;
    u32 buf_size;
};
const struct bat_kind bat_kinds[] = {{DPMAIF_BAT_LENGTH, DPMAIF_BAT_BUF_SIZE}, {DPMAIF_FRAG_LENGTH, DPMAIF_FRAG_BUF_SIZE}};

bool is_frag(const struct dpmaif_hif* instance, const struct dpmaif_bat_table* table)
{
    return table == &instance->frag_bat;
}

// The lock that guards the table's consumed marks.
WDFSPINLOCK table_lock(const struct dpmaif_hif* instance, const struct dpmaif_bat_table* table)
{
    return is_frag(instance, table) ? instance->frag_lock : instance->bat_lock;
}

u8 consumed_at(const struct dpmaif_hif* instance, const struct dpmaif_bat_table* table, u32 slot)
{
    WDFSPINLOCK lock = table_lock(instance, table);
    WdfSpinLockAcquire(lock);
    u8 mark = table->consumed[slot];
    WdfSpinLockRelease(lock);
    return mark;
}

void set_consumed(const struct dpmaif_hif* instance, struct dpmaif_bat_table* table, u32 slot, u8 mark)
{
    WDFSPINLOCK lock = table_lock(instance, table);
    WdfSpinLockAcquire(lock);
    table->consumed[slot] = mark;
    WdfSpinLockRelease(lock);
}

void write_entry(struct dpmaif_bat* entry, u64 dma)
{
    entry->addr_lo = (u32)dma;
    entry->addr_hi = (u32)(dma >> 32);
}

u64 data_dma(const void* data)
{
    return (u64)MmGetPhysicalAddress(const_cast<void*>(data)).QuadPart;
}

// Checks a fill of `count` slots: 0 to go on, 0 with nothing to do (*skip), or -8.
int fill_check(const struct dpmaif_bat_table* table, u32 count, bool* skip)
{
    *skip = count == 0 || count > table->length;
    if (*skip) {
        ccci_warn(DATA_TAG, "fill of %u slots refused (ring of %u)", count, table->length);
        return 0;
    }
    if (count > dpmaif_bat_free_space(table)) {
        ccci_err(DATA_TAG, "fill of %u slots: only %u free (wr %u rel %u)", count, dpmaif_bat_free_space(table),
                 table->wr_idx, table->rel_idx);
        return -8;
    }
    return 0;
}

// Writes `count` ring entries from wr_idx: a slot whose shadow still holds a buffer lends it again, an
// empty one gets a new buffer from `lend` (false: none, which ends the fill). Returns the slots written.
template <class Lend> u32 fill_slots(struct dpmaif_bat_table* table, u32 count, Lend lend)
{
    u32 filled = 0;
    for (; filled < count; filled++) {
        u32 slot = (table->wr_idx + filled) % table->length;
        struct dpmaif_bat_shadow* shadow = &table->shadow[slot];
        if (shadow->memory == NULL && !lend(shadow))
            break;
        write_entry(&table->ring[slot], shadow->dma);
    }
    KeMemoryBarrier();
    return filled;
}

// The slots the receive path has consumed from rel_idx on, in ring order, up to the first that is not.
u32 count_consumed(const struct dpmaif_hif* instance, const struct dpmaif_bat_table* table)
{
    u32 count = 0;
    while (count < table->length && consumed_at(instance, table, (table->rel_idx + count) % table->length) == 1)
        count++;
    return count;
}

void mark_consumed(struct dpmaif_rxq* rxq, struct dpmaif_bat_table* table, u32 bid)
{
    struct dpmaif_hif* instance = rxq->instance;
    if (bid >= table->length) {
        ccci_err(DATA_TAG, "mark of slot %u outside the ring of %u", bid, table->length);
        DPMAIF_ASSERT(instance);
        return;
    }
    WDFSPINLOCK lock = table_lock(instance, table);
    WdfSpinLockAcquire(lock);
    bool twice = table->consumed[bid] != 0;
    table->consumed[bid] = 1;
    WdfSpinLockRelease(lock);
    if (twice) {
        ccci_err(DATA_TAG, "%s slot %u marked consumed twice", is_frag(instance, table) ? "fragment" : "BAT", bid);
        DPMAIF_ASSERT(instance);
    }
}

// Returns `count` consumed slots from rel_idx; the release may not pass the engine's read index.
int release_slots(struct dpmaif_rxq* rxq, struct dpmaif_bat_table* table, u32 count)
{
    struct dpmaif_hif* instance = rxq->instance;
    if (!ReadNoFence(&rxq->enabled))
        return -1;
    if (count == 0 || count >= table->length) {
        ccci_err(DATA_TAG, "release of %u slots (ring of %u)", count, table->length);
        DPMAIF_ASSERT(instance);
        return -1;
    }
    bool frag = is_frag(instance, table);
    u32 h = frag ? dpmaif_hw_get_frag_rd_idx(&instance->hw) : dpmaif_hw_get_bat_rd_idx(&instance->hw);
    table->hw_rd_idx = (u16)h;
    u32 r = table->rel_idx;
    u32 next = r + count;
    bool bad = r == table->wr_idx;
    if (r < h)
        bad = bad || next > h;
    else if (r > h && next >= table->length)
        bad = bad || next - table->length > h;
    if (bad) {
        ccci_err(DATA_TAG, "%s release of %u: rel %u wr %u hw read %u", frag ? "fragment" : "BAT", count, r,
                 table->wr_idx, h);
        DPMAIF_ASSERT(instance);
        return -1;
    }
    for (u32 i = 0; i < count; i++)
        set_consumed(instance, table, (r + i) % table->length, 0);
    table->rel_idx = (u16)(next % table->length);
    return (int)count;
}

int refill(struct dpmaif_rxq* rxq, struct dpmaif_bat_table* table, u32 flags)
{
    struct dpmaif_hif* instance = rxq->instance;
    bool frag = is_frag(instance, table);
    u32 count = count_consumed(instance, table);
    if (count < DPMAIF_BAT_REFILL_MIN)
        return 0;
    int result = release_slots(rxq, table, count);
    if (result < 0) {
        ccci_err(DATA_TAG, "%s release of %u failed: %d", frag ? "fragment" : "BAT", count, result);
        return result;
    }
    result = frag ? dpmaif_alloc_rx_frag(instance, table, rxq->index, count, flags, false)
                  : dpmaif_alloc_rx_buf(instance, table, rxq->index, count, flags, false);
    if (result < 0) {
        ccci_err(DATA_TAG, "%s refill of %u failed: %d", frag ? "fragment" : "BAT", count, result);
        return result;
    }
    return (int)count;
}

// Takes the first buffer off the cache entry's list; none when it is empty.
struct sk_buff* cache_take(struct dpmaif_rx_cache_entry* entry)
{
    PLIST_ENTRY head = reinterpret_cast<PLIST_ENTRY>(&entry->list);
    struct sk_buff* skb = NULL;
    WdfSpinLockAcquire(entry->list.lock);
    if (!IsListEmpty(head)) {
        skb = CONTAINING_RECORD(RemoveHeadList(head), struct sk_buff, pool_link);
        InitializeListHead(&skb->pool_link);
        entry->list.qlen--;
        if (entry->list.qlen == 0)
            ccci_dbg(DATA_TAG, "receive cache empty");
    } else {
        entry->failed_takes++;
    }
    WdfSpinLockRelease(entry->list.lock);
    return skb;
}

void cache_put(struct dpmaif_rx_cache_entry* entry, struct sk_buff* skb)
{
    WdfSpinLockAcquire(entry->list.lock);
    InsertTailList(reinterpret_cast<PLIST_ENTRY>(&entry->list), &skb->pool_link);
    entry->list.qlen++;
    WdfSpinLockRelease(entry->list.lock);
}

struct sk_buff* fresh_rx_buf(struct dpmaif_hif* instance, u32 size, struct dpmaif_rx_cache_entry* entry)
{
    struct sk_buff* skb = alloc_skb(size, DPMAIF_POOL_TAG);
    if (skb == NULL)
        return NULL;
    if (dpmaif_rx_buf_link(instance, skb, entry) == NULL) {
        kfree_skb(skb, DPMAIF_POOL_TAG);
        return NULL;
    }
    return skb;
}

// Releases every buffer a table's shadow lends.
void release_shadow(struct dpmaif_hif* instance, struct dpmaif_bat_table* table)
{
    for (u32 slot = 0; slot < table->shadow_count; slot++) {
        struct dpmaif_bat_shadow* shadow = &table->shadow[slot];
        if (shadow->memory == NULL)
            continue;
        if (is_frag(instance, table))
            win_free(shadow->memory, DPMAIF_POOL_TAG);
        else
            kfree_skb(shadow->skb, DPMAIF_POOL_TAG);
        RtlZeroMemory(shadow, sizeof(*shadow));
    }
}

WDFSPINLOCK make_lock(void)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = IpcGetCurrentDevice(NULL);
    WDFSPINLOCK lock = NULL;
    if (!NT_SUCCESS(WdfSpinLockCreate(&attributes, &lock)))
        return NULL;
    return lock;
}

void delete_lock(WDFSPINLOCK* lock)
{
    if (*lock != NULL)
        WdfObjectDelete(*lock);
    *lock = NULL;
}

} // namespace

u32 dpmaif_bat_free_space(const struct dpmaif_bat_table* table)
{
    u32 w = table->wr_idx;
    u32 r = table->rel_idx;
    return w < r ? r - w - 1 : table->length - 1 - w + r;
}

int dpmaif_bat_init(struct dpmaif_hif* instance, struct dpmaif_bat_table* table, int kind)
{
    RtlZeroMemory(table, sizeof(*table));
    if (kind != DPMAIF_BAT_NORMAL && kind != DPMAIF_BAT_FRAG)
        return -13;
    if (instance->dma_dev == NULL)
        return -13;
    table->length = table->shadow_count = bat_kinds[kind].length;
    table->buf_size = bat_kinds[kind].buf_size;
    table->ring = static_cast<struct dpmaif_bat*>(dma_alloc_coherent(
        instance->dma_dev, table->length * sizeof(struct dpmaif_bat), &table->ring_dma, 0, DPMAIF_POOL_TAG));
    table->shadow = static_cast<struct dpmaif_bat_shadow*>(
        win_zalloc(table->length * sizeof(struct dpmaif_bat_shadow), 0, DPMAIF_POOL_TAG));
    table->consumed = static_cast<u8*>(win_zalloc(table->length, 0, DPMAIF_POOL_TAG));
    if (table->ring == NULL || table->shadow == NULL || table->consumed == NULL) {
        ccci_err(DATA_TAG, "%s table of %u entries not allocated", kind == DPMAIF_BAT_FRAG ? "fragment" : "BAT",
                 table->length);
        dpmaif_bat_exit(instance, table);
        return -13;
    }
    InterlockedExchange(&table->users, 0);
    return 0;
}

void dpmaif_bat_exit(struct dpmaif_hif* instance, struct dpmaif_bat_table* table)
{
    if (table->shadow != NULL) {
        release_shadow(instance, table);
        win_free(table->shadow, DPMAIF_POOL_TAG);
    }
    if (table->consumed != NULL)
        win_free(table->consumed, DPMAIF_POOL_TAG);
    if (table->ring != NULL)
        dma_free_coherent(instance->dma_dev, table->length * sizeof(struct dpmaif_bat), table->ring, table->ring_dma,
                          0, DPMAIF_POOL_TAG);
    RtlZeroMemory(table, sizeof(*table));
}

struct sk_buff* dpmaif_rx_buf_link(struct dpmaif_hif*, struct sk_buff* skb, struct dpmaif_rx_cache_entry* entry)
{
    if (skb == NULL || skb->data == NULL)
        return NULL;
    skb->cache_dma = data_dma(skb->data);
    InitializeListHead(&skb->pool_link);
    skb->cache_self = skb;
    skb->cache_room = (u32)(skb->end - (u64)(skb->data - skb->head));
    skb->pool = entry != NULL ? &entry->list : NULL;
    return skb;
}

struct sk_buff* dpmaif_get_rx_buf(struct dpmaif_hif* instance, u32 size)
{
    struct dpmaif_rx_cache_entry* entry = instance->rx_cache.count > 0 ? &instance->rx_cache.entries[0] : NULL;
    if (size > DPMAIF_BAT_BUF_SIZE || entry == NULL)
        return fresh_rx_buf(instance, size, NULL);
    if (size > entry->buf_size)
        return NULL;
    struct sk_buff* skb = cache_take(entry);
    if (skb != NULL && skb->cache_self == skb)
        return skb;
    return fresh_rx_buf(instance, size, entry);
}

void dpmaif_rx_cache_fill(struct dpmaif_hif* instance)
{
    struct dpmaif_rx_cache_entry* entry = instance->rx_cache.count > 0 ? &instance->rx_cache.entries[0] : NULL;
    if (entry != NULL) {
        WdfSpinLockAcquire(entry->list.lock);
        u32 count = entry->list.qlen;
        WdfSpinLockRelease(entry->list.lock);
        if (count < entry->target / 5) {
            for (u32 attempt = entry->target - count; attempt > 0 && count <= entry->target; attempt--) {
                struct sk_buff* skb = alloc_skb(entry->buf_size, DPMAIF_POOL_TAG);
                if (skb == NULL) {
                    ccci_err(DATA_TAG, "receive cache: buffer %u not allocated", count);
                    continue;
                }
                dpmaif_rx_buf_link(instance, skb, entry);
                cache_put(entry, skb);
                count++;
            }
        }
    }
    InterlockedExchange(&instance->rx_cache.refill_running, 0);
}

void dpmaif_rx_cache_fill_work(WDFWORKITEM WorkItem)
{
    dpmaif_rx_cache_fill(static_cast<struct dpmaif_hif*>(WdfObjectGet_WWAN_OBJ_CONTEXT(WorkItem)->data));
}

int dpmaif_rx_cache_init(struct dpmaif_hif* instance)
{
    struct dpmaif_rx_cache* cache = &instance->rx_cache;
    cache->entries = static_cast<struct dpmaif_rx_cache_entry*>(
        win_zalloc(sizeof(struct dpmaif_rx_cache_entry), 0, DPMAIF_POOL_TAG));
    if (cache->entries == NULL)
        return -12;
    cache->count = 1;
    struct dpmaif_rx_cache_entry* entry = &cache->entries[0];
    skb_queue_head_init(&entry->list);
    entry->buf_size = DPMAIF_BAT_BUF_SIZE;
    entry->target = DPMAIF_RX_CACHE_BYTES / (entry->buf_size + 64);
    if (entry->list.lock == NULL || !NT_SUCCESS(workitem_init(&cache->refill_work, dpmaif_rx_cache_fill_work,
                                                              instance, 0))) {
        dpmaif_rx_cache_exit(instance);
        return -12;
    }
    InterlockedExchange(&cache->refill_running, 1);
    return 0;
}

void dpmaif_rx_cache_exit(struct dpmaif_hif* instance)
{
    struct dpmaif_rx_cache* cache = &instance->rx_cache;
    workitem_destroy(&cache->refill_work);
    for (u32 e = 0; e < cache->count; e++) {
        struct dpmaif_rx_cache_entry* entry = &cache->entries[e];
        if (entry->list.lock != NULL)
            for (struct sk_buff* skb = cache_take(entry); skb != NULL; skb = cache_take(entry))
                kfree_skb(skb, DPMAIF_POOL_TAG);
        skb_queue_head_release(&entry->list);
    }
    if (cache->entries != NULL)
        win_free(cache->entries, DPMAIF_POOL_TAG);
    cache->entries = NULL;
    cache->count = 0;
}

int dpmaif_bat_add_wr(struct dpmaif_hif* instance, u8 q, u32 count)
{
    struct dpmaif_bat_table* table = &instance->bat;
    if (q >= DPMAIF_RXQ_NUM || !ReadNoFence(&instance->rxq[q].enabled) || count >= table->length) {
        ccci_err(DATA_TAG, "BAT write index: %u slots on queue %u refused", count, q);
        return -8;
    }
    u32 w = table->wr_idx;
    u32 r = table->rel_idx;
    u32 next = w + count;
    bool fits = w < r ? next < r : next < table->length || next - table->length < r;
    if (!fits) {
        ccci_err(DATA_TAG, "BAT write index %u + %u would pass release index %u", w, count, r);
        return -8;
    }
    table->wr_idx = (u16)(next % table->length);
    return 0;
}

int dpmaif_alloc_rx_buf(struct dpmaif_hif* instance, struct dpmaif_bat_table* table, u8 q, u32 count, u32,
                        bool initial)
{
    bool skip;
    int result = fill_check(table, count, &skip);
    if (skip || result != 0)
        return result;
    u32 filled = fill_slots(table, count, [instance](struct dpmaif_bat_shadow* shadow) {
        struct sk_buff* skb = dpmaif_get_rx_buf(instance, DPMAIF_BAT_BUF_SIZE);
        if (skb == NULL)
            return false;
        shadow->skb = skb;
        shadow->dma = skb->cache_dma;
        shadow->room = skb->cache_room;
        return true;
    });
    if (filled == 0)
        return -12;
    result = dpmaif_bat_add_wr(instance, q, filled);
    if (result < 0 || initial)
        return result;
    result = dpmaif_hw_dl_add_bat_cnt(&instance->hw, q, filled);
    u32 hw_wr = dpmaif_hw_get_bat_wr_idx(&instance->hw);
    if (hw_wr != table->wr_idx && !dpmaif_exception_is_raised()) {
        ccci_err(DATA_TAG, "BAT write index: engine %u, host %u", hw_wr, table->wr_idx);
        DPMAIF_EXCEPTION(instance);
    }
    return result;
}

int dpmaif_alloc_rx_frag(struct dpmaif_hif* instance, struct dpmaif_bat_table* table, u8 q, u32 count, u32,
                         bool initial)
{
    bool skip;
    int result = fill_check(table, count, &skip);
    if (skip || result != 0)
        return result;
    u32 filled = fill_slots(table, count, [table, &result](struct dpmaif_bat_shadow* shadow) {
        void* memory = alloc_skb_data(table->buf_size, DPMAIF_POOL_TAG);
        if (memory == NULL) {
            result = -13;
            return false;
        }
        shadow->memory = memory;
        shadow->dma = data_dma(memory);
        shadow->room = 0;
        shadow->size = table->buf_size;
        return true;
    });
    if (filled == 0)
        return result;
    // The write index moves only once the engine has taken the count: after a timeout the filled slots
    // are lent again, from their shadows, by the next fill.
    if (!initial) {
        int added = dpmaif_hw_dl_add_frag_cnt(&instance->hw, q, filled);
        if (added != 0)
            return added;
    }
    table->wr_idx = (u16)((table->wr_idx + filled) % table->length);
    return result;
}

u32 dpmaif_chk_avail_pkt_bat_cnt(struct dpmaif_rxq* rxq)
{
    return count_consumed(rxq->instance, rxq->bat);
}

u32 dpmaif_chk_avail_frag_bat_cnt(struct dpmaif_rxq* rxq)
{
    return count_consumed(rxq->instance, rxq->frag_bat);
}

void dpmaif_set_pkt_bat_mask(struct dpmaif_rxq* rxq, u32 bid)
{
    mark_consumed(rxq, rxq->bat, bid);
}

void dpmaif_set_frag_bat_mask(struct dpmaif_rxq* rxq, u32 bid)
{
    mark_consumed(rxq, rxq->frag_bat, bid);
}

int dpmaif_rel_dl_bat_entry(struct dpmaif_rxq* rxq, u32 count)
{
    return release_slots(rxq, rxq->bat, count);
}

int dpmaif_rel_dl_frag_bat_entry(struct dpmaif_rxq* rxq, u32 count)
{
    return release_slots(rxq, rxq->frag_bat, count);
}

int dpmaif_pkt_bat_refill(struct dpmaif_rxq* rxq, u32 flags)
{
    return refill(rxq, rxq->bat, flags);
}

int dpmaif_frag_bat_refill(struct dpmaif_rxq* rxq, u32 flags)
{
    return refill(rxq, rxq->frag_bat, flags);
}

void dpmaif_bat_refill_work(WDFWORKITEM WorkItem)
{
    auto* instance = static_cast<struct dpmaif_hif*>(WdfObjectGet_WWAN_OBJ_CONTEXT(WorkItem)->data);
    if (dpmaif_exception_is_raised())
        return;
    struct dpmaif_rxq* rxq = &instance->rxq[0];
    dpmaif_pkt_bat_refill(rxq, 1);
    dpmaif_frag_bat_refill(rxq, 1);
    for (const struct dpmaif_bat_table* table : {&instance->bat, &instance->frag_bat})
        ccci_dbg(DATA_TAG, "%s: wr %u rel %u hw read %u", is_frag(instance, table) ? "fragment" : "BAT",
                 table->wr_idx, table->rel_idx, table->hw_rd_idx);
}

int dpmaif_bat_setup(struct dpmaif_hif* instance)
{
    instance->bat_lock = make_lock();
    instance->frag_lock = make_lock();
    if (instance->bat_lock == NULL || instance->frag_lock == NULL ||
        dpmaif_bat_init(instance, &instance->bat, DPMAIF_BAT_NORMAL) != 0 ||
        dpmaif_bat_init(instance, &instance->frag_bat, DPMAIF_BAT_FRAG) != 0 || dpmaif_rx_cache_init(instance) != 0 ||
        !NT_SUCCESS(workitem_init(&instance->bat_refill_work, dpmaif_bat_refill_work, instance, 0))) {
        ccci_err(DATA_TAG, "buffer rings not set up");
        dpmaif_bat_teardown(instance);
        return -1;
    }
    dpmaif_rx_cache_fill(instance);
    return 0;
}

int dpmaif_bat_start(struct dpmaif_hif* instance)
{
    RtlZeroMemory(instance->bat.consumed, instance->bat.length);
    if (dpmaif_alloc_rx_buf(instance, &instance->bat, 0, instance->bat.length - 1, 1, true) != 0 ||
        dpmaif_alloc_rx_frag(instance, &instance->frag_bat, 0, instance->frag_bat.length - 1, 1, true) != 0) {
        ccci_err(DATA_TAG, "buffer rings not filled");
        return 2;
    }
    return 0;
}

void dpmaif_bat_stop(struct dpmaif_hif* instance)
{
    // A refill already running would move the indexes after the reset below.
    dpmaif_flush_work(instance->bat_refill_work);
    RtlZeroMemory(instance->bat.ring, instance->bat.length * sizeof(struct dpmaif_bat));
    for (struct dpmaif_bat_table* table : {&instance->bat, &instance->frag_bat}) {
        // Marks left from before the stop would count against the first slots after the restart.
        RtlZeroMemory(table->consumed, table->length);
        table->wr_idx = table->rel_idx = table->hw_rd_idx = 0;
    }
}

void dpmaif_bat_teardown(struct dpmaif_hif* instance)
{
    dpmaif_flush_work(instance->bat_refill_work);
    workitem_destroy(&instance->bat_refill_work);
    dpmaif_rx_cache_exit(instance);
    dpmaif_bat_exit(instance, &instance->bat);
    dpmaif_bat_exit(instance, &instance->frag_bat);
    delete_lock(&instance->bat_lock);
    delete_lock(&instance->frag_lock);
}
