// The routines MmGetSystemRoutineAddress finds: a table of names the host exports, which tests edit to
// run a driver against a system that lacks (or has) a routine.
#pragma once

#include <string>

namespace host {

// Present: the name is looked up in the platform library (still NULL if the host does not implement
// it). Absent: MmGetSystemRoutineAddress answers NULL.
void SystemRoutineSetPresent(const std::string& name, bool present);

} // namespace host
