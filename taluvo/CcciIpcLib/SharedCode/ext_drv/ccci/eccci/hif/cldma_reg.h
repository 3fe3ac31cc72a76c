// The register map of one CLDMA instance and the one-access operations on it. Every other part of the
// CLDMA code reaches the engine only through these. Offsets and bits are the hardware's.
#pragma once

#include "kal.h"

#define CLDMA_QUEUES 8
#define CLDMA_ALL_QUEUES 0xFF

#define CLDMA_HIF_SAP 0
#define CLDMA_HIF_MD 1

// Block A (mostly receive).
#define CLDMA_A_RX_CONFIG 0x404
#define CLDMA_A_RX_START_ADDR 0x478 // + 8q low word, + 8q + 4 high word
#define CLDMA_A_RX_CURRENT_ADDR 0x4B8
#define CLDMA_A_RX_STATUS 0x4F8
#define CLDMA_A_RX_MASK 0x858
#define CLDMA_A_RX_UNMASK 0x860
#define CLDMA_A_RX_MASK_SET 0x868
#define CLDMA_A_RX_INIT_954 0x954
#define CLDMA_A_RX_INIT_960 0x960

// Block B (transmit, commands and interrupt status).
#define CLDMA_B_TX_START_ADDR 0x004
#define CLDMA_B_TX_CURRENT_ADDR 0x044
#define CLDMA_B_TX_STATUS 0x084
#define CLDMA_B_TX_START_CMD 0x088
#define CLDMA_B_TX_RESUME_CMD 0x08C
#define CLDMA_B_TX_STOP_CMD 0x090
#define CLDMA_B_TX_CONFIG 0x098
#define CLDMA_B_INIT_09C 0x09C
#define CLDMA_B_INIT_508 0x508
#define CLDMA_B_RX_START_CMD 0x5BC
#define CLDMA_B_RX_RESUME_CMD 0x5C0
#define CLDMA_B_RX_STOP_CMD 0x5C4
#define CLDMA_B_TX_IRQ_STATUS 0x810
#define CLDMA_B_TX_IRQ_MASK 0x818
#define CLDMA_B_TX_IRQ_UNMASK 0x820
#define CLDMA_B_TX_IRQ_MASK_SET 0x828
#define CLDMA_B_TX_ERROR0 0x830
#define CLDMA_B_TX_ERROR1 0x834
#define CLDMA_B_RX_IRQ_STATUS 0x850
#define CLDMA_B_RX_ERROR0 0x870
#define CLDMA_B_RX_ERROR1 0x874
#define CLDMA_B_REARM 0x8B4

// Interrupt status layout: done of queue q at bit q, empty at bit q + 8, errors in bits 16 to 31.
#define CLDMA_IRQ_DONE_ALL 0xFFu
#define CLDMA_IRQ_EMPTY_ALL 0xFF00u
#define CLDMA_IRQ_ERRORS 0xFFFF0000u

// The modem's infrastructure block (modem address 0x10001000): the MD core's reset controls.
#define CLDMA_INFRA_RESET_SET_1 0x730
#define CLDMA_INFRA_RESET_SET_2 0x140
#define CLDMA_INFRA_RESET_CLR_1 0x734
#define CLDMA_INFRA_RESET_CLR_2 0x144

// One CLDMA instance as the hardware records describe it: which core, how it addresses, where its two
// register blocks are mapped.
struct cldma_hw_instance {
    u32 hif_id;
    u32 type;
    u32 addr_mode;
    volatile u8* base_a;
    volatile u8* base_b;
    u32 modem_addr_a;
    u32 modem_addr_b;
    u32 irq_source;
};

void cldma_hw_init(const struct cldma_hw_instance* hw);
void cldma_hw_restore(const struct cldma_hw_instance* hw);

// `q` is a queue number 0 to 7 or, where noted, CLDMA_ALL_QUEUES; `rx` picks the receive side.
void cldma_hw_start_queue(const struct cldma_hw_instance* hw, u8 q, bool rx);  // or all
void cldma_hw_resume_queue(const struct cldma_hw_instance* hw, u8 q, bool rx);
void cldma_hw_stop_queue(const struct cldma_hw_instance* hw, u8 q, bool rx);   // or all
void cldma_hw_set_start_addr(const struct cldma_hw_instance* hw, u8 q, u64 address, bool rx);
u64 cldma_hw_current_addr(const struct cldma_hw_instance* hw, u8 q, bool rx);
// -1 when the engine lost queue q's TX start address (both words read 0), else 0.
s32 cldma_hw_tx_start_addr_lost(const struct cldma_hw_instance* hw, u8 q);
// Bit q of the status (0 or 1); the whole register for all queues.
u32 cldma_hw_queue_running(const struct cldma_hw_instance* hw, u8 q, bool rx);
u32 cldma_hw_irq_masked(const struct cldma_hw_instance* hw, u8 q, bool rx);
// The whole TX or RX interrupt mask register (done, empty and error bits).
u32 cldma_hw_irq_mask(const struct cldma_hw_instance* hw, bool rx);
u32 cldma_hw_irq_status(const struct cldma_hw_instance* hw, u32 bits, bool rx);
void cldma_hw_clear_irq(const struct cldma_hw_instance* hw, u32 bits, bool rx);
void cldma_hw_unmask_done(const struct cldma_hw_instance* hw, u8 q, bool rx);  // or all
void cldma_hw_unmask_empty(const struct cldma_hw_instance* hw, u8 q, bool rx); // or all
void cldma_hw_mask_done(const struct cldma_hw_instance* hw, u8 q, bool rx);    // or all
void cldma_hw_mask_empty(const struct cldma_hw_instance* hw, u8 q, bool rx);   // or all
void cldma_hw_mask_all(const struct cldma_hw_instance* hw, bool rx);
void cldma_hw_unmask_all(const struct cldma_hw_instance* hw);
void cldma_hw_rearm(const struct cldma_hw_instance* hw);
// Reads both error registers of a side and writes each value back, which clears them.
void cldma_hw_clear_errors(const struct cldma_hw_instance* hw, bool rx, u32* error0, u32* error1);

// Pulses the MD core's reset through the infrastructure block, which the PCIe device context maps
// (`infra`, none without the context). Acts only on the MD instance.
void cldma_md_reset_pulse(const struct cldma_hw_instance* hw, volatile u8* infra);

// The instance's register windows to the trace, in hex lines of 16 bytes.
void cldma_reg_dump(const struct cldma_hw_instance* hw);
