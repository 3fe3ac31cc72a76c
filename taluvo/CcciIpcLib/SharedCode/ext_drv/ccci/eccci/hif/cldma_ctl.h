// Bringing one CLDMA instance up and down: its power entity and the hooks the PCIe power management
// runs around the modem's suspend and resume handshakes. The control operations themselves are
// declared with the engine (cldma.h) and the HIF dispatch (ccci_hif.h).
#pragma once

#include "cldma.h"
#include "pcie_pm.h"

// Size of the runtime-data block both instances share with the handshake.
#define CLDMA_RUNTIME_BLOCK_SIZE 2048

// The instance's power entity: the PCIe power management's record, owned by the controller (`data`).
typedef struct mdm_pci_pm_entity cldma_pm_entity;

// Each is called as (PCIe device context, controller) and returns 0: suspend stops transmitting,
// suspend_late receiving; resume_early reprograms the engine and restarts receiving, resume_late lets
// the senders in again.
int cldma_suspend(struct mdm_pci_dev* dev, void* ctrl);
int cldma_suspend_late(struct mdm_pci_dev* dev, void* ctrl);
int cldma_resume_early(struct mdm_pci_dev* dev, void* ctrl);
int cldma_resume_late(struct mdm_pci_dev* dev, void* ctrl);
