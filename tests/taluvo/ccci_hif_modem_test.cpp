// The HIF records on a probed modem: the doorbell HIF rings the modem per handshake stage, and a CLDMA
// instance's interrupt trampoline masks and acknowledges its source at the MAC around the handler.
#include "pcie_rig.h"

#include "hif/ccci_hif.h"
#include "mhccif.h"
#include "pcie_mac.h"

namespace taluvotest
{
namespace
{

using Writes = std::vector<std::pair<ULONG, ULONG>>;

class HifOnModem : public PcieRig
{
  protected:
    void SetUp() override
    {
        PcieRig::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Start());
        const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
        memcpy(hif_path_map[0], map, sizeof(map));
        ASSERT_EQ(0, ccci_hif_alloc(0, 15, Dev()));
    }
    void TearDown() override
    {
        ccci_hif_free(0, 7);
        ccci_hif_free(0, 8);
        PcieRig::TearDown();
    }

    // The doorbell numbers rung since the last call.
    static std::vector<ULONG> Rung()
    {
        std::vector<ULONG> rung;
        for (const auto& [offset, value] : DoorbellWrites())
            if (offset == MHCCIF_H2D_NUMBER)
                rung.push_back(value);
        Modem().ClearWrites();
        return rung;
    }
};

TEST_F(HifOnModem, DoorbellHifRingsPerStage)
{
    Modem().ClearWrites();
    struct {
        u8 hif;
        int stage;
        std::vector<ULONG> rung;
    } const cases[] = {
        {MHCCIF_HIF_ID, 0, {1}}, {MHCCIF_HIF_ID, 3, {2}}, {MHCCIF_HIF_ID, 5, {}}, {CLDMA_HIF_MD, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "hif " << int(c.hif) << " stage " << c.stage);
        EXPECT_EQ(0, ccci_hif_send_doorbell(0, c.hif, c.stage));
        EXPECT_EQ(c.rung, Rung());
    }
    EXPECT_EQ(0u, ccci_hif_get_doorbell_status(0, CLDMA_HIF_SAP));

    ccci_hif_free(0, 8);
    EXPECT_EQ(-1, ccci_hif_send_doorbell(0, MHCCIF_HIF_ID, 0));
    EXPECT_EQ(0u, ccci_hif_get_doorbell_status(0, MHCCIF_HIF_ID));
    EXPECT_TRUE(Rung().empty());
}

size_t g_handlerAt;
struct hif_hw_info* g_info;

TEST_F(HifOnModem, TrampolineMasksAndAcknowledgesAroundTheHandler)
{
    const ULONG bit = 1u << (24 + 2); // the MD instance's source
    struct hif_hw_info* info = ccci_hif_get_hw_info(0, CLDMA_HIF_MD);
    ASSERT_NE(nullptr, info);
    g_info = info;
    static int result = 7;
    Modem().ClearWrites();
    EXPECT_EQ(0, info->register_irq_handler(
                     info,
                     [](void* r) {
                         g_handlerAt = MacWrites().size();
                         return *static_cast<int*>(r);
                     },
                     &result));
    EXPECT_EQ((Writes{{MAC_MSIX_STATUS, bit}}), MacWrites());
    Modem().ClearWrites();
    info->enable_irq(info);
    EXPECT_EQ((Writes{{MAC_MSIX_UNMASK, bit}}), MacWrites());

    Modem().ClearWrites();
    EXPECT_EQ(7, hif_irq_trampoline(info));
    EXPECT_EQ((Writes{{MAC_MSIX_MASK, bit}, {MAC_MSIX_STATUS, bit}, {MAC_MSIX_STATUS, bit}, {MAC_MSIX_UNMASK, bit}}),
              MacWrites());
    EXPECT_EQ(2u, g_handlerAt) << "the handler runs between the two acknowledgements";

    // Disabled meanwhile (here: by the handler): the source stays masked.
    info->irq_handler = [](void*) {
        g_info->disable_irq(g_info);
        return 0;
    };
    Modem().ClearWrites();
    EXPECT_EQ(0, hif_irq_trampoline(info));
    EXPECT_EQ((Writes{{MAC_MSIX_MASK, bit}, {MAC_MSIX_STATUS, bit}, {MAC_MSIX_MASK, bit}, {MAC_MSIX_STATUS, bit}}),
              MacWrites());
}

} // namespace
} // namespace taluvotest
