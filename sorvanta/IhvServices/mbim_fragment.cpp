#include "mbim_fragment.h"

#include "ihv_log.h"

#include <algorithm>

uint32_t mbim_out_fragment_total(const MbimOutPlan& plan)
{
    if (plan.max_transfer < plan.header)
        return 1;
    uint32_t first = plan.max_transfer - plan.header;
    uint32_t rest = plan.payload > first ? plan.payload - first : 0;
    uint32_t room = plan.max_transfer - MBIM_FRAGMENT_HEADER_SIZE;
    return 1 + static_cast<uint32_t>((static_cast<uint64_t>(rest) + room - 1) / room);
}

uint32_t mbim_out_chunk(const MbimOutPlan& plan, uint32_t offset, uint32_t done)
{
    uint32_t left = plan.payload - offset;
    if (done == 0)
        return plan.max_transfer < plan.header ? left : std::min(left, plan.max_transfer - plan.header);
    return std::min(left, plan.max_transfer - MBIM_FRAGMENT_HEADER_SIZE);
}

uint32_t mbim_out_header_room(const MbimOutPlan& plan, uint32_t done)
{
    return done == 0 ? plan.header : MBIM_FRAGMENT_HEADER_SIZE;
}

bool mbim_out_counts_hold(const MbimOutPlan& plan, uint32_t total, uint32_t done, uint32_t offset)
{
    if (done > total || offset > plan.payload)
        return false;
    return done == total ? offset == plan.payload : offset < plan.payload || (plan.payload == 0 && done == 0);
}

void mbim_write_continuation_header(uint8_t* at, uint32_t type, uint32_t transaction_id, uint32_t total,
                                    uint32_t current, uint32_t chunk)
{
    mbim_write_u32(at, MBIM_MESSAGE_TYPE, type);
    mbim_write_u32(at, MBIM_MESSAGE_LENGTH, chunk + MBIM_FRAGMENT_HEADER_SIZE);
    mbim_write_u32(at, MBIM_TRANSACTION_ID, transaction_id);
    mbim_write_u32(at, MBIM_TOTAL_FRAGMENTS, total);
    mbim_write_u32(at, MBIM_CURRENT_FRAGMENT, current);
}

void mbim_write_first_header(uint8_t* at, const MbimOutPlan& plan, const MbimFirstHeader& fields, uint32_t total,
                             uint32_t chunk)
{
    mbim_write_continuation_header(at, fields.type, fields.transaction_id, total, 0, chunk);
    mbim_write_u32(at, MBIM_MESSAGE_LENGTH, chunk + plan.header);
    memcpy(at + MBIM_DEVICE_SERVICE_ID, fields.service, sizeof(fields.service));
    mbim_write_u32(at, MBIM_CID, fields.cid);
    // InformationBufferLength closes the header; COMMAND_DONE has its Status in front of it.
    if (plan.header == MBIM_COMMAND_HEADER_SIZE)
        mbim_write_u32(at, MBIM_COMMAND_TYPE, fields.status);
    mbim_write_u32(at, plan.header - 4, plan.payload);
}

void mbim_peek_out_fragment(uint8_t* payload, const MbimOutPlan& plan, uint32_t offset, uint32_t done,
                            uint8_t** out, uint32_t* out_length)
{
    uint32_t room = mbim_out_header_room(plan, done);
    *out = payload + offset - room;
    *out_length = mbim_out_chunk(plan, offset, done) + room;
}

bool mbim_prepare_out_fragment(uint8_t* payload, const MbimOutPlan& plan, const MbimFirstHeader& fields,
                               uint32_t total, uint32_t& offset, uint32_t& done, uint8_t** out,
                               uint32_t* out_length)
{
    if (done >= total)
        return false;
    uint32_t chunk = mbim_out_chunk(plan, offset, done);
    mbim_peek_out_fragment(payload, plan, offset, done, out, out_length);
    if (done == 0)
        mbim_write_first_header(*out, plan, fields, total, chunk);
    else
        mbim_write_continuation_header(*out, fields.type, fields.transaction_id, total, done, chunk);
    offset += chunk;
    done++;
    if (!mbim_out_counts_hold(plan, total, done, offset))
        IHV_LOG_ERROR("ERROR: fragment counts broken: %u of %u, offset %u of %u", done, total, offset, plan.payload);
    return true;
}
