// Contiguous memory, physical addresses and the system routine table.
#include <gtest/gtest.h>

#include <host/dma.h>
#include <host/image.h>
#include <host/pool.h>
#include <host/routines.h>
#include <wdm.h>

#include <algorithm>
#include <string>

#include "host_test.h"

namespace {

PHYSICAL_ADDRESS Address(ULONG64 value)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(value);
    return address;
}

TEST(Contiguous, WholePagesZeroedDmaVisibleAndIdentityMapped)
{
    auto* p = static_cast<UCHAR*>(MmAllocateContiguousMemory(5000, Address(~0ULL)));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % PAGE_SIZE);
    EXPECT_TRUE(std::all_of(p, p + 2 * PAGE_SIZE, [](UCHAR b) { return b == 0; }));
    ULONG64 logical = static_cast<ULONG64>(MmGetPhysicalAddress(p).QuadPart);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p), logical);

    const UCHAR tail[4] = {1, 2, 3, 4};
    EXPECT_TRUE(
        host::DmaWrite(logical + 2 * PAGE_SIZE - sizeof(tail), tail, sizeof(tail))); // the whole last page
    EXPECT_EQ(4, p[2 * PAGE_SIZE - 1]);

    auto live = host::PoolLiveAllocations(host::ImageMain());
    ASSERT_EQ(1u, live.size());
    EXPECT_EQ(host::PoolKind::Contiguous, live[0].kind);
    EXPECT_EQ(SIZE_T(2 * PAGE_SIZE), live[0].size);
    MmFreeContiguousMemory(p);
}

TEST(Contiguous, AddressConstraintsAreHonouredOrTheAllocationFails)
{
    EXPECT_EQ(nullptr, MmAllocateContiguousMemory(PAGE_SIZE, Address(0)));
    EXPECT_EQ(nullptr, MmAllocateContiguousMemory(0, Address(~0ULL)));
    EXPECT_EQ(nullptr, MmAllocateContiguousMemorySpecifyCache(PAGE_SIZE, Address(~0ULL - PAGE_SIZE),
                                                              Address(~0ULL), Address(0), MmCached));
    // A block larger than the boundary cannot avoid crossing one; a boundary must be a power of two.
    EXPECT_EQ(nullptr, MmAllocateContiguousMemorySpecifyCache(3 * PAGE_SIZE, Address(0), Address(~0ULL),
                                                              Address(2 * PAGE_SIZE), MmNonCached));
    EXPECT_EQ(nullptr, MmAllocateContiguousMemorySpecifyCache(PAGE_SIZE, Address(0), Address(~0ULL),
                                                              Address(3 * PAGE_SIZE), MmNonCached));

    constexpr ULONG64 kBoundary = 0x10000;
    for (SIZE_T size : {SIZE_T(PAGE_SIZE), SIZE_T(3 * PAGE_SIZE), SIZE_T(kBoundary)}) {
        void* p = MmAllocateContiguousMemorySpecifyCache(size, Address(0), Address(~0ULL), Address(kBoundary),
                                                         MmWriteCombined);
        ASSERT_NE(nullptr, p);
        auto start = reinterpret_cast<ULONG64>(p);
        EXPECT_EQ(start / kBoundary, (start + size - 1) / kBoundary) << size;
        MmFreeContiguousMemory(p);
    }
    EXPECT_TRUE(host::PoolLiveAllocations(host::ImageMain()).empty());
}

TEST(Contiguous, FreesOfAnythingElseAreReported)
{
    hosttest::ExpectReport expect(host::Check::FreeNotAllocated);
    auto* p = static_cast<UCHAR*>(MmAllocateContiguousMemory(2 * PAGE_SIZE, Address(~0ULL)));
    void* pool = ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, host::PoolTag("Cont"));
    MmFreeContiguousMemory(pool);
    MmFreeContiguousMemory(p + PAGE_SIZE);
    EXPECT_EQ(2, expect.Count());
    MmFreeContiguousMemory(p);
    MmFreeContiguousMemory(p);
    EXPECT_EQ(3, expect.Count());
    ExFreePool(pool);
}

PVOID Lookup(std::u16string name)
{
    UNICODE_STRING text{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(name.size() * sizeof(WCHAR)), name.data()};
    return MmGetSystemRoutineAddress(&text);
}

TEST(SystemRoutines, OnlyTableNamesTheHostImplementsResolve)
{
    EXPECT_EQ(reinterpret_cast<PVOID>(&ExAllocatePool2), Lookup(u"ExAllocatePool2"));
    EXPECT_EQ(nullptr, Lookup(u"NoSuchRoutine"));
    EXPECT_EQ(nullptr, Lookup(u"memcpy")); // not a system routine
    EXPECT_EQ(nullptr, Lookup(u"ExAllocatePool2\u00e9"));
    EXPECT_EQ(nullptr, MmGetSystemRoutineAddress(nullptr));

    host::SystemRoutineSetPresent("memcpy", true);
    EXPECT_EQ(nullptr, Lookup(u"memcpy")); // listed, but the host's dependencies do not count
    host::SystemRoutineSetPresent("ExAllocatePool2", false);
    EXPECT_EQ(nullptr, Lookup(u"ExAllocatePool2"));
    host::SystemRoutineSetPresent("ExAllocatePool2", true);
    EXPECT_EQ(reinterpret_cast<PVOID>(&ExAllocatePool2), Lookup(u"ExAllocatePool2"));
}

} // namespace
