// The binding between the MBIM service front and the RIL core: the radio table the core hands the
// front, the environment table the front hands the core, and the front's per-executor transport
// callbacks registered by the bridge driver.
#pragma once

#include <wwan_bridge.h>

#include <windows.h>

#include <stdint.h>

// ---- front to core -------------------------------------------------------------------------------

typedef void (*RIL_SendRequest)(int stack_id, int ReqID, int uuid_index, uint8_t is_set, void* data, uint64_t dlen,
                                void* token);

#define RIL_MAX_STACKS 1

struct RIL_RadioParameters {
    uint32_t numofexecutors;
    int32_t phySlot[RIL_MAX_STACKS];
};

struct RadioCallbacks {
    uint32_t version;
    RIL_SendRequest SendRequest;
    int (*GetRadioState)(uint32_t index);
    int (*IsRequestSupported)(int request);
    void (*CancelRequest)(void* token);
    const char* (*GetVersionString)(void);
    RIL_RadioParameters radio_parameters;
};

// ---- core to front -------------------------------------------------------------------------------

// Seconds and microseconds, 32 bits each.
struct ril_timeval {
    LONG tv_sec;
    LONG tv_usec;
};

typedef void (*RIL_TimedCallback)(void* argument);

// RIL errors of a completion (translated by the front into MBIM status codes).
enum : int {
    RIL_E_SUCCESS = 0,
    RIL_E_GENERIC_FAILURE = 2,
    RIL_E_REQUEST_NOT_SUPPORTED = 6,
};

struct RilEnv {
    void (*RequestComplete)(void* token, int error, const void* response, size_t response_len);
    int (*UnsolicitedResponse)(int stack, int notification_id, int uuid_index, const void* data, size_t length);
    void (*RequestTimedCallback)(RIL_TimedCallback callback, void* argument, const ril_timeval* time);
};

// ---- the bridge driver's transport callbacks -----------------------------------------------------

// Reads the next queued message into the descriptor's buffer and its length into *length; negative
// when nothing was read.
typedef int (*CIDReadCallback)(int context, CIDTransportDescriptor* descriptor, int* length);
// Sends a message; `length` is the message length + 24. Non-zero when accepted.
typedef BYTE (*CIDWriteCallback)(int context, CIDTransportDescriptor* descriptor, int length);
// Stored, never called.
typedef void (*CIDSpareCallback)(void);

struct CallbackRecord {
    CIDReadCallback ReadCidRequest;
    CIDWriteCallback WriteCidResponse;
    CIDSpareCallback DriverSpare;
    CIDReadCallback ReadVendorResponse;
    CIDWriteCallback WriteVendorRequest;
    CIDSpareCallback VendorSpare;
};

#define RIL_EXECUTORS 2
