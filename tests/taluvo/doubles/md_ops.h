// Stands in for the modem object's side of the state machine: the boot status, the handshake records'
// state and the operations are scripted by the test; each call is recorded.
// Wraps: ccci_md_start ccci_md_irq_stage plt_get_boot_status plt_set_boot_status ccci_md_reinit ccci_md_exception_stages ccci_md_hk_done ccci_md_hk_pending ccci_md_get_pcie_dev ccci_md_get_info md_runtime_feature ccci_hif_hw_init ccci_hif_set_queue_variant
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ccci_md.h"

namespace doubles
{

struct MdOps {
    u32 boot_status = 0x0004;
    std::vector<u32> boot_writes;
    int start_result = 0;
    // Runs inside ccci_md_start (the handshake work of the test), on the state machine's thread.
    std::function<void()> on_start;
    // Runs inside ccci_md_exception_stages.
    std::function<void()> on_exception_stages;
    bool hk_done[2] = {false, false};
    bool hk_pending[2] = {false, false};
    struct mdm_pci_dev* pcie_dev = nullptr;
    struct md_info info = {};
    bool info_exists = true;
    // Calls in order: "start", "irq_stage N", "reinit", "exception_stages", "hw_init MASK",
    // "variant PATH VARIANT" (the HIF engines are not touched).
    std::vector<std::string> calls;
};

// Reset by each test that uses it. The accessors are thread-safe against the state machine's thread.
MdOps& MdOpsState();
std::vector<std::string> MdCalls();
void SetHkDone(u32 core, bool done);
void SetBootStatus(u32 status);

} // namespace doubles
