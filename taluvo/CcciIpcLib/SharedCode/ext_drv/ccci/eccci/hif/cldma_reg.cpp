// CLDMA register-level operations: one register access each (a read-modify-write counts as one),
// every write followed by a full barrier unless the caller orders them itself.
#include "cldma_reg.h"

#define DRV_CLDMA_TAG "DRV_CLDMA"

namespace
{

void reg_write(volatile u8* base, u32 offset, u32 value)
{
    win_reg_write(base, offset, value);
    KeMemoryBarrier();
}

void reg_update(volatile u8* base, u32 offset, u32 clear, u32 set)
{
    reg_write(base, offset, (win_reg_read(base, offset) & ~clear) | set);
}

// The register of a side: RX registers live in either block, so each caller names its own pair.
volatile u8* side_base(const struct cldma_hw_instance* hw, bool rx_in_a, bool rx)
{
    return rx && rx_in_a ? hw->base_a : hw->base_b;
}

u32 queue_bits(u8 q, u32 shift)
{
    return q == CLDMA_ALL_QUEUES ? 0xFFu << shift : 1u << (q + shift);
}

void write_queue_bits(const struct cldma_hw_instance* hw, u8 q, bool rx, u32 tx_offset, u32 rx_offset,
                      bool rx_in_a, u32 shift)
{
    reg_write(side_base(hw, rx_in_a, rx), rx ? rx_offset : tx_offset, queue_bits(q, shift));
}

// Address mode bits: TX configuration bits 7 to 5, RX configuration bits 12 to 10; mode 3 sets the top
// bit of the field, mode 1 the bottom one. Other modes are not configured.
bool addr_mode_bit(u32 mode, u32* bit)
{
    if (mode < 1 || mode > 3)
        return false;
    *bit = 1u << (mode - 1);
    return true;
}

void set_addr_mode(const struct cldma_hw_instance* hw, bool with_rx)
{
    u32 bit;
    if (!addr_mode_bit(hw->addr_mode, &bit))
        return;
    reg_update(hw->base_b, CLDMA_B_TX_CONFIG, 0x7u << 5, bit << 5);
    if (with_rx)
        reg_update(hw->base_a, CLDMA_A_RX_CONFIG, 0x7u << 10, bit << 10);
}

} // namespace

void cldma_hw_init(const struct cldma_hw_instance* hw)
{
    set_addr_mode(hw, true);
    reg_update(hw->base_a, CLDMA_A_RX_CONFIG, 0, 1u << 2);
    reg_write(hw->base_a, CLDMA_A_RX_INIT_960, 0);
    reg_write(hw->base_a, CLDMA_A_RX_INIT_954, 4);
    reg_write(hw->base_b, CLDMA_B_INIT_09C, 1);
    reg_write(hw->base_b, CLDMA_B_INIT_508, 1);
}

void cldma_hw_restore(const struct cldma_hw_instance* hw)
{
    set_addr_mode(hw, false);
    reg_write(hw->base_b, CLDMA_B_INIT_09C, 1);
    reg_write(hw->base_b, CLDMA_B_INIT_508, 1);
}

void cldma_hw_start_queue(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_START_CMD, CLDMA_B_RX_START_CMD, false, 0);
}

void cldma_hw_resume_queue(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_RESUME_CMD, CLDMA_B_RX_RESUME_CMD, false, 0);
}

void cldma_hw_stop_queue(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_STOP_CMD, CLDMA_B_RX_STOP_CMD, false, 0);
}

void cldma_hw_set_start_addr(const struct cldma_hw_instance* hw, u8 q, u64 address, bool rx)
{
    volatile u8* base = side_base(hw, true, rx);
    u32 offset = (rx ? CLDMA_A_RX_START_ADDR : CLDMA_B_TX_START_ADDR) + 8u * q;
    win_reg_write(base, offset, (u32)address);
    win_reg_write(base, offset + 4, (u32)(address >> 32));
}

u64 cldma_hw_current_addr(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    volatile u8* base = side_base(hw, true, rx);
    u32 offset = (rx ? CLDMA_A_RX_CURRENT_ADDR : CLDMA_B_TX_CURRENT_ADDR) + 8u * q;
    u64 low = win_reg_read(base, offset);
    return low | (u64)win_reg_read(base, offset + 4) << 32;
}

s32 cldma_hw_tx_start_addr_lost(const struct cldma_hw_instance* hw, u8 q)
{
    u32 offset = CLDMA_B_TX_START_ADDR + 8u * q;
    return win_reg_read(hw->base_b, offset) == 0 && win_reg_read(hw->base_b, offset + 4) == 0 ? -1 : 0;
}

u32 cldma_hw_queue_running(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    u32 status = rx ? win_reg_read(hw->base_a, CLDMA_A_RX_STATUS) : win_reg_read(hw->base_b, CLDMA_B_TX_STATUS);
    return q == CLDMA_ALL_QUEUES ? status : (status >> q) & 1u;
}

u32 cldma_hw_irq_masked(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    return queue_bits(q, 0) & cldma_hw_irq_mask(hw, rx);
}

u32 cldma_hw_irq_mask(const struct cldma_hw_instance* hw, bool rx)
{
    return rx ? win_reg_read(hw->base_a, CLDMA_A_RX_MASK) : win_reg_read(hw->base_b, CLDMA_B_TX_IRQ_MASK);
}

u32 cldma_hw_irq_status(const struct cldma_hw_instance* hw, u32 bits, bool rx)
{
    return bits & win_reg_read(hw->base_b, rx ? CLDMA_B_RX_IRQ_STATUS : CLDMA_B_TX_IRQ_STATUS);
}

void cldma_hw_clear_irq(const struct cldma_hw_instance* hw, u32 bits, bool rx)
{
    u32 offset = rx ? CLDMA_B_RX_IRQ_STATUS : CLDMA_B_TX_IRQ_STATUS;
    reg_write(hw->base_b, offset, win_reg_read(hw->base_b, offset) & bits);
    // Read back so the clear has reached the device before the caller goes on.
    (void)win_reg_read(hw->base_b, offset);
}

void cldma_hw_unmask_done(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_IRQ_UNMASK, CLDMA_A_RX_UNMASK, true, 0);
}

void cldma_hw_unmask_empty(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_IRQ_UNMASK, CLDMA_A_RX_UNMASK, true, 8);
}

void cldma_hw_mask_done(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_IRQ_MASK_SET, CLDMA_A_RX_MASK_SET, true, 0);
}

void cldma_hw_mask_empty(const struct cldma_hw_instance* hw, u8 q, bool rx)
{
    write_queue_bits(hw, q, rx, CLDMA_B_TX_IRQ_MASK_SET, CLDMA_A_RX_MASK_SET, true, 8);
}

void cldma_hw_mask_all(const struct cldma_hw_instance* hw, bool rx)
{
    cldma_hw_mask_done(hw, CLDMA_ALL_QUEUES, rx);
    cldma_hw_mask_empty(hw, CLDMA_ALL_QUEUES, rx);
}

void cldma_hw_unmask_all(const struct cldma_hw_instance* hw)
{
    cldma_hw_unmask_done(hw, CLDMA_ALL_QUEUES, false);
    cldma_hw_unmask_done(hw, CLDMA_ALL_QUEUES, true);
    cldma_hw_unmask_empty(hw, CLDMA_ALL_QUEUES, false);
    cldma_hw_unmask_empty(hw, CLDMA_ALL_QUEUES, true);
}

void cldma_hw_rearm(const struct cldma_hw_instance* hw)
{
    reg_update(hw->base_b, CLDMA_B_REARM, 0, 1u);
}

void cldma_hw_clear_errors(const struct cldma_hw_instance* hw, bool rx, u32* error0, u32* error1)
{
    u32 first = rx ? CLDMA_B_RX_ERROR0 : CLDMA_B_TX_ERROR0;
    u32 second = rx ? CLDMA_B_RX_ERROR1 : CLDMA_B_TX_ERROR1;
    *error0 = win_reg_read(hw->base_b, first);
    reg_write(hw->base_b, first, *error0);
    *error1 = win_reg_read(hw->base_b, second);
    reg_write(hw->base_b, second, *error1);
}

void cldma_md_reset_pulse(const struct cldma_hw_instance* hw, volatile u8* infra)
{
    if (hw->hif_id != CLDMA_HIF_MD || infra == NULL)
        return;
    reg_update(infra, CLDMA_INFRA_RESET_SET_1, 0, 1u << 20);
    reg_update(infra, CLDMA_INFRA_RESET_SET_2, 0, 1u << 18);
    udelay(1);
    reg_update(infra, CLDMA_INFRA_RESET_CLR_1, 0, 1u << 20);
    reg_update(infra, CLDMA_INFRA_RESET_CLR_2, 0, 1u << 18);
}

namespace
{

struct dump_window {
    bool block_b;
    u32 offset;
    u32 length;
};

const struct dump_window dump_windows[] = {
    {true, 0x004, 532}, {true, 0x500, 200}, {false, 0x404, 416}, {false, 0x858, 476}, {true, 0x810, 216},
};

void dump_window(volatile u8* base, u32 offset, u32 length)
{
    for (u32 line = 0; line < length; line += 16) {
        u32 words[4] = {};
        for (u32 w = 0; w < 4 && line + 4 * w < length; w++)
            words[w] = win_reg_read(base, offset + line + 4 * w);
        ccci_info(DRV_CLDMA_TAG, "%04X: %08X %08X %08X %08X", offset + line, words[0], words[1], words[2],
                  words[3]);
    }
}

} // namespace

void cldma_reg_dump(const struct cldma_hw_instance* hw)
{
    ccci_info(DRV_CLDMA_TAG, "register dump of CLDMA %u", hw->hif_id);
    for (u32 high = 0; high <= 0x1000; high += 0x1000)
        for (const struct dump_window& window : dump_windows)
            dump_window(window.block_b ? hw->base_b : hw->base_a, window.offset + high, window.length);
}
