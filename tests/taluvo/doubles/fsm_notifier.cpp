#include "fsm_notifier.h"

#include <algorithm>

doubles::FsmNotifiers& doubles::FsmNotifiersState()
{
    static FsmNotifiers state;
    return state;
}

extern "C" int __wrap_fsm_register_notifier(u32, struct fsm_notifier* notifier)
{
    doubles::FsmNotifiers& state = doubles::FsmNotifiersState();
    if (state.register_result == 0)
        state.registered.push_back(notifier);
    return state.register_result;
}

extern "C" int __wrap_fsm_unregister_notifier(u32, struct fsm_notifier* notifier)
{
    doubles::FsmNotifiers& state = doubles::FsmNotifiersState();
    auto it = std::find(state.registered.begin(), state.registered.end(), notifier);
    if (it == state.registered.end())
        return -22;
    state.registered.erase(it);
    state.unregistered++;
    return 0;
}
