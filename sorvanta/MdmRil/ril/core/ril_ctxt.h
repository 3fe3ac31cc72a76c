// The request-context table: for each request the core sent on to the modem, the front's completion
// token and a private record, under a context id (2 to 255) that travels with the MBIM command and
// comes back with the reply. Also the core's wrappers over the front's environment table.
#pragma once

#include "ril_api.h"

#include <stddef.h>
#include <stdint.h>

#define RIL_CTXT_ENTRIES 256
#define RIL_CTXT_FIRST_ID 2

// Request class of every request in this system.
#define RIL_CTXT_TYPE_DEFAULT 2
// A command exempt from the cap.
#define RIL_CTXT_CMD_UNCAPPED 667

enum mdm_non_passthrough_cmd : int {
    MBIM_MDM_NON_PASSTHROUGH_ESIM = 1,
    MBIM_MDM_NON_PASSTHROUGH_MULTISIM = 2,
    MBIM_MDM_NON_PASSTHROUGH_LTE_ATTACH_CONFIG = 3,
    MBIM_MDM_NON_PASSTHROUGH_DEVICE_SERVICES = 4,
    MBIM_MDM_NON_PASSTHROUGH_SAR_SERVICES_INTERNAL = 5,
    MBIM_MDM_NON_PASSTHROUGH_SAR_SERVICES_EXTERNAL = 6,
    MBIM_MDM_NON_PASSTHROUGH_VERSION = 8,
    MBIM_MDM_NON_PASSTHROUGH_DEVICE_CAPS = 9,
    MBIM_MDM_NON_PASSTHROUGH_BASE_STATIONS = 10,
    MBIM_MDM_NON_PASSTHROUGH_DEFAULT = 11,
};

// What p_priv_data holds, so that a release frees it as what it is.
enum ril_priv_kind : int32_t {
    RIL_PRIV_NONE = 0,
    RIL_PRIV_MULTI_MOD = 1, // a multi_mod_priv with its two areas
    RIL_PRIV_PLAIN = 2,     // a plain block
};

struct multi_mod_priv {
    int32_t value;
    void* caller_area;
    void* request_data;
};

struct rilreq_state_entry {
    void* token;
    void* p_priv_data;
    int32_t entry_in_use;
    int32_t type;
    int32_t cmd;
    int64_t time; // seconds since 1970
    int32_t context_id;
    ril_priv_kind priv_kind;
};

extern rilreq_state_entry rilreq_state_info[RIL_CTXT_ENTRIES];
// The front's environment table, stored by the core's start.
extern const RilEnv* gs_pRilEnv;

// Zeroes the table and restarts the rotation (the first id handed out is then 3).
void mdmril_ctxt_table_reset(void);

int mdmril_get_free_ctxt_id_gen(void* token, int type, int cmd, int cap);
int mdmril_get_free_ctxt_id(void* token);
int mdmril_discard_ctxt_on_limitcheck(int cmd, int type, int cap);
void ril_free_context_and_return(int id);
void ril_free_context_and_return_generic_failure(int id);
void mdmril_return_generic_failure(int id);
int mdmril_check_ctxt_match(int id, int cmd, int type);
int mdmril_create_multi_mod_priv(int id, int value, long size, void** caller_area);
int mdmril_create_priv_area(int id, long size, void** area);

int RilCore_send_unsolicited_response(int stack, int notification_id, int uuid_index, const void* data,
                                      size_t length);
void RilCore_request_timed_callback(RIL_TimedCallback callback, void* argument, long seconds, long microseconds);
void RilCore_send_unsolicited_noop(int stack, int notification_id);
