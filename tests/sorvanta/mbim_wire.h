// MBIM messages as the host sends them and the checks of the answers the front sends back: builders of
// OPEN, CLOSE, HOST_ERROR and (fragmented) COMMAND messages, and the join of an answer's fragments that
// checks every header on the way. Shared by the unit tests and the fuzz target.
#pragma once

#include "mbim_byteorder.h"
#include "mbim_fragment.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace mbimwire {

// Service UUIDs in GUID order.
constexpr GUID kBasicConnect = {0xA289CC33, 0xBCBB, 0x8B4F, {0xB6, 0xB0, 0x13, 0x3E, 0xC2, 0xAA, 0xE6, 0xDF}};
constexpr GUID kBasicConnectExtensions = {0x3D01DCC5, 0xFEF5, 0x4D05, {0x0D, 0x3A, 0xBE, 0xF7, 0x05, 0x8E, 0x9A, 0xAF}};
constexpr GUID kFiveGTools = {0x4ADA4962, 0xB988, 0x46C3, {0x87, 0xA7, 0x97, 0xF2, 0x0F, 0x99, 0x4A, 0xBB}};
constexpr GUID kOemCustom = {0x613A2C9F, 0x7579, 0x4BE2, {0xBF, 0x30, 0x94, 0xDC, 0x8F, 0xE4, 0x7B, 0x1C}};

inline std::vector<uint8_t> Message(uint32_t type, uint32_t transaction_id, const std::vector<uint32_t>& fields = {})
{
    std::vector<uint8_t> message(MBIM_MESSAGE_HEADER_SIZE + 4 * fields.size());
    mbim_write_u32(message.data(), MBIM_MESSAGE_TYPE, type);
    mbim_write_u32(message.data(), MBIM_MESSAGE_LENGTH, static_cast<uint32_t>(message.size()));
    mbim_write_u32(message.data(), MBIM_TRANSACTION_ID, transaction_id);
    for (size_t i = 0; i < fields.size(); i++)
        mbim_write_u32(message.data(), static_cast<uint32_t>(MBIM_MESSAGE_HEADER_SIZE + 4 * i), fields[i]);
    return message;
}

inline std::vector<uint8_t> Open(uint32_t transaction_id, uint32_t max_control_transfer)
{
    return Message(MBIM_OPEN_MSG, transaction_id, {max_control_transfer});
}

// A command cut into fragments of at most `max_fragment` bytes (all in one when 0).
inline std::vector<std::vector<uint8_t>> Command(uint32_t transaction_id, const GUID& service, uint32_t cid,
                                                 uint32_t command_type, const std::vector<uint8_t>& payload,
                                                 uint32_t max_fragment = 0)
{
    uint32_t first_room = max_fragment ? max_fragment - MBIM_COMMAND_HEADER_SIZE : static_cast<uint32_t>(payload.size());
    uint32_t later_room = max_fragment ? max_fragment - MBIM_FRAGMENT_HEADER_SIZE : 1;
    std::vector<std::vector<uint8_t>> fragments;
    size_t offset = 0;
    do {
        bool first = fragments.empty();
        uint32_t header = first ? MBIM_COMMAND_HEADER_SIZE : MBIM_FRAGMENT_HEADER_SIZE;
        size_t chunk = std::min<size_t>(payload.size() - offset, first ? first_room : later_room);
        std::vector<uint8_t> fragment(header + chunk);
        mbim_write_u32(fragment.data(), MBIM_MESSAGE_TYPE, MBIM_COMMAND_MSG);
        mbim_write_u32(fragment.data(), MBIM_MESSAGE_LENGTH, static_cast<uint32_t>(fragment.size()));
        mbim_write_u32(fragment.data(), MBIM_TRANSACTION_ID, transaction_id);
        mbim_write_u32(fragment.data(), MBIM_CURRENT_FRAGMENT, static_cast<uint32_t>(fragments.size()));
        if (first) {
            mbim_uuid_to_wire(service, fragment.data() + MBIM_DEVICE_SERVICE_ID);
            mbim_write_u32(fragment.data(), MBIM_CID, cid);
            mbim_write_u32(fragment.data(), MBIM_COMMAND_TYPE, command_type);
            mbim_write_u32(fragment.data(), MBIM_COMMAND_INFORMATION_LENGTH, static_cast<uint32_t>(payload.size()));
        }
        if (chunk != 0)
            memcpy(fragment.data() + header, payload.data() + offset, chunk);
        offset += chunk;
        fragments.push_back(std::move(fragment));
    } while (offset < payload.size());
    for (std::vector<uint8_t>& fragment : fragments)
        mbim_write_u32(fragment.data(), MBIM_TOTAL_FRAGMENTS, static_cast<uint32_t>(fragments.size()));
    return fragments;
}

// An answer rejoined from its fragments; `error` names the first broken rule (empty when none).
struct Answer {
    std::string error;
    uint32_t type = 0, transaction_id = 0, total = 0, cid = 0, status = 0, information_length = 0;
    uint8_t service[16] = {};
    std::vector<uint8_t> payload;
};

// Joins COMMAND_DONE (header 48) or INDICATE_STATUS (header 44) fragments sent with max control
// transfer `max_transfer`: each fragment is at most that large (one fragment of any size when the
// transfer is below the header), MessageLength counts its bytes, the counters run 0 to total - 1 and
// the first fragment's InformationBufferLength is the joined payload's length.
inline Answer Join(const std::vector<std::vector<uint8_t>>& fragments, uint32_t header, uint32_t max_transfer)
{
    Answer answer;
    auto fail = [&](const std::string& what, size_t index) {
        answer.error = what + " at fragment " + std::to_string(index);
        return answer;
    };
    if (fragments.empty())
        return fail("no fragment", 0);
    for (size_t i = 0; i < fragments.size(); i++) {
        const std::vector<uint8_t>& f = fragments[i];
        uint32_t room = i == 0 ? header : MBIM_FRAGMENT_HEADER_SIZE;
        if (f.size() < room)
            return fail("short fragment", i);
        if (max_transfer >= header ? f.size() > max_transfer : fragments.size() != 1)
            return fail("fragment above the max control transfer", i);
        if (mbim_read_u32(f.data(), MBIM_MESSAGE_LENGTH) != f.size())
            return fail("MessageLength", i);
        if (mbim_read_u32(f.data(), MBIM_CURRENT_FRAGMENT) != i)
            return fail("CurrentFragment", i);
        if (i == 0) {
            answer.type = mbim_read_u32(f.data(), MBIM_MESSAGE_TYPE);
            answer.transaction_id = mbim_read_u32(f.data(), MBIM_TRANSACTION_ID);
            answer.total = mbim_read_u32(f.data(), MBIM_TOTAL_FRAGMENTS);
            memcpy(answer.service, f.data() + MBIM_DEVICE_SERVICE_ID, sizeof(answer.service));
            answer.cid = mbim_read_u32(f.data(), MBIM_CID);
            if (header == MBIM_COMMAND_HEADER_SIZE)
                answer.status = mbim_read_u32(f.data(), MBIM_COMMAND_TYPE);
            answer.information_length = mbim_read_u32(f.data(), header - 4);
        } else if (mbim_read_u32(f.data(), MBIM_MESSAGE_TYPE) != answer.type ||
                   mbim_read_u32(f.data(), MBIM_TRANSACTION_ID) != answer.transaction_id ||
                   mbim_read_u32(f.data(), MBIM_TOTAL_FRAGMENTS) != answer.total) {
            return fail("header differs from the first", i);
        }
        answer.payload.insert(answer.payload.end(), f.begin() + room, f.end());
    }
    if (answer.total != fragments.size())
        return fail("TotalFragments", 0);
    if (answer.information_length != answer.payload.size())
        return fail("InformationBufferLength", 0);
    return answer;
}

} // namespace mbimwire
