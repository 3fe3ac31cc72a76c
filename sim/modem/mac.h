// The modem's PCIe MAC, in the first memory window: one interrupt status word and one mask word seen
// through two register sets (the legacy one and the MSI-X one), the legacy enable and the output
// disable, the MSI-X vector count, the address-translation tables and the power-control registers the
// modem's responder serves. Plain state: the modem serialises every call and publishes what
// Evaluate returns.
#pragma once

#include <ntdef.h>

#include <array>
#include <optional>

namespace sim::modem {

namespace mac {
inline constexpr ULONG kLowAckOnly = 0x0BC;     // non-zero: the host acknowledges bits 0-7 only
inline constexpr ULONG kLinkStatus = 0x150;
inline constexpr ULONG kDebug0 = 0x180;
inline constexpr ULONG kDebug1 = 0x184;
inline constexpr ULONG kLegacyEnable = 0x188;
inline constexpr ULONG kLegacyStatus = 0x18C;   // write 1 to clear
inline constexpr ULONG kOutputDisable = 0x1AC;  // bit 0
inline constexpr ULONG kLegacyUnmask = 0x1F0;
inline constexpr ULONG kLegacyMask = 0x1F4;
inline constexpr ULONG kDebug2 = 0x1D4;
inline constexpr ULONG kResourceRequest = 0x348; // bit 7
inline constexpr ULONG kLowStatusClear = 0x3CC;  // clears status bits 0-7
inline constexpr ULONG kVectorCount = 0x3EC;     // 2 * ffs(count) - 1; 0: 32
inline constexpr ULONG kAtr = 0x600;             // 6 ports x 8 tables x 32 bytes
inline constexpr ULONG kResumeState = 0xD0C;
inline constexpr ULONG kBootStatus = 0xD1C;
inline constexpr ULONG kBootStatusHostMark = 0xF0000000; // the host's mark; bits 0-27 are the modem's
inline constexpr ULONG kGrant = 0xD28;           // 0x1F while the resource is granted
inline constexpr ULONG kPowerSet = 0xE50;
inline constexpr ULONG kPowerClear = 0xE54;
inline constexpr ULONG kMsixStatus = 0xF00;      // write 1 to clear
inline constexpr ULONG kMsixUnmask = 0x3000;
inline constexpr ULONG kMsixMask = 0x3080;
inline constexpr ULONG kMsixEnabled = 0x3100;    // the bits not masked
inline constexpr ULONG kRegisterSpan = 0x4000;   // registers; the MSI-X table sits above them

inline constexpr ULONG kResourceRequestBit = 0x80;
inline constexpr ULONG kPowerResourceBit = 0x2; // of the 0xE50/0xE54 group: keep the modem awake
inline constexpr ULONG kGrantValue = 0x1F;

inline constexpr ULONG kAtrPorts = 6;
inline constexpr ULONG kAtrTables = 8;
inline constexpr ULONG kAtrEntrySize = 32;
inline constexpr ULONG kAtrTransparent = 63; // size code: addresses pass unchanged

inline constexpr ULONG AtrEntry(ULONG port, ULONG table) { return kAtr + (port * kAtrTables + table) * kAtrEntrySize; }
} // namespace mac

// What a change of the MAC's state sends to the host.
struct Delivery {
    ULONG messages = 0; // message-signalled: the messages to send (bit m: message m)
    bool line = false;  // line mode: the line's level
};

class Mac {
public:
    Mac() { PowerOn(); }

    // The host's accesses to a 32-bit register at `offset` of the window.
    ULONG Read(ULONG offset) const;
    void Write(ULONG offset, ULONG value);

    // The modem's side. A source's level holds its status bit set; raised bits stay until cleared.
    void SetLevel(ULONG source, bool asserted);
    void Raise(ULONG bits) { latched_ |= bits; }
    ULONG Status() const { return latched_ | levels_; }
    ULONG Mask() const { return mask_; }
    // Registers only the modem writes (0xBC, 0x150, 0xD0C, ...), or any register as the modem sets it.
    void Set(ULONG offset, ULONG value);
    void SetGranted(bool granted) { granted_ = granted; }
    bool Granted() const { return granted_; }
    // The host asks for the resource: 0xE50 bit 1 or 0x348 bit 7.
    bool ResourceRequested() const;

    // What to send after a change: in message mode (`messages` granted to the function) each status bit
    // newly pending and unmasked sends message bit mod N (N from 0x3EC), or message 0 when the function
    // has only one; in line mode the line is asserted while status & enable & ~mask is non-zero. The
    // output disable bit silences both.
    Delivery Evaluate(bool messageMode, ULONG messages);
    // Status bits that became pending on a message the function does not have.
    ULONG64 LostMessages() const { return lost_; }

    // Address translation. The host's window (port 0): the modem address behind host address `address`,
    // none when no enabled entry covers it. The modem's DMA (ports 1-5): the host address of
    // [address, address + length), none when no enabled entry covers it.
    std::optional<ULONG64> TranslateInbound(ULONG64 address) const;
    std::optional<ULONG64> TranslateOutbound(ULONG64 address, SIZE_T length) const;

    // Power removed: translation, masks, enables, status and the vector count are gone; what the modem
    // itself shows (0xBC, 0x150, 0xD0C, ...) stays.
    void PowerOn();

private:
    struct Window {
        bool enabled = false;
        bool transparent = false;
        ULONG64 source = 0;
        ULONG64 translated = 0;
        ULONG64 size = 0;
    };
    Window Entry(ULONG port, ULONG table) const;
    std::optional<ULONG64> Translate(ULONG firstPort, ULONG lastPort, ULONG64 address, SIZE_T length) const;
    ULONG Vectors() const;
    ULONG& Reg(ULONG offset) { return regs_[offset / 4]; }
    ULONG Reg(ULONG offset) const { return regs_[offset / 4]; }

    std::array<ULONG, mac::kRegisterSpan / 4> regs_{};
    ULONG latched_ = 0;
    ULONG levels_ = 0;
    ULONG mask_ = 0;
    ULONG power_ = 0;   // the 0xE50/0xE54 group
    ULONG active_ = 0;  // message mode: the bits already sent
    bool granted_ = false;
    ULONG64 lost_ = 0;
};

} // namespace sim::modem
