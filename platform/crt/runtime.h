// What the runtime's functions share: answering an invalid parameter.
#pragma once

#include <corecrt.h>

namespace wincrt {

// Calls the invalid-parameter handler (or the default, see stdlib.h) on behalf of `function`, then sets
// errno to `error` and returns it, for the caller to return.
errno_t InvalidParameter(const char16_t* function, errno_t error);

} // namespace wincrt
