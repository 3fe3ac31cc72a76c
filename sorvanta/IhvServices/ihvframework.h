// The process-wide endpoint framework and its binding to the RIL core: what the request classes use.
#pragma once

#include <stdint.h>

class IhvFramework {
public:
    // One translation step to the RIL core; `token` comes back with its completion.
    static void SendRequestToRil(int stack_id, int req_id, int uuid_index, uint8_t is_set, void* data,
                                 uint32_t data_len, void* token);
};
