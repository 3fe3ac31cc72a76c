// The handlers that the message table and the command table name: one pair per host message type, the
// CID request mappings and the CID response formatters.
#pragma once

#include "command_table.h"

#include <stdint.h>

class MbimMessageRequest;

// 0: the step goes to the RIL core; otherwise the message is finished inside (1 success, -1 failure).
int mbim_proccess_open_msg(MbimMessageRequest* request);
int mbim_proccess_close_msg(MbimMessageRequest* request);
int mbim_proccess_command_msg(MbimMessageRequest* request);
int mbim_proccess_host_error_msg(MbimMessageRequest* request);

// 1: another translation step is needed; anything else: finished (0 success, -1 failure).
int mbim_format_open_msg_response(MbimMessageRequest* request, const uint8_t* response, uint32_t length);
int mbim_format_close_msg_response(MbimMessageRequest* request, const uint8_t* response, uint32_t length);
int mbim_format_command_msg_response(MbimMessageRequest* request, const uint8_t* response, uint32_t length);
int mbim_format_host_error_msg_response(MbimMessageRequest* request, const uint8_t* response, uint32_t length);

int mbim_cid_map_request_generic(int32_t uuid_index, uint32_t cid, uint8_t is_set, MbimCommandRequest* request,
                                 uint8_t* payload, uint32_t length);
int mbim_cid_map_request_generic_empty_data(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                            MbimCommandRequest* request, uint8_t* payload, uint32_t length);
int mbim_cid_map_request_generic_non_empty_data(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                                MbimCommandRequest* request, uint8_t* payload, uint32_t length);
int mbim_cid_handler_UNSUPPORTED(int32_t uuid_index, uint32_t cid, uint8_t is_set, MbimCommandRequest* request,
                                 uint8_t* payload, uint32_t length);

int mbim_format_generic_transparent_response(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                             MbimCommandRequest* request, const uint8_t* response,
                                             uint32_t length);
int mbim_format_MS_LTE_ATTACH_CONFIG_response(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                              MbimCommandRequest* request, const uint8_t* response,
                                              uint32_t length);
int mbim_format_MBIM_SAR_ANTT_PROFILE_response(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                               MbimCommandRequest* request, const uint8_t* response,
                                               uint32_t length);
int mbim_cid_handler_UNSUPPORTED_resp(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                      MbimCommandRequest* request, const uint8_t* response, uint32_t length);
int mbim_format_generic_input_loopback_response(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                                MbimCommandRequest* request, const uint8_t* response,
                                                uint32_t length);
// The response is {u32 MBIM status, payload}; applies no RIL-error rule of its own.
int mbim_format_cid_generic_status_transparent_response(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                                        MbimCommandRequest* request, const uint8_t* response,
                                                        uint32_t length);

void mbim_cid_map_generic_cid_rsp_handler(void);
void reset_modem_state(void);
// Waits while another request of the endpoint is pending: at most six one-second sleeps.
void mbim_wait_pending_response(MbimMessageRequest* request);
#define MBIM_PENDING_WAIT_MS 1000
#define MBIM_PENDING_WAIT_TRIES 6
