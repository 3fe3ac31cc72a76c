#include "sys_mbox.h"

#include "memutil.h"
#include "os_util.h"
#include "ril_trace.h"

namespace {

bool Empty(const sys_mbox* mbox)
{
    return mbox->read_index == -1 || mbox->write_index == -1;
}

bool Full(const sys_mbox* mbox)
{
    return (mbox->read_index == 0 && mbox->write_index == SYS_MBOX_SIZE - 1) ||
           mbox->read_index == mbox->write_index + 1;
}

int Next(int index)
{
    return index == SYS_MBOX_SIZE - 1 ? 0 : index + 1;
}

int Previous(int index)
{
    return index == 0 ? SYS_MBOX_SIZE - 1 : index - 1;
}

enum class Place { Tail, Head };

// The posts: under the lock, refuse when full, else place the message and count it.
int Post(sys_mbox* mbox, tag_T_RIL_MSG* msg, const char* name, Place place, bool signal)
{
    if (mbox == nullptr || mbox->event == nullptr)
        return -2;
    if (Mbim_Mutex_lock(&mbox->lock) != 0) {
        RIL_TRACE(RIL_MASK_ERROR, "%s : %s--: Mutex lock -> failed", name, name);
        return 0;
    }
    if (sys_mbox_full(mbox)) {
        RIL_TRACE(RIL_MASK_FLOW, "%s : Mail Box --> Full", name);
        Mbim_Mutex_unlock(&mbox->lock);
        return 0;
    }
    int slot;
    if (Empty(mbox)) {
        mbox->read_index = mbox->write_index = slot = 0;
    } else if (place == Place::Tail) {
        slot = mbox->write_index = Next(mbox->write_index);
    } else {
        slot = mbox->read_index = Previous(mbox->read_index);
    }
    mbox->slots[slot] = msg;
    mbox->count++;
    if (signal)
        Mbim_Event_set(mbox->event);
    Mbim_Mutex_unlock(&mbox->lock);
    return 1;
}

// Takes the oldest message; the caller holds the lock and has checked that the mailbox is not empty.
tag_T_RIL_MSG* TakeOldest(sys_mbox* mbox)
{
    tag_T_RIL_MSG* msg = mbox->slots[mbox->read_index];
    mbox->count--;
    if (mbox->read_index == mbox->write_index)
        mbox->read_index = mbox->write_index = -1;
    else
        mbox->read_index = Next(mbox->read_index);
    return msg;
}

int Fetch(sys_mbox* mbox, tag_T_RIL_MSG** msg, bool io)
{
    if (mbox == nullptr || msg == nullptr)
        return 0;
    if (Mbim_Mutex_lock(&mbox->lock) != 0)
        return 0;
    int result = 0;
    if (io && mbox->io_asleep) {
        RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_fetch_IO : Mail Box --> **IO Asleep** !!");
    } else if (Empty(mbox) || mbox->io_asleep) {
        RIL_TRACE(RIL_MASK_FLOW, "%s : Mail Box --> Empty", io ? "sys_mbox_fetch_IO" : "sys_mbox_fetch");
    } else {
        *msg = TakeOldest(mbox);
        result = 1;
    }
    Mbim_Mutex_unlock(&mbox->lock);
    return result;
}

} // namespace

sys_mbox* sys_mbox_new(const char* name)
{
    if (name == nullptr)
        return nullptr;
    auto* mbox = static_cast<sys_mbox*>(MEMUTIL_ALLOC(sizeof(sys_mbox)));
    if (mbox == nullptr)
        return nullptr;
    mbox->read_index = mbox->write_index = -1;
    mbox->event = mbimcore_msg_event_create(name);
    Mbim_Mutex_init(&mbox->lock);
    mbox->count = 0;
    mbox->io_asleep = 0;
    return mbox;
}

void sys_mbox_free(sys_mbox* mbox)
{
    if (mbox == nullptr)
        return;
    mbimcore_event_delete(&mbox->event);
    Mbim_Mutex_delete(&mbox->lock);
    MEMUTIL_FREE(mbox);
}

int sys_mbox_post(sys_mbox* mbox, tag_T_RIL_MSG* msg)
{
    return Post(mbox, msg, "sys_mbox_post", Place::Tail, true);
}

int sys_mbox_post_IO(sys_mbox* mbox, tag_T_RIL_MSG* msg)
{
    return Post(mbox, msg, "sys_mbox_post_IO", Place::Tail, false);
}

int sys_mbox_post_head(sys_mbox* mbox, tag_T_RIL_MSG* msg)
{
    return Post(mbox, msg, "sys_mbox_post_head", Place::Head, true);
}

int sys_mbox_fetch(sys_mbox* mbox, tag_T_RIL_MSG** msg)
{
    return Fetch(mbox, msg, false);
}

int sys_mbox_fetch_IO(sys_mbox* mbox, tag_T_RIL_MSG** msg)
{
    return Fetch(mbox, msg, true);
}

// Takes the lock itself, so the worker's unlocked test never races a post.
int sys_mbox_empty(sys_mbox* mbox)
{
    if (mbox == nullptr || Mbim_Mutex_lock(&mbox->lock) != 0)
        return 1;
    int result = 0;
    if (Empty(mbox)) {
        result = 1;
    } else if (mbox->io_asleep) {
        RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_empty : Io asleep, so ignore");
        result = 1;
    }
    Mbim_Mutex_unlock(&mbox->lock);
    return result;
}

int sys_mbox_full(sys_mbox* mbox)
{
    if (mbox == nullptr || !Full(mbox))
        return 0;
    RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_full : Caution! Full");
    return 1;
}

void sys_mbox_wait(sys_mbox* mbox)
{
    if (mbox == nullptr)
        return;
    Mbim_Mutex_lock(&mbox->lock);
    int count = mbox->count;
    Mbim_Mutex_unlock(&mbox->lock);
    if (count != 0)
        return;
    Mbim_Event_wait(mbox->event, INFINITE);
    Mbim_Event_reset(mbox->event);
}

namespace {

// Both switches: under the lock, set the state; waking also sets the event so the worker looks.
int SwitchIo(sys_mbox* mbox, bool asleep, const char* name)
{
    if (mbox == nullptr)
        return -2;
    if (Mbim_Mutex_lock(&mbox->lock) != 0) {
        RIL_TRACE(RIL_MASK_ERROR, "%s : %s--: Mutex lock -> failed", name, name);
        return 0;
    }
    if (asleep) {
        RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_mark_asleep : Mark IO Mail box **#sleep!! prev state: %d", mbox->io_asleep);
        mbox->io_asleep = 1;
    } else {
        mbox->io_asleep = 0;
        Mbim_Event_set(mbox->event);
        RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_signal_awake : Signal IO Mail box **Awake!! , Signal MBIMCore handler");
    }
    Mbim_Mutex_unlock(&mbox->lock);
    return 1;
}

} // namespace

int sys_mbox_mark_asleep(sys_mbox* mbox)
{
    return SwitchIo(mbox, true, __func__);
}

int sys_mbox_signal_awake(sys_mbox* mbox)
{
    return SwitchIo(mbox, false, __func__);
}

int sys_mbox_get_IOState(sys_mbox* mbox)
{
    if (mbox == nullptr)
        return -2;
    if (Mbim_Mutex_lock(&mbox->lock) != 0) {
        RIL_TRACE(RIL_MASK_ERROR, "sys_mbox_get_IOState :  Mutex lock -> failed");
        return 0;
    }
    int awake = mbox->io_asleep ? 0 : 1;
    Mbim_Mutex_unlock(&mbox->lock);
    if (awake)
        RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_get_IOState :  Ok, IO ready: %d", awake);
    else
        RIL_TRACE(RIL_MASK_FLOW, "sys_mbox_get_IOState :  Caution!, IO asleep %d", awake);
    return awake;
}

uint16_t set_rcv_msg_size(tag_T_RIL_MSG* const* messages, uint16_t first, uint16_t last, uint16_t size)
{
    for (unsigned i = first; messages != nullptr && i <= last; i++) {
        tag_T_RIL_MSG* msg = messages[i];
        if (msg != nullptr && msg->msg_type == EVT_INPUT_MSG) {
            msg->evt.ev_data.v[1] = static_cast<uint8_t>(size >> 8);
            msg->evt.ev_data.v[2] = static_cast<uint8_t>(size);
        }
    }
    RIL_TRACE(RIL_MASK_FLOW, "set rcv msg size is %d between   %d.. %d", size, first, last);
    return size;
}

uint16_t get_max_rcv_msg_size(tag_T_RIL_MSG* const* messages, uint16_t first, uint16_t last)
{
    uint16_t largest = 0;
    for (unsigned i = first; messages != nullptr && i <= last; i++) {
        tag_T_RIL_MSG* msg = messages[i];
        if (msg != nullptr && msg->msg_type == EVT_INPUT_MSG) {
            uint16_t size = EventControlDataLength(&msg->evt.ev_data);
            if (size > largest)
                largest = size;
        }
    }
    RIL_TRACE(RIL_MASK_FLOW, "max rcv msg size is %d between   %d.. %d", largest, first, last);
    return largest;
}

HANDLE mbimcore_msg_event_create(const char* name)
{
    HANDLE event = nullptr;
    Mbim_Event_create(nullptr, name, &event, OS_EVENT_MANUAL_RESET);
    return event;
}

int mbimcore_msg_event_signal(HANDLE event)
{
    return Mbim_Event_set(event);
}

int mbimcore_msg_event_wait(HANDLE event)
{
    int result = Mbim_Event_wait(event, INFINITE);
    if (result != 0)
        RIL_TRACE(RIL_MASK_ERROR, "%s: sem_wait returned errno(%d)", __func__, result);
    return result;
}

int mbimcore_msg_event_wait_timeout(HANDLE event, DWORD milliseconds)
{
    int result = Mbim_Event_wait(event, milliseconds);
    if (result == -2)
        RIL_TRACE(RIL_MASK_FLOW, "%s: sem_wait timed out", __func__);
    else if (result != 0)
        RIL_TRACE(RIL_MASK_ERROR, "%s: sem_wait error out %d", __func__, result);
    return result;
}

int mbimcore_event_delete(HANDLE* event)
{
    return Mbim_Event_delete(event);
}

void mbimcore_sleep_event_create(HANDLE* event)
{
    Mbim_Event_create(nullptr, nullptr, event, 0);
    RIL_TRACE(RIL_MASK_FLOW, "mbimcore_sleep_event_create : ok create slp event!");
}
