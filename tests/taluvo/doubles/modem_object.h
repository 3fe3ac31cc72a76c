// Stands in for the modem object's accessors that the port layer uses: the object exists when the test
// says so; the handshake records' control ports and the HIF status requests are recorded.
// Wraps: ccci_md_get ccci_md_get_id ccci_md_set_ctrl_port ccci_md_hif_flags
#pragma once

#include <vector>

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
};

// Reset by each test that uses it.
ModemObject& Modem();

} // namespace doubles
