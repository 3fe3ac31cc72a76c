#include "modem_hooks.h"

#include "ril_core_handlers_mdm.h"
#include "ril_trace.h"

#include <atomic>

namespace {

// Index 0 only: the library runs one executor. Read on the front's threads, written on the starter's.
std::atomic<uint32_t> s_sim_state{0};
std::atomic<uint32_t> s_radio_state{0};

constexpr uint32_t kSimStarted = 7;

void SetState(uint32_t sim, uint32_t radio)
{
    s_sim_state.store(sim, std::memory_order_relaxed);
    s_radio_state.store(radio, std::memory_order_relaxed);
}

int Init(uint32_t* numofexecutors)
{
    SetState(kSimStarted, 0);
    if (numofexecutors != nullptr)
        *numofexecutors = 1;
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s--\n", "module_init");
    return 0;
}

} // namespace

int modem_init(uint32_t* numofexecutors)
{
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s++\n", __func__);
    int result = Init(numofexecutors);
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s--\n", __func__);
    return result;
}

int module_init(uint32_t* numofexecutors)
{
    return Init(numofexecutors);
}

int modem_exit(void)
{
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s++\n", __func__);
    mdm_platform_hook_release();
    mdm_platform_hook_close();
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s--\n", __func__);
    return 0;
}

void modem_shutdown(int index)
{
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s++\n", __func__);
    set_radio_state(index, 0);
    RIL_TRACE_EVENT(RIL_MASK_FUNC, RIL_EVENT_VERBOSE, "%s--\n", __func__);
}

void set_radio_state(int index, uint32_t state)
{
    if (index != 0)
        return;
    uint32_t old = s_radio_state.load(std::memory_order_relaxed);
    RIL_TRACE(RIL_MASK_WARNING, "%s: sim = %d, radio state old = %d, new = %d\n", __func__, index, old,
              state);
    if (old != state)
        s_radio_state.store(state, std::memory_order_relaxed);
    else
        RIL_TRACE(RIL_MASK_WARNING, "%s sim state old == new\n", __func__);
}

uint32_t get_radio_state(uint32_t index)
{
    return index == 0 ? s_radio_state.load(std::memory_order_relaxed) : 0;
}

uint32_t get_sim_state(uint32_t index)
{
    return index == 0 ? s_sim_state.load(std::memory_order_relaxed) : 0;
}

int modem_state_sim_not_ready(int index)
{
    if (index == 0)
        SetState(1, 0);
    return index;
}

int modem_state_sim_ready(int index)
{
    if (index == 0)
        SetState(2, 10);
    return index;
}
