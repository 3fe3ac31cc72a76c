// The MBIM wire format, one codec for every party outside the drivers: the modem's MBIM function, the
// OS-side host, the simulator's view and the tests.
//
// Every field is little-endian. A message starts with {MessageType, MessageLength, TransactionId};
// COMMAND, COMMAND_DONE and INDICATE_STATUS follow it with a fragment header {TotalFragments,
// CurrentFragment}. A fragment's MessageLength is its own length; the fragments of one message carry its
// TransactionId, in order, back to back; a continuation fragment holds nothing but the next bytes of the
// message's body (what follows the fragment header). Service UUIDs travel in big-endian layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::mbim
{

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

enum MessageType : uint32_t {
    kOpen = 1,
    kClose = 2,
    kCommand = 3,
    kHostError = 4,
    kOpenDone = 0x80000001,
    kCloseDone = 0x80000002,
    kCommandDone = 0x80000003,
    kFunctionError = 0x80000004,
    kIndicateStatus = 0x80000007,
};

enum CommandType : uint32_t { kQuery = 0, kSet = 1 };

// Field offsets from the start of a message.
inline constexpr size_t kHeaderSize = 12;
inline constexpr size_t kFragmentHeaderSize = 20; // header + {TotalFragments, CurrentFragment}
inline constexpr size_t kOpenMaxControlTransfer = 12;
inline constexpr size_t kDoneStatus = 12;   // OPEN_DONE, CLOSE_DONE
inline constexpr size_t kErrorStatus = 12;  // HOST_ERROR, FUNCTION_ERROR
inline constexpr size_t kServiceOffset = 20; // COMMAND, COMMAND_DONE, INDICATE_STATUS
inline constexpr size_t kCidOffset = 36;
inline constexpr size_t kCommandTypeOffset = 40; // COMMAND
inline constexpr size_t kCommandDoneStatus = 40; // COMMAND_DONE
inline constexpr size_t kCommandInfoLength = 44; // COMMAND, COMMAND_DONE
inline constexpr size_t kCommandInfo = 48;
inline constexpr size_t kIndicateInfoLength = 40;
inline constexpr size_t kIndicateInfo = 44;

// Status codes used on the wire.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusFailure = 2;
inline constexpr uint32_t kErrorTimeoutFragment = 1;
inline constexpr uint32_t kErrorFragmentOutOfSequence = 2;
inline constexpr uint32_t kErrorLengthMismatch = 3;
inline constexpr uint32_t kErrorNotOpened = 5;
inline constexpr uint32_t kErrorUnknown = 6;

// A service UUID as its 16 wire bytes (big-endian layout: the text order of the UUID).
struct Uuid {
    std::array<uint8_t, 16> bytes{};
    bool operator==(const Uuid&) const = default;

    // From the usual fields {Data1, Data2, Data3, Data4}.
    static constexpr Uuid FromFields(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4)
    {
        Uuid u;
        for (int i = 0; i < 4; ++i)
            u.bytes[i] = uint8_t(d1 >> (24 - 8 * i));
        u.bytes[4] = uint8_t(d2 >> 8);
        u.bytes[5] = uint8_t(d2);
        u.bytes[6] = uint8_t(d3 >> 8);
        u.bytes[7] = uint8_t(d3);
        for (int i = 0; i < 8; ++i)
            u.bytes[8 + i] = d4[i];
        return u;
    }
    // The same UUID in memory (GUID) layout: Data1, Data2 and Data3 little-endian. The conversion is
    // its own inverse.
    std::array<uint8_t, 16> GuidLayout() const;
    static Uuid FromGuidLayout(const std::array<uint8_t, 16>& guid);
};

inline constexpr Uuid kBasicConnect =
    Uuid::FromFields(0xA289CC33, 0xBCBB, 0x8B4F, {0xB6, 0xB0, 0x13, 0x3E, 0xC2, 0xAA, 0xE6, 0xDF});
inline constexpr Uuid kBasicConnectExtensions =
    Uuid::FromFields(0x3D01DCC5, 0xFEF5, 0x4D05, {0x0D, 0x3A, 0xBE, 0xF7, 0x05, 0x8E, 0x9A, 0xAF});
inline constexpr Uuid kContextTypeInternet =
    Uuid::FromFields(0x7E5E2A7E, 0x4E6F, 0x7272, {0x73, 0x6B, 0x65, 0x6E, 0x7E, 0x5E, 0x2A, 0x7E});

// CIDs of basic connect, and of the basic connect extensions.
inline constexpr uint32_t kCidDeviceCaps = 1;
inline constexpr uint32_t kCidSubscriberReadyStatus = 2;
inline constexpr uint32_t kCidRadioState = 3;
inline constexpr uint32_t kCidConnect = 12;
inline constexpr uint32_t kCidIpConfiguration = 15;
inline constexpr uint32_t kCidDeviceServices = 16;
inline constexpr uint32_t kCidVersion = 15; // basic connect extensions

uint32_t ReadU32(View bytes, size_t offset); // 0 past the end
void WriteU32(uint8_t* at, uint32_t value);
void WriteU32(Bytes& bytes, size_t offset, uint32_t value);

bool IsFragmented(uint32_t type); // COMMAND, COMMAND_DONE, INDICATE_STATUS

// A whole message, as parsed. Fields a type does not carry stay 0 / empty.
struct Message {
    uint32_t type = 0;
    uint32_t transactionId = 0;
    uint32_t maxControlTransfer = 0; // OPEN
    uint32_t status = 0;             // OPEN_DONE, CLOSE_DONE, COMMAND_DONE; the error of HOST/FUNCTION_ERROR
    Uuid service{};
    uint32_t cid = 0;
    uint32_t commandType = 0; // COMMAND
    Bytes information;        // COMMAND, COMMAND_DONE, INDICATE_STATUS
};

// Builders of whole messages (one fragment for the fragmented types).
Bytes BuildOpen(uint32_t transactionId, uint32_t maxControlTransfer);
Bytes BuildClose(uint32_t transactionId);
Bytes BuildOpenDone(uint32_t transactionId, uint32_t status);
Bytes BuildCloseDone(uint32_t transactionId, uint32_t status);
Bytes BuildHostError(uint32_t transactionId, uint32_t error);
Bytes BuildFunctionError(uint32_t transactionId, uint32_t error);
Bytes BuildCommand(uint32_t transactionId, const Uuid& service, uint32_t cid, uint32_t commandType, View information);
Bytes BuildCommandDone(uint32_t transactionId, const Uuid& service, uint32_t cid, uint32_t status, View information);
Bytes BuildIndicateStatus(const Uuid& service, uint32_t cid, View information);
Bytes Build(const Message& message);

// Parses one whole message: the sizes must agree (MessageLength = the bytes given, the information
// buffer filling the rest exactly) and a fragmented type must be a single fragment. Malformed input
// yields nothing and, when `error` is given, the reason.
std::optional<Message> Parse(View bytes, std::string* error = nullptr);

// Checks one fragment as it crosses a link: a known type, MessageLength = the bytes given, exactly the
// type's size for the unfragmented types, and for fragmented types at least the fixed part of a first
// fragment, TotalFragments >= 1 and CurrentFragment below it.
bool CheckFragment(View bytes, std::string* error = nullptr);

// Splits a whole message into fragments of at most `maxFragment` bytes (more than the fragment header).
// Types that are never fragmented come back whole. Empty when the message is malformed or
// `maxFragment` too small.
std::vector<Bytes> Fragment(View whole, size_t maxFragment);

// Joins the fragments of one message at a time. A fragment that does not continue the message in
// progress (another TransactionId, type or count, or a CurrentFragment out of order) discards it; the
// fragment then starts a message of its own when it is a first fragment. A malformed fragment is
// refused. Unfragmented types pass straight through (and also interrupt a message in progress).
class Reassembler
{
  public:
    struct Result {
        std::optional<Bytes> message; // a whole message, ready for Parse
        std::string error;            // set when something was discarded or refused
    };
    Result Feed(View fragment);
    // Drops the message in progress; true when there was one.
    bool Reset();
    bool InProgress() const { return expected_ != 0; }
    uint32_t TransactionId() const { return transactionId_; }

  private:
    Bytes partial_;
    uint32_t type_ = 0;
    uint32_t transactionId_ = 0;
    uint32_t total_ = 0;
    uint32_t expected_ = 0; // next CurrentFragment; 0 when idle
};

// Information buffers: fixed fields, then offset/size pairs whose data follows, each piece padded to 4
// bytes. Offsets are from the start of the information buffer. Strings are UTF-16LE.
class InfoBuilder
{
  public:
    explicit InfoBuilder(size_t fixedSize) : fixed_(fixedSize, 0) {}
    void U32(size_t offset, uint32_t value);
    void Uuid(size_t offset, const sim::mbim::Uuid& uuid);
    // Appends the data and writes its {offset, size} pair at `pairOffset`; empty data gives {0, 0}.
    void Data(size_t pairOffset, View data);
    void String(size_t pairOffset, std::u16string_view text);
    Bytes Take();

  private:
    Bytes fixed_;
    Bytes data_;
};

// Reads the data of an {offset, size} pair at `pairOffset`: nothing when it lies outside `info`.
std::optional<View> ReadPair(View info, size_t pairOffset);
std::optional<std::u16string> ReadString(View info, size_t pairOffset);

// Basic connect CONNECT.
enum IpType : uint32_t { kIpDefault = 0, kIpV4 = 1, kIpV6 = 2, kIpV4V6 = 3 };
inline constexpr uint32_t kActivationDeactivate = 0;
inline constexpr uint32_t kActivationActivate = 1;
inline constexpr uint32_t kActivationStateActivated = 1;
inline constexpr uint32_t kActivationStateDeactivated = 3;

struct ConnectSet {
    uint32_t sessionId = 0;
    uint32_t activationCommand = kActivationActivate;
    std::u16string accessString;
    std::u16string userName;
    std::u16string password;
    uint32_t compression = 0;
    uint32_t authProtocol = 0;
    uint32_t ipType = kIpDefault;
    sim::mbim::Uuid contextType = kContextTypeInternet;
};
Bytes BuildConnectSetInfo(const ConnectSet& set);
std::optional<ConnectSet> ParseConnectSetInfo(View info);

struct ConnectInfo {
    uint32_t sessionId = 0;
    uint32_t activationState = 0;
    uint32_t voiceCallState = 0;
    uint32_t ipType = 0;
    sim::mbim::Uuid contextType{};
    uint32_t networkError = 0;
};
inline constexpr size_t kConnectInfoSize = 36;
Bytes BuildConnectInfo(const ConnectInfo& info);
std::optional<ConnectInfo> ParseConnectInfo(View info);

} // namespace sim::mbim
