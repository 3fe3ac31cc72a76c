#include "sim/modem/mac.h"

#include "sim/modem/address_map.h"

namespace sim::modem {
namespace {

using namespace mac;

// Registers the modem's own logic sets: the host reads them and its writes are dropped; they outlive a
// power loss because the test or the firmware model, not the host, owns them.
constexpr ULONG kDeviceOwned[] = {kLowAckOnly, kLinkStatus, kDebug0, kDebug1, kDebug2, kResumeState};

bool DeviceOwned(ULONG offset)
{
    for (ULONG owned : kDeviceOwned)
        if (owned == offset)
            return true;
    return false;
}

constexpr ULONG kSizeCodeShift = 1;
constexpr ULONG kSizeCodeMask = 0x3F;

} // namespace

ULONG Mac::Read(ULONG offset) const
{
    switch (offset) {
    case kLegacyStatus:
    case kMsixStatus: return Status();
    case kMsixEnabled: return ~mask_;
    case kGrant: return granted_ ? kGrantValue : 0;
    case kPowerSet:
    case kPowerClear: return power_;
    case kLegacyUnmask:
    case kLegacyMask:
    case kMsixUnmask:
    case kMsixMask:
    case kLowStatusClear: return 0; // write-only
    default: return offset < kRegisterSpan ? Reg(offset) : 0;
    }
}

// A cleared bit whose source still holds its level is set again at once, and counts as new: the host
// acknowledged one event and the source already has the next.
void Mac::Write(ULONG offset, ULONG value)
{
    switch (offset) {
    case kLowStatusClear: value &= 0xFF; [[fallthrough]];
    case kLegacyStatus:
    case kMsixStatus:
        latched_ &= ~value;
        active_ &= ~value;
        return;
    case kLegacyUnmask:
    case kMsixUnmask: mask_ &= ~value; return;
    case kLegacyMask:
    case kMsixMask: mask_ |= value; return;
    case kPowerSet: power_ |= value; return;
    case kPowerClear: power_ &= ~value; return;
    case kMsixEnabled:
    case kGrant: return;
    case kBootStatus: Reg(kBootStatus) = (Reg(kBootStatus) & ~kBootStatusHostMark) | (value & kBootStatusHostMark); return;
    default:
        if (offset < kRegisterSpan && !DeviceOwned(offset))
            Reg(offset) = value;
    }
}

void Mac::SetLevel(ULONG source, bool asserted)
{
    if (source >= 8)
        return;
    ULONG bit = 1u << (kSourceBitBase + source);
    levels_ = asserted ? levels_ | bit : levels_ & ~bit;
}

void Mac::Set(ULONG offset, ULONG value)
{
    if (offset < kRegisterSpan)
        Reg(offset) = value;
}

bool Mac::ResourceRequested() const
{
    return (power_ & kPowerResourceBit) != 0 || (Reg(kResourceRequest) & kResourceRequestBit) != 0;
}

ULONG Mac::Vectors() const
{
    ULONG code = Reg(kVectorCount);
    return code % 2 == 1 && code <= 11 ? 1u << (code - 1) / 2 : 32;
}

Delivery Mac::Evaluate(bool messageMode, ULONG messages)
{
    Delivery delivery;
    const bool output = (Reg(kOutputDisable) & 1) == 0;
    if (!messageMode) {
        delivery.line = output && (Status() & Reg(kLegacyEnable) & ~mask_) != 0;
        return delivery;
    }
    ULONG active = output ? Status() & ~mask_ : 0;
    ULONG fresh = active & ~active_;
    active_ = active;
    const ULONG vectors = Vectors();
    for (ULONG bit = 0; fresh != 0; bit++, fresh >>= 1) {
        if ((fresh & 1) == 0)
            continue;
        ULONG message = messages == 1 ? 0 : bit % vectors;
        if (message < messages)
            delivery.messages |= 1u << message;
        else
            lost_++;
    }
    return delivery;
}

Mac::Window Mac::Entry(ULONG port, ULONG table) const
{
    const ULONG at = AtrEntry(port, table);
    const ULONG word0 = Reg(at);
    const ULONG code = (word0 >> kSizeCodeShift) & kSizeCodeMask;
    Window window;
    window.enabled = (word0 & 1) != 0;
    window.transparent = code == kAtrTransparent;
    window.source = ULONG64(Reg(at + 4)) << 32 | (word0 & 0xFFFFF000);
    window.translated = ULONG64(Reg(at + 0xC)) << 32 | (Reg(at + 8) & 0xFFFFF000);
    window.size = window.transparent ? 0 : 1ull << (code + 1);
    return window;
}

std::optional<ULONG64> Mac::Translate(ULONG firstPort, ULONG lastPort, ULONG64 address, SIZE_T length) const
{
    for (ULONG port = firstPort; port <= lastPort; port++)
        for (ULONG table = 0; table < kAtrTables; table++) {
            Window w = Entry(port, table);
            if (!w.enabled)
                continue;
            if (w.transparent)
                return address;
            ULONG64 into = address - w.source;
            if (address >= w.source && into < w.size && length <= w.size - into)
                return w.translated + into;
        }
    return std::nullopt;
}

std::optional<ULONG64> Mac::TranslateInbound(ULONG64 address) const { return Translate(0, 0, address, 4); }

std::optional<ULONG64> Mac::TranslateOutbound(ULONG64 address, SIZE_T length) const
{
    return Translate(1, kAtrPorts - 1, address, length);
}

void Mac::PowerOn()
{
    std::array<ULONG, std::size(kDeviceOwned)> kept;
    for (size_t i = 0; i < kept.size(); i++)
        kept[i] = Reg(kDeviceOwned[i]);
    regs_.fill(0);
    for (size_t i = 0; i < kept.size(); i++)
        Reg(kDeviceOwned[i]) = kept[i];
    latched_ = 0;
    mask_ = 0;
    power_ = 0;
    active_ = 0;
    granted_ = false;
}

} // namespace sim::modem
