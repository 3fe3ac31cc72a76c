#include "ril_config.h"

#include "ril_trace.h"

namespace {

// Rows 0 to 2 are the log levels of trace modules 0 to 2; an empty row closes each group.
const ril_cfg_int_setting s_cfg_int_settings[] = {
    {"ril_log_level", 0x5F},
    {"mdmril_log_level", 0x5F},
    {"nvm_log_level", 0x5F},
    {nullptr, 0},
    {"xfdor_mode", 2},
    {"xfdor_delay_timer", 2},
    {"xfdor_scri_timer", 30},
    {"gprs_max_pdp_context", 8},
    {"RxDiversity3GEnable", 0},
    {"RxDiversity2GDARP", 1},
    {nullptr, 0},
};

enum { kRowXfdorMode = 4, kRowMaxPdpContext = 7, kLogModules = 3 };

const ril_cfg_string_setting s_cfg_string_settings[] = {
    {"modem_dev_name_1", 1},
    {"modem_dev_name_2", 0},
    {nullptr, 0},
};

const char* const s_cfg_string_values[] = {"/sioscc/vCom/1", nullptr, nullptr};

constexpr int kStringSettings = 2;

} // namespace

bool ril_config_trace_enabled(int module, int mask)
{
    if (module < 0 || module >= kLogModules) {
        RIL_TRACE(RIL_MASK_ERROR, "%s: entry(%d) out of range", __func__, module);
        return false;
    }
    return (s_cfg_int_settings[module].value & mask) != 0;
}

int ril_config_init(int, int)
{
    RIL_TRACE(RIL_MASK_WARNING, "Using config filename (%s)", "/system/etc/rpc-ril/repository.txt");
    RIL_TRACE(RIL_MASK_FUNC, "%s--", __func__);
    return -1;
}

const char* ril_config_get_cfg_string(int entry)
{
    bool inRange = entry >= 0 && entry < kStringSettings;
    RIL_TRACE(RIL_MASK_FLOW, "%s++ entry : %d, s_cfg_string_settings[entry].value : %d,  p_cfg_string : %x", __func__,
              entry, inRange ? s_cfg_string_settings[entry].valid : 0, 0);
    if (inRange && s_cfg_string_settings[entry].valid == 1) {
        RIL_TRACE(RIL_MASK_FLOW, "%s: Returning String : %s", __func__, s_cfg_string_values[entry]);
        return s_cfg_string_values[entry];
    }
    RIL_TRACE(RIL_MASK_FLOW, "%s: returning NULL", __func__);
    return nullptr;
}

bool ril_config_xfdor_mode_2(void)
{
    return s_cfg_int_settings[kRowXfdorMode].value == 2;
}

bool ril_config_xfdor_mode_1(void)
{
    return s_cfg_int_settings[kRowXfdorMode].value == 1;
}

int ril_config_get_max_pdp_context(void)
{
    return s_cfg_int_settings[kRowMaxPdpContext].value;
}
