// The hardware records of the HIFs: a CLDMA instance's register blocks and interrupt hooks, and the
// MHCCIF HIF record that serves the handshake's doorbells.
#include "hif/ccci_hif.h"

#include "mhccif.h"
#include "pcie_device.h"

namespace
{

struct cldma_layout {
    u32 modem_addr_a;
    u32 modem_addr_b;
    u32 irq_source;
};

// By HIF id: the modem addresses of register blocks A and B and the interrupt source.
const cldma_layout k_cldma_layout[] = {
    {0x10049000, 0x1021D000, MDM_IRQ_SRC_CLDMA_SAP},
    {0x1004B000, 0x1021F000, MDM_IRQ_SRC_CLDMA_MD},
};

void irq_mask(struct hif_hw_info* info, bool mask)
{
    auto* instance = static_cast<struct cldma_hw_instance*>(info->instance);
    if (mdm_pcie_irq_mask(info->pcie_dev, instance->irq_source, mask) != 0)
        ccci_err(HIF_TAG, "hif %u source %u not %s", info->hif_id, instance->irq_source,
                 mask ? "masked" : "unmasked");
}

void irq_ack(struct hif_hw_info* info)
{
    auto* instance = static_cast<struct cldma_hw_instance*>(info->instance);
    mdm_pcie_irq_ack(info->pcie_dev, instance->irq_source);
}

int cldma_register_irq_handler(struct hif_hw_info* info, hif_irq_handler handler, void* arg)
{
    auto* instance = static_cast<struct cldma_hw_instance*>(info->instance);
    info->irq_handler = handler;
    info->irq_arg = arg;
    int ret = mdm_pcie_register_irq_callback(info->pcie_dev, instance->irq_source, hif_irq_trampoline, info);
    irq_ack(info);
    return ret;
}

void cldma_enable_irq(struct hif_hw_info* info)
{
    InterlockedExchange(&info->irq_enabled, 1);
    irq_mask(info, false);
}

void cldma_disable_irq(struct hif_hw_info* info)
{
    InterlockedExchange(&info->irq_enabled, 0);
    irq_mask(info, true);
}

// Host address of modem address `modem_addr` through the device's modem window.
u8* window_address(struct mdm_pci_dev* dev, u32 modem_addr)
{
    return dev->bar2_base + (modem_addr - dev->atr_base);
}

void mhccif_ops_send_doorbell(struct hif_hw_info* info, u32 n)
{
    mhccif_send_doorbell(info->pcie_dev, n);
}

u32 mhccif_ops_doorbell_status(struct hif_hw_info* info, u32 mask)
{
    u32 status = 0;
    if (!mhccif_read_status(info->pcie_dev, &status))
        return 0;
    return status & mask;
}

int mhccif_ops_nop(struct hif_hw_info*)
{
    return 0;
}

const struct mhccif_hif_ops k_mhccif_hif_ops = {
    mhccif_ops_nop, mhccif_ops_nop, mhccif_ops_nop, NULL, mhccif_ops_send_doorbell,
    {NULL, NULL, NULL, NULL, NULL}, mhccif_ops_doorbell_status, mhccif_ops_nop,
};

} // namespace

int hif_irq_trampoline(void* arg)
{
    auto* info = static_cast<struct hif_hw_info*>(arg);
    irq_mask(info, true);
    irq_ack(info);
    int ret = info->irq_handler != NULL ? info->irq_handler(info->irq_arg) : 0;
    irq_ack(info);
    // A disable_irq meanwhile keeps the source masked: unmask only while enabled, and mask again when
    // a disable came between the check and the unmask.
    if (ReadAcquire(&info->irq_enabled)) {
        irq_mask(info, false);
        if (!ReadAcquire(&info->irq_enabled))
            irq_mask(info, true);
    }
    return ret;
}

struct cldma_hw_instance* cldma_hw_info_alloc(u8 md, u8 hif, struct mdm_pci_dev* pcie_dev)
{
    if (md >= CCCI_HIF_MAX_MD || hif >= RTL_NUMBER_OF(k_cldma_layout)) {
        ccci_err(HIF_TAG, "no CLDMA instance md %u hif %u", md, hif);
        return NULL;
    }
    auto* info = static_cast<struct hif_hw_info*>(win_zalloc(sizeof(struct hif_hw_info), 0, CLDMA_POOL_TAG));
    auto* instance =
        static_cast<struct cldma_hw_instance*>(win_zalloc(sizeof(struct cldma_hw_instance), 0, CLDMA_POOL_TAG));
    if (info == NULL || instance == NULL) {
        ccci_err(HIF_TAG, "hif %u hardware records not allocated", hif);
    } else if (pcie_dev == NULL || pcie_dev->pdev == NULL || pcie_dev->bar2_base == NULL) {
        ccci_err(HIF_TAG, "hif %u registers not mapped: no PCI device", hif);
    } else {
        const cldma_layout& layout = k_cldma_layout[hif];
        info->hif_id = hif;
        info->pcie_dev = pcie_dev;
        info->pci_dev = pcie_dev->pdev;
        info->instance = instance;
        info->register_irq_handler = cldma_register_irq_handler;
        info->enable_irq = cldma_enable_irq;
        info->disable_irq = cldma_disable_irq;
        instance->hif_id = hif;
        instance->type = 0;
        instance->addr_mode = 3;
        instance->modem_addr_a = layout.modem_addr_a;
        instance->modem_addr_b = layout.modem_addr_b;
        instance->irq_source = layout.irq_source;
        instance->base_a = window_address(pcie_dev, layout.modem_addr_a);
        instance->base_b = window_address(pcie_dev, layout.modem_addr_b);
        ccci_hif_set_hw_info(md, hif, info);
        return instance;
    }
    if (instance != NULL)
        win_free(instance, CLDMA_POOL_TAG);
    if (info != NULL)
        win_free(info, CLDMA_POOL_TAG);
    return NULL;
}

void cldma_hw_info_free(u8 md, u8 hif)
{
    struct hif_hw_info* info = ccci_hif_get_hw_info(md, hif);
    if (info == NULL)
        return;
    ccci_hif_set_hw_info(md, hif, NULL);
    auto* instance = static_cast<struct cldma_hw_instance*>(info->instance);
    // The interrupt dispatch must not reach the trampoline with the freed record.
    if (instance != NULL && info->pcie_dev != NULL && info->pcie_dev->irq_cb_arg[instance->irq_source] == info)
        mdm_pcie_register_irq_callback(info->pcie_dev, instance->irq_source, NULL, NULL);
    if (instance != NULL)
        win_free(instance, CLDMA_POOL_TAG);
    win_free(info, CLDMA_POOL_TAG);
}

int mhccif_hif_alloc(u8 md, struct mdm_pci_dev* pcie_dev)
{
    if (md >= CCCI_HIF_MAX_MD)
        return -1;
    auto* ctrl = static_cast<struct mhccif_hif_ctrl*>(win_zalloc(sizeof(struct mhccif_hif_ctrl), 0, MHCCIF_HIF_TAG));
    void* companion = win_zalloc(sizeof(void*) * 4, 0, MHCCIF_HIF_TAG);
    auto* info = static_cast<struct hif_hw_info*>(win_zalloc(sizeof(struct hif_hw_info), 0, MHCCIF_HIF_TAG));
    if (ctrl == NULL || companion == NULL || info == NULL) {
        ccci_err(HIF_TAG, "doorbell HIF records not allocated");
        void* made[] = {ctrl, companion, info};
        for (void* p : made) {
            if (p != NULL)
                win_free(p, MHCCIF_HIF_TAG);
        }
        return -1;
    }
    info->hif_id = MHCCIF_HIF_ID;
    info->pcie_dev = pcie_dev;
    info->instance = companion;
    info->ops = &k_mhccif_hif_ops;
    ctrl->md = md;
    ctrl->hif_id = MHCCIF_HIF_ID;
    ctrl->hw_info = info;
    ctrl->companion = companion;
    ccci_hif_set_ctrl(md, MHCCIF_HIF_ID, ctrl, NULL);
    ccci_hif_set_hw_info(md, MHCCIF_HIF_ID, info);
    return 0;
}

void mhccif_hif_free(u8 md)
{
    auto* ctrl = static_cast<struct mhccif_hif_ctrl*>(ccci_hif_get_ctrl(md, MHCCIF_HIF_ID));
    struct hif_hw_info* info = ccci_hif_get_hw_info(md, MHCCIF_HIF_ID);
    ccci_hif_set_ctrl(md, MHCCIF_HIF_ID, NULL, NULL);
    ccci_hif_set_hw_info(md, MHCCIF_HIF_ID, NULL);
    if (ctrl != NULL) {
        if (ctrl->companion != NULL)
            win_free(ctrl->companion, MHCCIF_HIF_TAG);
        win_free(ctrl, MHCCIF_HIF_TAG);
    }
    if (info != NULL)
        win_free(info, MHCCIF_HIF_TAG);
}
