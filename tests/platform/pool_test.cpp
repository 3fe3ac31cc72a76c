// Executive pool: flags, accounting, bad frees, tag checks, failure injection and leak reports.
#include <gtest/gtest.h>

#include <host/image.h>
#include <host/pool.h>
#include <wdm.h>

#include <algorithm>
#include <thread>
#include <vector>

#include <host/dma.h>

#include "executive_fixtures.h"
#include "host_test.h"

namespace {

constexpr ULONG kTagA = host::PoolTag("Abcd");
constexpr ULONG kTagB = host::PoolTag("Bxyz");

const host::PoolAllocation* FindLive(const std::vector<host::PoolAllocation>& live, const void* address)
{
    auto it = std::find_if(live.begin(), live.end(),
                           [&](const host::PoolAllocation& a) { return a.address == address; });
    return it == live.end() ? nullptr : &*it;
}

bool IsLive(const void* address)
{
    return FindLive(host::PoolLiveAllocations(host::ImageMain()), address) != nullptr;
}

bool AllZero(const void* p, SIZE_T size)
{
    auto* bytes = static_cast<const UCHAR*>(p);
    return std::all_of(bytes, bytes + size, [](UCHAR b) { return b == 0; });
}

TEST(Pool, AllocationsAreAlignedZeroedAndAccountedToTheCaller)
{
    struct Case {
        POOL_FLAGS flags;
        SIZE_T size;
        uintptr_t alignment;
        host::PoolKind kind;
    };
    const Case cases[] = {
        {POOL_FLAG_NON_PAGED, 40, 16, host::PoolKind::NonPaged},
        {POOL_FLAG_NON_PAGED_EXECUTE, 8, 16, host::PoolKind::NonPaged},
        {POOL_FLAG_PAGED, 100, 16, host::PoolKind::Paged},
        {POOL_FLAG_NON_PAGED | POOL_FLAG_CACHE_ALIGNED, 200, 64, host::PoolKind::NonPaged},
        {POOL_FLAG_PAGED | POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_USE_QUOTA, 1, 64, host::PoolKind::Paged},
    };
    std::vector<void*> blocks;
    ULONG64 lastSequence = 0;
    for (const Case& c : cases) {
        // Dirty a block of the same size first, so a zeroed result is not the allocator's luck.
        void* dirty = ExAllocatePool2(c.flags | POOL_FLAG_UNINITIALIZED, c.size, kTagA);
        ASSERT_NE(nullptr, dirty);
        memset(dirty, 0xAB, c.size);
        ExFreePoolWithTag(dirty, kTagA);

        void* p = ExAllocatePool2(c.flags, c.size, kTagA);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % c.alignment) << c.flags;
        EXPECT_TRUE(AllZero(p, c.size)) << c.flags;
        std::vector<host::PoolAllocation> live = host::PoolLiveAllocations(host::ImageMain());
        const host::PoolAllocation* record = FindLive(live, p);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(c.size, record->size);
        EXPECT_EQ(kTagA, record->tag);
        EXPECT_EQ(c.kind, record->kind);
        EXPECT_EQ(host::ImageMain(), record->image);
        EXPECT_GT(record->sequence, lastSequence);
        lastSequence = record->sequence;
        blocks.push_back(p);
    }
    for (void* p : blocks)
        ExFreePoolWithTag(p, kTagA);
    EXPECT_TRUE(host::PoolLiveAllocations(host::ImageMain()).empty());
}

TEST(Pool, InvalidRequestsFailWithoutAllocating)
{
    struct Case {
        POOL_FLAGS flags;
        SIZE_T size;
    };
    const Case cases[] = {
        {0, 16},                                                 // no pool type
        {POOL_FLAG_USE_QUOTA, 16},                               // still no pool type
        {POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, 16},             // two types
        {POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE, 16}, // two types
        {POOL_FLAG_NON_PAGED | 0x10000, 16},                     // unknown flag
        {POOL_FLAG_NON_PAGED, SIZE_T(1) << 40},                  // more than the pool has
        {POOL_FLAG_NON_PAGED, ~SIZE_T(0)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nullptr, ExAllocatePool2(c.flags, c.size, kTagA)) << std::hex << c.flags << " " << c.size;
    EXPECT_TRUE(host::PoolLiveAllocations(host::ImageMain()).empty());
}

TEST(Pool, ZeroSizeAllocationsAreDistinctAndLive)
{
    void* a = ExAllocatePool2(POOL_FLAG_NON_PAGED, 0, kTagA);
    void* b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 0, kTagA);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_TRUE(IsLive(a));
    EXPECT_TRUE(IsLive(b));
    ExFreePoolWithTag(a, kTagA);
    ExFreePoolWithTag(b, kTagA);
}

TEST(Pool, FreesOfAnythingButALiveAllocationAreReportedAndChangeNothing)
{
    hosttest::ExpectReport expect(host::Check::FreeNotAllocated);
    auto* p = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTagA));
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    void* contiguous = MmAllocateContiguousMemory(PAGE_SIZE, highest);
    int onStack = 0;

    ExFreePoolWithTag(p + 8, kTagA); // interior pointer
    ExFreePool(&onStack);
    ExFreePool(nullptr);
    ExFreePool(contiguous); // not pool
    EXPECT_EQ(4, expect.Count());
    EXPECT_TRUE(IsLive(p));
    EXPECT_TRUE(IsLive(contiguous));

    ExFreePoolWithTag(p, kTagA);
    ExFreePoolWithTag(p, kTagA); // twice
    EXPECT_EQ(5, expect.Count());
    MmFreeContiguousMemory(contiguous);
}

TEST(Pool, AnotherTagAtFreeIsCountedAndReportedOnlyWhenStrict)
{
    ULONG64 before = host::PoolTagMismatches();
    ExFreePoolWithTag(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTagA), kTagB);
    EXPECT_EQ(before + 1, host::PoolTagMismatches());

    host::VerifierSetStrict(true);
    {
        hosttest::ExpectReport expect(host::Check::FreeTagMismatch);
        void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTagA);
        ExFreePoolWithTag(p, kTagB);
        EXPECT_FALSE(IsLive(p));                                     // freed all the same
        ExFreePool(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTagA)); // no tag, no check
        ExFreePoolWithTag(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTagA), kTagA);
        EXPECT_EQ(1, expect.Count());
    }
    host::VerifierSetStrict(false);
    EXPECT_EQ(before + 2, host::PoolTagMismatches());
}

// Allocates with `tag` and frees at once; true when the allocation succeeded.
bool Allocates(ULONG tag)
{
    void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 32, tag);
    if (p != nullptr)
        ExFreePoolWithTag(p, tag);
    return p != nullptr;
}

TEST(PoolFailure, TagRuleSkipsThenFailsThenRunsOut)
{
    host::PoolFailTag(kTagA, 2, 1);
    EXPECT_TRUE(Allocates(kTagA));
    EXPECT_TRUE(Allocates(kTagB)); // other tags are not counted
    EXPECT_FALSE(Allocates(kTagA));
    EXPECT_FALSE(Allocates(kTagA));
    EXPECT_TRUE(Allocates(kTagA));

    host::PoolFailTag(kTagA, host::kFailAlways);
    for (int i = 0; i < 5; i++)
        EXPECT_FALSE(Allocates(kTagA));
    host::PoolFailTagClear(kTagA);
    EXPECT_TRUE(Allocates(kTagA));
}

TEST(PoolFailure, ThreadRuleFailsOnlyTheCallingThreadIncludingContiguousMemory)
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    host::PoolFailThread(2, 1);
    bool otherThread = false;
    std::thread([&] { otherThread = Allocates(kTagA) && Allocates(kTagA); }).join();
    EXPECT_TRUE(otherThread);
    EXPECT_TRUE(Allocates(kTagA));
    EXPECT_FALSE(Allocates(kTagB));
    EXPECT_EQ(nullptr, MmAllocateContiguousMemory(PAGE_SIZE, highest));
    void* contiguous = MmAllocateContiguousMemory(PAGE_SIZE, highest);
    EXPECT_NE(nullptr, contiguous);
    MmFreeContiguousMemory(contiguous);

    host::PoolFailThread(host::kFailAlways);
    EXPECT_FALSE(Allocates(kTagA));
    host::PoolFailThreadClear();
    EXPECT_TRUE(Allocates(kTagA));
}

TEST(PoolFailure, EveryRuleThatSeesAnAllocationCountsIt)
{
    host::PoolFailThread(1);
    host::PoolFailTag(kTagA, 1, 1);
    EXPECT_FALSE(Allocates(kTagA)); // the thread rule fails it; the tag rule uses up its skip
    EXPECT_FALSE(Allocates(kTagA)); // the tag rule fails it
    EXPECT_TRUE(Allocates(kTagA));
    host::PoolFailTagClear(kTagA);
}

// Leaves 2 allocations of tag A (500 bytes), 1 of tag B (50 bytes) and one page of contiguous memory.
void LeakSome()
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    ExAllocatePool2(POOL_FLAG_NON_PAGED, 200, kTagA);
    ExFreePoolWithTag(ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTagA), kTagA);
    ExAllocatePool2(POOL_FLAG_PAGED, 300, kTagA);
    ExAllocatePool2(POOL_FLAG_NON_PAGED, 50, kTagB);
    MmAllocateContiguousMemory(100, highest);
}

TEST(PoolLeaks, UnloadReportsEachLeakingTagOnceAndFreeAllCleansUp)
{
    LeakSome();
    std::vector<host::PoolLeak> leaks = host::PoolLeaks(host::ImageMain());
    ASSERT_EQ(3u, leaks.size());
    EXPECT_EQ(kTagA, leaks[0].tag);
    EXPECT_EQ(2u, leaks[0].count);
    EXPECT_EQ(500u, leaks[0].bytes);
    EXPECT_EQ(kTagB, leaks[1].tag);
    EXPECT_EQ(1u, leaks[1].count);
    EXPECT_EQ(50u, leaks[1].bytes);
    EXPECT_TRUE(leaks[2].contiguous);
    EXPECT_EQ(SIZE_T(PAGE_SIZE), leaks[2].bytes);
    {
        hosttest::ExpectReport expect(host::Check::PoolLeak);
        EXPECT_EQ(3, host::ImageCheckUnload(host::ImageMain()));
        EXPECT_EQ(3, expect.Count());
    }
    EXPECT_EQ(4u, host::PoolFreeAll(host::ImageMain()));
    EXPECT_TRUE(host::PoolLiveAllocations(host::ImageMain()).empty());
    EXPECT_EQ(0, host::ImageCheckUnload(host::ImageMain()));
}

TEST(PoolLeaks, ReportNamesTheTagByItsCharacters)
{
    std::vector<std::string> messages;
    host::VerifierSetHandler([&](const host::Report& report) { messages.push_back(report.message); });
    LeakSome();
    host::ImageCheckUnload(host::ImageMain());
    hosttest::InstallReportHandler();
    host::PoolFreeAll(host::ImageMain());
    EXPECT_EQ((std::vector<std::string>{"main: tag 'Abcd' 2 allocations 500 bytes",
                                        "main: tag 'Bxyz' 1 allocations 50 bytes",
                                        "main: contiguous memory 1 allocations 4096 bytes"}),
              messages);
    EXPECT_EQ("A.c.", host::PoolTagText(0x00630041));
}

// Without the verifier's registry the pool still counts what each image holds by tag (the leak report
// reads it), keeps the tag in the block's header, counts mismatched frees, and a device's DMA reaches the
// block unchecked.
using exectest::VerifierOff;

TEST_P(VerifierOff, PoolIsCountedByImageAndTagAndReachableByDma)
{
    auto held = [](ULONG tag) {
        for (const host::PoolLeak& leak : host::PoolLeaks(host::ImageMain()))
            if (leak.tag == tag && !leak.contiguous)
                return std::make_pair(leak.count, leak.bytes);
        return std::make_pair(SIZE_T(0), SIZE_T(0));
    };
    const ULONG64 made = host::PoolAllocationCount();
    const ULONG64 mismatches = host::PoolTagMismatches();
    void* plain = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTagA);
    void* aligned = ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_CACHE_ALIGNED, 200, kTagA);
    ASSERT_NE(nullptr, plain);
    ASSERT_NE(nullptr, aligned);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(plain) % 16);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(aligned) % 64);
    EXPECT_TRUE(AllZero(plain, 100) && AllZero(aligned, 200));
    EXPECT_EQ(std::make_pair(SIZE_T(2), SIZE_T(300)), held(kTagA));
    EXPECT_EQ(2u, host::PoolAllocationCount() - made);

    const UCHAR pattern[4] = {1, 2, 3, 4};
    UCHAR back[4] = {};
    auto logical = static_cast<ULONG64>(MmGetPhysicalAddress(plain).QuadPart);
    EXPECT_TRUE(host::DmaWrite(logical + 96, pattern, sizeof(pattern)));
    EXPECT_TRUE(host::DmaRead(logical + 96, back, sizeof(back)));
    EXPECT_EQ(0, memcmp(pattern, back, sizeof(back)));

    ExFreePoolWithTag(plain, kTagB); // the releaser's tag: counted, not reported outside strict mode
    EXPECT_EQ(mismatches + 1, host::PoolTagMismatches());
    EXPECT_EQ(std::make_pair(SIZE_T(1), SIZE_T(200)), held(kTagA));
    ExFreePool(aligned);
    EXPECT_EQ(std::make_pair(SIZE_T(0), SIZE_T(0)), held(kTagA));
}

INSTANTIATE_TEST_SUITE_P(Clocks, VerifierOff, testing::Values(host::ClockMode::Virtual), exectest::ClockName);

} // namespace
