// Stands in for the port proxy's open flags as the IPC glue asks them: the test sets the flag word.
// Wraps: ccci_port_proxy_test_flag
#pragma once

#include "kal.h"

namespace doubles
{

void SetProxyOpenFlags(u32 flags);

} // namespace doubles
