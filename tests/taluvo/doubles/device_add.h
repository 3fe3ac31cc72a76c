// Stands in for the modem device's add: counts the calls and takes no device.
#pragma once

#include "Driver.h"

namespace doubles
{

int& DeviceAdds();

} // namespace doubles
