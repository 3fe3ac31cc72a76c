// What the CLDMA tests look at in a ring: its requests in descriptor order, and frames of
// recognisable bytes to push through it.
#pragma once

#include "cldma.h"

#include <vector>

namespace cldmatest
{

inline std::vector<u8> Frame(size_t length, u8 seed)
{
    std::vector<u8> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (u8)(seed + i * 3);
    return bytes;
}

inline std::vector<struct cldma_request*> Requests(const struct cldma_ring& ring)
{
    std::vector<struct cldma_request*> requests;
    for (PLIST_ENTRY entry = ring.requests.Flink; entry != &ring.requests; entry = entry->Flink)
        requests.push_back(CONTAINING_RECORD(entry, struct cldma_request, link));
    return requests;
}

} // namespace cldmatest
