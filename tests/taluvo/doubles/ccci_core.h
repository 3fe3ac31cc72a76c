// Stands in for the CCCI core's module and modem-object entry points: records the calls and answers
// with results the test sets; the per-vector records are allocated as the core allocates them.
#pragma once

#include "ccci_core.h"

namespace doubles
{

struct CcciCore {
    int init_result = 0;
    int md_init_result = 0;
    bool rgu_pending = false;
    int inits = 0;
    int uninits = 0;
    int md_inits = 0;
    int md_uninits = 0;
    int rgu_clears = 0;
};

// Reset by each test that uses it.
CcciCore& Core();

} // namespace doubles
