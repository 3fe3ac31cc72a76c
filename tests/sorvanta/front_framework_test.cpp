// The endpoint framework, the transport to the bridge, and the exported life cycle with the library
// entry.
#include "front_fixture_real.h"
#include "ihvrilapi.h"
#include "mbim_core_misc.h"

#include <host/etw.h>
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace realfront;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

bool Logged(const std::string& text)
{
    std::vector<std::string> texts = tracetest::Texts();
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; });
}

} // namespace

using FrameworkTest = FrontTest;

TEST_F(FrameworkTest, DestroyCountsAfterTheFirstAndWrapsAtTenThousand)
{
    endpoint.reset();
    IhvFramework::DESTROYInstance();
    EXPECT_EQ(IhvFramework::DestroyCounter(), 2u) << "the destructor's own call counts";
    EXPECT_TRUE(Logged("Already DESTroyed 2 times"));
    IhvFramework::DESTROYInstance();
    EXPECT_EQ(IhvFramework::DestroyCounter(), 3u);
    while (IhvFramework::DestroyCounter() != IHV_DESTROY_COUNTER_WRAP)
        IhvFramework::DESTROYInstance();
    IhvFramework::DESTROYInstance();
    EXPECT_EQ(IhvFramework::DestroyCounter(), 1u);
    IhvFramework* fresh = IhvFramework::GetInstancte();
    EXPECT_EQ(IhvFramework::DestroyCounter(), 0u);
    EXPECT_TRUE(fresh->groups.empty());
}

TEST_F(FrameworkTest, EndpointsAreFoundByHandleAndTypeAndAReopenKeepsTheFirst)
{
    std::shared_ptr<IhvServices> found;
    EXPECT_EQ(framework->RetrieveServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM, found), 0);
    EXPECT_EQ(found, endpoint);
    EXPECT_EQ(framework->RetrieveServicesEndpoint(3, IHV_SERVICE_TYPE_MBIM, found), 1);
    EXPECT_EQ(framework->RetrieveServicesEndpoint(1, IHV_SERVICE_TYPE_RIL, found), 1);
    std::shared_ptr<IhvServices> second = framework->CreateServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM);
    EXPECT_EQ(framework->groups[1].size(), 2u);
    EXPECT_EQ(framework->RetrieveServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM, found), 0);
    EXPECT_EQ(found, endpoint);
    EXPECT_EQ(framework->DeleteGroup(1), 0);
    EXPECT_EQ(framework->groups[1].size(), 2u) << "a close keeps the endpoints";
}

TEST_F(FrameworkTest, UnsolicitedResponsesAreRoutedOrDropped)
{
    OpenEndpoint(1);
    std::vector<uint8_t> data = {1, 2, 3, 4};
    struct Case {
        int stack, id, uuid_index;
        size_t writes;
        const char* log;
    } cases[] = {
        {0, 1200, 22, 0, "Discarding Android native notification... id: 1200"},
        {1, 0x10000005, 22, 0, "Discarding Notification - no service instance..."},
        {0, 5, 22, 1, "MBIM notification ID: 5 from STACK: 0"},
    };
    for (const Case& c : cases) {
        coretest::TheBridge().toHost.clear();
        Clear();
        EXPECT_EQ(emu_RILCore_UnsolicitedResponse_toCIDFMK(c.stack, c.id, c.uuid_index, data.data(), data.size()), 0);
        EXPECT_EQ(HostWrites().size(), c.writes) << c.id;
        EXPECT_TRUE(Logged(c.log)) << c.log;
    }
    EXPECT_FALSE(Logged("RIL notification")) << "id 1200 is dropped before any lookup";
}

TEST_F(FrameworkTest, CompletionsOfNullOrUnknownTokensAreIgnored)
{
    Complete(nullptr, 0);
    EXPECT_TRUE(Logged("Token is NULL!"));
    int stranger = 0;
    Complete(&stranger, 0); // never handed out: not followed
    EXPECT_TRUE(Logged("Something wrong happened !!!"));
    EXPECT_TRUE(HostWrites().empty());
}

TEST_F(FrameworkTest, SimApplicationMaps)
{
    // The slot of stack 0 is 2 in the scripted radio table.
    framework->AddHsimapp(0xABC, 0, true);
    framework->AddHsimapp(0xABC, 0, true);
    ASSERT_EQ(framework->huiccapps.size(), 2u);
    auto first = framework->huiccapps.begin();
    EXPECT_EQ(std::next(first)->first, first->first + 1);
    EXPECT_EQ(first->second, 0x02000ABCu);
    EXPECT_EQ(framework->MapHsimappToHuiccapp(0xDEF, 0), 1);
    EXPECT_EQ(framework->MapHsimappToHuiccapp(0xDEF, 0), 1);
    EXPECT_EQ(framework->huiccapps.size(), 3u) << "mapped once";
    EXPECT_EQ(framework->MapHsimappToHuiccapp(0xDEF, 1), 0) << "only stack 0 has a slot";

    uint32_t keys[3] = {first->first, 999, std::next(first)->first};
    EXPECT_EQ(framework->ConfigureHuiccapps(keys, 3, 0), FALSE);
    EXPECT_EQ(framework->IsHuiccappConfigured(keys[0]), 1) << "additions before the bad element stay";
    EXPECT_EQ(framework->IsHuiccappConfigured(keys[2]), 0);
    uint32_t hsimapp = 0, huiccapp = 0;
    int32_t stack = -1;
    EXPECT_EQ(framework->SetHsimappFromHuiccapp(keys[0], &hsimapp), 1);
    EXPECT_EQ(hsimapp, 0xABCu);
    EXPECT_EQ(framework->SetHuiccappFromSimapp(0, 0xABC, &huiccapp), 1);
    EXPECT_EQ(huiccapp, keys[0]);
    EXPECT_EQ(framework->SetStackFromHuiccapp(keys[0], &stack), 1);
    EXPECT_EQ(stack, 0);
    framework->RemoveHuiccapp(keys[0]);
    EXPECT_EQ(framework->IsHuiccappConfigured(keys[0]), 0);
}

TEST_F(FrameworkTest, HostSendsGoThroughRecordZeroWithTheDescriptor)
{
    std::vector<uint8_t> buffer(100, 0x42);
    EXPECT_NE(Mbim_CIDResponseSend(7, buffer.data(), 100), 0);
    ASSERT_EQ(coretest::TheBridge().toHost.size(), 1u);
    const coretest::Sent& sent = coretest::TheBridge().toHost[0];
    EXPECT_EQ(sent.context, 1);
    EXPECT_EQ(sent.route, 1u);
    EXPECT_EQ(sent.subType, 1u);
    EXPECT_EQ(sent.length, 100u);
    EXPECT_EQ(sent.lengthArgument, 124);
    EXPECT_EQ(sent.bytes, buffer);

    std::vector<uint8_t> command = coretest::MbimMessage(MBIM_COMMAND_MSG, 12, 0);
    EXPECT_NE(RIL_CIDTransportRequest(0, command.data(), 12, 77), 0);
    ASSERT_EQ(coretest::TheBridge().toModem.size(), 1u);
    EXPECT_EQ(mbim_read_u32(coretest::TheBridge().toModem[0].bytes.data(), MBIM_TRANSACTION_ID), 77u);
    EXPECT_EQ(RIL_CIDTransportRequest(0, command.data(), 8, 78), 0) << "no room for the TransactionId";

    memset(g_CallbackRecord, 0, sizeof(g_CallbackRecord));
    EXPECT_EQ(Mbim_CIDNotificationSend(0, buffer.data(), 100), 0) << "no writer registered";
    EXPECT_EQ(RIL_CIDTransportRequest(0, command.data(), 12, 79), 0);
}

TEST_F(FrameworkTest, EventEntriesRefuseMissingRecordsAndReportAStoppedCore)
{
    EventControlData record = coretest::EventRecord(EventKindModemMessage);
    EventControlData asleep = coretest::EventRecord(EventKindModemIoAsleep);
    EXPECT_EQ(MBIM_EventControlInput(0, nullptr), -1);
    EXPECT_EQ(MDMVendor_EventControlInput(0, nullptr), -1);
    EXPECT_EQ(MBIM_EventControlInput(0, &record), -1);
    EXPECT_EQ(MDMVendor_EventControlInput(0, &record), -1);
    EXPECT_EQ(MDMVendor_EventControlInput(1, &asleep), -1);
    EXPECT_EQ(MBIM_SarEventControlInput(0, 4, nullptr, 1), -1);
}

// ---- exported life cycle -------------------------------------------------------------------------

class ExportTest : public tracetest::TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        DllMain(reinterpret_cast<HMODULE>(0x1000), DLL_PROCESS_ATTACH, nullptr);
        coretest::ResetAndRegisterBridge();
    }
    void TearDown() override
    {
        DllMain(reinterpret_cast<HMODULE>(0x1000), DLL_PROCESS_DETACH, nullptr);
        memset(g_CallbackRecord, 0, sizeof(g_CallbackRecord));
        TraceTest::TearDown();
    }
};

TEST_F(ExportTest, VersionNegotiation)
{
    struct Case {
        uint32_t min, max, result;
    } cases[] = {{1, 1, 1}, {1, 5, 1}, {2, 5, 0}, {0, 1, 0}, {2, 1, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(MBIMRIL_Version(c.min, c.max), c.result) << c.min << "," << c.max;
        EXPECT_EQ(MBIMRIL_Init(0) != 0, c.result == 1) << "a failed negotiation disables the guarded exports";
        MBIMRIL_DeInit(0);
    }
}

TEST_F(ExportTest, HandlesAreClaimedOnceAndReleasedByModemId)
{
    ASSERT_EQ(MBIMRIL_Version(1, 1), 1u);
    EXPECT_EQ(MBIMRIL_Init(0), 1u);
    EXPECT_EQ(MBIMRIL_Init(0), 0u);
    EXPECT_EQ(MBIMRIL_Init(3), 7u);
    EXPECT_EQ(MBIMRIL_Init(4), 0u);
    MBIMRIL_DeInit(0);
    EXPECT_EQ(g_pRilApiState->ModemBitmap, 1u << 7);
    MBIMRIL_DeInit(3);
    EXPECT_EQ(g_pRilApiState->ModemBitmap, 0u);
}

TEST_F(ExportTest, RegistrationRefusesNullPointersAndForeignExecutorsWithoutWriting)
{
    CallbackRecord before[RIL_EXECUTORS];
    memcpy(before, g_CallbackRecord, sizeof(before));
    EXPECT_EQ(MBIM_DriverCallbacksRegister(0, nullptr, coretest::WriteToHost, coretest::Spare), -11);
    EXPECT_EQ(MBIM_MDMVendorCallbacksRegister(0, coretest::ReadVendorMessage, nullptr, coretest::Spare), -11);
    EXPECT_EQ(MBIM_DriverCallbacksRegister(2, coretest::ReadHostRequest, coretest::WriteToHost, coretest::Spare), -11);
    EXPECT_EQ(memcmp(before, g_CallbackRecord, sizeof(before)), 0);
    EXPECT_EQ(MBIM_DriverCallbacksRegister(1, coretest::ReadNothing, coretest::WriteToHost, coretest::Spare), 0);
    EXPECT_EQ(g_CallbackRecord[1].ReadCidRequest, coretest::ReadNothing);
}

TEST_F(ExportTest, OpenAndCloseStartAndStopTheCore)
{
    ASSERT_EQ(MBIMRIL_Version(1, 1), 1u);
    ASSERT_EQ(MBIMRIL_Init(0), 1u);
    uint32_t session = MBIMRIL_Open(1, 0, 0, nullptr);
    EXPECT_EQ(session, 1u + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_pRilApiState)));
    EXPECT_NE(g_pRilApiState->ModemBitmap & 2u, 0u);
    EXPECT_EQ(MBIMRIL_Close(session, 0), 1);
    EXPECT_EQ(g_pRilApiState->ModemBitmap & MBIMRIL_CLOSE_BITS, 0u);
    EXPECT_EQ(MBIMRIL_Open(1, 0, 0, nullptr), 0u) << "the handle must be claimed again";

    ASSERT_EQ(MBIMRIL_Init(0), 1u);
    session = MBIMRIL_Open(1, 0, 0, nullptr);
    ASSERT_NE(session, 0u);
    EXPECT_EQ(MBIMRIL_Close(session + 40, 0), 1) << "an unknown session only stops the core";
    EXPECT_TRUE(Logged("Check ModemBitmap & modemHandle failed"));
    EXPECT_EQ(MBIMRIL_Close(MBIMRIL_NO_SESSION, 0), 1);
    MBIMRIL_DeInit(0);
}

TEST_F(ExportTest, MessagesReachTheEndpointOfTheirExecutorOnlyWhileItsBitIsSet)
{
    ASSERT_EQ(MBIMRIL_Version(1, 1), 1u);
    ASSERT_EQ(MBIMRIL_Init(0), 1u);
    std::shared_ptr<IhvServices> created = g_pRilApiState->Framework->CreateServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM);
    auto* endpoint = static_cast<MbimServices*>(created.get());
    RadioCallbacks radio = {};
    radio.SendRequest = RecordStep;
    g_pRilApiState->Framework->s_radio_cb = &radio;
    Steps().clear();
    std::vector<uint8_t> open = mbimwire::Open(1, 0x800);
    for (int executor : {1, -1, 31, 32, 1000, -2147483647 - 1})
        MBIM_IOControl(executor, open.data(), static_cast<int>(open.size()));
    EXPECT_EQ(endpoint->opened, 0u);
    MBIM_IOControl(0, open.data(), static_cast<int>(open.size()));
    EXPECT_EQ(endpoint->opened, 1u);
    EXPECT_EQ(endpoint->max_control_transfer, 0x800u);
    MBIMRIL_DeInit(0);
    MBIM_IOControl(0, mbimwire::Message(MBIM_CLOSE_MSG, 2).data(), 12);
    EXPECT_EQ(endpoint->opened, 1u) << "dropped: the handle is released";
}

TEST_F(ExportTest, CleanupReleasesTheFrameworkAndForgetsIt)
{
    ASSERT_EQ(MBIMRIL_Version(1, 1), 1u);
    g_pRilApiState->Framework->CreateServicesEndpoint(1, IHV_SERVICE_TYPE_MBIM);
    MBIM_IOControl_Cleanup(1);
    EXPECT_EQ(g_pRilApiState->Framework, nullptr);
    EXPECT_EQ(MBIMRIL_Init(0), 0u) << "no framework: the guard fails";
}

TEST(LibraryEntry, AttachLogsAtErrorLevelAndDetachRestoresTheHandlerAndProvider)
{
    host::EtwReset();
    host::EtwEnableProvider(SORVANTA_TRACE_PROVIDER, 2); // errors only
    _invalid_parameter_handler before = _get_invalid_parameter_handler();
    DllMain(reinterpret_cast<HMODULE>(0x2000), DLL_PROCESS_ATTACH, nullptr);
    EXPECT_EQ(_get_invalid_parameter_handler(), &InvalidParameterHandler);
    EXPECT_THAT(tracetest::Texts(), Contains(HasSubstr("IHVRIL DLL Attach")));
    EXPECT_NE(g_pRilApiState->Framework, nullptr);
    DllMain(reinterpret_cast<HMODULE>(0x2000), DLL_PROCESS_DETACH, nullptr);
    EXPECT_EQ(_get_invalid_parameter_handler(), before);
    EXPECT_EQ(g_pRilApiState->Framework, nullptr);
    EXPECT_FALSE(ril_etw_event_enabled(RIL_EVENT_ERROR)) << "the provider is unregistered";
    host::EtwReset();
}
