// The filter registry record that the NDIS filter and its management service share: one key with the
// filter's version and removal flag, and two subkeys whose default values the service writes.
#pragma once

#include <ntdef.h>

// Kernel path of the key; the service opens the same key as HKLM\SYSTEM\CurrentControlSet\Control\...
#define FILTER_REGISTRY_PARENT_PATH u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig"
#define FILTER_REGISTRY_KEY_PATH FILTER_REGISTRY_PARENT_PATH u"\\Brennick"
#define FILTER_REGISTRY_SUBKEY u"SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig\\Brennick"

#define FILTER_VALUE_VERSION u"QuenmarkVersion"     // REG_SZ, written by the service
#define FILTER_VALUE_UNINSTALL u"QuenmarkUninstall" // REG_DWORD: 0 at the filter's load, 1 at its unload
#define FILTER_SUBKEY_CELLULAR u"BrennickCellular"   // default value REG_DWORD: the radio wish, 0 off, 1 on
#define FILTER_SUBKEY_POWER_RESUME u"BrennickPowerResume" // default value REG_DWORD 1 after a resume
