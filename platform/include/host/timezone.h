// The host's time zone: a fixed bias in minutes (UTC = local time + bias, as Windows defines it), no
// daylight saving. Local time never comes from the Linux zone.
#pragma once

#include <ntdef.h>

namespace host
{

void TimeZoneSetBias(LONG minutes);
LONG TimeZoneBias();

} // namespace host
