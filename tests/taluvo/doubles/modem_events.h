// Stands in for the miniport's modem-event entry: records each report.
#pragma once

#include "ModemEvents.h"

#include <string>
#include <vector>

namespace doubles
{

std::vector<std::string>& Indications();

} // namespace doubles
