// The modem state machine: one thread runs the queued commands (start, handshake, ready, exception,
// stop, halt) one at a time; events from the modem are posted to it; state changes go to the ports and
// the notifiers, progress reports upward as fixed strings.
#include "ccci_fsm_priv.h"

#include <string.h>

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "ModemEventActions.h"
#include "ModemEvents.h"
#include "ccci_core.h"
#include "ccci_hif.h"
#include "ccci_md.h"
#include "ccci_port.h"
#include "mhccif.h"
#include "pcie_device.h"
#include "pcie_pm.h"

namespace
{

struct md_fsm* g_fsm[1];
volatile LONG g_brom_stage; // the CLDMA engine sends raw bytes while it is set
u32 g_start_retries;

const u32 kStartRetries = 200;
const u32 kPollMs = 50;
const LONG kPollRounds = 400;
const LONGLONG kResumeWait = -60LL * 1000 * 1000 * 10;
const LONGLONG kHsTimeout = -60LL * 1000 * 1000 * 10;
const LONGLONG kDrainTicks = 510000; // 51 ms in 100 ns units
const LONGLONG kJoinWait = -10LL * 1000 * 1000 * 10;
const u32 kDoorbellStop = 13;
const char kBromPort[] = "brom_download";
const u8 kBromBytes[] = {0xA0, 0x0A, 0x50, 0x05, 0xD6};

// Walks of the notifier list under way on this thread: an unregister from a callback must not wait.
thread_local int tl_notify_depth;
// The event sequence a taker of this thread saw at its last look (fsm_take_event).
thread_local LONG tl_event_seq;
// Separate from md_fsm: the sequence belongs to the list, guarded by event_lock.
volatile LONG g_event_seq;

u32 get_state(const struct md_fsm* fsm)
{
    return (u32)ReadAcquire(const_cast<volatile LONG*>(&fsm->state));
}

void set_state(struct md_fsm* fsm, u32 state)
{
    fsm->last_state = get_state(fsm);
    WriteRelease(&fsm->state, (LONG)state);
}

u32 get_last_status(struct md_fsm* fsm)
{
    return (u32)ReadAcquire(reinterpret_cast<volatile LONG*>(&fsm->last_status));
}

void set_last_status(struct md_fsm* fsm, u32 status)
{
    WriteRelease(reinterpret_cast<volatile LONG*>(&fsm->last_status), (LONG)status);
}

struct mdm_pci_dev* fsm_pcie_dev(struct ccci_md* md)
{
    return md != NULL ? ccci_md_get_pcie_dev(md) : NULL;
}

// The boot status's low half; an unreadable register (no device, link down) reads 0xFFFF.
u32 read_status(struct ccci_md* md, u32* raw)
{
    u32 value = plt_get_boot_status(md);
    if (raw != NULL)
        *raw = value;
    if (value == CCCI_BOOT_STATUS_NO_DEVICE)
        return 0xFFFF;
    return value & 0xFFFF;
}

void poll_timer_stop(struct md_fsm* fsm)
{
    if (fsm->poll_timer != NULL)
        WdfTimerStop(fsm->poll_timer, TRUE);
    WriteRelease(&fsm->poll_count, 0);
}

void fsm_poll_timer(WDFTIMER timer);

void poll_timer_arm(struct md_fsm* fsm)
{
    if (fsm->poll_timer == NULL &&
        !NT_SUCCESS(win_create_timer_ctx(&fsm->poll_timer, fsm_poll_timer, false, fsm))) {
        ccci_err(FSM_TAG, "boot poll timer not created");
        fsm->poll_timer = NULL;
        return;
    }
    WdfTimerStart(fsm->poll_timer, WDF_REL_TIMEOUT_IN_MS(kPollMs));
}

void fsm_poll_timer(WDFTIMER timer)
{
    auto* fsm = static_cast<struct md_fsm*>(WdfObjectGet_WWAN_OBJ_CONTEXT(timer)->data);
    u32 raw;
    u32 status = read_status(ccci_md_get(fsm->md_id), &raw);
    if (status != get_last_status(fsm))
        fsm_queue_command(fsm, FSM_CMD_START, 0);
    if (Mbb_IsResetInProgress())
        return;
    if (((raw >> 4) & 7) != 3) {
        LONG old = InterlockedIncrement(&fsm->poll_count) - 1;
        if (old > kPollRounds) {
            ccci_err(FSM_TAG, "boot ROM made no progress in %d polls: 0x%08X", old, raw);
            WriteRelease(&fsm->poll_count, 0);
            fsm_report("RESET");
            return;
        }
    }
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(kPollMs));
}

void fsm_hs_timer(WDFTIMER timer)
{
    auto* fsm = static_cast<struct md_fsm*>(WdfObjectGet_WWAN_OBJ_CONTEXT(timer)->data);
    ccci_err(FSM_TAG, "boot handshake timed out");
    fsm_hs_abort(fsm);
}

} // namespace

void fsm_port_channel(u32 md_id, const char* name, bool enable)
{
    struct ccci_port* port = ccci_port_get_by_name(md_id, name);
    if (port == NULL || port->ops == NULL) {
        ccci_err(FSM_TAG, "no port %s", name);
        return;
    }
    int (*op)(struct ccci_port*) = enable ? port->ops->enable_channel : port->ops->disable_channel;
    if (op != NULL)
        op(port);
}

namespace
{

int fsm_send_brom_byte(struct ccci_port* port, u8 byte)
{
    struct sk_buff* skb = bm_alloc_skb(1, true, true, FSM_POOL_TAG);
    if (skb == NULL)
        return -1;
    *skb_put(skb, 1) = byte;
    if (ccci_port_send_skb(port, skb, 1, 1) != 0) {
        bm_free_skb(skb, FSM_POOL_TAG);
        return -1;
    }
    return 0;
}

// The boot ROM's switch to the download path: engines of path 1 restarted for raw bytes, boot ports.
void brom_prepare(struct md_fsm* fsm)
{
    ccci_hif_hw_init((u8)fsm->md_id, 2);
    ccci_hif_stop((u8)fsm->md_id, 2);
    ccci_hif_set_queue_variant((u8)fsm->md_id, 1, 2);
}

void fsm_boot_rom_stage(struct md_fsm* fsm, struct ccci_md* md, u32 status)
{
    u32 sub = (status >> 4) & 7;
    switch (sub) {
    case 0:
    case 1:
    case 2:
        fsm_port_channel(fsm->md_id, kBromPort, false);
        poll_timer_arm(fsm);
        break;
    case 3:
        WriteRelease(&g_brom_stage, 0);
        fsm_mark_stage(md, 2);
        poll_timer_arm(fsm);
        break;
    case 4: {
        WriteRelease(&g_brom_stage, 1);
        brom_prepare(fsm);
        if (fsm->resume_boot == 1) {
            ccci_port_switch_table_resume(fsm->md_id, CCCI_TABLE_BOOT);
            fsm->resume_ports = 1;
        } else {
            ccci_port_switch_table(fsm->md_id, CCCI_TABLE_BOOT);
        }
        struct ccci_port* port = ccci_port_get_by_name(fsm->md_id, kBromPort);
        if (port == NULL)
            ccci_err(FSM_TAG, "no port %s", kBromPort);
        if (IpcGetBromDLFlag()) {
            fsm_port_channel(fsm->md_id, kBromPort, true);
            ccci_hif_start((u8)fsm->md_id, 2);
            fsm_report("MDM_COLD_BOOT_COMPLETED");
            fsm_report("ROM_READY");
        } else {
            ccci_hif_start((u8)fsm->md_id, 2);
            for (u32 n = 0; port != NULL && n < sizeof(kBromBytes); n++) {
                if (fsm_send_brom_byte(port, kBromBytes[n]) != 0)
                    ccci_err(FSM_TAG, "boot ROM byte %u not sent", n);
            }
        }
        poll_timer_arm(fsm);
        break;
    }
    case 7:
        fsm_mark_stage(md, 1);
        break;
    default:
        ccci_err(FSM_TAG, "boot ROM sub-stage %u", sub);
        break;
    }
}

void fsm_dump_stage(struct md_fsm* fsm, struct ccci_md* md, u32 status)
{
    if (md == NULL) {
        ccci_err(FSM_TAG, "dump stage without a modem object");
        return;
    }
    u32 sub = (status >> 8) & 7;
    if (sub == 7)
        return;
    if (sub != 1) {
        ccci_err(FSM_TAG, "dump sub-stage %u", sub);
        return;
    }
    ccci_info(FSM_TAG, "dump stage: boot status 0x%08X", plt_get_boot_status(md));
    brom_prepare(fsm);
    ccci_port_switch_table(fsm->md_id, CCCI_TABLE_BOOT);
    fsm_port_channel(fsm->md_id, "ttyDUMP", true);
    ccci_hif_start((u8)fsm->md_id, 2);
    fsm_report("MDM_COLD_BOOT_COMPLETED");
    fsm_report("CD_READY");
    fsm->dump_ready = 1;
}

// Waits for the device's D0 (its resume event), or for the driver's threads to end.
void wait_resume(void)
{
    IPC_PCI_DEVICE* pdev = fsm_pci_device();
    if (pdev == NULL)
        return;
    PVOID objects[2] = {&pdev->ResumeEvent, IpcGetTerminateThreadsEvent()};
    LARGE_INTEGER due;
    due.QuadPart = kResumeWait;
    if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &due, NULL) ==
        STATUS_TIMEOUT)
        ccci_warn(FSM_TAG, "device not in D0 after 60 s");
}

void check_ssvid(void)
{
    IPC_PCI_DEVICE* pdev = fsm_pci_device();
    if (pdev == NULL || pdev->BusInterface.GetBusData == NULL)
        return;
    USHORT ssvid = 0;
    ULONG n = pdev->BusInterface.GetBusData(pdev->BusInterface.Context, PCI_WHICHSPACE_CONFIG, &ssvid, 0x2C,
                                            sizeof(ssvid));
    if (n == sizeof(ssvid) && ssvid != pdev->SubsystemVendorId) {
        ccci_warn(FSM_TAG, "subsystem vendor 0x%04X, was 0x%04X", ssvid, pdev->SubsystemVendorId);
        pdev->SubsystemVendorId = ssvid;
        fsm_report("SSVID_RESET_DELAY");
    }
}

void fsm_run_start(struct md_fsm* fsm, struct fsm_command* command)
{
    struct ccci_md* md = ccci_md_get(fsm->md_id);
    if (md == NULL) {
        ccci_err(FSM_TAG, "start without a modem object");
        fsm_complete_command(fsm, command, -1);
        return;
    }
    u32 status = read_status(md, NULL);
    u32 last = get_last_status(fsm);
    if (status == 0xFFFF) {
        if ((last & 7) != 0)
            poll_timer_stop(fsm);
        if (!Mbb_IsResetInProgress())
            fsm_report("RESET");
        set_last_status(fsm, 0xFFFF);
        fsm_complete_command(fsm, command, -1);
        return;
    }
    u32 state = get_state(fsm);
    if (state != FSM_STATE_CREATED && state != FSM_STATE_STARTING && state != FSM_STATE_STOPPED) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    set_state(fsm, FSM_STATE_STARTING);
    wait_resume();
    ccci_md_irq_stage(md, CCCI_IRQ_STAGE_START);
    if (fsm->resume_boot != 1)
        ccci_port_switch_table(fsm->md_id, CCCI_TABLE_BOOT);
    if (status == last) {
        if (status != 0) {
            g_start_retries = 0;
        } else if (g_start_retries++ < kStartRetries) {
            if (fsm_sleep(100))
                fsm_queue_command(fsm, FSM_CMD_START, 0);
        } else {
            ccci_err(FSM_TAG, "boot status stays 0: start given up");
            g_start_retries = 0;
        }
        fsm_complete_command(fsm, command, 1);
        return;
    }
    u32 stage = status & 7;
    if (stage != 0)
        check_ssvid();
    switch (stage) {
    case 0:
        fsm_queue_command(fsm, FSM_CMD_START, 0);
        break;
    case 1:
    case 2:
        fsm_boot_rom_stage(fsm, md, status);
        break;
    case 3:
        WriteRelease(&g_brom_stage, 0);
        poll_timer_stop(fsm);
        fsm_dump_stage(fsm, md, status);
        break;
    case 4: {
        WriteRelease(&g_brom_stage, 0);
        poll_timer_stop(fsm);
        ccci_hif_hw_init((u8)fsm->md_id, 7);
        ccci_hif_hw_init((u8)fsm->md_id, 8);
        u32 reason = (status >> 12) & 0xF;
        if (reason != 0 && reason != 1 && reason != 2 && reason != 14)
            ccci_warn(FSM_TAG, "boot reason %u", reason);
        fsm_queue_command(fsm, FSM_CMD_HANDSHAKE, 0);
        break;
    }
    default:
        ccci_err(FSM_TAG, "boot stage %u (status 0x%04X)", stage, status);
        break;
    }
    g_start_retries = 0;
    set_last_status(fsm, status);
    fsm_complete_command(fsm, command, 1);
}

bool hs_settled(struct md_fsm* fsm, struct ccci_md* md)
{
    return (ccci_md_hk_done(md, CCCI_CORE_MD) && ccci_md_hk_done(md, CCCI_CORE_SAP)) || fsm_hs_aborted(fsm) ||
           fsm_hs_exception(fsm) || IpcShouldTerminateThreads(NULL);
}

// Ends the wait of each core that has not finished and still waits for the modem.
void hs_release_cores(struct md_fsm* fsm, struct ccci_md* md)
{
    static const u32 abort_event[2] = {FSM_EVENT_MD_HS_ABORT, FSM_EVENT_SAP_HS_ABORT};
    for (u32 core = CCCI_CORE_MD; core <= CCCI_CORE_SAP; core++) {
        if (ccci_md_hk_done(md, core))
            continue;
        ccci_warn(FSM_TAG, "core %u handshake not done", core);
        if (ccci_md_hk_pending(md, core))
            fsm_post_event(fsm, abort_event[core], NULL, 0);
    }
}

void fsm_run_handshake(struct md_fsm* fsm, struct fsm_command* command)
{
    if (get_state(fsm) != FSM_STATE_STARTING) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    if (fsm->resume_boot == 1 && fsm->resume_ports == 1) {
        ccci_port_switch_table_resume(fsm->md_id, CCCI_TABLE_NORMAL);
        fsm->resume_ports = 0;
    } else {
        ccci_port_switch_table(fsm->md_id, CCCI_TABLE_NORMAL);
    }
    set_state(fsm, FSM_STATE_HANDSHAKE);
    int r = ccci_md_start(fsm->md_id);
    if (r != 0) {
        ccci_err(FSM_TAG, "modem start failed: %d", r);
        fsm_complete_command(fsm, command, -1);
        return;
    }
    struct ccci_md* md = ccci_md_get(fsm->md_id);
    fsm_set_md_state(fsm, MD_STATE_BOOT_HS);
    ccci_md_irq_stage(md, CCCI_IRQ_STAGE_HANDSHAKE);
    // Made once and reused: a timer per handshake would pile up on the device.
    if (fsm->hs_timer == NULL && !NT_SUCCESS(win_create_timer_ctx(&fsm->hs_timer, fsm_hs_timer, false, fsm))) {
        ccci_err(FSM_TAG, "handshake timer not created");
        fsm->hs_timer = NULL;
    }
    if (fsm->hs_timer != NULL)
        WdfTimerStart(fsm->hs_timer, kHsTimeout);
    // The terminate signal ends the wait too: a removal must not wait for the 60 s timer.
    PKEVENT hs_events[2] = {&fsm->hs_wq, IpcGetTerminateThreadsEvent()};
    while (!hs_settled(fsm, md)) {
        int index;
        win_wait_any_event(2, hs_events, &index);
        KeClearEvent(&fsm->hs_wq);
    }
    if (fsm->hs_timer != NULL)
        WdfTimerStop(fsm->hs_timer, FALSE);
    if (IpcShouldTerminateThreads(NULL)) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    if (fsm_hs_aborted(fsm)) {
        hs_release_cores(fsm, md);
        fsm_run_exception(fsm, NULL, FSM_EE_HS_TIMEOUT);
        fsm_complete_command(fsm, command, -1);
        return;
    }
    if (fsm_hs_exception(fsm)) {
        ccci_warn(FSM_TAG, "modem exception during the handshake");
        hs_release_cores(fsm, md);
        ccci_hif_set_queue_variant((u8)fsm->md_id, 0, 1);
        ccci_hif_set_queue_variant((u8)fsm->md_id, 1, 0);
        fsm_complete_command(fsm, command, -1);
        return;
    }
    ccci_info(FSM_TAG, "boot handshake done");
    struct mdm_pci_dev* dev = fsm_pcie_dev(md);
    if (dev != NULL)
        mdm_pci_pm_init_late(dev);
    if (fsm->resume_boot == 1 && !Mbb_IsMbbCxInitialized()) {
        ccci_warn(FSM_TAG, "resumed boot without the class extension");
        if (!Mbb_IsResetInProgress())
            fsm_report("RESET");
    } else {
        fsm_queue_command(fsm, FSM_CMD_READY, 0);
    }
    fsm_complete_command(fsm, command, 1);
}

void fsm_run_ready(struct md_fsm* fsm, struct fsm_command* command)
{
    if (get_state(fsm) != FSM_STATE_HANDSHAKE) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    set_state(fsm, FSM_STATE_READY);
    fsm_set_md_state(fsm, MD_STATE_READY);
    fsm->resume_boot = 0;
    fsm_report("MDM_COLD_BOOT_COMPLETED");
    fsm_report("MDM_READY");
    ccci_md_irq_stage(ccci_md_get(fsm->md_id), CCCI_IRQ_STAGE_READY);
    fsm_complete_command(fsm, command, 1);
}

void fsm_enter_stopped(struct md_fsm* fsm)
{
    set_state(fsm, FSM_STATE_STOPPED);
    fsm_set_md_state(fsm, MD_STATE_STOPPED);
    struct mdm_pci_dev* dev = fsm_pcie_dev(ccci_md_get(fsm->md_id));
    if (dev != NULL)
        ccci_md_reinit(dev);
}

void fsm_run_stop(struct md_fsm* fsm, struct fsm_command* command)
{
    poll_timer_stop(fsm);
    u32 state = get_state(fsm);
    if (state == FSM_STATE_STOPPING || state == FSM_STATE_STOPPED) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    set_state(fsm, FSM_STATE_STOPPING);
    fsm_set_md_state(fsm, MD_STATE_STOPPING);
    ccci_hif_stop((u8)fsm->md_id, 1);
    ccci_hif_stop((u8)fsm->md_id, 2);
    struct ccci_md* md = ccci_md_get(fsm->md_id);
    struct mdm_pci_dev* dev = fsm_pcie_dev(md);
    if (dev != NULL && !ccci_md_rgu_pending(md) && !Mbb_IsResetInProgress())
        mhccif_send_doorbell(dev, kDoorbellStop);
    fsm_enter_stopped(fsm);
    fsm_complete_command(fsm, command, 1);
}

void fsm_run_halt(struct md_fsm* fsm, struct fsm_command* command)
{
    u32 state = get_state(fsm);
    if (state == FSM_STATE_STOPPED) {
        fsm_complete_command(fsm, command, -1);
        return;
    }
    u32 stage = get_last_status(fsm) & 7;
    if (state == FSM_STATE_STARTING && (stage == 1 || stage == 2))
        poll_timer_stop(fsm);
    fsm_enter_stopped(fsm);
    fsm_complete_command(fsm, command, 1);
}

struct fsm_command* take_command(struct md_fsm* fsm)
{
    struct fsm_command* command = NULL;
    WdfSpinLockAcquire(fsm->command_lock);
    if (!IsListEmpty(&fsm->commands))
        command = CONTAINING_RECORD(RemoveHeadList(&fsm->commands), struct fsm_command, entry);
    WdfSpinLockRelease(fsm->command_lock);
    return command;
}

bool commands_empty(struct md_fsm* fsm)
{
    WdfSpinLockAcquire(fsm->command_lock);
    bool empty = IsListEmpty(&fsm->commands) != FALSE;
    WdfSpinLockRelease(fsm->command_lock);
    return empty;
}

void run_command(struct md_fsm* fsm, struct fsm_command* command)
{
    ccci_info(FSM_TAG, "command %u in state %u", command->id, get_state(fsm));
    switch (command->id) {
    case FSM_CMD_START:
        fsm_run_start(fsm, command);
        break;
    case FSM_CMD_HANDSHAKE:
        fsm_run_handshake(fsm, command);
        break;
    case FSM_CMD_READY:
        fsm_run_ready(fsm, command);
        break;
    case FSM_CMD_EXCEPTION:
        fsm_run_exception(fsm, command, (command->flags >> 16) & 0xFF);
        break;
    case FSM_CMD_STOP:
        fsm_run_stop(fsm, command);
        break;
    case FSM_CMD_HALT:
        fsm_run_halt(fsm, command);
        break;
    default:
        ccci_err(FSM_TAG, "command %u not handled: queue flushed", command->id);
        fsm_complete_command(fsm, command, -1);
        fsm_flush(fsm);
        break;
    }
}

void fsm_main_thread(PVOID context)
{
    auto* fsm = static_cast<struct md_fsm*>(context);
    PKEVENT events[2] = {&fsm->command_wq, IpcGetTerminateThreadsEvent()};
    bool draining = false;
    LARGE_INTEGER first = {};
    for (;;) {
        if (IpcShouldTerminateThreads(NULL)) {
            LARGE_INTEGER now;
            KeQueryTickCount(&now);
            if (!draining) {
                draining = true;
                first = now;
            } else if ((now.QuadPart - first.QuadPart) * (LONGLONG)KeQueryTimeIncrement() >= kDrainTicks) {
                ccci_info(FSM_TAG, "state machine thread ends");
                return;
            }
            struct fsm_command* command = take_command(fsm);
            if (command != NULL)
                run_command(fsm, command);
            else
                msleep(1); // lets the ticks move on
            continue;
        }
        if (commands_empty(fsm)) {
            int index;
            if (win_wait_any_event(2, events, &index))
                continue;
            if (index == 0) {
                KeClearEvent(&fsm->command_wq);
            } else if (index == 1) {
                ccci_info(FSM_TAG, "state machine thread told to end");
                return;
            } else {
                ccci_err(FSM_TAG, "wait index %d", index);
            }
            continue;
        }
        struct fsm_command* command = take_command(fsm);
        if (command != NULL)
            run_command(fsm, command);
    }
}

void delete_lock(WDFSPINLOCK* lock)
{
    if (*lock != NULL)
        WdfObjectDelete(*lock);
    *lock = NULL;
}

void fsm_free(struct md_fsm* fsm)
{
    win_delete_timer(&fsm->poll_timer);
    win_delete_timer(&fsm->hs_timer);
    delete_lock(&fsm->event_lock);
    delete_lock(&fsm->command_lock);
    delete_lock(&fsm->complete_lock);
    delete_lock(&fsm->notifier_lock);
    win_free(fsm, FSM_POOL_TAG);
}

// Waits (bounded) for the thread to end: false when it did not.
bool join_thread(struct md_fsm* fsm)
{
    PVOID object = NULL;
    bool ended = true;
    if (NT_SUCCESS(ObReferenceObjectByHandle(fsm->thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, NULL))) {
        LARGE_INTEGER due;
        due.QuadPart = kJoinWait;
        ended = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &due) == STATUS_SUCCESS;
        ObDereferenceObject(object);
    }
    ZwClose(fsm->thread);
    fsm->thread = NULL;
    return ended;
}

} // namespace

void fsm_report(const char* text)
{
    IpcNetlinkIndicate(text, (int)strlen(text) + 1);
}

IPC_PCI_DEVICE* fsm_pci_device(void)
{
    struct mdm_pci_dev* dev = fsm_pcie_dev(ccci_md_get(0));
    return dev != NULL ? dev->pdev : NULL;
}

bool fsm_leaving_for_sleep(void)
{
    IPC_PCI_DEVICE* pdev = fsm_pci_device();
    return pdev != NULL && pdev->TargetPowerState >= 4 && !pdev->Idle;
}

bool fsm_sleep(u32 ms)
{
    if (IpcShouldTerminateThreads(NULL))
        return false;
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)ms * 10000;
    return KeWaitForSingleObject(IpcGetTerminateThreadsEvent(), Executive, KernelMode, FALSE, &due) ==
           STATUS_TIMEOUT;
}

void fsm_mark_stage(struct ccci_md* md, u32 n)
{
    plt_set_boot_status(md, (plt_get_boot_status(md) & 0xFFFF) | (n << 28));
}

void fsm_complete_command(struct md_fsm* fsm, struct fsm_command* command, int result)
{
    if (command == NULL)
        return;
    if ((command->flags & FSM_CMD_FLAG_WAIT) == 0) {
        win_free(command, FSM_POOL_TAG);
        return;
    }
    WdfSpinLockAcquire(fsm->complete_lock);
    command->result = result;
    KeSetEvent(&command->done, IO_NO_INCREMENT, FALSE);
    WdfSpinLockRelease(fsm->complete_lock);
}

void fsm_flush(struct md_fsm* fsm)
{
    for (struct fsm_command* command = take_command(fsm); command != NULL; command = take_command(fsm))
        fsm_complete_command(fsm, command, -1);
    WdfSpinLockAcquire(fsm->event_lock);
    while (!IsListEmpty(&fsm->events))
        win_free(CONTAINING_RECORD(RemoveHeadList(&fsm->events), struct fsm_event, entry), FSM_POOL_TAG);
    WdfSpinLockRelease(fsm->event_lock);
}

extern "C" {

int fsm_init(u32 md_id)
{
    if (md_id != 0)
        return -106;
    if (g_fsm[0] != NULL)
        return 0;
    auto* fsm = static_cast<struct md_fsm*>(win_zalloc(sizeof(struct md_fsm), 0, FSM_POOL_TAG));
    if (fsm == NULL)
        return -104;
    fsm->md_id = md_id;
    WriteRelease(&g_brom_stage, 0); // a ROM stage of a removed modem is over
    InitializeListHead(&fsm->commands);
    InitializeListHead(&fsm->events);
    InitializeListHead(&fsm->notifiers);
    KeInitializeEvent(&fsm->command_wq, NotificationEvent, FALSE);
    KeInitializeEvent(&fsm->event_wq, NotificationEvent, FALSE);
    KeInitializeEvent(&fsm->hs_wq, NotificationEvent, FALSE);
    KeInitializeEvent(&fsm->poll_wq, NotificationEvent, FALSE);
    if (!NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &fsm->event_lock)) ||
        !NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &fsm->command_lock)) ||
        !NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &fsm->complete_lock)) ||
        !NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &fsm->notifier_lock)) ||
        ee_init(&fsm->ee, md_id) != 0) {
        ccci_err(FSM_TAG, "state machine record not made");
        ee_free(&fsm->ee);
        fsm_free(fsm);
        return -104;
    }
    g_fsm[0] = fsm;
    int r = fsm_monitor_init(&fsm->monitor, md_id);
    if (r != 0)
        ccci_err(FSM_TAG, "monitor device: %d", r);
    NTSTATUS status = win_create_thread(&fsm->thread, fsm_main_thread, fsm);
    if (!NT_SUCCESS(status)) {
        ccci_err(FSM_TAG, "state machine thread not started: 0x%08X", (u32)status);
        fsm->thread = NULL;
    }
    return 0;
}

int fsm_reset(u32 md_id)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL) {
        ccci_err(FSM_TAG, "reset of modem %u without a record", md_id);
        return -22;
    }
    fsm_flush(fsm);
    fsm->last_state = 0;
    WriteRelease(&fsm->state, FSM_STATE_STOPPED);
    InterlockedExchange(&fsm->hs_abort, 0);
    InterlockedExchange(&fsm->hs_exception, 0);
    set_last_status(fsm, 0);
    ee_reset(&fsm->ee, md_id);
    fsm_monitor_reset(&fsm->monitor, md_id);
    return 0;
}

int fsm_uninit(u32 md_id)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL)
        return 0;
    if (fsm->thread != NULL) {
        poll_timer_stop(fsm);
        UCHAR terminate = 1;
        IpcShouldTerminateThreads(&terminate);
        KeSetEvent(&fsm->event_wq, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&fsm->command_wq, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&fsm->hs_wq, IO_NO_INCREMENT, FALSE);
        if (!join_thread(fsm)) {
            // Freeing under a routine still running would be worse than the leak.
            ccci_err(FSM_TAG, "state machine thread did not end: record kept");
            g_fsm[0] = NULL;
            return 0;
        }
    }
    g_fsm[0] = NULL;
    fsm_monitor_exit(&fsm->monitor);
    ee_free(&fsm->ee);
    fsm_flush(fsm);
    fsm_free(fsm);
    return 0;
}

struct md_fsm* fsm_find(u32 md_id)
{
    return md_id == 0 ? g_fsm[0] : NULL;
}

struct md_fsm* fsm_find_by_minor(u32 minor)
{
    struct md_fsm* fsm = g_fsm[0];
    return fsm != NULL && fsm->monitor.minor == minor ? fsm : NULL;
}

u32 fsm_get_state(u32 md_id)
{
    struct md_fsm* fsm = fsm_find(md_id);
    return fsm != NULL ? get_state(fsm) : FSM_STATE_STOPPED;
}

u32 ccci_fsm_get_md_state(u32 md_id)
{
    struct md_fsm* fsm = fsm_find(md_id);
    return fsm != NULL ? (u32)ReadAcquire(&fsm->md_state) : MD_STATE_INIT;
}

u32 fsm_get_public_state(u32 md_id)
{
    u32 state = ccci_fsm_get_md_state(md_id);
    switch (state) {
    case MD_STATE_INIT:
    case MD_STATE_STOPPING:
        return 0;
    case MD_STATE_BOOT_HS:
    case MD_STATE_CORE_HS:
    case 6:
        return 1;
    case MD_STATE_READY:
        return 2;
    case MD_STATE_EXCEPTION:
        return 3;
    default:
        ccci_warn(FSM_TAG, "modem state %u has no public form", state);
        return 0;
    }
}

u32 fsm_get_dump_ready(u32 md_id)
{
    struct md_fsm* fsm = fsm_find(md_id);
    return fsm != NULL ? fsm->dump_ready : 0;
}

int fsm_queue_command(struct md_fsm* fsm, u32 id, u32 flags)
{
    if (id < 1 || id > 8) {
        ccci_err(FSM_TAG, "command %u refused", id);
        return -106;
    }
    if (fsm == NULL)
        return -106;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
        flags &= ~FSM_CMD_FLAG_WAIT;
    auto* command = static_cast<struct fsm_command*>(win_zalloc(sizeof(struct fsm_command), 0, FSM_POOL_TAG));
    if (command == NULL)
        return -104;
    command->id = id;
    command->flags = flags;
    KeInitializeEvent(&command->done, NotificationEvent, FALSE);
    WdfSpinLockAcquire(fsm->command_lock);
    InsertTailList(&fsm->commands, &command->entry);
    WdfSpinLockRelease(fsm->command_lock);
    KeSetEvent(&fsm->command_wq, IO_NO_INCREMENT, FALSE);
    if ((flags & FSM_CMD_FLAG_WAIT) == 0)
        return 0;
    KeWaitForSingleObject(&command->done, Executive, KernelMode, FALSE, NULL);
    WdfSpinLockAcquire(fsm->complete_lock);
    s32 result = command->result;
    WdfSpinLockRelease(fsm->complete_lock);
    win_free(command, FSM_POOL_TAG);
    return result == 1 ? 0 : -1;
}

int fsm_post_event(struct md_fsm* fsm, u32 id, const void* data, u32 length)
{
    if (id < 1 || id > 7 || fsm == NULL)
        return -106;
    if (data == NULL)
        length = 0;
    auto* event = static_cast<struct fsm_event*>(win_alloc(sizeof(struct fsm_event) + length, 0, FSM_POOL_TAG));
    if (event == NULL)
        return -104;
    event->id = id;
    event->length = length;
    if (length != 0)
        memcpy(event->data, data, length);
    WdfSpinLockAcquire(fsm->event_lock);
    InsertTailList(&fsm->events, &event->entry);
    InterlockedIncrement(&g_event_seq);
    KeSetEvent(&fsm->event_wq, IO_NO_INCREMENT, FALSE);
    WdfSpinLockRelease(fsm->event_lock);
    return 0;
}

void fsm_drop_events(struct md_fsm* fsm, u32 id)
{
    if (fsm == NULL)
        return;
    WdfSpinLockAcquire(fsm->event_lock);
    PLIST_ENTRY entry = fsm->events.Flink;
    while (entry != &fsm->events) {
        PLIST_ENTRY next = entry->Flink;
        struct fsm_event* event = CONTAINING_RECORD(entry, struct fsm_event, entry);
        if (event->id == id) {
            RemoveEntryList(entry);
            win_free(event, FSM_POOL_TAG);
        }
        entry = next;
    }
    WdfSpinLockRelease(fsm->event_lock);
}

struct fsm_event* fsm_take_event(struct md_fsm* fsm, u32 ids)
{
    if (fsm == NULL)
        return NULL;
    struct fsm_event* found = NULL;
    WdfSpinLockAcquire(fsm->event_lock);
    tl_event_seq = ReadAcquire(&g_event_seq);
    for (PLIST_ENTRY entry = fsm->events.Flink; entry != &fsm->events; entry = entry->Flink) {
        struct fsm_event* event = CONTAINING_RECORD(entry, struct fsm_event, entry);
        if (event->id < 32 && (ids & FSM_EVENT_BIT(event->id)) != 0) {
            RemoveEntryList(entry);
            found = event;
            break;
        }
    }
    WdfSpinLockRelease(fsm->event_lock);
    return found;
}

void fsm_free_event(struct fsm_event* event)
{
    if (event != NULL)
        win_free(event, FSM_POOL_TAG);
}

bool fsm_wait_event(struct md_fsm* fsm, u32 timeout_ms)
{
    if (fsm == NULL || IpcShouldTerminateThreads(NULL))
        return false;
    // A post since the caller's last look returns at once; otherwise the event is cleared under the
    // lock the posts hold, so no post between this check and the wait can be lost.
    WdfSpinLockAcquire(fsm->event_lock);
    bool posted = ReadAcquire(&g_event_seq) != tl_event_seq;
    if (!posted)
        KeClearEvent(&fsm->event_wq);
    WdfSpinLockRelease(fsm->event_lock);
    if (posted)
        return true;
    PVOID objects[2] = {&fsm->event_wq, IpcGetTerminateThreadsEvent()};
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)timeout_ms * 10000;
    KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &due, NULL);
    return !IpcShouldTerminateThreads(NULL);
}

void fsm_set_md_state(struct md_fsm* fsm, u32 state)
{
    if (fsm == NULL)
        return;
    u32 current = (u32)ReadAcquire(&fsm->md_state);
    if (state == MD_STATE_READY && current != MD_STATE_CORE_HS) {
        ccci_err(FSM_TAG, "modem state %u -> %u refused", current, state);
        return;
    }
    WriteRelease(&fsm->md_state, (LONG)state);
    if (!(fsm->resume_boot == 1 && state == MD_STATE_READY))
        ccci_port_md_state_notify(fsm->md_id, state);
    fsm_notify_state(fsm->md_id, state);
}

int fsm_register_notifier(u32 md_id, struct fsm_notifier* notifier)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL || notifier == NULL)
        return -22;
    WdfSpinLockAcquire(fsm->notifier_lock);
    InsertTailList(&fsm->notifiers, &notifier->entry);
    WdfSpinLockRelease(fsm->notifier_lock);
    return 0;
}

int fsm_unregister_notifier(u32 md_id, struct fsm_notifier* notifier)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL || notifier == NULL)
        return -22;
    WdfSpinLockAcquire(fsm->notifier_lock);
    RemoveEntryList(&notifier->entry);
    WdfSpinLockRelease(fsm->notifier_lock);
    // A walk may stand on the node: its owner may free it only after the walks under way have moved on.
    if (tl_notify_depth == 0 && KeGetCurrentIrql() < DISPATCH_LEVEL) {
        while (ReadAcquire(&fsm->notify_walks) != 0)
            msleep(1);
    }
    return 0;
}

int fsm_on_hif_event(u32 md_id, u32 kind)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL)
        return -106;
    if (kind == FSM_HIF_START) {
        fsm_queue_command(fsm, FSM_CMD_START, 0);
    } else if (kind == FSM_HIF_EXCEPTION) {
        fsm_hs_set_exception(fsm);
        ee_stage(&fsm->ee, 0);
        fsm_queue_command(fsm, FSM_CMD_EXCEPTION, (u32)FSM_EE_MODEM << 16);
    } else {
        ccci_warn(FSM_TAG, "modem event kind %u", kind);
    }
    return 0;
}

void fsm_hs_abort(struct md_fsm* fsm)
{
    InterlockedExchange(&fsm->hs_abort, 1);
    KeSetEvent(&fsm->hs_wq, IO_NO_INCREMENT, FALSE);
}

bool fsm_hs_aborted(struct md_fsm* fsm)
{
    return InterlockedCompareExchange(&fsm->hs_abort, 0, 0) != 0;
}

void fsm_hs_set_exception(struct md_fsm* fsm)
{
    InterlockedExchange(&fsm->hs_exception, 1);
    KeSetEvent(&fsm->hs_wq, IO_NO_INCREMENT, FALSE);
}

bool fsm_hs_exception(struct md_fsm* fsm)
{
    return InterlockedCompareExchange(&fsm->hs_exception, 0, 0) != 0;
}

void fsm_hs_wake(struct md_fsm* fsm)
{
    KeSetEvent(&fsm->hs_wq, IO_NO_INCREMENT, FALSE);
}

int fsm_on_ctrl_msg(u32 md_id, u32 msg_id, struct sk_buff* skb)
{
    if (skb == NULL) {
        ccci_err(FSM_TAG, "control message %u without a buffer", msg_id);
        return 0;
    }
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL) {
        // The caller counts the buffer as consumed whatever the result.
        bm_free_skb(skb, FSM_POOL_TAG);
        return -106;
    }
    switch (msg_id) {
    case 4:
    case 5:
    case 6:
    case 8:
        if (skb->len >= CCCI_HEADER_SIZE)
            ee_handle_msg(&fsm->ee, skb->data + CCCI_HEADER_SIZE, skb->len - CCCI_HEADER_SIZE);
        else
            ccci_err(FSM_TAG, "%u-byte control message %u dropped", skb->len, msg_id);
        break;
    default:
        ccci_warn(FSM_TAG, "control message %u ignored", msg_id);
        break;
    }
    bm_free_skb(skb, FSM_POOL_TAG);
    return 0;
}

int fsm_on_poll_reply(u32 md_id, struct sk_buff* skb)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm != NULL) {
        WriteRelease(&fsm->poll_status, 2);
        KeSetEvent(&fsm->poll_wq, IO_NO_INCREMENT, FALSE);
    }
    if (skb != NULL)
        bm_free_skb(skb, CCCI_PORT_TAG);
    return fsm != NULL ? 0 : -106;
}

void md_cold_boot(u32 md_id)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL) {
        ccci_err(FSM_TAG, "cold boot of modem %u without a record", md_id);
        return;
    }
    struct ccci_md* md = ccci_md_get(md_id);
    if (plt_get_boot_status(md) == 0xFFFFFFFFu) {
        ccci_err(FSM_TAG, "cold boot: boot status unreadable");
        struct mdm_pci_dev* dev = fsm_pcie_dev(md);
        if (dev != NULL)
            mdm_pci_dump_regs(dev);
        return;
    }
    ccci_port_proxy_create(md_id, CCCI_TABLE_BOOT);
    fsm_report("MDM_COLD_BOOT_STARTED");
    fsm_report("MDM_NOT_READY");
    fsm_queue_command(fsm, FSM_CMD_START, 0);
}

int md_pm_state_callback(u32 kind, struct mdm_pci_dev* dev)
{
    if (dev == NULL) {
        ccci_err(FSM_TAG, "power notification without a device");
        return (int)0xFFFFFFEA;
    }
    struct md_fsm* fsm = fsm_find(0);
    if (kind == 0)
        return fsm_queue_command(fsm, FSM_CMD_HALT, FSM_CMD_FLAG_WAIT) == 0 ? 0 : -1;
    if (kind == 1) {
        mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, true);
        mdm_pcie_irq_ack(dev, MDM_IRQ_SRC_RGU);
        InterlockedExchange(&dev->d3_done, 1); // the reset interrupt is armed again
        mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, false);
        if (fsm == NULL)
            return -1;
        fsm->resume_boot = 1;
        fsm_queue_command(fsm, FSM_CMD_START, 0);
        return 0;
    }
    ccci_warn(FSM_TAG, "power notification kind %u", kind);
    return 0;
}

bool ccci_fsm_brom_stage(struct ccci_md*)
{
    return ReadAcquire(&g_brom_stage) != 0;
}

} // extern "C"

int fsm_notify_state(u32 md_id, u32 state)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL || state >= 9)
        return -22;
    InterlockedIncrement(&fsm->notify_walks);
    tl_notify_depth++;
    WdfSpinLockAcquire(fsm->notifier_lock);
    for (PLIST_ENTRY entry = fsm->notifiers.Flink; entry != &fsm->notifiers;) {
        struct fsm_notifier* notifier = CONTAINING_RECORD(entry, struct fsm_notifier, entry);
        WdfSpinLockRelease(fsm->notifier_lock);
        notifier->callback(state, notifier->data);
        WdfSpinLockAcquire(fsm->notifier_lock);
        entry = entry->Flink;
    }
    WdfSpinLockRelease(fsm->notifier_lock);
    tl_notify_depth--;
    InterlockedDecrement(&fsm->notify_walks);
    return 0;
}
