// Stands in for the DPMAIF instance's life cycle: creation stores a dummy instance in the control
// record (or fails with the number the test names), exit clears it, and the modem states handed over
// are recorded and answered with the test's number.
// Wraps: dpmaif_hif_init dpmaif_hif_exit dpmaif_hif_md_state
#pragma once

#include <string>
#include <vector>

#include "dpmaif.h"

namespace doubles
{

struct DpmaifLife {
    int init_result = 0;
    int state_result = 0;
    // "init", "exit", "state N", in order.
    std::vector<std::string> calls;
    // The control record seen by each call, in the same order.
    std::vector<struct ccmni_ctl_block*> records;
    // The instance handed with each modem state.
    std::vector<struct dpmaif_hif*> state_instances;
};

// Reset by each test that uses it.
DpmaifLife& DpmaifLifeState();
// What creation stores in the control record.
struct dpmaif_hif* DummyDpmaifInstance();

} // namespace doubles
