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

// Stands in for the port layer at link time (-Wl,--wrap), so the engine's tests see each call.
extern "C" void __wrap_ccci_port_queue_state_notify(u32, u8 hif_id, u8 qno, int dir, u32 state)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::QueueStates().push_back({hif_id, qno, dir, (int)state});
}
