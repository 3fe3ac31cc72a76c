// The exception handshake over an arbitrary control message from the modem, while the state machine is
// in the exception stage: the first byte picks the message id (4, 5, 6, 8 or another), the rest is the
// frame as the control port hands it on (CCCI header, control header, data), in a buffer of exactly its
// size so that a read past the frame is a read past the allocation. The buffer is always released.
#include <cstdint>
#include <cstring>

#include "IpcContext.h"
#include "ccci_fsm_priv.h"
#include "taluvo_fuzz_device.h"

namespace
{

struct md_fsm* Machine()
{
    static struct md_fsm* fsm = [] {
        taluvofuzz::StartDevice();
        IpcInitTerminiateThreadsEvent();
        taluvofuzz::Check(fsm_init(0) == 0);
        // The messages need the record, not its thread: an idle thread would be all the host runs.
        UCHAR terminate = 1;
        IpcShouldTerminateThreads(&terminate);
        return fsm_find(0);
    }();
    return fsm;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    struct md_fsm* fsm = Machine();
    taluvofuzz::Check(fsm != NULL);
    fsm->md_state = MD_STATE_EXCEPTION;
    static const u32 ids[] = {4, 5, 6, 8, 7};
    const u32 id = ids[data[0] % 5];
    const u32 length = static_cast<u32>(size - 1);
    struct sk_buff* skb = alloc_skb(length, FSM_POOL_TAG);
    if (skb == NULL)
        return 0;
    memcpy(skb_put(skb, length), data + 1, length);
    taluvofuzz::Check(fsm_on_ctrl_msg(0, id, skb) == 0);
    for (u32 event = FSM_EVENT_EE_ANNOUNCED; event <= FSM_EVENT_EE_PASS; event++)
        fsm_drop_events(fsm, event);
    fsm->ee.flags = 0;
    return 0;
}
