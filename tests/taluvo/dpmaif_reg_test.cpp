// The DPMAIF register-level operations against the simulated engine: the writes each one makes, in
// order, what the start programs, the interrupt status decode, and the busy and invalid cases.
#include <gtest/gtest.h>

#include <host/trace.h>

#include <functional>
#include <utility>
#include <vector>

#include "doubles/core_start.h"
#include "dpmaif_sim.h"

namespace
{

using namespace sim::modem;
using dpmaifsim::DpmaifTest;
using Writes = std::vector<std::pair<ULONG, ULONG>>;

class DpmaifRegTest : public DpmaifTest
{
  protected:
    Writes Logged()
    {
        Writes writes;
        for (const DpmaifWrite& write : Engine().Writes())
            writes.emplace_back(write.Address(), write.value);
        return writes;
    }
    Writes Run(const std::function<void(struct dpmaif_hw_info*)>& operation)
    {
        Engine().ClearWrites();
        operation(hw());
        return Logged();
    }
    bool Wrote(ULONG address, ULONG value)
    {
        for (const auto& write : Logged())
            if (write == std::make_pair(address, value))
                return true;
        return false;
    }
    static struct dpmaif_ring_params Params()
    {
        struct dpmaif_ring_params params = {};
        for (u32 q = 0; q < DPMAIF_TXQ_NUM; q++) {
            params.drb_dma[q] = 0x100000000ull + 0x20000ull * q;
            params.drb_length[q] = DPMAIF_DRB_LENGTH;
        }
        for (u32 q = 0; q < DPMAIF_RXQ_NUM; q++) {
            params.bat_dma[q] = 0x200000000ull;
            params.bat_length[q] = DPMAIF_BAT_LENGTH;
            params.frag_dma[q] = 0x210000000ull;
            params.frag_length[q] = DPMAIF_FRAG_LENGTH;
            params.pit_dma[q] = 0x300000000ull + 0x40000ull * q;
            params.pit_length[q] = DPMAIF_PIT_LENGTH;
        }
        return params;
    }
};

TEST_F(DpmaifRegTest, EachOperationWritesItsRegistersInOrder)
{
    struct Case {
        const char* name;
        std::function<void(struct dpmaif_hw_info*)> operation;
        Writes writes;
    };
    const std::vector<Case> cases = {
        {"DRB add-count q2", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_ul_add_drb_cnt(hw, 2, 24)); },
         {{0x1022D0B8, 0x80000018}}},
        {"BAT add-count", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_dl_add_bat_cnt(hw, 0, 30)); },
         {{0x1022D104, 0x8000001E}}},
        {"fragment add-count", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_dl_add_frag_cnt(hw, 0, 5)); },
         {{0x1022D104, 0x80010005}}},
        {"PIT add-count q1", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_dl_add_pit_cnt(hw, 1, 60)); },
         {{0x1022D910, 0x8010003C}}},
        {"BAT enable", [](auto hw) { dpmaif_hw_dl_bat_en(hw, true); }, {{0x1022D10C, 0x10000}, {0x1022D100, 0x80000000}}},
        {"BAT disable", [](auto hw) { dpmaif_hw_dl_bat_en(hw, false); }, {{0x1022D10C, 0}, {0x1022D100, 0x80000000}}},
        {"downlink enable", [](auto hw) { dpmaif_hw_dl_enable(hw); },
         {{0x1001401C, 0xF00}, {0x1022D10C, 0x10000}, {0x1022D100, 0x80000000}}},
        {"uplink stop", [](auto hw) { dpmaif_hw_ul_stop(hw); }, {{0x1001401C, 0}}},
        {"downlink stop", [](auto hw) { dpmaif_hw_dl_stop(hw); }, {{0x1022D10C, 0}, {0x1022D100, 0x80000000}}},
        {"uplink mask 0-4", [](auto hw) { dpmaif_hw_ul_mask(hw, 0x1F); },
         {{0x10014088, 1}, {0x10014088, 2}, {0x10014088, 4}, {0x10014088, 8}}},
        {"uplink unmask 2", [](auto hw) { dpmaif_hw_ul_unmask(hw, 2); }, {{0x10014084, 4}}},
        {"uplink unmask 4", [](auto hw) { dpmaif_hw_ul_unmask(hw, 4); }, {}},
        {"done mask q1", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_dl_done_mask(hw, 1)); }, {{0x10014098, 0x200}}},
        {"done unmask q0", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_dl_done_unmask(hw, 0)); }, {{0x10014094, 0x100}}},
        {"event unmask q0", [](auto hw) { dpmaif_hw_dl_event_unmask(hw, 0); }, {{0x10014094, 0x400}}},
        {"event unmask q1", [](auto hw) { dpmaif_hw_dl_event_unmask(hw, 1); }, {{0x10014094, 0x800}}},
        {"cause 2 unmask", [](auto hw) { dpmaif_hw_dl_cause_unmask2(hw); }, {{0x10014094, 4}}},
        {"cause 3 unmask", [](auto hw) { dpmaif_hw_dl_cause_unmask3(hw); }, {{0x10014094, 8}}},
        {"downlink status clear", [](auto hw) { dpmaif_hw_dl_status_clear(hw); }, {{0x1022D450, 0xFFFFFFFF}}},
        {"uplink status clear", [](auto hw) { dpmaif_hw_ul_status_clear(hw); }, {{0x1022D400, 0xFFFFFFFF}}},
        {"status refresh", [](auto hw) { dpmaif_hw_dl_status_refresh(hw); }, {{0x1022D460, 0}}},
        {"uplink done ack, none", [](auto hw) { EXPECT_EQ(0, dpmaif_hw_ul_done_ack(hw, 1)); }, {}},
    };
    for (const Case& c : cases) {
        Engine().LoseConfiguration();
        EXPECT_EQ(c.writes, Run(c.operation)) << c.name;
    }
}

TEST_F(DpmaifRegTest, StartProgramsEveryRingAndEnablesTheQueues)
{
    const struct dpmaif_ring_params params = Params();
    Engine().ClearWrites();
    dpmaif_hw_start(hw(), &params);

    Writes writes = Logged();
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ((Writes{{0x10001140, 64}, {0x10001150, 4}, {0x10001144, 64}, {0x10001154, 4}}),
              Writes(writes.begin(), writes.begin() + 4));
    EXPECT_EQ((std::pair<ULONG, ULONG>{0x10014400, 1}), writes.back());

    EXPECT_EQ(params.bat_dma[0], Engine().Bat(false).base);
    EXPECT_EQ(params.bat_length[0], Engine().Bat(false).length);
    EXPECT_EQ(params.frag_dma[0], Engine().Bat(true).base);
    EXPECT_EQ(params.frag_length[0], Engine().Bat(true).length);
    EXPECT_TRUE(Engine().BatEnabled());
    for (u32 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        EXPECT_EQ(params.pit_dma[q], Engine().Pit(q).base) << q;
        EXPECT_EQ(params.pit_length[q], Engine().Pit(q).length) << q;
    }
    for (u32 q = 0; q < DPMAIF_TXQ_NUM; q++) {
        EXPECT_EQ(params.drb_dma[q], Engine().Drb(q).base) << q;
        EXPECT_EQ(params.drb_length[q], Engine().Drb(q).length) << q;
    }
    EXPECT_EQ(0x1F1Fu, Engine().Peek(0x1001401C) & 0x1F1F);
    EXPECT_EQ(1u, Engine().Peek(0x10014000));
    EXPECT_EQ(64u | 28u << 8 | 124u << 24, Engine().Peek(0x1022DC08));
    EXPECT_EQ(3u | 1u << 8 | 1u << 28, Engine().Peek(0x1022DC10));
    EXPECT_EQ(1u << 30 | 1u << 13 | 62u << 16 | 2u << 22 | 1u << 31, Engine().Peek(0x1022DC0C));
    EXPECT_EQ(0x400u | 1u << 16, Engine().Peek(0x1022DC00));
    EXPECT_EQ(3080u, Engine().Peek(0x1022DC04));
    EXPECT_EQ((u32)DPMAIF_UL_IRQ_INIT, (u32)hw()->ul_irq_enabled);
    EXPECT_EQ((u32)DPMAIF_DL_IRQ_INIT, (u32)hw()->dl_irq_flags);
    // The host's done interrupts end up unmasked, everything else masked.
    EXPECT_EQ(0u, Engine().Peek(0x10014080) & DPMAIF_UL_IRQ_INIT);
    EXPECT_EQ(0u, Engine().Peek(0x10014090) & DPMAIF_DL_IRQ_INIT);
}

TEST_F(DpmaifRegTest, StatusDecodesIntoRecordsAndMasksWhatItReports)
{
    struct Case {
        const char* name;
        u8 q;
        ULONG dl, ul;
        bool done_masked;
        std::vector<std::pair<u32, u32>> records;
        Writes writes; // expected among the decode's writes
        u16 spurious;
    };
    const std::vector<Case> cases = {
        {"uplink bits 0 and 6", 0, 0, 0x41, false, {{1, 1}, {2, 2}}, {{0x10014088, 1}, {0x1022D400, 0x41}}, 0},
        {"q0 event and done", 0, 0x2100, 0, false, {{14, 1}, {17, 1}},
         {{0x10014098, 0x400}, {0x10014098, 0x100}, {0x1022D450, 0x2104}}, 0},
        {"q0 lone done while masked", 0, 0x2000, 0, true, {}, {}, 1},
        {"q0 event with done masked", 0, 0x2100, 0, true, {{14, 1}}, {{0x1022D450, 0x104}}, 0},
        {"q1 event and done", 1, 0x4200, 0, false, {{15, 2}, {18, 2}},
         {{0x10014098, 0x800}, {0x10014098, 0x200}, {0x1022D450, 0x4204}}, 0},
        {"q1 lone done while masked", 1, 0x4000, 0x1, true, {}, {}, 1},
    };
    for (const Case& c : cases) {
        Engine().LoseConfiguration();
        hw()->dl_done_spurious[c.q] = 0;
        if (c.done_masked) {
            ASSERT_EQ(0, dpmaif_hw_dl_done_mask(hw(), c.q));
        }
        Engine().RaiseStatus(c.dl, c.ul);
        Engine().ClearWrites();
        struct dpmaif_irq_status record;
        int count = drv_dpmaif_hw_get_interrupt_status(hw(), &record, c.q);
        std::vector<std::pair<u32, u32>> records;
        for (u32 i = 0; i < record.count; i++)
            records.emplace_back(record.type[i], record.value[i]);
        EXPECT_EQ((int)c.records.size(), count) << c.name;
        EXPECT_EQ(c.records, records) << c.name;
        for (const auto& write : c.writes)
            EXPECT_TRUE(Wrote(write.first, write.second)) << c.name << " " << std::hex << write.first;
        EXPECT_EQ(c.spurious, hw()->dl_done_spurious[c.q]) << c.name;
    }
    // The uplink done of queue 0 stays masked until the done timer unmasks it.
    EXPECT_EQ(-1, drv_dpmaif_hw_get_interrupt_status(hw(), nullptr, 0));
}

TEST_F(DpmaifRegTest, TheHundredthSpuriousDoneIsReported)
{
    ASSERT_EQ(0, dpmaif_hw_dl_done_mask(hw(), 0));
    struct dpmaif_irq_status record;
    for (int i = 1; i < DPMAIF_SPURIOUS_REPORT; i++) {
        Engine().RaiseStatus(0x2000, 0);
        drv_dpmaif_hw_get_interrupt_status(hw(), &record, 0);
    }
    EXPECT_TRUE(host::TraceFind(HW_DPMAIF_TAG).empty());
    Engine().RaiseStatus(0x2000, 0);
    EXPECT_EQ(0, drv_dpmaif_hw_get_interrupt_status(hw(), &record, 0));
    EXPECT_EQ(1u, host::TraceFind(HW_DPMAIF_TAG).size());
    // Masking again starts the count afresh.
    ASSERT_EQ(0, dpmaif_hw_dl_done_mask(hw(), 0));
    EXPECT_EQ(0, hw()->dl_done_spurious[0]);
}

TEST_F(DpmaifRegTest, AStuckBusyBitFailsTheAddCountWithoutWriting)
{
    struct Case {
        const char* name;
        ULONG address;
        std::function<int(struct dpmaif_hw_info*)> add;
    };
    const std::vector<Case> cases = {
        {"BAT", 0x1022D104, [](auto hw) { return dpmaif_hw_dl_add_bat_cnt(hw, 0, 30); }},
        {"fragment", 0x1022D104, [](auto hw) { return dpmaif_hw_dl_add_frag_cnt(hw, 0, 30); }},
        {"PIT", 0x1022D910, [](auto hw) { return dpmaif_hw_dl_add_pit_cnt(hw, 0, 60); }},
        {"DRB q1", 0x1022D0B4, [](auto hw) { return dpmaif_hw_ul_add_drb_cnt(hw, 1, 8); }},
    };
    for (const Case& c : cases) {
        Engine().LoseConfiguration();
        Engine().SetStuckBusy(c.address, true);
        int result = 0;
        EXPECT_EQ(Writes{}, Run([&](auto hw) { result = c.add(hw); })) << c.name;
        EXPECT_EQ(DPMAIF_ETIMEDOUT, result) << c.name;
        Engine().SetStuckBusy(c.address, false);
    }
}

TEST_F(DpmaifRegTest, IndexReadsAndTheResetHoldBack)
{
    Engine().SetDrbReadIndexInvalid(3, true);
    EXPECT_EQ((u32)DPMAIF_DRB_RD_INVALID, dpmaif_hw_get_drb_rd_idx(hw(), 3));
    EXPECT_EQ(0u, dpmaif_hw_get_drb_rd_idx(hw(), 2));

    // While the modem's reset interrupt is pending the BAT command is not sent.
    doubles::Core() = {};
    doubles::Core().rgu_pending = true;
    hw()->md = reinterpret_cast<struct ccci_md*>(hw());
    EXPECT_EQ((Writes{{0x1022D10C, 0x10000}}), Run([](auto hw) { dpmaif_hw_dl_bat_en(hw, true); }));
    doubles::Core() = {};
}

} // namespace
