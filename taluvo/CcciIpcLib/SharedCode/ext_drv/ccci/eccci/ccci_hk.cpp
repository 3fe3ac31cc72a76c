// The modem-side half of the modem object: its operations, the boot handshake of the two cores with
// their feature sets and runtime features, the modem-to-host doorbells of the boot and the exception
// stages, and the modem's reset interrupt with its reports.
#include "ccci_md_priv.h"

#include "CurrentDevice.h"
#include "TraceDump.h"
#include "ccci_bm.h"
#include "ccci_hif.h"
#include "ccci_port.h"
#include "mhccif.h"
#include "pcie_device.h"

#include <string.h>

namespace
{

constexpr u32 kRuntimeMarker = 0x43434349u;
constexpr u32 kRuntimeReserved = 0x5555FFFFu;
constexpr u32 kRuntimeShort = 156;
constexpr u32 kRuntimeLong = 220;
constexpr u32 kRuntimeBlock = 2048;
constexpr u32 kReplyBufferSize = SKB_3_5K;
// The handler re-checks hs_abort at least this often while it waits for its events.
constexpr u32 kHkWaitMs = 100;
constexpr u32 kDoorbellPollMs = 10;
constexpr u32 kDoorbellPolls = 500;
constexpr u32 kEeStage3DelayMs = 2000;
constexpr u32 kRguRegister = 0x1000790Cu;
constexpr LONGLONG kRemovalWait = -10 * 10000ll; // 10 ms

const struct hk_steps kHkSteps = {hk_send_features, hk_check_answer, hk_send_reply};

u32 core_md_id(const struct core_hk* core)
{
    return core->ctrl_port != NULL ? core->ctrl_port->md_id : 0;
}

u32 core_tx_channel(const struct core_hk* core)
{
    if (core->ctrl_port != NULL)
        return core->ctrl_port->tx_ch;
    return core->core_id == CCCI_CORE_MD ? CCCI_CONTROL_TX : CCCI_SAP_CONTROL_TX;
}

u8 doorbell_hif(u8 md_id)
{
    return (u8)(hif_path_map[md_id][3] & 0xFF);
}

u32 read_u32(const u8* p)
{
    u32 v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void write_u32(u8* p, u32 v)
{
    memcpy(p, &v, sizeof(v));
}

// Starts a message: CCCI header {0, length, channel, 0, reserved}, the area after it zeroed.
u8* message_begin(struct sk_buff* skb, u32 length, u32 channel, u32 reserved)
{
    ccci_header_put(skb, 0, length, channel, reserved);
    u8* body = skb_put(skb, length - CCCI_HEADER_SIZE);
    memset(body, 0, length - CCCI_HEADER_SIZE);
    return body;
}

void put_ctrl_header(u8* body, u32 id, u32 data_len)
{
    struct ccci_ctrl_header ctrl = {id, 0, data_len};
    memcpy(body, &ctrl, sizeof(ctrl));
}

// The blocking send on the core's control port; the buffer is released when it was not sent.
int send_on(struct ccci_port* port, struct sk_buff* skb, const char* what)
{
    TraceHexDump(what, skb->data, skb->len, 0, 0);
    int r = ccci_port_send_skb(port, skb, 0, 1);
    if (r != 0) {
        ccci_err(SYS_TAG, "%s not sent: %d", what, r);
        bm_free_skb(skb, CCCI_MD_TAG);
    }
    return r;
}

void abort_handshake(struct md_fsm* fsm)
{
    fsm_hs_abort(fsm);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Operations.

int md_op_init(struct ccci_md* md)
{
    md->md_hk.core_id = CCCI_CORE_MD;
    md->sap_hk.core_id = CCCI_CORE_SAP;
    core_hk_init(&md->md_hk, "md_hk_wq", md_hk_work);
    core_hk_init(&md->sap_hk, "sap_hk_wq", sap_hk_work);
    return 0;
}

int md_op_start(struct ccci_md* md)
{
    md->state_flags &= ~MD_STATE_FLAG_NOT_STARTED;
    ccci_info(SYS_TAG, "start: state flags 0x%x", md->state_flags);
    InterlockedExchange(&md->stop_count, 0);
    md->info.boot_mark = MD_BOOT_MARK_NONE;
    if (md->sys != NULL && md->sys->started == 0) {
        md->sys->started = 1;
        ccci_info(SYS_TAG, "start: started 0 -> 1");
    }
    plt_start_hook();
    ccci_hif_start(md->md_id, 4);
    return 0;
}

int md_op_pre_stop(struct ccci_md* md, u32 kind)
{
    if (InterlockedIncrement(&md->stop_count) > 1) {
        ccci_info(SYS_TAG, "pre_stop %u: already stopping", kind);
        return -102;
    }
    ccci_info(SYS_TAG, "md_pre_stop");
    if (InterlockedCompareExchange(&md->exception_armed, 0, 1) == 1)
        ccci_info(SYS_TAG, "pre_stop: exception disarmed");
    if (kind != 1)
        ccci_info(SYS_TAG, "pre_stop %u in modem state %u", kind, ccci_fsm_get_md_state(md->md_id));
    return 0;
}

int md_op_stop(struct ccci_md* md, u32 kind)
{
    ccci_info(SYS_TAG, "stop %u", kind);
    ccci_hif_stop(md->md_id, 1);
    if (md->sys != NULL && md->sys->started == 1) {
        md->sys->started = 0;
        ccci_info(SYS_TAG, "stop: started 1 -> 0");
    }
    ccci_hif_reset(md->md_id, 0, 0);
    return 0;
}

u32 md_op_hif_flags(struct ccci_md* md, u32 flags, void*, u32 length)
{
    static const struct {
        u32 flag;
        u32 mask;
        u32 dump;
    } kDumps[] = {{0x20000, 1, 0x80000}, {0x40000, 4, 0x80000}, {0x2000, 1, 0x200000}, {0x100000, 4, 0x200000}};
    for (const auto& d : kDumps)
        if (flags & d.flag)
            ccci_hif_dump_status(md->md_id, d.mask, d.dump, 0, 0);
    return length;
}

// ---------------------------------------------------------------------------------------------
// Runtime data.

namespace
{

struct md_smem_region* smem_find(const struct ccci_md* md, u32 region_id)
{
    if (md == NULL || md->smem_table == NULL)
        return NULL;
    for (struct md_smem_region* r = md->smem_table; r->id != MD_SMEM_END; r++)
        if (r->id == region_id)
            return r;
    return NULL;
}

} // namespace

struct md_smem_region* md_smem_region(u32 md_id, u32 region_id)
{
    return smem_find(md_id == 0 ? ccci_md_get(md_id) : NULL, region_id);
}

int md_op_send_runtime_data(struct ccci_md* md)
{
    const struct md_rt_params* rt = &md->rt_params;
    if (rt->version < 2) {
        ccci_info(SYS_TAG, "runtime data: version %u", rt->version);
        return -205;
    }
    if (ccci_hif_get_shared_area(md->md_id, 1) != NULL)
        ccci_info(SYS_TAG, "runtime data: shared area ignored");
    struct ccci_port_proxy* proxy = ccci_port_get_proxy(md->md_id);
    struct ccci_port* port = proxy != NULL ? proxy->ctrl_port : NULL;
    if (port == NULL) {
        ccci_err(SYS_TAG, "runtime data: no control port");
        return -1;
    }
    bool long_layout = rt->variant != 0;
    u32 record = long_layout ? kRuntimeLong : kRuntimeShort;
    u32 extra = rt->extra.data != NULL ? rt->extra.length : 0;
    u32 total = CCCI_HEADER_SIZE + record + extra;
    struct sk_buff* skb = bm_alloc_skb((int)total, false, true, CCCI_MD_TAG);
    if (skb == NULL) {
        ccci_err(SYS_TAG, "runtime data: no buffer for %u bytes", total);
        return -1;
    }
    u8* body = message_begin(skb, total, port->tx_ch, kRuntimeReserved);
    write_u32(body, kRuntimeMarker);
    if (long_layout) {
        body[5] = 0x10;
        write_u32(body + 68, 1);
        struct md_smem_region* region = smem_find(md, MD_SMEM_RUNTIME);
        if (region != NULL) {
            write_u32(body + 72, (u32)region->modem_address);
            write_u32(body + 80, (u32)region->modem_address + kRuntimeBlock);
        }
        write_u32(body + 76, kRuntimeBlock);
        write_u32(body + 84, kRuntimeBlock);
        write_u32(body + 88, rt->value0);
        write_u32(body + 92, rt->value1);
        write_u32(body + 96, kRuntimeMarker);
    } else {
        write_u32(body + 152, kRuntimeMarker);
    }
    // After the record, whatever its layout: the long record reaches past where the short one ends.
    if (extra != 0)
        memcpy(body + record, rt->extra.data, extra);
    return send_on(port, skb, "runtime data");
}

struct md_runtime_entry* md_runtime_feature(u32 md_id, u32 feature_id, bool which)
{
    struct md_smem_region* region = md_smem_region(md_id, MD_SMEM_RUNTIME);
    if (region == NULL || region->buffer == NULL)
        return NULL;
    u8* at = region->buffer + (which ? kRuntimeBlock : 0);
    for (int n = 0; n < 2; n++) {
        if (at[0] == feature_id)
            return reinterpret_cast<struct md_runtime_entry*>(at);
        u32 length = read_u32(at + 4);
        if (length > 16) {
            ccci_err(SYS_TAG, "runtime feature %u: entry length %u", at[0], length);
            return NULL;
        }
        at += HK_ENTRY_HEADER + length;
    }
    return NULL;
}

int md_runtime_feature_copy(u32, const struct md_runtime_entry* entry, void* out, u32 size)
{
    if (entry == NULL || entry->length == 0 || entry->length > size) {
        ccci_err(SYS_TAG, "runtime feature %d: length %u, size %u", entry != NULL ? entry->id : -1,
                 entry != NULL ? entry->length : 0, size);
        return -14;
    }
    memcpy(out, entry->data, entry->length);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Core handshake.

int core_hk_init(struct core_hk* core, const char* name, PFN_WDF_WORKITEM work)
{
    InterlockedExchange(&core->done, 0);
    InterlockedExchange(&core->pending, 0);
    if (!NT_SUCCESS(workitem_init(&core->work, work, core, (LONG)CCCI_MD_TAG)))
        ccci_err(SYS_TAG, "%s: work item not created", name);
    if (core->core_id > CCCI_CORE_SAP)
        return 0;
    core->steps = &kHkSteps;
    core->host_features[core->core_id] = (u8)(HK_VERSION(core->host_features[core->core_id]) | 2);
    return 0;
}

void core_hk_reset(struct core_hk* core)
{
    InterlockedExchange(&core->done, 0);
    struct md_fsm* fsm = fsm_find(0);
    if (fsm == NULL) {
        ccci_err(SYS_TAG, "core %u reset: no state machine", core->core_id);
    } else if (ReadAcquire(&core->pending) == 1) {
        fsm_post_event(fsm, core->core_id == CCCI_CORE_MD ? FSM_EVENT_MD_HS_ABORT : FSM_EVENT_SAP_HS_ABORT, NULL, 0);
    }
    InterlockedExchange(&core->pending, 0);
}

namespace
{

// The MD core brings up its control queues and moves the modem state on; the SAP core restarts its own.
void hk_work_run(WDFWORKITEM work)
{
    auto* core = static_cast<struct core_hk*>(WdfObjectGet_WWAN_OBJ_CONTEXT(work)->data);
    bool md_core = core->core_id == CCCI_CORE_MD;
    struct md_fsm* fsm = fsm_find(0);
    if (fsm == NULL) {
        ccci_err(SYS_TAG, "core %u handshake: no state machine", core->core_id);
        return;
    }
    u32 abort_event = md_core ? FSM_EVENT_MD_HS_ABORT : FSM_EVENT_SAP_HS_ABORT;
    fsm_drop_events(fsm, abort_event);
    if (md_core) {
        ccci_hif_set_queue_variant(0, 0, 1);
        ccci_hif_start(0, 1);
        fsm_set_md_state(fsm, MD_STATE_CORE_HS);
    } else {
        ccci_hif_stop(0, 2);
        ccci_hif_set_queue_variant(0, 1, 0);
        ccci_hif_start(0, 2);
    }
    InterlockedExchange(&core->pending, 1);
    core_hk_handler(core, fsm, md_core ? FSM_EVENT_MD_HS : FSM_EVENT_SAP_HS, abort_event);
}

} // namespace

void md_hk_work(WDFWORKITEM work)
{
    hk_work_run(work);
}

void sap_hk_work(WDFWORKITEM work)
{
    hk_work_run(work);
}

// Takes only this core's events, wherever they sit in the list: an event of the other core or of the
// exception routine never holds this one up. The wait is bounded so that hs_abort, which wakes the
// state machine and not the event waiters, is seen.
void core_hk_handler(struct core_hk* core, struct md_fsm* fsm, u32 answer_event, u32 abort_event)
{
    core->steps->send_features(core);
    while (!fsm_hs_aborted(fsm)) {
        struct fsm_event* event = fsm_take_event(fsm, FSM_EVENT_BIT(answer_event) | FSM_EVENT_BIT(abort_event));
        if (event == NULL) {
            if (!fsm_wait_event(fsm, kHkWaitMs))
                return;
            continue;
        }
        if (event->id == abort_event) {
            ccci_info(SYS_TAG, "core %u: handshake aborted", core->core_id);
            fsm_free_event(event);
            return;
        }
        if (fsm_hs_exception(fsm)) {
            fsm_free_event(event);
            return;
        }
        if (core->steps->check_answer(core, event->data, event->length) != 0) {
            ccci_err(SYS_TAG, "core %u: answer refused", core->core_id);
        } else {
            ccci_info(SYS_TAG, "core %u: answer accepted", core->core_id);
            if (fsm_hs_exception(fsm)) {
                fsm_free_event(event);
                return;
            }
            if (core->steps->send_reply(core, event->data, event->length) == 0) {
                ccci_info(SYS_TAG, "core %u: handshake done", core->core_id);
                InterlockedExchange(&core->done, 1);
                InterlockedExchange(&core->pending, 0);
                fsm_hs_wake(fsm);
            } else {
                ccci_err(SYS_TAG, "core %u: reply failed", core->core_id);
            }
        }
        ccci_info(SYS_TAG, "core %u: handshake step ended", core->core_id);
        fsm_free_event(event);
        return;
    }
    ccci_info(SYS_TAG, "core %u: handshake abandoned", core->core_id);
}

struct sk_buff* hk_build_features(const struct core_hk* core)
{
    struct sk_buff* skb = bm_alloc_skb((int)HK_FEATURE_SET_SIZE, false, true, CCCI_MD_TAG);
    if (skb == NULL)
        return NULL;
    u8* body = message_begin(skb, HK_FEATURE_SET_SIZE, core_tx_channel(core), 0);
    put_ctrl_header(body, HK_CTRL_FEATURES, HK_ANSWER_HEAD);
    u8* data = body + sizeof(struct ccci_ctrl_header);
    write_u32(data, HK_MARKER);
    memcpy(data + 4, core->host_features, HK_FEATURES);
    write_u32(data + 4 + HK_FEATURES, HK_MARKER);
    return skb;
}

void hk_send_features(struct core_hk* core)
{
    struct sk_buff* skb = hk_build_features(core);
    if (skb == NULL) {
        ccci_err(SYS_TAG, "core %u: no buffer for the feature set", core->core_id);
        return;
    }
    if (core->ctrl_port == NULL) {
        ccci_err(SYS_TAG, "core %u: no control port", core->core_id);
        bm_free_skb(skb, CCCI_MD_TAG);
        return;
    }
    send_on(core->ctrl_port, skb, "feature set");
}

// Every entry must lie inside the answer: the modem's lengths are not trusted.
int hk_check_answer(struct core_hk* core, const u8* data, u32 length)
{
    if (data == NULL || length < HK_ANSWER_HEAD) {
        ccci_err(SYS_TAG, "core %u: answer of %u bytes", core->core_id, length);
        return -1;
    }
    u32 remembered = 0;
    u32 offset = HK_ANSWER_HEAD;
    for (u32 i = 0; offset < length && i < HK_FEATURES; i++) {
        if (length - offset < HK_ENTRY_HEADER) {
            ccci_err(SYS_TAG, "core %u: entry %u header cut at %u of %u", core->core_id, i, offset, length);
            return -1;
        }
        const u8* entry = data + offset;
        u32 entry_len = read_u32(entry + 4);
        if (entry_len > length - offset - HK_ENTRY_HEADER) {
            ccci_err(SYS_TAG, "core %u: entry %u of %u bytes at %u of %u", core->core_id, i, entry_len, offset,
                     length);
            return -1;
        }
        u32 h = HK_LEVEL(core->host_features[i]);
        u32 m = HK_LEVEL(entry[1]);
        bool accepted = false;
        if (h == 2 || h == 4) {
            if (m != 2) {
                ccci_err(SYS_TAG, "core %u: feature %u: want 2, modem %u", core->core_id, i, m);
                return -1;
            }
            accepted = true;
        } else if (h == 3) {
            remembered = 3;
        } else if (h >= 5) {
            accepted = remembered == 2;
        }
        if (accepted && i <= 1) {
            if (ccci_port_enum(core_md_id(core), entry + HK_ENTRY_HEADER, entry_len) != 0) {
                ccci_err(SYS_TAG, "core %u: port enumeration of entry %u refused", core->core_id, i);
                return -1;
            }
            remembered = 2;
        }
        offset += HK_ENTRY_HEADER + entry_len;
    }
    return 0;
}

struct sk_buff* hk_build_reply(const struct core_hk* core, const u8* answer)
{
    u32 head = read_u32(answer);
    u32 tail = read_u32(answer + 4 + HK_FEATURES);
    if (head != HK_MARKER || tail != HK_MARKER) {
        ccci_err(SYS_TAG, "core %u: answer markers 0x%x 0x%x", core->core_id, head, tail);
        return NULL;
    }
    struct sk_buff* skb = bm_alloc_skb((int)kReplyBufferSize, false, true, CCCI_MD_TAG);
    if (skb == NULL) {
        ccci_err(SYS_TAG, "core %u: no buffer for the reply", core->core_id);
        return NULL;
    }
    u8* body = message_begin(skb, HK_REPLY_SIZE, core_tx_channel(core), 0);
    put_ctrl_header(body, HK_CTRL_REPLY, HK_REPLY_DATA_LEN);
    u8* cursor = body + sizeof(struct ccci_ctrl_header);
    for (u32 i = 0; i < HK_FEATURES; i++) {
        u8 m = answer[4 + i];
        u8 h = core->runtime_support[i];
        u8 reply;
        switch (HK_LEVEL(m)) {
        case 0:
        case 2:
            reply = m;
            break;
        case 3:
            reply = HK_VERSION(h) == HK_VERSION(m) && HK_LEVEL(h) >= 2 ? (u8)((h & 0xF2) | 2) : (u8)((h & 0xF1) | 1);
            break;
        case 4:
            reply = HK_VERSION(m) < HK_VERSION(h) ? (u8)((h & 0xF1) | 1) : (u8)((h & 0xF2) | 2);
            break;
        default:
            reply = 0;
            break;
        }
        if (HK_LEVEL(reply) == 2)
            continue;
        const u8 entry[HK_ENTRY_HEADER] = {(u8)i, reply, 0, 0, 0, 0, 0, 0};
        memcpy(cursor, entry, sizeof(entry));
        cursor += sizeof(entry);
    }
    return skb;
}

int hk_send_reply(struct core_hk* core, const u8* data, u32 length)
{
    if (data == NULL || length < HK_ANSWER_HEAD) {
        ccci_err(SYS_TAG, "core %u: no reply to a %u-byte answer", core->core_id, length);
        return -1;
    }
    struct sk_buff* skb = hk_build_reply(core, data);
    if (skb == NULL)
        return -1;
    if (core->ctrl_port == NULL) {
        ccci_err(SYS_TAG, "core %u: no control port", core->core_id);
        bm_free_skb(skb, CCCI_MD_TAG);
        return -1;
    }
    send_on(core->ctrl_port, skb, "runtime feature reply");
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Doorbells.

int md_op_irq_stage(struct ccci_md* md, u32 stage)
{
    switch (stage) {
    case CCCI_IRQ_STAGE_START:
        plt_doorbell_mask(md, MD_DB_BOOT, false);
        break;
    case CCCI_IRQ_STAGE_HANDSHAKE: {
        plt_doorbell_mask(md, MD_DB_BOOT, true);
        struct md_fsm* fsm = fsm_find(md->md_id);
        bool raise = false;
        if (md->sys == NULL || fsm == NULL) {
            ccci_err(SYS_TAG, "irq_stage 1: no md_sys or state machine");
            break;
        }
        WdfSpinLockAcquire(md->sys->lock);
        u32& pending = md->sys->pending_doorbells;
        pending |= ccci_hif_get_doorbell_status(md->md_id, doorbell_hif(md->md_id));
        if (pending & MD_DB_EXCEPTION) {
            pending &= ~(MD_DB_EXCEPTION | MD_DB_SAP_HS | MD_DB_MD_HS);
            raise = true;
        } else if (fsm_hs_exception(fsm)) {
            pending &= ~(MD_DB_SAP_HS | MD_DB_MD_HS);
        } else {
            static const struct {
                u32 bit;
                struct core_hk ccci_md::*core;
            } kCores[] = {{MD_DB_SAP_HS, &ccci_md::sap_hk}, {MD_DB_MD_HS, &ccci_md::md_hk}};
            for (const auto& c : kCores) {
                if (pending & c.bit) {
                    WdfWorkItemEnqueue((md->*c.core).work);
                    pending &= ~c.bit;
                    mhccif_clear_status(md->pcie_dev, c.bit);
                    plt_doorbell_mask(md, c.bit, true);
                } else {
                    plt_doorbell_mask(md, c.bit, false);
                }
            }
        }
        WdfSpinLockRelease(md->sys->lock);
        // An exception announced before the handshake is raised like one that arrives during it: the
        // handshake alone would only fail and leave the state machine waiting.
        if (raise) {
            fsm_hs_set_exception(fsm);
            fsm_on_hif_event(md->md_id, FSM_HIF_EXCEPTION);
        }
        plt_doorbell_mask(md, MD_DB_EXCEPTION | MD_DB_EE_ACK0 | MD_DB_EE_ACK2 | MD_DB_EE_ACK3, false);
        break;
    }
    case CCCI_IRQ_STAGE_READY:
        plt_doorbell_mask(md, MD_DB_SAP_HS | MD_DB_MD_HS, true);
        break;
    default:
        break;
    }
    return 0;
}

// The state machine is told after the lock is released: its events allocate and queue commands.
int md_doorbell_handler(void* arg)
{
    auto* md = static_cast<struct ccci_md*>(arg);
    struct md_fsm* fsm = fsm_find(md->md_id);
    if (fsm == NULL || md->sys == NULL) {
        ccci_err(SYS_TAG, "doorbell: no state machine");
        return 0;
    }
    // The state machine is asked before the lock is taken: it may lock its own record.
    u32 state = fsm_get_state(md->md_id);
    u32 md_state = ccci_fsm_get_md_state(md->md_id);
    u32 hif_events[2];
    u32 hif_event_count = 0;
    WdfSpinLockAcquire(md->sys->lock);
    u32& pending = md->sys->pending_doorbells;
    pending |= ccci_hif_get_doorbell_status(md->md_id, doorbell_hif(md->md_id));
    ccci_info(SYS_TAG, "doorbell: pending 0x%x", pending);
    if (pending & MD_DB_BOOT) {
        pending &= ~MD_DB_BOOT;
        if (state < FSM_STATE_HANDSHAKE || state == FSM_STATE_STOPPED)
            hif_events[hif_event_count++] = FSM_HIF_START;
    }
    if (pending & MD_DB_EXCEPTION) {
        if (md_state == MD_STATE_INIT || md_state == MD_STATE_BOOT_HS || md_state == MD_STATE_CORE_HS ||
            md_state == MD_STATE_READY) {
            pending &= ~MD_DB_EXCEPTION;
            hif_events[hif_event_count++] = FSM_HIF_EXCEPTION;
        }
    } else if (md_state == MD_STATE_BOOT_HS || md_state == MD_STATE_CORE_HS) {
        // Either core may ask once the MD core's work has moved the modem state on to 3.
        u32 h2d = mhccif_read_h2d_state(md->pcie_dev);
        static const struct {
            u32 bit;
            struct core_hk ccci_md::*core;
        } kCores[] = {{MD_DB_SAP_HS, &ccci_md::sap_hk}, {MD_DB_MD_HS, &ccci_md::md_hk}};
        for (const auto& c : kCores) {
            struct core_hk* core = &(md->*c.core);
            if ((pending & c.bit) && !(h2d & c.bit) && ReadAcquire(&core->done) == 0) {
                pending &= ~c.bit;
                WdfWorkItemEnqueue(core->work);
            }
        }
    }
    WdfSpinLockRelease(md->sys->lock);
    for (u32 n = 0; n < hif_event_count; n++)
        fsm_on_hif_event(md->md_id, hif_events[n]);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Exception stages.

namespace
{

bool hk_wait_doorbell(struct ccci_md* md, u32 bit)
{
    for (u32 poll = 0; poll < kDoorbellPolls; poll++) {
        WdfSpinLockAcquire(md->sys->lock);
        bool seen = (md->sys->pending_doorbells & bit) != 0;
        md->sys->pending_doorbells &= ~bit;
        WdfSpinLockRelease(md->sys->lock);
        if (seen)
            return true;
        msleep(kDoorbellPollMs);
    }
    ccci_err(SYS_TAG, "exception: doorbell 0x%x not seen in 5 s", bit);
    return false;
}

} // namespace

void md_exception_stage(struct ccci_md* md, int stage)
{
    switch (stage) {
    case 0:
    case 2:
        break;
    case 3:
        msleep(kEeStage3DelayMs);
        ccci_port_reset_seq(md->md_id);
        break;
    case 5:
        md->exception_cleared = 1;
        break;
    default:
        return;
    }
    ccci_hif_exception_stage(md->md_id, 7, stage);
    ccci_hif_send_doorbell(md->md_id, doorbell_hif(md->md_id), stage);
}

int md_op_exception_stages(struct ccci_md* md)
{
    if (md->sys == NULL)
        return 0;
    md_exception_stage(md, 0);
    hk_wait_doorbell(md, MD_DB_EE_ACK0);
    md_exception_stage(md, 2);
    hk_wait_doorbell(md, MD_DB_EE_ACK2);
    md_exception_stage(md, 3);
    hk_wait_doorbell(md, MD_DB_EE_ACK3);
    md_exception_stage(md, 5);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Reset interrupt.

void md_rgu_clear(struct mdm_pci_dev* dev)
{
    if (dev == NULL || dev->md_reg_va == NULL)
        return;
    u8* reg = dev->md_reg_va + (kRguRegister - dev->md_reg_base);
    win_reg_write(reg, 0, win_reg_read(reg, 0));
    KeMemoryBarrier();
    mdm_pcie_irq_ack(dev, MDM_IRQ_SRC_RGU);
}

int md_rgu_mask(struct mdm_pci_dev* dev)
{
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, true);
    return 0;
}

int md_rgu_irq(void* arg)
{
    auto* dev = static_cast<struct mdm_pci_dev*>(arg);
    if (dev == NULL || dev->md == NULL) {
        ccci_err(SYS_TAG, "reset interrupt: no modem object");
        return -22;
    }
    struct ccci_md* md = dev->md;
    md_rgu_clear(dev);
    if (ReadAcquire(&dev->d3_done) != 0) {
        InterlockedExchange(&md->rgu_pending, 1);
        md_rgu_mask(dev);
        if (md->rgu_timer != NULL)
            WdfTimerStart(md->rgu_timer, 0);
    } else {
        InterlockedExchange(&md->rgu_early, 1);
    }
    return 1;
}

namespace
{

void md_rgu_timer(WDFTIMER timer)
{
    auto* md = static_cast<struct ccci_md*>(WdfObjectGet_WWAN_OBJ_CONTEXT(timer)->data);
    if (Mbb_IsResetInProgress()) {
        ccci_info(SYS_TAG, "reset interrupt during a device reset");
        return;
    }
    struct mdm_pci_dev* dev = md->pcie_dev;
    if (dev == NULL || win_wait_once(&dev->ev_removal, kRemovalWait) == 0)
        return;
    md_reset_handler(dev);
}

} // namespace

int md_reset_handler(struct mdm_pci_dev* dev)
{
    struct ccci_md* md = dev != NULL ? dev->md : NULL;
    if (md == NULL) {
        ccci_err(SYS_TAG, "reset handler: no modem object");
        return -1;
    }
    struct md_fsm* fsm = fsm_find(md->md_id);
    if (fsm == NULL) {
        ccci_err(SYS_TAG, "reset handler: no state machine");
        return -1;
    }
    u32 type = (plt_get_boot_status(md) >> 26) & 3;
    bool booting = fsm_get_state(md->md_id) <= FSM_STATE_HANDSHAKE;
    switch (type) {
    case 1:
        if (booting && fsm_get_dump_ready(md->md_id) == 0) {
            ccci_info(SYS_TAG, "reset type 1 during the boot");
            abort_handshake(fsm);
            fsm_report("RGU_RESET_DELAY");
        } else {
            fsm_report("RESET");
        }
        break;
    case 2:
        fsm_report("CRASH");
        if (booting) {
            abort_handshake(fsm);
            fsm_report("RGU_RESET_DELAY");
        } else {
            fsm_report("WARM_RESET");
        }
        break;
    default:
        if (booting) {
            abort_handshake(fsm);
            fsm_report("RGU_RESET_DELAY");
        }
        ccci_info(SYS_TAG, "reset type %u", type);
        break;
    }
    return 0;
}

int md_irq_setup(struct ccci_md* md)
{
    struct mdm_pci_dev* dev = md->pcie_dev;
    if (!NT_SUCCESS(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &md->irq_wait_lock)))
        md->irq_wait_lock = NULL;
    plt_doorbell_mask(md, MD_DB_ALL, true);
    int r = mdm_pcie_register_doorbell_handler(dev, MD_DB_SLOT, MD_DB_ALL, md_doorbell_handler, md);
    if (r != 0)
        ccci_err(SYS_TAG, "doorbell handler not registered: %d", r);
    if (dev == NULL)
        return r;
    InterlockedExchange(&dev->d3_done, 1);
    win_create_timer_ctx(&md->rgu_timer, md_rgu_timer, false, md);
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, true);
    mdm_pcie_irq_ack(dev, MDM_IRQ_SRC_RGU);
    mdm_pcie_register_irq_callback(dev, MDM_IRQ_SRC_RGU, md_rgu_irq, dev);
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, false);
    return r;
}

void md_irq_teardown(struct ccci_md* md)
{
    struct mdm_pci_dev* dev = md->pcie_dev;
    if (dev != NULL && dev->irq_cb[MDM_IRQ_SRC_RGU] == md_rgu_irq) {
        md_rgu_mask(dev);
        mdm_pcie_register_irq_callback(dev, MDM_IRQ_SRC_RGU, NULL, NULL);
    }
    if (dev != NULL && dev->db_cb[MD_DB_SLOT] == md_doorbell_handler) {
        dev->db_cb[MD_DB_SLOT] = NULL;
        dev->db_cb_arg[MD_DB_SLOT] = NULL;
        dev->db_mask[MD_DB_SLOT] = 0;
    }
    win_delete_timer(&md->rgu_timer);
    workitem_destroy(&md->md_hk.work);
    workitem_destroy(&md->sap_hk.work);
    if (md->irq_wait_lock != NULL)
        WdfObjectDelete(md->irq_wait_lock);
    md->irq_wait_lock = NULL;
}
