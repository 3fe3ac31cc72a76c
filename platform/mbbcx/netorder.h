// The order of the two class extensions' device-init configurations: the network-adapter side's comes
// first. Private to the platform library.
#pragma once

#include <wdf.h>

namespace mbbcx
{

// Whether the network-adapter class extension configured this device init. The record is taken: a
// later device add of the same device starts without it.
bool NetDeviceInitConfigured(PWDFDEVICE_INIT DeviceInit);

} // namespace mbbcx
