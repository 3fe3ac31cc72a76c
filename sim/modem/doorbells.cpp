#include "sim/modem/doorbells.h"

namespace sim::modem {

using namespace doorbell;

ULONG Doorbells::Read(ULONG offset) const
{
    switch (offset) {
    case kMaskRead: return mask_;
    case kNumber: return number_;
    case kStatus: return status_;
    case kPending: return pending_ & ~kPendingNeverShown;
    case kMessage: return message_;
    default: return 0;
    }
}

ULONG Doorbells::Write(ULONG offset, ULONG value)
{
    switch (offset) {
    case kRing:
        pending_ |= value;
        return value;
    case kNumber: number_ = value; break;
    case kStatusClear: status_ &= ~value; break;
    case kMaskSet: mask_ |= value; break;
    case kMaskClear: mask_ &= ~value; break;
    case kMessage: message_ = value; break;
    default: break;
    }
    return 0;
}

} // namespace sim::modem
