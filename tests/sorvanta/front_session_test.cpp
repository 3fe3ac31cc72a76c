// A session through the exports as the bridge driver drives it: the library entry, version, handle,
// callbacks and open, then host messages through the bridge double's event records and the real RIL
// core's worker to the endpoint, and answers back at the bridge double.
#include "async_ril.h"
#include "bridge_double.h"
#include "ihvframework.h"
#include "ihvrilapi.h"
#include "mbim_wire.h"
#include "mbimcore_db.h"
#include "mbimservices.h"
#include "memutil.h"
#include "modem_driver.h"
#include "trace_capture.h"

#include <host/host.h>
#include <host/trace.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using mbimwire::Command;

void Settle()
{
    host::ClockAdvance(0);
}

class SessionTest : public tracetest::TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        ringSize_ = host::TraceRingSize();
        host::TraceSetRingSize(1 << 16);
        baseline_ = memutil_live_blocks();
        DllMain(reinterpret_cast<HMODULE>(0x3000), DLL_PROCESS_ATTACH, nullptr);
        coretest::ResetAndRegisterBridge();
        ASSERT_EQ(MBIMRIL_Version(1, 1), 1u);
        ASSERT_EQ(MBIMRIL_Init(0), 1u);
        session_ = MBIMRIL_Open(1, 0, 0, nullptr);
        ASSERT_EQ(session_, 1u + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_pRilApiState)));
        Settle();
    }
    void TearDown() override
    {
        if (session_ != 0) {
            EXPECT_EQ(MBIMRIL_Close(session_, 0), 1);
        }
        MBIMRIL_DeInit(0);
        Settle();
        EXPECT_FALSE(mdmril_worker_alive());
        DllMain(reinterpret_cast<HMODULE>(0x3000), DLL_PROCESS_DETACH, nullptr);
        memset(g_CallbackRecord, 0, sizeof(g_CallbackRecord));
        memutil_inject_failure(-1);
        EXPECT_EQ(memutil_live_blocks(), baseline_) << "blocks leaked";
        host::TraceSetRingSize(ringSize_);
        TraceTest::TearDown();
    }

    static MbimServices* Endpoint()
    {
        std::shared_ptr<IhvServices> endpoint;
        g_pRilApiState->Framework->RetrieveServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM, endpoint);
        return static_cast<MbimServices*>(endpoint.get());
    }
    static void Host(const std::vector<uint8_t>& message, ULONG route = TransportRouteBridge)
    {
        ASSERT_EQ(coretest::HostCommand(message, route), 0);
        Settle();
    }
    static void OpenFromHost(uint32_t max_transfer = 0x1000)
    {
        Host(mbimwire::Open(1, max_transfer), TransportRouteBoth);
    }
    static std::vector<mbimwire::Answer> Answers()
    {
        std::vector<mbimwire::Answer> answers;
        for (const coretest::Sent& sent : coretest::TheBridge().toHost) {
            EXPECT_EQ(sent.route, 1u);
            EXPECT_EQ(sent.subType, 1u);
            EXPECT_EQ(sent.length, sent.bytes.size());
            EXPECT_EQ(sent.lengthArgument, static_cast<int>(sent.bytes.size()) + 24);
            answers.push_back(mbimwire::Join({sent.bytes}, MBIM_COMMAND_HEADER_SIZE, 0x1000));
        }
        return answers;
    }

    uint32_t session_ = 0;
    long baseline_ = 0;
    size_t ringSize_ = 0;
};

TEST_F(SessionTest, HostOpenOpensTheEndpointAndCommandsAreAnsweredOnceAtTheBridge)
{
    OpenFromHost(0x1000);
    ASSERT_NE(Endpoint(), nullptr);
    EXPECT_EQ(Endpoint()->opened, 1u);
    EXPECT_EQ(Endpoint()->max_control_transfer, 0x1000u);
    EXPECT_TRUE(coretest::TheBridge().toHost.empty()) << "the modem answers the OPEN";

    struct Case {
        const char* name;
        GUID service;
        uint32_t cid, type;
        uint32_t status;
    } cases[] = {
        {"listed, unserved", mbimwire::kBasicConnect, 2, 0, 9},
        {"lte set without payload", mbimwire::kBasicConnectExtensions, 3, 1, 21},
        {"served by the RIL core's stand-ins", mbimwire::kBasicConnect, 1, 0, 28},
    };
    uint32_t tid = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        coretest::TheBridge().toHost.clear();
        Host(Command(++tid, c.service, c.cid, c.type, {})[0]);
        std::vector<mbimwire::Answer> answers = Answers();
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].error, "");
        EXPECT_EQ(answers[0].type, MBIM_COMMAND_DONE);
        EXPECT_EQ(answers[0].transaction_id, tid);
        EXPECT_EQ(answers[0].status, c.status);
    }

    coretest::TheBridge().toHost.clear();
    std::vector<std::vector<uint8_t>> fragments = Command(77, mbimwire::kBasicConnect, 2, 0, std::vector<uint8_t>(70, 1), 64);
    ASSERT_EQ(fragments.size(), 3u);
    for (size_t i = 0; i < fragments.size(); i++) {
        EXPECT_TRUE(coretest::TheBridge().toHost.empty()) << "nothing before the last fragment";
        Host(fragments[i]);
    }
    std::vector<mbimwire::Answer> answers = Answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].transaction_id, 77u);
    EXPECT_TRUE(Endpoint()->requests.empty());
}

TEST_F(SessionTest, AnswersWhileModemIoSleepsAreParkedAndReplayedInOrder)
{
    coretest::ModemDriver modem(ModemPeerSucceed); // the wake notification does not wake it
    OpenFromHost();
    ASSERT_EQ(coretest::PowerEvent(false), 0);
    Host(Command(5, mbimwire::kBasicConnect, 2, 0, {})[0]);
    Host(Command(6, mbimwire::kBasicConnect, 2, 0, {})[0]);
    EXPECT_TRUE(coretest::TheBridge().toHost.empty());
    ASSERT_EQ(coretest::PowerEvent(true), 0);
    Settle();
    std::vector<mbimwire::Answer> answers = Answers();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].transaction_id, 5u);
    EXPECT_EQ(answers[1].transaction_id, 6u);
    EXPECT_EQ(answers[0].status, 9u);
    EXPECT_EQ(modem.Unplug(), STATUS_SUCCESS);
}

TEST_F(SessionTest, HostCloseClosesTheEndpointAndLaterIndicationsAreDiscarded)
{
    OpenFromHost();
    Host(mbimwire::Message(MBIM_CLOSE_MSG, 2), TransportRouteBoth);
    EXPECT_EQ(Endpoint()->opened, 0u);
    EXPECT_TRUE(Endpoint()->requests.empty());
    uint8_t data[4] = {1, 2, 3, 4};
    emu_RILCore_UnsolicitedResponse_toCIDFMK(0, 4, 22, data, sizeof(data));
    EXPECT_TRUE(coretest::TheBridge().toHost.empty());
}

TEST_F(SessionTest, ReopenAfterCloseWorks)
{
    ASSERT_EQ(MBIMRIL_Close(session_, 0), 1);
    ASSERT_EQ(MBIMRIL_Init(0), 1u);
    session_ = MBIMRIL_Open(1, 0, 0, nullptr);
    ASSERT_NE(session_, 0u);
    Settle();
    OpenFromHost();
    Host(Command(9, mbimwire::kBasicConnect, 2, 0, {})[0]);
    ASSERT_EQ(Answers().size(), 1u);
}

TEST_F(SessionTest, BridgeThreadsPostWhileTheWorkerServes)
{
    OpenFromHost();
    constexpr uint32_t kCommands = 20;
    std::thread host([] {
        for (uint32_t i = 0; i < kCommands; i++)
            coretest::HostCommand(Command(100 + i, mbimwire::kBasicConnect, 2, 0, {})[0]);
    });
    std::thread modem([] {
        for (uint32_t i = 0; i < kCommands; i++)
            coretest::PowerEvent(true);
    });
    host.join();
    modem.join();
    Settle();
    std::vector<mbimwire::Answer> answers = Answers();
    ASSERT_EQ(answers.size(), kCommands);
    for (uint32_t i = 0; i < kCommands; i++)
        EXPECT_EQ(answers[i].transaction_id, 100 + i);
}

} // namespace
