#include "hif_capture.h"

#include <mutex>

#include "ccci_bm.h"

namespace
{

std::mutex g_lock;
std::vector<std::vector<u8>> g_frames;

int CaptureSend(u8, u8, u8, struct sk_buff* skb, int, int)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_frames.emplace_back(skb->data, skb->data + skb->len);
    }
    bm_free_skb(skb, 0);
    return 0;
}

struct ccci_hif_ops CaptureOps()
{
    struct ccci_hif_ops ops = {};
    ops.send_skb = CaptureSend;
    return ops;
}

} // namespace

const struct ccci_hif_ops doubles::kHifCaptureOps = CaptureOps();

std::vector<std::vector<u8>> doubles::HifCaptured()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_frames;
}

void doubles::HifCaptureClear()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_frames.clear();
}
