// MBIM framing shared by every request class: the message layouts, the size cap on host commands, and
// the one fragment arithmetic of answers (COMMAND_DONE, H = 48; INDICATE_STATUS, H = 44). An answer's
// out buffer holds H bytes of header room and then the payload once; each fragment's header is written
// into the bytes just before its chunk, so nothing is copied per fragment.
#pragma once

#include <stdint.h>
#include <string.h>

enum : uint32_t {
    MBIM_OPEN_MSG = 1,
    MBIM_CLOSE_MSG = 2,
    MBIM_COMMAND_MSG = 3,
    MBIM_HOST_ERROR_MSG = 4,
    MBIM_OPEN_DONE = 0x80000001,
    MBIM_CLOSE_DONE = 0x80000002,
    MBIM_COMMAND_DONE = 0x80000003,
    MBIM_INDICATE_STATUS_MSG = 0x80000007,
};

// Byte offsets and sizes.
enum : uint32_t {
    MBIM_MESSAGE_TYPE = 0,
    MBIM_MESSAGE_LENGTH = 4,
    MBIM_TRANSACTION_ID = 8,
    MBIM_TOTAL_FRAGMENTS = 12,
    MBIM_CURRENT_FRAGMENT = 16,
    MBIM_DEVICE_SERVICE_ID = 20,
    MBIM_CID = 36,
    MBIM_COMMAND_TYPE = 40, // COMMAND; Status in COMMAND_DONE, InformationBufferLength in INDICATE_STATUS
    MBIM_COMMAND_INFORMATION_LENGTH = 44,

    MBIM_MESSAGE_HEADER_SIZE = 12,
    MBIM_FRAGMENT_HEADER_SIZE = 20, // message header and fragment header: every fragment after the first
    MBIM_COMMAND_HEADER_SIZE = 48,
    MBIM_INDICATION_HEADER_SIZE = 44,
};

// The largest InformationBufferLength a host command may declare. No served command comes near it; it
// keeps a hostile length from sizing the reassembly buffer.
#define MBIM_MAX_COMMAND_INFORMATION 65536u

inline uint32_t mbim_read_u32(const uint8_t* message, uint32_t offset)
{
    uint32_t value;
    memcpy(&value, message + offset, sizeof(value));
    return value;
}

inline void mbim_write_u32(uint8_t* message, uint32_t offset, uint32_t value)
{
    memcpy(message + offset, &value, sizeof(value));
}

// A fragment header marks the last fragment when TotalFragments == CurrentFragment + 1 (needs 20 bytes).
inline bool mbim_is_last_fragment(const uint8_t* message)
{
    return mbim_read_u32(message, MBIM_TOTAL_FRAGMENTS) ==
           static_cast<uint64_t>(mbim_read_u32(message, MBIM_CURRENT_FRAGMENT)) + 1;
}

// What every fragment of one answer shares.
struct MbimOutPlan {
    uint32_t header;       // H: 48 or 44
    uint32_t max_transfer; // M
    uint32_t payload;      // P
};

// The first-fragment fields that are not counters.
struct MbimFirstHeader {
    uint32_t type;
    uint32_t transaction_id;
    uint8_t service[16]; // wire order
    uint32_t cid;
    uint32_t status; // COMMAND_DONE only
};

// 1 + ceil(R / (M - 20)), R being what the first fragment cannot take (nothing when M < H).
uint32_t mbim_out_fragment_total(const MbimOutPlan& plan);
// Payload bytes of the next fragment, `offset` bytes of payload being placed by `done` fragments.
uint32_t mbim_out_chunk(const MbimOutPlan& plan, uint32_t offset, uint32_t done);
// Header bytes of the next fragment: H for the first, 20 for the others.
uint32_t mbim_out_header_room(const MbimOutPlan& plan, uint32_t done);
// The fragment-count rules: done <= total; before the last the offset is short of P, after it equal.
bool mbim_out_counts_hold(const MbimOutPlan& plan, uint32_t total, uint32_t done, uint32_t offset);

// Headers, written at `at` (the header's first byte).
void mbim_write_first_header(uint8_t* at, const MbimOutPlan& plan, const MbimFirstHeader& fields, uint32_t total,
                             uint32_t chunk);
void mbim_write_continuation_header(uint8_t* at, uint32_t type, uint32_t transaction_id, uint32_t total,
                                    uint32_t current, uint32_t chunk);

// The next fragment's start and length, without moving anything (`payload` is the payload's start).
void mbim_peek_out_fragment(uint8_t* payload, const MbimOutPlan& plan, uint32_t offset, uint32_t done,
                            uint8_t** out, uint32_t* out_length);
// The next fragment: writes its header in place and moves `offset` and `done` on. False, with nothing
// written, when every fragment is out already.
bool mbim_prepare_out_fragment(uint8_t* payload, const MbimOutPlan& plan, const MbimFirstHeader& fields,
                               uint32_t total, uint32_t& offset, uint32_t& done, uint8_t** out,
                               uint32_t* out_length);
