// Stands in for the state machine's notifier list: registrations are recorded (and can be refused),
// and the test calls the registered nodes itself.
// Wraps: fsm_register_notifier fsm_unregister_notifier
#pragma once

#include <vector>

#include "ccci_fsm.h"

namespace doubles
{

struct FsmNotifiers {
    std::vector<struct fsm_notifier*> registered;
    int register_result = 0;
    int unregistered = 0;
};

// Reset by each test that uses it.
FsmNotifiers& FsmNotifiersState();

} // namespace doubles
