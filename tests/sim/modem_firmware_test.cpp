// The firmware's channel side over both CLDMA engines, stepped: the channel table, what the firmware
// makes of the host's frames, its answers, and the faults tests script into what it sends.
#include <set>

#include "modem_firmware_rig.h"
#include "modem_host.h"

namespace {

using namespace fwtest;

std::vector<UCHAR> Bytes(std::initializer_list<int> values) { return {values.begin(), values.end()}; }

std::vector<UCHAR> WithData0(std::vector<UCHAR> frame, ULONG data0)
{
    StoreU32(frame.data(), data0);
    return frame;
}

std::vector<UCHAR> MbimMessage(ULONG length, ULONG transaction)
{
    std::vector<UCHAR> message = cldmatest::Pattern(length, static_cast<UCHAR>(transaction));
    StoreU32(message.data(), 3); // a command
    StoreU32(message.data() + 4, length);
    StoreU32(message.data() + 8, transaction);
    return message;
}

std::vector<UCHAR> Joined(const std::vector<Received>& frames)
{
    std::vector<UCHAR> bytes;
    for (const Received& frame : frames) {
        auto data = frame.data();
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    return bytes;
}

TEST(ModemFirmwareTable, ChannelsAreDistinctAndBelongToTheirCore)
{
    std::set<USHORT> channels;
    for (const Port& port : kPorts) {
        EXPECT_TRUE(channels.insert(port.hostTx).second) << port.name;
        EXPECT_TRUE(channels.insert(port.hostRx).second) << port.name;
        USHORT low = port.core == Core::Md ? 0x2000 : 0x1000;
        USHORT high = port.core == Core::Md ? kHighestChannel : 0x1013;
        for (USHORT channel : {port.hostTx, port.hostRx}) {
            EXPECT_GE(channel, low) << port.name;
            EXPECT_LE(channel, high) << port.name;
        }
        EXPECT_EQ(&port, PortByName(port.name));
        EXPECT_EQ(&port, PortByHostTx(port.hostTx));
        EXPECT_EQ(&port, PortByHostRx(port.hostRx));
    }
    EXPECT_EQ(nullptr, PortByHostRx(0x20E2));
    EXPECT_EQ(nullptr, PortByName("ttyCMBIM"));
    EXPECT_EQ("brom_download", kBootPorts[0].name);
    EXPECT_EQ(kPortRaw, kBootPorts[1].flags & kPortRaw);
    EXPECT_EQ(1, kBootPorts[1].rxq);
}

TEST(ModemFirmwareTable, HeaderIsLittleEndianInWireOrder)
{
    UCHAR bytes[kHeaderSize];
    const Header header{0x11223344, 0x55667788, 0x20D1, 0x8001, 0x99AABBCC};
    PutHeader(bytes, header);
    EXPECT_EQ(Bytes({0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xD1, 0x20, 0x01, 0x80, 0xCC, 0xBB, 0xAA, 0x99}),
              std::vector<UCHAR>(bytes, bytes + kHeaderSize));
    EXPECT_EQ(header, ParseHeader(bytes));
}

// A data frame on a character channel comes back on its receive channel and queue, numbered per channel.
TEST(ModemFirmware, CharacterChannelsEchoOnTheirReceiveChannelNumberedFrom0x8000)
{
    FirmwareRig rig;
    for (const char* name : {"ttyC0", "ttyCMIPC0", "ccci_sap_adb", "ccci_sap_gnss"}) {
        SCOPED_TRACE(name);
        const Port& port = *PortByName(name);
        const auto payload = cldmatest::Pattern(100, port.txq);
        rig.SendData(port.hostTx, payload);
        rig.SendData(port.hostTx, payload);
        auto frames = rig.Take(port.core, port.rxq);
        ASSERT_EQ(2u, frames.size());
        for (USHORT i = 0; i < 2; i++) {
            EXPECT_EQ((Header{0, 116, port.hostRx, static_cast<USHORT>(0x8000 + i), 0}), frames[i].header());
            EXPECT_EQ(payload, frames[i].data());
        }
        EXPECT_EQ(2u, rig.firmware.FrameCount(port.hostTx));
    }
    EXPECT_TRUE(rig.firmware.Gaps().empty());
}

TEST(ModemFirmware, ChecksTheHostsSequencePerChannelAndRecordsGaps)
{
    FirmwareRig rig;
    const Port& port = *PortByName("ttyCMdMeta");
    auto send = [&](USHORT seq) {
        auto frame = DataFrame(port.hostTx, Bytes({1, 2}));
        StoreU16(frame.data() + 10, seq);
        rig.Send(port.core, port.txq, frame);
    };
    for (USHORT seq : {0x8000, 0x8001, 0x8003, 0x0009, 0x8004})
        send(seq);
    rig.SendMessage(kSysHostTx, 0x102, 0); // another channel counts on its own
    EXPECT_EQ((std::vector<SequenceGap>{{port.hostTx, 2, 3}}), rig.firmware.Gaps());
    auto frames = rig.firmware.Frames(port.hostTx);
    ASSERT_EQ(5u, frames.size());
    EXPECT_FALSE(frames[2].inSequence);
    EXPECT_TRUE(frames[3].inSequence) << "an unnumbered frame is not checked";

    rig.firmware.ResetSequences();
    send(0x8000);
    EXPECT_EQ(1u, rig.firmware.Gaps().size());
    send(0x8000);
    EXPECT_EQ((SequenceGap{port.hostTx, 1, 0}), rig.firmware.Gaps().back());
}

// What the firmware makes of frames that fit no kind: recorded, never answered.
TEST(ModemFirmware, ClassifiesTheHostsFrames)
{
    struct Case {
        const char* what;
        Core core;
        std::vector<UCHAR> frame;
        FrameKind kind;
    };
    auto withLength = [](std::vector<UCHAR> frame, ULONG data1) {
        StoreU32(frame.data() + 4, data1);
        return frame;
    };
    auto controlData = ControlFrame(kCtrlHostTx, 9, 0, Bytes({1, 2, 3, 4}));
    auto longMessage = MessageFrame(kSysHostTx, 0x114, 0);
    longMessage.resize(20);
    auto badControlLength = ControlFrame(kCtrlHostTx, 9, 0);
    StoreU32(badControlLength.data() + kHeaderSize + 8, 4);
    const Case cases[] = {
        {"data", Core::Md, DataFrame(0x200C, Bytes({1, 2, 3})), FrameKind::Data},
        {"message", Core::Md, MessageFrame(kSysHostTx, 0x102, 5), FrameKind::Message},
        {"control", Core::Md, ControlFrame(kCtrlHostTx, 4, 6), FrameKind::Control},
        {"control with data", Core::Md, controlData, FrameKind::Control},
        {"handshake frame, data0 0", Core::Sap, WithData0(ControlFrame(kSapCtrlHostTx, 4, 0, Bytes({1, 2})), 0),
         FrameKind::Control},
        {"control frame off a control channel", Core::Md, ControlFrame(kSysHostTx, 9, 0), FrameKind::Malformed},
        {"short", Core::Md, Bytes({0, 0, 0, 0, 8, 0, 0, 0}), FrameKind::Malformed},
        {"data length wrong", Core::Md, withLength(DataFrame(0x200C, Bytes({1})), 40), FrameKind::Malformed},
        {"control length wrong", Core::Md, withLength(ControlFrame(kCtrlHostTx, 9, 0), 16), FrameKind::Malformed},
        {"control data length wrong", Core::Md, badControlLength, FrameKind::Malformed},
        {"message of 20 bytes", Core::Md, longMessage, FrameKind::Malformed},
        {"unknown channel", Core::Md, DataFrame(0x20E2, Bytes({1})), FrameKind::Unrouted},
        {"SAP channel on the MD core", Core::Md, DataFrame(0x100B, Bytes({1})), FrameKind::Unrouted},
        {"MD channel on the SAP core", Core::Sap, MessageFrame(kSysHostTx, 0x114, 1), FrameKind::Unrouted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FirmwareRig rig;
        rig.Send(c.core, 0, c.frame);
        auto frames = rig.firmware.Frames();
        ASSERT_EQ(1u, frames.size());
        EXPECT_EQ(c.kind, frames[0].kind);
        EXPECT_EQ(c.frame, frames[0].bytes);
        if (c.kind != FrameKind::Data) {
            for (ULONG q = 0; q < kCldmaQueues; q++) {
                EXPECT_TRUE(rig.Take(Core::Md, q).empty());
                EXPECT_TRUE(rig.Take(Core::Sap, q).empty());
            }
        }
    }
    FirmwareRig rig;
    rig.Send(Core::Md, 0, controlData);
    auto control = rig.firmware.Frames()[0];
    EXPECT_EQ(9u, control.id);
    EXPECT_EQ(Bytes({1, 2, 3, 4}), control.data);
}

TEST(ModemFirmware, AnswersSystemQueriesAndMatchesTheHostsAnswers)
{
    FirmwareRig rig;
    rig.SendMessage(kSysHostTx, kSysQueryA, 7);
    rig.SendMessage(kSysHostTx, kSysQueryB, 8);
    rig.SendMessage(kSysHostTx, 0x102, 9); // nothing to answer
    auto answers = rig.Take(kSysHostRx);
    ASSERT_EQ(2u, answers.size());
    EXPECT_EQ((Header{kMessageMarker, kSysAnswerA, kSysHostRx, 0x8000, 7}), answers[0].header());
    EXPECT_EQ((Header{kMessageMarker, kSysAnswerB, kSysHostRx, 0x8001, 8}), answers[1].header());
    EXPECT_EQ(kHeaderSize, answers[0].bytes.size());

    rig.firmware.SendSystemMessage(kSysQueryA, 0x41);
    rig.firmware.SendSystemMessage(kSysQueryB, 0x42);
    auto queries = rig.Take(kSysHostRx);
    ASSERT_EQ(2u, queries.size());
    EXPECT_EQ((Header{kMessageMarker, kSysQueryA, kSysHostRx, 0x8002, 0x41}), queries[0].header());
    rig.SendMessage(kSysHostTx, kSysAnswerB, 0x42);
    auto recorded = rig.firmware.SystemQueries();
    ASSERT_EQ(2u, recorded.size());
    EXPECT_FALSE(recorded[0].answerArgument);
    EXPECT_EQ(0x42u, recorded[1].answerArgument);
}

TEST(ModemFirmware, PortEnumerationFrameAndItsAnswer)
{
    FirmwareRig rig;
    Enumeration enumeration;
    enumeration.entries = {0xA0D0, 0x20D2};
    rig.firmware.SendPortEnumeration(enumeration);
    auto frames = rig.Take(kCtrlHostRx);
    ASSERT_EQ(1u, frames.size());
    const std::vector<UCHAR> expected = {
        0xFF, 0xFF, 0xFF, 0xFF, 48, 0, 0, 0, 0x00, 0x20, 0x00, 0x80, 0, 0, 0, 0, // header
        9, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,                                     // control header
        0x5A, 0x5A, 0x5A, 0x5A, 2, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0xA5,              // head, count, version, tail
        0xD0, 0xA0, 0, 0, 0xD2, 0x20, 0, 0};
    EXPECT_EQ(expected, frames[0].bytes);
    EXPECT_EQ(1u, rig.firmware.EnumerationsUnanswered());

    rig.SendControl(kCtrlHostTx, kCtrlPortEnumeration, kEnumerationRefused);
    EXPECT_EQ(std::vector<ULONG>{kEnumerationRefused}, rig.firmware.EnumerationAnswers());
    EXPECT_EQ(0u, rig.firmware.EnumerationsUnanswered());

    // The SAP core's control channel, with a broken head and a count that lies.
    rig.firmware.SendPortEnumeration(Enumeration{{0x9004}, 0x5A5A0000, 1, kEnumerationTail, 3}, kSapCtrlHostRx);
    auto sap = rig.Take(kSapCtrlHostRx);
    ASSERT_EQ(1u, sap.size());
    EXPECT_EQ(kSapCtrlHostRx, sap[0].header().channel);
    EXPECT_EQ(0x5A5A0000u, LoadU32(sap[0].bytes.data() + kControlFrameSize));
    EXPECT_EQ(3, LoadU16(sap[0].bytes.data() + kControlFrameSize + 4));
    EXPECT_EQ(1, LoadU16(sap[0].bytes.data() + kControlFrameSize + 6));
}

TEST(ModemFirmware, ReassemblesMbimMessagesFromChunksAndAnswersThroughItsHandler)
{
    FirmwareRig rig;
    const auto answer = MbimMessage(5000, 0x80000001);
    rig.firmware.SetMbimHandler([&](const std::vector<UCHAR>& message) {
        if (LoadU32(message.data() + 8) == 1)
            rig.firmware.SendMbim(answer);
    });
    const auto big = MbimMessage(8000, 1), small = MbimMessage(48, 2);
    for (SIZE_T at = 0; at < big.size(); at += kMbimChunk) {
        auto end = big.begin() + std::min(big.size(), at + kMbimChunk);
        rig.SendData(kMbimHostTx, std::vector<UCHAR>(big.begin() + at, end));
        if (end != big.end()) {
            EXPECT_TRUE(rig.firmware.MbimMessages().empty());
        }
    }
    rig.SendData(kMbimHostTx, small);
    EXPECT_EQ((std::vector<std::vector<UCHAR>>{big, small}), rig.firmware.MbimMessages());
    EXPECT_EQ(0u, rig.firmware.MbimPending());

    auto frames = rig.Take(kMbimHostRx);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(kHeaderSize + kMbimChunk, frames[0].bytes.size());
    EXPECT_EQ(0x8000, frames[0].header().seq);
    EXPECT_EQ(0x8001, frames[1].header().seq);
    EXPECT_EQ(answer, Joined(frames));

    // Half a header waits; a length below the header's own is thrown away.
    rig.SendData(kMbimHostTx, Bytes({3, 0, 0, 0, 40}));
    EXPECT_EQ(5u, rig.firmware.MbimPending());
    rig.SendData(kMbimHostTx, Bytes({0, 0, 0, 9, 0, 0, 0}));
    EXPECT_EQ(12u, rig.firmware.MbimPending());
    FirmwareRig fresh;
    auto broken = MbimMessage(16, 3);
    StoreU32(broken.data() + 4, 8);
    fresh.SendData(kMbimHostTx, broken);
    EXPECT_EQ(0u, fresh.firmware.MbimPending());
    EXPECT_TRUE(fresh.firmware.MbimMessages().empty());
}

TEST(ModemFirmware, PollReplyMinidumpNoticeAndPollRequest)
{
    FirmwareRig rig;
    rig.firmware.SendPollReply(5);
    rig.SendMessage(kPollHostTx, 0x30, 6);
    auto polls = rig.Take(kPollHostRx);
    ASSERT_EQ(2u, polls.size());
    EXPECT_EQ((Header{kMessageMarker, 0, kPollHostRx, 0x8000, 5}), polls[0].header());
    EXPECT_EQ((Header{kMessageMarker, 0x30, kPollHostRx, 0x8001, 6}), polls[1].header());

    rig.firmware.SendMinidumpNotice();
    auto notices = rig.Take(Core::Sap, 5);
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(kMinidumpHostRx, notices[0].header().channel);
    EXPECT_EQ(Bytes({'M', 'I', 'N', 'I', 'D', 'U', 'M', 'P'}), notices[0].data());
}

TEST(ModemFirmware, BootRomQueuesCarryRawBytes)
{
    FirmwareRig rig;
    rig.firmware.SetBootRom(true);
    for (UCHAR byte : {0xA0, 0x0A, 0x50, 0x05, 0xD6})
        rig.Send(Core::Sap, 0, Bytes({byte}));
    rig.Send(Core::Sap, 1, Bytes({1, 2, 3}));
    auto raw = rig.firmware.Frames(kRawChannel);
    ASSERT_EQ(6u, raw.size());
    std::vector<UCHAR> bytes;
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(FrameKind::Raw, raw[i].kind);
        bytes.insert(bytes.end(), raw[i].data.begin(), raw[i].data.end());
    }
    EXPECT_EQ(Bytes({0xA0, 0x0A, 0x50, 0x05, 0xD6}), bytes);
    EXPECT_EQ(1u, raw[5].queue);

    rig.firmware.SendRaw(0, Bytes({0x5F, 0xF5}));
    rig.firmware.SendRaw(1, cldmatest::Pattern(2048, 1));
    EXPECT_EQ(Bytes({0x5F, 0xF5}), rig.Take(Core::Sap, 0).at(0).bytes);
    EXPECT_EQ(cldmatest::Pattern(2048, 1), rig.Take(Core::Sap, 1).at(0).bytes);

    // The boot ROM gone, the same queue carries headers again.
    rig.firmware.SetBootRom(false);
    rig.Send(Core::Sap, 0, Bytes({0xA0}));
    EXPECT_EQ(FrameKind::Malformed, rig.firmware.Frames().back().kind);
}

TEST(ModemFirmware, ChannelHandlerReplacesTheFirmwaresOwnHandling)
{
    FirmwareRig rig;
    const Port& port = *PortByName("ttyC0");
    rig.firmware.SetChannelHandler(port.hostTx, [&](const HostFrame& frame) {
        rig.firmware.SendData(port.hostRx, Bytes({'O', 'K', static_cast<UCHAR>(frame.data.size())}));
    });
    rig.SendData(port.hostTx, Bytes({'A', 'T', '\r'}));
    auto frames = rig.Take(port.hostRx);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(Bytes({'O', 'K', 3}), frames[0].data());

    rig.firmware.SetChannelHandler(port.hostTx, nullptr);
    rig.SendData(port.hostTx, Bytes({'A'}));
    EXPECT_EQ(Bytes({'A'}), rig.Take(port.hostRx).at(0).data());
}

TEST(ModemFirmware, ExceptionSendsOnTheExceptionQueue)
{
    FirmwareRig rig;
    rig.firmware.SetException(true);
    rig.firmware.SendData(0x20CE, Bytes({1})); // ttyCMIPC0: queue 2, in exception 0
    rig.firmware.SendData(0x200A, Bytes({2})); // ttyC0 has no exception queue: nothing
    EXPECT_EQ(1u, rig.Take(Core::Md, 0).size());
    EXPECT_TRUE(rig.Take(Core::Md, 2).empty());
    EXPECT_TRUE(rig.Take(Core::Md, 5).empty());
}

// The firmware on the modem's own engines, reached as the host reaches them: through the window.
TEST(ModemFirmware, AnswersThroughTheModemWindow)
{
    Board board(modemtest::Config(sim::pci::InterruptMode::Message, kMaxMessages, ExecutionMode::Step));
    modemtest::Host host(board);
    host.ProgramTranslation();
    Firmware firmware(board.modem);
    Ring tx(2, 64), rx(2, 64);
    auto query = MessageFrame(kSysHostTx, kSysQueryB, 3);
    StoreU16(query.data() + 10, kSeqNumbered);
    tx.Fill(0, query);
    rx.Arm(0);
    rx.Arm(1);
    host.Window(kCldmaMdA + cldma::kRxStartAddress, static_cast<ULONG>(rx.Address(0)));
    host.Window(kCldmaMdA + cldma::kRxStartAddress + 4, static_cast<ULONG>(rx.Address(0) >> 32));
    host.Window(kCldmaMdB + cldma::kRxStart, 1);
    host.Window(kCldmaMdB + cldma::kTxStartAddress, static_cast<ULONG>(tx.Address(0)));
    host.Window(kCldmaMdB + cldma::kTxStartAddress + 4, static_cast<ULONG>(tx.Address(0) >> 32));
    host.Window(kCldmaMdB + cldma::kTxStart, 1);
    board.modem.CldmaMd().Drain();

    EXPECT_EQ(1u, firmware.FrameCount(kSysHostTx));
    ASSERT_EQ(kHeaderSize, rx.Length(0));
    EXPECT_EQ((Header{kMessageMarker, kSysAnswerB, kSysHostRx, kSeqNumbered, 3}), ParseHeader(rx.Received(0).data()));
}

// ---------------------------------------------------------------------------------------------
// Boot stages and the handshake.

// The host's frame of control message `id`: the handshake's frames have data0 0.
std::vector<UCHAR> HandshakeFrame(USHORT channel, ULONG id, const std::vector<UCHAR>& data)
{
    return WithData0(ControlFrame(channel, id, 0, data), 0);
}

TEST(ModemFirmwareHandshake, AnswersEachCoresFeatureSetAndRecordsTheReply)
{
    FirmwareRig rig;
    for (Core core : {Core::Md, Core::Sap}) {
        SCOPED_TRACE(core == Core::Md ? "MD" : "SAP");
        const USHORT tx = core == Core::Md ? kCtrlHostTx : kSapCtrlHostTx;
        const USHORT rx = core == Core::Md ? kCtrlHostRx : kSapCtrlHostRx;
        const UCHAR own = CoreFeature(core);
        std::vector<UCHAR> features(8 + kFeatureCount);
        StoreU32(features.data(), kHandshakeMarker);
        features[4 + own] = kLevelRequired;
        StoreU32(features.data() + 4 + kFeatureCount, kHandshakeMarker);
        auto hostFrame = HandshakeFrame(tx, kCtrlHostFeatures, features);
        ASSERT_EQ(kHostFeaturesSize, hostFrame.size());
        rig.SendFrame(hostFrame);
        EXPECT_EQ(features, rig.firmware.HostFeatures(core));

        auto answers = rig.Take(rx);
        ASSERT_EQ(1u, answers.size());
        const std::vector<UCHAR>& bytes = answers[0].bytes;
        EXPECT_EQ((Header{kMessageMarker, static_cast<ULONG>(bytes.size()), rx, kSeqNumbered, 0}), answers[0].header());
        EXPECT_EQ(kCtrlHandshake, LoadU32(bytes.data() + kHeaderSize));
        const ULONG length = LoadU32(bytes.data() + kHeaderSize + 8);
        ASSERT_EQ(bytes.size() - kControlFrameSize, length);
        const UCHAR* data = bytes.data() + kControlFrameSize;
        EXPECT_EQ(kHandshakeMarker, LoadU32(data));
        EXPECT_EQ(kHandshakeMarker, LoadU32(data + 4 + kFeatureCount));
        for (UCHAR i = 0; i < kFeatureCount; i++)
            EXPECT_EQ(i == own ? kLevelRequired : 0, data[4 + i]) << int(i);

        // The entries as the host walks them: one per feature, the core's own one with the enumeration
        // of the core's character channels.
        std::vector<UCHAR> enumeration;
        ULONG entries = 0;
        for (SIZE_T at = 8 + kFeatureCount; at < length; entries++) {
            EXPECT_EQ(entries, data[at]);
            EXPECT_EQ(data[4 + entries], data[at + 1]);
            ULONG size = LoadU32(data + at + 4);
            if (data[at] == own)
                enumeration.assign(data + at + kRuntimeEntrySize, data + at + kRuntimeEntrySize + size);
            at += kRuntimeEntrySize + size;
        }
        EXPECT_EQ(kFeatureCount, entries);
        ASSERT_GE(enumeration.size(), 16u);
        EXPECT_EQ(kEnumerationHead, LoadU32(enumeration.data()));
        EXPECT_EQ(kEnumerationTail, LoadU32(enumeration.data() + 8));
        const USHORT count = LoadU16(enumeration.data() + 4);
        EXPECT_EQ(enumeration.size(), 12u + 4 * count);
        for (USHORT i = 0; i < count; i++) {
            ULONG entry = LoadU32(enumeration.data() + 12 + 4 * i);
            EXPECT_EQ(kEnumerationEnable, entry & kEnumerationEnable);
            const Port* port = PortByHostRx(static_cast<USHORT>(entry & kSeqMask));
            ASSERT_NE(nullptr, port);
            EXPECT_EQ(core, port->core);
            EXPECT_EQ(PortKind::Char, port->kind);
        }

        EXPECT_FALSE(rig.firmware.RuntimeReply(core));
        std::vector<UCHAR> reply(kRuntimeReplySize - kControlFrameSize);
        reply[0] = 5;
        reply[1] = 0x01;
        rig.SendFrame(HandshakeFrame(tx, kCtrlRuntimeReply, reply));
        EXPECT_EQ(reply, rig.firmware.RuntimeReply(core));
    }
}

TEST(ModemFirmwareHandshake, AnswersAsScripted)
{
    FirmwareRig rig;
    HandshakeAnswer answer;
    answer.features[0] = 0x01; // not supported: the host's handshake fails
    answer.entries = {RuntimeFeature{0, 0x01, {}}};
    answer.tail = 0;
    rig.firmware.SetHandshakeAnswer(Core::Md, answer);
    rig.SendFrame(HandshakeFrame(kCtrlHostTx, kCtrlHostFeatures, std::vector<UCHAR>(8 + kFeatureCount)));
    auto answers = rig.Take(kCtrlHostRx);
    ASSERT_EQ(1u, answers.size());
    const auto data = HandshakeAnswerData(answer);
    EXPECT_EQ(data, std::vector<UCHAR>(answers[0].bytes.begin() + kControlFrameSize, answers[0].bytes.end()));
    EXPECT_EQ(8 + kFeatureCount + kRuntimeEntrySize, data.size());
}

TEST(ModemFirmwareBoot, StagesSetTheBootStatusRingTheHostAndSwitchTheRawQueues)
{
    Board board(modemtest::Config(sim::pci::InterruptMode::Message, kMaxMessages, ExecutionMode::Step));
    Firmware firmware(board.modem);
    board.modem.SetMacRegister(mac::kBootStatus, 2u << 28); // the host's mark

    firmware.EnterStage(boot::kStageBootRom | boot::BootRomSubstage(4));
    EXPECT_EQ(2u << 28 | 0x41, board.modem.MacRegister(mac::kBootStatus));
    EXPECT_EQ(boot::kDoorbellReady, board.modem.DoorbellRegister(doorbell::kStatus));
    firmware.RequestHandshake(Core::Md);
    firmware.RequestHandshake(Core::Sap);
    EXPECT_EQ(boot::kDoorbellReady | boot::kDoorbellMdHandshake | boot::kDoorbellSapHandshake,
              board.modem.DoorbellRegister(doorbell::kStatus));
    firmware.EnterStage(boot::kStageNormal | boot::ResetType(2));
    EXPECT_EQ(2u << 28 | boot::ResetType(2) | boot::kStageNormal, board.modem.MacRegister(mac::kBootStatus));

    // On bare engines only the queues switch.
    FirmwareRig rig;
    const struct {
        ULONG status;
        bool raw;
    } stages[] = {{boot::kStageBootRom, true}, {boot::kStageNormal, false}, {boot::kStageDump, true},
                  {boot::kStageNormal | boot::DumpSubstage(1), false}};
    for (const auto& stage : stages) {
        rig.firmware.EnterStage(stage.status);
        rig.Send(Core::Sap, 1, Bytes({0xA0}));
        EXPECT_EQ(stage.raw ? FrameKind::Raw : FrameKind::Malformed, rig.firmware.Frames().back().kind) << stage.status;
    }
}

// ---------------------------------------------------------------------------------------------
// Scripted faults in what the firmware sends.

std::vector<USHORT> Seqs(const std::vector<Received>& frames)
{
    std::vector<USHORT> seqs;
    for (const Received& frame : frames)
        seqs.push_back(frame.header().seq);
    return seqs;
}

TEST(ModemFirmwareScript, DropsGapsAndUnnumberedFramesShapeTheNumbers)
{
    FirmwareRig rig;
    const USHORT channel = 0x200A;
    rig.firmware.Script(Fault::Drop);
    rig.firmware.Script(Fault::Gap, 3, 1, channel);
    rig.firmware.Script(Fault::Gap, 1, 1, 0x2006); // another channel's rule waits for its channel
    rig.firmware.SendData(channel, Bytes({1}));     // dropped as 0x8000 and moved on by 3
    rig.firmware.SendData(channel, Bytes({2}));     // 0x8004
    rig.firmware.Script(Fault::Unnumbered, 0, 2);
    rig.firmware.SendData(channel, Bytes({3})); // 0x0005
    rig.firmware.SendData(channel, Bytes({4})); // 0x0005
    rig.firmware.SendData(channel, Bytes({5})); // 0x8005
    auto frames = rig.Take(channel);
    EXPECT_EQ((std::vector<USHORT>{0x8004, 0x0005, 0x0005, 0x8005}), Seqs(frames));
    EXPECT_EQ(Bytes({2}), frames[0].data());

    rig.firmware.SendData(0x2006, Bytes({6}));
    EXPECT_EQ(0x8001, rig.Take(0x2006).at(0).header().seq);
}

TEST(ModemFirmwareScript, DelayAndReorderChangeTheOrderOfArrival)
{
    FirmwareRig rig;
    const USHORT channel = 0x200A;
    rig.firmware.Script(Fault::Delay, sim::modem::Milliseconds(5));
    rig.firmware.SendData(channel, Bytes({1}));
    rig.firmware.SendData(channel, Bytes({2}));
    EXPECT_EQ(1u, rig.scheduler.Pending());
    auto frames = rig.Take(channel);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(Bytes({2}), frames[0].data());
    EXPECT_EQ(Bytes({1}), frames[1].data());

    rig.firmware.Script(Fault::Reorder);
    rig.firmware.SendData(channel, Bytes({3}));
    EXPECT_TRUE(rig.Take(channel).empty());
    rig.firmware.SendData(channel, Bytes({4}));
    EXPECT_EQ((std::vector<USHORT>{0x8003, 0x8002}), Seqs(rig.Take(channel)));

    rig.firmware.Script(Fault::Reorder);
    rig.firmware.SendData(channel, Bytes({5}));
    rig.firmware.ReleaseHeld();
    EXPECT_EQ(Bytes({5}), rig.Take(channel).at(0).data());
}

TEST(ModemFirmwareScript, MalformedFramesAsScripted)
{
    FirmwareRig rig;
    const USHORT channel = 0x200A;
    const auto payload = cldmatest::Pattern(40, 9);

    rig.firmware.Script(Fault::CorruptHeader, 0xEE);
    rig.firmware.SendData(channel, payload);
    auto corrupt = rig.Take(channel).at(0);
    EXPECT_EQ(std::vector<UCHAR>(kHeaderSize, 0xEE), std::vector<UCHAR>(corrupt.bytes.begin(), corrupt.bytes.begin() + kHeaderSize));
    EXPECT_EQ(payload, corrupt.data());

    for (USHORT odd : {0x20E2, 0x0FFF}) {
        rig.firmware.Script(Fault::Channel, odd);
        rig.firmware.SendData(channel, payload);
        EXPECT_EQ(odd, rig.Take(channel).at(0).header().channel) << "sent on the channel's queue all the same";
    }

    rig.firmware.Script(Fault::Truncate, 10);
    rig.firmware.SendData(channel, payload);
    auto shortFrame = rig.Take(channel).at(0);
    EXPECT_EQ(10u, shortFrame.bytes.size());
    EXPECT_EQ(10, shortFrame.length);

    rig.firmware.Script(Fault::ReportLength, 4000);
    rig.firmware.SendData(channel, payload);
    auto longFrame = rig.Take(channel).at(0);
    EXPECT_EQ(4000, longFrame.length);

    // An oversize frame is stored up to the descriptor's allow length.
    rig.firmware.SendData(channel, cldmatest::Pattern(4000, 1));
    EXPECT_EQ(kBufferSize, rig.Take(channel).at(0).length);
    rig.firmware.SendData(channel, payload); // the numbers went on throughout
    EXPECT_EQ(0x8006, rig.Take(channel).at(0).header().seq);
}

TEST(ModemFirmwareScript, RulesApplyToRawBytesAndCanBeCleared)
{
    FirmwareRig rig;
    rig.firmware.Script(Fault::Truncate, 1, 1, kRawChannel);
    rig.firmware.Script(Fault::Drop, 0, 5, 0x200A);
    rig.firmware.SendRaw(0, Bytes({1, 2, 3}));
    EXPECT_EQ(Bytes({1}), rig.Take(Core::Sap, 0).at(0).bytes);
    rig.firmware.ClearScript();
    rig.firmware.SendData(0x200A, Bytes({1}));
    EXPECT_EQ(1u, rig.Take(0x200A).size());
}

} // namespace
