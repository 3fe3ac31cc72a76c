// Completions of AT commands tunnelled through the RIL core (answers to requests and unsolicited
// results), and a one-shot timer task on a thread of its own.
#pragma once

#include <stdint.h>

// The record an AT completion travels in: the text and its length. The poster puts a NUL-terminated
// copy of the text right behind the record, so the message carries the text it needs.
struct at_cb_param {
    char* text;
    uint32_t length;
};
static_assert(sizeof(at_cb_param) == 16, "16-byte parameter record");

// Posts an AT answer for the request of `context_id`; the caller's text may go once this returns.
void ATEncapsulatedRspCb(int executor, int context_id, const char* text, uint32_t length);
// Posts an unsolicited AT result; the poster's result.
int ATEncapsulatedNtfCb(int executor, const char* text, uint32_t length);
// On the worker.
void RilATEncapsulatedRspCb(int executor, int context_id, void* record, void* reserved);
void RilATEncapsulatedNtfCb(int executor, int context_id, void* record, void* reserved);

// 0, or -1 when the event or the thread cannot be created.
int CreateTimerTask(void);
void RemoveTimerTask(void);
// Arms the timer for one wake-up after `milliseconds`; 0 ends the task. The value is not used.
void MdmRilSetTimer(uint32_t milliseconds, int value);
