// The CCCI core's entry points that the PCIe bus driver and its power management call: module start
// and end, the modem object's set-up and teardown for a probed device, the per-vector dispatch
// records, and the handshake's reset-interrupt state.
#pragma once

#include "kal.h"

struct mdm_pci_dev;
struct msix_vector;
struct ccci_md;

extern "C" {

int ccci_init(void);
void ccci_uninit(void);
// Builds the modem object of `dev` (its `md`); 0 or -1.
int ccci_md_init(struct mdm_pci_dev* dev);
int ccci_md_uninit(struct mdm_pci_dev* dev);
// `count` zeroed records (tag 'PKTm'), record i with vector i and the per-vector dispatch; none on failure.
struct msix_vector* ccci_irq_work_alloc(u32 count);
// A modem reset interrupt arrived and was not served yet (until the object is rebuilt).
bool ccci_md_rgu_pending(const struct ccci_md* md);
// Clears the modem's reset interrupt and acknowledges its source.
void md_rgu_clear(struct mdm_pci_dev* dev);
// The device node of a character device, numbered (major << 16) | minor, in the core's device class.
// Both return 0.
int ccci_device_create(const char* name, u32 major, u32 minor, u32 tag);
int ccci_device_destroy(u32 major, u32 minor, u32 tag);

} // extern "C"
