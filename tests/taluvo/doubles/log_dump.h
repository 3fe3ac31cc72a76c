// Stands in for the IPC glue's log-dump query in tests of the modem-event handling, which set its answer.
// Wraps: IpcMDLogDump
#pragma once

#include <wdf.h>

namespace doubles
{

void SetLogDump(BOOLEAN on);

} // namespace doubles
