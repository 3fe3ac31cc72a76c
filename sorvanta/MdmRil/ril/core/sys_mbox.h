// The RIL core's mailbox: a ring of at most 128 message pointers served first in, first out, with a
// named manual-reset event that every post sets, a lock, a count and (I/O mailbox only) the
// modem-I/O-asleep flag. Also the named-event operations of the core.
#pragma once

#include "ril_msg.h"

#include <windows.h>

#define SYS_MBOX_SIZE 128

struct sys_mbox {
    int read_index; // -1 while empty
    int write_index;
    tag_T_RIL_MSG* slots[SYS_MBOX_SIZE];
    HANDLE event;
    CRITICAL_SECTION lock; // guards the indexes, slots, count and io_asleep
    int count;
    uint32_t io_asleep;
};

sys_mbox* sys_mbox_new(const char* name);
void sys_mbox_free(sys_mbox* mbox);
// 1 posted; 0 full or the lock failed; -2 no mailbox or no event.
int sys_mbox_post(sys_mbox* mbox, tag_T_RIL_MSG* msg);
int sys_mbox_post_IO(sys_mbox* mbox, tag_T_RIL_MSG* msg);
// Puts a message back in front of the oldest one (a replay that must keep its place); as sys_mbox_post.
int sys_mbox_post_head(sys_mbox* mbox, tag_T_RIL_MSG* msg);
// 1 with the oldest message in *msg; 0 when empty (an asleep mailbox counts as empty).
int sys_mbox_fetch(sys_mbox* mbox, tag_T_RIL_MSG** msg);
int sys_mbox_fetch_IO(sys_mbox* mbox, tag_T_RIL_MSG** msg);
int sys_mbox_empty(sys_mbox* mbox);
int sys_mbox_full(sys_mbox* mbox);
void sys_mbox_wait(sys_mbox* mbox);
int sys_mbox_mark_asleep(sys_mbox* mbox);
int sys_mbox_signal_awake(sys_mbox* mbox);
// 1 awake, 0 asleep (or the lock failed), -2 no mailbox.
int sys_mbox_get_IOState(sys_mbox* mbox);

// Over a run of message pointers, only EVT_INPUT_MSG entries: the big-endian length of their records.
uint16_t set_rcv_msg_size(tag_T_RIL_MSG* const* messages, uint16_t first, uint16_t last, uint16_t size);
uint16_t get_max_rcv_msg_size(tag_T_RIL_MSG* const* messages, uint16_t first, uint16_t last);

HANDLE mbimcore_msg_event_create(const char* name);
int mbimcore_msg_event_signal(HANDLE event);
int mbimcore_msg_event_wait(HANDLE event);
int mbimcore_msg_event_wait_timeout(HANDLE event, DWORD milliseconds);
int mbimcore_event_delete(HANDLE* event);
void mbimcore_sleep_event_create(HANDLE* event);
