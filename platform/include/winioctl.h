// Device control codes for user-mode code.
#pragma once

#include <devioctl.h>
#include <windef.h>

#define FILE_DEVICE_UNKNOWN 0x00000022
