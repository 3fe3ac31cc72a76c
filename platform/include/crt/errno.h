// The C library's errno (its thread-local variable serves the Windows runtime too) with the Windows
// runtime's additions. Codes up to ERANGE have the same values on both systems.
#pragma once

#include_next <errno.h>

#include <corecrt.h>
