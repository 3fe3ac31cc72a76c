// Data blocks of the system's own WMI providers.
#pragma once

#include <ntdef.h>

// The firmware's raw SMBIOS tables. Its one instance holds Used20CallingMethod, SmbiosMajorVersion,
// SmbiosMinorVersion and DmiRevision (a byte each), Size (a ULONG), then Size bytes of structure table.
DEFINE_GUID(MSSmBios_RawSMBiosTables_GUID, 0x8F680850, 0xA584, 0x11D1, 0xBF, 0x38, 0x00, 0xA0, 0xC9, 0x06, 0x29,
            0x10);
