// The boot firmware's scripts, stepped on the host clock and driven by a small host: register reads and
// writes through the windows and frames through the host's rings on the modem's engines.
#include <gtest/gtest.h>

#include "modem_boot_rig.h"

namespace {

using namespace boottest;

constexpr LONGLONG kStep = Milliseconds(10); // the default stage delay
constexpr LONGLONG kLong = Milliseconds(60000);

std::vector<UCHAR> Bytes(std::initializer_list<int> values) { return {values.begin(), values.end()}; }

// The host's five download bytes, or others, each as its own raw frame on the SAP core's queue 0.
void SendDownload(BootRig& rig, const std::vector<UCHAR>& bytes)
{
    for (UCHAR byte : bytes)
        rig.rings.Send(Core::Sap, kBootPorts[0].txq, std::vector<UCHAR>{byte});
}

const std::vector<UCHAR> kDownload(std::begin(kDownloadHandshake), std::end(kDownloadHandshake));

// The control frame the modem sent on `channel` (with its header and control header), checked whole.
struct Control {
    ULONG id, argument;
    std::vector<UCHAR> data;
};
Control ParseControl(const Received& frame)
{
    EXPECT_GE(frame.bytes.size(), kControlFrameSize);
    const UCHAR* p = frame.bytes.data();
    EXPECT_EQ(frame.bytes.size(), LoadU32(p + 4));
    EXPECT_EQ(frame.bytes.size() - kControlFrameSize, LoadU32(p + kHeaderSize + 8));
    return {LoadU32(p + kHeaderSize), LoadU32(p + kHeaderSize + 4), {p + kControlFrameSize, p + frame.bytes.size()}};
}

// The data of the modem's answer to `core`'s feature set (none: no answer came).
std::optional<std::vector<UCHAR>> Handshake(BootRig& rig, Core core)
{
    rig.rings.SendFrame(BootRig::FeatureSet(core));
    auto frames = rig.rings.Take(core == Core::Md ? kCtrlHostRx : kSapCtrlHostRx);
    if (frames.empty())
        return std::nullopt;
    EXPECT_EQ(1u, frames.size());
    Control answer = ParseControl(frames[0]);
    EXPECT_EQ(kCtrlHandshake, answer.id);
    return answer.data;
}

TEST(ModemBoot, ColdBootAnnouncesTheNormalStageWithItsReasonAndAllThreeDoorbellsTogether)
{
    for (ULONG reason : {0, 1, 2, 14}) {
        SCOPED_TRACE(reason);
        BootScript script;
        script.reason = reason;
        BootRig rig(script);
        rig.host.Mac(mac::kBootStatus, 0x3FFFFFFF); // the mark of an earlier boot; the rest is the modem's
        rig.Modem().SetBootStatus(0x0041);
        rig.Boot().PowerOn();
        EXPECT_EQ(0x30000000u, rig.host.Mac(mac::kBootStatus)) << "low half 0 at once";
        rig.Advance(kStep - 1);
        EXPECT_EQ(0u, rig.Boot().Status());
        EXPECT_EQ(0u, rig.Doorbells());
        rig.Advance(1);
        EXPECT_EQ(0x30000004u | reason << 12, rig.host.Mac(mac::kBootStatus));
        EXPECT_EQ(kHandshakeDoorbells, rig.Doorbells());
    }
}

// Each core: the feature set answered with the core's own feature granted and the enumeration of its
// character channels in that feature's entry; the handshake ends with the host's 540-byte reply; then
// the channels carry traffic.
TEST(ModemBoot, HandshakeOnEachCoreThenNormalTraffic)
{
    BootRig rig;
    rig.Boot().PowerOn();
    rig.Advance(kStep);
    for (Core core : {Core::Sap, Core::Md}) {
        SCOPED_TRACE(core == Core::Md ? "MD" : "SAP");
        auto answer = Handshake(rig, core);
        ASSERT_TRUE(answer);
        EXPECT_EQ(HandshakeAnswerData(DefaultHandshakeAnswer(core)), *answer);
        const UCHAR own = CoreFeature(core);
        EXPECT_EQ(kLevelRequired, (*answer)[4 + own]);
        EXPECT_EQ(kHandshakeMarker, LoadU32(answer->data()));
        EXPECT_EQ(kHandshakeMarker, LoadU32(answer->data() + 4 + kFeatureCount));
        EXPECT_FALSE(rig.Boot().HandshakeDone(core));
        rig.rings.SendFrame(BootRig::HandshakeFrame(core, kCtrlRuntimeReply, std::vector<UCHAR>(100)));
        EXPECT_FALSE(rig.Boot().HandshakeDone(core)) << "a reply shorter than 540 bytes";
        rig.rings.SendFrame(BootRig::RuntimeReply(core));
        EXPECT_TRUE(rig.Boot().HandshakeDone(core));
    }
    const Port& port = *PortByName("ttyC0");
    rig.rings.SendData(port.hostTx, Bytes({'A', 'T', '\r'}));
    auto echo = rig.rings.Take(port.hostRx);
    ASSERT_EQ(1u, echo.size());
    EXPECT_EQ(Bytes({'A', 'T', '\r'}), echo[0].data());
}

TEST(ModemBoot, BootRomTakesTheDownloadBytesThenGoesOnOrHoldsInSubstage3)
{
    const struct {
        const char* name;
        bool hold;
        std::vector<UCHAR> bytes;
        ULONG after;      // the status right after the bytes
        ULONG afterStep;  // and a stage delay later
    } cases[] = {
        {"onwards", false, kDownload, kStatusBootRom, kStatusNormal},
        {"held", true, kDownload, kStatusDownloading, kStatusDownloading},
        {"wrong bytes", false, Bytes({0xA0, 0x0A, 0x50, 0x05, 0xD7}), kStatusBootRom, kStatusBootRom},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BootScript script;
        script.path = BootPath::BootRom;
        script.holdDownload = c.hold;
        BootRig rig(script);
        rig.Boot().PowerOn();
        rig.Advance(kStep);
        EXPECT_EQ(kStatusBootRom, rig.Boot().Status());
        EXPECT_EQ(kDoorbellReady, rig.Doorbells());
        rig.ClearDoorbells();

        SendDownload(rig, c.bytes);
        EXPECT_EQ(c.bytes, rig.Boot().DownloadBytes());
        for (const HostFrame& frame : rig.hw.firmware.Frames(kRawChannel)) {
            EXPECT_EQ(FrameKind::Raw, frame.kind);
            EXPECT_EQ(1u, frame.bytes.size()) << "no header";
        }
        EXPECT_EQ(c.after, rig.Boot().Status());
        rig.Advance(kStep);
        EXPECT_EQ(c.afterStep, rig.Boot().Status());
        EXPECT_EQ(c.afterStep == kStatusNormal ? kHandshakeDoorbells : 0, rig.Doorbells());
        rig.Advance(kLong);
        EXPECT_EQ(c.afterStep, rig.Boot().Status()) << "for good";

        rig.Boot().FinishDownload();
        EXPECT_EQ(kStatusNormal, rig.Boot().Status());
        EXPECT_EQ(kHandshakeDoorbells, rig.Doorbells());
        EXPECT_TRUE(Handshake(rig, Core::Md)) << "the normal channels after the boot ROM";
    }
}

TEST(ModemBoot, DumpStageServesTheDumpPortRaw)
{
    BootScript script;
    script.path = BootPath::Dump;
    script.reason = 2;
    script.dump = cldmatest::Pattern(700, 3);
    BootRig rig(script);
    rig.Boot().PowerOn();
    rig.Advance(kStep);
    EXPECT_EQ(kStatusDump | 0x2000, rig.Boot().Status());
    EXPECT_EQ(kDoorbellReady, rig.Doorbells());

    rig.rings.Send(Core::Sap, kBootPorts[1].txq, Bytes({'D', 'U', 'M', 'P'}));
    auto frames = rig.rings.Take(Core::Sap, kBootPorts[1].rxq);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(script.dump, frames[0].bytes);
    EXPECT_TRUE(rig.Boot().DownloadBytes().empty());
    rig.Advance(kLong);
    EXPECT_EQ(kStatusDump | 0x2000, rig.Boot().Status());
}

// The exception in the order the host's stages expect: bit 1; host doorbell 1 gives bit 2 and the
// announcement, the record and the pass follow with bit 3; host doorbell 2 gives bit 4.
TEST(ModemBoot, ExceptionAnswersTheHostsStagesInOrder)
{
    BootRig rig;
    rig.Boot().PowerOn();
    rig.Advance(kStep);
    rig.ClearDoorbells();
    rig.Ring(kHostExceptionStage0);
    EXPECT_EQ(0u, rig.Doorbells()) << "no exception yet";

    rig.Boot().RaiseException(cldmatest::Pattern(3000, 9));
    EXPECT_EQ(kDoorbellException, rig.Doorbells());
    rig.ClearDoorbells();
    rig.Ring(kHostExceptionStage0);
    EXPECT_EQ(ExceptionStageAck(0), rig.Doorbells());
    auto announce = rig.rings.Take(Core::Md, PortByHostRx(kCtrlHostRx)->rxqExp);
    ASSERT_EQ(1u, announce.size());
    Control excp = ParseControl(announce[0]);
    EXPECT_EQ(kCtrlExceptionAnnounce, excp.id);
    EXPECT_EQ(kExceptionMagic, excp.argument);
    EXPECT_FALSE(rig.Boot().ExceptionEchoed());
    rig.rings.SendControl(kCtrlHostTx, kCtrlExceptionAnnounce, kExceptionMagic);
    EXPECT_TRUE(rig.Boot().ExceptionEchoed());

    rig.Advance(kStep);
    EXPECT_EQ(ExceptionStageAck(0) | ExceptionStageAck(2), rig.Doorbells());
    auto rest = rig.rings.Take(Core::Md, PortByHostRx(kCtrlHostRx)->rxqExp);
    ASSERT_EQ(2u, rest.size());
    Control record = ParseControl(rest[0]);
    EXPECT_EQ(kCtrlExceptionRecord, record.id);
    EXPECT_EQ(kRecordMagic, record.argument);
    EXPECT_EQ(cldmatest::Pattern(kMaxExceptionRecord, 9), record.data) << "at most 2048 bytes";
    EXPECT_EQ(kCtrlExceptionPass, ParseControl(rest[1]).id);
    EXPECT_FALSE(rig.Boot().ExceptionPassDone());

    rig.Ring(kHostExceptionStage3);
    EXPECT_EQ(ExceptionStageAck(0) | ExceptionStageAck(2) | ExceptionStageAck(3), rig.Doorbells());
    EXPECT_TRUE(rig.Boot().ExceptionPassDone());
    EXPECT_FALSE(rig.Boot().StopSeen());
    rig.Ring(kHostStop);
    EXPECT_TRUE(rig.Boot().StopSeen());
}

// The reset interrupt of each type: the type in bits 26-27 and source 6 until the host acknowledges;
// then a new boot (the type still shown), or none.
TEST(ModemBoot, ResetInterruptOfEachTypeAndTheBootAfterTheAcknowledgement)
{
    for (bool reboot : {true, false})
        for (ULONG type = 0; type < 4; type++) {
            SCOPED_TRACE(testing::Message() << "type " << type << (reboot ? ", reboot" : ""));
            BootScript script;
            script.rebootAfterReset = reboot;
            BootRig rig(script);
            rig.Boot().PowerOn();
            rig.Advance(kStep);
            rig.ClearDoorbells();
            rig.Boot().RaiseReset(type);
            EXPECT_EQ(type << 26 | kStatusNormal, rig.Boot().Status());
            EXPECT_EQ(1u << 30, rig.host.Mac(mac::kMsixStatus) & 1u << 30);
            rig.Advance(kLong);
            EXPECT_EQ(0u, rig.Boot().ResetAcknowledgements());

            rig.host.Window(kRguOffset, rig.host.Window(kRguOffset));
            rig.rings.Run();
            EXPECT_EQ(1u, rig.Boot().ResetAcknowledgements());
            EXPECT_EQ(type << 26 | (reboot ? 0 : kStatusNormal), rig.Boot().Status());
            rig.Advance(kStep);
            EXPECT_EQ(type << 26 | kStatusNormal, rig.Boot().Status());
            EXPECT_EQ(reboot ? kHandshakeDoorbells : 0, rig.Doorbells());
        }
}

// A new boot forgets the last one's handshake, exception and download; the function's reset boots too.
TEST(ModemBoot, PowerOnAndFunctionResetStartTheScriptAgain)
{
    BootRig rig;
    rig.Boot().PowerOn();
    rig.Advance(kStep);
    ASSERT_TRUE(Handshake(rig, Core::Md));
    rig.rings.SendFrame(BootRig::RuntimeReply(Core::Md));
    rig.Boot().RaiseException();
    rig.Ring(kHostStop);
    ASSERT_TRUE(rig.Boot().HandshakeDone(Core::Md));

    ASSERT_EQ(STATUS_SUCCESS, rig.Modem().Function().FunctionLevelReset({}));
    rig.host.ProgramTranslation();
    rig.rings.Run();
    EXPECT_EQ(0u, rig.Boot().Status());
    EXPECT_FALSE(rig.Boot().HandshakeDone(Core::Md));
    EXPECT_TRUE(rig.Boot().StopSeen()) << "kept";
    rig.Advance(kStep);
    EXPECT_EQ(kStatusNormal, rig.Boot().Status());
    EXPECT_EQ(kHandshakeDoorbells, rig.Doorbells()) << "no exception doorbell after the reset";

    // A power-on in the middle of a boot drops the steps it had scheduled.
    BootScript slow;
    slow.stageDelay = 3 * kStep;
    rig.Boot().SetScript(slow);
    rig.Boot().PowerOn();
    rig.Advance(2 * kStep);
    rig.Boot().PowerOn();
    rig.Advance(2 * kStep);
    EXPECT_EQ(0u, rig.Boot().Status()) << "the first power-on's step was dropped";
    rig.Advance(kStep);
    EXPECT_EQ(kStatusNormal, rig.Boot().Status());
}

TEST(ModemBoot, FaultsAsScripted)
{
    const struct {
        const char* name;
        BootFault fault;
    } faults[] = {{"silent", BootFault::Silent},
                  {"wrong answer", BootFault::WrongAnswer},
                  {"short answer", BootFault::ShortAnswer}};
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        BootScript script;
        script.fault = f.fault;
        BootRig rig(script);
        rig.Boot().PowerOn();
        rig.Advance(kStep);
        EXPECT_EQ(kStatusNormal, rig.Boot().Status());
        EXPECT_EQ(kHandshakeDoorbells, rig.Doorbells());
        for (Core core : {Core::Md, Core::Sap}) {
            auto answer = Handshake(rig, core);
            rig.Advance(kLong);
            if (f.fault == BootFault::Silent) {
                EXPECT_FALSE(answer);
                continue;
            }
            ASSERT_TRUE(answer);
            if (f.fault == BootFault::WrongAnswer) {
                EXPECT_EQ(kWrongMarker, LoadU32(answer->data()));
                EXPECT_EQ(kHandshakeMarker, LoadU32(answer->data() + 4 + kFeatureCount));
            } else {
                EXPECT_EQ(kShortAnswerSize, answer->size());
                EXPECT_EQ(kHandshakeMarker, LoadU32(answer->data()));
            }
        }
    }

    // Stuck: the status never moves, whatever the host sends.
    BootScript stuck;
    stuck.fault = BootFault::StuckStage;
    stuck.stuckStatus = kStatusBootRom;
    BootRig rig(stuck);
    rig.Boot().PowerOn();
    rig.Advance(kStep);
    EXPECT_EQ(kStatusBootRom, rig.Boot().Status());
    EXPECT_EQ(kDoorbellReady, rig.Doorbells());
    SendDownload(rig, kDownload);
    rig.Advance(kLong);
    EXPECT_EQ(kStatusBootRom, rig.Boot().Status());

    // Link down from the boot's start; a boot without the fault brings it back.
    BootScript down;
    down.fault = BootFault::LinkDown;
    rig.Boot().SetScript(down);
    rig.Boot().PowerOn();
    rig.Advance(kLong);
    EXPECT_EQ(0xFFFFFFFFu, rig.host.Mac(mac::kBootStatus));
    EXPECT_EQ(0xFFFFFFFFu, rig.Doorbells());
    rig.Boot().SetScript({});
    rig.Boot().PowerOn();
    rig.Advance(kStep);
    EXPECT_EQ(kStatusNormal, rig.host.Mac(mac::kBootStatus));
}

} // namespace
