// Byte order of MBIM fields: the wire carries a service UUID with its first three fields big-endian,
// the tables keep it in GUID order (first three fields little-endian). Every conversion between the two
// goes through mbim_uuid_swap, here, whoever the caller is.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <string.h>

inline uint16_t mbim_bswap16(uint16_t value)
{
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}

inline uint32_t mbim_bswap32(uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// Wire order to GUID order and back: the same swap both ways; the last eight bytes stay.
inline GUID mbim_uuid_swap(const GUID& uuid)
{
    GUID swapped = uuid;
    swapped.Data1 = mbim_bswap32(uuid.Data1);
    swapped.Data2 = mbim_bswap16(uuid.Data2);
    swapped.Data3 = mbim_bswap16(uuid.Data3);
    return swapped;
}

// The 16 wire bytes at `wire` as a GUID in GUID order.
inline GUID mbim_uuid_from_wire(const uint8_t* wire)
{
    GUID raw;
    memcpy(&raw, wire, sizeof(raw));
    return mbim_uuid_swap(raw);
}

// A GUID-order UUID as 16 wire bytes at `wire`.
inline void mbim_uuid_to_wire(const GUID& uuid, uint8_t* wire)
{
    GUID swapped = mbim_uuid_swap(uuid);
    memcpy(wire, &swapped, sizeof(swapped));
}
