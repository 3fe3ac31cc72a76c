// The modem object as the rest of the host interface reaches it: finding it, its index, its handshake
// records' control ports and state, its operations (start, exception stages, HIF status requests,
// doorbell stages), the boot-status register and the in-place rebuild. Only modem 0 exists. C linkage:
// tests stand in for these at link time.
#pragma once

#include "kal.h"

struct ccci_md;
struct ccci_port;
struct mdm_pci_dev;

#define CCCI_CORE_MD 0
#define CCCI_CORE_SAP 1

// HIF status request bits (hif_flags): dump the SAP CLDMA's status.
#define CCCI_HIF_FLAG_DUMP_SAP 0x40000u

// Doorbell stages of the modem object (irq_stage): boot start, handshake start, ready.
#define CCCI_IRQ_STAGE_START 0
#define CCCI_IRQ_STAGE_HANDSHAKE 1
#define CCCI_IRQ_STAGE_READY 2

// The boot-status register read without a device record.
#define CCCI_BOOT_STATUS_NO_DEVICE 0xFFFFFFEAu

extern "C" {

// The object of modem `index`, or none (any index but 0, or before it was registered).
struct ccci_md* ccci_md_get(u32 index);
u32 ccci_md_get_id(const struct ccci_md* md);
// The PCIe device record that carries the modem; none before the modem start set it.
struct mdm_pci_dev* ccci_md_get_pcie_dev(const struct ccci_md* md);
// The port the handshake of core `core_id` sends on.
void ccci_md_set_ctrl_port(struct ccci_md* md, u32 core_id, struct ccci_port* port);
// Whether core `core_id` (CCCI_CORE_MD / CCCI_CORE_SAP) finished its handshake, and whether its
// handshake work waits for the modem.
bool ccci_md_hk_done(const struct ccci_md* md, u32 core_id);
bool ccci_md_hk_pending(const struct ccci_md* md, u32 core_id);

// Operation dispatchers by modem index; a missing object (or operation) is traced.
// `start`: 0, or 0xFFFFFFFF without the object or operation.
int ccci_md_start(u32 index);
void ccci_md_exception_stages(u32 index);
// The modem object's HIF status request (dumps to the trace).
void ccci_md_hif_flags(u32 index, u32 flags, void* buffer, u32 length);
// The doorbell interrupts of boot stage CCCI_IRQ_STAGE_*.
int ccci_md_irq_stage(struct ccci_md* md, u32 stage);

// The boot-status register (MAC 0xD1C): CCCI_BOOT_STATUS_NO_DEVICE without a device record; a write
// without one does nothing.
u32 plt_get_boot_status(struct ccci_md* md);
void plt_set_boot_status(struct ccci_md* md, u32 value);

// Rebuilds a stopped modem in place (the state machine's stopped state): 0, or 0xFFFFFFEA without a
// device.
int ccci_md_reinit(struct mdm_pci_dev* dev);

} // extern "C"

// Appended for the state machine's control entry: the small values of the modem object it reads and
// writes, and the lookup of a runtime feature in the modem's runtime data.
struct md_info {
    u32 debug_flags;
    u32 boot_mark;
    u32 user_value;
    u8 version[16];
    u32 readback_first;  // control code 0x40044308
    u32 readback_second; // control code 0x40044321
};
struct md_runtime_entry;

extern "C" {

// The modem object's values, or none (any index but 0, or before it was registered).
struct md_info* ccci_md_get_info(u32 index);
// The entry of feature `feature_id` in the first (which false) or second set of the modem's runtime
// data, or none.
struct md_runtime_entry* md_runtime_feature(u32 md_id, u32 feature_id, bool which);
// Copies the entry's data into `out` (`size` bytes): 0, or -14 when it is empty or does not fit.
int md_runtime_feature_copy(u32 md_id, const struct md_runtime_entry* entry, void* out, u32 size);

} // extern "C"
