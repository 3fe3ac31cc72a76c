// The RIL code base's settings table and the trace gate that every trace line of the procedural layer
// and of the service front asks first. Nothing is read from a file: the initial values are the settings.
#pragma once

// Trace masks asked of the gate.
enum : int {
    RIL_MASK_ERROR = 1,
    RIL_MASK_WARNING = 4,
    RIL_MASK_FLOW = 8,
    RIL_MASK_FUNC = 16, // "%s++" / "%s--"
    RIL_MASK_MEMORY = 64,
};

struct ril_cfg_int_setting {
    const char* name;
    int value;
};

struct ril_cfg_string_setting {
    const char* name;
    int valid;
};

// Whether trace module 0, 1 or 2 has any bit of `mask` in its level; another module is false and is
// reported as out of range.
bool ril_config_trace_enabled(int module, int mask);

// Reads no file; always -1.
int ril_config_init(int unused1, int unused2);

// The string setting `entry` when it exists and is valid, else null.
const char* ril_config_get_cfg_string(int entry);

bool ril_config_xfdor_mode_2(void);
bool ril_config_xfdor_mode_1(void);
int ril_config_get_max_pdp_context(void);
