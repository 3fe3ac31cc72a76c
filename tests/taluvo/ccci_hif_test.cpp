// HIF dispatch over the path map {1, 0, 2, 3} on a probed modem: the records made and freed, which
// engine each operation reaches and what it returns, and a CLDMA instance's register blocks. (The
// doorbell HIF and the interrupt trampoline: ccci_hif_modem_test.)
#include "cldma_rig.h"

#include <host/image.h>
#include <host/pool.h>

#include "pcie_device.h"

namespace taluvotest
{
namespace
{

using namespace sim::modem;

class CcciHif : public CldmaRig
{
  protected:
    static void ExpectNoRecords()
    {
        for (u8 hif = 0; hif < CCCI_HIF_SLOTS; hif++) {
            EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, hif));
            EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, hif));
        }
    }
};

TEST_F(CcciHif, AllocMakesTheMdSapAndDoorbellRecords)
{
    struct { u8 hif; u32 a; u32 b; u32 source; } const instances[] = {
        {CLDMA_HIF_SAP, 0x49000, 0x21D000, 1},
        {CLDMA_HIF_MD, 0x4B000, 0x21F000, 2},
    };
    for (const auto& expected : instances) {
        SCOPED_TRACE(expected.hif);
        struct hif_hw_info* info = ccci_hif_get_hw_info(0, expected.hif);
        ASSERT_NE(nullptr, info);
        EXPECT_EQ(expected.hif, info->hif_id);
        EXPECT_EQ(Dev(), info->pcie_dev);
        EXPECT_EQ(Pdev(), info->pci_dev);
        auto* instance = static_cast<struct cldma_hw_instance*>(info->instance);
        ASSERT_NE(nullptr, instance);
        EXPECT_EQ(expected.hif, instance->hif_id);
        EXPECT_EQ(3u, instance->addr_mode);
        EXPECT_EQ(Dev()->bar2_base + expected.a, instance->base_a);
        EXPECT_EQ(Dev()->bar2_base + expected.b, instance->base_b);
        EXPECT_EQ(0x10000000u + expected.a, instance->modem_addr_a);
        EXPECT_EQ(expected.source, instance->irq_source);
        struct cldma_ctrl* ctrl = Ctrl(expected.hif);
        ASSERT_NE(nullptr, ctrl);
        EXPECT_EQ(instance, ctrl->hw);
        EXPECT_EQ(expected.hif, ctrl->hif_id);
        EXPECT_EQ(CLDMA_VARIANT_NONE, ctrl->variant);
    }

    auto* doorbell = static_cast<struct mhccif_hif_ctrl*>(ccci_hif_get_ctrl(0, MHCCIF_HIF_ID));
    struct hif_hw_info* info = ccci_hif_get_hw_info(0, MHCCIF_HIF_ID);
    ASSERT_NE(nullptr, doorbell);
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(MHCCIF_HIF_ID, info->hif_id);
    EXPECT_EQ(doorbell->companion, info->instance);
    EXPECT_NE(nullptr, info->ops);
    EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, DPMAIF_HIF_ID)); // path 2 needs no record here

    ccci_hif_free(0, 7);
    ccci_hif_free(0, 8);
    ExpectNoRecords();
}

TEST_F(CcciHif, FailedAllocStopsInPathOrderAndLeavesWhatWasMadeForTheFree)
{
    ccci_hif_free(0, 15);
    ExpectNoRecords();
    host::PoolFailTag(CLDMA_POOL_TAG, host::kFailAlways, 3); // after path 0's controller and its two hardware records: path 1's controller
    EXPECT_EQ(-1, ccci_hif_alloc(0, 15, Dev()));
    host::PoolFailTagClear(CLDMA_POOL_TAG);
    EXPECT_NE(nullptr, ccci_hif_get_ctrl(0, CLDMA_HIF_MD));
    EXPECT_EQ(nullptr, ccci_hif_get_ctrl(0, CLDMA_HIF_SAP));
    EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, CLDMA_HIF_SAP));
    EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, MHCCIF_HIF_ID)); // the walk stopped
    // Tear-down frees paths 0-2 and the doorbell HIF and finds nothing left.
}

TEST_F(CcciHif, HardwareRecordsNeedThePciDevice)
{
    ccci_hif_free(0, 7);
    struct mdm_pci_dev dev = *Dev();
    dev.pdev = nullptr;
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(0, CLDMA_HIF_SAP, &dev));
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(0, CLDMA_HIF_SAP, nullptr));
    EXPECT_EQ(nullptr, ccci_hif_get_hw_info(0, CLDMA_HIF_SAP));
    EXPECT_EQ(-1, ccci_hif_alloc(0, 2, &dev));
    EXPECT_EQ(nullptr, cldma_alloc(0, CLDMA_HIF_SAP, nullptr));
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(0, DPMAIF_HIF_ID, Dev()));
    EXPECT_EQ(nullptr, cldma_hw_info_alloc(1, CLDMA_HIF_SAP, Dev()));
    EXPECT_EQ(nullptr, cldma_alloc(1, CLDMA_HIF_SAP, Dev()));
}

TEST_F(CcciHif, PathsReachTheirEngine)
{
    EXPECT_EQ(0, ccci_hif_init(0, 15)); // DPMAIF and the doorbell HIF are passed over
    ClearWrites();
    EXPECT_EQ(0, ccci_hif_hw_init(0, 2));
    EXPECT_TRUE(Wrote(Writes(CLDMA_HIF_SAP), {CldmaBlock::B, cldma::kTxInit1, 1}));
    EXPECT_TRUE(Writes(CLDMA_HIF_MD).empty());

    ccci_hif_set_queue_variant(0, 0, 1); // path 0: the MD instance
    EXPECT_EQ(1, Ctrl(CLDMA_HIF_MD)->variant);
    EXPECT_EQ(CLDMA_VARIANT_NONE, Ctrl(CLDMA_HIF_SAP)->variant);
    EXPECT_EQ(0, ccci_hif_start(0, 3));
    EXPECT_EQ(0xFFu, Engine(CLDMA_HIF_MD).Read(CldmaBlock::A, cldma::kRxRunning));
    EXPECT_EQ(0u, Engine(CLDMA_HIF_SAP).Read(CldmaBlock::A, cldma::kRxRunning)); // no rings: not started

    // A stop that times out is reported, not returned.
    Engine(CLDMA_HIF_MD).SetStuckStop(CldmaDirection::Rx, 0x1);
    EXPECT_EQ(-35, cldma_stop(0, CLDMA_HIF_MD));
    EXPECT_EQ(0, ccci_hif_stop(0, 3));
    Engine(CLDMA_HIF_MD).SetStuckStop(CldmaDirection::Rx, 0);

    ccci_hif_reset(0, 1, 0);
    EXPECT_EQ(CLDMA_VARIANT_NONE, Ctrl(CLDMA_HIF_MD)->variant);
    EXPECT_EQ(0, Ctrl(CLDMA_HIF_MD)->rings_ready);
    EXPECT_EQ(0, ccci_hif_exception_stage(0, 3, 1));
    EXPECT_EQ(0, ccci_hif_dump_status(0, 3, 0x80000, 0, 0));
    EXPECT_EQ(nullptr, ccci_hif_get_shared_area(0, 15));
}

TEST_F(CcciHif, MaskOperationsStopAtTheFirstNonZero)
{
    doubles::Modem().exists = false; // init needs the modem object
    EXPECT_EQ(-1, ccci_hif_init(0, 3));
    EXPECT_EQ(nullptr, Ctrl(CLDMA_HIF_MD)->pm_entity);
    EXPECT_EQ(nullptr, Ctrl(CLDMA_HIF_SAP)->pm_entity) << "the walk stopped at the MD instance";

    EXPECT_EQ(-1, ccci_hif_start(1, 3)); // no modem 1
    hif_path_map[0][1] = 7;              // an id out of range
    EXPECT_EQ(-1, ccci_hif_start(0, 2));
    hif_path_map[0][1] = 0;
    ccci_hif_free(0, 2);
    EXPECT_EQ(-1, ccci_hif_start(0, 2)); // no controller
    EXPECT_EQ(-1, ccci_hif_exception_stage(0, 2, 0));
    EXPECT_EQ(0, ccci_hif_stop(0, 2));
}

TEST_F(CcciHif, OnePathOperations)
{
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
} // namespace taluvotest
