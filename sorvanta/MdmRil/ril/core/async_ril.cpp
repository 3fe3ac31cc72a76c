#include "async_ril.h"

#include "mbim_front.h"
#include "mbimcore_db.h"
#include "memutil.h"
#include "modem_hooks.h"
#include "ril_config.h"
#include "ril_core_handlers_mdm.h"
#include "ril_ctxt.h"
#include "ril_trace.h"
#include "trace_util.h"

#include <atomic>
#include <errno.h>
#include <string.h>

namespace {

// ---- radio table ---------------------------------------------------------------------------------

constexpr uint32_t kRadioTableVersion = 11;
constexpr int kInternalUuidIndex = 100; // the front's own OPEN and CLOSE requests, which it answers itself

void send_request(int stack_id, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                  void* token);

int GetRadioState(uint32_t index)
{
    return static_cast<int>(get_radio_state(index));
}

int IsRequestSupported(int)
{
    return 1;
}

void CancelRequest(void*) {}

const char* GetVersionString(void)
{
    return nullptr;
}

RadioCallbacks s_RadioCallbacks = {
    kRadioTableVersion, send_request,     GetRadioState, IsRequestSupported,
    CancelRequest,      GetVersionString, {0, {-1}},
};

// Posts one request; a request the core cannot take is answered at once as a failure, so that the
// front's request does not wait for ever (the front's own OPEN and CLOSE excepted).
void PostRequest(int stack_id, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                 void* token)
{
    int result = RilCore_post_request(stack_id, ReqID, uuid_index, is_set, data, dlen, token);
    if (result == 0 || uuid_index == kInternalUuidIndex)
        return;
    RIL_TRACE(RIL_MASK_ERROR, "%s: request %d of uuid index %d refused (%d), completed as failed", __func__,
              ReqID, uuid_index, result);
    if (gs_pRilEnv != nullptr && gs_pRilEnv->RequestComplete != nullptr)
        gs_pRilEnv->RequestComplete(token, RIL_E_GENERIC_FAILURE, nullptr, 0);
}

void send_request(int stack_id, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                  void* token)
{
    RIL_TRACE(RIL_MASK_FLOW,
              "send_request : Nonthermal uuid being taken forward,   SIM %d, Async RIL Posting Req = %d",
              stack_id, ReqID);
    PostRequest(stack_id, ReqID, uuid_index, is_set, data, dlen, token);
}

// ---- worker ownership ----------------------------------------------------------------------------

constexpr DWORD kWorkerStopWaitMs = 10000;
// Pause after a wait that failed, so that a wait that keeps failing does not spin.
constexpr DWORD kFailedWaitPauseMs = 100;

// What a stop releases: the mailboxes and the core's two events.
struct CoreResources {
    sys_mbox* msg_mbox;
    sys_mbox* io_mbox;
    HANDLE exit_event;
    HANDLE sleep_event;
};

// The worker's ownership: a stop that times out hands the resources (and the worker's own handles) to
// the still running worker, which releases them when it ends. Exactly one of the two wins the change
// away from kRunning.
enum WorkerState : int {
    kNoWorker,
    kRunning,
    kOrphaned, // outlived its stop; owns s_handover
};

struct WorkerHandover {
    CoreResources resources;
    HANDLE thread;
    HANDLE end_event;
};

std::atomic<int> s_worker_state{kNoWorker};
WorkerHandover* s_handover = nullptr; // written before the change to kOrphaned, read after it

// Takes the mailboxes and events out of the database, so that no one reaches them any more.
CoreResources DetachResources()
{
    MbimCoreGate gate;
    g_MbimCoreDb.s_ril_init = 0;
    CoreResources resources = {g_MbimCoreDb.msg_mbox, g_MbimCoreDb.io_mbox, g_MbimCoreDb.exit_event,
                               g_MbimCoreDb.sleep_event};
    g_MbimCoreDb.msg_mbox = nullptr;
    g_MbimCoreDb.io_mbox = nullptr;
    g_MbimCoreDb.exit_event = nullptr;
    g_MbimCoreDb.sleep_event = nullptr;
    return resources;
}

// The modem message that the parameter record of a reply or indication points to.
void FreeModemMessage(void* param)
{
    auto* record = static_cast<mdm_cb_param*>(param);
    if (record != nullptr && record->buffer != nullptr)
        MEMUTIL_FREE(record->buffer);
}

// Frees every message held, unhandled; a CORE_EXIT_MSG among them sets the exit event afterwards.
void DrainMailbox(sys_mbox* mbox, HANDLE exit_event)
{
    if (mbox == nullptr || sys_mbox_empty(mbox))
        return;
    bool exitSeen = false;
    tag_T_RIL_MSG* msg = nullptr;
    while (sys_mbox_fetch(mbox, &msg) == 1) {
        if (msg->msg_type == MDMRSPCB_MSG || msg->msg_type == MDMINDCB_MSG) {
            RIL_TRACE(RIL_MASK_FLOW, msg->msg_type == MDMRSPCB_MSG
                                         ? "tag_T_RIL_MSG::Free : rsp cb param present for cleanup"
                                         : "tag_T_RIL_MSG::Free : ind cb param present for cleanup");
            FreeModemMessage(msg->msg_type == MDMRSPCB_MSG ? msg->rspcb.param : msg->indcb.param);
        }
        exitSeen = exitSeen || msg->msg_type == CORE_EXIT_MSG;
        ril_msg_free(&msg);
    }
    if (exitSeen)
        Mbim_Event_set(exit_event);
}

// Drains and frees what a stop took away. Messages still parked for an asleep modem are discarded.
void ReleaseResources(CoreResources& resources)
{
    RIL_TRACE(RIL_MASK_FLOW, "clean_message_queue++  ______________>>");
    DrainMailbox(resources.msg_mbox, resources.exit_event);
    DrainMailbox(resources.io_mbox, resources.exit_event);
    if (resources.io_mbox != nullptr && resources.io_mbox->count != 0) {
        RIL_TRACE(RIL_MASK_FLOW, "%s: %d parked messages discarded unsent", __func__,
                  resources.io_mbox->count);
        sys_mbox_signal_awake(resources.io_mbox);
        DrainMailbox(resources.io_mbox, resources.exit_event);
    }
    RIL_TRACE(RIL_MASK_FLOW, "clean_message_queue--  ______________<<");
    sys_mbox_free(resources.msg_mbox);
    sys_mbox_free(resources.io_mbox);
    if (resources.exit_event != nullptr)
        mbimcore_event_delete(&resources.exit_event);
    if (resources.sleep_event != nullptr)
        mbimcore_event_delete(&resources.sleep_event);
    resources = {};
}

// At the worker's end: a worker that outlived its stop releases what the stop handed it.
void FinishWorker()
{
    int expected = kRunning;
    if (s_worker_state.compare_exchange_strong(expected, kNoWorker) || expected != kOrphaned)
        return;
    WorkerHandover* handover = s_handover;
    s_handover = nullptr;
    RIL_TRACE(RIL_MASK_WARNING,
              "mbimcore_handler : ended after its stop, releasing the mailboxes handed over");
    ReleaseResources(handover->resources);
    // Its own handles: the stop could not close them while the thread ran.
    Mbim_Event_delete(&handover->end_event);
    Mbim_Event_delete(&handover->thread);
    MEMUTIL_FREE(handover);
    s_worker_state.store(kNoWorker);
}

// Ends the worker: true when it has ended (or there was none), false when it was handed the resources.
bool EndWorker()
{
    os_thread_rec& worker = g_MbimCoreDb.worker;
    if (worker.thread == nullptr || worker.end_event == nullptr) {
        Mbim_Thread_exit(&worker, 0, kWorkerStopWaitMs); // traces that there is nothing to end
        return true;
    }
    if (Mbim_Thread_exit(&worker, 0, kWorkerStopWaitMs) == 0)
        return true;
    auto* handover = static_cast<WorkerHandover*>(MEMUTIL_ALLOC(sizeof(WorkerHandover)));
    if (handover != nullptr) {
        handover->resources = DetachResources();
        handover->thread = worker.thread;
        handover->end_event = worker.end_event;
        s_handover = handover;
        int expected = kRunning;
        if (s_worker_state.compare_exchange_strong(expected, kOrphaned)) {
            worker = {};
            RIL_TRACE(RIL_MASK_WARNING,
                      "%s: worker still running after %u ms, it releases the mailboxes when it ends",
                      __func__, kWorkerStopWaitMs);
            return false;
        }
        // It ended meanwhile: release here as usual.
        s_handover = nullptr;
        ReleaseResources(handover->resources);
        MEMUTIL_FREE(handover);
    }
    Mbim_Thread_exit(&worker, 0, INFINITE);
    return true;
}

// ---- event input ---------------------------------------------------------------------------------

// Markers left in the read buffer, so that a read that delivered nothing shows.
constexpr uint8_t kMarkerHostCommand = 0xAD;
constexpr uint8_t kMarkerHostCommandToModem = 0xEE;
constexpr uint8_t kMarkerModemMessage = 0xDE;
constexpr uint8_t kMarkerModemMessageCopy = 0xAE;

enum : uint32_t {
    kMbimOpenMsg = 1,
    kMbimCloseMsg = 2,
    kMbimHostErrorMsg = 4,
    kMbimOpenDone = 0x80000001,
    kMbimCloseDone = 0x80000002,
    kMbimCommandDone = 0x80000003,
    kMbimIndicateStatus = 0x80000007,
};

constexpr int kMbimHeaderSize = 12;

uint32_t Word(const uint8_t* buffer, int offset)
{
    uint32_t value;
    memcpy(&value, buffer + offset, sizeof(value));
    return value;
}

// One announced message read into the receive buffer, or into a block of its own when larger.
class AnnouncedRead {
public:
    explicit AnnouncedRead(int announced) : announced_(announced)
    {
        int allocated = 0;
        buffer_ = CheckBufAndAllocateIfNeeded(g_MbimCoreDb.rcv_buf, announced, &allocated);
        allocated_ = allocated != 0;
        capacity_ = allocated_ ? static_cast<ULONG>(announced) + 1 : MBIMCORE_RCV_BUF_SIZE;
    }
    ~AnnouncedRead()
    {
        if (allocated_)
            MEMUTIL_FREE(buffer_);
    }
    AnnouncedRead(const AnnouncedRead&) = delete;
    AnnouncedRead& operator=(const AnnouncedRead&) = delete;

    uint8_t* Buffer() const { return buffer_; }

    // Reads through `read`, offering the buffer's capacity; the message length delivered, or -1 when
    // nothing usable came (no buffer, no callback, no data, or more than the buffer holds).
    int Read(CIDReadCallback read, int context, ULONG route, uint8_t marker)
    {
        if (buffer_ == nullptr)
            return -1;
        memset(buffer_, 0, announced_ > 0 ? static_cast<size_t>(announced_) : 1);
        buffer_[0] = marker;
        if (read == nullptr) {
            RIL_TRACE(RIL_MASK_ERROR, "Handle_Event_Input : no read callback registered, event dropped");
            return -1;
        }
        CIDTransportDescriptor descriptor = {};
        descriptor.Header.Route = route;
        descriptor.Header.SubType = 1;
        descriptor.Header.Length = capacity_;
        descriptor.Buffer = buffer_;
        int delivered = 0;
        int result = read(context, &descriptor, &delivered);
        if (delivered == 0 || descriptor.Header.Length == 0) {
            RIL_TRACE(RIL_MASK_FLOW, "Handle_Event_Input : Caution!  Zero Len cid!, ret= %d", result);
            return -1;
        }
        if (descriptor.Header.Length > capacity_) {
            RIL_TRACE(RIL_MASK_ERROR,
                      "Handle_Event_Input : delivered length %u exceeds the buffer's %u, dropped",
                      descriptor.Header.Length, capacity_);
            return -1;
        }
        return static_cast<int>(descriptor.Header.Length);
    }

private:
    int announced_;
    uint8_t* buffer_ = nullptr;
    bool allocated_ = false;
    ULONG capacity_ = 0;
};

// ---- request switch ------------------------------------------------------------------------------

struct RequestRoute {
    int uuid_index;
    int ReqID;
    ril_request_handler handler;
};

const RequestRoute kRequestRoutes[] = {
    {1, 1, ril_request_DEVICE_CAPS_handler},
    {1, 16, ril_request_DEVICE_SERVICES_handler},
    {18, 3, ril_request_MS_LTE_ATTACH_CONFIG_handler_for_mbim_mdm},
    {18, 15, ril_request_VERSION_handler},
    {22, 4, ril_request_mbim_sar_external_handler_for_mbim_mdm},
    {23, 3, ril_request_mbim_DEVICEMODE_handler_for_mbim_mdm},
    {23, 50, ril_request_mbim_RVAD_BASE_STATIONS_INFO_handler},
};

// ---- dispatch ------------------------------------------------------------------------------------

bool ContextInUse(int context_id)
{
    return rilreq_state_info[context_id & 0xFF].entry_in_use != 0;
}

void Dispatch(tag_T_RIL_MSG* msg)
{
    switch (msg->msg_type) {
    case RILREQ_MSG:
        RIL_TRACE(
            RIL_MASK_FLOW,
            "mbimcore_handler :  RILREQ_MSG token = %p, msgp= %p, ReqID = %d uuid_index = %d SIM ID = %d",
            msg->req.token, msg, msg->req.ReqID, msg->req.uuid_index, msg->req.simid);
        on_request_handler(msg->req.simid, msg->req.ReqID, msg->req.uuid_index, msg->req.is_set,
                           msg->req.data, msg->req.dlen, msg->req.token);
        break;
    case MDMRSPCB_MSG:
        if (msg->rspcb.cb != nullptr && ContextInUse(msg->rspcb.context_id)) {
            mdmril_rspcb_handler(msg->rspcb.cb, msg->rspcb.simid, msg->rspcb.param, msg->rspcb.context_id);
        } else {
            RIL_TRACE(RIL_MASK_WARNING,
                      "mbimcore_handler :  Warning, rilreq_state_info[%d].entry_in_use is FALSE",
                      msg->rspcb.context_id);
            FreeModemMessage(msg->rspcb.param);
        }
        break;
    case MDMRSPCB_PARAMS_MSG:
        if (msg->rspcb_params.cb != nullptr && ContextInUse(msg->rspcb_params.context_id))
            msg->rspcb_params.cb(msg->rspcb_params.simid, msg->rspcb_params.context_id, msg->rspcb_params.pr1,
                                 msg->rspcb_params.pr2, msg->rspcb_params.pr3, nullptr);
        else
            RIL_TRACE(RIL_MASK_WARNING,
                      "mbimcore_handler : Warning, rilreq_state_info[%d].entry_in_use is FALSE",
                      msg->rspcb_params.context_id);
        break;
    case MDMINDCB_MSG:
        if (msg->indcb.cb != nullptr)
            msg->indcb.cb(msg->indcb.simid, msg->indcb.param, nullptr);
        else
            FreeModemMessage(msg->indcb.param);
        break;
    case MDMINDCB_PARAMS_MSG:
        if (msg->indcb_params.cb != nullptr)
            msg->indcb_params.cb(msg->indcb_params.simid, msg->indcb_params.pr1, msg->indcb_params.pr2,
                                 msg->indcb_params.pr3, nullptr);
        break;
    case ATMSRSPCB_MSG:
        // Context 0 carries no request (an unsolicited AT result), so nothing can have gone stale.
        if (msg->atrspcb.cb == nullptr)
            break;
        if (msg->atrspcb.context_id == 0)
            msg->atrspcb.cb(msg->atrspcb.simid, 0, msg->atrspcb.param, nullptr);
        else
            mdmril_rspcb_handler(msg->atrspcb.cb, msg->atrspcb.simid, msg->atrspcb.param,
                                 msg->atrspcb.context_id);
        break;
    case EVT_INPUT_MSG: {
        EventControlData record = msg->evt.ev_data;
        RIL_TRACE(RIL_MASK_FLOW,
                  "mbimcore_handler : EVT_INPUT_MSG size = %d, t,l,v = %d, %d_ %d __ %1X %1X __ %01X %01X",
                  record.evsize, record.t, record.l, record.v[0], record.v[1], record.v[2], record.v[3],
                  record.v[4]);
        Handle_Event_Input(msg->evt.executor_id, &record);
        break;
    }
    case EVT_INPUT_SAR_MSG:
        if (msg->sar.cmd_type == 1)
            trace_hex_bufs(msg->sar.sar_data, nullptr, msg->sar.sar_data_len, "Sar Bytes Received From BIOS");
        Handle_Input_SAR_SERVICES_Internal_Cid_Handler(msg->sar.executor_id, msg->sar.sar_data_len,
                                                       msg->sar.sar_data, msg->sar.cmd_type);
        break;
    case RIL_OUTPUT_PENDING_MSG:
        mbim_send_pending_IO_message(msg->pending.executor_id, msg->pending.out_len, msg->pending.outbuf,
                                     msg->pending.out_type, msg->pending.transaction_id);
        break;
    default:
        RIL_TRACE(RIL_MASK_FLOW, "mbimcore  :p_msg->msg_type = %d", msg->msg_type);
        break;
    }
}

} // namespace

// ---- life cycle ----------------------------------------------------------------------------------

RadioCallbacks* RIL_init(const RilEnv* env, int value1, int value2, void* argument)
{
    ril_config_init(value1, value2);
    gs_pRilEnv = env;
    if (mdmril_init(&s_RadioCallbacks.radio_parameters, argument) != 0 && g_MbimCoreDb.s_ril_init != 1) {
        // A core that is down must not be reported open: the front would create endpoints for it.
        s_RadioCallbacks.radio_parameters.numofexecutors = 0;
    }
    RIL_TRACE(RIL_MASK_FLOW, "%s:  numofexecutors: %d", __func__,
              s_RadioCallbacks.radio_parameters.numofexecutors);
    RIL_TRACE(RIL_MASK_FLOW, "radio_parameters.phySlot[%d]: %d", 0,
              s_RadioCallbacks.radio_parameters.phySlot[0]);
    RIL_TRACE(RIL_MASK_FLOW, "RIL_init : Triggerring Sar Init");
    mbim_sar_init();
    return &s_RadioCallbacks;
}

void RIL_close(int isShutdown)
{
    RIL_TRACE(RIL_MASK_FLOW, "RIL_close++  ______________>>    isShutdown in: %d", isShutdown);
    RIL_TRACE(RIL_MASK_FLOW, "RIL_close : Triggerring Sar Destroy");
    mbim_sar_destroy();
    mdmril_destroy();
}

void RIL_Data_Cleanup(void)
{
    RIL_TRACE(RIL_MASK_FLOW, "RIL_Data_Cleanup++  ______________>>");
    RIL_TRACE(RIL_MASK_FLOW, "RIL_Data_Cleanup--  ______________<<");
}

int mdmril_init(RIL_RadioParameters* params, void*)
{
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s++", __func__);
    if (g_MbimCoreDb.s_ril_init == 1 || s_worker_state.load() != kNoWorker) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: refused, the core %s", __func__,
                  g_MbimCoreDb.s_ril_init == 1 ? "runs already" : "still has a worker ending");
        return -1;
    }
    _MbimCoreDataBase::Reset(&g_MbimCoreDb);
    mdmril_ctxt_table_reset();

    CoreResources made = {sys_mbox_new(MBIMCORE_MSG_MBOX_NAME), sys_mbox_new(MBIMCORE_IO_MBOX_NAME),
                          mbimcore_msg_event_create(MBIMCORE_EXIT_EVENT_NAME), nullptr};
    mbimcore_sleep_event_create(&made.sleep_event);
    if (made.msg_mbox == nullptr || made.io_mbox == nullptr || made.msg_mbox->event == nullptr ||
        made.io_mbox->event == nullptr || made.exit_event == nullptr || made.sleep_event == nullptr) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: mailboxes or events could not be created", __func__);
        ReleaseResources(made);
        return -1;
    }
    if (!g_MbimCoreDb.ctxt_lock_inited) {
        Mbim_Mutex_init(&g_MbimCoreDb.ctxt_lock);
        g_MbimCoreDb.ctxt_lock_inited = 1;
        RIL_TRACE(RIL_MASK_FLOW, "mdmril_init : ctxt id lock mutex inited!");
    }
    {
        MbimCoreGate gate;
        g_MbimCoreDb.msg_mbox = made.msg_mbox;
        g_MbimCoreDb.io_mbox = made.io_mbox;
        g_MbimCoreDb.exit_event = made.exit_event;
        g_MbimCoreDb.sleep_event = made.sleep_event;
    }
    g_MbimCoreDb.worker = {};
    s_worker_state.store(kRunning);
    if (Mbim_Thread_create_with_event(MBIMCORE_WORKER_NAME, nullptr, mbimcore_handler, 0,
                                      &g_MbimCoreDb.worker) != 0) {
        int error = errno;
        char text[256] = {};
        strerror_s(text, sizeof(text), error);
        RIL_TRACE(RIL_MASK_WARNING, "ril_task create failed, errno = %d (%s)", error, text);
        s_worker_state.store(kNoWorker);
        CoreResources taken = DetachResources();
        ReleaseResources(taken);
        return -1;
    }
    g_MbimCoreDb.mbim_open_done = 0;
    for (sim_slot_state& slot : sim_slot_info)
        slot.slot_state = 0;
    {
        MbimCoreGate gate;
        g_MbimCoreDb.s_ril_init = 1;
    }
    RIL_TRACE(RIL_MASK_FLOW, "mdmril_init : mbimcore handler thread %p created +event, s_ril_init 1",
              g_MbimCoreDb.worker.thread);
    return modem_init(params != nullptr ? &params->numofexecutors : nullptr);
}

int mdmril_destroy(void)
{
    RIL_TRACE(RIL_MASK_FLOW, "mdmril_destroy++  ______________>>");
    {
        // Posts stop before the worker is told to end.
        MbimCoreGate gate;
        g_MbimCoreDb.s_ril_init = 0;
    }
    if (EndWorker() && g_MbimCoreDb.ctxt_lock_inited) {
        Mbim_Mutex_delete(&g_MbimCoreDb.ctxt_lock);
        g_MbimCoreDb.ctxt_lock_inited = 0;
    }
    mdmril_release_mem();
    memutil_cleanup();
    RIL_TRACE(RIL_MASK_FLOW, "mdmril_destroy--  ______________<<");
    return 0;
}

int mdmril_deinit(void)
{
    mdmril_destroy();
    return 0;
}

void mdmril_release_mem(void)
{
    g_MbimCoreDb.mbim_open_done = 0;
    CoreResources resources = DetachResources();
    ReleaseResources(resources);
    _MbimCoreDataBase::Reset(&g_MbimCoreDb);
}

int Sleep_ril(DWORD milliseconds)
{
    HANDLE event = g_MbimCoreDb.sleep_event;
    RIL_TRACE(RIL_MASK_FLOW, "Sleep_ril++  ______________>>   before rilsleep of %d mils, tim evt= %01d",
              milliseconds, event != nullptr);
    int result = Mbim_Event_wait(event, milliseconds);
    if (result == -2)
        RIL_TRACE(RIL_MASK_FLOW, "Sleep_ril--  ______________<<   ok, waited as expected for time %d",
                  milliseconds);
    else if (result == -1)
        RIL_TRACE(RIL_MASK_FLOW, "Sleep_ril--  ______________<<    sleep error , code= %d", result);
    return result;
}

bool mdmril_worker_alive(void)
{
    return s_worker_state.load() != kNoWorker;
}

// ---- worker --------------------------------------------------------------------------------------

unsigned mbimcore_handler(void* thread_record)
{
    auto* record = static_cast<os_thread_rec*>(thread_record);
    if (record == nullptr)
        return 0;
    // Its own copies: a stop that times out clears the record and the database under it.
    HANDLE end = record->end_event;
    sys_mbox* msgbox;
    sys_mbox* iobox;
    {
        MbimCoreGate gate;
        msgbox = g_MbimCoreDb.msg_mbox;
        iobox = g_MbimCoreDb.io_mbox;
    }
    for (;;) {
        tag_T_RIL_MSG* msg = nullptr;
        int fetched = 0;
        bool ioPending = sys_mbox_get_IOState(iobox) == 1 && !sys_mbox_empty(iobox);
        bool requestPending = !ioPending && !sys_mbox_empty(msgbox);
        if (ioPending || requestPending) {
            if (Mbim_Event_wait(end, 0) == 0) {
                RIL_TRACE(RIL_MASK_FLOW, "mbimcore_handler : ### STOP! Signal received cleaningup!!");
                break;
            }
            fetched = ioPending ? sys_mbox_fetch_IO(iobox, &msg) : sys_mbox_fetch(msgbox, &msg);
        } else {
            HANDLE handles[3] = {end, iobox->event, msgbox->event};
            int which = Mbim_Event_wait_multiple(handles, 3, INFINITE);
            if (which < 0) {
                // Pace a wait that keeps failing, and still hear the end event.
                int paused = Mbim_Event_wait(end, kFailedWaitPauseMs);
                if (paused == 0)
                    break;
                if (paused == -1)
                    Mbim_sleep(kFailedWaitPauseMs);
                continue;
            }
            if (which == 0) {
                RIL_TRACE(RIL_MASK_FLOW, "mbimcore_handler : mbimcore **####Exit! event received!!");
                break;
            }
            if (which == 1) {
                RIL_TRACE(RIL_MASK_FLOW, "mbimcore_handler : ***O Awake! event received!!");
                Mbim_Event_reset(iobox->event);
                fetched = sys_mbox_fetch_IO(iobox, &msg);
            } else {
                Mbim_Event_reset(msgbox->event);
                RIL_TRACE(RIL_MASK_FLOW, "mbimcore_handler : Msg Event %1p got signalled", msgbox->event);
                fetched = sys_mbox_fetch(msgbox, &msg);
            }
        }
        if (fetched == 1 && msg != nullptr) {
            Dispatch(msg);
            ril_msg_free(&msg);
        }
    }
    RIL_TRACE(RIL_MASK_FLOW, "mbimcore_handler--  ______________<<    mbimcore exited --");
    FinishWorker();
    return 0;
}

void Handle_Event_Input(int, const EventControlData* data)
{
    if (data == nullptr)
        return;
    int announced = EventControlDataLength(data);
    switch (data->t) {
    case 1:
    case EventKindHostCommand: {
        AnnouncedRead read(announced);
        int length =
            read.Read(g_CallbackRecord[0].ReadCidRequest, 0, TransportRouteBridge, kMarkerHostCommand);
        if (length > 0)
            MBIM_IOControl(0, read.Buffer(), length);
        break;
    }
    case EventKindHostCommandAlsoToModem: {
        AnnouncedRead read(announced);
        int length =
            read.Read(g_CallbackRecord[0].ReadCidRequest, 1, TransportRouteBoth, kMarkerHostCommandToModem);
        if (length <= 0)
            break;
        switch (check_IsOpenCloseType_Cid(read.Buffer(), length)) {
        case 0:
            MBIMMdm_rspcb_handler(0, read.Buffer(), announced, 0, TransportRouteBoth);
            break;
        case 2:
            RIL_TRACE(RIL_MASK_FLOW, "Handle_Event_Input : CLOSE Msg");
            MBIMMdm_closemsg_route(0, read.Buffer(), announced, TransportRouteBoth);
            [[fallthrough]];
        default:
            RIL_TRACE(RIL_MASK_FLOW, "Handle_Event_Input : OPEN/CLOSE MSG flowing into ihv");
            MBIM_IOControl(0, read.Buffer(), length);
            break;
        }
        break;
    }
    case EventKindModemMessage: {
        AnnouncedRead read(announced);
        if (read.Read(g_CallbackRecord[0].ReadVendorResponse, 1, TransportRouteBridge, kMarkerModemMessage) >
            0)
            processNonPassthrough_RspFromModem(read.Buffer(), announced);
        break;
    }
    case EventKindModemMessageCopy: {
        AnnouncedRead read(announced);
        int length =
            read.Read(g_CallbackRecord[0].ReadVendorResponse, 1, TransportRouteBoth, kMarkerModemMessageCopy);
        if (length > 0)
            MBIMMdm_rspcb_handler(0, read.Buffer(), announced,
                                  length >= kMbimHeaderSize ? static_cast<int>(Word(read.Buffer(), 8)) : 0,
                                  TransportRouteBoth);
        break;
    }
    case EventKindModemIoAwake:
        RIL_TRACE(RIL_MASK_FLOW, "Handle_Event_Input :  Awake21 Normal mode");
        break;
    case EventKindModemIoAsleep:
        RIL_TRACE(RIL_MASK_FLOW, "Handle_Event_Input :  sleep21!");
        break;
    default:
        RIL_TRACE(RIL_MASK_FLOW, "Handle_Event_Input : Caution!! Unknown event %d !!", data->t);
        break;
    }
}

void on_request_handler(int simid, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                        void* token)
{
    for (const RequestRoute& route : kRequestRoutes) {
        if (route.uuid_index == uuid_index && route.ReqID == ReqID) {
            route.handler(simid, ReqID, uuid_index, is_set, data, dlen, token);
            return;
        }
    }
    if (uuid_index == kInternalUuidIndex && (ReqID == 1 || ReqID == 2 || ReqID == 4)) {
        // The front answers its own OPEN and CLOSE.
        if (ReqID == 1)
            RIL_TRACE(RIL_MASK_FLOW, "on_request_handler : open msg serv");
        else if (ReqID == 2)
            RIL_TRACE(RIL_MASK_FLOW, "on_request_handler : close msg serv");
        return;
    }
    RIL_TRACE(RIL_MASK_WARNING, "%s: Unsupported request ID=%d, UUID_INDEX = %d", __func__, ReqID,
              uuid_index);
    if (gs_pRilEnv != nullptr && gs_pRilEnv->RequestComplete != nullptr)
        gs_pRilEnv->RequestComplete(token, RIL_E_REQUEST_NOT_SUPPORTED, nullptr, 0);
}

void mdmril_rspcb_handler(ril_rsp_cb cb, int simid, void* param, int context_id)
{
    if (!ContextInUse(context_id)) {
        RIL_TRACE(RIL_MASK_WARNING, "%s-- invalidating ctxt id %d", __func__, context_id);
        return;
    }
    if (cb != nullptr)
        cb(simid, context_id, param, nullptr);
}

uint8_t* CheckBufAndAllocateIfNeeded(uint8_t* buffer, int length, int* allocated)
{
    if (allocated != nullptr)
        *allocated = 0;
    if (length <= MBIMCORE_RCV_BUF_SIZE)
        return buffer;
    RIL_TRACE(RIL_MASK_FLOW,
              "CheckBufAndAllocateIfNeeded :  Allocating memory as more than current available mem buf is to "
              "be read %d",
              length);
    auto* block = static_cast<uint8_t*>(MEMUTIL_ALLOC(static_cast<size_t>(length) + 1));
    if (block == nullptr) {
        RIL_TRACE(RIL_MASK_ERROR, "CheckBufAndAllocateIfNeeded : malloc failed!");
        return nullptr;
    }
    if (allocated != nullptr)
        *allocated = 1;
    return block;
}

int check_IsOpenCloseType_Cid(const uint8_t* buffer, int length)
{
    if (buffer == nullptr || length < kMbimHeaderSize) {
        RIL_TRACE(RIL_MASK_ERROR, "check_IsOpenCloseType_Cid : Error : cidbuf: %s, buflen= %d",
                  buffer ? ".." : "Null", length);
        return 0;
    }
    uint32_t type = Word(buffer, 0);
    if (type == kMbimOpenMsg) {
        RIL_TRACE(RIL_MASK_FLOW, "check_IsOpenCloseType_Cid : MBIM_CID_OPEN_MSG received");
        return 1;
    }
    if (type == kMbimCloseMsg) {
        RIL_TRACE(RIL_MASK_FLOW, "check_IsOpenCloseType_Cid : MBIM_CID_CLOSE_MSG received");
        return 2;
    }
    return 0;
}

void processNonPassthrough_RspFromModem(uint8_t* buffer, int length)
{
    if (buffer == nullptr || length < kMbimHeaderSize)
        return;
    switch (Word(buffer, 0)) {
    case kMbimOpenDone:
        RIL_TRACE(RIL_MASK_FLOW, "processNonPassthrough_RspFromModem : MBIM_MESSAGE_TYPE_OPEN");
        break;
    case kMbimCloseDone:
        RIL_TRACE(RIL_MASK_FLOW, "processNonPassthrough_RspFromModem : MBIM_MESSAGE_TYPE_CLOSE");
        break;
    case kMbimHostErrorMsg:
        RIL_TRACE(RIL_MASK_FLOW,
                  "processNonPassthrough_RspFromModem : MBIM_MESSAGE_TYPE_HOST_ERROR - MBB ErrorCode=%d",
                  length >= kMbimHeaderSize + 4 ? static_cast<int>(Word(buffer, kMbimHeaderSize)) : 0);
        break;
    case kMbimCommandDone:
    case kMbimIndicateStatus:
        MBIMMdm_rspcb_handler(0, buffer, length, static_cast<int>(Word(buffer, 8)), TransportRouteBridge);
        break;
    default:
        break;
    }
}

void clean_mbox_message_queue(sys_mbox* mbox)
{
    DrainMailbox(mbox, g_MbimCoreDb.exit_event);
}

void clean_message_queue(void)
{
    RIL_TRACE(RIL_MASK_FLOW, "clean_message_queue++  ______________>>");
    {
        MbimCoreGate gate;
        if (g_MbimCoreDb.s_ril_init == 1) {
            clean_mbox_message_queue(g_MbimCoreDb.msg_mbox);
            clean_mbox_message_queue(g_MbimCoreDb.io_mbox);
        }
    }
    RIL_TRACE(RIL_MASK_FLOW, "clean_message_queue--  ______________<<");
}

void RilCore_send_request_toSelf(int stack_id, int ReqID, int uuid_index, uint8_t is_set, void* data,
                                 uint64_t dlen, void* token)
{
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s++", __func__);
    PostRequest(stack_id, ReqID, uuid_index, is_set, data, dlen, token);
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s--", __func__);
}
