// Takes the port functions' lookup and release over in tests of the modem-event handling: the test
// registers records by type, and each release is recorded instead of freeing the test's record.
// Wraps: IpcGetPortFnContextSio IpcReleaseDevice
#pragma once

#include "PortFunction.h"

#include <map>
#include <vector>

namespace doubles
{

struct PortRegistry {
    std::map<ULONG, PIPC_PORT_FUNCTION> functions; // what IpcGetPortFnContextSio finds
    std::vector<ULONG> released;                   // types
};

PortRegistry& Ports();

} // namespace doubles
