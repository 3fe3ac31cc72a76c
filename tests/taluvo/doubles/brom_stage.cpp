#include "brom_stage.h"

#include "ccci_fsm.h"

namespace
{

bool g_brom_stage;

} // namespace

void doubles::SetBromStage(bool set)
{
    g_brom_stage = set;
}

extern "C" bool __wrap_ccci_fsm_brom_stage(struct ccci_md*)
{
    return g_brom_stage;
}
