// Memory wrappers, coherent DMA memory over the framework's common buffers, and bitmaps.
#include "kal.h"

#include <string.h>

namespace
{

PHYSICAL_ADDRESS contiguous_limit()
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = 0x7FFFFFFFFFFFFFFFLL; // below 2^63
    return highest;
}

} // namespace

void* win_alloc(size_t size, u32 flags, u32 tag)
{
    if (flags & WIN_MEM_CONTIGUOUS)
        return MmAllocateContiguousMemory(size, contiguous_limit());
    return ExAllocatePool2(POOL_FLAG_NON_PAGED, size, tag);
}

void* win_zalloc(size_t size, u32 flags, u32 tag)
{
    void* buffer = win_alloc(size, flags, tag);
    if (buffer != NULL)
        RtlZeroMemory(buffer, size);
    return buffer;
}

void win_free(void* buffer, u32 tag)
{
    if (buffer != NULL)
        ExFreePoolWithTag(buffer, tag);
}

void win_free_ex(void* buffer, u32 flags, u32 tag)
{
    if (buffer != NULL && (flags & WIN_MEM_CONTIGUOUS))
        MmFreeContiguousMemory(buffer);
    else
        win_free(buffer, tag);
}

void win_zero_io(void* destination, size_t n, u32)
{
    volatile u8* p = static_cast<volatile u8*>(destination);
    for (size_t i = 0; i < n; i++)
        p[i] = 0;
    KeMemoryBarrier();
}

// ---------------------------------------------------------------------------------------------
// Coherent DMA memory. Each common buffer carries its address and sits in a driver-wide list, so that
// dma_free_coherent finds it again by address; deleting the enabler (with the device) takes the buffer
// out of the list through its cleanup.

namespace
{

typedef struct _COHERENT_BLOCK {
    LIST_ENTRY link;
    void* vaddr;
} COHERENT_BLOCK, *PCOHERENT_BLOCK;
WDF_DECLARE_CONTEXT_TYPE(COHERENT_BLOCK);

LIST_ENTRY g_coherent_blocks = {&g_coherent_blocks, &g_coherent_blocks};
KSPIN_LOCK g_coherent_lock;

void coherent_block_cleanup(WDFOBJECT buffer)
{
    PCOHERENT_BLOCK block = WdfObjectGet_COHERENT_BLOCK(buffer);
    KIRQL irql;
    KeAcquireSpinLock(&g_coherent_lock, &irql);
    RemoveEntryList(&block->link);
    KeReleaseSpinLock(&g_coherent_lock, irql);
}

WDFCOMMONBUFFER coherent_block_find(const void* vaddr)
{
    WDFCOMMONBUFFER found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&g_coherent_lock, &irql);
    for (PLIST_ENTRY entry = g_coherent_blocks.Flink; entry != &g_coherent_blocks; entry = entry->Flink) {
        PCOHERENT_BLOCK block = CONTAINING_RECORD(entry, COHERENT_BLOCK, link);
        if (block->vaddr == vaddr) {
            found = static_cast<WDFCOMMONBUFFER>(WdfObjectContextGetObject(block));
            break;
        }
    }
    KeReleaseSpinLock(&g_coherent_lock, irql);
    return found;
}

} // namespace

void* dma_alloc_coherent(struct device_node* dev, size_t size, u64* dma_handle, u32 flags, u32 tag)
{
    if (dev->dma_enabler == NULL) {
        void* buffer = win_zalloc(size, flags, tag);
        if (buffer != NULL)
            *dma_handle = (u64)MmGetPhysicalAddress(buffer).QuadPart;
        return buffer;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, COHERENT_BLOCK);
    attributes.EvtCleanupCallback = coherent_block_cleanup;
    WDFCOMMONBUFFER common;
    NTSTATUS status = WdfCommonBufferCreate(dev->dma_enabler, size, &attributes, &common);
    if (!NT_SUCCESS(status)) {
        ccci_err(KAL_TAG, "common buffer of %Iu bytes not created: %!STATUS!", size, status);
        return NULL;
    }
    void* vaddr = WdfCommonBufferGetAlignedVirtualAddress(common);
    RtlZeroMemory(vaddr, size);
    *dma_handle = (u64)WdfCommonBufferGetAlignedLogicalAddress(common).QuadPart;
    PCOHERENT_BLOCK block = WdfObjectGet_COHERENT_BLOCK(common);
    block->vaddr = vaddr;
    KIRQL irql;
    KeAcquireSpinLock(&g_coherent_lock, &irql);
    InsertTailList(&g_coherent_blocks, &block->link);
    KeReleaseSpinLock(&g_coherent_lock, irql);
    return vaddr;
}

void dma_free_coherent(struct device_node* dev, size_t size, void* vaddr, u64, u32 flags, u32 tag)
{
    if (vaddr == NULL)
        return;
    if (dev->dma_enabler == NULL) {
        win_free_ex(vaddr, flags, tag);
        return;
    }
    WDFCOMMONBUFFER common = coherent_block_find(vaddr);
    if (common == NULL) {
        ccci_err(KAL_TAG, "no common buffer of %Iu bytes at %p", size, vaddr);
        return;
    }
    WdfObjectDelete(common);
}

// ---------------------------------------------------------------------------------------------
// Bitmaps

namespace
{

u64 bit_mask(u32 nr)
{
    return 1ULL << (nr % 64);
}

} // namespace

void set_bit(u32 nr, u64* addr)
{
    addr[nr / 64] |= bit_mask(nr);
}

void clear_bit(u32 nr, u64* addr)
{
    addr[nr / 64] &= ~bit_mask(nr);
}

int test_bit(u32 nr, const u64* addr)
{
    return (addr[nr / 64] & bit_mask(nr)) != 0;
}

int test_and_set_bit(u32 nr, u64* addr)
{
    int old = test_bit(nr, addr);
    set_bit(nr, addr);
    return old;
}

int kal_ffs(u32 x)
{
    return x == 0 ? 0 : __builtin_ctz(x) + 1;
}
