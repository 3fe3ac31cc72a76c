#include "port_queue_state.h"

#include <mutex>

namespace
{

std::mutex g_lock;

} // namespace

std::vector<doubles::QueueState>& doubles::QueueStates()
{
    static std::vector<QueueState> calls;
    return calls;
}

void ccci_port_queue_state_notify(struct ccci_md*, u8 hif_id, u8 qno, int dir, int state)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::QueueStates().push_back({hif_id, qno, dir, state});
}
