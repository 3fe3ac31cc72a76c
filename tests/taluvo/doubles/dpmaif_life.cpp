#include "dpmaif_life.h"

#include "ccmni.h"

doubles::DpmaifLife& doubles::DpmaifLifeState()
{
    static DpmaifLife state;
    return state;
}

struct dpmaif_hif* doubles::DummyDpmaifInstance()
{
    static struct dpmaif_hif instance;
    return &instance;
}

extern "C" int __wrap_dpmaif_hif_init(u8, struct ccmni_ctl_block* ccmni)
{
    doubles::DpmaifLife& state = doubles::DpmaifLifeState();
    state.calls.push_back("init");
    state.records.push_back(ccmni);
    if (state.init_result == 0)
        ccmni->dpmaif = doubles::DummyDpmaifInstance();
    return state.init_result;
}

extern "C" void __wrap_dpmaif_hif_exit(u8, struct ccmni_ctl_block* ccmni)
{
    doubles::DpmaifLife& state = doubles::DpmaifLifeState();
    state.calls.push_back("exit");
    state.records.push_back(ccmni);
    ccmni->dpmaif = nullptr;
}

extern "C" int __wrap_dpmaif_hif_md_state(u8, struct dpmaif_hif* instance, u32 md_state)
{
    doubles::DpmaifLife& state = doubles::DpmaifLifeState();
    state.calls.push_back("state " + std::to_string(md_state));
    state.state_instances.push_back(instance);
    return state.state_result;
}
