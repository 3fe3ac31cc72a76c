// The kernel support layer's memory wrappers, coherent DMA memory, bitmaps, device records, user copies
// and PCI bus-driver shims.
#include <gtest/gtest.h>

#include <host/dma.h>
#include <host/image.h>
#include <host/pool.h>
#include <host/trace.h>

#include <cstring>
#include <vector>

#include "device_fixture.h"
#include "host_test.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "kal.h"

namespace
{

constexpr u32 kTag = host::PoolTag("kalT");

host::PoolKind KindOf(const void* address)
{
    for (const auto& a : host::PoolLiveAllocations(host::ImageMain()))
        if (a.address == address)
            return a.kind;
    ADD_FAILURE() << "not a live allocation";
    return host::PoolKind::Paged;
}

TEST(KalMemory, AllocationsByFlag)
{
    void* pool = win_zalloc(100, 0, kTag);
    void* contiguous = win_zalloc(100, WIN_MEM_CONTIGUOUS, kTag);
    ASSERT_NE(nullptr, pool);
    ASSERT_NE(nullptr, contiguous);
    EXPECT_EQ(host::PoolKind::NonPaged, KindOf(pool));
    EXPECT_EQ(host::PoolKind::Contiguous, KindOf(contiguous));
    EXPECT_EQ(std::vector<u8>(100, 0), std::vector<u8>((u8*)contiguous, (u8*)contiguous + 100));
    memset(pool, 0xAA, 100);
    win_zero_io(pool, 60, kTag);
    EXPECT_EQ(0, ((u8*)pool)[59]);
    EXPECT_EQ(0xAA, ((u8*)pool)[60]);
    win_free(pool, kTag);
    win_free_ex(contiguous, WIN_MEM_CONTIGUOUS, kTag);
    win_free(nullptr, kTag);
    host::PoolFailTag(kTag, 1);
    EXPECT_EQ(nullptr, win_zalloc(16, 0, kTag));
    host::PoolFailTagClear(kTag);
    EXPECT_TRUE(host::PoolLeaks(host::ImageMain()).empty());
}

TEST(KalMemory, CoherentMemoryWithoutAnEnablerIsPlainMemory)
{
    struct device_node node = {};
    u64 dma = 0;
    u8* buffer = static_cast<u8*>(dma_alloc_coherent(&node, 24, &dma, 0, kTag));
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ((u64)MmGetPhysicalAddress(buffer).QuadPart, dma);
    EXPECT_EQ(std::vector<u8>(24, 0), std::vector<u8>(buffer, buffer + 24));
    dma_free_coherent(&node, 24, buffer, dma, 0, kTag);
    EXPECT_TRUE(host::PoolLeaks(host::ImageMain()).empty());
}

class CoherentTest : public taluvotest::DeviceTest
{
  protected:
    bool WithDmaEnabler() const override { return true; }
};

TEST_F(CoherentTest, CommonBuffersAreReleasedByAddress)
{
    struct device_node node = {};
    node.dma_enabler = DmaEnabler();
    // Rings rebuilt again and again: each descriptor is its own common buffer, released with its ring.
    for (int round = 0; round < 3; round++) {
        std::vector<std::pair<void*, u64>> ring;
        for (int i = 0; i < 8; i++) {
            u64 dma = 0;
            void* gpd = dma_alloc_coherent(&node, 24, &dma, 0, kTag);
            ASSERT_NE(nullptr, gpd);
            EXPECT_EQ((u64)(ULONG_PTR)gpd, dma); // logical addresses are host addresses here
            EXPECT_TRUE(host::DmaCheck(dma, 24));
            EXPECT_EQ(std::vector<u8>(24, 0), std::vector<u8>((u8*)gpd, (u8*)gpd + 24));
            memset(gpd, 0x5A, 24);
            ring.push_back({gpd, dma});
        }
        for (auto [gpd, dma] : ring)
            dma_free_coherent(&node, 24, gpd, dma, 0, kTag);
        hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
        for (auto [gpd, dma] : ring)
            EXPECT_FALSE(host::DmaCheck(dma, 24));
    }
    int unknown;
    dma_free_coherent(&node, 4, &unknown, 0, 0, kTag); // traced, nothing else
    EXPECT_FALSE(host::TraceFind("no common buffer").empty());
}

TEST_F(CoherentTest, BuffersLeftAtRemovalGoWithTheEnabler)
{
    struct device_node node = {};
    node.dma_enabler = DmaEnabler();
    u64 dma = 0;
    void* left = dma_alloc_coherent(&node, 64, &dma, 0, kTag);
    ASSERT_NE(nullptr, left);
    RemoveDevice();
    {
        hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
        EXPECT_FALSE(host::DmaCheck(dma, 64));
    }
    dma_free_coherent(&node, 64, left, dma, 0, kTag); // no longer known: nothing to delete
}

TEST(KalBits, Bitmaps)
{
    u64 map[2] = {};
    struct Case {
        u32 bit;
        u64 word0;
        u64 word1;
    };
    const Case cases[] = {{0, 1, 0}, {63, 1ULL << 63, 0}, {64, 0, 1}, {127, 0, 1ULL << 63}};
    for (const Case& c : cases) {
        EXPECT_EQ(0, test_and_set_bit(c.bit, map)) << c.bit;
        EXPECT_EQ(c.word0, map[0]) << c.bit;
        EXPECT_EQ(c.word1, map[1]) << c.bit;
        EXPECT_EQ(1, test_bit(c.bit, map)) << c.bit;
        EXPECT_EQ(1, test_and_set_bit(c.bit, map)) << c.bit;
        clear_bit(c.bit, map);
        EXPECT_EQ(0, test_bit(c.bit, map)) << c.bit;
        EXPECT_EQ(0u, map[0] | map[1]) << c.bit;
    }
    set_bit(5, map);
    set_bit(70, map);
    EXPECT_EQ(1ULL << 5, map[0]);
    EXPECT_EQ(1ULL << 6, map[1]);

    const std::pair<u32, int> ffs[] = {{0, 0}, {1, 1}, {0x80, 8}, {0x80000000u, 32}, {0x60, 6}};
    for (auto [x, index] : ffs)
        EXPECT_EQ(index, kal_ffs(x)) << x;
}

TEST(KalDevices, ClassListKeepsHeadAndTail)
{
    EXPECT_EQ(0, win_nop());
    s32 devt = -1;
    EXPECT_EQ(0, alloc_chrdev_region(&devt, 5, 3, "ccci"));
    EXPECT_EQ(5, devt);

    struct device_class* cls = class_create(nullptr, "IPC", kTag);
    ASSERT_NE(nullptr, cls);
    struct device_node* nodes[4];
    for (int i = 0; i < 4; i++) {
        nodes[i] = device_create(cls, nullptr, 10 + i, nullptr, kTag, "node");
        ASSERT_NE(nullptr, nodes[i]);
        EXPECT_EQ(10 + i, nodes[i]->devt);
        EXPECT_STREQ("node", nodes[i]->name);
    }
    EXPECT_EQ(nodes[0], cls->head);
    EXPECT_EQ(nodes[3], cls->tail);

    auto list = [cls] {
        std::vector<s32> devts;
        for (struct device_node* n = cls->head; n != nullptr; n = n->next)
            devts.push_back(n->devt);
        return devts;
    };
    device_destroy(cls, 99, kTag); // unknown: nothing changes
    EXPECT_EQ((std::vector<s32>{10, 11, 12, 13}), list());
    device_destroy(cls, 11, kTag); // middle
    EXPECT_EQ((std::vector<s32>{10, 12, 13}), list());
    device_destroy(cls, 13, kTag); // tail
    EXPECT_EQ((std::vector<s32>{10, 12}), list());
    EXPECT_EQ(nodes[2], cls->tail);
    device_destroy(cls, 10, kTag); // head
    EXPECT_EQ(nodes[2], cls->head);
    device_destroy(cls, 12, kTag); // last
    EXPECT_EQ(nullptr, cls->head);
    EXPECT_EQ(nullptr, cls->tail);
    EXPECT_NE(nullptr, device_create(cls, nullptr, 20, nullptr, kTag, "again"));
    EXPECT_EQ(cls->head, cls->tail);
    device_destroy(cls, 20, kTag);
    device_destroy(nullptr, 20, kTag);
    win_free(cls, kTag);
    EXPECT_TRUE(host::PoolLeaks(host::ImageMain()).empty());
}

int g_setups;
void SetupNetDevice(struct net_device* dev)
{
    g_setups++;
    dev->name[0] = 'x'; // the name is copied after the setup routine
}

TEST(KalDevices, NetDeviceIsAlignedWithItsPrivateArea)
{
    struct net_device* dev = alloc_netdev(128, "ccmni_with_a_long_name", 0, SetupNetDevice, kTag);
    ASSERT_NE(nullptr, dev);
    EXPECT_EQ(0u, (ULONG_PTR)dev % 32);
    EXPECT_LT(dev->alloc_pad, 32);
    EXPECT_STREQ("ccmni_with_a_lo", dev->name);
    EXPECT_EQ(1, g_setups);
    EXPECT_EQ((u8*)dev + ALIGN_UP_BY(sizeof(struct net_device), 32), dev->priv);
    memset(dev->priv, 0xCC, 128); // all of it inside the allocation
    free_netdev(dev, kTag);

    struct net_device* bare = alloc_netdev(0, "ccmni0", 0, nullptr, kTag);
    ASSERT_NE(nullptr, bare);
    EXPECT_STREQ("ccmni0", bare->name);
    EXPECT_EQ(nullptr, bare->priv);
    free_netdev(bare, kTag);
    EXPECT_TRUE(host::PoolLeaks(host::ImageMain()).empty());
}

TEST(KalDevices, UserCopiesStayWithinTheDestination)
{
    const char source[8] = "abcdefg";
    char destination[8] = {};
    EXPECT_EQ(0u, copy_from_user(destination, source, 4));
    EXPECT_STREQ("abcd", destination);
    EXPECT_NE(0u, copy_to_user(destination, 4, source, 8));
    EXPECT_STREQ("abcd", destination);
    EXPECT_EQ(0u, copy_to_user(destination, sizeof(destination), source, 8));
    EXPECT_STREQ("abcdefg", destination);
    EXPECT_NE(0u, copy_from_user(nullptr, source, 1));
}

TEST(KalPci, UnregisteredBusDriverReleasesItsDeviceRecordThroughTheIpcGlue)
{
    constexpr u32 tag = 0x6D544B50; // 'PKTm'
    IPC_CONTEXT context = {};
    struct pci_driver driver = {};
    driver.name = "mdm_bus_driver";
    driver.dev = PcieCreateDevice(tag);
    ASSERT_NE(nullptr, driver.dev);
    driver.dev->IpcContext = &context;
    context.PciDevice = driver.dev;
    pci_unregister_driver(&driver, tag);
    EXPECT_EQ(nullptr, driver.dev);
    EXPECT_EQ(nullptr, context.PciDevice);
    // Nothing left to release the second time.
    pci_unregister_driver(&driver, tag);
}

} // namespace
