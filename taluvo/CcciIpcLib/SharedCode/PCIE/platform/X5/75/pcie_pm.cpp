// Power management: the resource (sleep) lock, the idle and system suspend, the kinds of resume and
// the power entities run inside them.
#include "pcie_pm.h"

#include <initializer_list>

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "IpcPcie.h"
#include "ccci_fsm.h"
#include "ccci_core.h"
#include "mhccif.h"
#include "pcie_mac.h"

#define PM_TAG "PM"

namespace
{

constexpr u32 kGrantPollStepUs = 100;
constexpr u32 kGrantPollLimitUs = 10000;
constexpr LONGLONG kHandshakeWait = -1500LL * 10000;  // 1500 ms, relative
constexpr LONGLONG kLockGrantWait = -1500LL * 10000;  // a lock holder's wait for the grant
constexpr LONGLONG kUnlockDelay = -100LL * 10000;     // 100 ms
constexpr LONGLONG kLongPassed = 100000000000LL;      // an absolute due time that has passed
constexpr u32 kPmRequest = 0x2;                        // MAC 0xE50/0xE54 bit of the host's request

void notify(struct mdm_pci_dev* dev, int resumed)
{
    if (dev->pm_notify != nullptr)
        dev->pm_notify(resumed, dev->pm_notify_arg);
    else
        ccci_warn(PM_TAG, "no pm notify registered (%d)", resumed);
}

struct mdm_pci_pm_entity* entity_of(PLIST_ENTRY link)
{
    return CONTAINING_RECORD(link, struct mdm_pci_pm_entity, link);
}

struct mdm_pci_pm_entity* find_entity(struct mdm_pci_dev* dev, u32 key)
{
    for (PLIST_ENTRY at = dev->pm_entities.Flink; at != &dev->pm_entities; at = at->Flink)
        if (entity_of(at)->key == key)
            return entity_of(at);
    return nullptr;
}

using EntityStep = int (*mdm_pci_pm_entity::*)(struct mdm_pci_dev*, void*);

// Runs `step` of each entity in list order, up to (not including) `stop`; with `stop_on_error` the
// walk ends at the first failure, which `failed` names. Returns the last failure, or 0.
int run_entities(struct mdm_pci_dev* dev, EntityStep step, bool stop_on_error,
                 struct mdm_pci_pm_entity* stop = nullptr, struct mdm_pci_pm_entity** failed = nullptr)
{
    int result = 0;
    WdfWaitLockAcquire(dev->pm_list_lock, nullptr);
    for (PLIST_ENTRY at = dev->pm_entities.Flink; at != &dev->pm_entities; at = at->Flink) {
        struct mdm_pci_pm_entity* entity = entity_of(at);
        if (entity == stop)
            break;
        if (entity->*step == nullptr)
            continue;
        const int ret = (entity->*step)(dev, entity->data);
        if (ret == 0)
            continue;
        ccci_err(PM_TAG, "entity %u failed %d", entity->key, ret);
        result = ret;
        if (stop_on_error) {
            if (failed != nullptr)
                *failed = entity;
            break;
        }
    }
    WdfWaitLockRelease(dev->pm_list_lock);
    return result;
}

// Tells the modem of a suspend or resume: the message, two doorbells, and the two acknowledgements.
void handshake(struct mdm_pci_dev* dev, u32 code, u32 first, u32 second, PKEVENT ack1, PKEVENT ack2)
{
    const u32 seq = static_cast<u32>(InterlockedIncrement(&dev->pm_msg_seq)) & 0xFFFF;
    mhccif_write_pm_message(dev, (code << 16) | seq);
    mhccif_send_doorbell(dev, first);
    mhccif_send_doorbell(dev, second);
    if (win_wait_once(ack1, kHandshakeWait) != 0)
        ccci_err(PM_TAG, "message 0x%x: first ack timed out", code);
    if (win_wait_once(ack2, kHandshakeWait) != 0)
        ccci_err(PM_TAG, "message 0x%x: second ack timed out", code);
}

bool granted(struct mdm_pci_dev* dev)
{
    return (mac_read(dev->mac, MAC_RES_GRANT) & MAC_RES_GRANTED) == MAC_RES_GRANTED;
}

bool sleep_active(struct mdm_pci_dev* dev)
{
    return ReadNoFence(&dev->sleep_enable) > 0 && ReadNoFence(&dev->lock_allowed) != 0;
}

void resume_done(struct mdm_pci_dev* dev)
{
    WriteNoFence(&dev->d3_done, 1);
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, false);
}

void stop_timer(WDFTIMER timer)
{
    if (timer != nullptr)
        WdfTimerStop(timer, KeGetCurrentIrql() == PASSIVE_LEVEL);
}

} // namespace

EVT_WDF_TIMER mdm_pci_resume_state_timer;
EVT_WDF_TIMER mdm_pci_unlock_timer;

void mdm_pci_resume_state_timer(WDFTIMER Timer)
{
    auto* dev = static_cast<struct mdm_pci_dev*>(WdfObjectGet_WWAN_OBJ_CONTEXT(Timer)->data);
    ccci_info(PM_TAG, "resume state %u", mdm_dev_pci_check_resume_reg_state(dev));
}

void mdm_pci_unlock_timer(WDFTIMER Timer)
{
    auto* dev = static_cast<struct mdm_pci_dev*>(WdfObjectGet_WWAN_OBJ_CONTEXT(Timer)->data);
    WdfSpinLockAcquire(dev->pm_lock);
    if (ReadNoFence(&dev->res_lock_count) == 0)
        __mdm_dev_pci_resource_unlock(dev);
    WdfSpinLockRelease(dev->pm_lock);
}

int mdm_pci_pm_init(struct mdm_pci_dev* dev)
{
    InitializeListHead(&dev->pm_entities);
    dev->res_lock_requests = 0;
    if (!NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &dev->pm_lock)) ||
        !NT_SUCCESS(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &dev->pm_list_lock)))
        ccci_err(PM_TAG, "locks not created");
    for (PKEVENT event : {&dev->ev_res_grant, &dev->ev_suspend_ack1, &dev->ev_resume_ack1, &dev->ev_suspend_ack2,
                          &dev->ev_resume_ack2, &dev->ev_removal})
        KeInitializeEvent(event, NotificationEvent, FALSE);
    win_create_timer_ctx(&dev->resume_timer, mdm_pci_resume_state_timer, false, dev);
    win_create_timer_ctx(&dev->unlock_timer, mdm_pci_unlock_timer, false, dev);
    dev->res_lock_count = 0;
    dev->sleep_enable = 0;
    dev->lock_allowed = 1;
    ccci_info(PM_TAG, "init");
    dev->pm_msg_seq = 0;
    mac_write(dev->mac, MAC_PM_SET, kPmRequest);
    (void)mdm_pci_wait_resource_grant(dev);
    return 0;
}

int mdm_pci_pm_init_late(struct mdm_pci_dev* dev)
{
    mhccif_mask_clear(dev, D2H_PM_BITS);
    mac_write(dev->mac, MAC_PM_CLEAR, kPmRequest);
    InterlockedIncrement(&dev->sleep_enable);
    ccci_info(PM_TAG, "sleep enabled %d", dev->sleep_enable);
    return 0;
}

int mdm_pci_disable_sleep(struct mdm_pci_dev* dev)
{
    mac_write(dev->mac, MAC_PM_SET, kPmRequest);
    const int ret = mdm_pci_wait_resource_grant(dev);
    InterlockedDecrement(&dev->sleep_enable);
    return ret;
}

int mdm_pci_pm_deinit(struct mdm_pci_dev* dev)
{
    // The timers hold the record in their context: they go with it.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        win_delete_timer(&dev->resume_timer);
        win_delete_timer(&dev->unlock_timer);
    } else {
        stop_timer(dev->resume_timer);
        stop_timer(dev->unlock_timer);
    }
    return 0;
}

int mdm_pci_wait_resource_grant(struct mdm_pci_dev* dev)
{
    u32 spent = 0;
    u32 value = 0;
    while (spent < kGrantPollLimitUs) {
        udelay(kGrantPollStepUs);
        spent += kGrantPollStepUs;
        value = mac_read(dev->mac, MAC_RES_GRANT);
        if ((value & MAC_RES_GRANTED) == MAC_RES_GRANTED) {
            ccci_dbg(PM_TAG, "granted after %u us", spent);
            return 0;
        }
    }
    ccci_err(PM_TAG, "grant not seen in %u us (0x%x)", kGrantPollLimitUs, value);
    return -138;
}

int mdm_pci_pm_entity_register(struct mdm_pci_dev* dev, struct mdm_pci_pm_entity* entity)
{
    int ret = 0;
    WdfWaitLockAcquire(dev->pm_list_lock, nullptr);
    if (find_entity(dev, entity->key) != nullptr) {
        ccci_err(PM_TAG, "entity key %u registered already", entity->key);
        ret = -114;
    } else {
        InsertTailList(&dev->pm_entities, &entity->link);
    }
    WdfWaitLockRelease(dev->pm_list_lock);
    return ret;
}

int mdm_pci_pm_entity_unregister(struct mdm_pci_dev* dev, struct mdm_pci_pm_entity* entity)
{
    int ret = 0;
    WdfWaitLockAcquire(dev->pm_list_lock, nullptr);
    // Only the registered record itself is unlinked: another record with the same key stays.
    if (find_entity(dev, entity->key) != entity) {
        ccci_err(PM_TAG, "entity key %u not registered", entity->key);
        ret = -114;
    } else {
        RemoveEntryList(&entity->link);
    }
    WdfWaitLockRelease(dev->pm_list_lock);
    return ret;
}

int __mdm_dev_pci_resource_lock(struct mdm_pci_dev* dev, u32 user)
{
    if ((dev->sleep_caps & 1) == 0)
        return 0;
    ccci_dbg(PM_TAG, "lock user %u count %d", user, ReadNoFence(&dev->res_lock_count));
    if (!sleep_active(dev)) {
        InterlockedIncrement(&dev->res_lock_count);
        KeSetEvent(&dev->ev_res_grant, 0, FALSE);
        return 0;
    }
    WdfSpinLockAcquire(dev->pm_lock);
    if (InterlockedIncrement(&dev->res_lock_count) != 1) {
        // Held already: the caller waits only while the first holder's grant is still on its way.
        const int wait = KeReadStateEvent(&dev->ev_res_grant) ? 0 : 1;
        WdfSpinLockRelease(dev->pm_lock);
        return wait;
    }
    KeClearEvent(&dev->ev_res_grant);
    mac_write(dev->mac, MAC_RES_LOCK, mac_read(dev->mac, MAC_RES_LOCK) | MAC_RES_LOCK_REQUEST);
    if (granted(dev)) {
        WdfSpinLockRelease(dev->pm_lock);
        KeSetEvent(&dev->ev_res_grant, 0, FALSE);
        return 1;
    }
    mhccif_send_doorbell(dev, H2D_RESOURCE_REQUEST);
    const u32 requests = ++dev->res_lock_requests;
    WdfSpinLockRelease(dev->pm_lock);
    ccci_dbg(PM_TAG, "resource request %u", requests);
    return 1;
}

void mdm_dev_pci_resource_wait(struct mdm_pci_dev* dev, u32 user)
{
    ccci_dbg(PM_TAG, "wait user %u", user);
    if (dev->sleep_caps & 1)
        (void)win_wait_once(&dev->ev_res_grant, kLockGrantWait);
}

int mdm_dev_pci_resource_release(struct mdm_pci_dev* dev, u32 user)
{
    if ((dev->sleep_caps & 1) == 0)
        return 0;
    ccci_dbg(PM_TAG, "release user %u", user);
    if (sleep_active(dev)) {
        WdfSpinLockAcquire(dev->pm_lock);
        if (InterlockedDecrement(&dev->res_lock_count) == 0) {
            WdfTimerStop(dev->unlock_timer, FALSE);
            WdfTimerStart(dev->unlock_timer, kUnlockDelay);
        }
        WdfSpinLockRelease(dev->pm_lock);
        return 0;
    }
    if (InterlockedDecrement(&dev->res_lock_count) != 0)
        KeSetEvent(&dev->ev_res_grant, 0, FALSE);
    return 0;
}

void __mdm_dev_pci_resource_unlock(struct mdm_pci_dev* dev)
{
    mac_write(dev->mac, MAC_RES_LOCK, mac_read(dev->mac, MAC_RES_LOCK) & ~MAC_RES_LOCK_REQUEST);
}

u32 mdm_dev_pci_check_resume_reg_state(struct mdm_pci_dev* dev)
{
    return mac_read(dev->mac, MAC_RESUME_STATE);
}

int mdm_pci_pm_suspend(IPC_PCI_DEVICE* pdev)
{
    struct mdm_pci_dev* dev = pdev->MdmDevice;
    if (dev == nullptr || pdev->PowerState != IPC_PCI_POWER_D0) {
        ccci_info(PM_TAG, "suspend: not in D0");
        return 0;
    }
    const u32 link = mac_read(dev->mac, MAC_LINK_STATUS);
    ccci_info(PM_TAG, "link 0x%x", link & 0x30F0);
    if (pdev->TargetPowerState == IPC_PCI_POWER_D3_FINAL) {
        (void)mdm_pci_pm_suspend_idle(dev);
        return 0;
    }
    if (pdev->Idle)
        return mdm_pci_pm_suspend_idle(dev);
    return mdm_pci_pm_suspend_system(dev);
}

int mdm_pci_pm_suspend_idle(struct mdm_pci_dev* dev)
{
    if ((dev->sleep_caps & 1) == 0)
        return 0;
    if (ReadNoFence(&dev->sleep_enable) < 1) {
        ccci_info(PM_TAG, "idle suspend: sleep not enabled");
        return -14;
    }
    mac_write(dev->mac, MAC_PM_SET, kPmRequest);
    (void)mdm_pci_wait_resource_grant(dev);
    InterlockedDecrement(&dev->lock_allowed);
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, true);
    WriteNoFence(&dev->d3_done, 0);

    struct mdm_pci_pm_entity* failed = nullptr;
    int result = run_entities(dev, &mdm_pci_pm_entity::suspend, true, nullptr, &failed);
    if (result != 0) {
        (void)run_entities(dev, &mdm_pci_pm_entity::resume, false, failed);
    } else {
        KeClearEvent(&dev->ev_suspend_ack1);
        KeClearEvent(&dev->ev_suspend_ack2);
        if ((dev->md != nullptr && ccci_md_rgu_pending(dev->md)) || Mbb_IsResetInProgress())
            ccci_info(PM_TAG, "modem reset pending: no suspend handshake");
        else
            handshake(dev, PM_MSG_SUSPEND, H2D_SUSPEND1, H2D_SUSPEND2, &dev->ev_suspend_ack1, &dev->ev_suspend_ack2);
        result = run_entities(dev, &mdm_pci_pm_entity::suspend_late, true);
        WdfTimerStop(dev->unlock_timer, FALSE);
        WdfSpinLockAcquire(dev->pm_lock);
        if (ReadNoFence(&dev->res_lock_count) == 0)
            __mdm_dev_pci_resource_unlock(dev);
        WdfSpinLockRelease(dev->pm_lock);
    }
    mac_write(dev->mac, MAC_PM_CLEAR, kPmRequest);
    if (result != 0) {
        InterlockedIncrement(&dev->lock_allowed);
        mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, false);
    }
    ccci_info(PM_TAG, "idle suspend %d", result);
    return result;
}

int mdm_pci_pm_suspend_system(struct mdm_pci_dev* dev)
{
    notify(dev, 0);
    WdfTimerStop(dev->unlock_timer, FALSE);
    if (dev->pdev->IpcContext != nullptr)
        dev->pdev->IpcContext->ColdBootCompleted = IPC_COLD_BOOT_POWER_LOST;
    fsm_report("MDM_NOT_READY");
    return 0;
}

int mdm_pci_pm_resume(IPC_PCI_DEVICE* pdev)
{
    struct mdm_pci_dev* dev = pdev->MdmDevice;
    if (dev == nullptr) {
        ccci_err(PM_TAG, "resume: no device");
        return -1;
    }
    if (pdev->PreviousPowerState == IPC_PCI_POWER_D3_FINAL)
        return 0;
    if (pdev->Idle)
        return mdm_pci_pm_resume_idle(dev);
    return mdm_pci_pm_resume_cold(dev);
}

int mdm_pci_pm_resume_noirq(IPC_PCI_DEVICE* pdev)
{
    if (pdev->MdmDevice != nullptr)
        mdm_pcie_mac_irq_global(pdev->MdmDevice->mac, false);
    return 0;
}

int mdm_pci_pm_resume_idle(struct mdm_pci_dev* dev)
{
    if ((dev->sleep_caps & 1) == 0)
        return 0;
    int result = 0;
    if (ReadNoFence(&dev->sleep_enable) >= 1) {
        const u32 state = mdm_dev_pci_check_resume_reg_state(dev);
        ccci_info(PM_TAG, "resume state %u link 0x%x atr 0x%x", state, mac_read(dev->mac, MAC_LINK_STATUS),
                  mac_read(dev->mac, MAC_ATR));
        if (state == 4 || state == 5) {
            result = mdm_pci_pm_restore_hw(dev);
            if (result != 0)
                return result;
        }
        if (state == 3 || state == 5) {
            // Quick resume: the modem kept its context and never slept.
            InterlockedDecrement(&dev->sleep_enable);
            resume_done(dev);
            mhccif_mask_clear(dev, D2H_RESUME_UNMASK);
            mdm_pcie_mac_irq_global(dev->mac, true);
            InterlockedIncrement(&dev->lock_allowed);
            return 0;
        }
        if (state < 1 || state > 5) {
            // The modem lost its context.
            fsm_report("CRASH");
            fsm_report("WARM_RESET");
            notify(dev, 0);
            md_rgu_clear(dev);
            InterlockedDecrement(&dev->sleep_enable);
            stop_timer(dev->resume_timer);
            WdfTimerStart(dev->resume_timer, kLongPassed);
            InterlockedIncrement(&dev->lock_allowed);
            return 0;
        }
        // Full resume (states 1, 2 and 4).
        mdm_pcie_mac_irq_global(dev->mac, true);
        mac_write(dev->mac, MAC_PM_SET, kPmRequest);
        (void)mdm_pci_wait_resource_grant(dev);
        (void)run_entities(dev, &mdm_pci_pm_entity::resume_early, false);
        KeClearEvent(&dev->ev_resume_ack1);
        KeClearEvent(&dev->ev_resume_ack2);
        handshake(dev, PM_MSG_RESUME, H2D_RESUME1, H2D_RESUME2, &dev->ev_resume_ack1, &dev->ev_resume_ack2);
        result = run_entities(dev, &mdm_pci_pm_entity::resume, false);
        resume_done(dev);
    }
    mac_write(dev->mac, MAC_PM_CLEAR, kPmRequest);
    InterlockedIncrement(&dev->lock_allowed);
    ccci_info(PM_TAG, "idle resume %d", result);
    return result;
}

int mdm_pci_pm_resume_cold(struct mdm_pci_dev* dev)
{
    if ((dev->sleep_caps & 1) == 0)
        return 0;
    fsm_report("MDM_COLD_BOOT_STARTED");
    fsm_report("MDM_NOT_READY");
    ccci_info(PM_TAG, "cold resume: state %u link 0x%x atr 0x%x", mdm_dev_pci_check_resume_reg_state(dev),
              mac_read(dev->mac, MAC_LINK_STATUS), mac_read(dev->mac, MAC_ATR));
    mdm_pcie_mac_atr_init(dev->pdev);
    mdm_pci_irq_restore(dev);
    mhccif_init(dev);
    WriteNoFence(&dev->sleep_enable, 0);
    WriteNoFence(&dev->lock_allowed, 1);
    mac_write(dev->mac, MAC_PM_SET, kPmRequest);
    (void)mdm_pci_wait_resource_grant(dev);
    md_rgu_clear(dev);
    notify(dev, 1);
    mac_write(dev->mac, MAC_PM_CLEAR, kPmRequest);
    return 0;
}

int mdm_pci_pm_restore_hw(struct mdm_pci_dev* dev)
{
    mdm_pcie_mac_atr_init(dev->pdev);
    mdm_pci_irq_restore(dev);
    return 0;
}

void mdm_pci_irq_restore(struct mdm_pci_dev* dev)
{
    if (dev->irq_count > 1) {
        if (dev->msix_subset)
            mdm_pcie_mac_msix_vector_count_set(dev->mac, static_cast<u32>(dev->irq_count));
        mac_write(dev->mac, MAC_MSIX_MASK, 0xFF000000u);
        mdm_pcie_mac_irq_global(dev->mac, true);
        mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_MHCCIF, false);
        return;
    }
    mdm_pcie_mac_legacy_enable(dev->mac, false);
    mac_write(dev->mac, MAC_LEGACY_STATUS, 1u << (MDM_IRQ_SRC_MHCCIF + 24));
    // The no-irq step of the resume disabled the output: one interrupt needs it back, and the
    // doorbells their unmask.
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_MHCCIF, false);
    mdm_pcie_mac_irq_global(dev->mac, true);
}

void mdm_pci_dump_regs(struct mdm_pci_dev* dev)
{
    IPC_PCI_DEVICE* pdev = dev->pdev;
    USHORT vendor = 0;
    if (pdev->BusInterface.GetBusData != nullptr)
        pdev->BusInterface.GetBusData(pdev->BusInterface.Context, PCI_WHICHSPACE_CONFIG, &vendor, 0, sizeof(vendor));
    ccci_info(PM_TAG, "vendor 0x%x", vendor);
    for (u32 offset : {MAC_LINK_STATUS, MAC_DUMP_184, MAC_LEGACY_ENABLE, MAC_LEGACY_STATUS, MAC_DUMP_1D4, MAC_DUMP_180})
        ccci_info(PM_TAG, "mac 0x%x = 0x%x", offset, mac_read(dev->mac, offset));
    for (u32 offset : {0x08u, 0x10u, 0x20u, 0x24u, 0x28u})
        ccci_info(PM_TAG, "mhccif2 0x%x = 0x%x", offset, mac_read(dev->mhccif_base2, offset));
    for (u32 offset : {0x08u, 0x10u, 0x20u})
        ccci_info(PM_TAG, "mhccif 0x%x = 0x%x", offset, mac_read(dev->mhccif_base, offset));
}

void mdm_pci_dump_bar(struct mdm_pci_dev* dev, u32 index)
{
    if (index >= MDM_MAX_BARS || dev->bar_va[index] == nullptr)
        return;
    for (u64 at = 0; at + 16 <= dev->bar_len[index]; at += 16) {
        const u8* line = dev->bar_va[index] + at;
        ccci_dbg(PM_TAG, "%08llx: %08x %08x %08x %08x", at, mac_read(line, 0), mac_read(line, 4), mac_read(line, 8),
                 mac_read(line, 12));
    }
}
