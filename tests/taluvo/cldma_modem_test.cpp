// The CLDMA send path on the probed modem: with the sleep protocol active, the resource request reaches
// the MAC before the engine's command, and the lock is released when the send returns.
#include "pcie_rig.h"

#include <algorithm>

#include "ccci_bm.h"
#include "hif/ccci_hif.h"
#include "pcie_mac.h"
#include "pcie_pm.h"
#include "sim/modem/address_map.h"

namespace taluvotest
{
namespace
{

using namespace sim::modem;

class CldmaOnModem : public PcieRig
{
  protected:
    void SetUp() override
    {
        PcieRig::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Start());
        ASSERT_EQ(0, ccci_bm_init());
        hw_ = cldma_hw_info_alloc(0, CLDMA_HIF_SAP, Dev());
        ASSERT_NE(nullptr, hw_);
        static int md;
        ASSERT_EQ(0, cldma_ctrl_setup(&ctrl_, reinterpret_cast<struct ccci_md*>(&md), 0, CLDMA_HIF_SAP, hw_, &node_));
        ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, &ctrl_, nullptr);
        ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    }
    void TearDown() override
    {
        cldma_free_rings(&ctrl_);
        ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, nullptr, nullptr);
        cldma_ctrl_teardown(&ctrl_);
        cldma_hw_info_free(0, CLDMA_HIF_SAP);
        ccci_bm_exit();
        PcieRig::TearDown();
    }

    struct device_node node_ = {};
    struct cldma_hw_instance* hw_ = nullptr;
    struct cldma_ctrl ctrl_ = {};
};

TEST_F(CldmaOnModem, ASendHoldsTheSleepLockAroundItsCommand)
{
    ASSERT_EQ(0, mdm_pci_pm_init_late(Dev())); // the sleep protocol is active from here on
    struct cldma_queue* queue = &ctrl_.queues[1];
    cldma_hw_set_start_addr(hw_, 1, queue->tx_done->gpd_addr, false);
    ctrl_.tx_active = 1u << 1;
    Modem().ClearWrites();

    struct sk_buff* skb = bm_alloc_skb(SKB_3_5K, true, true, CLDMA_POOL_TAG);
    skb_put(skb, 32);
    ASSERT_EQ(0, cldma_send_skb(0, CLDMA_HIF_SAP, 1, skb, 1, 0));
    EXPECT_EQ(0, Dev()->res_lock_count);

    const std::vector<RegisterWrite> writes = Modem().Writes();
    auto request = std::find_if(writes.begin(), writes.end(), [](const RegisterWrite& w) {
        return w.bar == kBarMac && w.offset == MAC_RES_LOCK && (w.value & MAC_RES_LOCK_REQUEST) != 0;
    });
    auto start = std::find(writes.begin(), writes.end(),
                           RegisterWrite{kBarWindow, kCldmaSapB + CLDMA_B_TX_START_CMD, 1u << 1});
    ASSERT_NE(writes.end(), request);
    ASSERT_NE(writes.end(), start);
    EXPECT_LT(request, start);
    EXPECT_TRUE(WaitFor([&] { return cldma_tx_budget(0, CLDMA_HIF_SAP, 1) == 15 && queue->tx_done->gpd->flags == CLDMA_GPD_TX_FLAGS; }));
}

} // namespace
} // namespace taluvotest
