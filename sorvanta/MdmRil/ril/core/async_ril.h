// The RIL core: its start and stop, the radio table handed to the MBIM service front, the single
// worker thread and its dispatch of RIL messages, host and modem event records and requests.
#pragma once

#include "ril_api.h"
#include "ril_msg.h"
#include "sys_mbox.h"

#include <windows.h>

#include <stdint.h>

// ---- life cycle ----------------------------------------------------------------------------------

// Starts the core and returns the radio table, whatever the start reported; the values and the
// argument are not used. A start that leaves the core down reports no executor.
RadioCallbacks* RIL_init(const RilEnv* env, int value1, int value2, void* argument);
void RIL_close(int isShutdown);
void RIL_Data_Cleanup(void);

// 0 started; -1 nothing left running (also when the core runs already or a previous worker is still
// ending).
int mdmril_init(RIL_RadioParameters* params, void* argument);
// Ends the worker (up to 10 s; a worker still running then is handed the mailboxes, which it frees
// when it ends) and releases the mailboxes and events. 0.
int mdmril_destroy(void);
int mdmril_deinit(void);
void mdmril_release_mem(void);
int Sleep_ril(DWORD milliseconds);

// Whether a worker, running or outliving its stop, has not ended yet.
bool mdmril_worker_alive(void);

// ---- worker and dispatch -------------------------------------------------------------------------

unsigned mbimcore_handler(void* thread_record);
void Handle_Event_Input(int executor_id, const EventControlData* data);
void on_request_handler(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                        void* token);
// Runs the callback only while the context entry is in use.
void mdmril_rspcb_handler(ril_rsp_cb cb, int simid, void* param, int context_id);
// The static buffer, or for a length above its size a zeroed block of length + 1 (*allocated 1).
uint8_t* CheckBufAndAllocateIfNeeded(uint8_t* buffer, int length, int* allocated);
// 1 MBIM OPEN, 2 MBIM CLOSE, 0 anything else (also a null or short buffer).
int check_IsOpenCloseType_Cid(const uint8_t* buffer, int length);
void processNonPassthrough_RspFromModem(uint8_t* buffer, int length);
// Frees every message the mailbox holds, unhandled (an asleep I/O mailbox counts as empty).
void clean_mbox_message_queue(sys_mbox* mbox);
// Both mailboxes of the running core: the front calls it for a host MBIM CLOSE.
void clean_message_queue(void);
void RilCore_send_request_toSelf(int stack_id, int ReqID, int uuid_index, uint8_t is_set, void* data,
                                 uint64_t dlen, void* token);

// ---- small routines ------------------------------------------------------------------------------

void print_line(const uint8_t* buffer, int count);
void print_lines(const uint8_t* buffer, int count);
void trace_bytes_decimal(const uint8_t* buffer, int count);
void trace_mdm_rawbuffer(const uint8_t* buffer, uint16_t length, const char* caption);
bool buffer_has_nonzero(const uint8_t* buffer, int count);
void convert_U8_to_ASCII(const uint8_t* input, int count, uint8_t* output);
// *length: the output capacity in bytes on entry, the bytes written on return.
void convert_U8_to_U16(const uint8_t* input, int count, uint8_t* output, int* length);
void convert_U16_to_U8(const uint8_t* input, int byte_count, uint8_t* output, int* length);
