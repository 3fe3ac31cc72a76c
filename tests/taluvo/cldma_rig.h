// The CLDMA instances on a probed simulated modem: the HIF records made through the dispatch with the
// path map {1, 0, 2, 3}, a modem object, the buffer pools, and the engines' write logs. The engines run
// stepped by the test unless a fixture asks for their threads.
#pragma once

#include "pcie_rig.h"

#include "ccci_bm.h"
#include "cldma.h"
#include "doubles/core_start.h"
#include "doubles/fsm.h"
#include "doubles/modem_object.h"
#include "hif/ccci_hif.h"

#include <host/host.h>

#include <algorithm>
#include <vector>

namespace taluvotest
{

class CldmaRig : public PcieRig
{
  protected:
    virtual sim::pci::ExecutionMode Execution() const { return sim::pci::ExecutionMode::Step; }

    void SetUp() override
    {
        PcieRig::SetUp();
        doubles::FsmState() = {};
        doubles::Modem() = {};
        sim::modem::ModemConfig config;
        config.execution = Execution();
        ASSERT_EQ(STATUS_SUCCESS, Start(config));
        ASSERT_EQ(0, ccci_bm_init());
        const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
        memcpy(hif_path_map[0], map, sizeof(map));
        Dev()->md = reinterpret_cast<struct ccci_md*>(&modemObject_); // opaque: the doubles answer for it
        ASSERT_EQ(0, ccci_hif_alloc(0, 15, Dev()));
    }

    void TearDown() override
    {
        ccci_hif_free(0, 7);
        ccci_hif_free(0, 8);
        host::Quiesce();
        ccci_bm_exit();
        PcieRig::TearDown();
    }

    static struct cldma_ctrl* Ctrl(u8 hif) { return cldma_get_ctrl(0, hif); }
    static sim::modem::CldmaEngine& Engine(u8 hif)
    {
        return hif == CLDMA_HIF_MD ? Modem().CldmaMd() : Modem().CldmaSap();
    }
    // The engine's register writes since the last call.
    static std::vector<sim::modem::CldmaWrite> Writes(u8 hif)
    {
        std::vector<sim::modem::CldmaWrite> writes = Engine(hif).Writes();
        Engine(hif).ClearWrites();
        return writes;
    }
    static bool Wrote(const std::vector<sim::modem::CldmaWrite>& writes, const sim::modem::CldmaWrite& write)
    {
        return std::find(writes.begin(), writes.end(), write) != writes.end();
    }
    // Both engines' register writes forgotten.
    static void ClearWrites()
    {
        Engine(CLDMA_HIF_SAP).ClearWrites();
        Engine(CLDMA_HIF_MD).ClearWrites();
    }

  private:
    int modemObject_ = 0;
};

} // namespace taluvotest
