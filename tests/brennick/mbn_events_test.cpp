// The event sinks: their registration and its failures, arrivals and removals against the
// uninstall-handled flag, radio changes written for the filter, and their reference counting.
#include "MbnEvents.h"
#include "StateWork.h"
#include "service_fixture.h"

#include <objbase.h>

namespace brennicktest {
namespace {

class SinkTest : public ServiceFiles
{
  protected:
    void SetUp() override
    {
        ServiceFiles::SetUp();
        work_ = CStateWork::GetInstance();
        ASSERT_EQ(1, work_->InitWork());
    }

    // Whether MBB_INTERFACE_MONITOR_EVENT is signalled (taking the signal).
    bool InterfaceSignalled() { return WaitForSingleObject(work_->m_mbbInterfaceMonitorEvent, 0) == WAIT_OBJECT_0; }

    static void Deliver() { ASSERT_TRUE(Settle([] { return host::MbnEventsDelivered(); })); }

    // A listed interface of the emulated API.
    static IMbnInterface* FirstInterface()
    {
        IMbnInterfaceManager* manager = nullptr;
        CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                         reinterpret_cast<void**>(&manager));
        SAFEARRAY* array = nullptr;
        EXPECT_EQ(S_OK, manager->GetInterfaces(&array));
        LONG index = 0;
        IMbnInterface* item = nullptr;
        SafeArrayGetElement(array, &index, &item);
        SafeArrayDestroy(array);
        manager->Release();
        return item;
    }

    CStateWork* work_ = nullptr;
};

// The references a sink holds now (without changing them).
template <class Sink>
ULONG References(Sink* sink)
{
    ULONG count = sink->AddRef();
    sink->Release();
    return count - 1;
}

TEST_F(SinkTest, RegistrationAdvisesBothSinks)
{
    EXPECT_EQ(S_OK, RegisterMbnInterfaceMonitorEvent());
    EXPECT_EQ(S_OK, RegisterRadioStateCallback());
    EXPECT_EQ(1u, work_->m_managerCookie);
    EXPECT_EQ(1u, work_->m_radioCookie);
    // The worker's reference and the API's.
    EXPECT_EQ(2u, References(work_->m_managerSink));
    EXPECT_EQ(2u, References(work_->m_radioSink));
    // The managers made for the registration are gone: what lives is held by the worker's container
    // and the connection point found on it.
    EXPECT_EQ(2u, References(work_->m_managerContainer));
    EXPECT_EQ(1u, host::MbnAdvisedSinks(IID_IMbnInterfaceManagerEvents));
    EXPECT_EQ(1u, host::MbnAdvisedSinks(IID_IMbnRadioEvents));
}

TEST_F(SinkTest, AFailedCreationIsLoggedAndReturned)
{
    host::ComFailNextCreateInstance(2, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, RegisterMbnInterfaceMonitorEvent());
    EXPECT_EQ(E_OUTOFMEMORY, RegisterRadioStateCallback());
    EXPECT_TRUE(LogHas("CoCreateInstance IID_IMbnInterfaceManager Failed(8007000e)"));
    EXPECT_TRUE(LogHas("CoCreateInstance IID_IMbnInterfaceManager Failed(8007000e)\n"));
    EXPECT_EQ(0u, work_->m_managerCookie);
    EXPECT_EQ(nullptr, work_->m_managerSink);
    EXPECT_EQ(0u, host::MbnAdvisedSinks(IID_IMbnRadioEvents));
}

// The manager made for a registration that fails later is still released: only the worker's
// container reference keeps the object.
TEST_F(SinkTest, AFailedConnectionPointLeavesNoManagerBehind)
{
    host::MbnFailFindConnectionPoint(IID_IMbnInterfaceManagerEvents, E_FAIL);
    host::MbnFailFindConnectionPoint(IID_IMbnRadioEvents, E_ACCESSDENIED);
    EXPECT_EQ(E_FAIL, RegisterMbnInterfaceMonitorEvent());
    EXPECT_EQ(E_ACCESSDENIED, RegisterRadioStateCallback());
    EXPECT_TRUE(LogHas("FindConnectionPoint IID_IMbnInterfaceManagerEvents Failed(80004005)"));
    EXPECT_TRUE(LogHas("FindConnectionPoint IID_IMbnRadioEvents Failed(80070005)\n"));
    EXPECT_EQ(nullptr, work_->m_managerSink);
    EXPECT_EQ(0u, work_->m_radioCookie);
    EXPECT_EQ(1u, References(work_->m_managerContainer));
    EXPECT_EQ(1u, References(work_->m_radioContainer));
    EXPECT_EQ(0u, host::MbnAdvisedSinks(IID_IMbnInterfaceManagerEvents));
}

TEST_F(SinkTest, ArrivalsSignalUnlessTheRemovalWasHandled)
{
    ASSERT_EQ(S_OK, RegisterMbnInterfaceMonitorEvent());
    host::MbnAddInterface(u"{IF-1}", MBN_RADIO_ON, MBN_RADIO_OFF);
    Deliver();
    EXPECT_TRUE(InterfaceSignalled());
    EXPECT_TRUE(LogHas("OnInterfaceArrival:{IF-1}"));

    g_uninstallHandled = 1;
    host::MbnAddInterface(u"{IF-2}", MBN_RADIO_ON, MBN_RADIO_OFF);
    Deliver();
    EXPECT_FALSE(InterfaceSignalled());
    EXPECT_EQ(1u, LogCount("Retry TriggerMbbInterfaceMonitorEvent"));

    // A removal clears the flag and withdraws a signal the worker has not taken.
    SetEvent(work_->m_mbbInterfaceMonitorEvent);
    host::MbnRemoveInterface(u"{IF-2}");
    Deliver();
    EXPECT_EQ(0, g_uninstallHandled.load());
    EXPECT_FALSE(InterfaceSignalled());
    EXPECT_TRUE(LogHas("OnInterfaceRemoval:{IF-2}"));
    host::MbnAddInterface(u"{IF-2}", MBN_RADIO_ON, MBN_RADIO_OFF);
    Deliver();
    EXPECT_TRUE(InterfaceSignalled());
}

// A radio change and what BrennickCellular holds after it.
struct RadioChange {
    const char* name;
    host::MbnInterfaceFailures failures;
    bool keyPresent;
    int uninstallHandled;
    HRESULT result;
    std::optional<ULONG> cellular;
    const char* line;
};

void PrintTo(const RadioChange& change, std::ostream* out) { *out << change.name; }

class RadioChangeTest : public SinkTest, public testing::WithParamInterface<RadioChange>
{
};

TEST_P(RadioChangeTest, WritesTheSoftwareStateItRead)
{
    if (!GetParam().keyPresent)
        host::RegistryDeleteTree(kFilterKernelKey);
    g_uninstallHandled = GetParam().uninstallHandled;
    host::MbnAddInterface(u"{IF-1}", MBN_RADIO_ON, MBN_RADIO_OFF);
    Deliver();
    host::MbnSetInterfaceFailures(u"{IF-1}", GetParam().failures);
    IMbnInterface* item = FirstInterface();
    IMbnRadio* radio = nullptr;
    ASSERT_EQ(S_OK, item->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(&radio)));
    auto* sink = new CMbnRadioEvents();
    sink->AddRef();
    EXPECT_EQ(GetParam().result, sink->OnRadioStateChange(radio));
    EXPECT_EQ(GetParam().cellular, FilterSubkeyValue(u"BrennickCellular"));
    EXPECT_TRUE(LogHas(GetParam().line));
    sink->Release();
    radio->Release();
    item->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RadioChangeTest,
    testing::Values(RadioChange{"SoftwareOnHardwareOff", {}, true, 0, S_OK, 1u,
                                "CMbnRadioEvents::software radio:1---hardware radio:0"},
                    RadioChange{"WrittenWhileTheRemovalIsHandled", {}, true, 1, S_OK, 1u,
                                "RegSetValueEx REG_RADIO_STATE_KEY 0"},
                    RadioChange{"SoftwareReadFails", {S_OK, E_ACCESSDENIED, S_OK}, true, 0, E_ACCESSDENIED,
                                std::nullopt, "get_SoftwareRadioState Failed(80070005)"},
                    RadioChange{"HardwareReadFails", {S_OK, S_OK, E_HANDLE}, true, 0, E_HANDLE, std::nullopt,
                                "get_HardwareRadioState Failed(80070006)"},
                    RadioChange{"KeyMissing", {}, false, 0, S_OK, std::nullopt, "Error in RegOpenKeyEx (2)."}),
    [](const testing::TestParamInfo<RadioChange>& info) { return std::string(info.param.name); });

TEST_F(SinkTest, QueryInterfaceAndTheLastRelease)
{
    auto* manager = new CMbnInterfaceManagerEventsMonitor();
    auto* radio = new CMbnRadioEvents();
    manager->AddRef();
    radio->AddRef();
    struct {
        IUnknown* sink;
        const IID* iid;
        HRESULT result;
    } const cases[] = {
        {manager, &IID_IUnknown, S_OK},
        {manager, &IID_IMbnInterfaceManagerEvents, S_OK},
        {manager, &IID_IMbnRadioEvents, E_NOINTERFACE},
        {radio, &IID_IUnknown, S_OK},
        {radio, &IID_IMbnRadioEvents, S_OK},
        {radio, &IID_IMbnInterfaceManagerEvents, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.result, c.sink->QueryInterface(*c.iid, &object));
        EXPECT_EQ(c.result == S_OK ? static_cast<void*>(c.sink) : nullptr, object);
        if (c.result == S_OK) {
            EXPECT_EQ(1u, c.sink->Release()); // the query's reference
        }
    }
    EXPECT_EQ(E_POINTER, manager->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, radio->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(0u, manager->Release());
    EXPECT_EQ(0u, radio->Release());
    EXPECT_EQ(1u, LogCount("CMbnInterfaceManagerEventsMonitor::Release Complete"));
    EXPECT_EQ(1u, LogCount("CMbnRadioEvents Release Complete"));
}

} // namespace
} // namespace brennicktest
