#include "sim/pci/config_space.h"

#include <algorithm>

namespace sim::pci {
namespace {

using namespace reg;

constexpr ULONG kExtendedStart = 0x100;

ULONG Clamp(ULONG offset, ULONG length)
{
    return offset >= ConfigSpace::kSize ? 0 : std::min(length, ConfigSpace::kSize - offset);
}

} // namespace

ULONG ConfigSpace::Read(ULONG offset, void* buffer, ULONG length) const
{
    ULONG moved = Clamp(offset, length);
    std::copy_n(value_.begin() + offset, moved, static_cast<UCHAR*>(buffer));
    return moved;
}

ULONG ConfigSpace::Write(ULONG offset, const void* buffer, ULONG length)
{
    ULONG moved = Clamp(offset, length);
    const auto* bytes = static_cast<const UCHAR*>(buffer);
    for (ULONG i = 0; i < moved; i++) {
        ULONG at = offset + i;
        UCHAR kept = value_[at] & ~writable_[at];
        UCHAR written = bytes[i] & writable_[at];
        value_[at] = static_cast<UCHAR>((kept | written) & ~(bytes[i] & clear_[at]));
    }
    return moved;
}

ULONG ConfigSpace::Get(ULONG offset, ULONG width) const
{
    ULONG value = 0;
    for (ULONG i = 0; i < width && offset + i < kSize; i++)
        value |= ULONG(value_[offset + i]) << (8 * i);
    return value;
}

void ConfigSpace::Set(ULONG offset, ULONG width, ULONG value)
{
    for (ULONG i = 0; i < width && offset + i < kSize; i++)
        value_[offset + i] = static_cast<UCHAR>(value >> (8 * i));
}

void ConfigSpace::Define(ULONG offset, ULONG width, ULONG value, ULONG writable, ULONG clearOnWrite)
{
    Set(offset, width, value);
    for (ULONG i = 0; i < width && offset + i < kSize; i++) {
        writable_[offset + i] = static_cast<UCHAR>(writable >> (8 * i));
        clear_[offset + i] = static_cast<UCHAR>(clearOnWrite >> (8 * i));
    }
}

UCHAR ConfigSpace::AddCapability(UCHAR id, UCHAR length)
{
    ULONG at = nextCapability_;
    nextCapability_ = ALIGN_UP_BY(at + length, 4);
    Set(at, 1, id);
    Set(at + 1, 1, 0);
    if (lastCapability_ == 0) {
        Set(kCapabilityPointer, 1, at);
        Set(kStatus, 2, Get(kStatus, 2) | kStatusCapabilities);
    } else {
        Set(lastCapability_ + 1, 1, at);
    }
    lastCapability_ = at;
    return static_cast<UCHAR>(at);
}

USHORT ConfigSpace::AddExtendedCapability(USHORT id, UCHAR version, USHORT length)
{
    ULONG at = nextExtended_;
    nextExtended_ = ALIGN_UP_BY(at + length, 4);
    Set(at, 4, id | ULONG(version & 0xF) << 16);
    if (lastExtended_ != 0)
        Set(lastExtended_, 4, (Get(lastExtended_, 4) & 0xFFFFF) | at << 20);
    lastExtended_ = at;
    return static_cast<USHORT>(at);
}

UCHAR ConfigSpace::FindCapability(UCHAR id) const
{
    if ((Get(kStatus, 2) & kStatusCapabilities) == 0)
        return 0;
    // Bounded walk: a list that loops ends after as many steps as the space could hold.
    ULONG at = Get(kCapabilityPointer, 1);
    for (int steps = 0; at >= 0x40 && steps < 48; steps++, at = Get(at + 1, 1))
        if (Get(at, 1) == id)
            return static_cast<UCHAR>(at);
    return 0;
}

USHORT ConfigSpace::FindExtendedCapability(USHORT id) const
{
    ULONG at = kExtendedStart;
    for (int steps = 0; at >= kExtendedStart && steps < 960; steps++) {
        ULONG header = Get(at, 4);
        if (header == 0 || header == MAXULONG)
            return 0;
        if ((header & 0xFFFF) == id)
            return static_cast<USHORT>(at);
        at = header >> 20;
    }
    return 0;
}

} // namespace sim::pci
