// Records the host interface's reports instead of handling them: a test whose source includes this
// header is linked with the modem-event entry wrapped (--wrap), so its reports land here.
// Wraps: IpcNetlinkIndicate
#pragma once

#include "ModemEvents.h"

#include <string>
#include <vector>

namespace doubles
{

std::vector<std::string>& Indications();
// A copy taken under the recorder's lock, for tests that read while reports still come.
std::vector<std::string> IndicationsCopy();

} // namespace doubles

extern "C" void __wrap_IpcNetlinkIndicate(const char* Text, int Length);
