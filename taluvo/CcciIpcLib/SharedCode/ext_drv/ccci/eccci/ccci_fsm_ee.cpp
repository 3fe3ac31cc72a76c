// The exception handshake: the modem announces its exception, sends its record and its pass on the
// control channel; the state machine's exception routine waits for them and runs the HIF stages.
#include "ccci_fsm_priv.h"

#include <stdio.h>
#include <string.h>

#include "Driver.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "ModemEvents.h"
#include "ccci_core.h"
#include "ccci_hif.h"
#include "ccci_md.h"
#include "ccci_port.h"
#include "pcie_device.h"
#include "pcie_pm.h"

namespace
{

const u32 kAnnounceRounds = 500;
const u32 kPassRounds = 2250;
const u32 kRoundMs = 20;
const u32 kDoneMs = 200;
const u32 kResetMark = 61;
// The port proxy's flag: a modem log dump is being collected.
const u32 kLogDumpFlag = 2;

void ee_copy_record(struct md_ee* ee, const void* data, u32 length)
{
    if (ee->record != NULL)
        memcpy(ee->record + EE_RECORD_OFFSET, data, length < EE_RECORD_MAX ? length : EE_RECORD_MAX);
}

void ee_set_first_word(struct md_ee* ee, u32 value)
{
    if (ee->record != NULL)
        memcpy(ee->record, &value, sizeof(value));
}

const struct ee_record_ops kRecordOps = {ee_copy_record, ee_set_first_word};

void ee_or_flags(struct md_ee* ee, u32 bits)
{
    WdfSpinLockAcquire(ee->lock);
    ee->flags |= bits;
    WdfSpinLockRelease(ee->lock);
}

u32 ee_flags(struct md_ee* ee)
{
    WdfSpinLockAcquire(ee->lock);
    u32 flags = ee->flags;
    WdfSpinLockRelease(ee->lock);
    return flags;
}

u32 u32_at(const u8* data)
{
    u32 value;
    memcpy(&value, data, sizeof(value));
    return value;
}

enum class Wait { Got, Gone, Timeout };

// Rounds of 20 ms until one of `ends` is taken (events of `skips` are taken and dropped on the way);
// other events stay where they are, so a stale one cannot hide the wanted one.
Wait wait_ee_event(struct md_fsm* fsm, u32 rounds, u32 ends, u32 skips)
{
    for (u32 round = 0; round < rounds; round++) {
        if (IpcShouldTerminateThreads(NULL) || fsm_leaving_for_sleep())
            return Wait::Gone;
        for (;;) {
            struct fsm_event* event = fsm_take_event(fsm, ends | skips);
            if (event == NULL)
                break;
            bool end = (ends & FSM_EVENT_BIT(event->id)) != 0;
            fsm_free_event(event);
            if (end)
                return Wait::Got;
        }
        if (round != 0 && round % 500 == 0)
            ccci_warn(FSM_TAG, "exception wait: %u rounds", round);
        if (!fsm_sleep(kRoundMs))
            return Wait::Gone;
    }
    return Wait::Timeout;
}

} // namespace

int ee_init(struct md_ee* ee, u32 md_id)
{
    ee_reset(ee, md_id);
    if (!NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &ee->lock))) {
        ee->lock = NULL;
        ccci_err(FSM_TAG, "exception lock not made");
        return -1;
    }
    ee->record = static_cast<u8*>(win_zalloc(EE_RECORD_SIZE, 0, FSM_POOL_TAG));
    if (ee->record == NULL) {
        ccci_err(FSM_TAG, "exception record buffer not made");
        return -1;
    }
    ee->record_ops = &kRecordOps;
    return 0;
}

void ee_reset(struct md_ee* ee, u32 md_id)
{
    ee->md_id = md_id;
    ee->flags = 0;
    ee->type = 0;
    WriteRelease(&ee->log_dump_done, 0);
    ee->stage0_done = 0;
    ee->reserved[0] = 0;
    ee->reserved[1] = 0;
    ee->reset_mark = kResetMark;
}

void ee_free(struct md_ee* ee)
{
    if (ee->record != NULL)
        win_free(ee->record, FSM_POOL_TAG);
    ee->record = NULL;
    if (ee->lock != NULL)
        WdfObjectDelete(ee->lock);
    ee->lock = NULL;
}

void ee_handle_msg(struct md_ee* ee, const u8* data, u32 length)
{
    u32 md_state = ccci_fsm_get_md_state(ee->md_id);
    if (md_state != MD_STATE_EXCEPTION) {
        ccci_warn(FSM_TAG, "exception message in modem state %u ignored", md_state);
        return;
    }
    if (data == NULL || length < EE_MSG_HEAD) {
        ccci_err(FSM_TAG, "%u-byte exception message dropped", length);
        return;
    }
    struct md_fsm* fsm = fsm_find(ee->md_id);
    u32 id = u32_at(data);
    u32 magic = u32_at(data + 4);
    switch (id) {
    case 4:
        if (magic != EE_MAGIC_EXCP)
            break;
        ee_or_flags(ee, EE_FLAG_ACTIVE | EE_FLAG_ANNOUNCED);
        ccci_send_msg_to_md(ee->md_id, CCCI_CONTROL_TX, 4, EE_MAGIC_EXCP, 1);
        fsm_post_event(fsm, FSM_EVENT_EE_ANNOUNCED, NULL, 0);
        return;
    case 6: {
        if (magic != EE_MAGIC_EREC)
            break;
        ee_or_flags(ee, EE_FLAG_ACTIVE | EE_FLAG_RECORD);
        // The record is what the frame holds after the control header, no more than it says it has.
        u32 present = length - EE_MSG_HEAD;
        u32 stated = u32_at(data + 8);
        ee->record_ops->copy_record(ee, data + EE_MSG_HEAD, stated < present ? stated : present);
        fsm_post_event(fsm, FSM_EVENT_EE_RECORD, NULL, 0);
        return;
    }
    case 8:
        ee_or_flags(ee, EE_FLAG_PASS);
        fsm_post_event(fsm, FSM_EVENT_EE_PASS, NULL, 0);
        return;
    case 5:
        ccci_info(FSM_TAG, "exception message 5");
        return;
    default:
        ccci_warn(FSM_TAG, "exception message %u ignored", id);
        return;
    }
    ccci_warn(FSM_TAG, "exception message %u with magic 0x%08X ignored", id, magic);
}

void ee_report_timeout(struct md_ee* ee)
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    unsigned long long units = (unsigned long long)ticks.QuadPart * KeQueryTimeIncrement();
    snprintf(ee->text, sizeof(ee->text), "Host detect handshake timeout:%5lu.%06lu\n",
             (unsigned long)(units / 10000000), (unsigned long)(units % 10000000 / 10));
    ccci_err(FSM_TAG, "%s", ee->text);
    if (!IsAnyDumpConfigEnabled()) {
        fsm_report("CRASH");
        fsm_report("RESET");
    }
}

void ee_stage(struct md_ee* ee, u32 stage)
{
    switch (stage) {
    case 0:
        ee_report_timeout(ee);
        WriteRelease(&ee->log_dump_done, 0);
        WdfSpinLockAcquire(ee->lock);
        ee->flags = EE_FLAG_ACTIVE | EE_FLAG_HOST_SAW;
        if (ccci_fsm_get_md_state(ee->md_id) == MD_STATE_BOOT_HS)
            ee->flags |= EE_FLAG_DURING_HS;
        ee->stage0_done = 1;
        WdfSpinLockRelease(ee->lock);
        break;
    case 1: {
        u32 flags = ee_flags(ee);
        if ((flags & (EE_FLAG_ANNOUNCED | EE_FLAG_RECORD | EE_FLAG_HOST_SAW)) ==
            (EE_FLAG_ANNOUNCED | EE_FLAG_RECORD | EE_FLAG_HOST_SAW))
            ee->type = 0;
        else if ((flags & EE_FLAG_ANNOUNCED) != 0)
            ee->type = 2;
        else if ((flags & EE_FLAG_HOST_SAW) != 0)
            ee->type = 1;
        else if ((flags & 0x10u) != 0)
            ee->type = 3;
        else if ((flags & 0x20u) != 0)
            ee->type = 4;
        else {
            ccci_err(FSM_TAG, "exception stage 1 with flags 0x%x", flags);
            return;
        }
        ccci_md_hif_flags(ee->md_id, ee->type == 1 ? 0x20040u : 0u, NULL, 0);
        if (ee->type == 3)
            ccci_md_hif_flags(ee->md_id, 0x20000u, NULL, 0);
        break;
    }
    case 2:
        ccci_md_hif_flags(ee->md_id, ee->type == 1 ? 0x20044u : 4u, NULL, 0);
        if (ee->type == 3)
            ccci_md_hif_flags(ee->md_id, 0x20000u, NULL, 0);
        WdfSpinLockAcquire(ee->lock);
        ee->flags = 0;
        WdfSpinLockRelease(ee->lock);
        break;
    default:
        ccci_err(FSM_TAG, "exception stage %u", stage);
        break;
    }
}

int ee_wait_done(struct md_ee* ee, u32 seconds)
{
    struct ccci_md* md = ccci_md_get(ee->md_id);
    u32 sleeps = 0;
    while (ccci_fsm_get_md_state(ee->md_id) == MD_STATE_EXCEPTION) {
        bool busy = (ee_flags(ee) & EE_FLAG_ACTIVE) != 0;
        if (ccci_port_proxy_test_flag(ee->md_id, kLogDumpFlag))
            busy = busy || ReadAcquire(&ee->log_dump_done) == 0;
        if (!busy || (md != NULL && ccci_md_rgu_pending(md)))
            break;
        if (!fsm_sleep(kDoneMs))
            return -1;
        if (++sleeps > seconds * 5) {
            ccci_err(FSM_TAG, "exception not done after %u s", seconds);
            return -1;
        }
    }
    return 0;
}

void fsm_run_exception(struct md_fsm* fsm, struct fsm_command* command, u32 type)
{
    ccci_warn(FSM_TAG, "exception type %u in state %u", type, fsm_get_state(fsm->md_id));
    fsm_monitor_send(fsm->md_id, 0xFAF50006u, 0);
    u32 state = fsm_get_state(fsm->md_id);
    if (state != FSM_STATE_HANDSHAKE && state != FSM_STATE_READY) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    fsm->last_state = state;
    WriteRelease(&fsm->state, FSM_STATE_EXCEPTION);
    if (type == FSM_EE_HS_TIMEOUT || type == FSM_EE_HS_SILENT)
        ee_stage(&fsm->ee, 0);
    struct ccci_md* md = ccci_md_get(fsm->md_id);
    struct mdm_pci_dev* dev = md != NULL ? ccci_md_get_pcie_dev(md) : NULL;
    switch (type) {
    case FSM_EE_HS_TIMEOUT:
        ccci_err(FSM_TAG, "handshake abandoned");
        ccci_hif_dump_status((u8)fsm->md_id, 3, 0x80000, 0, 0);
        if (dev != NULL)
            mdm_pci_dump_bar(dev, 0);
        break;
    case FSM_EE_HS_SILENT:
        fsm_set_md_state(fsm, MD_STATE_EXCEPTION);
        ccci_err(FSM_TAG, "exception during the handshake");
        break;
    case FSM_EE_MODEM: {
        fsm_set_md_state(fsm, MD_STATE_EXCEPTION);
        fsm_report("CRASH");
        if (dev != NULL) {
            mdm_pci_disable_sleep(dev);
            if (fsm_leaving_for_sleep()) {
                fsm_complete_command(fsm, command, -1);
                ccci_warn(FSM_TAG, "exception while the system leaves for sleep");
                return;
            }
        }
        ccci_md_exception_stages(fsm->md_id);
        Wait got = wait_ee_event(fsm, kAnnounceRounds, FSM_EVENT_BIT(FSM_EVENT_EE_RECORD),
                                 FSM_EVENT_BIT(FSM_EVENT_EE_ANNOUNCED));
        if (got == Wait::Gone) {
            fsm_complete_command(fsm, command, -1);
            return;
        }
        if (got == Wait::Timeout)
            ccci_err(FSM_TAG, "no exception record from the modem");
        ee_stage(&fsm->ee, 1);
        got = wait_ee_event(fsm, kPassRounds, FSM_EVENT_BIT(FSM_EVENT_EE_PASS), 0);
        if (got == Wait::Gone) {
            fsm_complete_command(fsm, command, -1);
            return;
        }
        if (got == Wait::Got) {
            fsm_port_channel(fsm->md_id, "ttyCMdLog", true);
            fsm_port_channel(fsm->md_id, "ttyCMdMeta", true);
        } else {
            ccci_err(FSM_TAG, "no exception pass from the modem");
        }
        ee_stage(&fsm->ee, 2);
        if (ee_wait_done(&fsm->ee, 120) != 0 && !IpcShouldTerminateThreads(NULL))
            fsm_report("RESET");
        break;
    }
    default:
        break;
    }
    fsm_complete_command(fsm, command, 1);
}
