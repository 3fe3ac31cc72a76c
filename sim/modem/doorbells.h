// The modem's doorbell block, host side (at kMhccifOffset of the modem window). The host rings doorbell
// n by writing 1 << n; the bit shows as not yet consumed until the modem has taken it. The modem rings
// the host by setting status bits, which stay set while masked until the host clears them; the block
// holds MAC source 4 while a status bit is set and not masked. Plain state: the modem serialises it.
#pragma once

#include <ntdef.h>

namespace sim::modem {

namespace doorbell {
inline constexpr ULONG kRing = 0x04;        // host to modem: 1 << n rings doorbell n
inline constexpr ULONG kMaskRead = 0x08;    // the modem-to-host mask, for the host's register dumps
inline constexpr ULONG kNumber = 0x0C;      // the number of the doorbell just rung
inline constexpr ULONG kStatus = 0x10;      // modem to host
inline constexpr ULONG kStatusClear = 0x14; // write 1 to clear
inline constexpr ULONG kPending = 0x20;     // host-to-modem doorbells not yet consumed
// Bits 15 and 16 of kPending always read clear: the host checks them clear before it serves the
// modem's handshake requests, which use the same numbers in the other direction.
inline constexpr ULONG kPendingNeverShown = 1u << 15 | 1u << 16;
inline constexpr ULONG kMaskSet = 0x30;
inline constexpr ULONG kMaskClear = 0x40;
inline constexpr ULONG kMessage = 0x12C;    // power message: code << 16 | sequence
inline constexpr ULONG kSpan = 0x1000;

// Host to modem.
inline constexpr ULONG kResourceRequest = 3;
inline constexpr ULONG kSuspend1 = 9, kResume1 = 10, kSuspend2 = 11, kResume2 = 12;
// Modem to host.
inline constexpr ULONG kResourceGrant = 0;
inline constexpr ULONG kSuspendAck1 = 11, kResumeAck1 = 12, kSuspendAck2 = 13, kResumeAck2 = 14;

inline constexpr ULONG kSuspendCode = 0x5355; // "SU"
inline constexpr ULONG kResumeCode = 0x5245;  // "RE"
} // namespace doorbell

class Doorbells {
public:
    // The host's accesses. Write returns the doorbells it rang (a bit per doorbell).
    ULONG Read(ULONG offset) const;
    ULONG Write(ULONG offset, ULONG value);

    // The modem's side.
    void RingHost(ULONG bits) { status_ |= bits; }
    void Consume(ULONG bits) { pending_ &= ~bits; }
    ULONG Status() const { return status_; }
    ULONG Mask() const { return mask_; }
    ULONG Pending() const { return pending_; }
    ULONG Message() const { return message_; }
    // MAC source 4.
    bool Level() const { return (status_ & ~mask_) != 0; }

    // Power removed: no status, nothing pending, every modem-to-host doorbell masked.
    void PowerOn() { *this = Doorbells(); }

private:
    ULONG status_ = 0;
    ULONG mask_ = ~0u;
    ULONG pending_ = 0;
    ULONG number_ = 0;
    ULONG message_ = 0;
};

} // namespace sim::modem
