#include "cldma_engine.h"

#include <map>
#include <utility>

namespace
{

std::map<std::pair<std::string, u8>, int> g_results;

int Call(const std::string& op, u8 hif, int otherwise = 0)
{
    doubles::CldmaCalls().push_back(op + " " + std::to_string(hif));
    auto found = g_results.find({op, hif});
    return found != g_results.end() ? found->second : otherwise;
}

int SendSkb(u8, u8 hif, u8, struct sk_buff*, int, int) { return Call("send_skb", hif); }
int DumpStatus(u8, u8 hif, u32, u32, u32) { return Call("dump_status", hif); }
int Start(u8, u8 hif) { return Call("start", hif); }
int Stop(u8, u8 hif) { return Call("stop", hif); }
int Reset(u8, u8 hif, int) { return Call("reset", hif); }

struct ccci_hif_ops MakeOps()
{
    struct ccci_hif_ops ops = {};
    ops.send_skb = SendSkb;
    ops.dump_status = DumpStatus;
    ops.start = Start;
    ops.stop = Stop;
    ops.reset = Reset;
    return ops;
}
const struct ccci_hif_ops kOps = MakeOps();

} // namespace

std::vector<std::string>& doubles::CldmaCalls()
{
    static std::vector<std::string> calls;
    return calls;
}

void doubles::SetCldmaResult(const std::string& op, u8 hif, int result)
{
    g_results[{op, hif}] = result;
}

void doubles::ResetCldma()
{
    g_results.clear();
    CldmaCalls().clear();
}

struct cldma_hw_instance* cldma_alloc(u8 md, u8 hif, struct mdm_pci_dev* pcie_dev)
{
    if (Call("alloc", hif) != 0)
        return NULL;
    void* ctrl = win_zalloc(64, 0, CLDMA_HIF_TAG);
    struct cldma_hw_instance* instance = ctrl != NULL ? cldma_hw_info_alloc(md, hif, pcie_dev) : NULL;
    if (instance == NULL) {
        if (ctrl != NULL)
            win_free(ctrl, CLDMA_HIF_TAG);
        return NULL;
    }
    ccci_hif_set_ctrl(md, hif, ctrl, &kOps);
    return instance;
}

void cldma_free(u8 md, u8 hif)
{
    Call("free", hif);
    win_free(ccci_hif_get_ctrl(md, hif), CLDMA_HIF_TAG);
    ccci_hif_set_ctrl(md, hif, NULL, NULL);
    cldma_hw_info_free(md, hif);
}

int cldma_init(u8, u8 hif) { return Call("init", hif); }
int cldma_hw_reinit(u8, u8 hif) { return Call("hw_reinit", hif); }
int cldma_exception_stage(u8, u8 hif, int) { return Call("exception_stage", hif); }
