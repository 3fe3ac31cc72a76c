// DPMAIF register-level operations. Every access goes through the support layer's accessors at
// base + modem address; every write is followed by a full barrier, so the engine sees them in order.
#include "dpmaif_reg.h"

#include <ntstrsafe.h>
#include <string.h>

#include "CurrentDevice.h"
#include "ccci_core.h"

#define DPMAIF_DATA_TAG "DATA"

namespace
{

volatile u8* reg_addr(const struct dpmaif_hw_info* hw, u32 addr)
{
    return reinterpret_cast<volatile u8*>(hw->base + (s64)addr);
}

u32 reg_read(const struct dpmaif_hw_info* hw, u32 addr)
{
    return win_reg_read(reg_addr(hw, addr), 0);
}

void reg_write(struct dpmaif_hw_info* hw, u32 addr, u32 value)
{
    win_reg_write(reg_addr(hw, addr), 0, value);
    KeMemoryBarrier();
}

void reg_update(struct dpmaif_hw_info* hw, u32 addr, u32 clear, u32 set)
{
    reg_write(hw, addr, (reg_read(hw, addr) & ~clear) | set);
}

enum class Until { Clear, Set };

// Polls until the bits all read clear (or all set); false after DPMAIF_POLLS reads, or at once when a
// device reset is in progress and `reset_aware`.
bool poll(const struct dpmaif_hw_info* hw, u32 addr, u32 bits, Until until, bool reset_aware = false)
{
    for (u32 i = 0; i < DPMAIF_POLLS; i++) {
        if (reset_aware && Mbb_IsResetInProgress())
            return false;
        u32 value = reg_read(hw, addr) & bits;
        if (until == Until::Clear ? value == 0 : value == bits)
            return true;
    }
    ccci_err(DPMAIF_DATA_TAG, "register %08X bits %08X never read %s", addr, bits,
             until == Until::Clear ? "clear" : "set");
    return false;
}

// Waits for the busy bit, writes the command and waits again. An add-count skips its write when the
// engine is still busy with the last one; a set-up command is written anyway.
int busy_command(struct dpmaif_hw_info* hw, u32 addr, u32 value, bool skip_when_busy, bool reset_aware = false)
{
    bool ready = poll(hw, addr, DPMAIF_BUSY, Until::Clear, reset_aware);
    if (!ready && skip_when_busy)
        return DPMAIF_ETIMEDOUT;
    reg_write(hw, addr, value);
    bool done = poll(hw, addr, DPMAIF_BUSY, Until::Clear, reset_aware);
    return ready && done ? 0 : DPMAIF_ETIMEDOUT;
}

// Sets bit 0 of a commit register and waits until the engine clears it.
void commit(struct dpmaif_hw_info* hw, u32 addr)
{
    reg_update(hw, addr, 0, 1u);
    poll(hw, addr, 1u, Until::Clear);
}

void base_setup(struct dpmaif_hw_info* hw)
{
    reg_write(hw, DPMAIF_BUS_140, 64);
    reg_write(hw, DPMAIF_BUS_150, 4);
    reg_write(hw, DPMAIF_BUS_144, 64);
    reg_write(hw, DPMAIF_BUS_154, 4);
    commit(hw, DPMAIF_BASE_COMMIT);
    reg_update(hw, DPMAIF_DL_CFG_C0C, 0, 1u << 30);
    reg_write(hw, DPMAIF_DL_INIT_468, 0x7F);
}

// Unmasks the interrupts the host serves and masks the rest; false when a mask never took effect.
bool irq_setup(struct dpmaif_hw_info* hw)
{
    InterlockedExchange(&hw->ul_irq_enabled, (LONG)DPMAIF_UL_IRQ_INIT);
    reg_write(hw, DPMAIF_UL_STATUS, 0xFFFFFFFF);
    reg_write(hw, DPMAIF_UL_UNMASK, DPMAIF_UL_IRQ_INIT);
    reg_write(hw, DPMAIF_UL_MASK_SET, ~DPMAIF_UL_IRQ_INIT);
    bool unmasked = false;
    for (u32 i = 0; i < DPMAIF_POLLS && !unmasked; i++)
        unmasked = (reg_read(hw, DPMAIF_UL_MASK_STATE) & DPMAIF_UL_IRQ_INIT) != DPMAIF_UL_IRQ_INIT;
    if (!unmasked) {
        ccci_err(DPMAIF_DATA_TAG, "uplink interrupts stay masked");
        return false;
    }

    InterlockedExchange(&hw->dl_irq_flags, (LONG)DPMAIF_DL_IRQ_INIT);
    hw->extra = 12;
    reg_write(hw, DPMAIF_DL_STATUS, 0xFFFFFFFF);
    reg_write(hw, DPMAIF_DL_MASK_SET, ~DPMAIF_DL_IRQ_INIT);
    unmasked = false;
    for (u32 i = 0; i < DPMAIF_POLLS && !unmasked; i++)
        unmasked = (reg_read(hw, DPMAIF_DL_MASK_STATE) & DPMAIF_DL_IRQ_INIT) != DPMAIF_DL_IRQ_INIT;
    if (!unmasked) {
        ccci_err(DPMAIF_DATA_TAG, "downlink interrupts stay masked");
        return false;
    }

    hw->ao_cfg = 1;
    reg_write(hw, DPMAIF_DL_STATUS2, 0xFFFFFFFF);
    reg_write(hw, DPMAIF_AO_CFG_09C, hw->ao_cfg);
    reg_update(hw, DPMAIF_AO_CFG_08C, 0, 3u << 24);
    reg_write(hw, DPMAIF_INIT_6F4, 0xFFFF);
    hw->dl_done_spurious[0] = hw->dl_done_spurious[1] = 0;
    return true;
}

const u32 dl_param_defaults[DPMAIF_DL_PARAMS] = {64, 3584, 128, 64, 1, 64, 3080, 124, 62, 3};

void load_params(struct dpmaif_hw_info* hw, const struct dpmaif_ring_params* params)
{
    for (u32 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        RtlCopyMemory(hw->dl_params[q], dl_param_defaults, sizeof(dl_param_defaults));
        struct dpmaif_hw_dl_queue* dl = &hw->dl[q];
        dl->bat_dma = params->bat_dma[q];
        dl->bat_length = params->bat_length[q];
        dl->pit_dma = params->pit_dma[q];
        dl->pit_length = params->pit_length[q];
        dl->frag_dma = params->frag_dma[q];
        dl->frag_length = params->frag_length[q];
        dl->enabled = 1;
    }
    for (u32 q = 0; q < DPMAIF_TXQ_NUM; q++) {
        hw->ul[q].drb_dma = params->drb_dma[q];
        hw->ul[q].drb_length = params->drb_length[q];
        hw->ul[q].enabled = 1;
    }
}

// Bits 22-23 of 0x1022DC0C: the PIT burst parameter, 64 or 128 entries.
u32 burst_code(u32 value)
{
    return value == 64 ? 2u : value == 128 ? 3u : 0u;
}

void dl_queue0_config(struct dpmaif_hw_info* hw)
{
    const u32* p = hw->dl_params[0];
    reg_update(hw, DPMAIF_DL_CFG_C00, 0xFFFFFF00u, ((p[0] << 4) & 0xFF00u) | p[4] << 16);
    reg_update(hw, DPMAIF_DL_CFG_C08, 0xFF01FFFFu, (p[3] & 0xFFu) | ((p[1] * 2) & 0x1FF00u) | (p[7] & 0xFFu) << 24);
    reg_update(hw, DPMAIF_DL_CFG_C10, 0x1FFFFu, (p[9] & 0xFFu) | ((p[2] * 2) & 0x1FF00u));
    reg_update(hw, DPMAIF_DL_CFG_C0C, 0xFFu << 16, (p[8] & 0x3Fu) << 16 | burst_code(p[5]) << 22);
    reg_update(hw, DPMAIF_DL_CFG_C40, 1u << 2, 0xFBu);
    reg_write(hw, DPMAIF_DL_CFG_C04, p[6]);
    reg_update(hw, DPMAIF_DL_CFG_C10, 0, 1u << 28);
}

void bat_init(struct dpmaif_hw_info* hw, u64 dma, u32 length, bool frag)
{
    reg_write(hw, DPMAIF_BAT_BASE_LO, (u32)dma);
    reg_write(hw, DPMAIF_BAT_BASE_HI, (u32)(dma >> 32));
    reg_update(hw, DPMAIF_BAT_CONFIG, 0x1FFFFu, (length & 0xFFFFu) | (frag ? 1u << 16 : 0));
    busy_command(hw, DPMAIF_BAT_CMD, frag ? 0x80010001u : 0x80000001u, false);
}

void pit_init(struct dpmaif_hw_info* hw, u8 q)
{
    const struct dpmaif_hw_dl_queue* dl = &hw->dl[q];
    reg_write(hw, DPMAIF_PIT_BASE_LO, (u32)dl->pit_dma);
    reg_write(hw, DPMAIF_PIT_BASE_HI, (u32)(dl->pit_dma >> 32));
    reg_update(hw, DPMAIF_PIT_LENGTH_REG, DPMAIF_INDEX_MASK, dl->pit_length & DPMAIF_INDEX_MASK);
    reg_write(hw, DPMAIF_PIT_INIT_91C, 0);
    reg_write(hw, DPMAIF_PIT_INIT_920, 0);
    reg_write(hw, DPMAIF_PIT_INIT_928, 0);
    reg_write(hw, DPMAIF_PIT_INIT_92C, 0);
    reg_update(hw, DPMAIF_PIT_INIT_920, 0, 1u << 20);
    busy_command(hw, DPMAIF_PIT_CMD, 0x80000001u | (u32)q << 16, false);
}

void dl_setup(struct dpmaif_hw_info* hw)
{
    reg_write(hw, DPMAIF_DL_CFG_C38, 0x8D3);
    reg_write(hw, DPMAIF_DL_CFG_C20, 0x0032FFFF);
    reg_write(hw, DPMAIF_AO_CFG_428, 0);
    reg_write(hw, DPMAIF_DL_CFG_C24, 100);
    for (u32 i = 0; i < 4; i++)
        reg_write(hw, DPMAIF_DL_CFG_C28 + 4 * i, 0x00640064);
    reg_write(hw, DPMAIF_AO_CFG_434, 10);
    if (hw->dl[0].enabled) {
        dl_queue0_config(hw);
        bat_init(hw, hw->dl[0].frag_dma, hw->dl[0].frag_length, true);
        bat_init(hw, hw->dl[0].bat_dma, hw->dl[0].bat_length, false);
        for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
            pit_init(hw, q);
        dpmaif_hw_dl_bat_en(hw, true);
    }
    reg_update(hw, DPMAIF_DL_CFG_C0C, 0, 1u << 31);
}

void engine_setup(struct dpmaif_hw_info* hw)
{
    reg_write(hw, DPMAIF_UL_INIT, 0x55);
    reg_update(hw, DPMAIF_BAT_CONFIG, 0, 1u << 22);
    reg_update(hw, DPMAIF_DL_CFG_C0C, 0, 1u << 13);
    dl_setup(hw);
    for (u32 q = 0; q < DPMAIF_TXQ_NUM; q++) {
        const struct dpmaif_hw_ul_queue* ul = &hw->ul[q];
        if (ul->enabled) {
            reg_update(hw, DPMAIF_DRB_SIZE + 16 * q, 0xFFFFu, (ul->drb_length * 4) & 0xFFFFu);
            reg_write(hw, DPMAIF_DRB_BASE_LO + 16 * q, (u32)ul->drb_dma);
            reg_write(hw, DPMAIF_DRB_BASE_HI + 16 * q, (u32)(ul->drb_dma >> 32));
            reg_update(hw, DPMAIF_QUEUE_ENABLE, 0, 1u << q | 1u << (q + 8));
        } else {
            reg_update(hw, DPMAIF_QUEUE_ENABLE, 1u << (q + 8), 0);
        }
    }
    commit(hw, DPMAIF_UL_COMMIT);
    reg_write(hw, DPMAIF_AO_INIT_000, 1);
    reg_write(hw, DPMAIF_AO_INIT_400, 1);
}

u32 index_field(const struct dpmaif_hw_info* hw, u32 addr)
{
    return reg_read(hw, addr) & DPMAIF_INDEX_MASK;
}

void add_record(struct dpmaif_irq_status* record, u32 type, u32 value)
{
    if (record->count >= DPMAIF_IRQ_RECORDS)
        return;
    record->type[record->count] = type;
    record->value[record->count] = value;
    record->count++;
}

// The uplink groups of 5 bits each: done (masked here until the done timer has released), then four
// further per-queue groups.
void decode_ul(struct dpmaif_hw_info* hw, struct dpmaif_irq_status* record, u32 u)
{
    for (u32 group = 0; group < 5; group++) {
        u32 value = (u >> (5 * group)) & 0x1Fu;
        if (value == 0)
            continue;
        if (group == 0)
            dpmaif_hw_ul_mask(hw, value);
        add_record(record, DPMAIF_IRQ_UL_DONE + group, value);
    }
    reg_write(hw, DPMAIF_UL_STATUS, u);
}

void count_spurious(struct dpmaif_hw_info* hw, u8 q)
{
    if (hw->dl_done_spurious[q] < 0xFFFF)
        hw->dl_done_spurious[q]++;
    if (hw->dl_done_spurious[q] >= DPMAIF_SPURIOUS_REPORT) {
        ccci_err(DPMAIF_DATA_TAG, "queue %u: %u downlink-done interrupts while masked", q, hw->dl_done_spurious[q]);
        dpmaif_hw_assert(hw, __FILE__, __func__, __LINE__);
    }
}

} // namespace

int dpmaif_hw_set_base(struct dpmaif_hw_info* hw, volatile u8* window_va, u64 window_modem_addr)
{
    if (window_va == NULL) {
        ccci_err(DPMAIF_DATA_TAG, "no register window");
        return -1;
    }
    hw->base = (s64)(ULONG_PTR)window_va - (s64)window_modem_addr;
    return 0;
}

void dpmaif_hw_start(struct dpmaif_hw_info* hw, const struct dpmaif_ring_params* params)
{
    base_setup(hw);
    if (!irq_setup(hw))
        ccci_err(DPMAIF_DATA_TAG, "interrupt set-up ended early");
    load_params(hw, params);
    engine_setup(hw);
}

u32 dpmaif_hw_get_pit_wr_idx(struct dpmaif_hw_info* hw, u8 q)
{
    return index_field(hw, DPMAIF_PIT_WR_IDX + 32u * q);
}

u32 dpmaif_hw_get_bat_rd_idx(struct dpmaif_hw_info* hw)
{
    return index_field(hw, DPMAIF_BAT_RD_IDX);
}

u32 dpmaif_hw_get_bat_wr_idx(struct dpmaif_hw_info* hw)
{
    return index_field(hw, DPMAIF_BAT_WR_IDX);
}

u32 dpmaif_hw_get_frag_rd_idx(struct dpmaif_hw_info* hw)
{
    return index_field(hw, DPMAIF_FRAG_RD_IDX);
}

u32 dpmaif_hw_get_drb_rd_idx(struct dpmaif_hw_info* hw, u8 q)
{
    return reg_read(hw, DPMAIF_DRB_RD_IDX + 4u * q) >> 16;
}

int dpmaif_hw_dl_add_bat_cnt(struct dpmaif_hw_info* hw, u8 q, u32 count)
{
    int result = busy_command(hw, DPMAIF_BAT_ADD, DPMAIF_BUSY | (count & 0xFFFFu), true);
    if (result != 0) {
        ccci_err(DPMAIF_DATA_TAG, "queue %u: BAT add-count of %u timed out", q, count);
        return result;
    }
    ccci_dbg(DPMAIF_DATA_TAG, "queue %u: BAT write index %u", q, dpmaif_hw_get_bat_wr_idx(hw));
    return 0;
}

int dpmaif_hw_dl_add_frag_cnt(struct dpmaif_hw_info* hw, u8 q, u32 count)
{
    int result = busy_command(hw, DPMAIF_BAT_ADD, DPMAIF_BUSY | 1u << 16 | (count & 0xFFFFu), true);
    if (result != 0)
        ccci_err(DPMAIF_DATA_TAG, "queue %u: fragment add-count of %u timed out", q, count);
    return result;
}

int dpmaif_hw_dl_add_pit_cnt(struct dpmaif_hw_info* hw, u8 q, u32 count)
{
    int result = busy_command(hw, DPMAIF_PIT_ADD, ((u32)q | 0x800u) << 20 | (count & DPMAIF_INDEX_MASK), true);
    if (result != 0)
        ccci_err(DPMAIF_DATA_TAG, "queue %u: PIT add-count of %u timed out", q, count);
    return result;
}

int dpmaif_hw_ul_add_drb_cnt(struct dpmaif_hw_info* hw, u8 q, u32 words)
{
    int result = busy_command(hw, DPMAIF_UL_ADD_DRB + 4u * q, DPMAIF_BUSY | (words & 0xFFFFu), true, true);
    if (result != 0)
        ccci_err(DPMAIF_DATA_TAG, "queue %u: DRB add-count of %u words not taken", q, words);
    return result;
}

void dpmaif_hw_dl_bat_en(struct dpmaif_hw_info* hw, bool enable)
{
    reg_update(hw, DPMAIF_BAT_CONFIG, 1u << 16, enable ? 1u << 16 : 0);
    if ((hw->md != NULL && ccci_md_rgu_pending(hw->md)) || Mbb_IsResetInProgress()) {
        ccci_warn(DPMAIF_DATA_TAG, "BAT %s not applied: the modem is resetting", enable ? "enable" : "disable");
        return;
    }
    busy_command(hw, DPMAIF_BAT_CMD, DPMAIF_BUSY, false);
}

void dpmaif_hw_dl_enable(struct dpmaif_hw_info* hw)
{
    reg_update(hw, DPMAIF_QUEUE_ENABLE, 0, 0xFu << 8);
    dpmaif_hw_dl_bat_en(hw, true);
}

void dpmaif_hw_ul_stop(struct dpmaif_hw_info* hw)
{
    reg_update(hw, DPMAIF_QUEUE_ENABLE, 0xFu << 8, 0);
    poll(hw, DPMAIF_UL_IDLE, 1u << 11, Until::Set);
}

void dpmaif_hw_dl_stop(struct dpmaif_hw_info* hw)
{
    dpmaif_hw_dl_bat_en(hw, false);
    poll(hw, DPMAIF_DL_IDLE, 1u << 23, Until::Set);
    for (u32 i = 0; i < DPMAIF_POLLS; i++)
        if (index_field(hw, DPMAIF_DL_DRAIN_A) == index_field(hw, DPMAIF_DL_DRAIN_B))
            return;
    ccci_err(DPMAIF_DATA_TAG, "downlink never drained");
}

int drv_dpmaif_hw_get_interrupt_status(struct dpmaif_hw_info* hw, struct dpmaif_irq_status* record, u8 q)
{
    if (record == NULL || q >= DPMAIF_RXQ_NUM)
        return -1;
    RtlZeroMemory(record, sizeof(*record));
    u32 dl_status = reg_read(hw, DPMAIF_DL_STATUS);
    u32 dl_mask = reg_read(hw, DPMAIF_DL_MASK_STATE);
    u32 u = 0;
    if (q == 0)
        u = reg_read(hw, DPMAIF_UL_STATUS) & ~reg_read(hw, DPMAIF_UL_MASK_STATE);
    dpmaif_hw_dl_status_refresh(hw);

    if (u != 0)
        decode_ul(hw, record, u);
    if (dl_status == 0)
        return (int)record->count;

    const u32 event = q == 0 ? DPMAIF_DL_EVENT_Q0 : DPMAIF_DL_EVENT_Q1;
    const u32 done = q == 0 ? DPMAIF_DL_DONE_Q0 : DPMAIF_DL_DONE_Q1;
    u32 d = dl_status & (event | done);
    // A done bit while the queue's done interrupt is masked is not this run's work: drop it. It is a
    // spurious interrupt when nothing else came with it.
    if ((dl_mask & (1u << (8 + q))) != 0 && (d & done) != 0) {
        if (d == done && (q == 1 || u == 0))
            count_spurious(hw, q);
        d &= ~done;
    }
    if (d == 0)
        return (int)record->count;
    if (d & event) {
        add_record(record, q == 0 ? DPMAIF_IRQ_DL_EVENT_Q0 : DPMAIF_IRQ_DL_EVENT_Q1, q + 1u);
        reg_write(hw, DPMAIF_DL_MASK_SET, q == 0 ? 0x400u : 0x800u);
    }
    if (d & done) {
        if (dpmaif_hw_dl_done_mask(hw, q) == 0)
            add_record(record, q == 0 ? DPMAIF_IRQ_DL_DONE_Q0 : DPMAIF_IRQ_DL_DONE_Q1, q + 1u);
        else
            d &= ~done;
    }
    reg_write(hw, DPMAIF_DL_STATUS, d | 4u);
    return (int)record->count;
}

void dpmaif_hw_ul_mask(struct dpmaif_hw_info* hw, u32 queue_bits)
{
    for (u32 q = 0; q < DPMAIF_TXQ_NUM; q++) {
        u32 bit = (1u << q) & 0xFu;
        if ((queue_bits & (1u << q)) == 0 || bit == 0)
            continue;
        InterlockedAnd(&hw->ul_irq_enabled, ~(LONG)bit);
        reg_write(hw, DPMAIF_UL_MASK_SET, bit);
        poll(hw, DPMAIF_UL_MASK_STATE, bit, Until::Set);
    }
}

void dpmaif_hw_ul_unmask(struct dpmaif_hw_info* hw, u8 q)
{
    u32 bit = q < DPMAIF_TXQ_NUM ? (1u << q) & 0xFu : 0;
    if (bit == 0)
        return;
    InterlockedOr(&hw->ul_irq_enabled, (LONG)bit);
    reg_write(hw, DPMAIF_UL_UNMASK, bit);
}

int dpmaif_hw_dl_done_mask(struct dpmaif_hw_info* hw, u8 q)
{
    u32 bit = 1u << (8 + q);
    for (u32 i = 0; i < DPMAIF_POLLS; i++) {
        reg_write(hw, DPMAIF_DL_MASK_SET, bit);
        if (reg_read(hw, DPMAIF_DL_MASK_STATE) & bit) {
            InterlockedAnd(&hw->dl_irq_flags, ~(LONG)bit);
            hw->dl_done_spurious[q] = 0;
            return 0;
        }
    }
    ccci_err(DPMAIF_DATA_TAG, "queue %u: downlink-done mask never took effect", q);
    return -1;
}

int dpmaif_hw_dl_done_unmask(struct dpmaif_hw_info* hw, u8 q)
{
    u32 bit = 1u << (8 + q);
    reg_write(hw, DPMAIF_DL_UNMASK, bit);
    InterlockedOr(&hw->dl_irq_flags, (LONG)bit);
    return 0;
}

void dpmaif_hw_dl_event_unmask(struct dpmaif_hw_info* hw, u8 q)
{
    reg_write(hw, DPMAIF_DL_UNMASK, q == 0 ? 0x400u : 0x800u);
}

namespace
{

void dl_cause_unmask(struct dpmaif_hw_info* hw, u32 bit)
{
    InterlockedOr(&hw->dl_irq_flags, (LONG)bit);
    reg_write(hw, DPMAIF_DL_UNMASK, bit);
}

} // namespace

void dpmaif_hw_dl_cause_unmask2(struct dpmaif_hw_info* hw)
{
    dl_cause_unmask(hw, 1u << 2);
}

void dpmaif_hw_dl_cause_unmask3(struct dpmaif_hw_info* hw)
{
    dl_cause_unmask(hw, 1u << 3);
}

void dpmaif_hw_dl_status_clear(struct dpmaif_hw_info* hw)
{
    reg_write(hw, DPMAIF_DL_STATUS, 0xFFFFFFFF);
}

void dpmaif_hw_ul_status_clear(struct dpmaif_hw_info* hw)
{
    reg_write(hw, DPMAIF_UL_STATUS, 0xFFFFFFFF);
}

void dpmaif_hw_dl_status_refresh(struct dpmaif_hw_info* hw)
{
    reg_write(hw, DPMAIF_DL_STATUS2, reg_read(hw, DPMAIF_DL_STATUS2));
}

int dpmaif_hw_ul_done_ack(struct dpmaif_hw_info* hw, u8 q)
{
    if (q >= DPMAIF_TXQ_NUM)
        return 0;
    u32 bit = 1u << q;
    if ((reg_read(hw, DPMAIF_UL_STATUS) & bit) == 0)
        return 0;
    reg_write(hw, DPMAIF_UL_STATUS, bit);
    return 1;
}

void dpmaif_hw_trace_status(struct dpmaif_hw_info* hw)
{
    ccci_info(DPMAIF_DATA_TAG, "uplink status %08X, downlink status %08X", reg_read(hw, DPMAIF_UL_STATUS),
              reg_read(hw, DPMAIF_DL_STATUS));
}

namespace
{

struct dump_region {
    u32 base;
    u32 last; // offset of the region's last register
};

const struct dump_region dump_regions[] = {
    {0x10014000, 0x9C}, {0x10014400, 0x74}, {0x10014800, 0x64}, {0x1022D000, 0xE0},  {0x1022D100, 0xFC},
    {0x1022D400, 0xFC}, {0x1022D500, 0xFC}, {0x1022D600, 0x1FC}, {0x1022DC00, 0xFC}, {0x1022DD00, 0xFC},
    {0x1022DE00, 0x5C}, {0x1022C100, 0xDC}, {0x1022C000, 0x54},  {0x1022D900, 0xFC}, {0x1022D300, 0x78},
    {0x1022D200, 0xC8}, {0x1022E000, 0x910},
};

void dump_region(const struct dpmaif_hw_info* hw, const struct dump_region& region)
{
    ccci_info(DPMAIF_DATA_TAG, "registers at %08X", region.base);
    for (u32 line = 0; line <= region.last; line += 16) {
        char text[64];
        RtlStringCbPrintfA(text, sizeof(text), "0x%04X:", line);
        for (u32 w = 0; w < 4 && line + 4 * w <= region.last; w++) {
            size_t used = strlen(text);
            RtlStringCbPrintfA(text + used, sizeof(text) - used, " %08X", reg_read(hw, region.base + line + 4 * w));
        }
        ccci_info(DPMAIF_DATA_TAG, "%s", text);
    }
    udelay(50);
}

} // namespace

void dpmaif_hw_dump_regs(struct dpmaif_hw_info* hw)
{
    for (const struct dump_region& region : dump_regions)
        dump_region(hw, region);
}

void dpmaif_hw_assert(struct dpmaif_hw_info* hw, const char* file, const char* function, int line)
{
    ccci_err(HW_DPMAIF_TAG, "assertion at %s %s:%d", file, function, line);
    dpmaif_hw_dump_regs(hw);
}
