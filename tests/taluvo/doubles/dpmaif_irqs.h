// Stands in for the DPMAIF instance's downlink interrupt gating, whose own code comes later: records
// each call by name with its instance.
#pragma once

#include "dpmaif.h"

#include <string>
#include <utility>
#include <vector>

namespace doubles
{

using DlIrqCall = std::pair<std::string, struct dpmaif_hif*>;
std::vector<DlIrqCall>& DlIrqCalls();

} // namespace doubles
