// Suspend/resume broadcasts to the callbacks registered with PowerRegisterSuspendResumeNotification.
// The PnP manager's system sleep sends PBT_APMSUSPEND before it powers the stacks down, its resume
// PBT_APMRESUMEAUTOMATIC then PBT_APMRESUMESUSPEND after they are up again.
#pragma once

#include <windef.h>

namespace host {

// Calls every registered callback with `type` on a system thread, each in the process that registered
// it, and returns once they all have returned.
void PowerBroadcastSuspendResume(ULONG type);

} // namespace host
