#include "modem_object.h"

#include <mutex>

namespace
{

std::mutex g_lock;

struct ccci_md* Record()
{
    static int record;
    return doubles::Modem().exists ? reinterpret_cast<struct ccci_md*>(&record) : nullptr;
}

} // namespace

doubles::ModemObject& doubles::Modem()
{
    static ModemObject modem;
    return modem;
}

extern "C" struct ccci_md* __wrap_ccci_md_get(u32 index)
{
    return index == 0 ? Record() : nullptr;
}

extern "C" u32 __wrap_ccci_md_get_id(const struct ccci_md*)
{
    return 0;
}

extern "C" void __wrap_ccci_md_set_ctrl_port(struct ccci_md*, u32 core_id, struct ccci_port* port)
{
    if (core_id < 2)
        doubles::Modem().ctrl_port[core_id] = port;
}

extern "C" void __wrap_ccci_md_hif_flags(u32, u32 flags, void*, u32 length)
{
    doubles::Modem().hif_flags.push_back({flags, length});
}

extern "C" void __wrap_md_hs_abort(struct ccci_md*)
{
    std::lock_guard<std::mutex> hold(g_lock);
    ++doubles::Modem().hs_aborts;
}

extern "C" bool __wrap_ccci_md_hs_pending(const struct ccci_md*)
{
    return doubles::Modem().hs_pending;
}

extern "C" u32 __wrap_ccci_md_debug_flags(const struct ccci_md*)
{
    return doubles::Modem().debug_flags;
}

extern "C" struct ccci_runtime_block* __wrap_ccci_md_runtime_block(struct ccci_md* md)
{
    return md != nullptr ? &doubles::Modem().runtime_block : nullptr;
}
