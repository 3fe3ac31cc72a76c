#include "ril_ctxt.h"

#include "mbimcore_db.h"
#include "memutil.h"
#include "ril_trace.h"

#include <string.h>
#include <time.h>

rilreq_state_entry rilreq_state_info[RIL_CTXT_ENTRIES];
const RilEnv* gs_pRilEnv = nullptr;

namespace {

int s_last_ctxt_id = RIL_CTXT_FIRST_ID;

rilreq_state_entry& Entry(int id)
{
    return rilreq_state_info[id & 0xFF];
}

// Frees what p_priv_data holds as the kind it was stored as.
void FreePrivate(rilreq_state_entry& entry)
{
    if (entry.p_priv_data == nullptr)
        return;
    if (entry.priv_kind == RIL_PRIV_MULTI_MOD) {
        auto* priv = static_cast<multi_mod_priv*>(entry.p_priv_data);
        if (priv->caller_area != nullptr)
            MEMUTIL_FREE(priv->caller_area);
        if (priv->request_data != nullptr)
            MEMUTIL_FREE(priv->request_data);
    }
    MEMUTIL_FREE(entry.p_priv_data);
    entry.priv_kind = RIL_PRIV_NONE;
}

void CompleteWithFailure(rilreq_state_entry& entry)
{
    if (entry.token != nullptr && gs_pRilEnv != nullptr && gs_pRilEnv->RequestComplete != nullptr)
        gs_pRilEnv->RequestComplete(entry.token, RIL_E_GENERIC_FAILURE, nullptr, 0);
    entry.entry_in_use = 0;
}

} // namespace

void mdmril_ctxt_table_reset(void)
{
    memset(rilreq_state_info, 0, sizeof(rilreq_state_info));
    s_last_ctxt_id = RIL_CTXT_FIRST_ID;
}

int mdmril_discard_ctxt_on_limitcheck(int cmd, int type, int cap)
{
    int count = 0;
    int oldest = -1;
    for (int i = RIL_CTXT_FIRST_ID; i < RIL_CTXT_ENTRIES; i++) {
        const rilreq_state_entry& entry = rilreq_state_info[i];
        if (!entry.entry_in_use || entry.type != type || entry.cmd != cmd)
            continue;
        count++;
        RIL_TRACE(RIL_MASK_FLOW, "%s: %d, cnt: %d, cmd: %d, ty:%d", __func__, i, count, cmd, type);
        if (oldest == -1 || entry.time < rilreq_state_info[oldest].time)
            oldest = i;
        if (count >= cap) {
            RIL_TRACE(RIL_MASK_WARNING, " Caution!!! too many( %d ) same req ids", count);
            ril_free_context_and_return(oldest);
            RIL_TRACE(RIL_MASK_WARNING, " WARNING! have purged index %d due to cap of %d", oldest, cap);
            return oldest;
        }
    }
    return -1;
}

int mdmril_get_free_ctxt_id_gen(void* token, int type, int cmd, int cap)
{
    Mbim_Mutex_lock(&g_MbimCoreDb.ctxt_lock);
    if (type != RIL_CTXT_TYPE_DEFAULT && cmd != RIL_CTXT_CMD_UNCAPPED)
        mdmril_discard_ctxt_on_limitcheck(cmd, type, cap);
    int candidate = s_last_ctxt_id;
    int id = -1;
    for (int tries = 0; tries < RIL_CTXT_ENTRIES - RIL_CTXT_FIRST_ID; tries++) {
        candidate = candidate + 1 > RIL_CTXT_ENTRIES - 1 ? RIL_CTXT_FIRST_ID : candidate + 1;
        if (rilreq_state_info[candidate].entry_in_use) {
            RIL_TRACE(RIL_MASK_WARNING, "%s: WARNING!!! rilreq_state_info[%d].entry_in_use = TRUE", __func__, candidate);
            continue;
        }
        id = candidate;
        break;
    }
    if (id != -1) {
        rilreq_state_entry& entry = rilreq_state_info[id];
        if (entry.p_priv_data != nullptr) {
            // Only a generic-failure completion leaves a record behind; it is freed, not dropped.
            RIL_TRACE(RIL_MASK_WARNING, "%s: WARNING!!! rilreq_state_info[%d].p_priv_data != NULL", __func__, id);
            FreePrivate(entry);
        }
        entry.token = token;
        entry.p_priv_data = nullptr;
        entry.priv_kind = RIL_PRIV_NONE;
        entry.entry_in_use = 1;
        entry.type = type;
        entry.cmd = cmd;
        entry.time = static_cast<int64_t>(time(nullptr));
        entry.context_id = id;
        s_last_ctxt_id = id;
        RIL_TRACE(RIL_MASK_FLOW, "%s: RIL new context_id new applied: %d, cap: %d, cmd: %d, ty:%d", __func__, id, cap,
                  cmd, type);
    }
    Mbim_Mutex_unlock(&g_MbimCoreDb.ctxt_lock);
    return id;
}

int mdmril_get_free_ctxt_id(void* token)
{
    return mdmril_get_free_ctxt_id_gen(token, RIL_CTXT_TYPE_DEFAULT, MBIM_MDM_NON_PASSTHROUGH_DEFAULT, 4);
}

void ril_free_context_and_return(int id)
{
    rilreq_state_entry& entry = Entry(id);
    RIL_TRACE(RIL_MASK_FLOW, "ctxt_id = %d, entry valid?: %s", id & 0xFF, entry.entry_in_use ? "ok" : "! INVALID !");
    if (entry.entry_in_use)
        FreePrivate(entry);
    entry.entry_in_use = 0;
}

void ril_free_context_and_return_generic_failure(int id)
{
    rilreq_state_entry& entry = Entry(id);
    FreePrivate(entry);
    CompleteWithFailure(entry);
}

void mdmril_return_generic_failure(int id)
{
    CompleteWithFailure(Entry(id));
}

int mdmril_check_ctxt_match(int id, int cmd, int type)
{
    Mbim_Mutex_lock(&g_MbimCoreDb.ctxt_lock);
    const rilreq_state_entry& entry = Entry(id);
    bool match = entry.entry_in_use && entry.cmd == cmd && (type == RIL_CTXT_TYPE_DEFAULT || type == entry.type);
    int storedCmd = entry.cmd;
    int storedType = entry.type;
    Mbim_Mutex_unlock(&g_MbimCoreDb.ctxt_lock);
    if (match)
        return 0;
    RIL_TRACE(RIL_MASK_ERROR, " Error! context mismatch!! in: %d, cmd id:<%3d, stored: %3d > type: <%d, %d >", id, cmd,
              storedCmd, type, storedType);
    return -1;
}

int mdmril_create_multi_mod_priv(int id, int value, long size, void** caller_area)
{
    rilreq_state_entry& entry = Entry(id);
    FreePrivate(entry);
    auto* priv = static_cast<multi_mod_priv*>(MEMUTIL_ALLOC(sizeof(multi_mod_priv)));
    if (priv == nullptr) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: allocate request data (%u bytes) failed", __func__,
                  static_cast<unsigned>(sizeof(multi_mod_priv)));
        return -1;
    }
    RIL_TRACE(RIL_MASK_FLOW, "mdmril_create_multi_mod_priv : allocated multimode ptr= %1p", priv);
    priv->value = value;
    if (size > 0) {
        priv->caller_area = MEMUTIL_ALLOC(static_cast<size_t>(size));
        if (priv->caller_area == nullptr) {
            RIL_TRACE(RIL_MASK_ERROR, "%s: allocate caller data (%ld bytes) failed", __func__, static_cast<LONG>(size));
            MEMUTIL_FREE(priv);
            return -1;
        }
        RIL_TRACE(RIL_MASK_FLOW, "mdmril_create_multi_mod_priv : allocated caller Priv ptr= %1p of size (%ld bytes)",
                  priv->caller_area, static_cast<LONG>(size));
    }
    entry.p_priv_data = priv;
    entry.priv_kind = RIL_PRIV_MULTI_MOD;
    if (caller_area != nullptr)
        *caller_area = priv->caller_area;
    return 0;
}

int mdmril_create_priv_area(int id, long size, void** area)
{
    rilreq_state_entry& entry = Entry(id);
    if (size > 0) {
        FreePrivate(entry);
        entry.p_priv_data = MEMUTIL_ALLOC(static_cast<size_t>(size));
        if (entry.p_priv_data == nullptr) {
            RIL_TRACE(RIL_MASK_ERROR, "%s: allocate caller data (%ld bytes) failed", __func__, static_cast<LONG>(size));
            return -1;
        }
        entry.priv_kind = RIL_PRIV_PLAIN;
    }
    if (area != nullptr)
        *area = entry.p_priv_data;
    return 0;
}

int RilCore_send_unsolicited_response(int stack, int notification_id, int uuid_index, const void* data,
                                      size_t length)
{
    if (gs_pRilEnv == nullptr || gs_pRilEnv->UnsolicitedResponse == nullptr)
        return -1;
    return gs_pRilEnv->UnsolicitedResponse(stack, notification_id, uuid_index, data, length);
}

void RilCore_request_timed_callback(RIL_TimedCallback callback, void* argument, long seconds, long microseconds)
{
    ril_timeval time = {static_cast<LONG>(seconds), static_cast<LONG>(microseconds)};
    RIL_TRACE(RIL_MASK_FLOW, "Calling gs_pRilEnv->RequestTimedCallback() sec=[%ld]usec=[%ld]", time.tv_sec,
              time.tv_usec);
    if (gs_pRilEnv != nullptr && gs_pRilEnv->RequestTimedCallback != nullptr)
        gs_pRilEnv->RequestTimedCallback(callback, argument, &time);
}

void RilCore_send_unsolicited_noop(int, int)
{
}
