// Stands in for the port layer's queue-state notification: records each call.
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
