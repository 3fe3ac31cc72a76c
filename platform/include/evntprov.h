// Filled in with the Win32 area it belongs to.
#pragma once

#include <windef.h>
