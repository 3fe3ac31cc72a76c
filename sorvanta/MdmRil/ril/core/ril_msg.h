// The RIL message: one fixed-size heap record per piece of work for the worker, placed in the message
// mailbox (host requests, modem replies, event records, SAR data) or the I/O mailbox (outgoing MBIM
// messages parked while modem I/O sleeps).
#pragma once

#include "ril_api.h"

#include <stddef.h>
#include <stdint.h>

enum ril_msg_type : uint32_t {
    RILREQ_MSG = 0,
    MDMRSPCB_MSG = 1,
    MDMRSPCB_PARAMS_MSG = 2,
    MDMINDCB_MSG = 3,
    MDMINDCB_PARAMS_MSG = 4,
    ATMSRSPCB_MSG = 5,
    CORE_EXIT_MSG = 6,
    EVT_INPUT_MSG = 7,
    EVT_INPUT_SAR_MSG = 8,
    RIL_OUTPUT_PENDING_MSG = 10,
};

// Callbacks that modem replies and AT answers carry to the worker.
typedef void (*ril_rsp_cb)(int simid, int context_id, void* param, void* reserved);
typedef void (*ril_ind_cb)(int simid, void* param, void* reserved);
typedef void (*ril_rsp_params_cb)(int simid, int context_id, int pr1, int pr2, int pr3, void* prp);
typedef void (*ril_ind_params_cb)(int simid, int pr1, int pr2, int pr3, void* prp);

// A modem message on its way to the reply routing: its size and a heap copy of it.
struct mdm_cb_param {
    uint32_t size;
    uint8_t* buffer;
};
static_assert(sizeof(mdm_cb_param) == 16, "16-byte parameter record");

// out_type of a parked message.
enum : uint32_t {
    RIL_OUT_TO_HOST = 0,
    RIL_OUT_TO_MODEM = 1,
};

struct tag_T_RIL_MSG {
    uint32_t reserved;
    uint32_t msg_type;
    union {
        struct {
            int simid;
            void* token;
            int ReqID;
            int uuid_index;
            uint8_t is_set;
            void* data; // borrowed from the request that `token` names
            uint64_t dlen;
        } req;
        struct {
            int simid;
            int context_id;
            ril_rsp_cb cb;
            void* param;
            uint64_t unused;
        } rspcb;
        struct {
            int simid;
            int context_id;
            ril_rsp_params_cb cb;
            int pr1, pr2, pr3;
            void* prp;
        } rspcb_params;
        struct {
            int simid;
            ril_ind_cb cb;
            void* param;
            void* unused;
        } indcb;
        struct {
            int simid;
            ril_ind_params_cb cb;
            int pr1, pr2, pr3;
            void* prp;
        } indcb_params;
        struct {
            int simid;
            int context_id;
            ril_rsp_cb cb;
            void* param;
        } atrspcb;
        struct {
            int executor_id;
            EventControlData ev_data;
        } evt;
        struct {
            int executor_id;
            int sar_data_len;
            void* sar_data;
            uint8_t cmd_type;
        } sar;
        struct {
            uint32_t out_type;
            int executor_id;
            int out_len;
            int transaction_id;
            uint8_t* outbuf;
        } pending;
    };
};
static_assert(sizeof(tag_T_RIL_MSG) == 272, "272-byte RIL message");

// Frees a message with the heap copies it owns (the parameter, SAR and parked-output copies); the
// modem-message buffer a parameter record points to stays with whoever handles the message.
void ril_msg_free(tag_T_RIL_MSG** msg);

// Posting: 0 posted; -1 core not running or out of memory; -11 the mailbox refused the message. A
// refused post leaves nothing behind; the caller keeps everything it passed.
int RilCore_post_request(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                         void* token);
int RilCore_post_mdmrspcb(int simid, int context_id, ril_rsp_cb cb, const void* param, size_t param_size,
                          uint64_t unused);
int RilCore_post_mdmindcb(int simid, ril_ind_cb cb, const void* param, size_t param_size, void* unused);
int RilCore_post_mdm_paramsrspcb(int simid, int context_id, ril_rsp_params_cb cb, int pr1, int pr2, int pr3,
                                 void* prp);
int RilCore_post_mdm_paramsindcb(int simid, ril_ind_params_cb cb, int pr1, int pr2, int pr3, void* prp);
int RilCore_post_atmsrspcb(int simid, int context_id, ril_rsp_cb cb, const void* param, size_t param_size);
int MBIMCore_post_eventControlInput(int executor_id, const EventControlData* data);
int MBIMCore_post_sar_eventControlInput(int executor_id, int sar_data_len, const void* data, uint8_t cmd_type);
int MBIMCore_post_Message_IOPending(int executor_id, int out_len, const uint8_t* message, uint8_t out_type,
                                    int transaction_id);
int RilCore_post_reserved1(void);
int RilCore_post_reserved2(void);

// I/O switch: event kind 11 puts modem I/O to sleep, 10 wakes it.
int MBIMCore_signal_IOeventInput(int executor_id, const EventControlData* data);
// 1 awake, 0 asleep, -2 when the core is not running.
int MBIMCore_check_IOReady(void);

// Replays one parked message through the front's senders. A message that finds modem I/O asleep
// again is parked back at the head of the I/O mailbox, so the parking order survives.
int mbim_send_pending_IO_message(int executor_id, int out_len, uint8_t* outbuf, uint32_t out_type,
                                 int transaction_id);
