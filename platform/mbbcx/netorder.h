// The order of the two class extensions' device-init configurations: the network-adapter side's comes
// first. Private to the platform library.
#pragma once

#include <wdf.h>

namespace mbbcx
{

// Whether the network-adapter class extension configured this device init.
bool NetDeviceInitConfigured(PWDFDEVICE_INIT DeviceInit);

} // namespace mbbcx
