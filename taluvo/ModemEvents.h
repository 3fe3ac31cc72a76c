// The modem host interface's reports to the miniport ("MDM_NOT_READY", "CRASH", ...); the length counts
// the terminating zero.
#pragma once

void IpcNetlinkIndicate(const char* Text, int Length);
