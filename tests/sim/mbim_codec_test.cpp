// The MBIM codec: fields at their wire offsets, UUIDs in big-endian layout, refusal of malformed
// messages, fragmentation and reassembly, and information buffers with offset/size pairs.
#include <gtest/gtest.h>

#include "sim/mbim/mbim.h"

#include <numeric>

namespace
{

using namespace sim::mbim;

Bytes Pattern(size_t size, uint8_t seed = 1)
{
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

TEST(MbimCodec, BuildersPutEachFieldAtItsOffsetAndParseReadsItBack)
{
    const Bytes info = Pattern(6);
    struct Case {
        const char* what;
        Bytes message;
        std::vector<std::pair<size_t, uint32_t>> words; // offset, value
        size_t infoAt;                                  // 0: none
    };
    const Case cases[] = {
        {"open", BuildOpen(7, 2048), {{0, 1}, {4, 16}, {8, 7}, {12, 2048}}, 0},
        {"close", BuildClose(8), {{0, 2}, {4, 12}, {8, 8}}, 0},
        {"host error", BuildHostError(9, kErrorLengthMismatch), {{0, 4}, {12, 3}}, 0},
        {"open done", BuildOpenDone(7, 0), {{0, 0x80000001}, {4, 16}, {12, 0}}, 0},
        {"close done", BuildCloseDone(8, 5), {{0, 0x80000002}, {12, 5}}, 0},
        {"function error", BuildFunctionError(9, kErrorNotOpened), {{0, 0x80000004}, {8, 9}, {12, 5}}, 0},
        {"command", BuildCommand(10, kBasicConnect, kCidConnect, kSet, info),
         {{0, 3}, {4, 54}, {8, 10}, {12, 1}, {16, 0}, {36, 12}, {40, 1}, {44, 6}}, 48},
        {"command done", BuildCommandDone(11, kBasicConnect, kCidRadioState, 0x1234, info),
         {{0, 0x80000003}, {4, 54}, {12, 1}, {36, 3}, {40, 0x1234}, {44, 6}}, 48},
        {"indication", BuildIndicateStatus(kBasicConnect, kCidConnect, info),
         {{0, 0x80000007}, {4, 50}, {8, 0}, {12, 1}, {36, 12}, {40, 6}}, 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (auto [offset, value] : c.words)
            EXPECT_EQ(value, ReadU32(c.message, offset)) << "offset " << offset;
        if (c.infoAt != 0) {
            EXPECT_TRUE(std::equal(kBasicConnect.bytes.begin(), kBasicConnect.bytes.end(), c.message.begin() + 20));
            EXPECT_EQ(info, Bytes(c.message.begin() + c.infoAt, c.message.end()));
        }
        std::string error;
        std::optional<Message> parsed = Parse(c.message, &error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(c.message, Build(*parsed));
    }
}

TEST(MbimCodec, ServiceUuidTravelsBigEndianAndConvertsToGuidLayout)
{
    // {A289CC33-BCBB-8B4F-B6B0-133EC2AAE6DF}
    const std::array<uint8_t, 16> wire = {0xA2, 0x89, 0xCC, 0x33, 0xBC, 0xBB, 0x8B, 0x4F,
                                          0xB6, 0xB0, 0x13, 0x3E, 0xC2, 0xAA, 0xE6, 0xDF};
    const std::array<uint8_t, 16> guid = {0x33, 0xCC, 0x89, 0xA2, 0xBB, 0xBC, 0x4F, 0x8B,
                                          0xB6, 0xB0, 0x13, 0x3E, 0xC2, 0xAA, 0xE6, 0xDF};
    EXPECT_EQ(wire, kBasicConnect.bytes);
    EXPECT_EQ(guid, kBasicConnect.GuidLayout());
    EXPECT_EQ(kBasicConnect, Uuid::FromGuidLayout(guid));
}

TEST(MbimCodec, MalformedMessagesAreRefusedWithAReason)
{
    const Bytes command = BuildCommand(1, kBasicConnect, kCidDeviceCaps, kQuery, Pattern(8));
    auto with = [&](size_t offset, uint32_t value) {
        Bytes bytes = command;
        WriteU32(bytes, offset, value);
        return bytes;
    };
    Bytes truncated(command.begin(), command.begin() + 40);
    WriteU32(truncated, 4, 40);
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"shorter than a header", Bytes(11, 0)},
        {"length above the bytes", with(4, uint32_t(command.size() + 1))},
        {"length below the bytes", with(4, uint32_t(command.size() - 1))},
        {"unknown type", with(0, 0x80000005)},
        {"no fragments", with(12, 0)},
        {"current fragment past the total", with(16, 1)},
        {"a fragment of a longer message", with(12, 2)},
        {"information length too large", with(44, 9)},
        {"information length too small", with(44, 7)},
        {"fixed part cut short", truncated},
        {"open without its size", Bytes{1, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0}},
        {"open done with trailing bytes", Bytes{1, 0, 0, 0x80, 20, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9}},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.bytes, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(MbimCodec, LargeMessagesCrossInFragmentsAndJoinIntact)
{
    constexpr size_t kMax = 2048;
    constexpr size_t kChunk = kMax - kFragmentHeaderSize;
    // Information sizes around the fragment boundaries: the body is the 28 fixed bytes after the
    // fragment header plus the information.
    for (size_t size : {size_t(0), kChunk - 28, kChunk - 27, size_t(5000)}) {
        SCOPED_TRACE(size);
        const Bytes whole = BuildCommandDone(77, kBasicConnectExtensions, kCidVersion, 0, Pattern(size, 3));
        std::vector<Bytes> fragments = Fragment(whole, kMax);
        ASSERT_EQ((whole.size() - kFragmentHeaderSize + kChunk - 1) / kChunk, fragments.size());
        Reassembler joiner;
        for (size_t i = 0; i < fragments.size(); ++i) {
            const Bytes& f = fragments[i];
            EXPECT_LE(f.size(), kMax);
            EXPECT_EQ(f.size(), ReadU32(f, 4));
            EXPECT_EQ(77u, ReadU32(f, 8));
            EXPECT_EQ(fragments.size(), ReadU32(f, 12));
            EXPECT_EQ(i, ReadU32(f, 16));
            Reassembler::Result r = joiner.Feed(f);
            EXPECT_EQ("", r.error);
            EXPECT_EQ(i + 1 == fragments.size(), r.message.has_value());
            if (r.message) {
                EXPECT_EQ(whole, *r.message);
            }
        }
    }
    EXPECT_TRUE(Fragment(BuildCommand(1, kBasicConnect, 1, 0, Pattern(100)), kCommandInfo - 1).empty());
    EXPECT_EQ(1u, Fragment(BuildOpen(1, 4096), kCommandInfo).size());
}

TEST(MbimCodec, InterruptedOrInconsistentReassemblyIsDiscardedAndReported)
{
    const Bytes whole = BuildCommand(5, kBasicConnect, kCidConnect, kSet, Pattern(300));
    const std::vector<Bytes> parts = Fragment(whole, 128);
    ASSERT_GE(parts.size(), 3u);
    auto other = [&](size_t index, size_t offset, uint32_t value) {
        Bytes f = parts[index];
        WriteU32(f, offset, value);
        return f;
    };
    struct Case {
        const char* what;
        std::vector<Bytes> feed; // after the first fragment
        bool passesThrough;      // the last one is a message of its own
    };
    const Case cases[] = {
        {"another transaction", {other(1, 8, 6)}, false},
        {"fragment skipped", {parts[2]}, false},
        {"fragment repeated", {parts[1], parts[1]}, false},
        {"another total", {other(1, 12, 9)}, false},
        {"malformed fragment", {other(1, 4, 3)}, false},
        {"unfragmented message between", {BuildOpenDone(9, 0)}, true},
        {"a new first fragment", {parts[0]}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reassembler joiner;
        EXPECT_FALSE(joiner.Feed(parts[0]).message);
        Reassembler::Result last;
        bool reported = false;
        for (const Bytes& f : c.feed) {
            last = joiner.Feed(f);
            reported = reported || !last.error.empty();
        }
        EXPECT_TRUE(reported);
        EXPECT_EQ(c.passesThrough, last.message.has_value());
        // The channel resynchronises on the next whole message.
        joiner.Reset();
        Reassembler::Result r;
        for (const Bytes& f : parts)
            r = joiner.Feed(f);
        ASSERT_TRUE(r.message);
        EXPECT_EQ(whole, *r.message);
    }
    Reassembler joiner;
    Reassembler::Result orphan = joiner.Feed(parts[1]);
    EXPECT_FALSE(orphan.message);
    EXPECT_NE("", orphan.error);
}

TEST(MbimCodec, InformationBuffersCarryPairsAndUtf16Strings)
{
    ConnectSet set;
    set.sessionId = 3;
    set.accessString = u"internet.\u00e9x";
    set.userName = u"user";
    set.ipType = kIpV4V6;
    Bytes info = BuildConnectSetInfo(set);
    EXPECT_EQ(0u, info.size() % 4);
    EXPECT_EQ(60u, ReadU32(info, 8));                         // the access string right after the fixed part
    EXPECT_EQ(2 * set.accessString.size(), ReadU32(info, 12)); // its size in bytes
    EXPECT_EQ(0u, ReadU32(info, 24));                         // no password: {0, 0}
    EXPECT_EQ(0x00E9u, ReadU32(info, 60 + 18) & 0xFFFF);      // UTF-16LE
    std::optional<ConnectSet> back = ParseConnectSetInfo(info);
    ASSERT_TRUE(back);
    EXPECT_EQ(set.accessString, back->accessString);
    EXPECT_EQ(set.userName, back->userName);
    EXPECT_EQ(u"", back->password);
    EXPECT_EQ(kIpV4V6, back->ipType);
    EXPECT_EQ(kContextTypeInternet, back->contextType);

    // A pair that points outside the buffer, or an odd-sized string, is refused.
    Bytes outside = info;
    WriteU32(outside, 12, uint32_t(info.size()));
    EXPECT_FALSE(ParseConnectSetInfo(outside));
    Bytes odd = info;
    WriteU32(odd, 20, 3);
    EXPECT_FALSE(ReadString(odd, 16));
    EXPECT_FALSE(ReadPair(info, info.size() - 4));

    ConnectInfo answer{3, kActivationStateActivated, 0, kIpV4, kContextTypeInternet, 0};
    Bytes done = BuildCommandDone(4, kBasicConnect, kCidConnect, 0, BuildConnectInfo(answer));
    EXPECT_EQ(3u, ReadU32(done, 48));
    EXPECT_EQ(1u, ReadU32(done, 52));
    Bytes indication = BuildIndicateStatus(kBasicConnect, kCidConnect, BuildConnectInfo(answer));
    EXPECT_EQ(3u, ReadU32(indication, 44));
    EXPECT_EQ(1u, ReadU32(indication, 48));
    std::optional<ConnectInfo> parsed = ParseConnectInfo(Parse(done)->information);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(kActivationStateActivated, parsed->activationState);
}

} // namespace
