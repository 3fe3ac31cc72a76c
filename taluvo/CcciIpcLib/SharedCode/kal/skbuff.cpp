// Socket buffers: allocation with the pool/contiguous split, the two reference counts, pointer
// operations, receive fragments, the IPv6 extension-header walk, recycling into a pool, and queues.
#include "kal.h"

#include "CurrentDevice.h"

namespace
{

u32 skb_data_size(u32 size)
{
    return (u32)ALIGN_UP_BY(size, SKB_DATA_ALIGN);
}

u32 skb_data_flags(u64 size)
{
    return size <= SKB_POOL_DATA_MAX ? 0 : WIN_MEM_CONTIGUOUS;
}

} // namespace

void* alloc_skb_data(u32 size, u32 tag)
{
    u32 aligned = skb_data_size(size);
    void* data = win_alloc(aligned, skb_data_flags(aligned), tag); // pool memory comes zeroed
    if (data == NULL)
        ccci_err(KAL_TAG, "skb data of %u bytes (aligned %u) not allocated", size, aligned);
    return data;
}

struct sk_buff* alloc_skb(u32 size, u32 tag)
{
    auto* skb =
        static_cast<struct sk_buff*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(struct sk_buff), tag));
    if (skb == NULL) {
        ccci_err(KAL_TAG, "skb record for %u bytes not allocated", size);
        return NULL;
    }
    u8* data = static_cast<u8*>(alloc_skb_data(size, tag));
    if (data == NULL) {
        ExFreePoolWithTag(skb, tag);
        return NULL;
    }
    u32 aligned = skb_data_size(size);
    InterlockedExchange(&skb->users, 1);
    InterlockedExchange(&skb->dataref, 1);
    skb->tail = 0;
    skb->head = skb->data = data;
    skb->end = aligned;
    skb->buf_size = aligned;
    return skb;
}

// The record goes with its last user; the data buffer with its last data reference after that. A
// holder of a second user reference keeps the data as well as the record.
void kfree_skb(struct sk_buff* skb, u32 tag)
{
    if (skb == NULL)
        return;
    if (skb->owner_marker == SKB_ADAPTER_PACKET_MARKER) {
        skb->chain_next = NULL;
        WwanTx_IndicateCompletions(skb);
        return;
    }
    if (InterlockedDecrement(&skb->users) != 0)
        return;
    if (InterlockedDecrement(&skb->dataref) == 0 && skb->head != NULL) {
        win_free_ex(skb->head, skb_data_flags(skb->end), tag);
        skb->head = NULL;
    }
    ExFreePoolWithTag(skb, tag);
}

void kfree_skb_contiguous(struct sk_buff* skb, u32 tag)
{
    if (skb->head != NULL)
        MmFreeContiguousMemory(skb->head);
    ExFreePoolWithTag(skb, tag);
}

void skb_reinit(struct sk_buff* skb, u32 size)
{
    skb->data = skb->head;
    skb->end = size;
    skb->tail = 0;
    skb->next = skb->prev = skb->chain_next = NULL;
}

u8* skb_put(struct sk_buff* skb, u32 n)
{
    u8* old_tail = skb->head + skb->tail;
    skb->tail += n;
    skb->len += n;
    return old_tail;
}

u8* skb_push(struct sk_buff* skb, u32 n)
{
    skb->data -= n;
    skb->len += n;
    return skb->data;
}

u8* skb_pull(struct sk_buff* skb, u32 n)
{
    skb->data += n;
    skb->len -= n;
    return skb->data;
}

void skb_reserve(struct sk_buff* skb, u32 n)
{
    skb->data += n;
    skb->tail += n;
}

u8* skb_trim(struct sk_buff* skb, u32 n)
{
    skb->len = n;
    return skb->data;
}

void skb_set_tail_pointer(struct sk_buff* skb, u32 offset)
{
    skb->tail = (u64)(skb->data - skb->head) + offset;
}

u32 skb_headlen(const struct sk_buff* skb)
{
    return skb->len - skb->data_len;
}

void skb_add_rx_frag(struct sk_buff* skb, int i, void* page, u32 offset, u32 size, u32 truesize)
{
    if (i < 0 || i >= MAX_SKB_FRAGS) {
        ccci_err(KAL_TAG, "rx frag slot %d out of range", i);
        return;
    }
    skb->frags[i].page = page;
    skb->frags[i].page_offset = offset;
    skb->frags[i].size = size;
    skb->len += size;
    skb->data_len += size;
    skb->truesize += truesize;
    skb->nr_frags = (u8)(i + 1);
}

u32 skb_frag_size(const skb_frag_t* frag)
{
    return frag->size;
}

namespace
{

enum : u8 {
    IPV6_HOPOPTS = 0,
    IPV6_ROUTING = 43,
    IPV6_FRAGMENT = 44,
    IPV6_AUTH = 51,
    IPV6_NONE = 59,
    IPV6_DSTOPTS = 60,
};

bool ipv6_ext_hdr(u8 nexthdr)
{
    return nexthdr == IPV6_HOPOPTS || nexthdr == IPV6_ROUTING || nexthdr == IPV6_FRAGMENT ||
           nexthdr == IPV6_AUTH || nexthdr == IPV6_NONE || nexthdr == IPV6_DSTOPTS;
}

} // namespace

// Walks the extension headers from `start`; returns the offset of the upper-layer header, whose type
// goes to *nexthdrp. An offset that ran past the head data stops the walk (signed, so it cannot wrap).
int skb_skip_ipv6_exthdr(const struct sk_buff* skb, int start, u8* nexthdrp, u16* frag_offp)
{
    u8 nexthdr = *nexthdrp;
    s64 offset = start;
    *frag_offp = 0;
    while (ipv6_ext_hdr(nexthdr)) {
        if (nexthdr == IPV6_NONE)
            return SKB_NO_UPPER_HEADER;
        if ((s64)skb_headlen(skb) - offset < 2) {
            ccci_err(KAL_TAG, "ipv6 ext header %u at %lld beyond head data %u", nexthdr, offset,
                     skb_headlen(skb));
            return SKB_NO_UPPER_HEADER;
        }
        const u8* hdr = skb->data + offset;
        s64 length;
        if (nexthdr == IPV6_FRAGMENT)
            length = 8;
        else if (nexthdr == IPV6_AUTH)
            length = ((s64)hdr[1] + 2) * 4;
        else
            length = ((s64)hdr[1] + 1) * 8;
        nexthdr = hdr[0];
        offset += length;
    }
    *nexthdrp = nexthdr;
    return (int)offset;
}

// Puts every pooled buffer of the chain back into its pool under the first buffer's pool lock; counts
// every buffer of the chain.
u32 skb_chain_recycle(struct sk_buff* first)
{
    struct sk_buff_head* pool = first->pool;
    u32 count = 0;
    WdfSpinLockAcquire(pool->lock);
    for (struct sk_buff* skb = first; skb != NULL;) {
        struct sk_buff* next = skb->chain_next;
        if (skb->pool != NULL) {
            skb_reinit(skb, skb->buf_size);
            InsertTailList(reinterpret_cast<PLIST_ENTRY>(skb->pool), &skb->pool_link);
            skb->pool->qlen++;
        }
        count++;
        skb = next;
    }
    WdfSpinLockRelease(pool->lock);
    return count;
}

// ---------------------------------------------------------------------------------------------
// Queues

namespace
{

struct sk_buff* queue_self(const struct sk_buff_head* list)
{
    return reinterpret_cast<struct sk_buff*>(const_cast<struct sk_buff_head*>(list));
}

bool queue_ready(const struct sk_buff_head* list, const char* what)
{
    if (list->lock != NULL)
        return true;
    ccci_err(KAL_TAG, "%s on a queue never initialised", what);
    return false;
}

} // namespace

void skb_queue_head_init(struct sk_buff_head* list)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = IpcGetCurrentDevice(NULL);
    list->lock = NULL;
    NTSTATUS status = WdfSpinLockCreate(&attributes, &list->lock);
    if (!NT_SUCCESS(status))
        ccci_err(KAL_TAG, "queue lock not created: %!STATUS!", status);
    list->qlen = 0;
    list->next = list->prev = queue_self(list);
}

void skb_queue_head_release(struct sk_buff_head* list)
{
    if (list->lock != NULL)
        WdfObjectDelete(list->lock);
    list->lock = NULL;
}

void __skb_queue_tail(struct sk_buff_head* list, struct sk_buff* skb)
{
    struct sk_buff* self = queue_self(list);
    skb->next = self;
    skb->prev = list->prev;
    list->prev->next = skb;
    list->prev = skb;
    list->qlen++;
}

struct sk_buff* __skb_dequeue(struct sk_buff_head* list)
{
    struct sk_buff* skb = list->next;
    if (skb == queue_self(list) || skb == NULL) {
        ccci_dbg(KAL_TAG, "dequeue from an empty queue, qlen %u", list->qlen);
        return NULL;
    }
    list->next = skb->next;
    skb->next->prev = queue_self(list);
    skb->next = skb->prev = NULL;
    list->qlen--;
    ccci_dbg(KAL_TAG, "dequeue, qlen %u", list->qlen);
    return skb;
}

void skb_queue_tail(struct sk_buff_head* list, struct sk_buff* skb)
{
    if (!queue_ready(list, "skb_queue_tail"))
        return;
    WdfSpinLockAcquire(list->lock);
    __skb_queue_tail(list, skb);
    WdfSpinLockRelease(list->lock);
}

struct sk_buff* skb_dequeue(struct sk_buff_head* list)
{
    if (!queue_ready(list, "skb_dequeue"))
        return NULL;
    WdfSpinLockAcquire(list->lock);
    struct sk_buff* skb = __skb_dequeue(list);
    WdfSpinLockRelease(list->lock);
    return skb;
}

struct sk_buff* skb_peek(const struct sk_buff_head* list)
{
    struct sk_buff* skb = list->next;
    return skb == queue_self(list) ? NULL : skb;
}

bool skb_queue_empty(const struct sk_buff_head* list)
{
    return list->next == queue_self(list);
}
