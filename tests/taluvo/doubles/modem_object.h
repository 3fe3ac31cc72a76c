// Stands in for the modem object's accessors that the port layer and the engines use: the object exists
// when the test says so; the handshake records' control ports, the HIF status requests and handshake
// aborts are recorded; the handshake state, debug flags and runtime-data block are fields.
// Wraps: ccci_md_get ccci_md_get_id ccci_md_set_ctrl_port ccci_md_hif_flags md_hs_abort ccci_md_hs_pending ccci_md_debug_flags ccci_md_runtime_block
#pragma once

#include <vector>

#include "ccci_fsm.h"
#include "ccci_md.h"

namespace doubles
{

struct ModemObject {
    bool exists = true;
    struct ccci_port* ctrl_port[2] = {};
    struct HifFlags {
        u32 flags;
        u32 length;
    };
    std::vector<HifFlags> hif_flags;
    bool hs_pending = false;
    u32 debug_flags = 0;
    int hs_aborts = 0;
    struct ccci_runtime_block runtime_block = {};
};

// Reset by each test that uses it.
ModemObject& Modem();

} // namespace doubles
