// The doorbell block: rings to the modem, and the service of the modem's doorbells that the interrupt
// work item runs with source 4 masked.
#include "mhccif.h"

#include "IpcPcie.h"
#include "pcie_mac.h"

#define MHCCIF_TAG "MHCCIF"

namespace
{

constexpr u32 kLinkDown = 0xFFFFFFFFu;

// The modem-to-host bits whose events the power management waits on, with their events.
struct DoorbellEvent {
    u32 bit;
    KEVENT mdm_pci_dev::*event;
};
constexpr DoorbellEvent kEvents[] = {
    {D2H_RESOURCE_GRANT, &mdm_pci_dev::ev_res_grant},
    {D2H_SUSPEND_ACK1, &mdm_pci_dev::ev_suspend_ack1},
    {D2H_RESUME_ACK1, &mdm_pci_dev::ev_resume_ack1},
    {D2H_SUSPEND_ACK2, &mdm_pci_dev::ev_suspend_ack2},
    {D2H_RESUME_ACK2, &mdm_pci_dev::ev_resume_ack2},
};

u32 reg_read(struct mdm_pci_dev* dev, u32 offset)
{
    return mac_read(dev->mhccif_base, offset);
}

void reg_write(struct mdm_pci_dev* dev, u32 offset, u32 value)
{
    mac_write(dev->mhccif_base, offset, value);
}

} // namespace

int mhccif_init(struct mdm_pci_dev* dev)
{
    dev->mhccif_base = dev->bar2_base - dev->atr_base + MHCCIF_ADDR;
    dev->mhccif_base2 = dev->bar2_base - dev->atr_base + MHCCIF_ADDR2;
    ccci_info(MHCCIF_TAG, "base %p modem 0x%llx atr 0x%llx", dev->bar2_base, MHCCIF_ADDR, dev->atr_base);
    dev->irq_cb[MDM_IRQ_SRC_MHCCIF] = mhccif_isr;
    dev->irq_cb_arg[MDM_IRQ_SRC_MHCCIF] = dev;
    dev->mhccif_ready = 1;
    return 0;
}

int mhccif_exit(struct mdm_pci_dev* dev)
{
    dev->mhccif_ready = 0;
    return 0;
}

void mhccif_send_doorbell(struct mdm_pci_dev* dev, u32 n)
{
    if (dev == nullptr || dev->mhccif_base == nullptr) {
        ccci_err(MHCCIF_TAG, "doorbell %u: no device", n);
        return;
    }
    reg_write(dev, MHCCIF_H2D_RING, 1u << n);
    reg_write(dev, MHCCIF_H2D_NUMBER, n);
    ccci_dbg(MHCCIF_TAG, "doorbell %u rung, h2d 0x%x", n, reg_read(dev, MHCCIF_H2D_STATE));
}

void mhccif_ring_doorbell(struct mdm_pci_dev* dev, u32 n)
{
    mhccif_send_doorbell(dev, n);
}

int mhccif_read_status(struct mdm_pci_dev* dev, u32* status)
{
    if (dev == nullptr || dev->mhccif_ready != 1) {
        ccci_err(MHCCIF_TAG, "status: block not ready");
        return 0;
    }
    *status = reg_read(dev, MHCCIF_D2H_STATUS);
    // All ones is a link that is down, whatever the power state: no doorbell uses every bit.
    if (*status == kLinkDown) {
        ccci_err(MHCCIF_TAG, "status 0x%x: link down (power state %u)", *status, dev->pdev->PowerState);
        return 0;
    }
    return 1;
}

void mhccif_clear_status(struct mdm_pci_dev* dev, u32 bits)
{
    reg_write(dev, MHCCIF_D2H_CLEAR, bits);
    u32 status = 0;
    if (mhccif_read_status(dev, &status))
        ccci_dbg(MHCCIF_TAG, "cleared 0x%x, status 0x%x", bits, status);
    else
        ccci_err(MHCCIF_TAG, "cleared 0x%x, status read failed", bits);
    // Write-1-to-clear: only the doorbell source's own bit is written, in either mode.
    const u32 reg = dev->pdev->MessageSignalled ? MAC_MSIX_STATUS : MAC_LEGACY_STATUS;
    mac_write(dev->mac, reg, 1u << (MDM_IRQ_SRC_MHCCIF + 24));
}

void mhccif_mask_set(struct mdm_pci_dev* dev, u32 bits)
{
    if (dev == nullptr || dev->mhccif_base == nullptr) {
        ccci_err(MHCCIF_TAG, "mask set 0x%x: no device", bits);
        return;
    }
    reg_write(dev, MHCCIF_D2H_MASK_SET, bits);
}

void mhccif_mask_clear(struct mdm_pci_dev* dev, u32 bits)
{
    if (dev == nullptr || dev->mhccif_base == nullptr) {
        ccci_err(MHCCIF_TAG, "mask clear 0x%x: no device", bits);
        return;
    }
    reg_write(dev, MHCCIF_D2H_MASK_CLEAR, bits);
}

u32 mhccif_read_h2d_state(struct mdm_pci_dev* dev)
{
    return reg_read(dev, MHCCIF_H2D_STATE);
}

void mhccif_write_pm_message(struct mdm_pci_dev* dev, u32 message)
{
    reg_write(dev, MHCCIF_PM_MESSAGE, message);
}

int mhccif_isr(void* arg)
{
    auto* dev = static_cast<struct mdm_pci_dev*>(arg);
    mdm_irq_work_set(dev, MDM_WORK_DOORBELL);
    mdm_pcie_irq_work_queue(dev);
    return 0;
}

void mdm_pcie_doorbell_service(struct mdm_pci_dev* dev)
{
    if (!mdm_irq_work_test(dev, MDM_WORK_DOORBELL))
        return;
    mac_write(dev->mac, MAC_PM_SET, 0xC0);
    u32 status = 0;
    if (mhccif_read_status(dev, &status)) {
        if (status & D2H_RESOURCE_GRANT)
            ccci_dbg(MHCCIF_TAG, "grant %u", ++dev->grant_count);
        for (u32 slot = 0; slot < MDM_DB_SLOTS; slot++) {
            if ((dev->db_mask[slot] & status) == 0)
                continue;
            if (dev->db_cb[slot] != nullptr)
                dev->db_cb[slot](dev->db_cb_arg[slot]);
            else
                ccci_warn(MHCCIF_TAG, "slot %u bits 0x%x without handler", slot, dev->db_mask[slot]);
        }
        mhccif_clear_status(dev, status);
        // After the clear, so that a waiter that wakes finds its doorbell cleared.
        for (const DoorbellEvent& event : kEvents)
            if (status & event.bit)
                KeSetEvent(&(dev->*event.event), 0, FALSE);
        mac_write(dev->mac, MAC_PM_CLEAR, 0x20);
        u32 again = 0;
        if (!mhccif_read_status(dev, &again))
            ccci_err(MHCCIF_TAG, "status re-read failed");
        else if (again == 0)
            mac_write(dev->mac, MAC_PM_CLEAR, 0xC0);
    } else {
        ccci_err(MHCCIF_TAG, "service: status read failed");
    }
    mdm_irq_work_clear(dev, MDM_WORK_DOORBELL);
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_MHCCIF, false);
}
