#include "mbimcore_db.h"

#include "ril_trace.h"

#include <string.h>

_MbimCoreDataBase g_MbimCoreDb;

namespace {

CRITICAL_SECTION& Gate()
{
    static CRITICAL_SECTION* gate = [] {
        static CRITICAL_SECTION section;
        Mbim_Mutex_init(&section);
        return &section;
    }();
    return *gate;
}

} // namespace

_MbimCoreDataBase::_MbimCoreDataBase()
    : msg_mbox(nullptr), io_mbox(nullptr), s_ril_init(0), exit_event(nullptr), worker{}, ctxt_lock{},
      ctxt_lock_inited(0), sleep_event(nullptr), mbim_open_done(0)
{
    Reset(this);
}

void _MbimCoreDataBase::Reset(_MbimCoreDataBase* database)
{
    database->DeviceMode = MBIMCORE_SAR_NOT_SET;
    database->Index = MBIMCORE_SAR_NOT_SET;
    database->sar_pending = 0;
    database->regulatory_mode_set = 0;
    database->mcc[0] = '\0';
    RIL_TRACE(RIL_MASK_FLOW, "_MbimCoreDataBase::Reset : sar mode set to not inited: %d",
              database->DeviceMode);
}

MbimCoreGate::MbimCoreGate()
{
    Mbim_Mutex_lock(&Gate());
}

MbimCoreGate::~MbimCoreGate()
{
    Mbim_Mutex_unlock(&Gate());
}
