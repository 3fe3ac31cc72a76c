#include "ril_msg.h"

#include "mbim_front.h"
#include "mbimcore_db.h"
#include "memutil.h"
#include "ril_trace.h"

#include <string.h>

namespace {

// Set on the thread that replays a parked message, so that a message parked again during its own
// replay goes back to the head of the I/O mailbox instead of behind the messages parked after it.
thread_local bool t_replaying = false;

// Asked under the core gate, so the mailboxes stay while the caller uses them.
bool Running()
{
    return g_MbimCoreDb.s_ril_init.load(std::memory_order_acquire) == 1;
}

tag_T_RIL_MSG* NewMessage(uint32_t type)
{
    auto* msg = static_cast<tag_T_RIL_MSG*>(MEMUTIL_ALLOC(sizeof(tag_T_RIL_MSG)));
    if (msg != nullptr)
        msg->msg_type = type;
    return msg;
}

// A heap copy of `size` bytes of `source`; null when it cannot be made.
void* CopyOf(const void* source, size_t size)
{
    void* copy = MEMUTIL_ALLOC(size);
    if (copy != nullptr && size != 0)
        memcpy(copy, source, size);
    return copy;
}

constexpr const char* kNotRunning = "%s: RIL is not initialized";
constexpr const char* kNoMemory = "%s: malloc error";

// What every poster does first: refuse while the core is not running, then allocate the message.
tag_T_RIL_MSG* StartPost(uint32_t type, const char* function, const char* notRunning = kNotRunning,
                         const char* noMemory = kNoMemory)
{
    if (!Running()) {
        RIL_TRACE(RIL_MASK_ERROR, notRunning, function);
        return nullptr;
    }
    tag_T_RIL_MSG* msg = NewMessage(type);
    if (msg == nullptr)
        RIL_TRACE(RIL_MASK_ERROR, noMemory, function);
    return msg;
}

// Gives the message its copy of a caller's parameter record; on failure frees the message.
bool AttachCopy(tag_T_RIL_MSG*& msg, void*& field, const void* param, size_t size, const char* function,
                const char* noMemory = kNoMemory)
{
    if (param == nullptr)
        return true;
    field = CopyOf(param, size);
    if (field != nullptr)
        return true;
    RIL_TRACE(RIL_MASK_ERROR, noMemory, function);
    ril_msg_free(&msg);
    return false;
}

// Hands a built message to a mailbox; on refusal frees it with its copies and reports -11.
int Deliver(sys_mbox* mbox, tag_T_RIL_MSG* msg, int (*post)(sys_mbox*, tag_T_RIL_MSG*) = sys_mbox_post)
{
    if (post(mbox, msg) != 1) {
        ril_msg_free(&msg);
        return -11;
    }
    return 0;
}

} // namespace

void ril_msg_free(tag_T_RIL_MSG** msg)
{
    if (msg == nullptr || *msg == nullptr)
        return;
    tag_T_RIL_MSG* m = *msg;
    void** copy = nullptr;
    switch (m->msg_type) {
    case MDMRSPCB_MSG:
        copy = &m->rspcb.param;
        break;
    case MDMINDCB_MSG:
        copy = &m->indcb.param;
        break;
    case ATMSRSPCB_MSG:
        copy = &m->atrspcb.param;
        break;
    case EVT_INPUT_SAR_MSG:
        copy = &m->sar.sar_data;
        break;
    case RIL_OUTPUT_PENDING_MSG:
        copy = reinterpret_cast<void**>(&m->pending.outbuf);
        break;
    default:
        break;
    }
    if (copy != nullptr && *copy != nullptr)
        memutil_free(copy, __FILE__, __LINE__);
    memutil_free(reinterpret_cast<void**>(msg), __FILE__, __LINE__);
}

int RilCore_post_request(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                         void* token)
{
    MbimCoreGate gate;
    tag_T_RIL_MSG* msg = StartPost(RILREQ_MSG, __func__);
    if (msg == nullptr)
        return -1;
    msg->req.simid = simid;
    msg->req.token = token;
    msg->req.ReqID = ReqID;
    msg->req.uuid_index = uuid_index;
    msg->req.is_set = is_set;
    msg->req.data = data;
    msg->req.dlen = dlen;
    int result = Deliver(g_MbimCoreDb.msg_mbox, msg);
    if (result == 0)
        RIL_TRACE(RIL_MASK_FLOW, "%s: Posted RIL Request (%d)", __func__, ReqID);
    return result;
}

int RilCore_post_mdmrspcb(int simid, int context_id, ril_rsp_cb cb, const void* param, size_t param_size,
                          uint64_t unused)
{
    MbimCoreGate gate;
    tag_T_RIL_MSG* msg = StartPost(MDMRSPCB_MSG, __func__);
    if (msg == nullptr || !AttachCopy(msg, msg->rspcb.param, param, param_size, __func__))
        return -1;
    msg->rspcb.simid = simid;
    msg->rspcb.context_id = context_id & 0xFF;
    msg->rspcb.cb = cb;
    msg->rspcb.unused = unused;
    int result = Deliver(g_MbimCoreDb.msg_mbox, msg);
    if (result == 0)
        RIL_TRACE(RIL_MASK_FLOW,
                  "RilCore_post_mdmrspcb--  ______________<<    Posted RspCB from RPC task for context_id 0x%X",
                  context_id & 0xFF);
    return result;
}

int RilCore_post_mdmindcb(int simid, ril_ind_cb cb, const void* param, size_t param_size, void* unused)
{
    MbimCoreGate gate;
    tag_T_RIL_MSG* msg = StartPost(MDMINDCB_MSG, __func__,
                                   "RilCore_post_mdmindcb--  ______________<<    RIL is not initialized",
                                   "RilCore_post_mdmindcb--  ______________<<    p_msg malloc error");
    if (msg == nullptr ||
        !AttachCopy(msg, msg->indcb.param, param, param_size, __func__,
                    "RilCore_post_mdmindcb--  ______________<<    malloc error"))
        return -1;
    msg->indcb.simid = simid;
    msg->indcb.cb = cb;
    msg->indcb.unused = unused;
    int result = Deliver(g_MbimCoreDb.msg_mbox, msg);
    if (result == 0)
        RIL_TRACE(RIL_MASK_FLOW, "RilCore_post_mdmindcb--  ______________<<    IndCB posted");
    return result;
}

int RilCore_post_mdm_paramsrspcb(int simid, int context_id, ril_rsp_params_cb cb, int pr1, int pr2, int pr3,
                                 void* prp)
{
    MbimCoreGate gate;
    if (context_id == 0 && Running()) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: context_id is 0 the response whould be ignored", __func__);
        return -1;
    }
    tag_T_RIL_MSG* msg = StartPost(MDMRSPCB_PARAMS_MSG, __func__);
    if (msg == nullptr)
        return -1;
    msg->rspcb_params.simid = simid;
    msg->rspcb_params.context_id = context_id & 0xFF;
    msg->rspcb_params.cb = cb;
    msg->rspcb_params.pr1 = pr1;
    msg->rspcb_params.pr2 = pr2;
    msg->rspcb_params.pr3 = pr3;
    msg->rspcb_params.prp = prp;
    return Deliver(g_MbimCoreDb.msg_mbox, msg);
}

int RilCore_post_mdm_paramsindcb(int simid, ril_ind_params_cb cb, int pr1, int pr2, int pr3, void* prp)
{
    MbimCoreGate gate;
    tag_T_RIL_MSG* msg = StartPost(MDMINDCB_PARAMS_MSG, __func__);
    if (msg == nullptr)
        return -1;
    msg->indcb_params.simid = simid;
    msg->indcb_params.cb = cb;
    msg->indcb_params.pr1 = pr1;
    msg->indcb_params.pr2 = pr2;
    msg->indcb_params.pr3 = pr3;
    msg->indcb_params.prp = prp;
    return Deliver(g_MbimCoreDb.msg_mbox, msg);
}

int RilCore_post_atmsrspcb(int simid, int context_id, ril_rsp_cb cb, const void* param, size_t param_size)
{
    MbimCoreGate gate;
    if (param == nullptr && Running()) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: Argument invalid memory!", __func__);
        return -1;
    }
    tag_T_RIL_MSG* msg = StartPost(ATMSRSPCB_MSG, __func__);
    if (msg == nullptr || !AttachCopy(msg, msg->atrspcb.param, param, param_size, __func__))
        return -1;
    msg->atrspcb.simid = simid;
    msg->atrspcb.context_id = context_id & 0xFF;
    msg->atrspcb.cb = cb;
    return Deliver(g_MbimCoreDb.msg_mbox, msg);
}

int MBIMCore_post_eventControlInput(int executor_id, const EventControlData* data)
{
    MbimCoreGate gate;
    constexpr const char* kEventNotRunning =
        "MBIMCore_post_eventControlInput--  ______________<<   Error! RIL is not initialized";
    if (data == nullptr)
        return -1;
    tag_T_RIL_MSG* msg = g_MbimCoreDb.msg_mbox != nullptr ? StartPost(EVT_INPUT_MSG, __func__, kEventNotRunning)
                                                          : nullptr;
    if (msg == nullptr)
        return -1;
    msg->evt.executor_id = executor_id;
    msg->evt.ev_data = *data;
    RIL_TRACE(RIL_MASK_FLOW, "MBIMCore_post_eventControlInput :  Posting MBIMCORE EV Request (%d) to q %p", data->t,
              g_MbimCoreDb.msg_mbox);
    int result = Deliver(g_MbimCoreDb.msg_mbox, msg);
    if (result != 0)
        RIL_TRACE(RIL_MASK_ERROR,
                  "MBIMCore_post_eventControlInput--  ______________<<    Posting MBIMCORE CID Request () Failed!!");
    return result;
}

// A set carries data to copy: null data or a negative length is refused, never read.
int MBIMCore_post_sar_eventControlInput(int executor_id, int sar_data_len, const void* data, uint8_t cmd_type)
{
    MbimCoreGate gate;
    if (cmd_type != 0 && (data == nullptr || sar_data_len < 0)) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: invalid SAR data %p, len %d", __func__, data, sar_data_len);
        return -1;
    }
    tag_T_RIL_MSG* msg = g_MbimCoreDb.msg_mbox != nullptr ? StartPost(EVT_INPUT_SAR_MSG, __func__) : nullptr;
    if (msg == nullptr ||
        !AttachCopy(msg, msg->sar.sar_data, cmd_type != 0 ? data : nullptr, static_cast<size_t>(sar_data_len),
                    __func__, "MBIMCore_post_sar_eventControlInput--  ______________<<   malloc error for sar_data"))
        return -1;
    msg->sar.executor_id = executor_id;
    msg->sar.sar_data_len = sar_data_len;
    msg->sar.cmd_type = cmd_type;
    return Deliver(g_MbimCoreDb.msg_mbox, msg);
}

int MBIMCore_post_Message_IOPending(int executor_id, int out_len, const uint8_t* message, uint8_t out_type,
                                    int transaction_id)
{
    MbimCoreGate gate;
    if (message == nullptr || out_len < 0)
        return -1;
    tag_T_RIL_MSG* msg = StartPost(RIL_OUTPUT_PENDING_MSG, __func__);
    void* copy = nullptr;
    if (msg == nullptr ||
        !AttachCopy(msg, copy, message, static_cast<size_t>(out_len), __func__,
                    "MBIMCore_post_Message_IOPending--  ______________<<   malloc error for pending out buf"))
        return -1;
    msg->pending.outbuf = static_cast<uint8_t*>(copy);
    msg->pending.out_type = out_type;
    msg->pending.executor_id = executor_id;
    msg->pending.out_len = out_len;
    msg->pending.transaction_id = transaction_id;
    return Deliver(g_MbimCoreDb.io_mbox, msg, t_replaying ? sys_mbox_post_head : sys_mbox_post);
}

int RilCore_post_reserved1(void)
{
    return 0;
}

int RilCore_post_reserved2(void)
{
    return 0;
}

int MBIMCore_signal_IOeventInput(int, const EventControlData* data)
{
    MbimCoreGate gate;
    int kind = data ? data->t : -1;
    if (!Running()) {
        RIL_TRACE(RIL_MASK_ERROR, "MBIMCore_signal_IOeventInput--  ______________<<    ++ RIL is not initialized, ev: %d",
                  kind);
        return -1;
    }
    if (kind == EventKindModemIoAsleep) {
        RIL_TRACE(RIL_MASK_FLOW, "MBIMCore_signal_IOeventInput : mark IO Sleep event");
        sys_mbox_mark_asleep(g_MbimCoreDb.io_mbox);
        return 0;
    }
    if (kind == EventKindModemIoAwake) {
        if (sys_mbox_signal_awake(g_MbimCoreDb.io_mbox) == 1)
            return 0;
        RIL_TRACE(RIL_MASK_ERROR, "MBIMCore_signal_IOeventInput--  ______________<<    Could not signal awake event Failed!!");
        return -11;
    }
    RIL_TRACE(RIL_MASK_ERROR, "MBIMCore_signal_IOeventInput--  ______________<<    unknown IO event %d !!", kind);
    return -11;
}

int MBIMCore_check_IOReady(void)
{
    MbimCoreGate gate;
    return sys_mbox_get_IOState(g_MbimCoreDb.io_mbox);
}

int mbim_send_pending_IO_message(int executor_id, int out_len, uint8_t* outbuf, uint32_t out_type,
                                 int transaction_id)
{
    bool toModem = out_type != RIL_OUT_TO_HOST;
    t_replaying = true;
    int result;
    if (toModem) {
        RIL_TRACE(RIL_MASK_FLOW, "mbim_send_pending_IO_message : Sending pnd CID req to mdm");
        result = RIL_CIDTransportRequest(executor_id, outbuf, out_len, transaction_id);
    } else {
        RIL_TRACE(RIL_MASK_FLOW, "mbim_send_pending_IO_message : Sending pnd CID RSP");
        result = Mbim_CIDResponseSend(executor_id, outbuf, out_len);
    }
    t_replaying = false;
    RIL_TRACE(RIL_MASK_FLOW,
              "mbim_send_pending_IO_message--  ______________<<   %s pnd IO msg: e= %d, len= %d, outbuf: %1p, %s ctx= %d",
              result == 0 ? "SUCCESS!" : "Error!", executor_id, out_len, outbuf, toModem ? "Mdm req" : "Cid rsp",
              transaction_id);
    return result;
}
