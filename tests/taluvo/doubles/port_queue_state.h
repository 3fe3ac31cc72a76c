// Stands in for the port layer's queue-state notification: records each call.
// Wraps: ccci_port_queue_state_notify
#pragma once

#include "cldma.h"

#include <vector>

namespace doubles
{

struct QueueState {
    u8 hif_id;
    u8 qno;
    int dir;
    int state;
    bool operator==(const QueueState&) const = default;
};

std::vector<QueueState>& QueueStates();

} // namespace doubles
