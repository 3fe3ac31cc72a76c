// The Win32 interfaces used by the user-mode deliverables.
#pragma once

#include <windef.h>
#include <winerror.h>
#include <errhandlingapi.h>
#include <handleapi.h>
#include <processthreadsapi.h>
#include <processenv.h>
#include <libloaderapi.h>
#include <sysinfoapi.h>
#include <profileapi.h>
#include <threadpoollegacyapiset.h>
#include <synchapi.h>
#include <winreg.h>
#include <minwinbase.h>
#include <fileapi.h>
#include <ioapiset.h>
#include <namedpipeapi.h>
#include <timezoneapi.h>
#include <memoryapi.h>
#include <stringapiset.h>
