// What the RIL core calls of the modem feature handlers: the SAR service's start and stop, the modem
// reply routing, the SAR event handler, the request handlers of the request switch and the per-slot
// SIM state. Every request handler completes its token itself.
#pragma once

#include <stdint.h>

typedef void (*ril_request_handler)(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data,
                                    uint64_t dlen, void* token);

void ril_request_DEVICE_CAPS_handler(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data,
                                     uint64_t dlen, void* token);
void ril_request_DEVICE_SERVICES_handler(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data,
                                         uint64_t dlen, void* token);
void ril_request_MS_LTE_ATTACH_CONFIG_handler_for_mbim_mdm(int simid, int ReqID, int uuid_index,
                                                           uint8_t is_set, void* data, uint64_t dlen,
                                                           void* token);
void ril_request_VERSION_handler(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data,
                                 uint64_t dlen, void* token);
void ril_request_mbim_sar_external_handler_for_mbim_mdm(int simid, int ReqID, int uuid_index, uint8_t is_set,
                                                        void* data, uint64_t dlen, void* token);
void ril_request_mbim_DEVICEMODE_handler_for_mbim_mdm(int simid, int ReqID, int uuid_index, uint8_t is_set,
                                                      void* data, uint64_t dlen, void* token);
void ril_request_mbim_RVAD_BASE_STATIONS_INFO_handler(int simid, int ReqID, int uuid_index, uint8_t is_set,
                                                      void* data, uint64_t dlen, void* token);

// The SAR service: started by the core's start, stopped first by its stop.
void mbim_sar_init(void);
void mbim_sar_destroy(void);
// SAR data posted by the device-mode side, on the worker.
void Handle_Input_SAR_SERVICES_Internal_Cid_Handler(int executor_id, int length, void* data,
                                                    uint8_t cmd_type);

// Modem reply routing: one MBIM message from the modem (or a host message also sent to the modem), on
// the worker. `length` is the bridge element's length; the buffer is only borrowed.
void MBIMMdm_rspcb_handler(int executor_id, uint8_t* buffer, int length, int transaction_id, int route);
// A host MBIM CLOSE that also went to the modem.
void MBIMMdm_closemsg_route(int executor_id, uint8_t* buffer, int length, int route);

// Placeholder platform hooks that the modem exit hook calls.
void mdm_platform_hook_release(void);
void mdm_platform_hook_close(void);

#define RIL_SIM_SLOTS 2
#define RIL_ICCID_BYTES 42

struct sim_slot_state {
    uint32_t slot_state;
    uint8_t iccid[RIL_ICCID_BYTES];
};

extern sim_slot_state sim_slot_info[RIL_SIM_SLOTS];
