// The OS-side MBIM host against the mobile-broadband test driver, through the class extension: the
// function's OPEN and bring-up, fragmented commands and answers, indications, stray answers, sends at
// dispatch level, receives that do not fit, CLOSE and removal with work outstanding, the power reference
// around each call, and the raw client's multiplexing.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/mbb.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/trace.h>
#include <host/utf.h>
#include <mbbcx.h>

#include "host_test.h"
#include "mbbtest.h"
#include "sim/peers/mbim_host.h"

#include <string>
#include <vector>

namespace
{

using namespace sim::mbim;
using sim::peers::MbimHost;

constexpr LONGLONG kSecond = 10'000'000;

Bytes Pattern(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 7 + i / 251);
    return bytes;
}

class MbimHostLoop : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::u16string key = std::u16string(host::kServicesKey) + u"\\" MBBTEST_SERVICE;
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(key, u"ImagePath", host::utf::ToUtf16(WWAN_MBBTEST_IMAGE)));
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(MBBTEST_HARDWARE_ID, MBBTEST_SERVICE));
        host::TraceClear();
    }

    void TearDown() override
    {
        host_.reset();
        if (host::PnpQueryState(MBBTEST_INSTANCE) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
        }
        host::Quiesce();
        EXPECT_EQ(nullptr, host::DriverFind(MBBTEST_SERVICE));
    }

    static void Set(std::u16string_view name, ULONG value)
    {
        std::u16string key = std::u16string(host::kServicesKey) + u"\\" MBBTEST_SERVICE u"\\Parameters";
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(key, name, value));
    }

    static NTSTATUS Add() { return host::PnpAddDevice({MBBTEST_INSTANCE, {MBBTEST_HARDWARE_ID}, {}}); }

    static WDFDEVICE Device() { return host::MbbFindDevice(MBBTEST_INSTANCE); }

    // Adds the device and opens its function.
    MbimHost& Open(MbimHost::Options options = {})
    {
        EXPECT_EQ(STATUS_SUCCESS, Add());
        host_ = std::make_unique<MbimHost>(MBBTEST_INSTANCE, options);
        EXPECT_EQ(STATUS_SUCCESS, host_->Attach());
        return *host_;
    }

    // The driver's traced callbacks that start with `prefix`, without the "cb ".
    static std::vector<std::string> Calls(const std::string& prefix = "")
    {
        std::vector<std::string> calls;
        for (const host::TraceLine& line : host::TraceFind("cb " + prefix))
            calls.push_back(line.text.substr(3));
        return calls;
    }

    std::unique_ptr<MbimHost> host_;
};

TEST_F(MbimHostLoop, OpensWithTheDeviceFragmentSizeAndRunsTheBringUp)
{
    MbimHost::Options options;
    options.bringUp = true;
    MbimHost& host = Open(options);
    EXPECT_TRUE(host.IsOpen());

    std::optional<host::MbbParameters> parameters = host::MbbQueryParameters(Device());
    ASSERT_TRUE(parameters);
    EXPECT_EQ(2048u, parameters->maximumFragmentSize);
    EXPECT_EQ(0u, parameters->version);
    std::optional<host::MbbWakeCapabilities> wake = host::MbbQueryWakeCapabilities(Device());
    ASSERT_TRUE(wake);
    EXPECT_TRUE(wake->packetState && wake->registerState && wake->smsReceive && wake->uiccChange && wake->ussdReceive);

    // The OPEN takes id 1 and the device's size; the bring-up follows with the next ids.
    EXPECT_EQ(std::vector<std::string>{"Open 1 2048"}, Calls("Open"));
    EXPECT_EQ((std::vector<std::string>{"Command 2 1", "Command 3 16", "Command 4 2", "Command 5 3", "Command 6 15"}),
              Calls("Command"));
    ASSERT_EQ(5u, host.BringUpAnswers().size());
    for (const MbimHost::Answer& answer : host.BringUpAnswers()) {
        EXPECT_EQ(STATUS_SUCCESS, answer.status);
        EXPECT_EQ(kCommandDone, answer.type);
    }
    EXPECT_EQ(Bytes({0x00, 0x01, 0x00, 0x00}), host.BringUpAnswers()[4].information);
}

TEST_F(MbimHostLoop, LargeCommandAndAnswerCrossInFragmentsIntact)
{
    MbimHost& host = Open();
    const Bytes payload = Pattern(5000);
    host::TraceClear();
    MbimHost::Answer answer = host.Command(kBasicConnect, 99, kSet, payload);
    ASSERT_EQ(STATUS_SUCCESS, answer.status);
    EXPECT_EQ(kStatusSuccess, answer.mbimStatus);
    EXPECT_EQ(payload, answer.information);

    // 5,048 bytes down in three sends of at most 2,048 bytes; three fragments back.
    EXPECT_EQ((std::vector<std::string>{"Send irql=0 d0=1 size=2048", "Send irql=0 d0=1 size=2048",
                                        "Send irql=0 d0=1 size=992"}),
              Calls("Send"));
    EXPECT_EQ(3u, Calls("Receive").size());
    host::MbbCounters counters = host::MbbQueryCounters(Device());
    EXPECT_EQ(counters.responsesAvailable, counters.delivered);
    EXPECT_EQ(0u, counters.emptyReceives);
}

TEST_F(MbimHostLoop, IndicationsReachTheSinkAndStrayAnswersAreDropped)
{
    MbimHost& host = Open();
    const Bytes payload = Pattern(40);
    EXPECT_EQ(STATUS_SUCCESS, host.Command(kMbbTestService, kMbbTestIndicate, kSet, payload).status);
    std::optional<Message> indication = host.WaitIndication(kSecond);
    ASSERT_TRUE(indication);
    EXPECT_EQ(kMbbTestService, indication->service);
    EXPECT_EQ(kMbbTestIndicate, indication->cid);
    EXPECT_EQ(payload, indication->information);
    EXPECT_FALSE(host.WaitIndication(kSecond));

    // An answer for an id nobody waits for is dropped; the real one still completes its command.
    MbimHost::Answer answer = host.Command(kMbbTestService, kMbbTestStray, kQuery, payload);
    EXPECT_EQ(STATUS_SUCCESS, answer.status);
    EXPECT_EQ(payload, answer.information);
    EXPECT_EQ(1u, host.Query().unknownAnswers);

    MbimHost::Answer refused = host.Command(kMbbTestService, kMbbTestRefuse, kQuery, {});
    EXPECT_EQ(STATUS_SUCCESS, refused.status);
    EXPECT_EQ(kFunctionError, refused.type);
    EXPECT_EQ(kErrorUnknown, refused.mbimStatus);
    EXPECT_EQ(0u, host.Query().protocolErrors);
}

TEST_F(MbimHostLoop, SendsRunAtDispatchLevelWhenAsked)
{
    MbimHost& host = Open();
    host::TraceClear();
    MbimHost::Answer answer = host.Command(kBasicConnect, kCidRadioState, kQuery, Pattern(3000), DISPATCH_LEVEL);
    EXPECT_EQ(STATUS_SUCCESS, answer.status);
    EXPECT_EQ(Pattern(3000), answer.information);
    std::vector<std::string> sends = Calls("Send");
    ASSERT_EQ(2u, sends.size());
    for (const std::string& send : sends)
        EXPECT_EQ(0u, send.find("Send irql=2")) << send;
}

TEST_F(MbimHostLoop, CommandsFromSeveralThreadsAtOnceGetTheirOwnAnswers)
{
    MbimHost& host = Open();
    constexpr int kThreads = 4;
    int wrong[kThreads] = {};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(hosttest::StartThread([&host, &wrong, t] {
            for (int i = 0; i < 5; ++i) {
                // Fragmented commands at passive level, single fragments at dispatch level.
                Bytes payload = Pattern(t % 2 == 0 ? 2500 + 100 * t + i : 40 + t + i);
                MbimHost::Answer answer = host.Command(kBasicConnect, 100 + t, kQuery, payload,
                                                       t % 2 == 0 ? PASSIVE_LEVEL : DISPATCH_LEVEL);
                if (answer.status != STATUS_SUCCESS || answer.information != payload)
                    ++wrong[t];
            }
        }));
    }
    for (HANDLE thread : threads)
        hosttest::JoinThread(thread);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(0, wrong[t]) << "thread " << t;
    EXPECT_EQ(0u, host.Query().protocolErrors);
    EXPECT_EQ(0u, host.Query().unknownAnswers);
}

TEST_F(MbimHostLoop, AnAnswerLargerThanTheReceiveBufferIsLostOrReported)
{
    for (ULONG overrun : {0u, 1u}) {
        SCOPED_TRACE(overrun);
        Set(MBBTEST_OVERRUN, overrun);
        MbimHost::Options options;
        options.commandTimeout = 5 * kSecond;
        MbimHost& host = Open(options);
        host::MbbSetReceiveCapacity(Device(), 100);
        std::optional<hosttest::ExpectReport> report;
        if (overrun)
            report.emplace(host::Check::RequestOverrun);
        // The driver fails the receive (or, when it claims more bytes than the room, the class extension
        // reports it): nothing reaches the host, whose command times out.
        LONGLONG start = host::ClockNow();
        EXPECT_EQ(STATUS_IO_TIMEOUT, host.Command(kBasicConnect, kCidRadioState, kQuery, Pattern(500)).status);
        EXPECT_EQ(start + 5 * kSecond, host::ClockNow());
        EXPECT_EQ(1u, host.Query().timeouts);
        EXPECT_EQ(1u, host::MbbQueryCounters(Device()).emptyReceives);
        report.reset();
        host_.reset();
        ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
    }
}

TEST_F(MbimHostLoop, CloseFailsWhatIsOutstanding)
{
    MbimHost& host = Open();
    std::shared_ptr<MbimHost::Pending> silent = host.Begin(kMbbTestService, kMbbTestSilent, kQuery, Pattern(8));
    EXPECT_EQ(STATUS_SUCCESS, host.Close());
    EXPECT_EQ(STATUS_CANCELLED, host.Wait(silent).status);
    EXPECT_FALSE(host.IsOpen());
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, host.Command(kBasicConnect, kCidRadioState, kQuery, {}).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, host.Close());
}

TEST_F(MbimHostLoop, RemovalEndsTheSessionAndFailsWhatIsOutstanding)
{
    MbimHost& host = Open();
    std::shared_ptr<MbimHost::Pending> silent = host.Begin(kMbbTestService, kMbbTestSilent, kQuery, Pattern(8));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
    EXPECT_EQ(STATUS_DEVICE_REMOVED, host.Wait(silent).status);
    EXPECT_FALSE(host.IsOpen());
    EXPECT_EQ(nullptr, Device());
}

TEST_F(MbimHostLoop, ARequestStillHeldAtRemovalIsReportedAndAMissingOpenAnswerTimesOut)
{
    Set(MBBTEST_HOLD_RECEIVES, 1);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    MbimHost::Options options;
    options.openTimeout = 2 * kSecond;
    host_ = std::make_unique<MbimHost>(MBBTEST_INSTANCE, options);
    EXPECT_EQ(STATUS_IO_TIMEOUT, host_->Attach());
    EXPECT_EQ(1u, host_->Query().timeouts);
    EXPECT_FALSE(host::TraceFind("got no answer").empty());
    hosttest::ExpectReport report(host::Check::RequestNotCompleted);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
    EXPECT_EQ(1, report.Count());
}

TEST_F(MbimHostLoop, AFailedOpenSendIsRetriedAfterOneSecond)
{
    struct Case {
        ULONG failures;
        NTSTATUS attach;
        ULONG64 retries;
    };
    for (const Case& c : {Case{2, STATUS_SUCCESS, 2}, Case{9, STATUS_UNSUCCESSFUL, 3}}) {
        SCOPED_TRACE(c.failures);
        Set(MBBTEST_FAIL_SENDS, c.failures);
        ASSERT_EQ(STATUS_SUCCESS, Add());
        MbimHost host(MBBTEST_INSTANCE);
        LONGLONG start = host::ClockNow();
        EXPECT_EQ(c.attach, host.Attach());
        EXPECT_EQ(c.retries, host.Query().openRetries);
        EXPECT_EQ(start + LONGLONG(c.retries) * kSecond, host::ClockNow());
        host.Detach();
        ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
    }
}

TEST_F(MbimHostLoop, TransactionIdsSkipZeroOnWrap)
{
    MbimHost& host = Open();
    host.SetNextTransactionId(0xFFFFFFFF);
    host::TraceClear();
    EXPECT_EQ(STATUS_SUCCESS, host.Command(kBasicConnect, kCidRadioState, kQuery, {}).status);
    EXPECT_EQ(STATUS_SUCCESS, host.Command(kBasicConnect, kCidRadioState, kQuery, {}).status);
    EXPECT_EQ((std::vector<std::string>{"Command 4294967295 3", "Command 1 3"}), Calls("Command"));
}

TEST_F(MbimHostLoop, ASendToADeviceIdlingInD3FindsItBackInD0)
{
    Set(MBBTEST_IDLE_MS, 1000);
    MbimHost& host = Open();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpIdleNow(MBBTEST_INSTANCE));
    ASSERT_EQ(PowerDeviceD3, host::PnpQueryPowerState(MBBTEST_INSTANCE));
    host::TraceClear();
    EXPECT_EQ(STATUS_SUCCESS, host.Command(kBasicConnect, kCidRadioState, kQuery, Pattern(4)).status);
    std::vector<std::string> calls = Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(0u, calls[0].find("D0Entry")) << calls[0];
    EXPECT_EQ("Send irql=0 d0=1 size=52", calls[1]);
    EXPECT_EQ(1u, Calls("Receive d0=1").size());
}

TEST_F(MbimHostLoop, SessionDataAndConnectReachTheDriver)
{
    MbimHost& host = Open();
    EXPECT_EQ(STATUS_SUCCESS, host.SendSessionData(5, Pattern(10)));
    EXPECT_EQ(std::vector<std::string>{"SessionData 5 10"}, Calls("SessionData"));

    MbimHost::ConnectResult up = host.Connect(3, u"internet", kIpV4);
    EXPECT_EQ(STATUS_SUCCESS, up.answer.status);
    EXPECT_EQ(kStatusSuccess, up.answer.mbimStatus);
    EXPECT_EQ(kActivationStateActivated, up.activationState);
    NETADAPTER adapter = host::MbbFindAdapter(Device(), 3);
    ASSERT_NE(nullptr, adapter);
    EXPECT_EQ(3u, MbbAdapterGetSessionId(adapter));
    EXPECT_EQ(kActivationStateDeactivated, host.Disconnect(3).activationState);
    EXPECT_EQ(nullptr, host::MbbFindAdapter(Device(), 3));
}

TEST_F(MbimHostLoop, AnActivationWhoseAdapterCannotStartIsNotSent)
{
    Set(MBBTEST_SKIP_ADAPTER_INIT, 1);
    MbimHost& host = Open();
    host::TraceClear();
    MbimHost::ConnectResult up = host.Connect(3, u"internet", kIpV4);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, up.answer.status);
    EXPECT_EQ(std::vector<std::string>{"CreateAdapter 3 0"}, Calls("CreateAdapter"));
    EXPECT_TRUE(Calls("Command").empty());
    EXPECT_EQ(nullptr, host::MbbFindAdapter(Device(), 3));
    Set(MBBTEST_SKIP_ADAPTER_INIT, 0);
}

TEST_F(MbimHostLoop, RawClientsShareTheFunctionWithTheirOwnIds)
{
    MbimHost& host = Open();
    std::unique_ptr<MbimHost::RawClient> raw = host.OpenRawClient();
    host::TraceClear();

    // Its OPEN and CLOSE are answered by the host: the device sees neither.
    ASSERT_TRUE(raw->Write(BuildOpen(40, 256)));
    EXPECT_EQ(BuildOpenDone(40, kStatusSuccess), raw->Read(kSecond));

    // A command written in its own fragments, under its own id, answered in fragments of its size.
    const Bytes payload = Pattern(600);
    std::vector<Bytes> down = Fragment(BuildCommand(41, kBasicConnect, kCidDeviceCaps, kQuery, payload), 256);
    ASSERT_EQ(3u, down.size());
    for (const Bytes& f : down)
        EXPECT_TRUE(raw->Write(f));
    Reassembler joiner;
    std::optional<Bytes> whole;
    while (!whole) {
        std::optional<Bytes> up = raw->Read(kSecond);
        ASSERT_TRUE(up);
        EXPECT_LE(up->size(), 256u);
        EXPECT_EQ(41u, ReadU32(*up, 8));
        whole = joiner.Feed(*up).message;
    }
    EXPECT_EQ(BuildCommandDone(41, kBasicConnect, kCidDeviceCaps, kStatusSuccess, payload), *whole);
    // The device saw the host's own id, the next after the OPEN's.
    EXPECT_EQ(std::vector<std::string>{"Command 2 1"}, Calls("Command"));

    // Malformed or oversized writes are dropped and counted; the channel goes on.
    EXPECT_FALSE(raw->Write(Bytes{1, 2, 3}));
    EXPECT_FALSE(raw->Write(BuildCommand(42, kBasicConnect, kCidRadioState, kQuery, Pattern(300))));
    EXPECT_EQ(2u, host.Query().protocolErrors);

    // An indication goes to every client; the in-process client keeps its own answers.
    EXPECT_EQ(STATUS_SUCCESS, host.Command(kMbbTestService, kMbbTestIndicate, kSet, Pattern(16)).status);
    EXPECT_TRUE(host.WaitIndication(kSecond));
    std::optional<Bytes> indication = raw->Read(kSecond);
    ASSERT_TRUE(indication);
    EXPECT_EQ(BuildIndicateStatus(kMbbTestService, kMbbTestIndicate, Pattern(16)), *indication);

    ASSERT_TRUE(raw->Write(BuildClose(43)));
    EXPECT_EQ(BuildCloseDone(43, kStatusSuccess), raw->Read(kSecond));
    EXPECT_TRUE(host.IsOpen());
    EXPECT_TRUE(Calls("Open").empty());
    EXPECT_EQ(STATUS_SUCCESS, host.Command(kBasicConnect, kCidRadioState, kQuery, {}).status);
}

TEST_F(MbimHostLoop, APlainDeviceIsNeverBoundAndInitFailuresFailTheAdd)
{
    Set(MBBTEST_SKIP_MBB, 1);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    EXPECT_EQ(nullptr, Device());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, MbimHost(MBBTEST_INSTANCE).Attach());
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
    Set(MBBTEST_SKIP_MBB, 0);

    for (host::MbbCall call : {host::MbbCall::DeviceInitConfig, host::MbbCall::DeviceInitialize}) {
        host::MbbFailNext(call, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Add());
        EXPECT_EQ(nullptr, Device());
        host::PnpRemoveDevice(MBBTEST_INSTANCE);
    }
}

} // namespace

namespace
{

TEST_F(MbimHostLoop, AdaptersAreCreatedPerSessionAndStartOnlyOnceInitialised)
{
    struct Case {
        ULONG skipInit;
        NTSTATUS expected;
        const char* trace;
    };
    const Case cases[] = {
        {0, STATUS_SUCCESS, "CreateAdapter 3 0"},
        {1, STATUS_INVALID_DEVICE_STATE, "CreateAdapter 3 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skipInit);
        Set(MBBTEST_SKIP_ADAPTER_INIT, c.skipInit);
        host::TraceClear();
        ASSERT_EQ(STATUS_SUCCESS, Add());
        WDFDEVICE device = Device();
        ASSERT_NE(nullptr, device);
        EXPECT_EQ(c.expected, host::MbbCreateAdapter(device, 3));
        EXPECT_EQ(std::vector<std::string>{c.trace}, Calls("CreateAdapter"));
        NETADAPTER adapter = host::MbbFindAdapter(device, 3);
        if (NT_SUCCESS(c.expected)) {
            ASSERT_NE(nullptr, adapter);
            EXPECT_EQ(3u, MbbAdapterGetSessionId(adapter));
            // A session has one adapter; another session gets its own.
            EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, host::MbbCreateAdapter(device, 3));
            EXPECT_EQ(STATUS_SUCCESS, host::MbbCreateAdapter(device, 0));
            EXPECT_EQ(0u, MbbAdapterGetSessionId(host::MbbFindAdapter(device, 0)));
            host::MbbRemoveAdapter(device, 3);
            EXPECT_EQ(nullptr, host::MbbFindAdapter(device, 3));
        } else {
            EXPECT_EQ(nullptr, adapter);
        }
        // Whatever adapters are left go with the device.
        ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(MBBTEST_INSTANCE));
        host::Quiesce();
    }
    Set(MBBTEST_SKIP_ADAPTER_INIT, 0);
}

} // namespace
