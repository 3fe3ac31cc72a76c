// The data blocks the kernel's WMI interfaces serve. Private to platform/.
#pragma once

#include <host/smbios.h>

#include <optional>

namespace host::wmi {

// The tables as seeded now, if any.
std::optional<SmbiosTables> SmbiosSnapshot();

} // namespace host::wmi
