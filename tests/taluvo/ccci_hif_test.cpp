// HIF dispatch over the path map {1, 0, 2, 3}: the records made and freed, which engine each operation
// reaches and what it returns, and a CLDMA instance's register blocks. (The doorbell HIF and the
// interrupt trampoline run against the simulated modem: ccci_hif_modem_test.)
#include <gtest/gtest.h>

#include <host/image.h>
#include <host/pool.h>

#include <string>
#include <vector>

#include "cldma_engine.h"
#include "hif/ccci_hif.h"
#include "pcie_device.h"

namespace
{

using Calls = std::vector<std::string>;

class CcciHif : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        doubles::ResetCldma();
        const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
        memcpy(hif_path_map[0], map, sizeof(map));
        dev_.pdev = reinterpret_cast<IPC_PCI_DEVICE*>(&pci_);
        dev_.bar2_base = window_.data();
        dev_.atr_base = MDM_ATR_BASE;
    }

    void TearDown() override
    {
        ccci_hif_free(0, 7);
        ccci_hif_free(0, 8);
        for (u8 hif = 0; hif < CCCI_HIF_SLOTS; hif++) {
            EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, hif));
            EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, hif));
        }
        for (const host::PoolLeak& leak : host::PoolLeaks(host::ImageMain()))
            ADD_FAILURE() << "pool left: '" << host::PoolTagText(leak.tag) << "', " << leak.count << " blocks";
    }

    static Calls Take(std::vector<std::string>& log)
    {
        Calls calls = log;
        log.clear();
        return calls;
    }

    void Alloc() { ASSERT_EQ(0, ccci_hif_alloc(0, 15, &dev_)); doubles::CldmaCalls().clear(); }

    int pci_ = 0;
    std::vector<u8> window_ = std::vector<u8>(MDM_ATR_WINDOW);
    struct mdm_pci_dev dev_ = {};
};

TEST_F(CcciHif, AllocMakesTheMdSapAndDoorbellRecordsInPathOrder)
{
    ASSERT_EQ(0, ccci_hif_alloc(0, 15, &dev_));
    EXPECT_EQ((Calls{"alloc 1", "alloc 0"}), Take(doubles::CldmaCalls()));

    struct { u8 hif; u32 a; u32 b; u32 source; } const instances[] = {
        {CLDMA_HIF_SAP, 0x49000, 0x21D000, 1},
        {CLDMA_HIF_MD, 0x4B000, 0x21F000, 2},
    };
    for (const auto& expected : instances) {
        SCOPED_TRACE(expected.hif);
        struct hif_hw_info* info = ccci_hif_get_hw_info(0, expected.hif);
        ASSERT_NE(nullptr, info);
        EXPECT_EQ(expected.hif, info->hif_id);
        EXPECT_EQ(&dev_, info->pcie_dev);
        EXPECT_EQ(dev_.pdev, info->pci_dev);
        auto* instance = static_cast<struct cldma_hw_instance*>(info->instance);
        ASSERT_NE(nullptr, instance);
        EXPECT_EQ(expected.hif, instance->hif_id);
        EXPECT_EQ(3u, instance->addr_mode);
        EXPECT_EQ(window_.data() + expected.a, instance->base_a);
        EXPECT_EQ(window_.data() + expected.b, instance->base_b);
        EXPECT_EQ(0x10000000u + expected.a, instance->modem_addr_a);
        EXPECT_EQ(expected.source, instance->irq_source);
    }

    auto* doorbell = static_cast<struct mhccif_hif_ctrl*>(ccci_hif_get_ctrl(0, MHCCIF_HIF_ID));
    struct hif_hw_info* info = ccci_hif_get_hw_info(0, MHCCIF_HIF_ID);
    ASSERT_NE(nullptr, doorbell);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(MHCCIF_HIF_ID, info->hif_id);
    EXPECT_EQ(doorbell->companion, info->instance);
    EXPECT_NE(nullptr, info->ops);
    EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, DPMAIF_HIF_ID)); // path 2 needs no record here
}

TEST_F(CcciHif, FailedAllocLeavesWhatWasMadeForTheFree)
{
    doubles::SetCldmaResult("alloc", CLDMA_HIF_SAP, -1);
    EXPECT_EQ(-1, ccci_hif_alloc(0, 15, &dev_));
    EXPECT_NE(nullptr, ccci_hif_get_ctrl(0, CLDMA_HIF_MD));
    EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, MHCCIF_HIF_ID)); // the walk stopped
    // Tear-down frees paths 0-2 and the doorbell HIF and finds nothing left.
}

TEST_F(CcciHif, HardwareRecordsNeedThePciDevice)
{
    dev_.pdev = nullptr;
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(0, CLDMA_HIF_SAP, &dev_));
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(0, CLDMA_HIF_SAP, nullptr));
    EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, CLDMA_HIF_SAP));
    EXPECT_EQ(-1, ccci_hif_alloc(0, 2, &dev_));
    dev_.pdev = reinterpret_cast<IPC_PCI_DEVICE*>(&pci_);
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(0, DPMAIF_HIF_ID, &dev_));
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(1, CLDMA_HIF_SAP, &dev_));
}

TEST_F(CcciHif, PathsReachTheirEngine)
{
    Alloc();
    EXPECT_EQ(0, ccci_hif_send_skb(0, 1, 0, nullptr, 0, 0));
    EXPECT_EQ(0, ccci_hif_send_skb(0, 2, 0, nullptr, 0, 0));
    EXPECT_EQ(0, ccci_hif_dump_status(0, 3, 0x80000, 0, 0));
    ccci_hif_reset(0, 7, 0);
    EXPECT_EQ(0, ccci_hif_init(0, 15)); // DPMAIF and the doorbell HIF are passed over
    EXPECT_EQ(0, ccci_hif_hw_init(0, 2));
    EXPECT_EQ(0, ccci_hif_exception_stage(0, 1, 1));
    EXPECT_EQ((Calls{"send_skb 1", "send_skb 0", "dump_status 1", "dump_status 0", "reset 1", "reset 0",
                     "init 1", "init 0", "hw_reinit 0", "exception_stage 1"}),
              Take(doubles::CldmaCalls()));
    EXPECT_EQ(nullptr, ccci_hif_get_shared_area(0, 15));
}

TEST_F(CcciHif, MaskOperationsStopAtTheFirstNonZero)
{
    Alloc();
    doubles::SetCldmaResult("start", CLDMA_HIF_MD, -5);
    EXPECT_EQ(-5, ccci_hif_start(0, 3));
    EXPECT_EQ((Calls{"start 1"}), Take(doubles::CldmaCalls()));

    doubles::SetCldmaResult("stop", CLDMA_HIF_MD, -35);
    doubles::SetCldmaResult("stop", CLDMA_HIF_SAP, -1);
    EXPECT_EQ(0, ccci_hif_stop(0, 3));
    EXPECT_EQ((Calls{"stop 1", "stop 0"}), Take(doubles::CldmaCalls()));

    EXPECT_EQ(-1, ccci_hif_start(1, 3)); // no modem 1
    hif_path_map[0][1] = 7;              // an id out of range
    EXPECT_EQ(-1, ccci_hif_start(0, 2));
    hif_path_map[0][1] = 0;
    ccci_hif_free(0, 2);
    EXPECT_EQ(-1, ccci_hif_start(0, 2)); // no controller
    EXPECT_EQ((Calls{"free 0"}), Take(doubles::CldmaCalls()));
}

TEST_F(CcciHif, OnePathOperations)
{
    Alloc();
    // Paths 0 and 1 reach the CLDMA engine itself (write room, queue variant); the dispatch answers the
    // others, and another modem is refused rather than read out of the map.
    struct {
        u8 md;
        u32 path;
        int txMax;
    } const cases[] = {
        {0, 0, 3584}, {0, 1, 3584}, {0, 2, 3568}, {0, 3, 3568}, {0, 4, 3568}, {1, 0, 3568},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "md " << int(c.md) << " path " << c.path);
        EXPECT_EQ(c.txMax, ccci_hif_get_tx_max_size(c.md, c.path, 2));
        if (c.md != 0 || c.path >= 2) {
            EXPECT_EQ(0, ccci_hif_write_room(c.md, c.path, 2));
        }
    }
    // The boot-ROM variant's download queue.
    ASSERT_EQ(0, cldma_apply_queue_variant(2));
    EXPECT_EQ(2048, ccci_hif_get_tx_max_size(0, 1, 0));
    EXPECT_EQ(3584, ccci_hif_get_tx_max_size(0, 1, 0xFF));
    ASSERT_EQ(0, cldma_apply_queue_variant(0));
}

} // namespace
