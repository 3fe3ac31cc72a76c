// Stands in for the port functions' deactivation, whose own code comes later: records the lists it is
// handed.
#pragma once

#include "PortFunction.h"

#include <vector>

namespace doubles
{

// Every list handed to IpcDeactivateAllDevices, in order (thread-safe copy).
std::vector<PLIST_ENTRY> DeactivatedLists();
void ClearDeactivatedLists();

} // namespace doubles
