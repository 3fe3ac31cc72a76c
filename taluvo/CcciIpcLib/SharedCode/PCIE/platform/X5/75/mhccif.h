// The modem's doorbell block (modem address 0x10024000): host-to-modem doorbells, the modem-to-host
// status that arrives as interrupt source 4, and its service in the interrupt work item.
#pragma once

#include "pcie_device.h"

#define MHCCIF_ADDR 0x10024000ull
#define MHCCIF_ADDR2 0x10025000ull

#define MHCCIF_DUMP_08 0x08
#define MHCCIF_H2D_RING 0x04
#define MHCCIF_H2D_NUMBER 0x0C
#define MHCCIF_D2H_STATUS 0x10
#define MHCCIF_D2H_CLEAR 0x14
#define MHCCIF_H2D_STATE 0x20
#define MHCCIF_D2H_MASK_SET 0x30
#define MHCCIF_D2H_MASK_CLEAR 0x40
#define MHCCIF_PM_MESSAGE 0x12C

// Host-to-modem doorbells.
#define H2D_EXCEPTION_STAGE0 1
#define H2D_EXCEPTION_STAGE3 2
#define H2D_RESOURCE_REQUEST 3
#define H2D_DPMAIF_EXCEPTION 8
#define H2D_SUSPEND1 9
#define H2D_RESUME1 10
#define H2D_SUSPEND2 11
#define H2D_RESUME2 12
#define H2D_STOP 13
#define H2D_BEFORE_FLR 14

// Modem-to-host doorbell bits.
#define D2H_RESOURCE_GRANT 0x1u
#define D2H_SUSPEND_ACK1 0x800u
#define D2H_RESUME_ACK1 0x1000u
#define D2H_SUSPEND_ACK2 0x2000u
#define D2H_RESUME_ACK2 0x4000u
#define D2H_HANDSHAKE_BITS 0x1803Eu
#define D2H_PM_BITS 0x7801u
#define D2H_RESUME_UNMASK 0x3Eu

int mhccif_init(struct mdm_pci_dev* dev);
int mhccif_exit(struct mdm_pci_dev* dev);
void mhccif_send_doorbell(struct mdm_pci_dev* dev, u32 n);
void mhccif_ring_doorbell(struct mdm_pci_dev* dev, u32 n);
// 1 with the status, or 0 when there is no device, the block is not set up or the link is down.
int mhccif_read_status(struct mdm_pci_dev* dev, u32* status);
void mhccif_clear_status(struct mdm_pci_dev* dev, u32 bits);
void mhccif_mask_set(struct mdm_pci_dev* dev, u32 bits);
void mhccif_mask_clear(struct mdm_pci_dev* dev, u32 bits);
u32 mhccif_read_h2d_state(struct mdm_pci_dev* dev);
void mhccif_write_pm_message(struct mdm_pci_dev* dev, u32 message);
int mhccif_isr(void* dev);
void mdm_pcie_doorbell_service(struct mdm_pci_dev* dev);
