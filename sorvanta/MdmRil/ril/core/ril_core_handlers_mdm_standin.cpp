// STAND-IN, to be replaced: the modem feature handlers that the RIL core calls, until their own sources
// land. Each request handler completes its request as not supported (RIL error 6); the reply routing
// and the SAR handlers only trace what they were given (the buffers stay their callers'). Delete each
// function here in the change that brings its real one.
#include "ril_core_handlers_mdm.h"

#include "ril_ctxt.h"
#include "ril_trace.h"

sim_slot_state sim_slot_info[RIL_SIM_SLOTS];

namespace {

void NotServed(const char* handler, int ReqID, int uuid_index, void* token)
{
    RIL_TRACE(RIL_MASK_WARNING, "%s: stand-in, request %d of uuid index %d not served", handler, ReqID,
              uuid_index);
    if (gs_pRilEnv != nullptr && gs_pRilEnv->RequestComplete != nullptr)
        gs_pRilEnv->RequestComplete(token, RIL_E_REQUEST_NOT_SUPPORTED, nullptr, 0);
}

} // namespace

#define RIL_STANDIN_REQUEST_HANDLER(name)                                                                    \
    void name(int, int ReqID, int uuid_index, uint8_t, void*, uint64_t, void* token)                         \
    {                                                                                                        \
        NotServed(#name, ReqID, uuid_index, token);                                                          \
    }

RIL_STANDIN_REQUEST_HANDLER(ril_request_DEVICE_CAPS_handler)
RIL_STANDIN_REQUEST_HANDLER(ril_request_DEVICE_SERVICES_handler)
RIL_STANDIN_REQUEST_HANDLER(ril_request_MS_LTE_ATTACH_CONFIG_handler_for_mbim_mdm)
RIL_STANDIN_REQUEST_HANDLER(ril_request_VERSION_handler)
RIL_STANDIN_REQUEST_HANDLER(ril_request_mbim_sar_external_handler_for_mbim_mdm)
RIL_STANDIN_REQUEST_HANDLER(ril_request_mbim_DEVICEMODE_handler_for_mbim_mdm)
RIL_STANDIN_REQUEST_HANDLER(ril_request_mbim_RVAD_BASE_STATIONS_INFO_handler)

void mbim_sar_init(void)
{
    RIL_TRACE(RIL_MASK_FLOW, "%s: stand-in", __func__);
}

void mbim_sar_destroy(void)
{
    RIL_TRACE(RIL_MASK_FLOW, "%s: stand-in", __func__);
}

void Handle_Input_SAR_SERVICES_Internal_Cid_Handler(int executor_id, int length, void*, uint8_t cmd_type)
{
    RIL_TRACE(RIL_MASK_FLOW, "%s: stand-in, executor %d, len %d, cmd %d", __func__, executor_id, length,
              cmd_type);
}

void MBIMMdm_rspcb_handler(int executor_id, uint8_t*, int length, int transaction_id, int route)
{
    RIL_TRACE(RIL_MASK_FLOW, "%s: stand-in, executor %d, len %d, tid %d, route %d", __func__, executor_id,
              length, transaction_id, route);
}

void MBIMMdm_closemsg_route(int executor_id, uint8_t*, int length, int route)
{
    RIL_TRACE(RIL_MASK_FLOW, "%s: stand-in, executor %d, len %d, route %d", __func__, executor_id, length,
              route);
}

void mdm_platform_hook_release(void) {}

void mdm_platform_hook_close(void) {}
