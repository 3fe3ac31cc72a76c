// Pool accounting, allocation-failure injection and leak reports for tests and the unload checks.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace host {

struct Image;

// A tag from its four characters as they show in memory and in reports: PoolTag("Abcd").
constexpr ULONG PoolTag(const char (&text)[5])
{
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}
// The tag's four characters, unprintable ones as '.'.
std::string PoolTagText(ULONG tag);

// Failure injection. Rules are deterministic: a tag rule counts only allocations with its tag, a thread
// rule only the calling thread's. An allocation fails when any rule that sees it says so; every rule
// that sees it counts it. Tag-less contiguous memory sees only the thread rule.
inline constexpr ULONG kFailAlways = MAXULONG;
// Lets `skip` allocations with `tag` succeed, then fails `count` of them (kFailAlways: until cleared).
void PoolFailTag(ULONG tag, ULONG count, ULONG skip = 0);
void PoolFailTagClear(ULONG tag);
// The same for the calling thread's allocations, whatever their tag.
void PoolFailThread(ULONG count, ULONG skip = 0);
void PoolFailThreadClear();

// ExAllocatePool2 on behalf of `image`: the framework allocates for the driver that called it.
void* PoolAllocate(POOL_FLAGS flags, SIZE_T size, ULONG tag, Image* image);

enum class PoolKind { NonPaged, Paged, Contiguous };

struct PoolAllocation {
    const void* address;
    SIZE_T size;
    ULONG tag; // 0 for contiguous memory
    PoolKind kind;
    Image* image;
    ULONG64 sequence; // allocation order, process-wide
};

// The image's live allocations (pool and contiguous memory), oldest first. Pool allocated while the
// verifier is off is not listed one by one: PoolLeaks counts it.
std::vector<PoolAllocation> PoolLiveAllocations(const Image* image);

struct PoolLeak {
    ULONG tag;
    bool contiguous; // contiguous memory is grouped apart from the tags
    SIZE_T count;
    SIZE_T bytes;
};
// The image's live allocations grouped by tag, in tag order, contiguous memory last.
std::vector<PoolLeak> PoolLeaks(const Image* image);

// Frees everything the image still holds (after its leaks were reported); returns the number freed.
// Pool allocated while the verifier is off is left, as a real system leaves it.
SIZE_T PoolFreeAll(const Image* image);

// Frees that passed another tag than the allocation's (reported only in strict mode).
ULONG64 PoolTagMismatches();

// Pool and contiguous allocations and DMA registrations made since the process started, in both
// verifier modes: what a steady path still allocates is the difference between two readings.
ULONG64 PoolAllocationCount();

} // namespace host
