// Stands in for what the modem-event handling does through other parts of the driver: records each
// call and answers from settings a test may change.
#pragma once

#include "ModemEventActions.h"

#include <utility>
#include <vector>

namespace doubles
{

struct ModemEventActions {
    std::vector<ULONG> idleTimeouts;
    std::vector<KIRQL> idleIrqls;
    int sxWake = 0;
    int pldr = 0;
    int fldr = 0;
    NTSTATUS resetStatus = STATUS_SUCCESS;
    std::vector<std::pair<ULONG, ULONG>> setups; // kind, type
    int setupResult = 0;
    std::vector<ULONG> peers;             // types linked by ConnectPeers
    std::vector<ULONG> removedInterfaces; // kinds
};

ModemEventActions& Actions();

} // namespace doubles
