// The chip's record of the modem's PCIe function, the bus driver that probes it, and the interrupt
// chain that turns the MAC's status into calls of each source's owner: ISR -> DPC -> source callback,
// with the doorbells and the grouped sources finished in one passive-level work item.
#pragma once

#include "kal.h"

#define MDM_PCI_TAG 0x6D544B50u // 'PKTm'
#define MDM_PCI_MAX_IRQS 32
#define MDM_IRQ_SOURCES 8  // sources 0-7: status bit 24 + n, one callback each
#define MDM_DB_SLOTS 8     // doorbell handler slots
#define MDM_MAX_BARS 3

// Interrupt sources: bit 24 + n for n = 0-7; 8 and 9 are the status groups 16-19 and 20-23.
#define MDM_IRQ_SRC_DPMAIF0 0
#define MDM_IRQ_SRC_CLDMA_SAP 1
#define MDM_IRQ_SRC_CLDMA_MD 2
#define MDM_IRQ_SRC_MHCCIF 4
#define MDM_IRQ_SRC_DPMAIF1 5
#define MDM_IRQ_SRC_RGU 6
#define MDM_IRQ_SRC_GROUP0 8
#define MDM_IRQ_SRC_GROUP1 9

// irq_work_bits.
#define MDM_WORK_DOORBELL 0 // doorbell service pending
#define MDM_WORK_GROUP0 1   // source 8 pending
#define MDM_WORK_GROUP1 2   // source 9 pending
#define MDM_WORK_QUEUED 3   // the work item is queued or running

// Modem addresses reached through the second memory window (address translation).
#define MDM_ATR_BASE 0x10000000ull
#define MDM_ATR_WINDOW 0x400000ull
#define MDM_MD_REG_ADDR 0x10001000ull

struct mdm_pci_dev;
typedef int (*mdm_irq_cb)(void* arg);
typedef int (*mdm_db_cb)(void* arg);
typedef void (*mdm_pm_notify_cb)(int resumed, void* arg);

// What every device record points to: the bus driver's interrupt description.
struct mdm_irq_desc {
    const char* driver_name;
    const char* irq_name;
    BOOLEAN (*handler)(int irq, struct mdm_pci_dev* dev);
};

struct mdm_irq_info {
    u32 vector;
    u16 message;
};

// One per programmed MSI-X vector.
struct msix_vector {
    struct mdm_pci_dev* dev;
    u32 vector;
    BOOLEAN (*handler)(struct msix_vector* vec);
};

// A power entity (CLDMA instances keys 1 and 2, DPMAIF key 3), owned by its registrant.
struct mdm_pci_pm_entity {
    LIST_ENTRY link;
    int (*suspend)(struct mdm_pci_dev* dev, void* data);
    int (*suspend_late)(struct mdm_pci_dev* dev, void* data);
    int (*resume_early)(struct mdm_pci_dev* dev, void* data);
    int (*resume)(struct mdm_pci_dev* dev, void* data);
    u32 key;
    void* data;
};

struct ccci_md;
struct ccmni_ctl_block;

struct mdm_pci_dev {
    WDFINTERRUPT irqs[MDM_PCI_MAX_IRQS];
    u8* mac_base;
    u8* bar_va[MDM_MAX_BARS];
    u64 bar_pa[MDM_MAX_BARS];
    u64 bar_len[MDM_MAX_BARS];
    volatile LONG64 irq_work_bits; // MDM_WORK_*; changed with interlocked operations only
    WDFSPINLOCK irq_lock;          // guards low_status_bits
    s32 irq_count;
    u32 low_status_bits;
    struct mdm_irq_info irq_info[MDM_PCI_MAX_IRQS];
    u32 msix_subset; // fewer than 32 vectors programmed into the MAC
    struct msix_vector* msix_vectors;
    mdm_irq_cb irq_cb[MDM_IRQ_SOURCES];
    void* irq_cb_arg[MDM_IRQ_SOURCES];
    mdm_db_cb db_cb[MDM_DB_SLOTS];
    u32 db_mask[MDM_DB_SLOTS];
    void* db_cb_arg[MDM_DB_SLOTS];
    mdm_pm_notify_cb pm_notify;
    void* pm_notify_arg;
    IPC_PCI_DEVICE* pdev;
    const struct mdm_irq_desc* irq_desc;
    WDFWORKITEM irq_work;
    u8* mac;
    u8* bar2_base;
    u8* bar4_base;
    u64 atr_base;
    u64 md_reg_base;
    u8* md_reg_va;
    u8* mhccif_base;
    u8* mhccif_base2;
    struct ccmni_ctl_block* ccmni; // the modem's network devices and DPMAIF instance (ccmni.h)
    // Power management (pcie_pm.h).
    struct ccci_md* md;
    LIST_ENTRY pm_entities;
    WDFSPINLOCK pm_lock;       // the resource-lock count against the unlock timer and the suspend
    WDFWAITLOCK pm_list_lock;  // pm_entities
    volatile LONG res_lock_count;
    KEVENT ev_res_grant;
    KEVENT ev_suspend_ack1;
    KEVENT ev_resume_ack1;
    KEVENT ev_suspend_ack2;
    KEVENT ev_resume_ack2;
    volatile LONG sleep_enable;
    volatile LONG lock_allowed;
    WDFTIMER resume_timer;
    WDFTIMER unlock_timer;
    volatile LONG pm_msg_seq;
    u32 probe_done;
    u32 mhccif_ready;
    u32 sleep_caps;
    volatile LONG d3_done;
    KEVENT ev_removal;
    // Counters, traced only.
    u32 res_lock_requests;
    u32 grant_count;
};

// irq_work_bits is shared by the DPC and the work item without a lock: interlocked bit operations.
inline bool mdm_irq_work_test(struct mdm_pci_dev* dev, u32 bit)
{
    return (ReadNoFence64(&dev->irq_work_bits) & (1ll << bit)) != 0;
}
inline void mdm_irq_work_set(struct mdm_pci_dev* dev, u32 bit)
{
    InterlockedOr64(&dev->irq_work_bits, 1ll << bit);
}
inline void mdm_irq_work_clear(struct mdm_pci_dev* dev, u32 bit)
{
    InterlockedAnd64(&dev->irq_work_bits, ~(1ll << bit));
}

// ---------------------------------------------------------------------------------------------
// Module and bus driver.
int mdm_pcie_module_init(void);
void mdm_pcie_module_exit(void);
int mdm_pcie_register_bus_driver(void);
void mdm_pcie_unregister_bus_driver(void);
struct pci_driver* mdm_pcie_bus_driver(void);
int mdm_pci_probe(IPC_PCI_DEVICE* pdev, const struct pci_device_id* id);
void mdm_pci_remove(IPC_PCI_DEVICE* pdev);
// The record of the current PCI device, or none.
struct mdm_pci_dev* mdm_pci_current(void);
int mdm_pci_msix_vectors_setup(struct mdm_pci_dev* dev, u32 count);

// Interrupt-source registry: 0, or -1 for no device or a source/slot out of range. A null callback
// clears the source's.
int mdm_pcie_register_irq_callback(struct mdm_pci_dev* dev, u32 source, mdm_irq_cb cb, void* arg);
int mdm_pcie_irq_mask(struct mdm_pci_dev* dev, u32 source, bool mask);
int mdm_pcie_irq_ack(struct mdm_pci_dev* dev, u32 source);
int mdm_pcie_register_doorbell_handler(struct mdm_pci_dev* dev, u32 slot, u32 bits, mdm_db_cb cb, void* arg);
int mdm_pcie_register_pm_notify(struct mdm_pci_dev* dev, mdm_pm_notify_cb cb, void* arg);

// Interrupt chain.
EVT_WDF_INTERRUPT_ISR mdm_pcie_irq_isr;
EVT_WDF_INTERRUPT_DPC mdm_pcie_irq_dpc;
BOOLEAN mdm_pcie_irq_handler(int irq, struct mdm_pci_dev* dev);
BOOLEAN mdm_pcie_msix_vector_dispatch(struct msix_vector* vec);
EVT_WDF_WORKITEM mdm_pcie_irq_work;
void mdm_pcie_irq_work_queue(struct mdm_pci_dev* dev);
