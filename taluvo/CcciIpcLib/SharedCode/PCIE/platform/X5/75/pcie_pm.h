// Power management of the modem's PCIe function: the reference-counted resource (sleep) lock that the
// DMA engines hold around register access, the idle and system suspend and the kinds of resume with
// their doorbell handshakes, and the power entities whose steps run inside them.
#pragma once

#include "pcie_device.h"

#define PM_MSG_SUSPEND 0x5355u
#define PM_MSG_RESUME 0x5245u
// Power entity keys.
#define PM_KEY_CLDMA_MD 1
#define PM_KEY_CLDMA_SAP 2
#define PM_KEY_DPMAIF 3

int mdm_pci_pm_init(struct mdm_pci_dev* dev);
int mdm_pci_pm_init_late(struct mdm_pci_dev* dev);
int mdm_pci_disable_sleep(struct mdm_pci_dev* dev);
int mdm_pci_pm_deinit(struct mdm_pci_dev* dev);
int mdm_pci_wait_resource_grant(struct mdm_pci_dev* dev);
int mdm_pci_pm_entity_register(struct mdm_pci_dev* dev, struct mdm_pci_pm_entity* entity);
int mdm_pci_pm_entity_unregister(struct mdm_pci_dev* dev, struct mdm_pci_pm_entity* entity);

// Resource lock: lock; when it returned 1, wait; access the hardware; release.
int __mdm_dev_pci_resource_lock(struct mdm_pci_dev* dev, u32 user);
void mdm_dev_pci_resource_wait(struct mdm_pci_dev* dev, u32 user);
int mdm_dev_pci_resource_release(struct mdm_pci_dev* dev, u32 user);
void __mdm_dev_pci_resource_unlock(struct mdm_pci_dev* dev);
u32 mdm_dev_pci_check_resume_reg_state(struct mdm_pci_dev* dev);

// The bus driver's power operations.
int mdm_pci_pm_suspend(IPC_PCI_DEVICE* pdev);
int mdm_pci_pm_resume(IPC_PCI_DEVICE* pdev);
int mdm_pci_pm_resume_noirq(IPC_PCI_DEVICE* pdev);
int mdm_pci_pm_suspend_idle(struct mdm_pci_dev* dev);
int mdm_pci_pm_suspend_system(struct mdm_pci_dev* dev);
int mdm_pci_pm_resume_idle(struct mdm_pci_dev* dev);
int mdm_pci_pm_resume_cold(struct mdm_pci_dev* dev);
int mdm_pci_pm_restore_hw(struct mdm_pci_dev* dev);
void mdm_pci_irq_restore(struct mdm_pci_dev* dev);

void mdm_pci_dump_regs(struct mdm_pci_dev* dev);
void mdm_pci_dump_bar(struct mdm_pci_dev* dev, u32 index);
