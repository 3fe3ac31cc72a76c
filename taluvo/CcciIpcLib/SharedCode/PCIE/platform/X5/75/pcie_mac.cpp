// The PCIe MAC's registers: address translation, interrupt status and masks in both modes, and the
// MSI-X table masks held by the bus driver.
#include "pcie_mac.h"

#include "IpcPcie.h"

#define PCIE_TAG "PCIE"

namespace
{

// Status bits of the grouped sources 8 and 9.
constexpr u32 kGroupBits[2] = {0xF0000u, 0xF00000u};
constexpr u32 kGroupShift[2] = {16, 20};

u32 source_bits(u32 source)
{
    if (source < MDM_IRQ_SOURCES)
        return 1u << (source + 24);
    return kGroupBits[source - MDM_IRQ_SRC_GROUP0];
}

bool msix_mode(const struct mdm_pci_dev* dev)
{
    return dev->pdev != nullptr && dev->pdev->MessageSignalled != 0;
}

u8* atr_entry(u8* mac, u32 port, u32 table)
{
    return mac + MAC_ATR + (port * ATR_TABLES + table) * ATR_ENTRY_SIZE;
}

} // namespace

u32 mac_read(const u8* mac, u32 offset) { return win_reg_read(mac, offset); }

void mac_write(u8* mac, u32 offset, u32 value) { win_reg_write(mac, offset, value); }

void mdm_pcie_mac_atr_disable_table(u8* mac, u32 port, u32 table)
{
    win_reg_write(atr_entry(mac, port, table), 0, 0);
    KeMemoryBarrier();
}

void mdm_pcie_mac_atr_disable_port(u8* mac, u32 port)
{
    for (u32 table = 0; table < ATR_TABLES; table++)
        mdm_pcie_mac_atr_disable_table(mac, port, table);
}

int mdm_pcie_mac_atr_set(u8* mac, const struct atr_cfg* cfg)
{
    u32 code;
    if (cfg->transparent) {
        code = 63;
    } else {
        // A window is a power of two of at least 4 KiB: the code is log2(size) - 1.
        const u32 low = static_cast<u32>(cfg->size);
        const u32 high = static_cast<u32>(cfg->size >> 32);
        if (cfg->size == 0 || (cfg->size & (cfg->size - 1)) != 0) {
            ccci_err(PCIE_TAG, "atr size 0x%llx is not a power of two", cfg->size);
            return -1;
        }
        code = low != 0 ? static_cast<u32>(kal_ffs(low) - 2) : static_cast<u32>(kal_ffs(high) + 30);
        if ((cfg->src_addr & (cfg->size - 1)) != 0) {
            ccci_err(PCIE_TAG, "%s: atr src 0x%llx not aligned to its size", __FILE__, cfg->src_addr);
            return -1;
        }
        if ((cfg->trsl_addr & (cfg->size - 1)) != 0) {
            ccci_err(PCIE_TAG, "%s: atr trsl 0x%llx not aligned to 0x%llx", __FILE__, cfg->trsl_addr,
                     cfg->size - 1);
            return -1;
        }
    }
    u8* entry = atr_entry(mac, cfg->port, cfg->table);
    mac_write(entry, 0x04, static_cast<u32>(cfg->src_addr >> 32));
    mac_write(entry, 0x08, static_cast<u32>(cfg->trsl_addr & 0xFFFFF000u));
    mac_write(entry, 0x0C, static_cast<u32>(cfg->trsl_addr >> 32));
    mac_write(entry, 0x10, (cfg->trsl_param << 16) | cfg->trsl_id);
    // Word 0 last: it enables the entry.
    mac_write(entry, 0x00, static_cast<u32>(cfg->src_addr & 0xFFFFF001u) | (code << 1) | 1u);
    (void)mac_read(entry, 0x00);
    KeMemoryBarrier();
    ccci_dbg(PCIE_TAG, "atr port %u table %u type %u code %u", cfg->port, cfg->table, cfg->type, code);
    return 0;
}

int mdm_pcie_mac_atr_init(IPC_PCI_DEVICE* pdev)
{
    struct mdm_pci_dev* dev = pdev->MdmDevice;
    u8* mac = dev->mac;
    for (u32 port = 0; port < ATR_PORTS; port++)
        mdm_pcie_mac_atr_disable_port(mac, port);

    struct atr_cfg cfg = {};
    cfg.src_addr = dev->bar_pa[1];
    cfg.trsl_addr = MDM_ATR_BASE;
    cfg.size = MDM_ATR_WINDOW;
    cfg.trsl_id = 4;
    mdm_pcie_mac_atr_disable_port(mac, 0);
    (void)mdm_pcie_mac_atr_set(mac, &cfg);
    dev->atr_base = MDM_ATR_BASE;

    for (u32 port = 2; port <= 4; port++) {
        struct atr_cfg transparent = {};
        transparent.type = 1;
        transparent.port = port;
        transparent.transparent = 1;
        mdm_pcie_mac_atr_disable_port(mac, port);
        (void)mdm_pcie_mac_atr_set(mac, &transparent);
    }
    return 0;
}

void mdm_pcie_mac_irq_global(u8* mac, bool enable)
{
    const u32 value = mac_read(mac, MAC_IRQ_OUTPUT);
    mac_write(mac, MAC_IRQ_OUTPUT, enable ? (value & ~1u) : (value | 1u));
}

u32 mdm_pcie_mac_legacy_enable(u8* mac, bool disable)
{
    const u32 old = mac_read(mac, MAC_LEGACY_ENABLE);
    mac_write(mac, MAC_LEGACY_ENABLE, disable ? 0 : MAC_LEGACY_ALL_SOURCES);
    return old;
}

int mdm_pcie_mac_irq_status(u8* mac, u32* sources)
{
    const u32 status = mac_read(mac, MAC_LEGACY_STATUS);
    if (status == 0)
        return 0;
    const u32 pending = status & mac_read(mac, MAC_LEGACY_ENABLE);
    u32 set = pending >> 24;
    if (pending & kGroupBits[0])
        set |= 1u << MDM_IRQ_SRC_GROUP0;
    if (pending & kGroupBits[1])
        set |= 1u << MDM_IRQ_SRC_GROUP1;
    *sources = set;
    return 1;
}

void mdm_pcie_mac_irq_mask(struct mdm_pci_dev* dev, u32 source, bool mask)
{
    if (source > MDM_IRQ_SRC_GROUP1) {
        ccci_err(PCIE_TAG, "irq source %u out of range", source);
        return;
    }
    const u32 reg = msix_mode(dev) ? (mask ? MAC_MSIX_MASK : MAC_MSIX_UNMASK)
                                   : (mask ? MAC_LEGACY_MASK : MAC_LEGACY_UNMASK);
    mac_write(dev->mac, reg, source_bits(source));
}

void mdm_pcie_mac_irq_status_clear(struct mdm_pci_dev* dev, u32 bit)
{
    if (msix_mode(dev)) {
        mac_write(dev->mac, MAC_MSIX_STATUS, 1u << bit);
    } else {
        mac_write(dev->mac, MAC_LEGACY_LOW_CLEAR, 1u << bit);
        mac_write(dev->mac, MAC_LEGACY_STATUS, 1u << bit);
    }
}

u32 mdm_pcie_mac_group_ctrl(struct mdm_pci_dev* dev, u32 source, u32 op)
{
    if ((source != MDM_IRQ_SRC_GROUP0 && source != MDM_IRQ_SRC_GROUP1) || op > 1) {
        ccci_err(PCIE_TAG, "group control: source %u op %u refused", source, op);
        return 0;
    }
    const u32 group = source - MDM_IRQ_SRC_GROUP0;
    const u32 reg = msix_mode(dev) ? MAC_MSIX_STATUS : MAC_LEGACY_STATUS;
    if (op == 0)
        return (mac_read(dev->mac, reg) >> kGroupShift[group]) & 0xF;
    // Write-1-to-clear in both modes: only the group's bits are written.
    mac_write(dev->mac, reg, kGroupBits[group]);
    return 0;
}

u32 mdm_pcie_mac_msix_pending(u8* mac)
{
    const u32 pending = mac_read(mac, MAC_MSIX_ENABLED) & mac_read(mac, MAC_MSIX_STATUS);
    ccci_dbg(PCIE_TAG, "msix pending 0x%x", pending);
    return pending;
}

u32 mdm_pcie_mac_msix_status_test(u8* mac, u32 bit)
{
    return mac_read(mac, MAC_MSIX_STATUS) & (1u << bit);
}

u32 mdm_pcie_mac_msix_vector_count_set(u8* mac, u32 count)
{
    const u32 old = mac_read(mac, MAC_MSIX_VECTOR_COUNT);
    mac_write(mac, MAC_MSIX_VECTOR_COUNT, count == 0 ? 0 : static_cast<u32>(2 * kal_ffs(count) - 1));
    return old;
}

void mdm_pci_mac_msix_desc_mask_irq(IPC_PCI_DEVICE* pdev, u32 vector, bool mask)
{
    PCI_MSIX_TABLE_CONFIG_INTERFACE* msix = &pdev->MsixTableInterface;
    PPCI_MSIX_MASKUNMASK_ENTRY op = mask ? msix->MaskTableEntry : msix->UnmaskTableEntry;
    if (msix->Context == nullptr || op == nullptr)
        return;
    const NTSTATUS status = op(msix->Context, vector);
    if (!NT_SUCCESS(status))
        ccci_err(PCIE_TAG, "%s %s vector %u failed 0x%x", mask ? "Mask" : "Unmask",
                 "mdm_pci_mac_msix_desc_mask_irq", vector, status);
}
