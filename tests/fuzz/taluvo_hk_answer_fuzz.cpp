// Arbitrary handshake answers from the modem (the bytes after the control header) into the answer check
// and the runtime-feature reply of a core, with the port enumeration of its entries applied through the
// real port layer. Nothing reads outside the answer (the buffer is exactly the answer), a reply is sent
// only for an accepted answer with its markers, and every reply is 540 bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ccci_bm.h"
#include "ccci_hif.h"
#include "ccci_md_priv.h"
#include "ccci_port.h"
#include "fsm.h"
#include "hif_capture.h"
#include "modem_object.h"
#include "taluvo_fuzz_device.h"

namespace
{

using taluvofuzz::Check;

const struct ccci_port_ops kQuietKind = {};

int g_ctrl;
struct core_hk g_cores[2];

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    taluvofuzz::StartDevice();
    Check(ccci_bm_init() == 0);
    const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
    memcpy(hif_path_map[0], map, sizeof(map));
    for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD})
        ccci_hif_set_ctrl(0, hif, &g_ctrl, &doubles::kHifCaptureOps);
    doubles::FsmState().md_state = MD_STATE_CORE_HS;
    // Kinds without threads or nodes: only the enumeration's effect on the ports matters here.
    for (struct ccci_port& port : ccci_port_table)
        port.ops = &kQuietKind;
    Check(ccci_port_proxy_create(0, CCCI_TABLE_NORMAL) == 0);
    for (u8 id : {CCCI_CORE_MD, CCCI_CORE_SAP}) {
        g_cores[id].core_id = id;
        g_cores[id].ctrl_port = doubles::Modem().ctrl_port[id];
        Check(g_cores[id].ctrl_port != NULL);
    }
    return 0;
}

// Byte 0: bit 0 the core, bits 1-3 the host's level of feature 2; byte 1: the host's runtime support of
// every feature; the rest is the answer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    struct core_hk& core = g_cores[data[0] & 1];
    memset(core.host_features, 0, sizeof(core.host_features));
    core.host_features[core.core_id] = 0x02;
    core.host_features[2] = (u8)((data[0] >> 1) & 7);
    memset(core.runtime_support, data[1], sizeof(core.runtime_support));
    std::vector<u8> answer(data + 2, data + size);
    doubles::HifCaptureClear();
    int r = hk_check_answer(&core, answer.data(), (u32)answer.size());
    Check(r == 0 || r == -1);
    if (r == 0) {
        int reply = hk_send_reply(&core, answer.data(), (u32)answer.size());
        Check(reply == 0 || reply == -1);
        Check(doubles::HifCaptured().size() == (reply == 0 ? 1u : 0u));
    }
    for (const std::vector<u8>& frame : doubles::HifCaptured())
        Check(frame.size() == HK_REPLY_SIZE);
    return 0;
}
