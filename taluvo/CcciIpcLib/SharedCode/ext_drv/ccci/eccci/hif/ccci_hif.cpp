// HIF dispatch: paths to HIF ids through the modem's path map, and each operation to the engine of
// that id. The tables are written during modem set-up and uninit only and read without a lock.
#include "hif/ccci_hif.h"

#include "mhccif.h"

u32 hif_path_map[CCCI_HIF_MAX_MD][CCCI_HIF_PATHS];

namespace
{

struct hif_slot {
    void* ctrl;
    const struct ccci_hif_ops* ops;
    struct hif_hw_info* hw_info;
};

hif_slot g_slots[CCCI_HIF_MAX_MD][CCCI_HIF_SLOTS];

bool is_cldma(u32 hif)
{
    return hif == CLDMA_HIF_SAP || hif == CLDMA_HIF_MD;
}

hif_slot* slot_of(u8 md, u32 hif)
{
    if (md >= CCCI_HIF_MAX_MD || hif >= CCCI_HIF_SLOTS)
        return NULL;
    return &g_slots[md][hif];
}

// The HIF id of `path` in a mask walk; out of range for another modem.
u32 mask_hif(u8 md, u32 path)
{
    return md < CCCI_HIF_MAX_MD ? hif_path_map[md][path] & 0xFF : CCCI_HIF_SLOTS;
}

// The HIF id of `path` for a one-path operation; -1 (traced) for another modem or a path above 3.
int path_hif(u8 md, u32 path, const char* what)
{
    if (md >= CCCI_HIF_MAX_MD || path >= CCCI_HIF_PATHS) {
        ccci_err(HIF_TAG, "%s: md %u path %u refused", what, md, path);
        return -1;
    }
    return (int)(hif_path_map[md][path] & 0xFF);
}

// The CLDMA controller's operations behind `path`, or none (not a CLDMA id, or no controller).
const struct ccci_hif_ops* path_cldma(u8 md, u32 path, const char* what, u8* hif)
{
    int id = path_hif(md, path, what);
    if (id < 0 || !is_cldma((u32)id) || g_slots[md][id].ctrl == NULL)
        return NULL;
    *hif = (u8)id;
    return g_slots[md][id].ops;
}

// Walks the paths of `mask`; `op` runs for the CLDMA ids (the ids these operations serve), others are
// passed over. With `first_nonzero` the walk ends at the first result other than 0 and returns it;
// without, every path is visited and the result is 0.
template <typename Op> int walk(u8 md, u32 mask, const char* what, bool first_nonzero, Op op)
{
    for (u32 path = 0; path < CCCI_HIF_PATHS; path++) {
        if ((mask & (1u << path)) == 0)
            continue;
        int ret;
        u32 hif = mask_hif(md, path);
        hif_slot* slot = slot_of(md, hif);
        if (slot == NULL) {
            ret = -1;
        } else if (!is_cldma(hif)) {
            continue;
        } else if (slot->ctrl == NULL || slot->ops == NULL) {
            ret = -1;
        } else {
            ret = op((u8)hif, slot->ops);
        }
        if (ret != 0) {
            ccci_err(HIF_TAG, "%s: md %u path %u hif %u: %d", what, md, path, hif, ret);
            if (first_nonzero)
                return ret;
        }
    }
    return 0;
}

} // namespace

void ccci_hif_set_ctrl(u8 md, u8 hif, void* ctrl, const struct ccci_hif_ops* ops)
{
    hif_slot* slot = slot_of(md, hif);
    if (slot == NULL)
        return;
    slot->ctrl = ctrl;
    slot->ops = ops;
}

void* ccci_hif_get_ctrl(u8 md, u8 hif)
{
    hif_slot* slot = slot_of(md, hif);
    return slot != NULL ? slot->ctrl : NULL;
}

struct hif_hw_info* ccci_hif_get_hw_info(u8 md, u8 hif)
{
    hif_slot* slot = slot_of(md, hif);
    return slot != NULL ? slot->hw_info : NULL;
}

// Only the record makers of this module store hardware records.
void ccci_hif_set_hw_info(u8 md, u8 hif, struct hif_hw_info* info)
{
    hif_slot* slot = slot_of(md, hif);
    if (slot != NULL)
        slot->hw_info = info;
}

int ccci_hif_alloc(u8 md, u32 mask, struct mdm_pci_dev* pcie_dev)
{
    for (u32 path = 0; path < CCCI_HIF_PATHS; path++) {
        if ((mask & (1u << path)) == 0)
            continue;
        u32 hif = mask_hif(md, path);
        bool made = true;
        if (slot_of(md, hif) == NULL)
            made = false;
        else if (is_cldma(hif))
            made = cldma_alloc(md, (u8)hif, pcie_dev) != NULL;
        else if (hif == MHCCIF_HIF_ID)
            made = mhccif_hif_alloc(md, pcie_dev) == 0;
        if (!made) {
            // What was made before stays for ccci_hif_free.
            ccci_err(HIF_TAG, "alloc: md %u path %u hif %u failed", md, path, hif);
            return -1;
        }
    }
    return 0;
}

int ccci_hif_init(u8 md, u32 mask)
{
    return walk(md, mask, "init", true, [md](u8 hif, const struct ccci_hif_ops*) { return cldma_init(md, hif); });
}

int ccci_hif_hw_init(u8 md, u32 mask)
{
    return walk(md, mask, "hw_init", true,
                [md](u8 hif, const struct ccci_hif_ops*) { return cldma_hw_reinit(md, hif); });
}

int ccci_hif_start(u8 md, u32 mask)
{
    return walk(md, mask, "start", true, [md](u8 hif, const struct ccci_hif_ops* ops) {
        return ops->start != NULL ? ops->start(md, hif) : -1;
    });
}

int ccci_hif_stop(u8 md, u32 mask)
{
    walk(md, mask, "stop", false, [md](u8 hif, const struct ccci_hif_ops* ops) {
        return ops->stop != NULL ? ops->stop(md, hif) : -1;
    });
    return 0;
}

int ccci_hif_send_skb(u8 md, u32 mask, u8 qno, struct sk_buff* skb, int from_pool, int blocking)
{
    return walk(md, mask, "send_skb", true, [&](u8 hif, const struct ccci_hif_ops* ops) {
        return ops->send_skb != NULL ? ops->send_skb(md, hif, qno, skb, from_pool, blocking) : -1;
    });
}

int ccci_hif_dump_status(u8 md, u32 mask, u32 flags, u32 ignored, u32 qno)
{
    return walk(md, mask, "dump_status", true, [&](u8 hif, const struct ccci_hif_ops* ops) {
        return ops->dump_status != NULL ? ops->dump_status(md, hif, flags, ignored, qno) : -1;
    });
}

void ccci_hif_reset(u8 md, u32 mask, int what)
{
    walk(md, mask, "reset", false, [&](u8 hif, const struct ccci_hif_ops* ops) {
        if (ops->reset != NULL)
            ops->reset(md, hif, what);
        return 0;
    });
}

int ccci_hif_exception_stage(u8 md, u32 mask, int stage)
{
    return walk(md, mask, "exception_stage", true,
                [&](u8 hif, const struct ccci_hif_ops*) { return cldma_exception_stage(md, hif, stage); });
}

void ccci_hif_free(u8 md, u32 mask)
{
    for (u32 path = 0; path < CCCI_HIF_PATHS; path++) {
        if ((mask & (1u << path)) == 0)
            continue;
        u32 hif = mask_hif(md, path);
        hif_slot* slot = slot_of(md, hif);
        if (slot == NULL) {
            ccci_err(HIF_TAG, "free: md %u path %u hif %u refused", md, path, hif);
        } else if (is_cldma(hif)) {
            // A CLDMA instance whose controller was never made may still have its hardware records.
            if (slot->ctrl != NULL)
                cldma_free(md, (u8)hif);
            else
                cldma_hw_info_free(md, (u8)hif);
        } else if (hif == MHCCIF_HIF_ID) {
            mhccif_hif_free(md);
        }
    }
}

void ccci_hif_set_queue_variant(u8 md, u32 path, int variant)
{
    u8 hif;
    if (path_cldma(md, path, "set_queue_variant", &hif) != NULL)
        cldma_set_queue_variant(md, hif, variant);
}

int ccci_hif_get_tx_max_size(u8 md, u32 path, u8 qno)
{
    u8 hif;
    if (path_cldma(md, path, "get_tx_max_size", &hif) == NULL)
        return CCCI_HIF_DEFAULT_TX_MAX;
    return cldma_tx_max_size(md, hif, qno);
}

int ccci_hif_write_room(u8 md, u32 path, u8 qno)
{
    u8 hif;
    if (path_cldma(md, path, "write_room", &hif) == NULL)
        return 0;
    return cldma_write_room(md, hif, qno);
}

int ccci_hif_send_doorbell(u8 md, u8 hif, int stage)
{
    if (hif != MHCCIF_HIF_ID)
        return 0;
    struct hif_hw_info* info = ccci_hif_get_hw_info(md, hif);
    if (info == NULL || info->ops == NULL || info->ops->send_doorbell == NULL) {
        ccci_err(HIF_TAG, "send_doorbell: md %u has no doorbell HIF", md);
        return -1;
    }
    if (stage == 0)
        info->ops->send_doorbell(info, 1);
    else if (stage == 3)
        info->ops->send_doorbell(info, 2);
    return 0;
}

u32 ccci_hif_get_doorbell_status(u8 md, u8 hif)
{
    if (hif != MHCCIF_HIF_ID)
        return 0;
    struct hif_hw_info* info = ccci_hif_get_hw_info(md, hif);
    if (info == NULL || info->ops == NULL || info->ops->doorbell_status == NULL) {
        ccci_err(HIF_TAG, "get_doorbell_status: md %u has no doorbell HIF", md);
        return 0;
    }
    return info->ops->doorbell_status(info, D2H_HANDSHAKE_BITS);
}

void* ccci_hif_get_shared_area(u8, u32)
{
    return NULL;
}
