// The registry of live memory blocks shared by the pool, contiguous memory and DMA: one lock covers
// allocation, free and every checked device access, so a device never copies into a block being freed.
#pragma once

#include <ntdef.h>

#include <map>
#include <mutex>

namespace host {

struct Image;

namespace memory {

enum class Kind : UCHAR {
    Pool,       // ExAllocatePool2
    Contiguous, // MmAllocateContiguousMemory*
    Registered, // DmaRegister (common buffers)
};

struct Block {
    SIZE_T length = 0; // as requested (pool) or whole pages (contiguous)
    Kind kind = Kind::Pool;
    bool dmaVisible = false; // everything but paged pool
    ULONG tag = 0;
    Image* image = nullptr; // pool and contiguous: the allocating image
    ULONG64 sequence = 0;
    const void* owner = nullptr; // registered ranges: who registered them, for reports
};

struct Registry {
    std::mutex lock;
    std::map<uintptr_t, Block> blocks; // by start address; blocks never overlap
    ULONG64 nextSequence = 1;
};

Registry& Blocks();

// Adds a block, numbered in allocation order; false (nothing added) when it overlaps a live one.
bool Insert(const void* address, Block block);
// Removes the block that starts at `address` when it is of `kind` and returns it; otherwise reports
// FreeNotAllocated in the words of `caller` and removes nothing.
bool Release(const void* address, Kind kind, const char* caller, Block* released);

} // namespace memory
} // namespace host
