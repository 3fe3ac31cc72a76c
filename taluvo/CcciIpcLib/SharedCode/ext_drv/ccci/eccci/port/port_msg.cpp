// The message ports: the system port answers or dispatches the modem's system messages, the control
// ports hand handshake and exception messages to the state machine and the port enumeration to the port
// layer, and the poll port hands its reply to the state machine from the receive path. The system and
// control ports each run a thread that feeds their handler; it ends when the driver's threads are told
// to terminate or when the port's uninit withdraws the handler, which waits for it.
#include "port_kinds.h"

#include "IpcContext.h"
#include "ccci_bm.h"
#include "ccci_fsm.h"

#include <string.h>

#define TAG CCCI_PORT_TAG_TEXT

namespace
{

enum sys_msg_action { SYS_MSG_DISPATCH, SYS_MSG_ANSWER };

struct sys_msg_rule {
    u32 id;
    enum sys_msg_action action;
    u32 target; // the id dispatched, or the answer's id
};

const sys_msg_rule g_sys_msg_rules[] = {
    {0x102, SYS_MSG_DISPATCH, 0x123}, {0x103, SYS_MSG_DISPATCH, 0x123}, {0x104, SYS_MSG_DISPATCH, 0x123},
    {0x107, SYS_MSG_DISPATCH, 0x123}, {0x123, SYS_MSG_DISPATCH, 0x123}, {0x114, SYS_MSG_ANSWER, 0x115},
    {0x116, SYS_MSG_ANSWER, 0x117},   {0x11E, SYS_MSG_DISPATCH, 0x11E}, {0x124, SYS_MSG_DISPATCH, 0x124},
};

#define SYS_MSG_TABLE_BITS 0x1100u
#define SYS_MSG_TABLE_A 0x1000u
#define SYS_MSG_TABLE_B 0x0100u

// Modem 0's tables A and B.
ccci_sys_msg_cb g_sys_msg_handlers[2][CCCI_SYS_MSG_SLOTS];

ccci_sys_msg_cb* sys_msg_slot(u32 md, u32 id)
{
    u32 index = id & 0xFFu;
    if (md >= CCCI_PORT_MAX_MD || index >= CCCI_SYS_MSG_SLOTS)
        return NULL;
    switch (id & SYS_MSG_TABLE_BITS) {
    case SYS_MSG_TABLE_A:
        return &g_sys_msg_handlers[0][index];
    case SYS_MSG_TABLE_B:
        return &g_sys_msg_handlers[1][index];
    default:
        return NULL;
    }
}

ccci_port_rx_handler port_handler(struct ccci_port* port)
{
    return reinterpret_cast<ccci_port_rx_handler>(
        ReadPointerAcquire(reinterpret_cast<PVOID volatile*>(&port->rx_handler)));
}

void set_port_handler(struct ccci_port* port, ccci_port_rx_handler handler)
{
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&port->rx_handler), reinterpret_cast<PVOID>(handler));
}

struct sk_buff* take_head(struct ccci_port* port)
{
    WdfSpinLockAcquire(port->rx_queue.lock);
    struct sk_buff* skb = __skb_dequeue(&port->rx_queue);
    WdfSpinLockRelease(port->rx_queue.lock);
    return skb;
}

// A port that has a thread keeps it: a table loaded again does not start a second one.
int msg_port_init(struct ccci_port* port, ccci_port_rx_handler handler)
{
    ccci_dbg(TAG, "%s: init", port->name);
    port->rx_limit = PORT_MSG_RX_LIMIT;
    port->from_pool = 1;
    set_port_handler(port, handler);
    if (port->thread != NULL)
        return 0;
    HANDLE thread = NULL;
    NTSTATUS status = win_create_thread(&thread, port_thread, port);
    if (!NT_SUCCESS(status)) {
        ccci_err(TAG, "%s: no message thread: 0x%08X", port->name, (u32)status);
        return 0;
    }
    port->thread = thread;
    port->thread_handle = thread;
    return 0;
}

void join_thread(struct ccci_port* port)
{
    HANDLE thread = port->thread;
    if (thread == NULL)
        return;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ccci_err(TAG, "%s: thread not waited for above passive level", port->name);
        return;
    }
    PVOID object = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, NULL))) {
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(object);
    }
    ZwClose(thread);
    port->thread = NULL;
    port->thread_handle = NULL;
}

} // namespace

const struct ccci_port_ops port_sys_ops = {
    port_sys_init, port_recv_skb, NULL, NULL, NULL, NULL, port_msg_uninit, NULL, NULL,
};

const struct ccci_port_ops port_ctrl_ops = {
    port_ctrl_init, port_recv_skb, NULL, NULL, NULL, NULL, port_msg_uninit, NULL, NULL,
};

const struct ccci_port_ops port_poll_ops = {
    port_poll_init, port_recv_skb, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
};

int port_sys_init(struct ccci_port* port)
{
    return msg_port_init(port, port_sys_handler);
}

int port_ctrl_init(struct ccci_port* port)
{
    return msg_port_init(port, port_ctrl_handler);
}

int port_poll_init(struct ccci_port* port)
{
    ccci_dbg(TAG, "%s: init", port->name);
    port->rx_limit = PORT_MSG_RX_LIMIT;
    port->from_pool = 1;
    set_port_handler(port, port_poll_handler);
    return 0;
}

void port_msg_uninit(struct ccci_port* port)
{
    set_port_handler(port, NULL);
    KeSetEvent(&port->rx_event, IO_NO_INCREMENT, FALSE);
    join_thread(port);
    port_purge_rx(port);
}

void port_thread(PVOID context)
{
    auto* port = static_cast<struct ccci_port*>(context);
    PKEVENT events[2] = {&port->rx_event, IpcGetTerminateThreadsEvent()};
    ccci_dbg(TAG, "%s: message thread runs", port->name);
    for (;;) {
        if (IpcShouldTerminateThreads(NULL))
            break;
        ccci_port_rx_handler handler = port_handler(port);
        if (handler == NULL)
            break;
        struct sk_buff* skb = take_head(port);
        if (skb != NULL) {
            handler(port, skb);
            continue;
        }
        int index;
        if (win_wait_any_event(ARRAYSIZE(events), events, &index))
            break;
        KeClearEvent(&port->rx_event);
    }
    ccci_dbg(TAG, "%s: message thread ends", port->name);
}

void port_sys_handler(struct ccci_port* port, struct sk_buff* skb)
{
    if (skb->len < CCCI_HEADER_SIZE) {
        ccci_err(PORT_SYS_TAG_TEXT, "%s: %u-byte message dropped", port->name, skb->len);
        bm_free_skb(skb, CCCI_PORT_TAG);
        return;
    }
    struct ccci_header header = ccci_header_read(skb);
    ccci_info(PORT_SYS_TAG_TEXT, "%s: data0 0x%x id 0x%x ch 0x%x arg 0x%x", port->name, header.data0, header.data1,
              header.channel, header.reserved);
    const sys_msg_rule* rule = NULL;
    for (const sys_msg_rule& candidate : g_sys_msg_rules)
        if (candidate.id == header.data1)
            rule = &candidate;
    if (rule == NULL) {
        ccci_warn(PORT_SYS_TAG_TEXT, "%s: message 0x%x dropped", port->name, header.data1);
    } else if (rule->action == SYS_MSG_DISPATCH) {
        ccci_sys_msg_dispatch(port->md_id, rule->target, header.reserved);
    } else {
        int r = ccci_port_send_msg(port, rule->target, header.reserved, 1);
        ccci_info(PORT_SYS_TAG_TEXT, "%s: message 0x%x answered with 0x%x: %d", port->name, header.data1,
                  rule->target, r);
    }
    bm_free_skb(skb, CCCI_PORT_TAG);
}

int ccci_sys_msg_register(u32 md, u32 id, ccci_sys_msg_cb callback)
{
    ccci_sys_msg_cb* slot = sys_msg_slot(md, id);
    if (slot == NULL)
        return -22;
    *slot = callback;
    return 0;
}

void ccci_sys_msg_dispatch(u32 md, u32 id, u32 argument)
{
    ccci_sys_msg_cb* slot = sys_msg_slot(md, id);
    if (slot == NULL || *slot == NULL) {
        ccci_info(PORT_SYS_TAG_TEXT, "md %u: no handler for system message 0x%x (0x%x)", md, id, argument);
        return;
    }
    (*slot)(md, argument);
}

// The control header's data length is trusted only as far as the frame reaches.
void port_ctrl_handler(struct ccci_port* port, struct sk_buff* skb)
{
    struct md_fsm* fsm = fsm_find(port->md_id);
    if (skb->len < CCCI_CTRL_FRAME_SIZE) {
        ccci_err(TAG, "%s: %u-byte control frame dropped", port->name, skb->len);
        bm_free_skb(skb, CCCI_PORT_TAG);
        return;
    }
    struct ccci_ctrl_header ctrl;
    memcpy(&ctrl, skb->data + CCCI_HEADER_SIZE, sizeof(ctrl));
    u32 available = skb->len - CCCI_CTRL_FRAME_SIZE;
    u32 length = ctrl.data_len < available ? ctrl.data_len : available;
    const u8* data = skb->data + CCCI_CTRL_FRAME_SIZE;
    ccci_info(TAG, "%s: control message %u arg 0x%x data %u of %u", port->name, ctrl.id, ctrl.arg, length,
              ctrl.data_len);
    int r = 0;
    switch (ctrl.id) {
    case CCCI_CTRL_HS:
        if (port->rx_ch == CCCI_CONTROL_RX)
            r = fsm_post_event(fsm, FSM_EVENT_MD_HS, data, length);
        else if (port->rx_ch == CCCI_SAP_CONTROL_RX)
            r = fsm_post_event(fsm, FSM_EVENT_SAP_HS, data, length);
        break;
    case 4: // exception messages: the state machine owns the buffer
    case 5:
    case 6:
    case 8:
        r = fsm_on_ctrl_msg(port->md_id, ctrl.id, skb);
        if (r != 0)
            ccci_err(TAG, "%s: exception message %u refused: %d", port->name, ctrl.id, r);
        return;
    case CCCI_CTRL_PORT_ENUM:
        r = ccci_port_enum(port->md_id, data, length);
        // Answered on the MD core's control channel whichever core asked: the modem expects it there.
        ccci_send_msg_to_md(port->md_id, CCCI_CONTROL_TX, CCCI_CTRL_PORT_ENUM, r == 0 ? 0 : CCCI_ENUM_REFUSED, 1);
        break;
    default:
        ccci_warn(TAG, "%s: control message %u dropped", port->name, ctrl.id);
        break;
    }
    if (r != 0)
        ccci_err(TAG, "%s: control message %u: %d", port->name, ctrl.id, r);
    bm_free_skb(skb, CCCI_PORT_TAG);
}

void port_poll_handler(struct ccci_port* port, struct sk_buff* skb)
{
    int r = fsm_on_poll_reply(port->md_id, skb);
    if (r != 0)
        ccci_err(TAG, "%s: poll reply refused: %d", port->name, r);
}
