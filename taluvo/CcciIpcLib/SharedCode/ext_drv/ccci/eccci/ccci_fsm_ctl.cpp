// The state machine's control entry and its monitor device "ccci_monitor", on which 16-byte state
// messages queue up for a reader.
#include "ccci_fsm_priv.h"

#include <stdio.h>
#include <string.h>

#include "SioPort.h"
#include "ccci_core.h"
#include "ccci_md.h"
#include "ccci_port.h"
#include "port_kinds.h"

namespace
{

const int kFault = -14;
const int kBusy = -16;
const int kInvalid = -22;
const int kNoTty = -25;
const int kInterrupted = -4;
const int kNoAccess = -13;
const u32 kDefaultFeature = 4;

int put_u32(ULONG_PTR argument, u32 value)
{
    return copy_to_user(reinterpret_cast<void*>(argument), sizeof(value), &value, sizeof(value)) != 0 ? kFault : 0;
}

int get_u32(ULONG_PTR argument, u32* value)
{
    return copy_from_user(value, reinterpret_cast<const void*>(argument), sizeof(*value)) != 0 ? kFault : 0;
}

struct fsm_monitor* file_monitor(struct sio_file* file)
{
    return file != NULL ? static_cast<struct fsm_monitor*>(file->private_data) : NULL;
}

void monitor_drain(struct fsm_monitor* monitor)
{
    for (struct sk_buff* skb = bm_queue_pop(&monitor->queue); skb != NULL; skb = bm_queue_pop(&monitor->queue))
        bm_free_skb(skb, FSM_POOL_TAG);
}

int monitor_open(struct sio_device** inode, struct sio_file* file)
{
    struct md_fsm* fsm = NULL;
    if (inode != NULL && *inode != NULL)
        fsm = fsm_find_by_minor((*inode)->devt & 0xFFFFu);
    if (fsm == NULL || file == NULL)
        return kInvalid;
    if (InterlockedCompareExchange(&fsm->monitor.open_count, 1, 0) != 0)
        return kBusy;
    file->private_data = &fsm->monitor;
    return 0;
}

int monitor_release(struct sio_device**, struct sio_file* file)
{
    struct fsm_monitor* monitor = file_monitor(file);
    if (monitor == NULL)
        return 0;
    InterlockedDecrement(&monitor->open_count);
    monitor_drain(monitor);
    return 0;
}

// Waits for a message; false when the device goes away meanwhile.
bool monitor_wait(struct fsm_monitor* monitor)
{
    while (!ReadAcquire(&monitor->closing)) {
        KeClearEvent(&monitor->wq);
        if (!skb_queue_empty(&monitor->queue.list))
            return true;
        if (ReadAcquire(&monitor->closing) ||
            KeWaitForSingleObject(&monitor->wq, Executive, KernelMode, FALSE, NULL) != STATUS_SUCCESS)
            return false;
        if (!skb_queue_empty(&monitor->queue.list))
            return true;
    }
    return false;
}

SSIZE_T monitor_read(struct sio_file* file, u8* buffer, size_t length)
{
    struct fsm_monitor* monitor = file_monitor(file);
    if (monitor == NULL)
        return kInvalid;
    InterlockedIncrement(&monitor->readers);
    SSIZE_T r;
    if (skb_queue_empty(&monitor->queue.list) && !monitor_wait(monitor)) {
        r = kInterrupted;
    } else {
        struct sk_buff* skb = bm_queue_pop(&monitor->queue);
        if (skb == NULL) {
            r = 0;
        } else {
            r = kFault;
            if (length >= skb->len && copy_to_user(buffer, length, skb->data, skb->len) == 0)
                r = (SSIZE_T)skb->len;
            bm_free_skb(skb, FSM_POOL_TAG);
        }
    }
    InterlockedDecrement(&monitor->readers);
    return r;
}

SSIZE_T monitor_write(struct sio_file*, const u8*, size_t)
{
    return kNoAccess;
}

int monitor_ioctl(struct sio_file* file, u32 code, ULONG_PTR argument)
{
    struct fsm_monitor* monitor = file_monitor(file);
    return ccci_fsm_ioctl(monitor != NULL ? monitor->md_id : 0, code, argument);
}

int runtime_feature_value(u32 md_id, u32* value)
{
    *value = kDefaultFeature;
    struct md_runtime_entry* entry = md_runtime_feature(md_id, 0, false);
    if (entry != NULL) {
        u32 found;
        if (md_runtime_feature_copy(md_id, entry, &found, sizeof(found)) == 0)
            *value = found;
    }
    return 0;
}

} // namespace

const struct ccci_char_fops fsm_monitor_fops = {
    NULL, monitor_open, monitor_release, monitor_read, monitor_write, NULL, monitor_ioctl,
};

int fsm_monitor_init(struct fsm_monitor* monitor, u32 md_id)
{
    monitor->md_id = md_id;
    monitor->open_count = 0;
    monitor->closing = 0;
    bm_queue_init(&monitor->queue, FSM_MONITOR_MSG_SIZE, FSM_MONITOR_CAPACITY, false, FSM_POOL_TAG);
    KeInitializeEvent(&monitor->wq, NotificationEvent, FALSE);
    auto* sio = static_cast<struct sio_device*>(win_zalloc(sizeof(struct sio_device), 0, FSM_POOL_TAG));
    if (sio == NULL)
        return -12;
    sio->fops = &fsm_monitor_fops;
    sio->inode = sio;
    monitor->sio = sio;
    char name[16];
    snprintf(name, sizeof(name), "ccci_fsm%u", md_id);
    s32 devt = 0;
    int r = alloc_chrdev_region(&devt, FSM_MONITOR_MINOR, 1, name);
    if (r != 0) {
        ccci_err(FSM_TAG, "monitor region: %d", r);
        return r;
    }
    monitor->major = (u16)((u32)devt >> 16);
    monitor->minor = (u16)((u32)devt & 0xFFFFu);
    sio->devt = (u32)devt;
    r = sio_add(sio, sio->devt, 1);
    if (r != 0)
        ccci_err(FSM_TAG, "monitor SIO registration: %d", r);
    int created = ccci_device_create("ccci_monitor", monitor->major, monitor->minor, FSM_POOL_TAG);
    if (created != 0)
        ccci_err(FSM_TAG, "monitor device node: %d", created);
    return r != 0 ? r : created;
}

void fsm_monitor_reset(struct fsm_monitor* monitor, u32 md_id)
{
    monitor->md_id = md_id;
    WriteRelease(&monitor->open_count, 0);
}

void fsm_monitor_exit(struct fsm_monitor* monitor)
{
    // A blocked reader is woken and leaves before the record goes.
    WriteRelease(&monitor->closing, 1);
    KeSetEvent(&monitor->wq, IO_NO_INCREMENT, FALSE);
    while (ReadAcquire(&monitor->readers) != 0)
        msleep(1);
    if (monitor->sio != NULL) {
        ccci_device_destroy(monitor->major, monitor->minor, FSM_POOL_TAG);
        sio_delete(monitor->sio);
        win_free(monitor->sio, FSM_POOL_TAG);
        monitor->sio = NULL;
    }
    monitor_drain(monitor);
    skb_queue_head_release(&monitor->queue.list);
}

extern "C" int fsm_monitor_send(u32 md_id, u32 value, u32 extra)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL)
        return -106;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
        return -101;
    struct sk_buff* skb = bm_alloc_skb(FSM_MONITOR_MSG_SIZE, true, true, FSM_POOL_TAG);
    if (skb == NULL)
        return -12;
    const u32 words[4] = {CCCI_MSG_MARK, value, 0xF0000000u, extra};
    memcpy(skb_put(skb, sizeof(words)), words, sizeof(words));
    bm_queue_push(&fsm->monitor.queue, skb, FSM_POOL_TAG);
    KeSetEvent(&fsm->monitor.wq, IO_NO_INCREMENT, FALSE);
    return 0;
}

extern "C" int ccci_fsm_ioctl(u32 md_id, u32 code, ULONG_PTR argument)
{
    struct md_fsm* fsm = fsm_find(md_id);
    if (fsm == NULL)
        return kInvalid;
    struct md_info* info = ccci_md_get_info(md_id);
    u32 value = 0;
    switch (code) {
    case 0x20004300:
        return fsm_monitor_send(md_id, 0xFAF50005u, 0);
    case 0x20004304:
    case 0x4004431E:
        return 0;
    case 0x2000430A:
        return fsm_monitor_send(md_id, 0xFAF50001u, 0);
    case 0x2000430B:
        return fsm_monitor_send(md_id, 0xFAF50003u, 0);
    case 0x2000430C:
        if (get_u32(argument, &value) != 0)
            return kFault;
        return fsm_queue_command(fsm, FSM_CMD_STOP, value != 0 ? 3u : 1u);
    case 0x2000430D:
        return fsm_queue_command(fsm, FSM_CMD_HANDSHAKE, FSM_CMD_FLAG_WAIT);
    case 0x2000430E:
    case 0x2000437B:
        return fsm_monitor_send(md_id, 0xFAF50002u, 0);
    case 0x2000430F:
    case 0x2000437C:
        return fsm_monitor_send(md_id, 0xFAF50004u, 0);
    case 0x20004338:
        WriteRelease(&fsm->ee.log_dump_done, 1);
        return 0;
    case 0x40044301:
        return put_u32(argument, fsm_get_public_state(md_id));
    case 0x40044309:
        return put_u32(argument, fsm->ee.readback);
    case 0x40044308:
        return info != NULL ? put_u32(argument, info->readback_first) : kFault;
    case 0x40044321:
        return info != NULL ? put_u32(argument, info->readback_second) : kFault;
    case 0x40044322:
        if (info == NULL)
            return kFault;
        return copy_to_user(reinterpret_cast<void*>(argument), sizeof(info->version), info->version,
                            sizeof(info->version)) != 0
                   ? kFault
                   : 0;
    case 0x4004433C:
        runtime_feature_value(md_id, &value);
        return put_u32(argument, value);
    case 0x4010432A: {
        static const char kDhl[4] = {'D', 'H', 'L', 0};
        return copy_to_user(reinterpret_cast<void*>(argument), sizeof(kDhl), kDhl, sizeof(kDhl)) != 0 ? kFault
                                                                                                       : 0;
    }
    case 0x8004433A:
        if (get_u32(argument, &value) != 0)
            return kFault;
        if (info != NULL)
            info->user_value = value;
        return 0;
    case 0x80044377:
        if (get_u32(argument, &value) != 0)
            ccci_warn(FSM_TAG, "control 0x%08X: no value", code);
        return 0;
    default:
        ccci_warn(FSM_TAG, "control code 0x%08X unknown", code);
        return kNoTty;
    }
}
