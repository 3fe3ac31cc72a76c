// The DPMAIF engine's register map and every access to it: ring programming, add-count commands,
// index reads, interrupt status decode, masks and the register dump. Register names are modem
// addresses; the record's base turns them into mapped addresses.
#pragma once

#include "kal.h"

#define HW_DPMAIF_TAG "HW-DPMAIF"

#define DPMAIF_RXQ_NUM 2
#define DPMAIF_TXQ_NUM 5
#define DPMAIF_DL_PARAMS 10
#define DPMAIF_IRQ_RECORDS 18

// Every busy wait polls this many times, without delay.
#define DPMAIF_POLLS 1000000u
// Downlink-done bits seen while masked before each one is reported.
#define DPMAIF_SPURIOUS_REPORT 100

// Uplink and downlink engine.
#define DPMAIF_UL_IDLE 0x1022D088u          // bit 11
#define DPMAIF_UL_INIT 0x1022D0ACu
#define DPMAIF_UL_ADD_DRB 0x1022D0B0u       // + 4q
#define DPMAIF_BAT_CMD 0x1022D100u
#define DPMAIF_BAT_ADD 0x1022D104u
#define DPMAIF_BAT_BASE_LO 0x1022D108u
#define DPMAIF_BAT_CONFIG 0x1022D10Cu
#define DPMAIF_BAT_BASE_HI 0x1022D150u
#define DPMAIF_DL_IDLE 0x1022D1B4u          // bit 23
#define DPMAIF_UL_STATUS 0x1022D400u        // write 1 to clear
#define DPMAIF_DL_STATUS 0x1022D450u        // write 1 to clear
#define DPMAIF_DL_STATUS2 0x1022D460u
#define DPMAIF_DL_INIT_468 0x1022D468u
#define DPMAIF_UL_COMMIT 0x1022D490u
#define DPMAIF_BASE_COMMIT 0x1022D494u
#define DPMAIF_INIT_6F4 0x1022D6F4u
#define DPMAIF_PIT_CMD 0x1022D900u
#define DPMAIF_PIT_ADD 0x1022D910u
#define DPMAIF_PIT_BASE_LO 0x1022D914u
#define DPMAIF_PIT_LENGTH_REG 0x1022D918u
#define DPMAIF_PIT_INIT_91C 0x1022D91Cu
#define DPMAIF_PIT_INIT_920 0x1022D920u
#define DPMAIF_PIT_BASE_HI 0x1022D924u
#define DPMAIF_PIT_INIT_928 0x1022D928u
#define DPMAIF_PIT_INIT_92C 0x1022D92Cu

// Downlink configuration and indexes.
#define DPMAIF_DL_CFG_C00 0x1022DC00u
#define DPMAIF_DL_CFG_C04 0x1022DC04u
#define DPMAIF_DL_CFG_C08 0x1022DC08u
#define DPMAIF_DL_CFG_C0C 0x1022DC0Cu
#define DPMAIF_DL_CFG_C10 0x1022DC10u
#define DPMAIF_DL_CFG_C20 0x1022DC20u
#define DPMAIF_DL_CFG_C24 0x1022DC24u
#define DPMAIF_DL_CFG_C28 0x1022DC28u // to 0x1022DC34
#define DPMAIF_DL_CFG_C38 0x1022DC38u
#define DPMAIF_DL_CFG_C40 0x1022DC40u
#define DPMAIF_DL_DRAIN_A 0x1022DC60u
#define DPMAIF_FRAG_RD_IDX 0x1022DC78u
#define DPMAIF_PIT_WR_IDX 0x1022DCA4u // + 32q
#define DPMAIF_BAT_RD_IDX 0x1022DCD8u
#define DPMAIF_BAT_WR_IDX 0x1022DCDCu
#define DPMAIF_DL_DRAIN_B 0x1022DCECu
#define DPMAIF_DRB_BASE_LO 0x1022DD10u // + 16q
#define DPMAIF_DRB_SIZE 0x1022DD14u    // + 16q
#define DPMAIF_DRB_BASE_HI 0x1022DD18u // + 16q
#define DPMAIF_DRB_RD_IDX 0x1022DD70u  // + 4q

// Interrupt masks and queue enables.
#define DPMAIF_AO_INIT_000 0x10014000u
#define DPMAIF_QUEUE_ENABLE 0x1001401Cu
#define DPMAIF_UL_MASK_STATE 0x10014080u
#define DPMAIF_UL_UNMASK 0x10014084u
#define DPMAIF_UL_MASK_SET 0x10014088u
#define DPMAIF_AO_CFG_08C 0x1001408Cu
#define DPMAIF_DL_MASK_STATE 0x10014090u
#define DPMAIF_DL_UNMASK 0x10014094u
#define DPMAIF_DL_MASK_SET 0x10014098u
#define DPMAIF_AO_CFG_09C 0x1001409Cu
#define DPMAIF_AO_INIT_400 0x10014400u
#define DPMAIF_AO_CFG_428 0x10014428u
#define DPMAIF_AO_CFG_434 0x10014434u

// Outside the engine, written by the base set-up.
#define DPMAIF_BUS_140 0x10001140u
#define DPMAIF_BUS_144 0x10001144u
#define DPMAIF_BUS_150 0x10001150u
#define DPMAIF_BUS_154 0x10001154u

#define DPMAIF_BUSY 0x80000000u
#define DPMAIF_INDEX_MASK 0x3FFFFu
#define DPMAIF_DRB_RD_INVALID 0xFFFFu

#define DPMAIF_UL_IRQ_INIT 0x000F000Fu
#define DPMAIF_DL_IRQ_INIT 0xF00u
#define DPMAIF_DL_DONE_Q0 0x2000u // status bit 13
#define DPMAIF_DL_DONE_Q1 0x4000u // status bit 14
#define DPMAIF_DL_EVENT_Q0 0x100u // status bit 8
#define DPMAIF_DL_EVENT_Q1 0x200u // status bit 9

// Interrupt record types the decoder produces.
#define DPMAIF_IRQ_UL_DONE 1
#define DPMAIF_IRQ_UL_GROUP2 2
#define DPMAIF_IRQ_UL_GROUP3 3
#define DPMAIF_IRQ_UL_GROUP4 4
#define DPMAIF_IRQ_UL_GROUP5 5
// Types the interrupt callback also knows (the decoder passes no downlink bits for them).
#define DPMAIF_IRQ_DL_DONE 6
#define DPMAIF_IRQ_DL_CAUSE1 7
#define DPMAIF_IRQ_DL_CAUSE2 8
#define DPMAIF_IRQ_DL_CAUSE3 9
#define DPMAIF_IRQ_DL_CAUSE6 12
#define DPMAIF_IRQ_DL_EVENT_Q0 14
#define DPMAIF_IRQ_DL_EVENT_Q1 15
#define DPMAIF_IRQ_DL_DONE_Q0 17
#define DPMAIF_IRQ_DL_DONE_Q1 18

// Busy or timed-out add-count.
#define DPMAIF_ETIMEDOUT (-6)

struct ccci_md;

struct dpmaif_hw_dl_queue {
    u32 enabled;
    u64 pit_dma;
    u32 pit_length;
    u64 bat_dma;
    u32 bat_length;
    u64 frag_dma;
    u32 frag_length;
};

struct dpmaif_hw_ul_queue {
    u32 enabled;
    u64 drb_dma;
    u32 drb_length;
};

struct dpmaif_hw_info {
    s64 base; // window virtual address minus its modem address: register = base + modem address
    struct dpmaif_hw_dl_queue dl[DPMAIF_RXQ_NUM];
    struct dpmaif_hw_ul_queue ul[DPMAIF_TXQ_NUM];
    u32 dl_params[DPMAIF_RXQ_NUM][DPMAIF_DL_PARAMS];
    // Interrupt bits the host keeps unmasked. The engine's mask registers are write-1 set/clear, so
    // these shadows are only changed with interlocked operations: callers do not share a lock.
    volatile LONG ul_irq_enabled;
    volatile LONG dl_irq_flags;
    u32 ao_cfg;  // written to 0x1001409C
    u32 extra;   // traced only
    u16 dl_done_spurious[DPMAIF_RXQ_NUM];
    struct ccci_md* md; // whose reset interrupt holds back the BAT enable command
};

// The rings the start programs, one entry per queue.
struct dpmaif_ring_params {
    u64 drb_dma[DPMAIF_TXQ_NUM];
    u32 drb_length[DPMAIF_TXQ_NUM];
    u64 bat_dma[DPMAIF_RXQ_NUM];
    u32 bat_length[DPMAIF_RXQ_NUM];
    u64 frag_dma[DPMAIF_RXQ_NUM];
    u32 frag_length[DPMAIF_RXQ_NUM];
    u64 pit_dma[DPMAIF_RXQ_NUM];
    u32 pit_length[DPMAIF_RXQ_NUM];
};

// Filled by the status decode: entry i is (type[i], value[i]).
struct dpmaif_irq_status {
    u32 count;
    u32 type[DPMAIF_IRQ_RECORDS];
    u32 value[DPMAIF_IRQ_RECORDS];
};
static_assert(sizeof(struct dpmaif_irq_status) == 148, "the status record is 148 bytes");

// 0, or -1 without a window.
int dpmaif_hw_set_base(struct dpmaif_hw_info* hw, volatile u8* window_va, u64 window_modem_addr);
void dpmaif_hw_start(struct dpmaif_hw_info* hw, const struct dpmaif_ring_params* params);

// Index reads: the 18-bit fields; the DRB read index raw, in 32-bit words (DPMAIF_DRB_RD_INVALID
// when the engine has none).
u32 dpmaif_hw_get_pit_wr_idx(struct dpmaif_hw_info* hw, u8 q);
u32 dpmaif_hw_get_bat_rd_idx(struct dpmaif_hw_info* hw);
u32 dpmaif_hw_get_bat_wr_idx(struct dpmaif_hw_info* hw);
u32 dpmaif_hw_get_frag_rd_idx(struct dpmaif_hw_info* hw);
u32 dpmaif_hw_get_drb_rd_idx(struct dpmaif_hw_info* hw, u8 q);

// Add-counts: 0, or DPMAIF_ETIMEDOUT when a busy wait timed out (before the write: nothing written).
int dpmaif_hw_dl_add_bat_cnt(struct dpmaif_hw_info* hw, u8 q, u32 count);
int dpmaif_hw_dl_add_frag_cnt(struct dpmaif_hw_info* hw, u8 q, u32 count);
int dpmaif_hw_dl_add_pit_cnt(struct dpmaif_hw_info* hw, u8 q, u32 count);
int dpmaif_hw_ul_add_drb_cnt(struct dpmaif_hw_info* hw, u8 q, u32 words);

void dpmaif_hw_dl_bat_en(struct dpmaif_hw_info* hw, bool enable);
void dpmaif_hw_dl_enable(struct dpmaif_hw_info* hw);
void dpmaif_hw_ul_stop(struct dpmaif_hw_info* hw);
void dpmaif_hw_dl_stop(struct dpmaif_hw_info* hw);

// Decodes the status of receive queue q into `record`: the record count, or -1 without a record.
int drv_dpmaif_hw_get_interrupt_status(struct dpmaif_hw_info* hw, struct dpmaif_irq_status* record, u8 q);

// Masks. Only uplink queues 0-3 have a maskable done interrupt.
void dpmaif_hw_ul_mask(struct dpmaif_hw_info* hw, u32 queue_bits);
void dpmaif_hw_ul_unmask(struct dpmaif_hw_info* hw, u8 q);
int dpmaif_hw_dl_done_mask(struct dpmaif_hw_info* hw, u8 q);
int dpmaif_hw_dl_done_unmask(struct dpmaif_hw_info* hw, u8 q);
void dpmaif_hw_dl_event_unmask(struct dpmaif_hw_info* hw, u8 q);
void dpmaif_hw_dl_cause_unmask2(struct dpmaif_hw_info* hw);
void dpmaif_hw_dl_cause_unmask3(struct dpmaif_hw_info* hw);
void dpmaif_hw_dl_status_clear(struct dpmaif_hw_info* hw);
void dpmaif_hw_ul_status_clear(struct dpmaif_hw_info* hw);
void dpmaif_hw_dl_status_refresh(struct dpmaif_hw_info* hw);
// 1 when queue q's uplink-done status was set (it is cleared), else 0.
int dpmaif_hw_ul_done_ack(struct dpmaif_hw_info* hw, u8 q);

void dpmaif_hw_trace_status(struct dpmaif_hw_info* hw);
void dpmaif_hw_dump_regs(struct dpmaif_hw_info* hw);
void dpmaif_hw_assert(struct dpmaif_hw_info* hw, const char* file, const char* function, int line);
