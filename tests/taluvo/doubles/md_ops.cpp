#include "md_ops.h"

#include <mutex>

#include "ModemEventActions.h"
#include "ccci_fsm_priv.h"
#include "modem_event_actions.h"

namespace
{

std::recursive_mutex g_lock;

void record(const std::string& call)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    doubles::MdOpsState().calls.push_back(call);
}

// Runs a test hook outside the lock: the hook may post events and read the state itself.
void run_hook(std::function<void()> doubles::MdOps::*member)
{
    std::function<void()> hook;
    {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        hook = doubles::MdOpsState().*member;
    }
    if (hook)
        hook();
}

} // namespace

doubles::MdOps& doubles::MdOpsState()
{
    static MdOps state;
    return state;
}

std::vector<std::string> doubles::MdCalls()
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return MdOpsState().calls;
}

void doubles::SetHkDone(u32 core, bool done)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    MdOpsState().hk_done[core] = done;
}

void doubles::SetBootStatus(u32 status)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    MdOpsState().boot_status = status;
}

extern "C" int __wrap_ccci_md_start(u32)
{
    record("start");
    run_hook(&doubles::MdOps::on_start);
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return doubles::MdOpsState().start_result;
}

extern "C" int __wrap_ccci_md_irq_stage(struct ccci_md*, u32 stage)
{
    record("irq_stage " + std::to_string(stage));
    return 0;
}

extern "C" u32 __wrap_plt_get_boot_status(struct ccci_md* md)
{
    if (md == nullptr)
        return CCCI_BOOT_STATUS_NO_DEVICE;
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return doubles::MdOpsState().boot_status;
}

extern "C" void __wrap_plt_set_boot_status(struct ccci_md* md, u32 value)
{
    if (md == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    doubles::MdOpsState().boot_writes.push_back(value);
}

extern "C" int __wrap_ccci_md_reinit(struct mdm_pci_dev*)
{
    record("reinit");
    return 0;
}

extern "C" void __wrap_ccci_md_exception_stages(u32)
{
    record("exception_stages");
    run_hook(&doubles::MdOps::on_exception_stages);
}

extern "C" bool __wrap_ccci_md_hk_done(const struct ccci_md*, u32 core)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return core < 2 && doubles::MdOpsState().hk_done[core];
}

extern "C" bool __wrap_ccci_md_hk_pending(const struct ccci_md*, u32 core)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return core < 2 && doubles::MdOpsState().hk_pending[core];
}

extern "C" struct mdm_pci_dev* __wrap_ccci_md_get_pcie_dev(const struct ccci_md*)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return doubles::MdOpsState().pcie_dev;
}

extern "C" struct md_info* __wrap_ccci_md_get_info(u32 index)
{
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    return index == 0 && doubles::MdOpsState().info_exists ? &doubles::MdOpsState().info : nullptr;
}

// The modem object of these tests has no runtime data.
extern "C" struct md_runtime_entry* __wrap_md_runtime_feature(u32, u32, bool)
{
    return nullptr;
}

// ccci_hif_hw_init(u8, u32): recorded, the engines are not touched.
extern "C" int __wrap_ccci_hif_hw_init(u8, u32 mask)
{
    record("hw_init " + std::to_string(mask));
    return 0;
}

// ccci_hif_set_queue_variant(u8, u32, int).
extern "C" void __wrap_ccci_hif_set_queue_variant(u8, u32 path, int variant)
{
    record("variant " + std::to_string(path) + " " + std::to_string(variant));
}
