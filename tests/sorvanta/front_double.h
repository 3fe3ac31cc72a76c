// Test double of the MBIM service front: records what the RIL core hands it (host messages,
// completions, notifications) and can act inside a hand-off, keeps the bridge's callback records, passes the
// event entries on to the core, and sends or parks output by the modem I/O state as the front's transport
// does, after the driver wake notification.
//
// For the request classes it stands in for the front's endpoint operations (the queue operations and the
// final answer record and pop), the framework's hand-off to the RIL core (recorded) and the message and
// CID handlers (scripted).
#pragma once

#include "mbim_front.h"

#include <cstdint>
#include <functional>
#include <string>
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

// Forgets the calls, clears the callback records and restores the default handler script.
void Reset();

// ---- request classes -----------------------------------------------------------------------------

// One step handed to the RIL core.
struct RilStep {
    int stack_id;
    int req_id;
    int uuid_index;
    uint8_t is_set;
    std::vector<uint8_t> data;
    void* token;
};
std::vector<RilStep> RilSteps();

// What the endpoint was asked to do, in order.
struct EndpointCall {
    enum Kind { Push, Pop, PopMarked, FinalResponse } kind;
    uint32_t transaction_id;
};
std::vector<EndpointCall> EndpointCalls();

// How the stand-in handlers behave. The OPEN and CLOSE handlers prepare their internal step (100, 1)
// or (100, 2); the HOST_ERROR handler marks the request for deletion and returns 1; the COMMAND pair
// selects through the request's command table entry. The CID request handlers and the response
// formatters then follow this script.
struct HandlerScript {
    int request_result = 0;        // of every CID request handler (and the OPEN and CLOSE handlers)
    uint32_t status = 0;           // set on the request by a CID request handler when nonzero
    std::vector<uint8_t> payload;  // InformationBuffer a formatter builds (none when empty)
    int response_result = 0;       // of every formatter
};
HandlerScript& Script();
// Names of the stand-in handlers called, in order.
std::vector<std::string> HandlerCalls();

} // namespace frontdouble
