// Placeholder for the modem object and the core start until their own code lands (deleted then): they
// behave as a core whose modem object was never made.
#include "ccci_core.h"
#include "ccci_fsm.h"
#include "ccci_md.h"
#include "pcie_device.h"

extern "C" {

int ccci_init(void) { return 0; }
void ccci_uninit(void) {}
int ccci_md_init(struct mdm_pci_dev*) { return 0; }
int ccci_md_uninit(struct mdm_pci_dev*) { return 0; }
struct msix_vector* ccci_irq_work_alloc(u32 count)
{
    auto* vectors = static_cast<struct msix_vector*>(win_zalloc(sizeof(struct msix_vector) * count, 0, MDM_PCI_TAG));
    for (u32 n = 0; vectors != nullptr && n < count; n++) {
        vectors[n].vector = n;
        vectors[n].handler = mdm_pcie_msix_vector_dispatch;
    }
    return vectors;
}
bool ccci_md_rgu_pending(const struct ccci_md*) { return false; }
void md_rgu_clear(struct mdm_pci_dev*) {}
int ccci_device_create(const char*, u32, u32, u32) { return 0; }
int ccci_device_destroy(u32, u32, u32) { return 0; }

struct ccci_md* ccci_md_get(u32) { return nullptr; }
u32 ccci_md_get_id(const struct ccci_md*) { return 0; }
struct mdm_pci_dev* ccci_md_get_pcie_dev(const struct ccci_md*) { return nullptr; }
void ccci_md_set_ctrl_port(struct ccci_md*, u32, struct ccci_port*) {}
bool ccci_md_hk_done(const struct ccci_md*, u32) { return false; }
bool ccci_md_hk_pending(const struct ccci_md*, u32) { return false; }
int ccci_md_start(u32) { return (int)0xFFFFFFFF; }
void ccci_md_exception_stages(u32) {}
void ccci_md_hif_flags(u32, u32, void*, u32) {}
int ccci_md_irq_stage(struct ccci_md*, u32) { return 0; }
u32 plt_get_boot_status(struct ccci_md*) { return CCCI_BOOT_STATUS_NO_DEVICE; }
void plt_set_boot_status(struct ccci_md*, u32) {}
int ccci_md_reinit(struct mdm_pci_dev*) { return (int)0xFFFFFFEA; }

void md_hs_abort(struct ccci_md*) {}
bool ccci_md_hs_pending(const struct ccci_md*) { return false; }
u32 ccci_md_debug_flags(const struct ccci_md*) { return 0; }
struct ccci_runtime_block* ccci_md_runtime_block(struct ccci_md*) { return nullptr; }

struct md_info* ccci_md_get_info(u32) { return nullptr; }
struct md_runtime_entry* md_runtime_feature(u32, u32, bool) { return nullptr; }
int md_runtime_feature_copy(u32, const struct md_runtime_entry*, void*, u32) { return -14; }

} // extern "C"
