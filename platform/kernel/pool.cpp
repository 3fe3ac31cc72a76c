// Executive pool and contiguous memory: every allocation is accounted to the image that made it, can be
// failed on purpose, and is checked at free and at the image's unload.
//
// A pool block carries a header in front, as a real pool's does: the tag and size at allocation. With
// the verifier on, each block is also a live block of the memory registry (checked frees, DMA checks, the
// list of live allocations). With it off, allocation and free take no process-wide lock: the header
// points at a counter of the allocating image and tag, which the leak report reads.
#include "memory_blocks.h"

#include <host/image.h>
#include <host/pool.h>
#include <host/verifier.h>
#include <wdm.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <memory>
#include <unordered_map>

namespace host {
namespace {

// The emulated pool refuses single allocations above this, as a real pool would long before.
constexpr SIZE_T kMaxAllocation = SIZE_T(256) << 20;

constexpr POOL_FLAGS kPoolTypeFlags = POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
constexpr POOL_FLAGS kKnownFlags = POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED | POOL_FLAG_SESSION |
                                   POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_RAISE_ON_FAILURE | kPoolTypeFlags;

struct FailRule {
    ULONG skip = 0;
    ULONG count = 0; // kFailAlways: never runs out

    // Counts one allocation; true when it is to fail.
    bool Consume()
    {
        if (skip > 0) {
            skip--;
            return false;
        }
        if (count == 0)
            return false;
        if (count != kFailAlways)
            count--;
        return true;
    }
};

struct TagRules {
    std::mutex lock;
    std::unordered_map<ULONG, FailRule> rules;
    std::atomic<bool> any{false}; // lets allocations skip the lock while no tag rule is set
};

TagRules& Rules()
{
    static TagRules* rules = new TagRules;
    return *rules;
}

thread_local FailRule t_threadRule;
std::atomic<ULONG64> g_tagMismatches{0};

// Live pool of one image and tag, counted while the verifier is off.
struct TagCounter {
    Image* image;
    ULONG tag;
    std::atomic<SIZE_T> count{0};
    std::atomic<SIZE_T> bytes{0};
    std::atomic<ULONG64> allocations{0}; // ever made
};

struct TagCounters {
    std::mutex lock;
    std::map<std::pair<Image*, ULONG>, std::unique_ptr<TagCounter>> counters; // never removed
};

TagCounters& Counters()
{
    static TagCounters* counters = new TagCounters;
    return *counters;
}

// The counters this thread used last, so that the common allocation takes no lock.
constexpr size_t kCachedCounters = 8;
thread_local TagCounter* t_counters[kCachedCounters];

TagCounter* CounterOf(Image* image, ULONG tag)
{
    TagCounter*& cached = t_counters[(tag ^ (reinterpret_cast<uintptr_t>(image) >> 4)) % kCachedCounters];
    if (cached != nullptr && cached->image == image && cached->tag == tag)
        return cached;
    TagCounters& counters = Counters();
    std::lock_guard<std::mutex> guard(counters.lock);
    auto& counter = counters.counters[{image, tag}];
    if (counter == nullptr)
        counter = std::make_unique<TagCounter>(image, tag);
    cached = counter.get();
    return cached;
}

struct PoolHeader {
    TagCounter* counter; // null: the block is in the memory registry (allocated with the verifier on)
    SIZE_T size;
    ULONG tag;
    ULONG prefix; // from the start of the memory to the caller's address
};

PoolHeader* HeaderOf(void* address) { return static_cast<PoolHeader*>(address) - 1; }

bool TagRuleFails(ULONG tag)
{
    TagRules& rules = Rules();
    if (!rules.any.load(std::memory_order_acquire))
        return false;
    std::lock_guard<std::mutex> guard(rules.lock);
    auto it = rules.rules.find(tag);
    return it != rules.rules.end() && it->second.Consume();
}

void* Allocate(SIZE_T alignment, SIZE_T size, bool zero)
{
    if (size > kMaxAllocation)
        return nullptr;
    void* memory = nullptr;
    if (alignment <= alignof(std::max_align_t)) // what malloc gives, without the aligned allocator's cost
        memory = malloc(std::max<SIZE_T>(size, 1));
    else if (posix_memalign(&memory, alignment, std::max<SIZE_T>(size, 1)) != 0)
        memory = nullptr;
    if (memory == nullptr)
        return nullptr;
    if (zero)
        memset(memory, 0, size);
    return memory;
}

// Fresh memory overlaps a live block only when a DMA registration outlived the buffer it covered.
void Track(void* address, const memory::Block& block)
{
    if (!memory::Insert(address, block))
        VerifierReport(Check::InvalidParameter, "new allocation at %p overlaps a live DMA registration",
                       address);
}

void FreeBlock(void* address)
{
    free(static_cast<UCHAR*>(address) - HeaderOf(address)->prefix);
}

// Without the verifier a free trusts the header, as a real pool does; a block made while the verifier
// was on is still the registry's.
void PoolFree(PVOID address, const ULONG* tag, const char* caller)
{
    ULONG allocatedTag;
    if (VerifierEnabled() || HeaderOf(address)->counter == nullptr) {
        memory::Block released;
        if (!memory::Release(address, memory::Kind::Pool, caller, &released))
            return;
        allocatedTag = released.tag;
    } else {
        const PoolHeader* header = HeaderOf(address);
        allocatedTag = header->tag;
        header->counter->count.fetch_sub(1, std::memory_order_relaxed);
        header->counter->bytes.fetch_sub(header->size, std::memory_order_relaxed);
    }
    if (tag != nullptr && *tag != allocatedTag) {
        g_tagMismatches.fetch_add(1);
        if (VerifierIsStrict())
            VerifierReport(Check::FreeTagMismatch, "%s(%p, '%s'): allocated with tag '%s'", caller, address,
                           PoolTagText(*tag).c_str(), PoolTagText(allocatedTag).c_str());
    }
    FreeBlock(address);
}

PVOID ContiguousAllocate(SIZE_T size, ULONG64 lowest, ULONG64 highest, ULONG64 boundary, Image* image)
{
    if (size == 0 || size > kMaxAllocation || (boundary & (boundary - 1)) != 0)
        return nullptr;
    SIZE_T length = ALIGN_UP_BY(size, PAGE_SIZE);
    // Aligning to a power of two at least the length keeps the block inside one boundary multiple.
    SIZE_T alignment = PAGE_SIZE;
    if (boundary != 0) {
        if (length > boundary)
            return nullptr;
        while (alignment < length)
            alignment <<= 1;
    }
    if (t_threadRule.Consume())
        return nullptr;
    void* address = Allocate(alignment, length, true);
    if (address == nullptr)
        return nullptr;
    auto start = reinterpret_cast<ULONG64>(address);
    if (start < lowest || start + length - 1 > highest) {
        free(address);
        return nullptr;
    }
    memory::Block block;
    block.length = length;
    block.kind = memory::Kind::Contiguous;
    block.dmaVisible = true;
    block.image = image;
    Track(address, block);
    return address;
}

PoolKind KindOf(const memory::Block& block)
{
    if (block.kind == memory::Kind::Contiguous)
        return PoolKind::Contiguous;
    return block.dmaVisible ? PoolKind::NonPaged : PoolKind::Paged;
}

bool Owned(const memory::Block& block, const Image* image)
{
    return block.kind != memory::Kind::Registered && block.image == image;
}

// Reports each leaking tag of the image once.
int CheckLeaks(Image* image)
{
    int reports = 0;
    for (const PoolLeak& leak : PoolLeaks(image)) {
        if (leak.contiguous)
            VerifierReport(Check::PoolLeak, "%s: contiguous memory %zu allocations %zu bytes",
                           ImageName(image).c_str(), leak.count, leak.bytes);
        else
            VerifierReport(Check::PoolLeak, "%s: tag '%s' %zu allocations %zu bytes",
                           ImageName(image).c_str(), PoolTagText(leak.tag).c_str(), leak.count, leak.bytes);
        reports++;
    }
    return reports;
}

const bool g_leakCheckAdded = (ImageAddUnloadCheck(CheckLeaks), true);

} // namespace

// POOL_FLAG_RAISE_ON_FAILURE is accepted, but a failure still returns NULL: the host raises no exceptions.
void* PoolAllocate(POOL_FLAGS flags, SIZE_T size, ULONG tag, Image* image)
{
    POOL_FLAGS type = flags & kPoolTypeFlags;
    if ((flags & ~kKnownFlags) != 0 || (type & (type - 1)) != 0 || type == 0)
        return nullptr;
    bool fail = t_threadRule.Consume();
    fail = TagRuleFails(tag) || fail; // both rules count the allocation
    if (fail)
        return nullptr;
    const SIZE_T alignment = (flags & POOL_FLAG_CACHE_ALIGNED) ? 64 : 16;
    const SIZE_T prefix = std::max<SIZE_T>(alignment, 32); // a multiple of the alignment that holds the header
    if (size > kMaxAllocation)
        return nullptr;
    auto* memory = static_cast<UCHAR*>(Allocate(alignment, prefix + size, false));
    if (memory == nullptr)
        return nullptr;
    void* address = memory + prefix;
    if (!(flags & POOL_FLAG_UNINITIALIZED))
        memset(address, 0, size);
    PoolHeader* header = HeaderOf(address);
    *header = PoolHeader{nullptr, size, tag, static_cast<ULONG>(prefix)};
    if (!VerifierEnabled()) {
        header->counter = CounterOf(image, tag);
        header->counter->count.fetch_add(1, std::memory_order_relaxed);
        header->counter->bytes.fetch_add(size, std::memory_order_relaxed);
        header->counter->allocations.fetch_add(1, std::memory_order_relaxed);
        return address;
    }
    memory::Block block;
    block.length = size;
    block.kind = memory::Kind::Pool;
    block.dmaVisible = type != POOL_FLAG_PAGED;
    block.tag = tag;
    block.image = image;
    Track(address, block);
    return address;
}


std::string PoolTagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        auto c = static_cast<unsigned char>(tag >> (8 * i));
        text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    return text;
}

void PoolFailTag(ULONG tag, ULONG count, ULONG skip)
{
    TagRules& rules = Rules();
    std::lock_guard<std::mutex> guard(rules.lock);
    rules.rules[tag] = FailRule{skip, count};
    rules.any.store(true, std::memory_order_release);
}

void PoolFailTagClear(ULONG tag)
{
    TagRules& rules = Rules();
    std::lock_guard<std::mutex> guard(rules.lock);
    rules.rules.erase(tag);
    rules.any.store(!rules.rules.empty(), std::memory_order_release);
}

void PoolFailThread(ULONG count, ULONG skip)
{
    t_threadRule = FailRule{skip, count};
}
void PoolFailThreadClear()
{
    t_threadRule = FailRule{};
}

std::vector<PoolAllocation> PoolLiveAllocations(const Image* image)
{
    std::vector<PoolAllocation> live;
    {
        memory::Registry& registry = memory::Blocks();
        std::lock_guard<std::mutex> guard(registry.lock);
        for (const auto& [start, block] : registry.blocks)
            if (Owned(block, image))
                live.push_back(PoolAllocation{reinterpret_cast<const void*>(start), block.length, block.tag,
                                              KindOf(block), block.image, block.sequence});
    }
    std::sort(live.begin(), live.end(),
              [](const PoolAllocation& a, const PoolAllocation& b) { return a.sequence < b.sequence; });
    return live;
}

std::vector<PoolLeak> PoolLeaks(const Image* image)
{
    std::vector<PoolLeak> leaks;
    auto add = [&leaks](ULONG tag, bool contiguous, SIZE_T count, SIZE_T bytes) {
        auto it = std::find_if(leaks.begin(), leaks.end(), [&](const PoolLeak& leak) {
            return leak.contiguous == contiguous && leak.tag == tag;
        });
        if (it == leaks.end())
            it = leaks.insert(leaks.end(), PoolLeak{tag, contiguous, 0, 0});
        it->count += count;
        it->bytes += bytes;
    };
    for (const PoolAllocation& allocation : PoolLiveAllocations(image))
        add(allocation.tag, allocation.kind == PoolKind::Contiguous, 1, allocation.size);
    {
        TagCounters& counters = Counters();
        std::lock_guard<std::mutex> guard(counters.lock);
        for (const auto& [key, counter] : counters.counters)
            if (key.first == image && counter->count.load() != 0)
                add(key.second, false, counter->count.load(), counter->bytes.load());
    }
    std::sort(leaks.begin(), leaks.end(), [](const PoolLeak& a, const PoolLeak& b) {
        return a.contiguous != b.contiguous ? b.contiguous : a.tag < b.tag;
    });
    return leaks;
}

SIZE_T PoolFreeAll(const Image* image)
{
    std::vector<std::pair<void*, memory::Kind>> owned;
    {
        memory::Registry& registry = memory::Blocks();
        std::lock_guard<std::mutex> guard(registry.lock);
        for (auto it = registry.blocks.begin(); it != registry.blocks.end();) {
            if (Owned(it->second, image)) {
                owned.emplace_back(reinterpret_cast<void*>(it->first), it->second.kind);
                it = registry.blocks.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& [address, kind] : owned) {
        if (kind == memory::Kind::Pool)
            FreeBlock(address); // behind its header
        else
            free(address);
    }
    return owned.size();
}

ULONG64 PoolTagMismatches()
{
    return g_tagMismatches.load();
}

ULONG64 PoolAllocationCount()
{
    ULONG64 count = 0;
    {
        memory::Registry& registry = memory::Blocks();
        std::lock_guard<std::mutex> guard(registry.lock);
        count += registry.nextSequence - 1;
    }
    TagCounters& counters = Counters();
    std::lock_guard<std::mutex> guard(counters.lock);
    for (const auto& entry : counters.counters)
        count += entry.second->allocations.load();
    return count;
}

} // namespace host

// Exported entry points stay out of line: the caller's return address names the allocating image.
extern "C" {

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    return host::PoolAllocate(Flags, NumberOfBytes, Tag, host::ImageFromAddress(__builtin_return_address(0)));
}

void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    host::PoolFree(P, &Tag, "ExFreePoolWithTag");
}

void ExFreePool(PVOID P)
{
    host::PoolFree(P, nullptr, "ExFreePool");
}

PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress)
{
    return host::ContiguousAllocate(NumberOfBytes, 0, static_cast<ULONG64>(HighestAcceptableAddress.QuadPart),
                                    0, host::ImageFromAddress(__builtin_return_address(0)));
}

// The caching type does not change host memory; DMA here is always coherent.
PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS LowestAcceptableAddress,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple,
                                             MEMORY_CACHING_TYPE CacheType)
{
    UNREFERENCED_PARAMETER(CacheType);
    return host::ContiguousAllocate(NumberOfBytes, static_cast<ULONG64>(LowestAcceptableAddress.QuadPart),
                                    static_cast<ULONG64>(HighestAcceptableAddress.QuadPart),
                                    static_cast<ULONG64>(BoundaryAddressMultiple.QuadPart),
                                    host::ImageFromAddress(__builtin_return_address(0)));
}

void MmFreeContiguousMemory(PVOID BaseAddress)
{
    host::memory::Block released;
    if (host::memory::Release(BaseAddress, host::memory::Kind::Contiguous, "MmFreeContiguousMemory",
                              &released))
        free(BaseAddress);
}

} // extern "C"
