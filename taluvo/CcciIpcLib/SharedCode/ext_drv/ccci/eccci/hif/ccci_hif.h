// The host interfaces (HIFs) of the modem and their dispatch: ports name a HIF path, the state machine
// a mask of paths; the per-modem path map turns them into HIF ids, and each operation goes to the engine
// of that id. Beside the dispatch, the hardware records of the CLDMA instances: where their register
// blocks sit and the interrupt hooks that tie them to the PCIe interrupt dispatch.
#pragma once

#include "cldma.h"
#include "kal.h"

struct mdm_pci_dev;
struct sk_buff;

#define HIF_TAG "HIF_CLDMA"

#define CCCI_HIF_MAX_MD 1 // only modem 0 exists
#define CCCI_HIF_SLOTS 5  // ids 0-4; slot 4 stays empty
#define CCCI_HIF_PATHS 4

// HIF ids.
#define CLDMA_HIF_SAP 0
#define CLDMA_HIF_MD 1
#define DPMAIF_HIF_ID 2
#define MHCCIF_HIF_ID 3

#define CCCI_HIF_DEFAULT_TX_MAX 3568 // what a HIF without CLDMA queues reports

#define MHCCIF_HIF_TAG 0x4643486Du // 'mHCF'

// Per modem, the HIF id of each path (only the low byte is read); set up with the modem (1, 0, 2, 3).
extern u32 hif_path_map[CCCI_HIF_MAX_MD][CCCI_HIF_PATHS];

// The operations of an engine's controller, by slot; the dispatch reaches slots 0, 5, 7, 8 and 11.
struct ccci_hif_ops {
    int (*send_skb)(u8 md, u8 hif, u8 qno, struct sk_buff* skb, int from_pool, int blocking); // 0
    void* reserved1;
    int (*tx_budget)(u8 md, u8 hif, u8 qno);                            // 2
    int (*start_queue)(u8 md, u8 hif, u8 qno, int dir);                 // 3
    int (*stop_queue)(u8 md, u8 hif, u8 qno, int dir);                  // 4
    int (*dump_status)(u8 md, u8 hif, u32 flags, u32 ignored, u32 qno); // 5
    void* reserved6;
    int (*start)(u8 md, u8 hif);              // 7
    int (*stop)(u8 md, u8 hif);               // 8
    int (*stop_tx_and_rx_low)(u8 md, u8 hif); // 9
    int (*nop)(u8 md, u8 hif);                // 10
    int (*reset)(u8 md, u8 hif, int what);    // 11
    int (*clear_rings)(u8 md, u8 hif, int dir); // 12
    int (*reset_and_start)(u8 md, u8 hif);    // 13
};

struct hif_hw_info;
typedef int (*hif_irq_handler)(void* arg);

// The MHCCIF HIF's twelve slots; 4 rings doorbell n, 10 reads the pending modem-to-host bits.
struct mhccif_hif_ops {
    int (*nop0)(struct hif_hw_info* info);
    int (*nop1)(struct hif_hw_info* info);
    int (*nop2)(struct hif_hw_info* info);
    void* reserved3;
    void (*send_doorbell)(struct hif_hw_info* info, u32 n); // 4
    void* reserved5[5];
    u32 (*doorbell_status)(struct hif_hw_info* info, u32 mask); // 10
    int (*status_nop)(struct hif_hw_info* info);                // 11
};

struct hif_hw_info {
    u8 hif_id;
    IPC_PCI_DEVICE* pci_dev;
    struct mdm_pci_dev* pcie_dev;
    void* instance; // cldma_hw_instance, or the MHCCIF companion
    hif_irq_handler irq_handler;
    void* irq_arg;
    int (*register_irq_handler)(struct hif_hw_info* info, hif_irq_handler handler, void* arg);
    void (*enable_irq)(struct hif_hw_info* info);
    void (*disable_irq)(struct hif_hw_info* info);
    const struct mhccif_hif_ops* ops; // MHCCIF only
    // 1 between enable_irq and disable_irq: the interrupt trampoline unmasks only then.
    volatile LONG irq_enabled;
};

// The MHCCIF HIF's controller; its last pointer names the companion record.
struct mhccif_hif_ctrl {
    u8 md;
    u8 hif_id;
    struct hif_hw_info* hw_info;
    void* companion;
};

// ---------------------------------------------------------------------------------------------
// Tables. A controller is registered with its operations by the engine that creates it.
void ccci_hif_set_ctrl(u8 md, u8 hif, void* ctrl, const struct ccci_hif_ops* ops);
void* ccci_hif_get_ctrl(u8 md, u8 hif);
struct hif_hw_info* ccci_hif_get_hw_info(u8 md, u8 hif);
// For the makers of hardware records (below).
void ccci_hif_set_hw_info(u8 md, u8 hif, struct hif_hw_info* info);

// The hardware records of CLDMA instance `hif` (0 or 1): made and stored in the table, the register
// blocks mapped through the device's modem window, the interrupt hooks set. None on failure (nothing
// left behind). The free releases them and clears the slot.
struct cldma_hw_instance* cldma_hw_info_alloc(u8 md, u8 hif, struct mdm_pci_dev* pcie_dev);
void cldma_hw_info_free(u8 md, u8 hif);
// Run by the interrupt dispatch for the instance's source: masked and acknowledged around the handler.
int hif_irq_trampoline(void* info);

// The MHCCIF HIF record: 0, or -1 (nothing left behind).
int mhccif_hif_alloc(u8 md, struct mdm_pci_dev* pcie_dev);
void mhccif_hif_free(u8 md);

// ---------------------------------------------------------------------------------------------
// Dispatch. Mask operations walk paths 0-3; "first non-zero" stops at the first engine result that is
// not 0; a modem other than 0, an id of 5 or more or a missing controller counts as -1. C linkage, so
// that tests can take a call over by its plain name.
extern "C" {
int ccci_hif_alloc(u8 md, u32 mask, struct mdm_pci_dev* pcie_dev);
int ccci_hif_init(u8 md, u32 mask);
int ccci_hif_hw_init(u8 md, u32 mask);
int ccci_hif_start(u8 md, u32 mask);
int ccci_hif_stop(u8 md, u32 mask);
int ccci_hif_send_skb(u8 md, u32 mask, u8 qno, struct sk_buff* skb, int from_pool, int blocking);
int ccci_hif_dump_status(u8 md, u32 mask, u32 flags, u32 ignored, u32 qno);
void ccci_hif_reset(u8 md, u32 mask, int what);
int ccci_hif_exception_stage(u8 md, u32 mask, int stage);
void ccci_hif_free(u8 md, u32 mask);
// One path (0-3), not a mask.
void ccci_hif_set_queue_variant(u8 md, u32 path, int variant);
int ccci_hif_get_tx_max_size(u8 md, u32 path, u8 qno);
int ccci_hif_write_room(u8 md, u32 path, u8 qno);
} // extern "C"
// The HIF id itself; only the MHCCIF id (3) serves them.
int ccci_hif_send_doorbell(u8 md, u8 hif, int stage);
u32 ccci_hif_get_doorbell_status(u8 md, u8 hif);
// No HIF of this system offers a shared area: always none.
void* ccci_hif_get_shared_area(u8 md, u32 mask);

// ---------------------------------------------------------------------------------------------
// The CLDMA engine's operations the dispatch calls directly (the rest are in cldma.h).
struct cldma_hw_instance* cldma_alloc(u8 md, u8 hif, struct mdm_pci_dev* pcie_dev);
int cldma_init(u8 md, u8 hif);
int cldma_hw_reinit(u8 md, u8 hif);
int cldma_exception_stage(u8 md, u8 hif, int stage);
void cldma_free(u8 md, u8 hif);
// The write limit of TX queue qno under the current variant.
int cldma_tx_max_size(u8 md, u8 hif, u8 qno);
