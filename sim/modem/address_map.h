// Where the modem's blocks sit. The second memory window shows 4 MiB of modem addresses from
// kModemWindowBase on, once the host's address translation maps it; offsets below are from that base.
#pragma once

#include <ntdef.h>

namespace sim::modem {

inline constexpr ULONG64 kModemWindowBase = 0x10000000;
inline constexpr ULONG64 kModemWindowSize = 4ull << 20;

inline constexpr ULONG kBarMac = 0;    // the PCIe MAC
inline constexpr ULONG kBarWindow = 2; // the modem window

inline constexpr ULONG64 kInfraOffset = 0x1000;      // modem registers the host reads
inline constexpr ULONG64 kRguOffset = 0x790C;        // reset generation unit: its interrupt register
inline constexpr ULONG kRguResetPending = 0x1;       // the value it reads while a reset interrupt waits
inline constexpr ULONG64 kMhccifOffset = 0x24000;    // doorbells, host side
inline constexpr ULONG64 kMhccifMdOffset = 0x25000;  // doorbells, modem side
inline constexpr ULONG64 kCldmaSapA = 0x49000;
inline constexpr ULONG64 kCldmaMdA = 0x4B000;
inline constexpr ULONG64 kCldmaSapB = 0x21D000;
inline constexpr ULONG64 kCldmaMdB = 0x21F000;
inline constexpr ULONG64 kDpmaifEngine = 0x22C000;  // DPMAIF engine registers
inline constexpr ULONG64 kDpmaifControl = 0x14000;  // DPMAIF interrupt masks and queue enables
inline constexpr ULONG64 kDpmaifOutside = 0x1140;   // the bus-side values the DPMAIF set-up writes

// MAC interrupt status bits: source n is bit 24 + n.
inline constexpr ULONG kSourceBitBase = 24;
enum Source : ULONG {
    kSourceDpmaif0 = 0,
    kSourceCldmaSap = 1,
    kSourceCldmaMd = 2,
    kSourceDoorbell = 4,
    kSourceDpmaif5 = 5,
    kSourceReset = 6,
};

} // namespace sim::modem
