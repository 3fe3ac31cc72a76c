// The CLDMA register-level operations against the simulated engines: the writes each one makes, in
// order, and what the reads report.
#include <gtest/gtest.h>

#include <host/trace.h>

#include <functional>
#include <mutex>
#include <regex>
#include <vector>

#include "cldma_sim.h"

namespace
{

using namespace sim::modem;
using W = CldmaWrite;
constexpr CldmaBlock A = CldmaBlock::A;
constexpr CldmaBlock B = CldmaBlock::B;

class CldmaRegTest : public ::testing::Test
{
  protected:
    std::vector<CldmaWrite> Run(const std::function<void(const cldma_hw_instance*)>& operation,
                                u32 hif_id = CLDMA_HIF_SAP)
    {
        window_.Engine(hif_id).ClearWrites();
        operation(&window_.Hw(hif_id));
        return window_.Engine(hif_id).Writes();
    }

    cldmasim::ModemWindow window_;
};

TEST_F(CldmaRegTest, EachOperationWritesItsRegistersInOrder)
{
    struct Case {
        const char* name;
        std::function<void(const cldma_hw_instance*)> operation;
        std::vector<CldmaWrite> writes;
    };
    const std::vector<Case> cases = {
        {"start tx 2", [](auto hw) { cldma_hw_start_queue(hw, 2, false); }, {W{B, 0x088, 0x4}}},
        {"start rx all", [](auto hw) { cldma_hw_start_queue(hw, 0xFF, true); }, {W{B, 0x5BC, 0xFF}}},
        {"resume tx 3", [](auto hw) { cldma_hw_resume_queue(hw, 3, false); }, {W{B, 0x08C, 0x8}}},
        {"resume rx 1", [](auto hw) { cldma_hw_resume_queue(hw, 1, true); }, {W{B, 0x5C0, 0x2}}},
        {"stop tx all", [](auto hw) { cldma_hw_stop_queue(hw, 0xFF, false); }, {W{B, 0x090, 0xFF}}},
        {"stop rx 7", [](auto hw) { cldma_hw_stop_queue(hw, 7, true); }, {W{B, 0x5C4, 0x80}}},
        {"start address tx 2",
         [](auto hw) { cldma_hw_set_start_addr(hw, 2, 0x123456789AULL, false); },
         {W{B, 0x014, 0x3456789A}, W{B, 0x018, 0x12}}},
        {"start address rx 1",
         [](auto hw) { cldma_hw_set_start_addr(hw, 1, 0xABCDEF00ULL, true); },
         {W{A, 0x480, 0xABCDEF00}, W{A, 0x484, 0}}},
        {"unmask done tx 1", [](auto hw) { cldma_hw_unmask_done(hw, 1, false); }, {W{B, 0x820, 0x2}}},
        {"unmask done rx all", [](auto hw) { cldma_hw_unmask_done(hw, 0xFF, true); }, {W{A, 0x860, 0xFF}}},
        {"unmask empty tx 3", [](auto hw) { cldma_hw_unmask_empty(hw, 3, false); }, {W{B, 0x820, 0x800}}},
        {"unmask empty rx all", [](auto hw) { cldma_hw_unmask_empty(hw, 0xFF, true); }, {W{A, 0x860, 0xFF00}}},
        {"mask done rx all", [](auto hw) { cldma_hw_mask_done(hw, 0xFF, true); }, {W{A, 0x868, 0xFF}}},
        {"mask done tx 4", [](auto hw) { cldma_hw_mask_done(hw, 4, false); }, {W{B, 0x828, 0x10}}},
        {"mask empty tx 0", [](auto hw) { cldma_hw_mask_empty(hw, 0, false); }, {W{B, 0x828, 0x100}}},
        {"mask all rx", [](auto hw) { cldma_hw_mask_all(hw, true); }, {W{A, 0x868, 0xFF}, W{A, 0x868, 0xFF00}}},
        {"mask all tx", [](auto hw) { cldma_hw_mask_all(hw, false); }, {W{B, 0x828, 0xFF}, W{B, 0x828, 0xFF00}}},
        {"unmask all",
         [](auto hw) { cldma_hw_unmask_all(hw); },
         {W{B, 0x820, 0xFF}, W{A, 0x860, 0xFF}, W{B, 0x820, 0xFF00}, W{A, 0x860, 0xFF00}}},
        {"rearm", [](auto hw) { cldma_hw_rearm(hw); }, {W{B, 0x8B4, 0x1}}},
        {"init",
         [](auto hw) { cldma_hw_init(hw); },
         {W{B, 0x098, 0x80}, W{A, 0x404, 0x1000}, W{A, 0x404, 0x1004}, W{A, 0x960, 0}, W{A, 0x954, 4},
          W{B, 0x09C, 1}, W{B, 0x508, 1}}},
        {"restore", [](auto hw) { cldma_hw_restore(hw); }, {W{B, 0x098, 0x80}, W{B, 0x09C, 1}, W{B, 0x508, 1}}},
    };
    for (const Case& c : cases) {
        cldmasim::ModemWindow fresh;
        fresh.Engine(CLDMA_HIF_MD).ClearWrites();
        c.operation(&fresh.Hw(CLDMA_HIF_MD));
        EXPECT_EQ(c.writes, fresh.Engine(CLDMA_HIF_MD).Writes()) << c.name;
        EXPECT_TRUE(fresh.Engine(CLDMA_HIF_SAP).Writes().empty()) << c.name;
    }
}

TEST_F(CldmaRegTest, AddressModeSetsItsFieldAndKeepsTheOtherBits)
{
    struct Case {
        u32 mode;
        std::vector<CldmaWrite> config;
    };
    const std::vector<Case> cases = {
        {1, {W{B, 0x098, 0x20}, W{A, 0x404, 0x400}}},
        {2, {W{B, 0x098, 0x40}, W{A, 0x404, 0x800}}},
        {3, {W{B, 0x098, 0x80}, W{A, 0x404, 0x1000}}},
        {0, {}},
        {4, {}},
    };
    for (const Case& c : cases) {
        cldma_hw_instance hw = window_.Hw(CLDMA_HIF_SAP);
        hw.addr_mode = c.mode;
        window_.Engine(CLDMA_HIF_SAP).LoseConfiguration();
        window_.Engine(CLDMA_HIF_SAP).ClearWrites();
        cldma_hw_init(&hw);
        std::vector<CldmaWrite> writes = window_.Engine(CLDMA_HIF_SAP).Writes();
        ASSERT_EQ(c.config.size() + 5, writes.size()) << c.mode;
        EXPECT_EQ(c.config, std::vector<CldmaWrite>(writes.begin(), writes.begin() + c.config.size())) << c.mode;
    }

    // A configuration reading all ones keeps every bit outside the mode field.
    window_.Engine(CLDMA_HIF_SAP).SetGone(true);
    std::vector<CldmaWrite> writes = Run([](auto hw) { cldma_hw_init(hw); });
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ((W{B, 0x098, 0xFFFFFF9F}), writes[0]);
    EXPECT_EQ((W{A, 0x404, 0xFFFFF3FF}), writes[1]);
}

TEST_F(CldmaRegTest, ClearingTheStatusWritesOnlyTheAskedBitsThatAreSet)
{
    CldmaEngine& engine = window_.Engine(CLDMA_HIF_SAP);
    const cldma_hw_instance* hw = &window_.Hw(CLDMA_HIF_SAP);
    engine.RaiseErrors(CldmaDirection::Tx, 0x10003, 0x5, 0x6);
    EXPECT_EQ(0x10003u, cldma_hw_irq_status(hw, 0xFFFFFFFF, false));
    EXPECT_EQ(0x2u, cldma_hw_irq_status(hw, 0x2, false));

    EXPECT_EQ((std::vector<CldmaWrite>{W{B, 0x810, 0x3}}), Run([](auto hw) { cldma_hw_clear_irq(hw, 0xFFFF, false); }));
    EXPECT_EQ(0x10000u, cldma_hw_irq_status(hw, 0xFFFFFFFF, false));

    u32 error0 = 0, error1 = 0;
    EXPECT_EQ((std::vector<CldmaWrite>{W{B, 0x830, 0x5}, W{B, 0x834, 0x6}}),
              Run([&](auto hw) { cldma_hw_clear_errors(hw, false, &error0, &error1); }));
    EXPECT_EQ(0x5u, error0);
    EXPECT_EQ(0x6u, error1);

    engine.RaiseErrors(CldmaDirection::Rx, 0x20004, 0x9, 0);
    EXPECT_EQ(0x20004u, cldma_hw_irq_status(hw, 0xFFFFFFFF, true));
    cldma_hw_clear_irq(hw, 0xFFFFFFFF, true);
    EXPECT_EQ(0u, cldma_hw_irq_status(hw, 0xFFFFFFFF, true));
}

TEST_F(CldmaRegTest, ReadsReportQueuesMasksAndAddresses)
{
    const cldma_hw_instance* hw = &window_.Hw(CLDMA_HIF_MD);
    EXPECT_EQ(-1, cldma_hw_tx_start_addr_lost(hw, 3));
    cldma_hw_set_start_addr(hw, 3, 0x100000000ULL, false);
    EXPECT_EQ(0, cldma_hw_tx_start_addr_lost(hw, 3));
    cldma_hw_set_start_addr(hw, 2, 0x1000, false);
    EXPECT_EQ(0, cldma_hw_tx_start_addr_lost(hw, 2));

    EXPECT_EQ(0u, cldma_hw_irq_masked(hw, 5, true));
    cldma_hw_mask_done(hw, 5, true);
    EXPECT_EQ(0x20u, cldma_hw_irq_masked(hw, 5, true));
    EXPECT_EQ(0u, cldma_hw_irq_masked(hw, 5, false));
    cldma_hw_unmask_done(hw, 5, true);
    EXPECT_EQ(0u, cldma_hw_irq_masked(hw, 5, true));

    // A queue started at a descriptor the engine does not own runs until the engine looks at it.
    EXPECT_EQ(0u, cldma_hw_queue_running(hw, CLDMA_ALL_QUEUES, false));
    cldma_hw_start_queue(hw, 3, false);
    EXPECT_EQ(1u, cldma_hw_queue_running(hw, 3, false));
    EXPECT_EQ(0x8u, cldma_hw_queue_running(hw, CLDMA_ALL_QUEUES, false));
    EXPECT_EQ(0u, cldma_hw_queue_running(hw, 3, true));

    window_.Engine(CLDMA_HIF_MD).SetGone(true);
    EXPECT_EQ(~0ULL, cldma_hw_current_addr(hw, 0, true));
}

// The infrastructure block as the modem's reset controls: remembers writes with the host time.
class InfraBlock : public RegisterBlock
{
  public:
    struct Access {
        ULONG64 offset;
        ULONG value;
        ULONGLONG time;
    };
    ULONG Read(ULONG64 offset) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        return offset == 0x730 ? 0x1 : offset == 0x144 ? 0x80000000 : 0;
    }
    void Write(ULONG64 offset, ULONG value) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        writes.push_back({offset, value, KeQueryInterruptTime()});
    }
    std::mutex lock_;
    std::vector<Access> writes;
};

TEST(CldmaResetPulse, PulsesTheMdCoreOnlyWithTheStallBetweenSetAndClear)
{
    InfraBlock infra;
    cldmasim::ModemWindow window;
    window.modem().MapBlock(kInfraOffset, 0x1000, infra);

    cldma_md_reset_pulse(&window.Hw(CLDMA_HIF_SAP), window.Infra());
    cldma_md_reset_pulse(&window.Hw(CLDMA_HIF_MD), nullptr);
    EXPECT_TRUE(infra.writes.empty());

    cldma_md_reset_pulse(&window.Hw(CLDMA_HIF_MD), window.Infra());
    ASSERT_EQ(4u, infra.writes.size());
    const ULONG64 offsets[] = {0x730, 0x140, 0x734, 0x144};
    const ULONG values[] = {0x100001, 0x40000, 0x100000, 0x80040000};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(offsets[i], infra.writes[i].offset) << i;
        EXPECT_EQ(values[i], infra.writes[i].value) << i;
    }
    EXPECT_GE(infra.writes[2].time - infra.writes[1].time, 10u); // 1 us in 100 ns units
    EXPECT_TRUE(window.Engine(CLDMA_HIF_MD).Writes().empty());
}

TEST_F(CldmaRegTest, DumpWritesTenWindowsOfZeroPaddedLines)
{
    const cldma_hw_instance* hw = &window_.Hw(CLDMA_HIF_SAP);
    cldma_hw_set_start_addr(hw, 0, 0x11223344, false);
    cldma_hw_mask_done(hw, 0xFF, true);
    host::TraceClear();
    cldma_reg_dump(hw);

    const std::regex line("DRV_CLDMA: ([0-9A-F]{4}): ([0-9A-F]{8}) ([0-9A-F]{8}) ([0-9A-F]{8}) ([0-9A-F]{8})");
    std::vector<std::string> texts;
    for (const host::TraceLine& traced : host::TraceFind("DRV_CLDMA"))
        texts.push_back(traced.text);
    ASSERT_FALSE(texts.empty());
    EXPECT_NE(std::string::npos, texts[0].find("register dump of CLDMA 0"));
    std::vector<std::vector<std::string>> rows;
    for (const std::string& text : texts) {
        std::smatch match;
        if (std::regex_search(text, match, line))
            rows.push_back({match[1], match[2], match[3], match[4], match[5]});
    }
    // 532, 200, 416, 476 and 216 bytes, twice: 34 + 13 + 26 + 30 + 14 lines each time.
    ASSERT_EQ(2u * 117u, rows.size());
    EXPECT_EQ((std::vector<std::string>{"0004", "11223344", "00000000", "00000000", "00000000"}), rows[0]);
    // The 532-byte window ends after one word of its last line.
    EXPECT_EQ("0214", rows[33][0]);
    // Block A 0x858 (the RX mask) starts its own window.
    EXPECT_EQ((std::vector<std::string>{"0858", "000000FF", "00000000", "00000000", "00000000"}), rows[34 + 13 + 26]);
    EXPECT_EQ("1004", rows[117][0]);
}

} // namespace
