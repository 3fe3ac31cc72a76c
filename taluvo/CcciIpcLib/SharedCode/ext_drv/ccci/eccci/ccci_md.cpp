// The modem object: its record and table, its operation dispatchers, the accessors the rest of the host
// interface uses, and the platform set-up with the boot-status register.
#include "ccci_md_priv.h"

#include "ccci_hif.h"
#include "ccci_port.h"
#include "mhccif.h"
#include "pcie_mac.h"

#include <string.h>

namespace
{

struct ccci_md* g_md_table[1];

struct ccci_md* md_of(u32 index, const char* what)
{
    struct ccci_md* md = ccci_md_get(index);
    if (md == NULL)
        ccci_err(MD_TAG, "%s: md %u has no modem object", what, index);
    return md;
}

const struct core_hk* core_of(const struct ccci_md* md, u32 core_id)
{
    if (md == NULL)
        return NULL;
    if (core_id == CCCI_CORE_MD)
        return &md->md_hk;
    return core_id == CCCI_CORE_SAP ? &md->sap_hk : NULL;
}

} // namespace

const struct ccci_md_ops ccci_md_ops_table = {
    md_op_init,
    win_nop,
    md_op_start,
    md_op_pre_stop,
    md_op_stop,
    {NULL, NULL, NULL, NULL},
    md_op_send_runtime_data,
    md_op_exception_stages,
    NULL,
    md_op_hif_flags,
    NULL,
    md_op_irq_stage,
    NULL,
};

// ---------------------------------------------------------------------------------------------
// The object.

struct ccci_md* ccci_md_alloc(u32 private_size)
{
    auto* md = static_cast<struct ccci_md*>(win_zalloc(sizeof(struct ccci_md), 0, CCCI_MD_TAG));
    if (md == NULL) {
        ccci_err(MD_TAG, "modem object allocation failed");
        return NULL;
    }
    if (private_size > 0) {
        md->sys = static_cast<struct md_sys*>(win_zalloc(private_size, 0, CCCI_MD_TAG));
        // One lock for the object's lifetime: the doorbell handler may hold it while a rebuild runs.
        if (md->sys != NULL && !NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &md->sys->lock))) {
            win_free(md->sys, CCCI_MD_TAG);
            md->sys = NULL;
        }
        if (md->sys == NULL)
            ccci_err(MD_TAG, "md_sys of %u bytes not allocated", private_size);
    }
    md->state_flags |= MD_STATE_FLAG_NOT_STARTED;
    md->info.boot_mark = MD_BOOT_MARK_NONE;
    return md;
}

void ccci_md_free(struct ccci_md* md)
{
    if (md == NULL)
        return;
    if (md->sys != NULL) {
        if (md->sys->lock != NULL)
            WdfObjectDelete(md->sys->lock);
        win_free(md->sys, CCCI_MD_TAG);
        md->sys = NULL;
    }
    win_free(md, CCCI_MD_TAG);
}

struct ccci_md* ccci_md_get(u32 index)
{
    return index == 0 ? g_md_table[0] : NULL;
}

struct md_info* ccci_md_get_info(u32 index)
{
    struct ccci_md* md = ccci_md_get(index);
    return md != NULL ? &md->info : NULL;
}

void ccci_md_clear_table(void)
{
    g_md_table[0] = NULL;
}

void md_ops_setup(struct ccci_md* md)
{
    md->ops = &ccci_md_ops_table;
    if (md->sys != NULL) {
        WdfSpinLockAcquire(md->sys->lock);
        md->sys->pending_doorbells = 0;
        WdfSpinLockRelease(md->sys->lock);
        md->sys->started = 1;
    }
    InterlockedExchange(&md->stop_count, 1);
    InterlockedExchange(&md->exception_armed, 1);
}

int ccci_md_register(struct ccci_md* md)
{
    if (md->ops != NULL && md->ops->init != NULL)
        md->ops->init(md);
    g_md_table[0] = md;
    fsm_init(md->md_id);
    return 0;
}

int ccci_md_reregister(struct ccci_md* md)
{
    g_md_table[0] = md;
    fsm_reset(md->md_id);
    return 0;
}

void ccci_md_reset_fields(struct ccci_md* md)
{
    if (md == NULL) {
        ccci_err(MD_TAG, "reset_fields: no modem object");
        return;
    }
    md->state_flags |= MD_STATE_FLAG_NOT_STARTED;
    md->exception_cleared = 0;
    md->info.boot_mark = MD_BOOT_MARK_NONE;
    md->initialised = 0;
    // The reset interrupt was served by this rebuild; left set, it would skip suspend handshakes and the
    // stop doorbell for good.
    InterlockedExchange(&md->rgu_pending, 0);
    InterlockedExchange(&md->rgu_early, 0);
}

int ccci_md_unregister(struct ccci_md* md)
{
    ccci_info(MD_TAG, "unregister md %u", md->md_id);
    ccci_port_proxy_destroy(md->md_id);
    fsm_uninit(md->md_id);
    if (md->ops != NULL && md->ops->uninit != NULL)
        md->ops->uninit();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Dispatchers and accessors.

int ccci_md_start(u32 index)
{
    struct ccci_md* md = md_of(index, "start");
    if (md == NULL || md->ops == NULL || md->ops->start == NULL)
        return (int)MD_NO_OBJECT;
    return md->ops->start(md);
}

void ccci_md_exception_stages(u32 index)
{
    struct ccci_md* md = md_of(index, "exception_stages");
    if (md != NULL && md->ops != NULL && md->ops->exception_stages != NULL)
        md->ops->exception_stages(md);
}

void ccci_md_hif_flags(u32 index, u32 flags, void* buffer, u32 length)
{
    struct ccci_md* md = md_of(index, "hif_flags");
    if (md != NULL && md->ops != NULL && md->ops->hif_flags != NULL)
        md->ops->hif_flags(md, flags, buffer, length);
}

int ccci_md_irq_stage(struct ccci_md* md, u32 stage)
{
    if (md == NULL || md->ops == NULL || md->ops->irq_stage == NULL) {
        ccci_err(MD_TAG, "irq_stage %u: no modem object", stage);
        return (int)MD_NO_OBJECT;
    }
    return md->ops->irq_stage(md, stage);
}

u32 ccci_md_get_id(const struct ccci_md* md)
{
    return md != NULL ? md->md_id : 0;
}

struct mdm_pci_dev* ccci_md_get_pcie_dev(const struct ccci_md* md)
{
    return md != NULL ? md->pcie_dev : NULL;
}

void ccci_md_set_ctrl_port(struct ccci_md* md, u32 core_id, struct ccci_port* port)
{
    auto* core = const_cast<struct core_hk*>(core_of(md, core_id));
    if (core != NULL)
        core->ctrl_port = port;
}

bool ccci_md_hk_done(const struct ccci_md* md, u32 core_id)
{
    const struct core_hk* core = core_of(md, core_id);
    return core != NULL && ReadAcquire(&core->done) != 0;
}

bool ccci_md_hk_pending(const struct ccci_md* md, u32 core_id)
{
    const struct core_hk* core = core_of(md, core_id);
    return core != NULL && ReadAcquire(&core->pending) != 0;
}

bool ccci_md_hs_pending(const struct ccci_md* md)
{
    return ccci_md_hk_pending(md, CCCI_CORE_MD) || ccci_md_hk_pending(md, CCCI_CORE_SAP);
}

u32 ccci_md_debug_flags(const struct ccci_md* md)
{
    return md != NULL ? md->info.debug_flags : 0;
}

struct ccci_runtime_block* ccci_md_runtime_block(struct ccci_md* md)
{
    return md != NULL ? &md->rt_params.extra : NULL;
}

void md_hs_abort(struct ccci_md* md)
{
    struct md_fsm* fsm = fsm_find(ccci_md_get_id(md));
    if (fsm == NULL) {
        ccci_err(SYS_TAG, "handshake abort: no state machine");
        return;
    }
    fsm_hs_abort(fsm);
}

bool ccci_md_rgu_pending(const struct ccci_md* md)
{
    return md != NULL && ReadAcquire(&md->rgu_pending) != 0;
}

// ---------------------------------------------------------------------------------------------
// Platform.

u32 plt_get_boot_status(struct ccci_md* md)
{
    if (md == NULL || md->pcie_dev == NULL) {
        ccci_err(PLT_TAG, "boot status: no device");
        return CCCI_BOOT_STATUS_NO_DEVICE;
    }
    return mac_read(md->pcie_dev->mac, MAC_BOOT_STATUS);
}

void plt_set_boot_status(struct ccci_md* md, u32 value)
{
    if (md == NULL || md->pcie_dev == NULL) {
        ccci_err(PLT_TAG, "boot status 0x%x not written: no device", value);
        return;
    }
    mac_write(md->pcie_dev->mac, MAC_BOOT_STATUS, value);
}

int plt_md_setup(struct mdm_pci_dev* dev, struct plt_md_info* out, struct ccci_md* md)
{
    if (md == NULL || md->sys == NULL) {
        ccci_err(PLT_TAG, "md setup: no md_sys");
        return -1;
    }
    out->md_id = 0;
    out->flags = MD_DEBUG_FLAGS;
    static const u32 paths[CCCI_HIF_PATHS] = {CLDMA_HIF_MD, CLDMA_HIF_SAP, DPMAIF_HIF_ID, MHCCIF_HIF_ID};
    for (u32 path = 0; path < CCCI_HIF_PATHS; path++) {
        hif_path_map[out->md_id][path] = paths[path];
        ccci_info(PLT_TAG, "md %u path %u: hif %u", out->md_id, path, paths[path]);
    }
    return ccci_hif_alloc((u8)out->md_id, 0xF, dev);
}

void plt_doorbell_mask(struct ccci_md* md, u32 bits, bool mask)
{
    if (md == NULL || md->pcie_dev == NULL)
        return;
    if (mask)
        mhccif_mask_set(md->pcie_dev, bits);
    else
        mhccif_mask_clear(md->pcie_dev, bits);
}

int plt_start_hook(void)
{
    ccci_info(PLT_TAG, "start hook");
    return 0;
}
