#include "sim/modem/ccci.h"

#include <algorithm>

namespace sim::modem::ccci {

Header ParseHeader(const UCHAR* bytes)
{
    return Header{LoadU32(bytes), LoadU32(bytes + 4), LoadU16(bytes + 8), LoadU16(bytes + 10), LoadU32(bytes + 12)};
}

void PutHeader(UCHAR* bytes, const Header& header)
{
    StoreU32(bytes, header.data0);
    StoreU32(bytes + 4, header.data1);
    StoreU16(bytes + 8, header.channel);
    StoreU16(bytes + 10, header.seq);
    StoreU32(bytes + 12, header.reserved);
}

std::vector<UCHAR> DataFrame(USHORT channel, std::span<const UCHAR> payload)
{
    std::vector<UCHAR> frame(kHeaderSize + payload.size());
    PutHeader(frame.data(), Header{0, static_cast<ULONG>(frame.size()), channel, 0, 0});
    std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
    return frame;
}

std::vector<UCHAR> MessageFrame(USHORT channel, ULONG id, ULONG argument)
{
    std::vector<UCHAR> frame(kHeaderSize);
    PutHeader(frame.data(), Header{kMessageMarker, id, channel, 0, argument});
    return frame;
}

std::vector<UCHAR> ControlFrame(USHORT channel, ULONG id, ULONG argument, std::span<const UCHAR> data)
{
    std::vector<UCHAR> frame(kControlFrameSize + data.size());
    PutHeader(frame.data(), Header{kMessageMarker, static_cast<ULONG>(frame.size()), channel, 0, 0});
    StoreU32(frame.data() + kHeaderSize, id);
    StoreU32(frame.data() + kHeaderSize + 4, argument);
    StoreU32(frame.data() + kHeaderSize + 8, static_cast<ULONG>(data.size()));
    std::copy(data.begin(), data.end(), frame.begin() + kControlFrameSize);
    return frame;
}

std::optional<ULONG> SystemAnswerId(ULONG query)
{
    switch (query) {
    case kSysQueryA: return kSysAnswerA;
    case kSysQueryB: return kSysAnswerB;
    default: return std::nullopt;
    }
}

std::vector<UCHAR> EnumerationData(const Enumeration& enumeration)
{
    std::vector<UCHAR> data(12 + 4 * enumeration.entries.size());
    StoreU32(data.data(), enumeration.head);
    StoreU16(data.data() + 4, enumeration.count.value_or(static_cast<USHORT>(enumeration.entries.size())));
    StoreU16(data.data() + 6, enumeration.version);
    StoreU32(data.data() + 8, enumeration.tail);
    for (size_t i = 0; i < enumeration.entries.size(); i++)
        StoreU32(data.data() + 12 + 4 * i, enumeration.entries[i]);
    return data;
}

std::vector<UCHAR> HandshakeAnswerData(const HandshakeAnswer& answer)
{
    std::vector<UCHAR> data(8 + kFeatureCount);
    StoreU32(data.data(), answer.head);
    std::copy(answer.features.begin(), answer.features.end(), data.begin() + 4);
    StoreU32(data.data() + 4 + kFeatureCount, answer.tail);
    for (const RuntimeFeature& entry : answer.entries) {
        UCHAR header[kRuntimeEntrySize] = {entry.id, entry.support};
        StoreU32(header + 4, static_cast<ULONG>(entry.data.size()));
        data.insert(data.end(), header, header + kRuntimeEntrySize);
        data.insert(data.end(), entry.data.begin(), entry.data.end());
    }
    if (answer.size)
        data.resize(std::min(data.size(), *answer.size));
    return data;
}

HandshakeAnswer DefaultHandshakeAnswer(Core core)
{
    HandshakeAnswer answer;
    const UCHAR own = CoreFeature(core);
    answer.features[own] = kLevelRequired;
    Enumeration enumeration;
    for (const Port& port : kPorts)
        if (port.core == core && port.kind == PortKind::Char)
            enumeration.entries.push_back(port.hostRx | kEnumerationEnable);
    for (UCHAR id = 0; id < kFeatureCount; id++)
        answer.entries.push_back(
            RuntimeFeature{id, answer.features[id], id == own ? EnumerationData(enumeration) : std::vector<UCHAR>{}});
    return answer;
}

namespace {
constexpr UCHAR N = kNoQueue;
constexpr Core Md = Core::Md;
constexpr Core Sap = Core::Sap;
constexpr PortKind Char = PortKind::Char;
} // namespace

const std::array<Port, 25> kPorts = {{
    {"ttyC0", 0x200C, 0x200A, 5, 5, N, N, Md, 0x80, Char},
    {"ttyCMdLog", 0x202B, 0x202A, 7, 7, 7, 7, Md, 0x80, Char},
    {"ccci_lb_it", 0x203F, 0x203E, 0, 0, N, N, Md, 0x80, Char},
    {"ttyCMIPC0", 0x20CF, 0x20CE, 2, 2, 0, 0, Md, 0x80, Char},
    {"ccci_sap_lb_it", 0x1003, 0x1002, 0, 0, 0, 0, Sap, 0x80, Char},
    {"ccci_sap_gnss", 0x1005, 0x1004, 0, 0, 0, 0, Sap, 0x80, Char},
    {"ccci_sap_meta", 0x1007, 0x1006, 1, 1, 0, 0, Sap, 0x80, Char},
    {"ccci_sap_log", 0x1009, 0x1008, 2, 2, 0, 0, Sap, 0x80, Char},
    {"ccci_sap_adb", 0x100B, 0x100A, 3, 3, 0, 0, Sap, 0x80, Char},
    {"ttyCMBIM0", 0x20D1, 0x20D0, 2, 2, 0, 0, Md, 0x80, Char},
    {"ttyCMdMeta", 0x2008, 0x2006, 1, 1, 1, 1, Md, 0x80, Char},
    {"minidump_notify", 0x1011, 0x1010, 5, 5, N, N, Sap, 0, Char},
    {"ttyCMBIMDSS0", 0x20D3, 0x20D2, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS1", 0x20D5, 0x20D4, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS2", 0x20D7, 0x20D6, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS3", 0x20D9, 0x20D8, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS4", 0x20DB, 0x20DA, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS5", 0x20DD, 0x20DC, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS6", 0x20DF, 0x20DE, 3, 3, 3, 3, Md, 0x80, Char},
    {"ttyCMBIMDSS7", 0x20E1, 0x20E0, 3, 3, 3, 3, Md, 0x80, Char},
    {"ccci_sap_test_gnss", 0x1013, 0x1012, 0, 0, 0, 0, Sap, 0x480, Char},
    {"ccci_sys", 0x2003, 0x2002, 0, 0, N, N, Md, 0, PortKind::Sys},
    {"ccci_ctrl", 0x2001, 0x2000, 0, 0, 0, 0, Md, 0, PortKind::Ctrl},
    {"ccci_poll", 0x2044, 0x2043, 0, 0, 0, 0, Md, 0, PortKind::Poll},
    {"ccci_sap_ctrl", 0x1001, 0x1000, 0, 0, 0, 0, Sap, 0, PortKind::Ctrl},
}};

const std::array<Port, 2> kBootPorts = {{
    {"brom_download", kRawChannel, kRawChannel, 0, 0, 0, 0, Sap, 0x280, Char},
    {"ttyDUMP", kRawChannel, kRawChannel, 1, 1, 1, 1, Sap, 0x280, Char},
}};

namespace {
template <class Match> const Port* Find(Match match)
{
    auto it = std::find_if(kPorts.begin(), kPorts.end(), match);
    return it == kPorts.end() ? nullptr : &*it;
}
} // namespace

const Port* PortByHostTx(USHORT channel)
{
    return Find([channel](const Port& port) { return port.hostTx == channel; });
}

const Port* PortByHostRx(USHORT channel)
{
    return Find([channel](const Port& port) { return port.hostRx == channel; });
}

const Port* PortByName(std::string_view name)
{
    return Find([name](const Port& port) { return port.name == name; });
}

} // namespace sim::modem::ccci
