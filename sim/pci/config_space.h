// A 4 KiB configuration space with per-bit write rules: software writes keep read-only bits and clear
// write-1-to-clear bits; the device side sets any bit. Not locked: its owner serialises access.
#pragma once

#include <ntdef.h>

#include <array>

namespace sim::pci {

// Registers of the type 0 and type 1 configuration headers.
namespace reg {
inline constexpr ULONG kVendor = 0x00;
inline constexpr ULONG kDevice = 0x02;
inline constexpr ULONG kCommand = 0x04;
inline constexpr ULONG kStatus = 0x06;
inline constexpr ULONG kRevision = 0x08;
inline constexpr ULONG kClass = 0x09;
inline constexpr ULONG kCacheLine = 0x0C;
inline constexpr ULONG kHeaderType = 0x0E;
inline constexpr ULONG kBar0 = 0x10;
inline constexpr ULONG kBusNumbers = 0x18; // type 1: primary, secondary, subordinate
inline constexpr ULONG kSubsystemVendor = 0x2C;
inline constexpr ULONG kSubsystem = 0x2E;
inline constexpr ULONG kInterruptLine = 0x3C;
inline constexpr ULONG kInterruptPin = 0x3D;
inline constexpr ULONG kCapabilityPointer = 0x34;
inline constexpr ULONG kStatusCapabilities = 0x10; // Status: a capability list exists
} // namespace reg

class ConfigSpace {
public:
    static constexpr ULONG kSize = 4096;

    // Software access through the bus: the bytes moved, clamped to the space.
    ULONG Read(ULONG offset, void* buffer, ULONG length) const;
    ULONG Write(ULONG offset, const void* buffer, ULONG length);

    // Device-side access of a 1, 2 or 4-byte field.
    ULONG Get(ULONG offset, ULONG width) const;
    void Set(ULONG offset, ULONG width, ULONG value);
    // Defines a field: its power-on value, the bits software may write and those it clears by writing 1.
    void Define(ULONG offset, ULONG width, ULONG value, ULONG writable = 0, ULONG clearOnWrite = 0);

    // Appends a capability to the list at 0x34 (or an extended one to the list at 0x100) and returns
    // its offset; the header is filled in, the body is zero and read-only until defined.
    UCHAR AddCapability(UCHAR id, UCHAR length);
    USHORT AddExtendedCapability(USHORT id, UCHAR version, USHORT length);
    // 0 when absent.
    UCHAR FindCapability(UCHAR id) const;
    USHORT FindExtendedCapability(USHORT id) const;

    // Remembers the current values as the power-on state, and goes back to it.
    void SavePowerOn() { powerOn_ = value_; }
    void RestorePowerOn() { value_ = powerOn_; }

private:
    std::array<UCHAR, kSize> value_{};
    std::array<UCHAR, kSize> writable_{};
    std::array<UCHAR, kSize> clear_{};
    std::array<UCHAR, kSize> powerOn_{};
    ULONG nextCapability_ = 0x40;
    ULONG lastCapability_ = 0;   // offset of the last capability, 0 before the first
    ULONG nextExtended_ = 0x100;
    ULONG lastExtended_ = 0;
};

} // namespace sim::pci
