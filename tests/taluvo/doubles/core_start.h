// Stands in for the CCCI core's module and modem-object entry points: records the calls and answers
// with results the test sets; the per-vector records are allocated as the core allocates them; device
// nodes are kept by number.
// Wraps: ccci_init ccci_uninit ccci_md_init ccci_md_uninit ccci_irq_work_alloc ccci_md_rgu_pending md_rgu_clear ccci_device_create ccci_device_destroy
#pragma once

#include "ccci_core.h"
#include "kal.h"

#include <map>
#include <string>

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

// The device nodes that exist, by device number, and every creation and removal.
struct DeviceNodes {
    std::multimap<u32, std::string> nodes; // a duplicate node shows as a second entry
    int creates = 0;
    int destroys = 0;
};

// Reset by each test that uses it.
DeviceNodes& Nodes();

} // namespace doubles
