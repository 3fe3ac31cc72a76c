// Takes the port functions' deactivation over in tests of the IPC context's clean-up: records the lists
// it is handed.
// Wraps: IpcDeactivateAllDevices
#pragma once

#include "PortFunction.h"

#include <vector>

namespace doubles
{

// Every list handed to IpcDeactivateAllDevices, in order (thread-safe copy).
std::vector<PLIST_ENTRY> DeactivatedLists();
void ClearDeactivatedLists();

} // namespace doubles
