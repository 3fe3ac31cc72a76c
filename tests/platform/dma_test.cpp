// DMA-visible memory: what a device may reach, what it may not, and a device racing the driver's frees.
#include <gtest/gtest.h>

#include <host/dma.h>
#include <host/image.h>
#include <host/pool.h>
#include <wdm.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host_test.h"

namespace {

constexpr ULONG kTag = host::PoolTag("DmaT");

ULONG64 Logical(const void* p)
{
    return static_cast<ULONG64>(MmGetPhysicalAddress(const_cast<void*>(p)).QuadPart);
}

TEST(Dma, DeviceReachesEveryLiveNonPagedBlock)
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    alignas(64) static UCHAR commonBuffer[256];
    ASSERT_TRUE(host::DmaRegister(commonBuffer, sizeof(commonBuffer), &commonBuffer));
    struct Case {
        UCHAR* block;
        SIZE_T size;
    };
    const Case cases[] = {
        {static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag)), 100},
        {static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED_EXECUTE, 16, kTag)), 16},
        {static_cast<UCHAR*>(MmAllocateContiguousMemory(PAGE_SIZE, highest)), PAGE_SIZE},
        {commonBuffer, sizeof(commonBuffer)},
    };
    for (const Case& c : cases) {
        std::vector<UCHAR> pattern(c.size);
        for (SIZE_T i = 0; i < c.size; i++)
            pattern[i] = static_cast<UCHAR>(i * 7 + 1);
        EXPECT_TRUE(host::DmaWrite(Logical(c.block), pattern.data(), c.size));
        EXPECT_EQ(0, memcmp(c.block, pattern.data(), c.size));
        std::vector<UCHAR> back(c.size - 1);
        EXPECT_TRUE(host::DmaRead(Logical(c.block + 1), back.data(), back.size()));
        EXPECT_EQ(0, memcmp(back.data(), pattern.data() + 1, back.size()));
        EXPECT_TRUE(host::DmaCheck(Logical(c.block + c.size - 1), 1));
        EXPECT_TRUE(host::DmaCheck(Logical(c.block), 0));
    }
    ExFreePoolWithTag(cases[0].block, kTag);
    ExFreePoolWithTag(cases[1].block, kTag);
    MmFreeContiguousMemory(cases[2].block);
    EXPECT_TRUE(host::DmaUnregister(commonBuffer));
}

TEST(Dma, AccessOutsideLiveDmaMemoryIsReportedAndTouchesNothing)
{
    auto* block = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    auto* paged = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_PAGED, 64, kTag));
    auto* freed = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    static UCHAR unregistered[64];
    ASSERT_TRUE(host::DmaRegister(unregistered, sizeof(unregistered), nullptr));
    ASSERT_TRUE(host::DmaUnregister(unregistered));
    ULONG64 freedLogical = Logical(freed);
    ExFreePoolWithTag(freed, kTag);

    struct Case {
        const char* what;
        ULONG64 logical;
        SIZE_T length;
    };
    const Case cases[] = {
        {"overrun by one byte", Logical(block), 65},
        {"tail overrun", Logical(block + 60), 8},
        {"starts before", Logical(block) - 1, 4},
        {"paged pool", Logical(paged), 4},
        {"freed", freedLogical, 4},
        {"registration withdrawn", Logical(unregistered), 4},
        {"wraps", ~0ULL - 1, 4},
    };
    hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
    int expected = 0;
    for (const Case& c : cases) {
        std::vector<UCHAR> data(c.length, 0xEE);
        EXPECT_FALSE(host::DmaWrite(c.logical, data.data(), c.length)) << c.what;
        EXPECT_FALSE(host::DmaRead(c.logical, data.data(), c.length)) << c.what;
        EXPECT_FALSE(host::DmaCheck(c.logical, c.length)) << c.what;
        EXPECT_EQ(std::vector<UCHAR>(c.length, 0xEE), data) << c.what;
        expected += 3;
    }
    EXPECT_EQ(expected, expect.Count());
    UCHAR zeros[64] = {};
    EXPECT_EQ(0, memcmp(block, zeros, 64));
    EXPECT_EQ(0, memcmp(paged, zeros, 64));
    ExFreePoolWithTag(block, kTag);
    ExFreePoolWithTag(paged, kTag);
}

TEST(Dma, RegistrationsMustNotOverlapAndAreWithdrawnOnlyAsRegistrations)
{
    auto* block = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    static UCHAR buffer[128];
    {
        hosttest::ExpectReport expect(host::Check::InvalidParameter);
        EXPECT_FALSE(host::DmaRegister(block + 8, 16, nullptr)); // inside a pool block
        EXPECT_FALSE(host::DmaRegister(block - 8, 16, nullptr)); // runs into it
        EXPECT_FALSE(host::DmaRegister(buffer, 0, nullptr));
        ASSERT_TRUE(host::DmaRegister(buffer, sizeof(buffer), nullptr));
        EXPECT_FALSE(host::DmaRegister(buffer + 64, 8, nullptr));
        EXPECT_EQ(4, expect.Count());
    }
    {
        hosttest::ExpectReport expect(host::Check::FreeNotAllocated);
        EXPECT_FALSE(host::DmaUnregister(block)); // pool is freed as pool
        ExFreePool(buffer);                       // and a registration only by withdrawing it
        EXPECT_FALSE(host::DmaUnregister(buffer + 1));
        EXPECT_EQ(3, expect.Count());
    }
    EXPECT_TRUE(host::DmaUnregister(buffer));
    ExFreePoolWithTag(block, kTag);
}

// Drivers allocate and free buffers while a device writes into whichever buffer was published last. The
// device either writes into a live buffer or is refused with a report; never into freed memory (ASan
// and TSan watch for that).
TEST(Dma, DeviceRacingTheDriversFreesNeverTouchesFreedMemory)
{
    constexpr int kDrivers = 2;
    constexpr int kRounds = 2000;
    constexpr SIZE_T kSize = 256;
    hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
    std::atomic<ULONG64> published{0};
    std::atomic<int> driversLeft{kDrivers};
    std::vector<std::thread> drivers;
    for (int d = 0; d < kDrivers; d++)
        drivers.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                void* buffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, kSize, kTag);
                ASSERT_NE(nullptr, buffer);
                published.store(Logical(buffer));
                ExFreePoolWithTag(buffer, kTag);
            }
            driversLeft.fetch_sub(1);
        });
    std::thread device([&] {
        UCHAR frame[kSize];
        memset(frame, 0x5C, sizeof(frame));
        while (driversLeft.load() > 0) {
            ULONG64 target = published.load();
            if (target != 0 && host::DmaWrite(target, frame, sizeof(frame)))
                host::DmaRead(target, frame, sizeof(frame));
        }
        host::DmaWrite(published.load(), frame, sizeof(frame)); // every buffer is freed by now
    });
    for (auto& driver : drivers)
        driver.join();
    device.join();
    EXPECT_GE(expect.Count(), 1);
    EXPECT_TRUE(host::PoolLiveAllocations(host::ImageMain()).empty());
}

} // namespace
