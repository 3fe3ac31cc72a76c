// Arbitrary frames from the modem into the port layer's receive path: dispatch by channel and by queue,
// the sequence check and, through a control port, the port enumeration. Nothing reads outside the frame
// (the buffer is exactly the frame), every buffer ends taken or released, and no port is touched by a
// frame that is not its own.
#include <cstdint>
#include <cstring>

#include <host/host.h>
#include <host/loader.h>
#include <host/pnp.h>

#include "ccci_bm.h"
#include "ccci_fsm.h"
#include "ccci_hif.h"
#include "ccci_md.h"
#include "ccci_port.h"
#include "CurrentDevice.h"
#include "fsm.h"
#include "modem_object.h"
#include "taluvo_fuzz_device.h"

namespace
{

using taluvofuzz::Check;
using taluvofuzz::StartDevice;

int g_answer; // what the kinds answer: 0 taken, else CCCI_RX_BUSY or CCCI_RX_DROPPED

// A kind that reads every byte a real one would: the header of a channel port, the control header and
// the enumeration of a control port, the raw bytes of a queue owner.
int FuzzRecv(struct ccci_port* port, struct sk_buff* skb)
{
    if ((port->flags & PORT_F_RAW) == 0) {
        Check(skb->len >= CCCI_HEADER_SIZE);
        struct ccci_header header = ccci_header_read(skb);
        Check(header.channel == port->rx_ch);
        if ((port->rx_ch == CCCI_CONTROL_RX || port->rx_ch == CCCI_SAP_CONTROL_RX) && skb->len >= CCCI_CTRL_FRAME_SIZE) {
            struct ccci_ctrl_header ctrl;
            memcpy(&ctrl, skb->data + CCCI_HEADER_SIZE, sizeof(ctrl));
            u32 room = skb->len - CCCI_CTRL_FRAME_SIZE;
            if (ctrl.id == CCCI_CTRL_PORT_ENUM)
                ccci_port_enum(port->md_id, skb->data + CCCI_CTRL_FRAME_SIZE, ctrl.data_len < room ? ctrl.data_len : room);
        }
    }
    volatile u8 sum = 0;
    for (u32 i = 0; i < skb->len; i++)
        sum = sum + skb->data[i];
    if (g_answer == 0)
        bm_free_skb(skb, CCCI_PORT_TAG);
    return g_answer;
}

void FuzzState(struct ccci_port*, u32) {}
int FuzzChannel(struct ccci_port* port)
{
    port->enabled = !port->enabled;
    return 0;
}

const struct ccci_port_ops kFuzzKind = [] {
    struct ccci_port_ops ops = {};
    ops.recv_skb = FuzzRecv;
    ops.md_state_notify = FuzzState;
    ops.enable_channel = FuzzChannel;
    ops.disable_channel = FuzzChannel;
    return ops;
}();

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartDevice();
    const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
    memcpy(hif_path_map[0], map, sizeof(map));
    for (struct ccci_port& port : ccci_port_table)
        port.ops = &kFuzzKind;
    for (struct ccci_port& port : ccci_boot_port_table)
        port.ops = &kFuzzKind;
    Check(ccci_port_proxy_create(0, CCCI_TABLE_NORMAL) == 0);
    return 0;
}

// Byte 0: bit 0 the HIF (SAP or MD), bit 1 by queue instead of by channel, bits 2-3 the kinds' answer,
// bits 4-6 the modem state's index; byte 1: the queue; the rest is the frame.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > SKB_3_5K + 2)
        return 0;
    static const u32 states[] = {MD_STATE_READY, MD_STATE_INIT, MD_STATE_CORE_HS, MD_STATE_EXCEPTION,
                                 MD_STATE_BOOT_HS, MD_STATE_READY, MD_STATE_STOPPED, MD_STATE_READY};
    static const int answers[] = {0, CCCI_RX_BUSY, CCCI_RX_DROPPED, -22};
    u8 hif = data[0] & 1 ? CLDMA_HIF_MD : CLDMA_HIF_SAP;
    bool by_queue = (data[0] & 2) != 0;
    g_answer = answers[(data[0] >> 2) & 3];
    doubles::FsmState().md_state = states[(data[0] >> 4) & 7];
    u32 length = (u32)(size - 2);
    struct sk_buff* skb = alloc_skb(length > 0 ? length : 1, CCCI_PORT_TAG);
    if (skb == NULL)
        return 0;
    memcpy(skb_put(skb, length), data + 2, length);
    struct ccci_md* md = ccci_md_get(0);
    ccci_port_switch_table(0, by_queue ? CCCI_TABLE_BOOT : CCCI_TABLE_NORMAL);
    int r = by_queue ? ccci_port_recv_queue_skb(md, hif, data[1], skb) : ccci_port_recv_skb(md, hif, skb);
    Check(r >= 0 || r == CCCI_RX_BUSY || r == CCCI_RX_DROPPED);
    if (r == CCCI_RX_BUSY)
        bm_free_skb(skb, CCCI_PORT_TAG); // the engine would offer it again
    return 0;
}
