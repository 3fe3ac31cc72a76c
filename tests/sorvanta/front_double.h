// Test double of the MBIM service front: records what the RIL core hands it (host messages,
// completions, notifications) and can act inside a hand-off, keeps the bridge's callback records, passes the
// event entries on to the core, and sends or parks output by the modem I/O state as the front's transport
// does, after the driver wake notification.
#pragma once

#include "mbim_front.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace frontdouble {

struct IoControlCall {
    int executor;
    std::vector<uint8_t> bytes;
};

struct CompleteCall {
    void* token;
    int error;
    std::vector<uint8_t> response;
};

struct UnsolicitedCall {
    int stack;
    int notification_id;
    int uuid_index;
    std::vector<uint8_t> data;
};

std::vector<IoControlCall> IoControls();
std::vector<CompleteCall> Completions();
std::vector<UnsolicitedCall> Unsolicited();
// Runs inside every MBIM_IOControl, after it was recorded (for example to hold the worker there, or
// to clean the queues as the front's CLOSE handling does); null runs nothing.
void OnIoControl(std::function<void(const std::vector<uint8_t>& message)> action);

// The environment table the front hands the core.
const RilEnv* Env();

// Forgets the calls and clears the callback records.
void Reset();

} // namespace frontdouble
