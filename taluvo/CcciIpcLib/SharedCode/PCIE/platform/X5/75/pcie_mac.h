// The modem's PCIe MAC (first memory window): address translation, the interrupt registers in the
// legacy/single-message and MSI-X modes, and the MSI-X table masking through the bus driver. Plain
// register accesses without locks: the interrupt chain and the power paths serialise them.
#pragma once

#include "pcie_device.h"

// Register map (offsets from the MAC window).
#define MAC_LEGACY_ONLY_LOW 0x0BC // non-zero: the legacy handler only acknowledges bits 0-7
#define MAC_LINK_STATUS 0x150
#define MAC_DUMP_180 0x180
#define MAC_DUMP_184 0x184
#define MAC_LEGACY_ENABLE 0x188
#define MAC_LEGACY_STATUS 0x18C
#define MAC_IRQ_OUTPUT 0x1AC // bit 0: output disabled
#define MAC_DUMP_1D4 0x1D4
#define MAC_LEGACY_UNMASK 0x1F0
#define MAC_LEGACY_MASK 0x1F4
#define MAC_RES_LOCK 0x348 // bit 7: host resource request
#define MAC_LEGACY_LOW_CLEAR 0x3CC
#define MAC_MSIX_VECTOR_COUNT 0x3EC
#define MAC_ATR 0x600
#define MAC_RESUME_STATE 0xD0C
#define MAC_BOOT_STATUS 0xD1C
#define MAC_RES_GRANT 0xD28 // 0x1F: granted
#define MAC_PM_SET 0xE50
#define MAC_PM_CLEAR 0xE54
#define MAC_MSIX_STATUS 0xF00
#define MAC_MSIX_UNMASK 0x3000
#define MAC_MSIX_MASK 0x3080
#define MAC_MSIX_ENABLED 0x3100

#define MAC_RES_LOCK_REQUEST 0x80u
#define MAC_RES_GRANTED 0x1Fu
#define MAC_LEGACY_ALL_SOURCES 0xFF77FFFFu // all but bits 19 and 23

#define ATR_PORTS 6
#define ATR_TABLES 8
#define ATR_ENTRY_SIZE 32

struct atr_cfg {
    u64 src_addr;
    u64 trsl_addr;
    u64 size;
    u32 type; // traced only
    u32 port;
    u32 table;
    u32 trsl_id;
    u32 trsl_param;
    u32 transparent;
};

u32 mac_read(const u8* mac, u32 offset);
void mac_write(u8* mac, u32 offset, u32 value);

int mdm_pcie_mac_atr_init(IPC_PCI_DEVICE* pdev);
int mdm_pcie_mac_atr_set(u8* mac, const struct atr_cfg* cfg);
void mdm_pcie_mac_atr_disable_table(u8* mac, u32 port, u32 table);
void mdm_pcie_mac_atr_disable_port(u8* mac, u32 port);
void mdm_pcie_mac_irq_global(u8* mac, bool enable);
u32 mdm_pcie_mac_legacy_enable(u8* mac, bool disable);
// 0 when no status is pending, else 1 with the pending sources (bit n = source n) in `sources`.
int mdm_pcie_mac_irq_status(u8* mac, u32* sources);
void mdm_pcie_mac_irq_mask(struct mdm_pci_dev* dev, u32 source, bool mask);
void mdm_pcie_mac_irq_status_clear(struct mdm_pci_dev* dev, u32 bit);
// op 0 reads the group's four status bits, op 1 clears them.
u32 mdm_pcie_mac_group_ctrl(struct mdm_pci_dev* dev, u32 source, u32 op);
u32 mdm_pcie_mac_msix_pending(u8* mac);
u32 mdm_pcie_mac_msix_status_test(u8* mac, u32 bit);
u32 mdm_pcie_mac_msix_vector_count_set(u8* mac, u32 count);
void mdm_pci_mac_msix_desc_mask_irq(IPC_PCI_DEVICE* pdev, u32 vector, bool mask);
