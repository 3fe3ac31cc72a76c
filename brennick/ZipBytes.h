// Little-endian fields of ZIP records, read from and appended to byte buffers.
#pragma once

#include <cstdint>
#include <vector>

inline uint16_t ZipLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t ZipLe32(const uint8_t* p)
{
    return ZipLe16(p) | static_cast<uint32_t>(ZipLe16(p + 2)) << 16;
}

inline void ZipPut16(std::vector<uint8_t>* out, uint32_t value)
{
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

inline void ZipPut32(std::vector<uint8_t>* out, uint32_t value)
{
    ZipPut16(out, value & 0xFFFF);
    ZipPut16(out, value >> 16);
}
