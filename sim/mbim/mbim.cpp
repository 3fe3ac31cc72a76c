// The MBIM wire format: builders, the parser, the fragmenter and the reassembler.
#include "sim/mbim/mbim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim::mbim
{
namespace
{

// The fixed part of a first (or only) fragment; continuation fragments carry the fragment header only.
size_t FixedSize(uint32_t type)
{
    switch (type) {
    case kClose:
        return kHeaderSize;
    case kOpen:
    case kHostError:
    case kOpenDone:
    case kCloseDone:
    case kFunctionError:
        return kHeaderSize + 4;
    case kCommand:
    case kCommandDone:
        return kCommandInfo;
    case kIndicateStatus:
        return kIndicateInfo;
    default:
        return 0;
    }
}

size_t InfoLengthOffset(uint32_t type)
{
    return type == kIndicateStatus ? kIndicateInfoLength : kCommandInfoLength;
}

Bytes Header(uint32_t type, uint32_t transactionId, size_t length)
{
    Bytes bytes(length, 0);
    WriteU32(bytes, 0, type);
    WriteU32(bytes, 4, uint32_t(length));
    WriteU32(bytes, 8, transactionId);
    if (IsFragmented(type))
        WriteU32(bytes, 12, 1);
    return bytes;
}

Bytes WithWord(uint32_t type, uint32_t transactionId, uint32_t word)
{
    Bytes bytes = Header(type, transactionId, kHeaderSize + 4);
    WriteU32(bytes, kHeaderSize, word);
    return bytes;
}

Bytes WithService(uint32_t type, uint32_t transactionId, const Uuid& service, uint32_t cid, View information)
{
    size_t fixed = FixedSize(type);
    Bytes bytes = Header(type, transactionId, fixed + information.size());
    std::copy(service.bytes.begin(), service.bytes.end(), bytes.begin() + kServiceOffset);
    WriteU32(bytes, kCidOffset, cid);
    WriteU32(bytes, InfoLengthOffset(type), uint32_t(information.size()));
    std::copy(information.begin(), information.end(), bytes.begin() + fixed);
    return bytes;
}

bool Fail(std::string* error, std::string text)
{
    if (error != nullptr)
        *error = std::move(text);
    return false;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

std::array<uint8_t, 16> Uuid::GuidLayout() const
{
    std::array<uint8_t, 16> g = bytes;
    std::reverse(g.begin(), g.begin() + 4);
    std::reverse(g.begin() + 4, g.begin() + 6);
    std::reverse(g.begin() + 6, g.begin() + 8);
    return g;
}

Uuid Uuid::FromGuidLayout(const std::array<uint8_t, 16>& guid)
{
    Uuid u;
    u.bytes = guid;
    u.bytes = u.GuidLayout();
    return u;
}

uint32_t ReadU32(View bytes, size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < 4)
        return 0;
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

void WriteU32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(value >> (8 * i));
}

void WriteU32(Bytes& bytes, size_t offset, uint32_t value)
{
    WriteU32(bytes.data() + offset, value);
}

bool IsFragmented(uint32_t type)
{
    return type == kCommand || type == kCommandDone || type == kIndicateStatus;
}

Bytes BuildOpen(uint32_t transactionId, uint32_t maxControlTransfer)
{
    return WithWord(kOpen, transactionId, maxControlTransfer);
}
Bytes BuildClose(uint32_t transactionId)
{
    return Header(kClose, transactionId, kHeaderSize);
}
Bytes BuildOpenDone(uint32_t transactionId, uint32_t status)
{
    return WithWord(kOpenDone, transactionId, status);
}
Bytes BuildCloseDone(uint32_t transactionId, uint32_t status)
{
    return WithWord(kCloseDone, transactionId, status);
}
Bytes BuildHostError(uint32_t transactionId, uint32_t error)
{
    return WithWord(kHostError, transactionId, error);
}
Bytes BuildFunctionError(uint32_t transactionId, uint32_t error)
{
    return WithWord(kFunctionError, transactionId, error);
}

Bytes BuildCommand(uint32_t transactionId, const Uuid& service, uint32_t cid, uint32_t commandType, View information)
{
    Bytes bytes = WithService(kCommand, transactionId, service, cid, information);
    WriteU32(bytes, kCommandTypeOffset, commandType);
    return bytes;
}

Bytes BuildCommandDone(uint32_t transactionId, const Uuid& service, uint32_t cid, uint32_t status, View information)
{
    Bytes bytes = WithService(kCommandDone, transactionId, service, cid, information);
    WriteU32(bytes, kCommandDoneStatus, status);
    return bytes;
}

Bytes BuildIndicateStatus(const Uuid& service, uint32_t cid, View information)
{
    return WithService(kIndicateStatus, 0, service, cid, information);
}

Bytes Build(const Message& m)
{
    switch (m.type) {
    case kOpen:
        return BuildOpen(m.transactionId, m.maxControlTransfer);
    case kClose:
        return BuildClose(m.transactionId);
    case kCommand:
        return BuildCommand(m.transactionId, m.service, m.cid, m.commandType, m.information);
    case kCommandDone:
        return BuildCommandDone(m.transactionId, m.service, m.cid, m.status, m.information);
    case kIndicateStatus: {
        Bytes bytes = BuildIndicateStatus(m.service, m.cid, m.information);
        WriteU32(bytes, 8, m.transactionId);
        return bytes;
    }
    case kOpenDone:
    case kCloseDone:
    case kHostError:
    case kFunctionError:
        return WithWord(m.type, m.transactionId, m.status);
    default:
        return {};
    }
}

bool CheckFragment(View bytes, std::string* error)
{
    if (bytes.size() < kHeaderSize)
        return Fail(error, "message of " + std::to_string(bytes.size()) + " bytes is shorter than its header");
    uint32_t type = ReadU32(bytes, 0);
    uint32_t length = ReadU32(bytes, 4);
    size_t fixed = FixedSize(type);
    if (fixed == 0)
        return Fail(error, "unknown message type " + Hex(type));
    if (length != bytes.size())
        return Fail(error, "MessageLength " + std::to_string(length) + " of a " + std::to_string(bytes.size()) +
                               "-byte message");
    if (!IsFragmented(type))
        return length == fixed || Fail(error, "message type " + Hex(type) + " of " + std::to_string(length) + " bytes");
    if (length < kFragmentHeaderSize)
        return Fail(error, "fragment of " + std::to_string(length) + " bytes has no fragment header");
    uint32_t total = ReadU32(bytes, 12);
    uint32_t current = ReadU32(bytes, 16);
    if (total == 0 || current >= total)
        return Fail(error, "fragment " + std::to_string(current) + " of " + std::to_string(total));
    if (current == 0 && length < fixed)
        return Fail(error, "first fragment of type " + Hex(type) + " of " + std::to_string(length) + " bytes");
    return true;
}

std::optional<Message> Parse(View bytes, std::string* error)
{
    if (!CheckFragment(bytes, error))
        return std::nullopt;
    Message m;
    m.type = ReadU32(bytes, 0);
    m.transactionId = ReadU32(bytes, 8);
    switch (m.type) {
    case kOpen:
        m.maxControlTransfer = ReadU32(bytes, kOpenMaxControlTransfer);
        return m;
    case kClose:
        return m;
    case kOpenDone:
    case kCloseDone:
    case kHostError:
    case kFunctionError:
        m.status = ReadU32(bytes, kDoneStatus);
        return m;
    default:
        break;
    }
    if (ReadU32(bytes, 12) != 1) {
        Fail(error, "fragment of a " + std::to_string(ReadU32(bytes, 12)) + "-fragment message is not whole");
        return std::nullopt;
    }
    size_t fixed = FixedSize(m.type);
    uint32_t infoLength = ReadU32(bytes, InfoLengthOffset(m.type));
    if (infoLength != bytes.size() - fixed) {
        Fail(error, "InformationBufferLength " + std::to_string(infoLength) + " with " +
                        std::to_string(bytes.size() - fixed) + " bytes of information");
        return std::nullopt;
    }
    std::copy_n(bytes.begin() + kServiceOffset, 16, m.service.bytes.begin());
    m.cid = ReadU32(bytes, kCidOffset);
    if (m.type == kCommand)
        m.commandType = ReadU32(bytes, kCommandTypeOffset);
    if (m.type == kCommandDone)
        m.status = ReadU32(bytes, kCommandDoneStatus);
    m.information.assign(bytes.begin() + fixed, bytes.end());
    return m;
}

std::vector<Bytes> Fragment(View whole, size_t maxFragment)
{
    if (!CheckFragment(whole))
        return {};
    uint32_t type = ReadU32(whole, 0);
    if (!IsFragmented(type))
        return {Bytes(whole.begin(), whole.end())};
    if (ReadU32(whole, 12) != 1 || maxFragment <= kFragmentHeaderSize || maxFragment < FixedSize(type))
        return {};
    View body = whole.subspan(kFragmentHeaderSize);
    size_t chunk = maxFragment - kFragmentHeaderSize;
    size_t count = std::max<size_t>(1, (body.size() + chunk - 1) / chunk);
    std::vector<Bytes> fragments;
    fragments.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        View piece = body.subspan(i * chunk, std::min(chunk, body.size() - i * chunk));
        Bytes fragment(whole.begin(), whole.begin() + kFragmentHeaderSize);
        fragment.insert(fragment.end(), piece.begin(), piece.end());
        WriteU32(fragment, 4, uint32_t(fragment.size()));
        WriteU32(fragment, 12, uint32_t(count));
        WriteU32(fragment, 16, uint32_t(i));
        fragments.push_back(std::move(fragment));
    }
    return fragments;
}

bool Reassembler::Reset()
{
    bool was = expected_ != 0;
    partial_.clear();
    expected_ = 0;
    type_ = total_ = transactionId_ = 0;
    return was;
}

Reassembler::Result Reassembler::Feed(View fragment)
{
    Result result;
    auto discard = [&](const std::string& why) {
        std::string id = std::to_string(transactionId_);
        if (Reset())
            result.error = "reassembly of transaction " + id + " discarded: " + why;
    };
    std::string why;
    if (!CheckFragment(fragment, &why)) {
        discard(why);
        if (result.error.empty())
            result.error = "fragment refused: " + why;
        return result;
    }
    uint32_t type = ReadU32(fragment, 0);
    uint32_t tid = ReadU32(fragment, 8);
    if (!IsFragmented(type)) {
        discard("interrupted by message type " + Hex(type));
        result.message = Bytes(fragment.begin(), fragment.end());
        return result;
    }
    uint32_t total = ReadU32(fragment, 12);
    uint32_t current = ReadU32(fragment, 16);
    if (expected_ != 0) {
        if (tid == transactionId_ && type == type_ && total == total_ && current == expected_) {
            partial_.insert(partial_.end(), fragment.begin() + kFragmentHeaderSize, fragment.end());
            ++expected_;
        } else {
            discard("fragment " + std::to_string(current) + "/" + std::to_string(total) + " of transaction " +
                    std::to_string(tid) + " where fragment " + std::to_string(expected_) + " was due");
        }
    }
    if (expected_ == 0) {
        if (current != 0) {
            if (result.error.empty())
                result.error = "fragment " + std::to_string(current) + " of transaction " + std::to_string(tid) +
                               " without its first fragment";
            return result;
        }
        partial_.assign(fragment.begin(), fragment.end());
        type_ = type;
        transactionId_ = tid;
        total_ = total;
        expected_ = 1;
    }
    if (expected_ == total_) {
        WriteU32(partial_, 4, uint32_t(partial_.size()));
        WriteU32(partial_, 12, 1);
        WriteU32(partial_, 16, 0);
        result.message = std::move(partial_);
        Reset();
    }
    return result;
}

void InfoBuilder::U32(size_t offset, uint32_t value)
{
    WriteU32(fixed_, offset, value);
}

void InfoBuilder::Uuid(size_t offset, const sim::mbim::Uuid& uuid)
{
    std::copy(uuid.bytes.begin(), uuid.bytes.end(), fixed_.begin() + offset);
}

void InfoBuilder::Data(size_t pairOffset, View data)
{
    if (data.empty()) {
        U32(pairOffset, 0);
        U32(pairOffset + 4, 0);
        return;
    }
    U32(pairOffset, uint32_t(fixed_.size() + data_.size()));
    U32(pairOffset + 4, uint32_t(data.size()));
    data_.insert(data_.end(), data.begin(), data.end());
    data_.resize((data_.size() + 3) & ~size_t(3), 0);
}

void InfoBuilder::String(size_t pairOffset, std::u16string_view text)
{
    Bytes utf16;
    for (char16_t c : text) {
        utf16.push_back(uint8_t(c));
        utf16.push_back(uint8_t(c >> 8));
    }
    Data(pairOffset, utf16);
}

Bytes InfoBuilder::Take()
{
    Bytes info = std::move(fixed_);
    info.insert(info.end(), data_.begin(), data_.end());
    data_.clear();
    return info;
}

std::optional<View> ReadPair(View info, size_t pairOffset)
{
    if (pairOffset > info.size() || info.size() - pairOffset < 8)
        return std::nullopt;
    uint64_t offset = ReadU32(info, pairOffset);
    uint64_t size = ReadU32(info, pairOffset + 4);
    if (offset + size > info.size())
        return std::nullopt;
    return info.subspan(size_t(offset), size_t(size));
}

std::optional<std::u16string> ReadString(View info, size_t pairOffset)
{
    std::optional<View> data = ReadPair(info, pairOffset);
    if (!data || data->size() % 2 != 0)
        return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i < data->size(); i += 2)
        text.push_back(char16_t((*data)[i] | (*data)[i + 1] << 8));
    return text;
}

namespace
{
constexpr size_t kConnectSetFixed = 60;

sim::mbim::Uuid ReadUuid(View info, size_t offset)
{
    sim::mbim::Uuid u;
    std::copy_n(info.begin() + offset, 16, u.bytes.begin());
    return u;
}
} // namespace

Bytes BuildConnectSetInfo(const ConnectSet& set)
{
    InfoBuilder b(kConnectSetFixed);
    b.U32(0, set.sessionId);
    b.U32(4, set.activationCommand);
    b.String(8, set.accessString);
    b.String(16, set.userName);
    b.String(24, set.password);
    b.U32(32, set.compression);
    b.U32(36, set.authProtocol);
    b.U32(40, set.ipType);
    b.Uuid(44, set.contextType);
    return b.Take();
}

std::optional<ConnectSet> ParseConnectSetInfo(View info)
{
    if (info.size() < kConnectSetFixed)
        return std::nullopt;
    ConnectSet set;
    set.sessionId = ReadU32(info, 0);
    set.activationCommand = ReadU32(info, 4);
    auto access = ReadString(info, 8);
    auto user = ReadString(info, 16);
    auto password = ReadString(info, 24);
    if (!access || !user || !password)
        return std::nullopt;
    set.accessString = *access;
    set.userName = *user;
    set.password = *password;
    set.compression = ReadU32(info, 32);
    set.authProtocol = ReadU32(info, 36);
    set.ipType = ReadU32(info, 40);
    set.contextType = ReadUuid(info, 44);
    return set;
}

Bytes BuildConnectInfo(const ConnectInfo& c)
{
    InfoBuilder b(kConnectInfoSize);
    b.U32(0, c.sessionId);
    b.U32(4, c.activationState);
    b.U32(8, c.voiceCallState);
    b.U32(12, c.ipType);
    b.Uuid(16, c.contextType);
    b.U32(32, c.networkError);
    return b.Take();
}

std::optional<ConnectInfo> ParseConnectInfo(View info)
{
    if (info.size() < kConnectInfoSize)
        return std::nullopt;
    ConnectInfo c;
    c.sessionId = ReadU32(info, 0);
    c.activationState = ReadU32(info, 4);
    c.voiceCallState = ReadU32(info, 8);
    c.ipType = ReadU32(info, 12);
    c.contextType = ReadUuid(info, 16);
    c.networkError = ReadU32(info, 32);
    return c;
}

} // namespace sim::mbim
