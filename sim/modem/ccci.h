// The CCCI channel protocol as it crosses the wire between the host and the modem's firmware: the
// 16-byte header, message and control frames, the port enumeration, and the table of logical channels
// (which core carries a channel, on which CLDMA queues). The table is written from the modem's side of
// the contract: the host transmits on `hostTx` and the modem answers on `hostRx`.
#pragma once

#include <ntdef.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sim::modem::ccci {

// Little-endian fields of wire records.
inline ULONG LoadU32(const UCHAR* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24;
}
inline USHORT LoadU16(const UCHAR* p) { return static_cast<USHORT>(p[0] | p[1] << 8); }
inline void StoreU32(UCHAR* p, ULONG value)
{
    for (int b = 0; b < 4; b++)
        p[b] = static_cast<UCHAR>(value >> (8 * b));
}
inline void StoreU16(UCHAR* p, USHORT value)
{
    p[0] = static_cast<UCHAR>(value);
    p[1] = static_cast<UCHAR>(value >> 8);
}

// The modem's two cores, on HIF path 0 and 1: the MD and the SAP CLDMA engine. A core's own handshake
// feature is 0 (MD) or 1 (SAP).
enum class Core : UCHAR { Md, Sap };
inline constexpr UCHAR CoreFeature(Core core) { return core == Core::Md ? 0 : 1; }

// The header: data0 (0 data, all ones message), data1 (frame length, or the message id), channel, seq
// (bit 15: the number is meaningful), reserved (the message argument).
inline constexpr SIZE_T kHeaderSize = 16;
inline constexpr SIZE_T kControlHeaderSize = 12; // id, argument, data length
inline constexpr SIZE_T kControlFrameSize = kHeaderSize + kControlHeaderSize;
inline constexpr ULONG kMessageMarker = 0xFFFFFFFF;
inline constexpr USHORT kSeqNumbered = 0x8000;
inline constexpr USHORT kSeqMask = 0x7FFF;

struct Header {
    ULONG data0 = 0;
    ULONG data1 = 0;
    USHORT channel = 0;
    USHORT seq = 0;
    ULONG reserved = 0;
    bool operator==(const Header&) const = default;
};

Header ParseHeader(const UCHAR* bytes);
void PutHeader(UCHAR* bytes, const Header& header);

// Whole frames, seq left 0 for the sender to stamp.
std::vector<UCHAR> DataFrame(USHORT channel, std::span<const UCHAR> payload);
std::vector<UCHAR> MessageFrame(USHORT channel, ULONG id, ULONG argument);
std::vector<UCHAR> ControlFrame(USHORT channel, ULONG id, ULONG argument, std::span<const UCHAR> data = {});

// Channels with a role of their own (host transmit / host receive).
inline constexpr USHORT kSysHostTx = 0x2003;
inline constexpr USHORT kSysHostRx = 0x2002;
inline constexpr USHORT kCtrlHostTx = 0x2001;
inline constexpr USHORT kCtrlHostRx = 0x2000;
inline constexpr USHORT kSapCtrlHostTx = 0x1001;
inline constexpr USHORT kSapCtrlHostRx = 0x1000;
inline constexpr USHORT kPollHostTx = 0x2044;
inline constexpr USHORT kPollHostRx = 0x2043;
inline constexpr USHORT kMinidumpHostRx = 0x1010;
inline constexpr USHORT kMbimHostTx = 0x20D1;
inline constexpr USHORT kMbimHostRx = 0x20D0;
inline constexpr USHORT kHighestChannel = 0x20E1; // the host drops frames on anything above
inline constexpr USHORT kRawChannel = 0xFFFF;     // the boot table's ports: no header at all

// System messages: the modem's query and the host's answer with the same argument.
inline constexpr ULONG kSysQueryA = 0x114;
inline constexpr ULONG kSysAnswerA = 0x115;
inline constexpr ULONG kSysQueryB = 0x116;
inline constexpr ULONG kSysAnswerB = 0x117;
std::optional<ULONG> SystemAnswerId(ULONG query);

// Control message ids: the handshake's three steps (the host's feature set, the modem's answer, the
// host's runtime-feature reply), the port enumeration.
inline constexpr ULONG kCtrlHostFeatures = 0;
inline constexpr ULONG kCtrlHandshake = 1;
inline constexpr ULONG kCtrlRuntimeReply = 2;
inline constexpr ULONG kCtrlPortEnumeration = 9;
// The modem's exception messages carry their magic as the argument: the announcement (the host answers
// it with the same id and magic on 0x2001), the record (its data after the control header), the pass.
inline constexpr ULONG kCtrlExceptionAnnounce = 4;
inline constexpr ULONG kCtrlExceptionRecord = 6;
inline constexpr ULONG kCtrlExceptionPass = 8;
inline constexpr ULONG kExceptionMagic = 0x45584350; // "EXCP"
inline constexpr ULONG kRecordMagic = 0x45524543;    // "EREC"
inline constexpr ULONG kEnumerationRefused = 0x00657272; // the host's answer to an enumeration it refused

// The port enumeration, the data of control message 9: head, count, version, tail, entries (a channel
// in bits 0-14, bit 15 set to enable it).
inline constexpr ULONG kEnumerationHead = 0x5A5A5A5A;
inline constexpr ULONG kEnumerationTail = 0xA5A5A5A5;
inline constexpr USHORT kEnumerationEnable = 0x8000;
struct Enumeration {
    std::vector<ULONG> entries;
    ULONG head = kEnumerationHead;
    USHORT version = 0;
    ULONG tail = kEnumerationTail;
    std::optional<USHORT> count; // the count field when it should not match the entries
};
std::vector<UCHAR> EnumerationData(const Enumeration& enumeration);

// The handshake. A feature byte: bits 0-3 the support level, bits 4-7 the version. The modem's answer
// (the data of control message 1): marker, its 64 feature bytes, marker, then one entry per feature
// {id, support, 0, 0, u32 data length, data}; the entry of the core's own feature (0 MD, 1 SAP) carries
// the core's port enumeration.
inline constexpr ULONG kHandshakeMarker = 0x49434343;
inline constexpr size_t kFeatureCount = 64;
inline constexpr UCHAR kLevelRequired = 2;
inline constexpr SIZE_T kHostFeaturesSize = 100;   // the host's feature set, a whole frame
inline constexpr SIZE_T kRuntimeReplySize = 540;   // the host's reply, a whole frame
inline constexpr SIZE_T kRuntimeEntrySize = 8;
struct RuntimeFeature {
    UCHAR id = 0;
    UCHAR support = 0;
    std::vector<UCHAR> data;
};
struct HandshakeAnswer {
    std::array<UCHAR, kFeatureCount> features{};
    std::vector<RuntimeFeature> entries;
    ULONG head = kHandshakeMarker;
    ULONG tail = kHandshakeMarker;
    std::optional<size_t> size; // the data cut to this many bytes (a short answer)
};
std::vector<UCHAR> HandshakeAnswerData(const HandshakeAnswer& answer);

// The answer a healthy modem gives on `core`: its own feature granted, an entry per feature, every
// character channel of the core enabled.
HandshakeAnswer DefaultHandshakeAnswer(Core core);

// The host's write limit per frame on the MBIM channels is 3584 - 128 data bytes.
inline constexpr SIZE_T kMbimChunk = 3456;
inline constexpr SIZE_T kMbimHeaderSize = 12; // MessageType, MessageLength, TransactionId

// The table of logical channels.
enum class PortKind : UCHAR { Char, Sys, Ctrl, Poll };
inline constexpr UCHAR kNoQueue = 0xFF;
inline constexpr ULONG kPortCharDevice = 0x80;
inline constexpr ULONG kPortRaw = 0x200;
inline constexpr ULONG kPortEnabledAtStart = 0x400;

struct Port {
    std::string_view name;
    USHORT hostTx;
    USHORT hostRx;
    UCHAR txq, rxq;       // normal operation
    UCHAR txqExp, rxqExp; // while the modem is in exception
    Core core;
    ULONG flags;
    PortKind kind;
};

extern const std::array<Port, 25> kPorts;
extern const std::array<Port, 2> kBootPorts; // "brom_download" on SAP queue 0, "ttyDUMP" on queue 1

// Lookups in the normal table; none when no row has the channel or the name.
const Port* PortByHostTx(USHORT channel);
const Port* PortByHostRx(USHORT channel);
const Port* PortByName(std::string_view name);

} // namespace sim::modem::ccci
