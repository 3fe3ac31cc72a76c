// The core start of the CCCI layers: module start and end, the device class of the character nodes,
// the per-vector dispatch records, and the modem object's set-up, teardown and in-place rebuild for a
// probed PCIe device.
#include "ccci_md_priv.h"

#include "ccci_bm.h"
#include "ccmni.h"
#include "ccci_hif.h"
#include "ccci_port.h"
#include "pcie_device.h"

namespace
{

struct device_class* g_class;

// Rings of a CLDMA instance are built when the boot reached the handshake.
constexpr u32 kRingPolls = 50;
constexpr u32 kRingPollMs = 200;

bool cldma_rings_built(struct cldma_ctrl* ctrl)
{
    WdfSpinLockAcquire(ctrl->lock);
    bool built = ctrl->rings_ready != 0;
    WdfSpinLockRelease(ctrl->lock);
    return built;
}

// Waits (bounded) until both CLDMA instances have their rings, so that none is torn down while its
// set-up still runs. A missing instance is traced and not waited for.
void wait_cldma_rings(u8 md_id)
{
    struct cldma_ctrl* md_ctrl = cldma_get_ctrl(md_id, CLDMA_HIF_MD);
    struct cldma_ctrl* sap_ctrl = cldma_get_ctrl(md_id, CLDMA_HIF_SAP);
    if (md_ctrl == NULL || sap_ctrl == NULL) {
        ccci_err(SYS_TAG, "uninit: CLDMA instance missing (md %p, sap %p)", md_ctrl, sap_ctrl);
        return;
    }
    for (u32 poll = 0; poll < kRingPolls; poll++) {
        bool md_built = cldma_rings_built(md_ctrl);
        bool sap_built = cldma_rings_built(sap_ctrl);
        ccci_info(SYS_TAG, "uninit: rings md %d sap %d", md_built, sap_built);
        if (md_built && sap_built)
            return;
        msleep(kRingPollMs);
    }
    ccci_err(SYS_TAG, "uninit: CLDMA rings never built");
}

// The device's power notification, handed on to the state machine.
void md_pm_notify(int resumed, void* arg)
{
    md_pm_state_callback((u32)resumed, static_cast<struct mdm_pci_dev*>(arg));
}

} // namespace

int ccci_init(void)
{
    ccci_info(CORE_TAG, "ccci_init");
    g_class = class_create(NULL, "ccci_node", CCCI_CORE_TAG);
    ccci_bm_init();
    return 0;
}

void ccci_uninit(void)
{
    ccci_info(CORE_TAG, "ccci_uninit");
    ccci_bm_exit();
    if (g_class != NULL)
        win_free(g_class, CCCI_CORE_TAG);
    g_class = NULL;
}

int ccci_device_create(const char* name, u32 major, u32 minor, u32 tag)
{
    if (g_class == NULL)
        ccci_err(CORE_TAG, "device %s: no device class", name);
    else
        device_create(g_class, NULL, (s32)((major << 16) | minor), NULL, tag, name);
    return 0;
}

int ccci_device_destroy(u32 major, u32 minor, u32 tag)
{
    device_destroy(g_class, (s32)((major << 16) | minor), tag);
    return 0;
}

struct msix_vector* ccci_irq_work_alloc(u32 count)
{
    auto* vectors = static_cast<struct msix_vector*>(win_zalloc(sizeof(struct msix_vector) * count, 0, MDM_PCI_TAG));
    for (u32 n = 0; vectors != NULL && n < count; n++) {
        vectors[n].vector = n;
        vectors[n].handler = mdm_pcie_msix_vector_dispatch;
    }
    return vectors;
}

// ---------------------------------------------------------------------------------------------
// Modem start and end.

int ccci_md_init(struct mdm_pci_dev* dev)
{
    struct ccci_md* md = ccci_md_alloc(MD_SYS_SIZE);
    if (md == NULL) {
        ccci_err(SYS_TAG, "md init: no modem object");
        return -1;
    }
    struct plt_md_info info = {};
    int r = plt_md_setup(dev, &info, md);
    if (r != 0) {
        ccci_err(SYS_TAG, "md init: platform set-up %d", r);
        // Whatever the HIF allocation made before it failed goes with the object.
        if (md->sys != NULL)
            ccci_hif_free(0, 0xF);
        ccci_md_free(md);
        return -1;
    }
    md->md_id = (u8)info.md_id;
    md->info.debug_flags = MD_DEBUG_FLAGS;
    md_ops_setup(md);
    ccci_md_register(md);
    // The modem comes up without its network devices when they cannot be made.
    int created = ccmni_create_instances(md->md_id, dev);
    if (created != 0)
        ccci_err(SYS_TAG, "md init: no network instances: %d", created);
    ccci_hif_init(md->md_id, 7);
    ccci_hif_init(md->md_id, 8);
    md->pcie_dev = dev;
    dev->md = md;
    // The doorbells are set up before the first start is queued: the start unmasks the boot doorbell,
    // which a later set-up would mask again.
    md_irq_setup(md);
    md_cold_boot(md->md_id);
    mdm_pcie_register_pm_notify(dev, md_pm_notify, dev);
    md->initialised = 1;
    return 0;
}

int ccci_md_uninit(struct mdm_pci_dev* dev)
{
    struct ccci_md* md = dev != NULL ? dev->md : NULL;
    if (md == NULL) {
        ccci_err(SYS_TAG, "md uninit: no modem object");
        return 0;
    }
    if (md->initialised) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL)
            wait_cldma_rings(md->md_id);
        struct md_fsm* fsm = fsm_find(md->md_id);
        if (fsm != NULL) {
            fsm_queue_command(fsm, FSM_CMD_STOP, FSM_CMD_FLAG_WAIT);
            // A handshake work still waiting ends before the state machine it waits on goes.
            fsm_hs_abort(fsm);
        }
        ccmni_remove_instances(md->md_id, dev);
        md_irq_teardown(md);
        ccci_md_unregister(md);
        ccci_hif_free(md->md_id, 7);
        ccci_hif_free(md->md_id, 8);
    } else {
        md_irq_teardown(md);
    }
    dev->md = NULL;
    ccci_md_free(md);
    ccci_md_clear_table();
    return 0;
}

int ccci_md_reinit(struct mdm_pci_dev* dev)
{
    if (dev == NULL || dev->md == NULL) {
        ccci_err(SYS_TAG, "md reinit: no device");
        return (int)CCCI_BOOT_STATUS_NO_DEVICE;
    }
    struct ccci_md* md = dev->md;
    ccci_md_reset_fields(md);
    md_ops_setup(md);
    md->pcie_dev = dev;
    ccci_md_reregister(md);
    ccci_hif_reset(md->md_id, 7, 0);
    ccci_port_reset_seq(md->md_id);
    dev->md = md;
    md->initialised = 1;
    ccci_info(SYS_TAG, "md %u rebuilt", md->md_id);
    core_hk_reset(&md->md_hk);
    core_hk_reset(&md->sap_hk);
    return 0;
}
