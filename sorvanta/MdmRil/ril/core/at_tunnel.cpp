#include "at_tunnel.h"

#include "memutil.h"
#include "os_util.h"
#include "ril_ctxt.h"
#include "ril_msg.h"
#include "ril_trace.h"

#include <atomic>
#include <string.h>

namespace {

#define AT_TRACE_FUNC(format, name) RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, format, name)

// Notification ids the unsolicited AT result would go out under.
constexpr int kAtTunnelNotification = 0x6803;
constexpr int kAtTunnelLegacyNotification = 0x8001;

// Posts the record with a NUL-terminated copy of the text behind it, so that nothing on the worker
// reads or writes the caller's buffer after the caller has moved on.
int PostAt(int executor, int context_id, ril_rsp_cb cb, const char* text, uint32_t length)
{
    size_t size = sizeof(at_cb_param) + (text != nullptr ? length + 1 : 0);
    auto* record = static_cast<at_cb_param*>(MEMUTIL_ALLOC(size));
    if (record == nullptr)
        return -1;
    if (text != nullptr) {
        memcpy(record + 1, text, length);
        // Marks the text as given; the worker points it at the copy (TextOf).
        record->text = reinterpret_cast<char*>(record + 1);
        record->length = length;
    }
    int result = RilCore_post_atmsrspcb(executor, context_id, cb, record, size);
    MEMUTIL_FREE(record);
    return result;
}

// The text behind the message's copy of a record, or null when the poster had none.
char* TextOf(at_cb_param* record, size_t* length)
{
    if (record == nullptr || record->text == nullptr)
        return nullptr;
    record->text = reinterpret_cast<char*>(record + 1);
    *length = record->length;
    return record->text;
}

// ---- timer task ----------------------------------------------------------------------------------

os_thread_rec s_timer_thread = {};
HANDLE s_timer_event = nullptr;
std::atomic<uint32_t> s_timer_period_ms{0};

unsigned TimerTask(void* argument)
{
    auto* record = static_cast<os_thread_rec*>(argument);
    HANDLE handles[2] = {record->end_event, s_timer_event};
    for (;;) {
        int which = Mbim_Event_wait_multiple(handles, 2, INFINITE);
        if (which == 0)
            break;
        if (which != 1)
            continue;
        uint32_t period = s_timer_period_ms.load();
        if (period == 0)
            break;
        Mbim_Event_reset(s_timer_event);
        Mbim_sleep(period);
        AT_TRACE_FUNC("%s++\n", "TimerCallbackHandler");
        AT_TRACE_FUNC("%s--\n", "TimerCallbackHandler");
    }
    AT_TRACE_FUNC("%s--\n", "TimerTask");
    return 0;
}

} // namespace

void ATEncapsulatedRspCb(int executor, int context_id, const char* text, uint32_t length)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    PostAt(executor, context_id, RilATEncapsulatedRspCb, text, length);
    AT_TRACE_FUNC("%s--\n", __func__);
}

int ATEncapsulatedNtfCb(int executor, const char* text, uint32_t length)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    // Context 0: the worker runs it without asking the context table, so every result in flight is
    // served and nothing here touches the table from the caller's thread.
    RIL_TRACE(RIL_MASK_FLOW, "%s:context_id=%x\n", __func__, 0);
    int result = PostAt(executor, 0, RilATEncapsulatedNtfCb, text, length);
    AT_TRACE_FUNC("%s--\n", __func__);
    return result;
}

void RilATEncapsulatedRspCb(int, int context_id, void* param, void*)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    AT_TRACE_FUNC("%s++\n", __func__);
    auto* record = static_cast<at_cb_param*>(param);
    size_t length = 0;
    const char* text = TextOf(record, &length);
    if (text != nullptr && length >= 2) {
        if (length < 4) {
            RIL_TRACE(RIL_MASK_FLOW, "RilATEncapsulatedRspCb : resp few chars: %c%c\n", text[0], text[1]);
            RIL_TRACE(RIL_MASK_FLOW, "RilATEncapsulatedRspCb : resp few bytes: %1x%1x\n", text[0], text[1]);
        } else {
            RIL_TRACE(RIL_MASK_FLOW, "RilATEncapsulatedRspCb : resp few chars: %c%c%c%c\n", text[0], text[1],
                      text[2], text[3]);
            RIL_TRACE(RIL_MASK_FLOW, "RilATEncapsulatedRspCb : resp few bytes: %1x%1x%1x%1x\n", text[0],
                      text[1], text[2], text[3]);
        }
    }
    rilreq_state_entry& entry = rilreq_state_info[context_id & 0xFF];
    if (entry.token != nullptr && gs_pRilEnv != nullptr && gs_pRilEnv->RequestComplete != nullptr) {
        if (text != nullptr) {
            gs_pRilEnv->RequestComplete(entry.token, RIL_E_SUCCESS, text, length);
        } else {
            const int32_t failure = RIL_E_GENERIC_FAILURE;
            gs_pRilEnv->RequestComplete(entry.token, RIL_E_GENERIC_FAILURE, &failure, sizeof(failure));
        }
    }
    entry.entry_in_use = 0;
    AT_TRACE_FUNC("%s--\n", __func__);
}

void RilATEncapsulatedNtfCb(int executor, int context_id, void* param, void*)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    RIL_TRACE(RIL_MASK_WARNING, "%s: AT URC received\n", __func__);
    size_t length = 0;
    const char* text = TextOf(static_cast<at_cb_param*>(param), &length);
    for (size_t i = 0; text != nullptr && i < length; i++)
        RIL_TRACE(RIL_MASK_WARNING, "%c", text[i]);
    RIL_TRACE(RIL_MASK_WARNING, "\n");
    RIL_TRACE(RIL_MASK_FLOW, "%s: Sent AT URC to MBIM_CID_RVAD_NRTC_AT_TUNNEL\n", __func__);
    RilCore_send_unsolicited_noop(executor, kAtTunnelNotification);
    RIL_TRACE(RIL_MASK_FLOW, "%s: Sent AT URC to REVAD_ATTUNNEL:MBIM_CID_RVAD_NRTC_AT_TUNNEL\n", __func__);
    RilCore_send_unsolicited_noop(executor, kAtTunnelLegacyNotification);
    RIL_TRACE(RIL_MASK_FLOW, "%s: Sent AT URC to MBIM_CID_RVAD_ATTUNNEL\n", __func__);
    rilreq_state_info[context_id & 0xFF].entry_in_use = 0;
    AT_TRACE_FUNC("%s--\n", __func__);
}

int CreateTimerTask(void)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    s_timer_thread = {};
    Mbim_Event_create(nullptr, "TimerEvent", &s_timer_event, OS_EVENT_MANUAL_RESET);
    if (s_timer_event == nullptr) {
        AT_TRACE_FUNC("%s--: Event Create failed\n", __func__);
        return -1;
    }
    if (Mbim_Thread_create_with_event("LocalTimerThd", nullptr, TimerTask, 0, &s_timer_thread) != 0) {
        Mbim_Event_delete(&s_timer_event);
        AT_TRACE_FUNC("%s--: Event Thread failed\n", __func__);
        return -1;
    }
    AT_TRACE_FUNC("%s--\n", __func__);
    return 0;
}

void RemoveTimerTask(void)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    if (s_timer_thread.thread != nullptr)
        Mbim_Thread_exit(&s_timer_thread, 0, INFINITE);
    if (s_timer_event != nullptr)
        Mbim_Event_delete(&s_timer_event);
    AT_TRACE_FUNC("%s--: Timer Thread terminated\n", __func__);
}

void MdmRilSetTimer(uint32_t milliseconds, int)
{
    AT_TRACE_FUNC("%s++\n", __func__);
    s_timer_period_ms.store(milliseconds);
    Mbim_Event_set(s_timer_event);
    AT_TRACE_FUNC("%s--\n", __func__);
}
